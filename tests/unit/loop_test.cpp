// The NTP engine: timestamp arithmetic, the request, the server choice,
// start_synchronize, and what the loop does when no server is usable.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "conf.h"
#include "loop.h"
#include "testsupport.h"

namespace {

using bytes = std::vector<std::uint8_t>;

bytes bytes_of(const void *p, std::size_t n = 8)
{
    auto *b = static_cast<const std::uint8_t *>(p);
    return bytes(b, b + n);
}

// NTP seconds (since 1900) as a timestamp.
ntp_timestamp ts_of(double seconds)
{
    auto fixed = static_cast<std::uint64_t>(seconds * 4294967296.0);
    ntp_timestamp ts;
    for (int i = 0; i < 4; i++) {
        ts.sec[i] = static_cast<std::uint8_t>(fixed >> (56 - 8 * i));
        ts.frac[i] = static_cast<std::uint8_t>(fixed >> (24 - 8 * i));
    }
    return ts;
}

// A signed 32.32 value as the daemon prints it.
std::string printed(std::int64_t v)
{
    std::int32_t whole;
    std::uint32_t frac;
    fixed_split(v, &whole, &frac);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%d.%06u", whole, fraction_to_us(frac));
    return buf;
}

// The state as loading and start-up leave it, before the first choice.
state_ptr loaded(const std::string &conf)
{
    temp_dir dir;
    load_result r = load_conf(dir.write("t.conf", conf), false);
    EXPECT_EQ(r.res, 0) << conf << r.err;
    r.st->current_timeserver = r.st->timeservers.count;
    return std::move(r.st);
}

TEST(LoopTest, WireBytesOfTimestampsAndRequest)
{
    const std::pair<timespec, bytes> rows[] = {
        {{0, 0}, {0x83, 0xAA, 0x7E, 0x80, 0, 0, 0, 0}},
        {{0, 999999999}, {0x83, 0xAA, 0x7E, 0x80, 0xFF, 0xFF, 0xFF, 0xFB}},
        {{1700000000, 250000000}, {0xE8, 0xFE, 0x6F, 0x80, 0x40, 0, 0, 0}},
        {{2085978496, 0}, {0, 0, 0, 0, 0, 0, 0, 0}},  // 2036-02-07 06:28:16 UTC
    };
    for (const auto &[t, wire] : rows) {
        SCOPED_TRACE(std::to_string(t.tv_sec) + " s " + std::to_string(t.tv_nsec) + " ns");
        ntp_timestamp ts = timespec_to_ntp(&t);
        EXPECT_EQ(bytes_of(&ts), wire);
    }
    ntp_packet pkt;
    std::fill_n(reinterpret_cast<std::uint8_t *>(&pkt), sizeof(pkt), 0xAA);
    ntp_timestamp t1 = ts_of(3908988800.25);  // 1700000000.25 s since 1970
    ntp_build_request(&pkt, &t1);
    EXPECT_EQ(bytes_of(&pkt, 48),
              (bytes{0xDB, 0x00, 0x0A, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                     0xE8, 0xFE, 0x6F, 0x80, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                     0, 0, 0, 0, 0, 0, 0, 0, 0xE8, 0xFE, 0x6F, 0x80, 0x40, 0, 0, 0}));
}

TEST(LoopTest, OffsetAndDelayPrintWithFlooredSeconds)
{
    const double top = 4294967295;  // the last second before the 2036 wrap
    const std::tuple<const char *, std::vector<double>, const char *, const char *> rows[] = {
        {"server ahead", {100, 100.5, 100.5, 100.25}, "0.375000", "0.250000"},
        {"local 0.25 s ahead", {10, 9.875, 9.875, 10.25}, "-1.750000", "0.250000"},
        {"halving truncates toward zero", {100, 100, 100, 100 + 0x1p-32}, "0.000000", "0.000000"},
        {"server past the wrap", {top, 0.5, 0.5, 0.25}, "0.875000", "1.250000"},
        {"local past the wrap", {0, top, top, 0.25}, "-2.875000", "0.250000"},
    };
    for (const auto &[name, t, offset_text, delay_text] : rows) {
        SCOPED_TRACE(name);
        ntp_timestamp t1 = ts_of(t[0]), t2 = ts_of(t[1]), t3 = ts_of(t[2]), t4 = ts_of(t[3]);
        std::int64_t offset = 0, delay = 0;
        ntp_offset_delay(&t1, &t2, &t3, &t4, &offset, &delay);
        EXPECT_EQ(printed(offset) + " " + printed(delay), offset_text + std::string(" ") + delay_text);
    }
}

TEST(LoopTest, ClockAndDeadlineArithmetic)
{
    const std::int64_t quarter = std::int64_t{1} << 30;
    const std::tuple<timespec, std::int64_t, std::int64_t, timespec> adds[] = {
        // start, a 32.32 offset or else milliseconds, result
        {{1000, 100000000}, -quarter, 0, {999, 850000000}},
        {{1000, 900000000}, quarter, 0, {1001, 150000000}},
        {{1000, 0}, 1, 0, {1000, 0}},  // 2^-32 s is below a nanosecond
        {{5, 600000000}, 0, 1500, {7, 100000000}},
    };
    for (auto [t, offset, ms, want] : adds) {
        SCOPED_TRACE(ms != 0 ? std::to_string(ms) + " ms" : printed(offset) + " s");
        ms != 0 ? timespec_add_ms(&t, ms) : timespec_add_offset(&t, offset);
        EXPECT_EQ(bytes_of(&t, sizeof(t)), bytes_of(&want, sizeof(t)));
    }
    const std::tuple<const char *, timespec, timespec, int> untils[] = {  // wait -1: due
        {"10 ms ahead", {5, 110000000}, {5, 100000000}, 10},
        {"across a second", {6, 100000000}, {5, 900000000}, 200},
        {"equal", {5, 100000000}, {5, 100000000}, -1},
        {"0.4 ms ahead in the same ms", {5, 100400000}, {5, 100000000}, -1},
        {"next ms by 1 ns", {5, 101000000}, {5, 100999999}, 1},
        {"9999.999 s ahead", {10004, 999000000}, {5, 0}, 9999999},
        {"10001 s ahead", {10006, 100000000}, {5, 100000000}, 10000000},
    };
    for (const auto &[name, target, now, want] : untils) {
        SCOPED_TRACE(name);
        int wait = -7;
        EXPECT_EQ(ms_until(&target, &now, &wait) ? -1 : wait, want);
    }
}

TEST(LoopTest, ServerChoiceRotatesAndSkipsUnresolved)
{
    const std::string three = "ignore_unresolved_timeservers = 1\ntimeserver.a = 127.0.0.1\n"
                              "timeserver.b = nowhere\ntimeserver.c = 127.0.0.3\n";
    const std::pair<std::string, std::vector<int>> rows[] = {  // index 3: no server
        {"resolve_timeservers = 0\n" + three, {0, 1, 2, 0}},
        {"resolve_timeservers = 1\n" + three, {0, 2, 0, 2}},
        {"resolve_timeservers = 1\nlazy_resolve_ignored_timeservers = 1\n" + three, {0, 1, 2, 0}},
        {"resolve_timeservers = 1\nignore_unresolved_timeservers = 1\ntimeserver.a = nowhere\n",
         {3, 3}},
        {"server_select = random\nresolve_timeservers = 1\n" + three, {}},
        {"server_select = random\nresolve_timeservers = 0\n" + three, {}},
    };
    for (const auto &[conf, want] : rows) {
        SCOPED_TRACE(conf);
        state_ptr st = loaded(conf);
        std::vector<int> picks, seen(4, 0);
        for (std::size_t i = 0; i < (want.empty() ? 300 : want.size()); i++) {
            void **items = st->timeservers.items, **end = items + st->timeservers.count;
            void *ts = select_timeserver(st.get());
            picks.push_back(ts ? static_cast<int>(std::find(items, end, ts) - items) : 3);
            seen[static_cast<std::size_t>(picks.back())]++;
        }
        if (!want.empty()) {
            EXPECT_EQ(picks, want);
            continue;
        }
        // Random: every server drawn, an unresolved one only when names resolve on use.
        EXPECT_TRUE(seen[0] > 0 && seen[2] > 0 && seen[3] == 0);
        EXPECT_EQ(seen[1] > 0, !st->resolve_timeservers);
        EXPECT_EQ(st->current_timeserver, 3u);
    }
}

TEST(LoopTest, StartSynchronizeSendsOrReports)
{
    const std::string name50(50, 'n'), name51(51, 'm');
    const std::string resolved = "Timeserver address is now 127.0.0.1\n";
    const std::tuple<std::string, bool, std::string, std::string, int> rows[] = {
        // host, working socket, host as the request line shows it, what follows, deadline ms
        {name51, true, name51.substr(0, 47) + "...", resolved, 300},
        {name50, true, name50, resolved, 300},
        {"nowhere", true, "nowhere", "Failed to resolve time server address\n", 700},
        {name50, false, name50,
         resolved + "Failed to send packet to time server: Bad file descriptor\n", 300},
    };
    int peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr *>(&addr), len), 0);
    getsockname(peer, reinterpret_cast<sockaddr *>(&addr), &len);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    seam_hosts({{name50, "127.0.0.1"}, {name51, "127.0.0.1"}});
    for (const auto &[host, good_socket, shown, message, deadline_ms] : rows) {
        SCOPED_TRACE(host + (good_socket ? "" : ", bad socket"));
        state_ptr st = loaded("log.stderr = 1\nlog.update_req = 1\nlog.resolved_timeservers = 1\n"
                              "recv_timeout = 300\nresolve_retry_timeout = 700\n"
                              "timeserver.a = " + host + ":" + port + "\n");
        st->sock = good_socket ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
        ntp_timestamp sent = ts_of(0);
        ntp_packet pkt{};
        timespec deadline{}, now{};
        int res = 0;
        std::string text = stderr_of([&] {
            auto *ts = static_cast<timeserver_entry *>(st->timeservers.items[0]);
            res = start_synchronize(st.get(), &sent, &pkt, &deadline, ts);
            clock_gettime(CLOCK_MONOTONIC, &now);
        });
        std::size_t at = text.find(" at ") + 4;  // 27 bytes of time: "2026-12-05 11:30:00.123 UTC"
        EXPECT_EQ(text.substr(0, at) + text.substr(at + 27),
                  "Synchronize with " + shown + ":" + port + " at \n" + message);
        EXPECT_EQ(res, host == "nowhere" ? -1 : 0);
        EXPECT_NEAR(double(deadline.tv_sec - now.tv_sec) * 1e3 +
                        double(deadline.tv_nsec - now.tv_nsec) * 1e-6, deadline_ms, 2);
        // The request arrives as built, with T1 as its transmit time.
        std::uint8_t got[64];
        pollfd pfd{peer, POLLIN, 0};
        bool arrived = poll(&pfd, 1, 100) == 1 && recv(peer, got, sizeof(got), 0) == 48;
        EXPECT_EQ(arrived, res == 0 && good_socket);
        EXPECT_TRUE(!arrived ||
                    (bytes_of(got, 48) == bytes_of(&pkt, 48) && bytes_of(got + 40) == bytes_of(&sent)));
        EXPECT_EQ(bytes_of(&sent) == bytes(8, 0), res != 0);  // T1 only from a built request
        close(st->sock);
    }
    close(peer);
}

// With names resolved at load only and none resolved any more, each schedule
// reports and waits a whole interval; with exit_when_timeout the first ends it.
TEST(LoopTest, NoResolvedServerSkipsTheSchedule)
{
    state_ptr st = loaded("enable_client = 1\nresolve_timeservers = 1\n"
                          "ignore_unresolved_timeservers = 1\ntimeserver.a = 127.0.0.1:9\n");
    static_cast<timeserver_entry *>(st->timeservers.items[0])->resolved = false;
    st->sock = socket(AF_INET, SOCK_DGRAM, 0);
    st->poll_interval = 1;
    const std::string skipped = "No resolved timeserver is available, synchronization skipped\n";
    auto run_for_1500_ms = [&st] {
        itimerval stop{{0, 0}, {1, 500000}};
        setitimer(ITIMER_REAL, &stop, nullptr);
        main_loop(st.get());
    };
    EXPECT_EXIT(run_for_1500_ms(), ::testing::KilledBySignal(SIGALRM), "^(" + skipped + "){2}$");
    st->exit_when_timeout = true;
    EXPECT_EXIT(main_loop(st.get()), ::testing::ExitedWithCode(1),
                "^" + skipped + "Time update was not successful, exiting...\n$");
    close(st->sock);
}

} // namespace
