#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>

#include "platform.h"

namespace {

// A rename step of the rotation. A missing source is not a failure: there is
// nothing to keep, and treating it as one would end a daemon that must not
// ignore rotation errors at its first rotation, before any backup exists.
void rotate_move(ntp_state *st, const char *from, const char *to)
{
    if (std::rename(from, to) == 0)
        return;
    int err = errno;
    struct stat sb;
    if (err == ENOENT && lstat(from, &sb) != 0 && errno == ENOENT)
        return;
    if (st->syslog_enable)
        syslog(LOG_ERR, "Could not rename '%s' to '%s': %s", from, to, std::strerror(err));
    if (!st->logrotate_ignore_error)
        std::exit(1);
}

// Each output formats from its own copy of the arguments: a va_list is spent
// once it has been read.
[[gnu::format(printf, 2, 0)]] void write_copy(std::FILE *f, const char *fmt, va_list ap,
                                              const char *end)
{
    va_list copy;
    va_copy(copy, ap);
    std::vfprintf(f, fmt, copy);
    va_end(copy);
    std::fputs(end, f);
}

// The log file's copy of a message, after the size check; flushed, so that
// the file is complete after every line.
[[gnu::format(printf, 2, 0)]] void write_log_file(ntp_state *st, const char *fmt, va_list ap,
                                                  const char *end)
{
    if (st->log_file == nullptr)
        return;
    if (std::FILE *f = rotate_if_needed(st)) {
        write_copy(f, fmt, ap, end);
        std::fflush(f);
    }
}

constexpr std::int64_t LOGLINE_INTERVAL_MS = 1000;

constexpr const char *LOGLINE_KIND_NAMES[CONF_LOG_KINDS] = {
    "unknown packet mode", "unsupported version", "unsupported protocol", "no request sent",
    "invalid reply",       "ignored request",     "unserved request",
};

std::int64_t mono_ms()
{
    timespec now = platform_now(CLOCK_MONOTONIC);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

// How long until a line of the kind may pass: a line uses up a second, and the
// burst is the seconds that may be used ahead of the clock.
std::int64_t wait_for_line(log_limit *lim, std::int64_t now)
{
    if (lim->due_ms < now)
        lim->due_ms = now;
    return std::max(std::int64_t{0}, lim->due_ms - now - (LOGLINE_BURST - 1) * LOGLINE_INTERVAL_MS);
}

// A line of the kind passes; the count of those held back goes first.
void take_line(ntp_state *st, std::size_t k, std::int64_t now)
{
    log_limit &lim = st->log_limits[k];
    lim.due_ms = std::max(lim.due_ms, now) + LOGLINE_INTERVAL_MS;
    if (lim.held > 0)
        log_impl(st, "%u similar messages suppressed (%s)\n", std::exchange(lim.held, 0u),
                 LOGLINE_KIND_NAMES[k]);
}

} // namespace

std::FILE *log_open_file(const char *path, log_open how, const char **why)
{
    // O_NONBLOCK: a named pipe planted in place of the file must not hold the
    // daemon up. The file is truncated only once it is known to be regular.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (how == log_open::append)
        flags |= O_APPEND;
    if (how == log_open::fresh) {
        std::ignore = unlink(path);
        flags |= O_EXCL;
    }
    int fd = open(path, flags, 0640);
    if (fd < 0) {
        *why =
            errno == ELOOP ? "it is a symbolic link, which is not followed" : std::strerror(errno);
        return nullptr;
    }
    struct stat sb;
    std::FILE *f = nullptr;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode))
        *why = "it is not a regular file";
    else if ((how == log_open::truncate && ftruncate(fd, 0) != 0) ||
             fcntl(fd, F_SETFL, flags & O_APPEND) != 0 ||
             (f = fdopen(fd, how == log_open::append ? "a" : "w")) == nullptr)
        *why = std::strerror(errno);
    if (f == nullptr)
        std::ignore = close(fd);
    return f;
}

bool log_limit_pass(ntp_state *st, log_kind kind)
{
    auto k = static_cast<std::size_t>(kind);
    log_limit &lim = st->log_limits[k];
    std::int64_t now = mono_ms();
    if (wait_for_line(&lim, now) > 0) {
        lim.held++;
        return false;
    }
    take_line(st, k, now);
    return true;
}

int log_limit_flush(ntp_state *st)
{
    std::int64_t now = mono_ms(), wait = -1;
    for (std::size_t k = 0; k < CONF_LOG_KINDS; k++) {
        std::int64_t w = wait_for_line(&st->log_limits[k], now);
        if (st->log_limits[k].held == 0)
            continue;
        if (w == 0)
            take_line(st, k, now);
        else
            wait = wait < 0 ? w : std::min(wait, w);
    }
    return static_cast<int>(wait);
}

void log_impl(ntp_state *st, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    if (st->log_stderr)
        write_copy(stderr, fmt, ap, "");
    write_log_file(st, fmt, ap, "");
    va_end(ap);
}

void log_all_impl(ntp_state *st, bool is_error, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    write_log_file(st, fmt, ap, "\n");
    if (st->syslog_enable) {
        va_list copy;
        va_copy(copy, ap);
        vsyslog(is_error ? LOG_ERR : LOG_INFO, fmt, copy);
        va_end(copy);
    }
    write_copy(stderr, fmt, ap, "\n");
    std::fflush(stderr);
    va_end(ap);
}

void log_event(ntp_state *st, bool log_on, bool syslog_on, int priority, const char *text)
{
    if (st->syslog_enable && syslog_on)
        syslog(priority, "%s", text);
    if (log_on)
        log_impl(st, "%s\n", text);
}

bool log_has_output(const ntp_state *st)
{
    return st->log_file != nullptr || st->log_stderr;
}

std::FILE *rotate_if_needed(ntp_state *st)
{
    struct stat sb;
    if (fstat(fileno(st->log_file), &sb) != 0)
        return nullptr;
    if (sb.st_size < static_cast<off_t>(st->logrotate_max_size) * 1024)
        return st->log_file;

    std::ignore = std::fclose(st->log_file);
    st->log_file = nullptr;
    rotate_logs(st);
    const char *why = nullptr;
    st->log_file = log_open_file(st->log_filename, log_open::fresh, &why);
    if (st->log_file != nullptr)
        return st->log_file;
    if (st->syslog_enable)
        syslog(LOG_ERR, "Could not open '%s' for write after log rotate: %s", st->log_filename,
               why);
    if (!st->logrotate_ignore_error)
        std::exit(1);
    return nullptr;
}

void rotate_logs(ntp_state *st)
{
    int n = st->logrotate_num_backups;
    if (n <= 0)
        return;
    std::size_t size = st->log_filename_len + 20;
    char *to = st->rotate_name_to;
    char *from = st->rotate_name_from;
    std::snprintf(to, size, "%s.%i", st->log_filename, n - 1);
    for (int i = n - 1; i >= 1; i--) {
        std::snprintf(from, size, "%s.%i", st->log_filename, i - 1);
        std::ignore = unlink(to);
        rotate_move(st, from, to);
        std::swap(from, to);
    }
    std::ignore = unlink(to);
    rotate_move(st, st->log_filename, to);
}
