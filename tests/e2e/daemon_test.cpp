// The real daemon: its command line, and under the fake clock, the client of a
// fake NTP server on 127.0.0.1 and the server of a test client.

#include "support.h"

using DaemonTest = daemon_test;

// Options act in order: --help and --version end the parsing, the last -c and
// the last of --enable-d and --disable-d win, and --stdin wins over -c; the .d
// files are read in byte order, on the disk ('@', in /tmp) and on tmpfs ('$'),
// and a failed read of the directory is not taken for its end.
// A client without servers stops at start-up, which proves the load succeeded.
TEST_F(DaemonTest, OptionsAndTheirPrecedence)
{
    const std::string bin = QUORIX_BIN, failed = "Failed to process the configuration.\nFailed to load config file ";
    const std::string loaded = "Client mode is enabled, but no usable timeservers are specified.\n"
                               "Failed to init the NTP state\n";
    const std::string d_error = "Failed to parse 'num_update_tries' key: value '0' was invalid\n" + failed + "'@/d.conf'\n";
    temp_dir dir, shm("/dev/shm");
    for (const temp_dir *d : {&dir, &shm}) {
        mkdir((*d / "d.d").c_str(), 0755);
        d->write("d.conf", "enable_client = yes\n");
        d->write("d.d/10-a.conf", "num_update_tries = 5\n");  // before 2-b
        d->write("d.d/2-b.conf", "num_update_tries = 0\n");
        mkdir((*d / "d.d/3-dir.conf").c_str(), 0755);  // not a file: passed over
    }
    dir.write("ok.conf", "poll_interval = 60\nenable_client = yes\n");
    dir.write("long.conf", "enable_client = yes\n" + std::string(1100, '#') + "\n");
    mkdir((dir / "r").c_str(), 0755);  // a backup that cannot be replaced: the rotation at start fails
    mkdir((dir / "r/ntp.log.0").c_str(), 0755);
    dir.write("r/ntp.log.0/x", ""), dir.write("r/ntp.log", std::string(2000, 'x'));
    const std::tuple<strings, std::string, int, std::string, std::string> rows[] = {
        {{"--help"}, "", 0, "Usage: " + bin + " [OPTION]...\n", ""}, {{"--version"}, "", 0, "ntp-quorix v0.2.6\n", ""},
        {{"-c"}, "", 1, "", bin + ": '-c': missing argument\n"},
        {{"--bogus", "--help"}, "", 1, "", bin + ": '--bogus': unknown argument\n"},
        {{"-c", "@/ok.conf", "-c", "@/none.conf"}, "", 1, "", "Could not open config file '@/none.conf': No such file "
         "or directory\nFailed to load config file '@/none.conf'\n"},
        {{"-c", "@/ok.cnf"}, "", 1, "", "Supplied file does not seem to be a config file: '@/ok.cnf'\n"
         "Failed to load config file '@/ok.cnf'\n"},
        {{"-c", "@/none.conf", "--stdin"}, "enable_client = yes\n", 1, "", loaded},
        {{"--stdin", "-c", "@/none.conf"}, "poll_interval = 5\n", 1, "",
         "Failed to parse 'poll_interval' key: value '5' was invalid\n" + failed + "'@/none.conf'\n"},
        {{"--stdin"}, "poll_interval = 60", 1, "", "Config line too long in '<stdin>'\nFailed to load config file "
         "'/etc/ntp-quorix.conf'\n"},
        {{"-c", "@/long.conf"}, "", 1, "", "Config line too long in '@/long.conf'\nFailed to load config file "
         "'@/long.conf'\n"},
        {{"-c", "@/d.conf"}, "", 1, "", d_error}, {{"-c", "$/d.conf"}, "", 1, "", replace_all(d_error, "@", "$")},
        {{"--disable-d", "-c", "@/d.conf"}, "", 1, "", loaded},
        {{"--disable-d", "--enable-d", "-c", "@/d.conf"}, "", 1, "", d_error},
        {{"--stdin"}, "enable_client = yes\nlog.enable = yes\nlog.filename = @/r/ntp.log\nlogrotate.max_size = 1\n"
         "logrotate.ignore_error = no\n",
         1, "", ""},
    };
    auto paths = [&](const std::string &s) { return replace_all(replace_all(s, "@", dir.path), "$", shm.path); };
    for (const auto &[args, input, status, out, err] : rows) {
        strings with_dirs;
        for (const std::string &a : args)
            with_dirs.push_back(paths(a));
        process d(dir, with_dirs, {}, paths(input));
        EXPECT_EQ(d.error_output(), paths(err));
        EXPECT_EQ(d.status, status) << with_dirs[0];
        EXPECT_EQ(read_file(d.out).substr(0, out.size()), out);
    }
    // The shim fails every readdir.
    EXPECT_EQ(process(dir, {"-c", dir / "d.conf"}, {"QUORIX_FAKE_READDIR_FAIL=1"}).error_output(),
              paths("Could not read directory '@/d.d': Value too large for defined data type\nAn error occured "
                    "during listing the directory '@/d.d'\nFailed to load config file '@/d.conf'\n"));
}

// One run per row, the client of a server with the real clock (or, last, a day
// ahead), its own clock off under the shim (or, with no environment, the kernel's
// clock without the capability to set it). A step lands on the real time, the
// kernel told it is synchronised within half the round trip. Just before 2038 a
// 32-bit time_t cannot take a step a day ahead: it is refused.
TEST_F(DaemonTest, ClientOutcomesAndExitRules)
{
    const std::string success = "Time update was successful, exiting...\n", once = "exit_after_update = 1\n";
    const double late = 2'147'483'647 - 240 - real_now();  // 2038-01-19 03:10:07
    const bool time64 = sizeof(time_t) == 8;
    const std::tuple<std::string, const char *, double, int, std::string, std::size_t> rows[] = {
        // configuration, environment, daemon's clock, status, end of stderr, clock steps
        {once, "", -4.25, 0, " sec\n" + success, 1},
        {once + "update_dryrun = 1\nlog.update = 1\n", "", 2.5, 0, " sec\nIgnored successful NTP time update\n" +
         success, 0},
        {once + "rtcdev = /nonexistent/rtc\n", "QUORIX_FAKE_ADJTIMEX_FAIL=1", 1.5, 0, linux_variant ? " sec\nWarning: "
         "could not mark the clock as synchronised: Operation not permitted\nFailed to write the time to the real-time "
         "clock '/nonexistent/rtc': No such file or directory\n" + success : " sec\nFailed to write the time to the "
         "real-time clock '/nonexistent/rtc': Operation not supported\n" + success, 1},
        {once + "rtcdev = /dev/null\nlog.update = on\n", "", 3.5, 0, " UTC\n" + success, 1},  // the shim is the RTC
        {once, nullptr, 0, 1, " sec\nFailed to set new time: Operation not permitted\nERROR: Time update was "
         "unsuccessful, exiting...\n", 0},
        {"exit_when_timeout = 1\nnum_update_samples = 4\n", "", 0, 1,  // a burst without a sample ends as one try
         "Timeserver 127.0.0.1 did not respond\nTime update was not successful, exiting...\n", 0},
        {once, "", late, time64 ? 0 : 1, time64 ? " sec\n" + success : " sec\nFailed to set new time: the time is "
         "out of the range of this system's time_t\nERROR: Time update was unsuccessful, exiting...\n", time64},
    };
    for (const auto &[conf, env, offset, status, end, steps] : rows) {
        SCOPED_TRACE(conf + (env == nullptr ? "real clock " : env) + std::to_string(offset));
        temp_dir dir;
        udp_peer srv;
        strings args = {"--disable-d", "-c", dir.write("c.conf", client_conf(srv.port, conf))};
        if (env == nullptr)  // the capability is dropped twice over
            args.insert(args.begin(), {"--inh-caps=-sys_time", "--bounding-set=-sys_time", "--", QUORIX_BIN});
        process d(dir, args, {"QUORIX_FAKE_OFFSET=" + std::to_string(offset), env ? env : ""}, "", env != nullptr,
                  env != nullptr ? QUORIX_BIN : "/usr/bin/setpriv");
        bytes req = conf.starts_with("exit_when") ? bytes{} : srv.recv(5000);
        if (req.size() == 48)
            srv.send(make_reply(req, offset == late ? late + 86400 : 0), srv.from);
        double seen = real_now() + offset;
        ASSERT_TRUE(d.wait(10));
        std::string err = read_file(d.err), fake = read_file(dir / "fake.log");
        EXPECT_EQ(d.status, status);
        EXPECT_TRUE(err.ends_with(end)) << err;
        bool marked = linux_variant && (env == nullptr || std::strstr(env, "ADJTIMEX") == nullptr);
        ASSERT_EQ(count(fake, "settime "), steps) << fake;
        EXPECT_EQ(count(fake, "adjtimex modes=28 status=1 "), marked ? steps : 0) << fake;
        if (req.empty())
            continue;
        EXPECT_NEAR(ntp_seconds(&req[40]), seen, 0.05);
        EXPECT_NEAR(seconds_in(err), offset == late ? 86400 : -offset, 0.02) << err;  // the sign, then the magnitude
        std::size_t at = err.find("  orig_ts -> ");  // four lines of 41 characters, then the offset
        for (const char *line : {"  orig_ts -> ", "  recv_ts -> ", "  xmit_ts -> ", "  ts_recv -> ", "Offset: "})
            EXPECT_EQ(err.substr(std::exchange(at, at + 41), std::strlen(line)), line) << err;
        EXPECT_EQ(count(err, "recv_ts -> 2038-01-20 03:1"), offset == late ? 1u : 0u) << err;
        if (steps == 1 && marked) {
            double requested = 0, real = 0;
            long max = -1, est = -2;  // microseconds
            std::sscanf(&fake[fake.find("settime ")], "settime %lf %lf", &requested, &real);
            std::sscanf(&fake[fake.find(" status=1 maxerror=")], " status=1 maxerror=%ld esterror=%ld", &max, &est);
            EXPECT_NEAR(requested, real + (offset == late ? late + 86400 : 0), 0.02);
            EXPECT_TRUE(max == est && max >= 0 && max < 100000) << fake;
            time_t rounded = static_cast<time_t>(std::llround(requested));
            char rtc[64];
            std::strftime(rtc, sizeof(rtc), "rtc %Y-%m-%d %H:%M:%S\n", std::gmtime(&rounded));
            EXPECT_EQ(count(fake, rtc), conf.find("/dev/null") != conf.npos && linux_variant ? 1u : 0u) << fake << rtc;
            EXPECT_EQ(count(err, "Update success: "), conf.find("log.update") != conf.npos ? 1u : 0u) << err;
        }
    }
}

// A client and server 100 s ahead. While its server's name takes 300 ms to look
// up, it answers versions 0 to 4 in kind (extension data ignored), not 5, as not
// synchronised, and drops what is not a packet, version 4 and other modes. Then
// a burst of three samples, T1 read after the lookup: the server answers the
// first after 60 ms, the second at once, refuses the third, loses the fourth
// request, and the fifth, the last try, brings the third sample. Stopped while
// the best sample and a request arrive, the daemon still times both right with
// the kernel's times (T1 when the request left: the shim has it 20 ms late); it
// steps once, by the second sample's offset less 10 ms, and answers as
// synchronised, 40 at once. Without the kernel's times the first sample is best.
TEST_F(DaemonTest, ClientAndServerInOneRun)
{
    temp_dir dir;
    udp_peer srv, client;
    std::uint16_t port = udp_peer().port;
    auto d = start(dir, client_conf(srv.port, "enable_server = 1\nlog.update_req = 1\nlog.incoming_update_req = 1\n"
        "server_answer_v4 = 1\nserver_require_sync = 1\nnum_update_samples = 3\nnum_update_tries = 3\n"
        "update_sample_interval = 100\nlog.update_samples = 1\nrecv_timeout = 500\nbind_port = " + std::to_string(port) +
        "\n", "slow.test"), {"QUORIX_FAKE_OFFSET=100", "QUORIX_FAKE_RESOLVE_DELAY_MS=300", "QUORIX_FAKE_SENT_LATE_MS=20"});
    wait_text(d->err, "Synchronize with slow.test:");
    const bytes xmit = {0xE8, 0xFE, 0x6F, 0x80, 0x40, 0, 0, 1};
    auto ask = [&](int vn, double clock) {  // the daemon's clock ahead of the real one, 100 s until it is set
        bytes req(68, 0x11);  // 48 bytes and extension data
        req[0] = static_cast<std::uint8_t>(0xC3 | vn << 3);  // LI 3, mode 3
        req[2] = 0x06;
        std::copy(xmit.begin(), xmit.end(), req.begin() + 40);
        double sent = real_now();
        client.send(req, port);
        bytes rep = client.recv(vn < 5 ? 1000 : 100);
        ASSERT_EQ(rep.size(), vn < 5 ? 48u : 0u) << vn;
        if (rep.empty())
            return;
        // LI 3 and stratum 16, or stratum 8; poll copied, our precision (1 ns: 2^-29 s).
        const bool synced = clock != 100;
        EXPECT_EQ(bytes(rep.begin(), rep.begin() + 4), (bytes{static_cast<std::uint8_t>((synced ? 4 : 0xC4) | vn << 3),
                  static_cast<std::uint8_t>(synced ? 8 : 16), 0x06, 0xE3})) << vn;
        EXPECT_EQ(bytes(rep.begin() + 24, rep.begin() + 32), xmit);
        EXPECT_NEAR(ntp_seconds(&rep[32]), sent + clock, 0.05);
        EXPECT_NEAR(ntp_seconds(&rep[40]), sent + clock, 0.05);
        EXPECT_LT(real_now() - sent, 0.05);
    };
    for (int vn = 0; vn <= 5; vn++)
        ask(vn, 100);
    for (std::uint8_t first : {0x1C, 0x24, 0x1D, 0x1F}) {  // 47 bytes, version 4, modes 5 and 7
        std::array<std::uint8_t, 48> p{first};
        srv.send(std::span(p.data(), first == 0x1C ? 47 : 48), port);
    }
    std::string err = wait_text(d->err, "(mode=7)\n");
    EXPECT_TRUE(err.ends_with("version 5 is not supported\nInvalid packet dropped, version 4 is not supported\n"
                              "Ignoring unknown packet (mode=5)\nIgnoring unknown packet (mode=7)\n")) << err;
    const double ahead[] = {5, 2, 9, 9, 7};
    const bool kernel = kernel_times();
    for (int i = 0; i < 5; i++) {
        bytes req = srv.recv(2000);
        ASSERT_EQ(req.size(), 48u) << i;
        EXPECT_NEAR(ntp_seconds(&req[40]), real_now() + 100, 0.02);
        usleep(i == 0 ? 60000 : i == 4 ? 80000 : 0);
        auto rep = make_reply(req, 100 + ahead[i]);
        rep[0] = i == 2 ? 0xDC : 0x1C;  // LI 3: not synchronised
        int ws = 0;
        if (i == 1) {
            ASSERT_TRUE(kill(d->pid, SIGSTOP) == 0 && waitpid(d->pid, &ws, WUNTRACED) == d->pid);
            client.send(std::array<std::uint8_t, 48>{0x1B}, port);
        }
        if (i != 3)
            srv.send(rep, srv.from);
        if (i == 1) {
            double sent = real_now();
            usleep(300000);
            kill(d->pid, SIGCONT);
            bytes ans = client.recv(1000);
            ASSERT_EQ(ans.size(), 48u);
            std::printf("[ path     ] %s\n", kernel ? "the kernel's times of datagrams" : "times read after each call");
            EXPECT_NEAR(ntp_seconds(&ans[32]), sent + 100 + (kernel ? 0 : 0.3), kernel ? 0.02 : 0.2);
            EXPECT_TRUE(!kernel || ntp_seconds(&ans[40]) - ntp_seconds(&ans[32]) > 0.25);
        }
    }
    err = wait_text(d->err, "Delay:  ");
    EXPECT_EQ(count(err, "Sample "), 3u) << err;
    EXPECT_EQ(count(err, "Offset: ") + count(err, "  ts_recv -> "), 2u) << err;
    // Times read around each call take as long as the calls (under emulation, up to 10 ms more).
    EXPECT_NEAR(seconds_in(err), kernel ? 1.99 : 5.03, kernel ? 0.005 : 0.02) << err;
    EXPECT_NEAR(seconds_in(err, "Delay:  "), kernel ? -0.02 : 0.06, kernel ? 0.005 : 0.02) << err;
    EXPECT_EQ(count(wait_text(dir / "fake.log", "settime "), "settime "), 1u);  // logged, then stepped
    ask(4, 100 + seconds_in(err));
    for (int i = 0; i < 40; i++)
        client.send(std::array<std::uint8_t, 48>{0x1B}, port);
    int answers = 0;
    while (client.recv(500).size() == 48)
        answers++;
    EXPECT_EQ(answers, 40);
}

// Exposed. A symbolic link planted as the log file is refused at start, as is a
// log directory the daemon's user cannot write to; a link planted after a
// rotation is moved away by the next. A flood of odd
// packets writes ten lines, and a second later a count of those held back. A
// denied address, or one outside the allowed network, gets nothing; a source
// over its rate gets its burst and a kiss-o'-death, another is answered. As
// another user it keeps only the capability to set the clock (in a user
// namespace of its own, where no capability reaches the host's clock).
TEST_F(DaemonTest, SafeToExpose)
{
    if (!user_namespaces())
        GTEST_SKIP() << "no user namespace can be made here for the daemon's user";
    temp_dir dir;
    dir.write("target", "keep\n");
    const std::string log = dir / "ntp.log", conf = "log.enable = 1\nlog.filename = " + log + "\nlog.stderr = 1\n";
    ASSERT_EQ(symlink((dir / "target").c_str(), log.c_str()), 0);
    EXPECT_EQ(process(dir, {"--stdin"}, {}, conf).error_output(), "ERROR: Could not open log file '" + log +
              "': it is a symbolic link, which is not followed\nFailed to init the NTP state\n");
    unlink(log.c_str());
    EXPECT_EQ(process(dir, {"--stdin"}, {}, conf + "user = daemon\n", true, QUORIX_BIN, true).error_output(),
              "The log directory '" + dir.path + "' is not writable by user 'daemon': Permission denied\n"
              "Failed to init the NTP state\n");
    chmod(dir.path.c_str(), 0777);  // for the user it runs as
    udp_peer a, b(0x7F000003), unserved(0x7F000002);
    std::uint16_t port = udp_peer().port;
    const std::array<std::uint8_t, 48> req{0x1B};
    auto d = std::make_unique<process>(dir, strings{"--stdin"}, strings{}, conf + "enable_server = 1\nbind_port = " +
        std::to_string(port) + "\nlogrotate.max_size = 1\nlog.incoming_update_req = 1\nlog.unserved_req = 1\n"
        "ratelimit.rate = 2\nratelimit.burst = 4\nserver_allow.lo = 127.0.0.0/26\nserver_deny.two = 127.0.0.2\n"
        "user = daemon\nlog.config = 1\n", true,
        QUORIX_BIN, true);
    wait_text(d->err, "Local address: ");
    for (int i = 0; i < 40; i++) {  // the lines of 40 sources, 76 bytes each, rotate the log
        udp_peer c(0x7F00000A + static_cast<std::uint32_t>(i));
        c.send(req, port);
        ASSERT_EQ(c.recv(1000).size(), 48u) << i;
        if (i == 20) {  // the log has been rotated: a link takes the place of the live file
            ASSERT_TRUE(std::filesystem::exists(log + ".0"));
            ASSERT_EQ(unlink(log.c_str()) + symlink((dir / "target").c_str(), log.c_str()), 0);
        }
    }
    EXPECT_EQ(read_file(dir / "target"), "keep\n");
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(log)));
    std::string status = read_file("/proc/" + std::to_string(d->pid) + "/status");
    EXPECT_NE(status.find("Uid:\t1\t1\t1\t1\n"), std::string::npos) << status;
    const std::string caps = linux_variant ? "0000000002000000\n" : "0000000000000000\n";  // CAP_SYS_TIME
    EXPECT_NE(status.find("CapPrm:\t" + caps + "CapEff:\t" + caps), std::string::npos) << status;
    for (int i = 0; i < 200; i++)
        a.send(std::array<std::uint8_t, 48>{0x1F}, port);  // mode 7
    unserved.send(req, port);
    EXPECT_TRUE(unserved.recv(300).empty());
    udp_peer(0x7F000040).send(req, port);  // 127.0.0.64, outside the served /26
    int answers = 0, kisses = 0;
    for (int i = 0; i < 20; i++)  // a burst of 4, then one kiss in a second
        a.send(req, port);
    for (bytes rep; (rep = a.recv(300)).size() == 48;)
        (rep[1] == 0 && std::memcmp(&rep[12], "RATE", 4) == 0 ? kisses : answers)++;
    EXPECT_TRUE(answers == 4 && kisses == 1) << answers << " " << kisses;
    b.send(req, port);
    EXPECT_EQ(b.recv(1000).size(), 48u);
    std::string err = wait_text(d->err, "similar messages suppressed");  // within a second, without another packet
    EXPECT_EQ(count(err, "Ignoring unknown packet (mode=7)\n"), 10u);
    EXPECT_NE(err.find("190 similar messages suppressed (unknown packet mode)\n"), err.npos) << err;
    EXPECT_NE(err.find("Ignoring update request from 127.0.0.2:" + std::to_string(unserved.port) +
                       ", its network is not served\n"), err.npos) << err;
    EXPECT_NE(err.find("Ignoring update request from 127.0.0.64:"), err.npos) << err;
}

// Over IPv6: synchronised from [::1] given as an address, it serves in kind with
// the reference id from the MD5 digest of :: and reports the socket; a reply
// from another port is dropped. Then from a name with only an IPv6 address
// (timeserver_family = any), with an IPv6 network it does not serve.
TEST_F(DaemonTest, OverIPv6)
{
    for (const char *host : {"[::1]", "six.test"}) {
        SCOPED_TRACE(host);
        temp_dir dir;
        udp_peer srv(0, true), client(0, true), other(0, true);
        std::uint16_t port = udp_peer().port;
        const bool named = host[0] == 's';
        auto d = start(dir, client_conf(srv.port, "enable_server = 1\nlog.config = 1\nupdate_dryrun = 1\n"
            "exit_after_update = 1\nrecv_timeout = 2000\nlog.unserved_req = 1\nserver_ipv6 = 1\nbind_port = " +
            std::to_string(port) + (named ? "\ntimeserver_family = any\nserver_deny.lo6 = ::1/128\n" : "\n"), host));
        std::string err = wait_text(d->err, "Local IPv6 address: [::]:" + std::to_string(port) + "\n");
        EXPECT_EQ(count(err, named ? "\"six.test:" : "\"[::1]:"), 0u);  // not listed without log.timeservers
        client.send(std::array<std::uint8_t, 48>{0x1B}, port);
        bytes rep = client.recv(named ? 300 : 1000);
        EXPECT_EQ(rep.size(), named ? 0u : 48u);
        EXPECT_TRUE(rep.empty() || bytes(rep.begin(), rep.begin() + 2) == (bytes{0x1C, 8}));
        EXPECT_TRUE(rep.empty() || bytes(rep.begin() + 12, rep.begin() + 16) == (bytes{0x4A, 0xE7, 0x13, 0x36}));
        bytes req = srv.recv(2000);
        ASSERT_EQ(req.size(), 48u);
        const double held = real_now() - ntp_seconds(&req[40]);  // since the request was sent
        other.send(make_reply(req, 1.5, held), port);
        srv.send(make_reply(req, 1.5, held), port);
        ASSERT_TRUE(d->wait(5));
        err = read_file(d->err);
        EXPECT_EQ(d->status, 0) << err;
        EXPECT_NEAR(seconds_in(err), 1.5, 0.01) << err;
        EXPECT_NE(err.find("Invalid packet dropped, it came from [::1]:" + std::to_string(other.port) +
                           ", not from the time server\n"), err.npos) << err;
        EXPECT_EQ(count(err, "Ignoring update request from [::1]:" + std::to_string(client.port) +
                        ", its network is not served\n"), named ? 1u : 0u) << err;
    }
}
