// The NTP packet and its 32.32 fixed-point arithmetic. Pure: nothing here
// reads a clock or does input or output.
#ifndef QUORIX_NTP_H
#define QUORIX_NTP_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

constexpr std::size_t NTP_PACKET_SIZE = 48;

constexpr std::uint8_t NTP_MODE_CLIENT = 3;
constexpr std::uint8_t NTP_MODE_SERVER = 4;
constexpr std::uint8_t NTP_SERVER_STRATUM = 8;
// A leap indicator of 3 and a stratum of 16 or more: the clock is not synchronised.
constexpr std::uint8_t NTP_LI_UNSYNC = 3;
constexpr std::uint8_t NTP_STRATUM_UNSYNC = 16;

// Seconds from 1900 (NTP era 0) to 1970 (Unix epoch).
constexpr std::uint32_t NTP_UNIX_EPOCH = 2208988800u;

// The longest poll wait: longer waits wake up and compute again.
constexpr int NTP_MAX_WAIT_MS = 10'000'000;

// Seconds since 1900 and a 2^-32 s fraction, both big-endian, as on the wire.
struct ntp_timestamp {
    std::uint8_t sec[4];
    std::uint8_t frac[4];
};

// The 48-byte NTP packet. Multi-byte fields are big-endian byte arrays.
struct ntp_packet {
    std::uint8_t li_vn_mode;
    std::uint8_t stratum;
    std::uint8_t poll_exp;
    std::uint8_t precision;
    std::uint8_t root_delay[4];
    std::uint8_t root_dispersion[4];
    std::uint8_t ref_id[4];
    ntp_timestamp ref_ts;
    ntp_timestamp orig_ts;
    ntp_timestamp recv_ts;
    ntp_timestamp xmit_ts;
};

static_assert(sizeof(ntp_timestamp) == 8);
static_assert(sizeof(ntp_packet) == NTP_PACKET_SIZE);
static_assert(offsetof(ntp_packet, ref_id) == 12);
static_assert(offsetof(ntp_packet, orig_ts) == 24);
static_assert(offsetof(ntp_packet, xmit_ts) == 40);

// A big-endian 32-bit word of a packet.
[[nodiscard]] constexpr std::uint32_t ntp_be32(const std::uint8_t *p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// floor(nsec * 2^32 / 10^9), exact in 64 bits: 999999999 ns never reaches a second.
constexpr std::uint32_t ntp_fraction(std::uint32_t nsec)
{
    return static_cast<std::uint32_t>((std::uint64_t{nsec} << 32) / 1'000'000'000u);
}

// Leap indicator, version and mode of a packet.
[[nodiscard]] constexpr unsigned ntp_leap(const ntp_packet *p)
{
    return p->li_vn_mode >> 6;
}
[[nodiscard]] constexpr unsigned ntp_version(const ntp_packet *p)
{
    return (p->li_vn_mode >> 3) & 7u;
}
[[nodiscard]] constexpr unsigned ntp_mode(const ntp_packet *p)
{
    return p->li_vn_mode & 7u;
}

// A wall-clock time as an NTP timestamp (seconds modulo 2^32: 2036 wraps to 0).
[[nodiscard]] ntp_timestamp timespec_to_ntp(const timespec *t);

// The bytes of a timestamp, for log_timestamp().
[[nodiscard]] std::span<const std::uint8_t, 8> ntp_bytes(const ntp_timestamp *ts);

// Whether two timestamps are the same 8 bytes; whether one is all zero.
[[nodiscard]] bool ntp_same(const ntp_timestamp *a, const ntp_timestamp *b);
[[nodiscard]] bool ntp_is_zero(const ntp_timestamp *ts);

// Offset and delay of an exchange as signed 32.32 values: t1 our send time,
// t2 the server's receive time, t3 its send time, t4 our receive time.
void ntp_offset_delay(const ntp_timestamp *t1, const ntp_timestamp *t2, const ntp_timestamp *t3,
                      const ntp_timestamp *t4, std::int64_t *offset, std::int64_t *delay);

// A signed 32.32 value as printed: sign ("" or "-"), then the magnitude in
// seconds and microseconds, for "%s%u.%06u". The value is rounded down to the
// microsecond: -0.25 s prints as -0.250000 and -1.2 us as -0.000002.
struct ntp_decimal {
    const char *sign;
    std::uint32_t sec;
    std::uint32_t usec;
};
[[nodiscard]] ntp_decimal ntp_to_decimal(std::int64_t v);

// Add a signed 32.32 offset to a wall-clock time (one carry: whole is a
// floor). Returns false, with t unchanged, when time_t cannot hold the result.
[[nodiscard]] bool ntp_add_offset(timespec *t, std::int64_t offset);

// How far off a clock set from an exchange of this delay can be, in
// microseconds: half the round trip, at most 16 s (the kernel's own limit).
[[nodiscard]] std::int64_t ntp_error_bound_us(std::int64_t delay);

// Add ms milliseconds to a time.
void timespec_add_ms(timespec *t, std::int64_t ms);

// True when target is due at millisecond granularity; otherwise the wait in
// milliseconds (at least 1, at most NTP_MAX_WAIT_MS) is stored in *wait_ms.
[[nodiscard]] bool ms_until(const timespec *target, const timespec *now, int *wait_ms);

// The client request: LI 3, VN 3, mode 3, poll 10, precision -3, and t1 as
// reference and transmit timestamp.
void ntp_build_request(ntp_packet *pkt, const ntp_timestamp *t1);

// Turn the copy of a request in answer into our answer: VN as requested,
// mode 4, stratum 8, our precision, reference id the 4 address bytes ref_id,
// origin the request's transmit time, reference and receive time r. The
// transmit time is set by the sender.
void ntp_build_answer(ntp_packet *answer, const ntp_timestamp *r, const std::uint8_t *ref_id,
                      std::int8_t precision);

// The 4 characters of a kiss-o'-death's code, unprintable ones as '?'.
void ntp_kiss_code(const ntp_packet *p, char (*code)[5]);

// log2 of a clock's resolution in seconds, rounded up (a zero resolution
// counts as 1 us).
[[nodiscard]] std::int8_t ntp_precision(const timespec *resolution);

#endif
