// Linux: batches through recvmmsg() and sendmmsg(), and the kernel's software
// times of received and sent datagrams.
#include "net.h"

#include <arpa/inet.h>
#include <linux/net_tstamp.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <tuple>

bool net_enable_timestamps(int sock)
{
    // Transmit times are reported (without the packet) only for the sends that
    // ask for one: the server's replies must not fill the error queue.
    int on = 1, report = SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    bool rx = setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0;
    return setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &report, sizeof(report)) == 0 && rx;
}

void net_drain_sent_reports(int sock)
{
    alignas(cmsghdr) unsigned char control[256];
    for (int i = 0; i < 16; i++) {
        msghdr h{};
        h.msg_control = control;
        h.msg_controllen = sizeof(control);
        if (recvmsg(sock, &h, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            return;
    }
}

bool net_send_stamped(int sock, const void *buf, std::size_t len, const net_addr *addr,
                      ssize_t *sent, timespec *left)
{
    net_drain_sent_reports(sock);
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{const_cast<void *>(buf), len};
    msghdr h{};
    h.msg_name = const_cast<net_addr *>(addr);
    h.msg_namelen = net_addr_len(addr);
    h.msg_iov = &iov;
    h.msg_iovlen = 1;
    h.msg_control = control;
    h.msg_controllen = sizeof(control);
    cmsghdr *c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SO_TIMESTAMPING;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    int flags = SOF_TIMESTAMPING_TX_SOFTWARE;
    std::memcpy(CMSG_DATA(c), &flags, sizeof(flags));
    *sent = sendmsg(sock, &h, 0);
    if (*sent < 0 && errno == EINVAL) // a kernel that takes no such request
        *sent = sendto(sock, buf, len, 0, &addr->sa, net_addr_len(addr));
    // The software stamp is taken on the way to the driver, as a rule before
    // the call returns; a report that comes later is discarded with the next.
    alignas(cmsghdr) unsigned char report[256];
    for (int i = 0; i < 3 && *sent >= 0; i++) {
        msghdr r{};
        r.msg_control = report;
        r.msg_controllen = sizeof(report);
        if (recvmsg(sock, &r, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            continue;
        for (c = CMSG_FIRSTHDR(&r); c != nullptr; c = CMSG_NXTHDR(&r, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING) {
                std::memcpy(left, CMSG_DATA(c), sizeof(*left)); // the first of three: software
                return left->tv_sec != 0 || left->tv_nsec != 0;
            }
        }
    }
    return false;
}

void net_warm_up(int sock)
{
    std::ignore = inet_addr("127.0.0.1");
    char c = 0;
    // No destination: refused with EDESTADDRREQ, nothing is sent.
    msghdr nowhere{};
    std::ignore = sendmsg(sock, &nowhere, MSG_DONTWAIT);
    net_drain_sent_reports(sock);
    std::ignore = recv(sock, &c, 0, MSG_DONTWAIT | MSG_PEEK);
    pollfd pfd{sock, POLLIN, {}};
    std::ignore = poll(&pfd, 1, 0);
    mmsghdr none{};
    std::ignore = recvmmsg(sock, &none, 0, MSG_DONTWAIT, nullptr);
}

int net_recv_batch(int sock, net_batch *b)
{
    b->count = 0;
    iovec iov[NET_BATCH];
    mmsghdr msg[NET_BATCH];
    for (unsigned i = 0; i < NET_BATCH; i++) {
        iov[i] = {b->data[i], NET_DGRAM_SIZE};
        msg[i].msg_hdr = msghdr{};
        msg[i].msg_hdr.msg_name = &b->addr[i];
        msg[i].msg_hdr.msg_namelen = sizeof(b->addr[i]);
        msg[i].msg_hdr.msg_iov = &iov[i];
        msg[i].msg_hdr.msg_iovlen = 1;
        msg[i].msg_hdr.msg_control = b->control[i];
        msg[i].msg_hdr.msg_controllen = sizeof(b->control[i]);
    }
    // MSG_TRUNC: the length is the datagram's own, so that a short one is told
    // from a long one whose first bytes filled the buffer.
    int n = recvmmsg(sock, msg, NET_BATCH, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < n; i++) {
        msghdr *h = &msg[i].msg_hdr;
        b->len[i] = msg[i].msg_len;
        b->addr_len[i] = h->msg_namelen;
        b->stamped[i] = false;
        for (cmsghdr *c = CMSG_FIRSTHDR(h); c != nullptr; c = CMSG_NXTHDR(h, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                std::memcpy(&b->stamp[i], CMSG_DATA(c), sizeof(timespec));
                b->stamped[i] = true;
            }
        }
    }
    b->count = static_cast<unsigned>(n);
    return n;
}

void net_send_batch(int sock, net_batch *b)
{
    iovec iov[NET_BATCH];
    mmsghdr msg[NET_BATCH];
    for (unsigned i = 0; i < b->count; i++) {
        iov[i] = {b->data[i], NET_DGRAM_SIZE};
        msg[i].msg_hdr = msghdr{};
        msg[i].msg_hdr.msg_name = &b->addr[i];
        msg[i].msg_hdr.msg_namelen = b->addr_len[i];
        msg[i].msg_hdr.msg_iov = &iov[i];
        msg[i].msg_hdr.msg_iovlen = 1;
    }
    for (unsigned sent = 0; sent < b->count;) {
        int n = sendmmsg(sock, msg + sent, b->count - sent, 0);
        sent += n > 0 ? static_cast<unsigned>(n) : 1;
    }
    b->count = 0;
}
