// The real daemon under the fake clock: client of a fake NTP server on
// 127.0.0.1, server of a test client, its exit rules and schedule, and the
// faults it must outlast: bad replies, failing lookups, sends, clock steps and
// kernel calls.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <tuple>

#include "harness.h"

namespace {

using EngineTest = daemon_test;

std::string tail(const std::string &s, std::size_t n)
{
    return s.substr(s.size() > n ? s.size() - n : 0);
}

void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// One run of the daemon as the client of a server with the real clock, until it
// exits. Its own clock runs offset s off, under the fake clock with the extra
// variable env; or, with env null, it meets the kernel's clock without the
// capability to set it (dropped twice over). After a step the kernel is told
// that the clock is synchronised (ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR,
// STA_UNSYNC cleared, STA_PLL kept), within half the round trip.
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
        {once + "rtcdev = null\n", "", -1.5, 0, " sec\nFailed to write the time to the real-time "
         "clock '/dev/null': Inappropriate ioctl for device\n" + success, 1},
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
                                                   env != nullptr ? env : ""});
        if (env == nullptr) {
            opt.env = {"ASAN_OPTIONS=detect_leaks=0"};
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--inh-caps=-sys_time",
                                       "--bounding-set=-sys_time", "--"});
        }
        child_process d = start_program(argv, opt, dir);
        child_stopper stop{&d};
        bytes req = conf.starts_with("exit_when") ? bytes{} : srv.serve(0);
        double seen = real_now() + offset;
        ASSERT_TRUE(wait_program(&d, 10));
        std::string err = read_file(d.err_path), fake = read_file(dir / "fake.log");
        EXPECT_EQ(d.status, status);
        EXPECT_EQ(tail(err, end.size()), end) << err;
        ASSERT_EQ(count(fake, "settime "), steps) << fake;
        EXPECT_EQ(count(fake, "adjtimex modes=28 status=1 "), steps) << fake;
        if (req.empty())
            continue;
        bytes head(req.begin(), req.begin() + 40);
        std::fill(head.begin() + 16, head.begin() + 24, 0);  // T1, also at 40
        EXPECT_EQ(head, (bytes{0xDB, 0x00, 0x0A, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(bytes(req.begin() + 16, req.begin() + 24), bytes(req.begin() + 40, req.end()));
        EXPECT_NEAR(get_ntp_time(&req[40]), seen, 0.05);
        EXPECT_NEAR(seconds_in(err), -offset, 0.02) << err;  // printed as floor and positive fraction
        double requested = 0, real = 0;
        long max = -1, est = -2;  // microseconds
        if (steps == 1) {         // the step lands on the real time
            std::sscanf(&fake[fake.find("settime ")], "settime %lf %lf", &requested, &real);
            std::sscanf(fake.c_str() + std::min(fake.find(" status=1 maxerror="), fake.size()),
                        " status=1 maxerror=%ld esterror=%ld", &max, &est);
            EXPECT_NEAR(requested, real, 0.02);
            EXPECT_TRUE(max == est && max >= 0 && max < 100000) << fake;
        }
    }
}

// One synchronization outlasts what it did not ask for, from a daemon 2.5 s
// behind: a late answer to try 1 while try 2 waits, and replies with a zero
// receive or transmit time; a reply during a try whose lookup or send failed,
// the next try following resolve_retry_timeout or recv_timeout later; a name
// left unresolved at load and resolved when the server is chosen. Standard
// error is compared after the address line, up to the offset.
TEST_F(EngineTest, AcceptsOnlyTheAnswerToTheCurrentTry)
{
    const std::string now = "Timeserver address is now 127.0.0.1\n";
    const std::string mismatch = "Invalid packet dropped, 'orig_ts' do not match\n";
    const std::string zero = "Invalid packet dropped, zero receive or transmit timestamp\n";
    const std::tuple<std::string, std::string, std::string, double> rows[] = {
        // configuration, environment, standard error, delay of the try after a failed one
        {"", "", now + now + mismatch + zero + zero, 0},
        {"", "QUORIX_FAKE_RESOLVE_FAIL=1", "Failed to resolve time server address\n" + mismatch + now,
         0.1},
        {"", "QUORIX_FAKE_SENDTO_FAIL=1",
         now + "Failed to send packet to time server: Network is unreachable\n" + mismatch + now, 0.6},
        {"resolve_timeservers = 1\nignore_unresolved_timeservers = 1\n"
         "lazy_resolve_ignored_timeservers = 1\n", "QUORIX_FAKE_RESOLVE_FAIL=1", now, 0},
    };
    for (const auto &[conf, env, want, retry] : rows) {
        SCOPED_TRACE(conf + env);
        temp_dir dir;
        udp_peer srv;
        child_process d = start_daemon(dir, client_conf(srv.port(), conf +
            "num_update_tries = 3\nrecv_timeout = 600\nresolve_retry_timeout = 100\n"
            "update_dryrun = 1\nexit_after_update = 1\nlog.resolved_timeservers = 1\n"
            "log.config = 1\nlog.update_timestamps = 0\n", "ntp.test"),
            {"QUORIX_FAKE_OFFSET=-2.5", env});
        child_stopper stop{&d};
        std::uint16_t port = reported_port(d.err_path);
        double failed_at = 0;
        if (retry > 0) {  // a reply with the T1 of no request is no answer
            std::size_t at = want.find("Failed");
            wait_for_text(d.err_path, want.substr(at, want.find('\n', at) - at), 5);
            failed_at = real_now();
            srv.send(make_reply(bytes(48, 0), 0), port);
            wait_for_text(d.err_path, mismatch, 5);
        }
        bytes req = srv.recv(5000);
        ASSERT_EQ(req.size(), 48u);
        if (retry > 0) {
            EXPECT_NEAR(real_now() - failed_at, retry, 0.1);
        }
        if (want.starts_with(now + now)) {  // try 1 answered late, while try 2 waits
            packet48 bad[3] = {make_reply(req, 0)};
            req = srv.recv(5000);
            ASSERT_EQ(req.size(), 48u);
            bad[1] = bad[2] = make_reply(req, 0);
            std::fill_n(&bad[1][32], 8, 0);
            std::fill_n(&bad[2][40], 8, 0);
            for (const packet48 &p : bad)
                srv.send(p, srv.from());
        }
        srv.send(make_reply(req, 0), srv.from());
        ASSERT_TRUE(wait_program(&d, 10));
        std::string err = read_file(d.err_path);
        std::size_t begin = err.find('\n', err.find("Local address: ")) + 1;
        EXPECT_EQ(d.status, 0) << err;
        EXPECT_EQ(err.substr(begin, err.find("Offset: ") - begin), want) << err;
        EXPECT_NEAR(seconds_in(err), 2.5, 0.05) << err;
        EXPECT_EQ(count(read_file(dir / "fake.log"), "lookup ntp.test\n"), 2u);
    }
}

// After one exchange the client-only daemon, on the port it reported, drops
// whatever it did not ask for; a marker datagram follows each one, so that "no
// message" is seen as such.
TEST_F(EngineTest, DropsWhatItDidNotAskFor)
{
    temp_dir dir;
    udp_peer srv;
    child_process d = start_daemon(dir, client_conf(srv.port(), "update_dryrun = 1\n"
                                                    "log.ignored_req = 1\nlog.config = 1\n"));
    child_stopper stop{&d};
    bytes req = srv.serve(0);
    ASSERT_EQ(req.size(), 48u);
    EXPECT_EQ(reported_port(d.err_path), srv.from());
    wait_for_text(d.err_path, "Delay:", 5);
    auto with = [&req](std::uint8_t first, std::size_t size) {  // the accepted reply, altered
        packet48 rep = make_reply(req, 0);
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
    const bytes marker = with(0x1F, 48);
    const std::string marked = "Ignoring unknown packet (mode=7)\n";
    for (const auto &[name, datagram, message] : rows) {
        SCOPED_TRACE(name);
        std::size_t before = read_file(d.err_path).size();
        srv.send(datagram, srv.from());
        srv.send(marker, srv.from());
        std::string err;
        for (int i = 0; i < 500 && tail(err, marked.size()) != marked; i++) {
            sleep_ms(10);
            err = read_file(d.err_path).substr(before);
        }
        EXPECT_EQ(err, message + marked);
    }
}

// The server, its clock 100 s ahead, answers versions 0 to 3 in kind and drops
// version 4, through five polls that report an error. Then the daemon's client
// side meets its reply while requests wait, stopped, in the same batch: their
// answers go out before the reply ends the process.
TEST_F(EngineTest, ServerAnswersInKind)
{
    temp_dir dir;
    udp_peer srv, client;
    std::uint16_t port = free_udp_port();
    child_process d = start_daemon(dir, client_conf(srv.port(), "enable_server = 1\n"
        "log.config = 1\nrecv_timeout = 10000\nupdate_dryrun = 1\nexit_after_update = 1\n"
        "bind_port = " + std::to_string(port) + "\n"), {"QUORIX_FAKE_OFFSET=100", "QUORIX_FAKE_POLLERR=5"});
    child_stopper stop{&d};
    ASSERT_EQ(reported_port(d.err_path), port);
    const bytes held = srv.recv(5000), xmit = {0xE8, 0xFE, 0x6F, 0x80, 0x40, 0x00, 0x00, 0x01};
    ASSERT_EQ(held.size(), 48u);
    for (int vn = 0; vn <= 4; vn++) {
        SCOPED_TRACE("version " + std::to_string(vn));
        bytes req(48, 0x11);
        req[0] = static_cast<std::uint8_t>(0xC3 | vn << 3);  // LI 3, mode 3
        req[2] = 0x06;
        req[3] = 0xEC;
        std::copy(xmit.begin(), xmit.end(), req.begin() + 40);
        client.send(req, port);
        bytes rep = client.recv(vn < 4 ? 2000 : 300);
        double now = real_now() + 100;
        ASSERT_EQ(rep.size(), vn < 4 ? 48u : 0u);
        if (vn == 4)
            continue;
        // Stratum 8, poll copied, our precision (1 ns clock: 2^-29 s), ref id 0.0.0.0.
        EXPECT_EQ(bytes(rep.begin(), rep.begin() + 16),
                  (bytes{static_cast<std::uint8_t>(vn << 3 | 4), 8, 0x06, 0xE3, 0, 0, 0, 0, 0, 0, 0, 0,
                         0, 0, 0, 0}));
        EXPECT_EQ(bytes(rep.begin() + 16, rep.begin() + 24), bytes(rep.begin() + 32, rep.end() - 8))
            << "reference time = receive time";
        EXPECT_EQ(bytes(rep.begin() + 24, rep.begin() + 32), xmit);
        double recv_ts = get_ntp_time(&rep[32]), xmit_ts = get_ntp_time(&rep[40]);
        EXPECT_NEAR(recv_ts, now, 0.05);
        EXPECT_TRUE(xmit_ts >= recv_ts && xmit_ts - recv_ts < 0.01);
    }
    int ws = 0;
    ASSERT_EQ(kill(d.pid, SIGSTOP), 0);
    d.pid = waitpid(d.pid, &ws, WUNTRACED) == d.pid && WIFSTOPPED(ws) ? d.pid : -1;
    ASSERT_GT(d.pid, 0) << "the daemon ended before it was stopped";
    for (int i = 0; i < 5; i++)
        client.send(packet48{0x1B}, port);
    srv.send(make_reply(held, 0), srv.from());
    ASSERT_EQ(kill(d.pid, SIGCONT), 0);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(client.recv(2000).size(), 48u) << i;
    ASSERT_TRUE(wait_program(&d, 5));
    EXPECT_EQ(d.status, 0) << read_file(d.err_path);
    EXPECT_EQ(count(read_file(d.err_path), "Invalid packet dropped, version 4 is not supported\n"), 1u);
    EXPECT_EQ(count(read_file(dir / "fake.log"), "poll POLLERR"), 5u);
}

// Retries stay with one server, a timeout moves on to the next an interval
// after the last try ended, and only the timeout of the last ends the daemon.
// Takes two poll intervals (20 s).
TEST_F(EngineTest, RetriesRotatesAndGivesUpSlow)
{
    temp_dir dir;
    udp_peer srv[3];
    std::string conf = "num_update_tries = 2\nexit_when_timeout = 1\npoll_interval = 10\n"
                       "resolve_timeservers = 1\n";
    for (const char *name : {"b", "c"})
        conf += std::string("timeserver.") + name + " = " + name + ":" +
                std::to_string(srv[name[0] - 'a'].port()) + "\n";
    child_process d = start_daemon(dir, client_conf(srv[0].port(), conf, "a"));
    child_stopper stop{&d};
    std::vector<std::tuple<std::size_t, double, double>> got;  // server, arrival, T1
    for (double start = real_now(); d.pid > 0 && real_now() - start < 40; wait_program(&d, 0)) {
        for (std::size_t i = 0; i < 3; i++) {
            if (bytes req = srv[i].recv(5); req.size() == 48)
                got.emplace_back(i, real_now(), get_ntp_time(&req[40]));
        }
    }
    EXPECT_EQ(d.status, 1);
    ASSERT_EQ(got.size(), 6u);
    for (std::size_t i = 1; i < got.size(); i++) {
        SCOPED_TRACE("request " + std::to_string(i));
        double gap = i % 2 == 1 ? 0.1 : 10.1;  // a retry, or the next server
        EXPECT_EQ(std::get<0>(got[i]), i / 2);
        EXPECT_NEAR(std::get<1>(got[i]) - std::get<1>(got[i - 1]), gap, 0.08);
        EXPECT_NEAR(std::get<2>(got[i]) - std::get<2>(got[i - 1]), gap, 0.08);
    }
    EXPECT_EQ(read_file(d.err_path),
              "Timeserver a did not respond\nTimeserver b did not respond\n"
              "Timeserver c did not respond\nTime update was not successful, exiting...\n");
}

// The schedule lives on the monotonic clock and counts from the end of a
// synchronization; a refused step, and the kernel's refusal to mark the clock
// synchronised, are reported once. The first reply comes after half a second
// and its step is refused; the wall clock is then set back an hour. The next
// requests still come a poll interval (10 s) after each reply, and both later
// steps are made. Takes 20 s.
TEST_F(EngineTest, ScheduleAndRefusalsOutlastAClockSetBackSlow)
{
    temp_dir dir;
    udp_peer srv;
    const std::string offset = dir.write("offset", "-2\n"), fake = dir / "fake.log";
    child_process d = start_daemon(dir, client_conf(srv.port(), "poll_interval = 10\n"
        "recv_timeout = 2000\nlog.stderr = 0\n"), {"QUORIX_FAKE_OFFSET_FILE=" + offset,
        "QUORIX_FAKE_SETTIME_FAIL=1", "QUORIX_FAKE_ADJTIMEX_FAIL=1"});
    child_stopper stop{&d};
    bytes req = srv.recv(5000);
    ASSERT_EQ(req.size(), 48u);
    sleep_ms(500);
    srv.send(make_reply(req, 0), srv.from());
    double replied = real_now();
    wait_for_text(d.err_path, "Failed to set new time", 5);
    write_file(offset, "-3600\n");
    for (std::size_t k = 1; k <= 2; k++) {
        SCOPED_TRACE("request " + std::to_string(k + 1));
        req = srv.serve(0, 15000);
        ASSERT_EQ(req.size(), 48u);
        EXPECT_NEAR(real_now() - replied, 10, 0.2);
        EXPECT_NEAR(get_ntp_time(&req[40]) - real_now(), k == 1 ? -3600 : 0, 1);
        replied = real_now();
        std::string steps;
        for (int i = 0; i < 500 && count(steps = read_file(fake), "settime ") < k; i++)
            sleep_ms(10);
        double requested = 0, real = 0;
        std::sscanf(&steps[steps.rfind("settime ")], "settime %lf %lf", &requested, &real);
        EXPECT_EQ(count(steps, "settime "), k) << steps;
        EXPECT_NEAR(requested, real, 0.05);
    }
    EXPECT_EQ(read_file(d.err_path), "Failed to set new time: Operation not permitted\n"
              "Warning: could not mark the clock as synchronised: Operation not permitted\n");
}

} // namespace
