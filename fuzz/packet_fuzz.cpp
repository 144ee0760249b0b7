// Fuzzes the handling of a received packet by the client and the server. The
// first byte chooses the server role (bit 0), an IPv6 source (1), a pending
// request (2) that was sent (3) with the packet's origin as its T1 (4), and a
// source port other than the server's (5); the packet follows.
// Only a reply from the server to the request sent, from a synchronised
// server (leap indicator not 3, stratum 1 to 15) with its times, updates the
// clock (dry run: the system log's line is counted here), and only that or a
// kiss-o'-death (stratum 0) ends the wait. Only a request from IPv4 to a
// server is answered, in kind. clock_settime is a trap.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <tuple>

#include "client.h"
#include "server.h"

static int updates;

extern "C" int __wrap_clock_settime(clockid_t, const timespec *)
{
    __builtin_trap();
}

extern "C" void __wrap_syslog(int, const char *, ...)
{
    updates++;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static ntp_state st{};
    static timeserver_entry server{};
    static server_state ss{};
    if (server.host == nullptr) {
        std::ignore = std::freopen("/dev/null", "w", stderr);  // kiss codes are reported there
        st.update_dryrun = st.enable_client = st.log_bad_orig_ts = st.syslog_enable = st.syslog_update = true;
        server.host = const_cast<char *>("fuzz");
        server.addr = {AF_INET, htons(123), {htonl(INADDR_LOOPBACK)}, {}};
        server_init(&ss);
    }
    if (size < 1 + NTP_PACKET_SIZE)
        return 0;
    const std::uint8_t mode = data[0];
    net_datagram d{};
    std::memcpy(&d.pkt, data + 1, NTP_PACKET_SIZE);
    const ntp_packet &in = d.pkt;
    d.src = server.addr;
    d.src_len = sizeof(d.src);
    d.src.sin_family = (mode & 2) ? AF_INET6 : AF_INET;
    d.src.sin_port = static_cast<std::uint16_t>(server.addr.sin_port + ((mode & 32) ? 1 : 0));
    st.enable_server = mode & 1;
    client_state cs{};
    cs.request_pending = mode & 4;
    cs.request_sent = mode & 8;
    cs.sent_ts = cs.left_at = (mode & 16) ? in.orig_ts : ntp_timestamp{};
    cs.cur_server = &server;

    int updates_before = updates;
    client_verdict verdict = client_check_reply(&cs, &d);
    client_on_reply(&st, &cs, &d);
    static constexpr std::uint8_t zero[8] = {};
    bool ours = (mode & 12) == 12 && !(mode & 34) && !std::memcmp(&in.orig_ts, &cs.sent_ts, 8);
    bool kiss = ours && in.stratum == 0;
    bool accepted = ours && in.stratum > 0 && in.stratum < 16 && ntp_leap(&in) != 3 &&
                    std::memcmp(&in.recv_ts, zero, 8) && std::memcmp(&in.xmit_ts, zero, 8);
    if ((verdict == client_verdict::accept) != accepted || (updates != updates_before) != accepted || cs.request_pending != ((mode & 4) && !accepted && !kiss))
        __builtin_trap();

    ss.tx.count = 0;
    server_on_request(&st, &ss, &d, false);
    ntp_packet out;
    std::memcpy(&out, ss.tx.data[0], sizeof(out));
    if ((ss.tx.count == 1) != ((mode & 1) && !(mode & 2)) ||
        (ss.tx.count == 1 && (out.stratum != NTP_SERVER_STRATUM || ntp_mode(&out) != NTP_MODE_SERVER ||
                              ntp_version(&out) != ntp_version(&in) || std::memcmp(&out.orig_ts, &in.xmit_ts, 8))))
        __builtin_trap();
    return 0;
}
