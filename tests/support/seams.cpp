// Link seams of the unit tests (-Wl,--wrap=...): the shipped code's calls of
// these functions come here, so that tests fail allocations and answer
// lookups, record the system log, and never set the clock or the kernel's
// time status.
#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <sys/timex.h>

#include <cerrno>
#include <cstdarg>
#include <map>

#include "support.h"

#pragma GCC diagnostic ignored "-Wmissing-declarations"

namespace {
long alloc_calls = 0, fail_at = -1;
std::string syslogged;
std::map<std::string, in_addr> hosts;
} // namespace

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);

void *__wrap_malloc(std::size_t size)
{
    return alloc_calls++ == fail_at ? (errno = ENOMEM, nullptr) : __real_malloc(size);
}

void *__wrap_realloc(void *p, std::size_t size)
{
    return alloc_calls++ == fail_at ? (errno = ENOMEM, nullptr) : __real_realloc(p, size);
}

dirent *__real_readdir(DIR *dir);

dirent *__wrap_readdir(DIR *dir)
{
    return alloc_calls++ == fail_at ? (errno = EOVERFLOW, nullptr) : __real_readdir(dir);
}

int __wrap_getaddrinfo(const char *name, const char *, const addrinfo *, addrinfo **res)
{
    static sockaddr_in addr{AF_INET, 0, {}, {}};
    static addrinfo ai{0, AF_INET, SOCK_DGRAM, 0, sizeof(addr), reinterpret_cast<sockaddr *>(&addr), nullptr, nullptr};
    addr.sin_addr = hosts.contains(name) ? hosts[name] : in_addr{};
    return hosts.contains(name) ? (*res = &ai, 0) : EAI_NONAME;
}

void __wrap_freeaddrinfo(addrinfo *) {}

int __wrap_clock_settime(clockid_t, const timespec *)
{
    return errno = EPERM, -1;
}

int __wrap_adjtimex(struct timex *)
{
    return 0;
}

[[gnu::format(printf, 2, 0)]] void __wrap_vsyslog(int priority, const char *fmt, va_list ap)
{
    char text[1024];
    std::vsnprintf(text, sizeof(text), fmt, ap);
    syslogged += std::to_string(priority) + ":" + text + "\n";
}

[[gnu::format(printf, 2, 3)]] void __wrap_syslog(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    __wrap_vsyslog(priority, fmt, ap);
    va_end(ap);
}
} // extern "C"

long seam_fail_alloc(long n)
{
    return fail_at = n, std::exchange(alloc_calls, 0);
}

std::string seam_syslog()
{
    return std::exchange(syslogged, {});
}

void seam_hosts(const std::vector<std::pair<std::string, std::string>> &names)
{
    hosts.clear();
    for (const auto &[name, dotted] : names)
        inet_aton(dotted.c_str(), &hosts[name]);
}
