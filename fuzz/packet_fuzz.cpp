// Fuzzes the receive path: arbitrary datagrams through the code that
// classifies them, answers requests and validates replies. The daemon's
// socket is a real one on 127.0.0.1 that the server role answers into, so
// every reply it sends is read back and checked. The clock is never set: dry
// run is on and clock_settime is linked to a trap.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "conf.h"
#include "loop.h"

extern "C" int __wrap_clock_settime(clockid_t, const timespec *);

int __wrap_clock_settime(clockid_t, const timespec *)
{
    __builtin_trap();
}

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

struct fixture {
    ntp_state st;
    timeserver_entry server;
    sockaddr_in self;
};

fixture *setup()
{
    static fixture f;
    f.st.sock = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    f.self.sin_family = AF_INET;
    f.self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(f.st.sock, reinterpret_cast<sockaddr *>(&f.self), sizeof(f.self));
    socklen_t len = sizeof(f.self);
    getsockname(f.st.sock, reinterpret_cast<sockaddr *>(&f.self), &len);
    f.st.local_addr = f.self;
    f.st.update_dryrun = true;
    f.st.poll_interval = 600;
    f.server.host = const_cast<char *>("fuzz");
    return &f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static fixture *f = setup();
    if (size < 2)
        return 0;
    std::uint8_t mode = data[0];
    data++;
    size--;
    if (size < NTP_PACKET_SIZE)
        return 0;  // the loop ignores datagrams shorter than a packet

    ntp_state *st = &f->st;
    st->enable_server = mode & 1;
    st->enable_client = true;
    st->log_bad_orig_ts = true;

    loop_state ls{};
    std::memcpy(&ls.pkt, data, NTP_PACKET_SIZE);
    ls.src = f->self;
    ls.src_len = sizeof(ls.src);
    ls.src.sin_family = (mode & 2) ? AF_INET6 : AF_INET;
    ls.request_pending = mode & 4;
    ls.request_sent = mode & 8;
    ls.cur_server = &f->server;
    // Half of the inputs carry the right origin, so the accept path is reached.
    if (mode & 16)
        std::memcpy(&ls.sent_ts, data + 24, sizeof(ls.sent_ts));
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    ls.ts_recv = timespec_to_ntp(&now);
    const ntp_packet request = ls.pkt;
    int schedules = f->server.schedules_since_resolve;

    handle_datagram(st, &ls);

    unsigned vn = (request.li_vn_mode >> 3) & 7, pmode = request.li_vn_mode & 7;
    bool answered = vn < 4 && pmode == 3 && st->enable_server && ls.src.sin_family == AF_INET;
    std::uint8_t back[64];
    ssize_t n = recv(st->sock, back, sizeof(back), 0);
    if (!answered) {
        check(n < 0);
    } else {
        check(n == static_cast<ssize_t>(NTP_PACKET_SIZE));
        const auto *reply = reinterpret_cast<const ntp_packet *>(back);
        check(reply->li_vn_mode == (vn << 3 | 4));
        check(reply->stratum == 8 && reply->poll_exp == request.poll_exp);
        check(std::memcmp(&reply->orig_ts, &request.xmit_ts, 8) == 0);
        check(std::memcmp(&reply->recv_ts, &reply->ref_ts, 8) == 0);
    }
    static const ntp_timestamp zero{};
    bool accepted = vn < 4 && pmode == 4 && (mode & 4) && (mode & 8) &&
                    std::memcmp(&request.orig_ts, &ls.sent_ts, 8) == 0 &&
                    std::memcmp(&request.recv_ts, &zero, 8) != 0 &&
                    std::memcmp(&request.xmit_ts, &zero, 8) != 0;
    check(ls.request_pending == ((mode & 4) != 0 && !accepted));
    check(f->server.schedules_since_resolve == schedules + (accepted ? 1 : 0));
    return 0;
}
