#include "loop.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "client.h"
#include "log.h"
#include "net.h"
#include "platform.h"
#include "server.h"

namespace {

// The loop's own storage: nothing is allocated once it runs.
struct loop_state {
    client_state client;
    server_state server;
    net_batch rx; // datagrams of the last receive
};

// Hand one datagram to the client or the server by its mode. Answers are queued.
void dispatch(ntp_state *st, loop_state *ls, const net_datagram *d)
{
    unsigned vn = ntp_version(&d->pkt), mode = ntp_mode(&d->pkt);
    bool answered_v4 = vn == 4 && mode == NTP_MODE_CLIENT && st->server_answer_v4;
    if ((vn & 4) && !answered_v4) {
        if (st->log_unsupported_version && log_limit_pass(st, log_kind::version))
            log_impl(st, "Invalid packet dropped, version %u is not supported\n", vn);
        return;
    }
    if (mode == NTP_MODE_SERVER) {
        // The answers to earlier requests go out first: accepting a reply may
        // end the process.
        server_flush(st, &ls->server);
        client_on_reply(st, &ls->client, d);
    } else if (mode == NTP_MODE_CLIENT) {
        server_on_request(st, &ls->server, d, ls->client.updates.clock_set);
    } else if (st->log_unknown_packet_mode && log_limit_pass(st, log_kind::unknown_mode)) {
        log_impl(st, "Ignoring unknown packet (mode=%u)\n", mode);
    }
}

// Receive what waits on the IPv4 (0) or the IPv6 (1) socket and handle each
// datagram of 48 bytes or more.
void receive(ntp_state *st, loop_state *ls, int which)
{
    int n = net_recv_batch(which == 0 ? st->sock : st->sock6, &ls->rx);
    if (n <= 0)
        return;
    // T4 is the kernel's receive time of each datagram; a datagram without
    // one gets this reading, taken right after the call.
    timespec rt = platform_now(CLOCK_REALTIME);
    ntp_timestamp t4 = timespec_to_ntp(&rt);
    net_datagram d;
    for (unsigned i = 0; i < ls->rx.count; i++) {
        if (ls->rx.len[i] < NTP_PACKET_SIZE)
            continue;
        std::memcpy(&d.pkt, ls->rx.data[i], NTP_PACKET_SIZE);
        d.src = ls->rx.addr[i];
        d.src_len = ls->rx.addr_len[i];
        d.kernel_time = ls->rx.stamped[i];
        d.t4 = d.kernel_time ? timespec_to_ntp(&ls->rx.stamp[i]) : t4;
        dispatch(st, ls, &d);
    }
    server_flush(st, &ls->server);
}

// poll() reported the socket without readable data. A pending socket error is
// read (which clears it), so the next poll() blocks again instead of spinning.
// Returns false when the socket can no longer be used.
[[nodiscard]] bool clear_socket_condition(int sock, short revents)
{
    if (revents & POLLNVAL) {
        errno = EBADF;
        return false;
    }
    if (revents & POLLERR) {
        int err = 0;
        socklen_t len = sizeof(err);
        std::ignore = getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len);
        net_drain_sent_reports(sock); // a report of a send that came late
        return true;
    }
    if (revents & POLLHUP) {
        errno = ESHUTDOWN;
        return false;
    }
    return true;
}

} // namespace

void main_loop(ntp_state *st)
{
    loop_state ls{};
    server_init(st, &ls.server);
    if (st->enable_client)
        net_warm_up(st->sock);
    timespec start = platform_now(CLOCK_MONOTONIC);
    client_start(st, &ls.client, &start);
    // A socket of -1 (no IPv6, no lookup thread) is left out by poll().
    pollfd pfd[3] = {{st->sock, POLLIN, {}},
                     {st->sock6, POLLIN, {}},
                     {st->resolver.running ? st->resolver.fd : -1, POLLIN, {}}};

    for (;;) {
        timespec now = platform_now(CLOCK_MONOTONIC);
        int wait_ms = -1;
        if (st->enable_client && client_due(&ls.client, &now, &wait_ms)) {
            client_on_due(st, &ls.client);
            continue;
        }
        int held = log_limit_flush(st); // a count of log lines held back is due then
        if (held >= 0 && (wait_ms < 0 || held < wait_ms))
            wait_ms = held;
        int ready = poll(pfd, 3, wait_ms);
        if (ready == 0)
            continue;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (pfd[2].revents != 0)
            client_take_lookups(st, &ls.client);
        for (int i = 0; i < 2; i++) {
            if (pfd[i].revents & POLLIN)
                receive(st, &ls, i);
            else if (pfd[i].revents != 0 && !clear_socket_condition(pfd[i].fd, pfd[i].revents))
                return;
        }
    }
}
