// Linux: the kernel's synchronised status through adjtimex(), and the
// real-time clock device through its ioctl.
#include "platform.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/rtc.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace {

// The device that RTC_DEVICE_NAME names: a name below /dev, or a whole path;
// never a path cut short. Returns false, with errno, when there is none.
bool rtc_path(char (*path)[96])
{
    const char *name = std::getenv(PLATFORM_RTC_ENV);
    if (name == nullptr || *name == '\0')
        return errno = ENOENT, false;
    int len = std::snprintf(*path, sizeof(*path), name[0] == '/' ? "%s" : "/dev/%s", name);
    return static_cast<std::size_t>(len) < sizeof(*path) // an error (-1) is too long too
        ? true
        : (errno = ENAMETOOLONG, false);
}

// Write the wall clock, just stepped, to the RTC. The device keeps whole
// seconds: the time is read again now and rounded to the nearest second, so
// that the device is at most half a second off.
[[nodiscard]] int write_rtc(int fd)
{
    timespec now{};
    std::ignore = clock_gettime(CLOCK_REALTIME, &now);
    time_t secs = now.tv_sec + (now.tv_nsec >= 500'000'000 ? 1 : 0);
    struct tm tm;
    if (gmtime_r(&secs, &tm) == nullptr) {
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
    return ioctl(fd, RTC_SET_TIME, &rt) == 0 ? 0 : -1;
}

// Tell the kernel that the clock is now synchronised, with the error bounds of
// this step: it then reports the clock as synchronised and keeps the hardware
// clock updated from it.
[[nodiscard]] int mark_synchronised(std::int64_t max_error_us)
{
    // The kernel's own limit: beyond 16 s of maximum error it gives up.
    constexpr long MAX_ERROR_LIMIT_US = 16'000'000;
    long max_error = static_cast<long>(std::min<std::int64_t>(max_error_us, MAX_ERROR_LIMIT_US));
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

int platform_set_clock(const timespec *t, std::int64_t max_error_us, int rtc_fd,
                       clock_report *report)
{
    *report = clock_report{};
    if (clock_settime(CLOCK_REALTIME, t) != 0)
        return -1;
    if (mark_synchronised(max_error_us) != 0)
        report->sync_err = errno;
    if (!rtc_path(&report->rtc_device)) {
        report->rtc_err = errno == ENAMETOOLONG ? errno : 0;
        return 0;
    }
    int fd = rtc_fd >= 0 ? rtc_fd : open(report->rtc_device, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || write_rtc(fd) != 0)
        report->rtc_err = errno;
    if (fd >= 0 && fd != rtc_fd)
        std::ignore = close(fd);
    return 0;
}

int platform_open_rtc()
{
    char path[96];
    return rtc_path(&path) ? open(path, O_RDONLY | O_CLOEXEC) : -1;
}

int platform_drop_privileges(uid_t uid, gid_t gid)
{
    // The capabilities survive the change of user (PR_SET_KEEPCAPS), then all
    // but CAP_SYS_TIME, if it is held, are dropped: the port is bound by then.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2] = {};
    if (syscall(SYS_capget, &header, caps) != 0)
        return -1;
    caps[0].effective = caps[0].permitted &= 1u << CAP_SYS_TIME;
    caps[0].inheritable = caps[1].effective = caps[1].permitted = caps[1].inheritable = 0;
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 ||
        prctl(PR_SET_KEEPCAPS, 1L, 0L, 0L, 0L) != 0 || setuid(uid) != 0 ||
        syscall(SYS_capset, &header, caps) != 0)
        return -1;
    return prctl(PR_SET_KEEPCAPS, 0L, 0L, 0L, 0L) == 0 ? 0 : -1;
}
