// The NTP engine: packet layout and timestamp arithmetic, the server choice,
// the synchronization request, the handling of received datagrams and the
// main loop.
#ifndef QUORIX_LOOP_H
#define QUORIX_LOOP_H

#include <netinet/in.h>
#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "conf.h"
#include "fmt.h"
#include "platform.h"

constexpr std::size_t NTP_PACKET_SIZE = 48;

constexpr std::uint8_t NTP_MODE_CLIENT = 3;
constexpr std::uint8_t NTP_MODE_SERVER = 4;
constexpr std::uint8_t NTP_SERVER_STRATUM = 8;

// The longest poll wait: longer waits wake up and compute again.
constexpr int NTP_MAX_WAIT_MS = 10'000'000;

// How many candidates one server choice may draw before it gives up.
constexpr int NTP_MAX_SERVER_DRAWS = 10'000;

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

// floor(nsec * 2^32 / 10^9), exact in 64 bits: 999999999 ns never reaches a second.
constexpr std::uint32_t ntp_fraction(std::uint32_t nsec)
{
    return static_cast<std::uint32_t>((std::uint64_t{nsec} << 32) / 1'000'000'000u);
}

// A wall-clock time as an NTP timestamp (seconds modulo 2^32: 2036 wraps to 0).
[[nodiscard]] ntp_timestamp timespec_to_ntp(const timespec *t);

// The 8 bytes of a timestamp read as an unsigned 32.32 fixed-point number.
[[nodiscard]] std::uint64_t ntp_to_fixed(const ntp_timestamp *ts);

// The bytes of a timestamp, for log_timestamp().
[[nodiscard]] std::span<const std::uint8_t, 8> ntp_bytes(const ntp_timestamp *ts);

// Offset and delay of an exchange as signed 32.32 values: t1 our send time,
// t2 the server's receive time, t3 its send time, t4 our receive time.
void ntp_offset_delay(const ntp_timestamp *t1, const ntp_timestamp *t2, const ntp_timestamp *t3,
                      const ntp_timestamp *t4, std::int64_t *offset, std::int64_t *delay);

// Split a signed 32.32 value into its floor in seconds and the non-negative
// fraction (0 <= frac < 2^32).
void fixed_split(std::int64_t v, std::int32_t *whole, std::uint32_t *frac);

// A 2^-32 s fraction in nanoseconds (0..999999999) and microseconds (0..999999).
[[nodiscard]] std::uint32_t fraction_to_ns(std::uint32_t frac);
[[nodiscard]] std::uint32_t fraction_to_us(std::uint32_t frac);

// Add a signed 32.32 offset to a wall-clock time (one carry: whole is a floor).
void timespec_add_offset(timespec *t, std::int64_t offset);

// Add ms milliseconds to a time.
void timespec_add_ms(timespec *t, std::int64_t ms);

// True when target is due at millisecond granularity; otherwise the wait in
// milliseconds (at least 1, at most NTP_MAX_WAIT_MS) is stored in *wait_ms.
[[nodiscard]] bool ms_until(const timespec *target, const timespec *now, int *wait_ms);

// The client request: LI 3, VN 3, mode 3, poll 10, precision -3, and t1 as
// reference and transmit timestamp.
void ntp_build_request(ntp_packet *pkt, const ntp_timestamp *t1);

// Turn the copy of a request in reply into our answer (VN as requested, mode 4,
// stratum 8, our precision, reference id local, origin = the request's transmit
// time, reference and receive time r). The transmit time is set by the sender.
void ntp_build_reply(ntp_packet *reply, const ntp_timestamp *r, in_addr local, std::int8_t precision);

// log2 of the wall clock's resolution in seconds, rounded up.
[[nodiscard]] std::int8_t clock_precision();

// The loop's own storage: the client exchange and the packet buffers.
struct loop_state {
    timespec next_sync;          // monotonic: when the next synchronization is due
    timespec reply_deadline;     // monotonic: when waiting for the current try ends
    timeserver_entry *cur_server;
    int tries_left;
    bool request_pending;        // a synchronization is under way
    bool request_sent;           // the current try built a request whose T1 is sent_ts
    bool lookup_pending;         // the current try waits for the lookup of its server's name
    std::uint32_t lookup_seq;    // the number of the last lookup asked for
    unsigned lookups_out;        // lookups asked for and not answered yet
    ntp_timestamp sent_ts;       // its transmit time as sent, which the reply's origin must be
    ntp_timestamp left_at;       // when it left: the kernel's time, or else sent_ts
    ntp_packet pkt;              // outgoing request, then the received packet
    sockaddr_in src;
    socklen_t src_len;
    ntp_timestamp ts_recv;       // T4 of the received packet: when the kernel received it
    bool rx_kernel;              // ts_recv is the kernel's receive time, not a later reading
    ntp_packet reply;
    std::int8_t precision;       // our clock's, announced in server replies
    bool sync_refusal_reported;  // the kernel refused the synchronised status once
    bool clock_set;              // this run has stepped the clock
    bool rx_more;                // the last receive filled rx: more may be waiting
    dgram_batch rx;              // datagrams of the last receive
    dgram_batch tx;              // server replies waiting for their transmit time
};

// Choose the server of the next synchronization (rotate or random). Returns
// null only when names cannot be resolved on use and no drawn server is resolved.
[[nodiscard]] timeserver_entry *select_timeserver(ntp_state *st);

// Begin a try with ts: log the request and, when its name must be looked up,
// hand it to the resolver thread (or, without one, look it up here); then, or
// when the answer comes, read T1 right before the send, send, and set the
// reply deadline. ls->request_sent tells whether a request went out
// (sent_ts holds its T1, left_at the kernel's time it left, or T1 when the
// kernel reports none); ls->lookup_pending whether the try waits for a lookup.
void start_synchronize(ntp_state *st, loop_state *ls, timeserver_entry *ts);

// Handle the datagram in ls->pkt (48 bytes, received from ls->src at
// ls->ts_recv): a reply goes to the client, a request to the server role,
// whose answer is sent before this returns.
void handle_datagram(ntp_state *st, loop_state *ls);

// Run the engine. Returns only when poll() fails (errno tells why); every
// other end of the process is an exit rule.
void main_loop(ntp_state *st);

#endif
