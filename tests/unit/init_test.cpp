// Loading and start-up: the report of the effective settings, the time-server
// entries and rules, the socket and the log file opened in its three ways.

#include "conf.h"
#include "init.h"
#include "support.h"

// Each row loads a file and starts up. Standard error (the load's if it fails)
// is compared from the first line expected on; P is the port the system chose,
// @ the test's directory. The log file holds new_log (or stays old_log).
TEST(InitTest, ReportTimeServersSocketAndLogFile)
{
    udp_peer busy;
    const std::string kernel = kernel_times() ? "" : "Kernel timestamps: not available\n";
    const std::string port = std::to_string(udp_peer().port), at = "Local address: 0.0.0.0:P\n" + kernel;
    const std::string report = "log.config = yes\nlog.stderr = yes\n";
    const std::string bad = "ERROR: value of timeserver.a is invalid: ";
    const std::string lazy = "Lazy resolve ignored timeservers: ", again = "Resolve timeserver again after: ";
    const std::string no = lazy + "no [req: no]\n" + again + "never [req: never]\n";
    const std::string servers = "log.stderr = yes\nlog.timeservers = yes\nenable_client = yes\ntimeserver.a = ";
    const std::string on = "\nresolve_timeservers = yes\n", ign = "ignore_unresolved_timeservers = yes\n";
    const std::string warn = "Warning: one or more timeservers remained unresolved.\nTimeservers:\n";
    const std::string done = "Failed to process the configuration.\n";
    const std::string one0 = "1 timeserver in total, 0 unresolved\n", one1 = "1 timeserver in total, 1 unresolved\n";
    const std::string nx = "  \"nx.invalid:123\" is unresolved\n" + one1;
    const std::string unusable = "Client mode is enabled, but no usable timeservers are specified.\n";
    const std::string logged = "log.enable = yes\nlog.filename = @/ntp.log\nlog.startup = yes\nlog.stderr = yes\n"
                               "log.timeservers = yes\nlogrotate.ignore_error = no\n";
    const std::string v = "NTP v0.2.6\nTimeservers:\n0 timeservers in total, 0 unresolved\n", off = "log.append = no\n";
    const std::string set = "Server enabled: yes\nServer answers version 4: yes\nServer requires synchronization: "
        "yes\nSyslog enabled: no (fully supported with openlog)\nBind port: " + port + "\nBind address: 127.0.0.1\n"
        "Bind interface: \"lo\"\nRTC device name: \"rtc7\"\nServed networks: 192.168.1.0/24, 10.0.0.1/32\nIgnored networks: "
        "192.168.1.128/25\nRate limit per source: 16 requests/s, burst 8, kiss-o'-death: no\nExit: after update: yes; when timeout: "
        "yes\nRotate size: 10000 KiB\nNumber of rotate backups: 1000\nIgnore logrotate errors: no\n"
        "Rotate existing: no\n"
        "Number of update tries: 1000\nSamples per update: 64\nSample interval: 60.000 sec\nFirst update delay: 1000 sec\n"
        "Poll interval: 10 sec\nUpdate dryrun: yes\n"
        "Send timeout: 0.100 sec\nRecv timeout: 12.345 sec\nResolve retry timeout: 25.000 sec\nTimeserver select: "
        "random\nResolve timeservers on startup: yes\n" + lazy + "yes [req: yes]\n" + again + "1 schedule [req: 1 "
        "schedule]\n" + warn + "  \"good.test:1123\" -> 127.0.0.1:1123\n" + nx.substr(0, 33) +
        "2 timeservers in total, "
        "1 unresolved\nLocal address: 127.0.0.1:" + port + "\n" + kernel;
    const struct {
        std::string config;
        int res;
        std::string err, old_log = "", new_log = "", log0 = "";
    } rows[] = {
        {report, 0, "Started at T\nClient enabled: no\nServer enabled: no\n"
         "Syslog enabled: no (fully supported with openlog)\nBind port: 123\nBind interface: (not set)\n"
         "RTC device name: (not set)\nExit: after update: no; when timeout: no\nRotate size: 50 KiB\n"
         "Number of rotate backups: 1\nIgnore logrotate errors: yes\nRotate existing: yes\n"
         "Number of update tries: 3\nFirst update delay: 0 sec\nPoll interval: 600 sec\nUpdate dryrun: no\n"
         "Send timeout: 2.500 sec\nRecv timeout: 5.000 sec\nResolve retry timeout: 1.500 sec\n"
         "Timeserver select: rotate\nResolve timeservers on startup: no\n" + no + at},
        {report + "enable_client = on\nenable_server = true\nignore_unresolved_timeservers = enabled\n"
         "update_dryrun = yes\nexit_after_update = yes\nexit_when_timeout = yes\nresolve_timeservers = yes\n"
         "bind_address = 127.0.0.1\nserver_allow.lan = 192.168.1.77/24\nserver_allow.one = 10.0.0.1\n"
         "server_deny.g = 192.168.1.128/25\nratelimit.rate = 16\nratelimit.kod = no\n"
         "lazy_resolve_ignored_timeservers = yes\nsend_timeout = 100\nrecv_timeout = 12345\n"
         "first_update_delay = 1000\npoll_interval = 10\nresolve_retry_timeout = 25000\nnum_update_tries = 1000\n"
         "num_update_samples = 64\nupdate_sample_interval = 60000\nresolve_timeserver_again_after = 1\n"
         "server_answer_v4 = yes\nserver_require_sync = 1\nbind_if = lo\nrtcdev = rtc7\nserver_select = random\n"
         "bind_port = " + port + "\ntimeserver.a = good.test:1123\ntimeserver.b = nx.invalid\nlog.timeservers = yes\n"
         "logrotate.ignore_error = no\nlogrotate.rotate_existing = no\nlogrotate.max_size = 10000\n"
         "logrotate.num_backups = 1000\n", 0, set},
        {report + "lazy_resolve_ignored_timeservers = yes\nresolve_timeserver_again_after = 2\n", 0,
         lazy + "no [req: yes]\n" + again + "never [req: 2 schedules]\n" + at},
        {report + "enable_server = yes\nbind_port = " + std::to_string(busy.port) + "\n", -1,
         no + "bind() failed: Address already in use\n"},
        {report + "bind_if = nosuchif0\n", -1, no + "setsockopt(SO_BINDTODEVICE) failed: No such device\n"},
        {servers + "192.0.2.1", 0, "Timeservers:\n  \"192.0.2.1:123\" is unresolved\n" + one1},
        {servers + "good.test:0x7b" + on, 0, "Timeservers:\n  \"good.test:123\" -> 127.0.0.1:123\n" + one0},
        {servers + "nx.invalid", 0, "Timeservers:\n" + nx},
        {servers + "nx.invalid" + on + ign, -1, warn + nx + unusable},
        {servers + "nx.invalid" + on + ign + "lazy_resolve_ignored_timeservers = yes\n", 0, warn + nx},
        {"log.stderr = yes\nlog.timeservers = yes\nenable_client = yes\n", -1,
         "Timeservers:\n0 timeservers in total, 0 unresolved\n" + unusable},
        {servers + "good.test:65536", -1, bad + "'65536' is not a valid port\n" + done},
        {servers + "[2001:db8::1]:1123" + on, 0, "Timeservers:\n  \"[2001:db8::1]:1123\" -> [2001:db8::1]:1123\n" + one0},
        {servers + "2001:db8::1" + on, 0, "Timeservers:\n  \"[2001:db8::1]:123\" -> [2001:db8::1]:123\n" + one0},
        {servers + "[2001:db8::1", -1, bad + "'[2001:db8::1' is not a valid address\n" + done},
        {servers + "[::1]:0", -1, bad + "'0' is not a valid port\n" + done},
        {report + "server_deny.x = 10.0.0.0/33\n", -1, "ERROR: value of server_deny.x is invalid: '10.0.0.0/33' is "
         "not a network\n" + done},
        {report + "timeserver_family = any\n", 0, "Timeserver address family: any\n" + no + at},
        {report + "user = nosuch-quorix\n", -1, no + at + "Unknown user 'nosuch-quorix'\n"},
        {report + "bind_address = ::1\n", -1, "Failed to parse 'bind_address' key: value '::1' was invalid\n" + done},
        {logged, 0, v, "old\n", "old\n" + v},
        // A log of max_size KiB rotates before the next line, one byte less after it.
        {logged + "logrotate.max_size = 1\n", 0, v, std::string(1024, 'x'), v, std::string(1024, 'x')},
        {logged + "logrotate.max_size = 1\n", 0, v, std::string(1023, 'x'), v.substr(11),
         std::string(1023, 'x') + "NTP v0.2.6\n"},
        {logged + off, 0, v, "old\n", v, "old\n"},
        {logged + off + "logrotate.rotate_existing = no\nsyslog.enable = yes\nsyslog.startup = yes\n", 0, v, "old\n", v},
        // Two backups: the live file becomes .0, and .0 (after '|') becomes .1.
        {logged + off + "logrotate.num_backups = 2\n", 0, v, "old\n|older\n", v, "old\n"},
        {logged + "log.filename = @/none/ntp.log\n", -1,
         "ERROR: Could not open log file '@/none/ntp.log': No such file or directory\n"},
        {logged + "log.filename = @/none/ntp.log\nlog.ignore_open_error = yes\n", 0,
         "ERROR: Could not open log file '@/none/ntp.log': No such file or directory\n" + v},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.config);
        temp_dir dir;
        auto clean = [&dir](std::string s) {
            if (std::size_t p = s.find("Started at "); p != std::string::npos)
                s.erase(p + 11, 27).insert(p + 11, 1, 'T');
            return replace_all(s, dir.path, "@");
        };
        std::string live = r.old_log.substr(0, r.old_log.find('|')), older = r.old_log.substr(live.size());
        if (!live.empty())
            dir.write("ntp.log", live);
        if (!older.empty())
            dir.write("ntp.log.0", older.substr(1));
        loaded l = load_conf(dir, r.config + "\n");
        int res = l.res;
        std::string err = clean(l.res != 0 ? l.err : stderr_of([&] { res = init(l.st.get()); }));
        if (l.st->sock > 2)
            close(l.st->sock);
        std::string bound = err.substr(std::min(err.find("0.0.0.0:") + 8, err.size()));
        bound = bound.substr(0, bound.find('\n'));
        EXPECT_EQ(res, r.res);
        EXPECT_EQ(syslog_since(), r.config.find("syslog.enable") != r.config.npos ? "6:NTP v0.2.6\n" : "");
        EXPECT_NE(bound, "0");
        EXPECT_EQ(err.substr(std::min(err.find(r.err.substr(0, r.err.find('\n'))), err.size())),
                  replace_all(r.err, "0.0.0.0:P", "0.0.0.0:" + bound));
        EXPECT_EQ(clean(read_file(dir / "ntp.log")), r.new_log.empty() ? r.old_log : r.new_log);
        EXPECT_EQ(read_file(dir / "ntp.log.0"), r.log0);
        EXPECT_EQ(read_file(dir / "ntp.log.1"), older.empty() ? "" : older.substr(1));
    }
}
