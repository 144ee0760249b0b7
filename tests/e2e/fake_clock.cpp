// Preloaded (LD_PRELOAD) into the real daemon by the end-to-end tests. It
// replaces what must never touch the machine and records what the daemon
// asked for, one line per event, in $QUORIX_FAKE_LOG:
//   clock_gettime(CLOCK_REALTIME) adds the fake offset to the real clock;
//   clock_settime records "settime <requested> <real>" and moves only the offset;
//   openlog/syslog/vsyslog record "openlog ..." and "syslog <prio> <ident>[<pid>]: <text>";
//   gethostbyname records "lookup <name>": names under .invalid fail, all
//   others are 127.0.0.1;
//   adjtimex records each call and reads as a clock never synchronised.
// Controls: QUORIX_FAKE_OFFSET (seconds), or QUORIX_FAKE_OFFSET_FILE, read at
// every reading and written by clock_settime, so that a test can step the
// clock while the daemon runs. QUORIX_FAKE_ADJTIMEX_FAIL=1 refuses every
// adjtimex call (EPERM). QUORIX_FAKE_SETTIME_FAIL, QUORIX_FAKE_RESOLVE_FAIL,
// QUORIX_FAKE_SENDTO_FAIL and QUORIX_FAKE_POLLERR: how many clock steps
// (EPERM), lookups, sends to an address and polls (POLLERR only) fail first.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double offset = 0.0;  // the last one read or set
const char *syslog_ident = "";
bool syslog_pid = false;
long settime_fail_left = 0;
long resolve_fail_left = 0;
long sendto_fail_left = 0;
long pollerr_left = 0;

long env_long(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? std::strtol(v, nullptr, 0) : 0;
}

[[gnu::format(printf, 1, 2)]] void record(const char *fmt, ...)
{
    const char *path = std::getenv("QUORIX_FAKE_LOG");
    std::FILE *f = path != nullptr ? std::fopen(path, "a") : nullptr;
    if (f == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fputc('\n', f);
    std::fclose(f);
}

// A file being rewritten by the test may read empty: the last offset stands.
double offset_now()
{
    const char *path = std::getenv("QUORIX_FAKE_OFFSET_FILE");
    if (std::FILE *f = path != nullptr ? std::fopen(path, "r") : nullptr) {
        double v = 0.0;
        if (std::fscanf(f, "%lf", &v) == 1)
            offset = v;
        std::fclose(f);
    }
    return offset;
}

long long real_ns(clockid_t id)
{
    timespec t{};
    syscall(SYS_clock_gettime, id, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

[[gnu::constructor]] void fake_clock_init()
{
    const char *fixed = std::getenv("QUORIX_FAKE_OFFSET");
    offset = fixed != nullptr ? std::strtod(fixed, nullptr) : 0.0;
    settime_fail_left = env_long("QUORIX_FAKE_SETTIME_FAIL");
    resolve_fail_left = env_long("QUORIX_FAKE_RESOLVE_FAIL");
    sendto_fail_left = env_long("QUORIX_FAKE_SENDTO_FAIL");
    pollerr_left = env_long("QUORIX_FAKE_POLLERR");
    record("fake clock loaded %d", static_cast<int>(getpid()));
}

} // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec *tp)
{
    long long ns = real_ns(id) + (id == CLOCK_REALTIME ? std::llround(offset_now() * 1e9) : 0);
    *tp = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    return 0;
}

int clock_settime(clockid_t id, const timespec *tp)
{
    if (id != CLOCK_REALTIME || settime_fail_left-- > 0) {
        errno = id != CLOCK_REALTIME ? EINVAL : EPERM;
        return -1;
    }
    long long real = real_ns(CLOCK_REALTIME);
    offset = static_cast<double>(tp->tv_sec * 1'000'000'000LL + tp->tv_nsec - real) * 1e-9;
    // Written before it is recorded: a test that saw the step may then set its own offset.
    const char *path = std::getenv("QUORIX_FAKE_OFFSET_FILE");
    if (std::FILE *f = path != nullptr ? std::fopen(path, "w") : nullptr) {
        std::fprintf(f, "%.9f\n", offset);
        std::fclose(f);
    }
    record("settime %lld.%09ld %lld.%09lld", static_cast<long long>(tp->tv_sec), tp->tv_nsec,
           real / 1'000'000'000, real % 1'000'000'000);
    return 0;
}

int adjtimex(timex *buf)
{
    record("adjtimex modes=%u status=%d maxerror=%ld esterror=%ld", buf->modes, buf->status,
           buf->maxerror, buf->esterror);
    if (env_long("QUORIX_FAKE_ADJTIMEX_FAIL") != 0) {
        errno = EPERM;
        return -1;
    }
    if (buf->modes == 0)  // read as from a kernel never synchronised, its PLL on
        buf->status = STA_PLL | STA_UNSYNC;
    return TIME_OK;
}

void openlog(const char *ident, int option, int facility)
{
    syslog_ident = ident != nullptr ? ident : "";
    syslog_pid = (option & LOG_PID) != 0;
    record("openlog %s %d %d", syslog_ident, option, facility);
}

// A daemon built with _FORTIFY_SOURCE calls __syslog_chk instead: build it without.
void vsyslog(int prio, const char *fmt, va_list ap)
{
    char msg[1024];
    std::vsnprintf(msg, sizeof(msg), fmt, ap);
    if (syslog_pid)
        record("syslog %d %s[%d]: %s", prio & LOG_PRIMASK, syslog_ident, static_cast<int>(getpid()), msg);
    else
        record("syslog %d %s: %s", prio & LOG_PRIMASK, syslog_ident, msg);
}

void syslog(int prio, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(prio, fmt, ap);
    va_end(ap);
}

hostent *gethostbyname(const char *name)
{
    static in_addr addr{htonl(INADDR_LOOPBACK)};
    static char *addrs[2] = {reinterpret_cast<char *>(&addr), nullptr};
    static char *aliases[1] = {nullptr};
    static hostent he{nullptr, aliases, AF_INET, 4, addrs};
    record("lookup %s", name);
    std::size_t len = std::strlen(name);
    if (resolve_fail_left-- > 0 || (len >= 8 && std::strcmp(name + len - 8, ".invalid") == 0)) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    he.h_name = const_cast<char *>(name);
    return &he;
}

ssize_t sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *to, socklen_t tolen)
{
    using sendto_fn = ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t);
    static auto real = reinterpret_cast<sendto_fn>(dlsym(RTLD_NEXT, "sendto"));
    if (to != nullptr && sendto_fail_left-- > 0) {  // the daemon's warm-up sends nowhere
        record("sendto failed");
        errno = ENETUNREACH;
        return -1;
    }
    return real(fd, buf, len, flags, to, tolen);
}

int poll(pollfd *fds, nfds_t nfds, int timeout)
{
    using poll_fn = int (*)(pollfd *, nfds_t, int);
    static auto real = reinterpret_cast<poll_fn>(dlsym(RTLD_NEXT, "poll"));
    if (nfds > 0 && pollerr_left-- > 0) {
        record("poll POLLERR");
        fds[0].revents = POLLERR;
        return 1;
    }
    return real(fds, nfds, timeout);
}

} // extern "C"
