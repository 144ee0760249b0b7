// The daemon on loopback with chronyd as its server (-x) and client (-Q), with
// another daemon, and with ntpdig (version 4, port 123: in a namespace of its own).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>

#include "support.h"

namespace {

constexpr const char *CHRONYD = "/usr/sbin/chronyd";
using InteropTest = daemon_test;

// The daemon, `clock` s off, measures a server `want` s ahead within half the delay.
void daemon_measures(std::uint16_t port, double clock, double want)
{
    temp_dir dir;
    auto d = start(dir, client_conf(port, "update_dryrun = 1\nexit_after_update = 1\nrecv_timeout = 200\n"
                   "num_update_tries = 25\n"), {"QUORIX_FAKE_OFFSET=" + std::to_string(clock)});
    ASSERT_TRUE(d->wait(15));
    std::string err = read_file(d->err);
    double offset = seconds_in(err), delay = seconds_in(err, "Delay:  ");
    std::printf("[ measured ] offset %+.6f s (want %+.6f), delay %.6f s\n", offset, want, delay);
    EXPECT_TRUE(d->status == 0 && delay < 0.01) << err;
    EXPECT_NEAR(offset, want, delay / 2 + 0.0005);
}

} // namespace

TEST_F(InteropTest, ChronydNtpdigAndTheDaemonItself)
{
    for (const char *peer : {CHRONYD, "/usr/bin/ntpdig"}) {
        const char *req = std::getenv("QUORIX_REQUIRE_PEERS");
        if (access(peer, X_OK) != 0 && req != nullptr && *req == '1')
            FAIL() << peer << " is not installed";
        if (access(peer, X_OK) != 0)
            GTEST_SKIP() << peer << " is not installed; QUORIX_REQUIRE_PEERS=1 fails instead";
    }
    temp_dir dir;
    std::uint16_t port = udp_peer().port;
    {  // as root (-u), so that the pid file in our directory stays writable
        process chronyd(dir, {"-x", "-d", "-u", "root", "-t", "60", "-f", dir.write("s.conf", "port " +
            std::to_string(port) + "\nbindaddress 127.0.0.1\nlocal stratum 10\nallow 127.0.0.1\ncmdport 0\n"
            "pidfile " + dir / "s.pid\n")}, {}, "", false, CHRONYD);
        udp_peer probe;  // chronyd answers once it is ready
        for (int i = 0; i < 100 && probe.recv(100).empty(); i++)
            probe.send(std::array<std::uint8_t, 48>{0x1B}, port);
        daemon_measures(port, 0, 0);
        daemon_measures(port, -2.5, 2.5);
    }
    for (double ahead : {0.0, 1.5}) {
        port = udp_peer().port;
        auto d = start(dir, "enable_server = 1\nlog.stderr = 1\nlog.config = 1\nbind_port = " + std::to_string(port) +
                       "\n", {"QUORIX_FAKE_OFFSET=" + std::to_string(ahead)});
        ASSERT_EQ(reported_port(d->err), port);
        daemon_measures(port, 0, ahead);
        // Polls of 2^-4 s instead of iburst's 2 s keep chronyd's four samples short.
        process chronyd(dir, {"-Q", "-d", "-u", "root", "-t", "20", "-f", dir.write("c.conf", "server 127.0.0.1 "
            "port " + std::to_string(port) + " iburst version 3 minpoll -4 maxpoll -4\ncmdport 0\npidfile " +
            dir / "c.pid\n")}, {}, "", false, CHRONYD);
        ASSERT_TRUE(chronyd.wait(25));
        std::string err = read_file(chronyd.err);
        std::size_t at = err.find("System clock wrong by ");
        double wrong = at == std::string::npos ? NAN : std::strtod(&err[at + 22], nullptr);
        std::printf("[ measured ] chronyd's offset to the daemon %.1f s ahead: %+.6f s\n", ahead, wrong);
        EXPECT_NEAR(wrong, ahead, 0.005);
    }
    const std::string script = "ip link set lo up || exit 90\nenv QUORIX_FAKE_LOG=" + dir / "fake.log" +
        " LD_PRELOAD=" QUORIX_SHIM " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 timeout 20 " QUORIX_BIN
        " --disable-d -c " + dir.write("t.conf", "enable_server = 1\nbind_port = 123\nlog.stderr = 1\n"
        "log.config = 1\n") +
        " 2>" + dir / "d.err & pid=$!\nfor i in $(seq 100); do grep -q 'Local address' " + dir / "d.err" +
        " && break; sleep 0.05; done\n/usr/bin/ntpdig -t 1 127.0.0.1; echo \"ntpdig status $?\"\n"
        "kill $pid; wait $pid\n";
    process sh(dir, {"-n", "--", "/bin/sh", "-c", script}, {}, "", false, "/usr/bin/unshare");
    ASSERT_TRUE(sh.wait(30));
    ASSERT_NE(sh.status, 90) << "no network namespace of our own: " << read_file(sh.err);
    EXPECT_NE(read_file(sh.out).find("ntpdig status 1"), std::string::npos) << read_file(sh.out);
    EXPECT_NE(read_file(dir / "d.err").find("Local address: 0.0.0.0:123\nInvalid packet dropped, version 4 is not "
              "supported\n"), std::string::npos) << read_file(dir / "d.err");
}
