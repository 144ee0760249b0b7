// Log writers, UTC time printing and rotation of the log file, on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <map>

#include "fmt.h"
#include "log.h"
#include "testsupport.h"

namespace {

using files = std::map<std::string, std::string>;  // "<1024 x>": a run of 1024 'x'
using lines = std::vector<std::string>;

// The state of a daemon that appends to path, rotation errors being fatal.
state_ptr open_log(const std::string &path, int max_kib, int backups)
{
    state_ptr st = new_state();
    st->log_filename = strdup(path.c_str());
    st->log_filename_len = path.size();
    st->rotate_name_from = static_cast<char *>(std::malloc(path.size() + 20));
    st->rotate_name_to = static_cast<char *>(std::malloc(path.size() + 20));
    st->logrotate_max_size = max_kib;
    st->logrotate_num_backups = backups;
    st->log_file = std::fopen(path.c_str(), "at");
    return st;
}

void make_files(const std::string &dir, const files &fs)
{
    for (const auto &[name, text] : fs) {
        bool run = text[0] == '<';
        write_file(dir + "/" + name, run ? std::string(std::stoul(text.substr(1)), 'x') : text);
    }
}

// Every file in dir, a leading run of 16 or more 'x' written as "<n x>".
files snapshot(const std::string &dir)
{
    files out;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        std::string text = read_file(e.path());
        std::size_t run = std::min(text.find_first_not_of('x'), text.size());
        out[e.path().filename()] =
            run < 16 ? text : "<" + std::to_string(run) + " x>" + text.substr(run);
    }
    return out;
}

} // namespace

TEST(LogTimeTest, PrintsUtcWithTruncatedMilliseconds)
{
    const std::pair<std::array<std::uint8_t, 8>, const char *> ntp_rows[] = {
        {{0x83, 0xAA, 0x7E, 0x80, 0, 0, 0, 0}, "1970-01-01 00:00:00.000 UTC\n"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, "2036-02-07 06:28:16.000 UTC\n"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, "2036-02-07 06:28:15.000 UTC\n"},
        {{0xE8, 0xFE, 0x6F, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}, "2023-11-14 22:13:20.999 UTC\n"},
        {{0xE8, 0xFE, 0x6F, 0x80, 0x00, 0x41, 0x89, 0x37}, "2023-11-14 22:13:20.000 UTC\n"},
        {{0xE8, 0xFE, 0x6F, 0x80, 0x00, 0x41, 0x89, 0x38}, "2023-11-14 22:13:20.001 UTC\n"},
    };
    const std::pair<timespec, const char *> wall_rows[] = {
        {{0, 999999999}, "1970-01-01 00:00:00.999 UTC\n"},
        {{1709164800, 1999999}, "2024-02-29 00:00:00.001 UTC\n"},
        {{-62135596800, 0}, "   1-01-01 00:00:00.000 UTC\n"},
    };
    state_ptr st = new_state();
    st->log_stderr = true;
    auto twice = [](auto print) { return stderr_of([&] { print("at "); print(nullptr); }); };
    for (const auto &[ntp, want] : ntp_rows)
        EXPECT_EQ(twice([&](const char *pre) { log_timestamp(st.get(), pre, ntp); }),
                  std::string("at ") + want + want);
    for (const auto &[when, want] : wall_rows)
        EXPECT_EQ(twice([&](const char *pre) { log_timespec(st.get(), pre, &when); }),
                  std::string("at ") + want + want);
}

TEST(LogWriterTest, EachOutputGetsTheWholeMessage)
{
    // writer (0 log_impl, 1 an error, 2 an outcome), outputs ('e' standard
    // error, 'f' the file, 's' the system log), and what each of them gets
    const std::tuple<int, std::string, const char *, const char *, lines> rows[] = {
        {0, "ef", "a=1 b\n", "a=1 b\n", {}},
        {0, "fs", "", "a=1 b\n", {}},
        {1, "", "a=1 b\n", "", {}},
        {1, "fs", "a=1 b\n", "a=1 b\n", {"3 a=1 b"}},
        {2, "es", "a=1 b\n", "", {"6 a=1 b"}},
    };
    for (const auto &[writer, outputs, err, file, sys] : rows) {
        SCOPED_TRACE(std::to_string(writer) + " " + outputs);
        temp_dir dir;
        auto has = [&outputs](char c) { return outputs.find(c) != std::string::npos; };
        state_ptr st = has('f') ? open_log(dir / "log", 50, 1) : new_state();
        st->log_stderr = has('e');
        st->syslog_enable = has('s');
        seam_syslog_take();
        EXPECT_EQ(stderr_of([&] {
                      if (writer == 0)
                          log_impl(st.get(), "%s=%d %s\n", "a", 1, "b");
                      else
                          log_all_impl(st.get(), writer == 1, "%s=%d %s", "a", 1, "b");
                  }),
                  err);
        EXPECT_EQ(read_file(dir / "log"), file);
        EXPECT_EQ(seam_syslog_take(), sys);
    }
}

// Missing backups are nothing to keep: even where rotation errors are fatal,
// the shift goes on without a word.
TEST(LogRotateTest, RotatesAtTheLimitAndShiftsTheBackupsThatExist)
{
    const std::string full = "<1024 x>", ab = "a\nb\n";
    const std::tuple<int, int, files, files> rows[] = {  // KiB, backups, before, after
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
    };
    for (const auto &[max_kib, backups, before, after] : rows) {
        SCOPED_TRACE(::testing::PrintToString(before) + " backups " + std::to_string(backups));
        temp_dir dir;
        make_files(dir.path(), before);
        state_ptr st = open_log(dir / "log", max_kib, backups);
        st->syslog_enable = true;
        seam_syslog_take();
        log_impl(st.get(), "a\n");
        log_impl(st.get(), "b\n");
        EXPECT_EQ(snapshot(dir.path()), after);
        EXPECT_EQ(seam_syslog_take(), lines{});
    }
}

// A rename that really fails, or a log directory gone at the reopen, goes to
// the system log only and is fatal unless ignored. After a failed reopen the
// file gets nothing more; standard error and the system log get everything.
TEST(LogRotateTest, FailuresAreFatalUnlessIgnored)
{
    const std::pair<bool, lines> rows[] = {  // the directory goes; "@" stands for it
        {false, {"3 Could not rename '@/log.0' to '@/log.1': Directory not empty",
                 "3 Could not rename '@/log' to '@/log.0': Is a directory"}},
        {true, {"3 Could not open '@/log' for write after log rotate: No such file or directory"}},
    };
    for (const auto &[dir_goes, sys] : rows) {
        for (int variant : {0, 1, 2}) {  // fatal; ignored with system log; ignored without
            SCOPED_TRACE(sys[0] + " variant " + std::to_string(variant));
            temp_dir dir;
            const std::string sub = dir / "d";
            for (const char *d : {"", "/log.0", "/log.1"})
                mkdir((sub + d).c_str(), 0700);
            make_files(sub, {{"log", "<1024 x>"}, {"log.1/keep", "k"}});
            state_ptr st = open_log(sub + "/log", 1, 2);
            st->log_stderr = true;
            st->syslog_enable = variant != 2;
            st->logrotate_ignore_error = variant != 0;
            if (dir_goes)
                remove_tree(sub);
            if (variant == 0) {
                EXPECT_EXIT(log_impl(st.get(), "new\n"), ::testing::ExitedWithCode(1), "");
                continue;
            }
            seam_syslog_take();
            EXPECT_EQ(stderr_of([&] {
                          log_impl(st.get(), "new %d\n", 1);
                          log_all_impl(st.get(), true, "later");
                      }),
                      "new 1\nlater\n");
            lines want;
            for (std::string m : variant == 1 ? sys : lines{}) {
                for (std::size_t at; (at = m.find('@')) != std::string::npos;)
                    m.replace(at, 1, sub);
                want.push_back(m);
            }
            if (variant == 1)
                want.push_back("3 later");
            EXPECT_EQ(seam_syslog_take(), want);
            EXPECT_EQ(st->log_file == nullptr, dir_goes);
            EXPECT_EQ(read_file(sub + "/log"), dir_goes ? "" : "new 1\nlater\n");
        }
    }
}
