// Preloaded (LD_PRELOAD) into the real daemon by the end-to-end tests. It
// replaces what must never touch the machine and records what the daemon
// asked for, one line per event, in $QUORIX_FAKE_LOG:
//   clock_gettime(CLOCK_REALTIME) adds the fake offset to the real clock;
//   clock_settime records "settime <requested> <real>" and moves only the offset;
//   openlog/syslog/vsyslog record "syslog <prio> <ident>[<pid>]: <text>";
//   gethostbyname answers from $QUORIX_FAKE_HOSTS ("name=1.2.3.4,...") only;
//   adjtimex records each call and reads as a clock never synchronised;
//   sendto, poll and adjtimex can be made to fail.
// Controls: QUORIX_FAKE_OFFSET (seconds), QUORIX_FAKE_OFFSET_FILE (offset read
// again at every reading, so a test can step the clock while the daemon runs),
// QUORIX_FAKE_SETTIME_FAIL (errno), QUORIX_FAKE_RESOLVE_FAIL (first N lookups
// fail), QUORIX_FAKE_SENDTO_FAIL (first N sends to an address fail),
// QUORIX_FAKE_POLLERR (first N polls report POLLERR only),
// QUORIX_FAKE_ADJTIMEX_FAIL (errno).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double fixed_offset = 0.0;
bool settime_moved = false;
const char *syslog_ident = "";
bool syslog_pid = false;
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
    if (path == nullptr)
        return;
    std::FILE *f = std::fopen(path, "a");
    if (f == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fputc('\n', f);
    std::fclose(f);
}

double offset_now()
{
    const char *path = std::getenv("QUORIX_FAKE_OFFSET_FILE");
    if (path == nullptr || settime_moved)
        return fixed_offset;
    double v = 0.0;
    if (std::FILE *f = std::fopen(path, "r")) {
        if (std::fscanf(f, "%lf", &v) != 1)
            v = 0.0;
        std::fclose(f);
    }
    return v;
}

timespec real_clock(clockid_t id)
{
    timespec t{};
    syscall(SYS_clock_gettime, id, &t);
    return t;
}

timespec shifted(timespec t, double by)
{
    double whole = std::floor(by);
    t.tv_sec += static_cast<time_t>(whole);
    t.tv_nsec += static_cast<long>(std::llround((by - whole) * 1e9));
    while (t.tv_nsec >= 1000000000) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

double seconds(const timespec &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void record_syslog(int prio, const char *fmt, va_list ap)
{
    char msg[1024];
    std::vsnprintf(msg, sizeof(msg), fmt, ap);
    if (syslog_pid)
        record("syslog %d %s[%d]: %s", prio & LOG_PRIMASK, syslog_ident, static_cast<int>(getpid()), msg);
    else
        record("syslog %d %s: %s", prio & LOG_PRIMASK, syslog_ident, msg);
}

[[gnu::constructor]] void fake_clock_init()
{
    fixed_offset = std::strtod(std::getenv("QUORIX_FAKE_OFFSET") ? std::getenv("QUORIX_FAKE_OFFSET") : "0", nullptr);
    resolve_fail_left = env_long("QUORIX_FAKE_RESOLVE_FAIL");
    sendto_fail_left = env_long("QUORIX_FAKE_SENDTO_FAIL");
    pollerr_left = env_long("QUORIX_FAKE_POLLERR");
    record("fake clock loaded %d", static_cast<int>(getpid()));
}

} // namespace

extern "C" {

// glibc's entry points when the daemon is built with _FORTIFY_SOURCE.
void __vsyslog_chk(int prio, int flag, const char *fmt, va_list ap);
void __syslog_chk(int prio, int flag, const char *fmt, ...);

int clock_gettime(clockid_t id, timespec *tp)
{
    timespec t = real_clock(id);
    if (id == CLOCK_REALTIME)
        t = shifted(t, offset_now());
    *tp = t;
    return 0;
}

int clock_settime(clockid_t id, const timespec *tp)
{
    long fail = env_long("QUORIX_FAKE_SETTIME_FAIL");
    if (fail != 0) {
        errno = static_cast<int>(fail);
        return -1;
    }
    if (id != CLOCK_REALTIME) {
        errno = EINVAL;
        return -1;
    }
    timespec real = real_clock(CLOCK_REALTIME);
    record("settime %lld.%09ld %lld.%09ld", static_cast<long long>(tp->tv_sec), tp->tv_nsec,
           static_cast<long long>(real.tv_sec), real.tv_nsec);
    fixed_offset = seconds(*tp) - seconds(real);
    settime_moved = true;
    return 0;
}

int adjtimex(timex *buf)
{
    long fail = env_long("QUORIX_FAKE_ADJTIMEX_FAIL");
    record("adjtimex modes=%u status=%d maxerror=%ld esterror=%ld", buf->modes, buf->status,
           buf->maxerror, buf->esterror);
    if (fail != 0) {
        errno = static_cast<int>(fail);
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

void closelog()
{
}

void vsyslog(int prio, const char *fmt, va_list ap)
{
    record_syslog(prio, fmt, ap);
}

void syslog(int prio, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_syslog(prio, fmt, ap);
    va_end(ap);
}

void __vsyslog_chk(int prio, int, const char *fmt, va_list ap)
{
    record_syslog(prio, fmt, ap);
}

void __syslog_chk(int prio, int, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record_syslog(prio, fmt, ap);
    va_end(ap);
}

hostent *gethostbyname(const char *name)
{
    static in_addr addr;
    static char *addr_list[2] = {reinterpret_cast<char *>(&addr), nullptr};
    static char *aliases[1] = {nullptr};
    static hostent he;
    record("lookup %s", name);
    if (resolve_fail_left > 0) {
        resolve_fail_left--;
        h_errno = TRY_AGAIN;
        return nullptr;
    }
    const char *hosts = std::getenv("QUORIX_FAKE_HOSTS");
    std::size_t len = std::strlen(name);
    for (const char *p = hosts; p != nullptr && *p != '\0';) {
        const char *eq = std::strchr(p, '=');
        const char *end = std::strchr(p, ',');
        if (end == nullptr)
            end = p + std::strlen(p);
        if (eq != nullptr && eq < end && static_cast<std::size_t>(eq - p) == len &&
            std::strncmp(p, name, len) == 0) {
            char dotted[32] = {};
            std::memcpy(dotted, eq + 1, std::min<std::size_t>(static_cast<std::size_t>(end - eq - 1), 31));
            if (inet_aton(dotted, &addr) == 0)
                break;
            he.h_name = const_cast<char *>(name);
            he.h_aliases = aliases;
            he.h_addrtype = AF_INET;
            he.h_length = 4;
            he.h_addr_list = addr_list;
            return &he;
        }
        p = *end != '\0' ? end + 1 : end;
    }
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}

ssize_t sendto(int fd, const void *buf, size_t len, int flags, const sockaddr *to, socklen_t tolen)
{
    using sendto_fn = ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t);
    static auto real = reinterpret_cast<sendto_fn>(dlsym(RTLD_NEXT, "sendto"));
    if (sendto_fail_left > 0 && to != nullptr) {  // the daemon's warm-up sends nowhere
        sendto_fail_left--;
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
    if (pollerr_left > 0 && nfds > 0) {
        pollerr_left--;
        record("poll POLLERR");
        fds[0].revents = POLLERR;
        return 1;
    }
    return real(fds, nfds, timeout);
}

} // extern "C"
