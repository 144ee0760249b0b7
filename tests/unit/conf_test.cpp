// Configuration loading when a directory fails to be read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "conf.h"
#include "support.h"

// A failed read of the .d directory is not the end of the directory: the load
// fails with what happened. (The shim fails every readdir while asked to.)
TEST(ConfTest, AFailedDirectoryReadFailsTheLoad)
{
    temp_dir dir;
    mkdir((dir / "t.d").c_str(), 0755);
    dir.write("t.d/1.conf", "bind_port = 777\n");
    setenv("QUORIX_FAKE_READDIR_FAIL", "1", 1);
    loaded l = load_conf(dir, "enable_server = yes\n", true);
    unsetenv("QUORIX_FAKE_READDIR_FAIL");
    EXPECT_EQ(l.res, -1);
    EXPECT_EQ(l.err, replace_all("Could not read directory '@/t.d': Value too large for defined data type\nAn error "
                                 "occured during listing the directory '@/t.d'\n", "@", dir.path));
}
