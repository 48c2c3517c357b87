#include "base/VornFolderLock.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(VornFolderLock, OneHolderAtATimeUntilReleased) {
    TempDir dir;
    const std::filesystem::path folder = dir / "7";
    VornFolderLock first;
    ASSERT_TRUE(first.tryLock(folder));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    VornFolderLock second;
    EXPECT_FALSE(second.tryLock(folder));
    EXPECT_FALSE(second.held());
    first.unlock();
    EXPECT_TRUE(second.tryLock(folder));
    EXPECT_TRUE(std::filesystem::is_empty(folder)); // no lock file left in the work folder
}

TEST(VornFolderLock, AnotherProcessIsRefusedAndAnEndedOneLeavesNoStaleLock) {
    TempDir dir;
    const std::filesystem::path folder = dir / "work";
    VornFolderLock held;
    ASSERT_TRUE(held.tryLock(folder));
    pid_t child = fork();
    if (child == 0) {
        VornFolderLock mine;
        _exit(mine.tryLock(folder) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);

    held.unlock();
    child = fork();
    if (child == 0) {
        static VornFolderLock kept; // still held when the process ends without cleaning up
        _exit(kept.tryLock(folder) ? 0 : 1);
    }
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(held.tryLock(folder));
}

TEST(VornFolderLock, AFolderThatCannotBeMadeIsNotLocked) {
    TempDir dir;
    writeWholeFile(dir / "file", "x");
    VornFolderLock lock;
    EXPECT_FALSE(lock.tryLock(dir / "file" / "below"));
    EXPECT_FALSE(lock.held());
}

} // namespace
