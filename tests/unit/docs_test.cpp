// The manual, the installed default configuration and the daemon must agree
// on every key: its name, its default and its range.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "conf.h"
#include "harness.h"

namespace {

// A ".TP" / ".B <key>" entry of ntp-quorix.conf(5); def "" stands for "not set".
struct doc_key {
    std::string name, text, def;
};

std::vector<doc_key> manual_keys()
{
    const std::string man = read_file(QUORIX_SOURCE_DIR "/docs/man/ntp-quorix.conf.5");
    std::vector<doc_key> keys;
    for (std::size_t at = 0; (at = man.find("\n.TP\n.B ", at)) != std::string::npos;) {
        std::size_t eol = man.find('\n', at += 8);
        std::size_t end = std::min(man.find("\n.TP\n", eol), man.find("\n.SH", eol));
        std::string text = man.substr(eol + 1, end - eol - 1);
        std::string last = text.substr(text.rfind('\n') + 1);
        bool shown = last.starts_with("Default: \\fB") && last.ends_with("\\fR.");
        keys.push_back({man.substr(at, eol - at), text, shown ? last.substr(12, last.size() - 16)
                        : last == "Default: not set." ? "" : "(no default)"});
    }
    return keys;
}

// The "# <key> = <default>" lines of the default configuration, uncommented.
std::string dist_uncommented(bool with_timeservers)
{
    std::istringstream in(read_file(QUORIX_SOURCE_DIR "/dist/ntp-quorix.conf"));
    std::string out;
    for (std::string line; std::getline(in, line);) {
        std::size_t eq = line.find(" = ");
        if (line.starts_with("# ") && eq != std::string::npos && line.find(' ', 2) == eq &&
            (with_timeservers || !line.starts_with("# timeserver.")))
            out += line.substr(2) + "\n";
    }
    return out;
}

// load_config's result and the configuration it gave.
std::pair<int, std::string> load(const temp_dir &dir, const std::string &config)
{
    load_result r = load_conf(dir.write("t.conf", config), false);
    return {r.res, state_image(r.st.get())};
}

} // namespace

TEST(DocsTest, ManualAndDefaultFileListTheSameKeysAndDefaults)
{
    std::string manual;
    for (const doc_key &k : manual_keys())
        manual += k.name + " = " + k.def + "\n";
    EXPECT_EQ(manual, dist_uncommented(false));
}

// The documented defaults leave the state as an empty file does; another value
// changes it, so the daemon knows the key (it ignores unknown keys silently).
TEST(DocsTest, DocumentedKeysAndDefaultsAreTheDaemons)
{
    temp_dir dir;
    const std::string empty = load(dir, "").second;
    std::string all;
    std::set<std::string> changed;
    for (const doc_key &k : manual_keys()) {
        SCOPED_TRACE(k.name + " = " + k.def);
        all += k.def.empty() ? "" : k.name + " = " + k.def + "\n";
        std::string other;
        long long min, max;
        char a[16], b[16];
        if (k.text.starts_with("Boolean."))
            other = k.def == "yes" ? "no" : "yes";
        else if (k.text.starts_with("Text."))
            other = "/var/lib/quorix-docs-test";
        else if (std::sscanf(k.text.c_str(), "Word, \\fB%15[a-z]\\fR or \\fB%15[a-z]", a, b) == 2)
            other = k.def == a ? b : a;
        else if (std::sscanf(k.text.c_str(), "Integer, %lld to %lld", &min, &max) == 2)
            other = std::to_string(std::to_string(min) == k.def ? max : min);
        auto [res, image] = load(dir, k.name + " = " + other + "\n");
        EXPECT_EQ(res, 0) << other;
        EXPECT_TRUE(image != empty) << other;
        changed.insert(image);
    }
    EXPECT_TRUE(load(dir, all) == std::make_pair(0, empty)) << all;
    // Each key owns a field, so 52 different states are the daemon's 19 top-level,
    // 21 log, 4 logrotate and 8 syslog keys.
    changed.erase(empty);
    EXPECT_EQ(changed.size(), 52u);
}

using DocsReportTest = daemon_test;

// The default file with every line uncommented starts the daemon exactly as an
// empty one does, apart from the start time and the port the system chose.
TEST_F(DocsReportTest, UncommentedDefaultFileReportsAsAnEmptyOne)
{
    auto report = [](const std::string &config) {
        temp_dir dir;
        child_process c = start_daemon(dir, config + "log.config = yes\nlog.stderr = yes\n");
        child_stopper stopper{&c};
        std::istringstream in(wait_for_text(c.err_path, "Local address: 0.0.0.0:", 20));
        std::string out;
        for (std::string line; std::getline(in, line);)
            out += (line.starts_with("Started at ") ? "Started at" :
                    line.starts_with("Local address: ") ? "Local address" : line) + "\n";
        return out;
    };
    std::string want = report("");
    EXPECT_NE(want.find("\nLocal address\n"), std::string::npos) << want;
    EXPECT_EQ(report(dist_uncommented(true)), want);
}
