// The server's answers: which requests are answered, and the batch that
// carries the answers out.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include "server.h"
#include "support.h"

// Requests from IPv4 and IPv6, to a server and to a daemon that does not
// serve, before and after the clock is set (server_require_sync). Answers wait
// in the batch until it is full or flushed; R is the kernel's receive time.
TEST(ServerTest, WhatIsAnsweredAndWhen)
{
    temp_dir dir;
    udp_peer client;
    loaded l = load_conf(dir.write("s.conf",
                                   "log.stderr = yes\nlog.incoming_update_req = yes\nlog.ignored_req = yes\n"
                                   "enable_client = yes\nserver_require_sync = yes\n"),
                         false);
    ntp_state *st = l.st.get();
    st->sock = socket(AF_INET, SOCK_DGRAM, 0);
    server_state ss{};
    server_init(&ss);
    net_datagram d{};
    d.src = {AF_INET, htons(client.port), {htonl(INADDR_LOOPBACK)}, {}};
    d.src_len = sizeof(d.src);
    timespec r{1'700'000'000, 250'000'000};
    d.t4 = timespec_to_ntp(&r);
    d.kernel_time = true;
    const std::string from = "127.0.0.1:" + std::to_string(client.port);
    const std::tuple<int, bool, bool, std::string, int> rows[] = {
        // family, serving, clock set, stderr, stratum
        {AF_INET, true, true, "Synchronization request from " + from + " at 2023-11-14 22:13:20.250 UTC\n", 8},
        {AF_INET, true, false, "", 16},
        {AF_INET6, true, true, "Ignoring incoming packet of an unsupported protocol (family: 10)\n", -1},
        {AF_INET, false, true, "Ignoring update request from " + from + ", server mode is not enabled\n", -1},
    };
    for (const auto &[family, serving, synced, err, stratum] : rows) {
        d.src.sin_family = static_cast<sa_family_t>(family);
        st->enable_server = serving;
        bool set = synced;
        std::string said = stderr_of([&] { server_on_request(st, &ss, &d, set); });
        EXPECT_TRUE(err.empty() || said == err) << said;
        server_flush(st, &ss);
        bytes got = client.recv(stratum < 0 ? 50 : 1000);
        ASSERT_EQ(got.size(), stratum < 0 ? 0u : 48u) << err;
        EXPECT_TRUE(got.empty() || (got[1] == stratum && std::equal(got.begin() + 32, got.begin() + 40, d.t4.sec)));
    }
    d.kernel_time = false, d.src.sin_family = AF_INET, st->enable_server = true;
    stderr_of([&] {
        for (unsigned i = 0; i <= NET_BATCH; i++)
            server_on_request(st, &ss, &d, true);
    });
    for (unsigned i = 0; i < NET_BATCH; i++)
        ASSERT_EQ(client.recv(1000).size(), 48u) << i;
    EXPECT_TRUE(client.recv(50).empty());
    server_flush(st, &ss);
    bytes last = client.recv(1000);
    ASSERT_EQ(last.size(), 48u);
    EXPECT_NEAR(ntp_seconds(&last[32]), real_now(), 0.5);
    close(st->sock);
}
