// The result of a synchronization applied: the best sample's times, offset and
// delay logged, the wall clock stepped by its offset (or not, in dry run) with
// the kernel told how far off it may be and the real-time clock written, then
// the exit rule for updates.
#ifndef QUORIX_UPDATE_H
#define QUORIX_UPDATE_H

#include <cstdint>

#include "conf.h"
#include "ntp.h"

// The sample a synchronization steps by.
struct update_sample {
    std::int64_t offset;    // 32.32 seconds
    std::int64_t delay;     // 32.32 seconds
    ntp_timestamp times[4]; // its origin, receive, transmit and arrival times
};

// What the updates of this run have done.
struct update_state {
    bool clock_set;             // the clock has been stepped
    bool sync_refusal_reported; // the kernel refused the synchronised status once
};

// Log best and step the clock by its offset. With exit_after_update the
// process ends here (status 0, or 1 when the clock could not be set).
void update_apply(ntp_state *st, update_state *us, const update_sample *best);

#endif
