// Fuzzes the INI parser: arbitrary bytes parsed whole or line by line, with or
// without the replace flag, through hooks that fail allocations at random.
// After every input the flat list and the tree must be consistent, every pair
// reachable in the tree unless a later definition legitimately removed it, and
// inipar_deinit() must release every block.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "inipar/inipar.h"

namespace {

struct arena {
    long live;
    std::uint32_t fail_mask;  // an allocation fails when (counter & mask) == mask
    std::uint32_t counter;
    bool failed;
};

void *fuzz_alloc(void *user, std::size_t size)
{
    auto *a = static_cast<arena *>(user);
    a->counter++;
    if (a->fail_mask != 0 && (a->counter & a->fail_mask) == a->fail_mask) {
        a->failed = true;
        return nullptr;
    }
    a->live++;
    return std::malloc(size);
}

void fuzz_free(void *user, void *block)
{
    static_cast<arena *>(user)->live--;
    std::free(block);
}

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void check_list(const inipar_list *head)
{
    std::size_t n = 0;
    for (const inipar_list *l = head->next; l != head; l = l->next) {
        check(l->next->prev == l && l->prev->next == l);
        check(++n < (1u << 24));
    }
}

// Every node: sane links, its parent recorded, a NUL-terminated dot-free name.
void check_tree(inipar_ctx *ctx, inipar_tree_node *parent, int depth)
{
    check(depth < 100000);
    const inipar_list *head = parent != nullptr ? &parent->children : &ctx->root;
    check_list(head);
    for (inipar_tree_node *n = inipar_kv_tree_iter(ctx, parent, nullptr); n != nullptr;
         n = inipar_kv_tree_iter(ctx, parent, n)) {
        check(n->parent == parent);
        check(n->name[n->name_len] == '\0');
        check(std::memchr(n->name, '.', n->name_len) == nullptr);
        check(n->value == nullptr || n->value[n->value_len] == '\0');
        check_tree(ctx, n, depth + 1);
    }
}

std::vector<std::string_view> segments(std::string_view name)
{
    std::vector<std::string_view> segs;
    std::size_t start = 0;
    for (;;) {
        std::size_t dot = name.find('.', start);
        std::string_view seg = name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (!seg.empty() || dot == std::string_view::npos)
            segs.push_back(seg);
        if (dot == std::string_view::npos)
            return segs;
        start = dot + 1;
    }
}

bool is_prefix(const std::vector<std::string_view> &a, const std::vector<std::string_view> &b)
{
    if (a.size() >= b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); i++) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

// Each pair's value node is in the tree, unless (with the replace flag) a
// later pair redefined a shorter path and so freed it.
void check_reachable(inipar_ctx *ctx, bool replace)
{
    std::vector<std::vector<std::string_view>> paths;
    for (inipar_kv *kv = inipar_kv_iter(ctx, nullptr); kv != nullptr; kv = inipar_kv_iter(ctx, kv))
        paths.push_back(segments(std::string_view(kv->name, kv->name_len)));
    for (std::size_t i = 0; i < paths.size(); i++) {
        const auto &p = paths[i];
        if (p.back().empty())
            continue;
        bool removed = false;
        for (std::size_t j = i + 1; replace && j < paths.size() && !removed; j++)
            removed = !paths[j].back().empty() && is_prefix(paths[j], p);
        if (removed)
            continue;
        inipar_tree_node *node = nullptr;
        for (std::string_view seg : p) {
            node = inipar_find_tree_node(ctx, node, seg.data(), seg.size());
            check(node != nullptr);
        }
        check(node->value != nullptr || !replace);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    std::uint8_t mode = data[0];
    arena a{0, (mode & 0x80) ? (1u << (data[1] % 8)) - 1 : 0, 0, false};
    data += 2;
    size -= 2;
    bool replace = mode & 1;
    bool per_line = mode & 2;

    inipar_ctx ctx;
    check(inipar_init(&ctx, fuzz_alloc, fuzz_free, &a) == INIPAR_OK);
    std::uint32_t flags = replace ? INIPAR_FLAG_REPLACE : 0;
    if (per_line) {
        std::size_t start = 0;
        for (std::size_t i = 0; i <= size; i++) {
            if (i == size || data[i] == '\n') {
                std::size_t end = i < size ? i + 1 : i;
                long r = inipar_parse_data_ex(&ctx, nullptr, data + start, end - start, flags);
                check(r == INIPAR_OK || (r == INIPAR_ENOMEM && a.failed));
                start = end;
            }
        }
    } else {
        long r = inipar_parse_data_ex(&ctx, nullptr, data, size, flags);
        check(r == INIPAR_OK || (r == INIPAR_ENOMEM && a.failed));
    }
    check_list(&ctx.pairs);
    check_tree(&ctx, nullptr, 0);
    if (!a.failed)
        check_reachable(&ctx, replace);
    check(inipar_deinit(&ctx) == INIPAR_OK);
    check(a.live == 0);
    return 0;
}
