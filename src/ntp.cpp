#include "ntp.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr std::uint8_t NTP_VERSION = 3;
constexpr std::uint8_t NTP_REQUEST_POLL = 10;
constexpr std::uint8_t NTP_REQUEST_PRECISION = 0xFD; // -3

void store_be32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// The 8 bytes of a timestamp read as an unsigned 32.32 fixed-point number.
std::uint64_t to_fixed(const ntp_timestamp *ts)
{
    return std::uint64_t{ntp_be32(ts->sec)} << 32 | ntp_be32(ts->frac);
}

// A 2^-32 s fraction in nanoseconds (0..999999999).
std::uint32_t fraction_to_ns(std::uint32_t frac)
{
    return static_cast<std::uint32_t>((std::uint64_t{frac} * 1'000'000'000u) >> 32);
}

// Split a signed 32.32 value into its floor in seconds and the non-negative
// fraction (0 <= frac < 2^32).
void fixed_split(std::int64_t v, std::int32_t *whole, std::uint32_t *frac)
{
    *whole = static_cast<std::int32_t>(v >> 32);
    *frac = static_cast<std::uint32_t>(v);
}

} // namespace

ntp_timestamp timespec_to_ntp(const timespec *t)
{
    ntp_timestamp ts;
    store_be32(ts.sec, static_cast<std::uint32_t>(std::int64_t{t->tv_sec} + NTP_UNIX_EPOCH));
    store_be32(ts.frac, ntp_fraction(static_cast<std::uint32_t>(t->tv_nsec)));
    return ts;
}

std::span<const std::uint8_t, 8> ntp_bytes(const ntp_timestamp *ts)
{
    return std::span<const std::uint8_t, 8>(ts->sec, 8);
}

bool ntp_same(const ntp_timestamp *a, const ntp_timestamp *b)
{
    return std::memcmp(a, b, sizeof(ntp_timestamp)) == 0;
}

bool ntp_is_zero(const ntp_timestamp *ts)
{
    static constexpr ntp_timestamp zero{};
    return ntp_same(ts, &zero);
}

// RFC 5905, 8: offset = ((T2 - T1) + (T3 - T4)) / 2, delay = (T4 - T1) - (T3 - T2).
// Differences are taken modulo 2^64, so an exchange across the 2036 wrap holds.
void ntp_offset_delay(const ntp_timestamp *t1, const ntp_timestamp *t2, const ntp_timestamp *t3,
                      const ntp_timestamp *t4, std::int64_t *offset, std::int64_t *delay)
{
    std::uint64_t a = to_fixed(t1), b = to_fixed(t2);
    std::uint64_t c = to_fixed(t3), d = to_fixed(t4);
    auto sum = static_cast<std::int64_t>((b - a) - (d - c));
    // Halve truncating toward zero, in units of 2^-32 s.
    *offset = (sum + (sum < 0 ? 1 : 0)) >> 1;
    *delay = static_cast<std::int64_t>((d - a) - (c - b));
}

ntp_decimal ntp_to_decimal(std::int64_t v)
{
    std::int32_t whole;
    std::uint32_t frac;
    fixed_split(v, &whole, &frac);
    // The floor in microseconds, then sign and magnitude: the same number
    // as floor and positive fraction, written as people read it.
    std::int64_t us = std::int64_t{whole} * 1'000'000 + fraction_to_ns(frac) / 1000;
    auto mag = static_cast<std::uint64_t>(std::llabs(us));
    return {us < 0 ? "-" : "", static_cast<std::uint32_t>(mag / 1'000'000),
            static_cast<std::uint32_t>(mag % 1'000'000)};
}

bool ntp_add_offset(timespec *t, std::int64_t offset)
{
    std::int32_t whole;
    std::uint32_t frac;
    fixed_split(offset, &whole, &frac);
    std::int64_t sec = std::int64_t{t->tv_sec} + whole;
    long nsec = t->tv_nsec + static_cast<long>(fraction_to_ns(frac));
    if (nsec > 999'999'999) {
        sec += 1;
        nsec -= 1'000'000'000;
    }
    // A 32-bit time_t ends at 2038-01-19 03:14:07 UTC: a later time would
    // wrap to 1901.
    if constexpr (sizeof(time_t) < sizeof(std::int64_t)) {
        if (sec > std::numeric_limits<time_t>::max() || sec < std::numeric_limits<time_t>::min())
            return false;
    }
    t->tv_sec = static_cast<time_t>(sec);
    t->tv_nsec = nsec;
    return true;
}

std::int64_t ntp_error_bound_us(std::int64_t delay)
{
    std::int64_t half = (delay < 0 ? -(delay + 1) : delay) >> 1;
    return half >= (std::int64_t{16} << 32) ? 16'000'000 : (half * 1'000'000) >> 32;
}

void timespec_add_ms(timespec *t, std::int64_t ms)
{
    t->tv_sec += static_cast<time_t>(ms / 1000);
    t->tv_nsec += static_cast<long>(ms % 1000 * 1'000'000);
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
    long wait = static_cast<long>(target->tv_sec - now->tv_sec) * 1000 + target_ms - now_ms;
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

void ntp_build_answer(ntp_packet *answer, const ntp_timestamp *r, const std::uint8_t *ref_id,
                      std::int8_t precision)
{
    auto vn = static_cast<std::uint8_t>(ntp_version(answer));
    answer->li_vn_mode = static_cast<std::uint8_t>(vn << 3 | NTP_MODE_SERVER);
    answer->stratum = NTP_SERVER_STRATUM;
    answer->precision = static_cast<std::uint8_t>(precision);
    std::memset(answer->root_delay, 0, sizeof(answer->root_delay));
    std::memset(answer->root_dispersion, 0, sizeof(answer->root_dispersion));
    std::memcpy(answer->ref_id, ref_id, sizeof(answer->ref_id));
    answer->orig_ts = answer->xmit_ts;
    answer->ref_ts = *r;
    answer->recv_ts = *r;
}

void ntp_kiss_code(const ntp_packet *p, char (*code)[5])
{
    for (std::size_t i = 0; i < 4; i++) {
        std::uint8_t c = p->ref_id[i];
        (*code)[i] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    (*code)[4] = '\0';
}

std::int8_t ntp_precision(const timespec *resolution)
{
    std::uint64_t res_ns = static_cast<std::uint64_t>(resolution->tv_sec) * 1'000'000'000u +
        static_cast<std::uint64_t>(resolution->tv_nsec);
    if (res_ns == 0)
        res_ns = 1000;
    if (res_ns > 1'000'000'000u)
        return 1;
    // The smallest p with 2^p s >= the resolution, in 32.32 nanoseconds.
    std::uint64_t step = std::uint64_t{1'000'000'000u} << 32; // 2^0 s
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
