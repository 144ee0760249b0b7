// The UDP socket: datagrams received and sent in batches, the kernel's times
// of their arrival and departure, and the address type.
#ifndef QUORIX_NET_H
#define QUORIX_NET_H

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "ntp.h"

// Datagrams received or sent by one call, and the bytes kept of each.
constexpr unsigned NET_BATCH = 32;
constexpr std::size_t NET_DGRAM_SIZE = NTP_PACKET_SIZE;

// The loop's own storage for one call's datagrams.
struct net_batch {
    std::uint8_t data[NET_BATCH][NET_DGRAM_SIZE];
    sockaddr_in addr[NET_BATCH];
    socklen_t addr_len[NET_BATCH];
    std::size_t len[NET_BATCH]; // whole datagram, also when longer than the buffer
    timespec stamp[NET_BATCH];  // when the kernel received it, wall clock
    bool stamped[NET_BATCH];    // stamp holds the kernel's receive time
    unsigned count;
    alignas(cmsghdr) unsigned char control[NET_BATCH][CMSG_SPACE(sizeof(timespec))];
};

// One received packet as the client and the server see it.
struct net_datagram {
    ntp_packet pkt;
    sockaddr_in src;
    socklen_t src_len;
    ntp_timestamp t4; // when it arrived: the kernel's time, or a reading right after the receive
    bool kernel_time; // t4 is the kernel's
};

// Ask the kernel to stamp every datagram received on sock with the wall-clock
// time it arrived, and to report when the datagrams sent by net_send_stamped()
// left. Returns false where it cannot; datagrams then carry no receive time
// and sends report none.
bool net_enable_timestamps(int sock);

// Send len bytes to addr. *left is the kernel's time the datagram left when it
// reports one (set only then: the return tells); *sent the sendto() result,
// with errno.
[[nodiscard]] bool net_send_stamped(int sock, const void *buf, std::size_t len,
                                    const sockaddr_in *addr, ssize_t *sent, timespec *left);

// Discard the reports of sent datagrams still queued on sock.
void net_drain_sent_reports(int sock);

// Run, once, the system calls of the request and receive path without sending
// or consuming anything, so that the first request of a run does not leave on
// code that is not resident yet.
void net_warm_up(int sock);

// Receive the datagrams waiting on sock, up to NET_BATCH, without blocking;
// each keeps its first NET_DGRAM_SIZE bytes and its kernel receive time when
// there is one. Returns how many (0 when none waits), or -1 with errno.
[[nodiscard]] int net_recv_batch(int sock, net_batch *b);

// Send the b->count datagrams of NET_DGRAM_SIZE bytes, each to its address.
// A datagram that cannot be sent is skipped, as a lone sendto() would lose
// it; nothing is reported. Empties the batch.
void net_send_batch(int sock, net_batch *b);

#endif
