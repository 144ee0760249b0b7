#include "server.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "fmt.h"
#include "log.h"
#include "platform.h"

namespace {

// A source over its rate gets a kiss-o'-death (with ratelimit.kod) at most once
// in this time, so that a client that listens learns to slow down, and a flood
// gets no more answers than the rate allows and one a second; the other
// requests over the rate get nothing.
constexpr std::uint64_t SERVER_KISS_INTERVAL_US = 1'000'000;

// The reference id of answers over IPv6: NTP takes the first four bytes of the
// MD5 digest of an IPv6 address, here that of ::, which the socket is bound to.
constexpr std::uint8_t REF_ID_IPV6[4] = {0x4A, 0xE7, 0x13, 0x36};

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

// SipHash-2-4 of two 64-bit words under a secret key: whoever does not know
// the key cannot choose sources that share a slot of the rate limit's table.
std::uint64_t siphash(const std::uint64_t key[2], std::uint64_t m0, std::uint64_t m1)
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
    const std::uint64_t last = std::uint64_t{16} << 56; // the length, 16 bytes
    for (std::uint64_t word : {m0, m1, last}) {
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
// An IPv6 source is its /64, which one host usually has to itself.
rate_verdict rate_check(ntp_state *st, const net_addr *from)
{
    std::uint64_t source = 0;
    const std::uint8_t *bytes = net_addr_bytes(from);
    for (int i = 0; i < (from->sa.sa_family == AF_INET6 ? 8 : 4); i++)
        source = source << 8 | bytes[i];
    rate_slot &slot =
        st->rate_table[siphash(st->rate_key, from->sa.sa_family, source) % CONF_RATE_SLOTS];
    source ^= std::uint64_t{from->sa.sa_family == AF_INET6} << 63; // apart from IPv4 sources
    if (slot.source != source) // a source not seen lately takes the slot over
        slot = rate_slot{source, 0, 0};
    timespec now = platform_now(CLOCK_MONOTONIC);
    auto now_us = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
        static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    auto interval = static_cast<std::uint64_t>(1'000'000 / st->ratelimit_rate);
    if (slot.due_us < now_us)
        slot.due_us = now_us;
    if (slot.due_us - now_us > static_cast<std::uint64_t>(st->ratelimit_burst - 1) * interval) {
        if (!st->ratelimit_kod || slot.kiss_due_us > now_us)
            return rate_verdict::drop;
        slot.kiss_due_us = now_us + SERVER_KISS_INTERVAL_US;
        return rate_verdict::kiss;
    }
    slot.due_us += interval;
    return rate_verdict::answer;
}

// Whether requests from the address (family, bytes in network order) are
// served: not from a network of server_deny, and, when server_allow has any,
// from one of those.
bool server_serves(const ntp_state *st, int family, const std::uint8_t *addr)
{
    return !in_any(&st->server_deny, family, addr) &&
        (st->server_allow.count == 0 || in_any(&st->server_allow, family, addr));
}

} // namespace

void server_init(const ntp_state *st, server_state *ss)
{
    timespec res{};
    if (clock_getres(CLOCK_REALTIME, &res) != 0)
        res = timespec{};
    ss->precision = ntp_precision(&res);
    std::memcpy(ss->ref_id, &st->local_addr.sin_addr, 4);
    ss->tx.count = ss->tx6.count = 0;
}

void server_on_request(ntp_state *st, server_state *ss, const net_datagram *d, bool clock_set)
{
    int family = d->src.sa.sa_family;
    if (family != AF_INET && family != AF_INET6) {
        if (st->log_unsupported_protocol && log_limit_pass(st, log_kind::protocol))
            log_impl(st, "Ignoring incoming packet of an unsupported protocol (family: %i)\n",
                     family);
        return;
    }
    char from[NET_ADDR_TEXT];
    if (!st->enable_server || (family == AF_INET6 && !st->server_ipv6)) {
        if (st->log_ignored_req && log_limit_pass(st, log_kind::ignored_req))
            log_impl(st, "Ignoring update request from %s, server mode is not enabled\n",
                     net_addr_text(&d->src, true, &from));
        return;
    }
    if (!server_serves(st, family, net_addr_bytes(&d->src))) {
        if (st->log_unserved_req && log_limit_pass(st, log_kind::unserved))
            log_impl(st, "Ignoring update request from %s, its network is not served\n",
                     net_addr_text(&d->src, true, &from));
        return;
    }
    rate_verdict rate = st->rate_table != nullptr ? rate_check(st, &d->src) : rate_verdict::answer;
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
        char prefix[NET_ADDR_TEXT + 32];
        std::snprintf(prefix, sizeof(prefix), "Synchronization request from %s at ",
                      net_addr_text(&d->src, true, &from));
        log_timestamp(st, prefix, ntp_bytes(&r));
    }
    ntp_packet answer = d->pkt;
    ntp_build_answer(&answer, &r, family == AF_INET6 ? REF_ID_IPV6 : ss->ref_id, ss->precision);
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
    net_batch &tx = family == AF_INET6 ? ss->tx6 : ss->tx;
    unsigned k = tx.count++;
    std::memcpy(tx.data[k], &answer, NTP_PACKET_SIZE);
    tx.addr[k] = d->src;
    tx.addr_len[k] = d->src_len;
    if (tx.count == NET_BATCH)
        server_flush(st, ss);
}

void server_flush(const ntp_state *st, server_state *ss)
{
    if (ss->tx.count + ss->tx6.count == 0)
        return;
    timespec now = platform_now(CLOCK_REALTIME);
    ntp_timestamp x = timespec_to_ntp(&now);
    for (net_batch *tx : {&ss->tx, &ss->tx6}) {
        for (unsigned i = 0; i < tx->count; i++)
            std::memcpy(tx->data[i] + offsetof(ntp_packet, xmit_ts), &x, sizeof(x));
    }
    if (ss->tx.count > 0)
        net_send_batch(st->sock, &ss->tx);
    if (ss->tx6.count > 0)
        net_send_batch(st->sock6, &ss->tx6);
}
