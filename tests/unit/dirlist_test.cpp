#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dirlist.h"
#include "testsupport.h"

namespace {

std::vector<std::string> paths(const ptrarr &listing)
{
    auto **p = reinterpret_cast<char **>(listing.items);
    return std::vector<std::string>(p, p + listing.count);
}

} // namespace

// Regular files and links to them, in byte order; never a directory, a fifo
// or a link to either, even when its name ends in ".conf".
TEST(DirListTest, ListsConfFilesInByteOrder)
{
    temp_dir dir;
    for (const char *name : {"a.conf", ".hidden.conf", "a.conf~", "A.CONF", "10-a.conf", "2-b.conf",
                             "Z.conf", ".conf", "target"})
        dir.write(name, "x = 1\n");
    ASSERT_EQ(mkdir((dir / "sub.conf").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "p.conf").c_str(), 0644), 0);
    for (auto [to, from] : {std::pair{"target", "b.conf"}, {"sub.conf", "d.conf"}, {"p.conf", "q.conf"}})
        ASSERT_EQ(symlink((dir / to).c_str(), (dir / from).c_str()), 0);
    ptrarr listing{};
    int res = -1;
    EXPECT_EQ(stderr_of([&] { res = dir_list(&listing, dir.path().c_str()); }), "");
    EXPECT_EQ(res, 0);
    std::vector<std::string> want;
    for (const char *name : {"10-a.conf", "2-b.conf", "Z.conf", "a.conf", "b.conf"})
        want.push_back(dir / name);
    EXPECT_EQ(paths(listing), want);
    free_dir_list(&listing);
}

// Seventeen files: allocation 0 is the slot array, 1 to 17 are the paths, and 18
// grows the array to 32 slots for the seventeenth path. A dangling link fails too.
TEST(DirListTest, FailuresReportAndLeaveNothing)
{
    temp_dir dir;
    for (int i = 0; i < 17; i++)
        dir.write("f" + std::to_string(i) + ".conf", "");
    for (long n = 0; n <= 20; n++) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        if (n == 20) {
            ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "x.conf").c_str()), 0);
        }
        ptrarr listing{};
        int res = 0;
        seam_fail_alloc(n == 20 ? -1 : n);
        std::string err = stderr_of([&] { res = dir_list(&listing, dir.path().c_str()); });
        seam_fail_alloc(-1);
        EXPECT_EQ(err, n == 0    ? "Could not initialize directory name array\n"
                       : n < 18  ? "Could not allocate file name: Cannot allocate memory\n"
                       : n == 18 ? "Could not store filename in the array\n"
                       : n == 19 ? ""
                                 : "Could not stat file '" + dir / "x.conf" +
                                       "': No such file or directory\n");
        EXPECT_EQ(res, n == 19 ? 0 : -1);
        EXPECT_EQ(listing.count, n == 19 ? 17u : 0u);
        free_dir_list(&listing);
    }
}
