#include "testsupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/capability.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "conf.h"

namespace {

std::string tmp_base()
{
    const char *t = std::getenv("TMPDIR");
    return t != nullptr && *t != '\0' ? t : "/tmp";
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

// The child side of run_program/start_program; never returns.
[[noreturn]] void exec_child(const std::vector<std::string> &argv, const run_options &opt,
                             int in_fd, int out_fd, int err_fd)
{
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (opt.drop_sys_time) {
        // The tests run as root: without this a daemon that failed to load the
        // fake clock would step the host's clock.
        if (prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0) != 0)
            _exit(126);
    }
    for (const std::string &e : opt.env)
        putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int open_stdin(const run_options &opt, const std::string &scratch)
{
    if (!opt.stdin_path.empty())
        return open(opt.stdin_path.c_str(), O_RDONLY);
    write_file(scratch, opt.stdin_text);
    return open(scratch.c_str(), O_RDONLY);
}

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

temp_dir::temp_dir()
{
    std::string tmpl = tmp_base() + "/quorix-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

temp_dir::~temp_dir()
{
    remove_tree(path_);
}

std::string temp_dir::write(const std::string &name, const std::string &content) const
{
    std::string p = *this / name;
    write_file(p, content);
    return p;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string &path)
{
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

void remove_tree(const std::string &path)
{
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

fd_capture::fd_capture(int fd) : fd_(fd)
{
    std::fflush(nullptr);
    char tmpl[] = "/tmp/quorix-capture-XXXXXX";
    int tmp = mkstemp(tmpl);
    if (tmp < 0)
        throw std::runtime_error("mkstemp failed");
    path_ = tmpl;
    saved_ = dup(fd);
    dup2(tmp, fd);
    close(tmp);
}

std::string fd_capture::text()
{
    if (!done_) {
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        text_ = read_file(path_);
        unlink(path_.c_str());
        done_ = true;
    }
    return text_;
}

fd_capture::~fd_capture()
{
    text();
}

ntp_state *new_state()
{
    return static_cast<ntp_state *>(std::calloc(1, sizeof(ntp_state)));
}

void free_state(ntp_state *st)
{
    if (st == nullptr)
        return;
    for (std::size_t i = 0; i < st->timeservers.count; i++)
        std::free(st->timeservers.items[i]);
    ptrarr_deinit(&st->timeservers);
    std::free(st->log_filename);
    std::free(st->rotate_name_from);
    std::free(st->rotate_name_to);
    std::free(st->bind_if);
    std::free(st->rtcdev);
    if (st->log_file != nullptr)
        std::fclose(st->log_file);
    std::free(st);
}

child_process start_program(const std::vector<std::string> &argv, const run_options &opt,
                            const temp_dir &dir)
{
    static int serial = 0;
    child_process child;
    std::string tag = std::to_string(getpid()) + "-" + std::to_string(serial++);
    child.out_path = dir / ("out-" + tag);
    child.err_path = dir / ("err-" + tag);
    int in_fd = open_stdin(opt, dir / ("in-" + tag));
    int out_fd = open(child.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err_fd = open(child.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0)
        throw std::runtime_error("cannot open the child's files");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        exec_child(argv, opt, in_fd, out_fd, err_fd);
    close(in_fd);
    close(out_fd);
    close(err_fd);
    child.pid = pid;
    return child;
}

bool wait_program(child_process *child, double timeout_s)
{
    if (child->pid < 0)
        return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        int status;
        pid_t r = waitpid(child->pid, &status, WNOHANG);
        if (r == child->pid) {
            child->status = decode_status(status);
            child->pid = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void stop_program(child_process *child)
{
    if (child->pid < 0)
        return;
    kill(child->pid, SIGTERM);
    if (!wait_program(child, 5.0)) {
        kill(child->pid, SIGKILL);
        wait_program(child, 5.0);
    }
}

run_result run_program(const std::vector<std::string> &argv, const run_options &opt)
{
    temp_dir dir;
    child_process child = start_program(argv, opt, dir);
    run_result res;
    if (!wait_program(&child, opt.timeout_s)) {
        kill(child.pid, SIGKILL);
        wait_program(&child, 5.0);
    }
    res.status = child.status;
    res.out = read_file(child.out_path);
    res.err = read_file(child.err_path);
    return res;
}
