// Preloaded (LD_PRELOAD) into the real daemon by the end-to-end tests, and into
// the unit tests: it keeps them off the machine's clock and resolver, and
// records what they asked for in $QUORIX_FAKE_LOG, a line each.
//   CLOCK_REALTIME (and the kernel's times of datagrams) read the real clock
//   plus $QUORIX_FAKE_OFFSET s; sent datagrams leave $QUORIX_FAKE_SENT_LATE_MS later;
//   clock_settime records "settime <requested> <real>" and moves only the offset;
//   adjtimex records its arguments and reads as never synchronised, or fails
//   with EPERM under $QUORIX_FAKE_ADJTIMEX_FAIL; setting a real-time clock
//   (any file) records "rtc <date and time>";
//   getaddrinfo gives 127.0.0.1, or ::1 for IPv6 and names six.*, after
//   $QUORIX_FAKE_RESOLVE_DELAY_MS, and nothing under .invalid;
//   readdir fails with EOVERFLOW under $QUORIX_FAKE_READDIR_FAIL.
#include <dirent.h>
#include <dlfcn.h>
#include <linux/rtc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

double offset = 0, sent_late = 0;

// A 32-bit target with a 64-bit time_t: the C library's calls of that
// timespec have names of their own, and so has the kernel's clock reading.
#ifdef __USE_TIME_BITS64
constexpr long sys_clock_gettime = SYS_clock_gettime64;
const char *const recvmsg_name = "__recvmsg64", *const recvmmsg_name = "__recvmmsg64";
const char *const ioctl_name = "__ioctl_time64";
#else
constexpr long sys_clock_gettime = SYS_clock_gettime;
const char *const recvmsg_name = "recvmsg", *const recvmmsg_name = "recvmmsg";
const char *const ioctl_name = "ioctl";
#endif

template <typename F> F *next(const char *name)
{
    return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

double env(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? std::strtod(v, nullptr) : 0;
}

long long real_ns()
{
    timespec t{};
    syscall(sys_clock_gettime, CLOCK_REALTIME, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

timespec from_ns(long long ns)
{
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

[[gnu::format(printf, 1, 2)]] void record(const char *fmt, ...)
{
    const char *path = std::getenv("QUORIX_FAKE_LOG");
    if (std::FILE *f = path != nullptr ? std::fopen(path, "a") : nullptr) {
        va_list ap;
        va_start(ap, fmt);
        std::vfprintf(f, fmt, ap);
        va_end(ap);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

[[gnu::constructor]] void shim_init()
{
    offset = env("QUORIX_FAKE_OFFSET");
    sent_late = env("QUORIX_FAKE_SENT_LATE_MS") / 1000;
    record("fake clock loaded %d", static_cast<int>(getpid()));
}

// The kernel stamps received datagrams, and reports when sent ones left, by
// its own wall clock.
void shift_stamps(msghdr *h)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(h); c != nullptr; c = CMSG_NXTHDR(h, c)) {
        if (c->cmsg_level != SOL_SOCKET || (c->cmsg_type != SCM_TIMESTAMPNS && c->cmsg_type != SCM_TIMESTAMPING))
            continue;
        timespec t;
        std::memcpy(&t, CMSG_DATA(c), sizeof(t));
        double shift = offset + (c->cmsg_type == SCM_TIMESTAMPING ? sent_late : 0);
        t = from_ns(t.tv_sec * 1'000'000'000LL + t.tv_nsec + std::llround(shift * 1e9));
        std::memcpy(CMSG_DATA(c), &t, sizeof(t));
    }
}

template <typename D> D *read_entry(DIR *dir, const char *name)
{
    return std::getenv("QUORIX_FAKE_READDIR_FAIL") != nullptr ? errno = EOVERFLOW, nullptr : next<D *(DIR *)>(name)(dir);
}

} // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec *tp)
{
    if (id != CLOCK_REALTIME)
        return static_cast<int>(syscall(sys_clock_gettime, id, tp));
    return *tp = from_ns(real_ns() + std::llround(offset * 1e9)), 0;
}

int clock_settime(clockid_t id, const timespec *tp)
{
    if (id != CLOCK_REALTIME)
        return errno = EPERM, -1;
    long long now = real_ns();
    offset = static_cast<double>(tp->tv_sec * 1'000'000'000LL + tp->tv_nsec - now) * 1e-9;
    record("settime %lld.%09ld %lld.%09lld", static_cast<long long>(tp->tv_sec), tp->tv_nsec,
           now / 1'000'000'000, now % 1'000'000'000);
    return 0;
}

int adjtimex(timex *buf)
{
    record("adjtimex modes=%u status=%d maxerror=%lld esterror=%lld", buf->modes, buf->status,
           static_cast<long long>(buf->maxerror), static_cast<long long>(buf->esterror));
    if (env("QUORIX_FAKE_ADJTIMEX_FAIL") != 0)
        return errno = EPERM, -1;
    buf->status = buf->modes == 0 ? STA_PLL | STA_UNSYNC : buf->status;
    return TIME_OK;
}

ssize_t recvmsg(int fd, msghdr *h, int flags)
{
    ssize_t n = next<ssize_t(int, msghdr *, int)>(recvmsg_name)(fd, h, flags);
    if (n >= 0)
        shift_stamps(h);
    return n;
}

int recvmmsg(int fd, mmsghdr *v, unsigned int len, int flags, timespec *timeout)
{
    int n = next<int(int, mmsghdr *, unsigned int, int, timespec *)>(recvmmsg_name)(fd, v, len, flags, timeout);
    for (int i = 0; i < n; i++)
        shift_stamps(&v[i].msg_hdr);
    return n;
}

int getaddrinfo(const char *name, const char *, const addrinfo *hints, addrinfo **res)
{
    static sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    static sockaddr_in6 addr6{AF_INET6, 0, 0, IN6ADDR_LOOPBACK_INIT, 0};
    static addrinfo ai{0, AF_INET, SOCK_DGRAM, 0, sizeof(addr), reinterpret_cast<sockaddr *>(&addr), nullptr, nullptr};
    static addrinfo ai6{0, AF_INET6, SOCK_DGRAM, 0, sizeof(addr6), reinterpret_cast<sockaddr *>(&addr6), nullptr, nullptr};
    usleep(static_cast<useconds_t>(env("QUORIX_FAKE_RESOLVE_DELAY_MS") * 1000));
    std::string_view host(name);
    int family = hints != nullptr ? hints->ai_family : AF_UNSPEC;
    bool six = family == AF_INET6 || host.starts_with("six.");  // six.*: names with only an IPv6 address
    if (host.ends_with(".invalid") || (six && family == AF_INET))
        return EAI_NONAME;
    return *res = six ? &ai6 : &ai, 0;
}

void freeaddrinfo(addrinfo *) {}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request != RTC_SET_TIME)
        return next<int(int, unsigned long, void *)>(ioctl_name)(fd, request, arg);
    const auto *t = static_cast<const rtc_time *>(arg);
    record("rtc %04d-%02d-%02d %02d:%02d:%02d", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min,
           t->tm_sec);
    return 0;
}

// Also as readdir64, which 32-bit builds with 64-bit file offsets call: there
// <dirent.h> makes readdir that one.
#ifndef __USE_FILE_OFFSET64
dirent *readdir(DIR *dir) { return read_entry<dirent>(dir, "readdir"); }
#endif
dirent64 *readdir64(DIR *dir) { return read_entry<dirent64>(dir, "readdir64"); }

} // extern "C"
