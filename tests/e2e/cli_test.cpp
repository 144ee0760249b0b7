#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string BIN = QUORIX_BIN;

const std::string HELP_TEXT =
    "Usage: " QUORIX_BIN " [OPTION]...\n"
    "Quorix NTP daemon.\n"
    "\n"
    "  -c CONFIG    set configuration file path\n"
    "               (default: '/etc/ntp-quorix.conf')\n"
    "  --enable-d   enable '.d' directory based on config file path\n"
    "               (enabled by default)\n"
    "  --disable-d  disable '.d' directory support\n"
    "  --help       print help text and exit\n"
    "  --stdin      read configuration from standard input (this option will\n"
    "               automatically disable the '.d' directory support, and\n"
    "               ignores the '-c' option)\n"
    "  --version    print version number and exit\n";

struct cli_row {
    std::vector<std::string> args;  // after the program name; '@' is the temporary directory
    std::string stdin_text;
    int status;
    std::string out, err;
};

void run_rows(const std::vector<cli_row> &rows, const temp_dir &dir)
{
    auto expand = [&](std::string s) {
        for (std::size_t at; (at = s.find('@')) != std::string::npos;)
            s.replace(at, 1, dir.path());
        return s;
    };
    // The daemon keeps its state record until the process ends, so a sanitizer
    // build would report it at every exit; the unit tests check loading for leaks.
    const char *asan = std::getenv("ASAN_OPTIONS");
    run_options opt;
    opt.env = {std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0"};
    for (const cli_row &r : rows) {
        std::vector<std::string> argv = daemon_command({});
        std::string shown;
        for (const std::string &a : r.args) {
            argv.push_back(expand(a));
            shown += " '" + a + "'";
        }
        SCOPED_TRACE("args:" + shown);
        opt.stdin_text = r.stdin_text;
        run_result res = run_program(argv, opt);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.out, r.out);
        EXPECT_EQ(res.err, expand(r.err));
    }
}

// A configuration that loaded goes on to start-up; a client without servers
// stops there, which proves the load succeeded without starting a daemon.
const std::string LOADED =
    "Client mode is enabled, but no usable timeservers are specified.\n"
    "Failed to init the NTP state\n";

} // namespace

TEST(CliTest, OptionsAndTheirPrecedence)
{
    temp_dir dir;
    dir.write("ok.conf", "poll_interval = 60\nenable_client = yes\n");
    const std::string version = "ntp-quorix v0.2.6\n", missing = BIN + ": '-c': missing argument\n";
    auto unknown = [](const std::string &arg) { return BIN + ": '" + arg + "': unknown argument\n"; };
    run_rows({
        {{"--help"}, "", 0, HELP_TEXT, ""},
        {{"--version"}, "", 0, version, ""},
        {{"-c"}, "", 1, "", missing},
        {{"--disable-d", "-c"}, "", 1, "", missing},
        {{"--version", "-c"}, "", 0, version, ""},
        {{"--help", "--bogus"}, "", 0, HELP_TEXT, ""},
        {{"--bogus", "--help"}, "", 1, "", unknown("--bogus")},
        {{"-X"}, "", 1, "", unknown("-X")},
        {{"-C", "@/ok.conf"}, "", 1, "", unknown("-C")},
        {{"--HELP"}, "", 1, "", unknown("--HELP")},
        {{""}, "", 1, "", unknown("")},
        {{"-c", "--help"}, "", 1, "",
         "Supplied file does not seem to be a config file: '--help'\n"
         "Failed to load config file '--help'\n"},
        {{"-c", "@/ok.conf"}, "", 1, "", LOADED},
        {{"-c", "@/ok.conf", "-c", "@/none.conf"}, "", 1, "",
         "Could not open config file '@/none.conf': No such file or directory\n"
         "Failed to load config file '@/none.conf'\n"},
    }, dir);
}

TEST(CliTest, ConfigurationOutcomes)
{
    temp_dir dir;
    dir.write("bad.conf", "enable_client = yes\nlogrotate.max_size = 0\n");
    dir.write("d.conf", "enable_client = yes\n");
    mkdir((dir / "d.d").c_str(), 0755);
    dir.write("d.d/1.conf", "num_update_tries = 0\n");
    const std::string good = "update_dryrun = yes\nlog.filename = \"/var/log/my log\"\n"
                             "logrotate.max_size = 100\nenable_client = yes\n";
    const std::string failed = "Failed to process the configuration.\nFailed to load config file ";
    const std::string d_error = "Failed to parse 'num_update_tries' key: value '0' was invalid\n" +
                                failed + "'@/d.conf'\n";
    run_rows({
        {{"-c", "@/none.conf", "--stdin"}, good, 1, "", LOADED},
        {{"--stdin", "-c", "@/none.conf"}, "poll_interval = 5\n", 1, "",
         "Failed to parse 'poll_interval' key: value '5' was invalid\n" + failed + "'@/none.conf'\n"},
        {{"--stdin"}, "poll_interval = 60", 1, "",
         "Config line too long in '<stdin>'\nFailed to load config file '/etc/ntp-quorix.conf'\n"},
        {{"-c", "@/bad.conf"}, "", 1, "",
         "Failed to parse 'max_size' key: value '0' was invalid\n" + failed + "'@/bad.conf'\n"},
        {{"-c", "@/d.conf"}, "", 1, "", d_error},
        {{"--disable-d", "-c", "@/d.conf"}, "", 1, "", LOADED},
        {{"--disable-d", "--enable-d", "-c", "@/d.conf"}, "", 1, "", d_error},
    }, dir);
}
