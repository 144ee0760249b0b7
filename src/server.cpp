#include "server.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "fmt.h"
#include "log.h"
#include "platform.h"

namespace {

// Requests over the rate of their source: one in this many gets a kiss-o'-death
// (with ratelimit.kod), so that a client that listens learns to slow down, and
// one that does not learns nothing; the others get nothing.
constexpr std::uint32_t SERVER_KISS_EVERY = 16;

enum class rate_verdict { answer, kiss, drop };

// Whether a network holds the address (family, bytes in network order).
bool contains(const conf_network *net, int family, const std::uint8_t *addr)
{
    unsigned whole = net->prefix / 8, rest = net->prefix % 8;
    return net->family == family && std::memcmp(net->addr, addr, whole) == 0 &&
        (rest == 0 || ((net->addr[whole] ^ addr[whole]) & (0xFF00u >> rest)) == 0);
}

bool in_any(const ptrarr *nets, int family, const std::uint8_t *addr)
{
    for (std::size_t i = 0; i < nets->count; i++) {
        if (contains(static_cast<const conf_network *>(nets->items[i]), family, addr))
            return true;
    }
    return false;
}

std::uint64_t rotl(std::uint64_t x, int b)
{
    return x << b | x >> (64 - b);
}

// SipHash-2-4 of one 64-bit word under a secret key: whoever does not know the
// key cannot choose sources that share a slot of the rate limit's table.
std::uint64_t siphash(const std::uint64_t key[2], std::uint64_t m)
{
    std::uint64_t v[4] = {key[0] ^ 0x736f6d6570736575, key[1] ^ 0x646f72616e646f6d,
                          key[0] ^ 0x6c7967656e657261, key[1] ^ 0x7465646279746573};
    auto rounds = [&v](int n) {
        for (int i = 0; i < n; i++) {
            v[0] += v[1], v[1] = rotl(v[1], 13) ^ v[0], v[0] = rotl(v[0], 32);
            v[2] += v[3], v[3] = rotl(v[3], 16) ^ v[2];
            v[0] += v[3], v[3] = rotl(v[3], 21) ^ v[0];
            v[2] += v[1], v[1] = rotl(v[1], 17) ^ v[2], v[2] = rotl(v[2], 32);
        }
    };
    const std::uint64_t last = std::uint64_t{8} << 56; // the length, 8 bytes
    for (std::uint64_t word : {m, last}) {
        v[3] ^= word;
        rounds(2);
        v[0] ^= word;
    }
    v[2] ^= 0xff;
    rounds(4);
    return v[0] ^ v[1] ^ v[2] ^ v[3];
}

// The rate limit of a source, by the generic cell rate algorithm: a request
// uses up 1/rate s, and a source may run burst - 1 requests ahead of the clock.
rate_verdict rate_check(ntp_state *st, std::uint64_t source)
{
    rate_slot &slot = st->rate_table[siphash(st->rate_key, source) % CONF_RATE_SLOTS];
    if (slot.source != source) // a source not seen lately takes the slot over
        slot = rate_slot{source, 0, 0};
    timespec now = platform_now(CLOCK_MONOTONIC);
    auto now_us = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
        static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    auto interval = static_cast<std::uint64_t>(1'000'000 / st->ratelimit_rate);
    if (slot.due_us < now_us)
        slot.due_us = now_us;
    if (slot.due_us - now_us > static_cast<std::uint64_t>(st->ratelimit_burst - 1) * interval) {
        return st->ratelimit_kod && slot.over++ % SERVER_KISS_EVERY == 0 ? rate_verdict::kiss
                                                                         : rate_verdict::drop;
    }
    slot.due_us += interval;
    return rate_verdict::answer;
}

} // namespace

bool server_serves(const ntp_state *st, int family, const std::uint8_t *addr)
{
    return !in_any(&st->server_deny, family, addr) &&
        (st->server_allow.count == 0 || in_any(&st->server_allow, family, addr));
}

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
        if (st->log_unsupported_protocol && log_limit_pass(st, log_kind::protocol))
            log_impl(st, "Ignoring incoming packet of an unsupported protocol (family: %i)\n",
                     static_cast<int>(d->src.sin_family));
        return;
    }
    if (!st->enable_server) {
        if (st->log_ignored_req && log_limit_pass(st, log_kind::ignored_req))
            log_impl(st, "Ignoring update request from %s:%u, server mode is not enabled\n",
                     inet_ntoa(d->src.sin_addr), static_cast<unsigned>(ntohs(d->src.sin_port)));
        return;
    }
    const auto *from = reinterpret_cast<const std::uint8_t *>(&d->src.sin_addr);
    if (!server_serves(st, AF_INET, from)) {
        if (st->log_unserved_req && log_limit_pass(st, log_kind::unserved))
            log_impl(st, "Ignoring update request from %s:%u, its network is not served\n",
                     inet_ntoa(d->src.sin_addr), static_cast<unsigned>(ntohs(d->src.sin_port)));
        return;
    }
    rate_verdict rate = rate_verdict::answer;
    if (st->rate_table != nullptr)
        rate = rate_check(st, std::uint64_t{1} << 32 | ntohl(d->src.sin_addr.s_addr));
    if (rate == rate_verdict::drop)
        return;
    // The receive time is when the request arrived, as the kernel stamped it;
    // without a stamp, the first reading after the checks.
    ntp_timestamp r = d->t4;
    if (!d->kernel_time) {
        timespec now = platform_now(CLOCK_REALTIME);
        r = timespec_to_ntp(&now);
    }
    if (st->log_incoming_update_req && rate == rate_verdict::answer && log_has_output(st)) {
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
    if (rate == rate_verdict::kiss) { // a kiss-o'-death: stratum 0, the code in the reference id
        answer.li_vn_mode |= NTP_LI_UNSYNC << 6;
        answer.stratum = 0;
        std::memcpy(answer.ref_id, "RATE", 4);
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
