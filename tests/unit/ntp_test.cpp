// The packet and its 32.32 arithmetic; times in log lines.

#include "conf.h"
#include "fmt.h"
#include "ntp.h"
#include "support.h"

namespace {

ntp_timestamp stamp(std::uint32_t sec, std::uint32_t frac)
{
    ntp_timestamp ts;
    for (int i = 0; i < 4; i++)
        ts.sec[i] = static_cast<std::uint8_t>(sec >> (24 - 8 * i)), ts.frac[i] = static_cast<std::uint8_t>(frac >> (24 - 8 * i));
    return ts;
}

ntp_timestamp at(double s)  // NTP seconds, modulo 2^32
{
    return stamp(static_cast<std::uint32_t>(std::fmod(std::floor(s) + 4294967296.0, 4294967296.0)),
                 static_cast<std::uint32_t>(std::ldexp(s - std::floor(s), 32)));
}

std::string decimal(std::int64_t v)
{
    ntp_decimal d = ntp_to_decimal(v);
    return d.sign + std::to_string(d.sec) + "." + std::to_string(d.usec + 1'000'000).substr(1);
}

} // namespace

// Offset and delay of exchanges (T1 to T4 in NTP seconds) as printed: the
// halving truncates toward zero, the sign comes before the magnitude, rounded
// down to the microsecond, and an exchange across the 2036 wrap holds.
TEST(NtpTest, OffsetAndDelayPrintAsTheyAre)
{
    const double unit = std::ldexp(1, -32);
    const std::tuple<double, double, double, double, const char *> rows[] = {
        {100, 100.5, 100.5, 100.25, "0.375000 0.250000"}, {10, 9.875, 9.875, 10.25, "-0.250000 0.250000"},
        {4294967295.5, 0.5, 0.5, 4294967295.75, "0.875000 0.250000"}, {50, 48.5, 48.5, 50, "-1.500000 0.000000"},
        {0, 0, 0, unit, "0.000000 0.000000"}, {0, 0, 0, 3 * unit, "-0.000001 0.000000"},  // -1/2 and -3/2 units
        {0, -3e-6, -3e-6, 0, "-0.000004 0.000000"}, {0, 6 - 4e-6, 6 - 4e-6, 0, "5.999995 0.000000"}};
    for (const auto &[t1, t2, t3, t4, want] : rows) {
        ntp_timestamp a = at(t1), b = at(t2), c = at(t3), d = at(t4);
        std::int64_t off, del;
        ntp_offset_delay(&a, &b, &c, &d, &off, &del);
        EXPECT_EQ(decimal(off) + " " + decimal(del), want) << t1 << " " << t2;
    }
    EXPECT_EQ(decimal(INT64_MIN), "-2147483648.000000");
}

// Wall-clock times on the wire (1970, a fraction that never carries, the 2036
// wrap), an offset applied (a day past 2038-01-19 03:14:07 only with a 64-bit
// time_t), deadlines, poll waits and the error bound of a step.
TEST(NtpTest, ClockArithmetic)
{
    for (const auto &[t, want] : {std::pair<timespec, bytes>{{0, 0}, {0x83, 0xAA, 0x7E, 0x80, 0, 0, 0, 0}},
             {{1, 999'999'999}, {0x83, 0xAA, 0x7E, 0x81, 0xFF, 0xFF, 0xFF, 0xFB}},
             {{2'085'978'496, 500'000'000}, {0, 0, 0, 0, 0x80, 0, 0, 0}}}) {
        ntp_timestamp ts = timespec_to_ntp(&t);
        EXPECT_EQ(bytes(ts.sec, ts.sec + 4), bytes(want.begin(), want.begin() + 4));
        EXPECT_EQ(bytes(ts.frac, ts.frac + 4), bytes(want.begin() + 4, want.end()));
    }
    timespec t{1000, 100'000'000}, late{2'147'483'647 - 240, 0};
    EXPECT_TRUE(ntp_add_offset(&t, -(std::int64_t{1} << 30)) && t.tv_sec == 999 && t.tv_nsec == 850'000'000);
    EXPECT_TRUE(ntp_add_offset(&t, std::int64_t{3} << 31));
    timespec_add_ms(&t, 1650);
    EXPECT_TRUE(t.tv_sec == 1003 && t.tv_nsec == 0) << t.tv_sec << " " << t.tv_nsec;
    EXPECT_EQ(ntp_add_offset(&late, std::int64_t{86400} << 32), sizeof(time_t) == 8);
    EXPECT_EQ(late.tv_sec, sizeof(time_t) == 8 ? 2'147'569'807 : 2'147'483'407);
    const std::pair<timespec, int> waits[] = {  // now is 5.9005 s; -1: due
        {{5, 910'000'000}, 10}, {{6, 100'000'000}, 200}, {{5, 900'900'000}, -1}, {{4, 999'000'000}, -1},
        {{7205, 900'000'000}, 7'200'000}, {{10005, 800'000'000}, 9'999'900}, {{10005, 999'000'000}, 10'000'000},
        {{20005, 0}, 10'000'000}};
    for (const auto &[target, want] : waits) {
        timespec now{5, 900'500'000};
        int wait = -1;
        EXPECT_EQ(ms_until(&target, &now, &wait) ? -1 : wait, want) << target.tv_sec;
    }
    EXPECT_EQ(ntp_error_bound_us(std::int64_t{1} << 30) + ntp_error_bound_us(-(std::int64_t{1} << 30)), 249'999);
    EXPECT_EQ(ntp_error_bound_us(std::int64_t{33} << 32), 16'000'000);  // the kernel's limit
}

// The request and an answer byte for byte; a kiss code; precisions. (The
// reference id of IPv6 is checked end to end.)
TEST(NtpTest, PacketsAndTheirFields)
{
    ntp_timestamp t1 = at(0xE8FE6F80 + 0.25), r = at(7);
    ntp_packet p;
    ntp_build_request(&p, &t1);
    bytes want = {0xDB, 0, 0x0A, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE8, 0xFE, 0x6F, 0x80, 0x40, 0, 0, 0};
    want.resize(40);
    want.insert(want.end(), want.begin() + 16, want.begin() + 24);
    EXPECT_EQ(bytes(&p.li_vn_mode, &p.li_vn_mode + 48), want);
    p.li_vn_mode = 0xD3;  // LI 3, VN 2, mode 3
    p.stratum = 9;
    std::memset(p.root_delay, 0xFF, 8);
    ntp_build_answer(&p, &r, want.data() + 16, -20);
    const bytes r_bytes = {0, 0, 0, 7, 0, 0, 0, 0}, t1_bytes(want.begin() + 40, want.end());
    bytes answer = {0x14, 8, 0x0A, 0xEC, 0, 0, 0, 0, 0, 0, 0, 0, 0xE8, 0xFE, 0x6F, 0x80};
    for (const bytes *part : {&r_bytes, &t1_bytes, &r_bytes, &t1_bytes})  // reference r, origin T1, receive r, transmit
        answer.insert(answer.end(), part->begin(), part->end());
    EXPECT_EQ(bytes(&p.li_vn_mode, &p.li_vn_mode + 48), answer);
    EXPECT_EQ(ntp_leap(&p) * 100 + ntp_version(&p) * 10 + ntp_mode(&p), 24u);
    char code[5];
    std::memcpy(p.ref_id, "RA\x01" "E", 4);
    ntp_kiss_code(&p, &code);
    EXPECT_STREQ(code, "RA?E");
    for (const auto &[res, prec] : {std::pair<timespec, int>{{0, 1}, -29}, {{0, 0}, -19}, {{0, 10'000'000}, -6},
             {{1, 0}, 0}, {{2, 0}, 1}})
        EXPECT_EQ(ntp_precision(&res), prec) << res.tv_nsec;
}

// NTP times print in UTC from 1970 to 2106 (the era after 2036 included), past
// 2038 whatever the width of time_t; fractions truncate to milliseconds.
TEST(NtpTest, TimesPrintFrom1970To2106)
{
    temp_dir dir;
    loaded l = load_conf(dir, "log.stderr = yes\n");
    const std::tuple<std::uint32_t, std::uint32_t, const char *> rows[] = {
        {2208988800u, 0, "1970-01-01 00:00:00.000"}, {0, 0x80000000u, "2036-02-07 06:28:16.500"},
        {2208988799u, 0xFFFFFFFFu, "2106-02-07 06:28:15.999"}, {3160857599u, 4294967u, "2000-02-29 23:59:59.000"},
        {4005661433u, 4294968u, "2026-12-07 19:43:53.001"}, {61505152u, 0, "2038-01-19 03:14:08.000"}};
    for (const auto &[sec, frac, text] : rows) {
        ntp_timestamp ts = stamp(sec, frac);
        EXPECT_EQ(stderr_of([&] { log_timestamp(l.st.get(), "at ", std::span<const std::uint8_t, 8>(reinterpret_cast<std::uint8_t *>(&ts), 8)); }),
                  std::string("at ") + text + " UTC\n");
    }
}
