// A network path for benchmarks on loopback, in user space since the kernel
// here has no netem: a UDP relay that delays every datagram by a random one-way
// delay, drawn independently for each datagram and each direction, and drops
// some. It listens on one address, forwards each datagram of a client to the
// upstream server through a socket of that client's own (a small table, the
// least recently seen client giving way), and each reply on that socket back
// to the client.
//
//   path-emu --listen ADDR:PORT --upstream ADDR:PORT [--up MODEL] [--down MODEL]
//            [--seed N] [--queue N] [--stats FILE] [--spin-us N] [--realtime]
//
// MODEL, the delay of one direction (up: client to server), terms separated by
// commas, times in milliseconds (fractions allowed), the delay is their sum:
//   const=MS        a fixed delay
//   uniform=A:B     plus a uniform draw from [A, B]
//   normal=SIGMA    plus |normal(0, SIGMA)|
//   exp=MEAN        plus an exponential draw of mean MEAN
//   spike=K:A:B     plus, with probability 1/K, a uniform draw from [A, B]
//                   (a queue that fills now and then)
//   loss=PCT        drop PCT percent of the datagrams
// An empty MODEL or "none" forwards at once.
//
// Each datagram is due at the kernel's receive time plus its delay, so the
// relay's own wake-up does not count towards the delay. It sleeps until shortly
// before the earliest due datagram and spins the rest of the way (--spin-us,
// default 200), since a sleep alone wakes tens of microseconds late. How late
// each datagram left (the time right before its send minus its due time) is the
// relay's scheduling error; with a zero delay it is all the relay adds.
// --realtime runs it at the lowest real-time priority (SCHED_FIFO 1), so that
// a busy machine does not hold the path up by milliseconds; it sleeps between
// datagrams and spins only the last --spin-us before each.
//
// Counts and that error per direction go to the stats file (rewritten whole at
// SIGUSR1, with a generation number that grows) and, at SIGTERM or SIGINT, to
// the file and standard output. Memory is fixed at start: --queue datagrams
// may wait at once (default 256); a datagram beyond that is dropped and counted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t DATAGRAM_MAX = 2048;
constexpr unsigned CLIENTS = 16;
// Scheduling errors are kept in 100 ns buckets up to 10 ms; later ones count
// in the maximum and the mean only, and as 10 ms in the percentiles.
constexpr std::size_t LATE_BUCKETS = 100'000;
constexpr std::int64_t LATE_BUCKET_NS = 100;

volatile std::sig_atomic_t stop_flag = 0;
volatile std::sig_atomic_t stats_flag = 0;

void on_stop(int) { stop_flag = 1; }
void on_stats(int) { stats_flag = 1; }

std::int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

std::int64_t ms_to_ns(double ms) { return static_cast<std::int64_t>(ms * 1e6 + 0.5); }

struct delay_model {
    double const_ms = 0;
    double uniform_a = 0, uniform_b = 0;
    double normal_sigma = 0;
    double exp_mean = 0;
    unsigned spike_k = 0;
    double spike_a = 0, spike_b = 0;
    double loss_pct = 0;
    std::string text = "none";
};

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr, "path-emu: %s\nusage: path-emu --listen ADDR:PORT --upstream ADDR:PORT [--up MODEL] "
                 "[--down MODEL] [--seed N] [--queue N] [--stats FILE] [--spin-us N] [--realtime]\n", why);
    std::exit(2);
}

double number(const std::string &s, const char *what)
{
    char *end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !(v >= 0))
        usage(what);
    return v;
}

// "A:B" (or "K:A:B" with want 3) into numbers.
std::vector<double> numbers(const std::string &s, std::size_t want, const char *what)
{
    std::vector<double> out;
    std::size_t at = 0;
    for (;;) {
        std::size_t colon = s.find(':', at);
        out.push_back(number(s.substr(at, colon == std::string::npos ? colon : colon - at), what));
        if (colon == std::string::npos)
            break;
        at = colon + 1;
    }
    if (out.size() != want)
        usage(what);
    return out;
}

delay_model parse_model(const std::string &model)
{
    delay_model m;
    m.text = model.empty() ? "none" : model;
    if (model.empty() || model == "none")
        return m;
    std::size_t at = 0;
    while (at <= model.size()) {
        std::size_t comma = model.find(',', at);
        std::string term = model.substr(at, comma == std::string::npos ? comma : comma - at);
        std::size_t eq = term.find('=');
        if (eq == std::string::npos)
            usage("a delay term is NAME=VALUE");
        std::string name = term.substr(0, eq), value = term.substr(eq + 1);
        if (name == "const") {
            m.const_ms = number(value, "bad const=MS");
        } else if (name == "uniform") {
            auto v = numbers(value, 2, "bad uniform=A:B");
            m.uniform_a = v[0];
            m.uniform_b = v[1];
        } else if (name == "normal") {
            m.normal_sigma = number(value, "bad normal=SIGMA");
        } else if (name == "exp") {
            m.exp_mean = number(value, "bad exp=MEAN");
        } else if (name == "spike") {
            auto v = numbers(value, 3, "bad spike=K:A:B");
            if (v[0] < 1)
                usage("spike=K:A:B needs K >= 1");
            m.spike_k = static_cast<unsigned>(v[0]);
            m.spike_a = v[1];
            m.spike_b = v[2];
        } else if (name == "loss") {
            m.loss_pct = number(value, "bad loss=PCT");
        } else {
            usage("unknown delay term");
        }
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    if (m.uniform_b < m.uniform_a || m.spike_b < m.spike_a || m.loss_pct > 100)
        usage("a range runs from low to high, a loss from 0 to 100");
    return m;
}

// Only loopback addresses: this tool must never send anywhere else.
sockaddr_in parse_address(const std::string &s)
{
    std::size_t colon = s.rfind(':');
    if (colon == std::string::npos)
        usage("an address is ADDR:PORT");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    char *end = nullptr;
    long port = std::strtol(s.c_str() + colon + 1, &end, 10);
    if (inet_pton(AF_INET, s.substr(0, colon).c_str(), &a.sin_addr) != 1 || *end != '\0' || port < 1 ||
        port > 65535)
        usage("an address is ADDR:PORT");
    if ((ntohl(a.sin_addr.s_addr) >> 24) != 127)
        usage("only 127.0.0.0/8 addresses");
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

struct direction {
    const char *name = "";
    delay_model model;
    std::mt19937_64 rng;
    std::uint64_t received = 0, forwarded = 0, lost = 0, overflow = 0, oversize = 0, stale = 0, failed = 0;
    std::vector<std::uint32_t> late;  // scheduling errors, LATE_BUCKET_NS each
    std::uint64_t late_count = 0;
    std::int64_t late_max = 0;
    double late_sum = 0;

    // The delay of the next datagram, or -1 when it is lost. The draws are made
    // in a fixed order, so a seed gives the same path every run.
    std::int64_t draw()
    {
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        bool drop = unit(rng) * 100 < model.loss_pct;
        double ms = model.const_ms;
        if (model.uniform_b > 0)
            ms += model.uniform_a + (model.uniform_b - model.uniform_a) * unit(rng);
        if (model.normal_sigma > 0)
            ms += std::abs(std::normal_distribution<double>(0.0, model.normal_sigma)(rng));
        if (model.exp_mean > 0)
            ms += std::exponential_distribution<double>(1.0 / model.exp_mean)(rng);
        if (model.spike_k > 0 && unit(rng) * model.spike_k < 1.0)
            ms += model.spike_a + (model.spike_b - model.spike_a) * unit(rng);
        return drop ? -1 : ms_to_ns(ms);
    }

    void record_late(std::int64_t ns)
    {
        std::size_t b = static_cast<std::size_t>(ns < 0 ? 0 : ns / LATE_BUCKET_NS);
        late[b < LATE_BUCKETS ? b : LATE_BUCKETS - 1]++;
        late_count++;
        late_max = ns > late_max ? ns : late_max;
        late_sum += static_cast<double>(ns);
    }

    double late_percentile_us(double p) const
    {
        if (late_count == 0)
            return 0;
        auto want = static_cast<std::uint64_t>(p * static_cast<double>(late_count - 1)) + 1;
        std::uint64_t seen = 0;
        for (std::size_t b = 0; b < LATE_BUCKETS; b++) {
            seen += late[b];
            if (seen >= want)
                return (static_cast<double>(b) + 0.5) * LATE_BUCKET_NS / 1000.0;
        }
        return static_cast<double>(LATE_BUCKETS) * LATE_BUCKET_NS / 1000.0;
    }
};

struct client {
    sockaddr_in addr{};
    int fd = -1;
    std::uint32_t gen = 0;
    std::uint64_t last_seen = 0;
};

struct pending {
    std::int64_t due = 0;
    std::uint64_t seq = 0;  // keeps datagrams due at the same time in arrival order
    bool up = false;
    unsigned client_index = 0;
    std::uint32_t client_gen = 0;
    sockaddr_in to{};  // the client, for replies
    std::size_t len = 0;
    unsigned char data[DATAGRAM_MAX];
};

class relay {
public:
    relay(const sockaddr_in &listen_at, const sockaddr_in &upstream, const delay_model &up, const delay_model &down,
          std::uint64_t seed, std::size_t queue, std::int64_t spin_ns, std::string stats_path)
        : upstream_(upstream), spin_ns_(spin_ns), stats_path_(std::move(stats_path)), slots_(queue)
    {
        // Each direction draws from its own generator, so the two are independent.
        const delay_model *models[2] = {&up, &down};
        for (unsigned i = 0; i < 2; i++) {
            dirs_[i].name = i == 0 ? "up" : "down";
            dirs_[i].model = *models[i];
            dirs_[i].rng.seed(seed * 2 + i);
            dirs_[i].late.assign(LATE_BUCKETS, 0);
        }
        heap_.reserve(queue);
        free_.reserve(queue);
        for (std::size_t i = queue; i > 0; i--)
            free_.push_back(static_cast<std::uint32_t>(i - 1));
        listen_fd_ = open_socket();
        if (bind(listen_fd_, reinterpret_cast<const sockaddr *>(&listen_at), sizeof(listen_at)) != 0) {
            std::perror("path-emu: bind");
            std::exit(1);
        }
    }

    int run()
    {
        for (;;) {
            if (stop_flag) {
                write_stats(true);
                return 0;
            }
            if (stats_flag) {
                stats_flag = 0;
                write_stats(false);
            }
            std::int64_t now = now_ns();
            while (!heap_.empty() && slots_[heap_[0]].due <= now) {
                send_due();
                now = now_ns();
            }
            if (!heap_.empty() && slots_[heap_[0]].due - now <= spin_ns_) {
                spin_until(slots_[heap_[0]].due);
                continue;
            }
            timespec wait{};
            if (!heap_.empty()) {
                std::int64_t ns = slots_[heap_[0]].due - now - spin_ns_;
                wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
                wait.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            }
            unsigned n = fill_pollfds();
            sigset_t none;
            sigemptyset(&none);
            // Signals are blocked except while waiting here, so none is lost
            // between the check of the flags and the wait.
            int r = ppoll(pfds_.data(), n, heap_.empty() ? nullptr : &wait, &none);
            if (r > 0)
                receive_ready(n);
        }
    }

private:
    sockaddr_in upstream_;
    std::int64_t spin_ns_;
    std::string stats_path_;
    std::vector<pending> slots_;
    std::vector<std::uint32_t> heap_, free_;
    std::array<direction, 2> dirs_;
    std::array<client, CLIENTS> clients_{};
    std::array<pollfd, CLIENTS + 1> pfds_{};
    std::array<unsigned, CLIENTS + 1> pfd_client_{};
    int listen_fd_ = -1;
    std::uint64_t seq_ = 0, clock_ = 0, clients_seen_ = 0;
    unsigned stats_gen_ = 0;

    static int open_socket()
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0) {
            std::perror("path-emu: socket");
            std::exit(1);
        }
        return fd;
    }

    bool earlier(std::uint32_t a, std::uint32_t b) const
    {
        const pending &x = slots_[a], &y = slots_[b];
        return x.due != y.due ? x.due < y.due : x.seq < y.seq;
    }

    void heap_push(std::uint32_t s)
    {
        heap_.push_back(s);
        std::size_t i = heap_.size() - 1;
        while (i > 0 && earlier(heap_[i], heap_[(i - 1) / 2])) {
            std::swap(heap_[i], heap_[(i - 1) / 2]);
            i = (i - 1) / 2;
        }
    }

    std::uint32_t heap_pop()
    {
        std::uint32_t top = heap_[0];
        heap_[0] = heap_.back();
        heap_.pop_back();
        std::size_t i = 0;
        for (;;) {
            std::size_t l = 2 * i + 1, r = l + 1, m = i;
            if (l < heap_.size() && earlier(heap_[l], heap_[m]))
                m = l;
            if (r < heap_.size() && earlier(heap_[r], heap_[m]))
                m = r;
            if (m == i)
                break;
            std::swap(heap_[i], heap_[m]);
            i = m;
        }
        return top;
    }

    // The client's entry, made (or taken from the least recently seen) on its
    // first request; -1 when no socket could be opened.
    int client_for(const sockaddr_in &from)
    {
        unsigned oldest = 0;
        for (unsigned i = 0; i < CLIENTS; i++) {
            client &c = clients_[i];
            if (c.fd >= 0 && c.addr.sin_addr.s_addr == from.sin_addr.s_addr && c.addr.sin_port == from.sin_port) {
                c.last_seen = ++clock_;
                return static_cast<int>(i);
            }
            if (c.fd < 0 || (clients_[oldest].fd >= 0 && c.last_seen < clients_[oldest].last_seen))
                oldest = i;
        }
        client &c = clients_[oldest];
        if (c.fd >= 0)
            close(c.fd);
        c.fd = open_socket();
        if (connect(c.fd, reinterpret_cast<const sockaddr *>(&upstream_), sizeof(upstream_)) != 0) {
            std::perror("path-emu: connect");
            close(c.fd);
            c.fd = -1;
            return -1;
        }
        c.addr = from;
        c.gen++;
        c.last_seen = ++clock_;
        clients_seen_++;
        return static_cast<int>(oldest);
    }

    unsigned fill_pollfds()
    {
        unsigned n = 0;
        pfds_[n] = {listen_fd_, POLLIN, 0};
        pfd_client_[n++] = CLIENTS;
        for (unsigned i = 0; i < CLIENTS; i++) {
            if (clients_[i].fd >= 0) {
                pfds_[n] = {clients_[i].fd, POLLIN, 0};
                pfd_client_[n++] = i;
            }
        }
        return n;
    }

    void receive_ready(unsigned n)
    {
        for (unsigned i = 0; i < n; i++) {
            if (pfds_[i].revents & POLLIN)
                drain(pfds_[i].fd, pfd_client_[i]);
        }
    }

    // Every datagram waiting on fd: from a client on the listening socket
    // (index CLIENTS), else a reply for client index.
    void drain(int fd, unsigned index)
    {
        bool up = index == CLIENTS;
        direction &dir = dirs_[up ? 0 : 1];
        static unsigned char scratch[DATAGRAM_MAX];
        for (;;) {
            std::uint32_t slot = free_.empty() ? UINT32_MAX : free_.back();
            unsigned char *buf = slot == UINT32_MAX ? scratch : slots_[slot].data;
            sockaddr_in from{};
            iovec iov{buf, DATAGRAM_MAX};
            alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec))];
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof(from);
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof(control);
            ssize_t got = recvmsg(fd, &msg, MSG_TRUNC);
            if (got < 0)
                return;
            dir.received++;
            if (slot == UINT32_MAX) {
                dir.overflow++;
                continue;
            }
            if (static_cast<std::size_t>(got) > DATAGRAM_MAX) {
                dir.oversize++;
                continue;
            }
            std::int64_t arrived = 0;
            for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec t{};
                    std::memcpy(&t, CMSG_DATA(c), sizeof(t));
                    arrived = std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
                }
            }
            if (arrived == 0)
                arrived = now_ns();
            std::int64_t delay = dir.draw();
            if (delay < 0) {
                dir.lost++;
                continue;
            }
            pending &p = slots_[slot];
            p.up = up;
            if (up) {
                int c = client_for(from);
                if (c < 0) {
                    dir.stale++;
                    continue;
                }
                p.client_index = static_cast<unsigned>(c);
                p.client_gen = clients_[p.client_index].gen;
            } else {
                p.to = clients_[index].addr;
            }
            p.len = static_cast<std::size_t>(got);
            p.due = arrived + delay;
            p.seq = seq_++;
            free_.pop_back();
            heap_push(slot);
        }
    }

    void send_due()
    {
        std::uint32_t slot = heap_pop();
        pending &p = slots_[slot];
        direction &dir = dirs_[p.up ? 0 : 1];
        free_.push_back(slot);
        ssize_t sent = -1;
        if (p.up) {
            const client &c = clients_[p.client_index];
            if (c.fd < 0 || c.gen != p.client_gen) {  // its client gave way to another
                dir.stale++;
                return;
            }
            dir.record_late(now_ns() - p.due);
            sent = send(c.fd, p.data, p.len, 0);
        } else {
            dir.record_late(now_ns() - p.due);
            sent = sendto(listen_fd_, p.data, p.len, 0, reinterpret_cast<const sockaddr *>(&p.to), sizeof(p.to));
        }
        if (sent == static_cast<ssize_t>(p.len))
            dir.forwarded++;
        else
            dir.failed++;
    }

    // The last stretch to a due time, spent awake; datagrams that arrive
    // meanwhile are still taken in (their kernel receive time is kept).
    void spin_until(std::int64_t due)
    {
        while (now_ns() < due) {
            unsigned n = fill_pollfds();
            if (poll(pfds_.data(), n, 0) > 0) {
                receive_ready(n);
                // A new arrival may be due first.
                if (!heap_.empty() && slots_[heap_[0]].due < due)
                    due = slots_[heap_[0]].due;
            }
        }
    }

    void format_stats(char *out, std::size_t size) const
    {
        int len = std::snprintf(out, size, "gen=%u clients=%llu queue=%zu\n", stats_gen_,
                                static_cast<unsigned long long>(clients_seen_), slots_.size());
        for (const direction &d : dirs_) {
            if (len < 0 || static_cast<std::size_t>(len) >= size)
                return;
            len += std::snprintf(out + len, size - static_cast<std::size_t>(len),
                                 "%s_received=%llu %s_forwarded=%llu %s_lost=%llu %s_overflow=%llu %s_oversize=%llu "
                                 "%s_stale=%llu %s_failed=%llu %s_late_p50_us=%.1f %s_late_p99_us=%.1f %s_late_max_us=%.1f "
                                 "%s_late_mean_us=%.2f %s_model=%s\n",
                                 d.name, static_cast<unsigned long long>(d.received), d.name,
                                 static_cast<unsigned long long>(d.forwarded), d.name,
                                 static_cast<unsigned long long>(d.lost), d.name,
                                 static_cast<unsigned long long>(d.overflow), d.name,
                                 static_cast<unsigned long long>(d.oversize), d.name,
                                 static_cast<unsigned long long>(d.stale), d.name,
                                 static_cast<unsigned long long>(d.failed), d.name, d.late_percentile_us(0.5),
                                 d.name, d.late_percentile_us(0.99), d.name,
                                 static_cast<double>(d.late_max) / 1000.0, d.name,
                                 d.late_count ? d.late_sum / static_cast<double>(d.late_count) / 1000.0 : 0.0, d.name,
                                 d.model.text.c_str());
        }
    }

    // The file is replaced whole (written beside it, then renamed), so a
    // reader never sees half of it.
    void write_stats(bool final)
    {
        stats_gen_++;
        char text[1024];
        format_stats(text, sizeof(text));
        if (final)
            std::fputs(text, stdout);
        if (stats_path_.empty())
            return;
        std::string tmp = stats_path_ + ".tmp";
        FILE *f = std::fopen(tmp.c_str(), "w");
        if (f == nullptr) {
            std::perror("path-emu: stats file");
            return;
        }
        std::fputs(text, f);
        if (std::fclose(f) != 0 || std::rename(tmp.c_str(), stats_path_.c_str()) != 0)
            std::perror("path-emu: stats file");
    }
};

} // namespace

int main(int argc, char **argv)
{
    std::string listen_at, upstream, up, down, stats;
    std::uint64_t seed = 1;
    std::size_t queue = 256;
    double spin_us = 200;
    bool realtime = false;
    for (int i = 1; i < argc; i++) {
        std::string opt = argv[i];
        if (opt == "--realtime") {
            realtime = true;
            continue;
        }
        if (i + 1 >= argc)
            usage("an option needs a value");
        std::string v = argv[++i];
        if (opt == "--listen")
            listen_at = v;
        else if (opt == "--upstream")
            upstream = v;
        else if (opt == "--up")
            up = v;
        else if (opt == "--down")
            down = v;
        else if (opt == "--seed")
            seed = std::strtoull(v.c_str(), nullptr, 0);
        else if (opt == "--queue")
            queue = static_cast<std::size_t>(number(v, "bad --queue"));
        else if (opt == "--stats")
            stats = v;
        else if (opt == "--spin-us")
            spin_us = number(v, "bad --spin-us");
        else
            usage("unknown option");
    }
    if (listen_at.empty() || upstream.empty())
        usage("--listen and --upstream are needed");
    if (queue < 1 || queue > 65536)
        usage("--queue from 1 to 65536");
    // A sleep ends up to the timer slack late (50 us by default): ask for none.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (realtime) {
        sched_param sp{};
        sp.sched_priority = 1;
        // Without the privilege the relay still works, only later under load;
        // its scheduling error in the stats shows how much. Memory is not
        // locked: all of it is written at start, and a sanitizer's shadow
        // would not fit.
        if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0)
            std::perror("path-emu: --realtime (going on without)");
    }
    struct sigaction sa{};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_stats;
    sigaction(SIGUSR1, &sa, nullptr);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    relay r(parse_address(listen_at), parse_address(upstream), parse_model(up), parse_model(down), seed, queue,
            static_cast<std::int64_t>(spin_us * 1000), stats);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return r.run();
}
