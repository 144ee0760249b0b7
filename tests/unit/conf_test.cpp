// Configuration loading when memory runs out or a directory cannot be read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "conf.h"
#include "support.h"

using namespace std::literals;
// Each allocation and directory read of the loader fails in turn (that one
// only): every load fails with one of these reports and frees what it took
// (ASan checks).
TEST(ConfTest, EveryFailureFailsTheLoad)
{
    temp_dir dir;
    std::string path = dir.write("m.conf", "log.filename = /l\nbind_if = lo\ntimeserver.a = 192.0.2.1\n");
    mkdir((dir / "m.d").c_str(), 0755);
    dir.write("m.d/1.conf", "rtcdev = rtc1\n");
    const std::string nomem = ": Cannot allocate memory\n", done = "Failed to process the configuration.\n";
    const std::string copy = "Could not allocate memory for string copy" + nomem + "Failed to parse '";
    const std::string listing = "An error occured during listing the directory '@/m.d'\n";
    std::set<std::string> want, seen;
    for (const std::string &w : {"Parse error in config '@/m.conf': 3\n"s,
             "Parse error in config '@/m.d/1.conf': 3\n"s, "Could not allocate memory for \".d\" name" + nomem,
             "Could not initialize directory name array\n" + listing, "Could not allocate file name" + nomem + listing,
             "Could not read directory '@/m.d': Value too large for defined data type\n" + listing,
             copy + "filename' key: value '/l' was invalid\n" + done, copy + "bind_if' key: value 'lo' was invalid\n" +
             done, copy + "rtcdev' key: value 'rtc1' was invalid\n" + done,
             "Could not allocate memory for timeserver" + nomem + done, "Could not store timeserver\n" + done})
        want.insert(replace_all(w, "@", dir.path));
    seam_fail_alloc(-1);
    ASSERT_EQ(load_conf(path).res, 0);
    for (long n = 0, calls = seam_fail_alloc(-1); n < calls; n++) {
        seam_fail_alloc(n);
        loaded r = load_conf(path);
        seam_fail_alloc(-1);
        EXPECT_EQ(r.res, -1) << n;
        seen.insert(r.err);
    }
    EXPECT_EQ(seen, want);
}
