#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>

#include <linux/capability.h>

#include <fstream>
#include <thread>

#include "conf.h"
#include "net.h"

namespace {

// Whether done() holds within seconds.
bool poll_until(double seconds, const std::function<bool()> &done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return done();
}

} // namespace

std::string temp_dir::write(const std::string &name, const std::string &text) const
{
    std::ofstream(*this / name, std::ios::binary) << text;
    return *this / name;
}

bool user_namespaces()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
    int ws = 0;
    return pid > 0 && waitpid(pid, &ws, 0) == pid && WIFEXITED(ws) && WEXITSTATUS(ws) == 0;
}


std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

std::size_t count(const std::string &s, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        n++;
    return n;
}


loaded load_conf(const temp_dir &dir, const std::string &text, bool use_d_dir)
{
    std::string path = text.empty() ? dir / "t.conf" : dir.write("t.conf", replace_all(text, "@", dir.path));
    loaded r{state_ptr(static_cast<ntp_state *>(std::calloc(1, sizeof(ntp_state))), conf_release), 0, {}};
    r.err = stderr_of([&] { r.res = load_config(r.st.get(), path.c_str(), use_d_dir, false); });
    return r;
}

process::process(const temp_dir &dir, const strings &args, const strings &env, const std::string &input,
                 bool shim, const char *program, bool userns)
{
    static int serial = 0;
    out = dir / ("run" + std::to_string(serial++));
    err = out + ".err";
    // The shim loads before the sanitizer runtime; the state record lives to the end.
    strings envs = {"LD_PRELOAD=" QUORIX_SHIM, "QUORIX_FAKE_LOG=" + dir / "fake.log", "RTC_DEVICE_NAME=",
                    "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
    envs.erase(envs.begin(), envs.begin() + (shim ? 0 : 3));
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char *> argv = {const_cast<char *>(program)};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int fds[3] = {open(dir.write(out.substr(dir.path.size() + 1) + ".in", input).c_str(), O_RDONLY),
                  open(out.c_str(), O_WRONLY | O_CREAT, 0600), open(err.c_str(), O_WRONLY | O_CREAT, 0600)};
    int up[2], down[2];  // the child tells the parent it has its namespace; the parent, that it is mapped
    std::fflush(nullptr);
    if (pipe(up) == 0 && pipe(down) == 0 && (pid = fork()) == 0) {
        for (int fd = 0; fd < 3; fd++)
            dup2(fds[fd], fd);
        for (const std::string &e : envs)
            putenv(const_cast<char *>(e.c_str()));
        // The tests run as root: a daemon without the shim must not step the host's clock. In a user
        // namespace of its own (its uids 0 and 1 mapped to the same), no capability can.
        char go = 0;
        if (userns ? unshare(CLONE_NEWUSER) == 0 && write(up[1], &go, 1) == 1 && read(down[0], &go, 1) == 1
                   : prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0) == 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    char ready = 0;
    close(up[1]);  // a child that could not make its namespace ends the read
    up[1] = -1;
    if (userns && pid > 0 && read(up[0], &ready, 1) == 1) {
        for (const char *map : {"uid_map", "gid_map"})
            std::ofstream("/proc/" + std::to_string(pid) + "/" + map) << "0 0 2\n";
        ready = write(down[1], "1", 1) == 1;
    }
    for (int fd : {fds[0], fds[1], fds[2], up[0], up[1], down[0], down[1]})
        close(fd);
}

process::~process()
{
    if (pid > 0 && kill(pid, SIGTERM) == 0 && !wait(5) && kill(pid, SIGKILL) == 0)
        wait(5);
}

bool process::wait(double seconds)
{
    return poll_until(seconds, [this] {
        int ws;
        if (pid > 0 && waitpid(pid, &ws, WNOHANG) == pid)
            status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), pid = -1;
        return pid < 0;
    });
}



void daemon_test::SetUp()
{
    static const bool loaded = [] {
        temp_dir dir;
        process d(dir, {"--version"});
        return d.wait(20) && d.status == 0 && count(read_file(dir / "fake.log"), "fake clock loaded");
    }();
    ASSERT_TRUE(loaded) << "the shim does not load: the daemon must not run";
}

std::string wait_text(const std::string &path, const std::string &text, double seconds)
{
    std::string s;
    poll_until(seconds, [&] { return (s = read_file(path)).find(text) != std::string::npos; });
    return s;
}


double ntp_seconds(const std::uint8_t *p)
{
    std::uint32_t w[2];
    std::memcpy(w, p, 8);
    double s = ntohl(w[0]) - 2208988800.0 + ntohl(w[1]) / 4294967296.0;
    return s < 0 ? s + 4294967296.0 : s;  // from 2036 on, the next era
}

std::array<std::uint8_t, 48> make_reply(const bytes &req, double offset_s, double held_s)
{
    std::array<std::uint8_t, 48> p{0x1C, 2, 0, 0xEC};
    for (std::size_t at : {16, 32, 40}) {
        double t = real_now() + offset_s + 2208988800.0 - (at == 32 ? held_s : 0);
        std::uint32_t be[2] = {htonl(static_cast<std::uint32_t>(static_cast<std::uint64_t>(t))),
                               htonl(static_cast<std::uint32_t>(std::fmod(t, 1.0) * 4294967296.0))};
        std::memcpy(&p[at], be, 8);
    }
    std::memcpy(&p[24], &req[40], 8);
    return p;
}

udp_peer::udp_peer(std::uint32_t host, bool v6) : fd(socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0))
{
    net_addr a{};
    if (v6)
        a.v6 = {AF_INET6, 0, 0, in6addr_loopback, 0};
    else
        a.v4 = {AF_INET, 0, {htonl(host)}, {}};
    socklen_t len = net_addr_len(&a);
    bind(fd, &a.sa, len);
    getsockname(fd, &a.sa, &len);
    port = net_port(&a);
}

bytes udp_peer::recv(int timeout_ms)
{
    pollfd pfd{fd, POLLIN, 0};
    net_addr src{};
    socklen_t len = sizeof(src);
    bytes data(2048);
    ssize_t n = poll(&pfd, 1, timeout_ms) <= 0 ? -1 : recvfrom(fd, data.data(), data.size(), 0, &src.sa, &len);
    data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    from = n < 0 ? from : net_port(&src);
    return data;
}

void udp_peer::send(std::span<const std::uint8_t> data, std::uint16_t to)
{
    net_addr a{};
    socklen_t len = sizeof(a);
    getsockname(fd, &a.sa, &len);  // to the loopback address of the same family
    if (a.sa.sa_family == AF_INET)
        a.v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    net_set_port(&a, to);
    sendto(fd, data.data(), data.size(), 0, &a.sa, net_addr_len(&a));
}
