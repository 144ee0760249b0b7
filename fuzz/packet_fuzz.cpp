// Fuzzes the receive path on a real socket of 127.0.0.1 that the server role
// answers into: the first byte chooses the server role (bit 0), an IPv6 source
// (1), a pending request (2) that was sent (3) with the packet's origin as its
// T1 (4), a source port other than the server's (5, which also takes the
// answer to a request elsewhere); the datagram follows.
// Only an answerable request is answered; only a reply from the server to the
// request sent, from a synchronised server (leap indicator not 3, stratum 1 to
// 15) with its times, updates the clock, and only that or a kiss-o'-death
// (stratum 0) ends the wait. Dry run (the update shows in the system log, a
// counter here); clock_settime is a trap.
#include <arpa/inet.h>

#include <cstring>

#include "loop.h"

static int updates;  // successful updates, as the system log saw them

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
    static sockaddr_in self{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    if (st.sock == 0) {
        socklen_t len = sizeof(self);
        st.sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        bind(st.sock, reinterpret_cast<sockaddr *>(&self), len);
        getsockname(st.sock, reinterpret_cast<sockaddr *>(&self), &len);
        st.update_dryrun = st.enable_client = st.log_bad_orig_ts = st.syslog_enable = st.syslog_update = true;
        server.host = const_cast<char *>("fuzz");
        server.addr = self;
    }
    if (size < 1 + NTP_PACKET_SIZE)
        return 0;  // the loop ignores datagrams shorter than a packet
    const std::uint8_t mode = data[0];
    loop_state ls{};
    std::memcpy(&ls.pkt, data + 1, NTP_PACKET_SIZE);
    const ntp_packet in = ls.pkt;
    st.enable_server = mode & 1;
    ls.src = self;
    ls.src_len = sizeof(self);
    ls.src.sin_family = (mode & 2) ? AF_INET6 : AF_INET;
    ls.src.sin_port = static_cast<std::uint16_t>(self.sin_port + ((mode & 32) ? 1 : 0));
    ls.request_pending = mode & 4;
    ls.request_sent = mode & 8;
    ls.sent_ts = ls.left_at = (mode & 16) ? in.orig_ts : ntp_timestamp{};
    ls.cur_server = &server;
    int updates_before = updates;
    handle_datagram(&st, &ls);
    unsigned vn = (in.li_vn_mode >> 3) & 7, pmode = in.li_vn_mode & 7;
    ntp_packet reply;
    bool answered = recv(st.sock, &reply, sizeof(reply), 0) == sizeof(reply);
    static constexpr std::uint8_t zero[8] = {};
    bool ours = vn < 4 && pmode == NTP_MODE_SERVER && (mode & 12) == 12 && !(mode & 34) &&
                !std::memcmp(&in.orig_ts, &ls.sent_ts, 8);
    bool kiss = ours && in.stratum == 0;
    bool accepted = ours && in.stratum > 0 && in.stratum < 16 && (in.li_vn_mode >> 6) != 3 &&
                    std::memcmp(&in.recv_ts, zero, 8) && std::memcmp(&in.xmit_ts, zero, 8);
    if (answered != (vn < 4 && pmode == NTP_MODE_CLIENT && st.enable_server && !(mode & 34)) ||
        (answered && (reply.stratum != NTP_SERVER_STRATUM || std::memcmp(&reply.orig_ts, &in.xmit_ts, 8))) ||
        (updates != updates_before) != accepted || ls.request_pending != ((mode & 4) && !accepted && !kiss))
        __builtin_trap();
    return 0;
}
