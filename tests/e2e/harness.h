// Running the real daemon in end-to-end tests: the preloaded fake clock, a
// fake NTP peer on 127.0.0.1 and waiting for output.
#ifndef QUORIX_HARNESS_H
#define QUORIX_HARNESS_H

#include <netinet/in.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "testsupport.h"

using packet48 = std::array<std::uint8_t, 48>;

// The daemon under test and the fake clock library.
std::string daemon_path();

// The command line that runs the daemon with args. With QUORIX_VALGRIND=1 in
// the environment the daemon runs under valgrind's memcheck, which ends it with
// status 99 on a memory error or a definite leak (use it with a build without
// sanitizers).
std::vector<std::string> daemon_command(const std::vector<std::string> &args);

// Options that preload the fake clock, logging to dir/fake.log.
run_options fake_clock_options(const temp_dir &dir, std::vector<std::string> env = {});

// True when the fake clock really loads into the daemon: the tests must not
// run the daemon without it.
bool fake_clock_works();

// Start the daemon with config text in dir/test.conf (no .d directory).
child_process start_daemon(const temp_dir &dir, const std::string &config,
                           std::vector<std::string> env = {});
run_result run_daemon(const temp_dir &dir, const std::string &config,
                      std::vector<std::string> env = {}, double timeout_s = 20.0);

// Wait until the file holds text; returns the file's content either way.
std::string wait_for_text(const std::string &path, const std::string &text, double timeout_s);

// A client of one time server at host:port on 127.0.0.1, logging to standard
// error, with one try of 100 ms; extra lines may replace any of these keys.
std::string client_conf(std::uint16_t port, const std::string &extra,
                        const char *host = "127.0.0.1");

// How often what occurs in s.
std::size_t count(const std::string &s, const std::string &what);

// A UDP port on 127.0.0.1 that was free a moment ago.
std::uint16_t free_udp_port();

// The real wall clock in seconds.
double real_now();

// An NTP timestamp (8 big-endian bytes) of a time in Unix seconds, and back.
void put_ntp_time(std::uint8_t *dst, double unix_seconds);
double get_ntp_time(const std::uint8_t *src);

// A UDP socket on 127.0.0.1 that plays a time server or client.
class udp_peer {
public:
    explicit udp_peer(std::uint16_t port = 0);
    ~udp_peer();
    udp_peer(const udp_peer &) = delete;
    udp_peer &operator=(const udp_peer &) = delete;
    std::uint16_t port() const { return port_; }
    // Receive one datagram within timeout_ms; returns its full length or -1.
    long recv(std::vector<std::uint8_t> *data, sockaddr_in *from, int timeout_ms);
    void send(const void *data, std::size_t len, const sockaddr_in &to);
    void send_to_port(const void *data, std::size_t len, std::uint16_t port);

private:
    int fd_;
    std::uint16_t port_;
};

// Base of the tests that run the daemon: each fails at once when the fake
// clock does not load, because the daemon must never run without it.
struct daemon_test : ::testing::Test {
    void SetUp() override;
};

// Ends the child (by its PID) when the scope ends, whatever became of the test.
struct child_stopper {
    child_process *child;
    ~child_stopper();
};

// Receive one request within timeout_ms and answer it with make_reply(offset_s).
// Returns the request, empty when none came; *from is its sender.
std::vector<std::uint8_t> serve_one(udp_peer *srv, double offset_s, sockaddr_in *from,
                                    int timeout_ms = 5000);

// The port of the daemon's "Local address: %s:%u" line (log.config) in the
// file at err_path, waited for up to timeout_s; 0 when it does not appear.
std::uint16_t reported_port(const std::string &err_path, double timeout_s);

// The first "Offset: %d.%06u sec" line in text: false when there is none.
bool find_offset(const std::string &text, int *whole, unsigned *us);

// A server reply (VN 3) to the request req, as a server whose clock runs
// offset_s ahead of the real clock would send it.
packet48 make_reply(const std::uint8_t *req, double offset_s);

#endif
