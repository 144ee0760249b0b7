#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "conf.h"
#include "init.h"
#include "testsupport.h"

namespace {

struct owned_state {
    ntp_state *st = new_state();
    ~owned_state() { free_state(st); }
};

// Load path into st; returns the result and what went to standard error.
std::pair<int, std::string> load(ntp_state *st, const std::string &path, bool use_d_dir = true)
{
    fd_capture err(2);
    int res = load_config(st, path.c_str(), use_d_dir, false);
    return {res, err.text()};
}

void set_expected_defaults(ntp_state *s)
{
    s->logrotate_rotate_existing = s->logrotate_ignore_error = s->log_append = true;
    s->log_unsupported_protocol = s->log_unknown_packet_mode = s->log_unsupported_version = true;
    s->log_bad_orig_ts = s->log_update_timestamps = s->log_unexpected_update_reply = true;
    s->log_timeserver_response_timeout = true;
    s->logrotate_max_size = 50;
    s->logrotate_num_backups = 1;
    s->num_update_tries = 3;
    s->send_timeout = 2500;
    s->recv_timeout = 5000;
    s->resolve_retry_timeout = 1500;
    s->poll_interval = 600;
    s->bind_port = 123;
}

// Offset of the first byte in which two records differ, or -1.
long first_difference(const ntp_state *a, const ntp_state *b)
{
    const auto *pa = reinterpret_cast<const unsigned char *>(a);
    const auto *end = pa + sizeof(ntp_state);
    const auto *at = std::mismatch(pa, end, reinterpret_cast<const unsigned char *>(b)).first;
    return at == end ? -1 : at - pa;
}

const timeserver_entry *server(const ntp_state *st, std::size_t i)
{
    return static_cast<const timeserver_entry *>(st->timeservers.items[i]);
}

} // namespace

TEST(ConfTest, ParseBoolTable)
{
    // 1 and 0: the value read; -1: refused, with the output untouched.
    const std::pair<const char *, int> rows[] = {
        {"on", 1}, {"yes", 1}, {"true", 1}, {"enabled", 1}, {"2", 1}, {"1abc", 1}, {"0x10", 1},
        {"99999999999999999999", 1}, {"off", 0}, {"no", 0}, {"false", 0}, {"disabled", 0}, {"0", 0},
        {"00", 0}, {"0x0", 0}, {"-0", 0}, {"", 0}, {"-1", -1}, {"0x", -1}, {"0abc", -1},
        {"maybe", -1}, {"TRUE", -1}, {"Yes", -1}, {" on", -1}, {"-1yes", -1}};
    for (auto [text, want] : rows) {
        SCOPED_TRACE(std::string("'") + text + "'");
        for (bool before : {false, true}) {
            bool out = before;
            EXPECT_EQ(conf_parse_bool(text, &out), want < 0 ? -1 : 0);
            EXPECT_EQ(out, want < 0 ? before : want == 1);
        }
    }
}

// Each row is a whole configuration file; the record must equal the defaults
// with exactly the listed change, byte for byte.
TEST(ConfTest, KeysStoreOrFailWithTwoMessages)
{
    // configuration, the parse message (the summary line follows it), the change
    const std::tuple<std::string, const char *, void (*)(ntp_state *)> rows[] = {
        {"", nullptr, nullptr},
        {"# nothing\n\n[log]\nenable = yes\n", nullptr, nullptr},
        {"poll_interval = 9\n", "'poll_interval' key: value '9'", nullptr},
        {"poll_interval = 10s\n", nullptr, [](ntp_state *s) { s->poll_interval = 10; }},
        {"poll_interval = 0x258\n", nullptr, [](ntp_state *s) { s->poll_interval = 600; }},
        {"poll_interval = abc\n", "'poll_interval' key: value 'abc'", nullptr},
        {"# " + std::string(1019, '-') + "\npoll_interval = 20\n", nullptr,  // the longest line
         [](ntp_state *s) { s->poll_interval = 20; }},
        {"first_update_delay = abc\n", nullptr, nullptr},
        {"bind_port = 0\n", "'bind_port' key: value '0'", nullptr},
        {"bind_port = 65536\n", "'bind_port' key: value '65536'", nullptr},
        {"send_timeout = 99\n", "'send_timeout' key: value '99'", nullptr},
        {"send_timeout = 100\n", nullptr, [](ntp_state *s) { s->send_timeout = 100; }},
        {"send_timeout = 2147483648\n", "'send_timeout' key: value '2147483648'", nullptr},
        {"recv_timeout = -4294962296\n", "'recv_timeout' key: value '-4294962296'", nullptr},
        {"logrotate.num_backups = 0\n", nullptr, [](ntp_state *s) { s->logrotate_num_backups = 0; }},
        {"logrotate.max_size = 0\n", "'max_size' key: value '0'", nullptr},
        {"resolve_timeserver_again_after = 0\n", nullptr, nullptr},
        {"enable_client = 2\n", nullptr, [](ntp_state *s) { s->enable_client = true; }},
        {"enable_client = -1\n", "'enable_client' key: value '-1'", nullptr},
        {"enable_client = Yes\n", "'enable_client' key: value 'Yes'", nullptr},
        {"syslog.enable = on\nlog.append = 0\n", nullptr,
         [](ntp_state *s) { s->syslog_enable = true; s->log_append = false; }},
        {"server_select = random\n", nullptr, [](ntp_state *s) { s->server_select = 1; }},
        {"server_select = random\nserver_select = Random\n", nullptr, nullptr},
        {"log.Enable = yes\nenable = yes\nlogs.enable = yes\n", nullptr, nullptr},
        {"log.enable = maybe\nlog.enable = yes\n", nullptr, [](ntp_state *s) { s->log_enable = true; }},
        {"log.enable = yes\nlog.enable = \n", nullptr, [](ntp_state *s) { s->log_enable = true; }},
        {"log = 1\nlog.enable = yes\n", nullptr, nullptr},
        {"log.enable = yes\nlog = 1\n", nullptr, nullptr},
        {"timeserver = 192.0.2.1\ntimeserver.a = 192.0.2.2\n", nullptr, nullptr},
        {"timeserver.a = 192.0.2.2\ntimeserver = 192.0.2.1\n", nullptr, nullptr},
    };
    temp_dir dir;
    for (auto [config, msg, change] : rows) {
        SCOPED_TRACE(config);
        owned_state got, want;
        set_expected_defaults(want.st);
        if (change != nullptr)
            change(want.st);
        EXPECT_EQ(load(got.st, dir.write("q.conf", config)),
                  std::make_pair(msg == nullptr ? 0 : -1,
                                 msg == nullptr ? "" : "Failed to parse " + std::string(msg) +
                                     " was invalid\nFailed to process the configuration.\n"));
        EXPECT_EQ(first_difference(got.st, want.st), -1);
    }
}

TEST(ConfTest, TextKeys)
{
    temp_dir dir;
    owned_state s;
    EXPECT_EQ(load(s.st, dir.write("q.conf", "log.filename = \"/var/log/my log\"\nbind_if = eth0 x\n")),
              std::make_pair(0, std::string()));
    EXPECT_STREQ(s.st->log_filename, "/var/log/my log");
    EXPECT_STREQ(s.st->bind_if, "eth0");
    fd_capture err(2);
    seam_fail_alloc_from(0);
    int res = conf_store_key(s.st, "", "rtcdev", "rtc1", 4);
    seam_alloc_reset();
    EXPECT_EQ(res, -1);
    EXPECT_EQ(err.text(), "Could not allocate memory for string copy: Cannot allocate memory\n"
                          "Failed to parse 'rtcdev' key: value 'rtc1' was invalid\n");
}

// The .d files come after the main file in byte order of their names; a key
// defined again replaces the earlier one, a time server moving to the end.
TEST(ConfTest, DropInsOverrideKeyByKey)
{
    temp_dir dir;
    std::string path = dir.write("m.conf", "send_timeout = 200\nlog.enable = yes\n"
                                           "timeserver.main = 192.0.2.1\ntimeserver.b = 192.0.2.2\n");
    const std::tuple<bool, bool, std::int32_t, std::int32_t, bool, const char *> rows[] = {
        {true, true, 300, 500, false, "192.0.2.2 192.0.2.3 "},
        {true, false, 200, 5000, true, "192.0.2.1 192.0.2.2 "},
        {false, true, 200, 5000, true, "192.0.2.1 192.0.2.2 "},
    };
    for (auto [make_d, use_d, send, recv, log_enable, servers] : rows) {
        SCOPED_TRACE(std::string(make_d ? "with" : "without") + " .d, use_d " + (use_d ? "on" : "off"));
        remove_tree(dir / "m.d");
        if (make_d) {
            mkdir((dir / "m.d").c_str(), 0755);
            dir.write("m.d/10-a.conf", "send_timeout = 300\nrecv_timeout = 400\nlog.enable = maybe\n");
            dir.write("m.d/2-b.conf", "recv_timeout = 500\nlog.enable = no\n"
                                      "timeserver.main = 192.0.2.3\n");
            dir.write("m.d/20-c.conf.off", "poll_interval = 1\n");
        }
        owned_state s;
        EXPECT_EQ(load(s.st, path, use_d), std::make_pair(0, std::string()));
        EXPECT_EQ(s.st->send_timeout, send);
        EXPECT_EQ(s.st->recv_timeout, recv);
        EXPECT_EQ(s.st->log_enable, log_enable);
        std::string hosts;
        for (std::size_t i = 0; i < s.st->timeservers.count; i++)
            hosts += server(s.st, i)->host + std::string(" ");
        EXPECT_EQ(hosts, servers);
    }
}

TEST(ConfTest, LoadFailures)
{
    temp_dir dir;
    mkdir((dir / "dir.conf").c_str(), 0755);
    dir.write("long.conf", "# ok\n" + std::string(1022, 'x') + "\n");
    dir.write("tail.conf", "poll_interval = 20\nsend_timeout = 300");
    dir.write("dang.conf", "");
    mkdir((dir / "dang.d").c_str(), 0755);
    ASSERT_EQ(symlink("gone", (dir / "dang.d/x.conf").c_str()), 0);
    dir.write("drop.conf", "");
    mkdir((dir / "drop.d").c_str(), 0755);
    dir.write("drop.d/a.conf", "send_timeout = 300");
    const std::pair<std::string, std::string> rows[] = {  // '@' is the temporary directory
        {".conf", "Supplied file does not seem to be a config file: '.conf'\n"},
        {"/etc/ntp.CONF", "Supplied file does not seem to be a config file: '/etc/ntp.CONF'\n"},
        {"@/none.conf", "Could not open config file '@/none.conf': No such file or directory\n"},
        {"@/dir.conf", "Could not read config file '@/dir.conf': Is a directory\n"},
        {"@/long.conf", "Config line too long in '@/long.conf'\n"},
        {"@/tail.conf", "Config line too long in '@/tail.conf'\n"},
        {"@/dang.conf", "Could not stat file '@/dang.d/x.conf': No such file or directory\n"
                        "An error occured during listing the directory '@/dang.d'\n"},
        {"@/drop.conf", "Config line too long in '@/drop.d/a.conf'\n"},
    };
    auto expand = [&](std::string s) {
        for (std::size_t at; (at = s.find('@')) != std::string::npos;)
            s.replace(at, 1, dir.path());
        return s;
    };
    for (const auto &[path, err] : rows) {
        SCOPED_TRACE(path);
        owned_state s;
        EXPECT_EQ(load(s.st, expand(path)), std::make_pair(-1, expand(err)));
    }
}

// Every allocation of the loader fails in turn: each run either loads or fails
// with its messages, and free_state() leaves nothing behind.
TEST(ConfTest, LoaderSurvivesAllocationFailures)
{
    temp_dir dir;
    std::string path = dir.write("m.conf", "log.filename = /tmp/x.log\nbind_if = lo\n"
                                           "timeserver.a = 192.0.2.1\nenable_client = yes\n");
    mkdir((dir / "m.d").c_str(), 0755);
    dir.write("m.d/1.conf", "rtcdev = rtc1\ntimeserver.b = 192.0.2.2:1123\n");
    dir.write("m.d/2.conf", "timeserver.a = 192.0.2.3\nresolve_timeservers = on\n");
    for (long n = 0; n < 1000; n++) {
        SCOPED_TRACE("failing from allocation " + std::to_string(n));
        owned_state s;
        fd_capture err(2);
        seam_fail_alloc_from(n);
        int res = load_config(s.st, path.c_str(), true, false);
        seam_alloc_reset();
        std::string msg = err.text();
        if (res == 0) {
            EXPECT_EQ(msg, "");
            EXPECT_EQ(s.st->timeservers.count, 2u);
            EXPECT_GT(n, 20);
            return;
        }
        EXPECT_EQ(res, -1);
        EXPECT_TRUE(msg.size() > 1 && msg.back() == '\n') << msg;
    }
    FAIL() << "the load never succeeded";
}

// One server per row. An invalid port fails the load; resolve_timeservers and
// its companions stand after the server and still apply to it.
TEST(ConfTest, TimeserverEntries)
{
    struct row {
        std::string value;
        const char *bad_port = nullptr;  // the port text of the failure message
        const char *host = "ntp.test";
        std::uint16_t port = 123;
        const char *addr = "-";  // "-" while no address was stored
        std::uint16_t addr_port = 123;
        long lookups = 0;
        bool resolved = false, unresolved = false;
    };
    const std::string on = "\nresolve_timeservers = yes", ign = "\nignore_unresolved_timeservers = 1";
    const std::string lazy = "\nlazy_resolve_ignored_timeservers = 1";
    const row rows[] = {
        {.value = "192.0.2.1", .host = "192.0.2.1"},
        {.value = "192.0.2.1:0x7b", .host = "192.0.2.1"},
        {.value = "ntp.test:65535", .port = 65535, .addr_port = 65535},
        {.value = "ntp.test:010", .port = 8, .addr_port = 8},
        {.value = "ntp.test:", .bad_port = ""},
        {.value = "ntp.test:12:34", .bad_port = "12:34"},
        {.value = "[2001:db8::1]:123", .bad_port = "db8::1]:123"},
        {.value = "ntp.test:0", .bad_port = "0"},
        {.value = "ntp.test:65536", .bad_port = "65536"},
        {.value = "ntp.test:-5", .bad_port = "-5"},
        {.value = "ntp.test:12a", .bad_port = "12a"},
        {.value = "192.0.2.1:1123" + on, .host = "192.0.2.1", .port = 1123, .addr = "192.0.2.1",
         .addr_port = 1123, .resolved = true},
        {.value = "ntp.test" + on, .addr = "192.0.2.7", .lookups = 1, .resolved = true},
        {.value = "nx.test:99" + on, .host = "nx.test", .port = 99, .addr_port = 0, .lookups = 1,
         .unresolved = true},
        {.value = "nx.test:99" + on + ign, .host = "nx.test", .port = 99, .addr_port = 0, .lookups = 1,
         .unresolved = true},
        {.value = "nx.test:99" + on + lazy, .host = "nx.test", .port = 99, .addr_port = 0, .lookups = 1,
         .unresolved = true},
        {.value = "nx.test:99" + on + ign + lazy, .host = "nx.test", .port = 99, .addr_port = 99,
         .lookups = 1, .unresolved = true},
        {.value = "255.255.255.255" + on, .host = "255.255.255.255", .addr_port = 0, .lookups = 1,
         .unresolved = true},
    };
    temp_dir dir;
    for (const row &r : rows) {
        SCOPED_TRACE(r.value);
        seam_hosts_reset();
        seam_add_host("ntp.test", "192.0.2.7");
        owned_state s;
        auto [res, err] = load(s.st, dir.write("q.conf", "timeserver.a = " + r.value + "\n"));
        EXPECT_EQ(res, r.bad_port == nullptr ? 0 : -1);
        EXPECT_EQ(err, r.bad_port == nullptr ? "" : "ERROR: value of timeserver.a is invalid: '" +
                       std::string(r.bad_port) + "' is not a valid port\n"
                       "Failed to process the configuration.\n");
        ASSERT_EQ(s.st->timeservers.count, r.bad_port == nullptr ? 1u : 0u);
        if (r.bad_port != nullptr)
            continue;
        const timeserver_entry *ts = server(s.st, 0);
        EXPECT_STREQ(ts->host, r.host);
        EXPECT_EQ(ts->host_len, std::string(r.host).size());
        EXPECT_EQ(ts->port, r.port);
        EXPECT_STREQ(ts->addr.sin_family == AF_INET ? inet_ntoa(ts->addr.sin_addr) : "-", r.addr);
        EXPECT_EQ(ntohs(ts->addr.sin_port), r.addr_port);
        EXPECT_EQ(seam_lookups(), r.lookups);
        EXPECT_EQ(ts->resolved, r.resolved);
        EXPECT_EQ(s.st->timeservers_unresolved, r.unresolved);
    }
    seam_hosts_reset();
}

TEST(ConfTest, DeferredResolutionTable)
{
    const std::tuple<bool, bool, int> rows[] = {{0, 0, 1}, {0, 1, 1}, {1, 0, 0}, {1, 1, 1}};
    for (auto [resolve, lazy, want] : rows) {
        SCOPED_TRACE(std::to_string(resolve) + "/" + std::to_string(lazy));
        owned_state s;
        s.st->resolve_timeservers = resolve;
        s.st->lazy_resolve_ignored_timeservers = lazy;
        EXPECT_EQ(is_deferred_resolution_enabled(s.st), want);
    }
}
