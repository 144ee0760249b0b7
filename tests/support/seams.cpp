// Link seams of the unit tests (-Wl,--wrap=...): whatever else is preloaded or
// not, the shipped code's calls to set the clock or the kernel's time status
// (under their 64-bit time_t names too, on 32-bit targets) are refused, and the
// system log is kept for syslog_since().
#include <gtest/gtest.h>

#include <sys/timex.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "support.h"

#pragma GCC diagnostic ignored "-Wmissing-declarations"

extern "C" {
int __wrap_clock_settime(clockid_t, const timespec *) { return errno = EPERM, -1; }
int __wrap___clock_settime64(clockid_t, const timespec *) { return errno = EPERM, -1; }
int __wrap_adjtimex(timex *) { return errno = EPERM, -1; }
int __wrap____adjtimex64(timex *) { return errno = EPERM, -1; }

static std::string syslog_said;
[[gnu::format(printf, 2, 0)]] void __wrap_vsyslog(int priority, const char *fmt, va_list ap)
{
    char text[1024];
    std::vsnprintf(text, sizeof(text), fmt, ap);
    syslog_said += std::to_string(priority) + ":" + text + "\n";
}
[[gnu::format(printf, 2, 3)]] void __wrap_syslog(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    __wrap_vsyslog(priority, fmt, ap);
    va_end(ap);
}
}

std::string syslog_since()
{
    return std::exchange(syslog_said, {});
}

// The unit tests run with the shim preloaded (CTest sets LD_PRELOAD): without it
// they would ask the machine's resolver.
struct shim_environment : ::testing::Environment {
    void SetUp() override
    {
        const char *preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "quorix_shim") != nullptr) << "run through ctest";
    }
};
static const auto *shim_check = ::testing::AddGlobalTestEnvironment(new shim_environment);
