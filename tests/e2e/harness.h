// Running the real daemon in end-to-end tests: the preloaded fake clock, a
// fake NTP peer on 127.0.0.1 and waiting for output.
#ifndef QUORIX_HARNESS_H
#define QUORIX_HARNESS_H

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "testsupport.h"

using bytes = std::vector<std::uint8_t>;
using packet48 = std::array<std::uint8_t, 48>;

// The command line that runs the daemon with args. With QUORIX_VALGRIND=1 in
// the environment the daemon runs under valgrind's memcheck, which ends it with
// status 99 on a memory error or a definite leak (use it with a build without
// sanitizers).
std::vector<std::string> daemon_command(const std::vector<std::string> &args);

// Options that preload the fake clock, recording to dir/fake.log.
run_options fake_clock_options(const temp_dir &dir, std::vector<std::string> env = {});

// Start the daemon with config text in dir/test.conf (no .d directory).
child_process start_daemon(const temp_dir &dir, const std::string &config,
                           std::vector<std::string> env = {});

// Wait until the file holds text; returns the file's content either way.
std::string wait_for_text(const std::string &path, const std::string &text, double timeout_s);

// The port of the daemon's "Local address: %s:%u" line (log.config), waited
// for up to 10 s; 0 when it does not appear.
std::uint16_t reported_port(const std::string &err_path);

// A client of one time server at host:port, logging to standard error, with
// one try of 100 ms; keys repeated in extra replace these.
std::string client_conf(std::uint16_t port, const std::string &extra,
                        const std::string &host = "127.0.0.1");

// How often what occurs in s, and s with each from replaced by to.
std::size_t count(const std::string &s, const std::string &what);
std::string replace_all(std::string s, const std::string &from, const std::string &to);

// The real wall clock, and an NTP timestamp (8 big-endian bytes), in Unix seconds.
double real_now();
double get_ntp_time(const std::uint8_t *src);

// The value of the first "<label>%d.%06u sec" in text, in seconds; NAN when
// there is none.
double seconds_in(const std::string &text, const std::string &label = "Offset: ");

// A server reply (VN 3) to the request req, as a server whose clock runs
// offset_s ahead of the real clock would send it.
packet48 make_reply(const bytes &req, double offset_s);

// A UDP socket on 127.0.0.1 that plays a time server or client.
class udp_peer {
public:
    udp_peer();
    ~udp_peer();
    udp_peer(const udp_peer &) = delete;
    udp_peer &operator=(const udp_peer &) = delete;
    std::uint16_t port() const { return port_; }
    std::uint16_t from() const { return from_; }  // the sender of the last datagram
    // One datagram received within timeout_ms; empty when none came.
    bytes recv(int timeout_ms);
    void send(std::span<const std::uint8_t> data, std::uint16_t port);
    // Receive a request and answer it with make_reply(offset_s); returns the
    // request, empty when none came.
    bytes serve(double offset_s, int timeout_ms = 5000);

private:
    int fd_;
    std::uint16_t port_, from_ = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_udp_port();

// Base of the tests that run the daemon: each fails at once when the fake
// clock does not load, because the daemon must never run without it.
struct daemon_test : ::testing::Test {
    void SetUp() override;
};

// Ends the child (by its PID) when the scope ends, whatever became of the test.
struct child_stopper {
    child_process *child;
    ~child_stopper() { stop_program(child); }
};

#endif
