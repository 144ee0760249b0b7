#include "testsupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/capability.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "conf.h"

temp_dir::temp_dir()
{
    const char *t = std::getenv("TMPDIR");
    std::string tmpl = std::string(t != nullptr && *t != '\0' ? t : "/tmp") + "/quorix-test-XXXXXX";
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
    write_file(*this / name, content);
    return *this / name;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool file_exists(const std::string &path)
{
    struct stat sb;
    return lstat(path.c_str(), &sb) == 0;
}

void remove_tree(const std::string &path)
{
    nftw(path.c_str(), [](const char *p, const struct stat *, int, FTW *) { return ::remove(p); },
         16, FTW_DEPTH | FTW_PHYS);
}

std::string stderr_of(const std::function<void()> &f)
{
    char path[] = "/tmp/quorix-capture-XXXXXX";
    int tmp = mkstemp(path), saved = dup(2);
    if (tmp < 0 || saved < 0)
        throw std::runtime_error("cannot redirect standard error");
    dup2(tmp, 2);
    close(tmp);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text = read_file(path);
    unlink(path);
    return text;
}

state_ptr new_state()
{
    return state_ptr(static_cast<ntp_state *>(std::calloc(1, sizeof(ntp_state))), [](ntp_state *st) {
        for (std::size_t i = 0; i < st->timeservers.count; i++)
            std::free(st->timeservers.items[i]);
        ptrarr_deinit(&st->timeservers);
        for (char *p : {st->log_filename, st->rotate_name_from, st->rotate_name_to, st->bind_if,
                        st->rtcdev})
            std::free(p);
        if (st->log_file != nullptr)
            std::fclose(st->log_file);
        std::free(st);
    });
}

load_result load_conf(const std::string &path, bool use_d_dir)
{
    load_result r{new_state(), 0, {}};
    r.err = stderr_of([&] { r.res = load_config(r.st.get(), path.c_str(), use_d_dir, false); });
    return r;
}

std::string state_image(const ntp_state *st)
{
    ntp_state rest;
    std::memcpy(&rest, st, sizeof(rest));  // padding too: it stays zero from calloc
    std::string out;
    for (auto f : {&ntp_state::log_filename, &ntp_state::bind_if, &ntp_state::rtcdev}) {
        out += rest.*f == nullptr ? std::string(1, '\0') : rest.*f + std::string("\n");
        rest.*f = nullptr;
    }
    for (std::size_t i = 0; i < st->timeservers.count; i++) {
        const auto *ts = static_cast<const timeserver_entry *>(st->timeservers.items[i]);
        out += ts->host + (":" + std::to_string(ts->port)) + "\n";
    }
    rest.timeservers.items = nullptr;
    return out.append(reinterpret_cast<const char *>(&rest), sizeof(rest));
}

child_process start_program(const std::vector<std::string> &argv, const run_options &opt,
                            const temp_dir &dir)
{
    static int serial = 0;
    std::string tag = std::to_string(getpid()) + "-" + std::to_string(serial++);
    child_process child{-1, dir / ("out-" + tag), dir / ("err-" + tag)};
    std::string in_path = dir.write("in-" + tag, opt.stdin_text);
    int fds[3] = {open(in_path.c_str(), O_RDONLY),
                  open(child.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                  open(child.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
    if (fds[0] < 0 || fds[1] < 0 || fds[2] < 0)
        throw std::runtime_error("cannot open the child's files");
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        for (int fd = 0; fd < 3; fd++)
            dup2(fds[fd], fd);
        // The tests run as root: without this a daemon that failed to load the
        // fake clock would step the host's clock.
        if (prctl(PR_CAPBSET_DROP, CAP_SYS_TIME, 0, 0, 0) != 0)
            _exit(126);
        for (const std::string &e : opt.env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    for (int fd : fds)
        close(fd);
    child.pid = pid;
    return child;
}

bool wait_program(child_process *child, double timeout_s)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (child->pid >= 0) {
        int status;
        if (waitpid(child->pid, &status, WNOHANG) == child->pid) {
            child->status = WIFEXITED(status)     ? WEXITSTATUS(status)
                            : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                                  : -1;
            child->pid = -1;
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return true;
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
    if (!wait_program(&child, opt.timeout_s)) {
        kill(child.pid, SIGKILL);
        wait_program(&child, 5.0);
    }
    return {child.status, read_file(child.out_path), read_file(child.err_path)};
}
