// The UDP sockets: datagrams received and sent in batches, the kernel's times
// of their arrival and departure, and the address type of either family.
#ifndef QUORIX_NET_H
#define QUORIX_NET_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "ntp.h"

// A socket address of either family, as the socket calls take it.
union net_addr {
    sockaddr sa;
    sockaddr_in v4;
    sockaddr_in6 v6;
};

// The length the socket calls take for the address's family.
[[nodiscard]] socklen_t net_addr_len(const net_addr *a);

// The address bytes (4 or 16, network order) and the port (host order).
[[nodiscard]] const std::uint8_t *net_addr_bytes(const net_addr *a);
[[nodiscard]] std::uint16_t net_port(const net_addr *a);
void net_set_port(net_addr *a, std::uint16_t port);

// Whether two addresses are the same family, address and port.
[[nodiscard]] bool net_same(const net_addr *a, const net_addr *b);

// The address as text: dotted IPv4, or IPv6 as inet_ntop() writes it, in
// brackets when the port follows ("[::1]:123"). Returns text.
constexpr std::size_t NET_ADDR_TEXT = INET6_ADDRSTRLEN + 8;
const char *net_addr_text(const net_addr *a, bool with_port, char (*text)[NET_ADDR_TEXT]);

// Datagrams received or sent by one call, and the bytes kept of each.
constexpr unsigned NET_BATCH = 32;
constexpr std::size_t NET_DGRAM_SIZE = NTP_PACKET_SIZE;

// The loop's own storage for one call's datagrams.
struct net_batch {
    std::uint8_t data[NET_BATCH][NET_DGRAM_SIZE];
    net_addr addr[NET_BATCH];
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
    net_addr src;
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
                                    const net_addr *addr, ssize_t *sent, timespec *left);

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
