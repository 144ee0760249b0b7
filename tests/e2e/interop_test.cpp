// The daemon against other NTP programs on loopback: chronyd as its server
// (-x: never controls the clock) and as its client (-Q: only prints), ntpdig
// as a version 4 client, and the daemon as the server of another one.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

namespace {

constexpr const char *CHRONYD = "/usr/sbin/chronyd";

using InteropTest = daemon_test;

struct PeerInteropTest : daemon_test {
    void SetUp() override
    {
        daemon_test::SetUp();
        for (const char *peer : {CHRONYD, "/usr/bin/ntpdig"}) {
            if (access(peer, X_OK) == 0)
                continue;
            const char *req = std::getenv("QUORIX_REQUIRE_PEERS");
            ASSERT_FALSE(req != nullptr && std::string(req) == "1") << peer << " is not installed";
            GTEST_SKIP() << peer << " is not installed; QUORIX_REQUIRE_PEERS=1 fails instead";
        }
    }
};

void report(const std::string &what, double offset_s)
{
    std::printf("[ measured ] %s: %+.6f s\n", what.c_str(), offset_s);
    ::testing::Test::RecordProperty(what, std::to_string(offset_s));
}

// The daemon, its clock `clock` s off the real one, measures a server whose
// clock is `want` s ahead of its own. One exchange bounds the error of the
// offset by half its round-trip delay, which must itself stay short.
void daemon_measures(const std::string &what, std::uint16_t port, double clock, double want)
{
    temp_dir dir;
    child_process d = start_daemon(dir, client_conf(port, "update_dryrun = 1\nexit_after_update = 1\n"
        "recv_timeout = 200\nnum_update_tries = 25\n"), {"QUORIX_FAKE_OFFSET=" + std::to_string(clock)});
    child_stopper stop{&d};
    ASSERT_TRUE(wait_program(&d, 15));
    std::string err = read_file(d.err_path);
    double offset = seconds_in(err), delay = seconds_in(err, "Delay:  ");
    EXPECT_EQ(d.status, 0) << err;
    report(what, offset);
    report(what + ", delay", delay);
    EXPECT_LT(delay, 0.01);
    EXPECT_NEAR(offset, want, delay / 2 + 0.0005);
}

// The daemon as a server on port, its clock offset_s ahead of the real one.
child_process daemon_server(const temp_dir &dir, std::uint16_t port, double offset_s)
{
    child_process d = start_daemon(dir, "enable_server = 1\nlog.stderr = 1\nlog.config = 1\n"
                                   "bind_port = " + std::to_string(port) + "\n",
                                   {"QUORIX_FAKE_OFFSET=" + std::to_string(offset_s)});
    EXPECT_EQ(reported_port(d.err_path), port);
    return d;
}

TEST_F(PeerInteropTest, DaemonAndChronydMeasureEachOther)
{
    temp_dir dir;
    std::uint16_t port = free_udp_port();
    std::string conf = dir.write("server.conf", "port " + std::to_string(port) +
                                 "\nbindaddress 127.0.0.1\nlocal stratum 10\nallow 127.0.0.1\n"
                                 "cmdport 0\npidfile " + dir / "server.pid" + "\n");
    // Run as root (-u), so that the pid file in our directory stays writable.
    child_process chronyd =
        start_program({CHRONYD, "-x", "-d", "-u", "root", "-t", "60", "-f", conf}, {}, dir);
    child_stopper stop{&chronyd};
    daemon_measures("daemon's offset to chronyd", port, 0, 0);
    daemon_measures("... with the daemon 2.5 s behind", port, -2.5, 2.5);
    stop_program(&chronyd);

    // Polls of 2^-4 s instead of iburst's 2 s keep chronyd's four samples short.
    for (double ahead : {0.0, 1.5}) {
        std::uint16_t server_port = free_udp_port();
        child_process d = daemon_server(dir, server_port, ahead);
        child_stopper stop_server{&d};
        conf = dir.write("client.conf", "server 127.0.0.1 port " + std::to_string(server_port) +
                         " iburst version 3 minpoll -4 maxpoll -4\ncmdport 0\npidfile " +
                         dir / "client.pid" + "\n");
        run_result r = run_program({CHRONYD, "-Q", "-d", "-u", "root", "-t", "20", "-f", conf});
        stop_program(&d);
        double wrong = NAN;
        std::size_t at = r.err.find("System clock wrong by ");
        ASSERT_NE(at, std::string::npos) << r.err;
        std::sscanf(r.err.c_str() + at, "System clock wrong by %lf", &wrong);
        report(ahead == 0 ? "chronyd's offset to the daemon" : "... to it 1.5 s ahead", wrong);
        EXPECT_NEAR(wrong, ahead, 0.005);
    }
}

TEST_F(InteropTest, DaemonMeasuresDaemon)
{
    for (double ahead : {0.0, 1.75}) {
        temp_dir dir;
        std::uint16_t port = free_udp_port();
        child_process server = daemon_server(dir, port, ahead);
        child_stopper stop{&server};
        daemon_measures(ahead == 0 ? "offset to another daemon" : "... to one 1.75 s ahead", port,
                        0, ahead);
    }
}

// ntpdig asks port 123 only. It and the daemon share a network namespace of
// their own, whose loopback leaves the host's port 123 alone.
TEST_F(PeerInteropTest, NtpdigVersionFourGetsNoAnswer)
{
    temp_dir dir;
    std::string conf = dir.write("test.conf", "enable_server = 1\nbind_port = 123\nlog.stderr = 1\n"
                                              "log.config = 1\n");
    std::string env, err_path = dir / "daemon.err";
    for (const std::string &e : fake_clock_options(dir).env)
        env += " '" + e + "'";
    std::string script =
        "ip link set lo up || exit 90\n"
        "env" + env + " timeout 20 " QUORIX_BIN " --disable-d -c " + conf + " 2>" + err_path +
        " & pid=$!\n"
        "for i in $(seq 100); do grep -q 'Local address' " + err_path +
        " && break; sleep 0.05; done\n"
        "/usr/bin/ntpdig -t 1 127.0.0.1; echo \"ntpdig status $?\"\n"
        "kill $pid; wait $pid\n";
    run_result r = run_program({"/usr/bin/unshare", "-n", "--", "/bin/sh", "-c", script});
    std::string err = read_file(err_path);
    ASSERT_NE(r.status, 90) << "no network namespace of our own: " << r.err;
    EXPECT_NE(r.out.find("ntpdig status 1"), std::string::npos) << r.out << r.err;
    EXPECT_NE(err.find("Local address: 0.0.0.0:123\n"
                       "Invalid packet dropped, version 4 is not supported\n"),
              std::string::npos)
        << err;
}

} // namespace
