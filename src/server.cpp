#include "server.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "fmt.h"
#include "log.h"
#include "platform.h"

void server_init(server_state *ss)
{
    timespec res{};
    if (clock_getres(CLOCK_REALTIME, &res) != 0)
        res = timespec{};
    ss->precision = ntp_precision(&res);
    ss->tx.count = 0;
}

void server_on_request(ntp_state *st, server_state *ss, const net_datagram *d, bool clock_set)
{
    if (d->src.sin_family != AF_INET) {
        if (st->log_unsupported_protocol)
            log_impl(st, "Ignoring incoming packet of an unsupported protocol (family: %i)\n",
                     static_cast<int>(d->src.sin_family));
        return;
    }
    if (!st->enable_server) {
        if (st->log_ignored_req)
            log_impl(st, "Ignoring update request from %s:%u, server mode is not enabled\n",
                     inet_ntoa(d->src.sin_addr), static_cast<unsigned>(ntohs(d->src.sin_port)));
        return;
    }
    // The receive time is when the request arrived, as the kernel stamped it;
    // without a stamp, the first reading after the checks.
    ntp_timestamp r = d->t4;
    if (!d->kernel_time) {
        timespec now = platform_now(CLOCK_REALTIME);
        r = timespec_to_ntp(&now);
    }
    if (st->log_incoming_update_req && log_has_output(st)) {
        char prefix[64];
        std::snprintf(prefix, sizeof(prefix), "Synchronization request from %s:%u at ",
                      inet_ntoa(d->src.sin_addr), static_cast<unsigned>(ntohs(d->src.sin_port)));
        log_timestamp(st, prefix, ntp_bytes(&r));
    }
    ntp_packet answer = d->pkt;
    ntp_build_answer(&answer, &r, reinterpret_cast<const std::uint8_t *>(&st->local_addr.sin_addr),
                     ss->precision);
    // A client that has not set the clock yet may serve a clock that was never
    // set: told so, clients refuse its time.
    if (st->server_require_sync && st->enable_client && !clock_set) {
        answer.li_vn_mode |= NTP_LI_UNSYNC << 6;
        answer.stratum = NTP_STRATUM_UNSYNC;
    }
    unsigned k = ss->tx.count++;
    std::memcpy(ss->tx.data[k], &answer, NTP_PACKET_SIZE);
    ss->tx.addr[k] = d->src;
    ss->tx.addr_len[k] = d->src_len;
    if (ss->tx.count == NET_BATCH)
        server_flush(st, ss);
}

void server_flush(const ntp_state *st, server_state *ss)
{
    if (ss->tx.count == 0)
        return;
    timespec now = platform_now(CLOCK_REALTIME);
    ntp_timestamp x = timespec_to_ntp(&now);
    for (unsigned i = 0; i < ss->tx.count; i++)
        std::memcpy(ss->tx.data[i] + offsetof(ntp_packet, xmit_ts), &x, sizeof(x));
    net_send_batch(st->sock, &ss->tx);
}
