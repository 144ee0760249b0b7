#include "fmt.h"

#include <cstring>

#include "log.h"
#include "ntp.h"

namespace {

void log_utc(ntp_state *st, const char *prefix, time_t secs, unsigned ms)
{
    struct tm tm;
    std::memset(&tm, 0, sizeof(tm));
    gmtime_r(&secs, &tm);
    if (st->log_file == nullptr && !st->log_stderr)
        return;
    log_impl(st, "%s%4u-%02u-%02u %02u:%02u:%02u.%03u UTC\n", prefix != nullptr ? prefix : "",
             static_cast<unsigned>(tm.tm_year + 1900), static_cast<unsigned>(tm.tm_mon + 1),
             static_cast<unsigned>(tm.tm_mday), static_cast<unsigned>(tm.tm_hour), static_cast<unsigned>(tm.tm_min),
             static_cast<unsigned>(tm.tm_sec), ms);
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
    log_utc(st, prefix, static_cast<time_t>(secs), static_cast<unsigned>((frac * 1000) >> 32));
}
