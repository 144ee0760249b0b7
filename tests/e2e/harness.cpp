#include "harness.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace {

constexpr double NTP_EPOCH_OFFSET = 2208988800.0;

sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

} // namespace

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
    argv.push_back(QUORIX_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

run_options fake_clock_options(const temp_dir &dir, std::vector<std::string> env)
{
    // The daemon keeps its state until it exits, and the fake clock must load
    // before the sanitizer runtime is checked.
    const char *asan = std::getenv("ASAN_OPTIONS");
    run_options opt;
    opt.env = {"LD_PRELOAD=" QUORIX_FAKE_CLOCK, "QUORIX_FAKE_LOG=" + dir / "fake.log",
               std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                   ":verify_asan_link_order=0:detect_leaks=0",
               "RTC_DEVICE_NAME="};
    opt.env.insert(opt.env.end(), env.begin(), env.end());
    return opt;
}

child_process start_daemon(const temp_dir &dir, const std::string &config,
                           std::vector<std::string> env)
{
    std::string path = dir.write("test.conf", config);
    return start_program(daemon_command({"--disable-d", "-c", path}),
                         fake_clock_options(dir, std::move(env)), dir);
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

std::uint16_t reported_port(const std::string &err_path)
{
    const std::string key = "Local address: ";
    std::string text = wait_for_text(err_path, key, 10);
    unsigned port = 0;
    std::size_t at = text.find(key);
    if (at != std::string::npos)
        std::ignore = std::sscanf(text.c_str() + at, "Local address: %*[0-9.]:%u", &port);
    return static_cast<std::uint16_t>(port);
}

std::string client_conf(std::uint16_t port, const std::string &extra, const std::string &host)
{
    return "enable_client = 1\nlog.stderr = 1\nrecv_timeout = 100\nnum_update_tries = 1\n"
           "timeserver.a = " + host + ":" + std::to_string(port) + "\n" + extra;
}

std::size_t count(const std::string &s, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        n++;
    return n;
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

double real_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double get_ntp_time(const std::uint8_t *src)
{
    std::uint32_t sec, frac;
    std::memcpy(&sec, src, 4);
    std::memcpy(&frac, src + 4, 4);
    return static_cast<double>(ntohl(sec)) - NTP_EPOCH_OFFSET + ntohl(frac) / 4294967296.0;
}

double seconds_in(const std::string &text, const std::string &label)
{
    int whole = 0;
    unsigned us = 0;
    std::size_t at = text.find(label);
    if (at == std::string::npos || std::sscanf(&text[at + label.size()], "%d.%u sec", &whole, &us) != 2)
        return NAN;
    return whole + us / 1e6;
}

udp_peer::udp_peer()
{
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof(a);
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    port_ = ntohs(a.sin_port);
}

udp_peer::~udp_peer()
{
    close(fd_);
}

bytes udp_peer::recv(int timeout_ms)
{
    pollfd pfd{fd_, POLLIN, 0};
    sockaddr_in src{};
    socklen_t len = sizeof(src);
    bytes data(2048);
    ssize_t n = poll(&pfd, 1, timeout_ms) <= 0 ? -1 : recvfrom(fd_, data.data(), data.size(), 0,
        reinterpret_cast<sockaddr *>(&src), &len);
    data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    from_ = n < 0 ? from_ : ntohs(src.sin_port);
    return data;
}

void udp_peer::send(std::span<const std::uint8_t> data, std::uint16_t port)
{
    sockaddr_in to = loopback(port);
    sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
}

bytes udp_peer::serve(double offset_s, int timeout_ms)
{
    bytes req = recv(timeout_ms);
    if (req.size() != 48)
        return {};
    send(make_reply(req, offset_s), from_);
    return req;
}

std::uint16_t free_udp_port()
{
    udp_peer probe;
    return probe.port();
}

packet48 make_reply(const bytes &req, double offset_s)
{
    packet48 p{0x1C, 2, 0, 0xEC};  // LI 0, VN 3, mode 4; stratum 2
    double now = real_now() + offset_s + NTP_EPOCH_OFFSET;
    std::uint32_t be[2] = {htonl(static_cast<std::uint32_t>(static_cast<std::uint64_t>(now))),
                           htonl(static_cast<std::uint32_t>(std::fmod(now, 1.0) * 4294967296.0))};
    for (std::size_t at : {16, 32, 40})
        std::memcpy(&p[at], be, 8);
    std::memcpy(&p[24], &req[40], 8);
    return p;
}

void daemon_test::SetUp()
{
    static const bool loaded = [] {
        temp_dir dir;
        run_result r = run_program(daemon_command({"--version"}), fake_clock_options(dir));
        return r.status == 0 && read_file(dir / "fake.log").find("fake clock loaded") != std::string::npos;
    }();
    ASSERT_TRUE(loaded) << "the fake clock does not load: the daemon must not run";
}
