// Link seams of the unit tests: the linker sends the shipped code's calls of
// these functions here (-Wl,--wrap=...), so tests can fail allocations, answer
// name lookups and read the system log without touching the machine. No header
// declares the __wrap_ functions: only the linker calls them.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/timex.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <utility>

#include "testsupport.h"

#pragma GCC diagnostic ignored "-Wmissing-declarations"

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);
}

namespace {

long alloc_calls = 0, fail_at = -1, lookups = 0;
std::map<std::string, in_addr> hosts;
std::vector<std::string> syslog_lines;

bool alloc_fails()
{
    if (alloc_calls++ != fail_at)
        return false;
    errno = ENOMEM;
    return true;
}

} // namespace

extern "C" {

void *__wrap_malloc(std::size_t size)
{
    return alloc_fails() ? nullptr : __real_malloc(size);
}

void *__wrap_realloc(void *p, std::size_t size)
{
    return alloc_fails() ? nullptr : __real_realloc(p, size);
}

hostent *__wrap_gethostbyname(const char *name)
{
    static in_addr addr;
    static char *addr_list[2] = {reinterpret_cast<char *>(&addr), nullptr};
    static hostent he;
    lookups++;
    if (!hosts.contains(name)) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    addr = hosts[name];
    he = {const_cast<char *>(name), addr_list + 1, AF_INET, 4, addr_list};  // no aliases
    return &he;
}

void __wrap_openlog(const char *, int, int) {}

void __wrap_vsyslog(int prio, const char *fmt, va_list ap)
{
    char msg[1024];
    std::vsnprintf(msg, sizeof(msg), fmt, ap);
    syslog_lines.push_back(std::to_string(prio) + " " + msg);
}

void __wrap_syslog(int prio, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    __wrap_vsyslog(prio, fmt, ap);
    va_end(ap);
}

// Unit tests never set the clock: the call fails as it would without privilege.
int __wrap_clock_settime(clockid_t, const timespec *)
{
    errno = EPERM;
    return -1;
}

// Nor does a test change the kernel's time status.
int __wrap_adjtimex(struct timex *)
{
    return 0;
}

} // extern "C"

long seam_fail_alloc(long n)
{
    fail_at = n;
    return std::exchange(alloc_calls, 0);
}

void seam_hosts(const std::vector<std::pair<std::string, std::string>> &names)
{
    hosts.clear();
    for (const auto &[name, dotted] : names)
        inet_aton(dotted.c_str(), &hosts[name]);
    lookups = 0;
}

long seam_lookups()
{
    return lookups;
}

std::vector<std::string> seam_syslog_take()
{
    return std::exchange(syslog_lines, {});
}
