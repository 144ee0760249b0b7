#include "init.h"

#include <arpa/inet.h>
#include <pwd.h>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <ctime>
#include <string_view>
#include <tuple>

#include "fmt.h"
#include "log.h"
#include "net.h"
#include "platform.h"
#include "resolver.h"
#include "version.h"

namespace {

constexpr const char *INIT_SYSLOG_IDENT = "ntp-quorix";
constexpr const char *syslog_available = "fully supported with openlog";

const char *yes_no(bool b)
{
    return b ? "yes" : "no";
}

// "never", "1 schedule", "<n> schedules".
const char *schedules_text(char *buf, std::size_t size, std::int32_t n)
{
    if (n == 0)
        return "never";
    std::snprintf(buf, size, "%i schedule%s", n, n == 1 ? "" : "s");
    return buf;
}

// "<title> <network>, <network>...", when there are any.
void report_networks(ntp_state *st, const char *title, const ptrarr *nets)
{
    char line[CONF_LINE_MAX];
    std::size_t used = static_cast<std::size_t>(std::snprintf(line, sizeof(line), "%s", title));
    for (std::size_t i = 0; i < nets->count && used < sizeof(line); i++) {
        const auto *net = static_cast<const conf_network *>(nets->items[i]);
        char addr[INET6_ADDRSTRLEN];
        std::ignore = inet_ntop(net->family, net->addr, addr, sizeof(addr));
        used += static_cast<std::size_t>(std::snprintf(line + used, sizeof(line) - used, "%s %s/%u",
                                                       i == 0 ? "" : ",", addr, net->prefix));
    }
    if (nets->count > 0)
        log_impl(st, "%s\n", line);
}

[[nodiscard]] int open_log_file(ntp_state *st)
{
    st->log_filename_len = std::strlen(st->log_filename);
    st->rotate_name_from = static_cast<char *>(std::malloc(st->log_filename_len + 20));
    if (st->rotate_name_from != nullptr)
        st->rotate_name_to = static_cast<char *>(std::malloc(st->log_filename_len + 20));
    if (st->rotate_name_from == nullptr || st->rotate_name_to == nullptr) {
        log_all_impl(st, true, "Could not allocate memory for log filename buffers: %s",
                     std::strerror(errno));
        return -1;
    }

    log_open how = log_open::append;
    if (!st->log_append) {
        how = st->logrotate_rotate_existing ? log_open::fresh : log_open::truncate;
        if (st->logrotate_rotate_existing)
            rotate_logs(st);
    }
    const char *why = nullptr;
    st->log_file = log_open_file(st->log_filename, how, &why);
    if (st->log_file != nullptr)
        return 0;

    if (st->syslog_enable && st->syslog_log_open_error)
        syslog(LOG_WARNING, "Could not open log file '%s': %s", st->log_filename, why);
    std::fprintf(stderr, "ERROR: Could not open log file '%s': %s\n", st->log_filename, why);
    return st->log_ignore_open_error ? 0 : -1;
}

// The report of the effective settings. The two resolution settings are
// settled here: a lazy resolution that cannot take effect is switched off, and
// re-resolution means nothing when names are resolved for every request.
void report_config(ntp_state *st, const timespec *start_time)
{
    auto quoted = [](const char *s, const char **open, const char **text, const char **close) {
        *open = s != nullptr ? "\"" : "";
        *text = s != nullptr ? s : "(not set)";
        *close = *open;
    };
    const char *o, *t, *c;

    log_timespec(st, "Started at ", start_time);
    log_impl(st, "Client enabled: %s\n", yes_no(st->enable_client));
    log_impl(st, "Server enabled: %s\n", yes_no(st->enable_server));
    // Rows of settings added later show only when set, so that the report of
    // a configuration that does not use them stays as it was.
    if (st->server_answer_v4)
        log_impl(st, "Server answers version 4: yes\n");
    if (st->server_require_sync)
        log_impl(st, "Server requires synchronization: yes\n");
    if (st->server_ipv6)
        log_impl(st, "Server over IPv6: yes\n");
    log_impl(st, "Syslog enabled: %s (%s)\n", yes_no(st->syslog_enable), syslog_available);
    log_impl(st, "Bind port: %u\n", static_cast<unsigned>(st->bind_port));
    if (st->bind_address != nullptr)
        log_impl(st, "Bind address: %s\n", st->bind_address);
    quoted(st->bind_if, &o, &t, &c);
    log_impl(st, "Bind interface: %s%s%s\n", o, t, c);
    quoted(st->rtcdev, &o, &t, &c);
    log_impl(st, "RTC device name: %s%s%s\n", o, t, c);
    report_networks(st, "Served networks:", &st->server_allow);
    report_networks(st, "Ignored networks:", &st->server_deny);
    if (st->ratelimit_rate != 0 || st->ratelimit_burst != CONF_RATE_BURST_DEFAULT ||
        !st->ratelimit_kod)
        log_impl(st, "Rate limit per source: %i requests/s, burst %i, kiss-o'-death: %s\n",
                 st->ratelimit_rate, st->ratelimit_burst, yes_no(st->ratelimit_kod));
    if (st->user != nullptr)
        log_impl(st, "Run as user: %s\n", st->user);
    log_impl(st, "Exit: after update: %s; when timeout: %s\n", yes_no(st->exit_after_update),
             yes_no(st->exit_when_timeout));
    log_impl(st, "Rotate size: %i KiB\n", st->logrotate_max_size);
    log_impl(st, "Number of rotate backups: %i\n", st->logrotate_num_backups);
    log_impl(st, "Ignore logrotate errors: %s\n", yes_no(st->logrotate_ignore_error));
    log_impl(st, "Rotate existing: %s\n", yes_no(st->logrotate_rotate_existing));
    log_impl(st, "Number of update tries: %i\n", st->num_update_tries);
    if (st->num_update_samples != CONF_SAMPLES_DEFAULT)
        log_impl(st, "Samples per update: %i\n", st->num_update_samples);
    if (st->update_sample_interval != CONF_SAMPLE_INTERVAL_DEFAULT)
        log_impl(st, "Sample interval: %d.%03u sec\n", st->update_sample_interval / 1000,
                 static_cast<unsigned>(st->update_sample_interval % 1000));
    log_impl(st, "First update delay: %i sec\n", st->first_update_delay);
    log_impl(st, "Poll interval: %i sec\n", st->poll_interval);
    log_impl(st, "Update dryrun: %s\n", yes_no(st->update_dryrun));
    log_impl(st, "Send timeout: %d.%03u sec\n", st->send_timeout / 1000,
             static_cast<unsigned>(st->send_timeout % 1000));
    log_impl(st, "Recv timeout: %d.%03u sec\n", st->recv_timeout / 1000,
             static_cast<unsigned>(st->recv_timeout % 1000));
    log_impl(st, "Resolve retry timeout: %d.%03u sec\n", st->resolve_retry_timeout / 1000,
             static_cast<unsigned>(st->resolve_retry_timeout % 1000));
    log_impl(st, "Timeserver select: %s\n",
             st->server_select == SERVER_SELECT_RANDOM ? "random" : "rotate");
    log_impl(st, "Resolve timeservers on startup: %s\n", yes_no(st->resolve_timeservers));
    if (st->timeserver_family != AF_INET)
        log_impl(st, "Timeserver address family: %s\n",
                 st->timeserver_family == AF_INET6 ? "ipv6" : "any");

    bool lazy_req = st->lazy_resolve_ignored_timeservers;
    bool lazy = lazy_req && st->resolve_timeservers && st->ignore_unresolved_timeservers;
    st->lazy_resolve_ignored_timeservers = lazy;
    log_impl(st, "Lazy resolve ignored timeservers: %s [req: %s]\n", yes_no(lazy),
             yes_no(lazy_req));

    char req_buf[32], eff_buf[32];
    const char *req = schedules_text(req_buf, sizeof(req_buf), st->resolve_timeserver_again_after);
    if (!st->resolve_timeservers)
        st->resolve_timeserver_again_after = 0;
    const char *eff = schedules_text(eff_buf, sizeof(eff_buf), st->resolve_timeserver_again_after);
    log_impl(st, "Resolve timeserver again after: %s [req: %s]\n", eff, req);
}

[[nodiscard]] int check_timeservers(ntp_state *st)
{
    if (st->timeservers_unresolved) {
        if (!st->ignore_unresolved_timeservers) {
            log_all_impl(st, true, "One or more timeservers remained unresolved.");
            return -1;
        }
        log_all_impl(st, false, "Warning: one or more timeservers remained unresolved.");
    }

    std::size_t total = st->timeservers.count;
    std::size_t unresolved = 0;
    for (std::size_t i = 0; i < total; i++) {
        if (!static_cast<const timeserver_entry *>(st->timeservers.items[i])->resolved)
            unresolved++;
    }
    if (st->log_timeservers) {
        log_impl(st, "Timeservers:\n");
        for (std::size_t i = 0; i < total; i++) {
            const auto *ts = static_cast<const timeserver_entry *>(st->timeservers.items[i]);
            const char *open = std::strchr(ts->host, ':') != nullptr ? "[" : "";
            char text[NET_ADDR_TEXT];
            if (ts->resolved)
                log_impl(st, "  \"%s%s%s:%u\" -> %s\n", open, ts->host, *open ? "]" : "",
                         static_cast<unsigned>(ts->port), net_addr_text(&ts->addr, true, &text));
            else
                log_impl(st, "  \"%s%s%s:%u\" is unresolved\n", open, ts->host, *open ? "]" : "",
                         static_cast<unsigned>(ts->port));
        }
        log_impl(st, "%zu timeserver%s in total, %zu unresolved\n", total, total == 1 ? "" : "s",
                 unresolved);
    }

    if (st->enable_client &&
        (total == 0 || (unresolved == total && !is_deferred_resolution_enabled(st)))) {
        log_all_impl(st, true, "Client mode is enabled, but no usable timeservers are specified.");
        return -1;
    }
    st->current_timeserver = total;
    return 0;
}

// Open, set up and bind one UDP socket to *local (port in network order);
// *local becomes the address it was bound to. Returns the socket, or -1 after
// a message.
[[nodiscard]] int open_one(ntp_state *st, net_addr *local)
{
    int sock = socket(local->sa.sa_family, SOCK_DGRAM, IPPROTO_UDP);
    if (sock == -1) {
        log_all_impl(st, true, "socket() failed: %s", std::strerror(errno));
        return -1;
    }
    // The IPv6 socket takes IPv6 only: IPv4 stays the first socket's.
    int on = 1;
    if (local->sa.sa_family == AF_INET6 &&
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) {
        log_all_impl(st, true, "setsockopt(IPV6_V6ONLY) failed: %s", std::strerror(errno));
        return -1;
    }
    if (st->bind_if != nullptr &&
        setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, st->bind_if,
                   static_cast<socklen_t>(std::strlen(st->bind_if))) != 0) {
        log_all_impl(st, true, "setsockopt(SO_BINDTODEVICE) failed: %s", std::strerror(errno));
        return -1;
    }
    if (bind(sock, &local->sa, net_addr_len(local)) != 0) {
        log_all_impl(st, true, "bind() failed: %s", std::strerror(errno));
        return -1;
    }
    socklen_t len = net_addr_len(local);
    if (getsockname(sock, &local->sa, &len) != 0) {
        log_all_impl(st, true, "getsockname() failed: %s", std::strerror(errno));
        return -1;
    }
    char text[NET_ADDR_TEXT];
    if (st->log_config)
        log_impl(st, "Local %saddress: %s\n", local->sa.sa_family == AF_INET6 ? "IPv6 " : "",
                 net_addr_text(local, true, &text));

    // Without the kernel's times of datagrams the times are read around the
    // send and the receive, less exactly: the report says so where it happens.
    if (!net_enable_timestamps(sock) && st->log_config && local->sa.sa_family == AF_INET)
        log_impl(st, "Kernel timestamps: not available\n");
    timeval tv{};
    tv.tv_sec = st->send_timeout / 1000;
    tv.tv_usec = (st->send_timeout % 1000) * 1000;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
        log_all_impl(st, true, "setsockopt(SO_SNDTIMEO) failed: %s", std::strerror(errno));
        return -1;
    }
    return sock;
}

// Whether a second socket takes IPv6: to serve over it, or for servers that
// have, or may have, an IPv6 address.
[[nodiscard]] bool ipv6_in_use(const ntp_state *st)
{
    if (st->server_ipv6)
        return true;
    if (!st->enable_client)
        return false;
    net_addr addr;
    for (std::size_t i = 0; i < st->timeservers.count; i++) {
        const auto *ts = static_cast<const timeserver_entry *>(st->timeservers.items[i]);
        if (resolver_numeric(ts->host, &addr) == 0 ? addr.sa.sa_family == AF_INET6
                                                   : st->timeserver_family != AF_INET)
            return true;
    }
    return false;
}

// The IPv4 socket (st->sock) on bind_address or any address, and, when IPv6
// is in use, the IPv6 socket (st->sock6): bind_port for a server, one the
// system chooses for a client only, and for IPv6 one that serves over IPv6.
[[nodiscard]] int open_sockets(ntp_state *st)
{
    std::uint16_t port = st->enable_server ? st->bind_port : 0;
    net_addr local{};
    local.v4.sin_family = AF_INET;
    if (st->bind_address != nullptr)
        std::ignore = inet_pton(AF_INET, st->bind_address, &local.v4.sin_addr);
    net_set_port(&local, port);
    if ((st->sock = open_one(st, &local)) < 0)
        return -1;
    st->local_addr = local.v4;
    if (!ipv6_in_use(st))
        return 0;
    local = net_addr{};
    local.v6.sin6_family = AF_INET6;
    local.v6.sin6_addr = in6addr_any;
    net_set_port(&local, st->server_ipv6 ? port : 0);
    if ((st->sock6 = open_one(st, &local)) < 0)
        return -1;
    return 0;
}

// The rate limit's table, at start-up so that the loop never allocates, and
// the secret key of its hash.
[[nodiscard]] int start_rate_limit(ntp_state *st)
{
    if (st->ratelimit_rate == 0)
        return 0;
    st->rate_table = static_cast<rate_slot *>(std::calloc(CONF_RATE_SLOTS, sizeof(rate_slot)));
    if (st->rate_table == nullptr) {
        log_all_impl(st, true, "Could not allocate the rate limit's table: %s",
                     std::strerror(errno));
        return -1;
    }
    if (getentropy(st->rate_key, sizeof(st->rate_key)) != 0) {
        log_all_impl(st, true, "Could not draw the rate limit's key: %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

// Give up root once the socket is bound and the log open, keeping only what
// setting the clock needs. The log's directory must stay writable to the user,
// or the first rotation would end file logging: that is found out now.
[[nodiscard]] int run_as_user(ntp_state *st)
{
    const passwd *pw = getpwnam(st->user);
    if (pw == nullptr) {
        log_all_impl(st, true, "Unknown user '%s'", st->user);
        return -1;
    }
    if (pw->pw_uid != geteuid()) {
        st->rtc_fd = platform_open_rtc();
        if (platform_drop_privileges(pw->pw_uid, pw->pw_gid) != 0) {
            log_all_impl(st, true, "Could not run as user '%s': %s", st->user,
                         std::strerror(errno));
            return -1;
        }
    }
    if (st->log_file == nullptr)
        return 0;
    const char *slash = std::strrchr(st->log_filename, '/');
    std::string_view dir = slash == nullptr ? "."
        : slash == st->log_filename
        ? "/"
        : std::string_view(st->log_filename, static_cast<std::size_t>(slash - st->log_filename));
    char path[PATH_MAX];
    std::snprintf(path, sizeof(path), "%.*s", static_cast<int>(dir.size()), dir.data());
    if (access(path, W_OK) != 0) {
        log_all_impl(st, true, "The log directory '%s' is not writable by user '%s': %s", path,
                     st->user, std::strerror(errno));
        return -1;
    }
    return 0;
}

// Whether the loop may have to look a name up: then a thread does it, so that
// a resolver that does not answer never holds up the loop.
[[nodiscard]] bool names_looked_up_on_use(const ntp_state *st)
{
    if (!st->enable_client ||
        (!is_deferred_resolution_enabled(st) && st->resolve_timeserver_again_after == 0))
        return false;
    for (std::size_t i = 0; i < st->timeservers.count; i++) {
        net_addr addr;
        if (resolver_numeric(static_cast<const timeserver_entry *>(st->timeservers.items[i])->host,
                             &addr) != 0)
            return true;
    }
    return false;
}

} // namespace

int init(ntp_state *st)
{
    if (st->syslog_enable) {
        openlog(INIT_SYSLOG_IDENT, LOG_PID, LOG_DAEMON);
        if (st->syslog_startup)
            syslog(LOG_INFO, "NTP v%s", ntp_quorix_version);
    }
    if (st->log_enable && st->log_filename != nullptr && open_log_file(st) != 0)
        return -1;
    if (st->log_startup)
        log_impl(st, "NTP v%s\n", ntp_quorix_version);
    if (st->rtcdev != nullptr)
        std::ignore = setenv(PLATFORM_RTC_ENV, st->rtcdev, 1);

    timespec start_time{};
    std::ignore = clock_gettime(CLOCK_REALTIME, &start_time);
    std::srand(static_cast<unsigned>(start_time.tv_sec) ^
               static_cast<unsigned>(start_time.tv_nsec));

    if (st->log_config)
        report_config(st, &start_time);
    if (check_timeservers(st) != 0 || open_sockets(st) != 0 || start_rate_limit(st) != 0 ||
        (st->user != nullptr && run_as_user(st) != 0))
        return -1;
    if (names_looked_up_on_use(st) && resolver_start(&st->resolver) != 0) {
        log_all_impl(st, true, "Failed to start the name lookup thread: %s", std::strerror(errno));
        return -1;
    }
    return 0;
}

int is_deferred_resolution_enabled(const ntp_state *st)
{
    if (!st->resolve_timeservers)
        return 1;
    return st->lazy_resolve_ignored_timeservers ? 1 : 0;
}
