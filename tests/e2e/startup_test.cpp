// Start-up of the real daemon: its report, the time-server rules, the socket,
// the system log, the log file and its rotation.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iomanip>
#include <map>
#include <random>
#include <sstream>

#include "harness.h"

namespace {

using lines = std::vector<std::string>;
using files = std::map<std::string, std::string>;  // "<dir>": a directory holding a file
using StartupTest = daemon_test;

// "Started at <time>" becomes "Started at T" once the time is checked: the
// daemon runs 1000 days ahead of the real clock and prints UTC in any zone.
std::string mask_start(const std::string &text)
{
    std::size_t at = text.find("Started at "), end = text.find(" UTC\n", at);
    if (at == std::string::npos || end != at + 34)
        return text;
    std::tm tm{};
    std::istringstream(text.substr(at + 11, 19)) >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    EXPECT_LT(std::fabs(static_cast<double>(timegm(&tm)) - real_now() - 86400000), 30)
        << text.substr(at, 38);
    return text.substr(0, at) + "Started at T" + text.substr(end + 4);
}

const std::string REPORT = "log.config = yes\nlog.stderr = yes\n";
const std::string LOGGED = "log.enable = yes\nlog.filename = @/ntp.log\nlog.startup = yes\n"
                           "log.stderr = yes\nlog.timeservers = yes\nsyslog.enable = yes\n";
const std::string OPENED = "openlog ntp-quorix 1 24";  // LOG_PID, LOG_DAEMON

} // namespace

// Each row runs the daemon until it ends or has printed the start of the last
// line expected. Standard error is compared from the first line expected on;
// 0.0.0.0:P stands for the port the system chose, @ for the test's directory.
TEST_F(StartupTest, ReportRulesSocketAndLogFiles)
{
    udp_peer busy;
    const std::string port = std::to_string(free_udp_port()), fail = "Failed to init the NTP state";
    const std::string at = "Local address: 0.0.0.0:P\n";
    const std::string client = "enable_client = yes\nlog.timeservers = yes\nfirst_update_delay = 1000\n";
    const std::string ignore = client + "resolve_timeservers = yes\nignore_unresolved_timeservers = yes\n";
    const std::string lazy = "Lazy resolve ignored timeservers: ";
    const std::string again = "Resolve timeserver again after: ";
    const std::string no = lazy + "no [req: no]\n" + again + "never [req: never]\n";
    const std::string warn = "Warning: one or more timeservers remained unresolved.\nTimeservers:\n";
    const std::string one = "  \"nowhere.invalid:123\" is unresolved\n1 timeserver in total, 1 unresolved\n";
    const std::string unusable = "Client mode is enabled, but no usable timeservers are specified.\n" +
                                 fail + "\n";
    const std::string every = "NTP v0.2.6\nStarted at T\nClient enabled: yes\nServer enabled: yes\n"
        "Syslog enabled: yes (fully supported with openlog)\nBind port: " + port + "\n"
        "Bind interface: \"lo\"\nRTC device name: \"rtc7\"\n"
        "Exit: after update: yes; when timeout: yes\nRotate size: 10000 KiB\n"
        "Number of rotate backups: 1000\nIgnore logrotate errors: no\nRotate existing: no\n"
        "Number of update tries: 1000\nFirst update delay: 1000 sec\nPoll interval: 10 sec\n"
        "Update dryrun: yes\nSend timeout: 0.100 sec\nRecv timeout: 12.345 sec\n"
        "Resolve retry timeout: 25.000 sec\nTimeserver select: random\n"
        "Resolve timeservers on startup: yes\nLazy resolve ignored timeservers: yes [req: yes]\n"
        "Resolve timeserver again after: 1 schedule [req: 1 schedule]\n" + warn +
        "  \"good.test:1123\" -> 127.0.0.1:1123\n  \"nowhere.invalid:123\" is unresolved\n"
        "2 timeservers in total, 1 unresolved\nLocal address: 0.0.0.0:" + port + "\n";
    const std::string v = "NTP v0.2.6\nTimeservers:\n0 timeservers in total, 0 unresolved\n";
    const std::string no_file = "Could not open log file '@/none/ntp.log': No such file or directory";
    const std::string elsewhere = LOGGED + "log.filename = @/none/ntp.log\n";
    const std::string off = LOGGED + "log.append = no\n";
    const files old = {{"ntp.log", "old\n"}, {"ntp.log.0", "older\n"}};
    const files blocked = {{"ntp.log", "old\n"}, {"ntp.log.0", "<dir>"}};
    struct row {
        std::string config;
        files before;
        int status;  // -1: still running, then stopped
        std::string err;
        files after;
        lines sys;  // system-log calls, the pid written as PID, the facility left out
    } rows[] = {
        {REPORT, {}, -1, "Started at T\nClient enabled: no\nServer enabled: no\n"
         "Syslog enabled: no (fully supported with openlog)\nBind port: 123\n"
         "Bind interface: (not set)\nRTC device name: (not set)\n"
         "Exit: after update: no; when timeout: no\nRotate size: 50 KiB\n"
         "Number of rotate backups: 1\nIgnore logrotate errors: yes\nRotate existing: yes\n"
         "Number of update tries: 3\nFirst update delay: 0 sec\nPoll interval: 600 sec\n"
         "Update dryrun: no\nSend timeout: 2.500 sec\nRecv timeout: 5.000 sec\n"
         "Resolve retry timeout: 1.500 sec\nTimeserver select: rotate\n"
         "Resolve timeservers on startup: no\n" + no + at, {}, {}},
        {REPORT + "enable_client = yes\nenable_server = yes\n"
         "ignore_unresolved_timeservers = yes\nupdate_dryrun = yes\nexit_after_update = yes\n"
         "exit_when_timeout = yes\nresolve_timeservers = yes\n"
         "lazy_resolve_ignored_timeservers = yes\nsend_timeout = 100\nrecv_timeout = 12345\n"
         "first_update_delay = 1000\npoll_interval = 10\nresolve_retry_timeout = 25000\n"
         "num_update_tries = 1000\nresolve_timeserver_again_after = 1\nbind_if = lo\n"
         "rtcdev = rtc7\nserver_select = random\nbind_port = " + port + "\n"
         "timeserver.a = good.test:1123\ntimeserver.b = nowhere.invalid\nlog.enable = yes\n"
         "log.filename = @/ntp.log\nlog.append = no\nlog.startup = yes\nlog.timeservers = yes\n"
         "logrotate.rotate_existing = no\nlogrotate.ignore_error = no\n"
         "logrotate.max_size = 10000\nlogrotate.num_backups = 1000\nsyslog.enable = yes\n"
         "syslog.startup = yes\n", {}, -1, every, {{"ntp.log", every}},
         {OPENED, "syslog 6 ntp-quorix[PID]: NTP v0.2.6",
          "syslog 6 ntp-quorix[PID]: Warning: one or more timeservers remained unresolved."}},
        // The time-server rules and the socket.
        {REPORT + "lazy_resolve_ignored_timeservers = yes\nresolve_timeserver_again_after = 2\n",
         {}, -1, lazy + "no [req: yes]\n" + again + "never [req: 2 schedules]\n" + at, {}, {}},
        {REPORT + "resolve_timeservers = yes\nlazy_resolve_ignored_timeservers = yes\n", {}, -1,
         lazy + "no [req: yes]\n" + again + "never [req: never]\n" + at, {}, {}},
        {REPORT + "enable_server = yes\nbind_port = " + port + "\n", {}, -1,
         no + "Local address: 0.0.0.0:" + port + "\n", {}, {}},
        {REPORT + "enable_server = yes\nbind_port = " + std::to_string(busy.port()) + "\n", {}, 1,
         no + "bind() failed: Address already in use\n" + fail + "\n", {}, {}},
        {REPORT + "bind_if = nosuchif0\n", {}, 1,
         no + "setsockopt(SO_BINDTODEVICE) failed: No such device\n" + fail + "\n", {}, {}},
        {REPORT + client, {}, 1, no + "Timeservers:\n0 timeservers in total, 0 unresolved\n" + unusable,
         {}, {}},
        {REPORT + client + "timeserver.a = nowhere.invalid\n", {}, -1, no + "Timeservers:\n" + one + at,
         {}, {}},
        {REPORT + client + "resolve_timeservers = yes\ntimeserver.a = nowhere.invalid\n", {}, 1,
         no + "One or more timeservers remained unresolved.\n" + fail + "\n", {}, {}},
        {REPORT + ignore + "lazy_resolve_ignored_timeservers = yes\ntimeserver.a = nowhere.invalid\n",
         {}, -1, lazy + "yes [req: yes]\n" + again + "never [req: never]\n" + warn + one + at, {},
         {}},
        {REPORT + ignore + "timeserver.a = nowhere.invalid\n", {}, 1, no + warn + one + unusable, {}, {}},
        // The log file: appended to, rotated or truncated at start, failing to open.
        {LOGGED, old, -1, v, {{"ntp.log", "old\n" + v}, {"ntp.log.0", "older\n"}}, {OPENED}},
        {off, old, -1, v, {{"ntp.log", v}, {"ntp.log.0", "old\n"}}, {OPENED}},
        {off + "logrotate.rotate_existing = no\n", old, -1, v,
         {{"ntp.log", v}, {"ntp.log.0", "older\n"}}, {OPENED}},
        // No log yet is nothing to keep, even where rotation errors are fatal.
        {off + "logrotate.num_backups = 2\nlogrotate.ignore_error = no\n", {}, -1, v,
         {{"ntp.log", v}}, {OPENED}},
        {off + "logrotate.ignore_error = no\n", blocked, 1, "", blocked,
         {OPENED, "syslog 3 ntp-quorix[PID]: Could not rename '@/ntp.log' to '@/ntp.log.0': "
                  "Is a directory"}},
        {elsewhere + "syslog.log_open_error = yes\n", {}, 1, "ERROR: " + no_file + "\n" + fail + "\n",
         {}, {OPENED, "syslog 4 ntp-quorix[PID]: " + no_file, "syslog 3 ntp-quorix[PID]: " + fail}},
        {elsewhere + "log.ignore_open_error = yes\n", {}, -1, "ERROR: " + no_file + "\n" + v, {},
         {OPENED}},
        // Every write fails with ENOSPC; the daemon carries on.
        {LOGGED + "log.filename = /dev/full\n", {}, -1, v, {}, {OPENED}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.config + ::testing::PrintToString(r.before));
        temp_dir dir;
        for (const auto &[name, text] : r.before) {
            if (text != "<dir>")
                dir.write(name, text);
            else if (mkdir((dir / name).c_str(), 0700) == 0)
                dir.write(name + "/keep", "k");
        }
        child_process c = start_daemon(dir, replace_all(r.config, "@", dir.path()),
            {"QUORIX_FAKE_OFFSET=86400000", "TZ=QRX-5:45"});
        const std::string pid = "[" + std::to_string(c.pid) + "]: ";
        const std::string until = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1, 15);
        for (int i = 0; i < 2000 && !wait_program(&c, 0.005); i++) {
            if (r.status == -1 && read_file(c.err_path).find(until) != std::string::npos)
                break;
        }
        int status = c.pid < 0 ? c.status : -1;
        stop_program(&c);
        auto clean = [&dir](const std::string &s) { return replace_all(mask_start(s), dir.path(), "@"); };
        std::string err = clean(read_file(c.err_path)), bound;
        files after;
        for (const char *name : {"ntp.log", "ntp.log.0", "ntp.log.1"}) {
            if (file_exists(dir / name))
                after[name] = file_exists(dir / name + "/keep") ? "<dir>" : clean(read_file(dir / name));
        }
        lines sys;
        std::istringstream in(replace_all(clean(read_file(dir / "fake.log")), pid, "[PID]: "));
        for (std::string line; std::getline(in, line);) {
            if (line.starts_with("syslog ") || line.starts_with("openlog "))
                sys.push_back(line);
        }
        if (std::size_t p = err.find("Local address: 0.0.0.0:"); p != std::string::npos)
            bound = err.substr(p + 23, err.find('\n', p) - p - 23);
        EXPECT_NE(bound, "0");
        EXPECT_EQ(status, r.status);
        EXPECT_EQ(err.substr(std::min(err.find(r.err.substr(0, r.err.find('\n'))), err.size())),
                  replace_all(r.err, "0.0.0.0:P", "0.0.0.0:" + bound));
        EXPECT_EQ(after, r.after);
        EXPECT_EQ(sys, r.sys);
    }
}

// Each request comes from a port of its own among the last 100 and is answered
// before the next is sent, so the lines kept in 1 KiB files and 3 backups must
// be the newest requests, in order, with none missing. Then the log directory
// vanishes, and a flood of random datagrams of up to 100 bytes, with every
// first byte, comes between valid requests: each request is answered (matched
// by its transmit time) and logged to standard error, memory and descriptors
// stay as they were after the flood's first half second, and the rotation that
// finds the directory gone is reported once.
TEST_F(StartupTest, RotationKeepsAnOrderedTailAndOutlastsAFlood)
{
    constexpr int N = 2000;
    temp_dir dir;
    ASSERT_EQ(mkdir((dir / "logs").c_str(), 0700), 0);
    std::uint16_t port = free_udp_port();
    const std::string log = dir / "logs/ntp.log";
    child_process c = start_daemon(dir, REPORT + "enable_server = yes\nbind_port = " +
        std::to_string(port) + "\nlog.enable = yes\nlog.filename = " + log +
        "\nlog.incoming_update_req = yes\nlogrotate.max_size = 1\nlogrotate.num_backups = 3\n"
        "syslog.enable = yes\n");
    child_stopper stop{&c};
    ASSERT_EQ(reported_port(c.err_path), port);
    std::deque<udp_peer> peers;
    std::map<int, int> request_of;  // source port -> latest request from it
    const packet48 req{0x1B};       // VN 3, mode 3
    auto ask = [&](int i) {
        if (peers.size() == 100)
            peers.pop_front();
        udp_peer &peer = peers.emplace_back();
        request_of[peer.port()] = i;
        peer.send(req, port);
        return peer.recv(5000).size() == 48;
    };
    int sent = 0;
    while (sent < N && ask(sent))
        sent++;
    ASSERT_EQ(sent, N);
    EXPECT_FALSE(file_exists(log + ".3"));
    std::string all;
    for (const char *suffix : {".2", ".1", ".0", ""}) {
        std::string f = read_file(log + suffix);
        ASSERT_GT(f.size(), 1u) << suffix;
        // Below 1024 bytes before its last line; a backup had reached them.
        EXPECT_LT(f.rfind('\n', f.size() - 2) + 1, 1024u) << suffix;
        EXPECT_TRUE(*suffix == '\0' || f.size() >= 1024u) << suffix << " " << f.size();
        all += f;
    }
    std::istringstream in(all);
    std::vector<int> seen;
    const std::string from = "Synchronization request from 127.0.0.1:";
    for (std::string line; std::getline(in, line);) {
        ASSERT_TRUE(line.starts_with(from) && line.ends_with(" UTC")) << line;
        seen.push_back(request_of[std::stoi(line.substr(from.size()))]);
    }
    ASSERT_GE(seen.size(), 40u);
    for (std::size_t k = 0; k < seen.size(); k++)
        EXPECT_EQ(seen[k], N - static_cast<int>(seen.size() - k)) << k;

    remove_tree(dir / "logs");
    const std::string proc = "/proc/" + std::to_string(c.pid);
    auto usage = [&proc] {  // resident KiB, open descriptors
        std::string status = read_file(proc + "/status");
        return std::pair(std::stol(status.substr(status.find("VmRSS:") + 6)),
                         std::distance(std::filesystem::directory_iterator(proc + "/fd"), {}));
    };
    udp_peer peer;
    std::mt19937 rng(7);
    std::pair<long, long> early{}, late{};
    std::size_t asked = 0, answered = 0, requests = N;
    for (double start = real_now(); real_now() - start < 1.5; asked++) {
        for (unsigned k = 0; k < 20; k++) {
            bytes junk(rng() % 101);
            for (std::uint8_t &b : junk)
                b = static_cast<std::uint8_t>(rng());
            if (!junk.empty())
                junk[0] = static_cast<std::uint8_t>(asked * 20 + k);
            // Logged and answered as a request: VN 0 to 3, mode 3, 48 bytes or more.
            requests += junk.size() >= 48 && (junk[0] & 0x27) == 3;
            peer.send(junk, port);
        }
        packet48 stamped = req;
        std::memcpy(&stamped[40], &asked, sizeof(asked));
        peer.send(stamped, port);
        bytes rep;
        for (int n = 0; n < 30 && !(rep = peer.recv(2000)).empty(); n++) {
            if (rep.size() == 48 && std::equal(stamped.begin() + 40, stamped.end(), rep.begin() + 24)) {
                answered++;
                break;
            }
        }
        (real_now() - start < 0.5 ? early : late) = usage();
    }
    EXPECT_FALSE(wait_program(&c, 0));
    EXPECT_EQ(answered, asked);
    EXPECT_GT(asked, 50u);
    EXPECT_LT(late.first - early.first, 256) << early.first << " KiB, then " << late.first;
    EXPECT_EQ(late.second, early.second);
    EXPECT_EQ(count(read_file(c.err_path), from), asked + requests);
    EXPECT_EQ(count(read_file(dir / "fake.log"), "]: Could not open '" + log +
                    "' for write after log rotate: No such file or directory\n"), 1u);
}
