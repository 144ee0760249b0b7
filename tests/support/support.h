// Helpers of the tests: files, state records, programs run without the
// capability to set the clock, the shim, UDP peers on 127.0.0.1.
#ifndef QUORIX_SUPPORT_H
#define QUORIX_SUPPORT_H

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <span>

struct ntp_state;

// The Linux variant of the daemon: the kernel's synchronised status, the
// real-time clock device and the kernel's times of datagrams (unless the
// kernel gives none: $QUORIX_NO_KERNEL_TIMES=1, under emulation).
constexpr bool linux_variant = QUORIX_LINUX;
bool kernel_times();
using bytes = std::vector<std::uint8_t>;
using strings = std::vector<std::string>;

struct temp_dir {  // removed with its contents at scope end
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string write(const std::string &name, const std::string &text) const;  // the file's path
};
std::string read_file(const std::string &path);
std::string replace_all(std::string s, const std::string &from, const std::string &to);
std::size_t count(const std::string &s, const std::string &what);
std::string stderr_of(const std::function<void()> &f);

// A state record as main() makes it, freed with what it owns; load_config() of
// a file into one.
using state_ptr = std::unique_ptr<ntp_state, void (*)(ntp_state *)>;
struct loaded { state_ptr st; int res; std::string err; };
loaded load_conf(const std::string &path, bool use_d_dir = true);

// A program, the shim preloaded unless shim is false, its output in files of
// dir; stopped by its PID at scope end. status: exit status or 128 + signal.
struct process {
    int pid = -1, status = -1;
    std::string out, err;
    process(const temp_dir &dir, const strings &args, const strings &env = {}, const std::string &input = "",
            bool shim = true, const char *program = QUORIX_BIN);
    ~process();
    bool wait(double seconds);
};
// The daemon on config; a client of host:port on standard error, one try of 100 ms.
std::unique_ptr<process> start(const temp_dir &dir, const std::string &config, const strings &env = {});
std::string client_conf(std::uint16_t port, const std::string &extra = "", const std::string &host = "127.0.0.1");
struct daemon_test : ::testing::Test {  // fails unless the shim loads
    void SetUp() override;
};

// The file once it holds text; the port of its "Local address" line; the
// number after the first label (NAN: none); a reply (LI 0, VN 3) to req from a server
// offset_s ahead of the real clock that received it held_s ago.
std::string wait_text(const std::string &path, const std::string &text, double seconds = 5);
std::uint16_t reported_port(const std::string &path);
double seconds_in(const std::string &text, const std::string &label = "Offset: ");
double real_now();
double ntp_seconds(const std::uint8_t *p);
std::array<std::uint8_t, 48> make_reply(const bytes &req, double offset_s, double held_s = 0);

struct udp_peer {  // on 127.0.0.1; from: the sender of the last datagram received
    int fd;
    std::uint16_t port, from = 0;
    udp_peer();
    ~udp_peer();
    bytes recv(int timeout_ms);  // empty when nothing came
    void send(std::span<const std::uint8_t> data, std::uint16_t to);
};

// Link seams of the unit tests: the n-th allocation or directory read from
// now on fails (-1: none; returns the calls since the last arm); the names the
// resolver knows; the system log since the last call, "<priority>:<text>\n"
// per message.
long seam_fail_alloc(long n);
void seam_hosts(const std::vector<std::pair<std::string, std::string>> &names);
std::string seam_syslog();

#endif
