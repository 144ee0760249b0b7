// Other POSIX systems: the step only. Where the system library writes the
// real-time clock, clock_settime() does it; a device named here is not written.
#include "platform.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int platform_set_clock(const timespec *t, std::int64_t, int, clock_report *report)
{
    *report = clock_report{};
    if (clock_settime(CLOCK_REALTIME, t) != 0)
        return -1;
    const char *name = std::getenv(PLATFORM_RTC_ENV);
    if (name != nullptr && *name != '\0') {
        std::snprintf(report->rtc_device, sizeof(report->rtc_device), "%s", name);
        report->rtc_err = ENOTSUP;
    }
    return 0;
}

int platform_open_rtc()
{
    return -1;
}

// Without capabilities, a process that is not root cannot set the clock: the
// steps after this fail, and say so.
int platform_drop_privileges(uid_t uid, gid_t gid)
{
    return setgroups(1, &gid) == 0 && setgid(gid) == 0 && setuid(uid) == 0 ? 0 : -1;
}
