#include "fmt.h"

#include "log.h"
#include "ntp.h"

namespace {

constexpr std::int64_t FMT_DAY = 86400;

// The UTC calendar time of secs seconds since 1970, worked out here rather
// than by gmtime_r(): a 32-bit time_t has no times after 2038-01-19, and NTP
// times print up to 2106. The date is counted in eras of 400 Gregorian years
// (146097 days) from 0000-03-01, so that the leap day ends a year.
void log_utc(ntp_state *st, const char *prefix, std::int64_t secs, unsigned ms)
{
    if (!log_has_output(st))
        return;
    std::int64_t days = (secs >= 0 ? secs : secs - (FMT_DAY - 1)) / FMT_DAY;
    std::int64_t tod = secs - days * FMT_DAY;
    std::int64_t z = days + 719468; // days from 0000-03-01 to 1970-01-01
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153; // months from March
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    log_impl(st, "%s%4u-%02u-%02u %02u:%02u:%02u.%03u UTC\n", prefix != nullptr ? prefix : "",
             static_cast<unsigned>(year), static_cast<unsigned>(month),
             static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1), static_cast<unsigned>(tod / 3600),
             static_cast<unsigned>(tod / 60 % 60), static_cast<unsigned>(tod % 60), ms);
}

} // namespace

void log_timespec(ntp_state *st, const char *prefix, const timespec *when)
{
    log_utc(st, prefix, when->tv_sec, static_cast<unsigned>(when->tv_nsec / 1000000));
}

void log_timestamp(ntp_state *st, const char *prefix, std::span<const std::uint8_t, 8> ntp_time)
{
    // Modulo 2^32, so that NTP times below 1970 read as the era that begins
    // in 2036: every value prints as a time from 1970 to 2106.
    std::uint32_t secs = ntp_be32(ntp_time.data()) - NTP_UNIX_EPOCH;
    std::uint64_t frac = ntp_be32(ntp_time.data() + 4);
    log_utc(st, prefix, secs, static_cast<unsigned>((frac * 1000) >> 32));
}
