// The operating-system calls around the clock, the socket and name lookups:
// setting the clock (and the real-time clock), receiving and sending in
// batches, and looking names up on a thread of their own.
#ifndef QUORIX_PLATFORM_H
#define QUORIX_PLATFORM_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// The environment variable that names the real-time clock device.
constexpr const char *PLATFORM_RTC_ENV = "RTC_DEVICE_NAME";

// What else happened to the system after a clock step.
struct clock_report {
    char rtc_device[96];  // "/dev/<name>" (or the path given), empty when none is named
    int rtc_err;          // 0, or the errno of the failed real-time clock write
    int sync_err;         // 0, or the errno of the refused kernel synchronisation status
};

// Step the wall clock to t, known to within max_error_us microseconds. On
// Linux, a successful step also tells the kernel that the clock is
// synchronised (so that it keeps the hardware clock updated) and, when the
// environment variable RTC_DEVICE_NAME names a device, writes the new time,
// rounded to the second, to that real-time clock; *report tells how those went. Returns 0, or -1 with errno
// when the clock was not set.
[[nodiscard]] int platform_set_clock(const timespec *t, std::int64_t max_error_us,
                                     clock_report *report);

// Datagrams received or sent by one call: the loop's own storage.
constexpr unsigned PLATFORM_BATCH = 32;
constexpr std::size_t PLATFORM_DGRAM_SIZE = 48;

struct dgram_batch {
    std::uint8_t data[PLATFORM_BATCH][PLATFORM_DGRAM_SIZE];
    sockaddr_in addr[PLATFORM_BATCH];
    socklen_t addr_len[PLATFORM_BATCH];
    std::size_t len[PLATFORM_BATCH];  // whole datagram, also when longer than the buffer
    timespec stamp[PLATFORM_BATCH];   // when the kernel received it, wall clock
    bool stamped[PLATFORM_BATCH];     // stamp holds the kernel's receive time
    unsigned count;
#ifdef __linux__
    iovec iov[PLATFORM_BATCH];
    mmsghdr msg[PLATFORM_BATCH];
    alignas(cmsghdr) unsigned char control[PLATFORM_BATCH][CMSG_SPACE(sizeof(timespec))];
#endif
};

// Ask the kernel to stamp every datagram received on sock with the wall-clock
// time it arrived, and to report when the datagrams sent by
// platform_send_stamped() left. Returns false where it cannot; datagrams then
// carry no receive time and sends report none.
bool platform_enable_timestamps(int sock);

// Send len bytes to addr. *left is the kernel's time the datagram left when it
// reports one (set only then: the return tells); *sent the sendto() result,
// with errno.
[[nodiscard]] bool platform_send_stamped(int sock, const void *buf, std::size_t len, const sockaddr_in *addr,
                                         ssize_t *sent, timespec *left);

// Discard the reports of sent datagrams still queued on sock.
void platform_drain_sent_reports(int sock);

// Run, once, the system calls of the request and receive path without sending
// or consuming anything, so that the first request of a run does not leave on
// code that is not resident yet.
void platform_warm_up(int sock);

// Receive the datagrams waiting on sock, up to PLATFORM_BATCH, without
// blocking; each keeps its first PLATFORM_DGRAM_SIZE bytes and its kernel
// receive time when there is one. Returns how many (0 when none waits), or -1
// with errno.
[[nodiscard]] int platform_recv_batch(int sock, dgram_batch *b);

// Send the b->count datagrams of PLATFORM_DGRAM_SIZE bytes, each to its
// address. A datagram that cannot be sent is skipped, as a lone sendto()
// would lose it; nothing is reported. Empties the batch.
void platform_send_batch(int sock, dgram_batch *b);

// Look up the IPv4 address of a host name. Blocks until the resolver answers.
// Returns 0, or -1 when the name does not resolve.
[[nodiscard]] int platform_lookup(const char *name, in_addr *addr);

// Name lookups away from the loop: one thread looks up the names it is handed,
// one at a time, and hands each answer back through a local socket pair whose
// end the loop polls. The loop's calls never block.
struct platform_resolver {
    int fd;        // the loop's end: requests go out, answers come in
    bool running;
};

struct platform_lookup_answer {
    std::uint32_t seq;  // as asked
    int status;         // platform_lookup()'s
    in_addr addr;
};

// Start the thread. Returns 0, or -1 with errno.
[[nodiscard]] int platform_start_resolver(platform_resolver *r);

// Hand name (valid until the process ends) to the thread as lookup seq.
// Returns false when it cannot be queued.
[[nodiscard]] bool platform_ask_lookup(const platform_resolver *r, std::uint32_t seq, const char *name);

// Take one answer when one is waiting.
[[nodiscard]] bool platform_take_lookup(const platform_resolver *r, platform_lookup_answer *a);

#endif
