// Fuzzes what the daemon reads from outside. The first byte chooses (modulo 3):
//   0  configuration: the rest is standard input to the real loader, which
//      loads with every integer in its range or fails after a message;
//   1  the INI parser: a byte of flags (bit 0 the replace flag, bit 7 refused
//      allocations, one in 2^(the next byte % 8)), then text fed a line per
//      call; a parse succeeds or reports the refusal, deinit frees every block;
//   2  a packet as the client and the server receive it: a byte of choices
//      (bit 0 serving, 1 an IPv6 source, 2 a pending request, 3 sent, 4 with
//      the packet's origin as T1, 5 a source port other than the server's),
//      then 48 bytes. Only a reply from the server to the request sent, from
//      a synchronised server with its times, updates the clock (dry run: its
//      system-log line is counted), and only that or a kiss-o'-death ends the
//      wait; only an IPv4 request to a server is answered, in kind.
// Lookups fail in a fake resolver; clock_settime is a trap.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "client.h"
#include "server.h"

namespace {

int updates;  // successful updates, as the system log saw them

} // namespace

extern "C" int __wrap_getaddrinfo(const char *, const char *, const addrinfo *, addrinfo **)
{
    return EAI_NONAME;
}

extern "C" int __wrap_clock_settime(clockid_t, const timespec *)
{
    __builtin_trap();
}

extern "C" void __wrap_syslog(int, const char *, ...)
{
    updates++;
}

namespace {

void config(const std::uint8_t *data, std::size_t size)
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
        {st->num_update_samples, 1, 64}, {st->update_sample_interval, 100, 60000},
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
}

void ini(const std::uint8_t *data, std::size_t size)
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
        return;
    for (std::size_t at = 2, end; at < size; at = end) {
        const void *nl = std::memchr(data + at, '\n', size - at);
        end = nl != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(nl) - data) + 1 : size;
        long r = inipar_parse_data_ex(&ctx, nullptr, data + at, end - at, data[0] & 1);
        if (r != INIPAR_OK && (r != INIPAR_ENOMEM || a.mask == 0))
            __builtin_trap();
    }
    if (inipar_deinit(&ctx) != INIPAR_OK || a.live != 0)
        __builtin_trap();
}

void packet(const std::uint8_t *data, std::size_t size)
{
    static ntp_state st{};
    static timeserver_entry server{};
    static server_state ss{};
    if (server.host == nullptr) {
        std::ignore = std::freopen("/dev/null", "w", stderr);  // kiss codes are reported there
        st.update_dryrun = st.enable_client = st.syslog_enable = st.syslog_update = true;
        server.host = const_cast<char *>("fuzz");
        server.addr = {AF_INET, htons(123), {htonl(INADDR_LOOPBACK)}, {}};
    }
    if (size < 1 + NTP_PACKET_SIZE)
        return;
    const std::uint8_t mode = data[0];
    net_datagram d{};
    std::memcpy(&d.pkt, data + 1, NTP_PACKET_SIZE);
    const ntp_packet &in = d.pkt;
    d.src = server.addr;
    d.src.sin_family = (mode & 2) ? AF_INET6 : AF_INET;
    d.src.sin_port = static_cast<std::uint16_t>(server.addr.sin_port + ((mode & 32) ? 1 : 0));
    st.enable_server = mode & 1;
    client_state cs{};
    cs.request_pending = mode & 4;
    cs.request_sent = mode & 8;
    cs.sent_ts = cs.left_at = (mode & 16) ? in.orig_ts : ntp_timestamp{};
    cs.cur_server = &server;
    int before = updates;
    client_verdict verdict = client_check_reply(&cs, &d);
    client_on_reply(&st, &cs, &d);
    bool ours = (mode & 12) == 12 && !(mode & 34) && ntp_same(&in.orig_ts, &cs.sent_ts);
    bool accepted = ours && in.stratum > 0 && in.stratum < 16 && ntp_leap(&in) != 3 && !ntp_is_zero(&in.recv_ts) &&
                    !ntp_is_zero(&in.xmit_ts);
    if ((verdict == client_verdict::accept) != accepted || (updates != before) != accepted ||
        cs.request_pending != ((mode & 4) && !accepted && !(ours && in.stratum == 0)))
        __builtin_trap();
    ss.tx.count = 0;
    server_on_request(&st, &ss, &d, false);
    ntp_packet out;
    std::memcpy(&out, ss.tx.data[0], sizeof(out));
    if ((ss.tx.count == 1) != ((mode & 1) && !(mode & 2)) ||
        (ss.tx.count == 1 && (out.stratum != NTP_SERVER_STRATUM || ntp_mode(&out) != NTP_MODE_SERVER ||
                              ntp_version(&out) != ntp_version(&in) || !ntp_same(&out.orig_ts, &in.xmit_ts))))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    void (*const targets[])(const std::uint8_t *, std::size_t) = {config, ini, packet};
    targets[data[0] % 3](data + 1, size - 1);
    return 0;
}
