#include "base/VornFileWindows.h"
#include "base/VornException.h"
#include "tests/support/TempDir.h"
#include "tests/support/Thrown.h"
#include "tests/support/Unprivileged.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class VornFileWindowsTest : public ::testing::Test {
protected:
    fs::path existing() {
        writeWholeFile(m_dir / "existing.bin", "hello");
        return m_dir / "existing.bin";
    }
    fs::path missing() { return m_dir / "missing.bin"; }
    fs::path directory() {
        fs::create_directory(m_dir / "folder");
        return m_dir / "folder";
    }

    TempDir m_dir;
};

TEST_F(VornFileWindowsTest, OpenFollowsTheFlagsAndWhatIsThere) {
    enum Target { Missing, Existing, Directory };
    struct Case {
        Target target;
        int32_t flags;
        int code; // 0 when the open succeeds
        uint64_t position;
        const char* contentAfter;
    } cases[] = {
        {Missing, 0x002, 32, 0, nullptr},    {Missing, 0x012, 32, 0, nullptr},
        {Missing, 0x104, 0, 0, ""},          {Missing, 0x008, 0, 0, ""},
        {Missing, 0x100, 0, 0, ""},          {Missing, 0x304, 0, 0, ""},
        {Existing, 0x006, 0, 0, "hello"},    {Existing, 0x104, 0, 0, "hello"},
        {Existing, 0x008, 0, 5, "hello"},    {Existing, 0x03A, 0, 5, "hello"},
        {Existing, 0x302, 31, 0, "hello"},   {Existing, 0x204, 31, 0, "hello"},
        {Directory, 0x002, 700, 0, nullptr}, {Directory, 0x104, 700, 0, nullptr},
        {Directory, 0x304, 700, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "target " << c.target << " flags 0x" << std::hex << c.flags);
        fs::path path = c.target == Missing ? missing() : c.target == Existing ? existing() : directory();
        VornFileWindows file(widePath(path));
        if (c.code) {
            VornException e = thrown([&] { file.open(c.flags); });
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(e.systemCode(), 0);
            EXPECT_EQ(e.context(), "");
            EXPECT_NE(std::string(e.sourceFile()).find("VornFileWindows"), std::string::npos);
            EXPECT_FALSE(file.isOpen());
        } else {
            EXPECT_NE(file.open(c.flags), 0);
            EXPECT_TRUE(file.isOpen());
            EXPECT_EQ(file.position(), c.position);
            EXPECT_EQ(file.openFlags(), c.flags);
        }
        if (c.contentAfter) {
            EXPECT_EQ(readWholeFile(path), c.contentAfter);
        } else if (c.target == Missing) {
            EXPECT_FALSE(fs::exists(path));
        }
        file.close();
        fs::remove_all(path);
    }
}

TEST_F(VornFileWindowsTest, ReadableAndWritableFollowTheOpenFlags) {
    struct Case {
        int32_t flags;
        bool readable;
        bool writable;
    } cases[] = {
        {0x008, false, false}, {0x104, false, true}, {0x006, true, true},
        {0x002, true, false},  {0x00A, true, false},
    };
    for (const Case& c : cases) {
        VornFileWindows file(widePath(existing()));
        file.open(c.flags);
        EXPECT_EQ(file.isReadable(), c.readable) << std::hex << c.flags;
        EXPECT_EQ(file.isWritable(), c.writable) << std::hex << c.flags;
        file.close();
        EXPECT_FALSE(file.isReadable());
        EXPECT_FALSE(file.isWritable());
    }
}

TEST_F(VornFileWindowsTest, OpeningAnOpenFileClosesItAndAFailedOpenLeavesItClosed) {
    VornFileWindows file(widePath(existing()));
    file.open(0x006);
    file.seek(3, 0);
    file.open(widePath(missing()), 0x104);
    EXPECT_EQ(file.position(), 0u);
    EXPECT_EQ(file.path(), widePath(missing()));
    EXPECT_EQ(thrown([&] { file.open(widePath(directory()), 0x002); }).code(), 700);
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.handle(), VornFile::kInvalidHandle);
}

TEST_F(VornFileWindowsTest, ReadAndWriteKeepTheirOwnPosition) {
    VornFileWindows file(widePath(missing()));
    file.open(0x106);
    EXPECT_EQ(file.write("abcdef", 6), 6u);
    EXPECT_EQ(file.position(), 6u);
    EXPECT_TRUE(file.atEnd());
    file.seek(2, 0);
    EXPECT_FALSE(file.atEnd());
    char buffer[16] = {};
    EXPECT_EQ(file.read(buffer, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "cde");
    EXPECT_EQ(file.position(), 5u);
    EXPECT_EQ(file.read(buffer, sizeof buffer), 1u);
    EXPECT_TRUE(file.atEnd());
    EXPECT_EQ(file.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(file.position(), 6u);
}

TEST_F(VornFileWindowsTest, AppendWritesAtTheEndAndWriteLineEndsWithCrLf) {
    fs::path path = existing();
    VornFileWindows file(widePath(path));
    file.open(0x008);
    EXPECT_TRUE(file.atEnd());
    EXPECT_EQ(file.writeLine("line"), 6u);
    EXPECT_EQ(file.position(), 11u);
    file.close();
    EXPECT_EQ(readWholeFile(path), "helloline\r\n");
}

TEST_F(VornFileWindowsTest, SeekChecksOriginAndResultingOffset) {
    struct Case {
        int64_t start; // position before the seek
        int64_t offset;
        int origin;
        int code;
        uint64_t result;
    } cases[] = {
        {0, -1, 0, 2, 0}, {0, 0, 3, 2, 0}, {0, 0, -1, 2, 0}, {0, 0, 2, 0, 5},         {0, -2, 2, 0, 3},
        {0, -6, 2, 2, 0}, {2, 2, 1, 0, 4}, {2, -3, 1, 2, 0}, {4, LLONG_MAX, 1, 2, 0}, {0, 100, 0, 0, 100},
    };
    for (const Case& c : cases) {
        VornFileWindows file(widePath(existing()));
        file.open(0x002);
        file.seek(c.start, 0);
        SCOPED_TRACE(::testing::Message() << c.start << " " << c.offset << " " << c.origin);
        if (c.code) {
            EXPECT_EQ(thrown([&] { file.seek(c.offset, c.origin); }).code(), c.code);
            EXPECT_EQ(file.position(), static_cast<uint64_t>(c.start));
        } else {
            EXPECT_EQ(file.seek(c.offset, c.origin), c.result);
            EXPECT_EQ(file.position(), c.result);
        }
    }
}

TEST_F(VornFileWindowsTest, SeekingPastTheEndReadsNothingAndWritesLeaveAGapOfZeros) {
    fs::path path = existing();
    VornFileWindows file(widePath(path));
    file.open(0x006);
    file.seek(8, 0);
    char buffer[4];
    EXPECT_EQ(file.read(buffer, sizeof buffer), 0u);
    file.write("!", 1);
    file.close();
    EXPECT_EQ(readWholeFile(path), std::string("hello\0\0\0!", 9));
}

TEST_F(VornFileWindowsTest, FailingSystemCallsThrowTheirCodesWithTheErrno) {
    struct Case {
        const char* name;
        int32_t flags;
        bool doWrite;
        int code;
        int systemCode;
    } cases[] = {
        {"read on a write-only file", 0x104, false, 703, EBADF},
        {"write on a read-only file", 0x002, true, 702, EBADF},
    };
    for (const Case& c : cases) {
        VornFileWindows file(widePath(existing()));
        file.open(c.flags);
        char buffer[4] = {};
        VornException e = thrown([&] { c.doWrite ? file.write("x", 1) : file.read(buffer, 4); });
        EXPECT_EQ(e.code(), c.code) << c.name;
        EXPECT_EQ(e.systemCode(), c.systemCode) << c.name;
        EXPECT_EQ(file.position(), 0u) << c.name;
    }
}

TEST_F(VornFileWindowsTest, AFullDiskFailsTheWrite) {
    VornFileWindows file(L"/dev/full");
    file.open(0x004);
    VornException e = thrown([&] { file.write("data", 4); });
    EXPECT_EQ(e.code(), 702);
    EXPECT_EQ(e.systemCode(), ENOSPC);
    EXPECT_EQ(file.position(), 0u);
}

// A file-size limit makes the system write only part of a buffer, then refuse the rest.
TEST_F(VornFileWindowsTest, AShortWriteIsContinuedAndTheRefusalReported) {
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit limited = old;
    limited.rlim_cur = 10;
    setrlimit(RLIMIT_FSIZE, &limited);

    VornFileWindows file(widePath(missing()));
    file.open(0x104);
    VornException e = thrown([&] { file.write("0123456789abcdefghij", 20); });
    uint64_t position = file.position();
    file.close();
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(e.code(), 702);
    EXPECT_EQ(e.systemCode(), EFBIG);
    EXPECT_EQ(position, 10u);
    EXPECT_EQ(readWholeFile(missing()), "0123456789");
}

TEST_F(VornFileWindowsTest, AClosedFileHasNoSizeAndRefusesReadAndWrite) {
    VornFileWindows file(widePath(existing()));
    EXPECT_EQ(file.size(), 0u);
    char buffer[4];
    EXPECT_EQ(thrown([&] { file.read(buffer, 4); }).code(), 703);
    EXPECT_EQ(thrown([&] { file.write("x", 1); }).code(), 702);
    EXPECT_EQ(thrown([&] { file.seek(0, 0); }).code(), 713);
}

TEST_F(VornFileWindowsTest, AnOpenTheSystemRefusesThrowsCodeOneWithTheErrno) {
    fs::path path = existing();
    chmod(m_dir.path().c_str(), 0755);
    chmod(path.c_str(), 0);
    int result = runUnprivileged([&] {
        VornFileWindows file(widePath(path));
        try {
            file.open(0x002);
        } catch (VornException& e) {
            return e.code() == 1 && e.systemCode() == EACCES && !file.isOpen() ? 0 : 2;
        }
        return 3;
    });
    EXPECT_EQ(result, 0);
}

TEST_F(VornFileWindowsTest, WidePathsNameTheirUtf8FilesAndANulIsRefused) {
    VornFileWindows file(widePath(m_dir.path()) + L"/caf\u00e9-\u65e5\U0001F600.bin");
    file.open(0x104);
    file.write("x", 1);
    file.close();
    EXPECT_EQ(readWholeFile(m_dir / "caf\xC3\xA9-\xE6\x97\xA5\xF0\x9F\x98\x80.bin"), "x");

    std::wstring withNul = widePath(m_dir / "a.bin");
    withNul += L'\0';
    withNul += L"b";
    VornFileWindows refused(withNul);
    EXPECT_EQ(thrown([&] { refused.open(0x104); }).code(), 40);
    EXPECT_FALSE(fs::exists(m_dir / "a.bin"));
}

} // namespace
