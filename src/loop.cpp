#include "loop.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "fmt.h"
#include "init.h"
#include "log.h"
#include "platform.h"

namespace {

constexpr std::uint8_t NTP_VERSION = 3;
constexpr std::uint8_t NTP_LI_UNSYNC = 3;
constexpr std::uint8_t NTP_STRATUM_UNSYNC = 16;
constexpr std::uint8_t NTP_REQUEST_POLL = 10;
constexpr std::uint8_t NTP_REQUEST_PRECISION = 0xFD;  // -3

// The request log line shows at most 50 bytes of a host name.
constexpr std::size_t NTP_HOST_SHOWN_MAX = 50;
constexpr int NTP_HOST_SHOWN_CUT = 47;

// Lookups handed to the resolver thread and not answered yet, at most: a
// resolver that never answers must not gather requests without end.
constexpr unsigned NTP_MAX_LOOKUPS_OUT = 4;

void store_be32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

timespec clock_now(clockid_t id)
{
    timespec t{};
    std::ignore = clock_gettime(id, &t);
    return t;
}

bool have_log_output(const ntp_state *st)
{
    return st->log_file != nullptr || st->log_stderr;
}

// Deadlines live on the monotonic clock: stepping the wall clock must never
// move the schedule.
timespec mono_after_ms(std::int64_t ms)
{
    timespec t = clock_now(CLOCK_MONOTONIC);
    timespec_add_ms(&t, ms);
    return t;
}

void schedule_next(const ntp_state *st, loop_state *ls)
{
    ls->next_sync = mono_after_ms(std::int64_t{st->poll_interval} * 1000);
}

[[noreturn]] void exit_unanswered(ntp_state *st)
{
    log_all_impl(st, true, "Time update was not successful, exiting...");
    std::exit(1);
}

// The name of the try's server did not resolve: the try sent nothing and waits
// resolve_retry_timeout before it counts as unanswered.
void lookup_failed(ntp_state *st, loop_state *ls)
{
    log_all_impl(st, true, "Failed to resolve time server address");
    ls->reply_deadline = mono_after_ms(st->resolve_retry_timeout);
}

void address_resolved(ntp_state *st, timeserver_entry *ts)
{
    const char *dotted = inet_ntoa(ts->addr.sin_addr);
    if (st->syslog_enable && st->syslog_resolved_timeservers)
        syslog(LOG_INFO, "Timeserver address is now %s", dotted);
    if (st->log_resolved_timeservers)
        log_impl(st, "Timeserver address is now %s\n", dotted);
    ts->schedules_since_resolve = 0;
    ts->resolved = true;
}

// Hand the name of the try's server to the resolver thread; the try waits for
// the answer until its deadline, recv_timeout from now.
void ask_lookup(ntp_state *st, loop_state *ls, const timeserver_entry *ts)
{
    if (ls->lookups_out >= NTP_MAX_LOOKUPS_OUT || !platform_ask_lookup(&st->resolver, ls->lookup_seq + 1, ts->host)) {
        lookup_failed(st, ls);
        return;
    }
    ls->lookup_seq++;
    ls->lookups_out++;
    ls->lookup_pending = true;
    ls->reply_deadline = mono_after_ms(st->recv_timeout);
}

// Send the request of the current try: T1 is read right before the call that
// sends it, and the kernel's time it left, when it tells, is T1 in the
// arithmetic.
void send_request(ntp_state *st, loop_state *ls, const timeserver_entry *ts)
{
    timespec t1 = clock_now(CLOCK_REALTIME);
    ls->sent_ts = timespec_to_ntp(&t1);
    ntp_build_request(&ls->pkt, &ls->sent_ts);
    ssize_t n = 0;
    timespec left{};
    ls->left_at = platform_send_stamped(st->sock, &ls->pkt, NTP_PACKET_SIZE, &ts->addr, &n, &left)
                      ? timespec_to_ntp(&left) : ls->sent_ts;
    if (n != static_cast<ssize_t>(NTP_PACKET_SIZE))
        log_all_impl(st, true, "Failed to send packet to time server: %s", std::strerror(errno));
    ls->request_sent = true;
    ls->reply_deadline = mono_after_ms(st->recv_timeout);
}

// Take the resolver's answers. Only the one the current try waits for counts:
// the answers of lookups given up are dropped.
void take_lookups(ntp_state *st, loop_state *ls)
{
    platform_lookup_answer a;
    while (platform_take_lookup(&st->resolver, &a)) {
        ls->lookups_out--;
        if (!ls->lookup_pending || a.seq != ls->lookup_seq)
            continue;
        ls->lookup_pending = false;
        if (a.status != 0) {
            lookup_failed(st, ls);
            continue;
        }
        ls->cur_server->addr.sin_family = AF_INET;
        ls->cur_server->addr.sin_addr = a.addr;
        address_resolved(st, ls->cur_server);
        send_request(st, ls, ls->cur_server);
    }
}

// The update of the wall clock for an accepted reply. Returns the outcome.
[[nodiscard]] bool update_clock(ntp_state *st, loop_state *ls, std::int64_t offset, std::int64_t delay,
                  std::int32_t whole, std::uint32_t us)
{
    if (st->update_dryrun) {
        if (st->syslog_enable && st->syslog_update)
            syslog(LOG_INFO, "Ignored successful NTP time update");
        if (st->log_update)
            log_impl(st, "Ignored successful NTP time update\n");
        return true;
    }
    timespec t = clock_now(CLOCK_REALTIME);
    timespec_add_offset(&t, offset);
    // The step is as good as half the round trip; the kernel takes no more
    // than 16 s of error.
    std::int64_t half = (delay < 0 ? -(delay + 1) : delay) >> 1;
    std::int64_t max_error_us =
        half >= (std::int64_t{16} << 32) ? 16'000'000 : (half * 1'000'000) >> 32;
    clock_report report;
    if (platform_set_clock(&t, max_error_us, &report) != 0) {
        log_all_impl(st, true, "Failed to set new time: %s", std::strerror(errno));
        return false;
    }
    ls->clock_set = true;
    // A refusal here (a sandbox that lets the clock be set but not the kernel's
    // status) would repeat at every update: say it once.
    if (report.sync_err != 0 && !ls->sync_refusal_reported) {
        log_all_impl(st, false, "Warning: could not mark the clock as synchronised: %s",
                     std::strerror(report.sync_err));
        ls->sync_refusal_reported = true;
    }
    if (report.rtc_err != 0)
        log_all_impl(st, true, "Failed to write the time to the real-time clock '%s': %s",
                     report.rtc_device, std::strerror(report.rtc_err));
    if (st->syslog_enable && st->syslog_update)
        syslog(LOG_INFO, "Successful NTP time update, offset: %d.%06u sec", whole, us);
    if (st->log_update)
        log_timespec(st, "Update success: ", &t);
    return true;
}

void expire_request(ntp_state *st, loop_state *ls)
{
    if (ls->tries_left > 0) {
        ls->tries_left--;
        start_synchronize(st, ls, ls->cur_server);
        return;
    }
    schedule_next(st, ls);
    ls->cur_server->schedules_since_resolve++;
    if (st->syslog_enable && st->syslog_timeserver_response_timeout)
        syslog(LOG_WARNING, "Timeserver %s did not respond", ls->cur_server->host);
    if (st->log_timeserver_response_timeout)
        log_impl(st, "Timeserver %s did not respond\n", ls->cur_server->host);
    ls->request_pending = false;
    if (st->exit_when_timeout &&
        (st->server_select != SERVER_SELECT_ROTATE ||
         st->current_timeserver + 1 >= st->timeservers.count))
        exit_unanswered(st);
}

// A kiss-o'-death answers the request with a code instead of a time. The try
// ends at once, as if its last deadline had passed: a server that asks for
// less traffic gets no request before the next schedule.
void end_kissed_try(ntp_state *st, loop_state *ls)
{
    char code[5] = {};
    for (std::size_t i = 0; i < 4; i++) {
        std::uint8_t c = ls->pkt.ref_id[i];
        code[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    log_all_impl(st, true, "Timeserver %s sent kiss code '%s'", ls->cur_server->host, code);
    ls->tries_left = 0;
    expire_request(st, ls);
}

void handle_reply(ntp_state *st, loop_state *ls)
{
    const ntp_packet &pkt = ls->pkt;
    if (!ls->request_pending) {
        if (st->log_unexpected_update_reply)
            log_impl(st, "Invalid packet dropped, no request was sent recently\n");
        return;
    }
    // Only the server the request went to answers it.
    const sockaddr_in &to = ls->cur_server->addr;
    if (ls->src.sin_family != AF_INET || ls->src.sin_addr.s_addr != to.sin_addr.s_addr ||
        ls->src.sin_port != to.sin_port) {
        if (st->log_bad_orig_ts)
            log_impl(st, "Invalid packet dropped, it came from %s:%u, not from the time server\n",
                     inet_ntoa(ls->src.sin_addr), static_cast<unsigned>(ntohs(ls->src.sin_port)));
        return;
    }
    // The reply's origin must be the T1 of the request this try sent. A try
    // that sent nothing (its name did not resolve) accepts no reply at all: an
    // earlier try's T1 would give a plainly wrong offset.
    if (!ls->request_sent || std::memcmp(&pkt.orig_ts, &ls->sent_ts, sizeof(ntp_timestamp)) != 0) {
        if (st->log_bad_orig_ts)
            log_impl(st, "Invalid packet dropped, 'orig_ts' do not match\n");
        return;
    }
    if (pkt.stratum == 0) {
        end_kissed_try(st, ls);
        return;
    }
    // A server that says its own clock is not synchronised has no time to give.
    unsigned li = pkt.li_vn_mode >> 6;
    if (li == NTP_LI_UNSYNC || pkt.stratum >= NTP_STRATUM_UNSYNC) {
        if (st->log_bad_orig_ts)
            log_impl(st, "Invalid packet dropped, the server is not synchronised (leap indicator %u, stratum %u)\n",
                     li, static_cast<unsigned>(pkt.stratum));
        return;
    }
    // A zero receive or transmit time is not a time: servers that are not
    // synchronised send such replies, and taking them would step the clock by
    // decades.
    static constexpr ntp_timestamp zero{};
    if (std::memcmp(&pkt.recv_ts, &zero, sizeof(zero)) == 0 ||
        std::memcmp(&pkt.xmit_ts, &zero, sizeof(zero)) == 0) {
        if (st->log_bad_orig_ts)
            log_impl(st, "Invalid packet dropped, zero receive or transmit timestamp\n");
        return;
    }

    if (st->log_update_timestamps && have_log_output(st)) {
        log_timestamp(st, "  orig_ts -> ", ntp_bytes(&pkt.orig_ts));
        log_timestamp(st, "  recv_ts -> ", ntp_bytes(&pkt.recv_ts));
        log_timestamp(st, "  xmit_ts -> ", ntp_bytes(&pkt.xmit_ts));
        log_timestamp(st, "  ts_recv -> ", ntp_bytes(&ls->ts_recv));
    }
    std::int64_t offset, delay;
    // T1 is when the request left, the kernel's time when it told it.
    ntp_offset_delay(&ls->left_at, &pkt.recv_ts, &pkt.xmit_ts, &ls->ts_recv, &offset, &delay);
    std::int32_t off_whole, delay_whole;
    std::uint32_t off_frac, delay_frac;
    fixed_split(offset, &off_whole, &off_frac);
    fixed_split(delay, &delay_whole, &delay_frac);
    std::uint32_t off_us = fraction_to_us(off_frac);
    log_impl(st, "Offset: %d.%06u sec\n", off_whole, off_us);
    log_impl(st, "Delay:  %d.%06u sec\n", delay_whole, fraction_to_us(delay_frac));

    bool ok = update_clock(st, ls, offset, delay, off_whole, off_us);
    if (st->exit_after_update) {
        if (!ok) {
            log_all_impl(st, true, "ERROR: Time update was unsuccessful, exiting...");
            std::exit(1);
        }
        log_all_impl(st, false, "Time update was successful, exiting...");
        std::exit(0);
    }
    schedule_next(st, ls);
    ls->cur_server->schedules_since_resolve++;
    ls->request_pending = false;
}

// Send the queued server replies. Their transmit time is read just before
// the call that sends them.
void flush_replies(loop_state *ls, int sock)
{
    if (ls->tx.count == 0)
        return;
    timespec now = clock_now(CLOCK_REALTIME);
    ntp_timestamp x = timespec_to_ntp(&now);
    for (unsigned i = 0; i < ls->tx.count; i++)
        std::memcpy(ls->tx.data[i] + offsetof(ntp_packet, xmit_ts), &x, sizeof(x));
    platform_send_batch(sock, &ls->tx);
}

void handle_request(ntp_state *st, loop_state *ls)
{
    if (ls->src.sin_family != AF_INET) {
        if (st->log_unsupported_protocol)
            log_impl(st, "Ignoring incoming packet of an unsupported protocol (family: %i)\n",
                     static_cast<int>(ls->src.sin_family));
        return;
    }
    if (!st->enable_server) {
        if (st->log_ignored_req)
            log_impl(st, "Ignoring update request from %s:%u, server mode is not enabled\n",
                     inet_ntoa(ls->src.sin_addr), static_cast<unsigned>(ntohs(ls->src.sin_port)));
        return;
    }
    // The receive time is when the request arrived, as the kernel stamped it;
    // without a stamp, the first reading after the checks.
    ntp_timestamp r = ls->ts_recv;
    if (!ls->rx_kernel) {
        timespec now = clock_now(CLOCK_REALTIME);
        r = timespec_to_ntp(&now);
    }
    ls->reply = ls->pkt;
    if (st->log_incoming_update_req && have_log_output(st)) {
        char prefix[64];
        std::snprintf(prefix, sizeof(prefix), "Synchronization request from %s:%u at ",
                      inet_ntoa(ls->src.sin_addr), static_cast<unsigned>(ntohs(ls->src.sin_port)));
        log_timestamp(st, prefix, ntp_bytes(&r));
    }
    ntp_build_reply(&ls->reply, &r, st->local_addr.sin_addr, ls->precision);
    // A client that has not set the clock yet may serve a clock that was never
    // set: told so, clients refuse its time.
    if (st->server_require_sync && st->enable_client && !ls->clock_set) {
        ls->reply.li_vn_mode |= NTP_LI_UNSYNC << 6;
        ls->reply.stratum = NTP_STRATUM_UNSYNC;
    }

    unsigned k = ls->tx.count++;
    std::memcpy(ls->tx.data[k], &ls->reply, NTP_PACKET_SIZE);
    ls->tx.addr[k] = ls->src;
    ls->tx.addr_len[k] = ls->src_len;
    if (ls->tx.count == PLATFORM_BATCH)
        flush_replies(ls, st->sock);
}

// Classify one datagram and hand it on. Server replies are queued.
void dispatch(ntp_state *st, loop_state *ls)
{
    unsigned vn = (ls->pkt.li_vn_mode >> 3) & 7;
    unsigned mode = ls->pkt.li_vn_mode & 7;
    bool answered_v4 = vn == 4 && mode == NTP_MODE_CLIENT && st->server_answer_v4;
    if ((vn & 4) && !answered_v4) {
        if (st->log_unsupported_version)
            log_impl(st, "Invalid packet dropped, version %u is not supported\n", vn);
        return;
    }
    if (mode == NTP_MODE_SERVER) {
        // The answers to earlier requests go out first: accepting a reply may
        // end the process.
        flush_replies(ls, st->sock);
        handle_reply(st, ls);
    } else if (mode == NTP_MODE_CLIENT) {
        handle_request(st, ls);
    } else if (st->log_unknown_packet_mode) {
        log_impl(st, "Ignoring unknown packet (mode=%u)\n", mode);
    }
}

void begin_synchronization(ntp_state *st, loop_state *ls)
{
    ls->cur_server = select_timeserver(st);
    if (ls->cur_server == nullptr) {
        // Every server's name failed to resolve and may not be resolved on
        // use: wait a whole interval instead of drawing again at once.
        log_all_impl(st, true, "No resolved timeserver is available, synchronization skipped");
        schedule_next(st, ls);
        if (st->exit_when_timeout)
            exit_unanswered(st);
        return;
    }
    start_synchronize(st, ls, ls->cur_server);
    ls->tries_left = st->num_update_tries - 1;
    ls->request_pending = true;
}

// poll() reported the socket without readable data. A pending socket error is
// read (which clears it), so the next poll() blocks again instead of spinning.
// Returns false when the socket can no longer be used.
[[nodiscard]] bool clear_socket_condition(const ntp_state *st, short revents)
{
    if (revents & POLLNVAL) {
        errno = EBADF;
        return false;
    }
    if (revents & POLLERR) {
        int err = 0;
        socklen_t len = sizeof(err);
        std::ignore = getsockopt(st->sock, SOL_SOCKET, SO_ERROR, &err, &len);
        platform_drain_sent_reports(st->sock);  // a report of a send that came late
        return true;
    }
    if (revents & POLLHUP) {
        errno = ESHUTDOWN;
        return false;
    }
    return true;
}

} // namespace

ntp_timestamp timespec_to_ntp(const timespec *t)
{
    ntp_timestamp ts;
    store_be32(ts.sec, static_cast<std::uint32_t>(t->tv_sec + NTP_UNIX_EPOCH));
    store_be32(ts.frac, ntp_fraction(static_cast<std::uint32_t>(t->tv_nsec)));
    return ts;
}

std::uint64_t ntp_to_fixed(const ntp_timestamp *ts)
{
    return std::uint64_t{load_be32(ts->sec)} << 32 | load_be32(ts->frac);
}

std::span<const std::uint8_t, 8> ntp_bytes(const ntp_timestamp *ts)
{
    return std::span<const std::uint8_t, 8>(ts->sec, 8);
}

// RFC 5905, 8: offset = ((T2 - T1) + (T3 - T4)) / 2, delay = (T4 - T1) - (T3 - T2).
// Differences are taken modulo 2^64, so an exchange across the 2036 wrap holds.
void ntp_offset_delay(const ntp_timestamp *t1, const ntp_timestamp *t2, const ntp_timestamp *t3,
                      const ntp_timestamp *t4, std::int64_t *offset, std::int64_t *delay)
{
    std::uint64_t a = ntp_to_fixed(t1), b = ntp_to_fixed(t2);
    std::uint64_t c = ntp_to_fixed(t3), d = ntp_to_fixed(t4);
    auto sum = static_cast<std::int64_t>((b - a) - (d - c));
    // Halve truncating toward zero, in units of 2^-32 s.
    *offset = (sum + (sum < 0 ? 1 : 0)) >> 1;
    *delay = static_cast<std::int64_t>((d - a) - (c - b));
}

void fixed_split(std::int64_t v, std::int32_t *whole, std::uint32_t *frac)
{
    *whole = static_cast<std::int32_t>(v >> 32);
    *frac = static_cast<std::uint32_t>(v);
}

std::uint32_t fraction_to_ns(std::uint32_t frac)
{
    return static_cast<std::uint32_t>((std::uint64_t{frac} * 1'000'000'000u) >> 32);
}

std::uint32_t fraction_to_us(std::uint32_t frac)
{
    return fraction_to_ns(frac) / 1000;
}

void timespec_add_offset(timespec *t, std::int64_t offset)
{
    std::int32_t whole;
    std::uint32_t frac;
    fixed_split(offset, &whole, &frac);
    t->tv_sec += whole;
    t->tv_nsec += fraction_to_ns(frac);
    if (t->tv_nsec > 999'999'999) {
        t->tv_sec += 1;
        t->tv_nsec -= 1'000'000'000;
    }
}

void timespec_add_ms(timespec *t, std::int64_t ms)
{
    t->tv_sec += ms / 1000;
    t->tv_nsec += (ms % 1000) * 1'000'000;
    if (t->tv_nsec > 999'999'999) {
        t->tv_sec += 1;
        t->tv_nsec -= 1'000'000'000;
    }
}

bool ms_until(const timespec *target, const timespec *now, int *wait_ms)
{
    long target_ms = target->tv_nsec / 1'000'000;
    long now_ms = now->tv_nsec / 1'000'000;
    if (target->tv_sec < now->tv_sec || (target->tv_sec == now->tv_sec && target_ms <= now_ms))
        return true;
    if (target->tv_sec > now->tv_sec + 10'000) {
        *wait_ms = NTP_MAX_WAIT_MS;
        return false;
    }
    // Up to 10,000 s and 999 ms here: the cap holds for these too.
    long wait = (target->tv_sec - now->tv_sec) * 1000 + target_ms - now_ms;
    *wait_ms = static_cast<int>(wait < NTP_MAX_WAIT_MS ? wait : NTP_MAX_WAIT_MS);
    return false;
}

void ntp_build_request(ntp_packet *pkt, const ntp_timestamp *t1)
{
    *pkt = ntp_packet{};
    pkt->li_vn_mode = NTP_LI_UNSYNC << 6 | NTP_VERSION << 3 | NTP_MODE_CLIENT;
    pkt->poll_exp = NTP_REQUEST_POLL;
    pkt->precision = NTP_REQUEST_PRECISION;
    pkt->ref_ts = *t1;
    pkt->xmit_ts = *t1;
}

void ntp_build_reply(ntp_packet *reply, const ntp_timestamp *r, in_addr local, std::int8_t precision)
{
    std::uint8_t vn = (reply->li_vn_mode >> 3) & 7;
    reply->li_vn_mode = static_cast<std::uint8_t>(vn << 3 | NTP_MODE_SERVER);
    reply->stratum = NTP_SERVER_STRATUM;
    reply->precision = static_cast<std::uint8_t>(precision);
    std::memset(reply->root_delay, 0, sizeof(reply->root_delay));
    std::memset(reply->root_dispersion, 0, sizeof(reply->root_dispersion));
    std::memcpy(reply->ref_id, &local.s_addr, sizeof(reply->ref_id));
    reply->orig_ts = reply->xmit_ts;
    reply->ref_ts = *r;
    reply->recv_ts = *r;
}

std::int8_t clock_precision()
{
    timespec res{};
    if (clock_getres(CLOCK_REALTIME, &res) != 0 || (res.tv_sec == 0 && res.tv_nsec == 0))
        res = {0, 1000};
    // The smallest p with 2^p s >= the resolution, in 32.32 nanoseconds.
    std::uint64_t res_ns = static_cast<std::uint64_t>(res.tv_sec) * 1'000'000'000u +
                           static_cast<std::uint64_t>(res.tv_nsec);
    if (res_ns > 1'000'000'000u)
        return 1;
    std::uint64_t step = std::uint64_t{1'000'000'000u} << 32;  // 2^0 s
    std::uint64_t want = res_ns << 32;
    int p = 0;
    while (p > -60 && step / 2 >= want) {
        step /= 2;
        p--;
    }
    if (step < want)
        p++;
    return static_cast<std::int8_t>(p);
}

timeserver_entry *select_timeserver(ntp_state *st)
{
    std::size_t n = st->timeservers.count;
    if (n == 0)
        return nullptr;
    bool any = is_deferred_resolution_enabled(st) != 0;
    for (int draw = 0; draw < NTP_MAX_SERVER_DRAWS; draw++) {
        std::size_t idx;
        if (st->server_select == SERVER_SELECT_ROTATE) {
            std::size_t next = st->current_timeserver + 1;
            st->current_timeserver = next < n ? next : 0;
            idx = st->current_timeserver;
        } else {
            idx = static_cast<std::size_t>(std::rand()) % n;
        }
        auto *ts = static_cast<timeserver_entry *>(st->timeservers.items[idx]);
        if (any || ts->resolved)
            return ts;
    }
    return nullptr;
}

void start_synchronize(ntp_state *st, loop_state *ls, timeserver_entry *ts)
{
    // The request line shows when the try began; T1 is read later, right
    // before the send, so that the time a name lookup takes is not measured
    // as network delay (half of it would land in the offset).
    timespec begun = clock_now(CLOCK_REALTIME);
    ls->request_sent = false;
    ls->lookup_pending = false;

    if (st->syslog_enable && st->syslog_update_req)
        syslog(LOG_INFO, "Starting synchronization with %s:%u", ts->host,
               static_cast<unsigned>(ts->port));
    if (st->log_update_req && have_log_output(st)) {
        bool cut = ts->host_len > NTP_HOST_SHOWN_MAX;
        int shown = cut ? NTP_HOST_SHOWN_CUT : static_cast<int>(ts->host_len);
        char prefix[128];
        std::snprintf(prefix, sizeof(prefix), "Synchronize with %.*s%s:%u at ", shown, ts->host,
                      cut ? "..." : "", static_cast<unsigned>(ts->port));
        log_timespec(st, prefix, &begun);
    }

    bool outdated = st->resolve_timeserver_again_after > 0 &&
                    ts->schedules_since_resolve >= st->resolve_timeserver_again_after;
    if (outdated) {
        if (st->syslog_enable && st->syslog_outdated_timeservers)
            syslog(LOG_INFO, "Timeserver address is outdated, resolve it again.");
        if (st->log_outdated_timeservers)
            log_impl(st, "Timeserver address is outdated, resolve it again.\n");
        ts->resolved = false;
    }
    if (!ts->resolved || !st->resolve_timeservers) {
        if (resolve_address(ts->host, &ts->addr) != 0) {
            // A name: the resolver thread looks it up while the loop goes on.
            if (st->resolver.running) {
                ask_lookup(st, ls, ts);
                return;
            }
            if (resolve_host(ts->host, &ts->addr) != 0) {
                lookup_failed(st, ls);
                return;
            }
        }
        address_resolved(st, ts);
    }
    send_request(st, ls, ts);
}

void handle_datagram(ntp_state *st, loop_state *ls)
{
    dispatch(st, ls);
    flush_replies(ls, st->sock);
}

void main_loop(ntp_state *st)
{
    loop_state ls{};
    ls.precision = clock_precision();
    if (st->enable_client)
        platform_warm_up(st->sock);
    ls.next_sync = mono_after_ms(std::int64_t{st->first_update_delay} * 1000);
    pollfd pfd[2] = {{st->sock, POLLIN, 0}, {st->resolver.fd, POLLIN, 0}};

    for (;;) {
        timespec now = clock_now(CLOCK_MONOTONIC);
        int wait_ms = -1;
        if (st->enable_client) {
            if (ls.request_pending) {
                if (ms_until(&ls.reply_deadline, &now, &wait_ms)) {
                    if (ls.lookup_pending) {  // the resolver did not answer in time
                        ls.lookup_pending = false;
                        lookup_failed(st, &ls);
                    } else {
                        expire_request(st, &ls);
                    }
                    continue;
                }
            } else if (ms_until(&ls.next_sync, &now, &wait_ms)) {
                begin_synchronization(st, &ls);
                continue;
            }
        }

        // While the last receive filled a whole batch, more datagrams are
        // likely waiting: read them without polling first.
        if (!ls.rx_more) {
            pfd[0].revents = pfd[1].revents = 0;
            int ready = poll(pfd, st->resolver.running ? 2 : 1, wait_ms);
            if (ready == 0)
                continue;
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (pfd[1].revents != 0)
                take_lookups(st, &ls);
            if ((pfd[0].revents & POLLIN) == 0) {
                if (!clear_socket_condition(st, pfd[0].revents))
                    return;
                continue;
            }
        }

        int n = platform_recv_batch(st->sock, &ls.rx);
        ls.rx_more = n == static_cast<int>(PLATFORM_BATCH);
        if (n <= 0)
            continue;
        // T4 is the kernel's receive time of each datagram; a datagram without
        // one gets this reading, taken right after the call.
        timespec rt = clock_now(CLOCK_REALTIME);
        ntp_timestamp t4 = timespec_to_ntp(&rt);
        for (unsigned i = 0; i < ls.rx.count; i++) {
            if (ls.rx.len[i] < NTP_PACKET_SIZE)
                continue;
            std::memcpy(&ls.pkt, ls.rx.data[i], NTP_PACKET_SIZE);
            ls.src = ls.rx.addr[i];
            ls.src_len = ls.rx.addr_len[i];
            ls.rx_kernel = ls.rx.stamped[i];
            ls.ts_recv = ls.rx_kernel ? timespec_to_ntp(&ls.rx.stamp[i]) : t4;
            dispatch(st, &ls);
        }
        flush_replies(&ls, st->sock);
    }
}
