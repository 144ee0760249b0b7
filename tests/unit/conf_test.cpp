#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "conf.h"
#include "testsupport.h"

using namespace std::literals;

namespace {

// s with every '@' replaced by the directory's path.
std::string at_dir(const temp_dir &dir, std::string s)
{
    for (std::size_t at; (at = s.find('@')) != std::string::npos;)
        s.replace(at, 1, dir.path());
    return s;
}

} // namespace

TEST(ConfTest, ParseBoolTable)
{
    // 1 and 0: the value read; -1: refused, with the output untouched.
    const std::pair<const char *, int> rows[] = {
        {"on", 1}, {"yes", 1}, {"true", 1}, {"enabled", 1}, {"2", 1}, {"1abc", 1}, {"0x10", 1},
        {"99999999999999999999", 1}, {"off", 0}, {"no", 0}, {"false", 0}, {"disabled", 0}, {"0", 0},
        {"0x0", 0}, {"-0", 0}, {"", 0}, {"-1", -1}, {"0x", -1}, {"0abc", -1}, {"maybe", -1},
        {"TRUE", -1}, {" on", -1}, {"-1yes", -1}};
    for (auto [text, want] : rows) {
        SCOPED_TRACE(std::string("'") + text + "'");
        for (bool before : {false, true}) {
            bool out = before;
            EXPECT_EQ(conf_parse_bool(text, &out), want < 0 ? -1 : 0);
            EXPECT_EQ(out, want < 0 ? before : want == 1);
        }
    }
}

// Each row is a whole configuration file: the state must be the defaults with
// exactly the listed change, or the load fails with the two messages.
TEST(ConfTest, KeysStoreOrFailWithTwoMessages)
{
    const std::tuple<std::string, const char *, void (*)(ntp_state *)> rows[] = {
        {"poll_interval = 9\n", "'poll_interval' key: value '9'", nullptr},
        {"poll_interval = 10s\n", nullptr, [](ntp_state *s) { s->poll_interval = 10; }},
        {"poll_interval = 0x3c\n", nullptr, [](ntp_state *s) { s->poll_interval = 60; }},
        {"poll_interval = abc\n", "'poll_interval' key: value 'abc'", nullptr},
        {"# " + std::string(1019, '-') + "\npoll_interval = 20\n", nullptr,  // the longest line
         [](ntp_state *s) { s->poll_interval = 20; }},
        {"bind_port = 0\n", "'bind_port' key: value '0'", nullptr},
        {"bind_port = 65536\n", "'bind_port' key: value '65536'", nullptr},
        {"send_timeout = 99\n", "'send_timeout' key: value '99'", nullptr},
        {"send_timeout = 100\n", nullptr, [](ntp_state *s) { s->send_timeout = 100; }},
        {"recv_timeout = -4294962296\n", "'recv_timeout' key: value '-4294962296'", nullptr},
        {"logrotate.num_backups = 0\n", nullptr, [](ntp_state *s) { s->logrotate_num_backups = 0; }},
        {"logrotate.max_size = 0\n", "'max_size' key: value '0'", nullptr},
        {"enable_client = -1\n", "'enable_client' key: value '-1'", nullptr},
        {"syslog.enable = on\nlog.append = 0\n", nullptr,
         [](ntp_state *s) { s->syslog_enable = true; s->log_append = false; }},
        {"log.filename = \"/var/log/my log\"\nbind_if = eth0 x\n", nullptr,
         [](ntp_state *s) { s->log_filename = strdup("/var/log/my log"); s->bind_if = strdup("eth0"); }},
        {"server_select = random\n", nullptr, [](ntp_state *s) { s->server_select = 1; }},
        {"server_select = random\nserver_select = Random\n", nullptr, nullptr},
        {"log.Enable = yes\nenable = yes\nlogs.enable = yes\n", nullptr, nullptr},
        {"log.enable = maybe\nlog.enable = yes\n", nullptr, [](ntp_state *s) { s->log_enable = true; }},
        {"log = 1\nlog.enable = yes\n", nullptr, nullptr},  // a key, so no section
        {"timeserver = 192.0.2.1\ntimeserver.a = 192.0.2.2\n", nullptr, nullptr},
    };
    temp_dir dir;
    for (auto [config, msg, change] : rows) {
        SCOPED_TRACE(config);
        load_result want = load_conf(dir.write("q.conf", ""));
        if (change != nullptr)
            change(want.st.get());
        load_result got = load_conf(dir.write("q.conf", config));
        EXPECT_EQ(got.res, msg == nullptr ? 0 : -1);
        EXPECT_EQ(got.err, msg == nullptr ? "" : "Failed to parse "s + msg + " was invalid\n"
                                                 "Failed to process the configuration.\n");
        EXPECT_EQ(state_image(got.st.get()), state_image(want.st.get()));
    }
}

// The .d files come after the main file in byte order of their names; a key
// defined again replaces the earlier one, a time server moving to the end.
TEST(ConfTest, DropInsOverrideKeyByKey)
{
    const std::string main = "send_timeout = 200\nlog.enable = yes\n"
                             "timeserver.main = 192.0.2.1\ntimeserver.b = 192.0.2.2\n";
    const std::string merged = "send_timeout = 300\nrecv_timeout = 500\nlog.enable = no\n"
                               "timeserver.b = 192.0.2.2\ntimeserver.main = 192.0.2.3\n";
    temp_dir dir;
    for (int use : {1, 0, -1}) {  // with .d; with .d not used; without .d
        SCOPED_TRACE(use);
        remove_tree(dir / "m.d");
        if (use >= 0) {
            mkdir((dir / "m.d").c_str(), 0755);
            dir.write("m.d/10-a.conf", "send_timeout = 300\nrecv_timeout = 400\nlog.enable = maybe\n");
            dir.write("m.d/2-b.conf", "recv_timeout = 500\nlog.enable = no\n"
                                      "timeserver.main = 192.0.2.3\n");
            dir.write("m.d/20-c.conf.off", "poll_interval = 1\n");
        }
        load_result got = load_conf(dir.write("m.conf", main), use != 0);
        load_result want = load_conf(dir.write("flat.conf", use == 1 ? merged : main), false);
        EXPECT_EQ(got.res + want.res, 0) << got.err;
        EXPECT_EQ(state_image(got.st.get()), state_image(want.st.get()));
    }
}

TEST(ConfTest, LoadFailures)
{
    temp_dir dir;
    mkdir((dir / "dir.conf").c_str(), 0755);
    dir.write("long.conf", "# ok\n" + std::string(1022, 'x') + "\n");
    dir.write("tail.conf", "poll_interval = 20\nsend_timeout = 300");
    for (const char *d : {"dang", "drop"}) {
        dir.write(d + std::string(".conf"), "");
        mkdir((dir / d + ".d").c_str(), 0755);
    }
    ASSERT_EQ(symlink("gone", (dir / "dang.d/x.conf").c_str()), 0);
    dir.write("drop.d/a.conf", "send_timeout = 300");
    const std::pair<std::string, std::string> rows[] = {
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
    for (const auto &[path, err] : rows) {
        SCOPED_TRACE(path);
        load_result r = load_conf(at_dir(dir, path));
        EXPECT_EQ(std::make_pair(r.res, r.err), std::make_pair(-1, at_dir(dir, err)));
    }
}

// Each allocation of the loader fails in turn (that one only): every load
// fails with one of these reports, and frees what it took (ASan checks).
TEST(ConfTest, EveryAllocationFailureFailsTheLoad)
{
    temp_dir dir;
    std::string path = dir.write("m.conf", "log.filename = /l\nbind_if = lo\n"
                                           "timeserver.a = 192.0.2.1\n");
    mkdir((dir / "m.d").c_str(), 0755);
    dir.write("m.d/1.conf", "rtcdev = rtc1\n");
    const std::string nomem = ": Cannot allocate memory\n";
    const std::string done = "Failed to process the configuration.\n";
    const std::string copy = "Could not allocate memory for string copy" + nomem + "Failed to parse '";
    const std::string listing = "An error occured during listing the directory '@/m.d'\n";
    std::set<std::string> want, seen;
    for (const std::string &w : {
             "Parse error in config '@/m.conf': 3\n"s, "Parse error in config '@/m.d/1.conf': 3\n"s,
             "Could not allocate memory for \".d\" name" + nomem,
             "Could not initialize directory name array\n" + listing,
             "Could not allocate file name" + nomem + listing,
             copy + "filename' key: value '/l' was invalid\n" + done,
             copy + "bind_if' key: value 'lo' was invalid\n" + done,
             copy + "rtcdev' key: value 'rtc1' was invalid\n" + done,
             "Could not allocate memory for timeserver" + nomem + done,
             "Could not store timeserver\n" + done})
        want.insert(at_dir(dir, w));
    seam_fail_alloc(-1);
    ASSERT_EQ(load_conf(path).res, 0);
    const long calls = seam_fail_alloc(-1);
    for (long n = 0; n < calls; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        seam_fail_alloc(n);
        load_result r = load_conf(path);
        seam_fail_alloc(-1);
        EXPECT_EQ(r.res, -1);
        seen.insert(r.err);
    }
    EXPECT_EQ(seen, want);
}

// One server per row: "host:port address:port lookups" (address "-" while none
// was stored), then "resolved" and the state's "unresolved" as they apply; or
// the port text an invalid port is reported with. resolve_timeservers and its
// companions stand after the server and still apply to it.
TEST(ConfTest, TimeserverEntries)
{
    const std::string on = "\nresolve_timeservers = yes", ign = "\nignore_unresolved_timeservers = 1";
    const std::string lazy = "\nlazy_resolve_ignored_timeservers = 1";
    const std::pair<std::string, std::string> rows[] = {
        {"192.0.2.1", "192.0.2.1:123 -:123 0"},
        {"192.0.2.1:0x7b", "192.0.2.1:123 -:123 0"},
        {"ntp.test:65535", "ntp.test:65535 -:65535 0"},
        {"ntp.test:010", "ntp.test:8 -:8 0"},
        {"ntp.test:", "bad ''"},
        {"[2001:db8::1]:123", "bad 'db8::1]:123'"},
        {"ntp.test:0", "bad '0'"},
        {"ntp.test:65536", "bad '65536'"},
        {"ntp.test:12a", "bad '12a'"},
        {"192.0.2.1:1123" + on, "192.0.2.1:1123 192.0.2.1:1123 0 resolved"},
        {"ntp.test" + on, "ntp.test:123 192.0.2.7:123 1 resolved"},
        {"nx.test:99" + on, "nx.test:99 -:0 1 unresolved"},
        {"nx.test:99" + on + ign, "nx.test:99 -:0 1 unresolved"},
        {"nx.test:99" + on + lazy, "nx.test:99 -:0 1 unresolved"},
        {"nx.test:99" + on + ign + lazy, "nx.test:99 -:99 1 unresolved"},
        {"255.255.255.255" + on, "255.255.255.255:123 -:0 1 unresolved"},
    };
    temp_dir dir;
    for (const auto &[value, want] : rows) {
        SCOPED_TRACE(value);
        seam_hosts({{"ntp.test", "192.0.2.7"}});
        load_result r = load_conf(dir.write("q.conf", "timeserver.a = " + value + "\n"));
        if (want.starts_with("bad ")) {
            EXPECT_EQ(r.res, -1);
            EXPECT_EQ(r.err, "ERROR: value of timeserver.a is invalid: " + want.substr(4) +
                                 " is not a valid port\nFailed to process the configuration.\n");
            EXPECT_EQ(r.st->timeservers.count, 0u);
            continue;
        }
        ASSERT_EQ(r.res, 0) << r.err;
        ASSERT_EQ(r.st->timeservers.count, 1u);
        const auto *ts = static_cast<const timeserver_entry *>(r.st->timeservers.items[0]);
        EXPECT_EQ(std::strlen(ts->host), ts->host_len);
        EXPECT_EQ(std::string(ts->host) + ":" + std::to_string(ts->port) + " " +
                      (ts->addr.sin_family == AF_INET ? inet_ntoa(ts->addr.sin_addr) : "-") + ":" +
                      std::to_string(ntohs(ts->addr.sin_port)) + " " + std::to_string(seam_lookups()) +
                      (ts->resolved ? " resolved" : "") +
                      (r.st->timeservers_unresolved ? " unresolved" : ""),
                  want);
    }
}
