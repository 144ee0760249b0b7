// Fuzzes configuration loading: arbitrary bytes as the configuration text,
// read from standard input by the real loader. Every input either loads with
// every field inside its range, or fails after a message. Name lookups are
// answered by a fake resolver (linked over gethostbyname): a fuzzer must not
// query the machine's resolver.
#include <netdb.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conf.h"

extern "C" hostent *__wrap_gethostbyname(const char *name);

hostent *__wrap_gethostbyname(const char *)
{
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool in_range(std::int32_t v, std::int32_t lo, std::int32_t hi)
{
    return v >= lo && v <= hi;
}

void check_flags(const ntp_state *st)
{
    // Every flag byte between enable_server and lazy_resolve_ignored_timeservers.
    const auto *first = reinterpret_cast<const std::uint8_t *>(&st->enable_server);
    const auto *last = reinterpret_cast<const std::uint8_t *>(&st->lazy_resolve_ignored_timeservers);
    for (const std::uint8_t *p = first; p <= last; p++)
        check(*p <= 1);
}

void check_loaded(const ntp_state *st)
{
    check_flags(st);
    check(in_range(st->logrotate_max_size, 1, 10000));
    check(in_range(st->logrotate_num_backups, 0, 1000));
    check(in_range(st->send_timeout, 100, 2147483647));
    check(in_range(st->recv_timeout, 100, 2147483647));
    check(in_range(st->first_update_delay, 0, 2147483));
    check(in_range(st->poll_interval, 10, 2147483));
    check(in_range(st->resolve_retry_timeout, 100, 25000));
    check(in_range(st->num_update_tries, 1, 1000));
    check(in_range(st->resolve_timeserver_again_after, 0, 25000));
    check(st->server_select == SERVER_SELECT_ROTATE || st->server_select == SERVER_SELECT_RANDOM);
    check(st->bind_port >= 1);
    for (std::size_t i = 0; i < st->timeservers.count; i++) {
        const auto *ts = static_cast<const timeserver_entry *>(st->timeservers.items[i]);
        check(ts->port >= 1);
        check(std::strchr(ts->host, ':') == nullptr);
        check(!ts->resolved || ts->addr.sin_family == AF_INET);
    }
}

void release(ntp_state *st)
{
    for (std::size_t i = 0; i < st->timeservers.count; i++)
        std::free(st->timeservers.items[i]);
    ptrarr_deinit(&st->timeservers);
    std::free(st->log_filename);
    std::free(st->bind_if);
    std::free(st->rtcdev);
    std::free(st);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::FILE *in = fmemopen(const_cast<std::uint8_t *>(data), size, "r");
    if (size == 0 || in == nullptr) {
        if (in != nullptr)
            std::fclose(in);
        return 0;
    }
    char *messages = nullptr;
    std::size_t messages_len = 0;
    std::FILE *err = open_memstream(&messages, &messages_len);
    std::FILE *saved_in = stdin, *saved_err = stderr;
    stdin = in;
    stderr = err;

    auto *st = static_cast<ntp_state *>(std::calloc(1, sizeof(ntp_state)));
    int res = load_config(st, "fuzz.conf", false, true);

    stdin = saved_in;
    stderr = saved_err;
    std::fclose(in);
    std::fclose(err);
    if (res == 0)
        check_loaded(st);
    else
        check(messages_len > 0 && messages[messages_len - 1] == '\n');
    std::free(messages);
    release(st);
    return 0;
}
