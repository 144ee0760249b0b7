// The manual, the installed default configuration and the daemon agree on
// every key: its name, its default and its range.

#include <set>
#include <sstream>

#include "conf.h"
#include "support.h"

// The default file's "# <key> = <default>" lines are the manual's ".B <key>"
// entries and defaults, and give an empty file's state. Each key set to another
// value in its range changes the state (unknown keys are ignored without a
// word); one step outside the range, or a word that is no boolean, is refused.
TEST(DocsTest, ManualDefaultFileAndDaemonAgree)
{
    std::istringstream dist(read_file(QUORIX_SOURCE_DIR "/dist/ntp-quorix.conf"));
    std::string listed, manual, all;
    for (std::string line; std::getline(dist, line);) {
        std::size_t eq = line.find(" = ");
        bool labelled = line.starts_with("# timeserver.") || line.starts_with("# server_allow.") ||
                        line.starts_with("# server_deny.");  // free labels
        if (line.starts_with("# ") && !labelled && eq != line.npos && line.find(' ', 2) == eq)
            listed += line.substr(2) + "\n";
    }
    temp_dir dir;
    auto load = [&dir](const std::string &config) {
        loaded r = load_conf(dir, config + "\n");
        // The state's bytes, padding too (calloc left it zero): text keys and servers as their pointers.
        return std::make_pair(r.res, std::string(reinterpret_cast<const char *>(r.st.get()), sizeof(ntp_state)));
    };
    const std::string empty = load("").second, man = read_file(QUORIX_SOURCE_DIR "/docs/man/ntp-quorix.conf.5");
    std::set<std::string> changed;
    for (std::size_t at = 0; (at = man.find("\n.TP\n.B ", at)) != std::string::npos;) {
        std::size_t eol = man.find('\n', at += 8), end = std::min(man.find("\n.TP\n", eol), man.find("\n.SH", eol));
        const std::string name = man.substr(at, eol - at), text = man.substr(eol + 1, end - eol - 1);
        std::string last = text.substr(text.rfind('\n') + 1), def = "(no default)", other, refused;
        if (last.starts_with("Default: \\fB") && last.ends_with("\\fR."))
            def = last.substr(12, last.size() - 16);
        def = last == "Default: not set." ? "" : def;
        manual += name + " = " + def + "\n";
        all += def.empty() ? "" : name + " = " + def + "\n";
        long long min, max;
        char a[16], b[16];
        if (text.starts_with("Boolean."))
            other = def == "yes" ? "no" : "yes", refused = "maybe";
        else if (text.starts_with("Text."))
            other = "/var/lib/quorix-docs-test";
        else if (text.starts_with("Address."))
            other = "192.0.2.1", refused = "host.example";
        else if (std::sscanf(text.c_str(), "Word, \\fB%15[a-z0-9]\\fR%*[, or]\\fB%15[a-z0-9]", a, b) == 2)
            other = def == a ? b : a;
        else if (std::sscanf(text.c_str(), "Integer, %lld to %lld", &min, &max) == 2) {
            other = std::to_string(std::to_string(min) == def ? max : min);
            EXPECT_EQ(load(name + " = " + std::to_string(min - 1)).first, -1) << name;
            refused = std::to_string(max + 1);
        }
        auto [res, image] = load(name + " = " + other);
        EXPECT_TRUE(res == 0 && image != empty) << name << " = " << other;
        EXPECT_EQ(load(name + " = " + refused).first, refused.empty() ? 0 : -1) << name << " = " << refused;
        changed.insert(image);
    }
    EXPECT_EQ(manual, listed);
    EXPECT_TRUE(load(all) == std::make_pair(0, empty)) << all;
    changed.erase(empty);  // each key owns a field: 27 top-level, 23 log, 4 logrotate, 8 syslog, 3 ratelimit keys
    EXPECT_EQ(changed.size(), 65u);
}
