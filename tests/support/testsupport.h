// Helpers shared by the tests: temporary directories, output capture, running
// the real binary, and the controls of the unit tests' link seams.
#ifndef QUORIX_TESTSUPPORT_H
#define QUORIX_TESTSUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

struct ntp_state;

// A fresh directory under TMPDIR, removed with everything in it at scope end.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }
    // Path of name inside the directory.
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    // Write content to name (created or truncated); returns the full path.
    std::string write(const std::string &name, const std::string &content) const;

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
void remove_tree(const std::string &path);

// Redirects a descriptor (1 or 2) to a file until text() or destruction.
class fd_capture {
public:
    explicit fd_capture(int fd);
    ~fd_capture();
    fd_capture(const fd_capture &) = delete;
    fd_capture &operator=(const fd_capture &) = delete;
    // Stop capturing and return everything written meanwhile.
    std::string text();

private:
    int fd_;
    int saved_;
    std::string path_;
    bool done_ = false;
    std::string text_;
};

// A zero-filled state record as main() makes it, and its release for tests
// (the daemon itself never frees it).
ntp_state *new_state();
void free_state(ntp_state *st);

// Result of running a program to its end.
struct run_result {
    int status = -1;   // exit status, or 128 + signal number
    std::string out;   // standard output
    std::string err;   // standard error
};

struct run_options {
    std::string stdin_text;                  // fed to standard input
    std::string stdin_path;                  // or: opened as standard input
    std::vector<std::string> env;            // extra NAME=VALUE entries
    double timeout_s = 20.0;                 // killed (SIGKILL) after this
    bool drop_sys_time = true;               // never let the child set the clock
};

// Run path with args (argv[0] included) and wait for it.
run_result run_program(const std::vector<std::string> &argv, const run_options &opt = {});

// A started child whose output goes to files; ended by its PID only.
struct child_process {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
    int status = -1;
};
child_process start_program(const std::vector<std::string> &argv, const run_options &opt,
                            const temp_dir &dir);
// Wait up to timeout_s for the child to end; false if it is still running.
bool wait_program(child_process *child, double timeout_s);
// End the child (SIGTERM, then SIGKILL) and reap it.
void stop_program(child_process *child);

// Controls of the unit tests' link seams (tests/support/seams.cpp).
// From the n-th malloc/realloc call after this one on (0 = the next), every
// call fails with ENOMEM until seam_alloc_reset().
void seam_fail_alloc_from(long n);
void seam_alloc_reset();
// Number of malloc/realloc calls since the last reset.
long seam_alloc_calls();
// Names the fake resolver knows; all others fail. "localhost" is 127.0.0.1.
void seam_add_host(const std::string &name, const std::string &dotted);
void seam_hosts_reset();
long seam_lookups();
// System-log calls since the last take: "openlog <ident> <option> <facility>"
// and "<priority> <text>".
std::vector<std::string> seam_syslog_take();
// clock_settime fails with err (0: succeeds and is recorded, never made).
void seam_settime_fail(int err);
std::vector<struct timespec> seam_settime_take();

#endif
