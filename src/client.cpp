#include "client.h"

#include <arpa/inet.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fmt.h"
#include "init.h"
#include "log.h"
#include "platform.h"
#include "resolver.h"
#include "update.h"

namespace {

// How many candidates one server choice may draw before it gives up.
constexpr int CLIENT_MAX_SERVER_DRAWS = 10'000;

// The request log line shows at most 50 bytes of a host name.
constexpr std::size_t CLIENT_HOST_SHOWN_MAX = 50;
constexpr int CLIENT_HOST_SHOWN_CUT = 47;

// Deadlines live on the monotonic clock: stepping the wall clock must never
// move the schedule.
timespec mono_after_ms(std::int64_t ms)
{
    timespec t = platform_now(CLOCK_MONOTONIC);
    timespec_add_ms(&t, ms);
    return t;
}

[[noreturn]] void exit_unanswered(ntp_state *st)
{
    log_all_impl(st, true, "Time update was not successful, exiting...");
    std::exit(1);
}

// The name of the try's server did not resolve: the try sent nothing and waits
// resolve_retry_timeout before it counts as unanswered.
void lookup_failed(ntp_state *st, client_state *cs)
{
    log_all_impl(st, true, "Failed to resolve time server address");
    cs->reply_deadline = mono_after_ms(st->resolve_retry_timeout);
}

// A server's name or address has given its address: the port goes with it.
void address_resolved(ntp_state *st, timeserver_entry *ts)
{
    net_set_port(&ts->addr, ts->port);
    char addr[NET_ADDR_TEXT], text[NET_ADDR_TEXT + 32];
    std::snprintf(text, sizeof(text), "Timeserver address is now %s",
                  net_addr_text(&ts->addr, false, &addr));
    log_event(st, st->log_resolved_timeservers, st->syslog_resolved_timeservers, LOG_INFO, text);
    ts->schedules_since_resolve = 0;
    ts->resolved = true;
}

// Hand the name of the try's server to the resolver thread; the try waits for
// the answer until its deadline, recv_timeout from now.
void ask_lookup(ntp_state *st, client_state *cs, const timeserver_entry *ts)
{
    if (!resolver_ask(&st->resolver, ts->host, st->timeserver_family, &cs->lookup_seq)) {
        lookup_failed(st, cs);
        return;
    }
    cs->lookup_pending = true;
    cs->reply_deadline = mono_after_ms(st->recv_timeout);
}

// Send the request of the current try: T1 is read right before the call that
// sends it, and the kernel's time it left, when it tells, is T1 in the
// arithmetic.
void send_request(ntp_state *st, client_state *cs, const timeserver_entry *ts)
{
    timespec t1 = platform_now(CLOCK_REALTIME);
    cs->sent_ts = timespec_to_ntp(&t1);
    ntp_build_request(&cs->request, &cs->sent_ts);
    ssize_t n = 0;
    timespec left{};
    int sock = ts->addr.sa.sa_family == AF_INET6 ? st->sock6 : st->sock;
    cs->left_at = net_send_stamped(sock, &cs->request, NTP_PACKET_SIZE, &ts->addr, &n, &left)
        ? timespec_to_ntp(&left)
        : cs->sent_ts;
    if (n != static_cast<ssize_t>(NTP_PACKET_SIZE))
        log_all_impl(st, true, "Failed to send packet to time server: %s", std::strerror(errno));
    cs->request_sent = true;
    cs->reply_deadline = mono_after_ms(st->recv_timeout);
}

// Begin a try with ts: log the request and, when its name must be looked up,
// hand it to the resolver thread (or, without one, look it up here); then, or
// when the answer comes, send.
void start_synchronize(ntp_state *st, client_state *cs, timeserver_entry *ts)
{
    // The request line shows when the try began; T1 is read later, right
    // before the send, so that the time a name lookup takes is not measured
    // as network delay (half of it would land in the offset).
    timespec begun = platform_now(CLOCK_REALTIME);
    cs->request_sent = false;
    cs->lookup_pending = false;

    // An IPv6 address is written in brackets before its port.
    const char *open = std::strchr(ts->host, ':') != nullptr ? "[" : "", *close = *open ? "]" : "";
    if (st->syslog_enable && st->syslog_update_req)
        syslog(LOG_INFO, "Starting synchronization with %s%s%s:%u", open, ts->host, close,
               static_cast<unsigned>(ts->port));
    if (st->log_update_req && log_has_output(st)) {
        bool cut = ts->host_len > CLIENT_HOST_SHOWN_MAX;
        int shown = cut ? CLIENT_HOST_SHOWN_CUT : static_cast<int>(ts->host_len);
        char prefix[128];
        std::snprintf(prefix, sizeof(prefix), "Synchronize with %s%.*s%s%s:%u at ", open, shown,
                      ts->host, cut ? "..." : "", close, static_cast<unsigned>(ts->port));
        log_timespec(st, prefix, &begun);
    }

    if (st->resolve_timeserver_again_after > 0 &&
        ts->schedules_since_resolve >= st->resolve_timeserver_again_after) {
        log_event(st, st->log_outdated_timeservers, st->syslog_outdated_timeservers, LOG_INFO,
                  "Timeserver address is outdated, resolve it again.");
        ts->resolved = false;
    }
    if (!ts->resolved || !st->resolve_timeservers) {
        if (resolver_numeric(ts->host, &ts->addr) != 0) {
            // A name: the resolver thread looks it up while the loop goes on.
            if (st->resolver.running) {
                ask_lookup(st, cs, ts);
                return;
            }
            if (resolve_host(ts->host, st->timeserver_family, &ts->addr) != 0) {
                lookup_failed(st, cs);
                return;
            }
        }
        address_resolved(st, ts);
    }
    send_request(st, cs, ts);
}

// Choose the server of the next synchronization (rotate or random). Returns
// null only when names cannot be resolved on use and no drawn server is resolved.
timeserver_entry *select_timeserver(ntp_state *st)
{
    std::size_t n = st->timeservers.count;
    if (n == 0)
        return nullptr;
    bool any = is_deferred_resolution_enabled(st) != 0;
    for (int draw = 0; draw < CLIENT_MAX_SERVER_DRAWS; draw++) {
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

void begin_synchronization(ntp_state *st, client_state *cs)
{
    cs->cur_server = select_timeserver(st);
    if (cs->cur_server == nullptr) {
        // Every server's name failed to resolve and may not be resolved on
        // use: wait a whole interval instead of drawing again at once.
        log_all_impl(st, true, "No resolved timeserver is available, synchronization skipped");
        cs->next_sync = mono_after_ms(std::int64_t{st->poll_interval} * 1000);
        if (st->exit_when_timeout)
            exit_unanswered(st);
        return;
    }
    cs->samples = 0;
    cs->between_samples = false;
    start_synchronize(st, cs, cs->cur_server);
    cs->tries_left = st->num_update_tries - 1;
    cs->request_pending = true;
}

// The end of a synchronization, answered or not: the next is due an interval later.
void end_synchronization(const ntp_state *st, client_state *cs)
{
    cs->next_sync = mono_after_ms(std::int64_t{st->poll_interval} * 1000);
    cs->cur_server->schedules_since_resolve++;
    cs->request_pending = false;
}

// The end of a synchronization that has samples: the best one is logged and
// stepped (the exit rule for updates may end the process there).
void update(ntp_state *st, client_state *cs)
{
    update_apply(st, &cs->updates, &cs->best);
    end_synchronization(st, cs);
}

// An accepted reply is a sample. The one of the lowest delay is kept: on a
// path that queues, its offset is the least skewed by the queue. The next
// sample is asked for update_sample_interval later, so that the samples are
// not taken in one queueing episode.
void take_sample(ntp_state *st, client_state *cs, const net_datagram *d)
{
    const ntp_packet &pkt = d->pkt;
    std::int64_t offset, delay;
    // T1 is when the request left, the kernel's time when it told it.
    ntp_offset_delay(&cs->left_at, &pkt.recv_ts, &pkt.xmit_ts, &d->t4, &offset, &delay);
    cs->samples++;
    if (st->log_update_samples) {
        ntp_decimal off = ntp_to_decimal(offset), del = ntp_to_decimal(delay);
        log_impl(st, "Sample %i of %i: offset %s%u.%06u sec, delay %s%u.%06u sec\n", cs->samples,
                 st->num_update_samples, off.sign, off.sec, off.usec, del.sign, del.sec, del.usec);
    }
    if (cs->samples == 1 || delay < cs->best.delay)
        cs->best = {offset, delay, {pkt.orig_ts, pkt.recv_ts, pkt.xmit_ts, d->t4}};
    if (cs->samples >= st->num_update_samples) {
        update(st, cs);
        return;
    }
    cs->request_sent = false;
    cs->between_samples = true;
    cs->reply_deadline = mono_after_ms(st->update_sample_interval);
}

void expire_request(ntp_state *st, client_state *cs)
{
    if (cs->tries_left > 0) {
        cs->tries_left--;
        start_synchronize(st, cs, cs->cur_server);
        return;
    }
    if (cs->samples > 0) { // the try budget is spent: the samples taken decide
        update(st, cs);
        return;
    }
    end_synchronization(st, cs);
    char text[CONF_LINE_MAX + 32];
    std::snprintf(text, sizeof(text), "Timeserver %s did not respond", cs->cur_server->host);
    log_event(st, st->log_timeserver_response_timeout, st->syslog_timeserver_response_timeout,
              LOG_WARNING, text);
    if (st->exit_when_timeout &&
        (st->server_select != SERVER_SELECT_ROTATE ||
         st->current_timeserver + 1 >= st->timeservers.count))
        exit_unanswered(st);
}

} // namespace

void client_start(const ntp_state *st, client_state *cs, const timespec *now)
{
    cs->next_sync = *now;
    timespec_add_ms(&cs->next_sync, std::int64_t{st->first_update_delay} * 1000);
}

bool client_due(const client_state *cs, const timespec *now, int *wait_ms)
{
    return ms_until(cs->request_pending ? &cs->reply_deadline : &cs->next_sync, now, wait_ms);
}

void client_on_due(ntp_state *st, client_state *cs)
{
    if (!cs->request_pending) {
        begin_synchronization(st, cs);
    } else if (cs->between_samples) { // the next sample, to the address of the first
        cs->between_samples = false;
        send_request(st, cs, cs->cur_server);
    } else if (cs->lookup_pending) { // the resolver did not answer in time
        cs->lookup_pending = false;
        lookup_failed(st, cs);
    } else {
        expire_request(st, cs);
    }
}

// Only the answer the current try waits for counts: the answers of lookups
// given up are dropped.
void client_take_lookups(ntp_state *st, client_state *cs)
{
    resolver_answer a;
    while (resolver_take(&st->resolver, &a)) {
        if (!cs->lookup_pending || a.seq != cs->lookup_seq)
            continue;
        cs->lookup_pending = false;
        if (a.status != 0) {
            lookup_failed(st, cs);
            continue;
        }
        cs->cur_server->addr = a.addr;
        address_resolved(st, cs->cur_server);
        send_request(st, cs, cs->cur_server);
    }
}

client_verdict client_check_reply(const client_state *cs, const net_datagram *d)
{
    const ntp_packet &pkt = d->pkt;
    if (!cs->request_pending)
        return client_verdict::no_request;
    // Only the server the request went to answers it.
    if (!net_same(&d->src, &cs->cur_server->addr))
        return client_verdict::wrong_source;
    // The reply's origin must be the T1 of the request this try sent. A try
    // that sent nothing (its name did not resolve) accepts no reply at all: an
    // earlier try's T1 would give a plainly wrong offset.
    if (!cs->request_sent || !ntp_same(&pkt.orig_ts, &cs->sent_ts))
        return client_verdict::bad_origin;
    if (pkt.stratum == 0)
        return client_verdict::kiss;
    // A server that says its own clock is not synchronised has no time to give.
    if (ntp_leap(&pkt) == NTP_LI_UNSYNC || pkt.stratum >= NTP_STRATUM_UNSYNC)
        return client_verdict::unsynchronised;
    // A zero receive or transmit time is not a time: servers that are not
    // synchronised send such replies, and taking them would step the clock by
    // decades.
    if (ntp_is_zero(&pkt.recv_ts) || ntp_is_zero(&pkt.xmit_ts))
        return client_verdict::no_time;
    return client_verdict::accept;
}

void client_on_reply(ntp_state *st, client_state *cs, const net_datagram *d)
{
    client_verdict v = client_check_reply(cs, d);
    if (v == client_verdict::accept) {
        take_sample(st, cs, d);
        return;
    }
    if (v == client_verdict::kiss) {
        // The try ends at once, as if its last deadline had passed: a server
        // that asks for less traffic gets no request before the next schedule.
        char code[5];
        ntp_kiss_code(&d->pkt, &code);
        log_all_impl(st, true, "Timeserver %s sent kiss code '%s'", cs->cur_server->host, code);
        cs->tries_left = 0;
        expire_request(st, cs);
        return;
    }
    bool unexpected = v == client_verdict::no_request;
    if (!(unexpected ? st->log_unexpected_update_reply : st->log_bad_orig_ts) ||
        !log_has_output(st) ||
        !log_limit_pass(st, unexpected ? log_kind::no_request : log_kind::bad_reply))
        return;
    char why[96 + NET_ADDR_TEXT], from[NET_ADDR_TEXT];
    if (v == client_verdict::no_request)
        std::snprintf(why, sizeof(why), "no request was sent recently");
    else if (v == client_verdict::wrong_source)
        std::snprintf(why, sizeof(why), "it came from %s, not from the time server",
                      net_addr_text(&d->src, true, &from));
    else if (v == client_verdict::bad_origin)
        std::snprintf(why, sizeof(why), "'orig_ts' do not match");
    else if (v == client_verdict::unsynchronised)
        std::snprintf(why, sizeof(why),
                      "the server is not synchronised (leap indicator %u, stratum %u)",
                      ntp_leap(&d->pkt), static_cast<unsigned>(d->pkt.stratum));
    else
        std::snprintf(why, sizeof(why), "zero receive or transmit timestamp");
    log_impl(st, "Invalid packet dropped, %s\n", why);
}
