// Whom the server serves.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "server.h"
#include "support.h"

// Denied networks are never served; when networks are allowed, only those.
// Prefixes end inside a byte, and an address given with host bits counts as
// its network.
TEST(ServerTest, WhomItServes)
{
    const std::tuple<std::string, std::string> rows[] = {  // configuration; served among .0.1, .1.5, .1.200, .7.7
        {"", "1111"}, {"server_deny.a = 192.168.1.128/25\n", "1101"},
        {"server_allow.a = 192.168.1.77/24\n", "0110"}, {"server_allow.a = 192.168.0.0/23\n", "1110"},
        {"server_allow.a = 192.168.0.0/16\nserver_deny.b = 192.168.1.5\n", "1011"},
        {"server_allow.a = 192.168.7.7/32\nserver_allow.b = 192.168.0.1/31\n", "1001"}, {"server_deny.a = 0.0.0.0/0\n", "0000"},
    };
    for (const auto &[config, want] : rows) {
        temp_dir dir;
        loaded l = load_conf(dir, config + "\n");
        ASSERT_EQ(l.res, 0) << l.err;
        std::string served;
        for (const char *a : {"192.168.0.1", "192.168.1.5", "192.168.1.200", "192.168.7.7"}) {
            in_addr addr;
            inet_aton(a, &addr);
            served += server_serves(l.st.get(), AF_INET, reinterpret_cast<const std::uint8_t *>(&addr)) ? "1" : "0";
        }
        EXPECT_EQ(served, want) << config;
    }
}
