// The ceiling of a one-thread UDP server on this machine: it answers each
// datagram with the datagram itself, its transmit timestamp copied into the
// origin field so that ntp-load matches it like an NTP reply. "batch" receives
// and sends 32 datagrams per call (recvmmsg/sendmmsg); "simple" makes a poll,
// a recvfrom and a sendto per datagram.
//
//   udp-echo PORT [batch|simple]
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr unsigned BATCH = 32;

void reflect(unsigned char *p)
{
    std::memcpy(p + 24, p + 40, 8);
    p[0] = static_cast<unsigned char>((p[0] & 0x38) | 4);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: udp-echo PORT [batch|simple]\n");
        return 2;
    }
    bool batch = argc < 3 || std::string(argv[2]) == "batch";
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        std::perror("udp-echo: bind");
        return 1;
    }
    static unsigned char bufs[BATCH][64];
    static sockaddr_in from[BATCH];
    static iovec iov[BATCH];
    static mmsghdr msgs[BATCH];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, -1) < 0)
            continue;
        if (!batch) {
            sockaddr_in src{};
            socklen_t len = sizeof(src);
            ssize_t n = recvfrom(fd, bufs[0], 48, MSG_TRUNC, reinterpret_cast<sockaddr *>(&src), &len);
            if (n >= 48) {
                reflect(bufs[0]);
                sendto(fd, bufs[0], 48, 0, reinterpret_cast<sockaddr *>(&src), len);
            }
            continue;
        }
        for (;;) {
            for (unsigned i = 0; i < BATCH; i++) {
                iov[i] = {bufs[i], 48};
                msgs[i].msg_hdr = {};
                msgs[i].msg_hdr.msg_name = &from[i];
                msgs[i].msg_hdr.msg_namelen = sizeof(from[i]);
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            int n = recvmmsg(fd, msgs, BATCH, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                break;
            for (int i = 0; i < n; i++)
                reflect(bufs[i]);
            sendmmsg(fd, msgs, static_cast<unsigned>(n), 0);
            if (static_cast<unsigned>(n) < BATCH)
                break;
        }
    }
}
