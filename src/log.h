// Log writers and size-based rotation of the log file.
#ifndef QUORIX_LOG_H
#define QUORIX_LOG_H

#include <cstdio>

#include "conf.h"

// One per-event line; fmt carries its own '\n'. Goes to standard error when
// log_stderr is set and to the log file (after the size check) when it is open.
[[gnu::format(printf, 2, 3)]] void log_impl(ntp_state *st, const char *fmt, ...);

// An error or final outcome: to the log file when open, to the system log at
// LOG_ERR (is_error) or LOG_INFO when enabled, and always to standard error;
// adds the '\n' on the streams.
[[gnu::format(printf, 3, 4)]] void log_all_impl(ntp_state *st, bool is_error, const char *fmt, ...);

// An event that has a switch of its own in the log and in the system log:
// text goes to the log (with a '\n') when log_on is set, and to the system
// log at priority when syslog_on and syslog_enable are both set.
void log_event(ntp_state *st, bool log_on, bool syslog_on, int priority, const char *text);

// Whether a log_impl() line would go anywhere: callers skip the formatting
// of a line that would not.
[[nodiscard]] bool log_has_output(const ntp_state *st);

// How the log file is opened: for appending, truncated, or created anew after
// a rotation (whatever the name holds is removed first).
enum class log_open { append, truncate, fresh };

// Open the log file the way how says, never through a symbolic link and never
// anything but a regular file; a file it creates has mode 0640. Returns the
// stream, or null with *why saying what failed.
[[nodiscard]] std::FILE *log_open_file(const char *path, log_open how, const char **why);

// The kinds of per-packet message: a flood of packets must not make the
// daemon write without bound.
enum class log_kind {
    unknown_mode,
    version,
    protocol,
    no_request,
    bad_reply,
    ignored_req,
    unserved
};

// Whether a per-packet message of kind may be written now: each kind passes a
// burst of LOGLINE_BURST lines, then one a second. When a line passes after
// some were held back, a line saying how many comes first.
constexpr int LOGLINE_BURST = 10;
[[nodiscard]] bool log_limit_pass(ntp_state *st, log_kind kind);

// Write the count of the lines held back of each kind whose next line may pass
// by now, so that a flood that ends is counted too. Returns the wait in
// milliseconds until the next such count, or -1 when none is held back.
[[nodiscard]] int log_limit_flush(ntp_state *st);

// Before a write to the open log file: rotate it once it holds at least
// logrotate_max_size KiB. Returns the stream to write to, or null when this
// message must not go to the file. May end the process (status 1) when a
// rotation step fails and logrotate_ignore_error is off.
[[nodiscard]] std::FILE *rotate_if_needed(ntp_state *st);

// Shift the numbered backups ("<log>.0" newest) and move the live file to
// backup 0. The live file must be closed.
void rotate_logs(ntp_state *st);

#endif
