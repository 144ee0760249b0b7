// Linux: the kernel's synchronised status through adjtimex(), and the
// real-time clock device through its ioctl.
#include "platform.h"

#include <fcntl.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace {

// Write the wall clock, just stepped, to the RTC. The device keeps whole
// seconds: the time is read again after the device is open and rounded to
// the nearest second, so that the device is at most half a second off.
[[nodiscard]] int write_rtc(const char *path)
{
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
}

// Tell the kernel that the clock is now synchronised, with the error bounds of
// this step: it then reports the clock as synchronised and keeps the hardware
// clock updated from it.
[[nodiscard]] int mark_synchronised(std::int64_t max_error_us)
{
    // The kernel's own limit: beyond 16 s of maximum error it gives up.
    constexpr long MAX_ERROR_LIMIT_US = 16'000'000;
    long max_error = max_error_us < 0       ? 0
        : max_error_us > MAX_ERROR_LIMIT_US ? MAX_ERROR_LIMIT_US
                                            : static_cast<long>(max_error_us);
    timex tx{};
    if (adjtimex(&tx) < 0)
        return -1;
    tx.modes = ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR;
    tx.status &= ~STA_UNSYNC;
    tx.maxerror = max_error;
    tx.esterror = max_error;
    return adjtimex(&tx) < 0 ? -1 : 0;
}

} // namespace

int platform_set_clock(const timespec *t, std::int64_t max_error_us, clock_report *report)
{
    *report = clock_report{};
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
