// The daemon on loopback with chronyd as its server (-x) and client (-Q, in
// version 3 and in its own version 4), over IPv4 and IPv6, with another
// daemon, and with ntpdig over both (version 4, port 123: in a namespace of
// its own).

#include "support.h"

namespace {

constexpr const char *CHRONYD = "/usr/sbin/chronyd";
using InteropTest = daemon_test;

// The daemon, `clock` s off, measures a server `want` s ahead within half the delay.
void daemon_measures(std::uint16_t port, double clock, double want, const char *host = "127.0.0.1")
{
    temp_dir dir;
    auto d = start(dir, client_conf(port, "update_dryrun = 1\nexit_after_update = 1\nrecv_timeout = 200\n"
                   "num_update_tries = 25\n", host), {"QUORIX_FAKE_OFFSET=" + std::to_string(clock)});
    ASSERT_TRUE(d->wait(15));
    std::string err = read_file(d->err);
    double offset = seconds_in(err), delay = seconds_in(err, "Delay:  ");
    std::printf("[ measured ] offset %+.6f s (want %+.6f), delay %.6f s\n", offset, want, delay);
    EXPECT_TRUE(d->status == 0 && delay < 0.01) << err;
    EXPECT_NEAR(offset, want, delay / 2 + 0.0005);
}

// chronyd -Q's offset to the server on port, or NAN when it took no time from it.
double chronyd_offset(const temp_dir &dir, std::uint16_t port, const std::string &options, int seconds,
                      const char *host = "127.0.0.1")
{
    // Polls of 2^-4 s instead of iburst's 2 s keep chronyd's four samples short.
    process chronyd(dir, {"-Q", "-d", "-u", "root", "-t", std::to_string(seconds), "-f", dir.write("c.conf",
        "server " + std::string(host) + " port " + std::to_string(port) + " iburst minpoll -4 maxpoll -4" + options +
        "\ncmdport 0\npidfile " + dir / "c.pid\n")}, {}, "", false, CHRONYD);
    EXPECT_TRUE(chronyd.wait(seconds + 5));
    std::string err = read_file(chronyd.err);
    std::size_t at = err.find("System clock wrong by ");
    double wrong = at == std::string::npos ? NAN : std::strtod(&err[at + 22], nullptr);
    std::printf("[ measured ] chronyd -Q%s: %+.6f s\n", options.c_str(), wrong);
    return wrong;
}

} // namespace

TEST_F(InteropTest, ChronydNtpdigAndTheDaemonItself)
{
    const char *required = std::getenv("QUORIX_REQUIRE_PEERS");
    for (const char *peer : {CHRONYD, "/usr/bin/ntpdig"}) {
        if (access(peer, X_OK) != 0 && required != nullptr && *required == '1')
            FAIL() << peer << " is not installed";
        if (access(peer, X_OK) != 0)
            GTEST_SKIP() << peer << " is not installed; QUORIX_REQUIRE_PEERS=1 fails instead";
    }
    temp_dir dir;
    std::uint16_t port = udp_peer().port;
    {  // as root (-u), so that the pid file in our directory stays writable
        process chronyd(dir, {"-x", "-d", "-u", "root", "-t", "60", "-f", dir.write("s.conf", "port " +
            std::to_string(port) + "\nbindaddress 127.0.0.1\nbindaddress ::1\nlocal stratum 10\nallow 127.0.0.1\n"
            "allow ::1\ncmdport 0\npidfile " + dir / "s.pid\n")}, {}, "", false, CHRONYD);
        udp_peer probe;  // chronyd answers once it is ready
        for (int i = 0; i < 100 && probe.recv(100).empty(); i++)
            probe.send(std::array<std::uint8_t, 48>{0x1B}, port);
        daemon_measures(port, -2.5, 2.5);
        daemon_measures(port, 1.25, -1.25, "[::1]");
    }
    for (double ahead : {0.0, 1.5}) {  // chronyd asks in version 3, then in version 4
        port = udp_peer().port;
        auto d = start(dir, "enable_server = 1\nserver_ipv6 = 1\nlog.stderr = 1\nlog.config = 1\nserver_answer_v4 = " +
                       std::to_string(ahead > 0) + "\nbind_port = " + std::to_string(port) + "\n",
                       {"QUORIX_FAKE_OFFSET=" + std::to_string(ahead)});
        wait_text(d->err, "Local address: ");
        daemon_measures(port, 0, ahead);
        for (const char *host : {"127.0.0.1", "::1"})
            EXPECT_NEAR(chronyd_offset(dir, port, ahead > 0 ? "" : " version 3", 20, host), ahead, 0.005);
    }
    const std::string script = "ip link set lo up || exit 90\nenv QUORIX_FAKE_LOG=" + dir / "fake.log" +
        " LD_PRELOAD=" QUORIX_SHIM " ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 timeout 20 " QUORIX_BIN
        " --disable-d -c " + dir.write("t.conf", "enable_server = 1\nbind_port = 123\nlog.stderr = 1\n"
        "server_answer_v4 = 1\nserver_require_sync = 1\nserver_ipv6 = 1\n") +
        " 2>" + dir / "d.err & pid=$!\nfor i in $(seq 100); do ss -Hlun | grep -q ':123 ' && break; sleep 0.05; done\n"
        "/usr/bin/ntpdig -t 1 127.0.0.1; echo \"ntpdig status $?\"\n/usr/bin/ntpdig -6 -t 1 ::1; echo \"status $?\"\n"
        "kill $pid; wait $pid\n";
    process sh(dir, {"-n", "--", "/bin/sh", "-c", script}, {}, "", false, "/usr/bin/unshare");
    ASSERT_TRUE(sh.wait(30));
    ASSERT_NE(sh.status, 90) << "no network namespace of our own: " << read_file(sh.err);
    std::string out = read_file(sh.out);
    std::printf("[ measured ] ntpdig: %s", out.c_str());
    for (const char *said : {" 127.0.0.1 s8 no-leap\nntpdig status 0\n", " ::1 s8 no-leap\nstatus 0\n"})
        EXPECT_NE(out.find(said), out.npos) << out << read_file(dir / "d.err");
}
