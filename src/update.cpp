#include "update.h"

#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fmt.h"
#include "log.h"
#include "platform.h"

namespace {

// Step the wall clock by offset (32.32 s), measured over a round trip of
// delay. Returns the outcome.
[[nodiscard]] bool step_clock(ntp_state *st, update_state *us, std::int64_t offset,
                              std::int64_t delay)
{
    if (st->update_dryrun) {
        log_event(st, st->log_update, st->syslog_update, LOG_INFO,
                  "Ignored successful NTP time update");
        return true;
    }
    timespec t = platform_now(CLOCK_REALTIME);
    if (!ntp_add_offset(&t, offset)) {
        log_all_impl(st, true, "Failed to set new time: %s",
                     "the time is out of the range of this system's time_t");
        return false;
    }
    clock_report report;
    if (platform_set_clock(&t, ntp_error_bound_us(delay), st->rtc_fd, &report) != 0) {
        log_all_impl(st, true, "Failed to set new time: %s", std::strerror(errno));
        return false;
    }
    us->clock_set = true;
    // A refusal here (a sandbox that lets the clock be set but not the kernel's
    // status) would repeat at every update: say it once.
    if (report.sync_err != 0 && !us->sync_refusal_reported) {
        log_all_impl(st, false, "Warning: could not mark the clock as synchronised: %s",
                     std::strerror(report.sync_err));
        us->sync_refusal_reported = true;
    }
    if (report.rtc_err != 0)
        log_all_impl(st, true, "Failed to write the time to the real-time clock '%s': %s",
                     report.rtc_device, std::strerror(report.rtc_err));
    if (st->syslog_enable && st->syslog_update) {
        ntp_decimal off = ntp_to_decimal(offset);
        syslog(LOG_INFO, "Successful NTP time update, offset: %s%u.%06u sec", off.sign, off.sec,
               off.usec);
    }
    if (st->log_update)
        log_timespec(st, "Update success: ", &t);
    return true;
}

} // namespace

void update_apply(ntp_state *st, update_state *us, const update_sample *best)
{
    if (st->log_update_timestamps && log_has_output(st)) {
        const char *prefixes[4] = {"  orig_ts -> ", "  recv_ts -> ", "  xmit_ts -> ",
                                   "  ts_recv -> "};
        for (int i = 0; i < 4; i++)
            log_timestamp(st, prefixes[i], ntp_bytes(&best->times[i]));
    }
    ntp_decimal off = ntp_to_decimal(best->offset), del = ntp_to_decimal(best->delay);
    log_impl(st, "Offset: %s%u.%06u sec\n", off.sign, off.sec, off.usec);
    log_impl(st, "Delay:  %s%u.%06u sec\n", del.sign, del.sec, del.usec);

    bool ok = step_clock(st, us, best->offset, best->delay);
    if (st->exit_after_update) {
        if (!ok) {
            log_all_impl(st, true, "ERROR: Time update was unsuccessful, exiting...");
            std::exit(1);
        }
        log_all_impl(st, false, "Time update was successful, exiting...");
        std::exit(0);
    }
}
