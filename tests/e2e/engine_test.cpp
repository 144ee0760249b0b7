// The real daemon under the fake clock: client of a fake NTP server on
// 127.0.0.1, server of a test client, and its exit rules.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using bytes = std::vector<std::uint8_t>;

using EngineTest = daemon_test;

std::string tail(const std::string &s, std::size_t n)
{
    return s.substr(s.size() > n ? s.size() - n : 0);
}

// One run of the daemon as the client of a server with the real clock, until it
// exits. Its own clock runs offset s off, under the fake clock with the extra
// variable env; or, with env null, it meets the kernel's clock without the
// capability to set it (dropped twice over).
TEST_F(EngineTest, ClientOutcomesAndExitRules)
{
    const std::string success = "Time update was successful, exiting...\n";
    const std::string refused = " sec\nFailed to set new time: Operation not permitted\n"
                                "ERROR: Time update was unsuccessful, exiting...\n";
    const std::string once = "exit_after_update = 1\n";
    const std::tuple<std::string, const char *, double, int, std::string, std::size_t> rows[] = {
        // configuration, environment, daemon clock, status, end of stderr, clock steps
        {once, "", -4.25, 0, " sec\n" + success, 1},
        {once, "", 0.25, 0, " sec\n" + success, 1},
        {once + "update_dryrun = 1\nlog.update = 1\n", "", 2.5, 0,
         " sec\nIgnored successful NTP time update\n" + success, 0},
        {once + "rtcdev = null\n", "", -1.5, 0,
         " sec\nFailed to write the time to the real-time clock '/dev/null': "
         "Inappropriate ioctl for device\n" + success, 1},
        {once, "QUORIX_FAKE_SETTIME_FAIL=1", 0.5, 1, refused, 0},
        {once, nullptr, 0, 1, refused, 0},
        {"exit_when_timeout = 1\n", "", 0, 1,
         "Timeserver 127.0.0.1 did not respond\nTime update was not successful, exiting...\n", 0},
    };
    for (const auto &[conf, env, offset, status, end, steps] : rows) {
        SCOPED_TRACE(conf + (env == nullptr ? "real clock " : env) + std::to_string(offset));
        temp_dir dir;
        udp_peer srv;
        std::string path = dir.write("c.conf", client_conf(srv.port(), conf));
        std::vector<std::string> argv = daemon_command({"--disable-d", "-c", path});
        run_options opt = fake_clock_options(dir, {"QUORIX_FAKE_OFFSET=" + std::to_string(offset),
                                                   env != nullptr && *env ? env : "QUORIX_NONE=1"});
        if (env == nullptr) {
            opt.env = {"ASAN_OPTIONS=detect_leaks=0"};
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--inh-caps=-sys_time",
                                       "--bounding-set=-sys_time", "--"});
        }
        child_process d = start_program(argv, opt, dir);
        child_stopper stop{&d};
        sockaddr_in from{};
        bool silent = conf.find("exit_when_timeout") != std::string::npos;
        bytes req = silent ? bytes{} : serve_one(&srv, 0, &from);
        double seen = real_now() + offset;
        ASSERT_TRUE(wait_program(&d, 10));
        std::string err = read_file(d.err_path), fake = read_file(dir / "fake.log");
        EXPECT_EQ(d.status, status);
        EXPECT_EQ(tail(err, end.size()), end) << err;
        ASSERT_EQ(count(fake, "settime "), steps) << fake;
        if (req.empty())
            continue;
        bytes head(req.begin(), req.begin() + 40);
        std::fill(head.begin() + 16, head.begin() + 24, 0);  // T1, also at 40
        EXPECT_EQ(head, (bytes{0xDB, 0x00, 0x0A, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(bytes(req.begin() + 16, req.begin() + 24), bytes(req.begin() + 40, req.end()));
        EXPECT_NEAR(get_ntp_time(&req[40]), seen, 0.05);
        int whole = 0;
        unsigned us = 0;
        ASSERT_TRUE(find_offset(err, &whole, &us)) << err;
        EXPECT_NEAR(whole + us / 1e6, -offset, 0.02);  // printed as floor and positive fraction
        EXPECT_TRUE(offset == 0 || whole == static_cast<int>(std::floor(-offset))) << whole;
        double requested = 0, real = 0;
        if (steps == 1) {  // the step lands on the real time
            std::sscanf(fake.c_str() + fake.find("settime "), "settime %lf %lf", &requested, &real);
            EXPECT_NEAR(requested, real, 0.02);
        }
    }
}

// Each try has its own T1: a late answer to an earlier try is no answer, and a
// try whose name did not resolve sent nothing that could be answered.
TEST_F(EngineTest, AcceptsOnlyTheAnswerToTheCurrentTry)
{
    const std::string mismatch = "Invalid packet dropped, 'orig_ts' do not match\n";
    for (int resolve_fails : {0, 1}) {
        SCOPED_TRACE(resolve_fails ? "zero origin, name not resolved" : "late answer to try 1");
        temp_dir dir;
        udp_peer srv;
        child_process d = start_daemon(
            dir, client_conf(srv.port(), "log.config = 1\nnum_update_tries = 3\nupdate_dryrun = 1\n"
                             "recv_timeout = 200\nresolve_retry_timeout = 200\n"
                             "resolve_timeservers = 0\nexit_after_update = 1\n", "ntp.test"),
            {"QUORIX_FAKE_HOSTS=ntp.test=127.0.0.1",
             "QUORIX_FAKE_RESOLVE_FAIL=" + std::to_string(resolve_fails)});
        child_stopper stop{&d};
        std::uint16_t port = reported_port(d.err_path, 5);
        sockaddr_in from{};
        packet48 stale{};
        stale[0] = 0x1C;
        bytes req;
        if (resolve_fails) {
            wait_for_text(d.err_path, "Failed to resolve time server address\n", 5);
        } else {  // the answer to the first try comes while the second one waits
            ASSERT_EQ(srv.recv(&req, &from, 5000), 48);
            stale = make_reply(req.data(), 0);
            ASSERT_EQ(srv.recv(&req, &from, 5000), 48);
        }
        srv.send_to_port(stale.data(), stale.size(), port);
        wait_for_text(d.err_path, mismatch, 5);
        if (resolve_fails) {
            ASSERT_EQ(srv.recv(&req, &from, 5000), 48);
        }
        packet48 current = make_reply(req.data(), 0);
        srv.send(current.data(), current.size(), from);
        ASSERT_TRUE(wait_program(&d, 10));
        std::string err = read_file(d.err_path);
        EXPECT_EQ(d.status, 0) << err;
        EXPECT_EQ(count(err, mismatch), 1u) << err;
        EXPECT_LT(err.find(mismatch), err.find("Offset: "));
        EXPECT_EQ(count(read_file(dir / "fake.log"), "lookup ntp.test\n"), 2u);  // once per try
    }
}

TEST_F(EngineTest, DropsWhatItDidNotAskFor)
{
    temp_dir dir;
    udp_peer srv;
    child_process d =
        start_daemon(dir, client_conf(srv.port(), "update_dryrun = 1\nlog.ignored_req = 1\n"));
    child_stopper stop{&d};
    sockaddr_in from{};
    bytes req = serve_one(&srv, 0, &from);
    ASSERT_EQ(req.size(), 48u);
    wait_for_text(d.err_path, "Delay:", 5);
    auto with = [&req](std::uint8_t first, std::size_t size) {  // the accepted reply, altered
        packet48 rep = make_reply(req.data(), 0);
        bytes b(rep.begin(), rep.end());
        b[0] = first;
        b.resize(size, 0xEE);
        return b;
    };
    const std::string idle = "Invalid packet dropped, no request was sent recently\n";
    const std::string ignored = "Ignoring update request from 127.0.0.1:" +
                                std::to_string(srv.port()) + ", server mode is not enabled\n";
    const std::tuple<const char *, bytes, std::string> rows[] = {
        {"the accepted reply again", with(0x1C, 48), idle},
        {"reply of 68 bytes", with(0x1C, 68), idle},
        {"reply of 47 bytes", with(0x1C, 47), ""},
        {"version 4 reply", with(0x24, 48), "Invalid packet dropped, version 4 is not supported\n"},
        {"mode 5", with(0x1D, 48), "Ignoring unknown packet (mode=5)\n"},
        {"request, server off", with(0xDB, 48), ignored},
        {"request of 68 bytes, server off", with(0x1B, 68), ignored},
    };
    // A marker follows each datagram, so that "no message" is seen as such.
    const bytes marker = with(0x1F, 48);
    const std::string marked = "Ignoring unknown packet (mode=7)\n";
    for (const auto &[name, datagram, message] : rows) {
        SCOPED_TRACE(name);
        std::size_t before = read_file(d.err_path).size();
        srv.send(datagram.data(), datagram.size(), from);
        srv.send(marker.data(), marker.size(), from);
        std::string err;
        for (int i = 0; i < 500 && tail(err, marked.size()) != marked; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            err = read_file(d.err_path).substr(before);
        }
        EXPECT_EQ(err, message + marked);
    }
}

TEST_F(EngineTest, ServerAnswersWithItsOwnClock)
{
    temp_dir dir;
    std::uint16_t port = free_udp_port();
    child_process d = start_daemon(
        dir, "enable_server = 1\nlog.stderr = 1\nlog.config = 1\nbind_port = " +
                 std::to_string(port) + "\n",
        {"QUORIX_FAKE_OFFSET=100", "QUORIX_FAKE_POLLERR=5"});
    child_stopper stop{&d};
    ASSERT_EQ(reported_port(d.err_path, 5), port);
    udp_peer client;
    const bytes xmit = {0xE8, 0xFE, 0x6F, 0x80, 0x40, 0x00, 0x00, 0x01};
    for (int vn = 0; vn <= 4; vn++) {
        SCOPED_TRACE("version " + std::to_string(vn));
        bytes req(48, 0x11), rep;
        req[0] = static_cast<std::uint8_t>(0xC3 | vn << 3);  // LI 3, mode 3
        req[2] = 0x06;
        req[3] = 0xEC;
        std::copy(xmit.begin(), xmit.end(), req.begin() + 40);
        client.send_to_port(req.data(), req.size(), port);
        ASSERT_EQ(client.recv(&rep, nullptr, vn < 4 ? 2000 : 300), vn < 4 ? 48 : -1);
        double now = real_now() + 100;
        if (vn == 4)
            continue;
        // Stratum 8, poll copied, our precision (1 ns clock: 2^-29 s), ref id 0.0.0.0.
        const auto first = static_cast<std::uint8_t>(vn << 3 | 4);
        EXPECT_EQ(bytes(rep.begin(), rep.begin() + 16),
                  (bytes{first, 8, 0x06, 0xE3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(bytes(rep.begin() + 16, rep.begin() + 24), bytes(rep.begin() + 32, rep.end() - 8))
            << "reference time = receive time";
        EXPECT_EQ(bytes(rep.begin() + 24, rep.begin() + 32), xmit);
        double recv_ts = get_ntp_time(&rep[32]), xmit_ts = get_ntp_time(&rep[40]);
        EXPECT_NEAR(recv_ts, now, 0.05);
        EXPECT_TRUE(xmit_ts >= recv_ts && xmit_ts - recv_ts < 0.01);
    }
    stop_program(&d);
    std::string err = read_file(d.err_path);
    EXPECT_EQ(count(err, "Invalid packet dropped, version 4 is not supported\n"), 1u) << err;
    EXPECT_EQ(count(err, "Unexpected termination"), 0u) << err;
    EXPECT_EQ(count(read_file(dir / "fake.log"), "poll POLLERR"), 5u);
}

// Retries stay with one server, a timeout moves on to the next, and only the
// timeout of the last ends the daemon. Takes two poll intervals (20 s).
TEST_F(EngineTest, RetriesRotatesAndGivesUpSlow)
{
    temp_dir dir;
    udp_peer srv[3];
    std::string conf = "num_update_tries = 2\nexit_when_timeout = 1\npoll_interval = 10\n"
                       "resolve_timeservers = 1\n";
    for (const char *name : {"b", "c"})
        conf += std::string("timeserver.") + name + " = " + name + ":" +
                std::to_string(srv[name[0] - 'a'].port()) + "\n";
    child_process d = start_daemon(dir, client_conf(srv[0].port(), conf, "a"),
                                   {"QUORIX_FAKE_HOSTS=a=127.0.0.1,b=127.0.0.1,c=127.0.0.1"});
    child_stopper stop{&d};
    std::vector<std::tuple<std::size_t, double, double>> got;  // server, arrival, T1
    auto start = std::chrono::steady_clock::now();
    std::chrono::duration<double> elapsed{};
    for (bytes req; d.pid > 0 && elapsed.count() < 40; wait_program(&d, 0)) {
        elapsed = std::chrono::steady_clock::now() - start;
        for (std::size_t i = 0; i < 3; i++) {
            if (srv[i].recv(&req, nullptr, 5) == 48)
                got.emplace_back(i, elapsed.count(), get_ntp_time(&req[40]));
        }
    }
    EXPECT_EQ(d.status, 1);
    ASSERT_EQ(got.size(), 6u);
    for (std::size_t i = 0; i < got.size(); i++) {
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ(std::get<0>(got[i]), i / 2);
        if (i == 0)
            continue;
        double gap = i % 2 == 1 ? 0.1 : 10.1;  // a retry, or the next server an interval later
        EXPECT_NEAR(std::get<1>(got[i]) - std::get<1>(got[i - 1]), gap, gap / 5);
        EXPECT_NEAR(std::get<2>(got[i]) - std::get<2>(got[i - 1]), gap, gap / 5);
    }
    EXPECT_EQ(read_file(d.err_path),
              "Timeserver a did not respond\nTimeserver b did not respond\n"
              "Timeserver c did not respond\nTime update was not successful, exiting...\n");
}

} // namespace
