// Time printing for log lines: UTC with milliseconds.
#ifndef QUORIX_FMT_H
#define QUORIX_FMT_H

#include <cstdint>
#include <ctime>
#include <span>

#include "conf.h"

// Log "<prefix>YYYY-MM-DD hh:mm:ss.mmm UTC\n" for a wall-clock time (the
// milliseconds truncated). A null prefix prints nothing before the date.
void log_timespec(ntp_state *st, const char *prefix, const timespec *when);

// The same for an NTP timestamp in its wire layout: big-endian seconds since
// 1900, then a big-endian fraction in units of 2^-32 s.
void log_timestamp(ntp_state *st, const char *prefix, std::span<const std::uint8_t, 8> ntp_time);

#endif
