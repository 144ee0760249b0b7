// Other POSIX systems: the step only. Where the system library writes the
// real-time clock, clock_settime() does it; a device named here is not written.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int platform_set_clock(const timespec *t, std::int64_t, clock_report *report)
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
