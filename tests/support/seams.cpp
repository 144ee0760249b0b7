// Link seams of the unit tests (-Wl,--wrap=...): whatever else is preloaded or
// not, the shipped code's calls to set the clock or the kernel's time status
// come here and are refused.
#include <gtest/gtest.h>

#include <sys/timex.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#pragma GCC diagnostic ignored "-Wmissing-declarations"

extern "C" int __wrap_clock_settime(clockid_t, const timespec *)
{
    return errno = EPERM, -1;
}

extern "C" int __wrap_adjtimex(struct timex *)
{
    return errno = EPERM, -1;
}

// The unit tests run with the shim preloaded (CTest sets LD_PRELOAD): without it
// they would ask the machine's resolver.
namespace {
struct shim_environment : ::testing::Environment {
    void SetUp() override
    {
        const char *preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "quorix_shim") != nullptr) << "run through ctest";
    }
};
const auto *shim_check = ::testing::AddGlobalTestEnvironment(new shim_environment);
} // namespace

// A 32-bit target with a 64-bit time_t: the C library's names of these calls.
extern "C" int __wrap___clock_settime64(clockid_t, const timespec *)
{
    return errno = EPERM, -1;
}

extern "C" int __wrap____adjtimex64(struct timex *)
{
    return errno = EPERM, -1;
}
