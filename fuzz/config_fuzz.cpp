// Fuzzes configuration loading: the bytes are standard input to the real
// loader; every input loads with its integers in their ranges, or fails after
// a message. Lookups fail in a fake resolver, never the machine's.
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "conf.h"

extern "C" int __wrap_getaddrinfo(const char *, const char *, const addrinfo *, addrinfo **)
{
    return EAI_NONAME;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    char *messages = nullptr;
    std::size_t len = 0;
    std::FILE *saved_in = stdin, *saved_err = stderr;
    stdin = size > 0 ? fmemopen(const_cast<std::uint8_t *>(data), size, "r") : std::fopen("/dev/null", "r");
    stderr = open_memstream(&messages, &len);
    auto *st = static_cast<ntp_state *>(std::calloc(1, sizeof(ntp_state)));
    int res = load_config(st, "fuzz.conf", false, true);
    std::fclose(stdin), std::fclose(stderr);
    stdin = saved_in, stderr = saved_err;
    const std::int32_t ranges[][3] = {{st->logrotate_max_size, 1, 10000}, {st->logrotate_num_backups, 0, 1000},
        {st->send_timeout, 100, 2147483647}, {st->recv_timeout, 100, 2147483647}, {st->first_update_delay, 0, 2147483},
        {st->poll_interval, 10, 2147483}, {st->resolve_retry_timeout, 100, 25000}, {st->num_update_tries, 1, 1000},
        {st->resolve_timeserver_again_after, 0, 25000}, {st->server_select, 0, 1}, {st->bind_port, 1, 65535}};
    for (const auto &r : ranges) {
        if ((res == 0 && (r[0] < r[1] || r[0] > r[2])) || (res != 0 && (len == 0 || messages[len - 1] != '\n')))
            __builtin_trap();
    }
    for (std::size_t i = 0; i < st->timeservers.count; i++)
        std::free(st->timeservers.items[i]);
    for (char *p : {st->log_filename, st->bind_if, st->rtcdev, messages})
        std::free(p);
    std::free(st->timeservers.items);
    std::free(st);
    return 0;
}
