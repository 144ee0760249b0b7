// The client's decisions on replies and its tries with two servers in turn, on
// a state loaded from a configuration, sending to peers on 127.0.0.1.

#include "client.h"
#include "platform.h"
#include "support.h"

namespace {

struct client_run {
    temp_dir dir;
    loaded l;
    client_state cs{};
    explicit client_run(const std::string &config) : l(load_conf(dir, config))
    {
        l.st->sock = socket(AF_INET, SOCK_DGRAM, 0);
        l.st->current_timeserver = l.st->timeservers.count; // as start-up leaves it
    }
    ~client_run() { close(l.st->sock); }
    timeserver_entry *server(std::size_t i) { return static_cast<timeserver_entry *>(l.st->timeservers.items[i]); }
    int wait_ms() // until the next client event
    {
        timespec now = platform_now(CLOCK_MONOTONIC);
        int wait = 0;
        return client_due(&cs, &now, &wait) ? 0 : wait;
    }
};

ntp_timestamp at(time_t sec, long nsec)
{
    timespec t{sec, nsec};
    return timespec_to_ntp(&t);
}

} // namespace

// Each row alters a good reply or the exchange: the verdict, what the client
// says (log and system log) and whether the synchronization ended. An
// accepted reply schedules the next synchronization an interval later.
TEST(ClientTest, RepliesTheirVerdictsAndMessages)
{
    using v = client_verdict;
    using change = void (*)(client_state &, net_datagram &);
    const std::string took = "Offset: 0.750000 sec\nDelay:  0.500000 sec\nIgnored successful NTP time update\n";
    const std::string ignored = "6:Ignored successful NTP time update\n", unsync = "the server is not synchronised ";
    const std::tuple<change, v, std::string, std::string> rows[] = {
        {[](auto &, auto &) {}, v::accept, took, ignored},
        {[](auto &, auto &d) { d.pkt.stratum = 15; }, v::accept, took, ignored},
        {[](auto &c, auto &) { c.request_pending = false; }, v::no_request, "no request was sent recently", ""},
        {[](auto &, auto &d) { d.src.v4.sin_port = htons(124); }, v::wrong_source,
         "it came from 127.0.0.1:124, not from the time server", ""},
        {[](auto &, auto &d) { d.src.v4.sin_addr.s_addr = htonl(0x7F000002); }, v::wrong_source,
         "it came from 127.0.0.2:123, not from the time server", ""},
        {[](auto &c, auto &) { c.request_sent = false; }, v::bad_origin, "'orig_ts' do not match", ""},
        {[](auto &, auto &d) { d.pkt.orig_ts.frac[3] ^= 1; }, v::bad_origin, "'orig_ts' do not match", ""},
        {[](auto &, auto &d) { d.pkt.stratum = 0; }, v::kiss, "Timeserver 127.0.0.1 sent kiss code 'RATE'\n"
         "Timeserver 127.0.0.1 did not respond\n", "3:Timeserver 127.0.0.1 sent kiss code 'RATE'\n"
         "4:Timeserver 127.0.0.1 did not respond\n"},
        {[](auto &, auto &d) { d.pkt.li_vn_mode = 0xDC; }, v::unsynchronised, unsync + "(leap indicator 3, stratum 2)", ""},
        {[](auto &, auto &d) { d.pkt.stratum = 16; }, v::unsynchronised, unsync + "(leap indicator 0, stratum 16)", ""},
        {[](auto &, auto &d) { d.pkt.recv_ts = {}; }, v::no_time, "zero receive or transmit timestamp", ""},
        {[](auto &, auto &d) { d.pkt.xmit_ts = {}; }, v::no_time, "zero receive or transmit timestamp", ""},
    };
    client_run run("log.stderr = yes\nlog.update_timestamps = no\nupdate_dryrun = yes\nlog.update = yes\n"
                   "poll_interval = 3600\nsyslog.enable = yes\nsyslog.update = yes\n"
                   "syslog.timeserver_response_timeout = yes\ntimeserver.a = 127.0.0.1\n");
    run.server(0)->addr.v4 = {AF_INET, htons(123), {htonl(INADDR_LOOPBACK)}, {}};
    for (const auto &[alter, verdict, err, syslogged] : rows) {
        SCOPED_TRACE(err);
        client_state &cs = run.cs = client_state{};
        cs.cur_server = run.server(0);
        cs.request_pending = cs.request_sent = true;
        cs.sent_ts = cs.left_at = at(1000, 0);
        net_datagram d{};
        d.pkt.li_vn_mode = 0x1C, d.pkt.stratum = 2, d.src = run.server(0)->addr, d.t4 = at(1000, 500'000'000);
        std::memcpy(d.pkt.ref_id, "RATE", 4);
        d.pkt.orig_ts = cs.sent_ts;
        d.pkt.recv_ts = d.pkt.xmit_ts = at(1001, 0);
        alter(cs, d);
        int before = run.server(0)->schedules_since_resolve;
        EXPECT_EQ(client_check_reply(&cs, &d), verdict);
        syslog_since();
        std::string said = stderr_of([&] { client_on_reply(run.l.st.get(), &cs, &d); });
        EXPECT_EQ(said, err.ends_with("\n") ? err : "Invalid packet dropped, " + err + "\n");
        EXPECT_EQ(syslog_since(), syslogged);
        bool ended = verdict == v::accept || verdict == v::kiss;
        EXPECT_EQ(cs.request_pending, !ended && verdict != v::no_request);
        EXPECT_EQ(run.server(0)->schedules_since_resolve, before + (ended ? 1 : 0));
        EXPECT_NEAR(ended ? run.wait_ms() : 3'600'000, 3'600'000, 1000);
    }
}

// Two servers in rotate order, two tries each: both tries go to the first,
// T1 as sent; then it is reported and the next synchronization, an interval
// later, goes to the second, and the next to the first again. A try whose
// lookup does not come back waits resolve_retry_timeout. With
// exit_when_timeout only the last server's silence ends the process.
TEST(ClientTest, TriesAndServersInTurn)
{
    udp_peer a, b;
    client_run run("log.stderr = yes\nnum_update_tries = 2\npoll_interval = 60\nsyslog.enable = yes\n"
                   "syslog.update_req = yes\nexit_when_timeout = yes\ntimeserver.a = 127.0.0.1:" +
                   std::to_string(a.port) + "\ntimeserver.b = 127.0.0.1:" + std::to_string(b.port) + "\n");
    ntp_state *st = run.l.st.get();
    timespec now = platform_now(CLOCK_MONOTONIC);
    client_start(st, &run.cs, &now);
    EXPECT_EQ(run.wait_ms(), 0);
    std::string err = stderr_of([&] {
        for (int i = 0; i < 2; i++) {
            client_on_due(st, &run.cs);
            bytes req = a.recv(1000);
            ASSERT_EQ(req.size(), 48u);
            EXPECT_EQ(std::memcmp(&req[40], &run.cs.sent_ts, 8), 0);
            EXPECT_NEAR(run.wait_ms(), 5000, 100);
        }
        client_on_due(st, &run.cs);
    });
    const std::string starting = "6:Starting synchronization with 127.0.0.1:" + std::to_string(a.port) + "\n";
    EXPECT_EQ(err, "Timeserver 127.0.0.1 did not respond\n");
    EXPECT_EQ(syslog_since(), starting + starting);
    EXPECT_NEAR(run.wait_ms(), 60'000, 100);
    client_on_due(st, &run.cs);
    EXPECT_EQ(b.recv(1000).size(), 48u);
    run.cs.lookup_pending = true;
    EXPECT_EQ(stderr_of([&] { client_on_due(st, &run.cs); }), "Failed to resolve time server address\n");
    EXPECT_NEAR(run.wait_ms(), 1500, 100);
    run.cs.tries_left = 0;
    EXPECT_EXIT(client_on_due(st, &run.cs), ::testing::ExitedWithCode(1), "Time update was not successful");
    st->exit_when_timeout = false;  // then the turn comes back to the first
    std::ignore = stderr_of([&] { client_on_due(st, &run.cs), client_on_due(st, &run.cs); });
    EXPECT_EQ(a.recv(1000).size(), 48u);
}
