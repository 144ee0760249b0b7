// Fuzzes what the daemon reads from outside. After an even first byte comes a
// configuration on standard input: it loads with every network well formed, or
// fails. After an odd one, 48 bytes of packet go to
// the client and to the server; the first byte's bits 1 to 5 choose an IPv6
// source, a pending request, one sent, the packet's origin as its T1, and a
// source port other than the server's. Only a reply to the request sent, from a
// synchronised server with its times, is taken (in dry run); every request is
// answered, in kind, over its own family. Lookups fail; clock_settime traps.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "client.h"
#include "server.h"

extern "C" int __wrap_getaddrinfo(const char *, const char *, const addrinfo *, addrinfo **)
{
    return EAI_NONAME;
}

extern "C" int __wrap_clock_settime(clockid_t, const timespec *)
{
    __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static ntp_state st{};
    static timeserver_entry server{};
    static server_state ss{};
    if (size > 0 && (data[0] & 1) == 0) {
        std::FILE *saved_in = stdin, *saved_err = stderr;
        stdin = size > 1 ? fmemopen(const_cast<std::uint8_t *>(data + 1), size - 1, "r")
                         : std::fopen("/dev/null", "r");
        stderr = std::fopen("/dev/null", "w");
        ntp_state *s = static_cast<ntp_state *>(std::calloc(1, sizeof(ntp_state)));
        std::ignore = load_config(s, "fuzz.conf", false, true);
        std::fclose(stdin), std::fclose(stderr);
        stdin = saved_in, stderr = saved_err;
        for (const ptrarr *nets : {&s->server_allow, &s->server_deny}) {
            for (std::size_t i = 0; i < nets->count; i++) {
                auto *net = static_cast<conf_network *>(nets->items[i]);
                if (net->prefix > (net->family == AF_INET6 ? 128u : 32u))
                    __builtin_trap();
            }
        }
        conf_release(s);
        return 0;
    }
    if (size < 1 + NTP_PACKET_SIZE)
        return 0;
    if (server.host == nullptr) {
        std::ignore = std::freopen("/dev/null", "w", stderr); // kiss codes are reported there
        st.update_dryrun = st.enable_client = st.enable_server = st.server_ipv6 = true;
        server.host = const_cast<char *>("fuzz");
        server.addr.v4 = {AF_INET, htons(123), {htonl(INADDR_LOOPBACK)}, {}};
    }
    const unsigned mode = data[0];
    net_datagram d{};
    std::memcpy(&d.pkt, data + 1, NTP_PACKET_SIZE);
    d.src = server.addr;
    if (mode & 2)
        d.src.v6 = {AF_INET6, htons(123), 0, in6addr_loopback, 0};
    net_set_port(&d.src, (mode & 32) ? 124 : 123);
    client_state cs{};
    cs.request_pending = mode & 4;
    cs.request_sent = mode & 8;
    cs.sent_ts = cs.left_at = (mode & 16) ? d.pkt.orig_ts : ntp_timestamp{};
    cs.cur_server = &server;
    bool ours = (mode & 12) == 12 && !(mode & 34) && ntp_same(&d.pkt.orig_ts, &cs.sent_ts);
    bool taken = ours && d.pkt.stratum > 0 && d.pkt.stratum < 16 && ntp_leap(&d.pkt) != 3 &&
        !ntp_is_zero(&d.pkt.recv_ts) && !ntp_is_zero(&d.pkt.xmit_ts);
    if ((client_check_reply(&cs, &d) == client_verdict::accept) != taken)
        __builtin_trap();
    client_on_reply(&st, &cs, &d);
    ss.tx.count = ss.tx6.count = 0;
    server_on_request(&st, &ss, &d, false);
    net_batch &tx = (mode & 2) ? ss.tx6 : ss.tx;
    if (tx.count != 1 || ntp_version(reinterpret_cast<ntp_packet *>(tx.data[0])) != ntp_version(&d.pkt))
        __builtin_trap();
    return 0;
}
