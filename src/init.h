// Start-up: outputs, the start-up report, the time-server check and the socket.
#ifndef QUORIX_INIT_H
#define QUORIX_INIT_H

#include "conf.h"

// Whether names may still be resolved after loading: 1 when resolve_timeservers
// is off (every request resolves), else lazy_resolve_ignored_timeservers.
[[nodiscard]] int is_deferred_resolution_enabled(const ntp_state *st);

#endif
