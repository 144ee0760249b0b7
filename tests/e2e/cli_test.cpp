// The command line of the real daemon, byte for byte: help, version, argument
// errors and the order in which options take effect.
#include <gtest/gtest.h>

#include <sys/stat.h>

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

// A configuration that loaded goes on to start-up; a client without servers
// stops there, which proves the load succeeded without starting a daemon.
const std::string LOADED =
    "Client mode is enabled, but no usable timeservers are specified.\n"
    "Failed to init the NTP state\n";

} // namespace

// Options act in order: --help and --version end the parsing, the last -c and
// the last of --enable-d and --disable-d win, and --stdin wins over -c.
TEST(CliTest, OptionsAndTheirPrecedence)
{
    temp_dir dir;
    dir.write("ok.conf", "poll_interval = 60\nenable_client = yes\n");
    dir.write("d.conf", "enable_client = yes\n");
    mkdir((dir / "d.d").c_str(), 0755);
    dir.write("d.d/1.conf", "num_update_tries = 0\n");
    const std::string version = "ntp-quorix v0.2.6\n", missing = BIN + ": '-c': missing argument\n";
    auto unknown = [](const std::string &arg) { return BIN + ": '" + arg + "': unknown argument\n"; };
    const std::string failed = "Failed to process the configuration.\nFailed to load config file ";
    const std::string d_error = "Failed to parse 'num_update_tries' key: value '0' was invalid\n" +
                                failed + "'@/d.conf'\n";
    const struct {
        std::vector<std::string> args;  // after the program name; '@' is the test's directory
        std::string stdin_text;
        int status;
        std::string out, err;
    } rows[] = {
        {{"--help"}, "", 0, HELP_TEXT, ""},
        {{"--version"}, "", 0, version, ""},
        {{"-c"}, "", 1, "", missing},
        {{"--disable-d", "-c"}, "", 1, "", missing},
        {{"--version", "-c"}, "", 0, version, ""},
        {{"--help", "--bogus"}, "", 0, HELP_TEXT, ""},
        {{"--bogus", "--help"}, "", 1, "", unknown("--bogus")},
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
        {{"-c", "@/none.conf", "--stdin"}, "enable_client = yes\n", 1, "", LOADED},
        {{"--stdin", "-c", "@/none.conf"}, "poll_interval = 5\n", 1, "",
         "Failed to parse 'poll_interval' key: value '5' was invalid\n" + failed + "'@/none.conf'\n"},
        {{"--stdin"}, "poll_interval = 60", 1, "",
         "Config line too long in '<stdin>'\nFailed to load config file '/etc/ntp-quorix.conf'\n"},
        {{"-c", "@/d.conf"}, "", 1, "", d_error},
        {{"--disable-d", "-c", "@/d.conf"}, "", 1, "", LOADED},
        {{"--disable-d", "--enable-d", "-c", "@/d.conf"}, "", 1, "", d_error},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(r.args));
        std::vector<std::string> argv = daemon_command({});
        for (const std::string &a : r.args)
            argv.push_back(replace_all(a, "@", dir.path()));
        run_options opt = fake_clock_options(dir);
        opt.stdin_text = r.stdin_text;
        run_result res = run_program(argv, opt);
        EXPECT_EQ(res.status, r.status);
        EXPECT_EQ(res.out, r.out);
        EXPECT_EQ(res.err, replace_all(r.err, "@", dir.path()));
    }
}
