// Fuzzes the INI parser: the first byte chooses the replace flag (bit 0) and
// refused allocations (bit 7, one in 2^(the second byte % 8)); the text
// follows, one line per call. A parse succeeds or reports the refusal, and
// inipar_deinit() returns every block.
#include <cstdlib>
#include <cstring>

#include "inipar/inipar.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    struct arena {
        long live;
        std::uint32_t mask, counter;
    } a{0, size > 1 && (data[0] & 0x80) ? (1u << (data[1] % 8)) - 1 : 0, 0};
    auto alloc = [](void *u, std::size_t n) -> void * {
        auto *ar = static_cast<arena *>(u);
        return ar->mask != 0 && (++ar->counter & ar->mask) == ar->mask ? nullptr : (ar->live++, std::malloc(n));
    };
    auto release = [](void *u, void *p) { static_cast<arena *>(u)->live--, std::free(p); };
    inipar_ctx ctx;
    if (size < 2 || inipar_init(&ctx, alloc, release, &a))
        return 0;
    for (std::size_t at = 2, end; at < size; at = end) {
        const void *nl = std::memchr(data + at, '\n', size - at);
        end = nl != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(nl) - data) + 1 : size;
        long r = inipar_parse_data_ex(&ctx, nullptr, data + at, end - at, data[0] & 1);
        if (r != INIPAR_OK && (r != INIPAR_ENOMEM || a.mask == 0))
            __builtin_trap();
    }
    if (inipar_deinit(&ctx) != INIPAR_OK || a.live != 0)
        __builtin_trap();
    return 0;
}
