// Helpers shared by the tests: temporary directories, output capture, running
// the real binary, and the controls of the unit tests' link seams.
#ifndef QUORIX_TESTSUPPORT_H
#define QUORIX_TESTSUPPORT_H

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
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

// Run f with standard error going to a file; returns what f wrote there.
std::string stderr_of(const std::function<void()> &f);

// A zero-filled state record as main() makes it, freed with everything it owns
// at scope end (the daemon itself never frees it).
using state_ptr = std::unique_ptr<ntp_state, void (*)(ntp_state *)>;
state_ptr new_state();

// load_config(path) into a fresh state, and what it wrote to standard error.
struct load_result {
    state_ptr st;
    int res;
    std::string err;
};
load_result load_conf(const std::string &path, bool use_d_dir = true);

// The configuration a state holds: its texts, its time servers ("host:port")
// and the bytes of every other field. Equal images, equal configurations.
std::string state_image(const ntp_state *st);

// Result of running a program to its end.
struct run_result {
    int status = -1;   // exit status, or 128 + signal number
    std::string out;   // standard output
    std::string err;   // standard error
};

// The child never holds the capability to set the clock.
struct run_options {
    std::string stdin_text;                  // fed to standard input
    std::vector<std::string> env;            // extra NAME=VALUE entries
    double timeout_s = 20.0;                 // killed (SIGKILL) after this
};

// Run path with args (argv[0] included) and wait for it.
run_result run_program(const std::vector<std::string> &argv, const run_options &opt = {});

// A started child whose output goes to files; ended by its PID only.
struct child_process {
    pid_t pid = -1;
    std::string out_path, err_path;
    int status = -1;
};
child_process start_program(const std::vector<std::string> &argv, const run_options &opt,
                            const temp_dir &dir);
// Wait up to timeout_s for the child to end; false if it is still running.
bool wait_program(child_process *child, double timeout_s);
// End the child (SIGTERM, then SIGKILL) and reap it.
void stop_program(child_process *child);

// Controls of the unit tests' link seams (tests/support/seams.cpp).
// The n-th malloc/realloc call from now on (0 = the next) fails with ENOMEM,
// that one only; -1 fails none. Returns the number of calls since the last arm.
long seam_fail_alloc(long n);
// The names the fake resolver knows (name to dotted address; all others fail),
// and the lookups made since they were set.
void seam_hosts(const std::vector<std::pair<std::string, std::string>> &names);
long seam_lookups();
// System-log calls since the last take, as "<priority> <text>".
std::vector<std::string> seam_syslog_take();

#endif
