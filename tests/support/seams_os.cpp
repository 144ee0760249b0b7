// Link seams of the unit tests for the system log and the clock: the shipped
// code's calls are recorded here instead of reaching the machine.
#include <sys/timex.h>
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "testsupport.h"

extern "C" {
void __wrap_openlog(const char *ident, int option, int facility);
void __wrap_syslog(int prio, const char *fmt, ...);
void __wrap_vsyslog(int prio, const char *fmt, va_list ap);
int __wrap_clock_settime(clockid_t id, const timespec *tp);
int __wrap_adjtimex(struct timex *buf);
}

namespace {

std::vector<std::string> &syslog_lines()
{
    static std::vector<std::string> lines;
    return lines;
}

int settime_errno = 0;
std::vector<timespec> settimes;

void record(int prio, const char *fmt, va_list ap)
{
    char msg[1024];
    std::vsnprintf(msg, sizeof(msg), fmt, ap);
    syslog_lines().push_back(std::to_string(prio) + " " + msg);
}

} // namespace

void __wrap_openlog(const char *ident, int option, int facility)
{
    syslog_lines().push_back("openlog " + std::string(ident) + " " + std::to_string(option) + " " +
                             std::to_string(facility));
}

void __wrap_syslog(int prio, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    record(prio, fmt, ap);
    va_end(ap);
}

void __wrap_vsyslog(int prio, const char *fmt, va_list ap)
{
    record(prio, fmt, ap);
}

int __wrap_clock_settime(clockid_t, const timespec *tp)
{
    if (settime_errno != 0) {
        errno = settime_errno;
        return -1;
    }
    settimes.push_back(*tp);
    return 0;
}

// The kernel's time status is never changed by a test.
int __wrap_adjtimex(struct timex *)
{
    return 0;
}

std::vector<std::string> seam_syslog_take()
{
    std::vector<std::string> out;
    out.swap(syslog_lines());
    return out;
}

void seam_settime_fail(int err)
{
    settime_errno = err;
}

std::vector<timespec> seam_settime_take()
{
    std::vector<timespec> out;
    out.swap(settimes);
    return out;
}
