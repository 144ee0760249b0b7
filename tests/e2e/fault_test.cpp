// Faults met by the running daemon: bad replies, failing lookups, sends,
// clock steps and kernel calls, a flood of malformed datagrams, a wall clock
// set back and a log file that can no longer be written.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <tuple>

#include "harness.h"

namespace {

using bytes = std::vector<std::uint8_t>;

using FaultTest = daemon_test;

// One synchronization outlasts what goes wrong before the good reply: replies
// with a zero receive or transmit time (dropped, the wait goes on), lookups
// failing per request (the try waits resolve_retry_timeout) or at load (the
// name is then resolved when the server is chosen).
TEST_F(FaultTest, SynchronizationOutlastsBadRepliesAndFailedLookups)
{
    const std::string zero = "Invalid packet dropped, zero receive or transmit timestamp\n";
    const std::string failed = "Failed to resolve time server address\n";
    const std::string now = "Timeserver address is now 127.0.0.1\n";
    const std::tuple<std::string, int, std::vector<int>, std::string, std::size_t> rows[] = {
        // configuration, failing lookups, fields zeroed in bad replies, stderr before, lookups
        {"", 0, {32, 40}, now + zero + zero, 1},
        {"log.bad_orig_ts = 0\n", 0, {32, 40}, now, 1},
        {"", 2, {}, failed + failed + now, 3},
        {"resolve_timeservers = 1\nignore_unresolved_timeservers = 1\n"
         "lazy_resolve_ignored_timeservers = 1\n", 1, {},
         "Warning: one or more timeservers remained unresolved.\n" + now, 2},
    };
    for (const auto &[conf, fails, zeroed, before, lookups] : rows) {
        SCOPED_TRACE(conf + std::to_string(fails));
        temp_dir dir;
        udp_peer srv;
        child_process d = start_daemon(dir, client_conf(srv.port(), conf +
            "num_update_tries = 3\nrecv_timeout = 1000\nresolve_retry_timeout = 100\n"
            "update_dryrun = 1\nexit_after_update = 1\nlog.resolved_timeservers = 1\n"
            "log.update_timestamps = 0\n", "ntp.test"), {"QUORIX_FAKE_OFFSET=-2.5",
            "QUORIX_FAKE_HOSTS=ntp.test=127.0.0.1",
            "QUORIX_FAKE_RESOLVE_FAIL=" + std::to_string(fails)});
        child_stopper stop{&d};
        bytes req;
        sockaddr_in from{};
        ASSERT_EQ(srv.recv(&req, &from, 5000), 48);
        for (int at : zeroed) {
            packet48 bad = make_reply(req.data(), 0);
            std::fill(bad.begin() + at, bad.begin() + at + 8, 0);
            srv.send(bad.data(), bad.size(), from);
        }
        packet48 good = make_reply(req.data(), 0);
        srv.send(good.data(), good.size(), from);
        ASSERT_TRUE(wait_program(&d, 10));
        EXPECT_EQ(d.status, 0);
        EXPECT_TRUE(read_file(d.err_path).starts_with(before + "Offset: 2.5"))
            << read_file(d.err_path);
        EXPECT_EQ(count(read_file(dir / "fake.log"), "lookup ntp.test\n"), lookups);
    }
}

// A failed send is a try like any other, so the next one goes out a whole
// recv_timeout later; a refused clock step is reported once, and the next
// request waits for the poll interval. Times are counted from the error. After
// a step the kernel is told that the clock is synchronised, within half the
// round trip, keeping its other status bits.
TEST_F(FaultTest, FailedSendOrStepIsReportedOnceWithoutAStorm)
{
    const std::tuple<const char *, std::string, std::vector<double>, bool> rows[] = {
        // environment, standard error, request times, clock marked synchronised
        {"QUORIX_FAKE_SENDTO_FAIL=1",
         "Failed to send packet to time server: Network is unreachable\n", {0.4}, true},
        {"QUORIX_FAKE_SETTIME_FAIL=1", "Failed to set new time: Operation not permitted\n", {0},
         false},
    };
    for (const auto &[env, want, times, marked] : rows) {
        SCOPED_TRACE(env);
        temp_dir dir;
        udp_peer srv;
        child_process d = start_daemon(dir, client_conf(srv.port(), "num_update_tries = 3\n"
            "recv_timeout = 400\npoll_interval = 10\nlog.stderr = 0\n"), {env});
        child_stopper stop{&d};
        std::vector<double> got;
        double error_at = 0;
        bytes req;
        sockaddr_in from{};
        for (double end = real_now() + 20; real_now() < end;) {
            if (srv.recv(&req, &from, 5) == 48) {
                got.push_back(real_now());
                packet48 rep = make_reply(req.data(), 0);
                srv.send(rep.data(), rep.size(), from);
            }
            if (error_at == 0 && !read_file(d.err_path).empty())
                end = (error_at = real_now()) + 1.5;
        }
        EXPECT_FALSE(wait_program(&d, 0));
        EXPECT_EQ(read_file(d.err_path), want);
        ASSERT_EQ(got.size(), times.size());
        for (std::size_t i = 0; i < got.size(); i++)
            EXPECT_NEAR(got[i] - error_at, times[i], 0.15) << i;
        // ADJ_STATUS | ADJ_MAXERROR | ADJ_ESTERROR; STA_PLL kept, STA_UNSYNC cleared.
        const std::string fake = read_file(dir / "fake.log"), write = "modes=28 status=1 maxerror=";
        long max = -1, est = -2;  // microseconds
        if (std::size_t at = fake.find(write); at != std::string::npos)
            std::ignore = std::sscanf(&fake[at + write.size()], "%ld esterror=%ld", &max, &est);
        EXPECT_EQ(max == est && max >= 0 && max < 100000, marked) << fake;
    }
}

// A refusal to mark the clock synchronised would repeat at every update: it is
// reported at the first only. Takes one poll interval (10 s).
TEST_F(FaultTest, SynchronisedStatusRefusedOnceSlow)
{
    temp_dir dir;
    udp_peer srv;
    child_process d = start_daemon(dir, client_conf(srv.port(), "poll_interval = 10\n"
        "log.stderr = 0\n"), {"QUORIX_FAKE_ADJTIMEX_FAIL=1", "QUORIX_FAKE_OFFSET=-2"});
    child_stopper stop{&d};
    sockaddr_in from{};
    ASSERT_EQ(serve_one(&srv, 0, &from).size(), 48u);
    ASSERT_EQ(serve_one(&srv, 0, &from, 15000).size(), 48u);
    for (int k = 0; k < 200 && count(read_file(dir / "fake.log"), "settime ") < 2; k++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(count(read_file(dir / "fake.log"), "settime "), 2u);
    EXPECT_EQ(read_file(d.err_path),
              "Warning: could not mark the clock as synchronised: Operation not permitted\n");
}

// Schedules are on the monotonic clock: the wall clock set back an hour
// during the poll interval (10 s) does not move the next request.
TEST_F(FaultTest, WallClockSetBackKeepsTheScheduleSlow)
{
    temp_dir dir;
    udp_peer srv;
    const std::string offset = dir / "offset";
    child_process d = start_daemon(dir, client_conf(srv.port(),
        "poll_interval = 10\nupdate_dryrun = 1\n"), {"QUORIX_FAKE_OFFSET_FILE=" + offset});
    child_stopper stop{&d};
    sockaddr_in from{};
    ASSERT_EQ(serve_one(&srv, 0, &from).size(), 48u);
    double first = real_now();
    wait_for_text(d.err_path, "Delay:", 5);
    write_file(offset, "-3600\n");
    bytes req;
    ASSERT_EQ(srv.recv(&req, &from, 15000), 48);
    EXPECT_NEAR(real_now() - first, 10, 1);
    EXPECT_NEAR(get_ntp_time(&req[40]) - real_now(), -3600, 1);
}

// A flood of random datagrams of up to 100 bytes, with every first byte,
// between valid requests, while the log file's directory is gone or the log
// file refuses every write: each request is answered (matched by its transmit
// time) and logged to standard error, and the daemon's memory and descriptors
// stay as they were after its first half second. The rotation that finds the
// directory gone is reported once and ends file logging.
TEST_F(FaultTest, MalformedFloodWithoutALogFile)
{
    for (const std::string file : {"logs/ntp.log", "/dev/full"}) {
        SCOPED_TRACE(file);
        temp_dir dir;
        ASSERT_EQ(mkdir((dir / "logs").c_str(), 0700), 0);
        const std::string path = file[0] == '/' ? file : dir / file;
        std::uint16_t port = free_udp_port();
        child_process d = start_daemon(dir, "enable_server = 1\nlog.stderr = 1\nlog.config = 1\n"
            "log.incoming_update_req = 1\nlog.enable = 1\nlog.filename = " + path +
            "\nlogrotate.max_size = 1\nsyslog.enable = 1\nbind_port = " +
            std::to_string(port) + "\n");
        child_stopper stop{&d};
        ASSERT_EQ(reported_port(d.err_path, 10), port);
        remove_tree(dir / "logs");
        const std::string proc = "/proc/" + std::to_string(d.pid);
        auto usage = [&proc] {  // resident KiB, open descriptors
            std::string status = read_file(proc + "/status");
            return std::pair(std::stol(status.substr(status.find("VmRSS:") + 6)),
                             std::distance(std::filesystem::directory_iterator(proc + "/fd"), {}));
        };
        udp_peer peer;
        std::mt19937 rng(7);
        bytes junk, rep;
        std::pair<long, long> early{}, late{};
        std::size_t asked = 0, answered = 0, requests = 0;
        for (double start = real_now(); real_now() - start < 1.5; asked++) {
            for (unsigned k = 0; k < 20; k++) {
                junk.resize(rng() % 101);
                for (std::uint8_t &b : junk)
                    b = static_cast<std::uint8_t>(rng());
                if (!junk.empty())
                    junk[0] = static_cast<std::uint8_t>(asked * 20 + k);
                // Logged and answered as a request: VN 0 to 3, mode 3, 48 bytes or more.
                requests += junk.size() >= 48 && (junk[0] & 0x27) == 3;
                peer.send_to_port(junk.data(), junk.size(), port);
            }
            packet48 req{0x1B};  // VN 3, mode 3
            std::memcpy(&req[40], &asked, sizeof(asked));
            peer.send_to_port(req.data(), req.size(), port);
            for (int n = 0; n < 30 && peer.recv(&rep, nullptr, 2000) >= 0; n++) {
                if (rep.size() == 48 && std::equal(req.begin() + 40, req.end(), rep.begin() + 24)) {
                    answered++;
                    break;
                }
            }
            (real_now() - start < 0.5 ? early : late) = usage();
        }
        EXPECT_FALSE(wait_program(&d, 0));
        EXPECT_EQ(answered, asked);
        EXPECT_GT(asked, 50u);
        EXPECT_LT(late.first - early.first, 256) << early.first << " KiB, then " << late.first;
        EXPECT_EQ(late.second, early.second);
        EXPECT_EQ(count(read_file(d.err_path), "Synchronization request from 127.0.0.1:"),
                  asked + requests);
        EXPECT_EQ(count(read_file(dir / "fake.log"), "]: Could not open '" + path +
                        "' for write after log rotate: No such file or directory\n"),
                  file[0] == '/' ? 0u : 1u);
    }
}

} // namespace
