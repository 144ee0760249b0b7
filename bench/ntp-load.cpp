// Load generator for NTP servers on loopback: NTP version 3 client requests
// with unique transmit timestamps, a window of outstanding requests, replies
// matched by their origin timestamp. Reports replies per second, lost
// replies and latency percentiles. Bounded in time and count; refuses any
// target outside 127.0.0.0/8.
//
//   ntp-load --port N [--host 127.0.0.1] [--seconds 5] [--count 0] [--window 32]
//            [--version 3] [--timeout-ms 200] [--rate 0]
// With --rate, requests are paced to that many per second (0: as fast as the
// window allows).
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
    int port = 0;
    double seconds = 5;
    long count = 0;
    int window = 32;
    int version = 3;
    int timeout_ms = 200;
    double rate = 0;
};

bool parse(int argc, char **argv, options *o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        const char *v = argv[i + 1];
        if (k == "--host") o->host = v;
        else if (k == "--port") o->port = std::atoi(v);
        else if (k == "--seconds") o->seconds = std::atof(v);
        else if (k == "--count") o->count = std::atol(v);
        else if (k == "--window") o->window = std::atoi(v);
        else if (k == "--version") o->version = std::atoi(v);
        else if (k == "--timeout-ms") o->timeout_ms = std::atoi(v);
        else if (k == "--rate") o->rate = std::atof(v);
        else return false;
    }
    return argc % 2 == 1 && o->port > 0 && o->port < 65536 && o->window >= 1 &&
           o->window <= MAX_WINDOW && o->seconds > 0 && o->seconds <= 3600;
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: ntp-load --port N [--host 127.x.y.z] [--seconds S] [--count N]"
                             " [--window W] [--version V] [--timeout-ms T] [--rate R]\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(o.port));
    if (inet_pton(AF_INET, o.host.c_str(), &to.sin_addr) != 1 || (ntohl(to.sin_addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "ntp-load: refusing target %s: only 127.0.0.0/8 is allowed\n", o.host.c_str());
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0) {
        std::perror("ntp-load: socket");
        return 1;
    }
    int buf = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));

    std::vector<slot> slots(static_cast<std::size_t>(o.window));
    std::vector<std::uint64_t> hist(HIST_US + 1);
    std::uint64_t seq = 0, sent = 0, replies = 0, lost = 0, stray = 0;
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
    auto paced_out = [&]() {
        if (o.rate <= 0)
            return false;
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
        pkt[0] = static_cast<std::uint8_t>(o.version << 3 | 3);
        pkt[2] = 6;
        pkt[3] = 0xEC;
        // Unique transmit timestamp: real seconds, the slot and a sequence number
        // in the fraction, so that every outstanding request has its own.
        std::uint32_t secs = htonl(static_cast<std::uint32_t>(now.tv_sec + 2208988800u));
        std::uint32_t frac = htonl(static_cast<std::uint32_t>(seq++ << 12 | static_cast<std::uint64_t>(&s - slots.data())));
        std::memcpy(pkt + 40, &secs, 4);
        std::memcpy(pkt + 44, &frac, 4);
        std::memcpy(s.xmit, pkt + 40, 8);
        s.sent_ns = mono_ns();
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
                std::uint64_t us = (t - slots[idx].sent_ns) / 1000;
                hist[us > HIST_US ? HIST_US : us]++;
                replies++;
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
    std::printf("sent=%llu replies=%llu lost=%llu stray=%llu seconds=%.3f rate=%.0f p50_us=%d p99_us=%d\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(replies),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(stray), elapsed,
                static_cast<double>(replies) / elapsed, replies ? percentile(0.5) : -1,
                replies ? percentile(0.99) : -1);
    return 0;
}
