// The operating-system calls that tests replace: setting the clock.
#ifndef QUORIX_PLATFORM_H
#define QUORIX_PLATFORM_H

#include <ctime>

// What became of the real-time clock after a clock step.
struct rtc_report {
    char device[96];  // "/dev/<name>", empty when no device is named
    int err;          // 0, or the errno of the failed write
};

// Step the wall clock to t. When the environment variable RTC_DEVICE_NAME names
// a device, a successful step also writes t to that real-time clock; *rtc tells
// how that went. Returns 0, or -1 with errno when the clock was not set.
[[nodiscard]] int platform_set_clock(const timespec *t, rtc_report *rtc);

#endif
