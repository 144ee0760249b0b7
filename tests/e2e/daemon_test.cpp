// The real daemon: its command line, and under the fake clock, the client of a
// fake NTP server on 127.0.0.1 and the server of a test client.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "support.h"

using DaemonTest = daemon_test;

// Options act in order: --help and --version end the parsing, the last -c and
// the last of --enable-d and --disable-d win, and --stdin wins over -c. A
// client without servers stops at start-up, which proves the load succeeded.
TEST_F(DaemonTest, OptionsAndTheirPrecedence)
{
    const std::string bin = QUORIX_BIN, version = "ntp-quorix v0.2.6\n";
    const std::string help = "Usage: " + bin + " [OPTION]...\n";  // the first line; the rest is fixed text
    const std::string loaded = "Client mode is enabled, but no usable timeservers are specified.\n"
                               "Failed to init the NTP state\n";
    const std::string missing = bin + ": '-c': missing argument\n";
    auto unknown = [&bin](const std::string &arg) { return bin + ": '" + arg + "': unknown argument\n"; };
    const std::string failed = "Failed to process the configuration.\nFailed to load config file ";
    const std::string d_error = "Failed to parse 'num_update_tries' key: value '0' was invalid\n" +
                                failed + "'@/d.conf'\n";
    temp_dir dir;
    dir.write("ok.conf", "poll_interval = 60\nenable_client = yes\n");
    dir.write("d.conf", "enable_client = yes\n");
    mkdir((dir / "d.d").c_str(), 0755);
    dir.write("d.d/10-a.conf", "num_update_tries = 5\n");  // before 2-b: names in byte order
    dir.write("d.d/2-b.conf", "num_update_tries = 0\n");
    const struct {
        strings args;  // '@' is the test's directory
        std::string input;
        int status;
        std::string out, err;
    } rows[] = {
        {{"--help"}, "", 0, help, ""},
        {{"--version"}, "", 0, version, ""},
        {{"-c"}, "", 1, "", missing},
        {{"--bogus", "--help"}, "", 1, "", unknown("--bogus")},
        {{"-c", "@/ok.conf"}, "", 1, "", loaded},
        {{"-c", "@/ok.conf", "-c", "@/none.conf"}, "", 1, "",
         "Could not open config file '@/none.conf': No such file or directory\n"
         "Failed to load config file '@/none.conf'\n"},
        {{"-c", "@/none.conf", "--stdin"}, "enable_client = yes\n", 1, "", loaded},
        {{"--stdin", "-c", "@/none.conf"}, "poll_interval = 5\n", 1, "",
         "Failed to parse 'poll_interval' key: value '5' was invalid\n" + failed + "'@/none.conf'\n"},
        {{"--stdin"}, "poll_interval = 60", 1, "",
         "Config line too long in '<stdin>'\nFailed to load config file '/etc/ntp-quorix.conf'\n"},
        {{"-c", "@/d.conf"}, "", 1, "", d_error},
        {{"--disable-d", "-c", "@/d.conf"}, "", 1, "", loaded},
        {{"--disable-d", "--enable-d", "-c", "@/d.conf"}, "", 1, "", d_error},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        strings args;
        for (const std::string &a : r.args)
            args.push_back(replace_all(a, "@", dir.path));
        process d(dir, args, {}, r.input);
        ASSERT_TRUE(d.wait(10));
        EXPECT_EQ(d.status, r.status);
        EXPECT_EQ(read_file(d.out).substr(0, r.out.size()), r.out);
        EXPECT_EQ(read_file(d.err), replace_all(r.err, "@", dir.path));
    }
}

// One run per row, the client of a server with the real clock, its own clock
// offset s off under the shim, or, with no environment, the kernel's clock
// without the capability to set it. A step lands on the real time, and the
// kernel is told that the clock is synchronised within half the round trip.
TEST_F(DaemonTest, ClientOutcomesAndExitRules)
{
    const std::string success = "Time update was successful, exiting...\n", once = "exit_after_update = 1\n";
    const std::string refused = " sec\nFailed to set new time: Operation not permitted\n"
                                "ERROR: Time update was unsuccessful, exiting...\n";
    const std::tuple<std::string, const char *, double, int, std::string, std::size_t> rows[] = {
        // configuration, environment, daemon's clock, status, end of stderr, clock steps
        {once, "", -4.25, 0, " sec\n" + success, 1},
        {once + "update_dryrun = 1\nlog.update = 1\n", "", 2.5, 0,
         " sec\nIgnored successful NTP time update\n" + success, 0},
        {once + "rtcdev = /nonexistent/rtc\n", "QUORIX_FAKE_ADJTIMEX_FAIL=1", 1.5, 0, linux_variant ? " sec\nWarning: "
         "could not mark the clock as synchronised: Operation not permitted\nFailed to write the time to the real-time "
         "clock '/nonexistent/rtc': No such file or directory\n" + success : " sec\nFailed to write the time to the "
         "real-time clock '/nonexistent/rtc': Operation not supported\n" + success, 1},
        {once, "QUORIX_FAKE_SETTIME_FAIL=1", 0.5, 1, refused, 0},
        {once, nullptr, 0, 1, refused, 0},
        {"exit_when_timeout = 1\nnum_update_samples = 4\n", "", 0, 1,  // a burst without a sample ends as one try
         "Timeserver 127.0.0.1 did not respond\nTime update was not successful, exiting...\n", 0},
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
        if (req.size() == 48)  // answered with the real clock
            srv.send(make_reply(req, 0), srv.from);
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
        EXPECT_NEAR(seconds_in(err), -offset, 0.02) << err;  // the sign, then the magnitude
        EXPECT_EQ(count(err, "_ts -> ") + count(err, "  ts_recv -> "), 4u) << err;
        if (steps == 1 && marked) {
            double requested = 0, real = 0;
            long max = -1, est = -2;  // microseconds
            std::sscanf(&fake[fake.find("settime ")], "settime %lf %lf", &requested, &real);
            std::sscanf(&fake[fake.find(" status=1 maxerror=")], " status=1 maxerror=%ld esterror=%ld", &max, &est);
            EXPECT_NEAR(requested, real, 0.02);
            EXPECT_TRUE(max == est && max >= 0 && max < 100000) << fake;
        }
    }
}

// A client and server daemon 100 s ahead, waiting for its server, drops what
// is not a packet, a version it does not speak or another mode (a marker
// datagram comes last). It answers versions 0 to 4 in kind (server_answer_v4;
// extension data ignored), not 5, and as not synchronised (server_require_sync)
// until it has set its clock.
TEST_F(DaemonTest, ServerAnswersInKindAndTheRestIsDropped)
{
    temp_dir dir;
    udp_peer srv, client;
    std::uint16_t port = udp_peer().port;
    auto d = start(dir, client_conf(srv.port, "enable_server = 1\nlog.config = 1\nrecv_timeout = 10000\n"
        "log.incoming_update_req = 1\nserver_answer_v4 = 1\nserver_require_sync = 1\nlog.update = 1\nbind_port = " +
        std::to_string(port) + "\n"), {"QUORIX_FAKE_OFFSET=100"});
    ASSERT_EQ(reported_port(d->err), port);
    const bytes held = srv.recv(5000), xmit = {0xE8, 0xFE, 0x6F, 0x80, 0x40, 0, 0, 1};
    const double asked = real_now();
    ASSERT_EQ(held.size(), 48u);
    for (std::uint8_t first : {0x1C, 0x24, 0x1D, 0x1F}) {  // 47 bytes, version 4, modes 5 and 7
        auto rep = make_reply(held, 0);
        rep[0] = first;
        srv.send(std::span(rep.data(), first == 0x1C ? 47 : 48), port);
    }
    std::string err = wait_text(d->err, "Ignoring unknown packet (mode=7)\n");
    EXPECT_EQ(err.substr(err.find('\n', err.find("Local address: ")) + 1), "Invalid packet dropped, version 4 is not "
              "supported\nIgnoring unknown packet (mode=5)\nIgnoring unknown packet (mode=7)\n");
    for (int step = 0; step <= 6; step++) {  // versions 0 to 5, then 4 after the update
        SCOPED_TRACE("step " + std::to_string(step));
        int vn = step == 6 ? 4 : step;
        bytes req(68, 0x11);  // 48 bytes and extension data
        req[0] = static_cast<std::uint8_t>(0xC3 | vn << 3);  // LI 3, mode 3
        req[2] = 0x06;
        std::copy(xmit.begin(), xmit.end(), req.begin() + 40);
        client.send(req, port);
        bytes rep = client.recv(step != 5 ? 2000 : 300);
        double now = real_now() + (step < 5 ? 100 : 0);
        ASSERT_EQ(rep.size(), step != 5 ? 48u : 0u);
        if (step == 5) {
            srv.send(make_reply(held, 0, real_now() - asked), port);
            wait_text(d->err, "Update success: ");
            continue;
        }
        // Not synchronised (LI 3, stratum 16), then stratum 8; poll copied, our precision (1 ns: 2^-29 s).
        EXPECT_EQ(bytes(rep.begin(), rep.begin() + 4), (bytes{static_cast<std::uint8_t>(step == 6 ? 0x24 : 0xC4 | vn << 3),
                  static_cast<std::uint8_t>(step == 6 ? 8 : 16), 0x06, 0xE3}));
        EXPECT_EQ(bytes(rep.begin() + 24, rep.begin() + 32), xmit);
        EXPECT_NEAR(ntp_seconds(&rep[32]), now, 0.05);
        EXPECT_LT(ntp_seconds(&rep[40]) - ntp_seconds(&rep[32]), 0.01);
    }
    EXPECT_EQ(count(read_file(d->err), "Synchronization request from 127.0.0.1:" + std::to_string(client.port) +
                    " at "), 6u);
}

// A burst of three samples from a server that answers the first after 60 ms,
// the second at once, refuses the third (not synchronised) and loses the
// fourth: the fifth request, the last the try budget allows, brings the third
// sample. The clock is stepped once, by the second sample's offset, and a
// client is answered between samples.
TEST_F(DaemonTest, ABurstStepsByItsBestSample)
{
    temp_dir dir;
    udp_peer srv, client;
    std::uint16_t port = udp_peer().port;
    auto d = start(dir, client_conf(srv.port, "exit_after_update = 1\nnum_update_samples = 3\nnum_update_tries = 3\n"
        "update_sample_interval = 100\nlog.update_samples = 1\nenable_server = 1\nbind_port = " + std::to_string(port) + "\n"));
    const double ahead[] = {5, 2, 9, 9, 7};
    for (int i = 0; i < 5; i++) {
        bytes req = srv.recv(2000);
        ASSERT_EQ(req.size(), 48u) << i;
        usleep(i == 0 || i == 4 ? 60000 : 0);
        auto rep = make_reply(req, ahead[i]);
        rep[0] = i == 2 ? 0xDC : 0x1C;
        if (i != 3)
            srv.send(rep, srv.from);
        if (i == 1)
            client.send(std::array<std::uint8_t, 48>{0x1B}, port);
        EXPECT_EQ(client.recv(i == 1 ? 1000 : 0).size(), i == 1 ? 48u : 0u);
    }
    ASSERT_TRUE(d->wait(5));
    std::string err = read_file(d->err);
    EXPECT_EQ(d->status, 0);
    EXPECT_EQ(count(err, "Sample "), 3u) << err;
    EXPECT_EQ(count(err, "Offset: ") + count(err, "  ts_recv -> "), 2u) << err;
    EXPECT_NEAR(seconds_in(err), 2, 0.005) << err;
    EXPECT_EQ(count(read_file(dir / "fake.log"), "settime "), 1u);
}

// One scenario with the lookup thread and the kernel's times. A lookup of
// 300 ms holds up nothing: clients are answered at once, and T1 is read after
// it. The daemon, stopped while a request and its reply arrive, still measures
// offset and delay right, and answers that the request came when it came.
// Without kernel times it reads the clock when it resumes: the 300 ms then
// show as delay.
TEST_F(DaemonTest, LookupsAndTimesWhereDatagramsMove)
{
    temp_dir dir;
    udp_peer srv, client;
    std::uint16_t port = udp_peer().port;
    auto d = start(dir, client_conf(srv.port, "enable_server = 1\nrecv_timeout = 5000\nupdate_dryrun = 1\n"
        "exit_after_update = 1\nlog.update_req = 1\nbind_port = " + std::to_string(port) + "\n", "slow.test"),
        {"QUORIX_FAKE_OFFSET=-2.5", "QUORIX_FAKE_RESOLVE_DELAY_MS=300"});
    wait_text(d->err, "Synchronize with slow.test:");
    double worst = 0;
    for (int i = 0; i < 5; i++) {
        double sent = real_now();
        client.send(std::array<std::uint8_t, 48>{0x1B}, port);
        ASSERT_EQ(client.recv(1000).size(), 48u) << i;
        worst = std::max(worst, real_now() - sent);
    }
    EXPECT_LT(worst, 0.05);
    bytes req = srv.recv(5000);
    ASSERT_EQ(req.size(), 48u);
    EXPECT_NEAR(ntp_seconds(&req[40]), real_now() - 2.5, 0.02);
    int ws = 0;
    ASSERT_TRUE(kill(d->pid, SIGSTOP) == 0 && waitpid(d->pid, &ws, WUNTRACED) == d->pid);
    double sent = real_now();
    client.send(std::array<std::uint8_t, 48>{0x23}, port);  // version 4: not answered by default
    client.send(std::array<std::uint8_t, 48>{0x1B}, port);  // first, so that it is answered before the exit
    srv.send(make_reply(req, 0), srv.from);
    usleep(300000);
    kill(d->pid, SIGCONT);
    bytes rep = client.recv(2000);
    ASSERT_EQ(rep.size(), 48u);
    EXPECT_EQ(rep[0], 0x1C);
    const bool kernel = kernel_times();
    std::printf("[ path     ] %s\n", kernel ? "the kernel's times of datagrams" : "times read after each call");
    EXPECT_NEAR(ntp_seconds(&rep[32]), sent - 2.5 + (kernel ? 0 : 0.3), kernel ? 0.02 : 0.2);
    EXPECT_TRUE(!kernel || ntp_seconds(&rep[40]) - ntp_seconds(&rep[32]) > 0.25);
    ASSERT_TRUE(d->wait(5));
    std::string err = read_file(d->err);
    EXPECT_NEAR(seconds_in(err), 2.5, kernel ? 0.005 : 0.2) << err;
    EXPECT_NEAR(seconds_in(err, "Delay:  "), kernel ? 0 : 0.3, kernel ? 0.005 : 0.2) << err;
}
