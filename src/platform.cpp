#include "platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <linux/rtc.h>
#include <sys/ioctl.h>
#endif

namespace {

constexpr const char *RTC_ENV_NAME = "RTC_DEVICE_NAME";

// Write t (UTC, whole seconds: the device keeps no finer time) to the RTC.
int write_rtc(const char *path, const timespec *t)
{
#ifdef __linux__
    struct tm tm;
    if (gmtime_r(&t->tv_sec, &tm) == nullptr)
        return -1;
    rtc_time rt{};
    rt.tm_sec = tm.tm_sec;
    rt.tm_min = tm.tm_min;
    rt.tm_hour = tm.tm_hour;
    rt.tm_mday = tm.tm_mday;
    rt.tm_mon = tm.tm_mon;
    rt.tm_year = tm.tm_year;
    rt.tm_wday = tm.tm_wday;
    rt.tm_yday = tm.tm_yday;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int res = ioctl(fd, RTC_SET_TIME, &rt);
    int err = errno;
    close(fd);
    errno = err;
    return res == 0 ? 0 : -1;
#else
    (void)path;
    (void)t;
    errno = ENOTSUP;
    return -1;
#endif
}

} // namespace

int platform_set_clock(const timespec *t, rtc_report *rtc)
{
    rtc->device[0] = '\0';
    rtc->err = 0;
    if (clock_settime(CLOCK_REALTIME, t) != 0)
        return -1;

    const char *name = std::getenv(RTC_ENV_NAME);
    if (name == nullptr || *name == '\0')
        return 0;
    std::snprintf(rtc->device, sizeof(rtc->device), "/dev/%s", name);
    if (write_rtc(rtc->device, t) != 0)
        rtc->err = errno;
    return 0;
}
