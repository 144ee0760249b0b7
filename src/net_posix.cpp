// Other POSIX systems: one datagram per call and no kernel times; the times
// are read around the calls instead.
#include "net.h"

#include <arpa/inet.h>
#include <poll.h>

#include <cerrno>
#include <tuple>

bool net_enable_timestamps(int)
{
    return false;
}

void net_drain_sent_reports(int)
{
}

bool net_send_stamped(int sock, const void *buf, std::size_t len, const net_addr *addr,
                      ssize_t *sent, timespec *)
{
    *sent = sendto(sock, buf, len, 0, &addr->sa, net_addr_len(addr));
    return false;
}

void net_warm_up(int sock)
{
    std::ignore = inet_addr("127.0.0.1");
    char c = 0;
    std::ignore = recv(sock, &c, 0, MSG_DONTWAIT | MSG_PEEK);
    pollfd pfd{sock, POLLIN, {}};
    std::ignore = poll(&pfd, 1, 0);
}

int net_recv_batch(int sock, net_batch *b)
{
    b->count = 0;
    int n = 0;
    for (; n < static_cast<int>(NET_BATCH); n++) {
        b->addr_len[n] = sizeof(b->addr[n]);
        // A longer datagram fills the buffer: its first bytes are the packet.
        ssize_t len = recvfrom(sock, b->data[n], NET_DGRAM_SIZE, MSG_DONTWAIT, &b->addr[n].sa,
                               &b->addr_len[n]);
        if (len < 0) {
            if (n == 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            break;
        }
        b->len[n] = static_cast<std::size_t>(len);
        b->stamped[n] = false;
    }
    b->count = static_cast<unsigned>(n);
    return n;
}

void net_send_batch(int sock, net_batch *b)
{
    for (unsigned i = 0; i < b->count; i++)
        std::ignore = sendto(sock, b->data[i], NET_DGRAM_SIZE, 0, &b->addr[i].sa, b->addr_len[i]);
    b->count = 0;
}
