// Start-up: outputs, the start-up report, the time-server check and the socket.
#ifndef QUORIX_INIT_H
#define QUORIX_INIT_H

#include "conf.h"

// Open the system log and the log file, announce the version, hand the RTC
// device name to the platform, seed the random generator, print the start-up
// report, judge the time-server list, create the bound UDP socket and, when
// the loop may have to look names up, start the thread that does.
// Returns 0, or -1 after its own messages.
[[nodiscard]] int init(ntp_state *st);

// Whether names may still be resolved after loading: 1 when resolve_timeservers
// is off (every request resolves), else lazy_resolve_ignored_timeservers.
[[nodiscard]] int is_deferred_resolution_enabled(const ntp_state *st);

#endif
