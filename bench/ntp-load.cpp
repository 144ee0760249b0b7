// Load generator for NTP servers on loopback: NTP version 3 client requests
// with unique transmit timestamps, a window of outstanding requests, replies
// matched by their origin timestamp. Reports replies per second, lost
// replies, kiss-o'-death packets (stratum 0, "RATE"; not counted as replies)
// and latency percentiles. Bounded in time and count; refuses any target or
// source outside 127.0.0.0/8 and ::1.
//
//   ntp-load --port N [--host 127.0.0.1|::1] [--source ADDR] [--seconds 5] [--count 0]
//            [--window 32] [--version 3] [--first-byte 0x1B] [--timeout-ms 200] [--rate 0]
//            [--steady] [--flood]
// With --rate, requests are paced to that many per second (0: as fast as the
// window allows); a request held up by the window is made up for by sending
// the next ones sooner, unless --steady, where requests are never less than
// 1/rate apart, as a well-behaved client sends. --source binds the socket to
// that local address (of the target's family). --first-byte replaces the leap
// indicator, version and mode byte (0x1F: a version 3 packet of mode 7).
// --flood sends open loop, as fast as it can and without a window, and counts
// whatever comes back (no latencies). Both report the milliseconds the
// generator ran and waited for a core (run_ms, wait_ms; -1 where unknown).
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int MAX_WINDOW = 4096;
constexpr int HIST_US = 100000;  // latencies above 100 ms land in the last bucket

std::uint64_t mono_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

struct slot {
    std::uint64_t sent_ns;  // 0: free
    std::uint8_t xmit[8];
};

struct options {
    std::string host = "127.0.0.1";
    std::string source;
    int port = 0;
    double seconds = 5;
    long count = 0;
    int window = 32;
    int version = 3;
    int timeout_ms = 200;
    double rate = 0;
    int first_byte = -1;  // -1: version << 3 | 3
    bool flood = false;
    bool steady = false;
};

bool parse(int argc, char **argv, options *o)
{
    for (int i = 1; i < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--flood" || k == "--steady") {
            (k == "--flood" ? o->flood : o->steady) = true;
            i--;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *v = argv[i + 1];
        if (k == "--host") o->host = v;
        else if (k == "--source") o->source = v;
        else if (k == "--first-byte") o->first_byte = static_cast<int>(std::strtol(v, nullptr, 0));
        else if (k == "--port") o->port = std::atoi(v);
        else if (k == "--seconds") o->seconds = std::atof(v);
        else if (k == "--count") o->count = std::atol(v);
        else if (k == "--window") o->window = std::atoi(v);
        else if (k == "--version") o->version = std::atoi(v);
        else if (k == "--timeout-ms") o->timeout_ms = std::atoi(v);
        else if (k == "--rate") o->rate = std::atof(v);
        else return false;
    }
    return o->port > 0 && o->port < 65536 && o->window >= 1 && o->window <= MAX_WINDOW &&
           o->seconds > 0 && o->seconds <= 3600 && o->first_byte >= -1 && o->first_byte <= 255;
}

// A loopback address: 127.0.0.0/8 or ::1, and nothing else.
bool loopback_addr(const std::string &text, int port, sockaddr_storage *ss, socklen_t *len)
{
    *ss = sockaddr_storage{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(ss);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(ss);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        *len = sizeof(sockaddr_in);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        *len = sizeof(sockaddr_in6);
        return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
    }
    return false;
}

// Milliseconds this process ran and waited runnable for a core (Linux
// schedstat), -1 where unknown: the wait tells that other work held the core.
void sched_ms(double *run, double *wait)
{
    *run = *wait = -1;
    std::FILE *f = std::fopen("/proc/self/schedstat", "r");
    if (f == nullptr)
        return;
    unsigned long long r = 0, w = 0;
    if (std::fscanf(f, "%llu %llu", &r, &w) == 2) {
        *run = static_cast<double>(r) / 1e6;
        *wait = static_cast<double>(w) / 1e6;
    }
    std::fclose(f);
}

bool is_kod(const std::uint8_t *r, unsigned len)
{
    return len >= 48 && r[1] == 0 && std::memcmp(r + 12, "RATE", 4) == 0;
}

// Open loop: batches of the same request as fast as the socket takes them,
// whatever comes back drained in between and counted.
int flood(int fd, const options &o)
{
    constexpr unsigned BATCH = 64;
    static std::uint8_t out[BATCH][48];
    static iovec out_iov[BATCH];
    static mmsghdr out_msg[BATCH];
    static std::uint8_t in[BATCH][64];
    static iovec in_iov[BATCH];
    static mmsghdr in_msg[BATCH];
    for (unsigned i = 0; i < BATCH; i++) {
        out[i][0] = static_cast<std::uint8_t>(o.first_byte >= 0 ? o.first_byte : o.version << 3 | 3);
        out[i][2] = 6;
        out[i][3] = 0xEC;
        std::uint32_t seq = htonl(i + 1);
        std::memcpy(out[i] + 44, &seq, 4);
        out_iov[i] = {out[i], 48};
        out_msg[i].msg_hdr.msg_iov = &out_iov[i];
        out_msg[i].msg_hdr.msg_iovlen = 1;
        in_iov[i] = {in[i], sizeof(in[i])};
        in_msg[i].msg_hdr.msg_iov = &in_iov[i];
        in_msg[i].msg_hdr.msg_iovlen = 1;
    }
    std::uint64_t sent = 0, replies = 0, kod = 0, short_pkts = 0;
    auto drain = [&]() {
        for (;;) {
            int got = recvmmsg(fd, in_msg, BATCH, MSG_DONTWAIT, nullptr);
            if (got <= 0)
                return;
            for (int m = 0; m < got; m++) {
                unsigned len = in_msg[m].msg_len;
                if (len < 48)
                    short_pkts++;
                else if (is_kod(in[m], len))
                    kod++;
                else
                    replies++;
            }
        }
    };
    const std::uint64_t start = mono_ns();
    const std::uint64_t end = start + static_cast<std::uint64_t>(o.seconds * 1e9);
    while (mono_ns() < end && (o.count <= 0 || static_cast<long>(sent) < o.count)) {
        unsigned n = BATCH;
        if (o.count > 0 && static_cast<std::uint64_t>(o.count) - sent < n)
            n = static_cast<unsigned>(static_cast<std::uint64_t>(o.count) - sent);
        int done = sendmmsg(fd, out_msg, n, 0);
        if (done > 0) {
            sent += static_cast<unsigned>(done);
        } else if (errno == EAGAIN || errno == ENOBUFS || errno == ECONNREFUSED) {
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 1);
        }
        drain();
    }
    const double elapsed = static_cast<double>(mono_ns() - start) / 1e9;
    // Answers still under way are counted, not timed.
    const std::uint64_t linger = mono_ns() + 200000000u;
    while (mono_ns() < linger) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) > 0)
            drain();
    }
    double run_ms, wait_ms;
    sched_ms(&run_ms, &wait_ms);
    std::printf("sent=%llu replies=%llu kod=%llu short=%llu seconds=%.3f rate=%.0f kod_rate=%.0f"
                " sent_rate=%.0f p50_us=-1 p99_us=-1 run_ms=%.0f wait_ms=%.0f\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(replies),
                static_cast<unsigned long long>(kod), static_cast<unsigned long long>(short_pkts), elapsed,
                static_cast<double>(replies) / elapsed, static_cast<double>(kod) / elapsed,
                static_cast<double>(sent) / elapsed, run_ms, wait_ms);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: ntp-load --port N [--host 127.x.y.z|::1] [--source ADDR] [--seconds S]"
                             " [--count N] [--window W] [--version V] [--first-byte B] [--timeout-ms T]"
                             " [--rate R] [--steady] [--flood]\n");
        return 2;
    }
    sockaddr_storage to{}, from{};
    socklen_t to_len = 0, from_len = 0;
    if (!loopback_addr(o.host, o.port, &to, &to_len)) {
        std::fprintf(stderr, "ntp-load: refusing target %s: only 127.0.0.0/8 and ::1 are allowed\n",
                     o.host.c_str());
        return 2;
    }
    if (!o.source.empty() &&
        (!loopback_addr(o.source, 0, &from, &from_len) || from.ss_family != to.ss_family)) {
        std::fprintf(stderr, "ntp-load: refusing source %s: only 127.0.0.0/8 and ::1, of the target's family\n",
                     o.source.c_str());
        return 2;
    }
    int fd = socket(to.ss_family, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0 || (from_len != 0 && bind(fd, reinterpret_cast<sockaddr *>(&from), from_len) != 0) ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), to_len) != 0) {
        std::perror("ntp-load: socket");
        return 1;
    }
    int buf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
    if (o.flood)
        return flood(fd, o);

    std::vector<slot> slots(static_cast<std::size_t>(o.window));
    std::vector<std::uint64_t> hist(HIST_US + 1);
    std::uint64_t seq = 0, sent = 0, replies = 0, lost = 0, stray = 0, kod = 0;
    const std::uint64_t start = mono_ns();
    const std::uint64_t end = start + static_cast<std::uint64_t>(o.seconds * 1e9);
    const std::uint64_t timeout_ns = static_cast<std::uint64_t>(o.timeout_ms) * 1000000u;
    constexpr unsigned BATCH = 64;
    static std::uint8_t out[BATCH][48];
    static iovec out_iov[BATCH];
    static mmsghdr out_msg[BATCH];
    unsigned queued = 0;
    auto flush = [&]() {
        for (unsigned i = 0; i < queued; i++) {
            out_iov[i] = {out[i], 48};
            out_msg[i].msg_hdr = msghdr{};
            out_msg[i].msg_hdr.msg_iov = &out_iov[i];
            out_msg[i].msg_hdr.msg_iovlen = 1;
        }
        for (unsigned done = 0; done < queued;) {
            int n = sendmmsg(fd, out_msg + done, queued - done, 0);
            if (n <= 0) {
                done++;
                continue;
            }
            sent += static_cast<unsigned>(n);
            done += static_cast<unsigned>(n);
        }
        queued = 0;
    };

    std::vector<slot *> waiting;  // free slots held back by the pacing
    const auto period_ns = static_cast<std::uint64_t>(o.rate > 0 ? 1e9 / o.rate : 0);
    std::uint64_t next_ns = start;  // --steady: the earliest time of the next request
    auto paced_out = [&]() {
        if (o.rate <= 0)
            return false;
        if (o.steady)
            return mono_ns() < next_ns;
        double allowed = o.rate * static_cast<double>(mono_ns() - start) / 1e9;
        return static_cast<double>(sent) >= allowed;
    };
    auto send_one = [&](slot &s) {
        if (paced_out()) {
            waiting.push_back(&s);
            return;
        }
        if (queued == BATCH)
            flush();
        std::uint8_t *pkt = out[queued++];
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::memset(pkt, 0, 48);
        pkt[0] = static_cast<std::uint8_t>(o.first_byte >= 0 ? o.first_byte : o.version << 3 | 3);
        pkt[2] = 6;
        pkt[3] = 0xEC;
        // Unique transmit timestamp: real seconds, the slot and a sequence number
        // in the fraction, so that every outstanding request has its own.
        std::uint32_t secs = htonl(static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) + 2208988800u));
        std::uint32_t frac = htonl(static_cast<std::uint32_t>(seq++ << 12 | static_cast<std::uint64_t>(&s - slots.data())));
        std::memcpy(pkt + 40, &secs, 4);
        std::memcpy(pkt + 44, &frac, 4);
        std::memcpy(s.xmit, pkt + 40, 8);
        s.sent_ns = mono_ns();
        next_ns = (next_ns > s.sent_ns ? next_ns : s.sent_ns) + period_ns;
    };

    bool sending = true;
    for (slot &s : slots)
        send_one(s);
    flush();
    static std::uint8_t in[BATCH][64];
    static iovec in_iov[BATCH];
    static mmsghdr in_msg[BATCH];
    for (;;) {
        std::uint64_t now = mono_ns();
        if (sending && (now >= end || (o.count > 0 && static_cast<long>(sent) >= o.count)))
            sending = false;
        while (sending && !waiting.empty() && !paced_out()) {
            slot *w = waiting.back();
            waiting.pop_back();
            send_one(*w);
        }
        bool outstanding = false;
        for (slot &s : slots) {
            if (s.sent_ns == 0)
                continue;
            if (now > s.sent_ns && now - s.sent_ns > timeout_ns) {
                lost++;
                s.sent_ns = 0;
                if (sending)
                    send_one(s);
            }
            outstanding = outstanding || s.sent_ns != 0;
        }
        if (!sending && !outstanding)
            break;
        flush();
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 1) <= 0)
            continue;
        for (;;) {
            for (unsigned i = 0; i < BATCH; i++) {
                in_iov[i] = {in[i], sizeof(in[i])};
                in_msg[i].msg_hdr = msghdr{};
                in_msg[i].msg_hdr.msg_iov = &in_iov[i];
                in_msg[i].msg_hdr.msg_iovlen = 1;
            }
            int got = recvmmsg(fd, in_msg, BATCH, MSG_DONTWAIT, nullptr);
            if (got <= 0)
                break;
            std::uint64_t t = mono_ns();
            for (int m = 0; m < got; m++) {
                const std::uint8_t *r = in[m];
                std::uint32_t frac;
                std::memcpy(&frac, r + 28, 4);
                std::size_t idx = ntohl(frac) & 0xFFF;
                if (in_msg[m].msg_len < 48 || idx >= slots.size() || slots[idx].sent_ns == 0 ||
                    std::memcmp(slots[idx].xmit, r + 24, 8) != 0) {
                    stray++;
                    continue;
                }
                if (is_kod(r, in_msg[m].msg_len)) {
                    kod++;
                } else {
                    std::uint64_t us = (t - slots[idx].sent_ns) / 1000;
                    hist[static_cast<std::size_t>(us > HIST_US ? HIST_US : us)]++;
                    replies++;
                }
                slots[idx].sent_ns = 0;
                if (sending)
                    send_one(slots[idx]);
            }
            flush();
        }
    }
    double elapsed = static_cast<double>(mono_ns() - start) / 1e9;
    auto percentile = [&](double q) {
        std::uint64_t want = static_cast<std::uint64_t>(q * static_cast<double>(replies)), acc = 0;
        for (int i = 0; i <= HIST_US; i++) {
            acc += hist[static_cast<std::size_t>(i)];
            if (acc > want)
                return i;
        }
        return HIST_US;
    };
    double run_ms, wait_ms;
    sched_ms(&run_ms, &wait_ms);
    std::printf("sent=%llu replies=%llu lost=%llu stray=%llu kod=%llu seconds=%.3f rate=%.0f p50_us=%d"
                " p99_us=%d run_ms=%.0f wait_ms=%.0f\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(replies),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(stray),
                static_cast<unsigned long long>(kod), elapsed,
                static_cast<double>(replies) / elapsed, replies ? percentile(0.5) : -1,
                replies ? percentile(0.99) : -1, run_ms, wait_ms);
    return 0;
}
