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
    return std::vector<std::string>(reinterpret_cast<char **>(listing.items),
                                    reinterpret_cast<char **>(listing.items) + listing.count);
}

} // namespace

TEST(DirListTest, ListsConfFilesInByteOrder)
{
    temp_dir dir;
    for (const char *name : {"a.conf", ".hidden.conf", "a.conf~", "A.CONF", "10-a.conf", "2-b.conf",
                             "Z.conf", ".conf", "target"})
        dir.write(name, "x = 1\n");
    ASSERT_EQ(mkdir((dir / "sub.conf").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "b.conf").c_str()), 0);
    ASSERT_EQ(symlink((dir / "sub.conf").c_str(), (dir / "d.conf").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "p.conf").c_str(), 0644), 0);

    ptrarr listing{};
    fd_capture err(2);
    ASSERT_EQ(dir_list(&listing, dir.path().c_str()), 0);
    EXPECT_EQ(err.text(), "");
    std::vector<std::string> want;
    for (const char *name : {"10-a.conf", "2-b.conf", "Z.conf", "a.conf", "b.conf"})
        want.push_back(dir / name);
    EXPECT_EQ(paths(listing), want);
    free_dir_list(&listing);
}

TEST(DirListTest, UnopenableDirectoryGivesEmptyListing)
{
    temp_dir dir;
    for (const std::string &path : {dir / "missing.d", dir.write("file.conf", "")}) {
        SCOPED_TRACE(path);
        ptrarr listing{reinterpret_cast<void **>(&dir), 7, 7};  // whatever the caller left there
        fd_capture err(2);
        EXPECT_EQ(dir_list(&listing, path.c_str()), 0);
        EXPECT_EQ(err.text(), "");
        ASSERT_EQ(listing.items, nullptr);
        EXPECT_EQ(listing.count + listing.capacity, 0u);
        free_dir_list(&listing);
    }
}

// Seventeen files: allocation 0 is the slot array, 1 to 17 are the paths, and 18
// grows the array to 32 slots for the seventeenth path. A dangling link fails too.
TEST(DirListTest, FailuresReportAndLeaveNothing)
{
    temp_dir dir;
    for (int i = 0; i < 17; i++)
        dir.write("f" + std::to_string(i) + ".conf", "");
    const std::string nomem = "Could not allocate file name: Cannot allocate memory\n";
    for (long n = 0; n <= 20; n++) {
        SCOPED_TRACE("failing from allocation " + std::to_string(n));
        if (n == 20) {
            ASSERT_EQ(symlink((dir / "gone").c_str(), (dir / "x.conf").c_str()), 0);
        }
        ptrarr listing{};
        fd_capture err(2);
        seam_fail_alloc_from(n == 20 ? -1 : n);
        int res = dir_list(&listing, dir.path().c_str());
        seam_alloc_reset();
        std::string want = n == 0    ? "Could not initialize directory name array\n"
                           : n < 18  ? nomem
                           : n == 18 ? "Could not store filename in the array\n"
                           : n == 19 ? ""
                                     : "Could not stat file '" + dir / "x.conf" +
                                           "': No such file or directory\n";
        EXPECT_EQ(err.text(), want);
        EXPECT_EQ(res, n == 19 ? 0 : -1);
        EXPECT_EQ(listing.count, n == 19 ? 17u : 0u);
        free_dir_list(&listing);
    }
}
