// Reading and setting the clock: the step itself, the kernel's synchronised status and the
// real-time clock.
#ifndef QUORIX_PLATFORM_H
#define QUORIX_PLATFORM_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <tuple>

// The environment variable that names the real-time clock device.
constexpr const char *PLATFORM_RTC_ENV = "RTC_DEVICE_NAME";

// A reading of clock id (CLOCK_REALTIME or CLOCK_MONOTONIC), which cannot fail
// for these two.
[[nodiscard]] inline timespec platform_now(clockid_t id)
{
    timespec t{};
    std::ignore = clock_gettime(id, &t);
    return t;
}

// What else happened to the system after a clock step.
struct clock_report {
    char rtc_device[96]; // "/dev/<name>" (or the path given), empty when none is named
    int rtc_err;         // 0, or the errno of the failed real-time clock write
    int sync_err;        // 0, or the errno of the refused kernel synchronisation status
};

// Step the wall clock to t, known to within max_error_us microseconds. On
// Linux, a successful step also tells the kernel that the clock is
// synchronised (so that it keeps the hardware clock updated) and, when the
// environment variable RTC_DEVICE_NAME names a device, writes the new time,
// rounded to the second, to that real-time clock: through rtc_fd when it is
// open (platform_open_rtc()), else opened anew; *report tells how those went.
// Returns 0, or -1 with errno when the clock was not set.
[[nodiscard]] int platform_set_clock(const timespec *t, std::int64_t max_error_us, int rtc_fd,
                                     clock_report *report);

// Open the real-time clock that RTC_DEVICE_NAME names, to be written later by
// a process that may no longer open it. Returns the descriptor, or -1 (none
// named, or with errno).
[[nodiscard]] int platform_open_rtc();

// Run as uid and gid from now on, keeping only the capability to set the clock
// where the system has capabilities. Returns 0, or -1 with errno.
[[nodiscard]] int platform_drop_privileges(uid_t uid, gid_t gid);

#endif
