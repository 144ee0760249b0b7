#include "conf.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <tuple>

#include "dirlist.h"

namespace {

constexpr const char *CONF_STDIN_NAME = "<stdin>";

// One read takes at most 1022 characters and the terminator: the longest
// accepted line is 1021 characters plus its newline.
constexpr int CONF_LINE_READ_SIZE = static_cast<int>(CONF_LINE_MAX) + 2;

struct bool_key {
    std::string_view name;
    bool ntp_state::*field;
};

struct int_key {
    std::string_view name;
    std::int32_t ntp_state::*field;
    long min;
    long max;
};

struct text_key {
    std::string_view name;
    char *ntp_state::*field;
};

struct section_keys {
    std::string_view section;
    std::span<const bool_key> bools;
    std::span<const int_key> ints;
    std::span<const text_key> texts;
};

constexpr bool_key TOP_BOOLS[] = {
    {"enable_client", &ntp_state::enable_client},
    {"enable_server", &ntp_state::enable_server},
    {"ignore_unresolved_timeservers", &ntp_state::ignore_unresolved_timeservers},
    {"update_dryrun", &ntp_state::update_dryrun},
    {"exit_after_update", &ntp_state::exit_after_update},
    {"exit_when_timeout", &ntp_state::exit_when_timeout},
    {"resolve_timeservers", &ntp_state::resolve_timeservers},
    {"lazy_resolve_ignored_timeservers", &ntp_state::lazy_resolve_ignored_timeservers},
    {"server_answer_v4", &ntp_state::server_answer_v4},
    {"server_require_sync", &ntp_state::server_require_sync},
    {"server_ipv6", &ntp_state::server_ipv6},
};

// first_update_delay and poll_interval end at 2147483: the schedule multiplies
// them by 1000 in 32 bits.
constexpr int_key TOP_INTS[] = {
    {"send_timeout", &ntp_state::send_timeout, 100, 2147483647},
    {"recv_timeout", &ntp_state::recv_timeout, 100, 2147483647},
    {"first_update_delay", &ntp_state::first_update_delay, 0, 2147483},
    {"poll_interval", &ntp_state::poll_interval, 10, 2147483},
    {"resolve_retry_timeout", &ntp_state::resolve_retry_timeout, 100, 25000},
    {"num_update_tries", &ntp_state::num_update_tries, 1, 1000},
    {"num_update_samples", &ntp_state::num_update_samples, 1, 64},
    {"update_sample_interval", &ntp_state::update_sample_interval, 100, 60000},
    {"resolve_timeserver_again_after", &ntp_state::resolve_timeserver_again_after, 0, 25000},
};

constexpr text_key TOP_TEXTS[] = {
    {"bind_if", &ntp_state::bind_if},
    {"rtcdev", &ntp_state::rtcdev},
    {"user", &ntp_state::user},
};

constexpr bool_key LOG_BOOLS[] = {
    {"enable", &ntp_state::log_enable},
    {"stderr", &ntp_state::log_stderr},
    {"append", &ntp_state::log_append},
    {"ignore_open_error", &ntp_state::log_ignore_open_error},
    {"startup", &ntp_state::log_startup},
    {"config", &ntp_state::log_config},
    {"timeservers", &ntp_state::log_timeservers},
    {"update_req", &ntp_state::log_update_req},
    {"update", &ntp_state::log_update},
    {"update_timestamps", &ntp_state::log_update_timestamps},
    {"ignored_req", &ntp_state::log_ignored_req},
    {"incoming_update_req", &ntp_state::log_incoming_update_req},
    {"unsupported_protocol", &ntp_state::log_unsupported_protocol},
    {"unknown_packet_mode", &ntp_state::log_unknown_packet_mode},
    {"unsupported_version", &ntp_state::log_unsupported_version},
    {"bad_orig_ts", &ntp_state::log_bad_orig_ts},
    {"unexpected_update_reply", &ntp_state::log_unexpected_update_reply},
    {"timeserver_response_timeout", &ntp_state::log_timeserver_response_timeout},
    {"outdated_timeservers", &ntp_state::log_outdated_timeservers},
    {"resolved_timeservers", &ntp_state::log_resolved_timeservers},
    {"update_samples", &ntp_state::log_update_samples},
    {"unserved_req", &ntp_state::log_unserved_req},
};

constexpr text_key LOG_TEXTS[] = {
    {"filename", &ntp_state::log_filename},
};

constexpr bool_key LOGROTATE_BOOLS[] = {
    {"rotate_existing", &ntp_state::logrotate_rotate_existing},
    {"ignore_error", &ntp_state::logrotate_ignore_error},
};

constexpr int_key LOGROTATE_INTS[] = {
    {"max_size", &ntp_state::logrotate_max_size, 1, 10000},
    {"num_backups", &ntp_state::logrotate_num_backups, 0, 1000},
};

constexpr bool_key SYSLOG_BOOLS[] = {
    {"enable", &ntp_state::syslog_enable},
    {"startup", &ntp_state::syslog_startup},
    {"log_open_error", &ntp_state::syslog_log_open_error},
    {"update_req", &ntp_state::syslog_update_req},
    {"update", &ntp_state::syslog_update},
    {"timeserver_response_timeout", &ntp_state::syslog_timeserver_response_timeout},
    {"outdated_timeservers", &ntp_state::syslog_outdated_timeservers},
    {"resolved_timeservers", &ntp_state::syslog_resolved_timeservers},
};

constexpr bool_key RATELIMIT_BOOLS[] = {
    {"kod", &ntp_state::ratelimit_kod},
};

constexpr int_key RATELIMIT_INTS[] = {
    {"rate", &ntp_state::ratelimit_rate, 0, 1000000},
    {"burst", &ntp_state::ratelimit_burst, 1, 10000},
};

constexpr section_keys SECTIONS[] = {
    {"", TOP_BOOLS, TOP_INTS, TOP_TEXTS},
    {"log", LOG_BOOLS, {}, LOG_TEXTS},
    {"logrotate", LOGROTATE_BOOLS, LOGROTATE_INTS, {}},
    {"syslog", SYSLOG_BOOLS, {}, {}},
    {"ratelimit", RATELIMIT_BOOLS, RATELIMIT_INTS, {}},
};

constexpr std::string_view TIMESERVER_SECTION = "timeserver";
constexpr std::string_view ALLOW_SECTION = "server_allow";
constexpr std::string_view DENY_SECTION = "server_deny";

const section_keys *find_section(std::string_view name)
{
    for (const section_keys &sec : SECTIONS) {
        if (sec.section == name)
            return &sec;
    }
    return nullptr;
}

// An integer as strtol reads it with base 0 (trailing characters ignored, no
// number reads as 0), accepted only inside [min, max].
bool read_int(const char *text, long min, long max, long *out)
{
    errno = 0;
    long v = std::strtol(text, nullptr, 0);
    if (errno == ERANGE || v < min || v > max)
        return false;
    *out = v;
    return true;
}

int invalid_value(const char *name, const char *value)
{
    std::fprintf(stderr, "Failed to parse '%s' key: value '%s' was invalid\n", name, value);
    return -1;
}

// An entry that could not be made is taken off the list again.
int drop_last_timeserver(ntp_state *st, timeserver_entry *ts)
{
    std::ignore = ptrarr_remove(&st->timeservers, st->timeservers.count - 1);
    std::free(ts);
    return -1;
}

// A copy of value replaces *field.
int store_text(char **field, const char *name, const char *value, std::size_t value_len)
{
    char *copy = static_cast<char *>(std::malloc(value_len + 1));
    if (copy == nullptr) {
        std::fprintf(stderr, "Could not allocate memory for string copy: %s\n",
                     std::strerror(errno));
        return invalid_value(name, value);
    }
    std::memcpy(copy, value, value_len);
    copy[value_len] = '\0';
    std::free(*field);
    *field = copy;
    return 0;
}

struct file_closer {
    void operator()(std::FILE *f) const { std::ignore = std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Releases the loader's parser on every return path.
struct inipar_guard {
    inipar_ctx *ctx;
    ~inipar_guard() { std::ignore = inipar_deinit(ctx); }
};

struct dir_list_guard {
    ptrarr *listing;
    ~dir_list_guard() { free_dir_list(listing); }
};

[[nodiscard]] int load_file(inipar_ctx *ctx, const char *path)
{
    file_ptr f(std::fopen(path, "rt"));
    if (!f) {
        std::fprintf(stderr, "Could not open config file '%s': %s\n", path, std::strerror(errno));
        return -1;
    }
    return load_ini_f(ctx, f.get(), path) == 0 ? 0 : -1;
}

[[nodiscard]] int load_d_dir(inipar_ctx *ctx, const char *config_path)
{
    // "/etc/ntp-quorix.conf" -> "/etc/ntp-quorix.d"
    std::size_t len = std::strlen(config_path);
    std::unique_ptr<char, decltype(&std::free)> name(static_cast<char *>(std::malloc(len + 3)),
                                                     &std::free);
    char *dname = name.get();
    if (dname == nullptr) {
        std::fprintf(stderr, "Could not allocate memory for \".d\" name: %s\n",
                     std::strerror(errno));
        return -1;
    }
    std::size_t base = len - DIRLIST_SUFFIX.size();
    std::memcpy(dname, config_path, base);
    std::memcpy(dname + base, ".d", 3);

    ptrarr listing{};
    if (dir_list(&listing, dname) != 0) {
        std::fprintf(stderr, "An error occured during listing the directory '%s'\n", dname);
        return -1;
    }

    dir_list_guard guard{&listing};
    for (std::size_t i = 0; i < listing.count; i++) {
        if (load_file(ctx, static_cast<const char *>(listing.items[i])) != 0)
            return -1;
    }
    return 0;
}

// Apply the finished tree: top-level keys and the sections in tree order, the
// time servers last, so that the resolution settings hold their final values
// wherever they stand.
[[nodiscard]] int apply_tree(ntp_state *st, inipar_ctx *ctx)
{
    inipar_tree_node *servers = nullptr;
    for (inipar_tree_node *node = inipar_kv_tree_iter(ctx, nullptr, nullptr); node != nullptr;
         node = inipar_kv_tree_iter(ctx, nullptr, node)) {
        if (node->value != nullptr) {
            if (conf_store_key(st, "", node->name, node->value, node->value_len) != 0)
                return -1;
            continue;
        }
        std::string_view name(node->name, node->name_len);
        if (name == TIMESERVER_SECTION) {
            servers = node;
            continue;
        }
        if (name == ALLOW_SECTION || name == DENY_SECTION) {
            for (inipar_tree_node *net = inipar_kv_tree_iter(ctx, node, nullptr); net != nullptr;
                 net = inipar_kv_tree_iter(ctx, node, net)) {
                if (net->value != nullptr &&
                    conf_add_network(st, name == DENY_SECTION, net->name, net->value) != 0)
                    return -1;
            }
            continue;
        }
        if (name.empty() || find_section(name) == nullptr)
            continue;
        for (inipar_tree_node *key = inipar_kv_tree_iter(ctx, node, nullptr); key != nullptr;
             key = inipar_kv_tree_iter(ctx, node, key)) {
            if (key->value != nullptr &&
                conf_store_key(st, node->name, key->name, key->value, key->value_len) != 0)
                return -1;
        }
    }
    if (servers == nullptr)
        return 0;
    for (inipar_tree_node *ts = inipar_kv_tree_iter(ctx, servers, nullptr); ts != nullptr;
         ts = inipar_kv_tree_iter(ctx, servers, ts)) {
        if (ts->value != nullptr &&
            conf_add_timeserver(st, ts->name, ts->value, ts->value_len) != 0)
            return -1;
    }
    return 0;
}

} // namespace

void *ini_alloc(void *, std::size_t size)
{
    return std::malloc(size);
}

void ini_free(void *, void *block)
{
    std::free(block);
}

void conf_set_defaults(ntp_state *st)
{
    st->logrotate_rotate_existing = true;
    st->logrotate_ignore_error = true;
    st->log_append = true;
    st->log_unsupported_protocol = true;
    st->log_unknown_packet_mode = true;
    st->log_unsupported_version = true;
    st->log_bad_orig_ts = true;
    st->log_update_timestamps = true;
    st->log_unexpected_update_reply = true;
    st->log_timeserver_response_timeout = true;
    st->logrotate_max_size = 50;
    st->logrotate_num_backups = 1;
    st->send_timeout = 2500;
    st->recv_timeout = 5000;
    st->poll_interval = 600;
    st->resolve_retry_timeout = 1500;
    st->num_update_tries = 3;
    st->num_update_samples = CONF_SAMPLES_DEFAULT;
    st->update_sample_interval = CONF_SAMPLE_INTERVAL_DEFAULT;
    st->ratelimit_burst = CONF_RATE_BURST_DEFAULT;
    st->ratelimit_kod = true;
    st->timeserver_family = AF_INET;
    st->rtc_fd = st->sock6 =
        -1; // not keys: the real-time clock and the IPv6 socket are opened at start, if at all
    st->bind_port = NTP_DEFAULT_PORT;
}

int conf_parse_bool(const char *text, bool *out)
{
    std::string_view t(text);
    if (t == "on" || t == "yes" || t == "true" || t == "enabled") {
        *out = true;
        return 0;
    }
    char *end = nullptr;
    long v = std::strtol(text, &end, 0);
    if (v > 0) {
        *out = true;
        return 0;
    }
    if (t == "off" || t == "no" || t == "false" || t == "disabled") {
        *out = false;
        return 0;
    }
    if (v == 0 && *end == '\0') {
        *out = false;
        return 0;
    }
    return -1;
}

int conf_store_key(ntp_state *st, const char *section, const char *name, const char *value,
                   std::size_t value_len)
{
    const section_keys *sec = find_section(section);
    if (sec == nullptr)
        return 0;
    std::string_view key(name);

    for (const bool_key &k : sec->bools) {
        if (k.name != key)
            continue;
        if (conf_parse_bool(value, &(st->*k.field)) != 0)
            return invalid_value(name, value);
        return 0;
    }
    for (const int_key &k : sec->ints) {
        if (k.name != key)
            continue;
        long v;
        if (!read_int(value, k.min, k.max, &v))
            return invalid_value(name, value);
        st->*k.field = static_cast<std::int32_t>(v);
        return 0;
    }
    for (const text_key &k : sec->texts) {
        if (k.name == key)
            return store_text(&(st->*k.field), name, value, value_len);
    }
    if (sec->section.empty() && key == "bind_address") {
        in_addr a;
        if (inet_pton(AF_INET, value, &a) != 1)
            return invalid_value(name, value);
        return store_text(&st->bind_address, name, value, value_len);
    }
    if (sec->section.empty() && key == "bind_port") {
        long v;
        if (!read_int(value, 1, 65535, &v))
            return invalid_value(name, value);
        st->bind_port = static_cast<std::uint16_t>(v);
    } else if (sec->section.empty() && key == "timeserver_family") {
        const std::string_view words[] = {"ipv4", "ipv6", "any"};
        const std::int32_t families[] = {AF_INET, AF_INET6, AF_UNSPEC};
        std::size_t i = 0;
        while (i < 3 && words[i] != value)
            i++;
        if (i == 3)
            return invalid_value(name, value);
        st->timeserver_family = families[i];
    } else if (sec->section.empty() && key == "server_select") {
        st->server_select =
            std::strcmp(value, "random") == 0 ? SERVER_SELECT_RANDOM : SERVER_SELECT_ROTATE;
    }
    return 0;
}

int conf_add_network(ntp_state *st, bool deny, const char *label, const char *value)
{
    conf_network net{};
    std::string_view text(value);
    std::size_t slash = std::min(text.find('/'), text.size());
    char addr[INET6_ADDRSTRLEN];
    net.family = AF_INET;
    bool ok = slash < sizeof(addr);
    if (ok) {
        std::memcpy(addr, value, slash);
        addr[slash] = '\0';
        ok = inet_pton(AF_INET, addr, net.addr) == 1;
        if (!ok && inet_pton(AF_INET6, addr, net.addr) == 1)
            ok = true, net.family = AF_INET6;
    }
    unsigned max = net.family == AF_INET6 ? 128 : 32;
    long prefix = static_cast<long>(max);
    char *end = nullptr;
    if (ok && slash < text.size()) {
        errno = 0;
        prefix = std::strtol(value + slash + 1, &end, 10);
        ok = end != value + slash + 1 && *end == '\0' && errno == 0 && prefix >= 0 &&
            prefix <= static_cast<long>(max);
    }
    if (!ok) {
        std::fprintf(stderr, "ERROR: value of %s.%s is invalid: '%s' is not a network\n",
                     (deny ? DENY_SECTION : ALLOW_SECTION).data(), label, value);
        return -1;
    }
    auto *copy = static_cast<conf_network *>(std::malloc(sizeof(conf_network)));
    if (copy == nullptr || ptrarr_add(deny ? &st->server_deny : &st->server_allow, copy) != 0) {
        std::fprintf(stderr, "Could not store network\n");
        std::free(copy);
        return -1;
    }
    net.prefix = static_cast<unsigned>(prefix);
    for (unsigned bit = net.prefix; bit < max; bit++) // the host part
        net.addr[bit / 8] &= static_cast<std::uint8_t>(~(0x80u >> (bit % 8)));
    *copy = net;
    return 0;
}

int conf_add_timeserver(ntp_state *st, const char *label, const char *value, std::size_t value_len)
{
    auto *ts =
        static_cast<timeserver_entry *>(std::malloc(sizeof(timeserver_entry) + value_len + 1));
    if (ts == nullptr) {
        std::fprintf(stderr, "Could not allocate memory for timeserver: %s\n",
                     std::strerror(errno));
        return -1;
    }
    if (ptrarr_add(&st->timeservers, ts) != 0) {
        std::fprintf(stderr, "Could not store timeserver\n");
        std::free(ts);
        return -1;
    }
    *ts = timeserver_entry{};
    ts->host = reinterpret_cast<char *>(ts + 1);
    ts->host_len = value_len;
    std::memcpy(ts->host, value, value_len);
    ts->host[value_len] = '\0';

    // host, host:port, [IPv6]:port, [IPv6], or an IPv6 address alone: more
    // than one colon, no port.
    ts->port = NTP_DEFAULT_PORT;
    char *colon = std::strchr(ts->host, ':');
    bool bracketed = ts->host[0] == '[';
    if (bracketed) {
        char *close = std::strchr(ts->host, ']');
        colon = close != nullptr && close[1] == ':' ? close + 1 : nullptr;
        if (close == nullptr || (close[1] != '\0' && colon == nullptr)) {
            std::fprintf(stderr, "ERROR: value of %s.%s is invalid: '%s' is not a valid address\n",
                         TIMESERVER_SECTION.data(), label, value);
            return drop_last_timeserver(st, ts);
        }
        ts->host_len = static_cast<std::size_t>(close - ts->host - 1);
        std::memmove(ts->host, ts->host + 1, ts->host_len);
        ts->host[ts->host_len] = '\0';
    } else if (colon != nullptr && std::strchr(colon + 1, ':') != nullptr) {
        colon = nullptr;
    }
    if (colon != nullptr) {
        const char *port_text = colon + 1;
        char *end = nullptr;
        errno = 0;
        long port = std::strtol(port_text, &end, 0);
        if (*end != '\0' || errno == ERANGE || port < 1 || port > 65535) {
            std::fprintf(stderr, "ERROR: value of %s.%s is invalid: '%s' is not a valid port\n",
                         TIMESERVER_SECTION.data(), label, port_text);
            return drop_last_timeserver(st, ts);
        }
        if (!bracketed)
            ts->host_len = static_cast<std::size_t>(colon - ts->host);
        ts->host[ts->host_len] = '\0';
        ts->port = static_cast<std::uint16_t>(port);
    }

    if (!st->resolve_timeservers)
        return 0;
    if (resolve_host(ts->host, st->timeserver_family, &ts->addr) == 0) {
        ts->resolved = true;
        net_set_port(&ts->addr, ts->port);
        return 0;
    }
    st->timeservers_unresolved = true;
    return 0;
}

int load_ini_f(inipar_ctx *ctx, std::FILE *stream, const char *name)
{
    char line[CONF_LINE_READ_SIZE + 1];
    for (;;) {
        if (std::fgets(line, CONF_LINE_READ_SIZE, stream) == nullptr) {
            // A failed read must not pass for the end of the file: the rest of
            // the configuration would be silently lost.
            if (std::ferror(stream)) {
                std::fprintf(stderr, "Could not read config file '%s': %s\n", name,
                             std::strerror(errno));
                return 1;
            }
            return 0;
        }
        std::size_t len = std::strlen(line);
        if (std::memchr(line, '\n', len) == nullptr) {
            std::fprintf(stderr, "Config line too long in '%s'\n", name);
            return 1;
        }
        long res = inipar_parse_data_ex(ctx, nullptr, line, len, INIPAR_FLAG_REPLACE);
        if (res != INIPAR_OK) {
            std::fprintf(stderr, "Parse error in config '%s': %li\n", name, res);
            return 1;
        }
    }
}

int load_config(ntp_state *st, const char *config_path, bool use_d_dir, bool use_stdin)
{
    if (!use_stdin) {
        std::string_view path(config_path);
        if (path.size() <= DIRLIST_SUFFIX.size() || !path.ends_with(DIRLIST_SUFFIX)) {
            std::fprintf(stderr, "Supplied file does not seem to be a config file: '%s'\n",
                         config_path);
            return -1;
        }
    }
    conf_set_defaults(st);

    inipar_ctx ctx;
    long res = inipar_init(&ctx, ini_alloc, ini_free, nullptr);
    if (res != INIPAR_OK) {
        std::fprintf(stderr, "inipar ini error: %li\n", res);
        return -1;
    }
    inipar_guard guard{&ctx};

    if (use_stdin) {
        if (load_ini_f(&ctx, stdin, CONF_STDIN_NAME) != 0)
            return -1;
    } else {
        if (load_file(&ctx, config_path) != 0)
            return -1;
        if (use_d_dir && load_d_dir(&ctx, config_path) != 0)
            return -1;
    }

    if (apply_tree(st, &ctx) != 0) {
        std::fprintf(stderr, "Failed to process the configuration.\n");
        return -1;
    }
    return 0;
}

void conf_release(ntp_state *st)
{
    for (ptrarr *list : {&st->timeservers, &st->server_allow, &st->server_deny}) {
        for (std::size_t i = 0; i < list->count; i++)
            std::free(list->items[i]);
        ptrarr_deinit(list);
    }
    for (void *p :
         {static_cast<void *>(st->log_filename), static_cast<void *>(st->rotate_name_from),
          static_cast<void *>(st->rotate_name_to), static_cast<void *>(st->bind_if),
          static_cast<void *>(st->rtcdev), static_cast<void *>(st->bind_address),
          static_cast<void *>(st->user), static_cast<void *>(st->rate_table)})
        std::free(p);
    if (st->log_file != nullptr)
        std::fclose(st->log_file);
    std::free(st);
}
