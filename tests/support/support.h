// Helpers of the tests, and the headers they share: files, state records,
// programs run without the capability to set the clock, the shim, UDP peers.
#ifndef QUORIX_SUPPORT_H
#define QUORIX_SUPPORT_H

#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>

struct ntp_state;
using bytes = std::vector<std::uint8_t>;
using strings = std::vector<std::string>;

// The Linux variant: the kernel's synchronised status, the real-time clock and
// the kernel's times of datagrams (none under emulation: QUORIX_NO_KERNEL_TIMES=1).
// A user namespace can be made (not under qemu-user, whose threads make unshare() fail).
constexpr bool linux_variant = QUORIX_LINUX;
inline bool kernel_times()
{
    const char *none = std::getenv("QUORIX_NO_KERNEL_TIMES");
    return linux_variant && (none == nullptr || *none != '1');
}
bool user_namespaces();

struct temp_dir {  // in /tmp (or base), removed with its contents at scope end
    std::string path;
    explicit temp_dir(const std::string &base = "/tmp") : path(base + "/quorix-test-XXXXXX") { ::mkdtemp(path.data()); }
    ~temp_dir() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string write(const std::string &name, const std::string &text) const;  // the file's path
};
std::string read_file(const std::string &path);
std::string replace_all(std::string s, const std::string &from, const std::string &to);
std::size_t count(const std::string &s, const std::string &what);
inline std::string stderr_of(const std::function<void()> &f)
{
    return ::testing::internal::CaptureStderr(), f(), ::testing::internal::GetCapturedStderr();
}
inline double real_now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

// A state record as main() makes it, after load_config() of dir/t.conf, written
// with text first ('@' is dir) unless text is empty; freed with what it owns.
using state_ptr = std::unique_ptr<ntp_state, void (*)(ntp_state *)>;
struct loaded { state_ptr st; int res; std::string err; };
loaded load_conf(const temp_dir &dir, const std::string &text, bool use_d_dir = false);

// A program, the shim preloaded unless shim is false, its output in files of dir,
// without the capability to set the clock, or with userns in a user namespace of
// its own; stopped by its PID at scope end. status: exit status or 128 + signal.
struct process {
    int pid = -1, status = -1;
    std::string out, err;
    process(const temp_dir &dir, const strings &args, const strings &env = {}, const std::string &input = "",
            bool shim = true, const char *program = QUORIX_BIN, bool userns = false);
    ~process();
    bool wait(double seconds);
    std::string error_output(double seconds = 10)  // once it has ended
    {
        EXPECT_TRUE(wait(seconds)) << "still running";
        return read_file(err);
    }
};
// Tests of the daemon, which run only once the shim proves to load. start(): the
// daemon on config; client_conf(): a client of host:port with one try of 100 ms,
// its log on standard error, then extra.
struct daemon_test : ::testing::Test {
    void SetUp() override;
};
inline auto start(const temp_dir &dir, const std::string &config, const strings &env = {})
{
    return std::make_unique<process>(dir, strings{"--disable-d", "-c", dir.write("test.conf", config)}, env);
}
inline std::string client_conf(std::uint16_t port, const std::string &extra = "", const std::string &host = "127.0.0.1")
{
    return "enable_client = 1\nlog.stderr = 1\nrecv_timeout = 100\nnum_update_tries = 1\ntimeserver.a = " + host +
           ":" + std::to_string(port) + "\n" + extra;
}

// The file once it holds text; the number after the first label (NAN: none); NTP
// seconds as Unix time; a reply (LI 0, VN 3) to req from a server offset_s ahead
// of the real clock that received it held_s ago.
std::string wait_text(const std::string &path, const std::string &text, double seconds = 5);
inline double seconds_in(const std::string &text, const std::string &label = "Offset: ")
{
    std::size_t at = text.find(label);
    return at == std::string::npos ? NAN : std::strtod(text.c_str() + at + label.size(), nullptr);
}
double ntp_seconds(const std::uint8_t *p);
std::array<std::uint8_t, 48> make_reply(const bytes &req, double offset_s, double held_s = 0);

struct udp_peer {  // on 127.0.0.1, another IPv4 loopback address, or ::1; from: the last sender's port
    int fd;
    std::uint16_t port, from = 0;
    explicit udp_peer(std::uint32_t host = 0x7F000001, bool v6 = false);
    ~udp_peer() { close(fd); }
    bytes recv(int timeout_ms);  // empty when nothing came
    void send(std::span<const std::uint8_t> data, std::uint16_t to);
};

// In the unit tests: the system log since the last call, "<priority>:<text>\n"
// per message.
std::string syslog_since();

#endif
