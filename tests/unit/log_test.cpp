// Log writers, UTC time printing and rotation of the log file, on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>

#include "fmt.h"
#include "log.h"
#include "testsupport.h"

namespace {

using files = std::map<std::string, std::string>;  // "<1024 x>": a run of 1024 'x'
using lines = std::vector<std::string>;

struct state_guard {
    ntp_state *st = new_state();
    ~state_guard() { free_state(st); }
};

// The state of a daemon that appends to path.
void open_log(ntp_state *st, const std::string &path, int max_kib, int backups)
{
    st->log_filename = strdup(path.c_str());
    st->log_filename_len = path.size();
    st->rotate_name_from = static_cast<char *>(std::malloc(path.size() + 20));
    st->rotate_name_to = static_cast<char *>(std::malloc(path.size() + 20));
    st->logrotate_max_size = max_kib;
    st->logrotate_num_backups = backups;
    st->log_file = std::fopen(path.c_str(), "at");
}

void make_files(const std::string &dir, const files &fs)
{
    for (const auto &[name, text] : fs) {
        bool run = text.starts_with("<");
        write_file(dir + "/" + name, run ? std::string(std::stoul(text.substr(1)), 'x') : text);
    }
}

files snapshot(const std::string &dir)
{
    files out;
    for (std::string name : {"log", "log.0", "log.1", "log.2", "log.3"}) {
        std::string text = read_file(dir + "/" + name);
        std::size_t run = std::min(text.find_first_not_of('x'), text.size());
        if (file_exists(dir + "/" + name))
            out[name] = run < 16 ? text : "<" + std::to_string(run) + " x>" + text.substr(run);
    }
    return out;
}

} // namespace

TEST(LogTimeTest, PrintsUtcWithTruncatedMilliseconds)
{
    struct ntp_row { std::array<std::uint8_t, 8> ntp; const char *want; } ntp_rows[] = {
        {{0x83, 0xAA, 0x7E, 0x80, 0, 0, 0, 0}, "1970-01-01 00:00:00.000 UTC\n"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "2036-02-07 06:28:16.000 UTC\n"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, "2036-02-07 06:28:15.000 UTC\n"},
        {{0xE8, 0xFE, 0x6F, 0x80, 0x80, 0, 0, 0}, "2023-11-14 22:13:20.500 UTC\n"},
        {{0xE8, 0xFE, 0x6F, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}, "2023-11-14 22:13:20.999 UTC\n"},
        {{0xE8, 0xFE, 0x6F, 0x80, 0x00, 0x41, 0x89, 0x37}, "2023-11-14 22:13:20.000 UTC\n"},
        {{0xE8, 0xFE, 0x6F, 0x80, 0x00, 0x41, 0x89, 0x38}, "2023-11-14 22:13:20.001 UTC\n"},
    };
    struct wall_row { timespec when; const char *want; } wall_rows[] = {
        {{0, 999999999}, "1970-01-01 00:00:00.999 UTC\n"},
        {{1709164800, 1999999}, "2024-02-29 00:00:00.001 UTC\n"},
        {{-62135596800, 0}, "   1-01-01 00:00:00.000 UTC\n"},
    };
    state_guard g;
    g.st->log_stderr = true;
    auto check = [](const char *want, auto print) {
        SCOPED_TRACE(want);
        fd_capture err(2);
        print("at ");
        print(nullptr);
        EXPECT_EQ(err.text(), std::string("at ") + want + want);
    };
    for (const ntp_row &r : ntp_rows)
        check(r.want, [&](const char *prefix) { log_timestamp(g.st, prefix, r.ntp); });
    for (const wall_row &r : wall_rows)
        check(r.want, [&](const char *prefix) { log_timespec(g.st, prefix, &r.when); });
}

TEST(LogWriterTest, EachOutputGetsTheWholeMessage)
{
    struct row {
        bool outcome, is_error, to_stderr, to_file, to_syslog;
        const char *err, *file;
        lines sys;
    } rows[] = {
        {false, false, true, false, true, "a=1 b\n", "", {}},
        {false, false, false, false, true, "", "", {}},
        {false, false, true, true, false, "a=1 b\n", "a=1 b\n", {}},
        {false, false, false, true, true, "", "a=1 b\n", {}},
        {true, true, false, false, false, "a=1 b\n", "", {}},
        {true, true, false, true, true, "a=1 b\n", "a=1 b\n", {"3 a=1 b"}},
        {true, false, true, false, true, "a=1 b\n", "", {"6 a=1 b"}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(&r - rows);
        temp_dir dir;
        state_guard g;
        g.st->log_stderr = r.to_stderr;
        g.st->syslog_enable = r.to_syslog;
        if (r.to_file)
            open_log(g.st, dir / "log", 50, 1);
        seam_syslog_take();
        fd_capture err(2);
        if (r.outcome)
            log_all_impl(g.st, r.is_error, "%s=%d %s", "a", 1, "b");
        else
            log_impl(g.st, "%s=%d %s\n", "a", 1, "b");
        EXPECT_EQ(err.text(), r.err);
        EXPECT_EQ(read_file(dir / "log"), r.file);
        EXPECT_EQ(seam_syslog_take(), r.sys);
    }
}

// Missing backups are nothing to keep: even where rotation errors are fatal,
// the shift goes on without a word.
TEST(LogRotateTest, RotatesAtTheLimitAndShiftsTheBackupsThatExist)
{
    const std::string full = "<1024 x>", ab = "a\nb\n";
    struct row { int max_kib, backups; files before, after; } rows[] = {
        {1, 1, {{"log", full}}, {{"log", ab}, {"log.0", full}}},
        {1, 1, {{"log", "<1023 x>"}}, {{"log", "b\n"}, {"log.0", "<1023 x>a\n"}}},
        {2, 1, {{"log", "<2048 x>"}}, {{"log", ab}, {"log.0", "<2048 x>"}}},
        {1, 0, {{"log", full}, {"log.0", "B0"}}, {{"log", ab}, {"log.0", "B0"}}},
        {1, 1, {{"log", full}, {"log.0", "B0"}, {"log.1", "B1"}},
         {{"log", ab}, {"log.0", full}, {"log.1", "B1"}}},
        {1, 3, {{"log", full}, {"log.0", "B0"}, {"log.1", "B1"}, {"log.2", "B2"}},
         {{"log", ab}, {"log.0", full}, {"log.1", "B0"}, {"log.2", "B1"}}},
        {1, 3, {{"log", full}, {"log.0", "B0"}, {"log.2", "B2"}},
         {{"log", ab}, {"log.0", full}, {"log.1", "B0"}}},
        {1, 3, {{"log", full}, {"log.1", "B1"}}, {{"log", ab}, {"log.0", full}, {"log.2", "B1"}}},
        {1, 3, {{"log", full}}, {{"log", ab}, {"log.0", full}}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.before) + " backups " + std::to_string(r.backups));
        temp_dir dir;
        make_files(dir.path(), r.before);
        state_guard g;
        open_log(g.st, dir / "log", r.max_kib, r.backups);
        g.st->logrotate_ignore_error = false;
        g.st->syslog_enable = true;
        seam_syslog_take();
        log_impl(g.st, "a\n");
        log_impl(g.st, "b\n");
        EXPECT_EQ(snapshot(dir.path()), r.after);
        EXPECT_EQ(seam_syslog_take(), lines{});
    }
}

// A rename that really fails, or a log directory gone at the reopen, goes to
// the system log only and is fatal unless ignored. After a failed reopen the
// file gets nothing more; standard error and the system log get everything.
TEST(LogRotateTest, FailuresAreFatalUnlessIgnored)
{
    const std::string reopen = "3 Could not open '@/log' for write after log rotate: ";
    struct row {
        int backups;
        std::string full_dir, empty_dir;  // made in the log's directory beforehand
        int dir_becomes;                  // 0: stays, 1: gone, 2: a file
        lines sys;                        // "@" stands for the log's directory
    } rows[] = {
        {1, "log.0", "", 0, {"3 Could not rename '@/log' to '@/log.0': Is a directory"}},
        {2, "log.1", "log.0", 0,
         {"3 Could not rename '@/log.0' to '@/log.1': Directory not empty",
          "3 Could not rename '@/log' to '@/log.0': Is a directory"}},
        {1, "", "", 1, {reopen + "No such file or directory"}},
        {0, "", "", 2, {reopen + "Not a directory"}},
    };
    for (const row &r : rows) {
        for (int variant : {0, 1, 2}) {  // fatal; ignored with system log; ignored without
            SCOPED_TRACE(r.sys[0] + " variant " + std::to_string(variant));
            temp_dir dir;
            std::string sub = dir / "d";
            for (const std::string &d : {std::string(), r.empty_dir, r.full_dir})
                mkdir((sub + "/" + d).c_str(), 0700);
            make_files(sub, {{"log", "<1024 x>"}});
            if (!r.full_dir.empty())
                write_file(sub + "/" + r.full_dir + "/keep", "k");
            state_guard g;
            open_log(g.st, sub + "/log", 1, r.backups);
            g.st->log_stderr = true;
            g.st->syslog_enable = variant != 2;
            g.st->logrotate_ignore_error = variant != 0;
            if (r.dir_becomes != 0)
                remove_tree(sub);
            if (r.dir_becomes == 2)
                write_file(sub, "f");
            if (variant == 0) {
                EXPECT_EXIT(log_impl(g.st, "new\n"), ::testing::ExitedWithCode(1), "");
                continue;
            }
            seam_syslog_take();
            fd_capture err(2);
            log_impl(g.st, "new %d\n", 1);
            log_all_impl(g.st, true, "later");
            EXPECT_EQ(err.text(), "new 1\nlater\n");
            lines want;
            for (std::string m : variant == 1 ? r.sys : lines{}) {
                for (std::size_t at; (at = m.find('@')) != std::string::npos;)
                    m.replace(at, 1, sub);
                want.push_back(m);
            }
            if (variant == 1)
                want.push_back("3 later");
            EXPECT_EQ(seam_syslog_take(), want);
            EXPECT_EQ(g.st->log_file == nullptr, r.dir_becomes != 0);
            EXPECT_EQ(read_file(sub + "/log"), r.dir_becomes != 0 ? "" : "new 1\nlater\n");
        }
    }
}
