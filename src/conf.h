// The daemon's state record, its configuration keys and how they are loaded:
// defaults, the configuration sources, storing each key and the time-server
// entries.
#ifndef QUORIX_CONF_H
#define QUORIX_CONF_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "inipar/inipar.h"
#include "net.h"
#include "ptrarr.h"
#include "resolver.h"

constexpr std::int32_t SERVER_SELECT_ROTATE = 0;
constexpr std::int32_t SERVER_SELECT_RANDOM = 1;

constexpr const char *CONF_DEFAULT_PATH = "/etc/ntp-quorix.conf";
constexpr std::uint16_t NTP_DEFAULT_PORT = 123;

// Defaults of keys whose start-up report row shows only when set otherwise.
constexpr std::int32_t CONF_SAMPLES_DEFAULT = 1;
constexpr std::int32_t CONF_SAMPLE_INTERVAL_DEFAULT = 2000;
constexpr std::int32_t CONF_RATE_BURST_DEFAULT = 8;

// The longest configuration line, without its newline; no value is longer.
constexpr std::size_t CONF_LINE_MAX = 1021;

// A network of the server's access rules (server_allow, server_deny): the
// address bytes in network order with the bits past the prefix cleared.
struct conf_network {
    int family; // AF_INET or AF_INET6
    std::uint8_t addr[16];
    unsigned prefix; // bits
};

// The server's rate limit: each source (an IPv4 address, or an IPv6 /64) is
// known by a slot of a fixed table, chosen by a keyed hash; its requests have
// used up the rate until due_us, and it gets no kiss-o'-death before
// kiss_due_us (both monotonic).
struct rate_slot {
    std::uint64_t source;
    std::uint64_t due_us;
    std::uint64_t kiss_due_us;
};
constexpr std::size_t CONF_RATE_SLOTS = 1024;

// One configured time server. One heap block: this record, then the host text.
struct timeserver_entry {
    net_addr addr;        // destination, while resolved: address by resolve_host(), then the port
    std::size_t host_len; // length of host, without ":port"
    std::int32_t schedules_since_resolve;
    std::uint16_t port; // host byte order
    bool resolved;      // addr holds a looked-up address
    char *host;         // NUL-terminated, without brackets or port, just past this record
};

// The rate limit of one kind of per-packet log line (log_limit_pass()).
struct log_limit {
    std::int64_t due_ms; // monotonic: the time the lines passed so far have used up
    std::uint32_t held;  // lines held back since the last that passed
};
constexpr std::size_t CONF_LOG_KINDS = 7;

// The daemon's one state record. main() allocates it zero-filled; it and
// everything it points to live until the process ends.
struct ntp_state {
    const char *progname;
    bool enable_server;
    bool enable_client;
    bool log_enable;
    bool syslog_enable;
    bool log_stderr;
    bool update_dryrun;
    bool exit_after_update;
    bool exit_when_timeout;
    bool logrotate_rotate_existing;
    bool logrotate_ignore_error;
    bool log_append;
    bool log_ignore_open_error;
    bool log_startup;
    bool log_timeservers;
    bool log_config;
    bool log_update_req;
    bool log_update;
    bool log_ignored_req;
    bool log_unsupported_protocol;
    bool log_unknown_packet_mode;
    bool log_unsupported_version;
    bool log_bad_orig_ts;
    bool log_update_timestamps;
    bool log_incoming_update_req;
    bool log_unexpected_update_reply;
    bool log_timeserver_response_timeout;
    bool log_outdated_timeservers;
    bool log_resolved_timeservers;
    bool log_update_samples;
    bool log_unserved_req;
    bool server_ipv6; // serve over IPv6 too
    bool ratelimit_kod;
    bool syslog_log_open_error;
    bool syslog_startup;
    bool syslog_update_req;
    bool syslog_update;
    bool syslog_timeserver_response_timeout;
    bool syslog_outdated_timeservers;
    bool syslog_resolved_timeservers;
    bool ignore_unresolved_timeservers;
    bool timeservers_unresolved; // a name failed to resolve while loading
    bool resolve_timeservers;
    bool lazy_resolve_ignored_timeservers;
    bool server_answer_v4;           // answer version-4 requests in version 4
    bool server_require_sync;        // a client answers as unsynchronised until it set the clock
    std::int32_t logrotate_max_size; // KiB
    std::int32_t logrotate_num_backups;
    std::int32_t send_timeout;          // ms
    std::int32_t recv_timeout;          // ms
    std::int32_t poll_interval;         // s
    std::int32_t resolve_retry_timeout; // ms
    std::int32_t first_update_delay;    // s
    std::int32_t num_update_tries;
    std::int32_t num_update_samples;     // exchanges per synchronization; the lowest delay is taken
    std::int32_t update_sample_interval; // ms between the samples of a synchronization
    std::int32_t ratelimit_rate;         // requests per second of one source; 0: no limit
    std::int32_t ratelimit_burst;        // requests over the rate one source may send at once
    std::int32_t resolve_timeserver_again_after; // update schedules, 0 = never
    std::int32_t timeserver_family; // AF_INET, AF_INET6 or AF_UNSPEC: what names are looked up for
    std::int32_t server_select;     // SERVER_SELECT_*
    std::size_t current_timeserver; // index taken last in rotate order
    int sock;
    int sock6;                // the IPv6 socket when IPv6 is in use, or -1
    int rtc_fd;               // the real-time clock kept open across a change of user, or -1
    resolver_thread resolver; // running when names are looked up after start-up
    std::uint16_t bind_port;
    std::FILE *log_file;                  // null when there is no file output
    log_limit log_limits[CONF_LOG_KINDS]; // per kind of per-packet line
    sockaddr_in local_addr;               // as getsockname() reported it
    ptrarr timeservers;                   // timeserver_entry *, configuration order
    std::size_t log_filename_len;
    char *log_filename;
    char *rotate_name_from; // log_filename_len + 20 bytes each
    char *rotate_name_to;
    char *bind_if;
    char *rtcdev;
    char *bind_address;        // the server's local address, when not any
    char *user;                // the user to run as once the socket is bound and the log open
    ptrarr server_allow;       // conf_network *: when any, only these are served
    ptrarr server_deny;        // conf_network *: never served
    rate_slot *rate_table;     // CONF_RATE_SLOTS, with ratelimit_rate only
    std::uint64_t rate_key[2]; // of the hash that picks a slot
};

static_assert(std::is_trivial_v<ntp_state>, "main() creates the state with calloc");

// Fill st from the configuration: config_path and, with use_d_dir, the
// "*.conf" files of its ".d" directory; or standard input with use_stdin.
// Returns 0, or -1 after its messages on standard error.
[[nodiscard]] int load_config(ntp_state *st, const char *config_path, bool use_d_dir,
                              bool use_stdin);

// Free what loading and start-up allocated, close the log file, then free st.
// The daemon keeps its state to the end; this is for whoever loads many.
void conf_release(ntp_state *st);

// Feed stream to the parser one line per call (replace flag set). Returns 0 at
// the end of input, 1 after a message naming name (a read error, a line
// without newline, or a parser failure).
[[nodiscard]] int load_ini_f(inipar_ctx *ctx, std::FILE *stream, const char *name);

// The parser's memory hooks: malloc and free; user_data is not used.
void *ini_alloc(void *user_data, std::size_t size);
void ini_free(void *user_data, void *block);

// Store the default of every configuration field.
void conf_set_defaults(ntp_state *st);

// Read a boolean ("yes", "on", "true", "enabled", a positive number, ...).
// Returns 0 with *out set, or -1 with *out untouched.
[[nodiscard]] int conf_parse_bool(const char *text, bool *out);

// Store one key of a section ("" for a top-level key). An unknown name is
// ignored and gives 0; an invalid value gives -1 after its messages.
[[nodiscard]] int conf_store_key(ntp_state *st, const char *section, const char *name,
                                 const char *value, std::size_t value_len);

// Turn one "server_allow" or "server_deny" key (an address, or address/prefix)
// into a network of st->server_allow or st->server_deny. Returns 0, or -1 after
// its message.
[[nodiscard]] int conf_add_network(ntp_state *st, bool deny, const char *label, const char *value);

// Turn one "timeserver" key (host or host:port) into an entry of st->timeservers,
// resolving it when resolve_timeservers is on. Returns 0, or -1 after its messages.
[[nodiscard]] int conf_add_timeserver(ntp_state *st, const char *label, const char *value,
                                      std::size_t value_len);

#endif
