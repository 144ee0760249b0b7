// Start-up of the real daemon: its report, the system log, the log file and
// its rotation, the time-server rules and the socket.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <deque>
#include <iomanip>
#include <map>
#include <sstream>

#include "harness.h"

namespace {

using lines = std::vector<std::string>;

const std::string REPORT = "log.config = yes\nlog.stderr = yes\n";
const std::string DEFAULT_REPORT = "Started at T\nClient enabled: no\nServer enabled: no\n"
    "Syslog enabled: no (fully supported with openlog)\nBind port: 123\n"
    "Bind interface: (not set)\nRTC device name: (not set)\n"
    "Exit: after update: no; when timeout: no\nRotate size: 50 KiB\n"
    "Number of rotate backups: 1\nIgnore logrotate errors: yes\nRotate existing: yes\n"
    "Number of update tries: 3\nFirst update delay: 0 sec\nPoll interval: 600 sec\n"
    "Update dryrun: no\nSend timeout: 2.500 sec\nRecv timeout: 5.000 sec\n"
    "Resolve retry timeout: 1.500 sec\nTimeserver select: rotate\n"
    "Resolve timeservers on startup: no\nLazy resolve ignored timeservers: no [req: no]\n"
    "Resolve timeserver again after: never [req: never]\n";

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

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

std::string local_port(const std::string &err)
{
    const std::string key = "Local address: 0.0.0.0:";
    std::size_t at = err.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return err.substr(at, err.find('\n', at) - at);
}

// Start the daemon; return once its standard error shows text or it has ended.
child_process start_until(const temp_dir &dir, const std::string &config, const std::string &text)
{
    child_process c = start_daemon(dir, config, {"QUORIX_FAKE_OFFSET=86400000", "TZ=QRX-5:45",
                                                 "QUORIX_FAKE_HOSTS=good.test=127.0.0.1"});
    for (int i = 0; i < 2000 && read_file(c.err_path).find(text) == std::string::npos; i++) {
        if (wait_program(&c, 0.005))
            break;
    }
    return c;
}

struct startup {
    int status;       // exit status, or -1: still running, then stopped
    std::string err;  // standard error, start time masked
    lines sys;        // system-log calls, the pid written as PID, the facility left out
};

// Stop the daemon if it still runs; the test's directory reads as @ in what it reported.
startup finish(const temp_dir &dir, child_process *c)
{
    startup r{c->pid < 0 ? c->status : -1, "", {}};
    stop_program(c);
    r.err = replace_all(mask_start(read_file(c->err_path)), dir.path(), "@");
    std::istringstream in(replace_all(read_file(dir / "fake.log"), dir.path(), "@"));
    for (std::string line; std::getline(in, line);) {
        std::size_t pid = line.find('['), end = line.find("]: ");
        if (line.starts_with("syslog ") && pid < end && end != std::string::npos)
            r.sys.push_back(line.replace(pid + 1, end - pid - 1, "PID"));
        if (line.starts_with("openlog "))
            r.sys.push_back(line.substr(0, line.rfind(' ')));
    }
    return r;
}

startup run_until(const temp_dir &dir, const std::string &config, const std::string &text)
{
    child_process c = start_until(dir, config, text);
    return finish(dir, &c);
}

} // namespace

TEST(FakeClockTest, LoadsIntoTheDaemon)
{
    ASSERT_TRUE(fake_clock_works());
}

TEST(StartupReportTest, DefaultsOnAPortOfTheSystemsChoice)
{
    temp_dir dir;
    child_process c = start_until(dir, REPORT + "log.ignored_req = yes\n", "Local address");
    std::string port = local_port(read_file(c.err_path));
    ASSERT_NE(port, "");
    // The port shown is the bound one: a request sent there gets the client-only notice.
    udp_peer peer;
    std::uint8_t req[48] = {0x1B};
    peer.send_to_port(req, sizeof(req), static_cast<std::uint16_t>(std::stoi(port)));
    std::string notice = "Ignoring update request from 127.0.0.1:" + std::to_string(peer.port()) +
                         ", server mode is not enabled\n";
    wait_for_text(c.err_path, notice, 10);
    startup r = finish(dir, &c);
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(port, "0");
    EXPECT_EQ(r.err, DEFAULT_REPORT + "Local address: 0.0.0.0:" + port + "\n" + notice);
}

TEST(StartupReportTest, EverySettingChanged)
{
    temp_dir dir;
    std::string port = std::to_string(free_udp_port());
    startup r = run_until(dir, REPORT + "enable_client = yes\nenable_server = yes\n"
        "ignore_unresolved_timeservers = yes\nupdate_dryrun = yes\nexit_after_update = yes\n"
        "exit_when_timeout = yes\nresolve_timeservers = yes\n"
        "lazy_resolve_ignored_timeservers = yes\nsend_timeout = 100\nrecv_timeout = 12345\n"
        "first_update_delay = 1000\npoll_interval = 10\nresolve_retry_timeout = 25000\n"
        "num_update_tries = 1000\nresolve_timeserver_again_after = 1\nbind_if = lo\n"
        "rtcdev = rtc7\nserver_select = random\nbind_port = " + port + "\n"
        "timeserver.a = good.test:1123\ntimeserver.b = unknown.test\nlog.enable = yes\n"
        "log.filename = " + dir / "ntp.log" +
        "\nlog.append = no\nlog.startup = yes\nlog.timeservers = yes\n"
        "logrotate.rotate_existing = no\nlogrotate.ignore_error = no\n"
        "logrotate.max_size = 10000\nlogrotate.num_backups = 1000\nsyslog.enable = yes\n"
        "syslog.startup = yes\n", "Local address");
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.err, "NTP v0.2.6\nStarted at T\nClient enabled: yes\nServer enabled: yes\n"
        "Syslog enabled: yes (fully supported with openlog)\nBind port: " + port + "\n"
        "Bind interface: \"lo\"\nRTC device name: \"rtc7\"\n"
        "Exit: after update: yes; when timeout: yes\nRotate size: 10000 KiB\n"
        "Number of rotate backups: 1000\nIgnore logrotate errors: no\nRotate existing: no\n"
        "Number of update tries: 1000\nFirst update delay: 1000 sec\nPoll interval: 10 sec\n"
        "Update dryrun: yes\nSend timeout: 0.100 sec\nRecv timeout: 12.345 sec\n"
        "Resolve retry timeout: 25.000 sec\nTimeserver select: random\n"
        "Resolve timeservers on startup: yes\nLazy resolve ignored timeservers: yes [req: yes]\n"
        "Resolve timeserver again after: 1 schedule [req: 1 schedule]\n"
        "Warning: one or more timeservers remained unresolved.\nTimeservers:\n"
        "  \"good.test:1123\" -> 127.0.0.1:1123\n  \"unknown.test:123\" is unresolved\n"
        "2 timeservers in total, 1 unresolved\n"
        "Local address: 0.0.0.0:" + port + "\n");
    EXPECT_EQ(mask_start(read_file(dir / "ntp.log")), r.err);
    EXPECT_EQ(r.sys, (lines{"openlog ntp-quorix 1", "syslog 6 ntp-quorix[PID]: NTP v0.2.6",
                            "syslog 6 ntp-quorix[PID]: Warning: one or more timeservers remained "
                            "unresolved."}));
}

// Standard error from the lazy-resolution line on; P stands for the bound port.
TEST(StartupTest, ResolutionTimeserverAndSocketRules)
{
    udp_peer busy;
    const std::string port = std::to_string(free_udp_port());
    const std::string srv = "enable_server = yes\nbind_port = ";
    const std::string client =
        "enable_client = yes\nlog.timeservers = yes\nfirst_update_delay = 1000\n";
    const std::string ignore =
        client + "resolve_timeservers = yes\nignore_unresolved_timeservers = yes\n";
    const std::string lazy = "Lazy resolve ignored timeservers: ";
    const std::string again = "Resolve timeserver again after: ";
    const std::string no = lazy + "no [req: no]\n" + again + "never [req: never]\n";
    const std::string warn =
        "Warning: one or more timeservers remained unresolved.\nTimeservers:\n";
    const std::string unknown = "  \"unknown.test:123\" is unresolved\n";
    const std::string one = unknown + "1 timeserver in total, 1 unresolved\n";
    const std::string at = "Local address: 0.0.0.0:P\n", fail = "Failed to init the NTP state\n";
    const std::string unusable =
        "Client mode is enabled, but no usable timeservers are specified.\n" + fail;
    struct row { std::string config; int status; std::string want; } rows[] = {
        {"lazy_resolve_ignored_timeservers = yes\nresolve_timeserver_again_after = 2\n", -1,
         lazy + "no [req: yes]\n" + again + "never [req: 2 schedules]\n" + at},
        {"resolve_timeservers = yes\nlazy_resolve_ignored_timeservers = yes\n", -1,
         lazy + "no [req: yes]\n" + again + "never [req: never]\n" + at},
        {"resolve_timeservers = yes\nignore_unresolved_timeservers = yes\n"
         "lazy_resolve_ignored_timeservers = yes\nresolve_timeserver_again_after = 2\n", -1,
         lazy + "yes [req: yes]\n" + again + "2 schedules [req: 2 schedules]\n" + at},
        {srv + port + "\n", -1, no + "Local address: 0.0.0.0:" + port + "\n"},
        {srv + std::to_string(busy.port()) + "\n", 1,
         no + "bind() failed: Address already in use\n" + fail},
        {"bind_if = nosuchif0\n", 1,
         no + "setsockopt(SO_BINDTODEVICE) failed: No such device\n" + fail},
        {client, 1, no + "Timeservers:\n0 timeservers in total, 0 unresolved\n" + unusable},
        {client + "timeserver.a = unknown.test\n", -1, no + "Timeservers:\n" + one + at},
        {client + "resolve_timeservers = yes\ntimeserver.a = unknown.test\n", 1,
         no + "One or more timeservers remained unresolved.\n" + fail},
        {ignore + "lazy_resolve_ignored_timeservers = yes\ntimeserver.a = unknown.test\n", -1,
         lazy + "yes [req: yes]\n" + again + "never [req: never]\n" + warn + one + at},
        {ignore + "timeserver.a = unknown.test\n", 1, no + warn + one + unusable},
        {ignore + "timeserver.a = good.test:1123\ntimeserver.b = unknown.test\n", -1,
         no + warn + "  \"good.test:1123\" -> 127.0.0.1:1123\n" + unknown +
             "2 timeservers in total, 1 unresolved\n" + at},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.config);
        temp_dir dir;
        startup s = run_until(dir, REPORT + r.config, "Local address");
        EXPECT_EQ(s.status, r.status);
        EXPECT_NE(local_port(s.err), "0");
        EXPECT_EQ(s.err.substr(std::min(s.err.find(lazy), s.err.size())),
                  replace_all(r.want, "0.0.0.0:P", "0.0.0.0:" + local_port(s.err)));
    }
}

// The version line and an empty server list go to standard error (and to the
// log file); @ stands for the test's directory.
TEST(StartupLogFileTest, OpenRotateAndFailAtStart)
{
    using files = std::map<std::string, std::string>;  // "<dir>": a directory holding a file
    const std::string v = "NTP v0.2.6\nTimeservers:\n0 timeservers in total, 0 unresolved\n";
    const std::string no_file =
        "Could not open log file '@/none/ntp.log': No such file or directory";
    const std::string elsewhere = "log.filename = @/none/ntp.log\n", off = "log.append = no\n";
    const std::string fail = "Failed to init the NTP state";
    const std::string warn = "syslog 4 ntp-quorix[PID]: " + no_file;
    const std::string renamed = "syslog 3 ntp-quorix[PID]: Could not rename '@/ntp.log' to "
                                "'@/ntp.log.0': Is a directory";
    const files old = {{"ntp.log", "old\n"}, {"ntp.log.0", "older\n"}};
    const files blocked = {{"ntp.log", "old\n"}, {"ntp.log.0", "<dir>"}};
    struct row {
        std::string config;
        files before;
        int status;
        std::string err;
        files after;
        lines sys;
    } rows[] = {
        {"", old, -1, v, {{"ntp.log", "old\n" + v}, {"ntp.log.0", "older\n"}}, {}},
        {off, old, -1, v, {{"ntp.log", v}, {"ntp.log.0", "old\n"}}, {}},
        {off + "logrotate.rotate_existing = no\n", old, -1, v,
         {{"ntp.log", v}, {"ntp.log.0", "older\n"}}, {}},
        // No log yet is nothing to keep, even where rotation errors are fatal.
        {off + "logrotate.num_backups = 2\nlogrotate.ignore_error = no\n", {}, -1, v,
         {{"ntp.log", v}}, {}},
        {off + "logrotate.ignore_error = no\n", blocked, 1, "", blocked, {renamed}},
        {elsewhere + "syslog.log_open_error = yes\n", {}, 1,
         "ERROR: " + no_file + "\n" + fail + "\n", {}, {warn, "syslog 3 ntp-quorix[PID]: " + fail}},
        {elsewhere, {}, 1, "ERROR: " + no_file + "\n" + fail + "\n", {},
         {"syslog 3 ntp-quorix[PID]: " + fail}},
        {elsewhere + "syslog.log_open_error = yes\nlog.ignore_open_error = yes\n", {}, -1,
         "ERROR: " + no_file + "\n" + v, {}, {warn}},
        // Every write fails with ENOSPC; the daemon carries on.
        {"log.filename = /dev/full\n", {}, -1, v, {}, {}},
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
        startup s = run_until(dir, replace_all("log.enable = yes\nlog.filename = @/ntp.log\n"
            "log.startup = yes\nlog.stderr = yes\nlog.timeservers = yes\nsyslog.enable = yes\n" +
            r.config, "@", dir.path()), "in total");
        EXPECT_EQ(s.status, r.status);
        EXPECT_EQ(s.err, r.err);
        files after;
        for (const char *name : {"ntp.log", "ntp.log.0", "ntp.log.1"}) {
            if (file_exists(dir / name))
                after[name] = file_exists(dir / name + "/keep") ? "<dir>" : read_file(dir / name);
        }
        EXPECT_EQ(after, r.after);
        lines sys{"openlog ntp-quorix 1"};
        sys.insert(sys.end(), r.sys.begin(), r.sys.end());
        EXPECT_EQ(s.sys, sys);
    }
}

// Each request comes from a port of its own among the last 100 and is answered
// before the next is sent, so the lines kept in 1 KiB files and 3 backups must
// be the newest requests, in order, with none missing.
TEST(StartupLogFileTest, RotationKeepsAnOrderedTailOfTheRequests)
{
    constexpr int N = 2000;
    temp_dir dir;
    std::uint16_t port = free_udp_port();
    const std::string log = dir / "ntp.log";
    child_process c = start_until(dir, REPORT + "enable_server = yes\nbind_port = " +
        std::to_string(port) + "\nlog.enable = yes\nlog.filename = " + log +
        "\nlog.incoming_update_req = yes\nlogrotate.max_size = 1\nlogrotate.num_backups = 3\n"
        "logrotate.ignore_error = no\n", "Local address");
    std::deque<udp_peer> peers;
    std::map<int, int> request_of;  // source port -> latest request from it
    std::uint8_t req[48] = {0x1B};  // VN 3, mode 3
    std::vector<std::uint8_t> reply;
    auto ask = [&](int i) {
        if (peers.size() == 100)
            peers.pop_front();
        udp_peer &peer = peers.emplace_back();
        request_of[peer.port()] = i;
        peer.send_to_port(req, sizeof(req), port);
        return peer.recv(&reply, nullptr, 5000) == 48;
    };
    int sent = 0;
    while (sent < N && ask(sent))
        sent++;
    stop_program(&c);
    ASSERT_EQ(sent, N);
    EXPECT_EQ(c.status, 128 + SIGTERM);
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
}
