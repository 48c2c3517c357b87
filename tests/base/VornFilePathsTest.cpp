#include "base/VornException.h"
#include "base/VornFileWindows.h"
#include "tests/support/TempDir.h"
#include "tests/support/Thrown.h"
#include "tests/support/Unprivileged.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// A folder nobody may write into, inside a temporary folder everybody may enter.
class ReadOnlyFolder {
public:
    ReadOnlyFolder() {
        chmod(m_dir.path().c_str(), 0755);
        fs::create_directory(path());
        writeWholeFile(path() / "inside.bin", "x");
        chmod(path().c_str(), 0555);
    }
    ~ReadOnlyFolder() { chmod(path().c_str(), 0755); }
    fs::path path() const { return m_dir / "locked"; }

private:
    TempDir m_dir;
};

TEST(VornFilePaths, CreateDirectoryCreatesOneLevelAndNamesEachFailure) {
    TempDir dir;
    vornCreateDirectory(widePath(dir / "one"));
    EXPECT_TRUE(fs::is_directory(dir / "one"));

    VornException exists = thrown([&] { vornCreateDirectory(widePath(dir / "one")); });
    EXPECT_EQ(exists.code(), 34);
    EXPECT_EQ(exists.systemCode(), EEXIST);

    VornException noParent = thrown([&] { vornCreateDirectory(widePath(dir / "no/such")); });
    EXPECT_EQ(noParent.code(), 1);
    EXPECT_EQ(noParent.systemCode(), ENOENT);
}

TEST(VornFilePaths, CreateDirectoryAccessDeniedIsCodeEight) {
    ReadOnlyFolder locked;
    int result = runUnprivileged([&] {
        try {
            vornCreateDirectory(widePath(locked.path() / "sub"));
        } catch (VornException& e) {
            return e.code() == 8 && e.systemCode() == EACCES ? 0 : 2;
        }
        return 3;
    });
    EXPECT_EQ(result, 0);
}

TEST(VornFilePaths, CopyFileCopiesOverTheTargetAndIgnoresAMissingSource) {
    TempDir dir;
    writeWholeFile(dir / "source", "new content");
    writeWholeFile(dir / "target", "old content that is longer");
    vornCopyFile(widePath(dir / "source"), widePath(dir / "target"));
    EXPECT_EQ(readWholeFile(dir / "target"), "new content");

    vornCopyFile(widePath(dir / "missing"), widePath(dir / "other"));
    EXPECT_FALSE(fs::exists(dir / "other"));

    VornException noFolder =
        thrown([&] { vornCopyFile(widePath(dir / "source"), widePath(dir / "no/target")); });
    EXPECT_EQ(noFolder.code(), 1);
    EXPECT_EQ(noFolder.systemCode(), ENOENT);
}

TEST(VornFilePaths, CopyFileAccessDeniedIsCodeEight) {
    ReadOnlyFolder locked;
    int result = runUnprivileged([&] {
        try {
            vornCopyFile(widePath(locked.path() / "inside.bin"), widePath(locked.path() / "copy.bin"));
        } catch (VornException& e) {
            return e.code() == 8 && e.systemCode() == EACCES ? 0 : 2;
        }
        return 3;
    });
    EXPECT_EQ(result, 0);
}

TEST(VornFilePaths, SizeAndExistenceByKindOfPath) {
    TempDir dir;
    writeWholeFile(dir / "file", "12345");
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "file", dir / "link");
    struct Case {
        std::wstring path;
        uint64_t size;
        bool directory;
        bool file;
    } cases[] = {
        {widePath(dir / "file"), 5, false, true},
        {widePath(dir / "link"), 5, false, true},
        {widePath(dir / "file") + L"/", 0, false, false},
        {widePath(dir / "folder"), 0, true, false},
        {widePath(dir / "folder") + L"/", 0, true, false},
        {widePath(dir / "folder") + L"\\", 0, true, false},
        {widePath(dir / "folder") + L"//", 0, true, false},
        {widePath(dir / "missing"), 0, false, false},
        {L"", 0, false, false},
        {L"/", 0, true, false},
        {widePath(dir / "file") + std::wstring(1, L'\0'), 5, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
        if (c.path.find(L'\0') != std::wstring::npos) {
            // A path the system cannot name is missing, whatever its prefix names.
            EXPECT_EQ(vornSizeOfFile(c.path), 0u);
        } else {
            EXPECT_EQ(vornSizeOfFile(c.path), c.size);
        }
        EXPECT_EQ(vornDirectoryExists(c.path), c.directory);
        EXPECT_EQ(vornFileExists(c.path), c.file);
    }
}

TEST(VornFilePaths, DeleteDirectoryFilesDeletesTheFilesThenTheEmptyFolder) {
    TempDir dir;
    fs::create_directory(dir / "work");
    writeWholeFile(dir / "work/seg.x0", "a");
    writeWholeFile(dir / "work/segments.bin", "b");
    vornDeleteDirectoryFiles(widePath(dir / "work") + L"/");
    EXPECT_FALSE(fs::exists(dir / "work"));
}

TEST(VornFilePaths, DeleteDirectoryFilesLeavesSubFoldersAndTheFolderHoldingThem) {
    TempDir dir;
    fs::create_directories(dir / "work/V");
    writeWholeFile(dir / "work/V/Video.webm", "v");
    writeWholeFile(dir / "work/LogFile.txt", "l");
    vornDeleteDirectoryFiles(widePath(dir / "work") + L"/");
    EXPECT_FALSE(fs::exists(dir / "work/LogFile.txt"));
    EXPECT_TRUE(fs::exists(dir / "work/V/Video.webm"));
}

TEST(VornFilePaths, DeleteDirectoryFilesWithoutASeparatorOnlyTheFolderItselfIsTouched) {
    TempDir dir;
    fs::create_directory(dir / "work");
    writeWholeFile(dir / "work/a", "a");
    writeWholeFile(dir / "work2", "sibling");
    writeWholeFile(dir / "workfile", "sibling");
    vornDeleteDirectoryFiles(widePath(dir / "work"));
    EXPECT_FALSE(fs::exists(dir / "work"));
    EXPECT_TRUE(fs::exists(dir / "work2"));
    EXPECT_TRUE(fs::exists(dir / "workfile"));
}

TEST(VornFilePaths, DeleteDirectoryFilesAMissingFolderIsNoError) {
    TempDir dir;
    EXPECT_NO_THROW(vornDeleteDirectoryFiles(widePath(dir / "missing") + L"/"));
}

} // namespace
