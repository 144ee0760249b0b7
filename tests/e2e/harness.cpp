#include "harness.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <thread>

namespace {

constexpr double NTP_EPOCH_OFFSET = 2208988800.0;

std::string asan_options()
{
    // The daemon keeps its state until it exits, and the fake clock must load
    // before the sanitizer runtime is checked.
    const char *old = std::getenv("ASAN_OPTIONS");
    std::string opts = old != nullptr ? old : "";
    return "ASAN_OPTIONS=" + opts + (opts.empty() ? "" : ":") +
           "verify_asan_link_order=0:detect_leaks=0";
}

} // namespace

std::string daemon_path()
{
    return QUORIX_BIN;
}

std::vector<std::string> daemon_command(const std::vector<std::string> &args)
{
    std::vector<std::string> argv;
    const char *vg = std::getenv("QUORIX_VALGRIND");
    if (vg != nullptr && std::string(vg) == "1") {
        // The state record lives until the process ends, and a return from
        // main leaves nothing that points to it: that one leak is expected.
        static const temp_dir supp_dir;
        static const std::string supp = supp_dir.write("state.supp",
            "{\n state record\n Memcheck:Leak\n match-leak-kinds: definite\n fun:calloc\n"
            " fun:main\n}\n");
        argv = {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=full",
                "--errors-for-leak-kinds=definite", "--track-fds=no", "-q",
                "--suppressions=" + supp};
    }
    argv.push_back(daemon_path());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

run_options fake_clock_options(const temp_dir &dir, std::vector<std::string> env)
{
    run_options opt;
    opt.env = {"LD_PRELOAD=" + std::string(QUORIX_FAKE_CLOCK), "QUORIX_FAKE_LOG=" + dir / "fake.log",
               asan_options(), "RTC_DEVICE_NAME="};
    opt.env.insert(opt.env.end(), env.begin(), env.end());
    return opt;
}

bool fake_clock_works()
{
    temp_dir dir;
    run_result r = run_program(daemon_command({"--version"}), fake_clock_options(dir));
    return r.status == 0 && read_file(dir / "fake.log").find("fake clock loaded") != std::string::npos;
}

child_process start_daemon(const temp_dir &dir, const std::string &config,
                           std::vector<std::string> env)
{
    std::string path = dir.write("test.conf", config);
    return start_program(daemon_command({"--disable-d", "-c", path}),
                         fake_clock_options(dir, std::move(env)), dir);
}

run_result run_daemon(const temp_dir &dir, const std::string &config,
                      std::vector<std::string> env, double timeout_s)
{
    child_process child = start_daemon(dir, config, std::move(env));
    run_result res;
    if (!wait_program(&child, timeout_s))
        stop_program(&child);
    res.status = child.status;
    res.out = read_file(child.out_path);
    res.err = read_file(child.err_path);
    return res;
}

std::string wait_for_text(const std::string &path, const std::string &text, double timeout_s)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        std::string content = read_file(path);
        if (content.find(text) != std::string::npos || std::chrono::steady_clock::now() >= deadline)
            return content;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string client_conf(std::uint16_t port, const std::string &extra, const char *host)
{
    return "enable_client = 1\nlog.stderr = 1\nrecv_timeout = 100\nnum_update_tries = 1\n"
           "timeserver.a = " + std::string(host) + ":" + std::to_string(port) + "\n" + extra;
}

std::size_t count(const std::string &s, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        n++;
    return n;
}

std::uint16_t free_udp_port()
{
    udp_peer probe;
    return probe.port();
}

double real_now()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void put_ntp_time(std::uint8_t *dst, double unix_seconds)
{
    double ntp = unix_seconds + NTP_EPOCH_OFFSET;
    double whole = std::floor(ntp);
    auto sec = static_cast<std::uint32_t>(static_cast<std::uint64_t>(whole));
    auto frac = static_cast<std::uint32_t>((ntp - whole) * 4294967296.0);
    std::uint32_t be_sec = htonl(sec), be_frac = htonl(frac);
    std::memcpy(dst, &be_sec, 4);
    std::memcpy(dst + 4, &be_frac, 4);
}

double get_ntp_time(const std::uint8_t *src)
{
    std::uint32_t sec, frac;
    std::memcpy(&sec, src, 4);
    std::memcpy(&frac, src + 4, 4);
    return static_cast<double>(ntohl(sec)) - NTP_EPOCH_OFFSET + ntohl(frac) / 4294967296.0;
}

udp_peer::udp_peer(std::uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0)
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
}

udp_peer::~udp_peer()
{
    close(fd_);
}

long udp_peer::recv(std::vector<std::uint8_t> *data, sockaddr_in *from, int timeout_ms)
{
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0)
        return -1;
    data->assign(2048, 0);
    sockaddr_in src{};
    socklen_t len = sizeof(src);
    ssize_t n = recvfrom(fd_, data->data(), data->size(), MSG_TRUNC, reinterpret_cast<sockaddr *>(&src), &len);
    if (n < 0)
        return -1;
    data->resize(std::min<std::size_t>(static_cast<std::size_t>(n), data->size()));
    if (from != nullptr)
        *from = src;
    return n;
}

void udp_peer::send(const void *data, std::size_t len, const sockaddr_in &to)
{
    sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
}

void udp_peer::send_to_port(const void *data, std::size_t len, std::uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    send(data, len, to);
}

packet48 make_reply(const std::uint8_t *req, double offset_s)
{
    packet48 p{};
    p[0] = 0x1C;  // LI 0, VN 3, mode 4
    p[1] = 2;
    p[3] = 0xEC;
    double now = real_now() + offset_s;
    put_ntp_time(&p[16], now);
    std::memcpy(&p[24], req + 40, 8);
    put_ntp_time(&p[32], now);
    put_ntp_time(&p[40], now);
    return p;
}

void daemon_test::SetUp()
{
    static const bool loaded = fake_clock_works();
    ASSERT_TRUE(loaded) << "the fake clock does not load: the daemon must not run";
}

child_stopper::~child_stopper()
{
    stop_program(child);
}

std::vector<std::uint8_t> serve_one(udp_peer *srv, double offset_s, sockaddr_in *from,
                                    int timeout_ms)
{
    std::vector<std::uint8_t> req;
    if (srv->recv(&req, from, timeout_ms) != 48)
        return {};
    packet48 rep = make_reply(req.data(), offset_s);
    srv->send(rep.data(), rep.size(), *from);
    return req;
}

std::uint16_t reported_port(const std::string &err_path, double timeout_s)
{
    const std::string key = "Local address: ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    do {
        std::string text = read_file(err_path);
        std::size_t at = text.find(key);
        std::size_t eol = at == std::string::npos ? at : text.find('\n', at);
        if (eol != std::string::npos) {
            std::size_t colon = text.rfind(':', eol);
            return static_cast<std::uint16_t>(std::stoul(text.substr(colon + 1, eol - colon - 1)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

bool find_offset(const std::string &text, int *whole, unsigned *us)
{
    std::size_t at = text.find("Offset: ");
    return at != std::string::npos &&
           std::sscanf(text.c_str() + at, "Offset: %d.%u sec", whole, us) == 2;
}
