// The operating-system calls that tests replace: setting the clock.
#ifndef QUORIX_PLATFORM_H
#define QUORIX_PLATFORM_H

#include <cstdint>
#include <ctime>

// What else happened to the system after a clock step.
struct clock_report {
    char rtc_device[96];  // "/dev/<name>", empty when no real-time clock is named
    int rtc_err;          // 0, or the errno of the failed real-time clock write
    int sync_err;         // 0, or the errno of the refused kernel synchronisation status
};

// Step the wall clock to t, known to within max_error_us microseconds. On
// Linux, a successful step also tells the kernel that the clock is
// synchronised (so that it keeps the hardware clock updated) and, when the
// environment variable RTC_DEVICE_NAME names a device, writes t to that
// real-time clock; *report tells how those went. Returns 0, or -1 with errno
// when the clock was not set.
[[nodiscard]] int platform_set_clock(const timespec *t, std::int64_t max_error_us,
                                     clock_report *report);

#endif
