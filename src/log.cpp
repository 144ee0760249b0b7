#include "log.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>

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

} // namespace

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
    st->log_file = std::fopen(st->log_filename, "wt");
    if (st->log_file != nullptr)
        return st->log_file;
    int err = errno;
    if (st->syslog_enable)
        syslog(LOG_ERR, "Could not open '%s' for write after log rotate: %s", st->log_filename,
               std::strerror(err));
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
