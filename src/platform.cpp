#include "platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#ifdef __linux__
#include <linux/net_tstamp.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <sys/timex.h>
#endif

namespace {

// Write the wall clock, just stepped, to the RTC. The device keeps whole
// seconds: the time is read again after the device is open and rounded to
// the nearest second, so that the device is at most half a second off.
[[nodiscard]] int write_rtc(const char *path)
{
#ifdef __linux__
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    timespec now{};
    std::ignore = clock_gettime(CLOCK_REALTIME, &now);
    time_t secs = now.tv_sec + (now.tv_nsec >= 500'000'000 ? 1 : 0);
    struct tm tm;
    if (gmtime_r(&secs, &tm) == nullptr) {
        std::ignore = close(fd);
        errno = EOVERFLOW;
        return -1;
    }
    rtc_time rt{};
    rt.tm_sec = tm.tm_sec;
    rt.tm_min = tm.tm_min;
    rt.tm_hour = tm.tm_hour;
    rt.tm_mday = tm.tm_mday;
    rt.tm_mon = tm.tm_mon;
    rt.tm_year = tm.tm_year;
    rt.tm_wday = tm.tm_wday;
    rt.tm_yday = tm.tm_yday;
    int res = ioctl(fd, RTC_SET_TIME, &rt);
    int err = errno;
    std::ignore = close(fd);
    errno = err;
    return res == 0 ? 0 : -1;
#else
    (void)path;
    errno = ENOTSUP;
    return -1;
#endif
}

// Tell the kernel that the clock is now synchronised, with the error bounds of
// this step: it then reports the clock as synchronised and keeps the hardware
// clock updated from it.
[[nodiscard]] int mark_synchronised(std::int64_t max_error_us)
{
#ifdef __linux__
    // The kernel's own limit: beyond 16 s of maximum error it gives up.
    constexpr long MAX_ERROR_LIMIT_US = 16'000'000;
    long max_error = max_error_us < 0 ? 0 : max_error_us > MAX_ERROR_LIMIT_US
        ? MAX_ERROR_LIMIT_US : static_cast<long>(max_error_us);
    timex tx{};
    if (adjtimex(&tx) < 0)
        return -1;
    tx.modes = ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR;
    tx.status &= ~STA_UNSYNC;
    tx.maxerror = max_error;
    tx.esterror = max_error;
    return adjtimex(&tx) < 0 ? -1 : 0;
#else
    (void)max_error_us;
    return 0;
#endif
}

// The resolver thread's stack: a lookup needs a few KiB of it.
constexpr std::size_t RESOLVER_STACK_SIZE = 256 * 1024;

struct lookup_request {
    std::uint32_t seq;
    const char *name;
};

// The thread's end of the socket pair is its only state: its argument.
void *resolver_main(void *arg)
{
    int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
    lookup_request req;
    while (recv(fd, &req, sizeof(req), 0) == static_cast<ssize_t>(sizeof(req))) {
        platform_lookup_answer a{req.seq, 0, {}};
        a.status = platform_lookup(req.name, &a.addr);
        if (send(fd, &a, sizeof(a), 0) != static_cast<ssize_t>(sizeof(a)))
            break;
    }
    return nullptr;
}

} // namespace

int platform_lookup(const char *name, in_addr *addr)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0)
        return -1;
    int found = -1;
    for (const addrinfo *ai = res; ai != nullptr && found != 0; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            *addr = reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr;
            found = 0;
        }
    }
    freeaddrinfo(res);
    return found;
}

int platform_start_resolver(platform_resolver *r)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0)
        return -1;
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err == 0) {
        std::ignore = pthread_attr_setstacksize(&attr, RESOLVER_STACK_SIZE);
        std::ignore = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        // Signals are the main thread's to take.
        sigset_t all, old;
        sigfillset(&all);
        std::ignore = pthread_sigmask(SIG_SETMASK, &all, &old);
        pthread_t thread;
        err = pthread_create(&thread, &attr, resolver_main, reinterpret_cast<void *>(std::intptr_t{pair[1]}));
        std::ignore = pthread_sigmask(SIG_SETMASK, &old, nullptr);
        std::ignore = pthread_attr_destroy(&attr);
    }
    if (err != 0) {
        std::ignore = close(pair[0]);
        std::ignore = close(pair[1]);
        errno = err;
        return -1;
    }
    r->fd = pair[0];
    r->running = true;
    return 0;
}

bool platform_ask_lookup(const platform_resolver *r, std::uint32_t seq, const char *name)
{
    lookup_request req{seq, name};
    return send(r->fd, &req, sizeof(req), MSG_DONTWAIT) == static_cast<ssize_t>(sizeof(req));
}

bool platform_take_lookup(const platform_resolver *r, platform_lookup_answer *a)
{
    return recv(r->fd, a, sizeof(*a), MSG_DONTWAIT) == static_cast<ssize_t>(sizeof(*a));
}

void platform_warm_up(int sock)
{
    std::ignore = inet_addr("127.0.0.1");
    char c = 0;
    // No destination: refused with EDESTADDRREQ, nothing is sent.
    msghdr nowhere{};
    std::ignore = sendmsg(sock, &nowhere, MSG_DONTWAIT);
    platform_drain_sent_reports(sock);
    std::ignore = recv(sock, &c, 0, MSG_DONTWAIT | MSG_PEEK);
    pollfd pfd{sock, POLLIN, 0};
    std::ignore = poll(&pfd, 1, 0);
#ifdef __linux__
    mmsghdr none{};
    std::ignore = recvmmsg(sock, &none, 0, MSG_DONTWAIT, nullptr);
#endif
}

bool platform_enable_timestamps(int sock)
{
#ifdef __linux__
    // Transmit times are reported (without the packet) only for the sends that
    // ask for one: the server's replies must not fill the error queue.
    int on = 1, report = SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    bool rx = setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0;
    return setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPING, &report, sizeof(report)) == 0 && rx;
#else
    (void)sock;
    return false;
#endif
}

void platform_drain_sent_reports(int sock)
{
#ifdef __linux__
    alignas(cmsghdr) unsigned char control[256];
    for (int i = 0; i < 16; i++) {
        msghdr h{};
        h.msg_control = control;
        h.msg_controllen = sizeof(control);
        if (recvmsg(sock, &h, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            return;
    }
#else
    (void)sock;
#endif
}

bool platform_send_stamped(int sock, const void *buf, std::size_t len, const sockaddr_in *addr, ssize_t *sent,
                           timespec *left)
{
#ifdef __linux__
    platform_drain_sent_reports(sock);
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{const_cast<void *>(buf), len};
    msghdr h{};
    h.msg_name = const_cast<sockaddr_in *>(addr);
    h.msg_namelen = sizeof(*addr);
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
    if (*sent < 0 && errno == EINVAL)  // a kernel that takes no such request
        *sent = sendto(sock, buf, len, 0, reinterpret_cast<const sockaddr *>(addr), sizeof(*addr));
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
                std::memcpy(left, CMSG_DATA(c), sizeof(*left));  // the first of three: software
                return left->tv_sec != 0 || left->tv_nsec != 0;
            }
        }
    }
    return false;
#else
    (void)left;
    *sent = sendto(sock, buf, len, 0, reinterpret_cast<const sockaddr *>(addr), sizeof(*addr));
    return false;
#endif
}

int platform_recv_batch(int sock, dgram_batch *b)
{
    b->count = 0;
#ifdef __linux__
    for (unsigned i = 0; i < PLATFORM_BATCH; i++) {
        b->iov[i] = {b->data[i], PLATFORM_DGRAM_SIZE};
        b->msg[i].msg_hdr = msghdr{};
        b->msg[i].msg_hdr.msg_name = &b->addr[i];
        b->msg[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        b->msg[i].msg_hdr.msg_iov = &b->iov[i];
        b->msg[i].msg_hdr.msg_iovlen = 1;
        b->msg[i].msg_hdr.msg_control = b->control[i];
        b->msg[i].msg_hdr.msg_controllen = sizeof(b->control[i]);
    }
    // MSG_TRUNC: the length is the datagram's own, so that a short one is told
    // from a long one whose first bytes filled the buffer.
    int n = recvmmsg(sock, b->msg, PLATFORM_BATCH, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < n; i++) {
        msghdr *h = &b->msg[i].msg_hdr;
        b->len[i] = b->msg[i].msg_len;
        b->addr_len[i] = h->msg_namelen;
        b->stamped[i] = false;
        for (cmsghdr *c = CMSG_FIRSTHDR(h); c != nullptr; c = CMSG_NXTHDR(h, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                std::memcpy(&b->stamp[i], CMSG_DATA(c), sizeof(timespec));
                b->stamped[i] = true;
            }
        }
    }
#else
    int n = 0;
    for (; n < static_cast<int>(PLATFORM_BATCH); n++) {
        b->addr_len[n] = sizeof(sockaddr_in);
        ssize_t len = recvfrom(sock, b->data[n], PLATFORM_DGRAM_SIZE, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr *>(&b->addr[n]), &b->addr_len[n]);
        if (len < 0) {
            if (n == 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            break;
        }
        b->len[n] = static_cast<std::size_t>(len);
        b->stamped[n] = false;
    }
#endif
    b->count = static_cast<unsigned>(n);
    return n;
}

void platform_send_batch(int sock, dgram_batch *b)
{
#ifdef __linux__
    for (unsigned i = 0; i < b->count; i++) {
        b->iov[i] = {b->data[i], PLATFORM_DGRAM_SIZE};
        b->msg[i].msg_hdr = msghdr{};
        b->msg[i].msg_hdr.msg_name = &b->addr[i];
        b->msg[i].msg_hdr.msg_namelen = b->addr_len[i];
        b->msg[i].msg_hdr.msg_iov = &b->iov[i];
        b->msg[i].msg_hdr.msg_iovlen = 1;
    }
    for (unsigned sent = 0; sent < b->count;) {
        int n = sendmmsg(sock, b->msg + sent, b->count - sent, 0);
        sent += n > 0 ? static_cast<unsigned>(n) : 1;
    }
#else
    for (unsigned i = 0; i < b->count; i++)
        std::ignore = sendto(sock, b->data[i], PLATFORM_DGRAM_SIZE, 0,
                             reinterpret_cast<const sockaddr *>(&b->addr[i]), b->addr_len[i]);
#endif
    b->count = 0;
}

int platform_set_clock(const timespec *t, std::int64_t max_error_us, clock_report *report)
{
    report->rtc_device[0] = '\0';
    report->rtc_err = 0;
    report->sync_err = 0;
    if (clock_settime(CLOCK_REALTIME, t) != 0)
        return -1;
    if (mark_synchronised(max_error_us) != 0)
        report->sync_err = errno;

    const char *name = std::getenv(PLATFORM_RTC_ENV);
    if (name == nullptr || *name == '\0')
        return 0;
    // A name below /dev, or a whole path; never a path cut short.
    int len = std::snprintf(report->rtc_device, sizeof(report->rtc_device),
                            name[0] == '/' ? "%s" : "/dev/%s", name);
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof(report->rtc_device))
        report->rtc_err = ENAMETOOLONG;
    else if (write_rtc(report->rtc_device) != 0)
        report->rtc_err = errno;
    return 0;
}
