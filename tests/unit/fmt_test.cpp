// Times in log lines: UTC with milliseconds.
#include <gtest/gtest.h>

#include "fmt.h"
#include "support.h"

// NTP times print from 1970 to 2106 (the era after 2036 included), past 2038
// whatever the width of time_t; fractions truncate to milliseconds.
TEST(FmtTest, TimesFrom1970To2106)
{
    temp_dir dir;
    loaded l = load_conf(dir, "log.stderr = yes\n");
    const std::tuple<std::uint32_t, std::uint32_t, const char *> rows[] = {
        {2208988800u, 0, "1970-01-01 00:00:00.000"}, {0, 0x80000000u, "2036-02-07 06:28:16.500"},
        {2208988799u, 0xFFFFFFFFu, "2106-02-07 06:28:15.999"}, {3160857599u, 4294967u, "2000-02-29 23:59:59.000"},
        {4005661433u, 4294968u, "2026-12-07 19:43:53.001"}, {61505152u, 0, "2038-01-19 03:14:08.000"}};
    std::string want;
    for (const auto &[sec, frac, text] : rows)
        want += std::string("at ") + text + " UTC\n";
    EXPECT_EQ(stderr_of([&] {
        for (const auto &[sec, frac, text] : rows) {
            const std::uint8_t b[8] = {static_cast<std::uint8_t>(sec >> 24), static_cast<std::uint8_t>(sec >> 16),
                static_cast<std::uint8_t>(sec >> 8), static_cast<std::uint8_t>(sec), static_cast<std::uint8_t>(frac >> 24),
                static_cast<std::uint8_t>(frac >> 16), static_cast<std::uint8_t>(frac >> 8), static_cast<std::uint8_t>(frac)};
            log_timestamp(l.st.get(), "at ", b);
        }
    }), want);
}
