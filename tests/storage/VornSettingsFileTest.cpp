#include "storage/VornSettingsFile.h"
#include "storage/VornAtomicFile.h"
#include "tests/support/TempDir.h"
#include "tests/support/Unprivileged.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::optional<VornSettingValue> integer(int32_t value) {
    return VornSettingValue(value);
}
std::optional<VornSettingValue> text(const std::string& value) {
    return VornSettingValue(value);
}

TEST(VornSettingsFileFormat, ParsesValues) {
    struct Case {
        const char* text;
        std::optional<VornSettingValue> expected;
    } cases[] = {
        {"8", integer(8)},
        {"  -1  ", integer(-1)},
        {"0", integer(0)},
        {"2147483647", integer(INT32_MAX)},
        {"-2147483648", integer(INT32_MIN)},
        // A DWORD above the signed range keeps its bit pattern.
        {"4294967295", integer(-1)},
        {"4294967296", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999", std::nullopt},
        {"12a", std::nullopt},
        {"-", std::nullopt},
        {"", std::nullopt},
        {"+5", std::nullopt},
        {"\"\"", text("")},
        {"\"proxy.local\"", text("proxy.local")},
        {"\"a \\\"b\\\" \\\\ c\"", text("a \"b\" \\ c")},
        {"\"line\\nbreak\\ttab\\r\"", text("line\nbreak\ttab\r")},
        {"\"\\x01\\x7f\\x7F\"", text("\x01\x7f\x7f")},
        {"\"caf\xC3\xA9 ; # = %\"", text("caf\xC3\xA9 ; # = %")},
        {"\"closed\"  ", text("closed")},
        // Damage: an unclosed quote, text after it, unknown or cut escapes.
        {"\"unclosed", std::nullopt},
        {"\"a\" b", std::nullopt},
        {"\"\\q\"", std::nullopt},
        {"\"\\x4\"", std::nullopt},
        {"\"\\", std::nullopt},
        {"plain", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VornSettingsFile::parseValue(c.text), c.expected) << c.text;
    }
}

TEST(VornSettingsFileFormat, FormattedLinesParseBack) {
    std::string everyByte;
    for (int c = 1; c < 256; ++c) {
        everyByte += static_cast<char>(c);
    }
    const VornSettingValue values[] = {VornSettingValue(0), VornSettingValue(INT32_MIN),
                                       VornSettingValue(std::string()), VornSettingValue(everyByte),
                                       VornSettingValue("O'Brien \"x\"")};
    for (const VornSettingValue& value : values) {
        std::string line = VornSettingsFile::formatLine("Name", value);
        ASSERT_TRUE(line.starts_with("Name="));
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(VornSettingsFile::parseValue(line.substr(5)), value) << line;
    }
    EXPECT_EQ(VornSettingsFile::formatLine("MaxConnections", 16), "MaxConnections=16");
    EXPECT_EQ(VornSettingsFile::formatLine("HTTP_ProxyAddress", std::string("h")), "HTTP_ProxyAddress=\"h\"");
}

class SettingsFolder : public ::testing::Test {
protected:
    fs::path folder() const { return m_dir.path() / "Ostrel"; }
    fs::path settingsPath() const { return folder() / "settings.conf"; }
    TempDir m_dir;
};

TEST_F(SettingsFolder, MissingFileReadsNothingAndFirstWriteCreatesIt) {
    VornSettingsFile file(folder());
    EXPECT_EQ(file.read("MaxConnections"), std::nullopt);
    EXPECT_FALSE(fs::exists(folder()));
    ASSERT_TRUE(file.write("MaxConnections", 16));
    EXPECT_EQ(file.read("MaxConnections"), integer(16));
    EXPECT_EQ(file.path(), settingsPath());
    // Scrambled passwords live here: only the owner may read the file.
    EXPECT_EQ(fs::status(settingsPath()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(SettingsFolder, TheFolderIsTheOwnersOnlyEvenWhenItExistedOpen) {
    fs::create_directories(folder());
    fs::permissions(folder(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    ASSERT_TRUE(VornSettingsFile(folder()).write("HTTP_ProxyPass", std::string("scrambled")));
    EXPECT_EQ(fs::status(folder()).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(SettingsFolder, WithoutAFolderNothingIsWrittenAnywhere) {
    // No home folder gives an empty settings folder: the current folder must not take its place.
    TempDir current;
    const fs::path before = fs::current_path();
    fs::current_path(current.path());
    VornSettingsFile file{fs::path()};
    EXPECT_FALSE(file.write("MaxConnections", 4));
    EXPECT_EQ(file.read("MaxConnections"), std::nullopt);
    fs::current_path(before);
    EXPECT_TRUE(fs::is_empty(current.path()));
}

TEST_F(SettingsFolder, WritesReplaceOneLineAndKeepTheRest) {
    VornSettingsFile file(folder());
    ASSERT_TRUE(file.write("A", 1));
    ASSERT_TRUE(file.write("B", std::string("two")));
    ASSERT_TRUE(file.write("a", 3));
    EXPECT_EQ(file.read("A"), integer(3));
    EXPECT_EQ(file.read("B"), text("two"));
    std::string contents = readWholeFile(settingsPath());
    EXPECT_EQ(contents.find("A=1"), std::string::npos) << contents;
    EXPECT_NE(contents.find("a=3\nB=\"two\"\n"), std::string::npos) << contents;
}

TEST_F(SettingsFolder, TypeChangesAreStored) {
    VornSettingsFile file(folder());
    ASSERT_TRUE(file.write("X", 5));
    ASSERT_TRUE(file.write("X", std::string("5")));
    EXPECT_EQ(file.read("X"), text("5"));
}

TEST_F(SettingsFolder, RejectsNamesThatCannotBeStored) {
    VornSettingsFile file(folder());
    for (const char* name : {"", "a=b", "line\nbreak", " padded", "#comment", ";comment"}) {
        EXPECT_FALSE(file.write(name, 1)) << name;
    }
    EXPECT_FALSE(fs::exists(settingsPath()));
}

TEST_F(SettingsFolder, HandEditedFileIsReadAndItsOtherLinesSurviveAWrite) {
    fs::create_directories(folder());
    const std::string original = "# my notes\r\n"
                                 "  MaxConnections = 4 \r\n"
                                 "\n"
                                 "garbage without equals\n"
                                 "SocksVersion=\"oops\n"
                                 "Dup=1\n"
                                 "Dup=2\n"
                                 "\x01\xff\xfe binary junk";
    writeWholeFile(settingsPath(), original);
    VornSettingsFile file(folder());
    EXPECT_EQ(file.read("MaxConnections"), integer(4));
    EXPECT_EQ(file.read("SocksVersion"), std::nullopt);
    EXPECT_EQ(file.read("Dup"), integer(2));

    ASSERT_TRUE(file.write("Dup", 3));
    ASSERT_TRUE(file.write("BandWidthLimit", 16));
    std::string after = readWholeFile(settingsPath());
    for (const char* kept : {"# my notes\r\n", "  MaxConnections = 4 \r\n", "garbage without equals\n",
                             "SocksVersion=\"oops\n", "\x01\xff\xfe binary junk\n"}) {
        EXPECT_NE(after.find(kept), std::string::npos) << kept;
    }
    EXPECT_EQ(file.read("Dup"), integer(3));
    EXPECT_EQ(after.find("Dup=2"), std::string::npos);
    EXPECT_EQ(file.read("BandWidthLimit"), integer(16));
}

TEST_F(SettingsFolder, UnreadableFileReadsNothingAndIsNeverReplaced) {
    // A folder where the file should be cannot be read, whoever runs the test.
    fs::create_directories(settingsPath());
    VornSettingsFile file(folder());
    EXPECT_EQ(file.read("A"), std::nullopt);
    EXPECT_FALSE(file.write("A", 1));
    EXPECT_TRUE(fs::is_directory(settingsPath()));
}

TEST_F(SettingsFolder, FileWithoutReadPermissionIsNeverReplaced) {
    ASSERT_TRUE(VornSettingsFile(folder()).write("Kept", 1));
    // Anyone may write into the folder, so only the refusal to replace what it cannot read protects the file.
    fs::permissions(m_dir.path(), fs::perms::all);
    fs::permissions(folder(), fs::perms::all);
    fs::permissions(folder() / "settings.lock", fs::perms::all);
    fs::permissions(settingsPath(), fs::perms::owner_read | fs::perms::owner_write);
    const std::string before = readWholeFile(settingsPath());
    int result = runUnprivileged([this] {
        VornSettingsFile file(folder());
        return !file.read("Kept") && !file.write("Other", 2) ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readWholeFile(settingsPath()), before);
}

TEST_F(SettingsFolder, FailedWriteKeepsEarlierSettingsAndLeavesNoTemporaryFile) {
    {
        VornSettingsFile file(folder());
        ASSERT_TRUE(file.write("Kept", std::string("earlier")));
    }
    const std::string before = readWholeFile(settingsPath());
    // The disk fills up after a few bytes of the new file.
    VornSettingsFile full(folder(), [](int fd, const char* data, size_t size) -> ssize_t {
        if (lseek(fd, 0, SEEK_CUR) >= 10) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, data, std::min<size_t>(size, 3));
    });
    EXPECT_FALSE(full.write("New", std::string("a value long enough to need several writes")));
    EXPECT_EQ(readWholeFile(settingsPath()), before);
    EXPECT_EQ(full.read("Kept"), text("earlier"));
    for (const auto& entry : fs::directory_iterator(folder())) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "settings.conf" || name == "settings.lock") << name;
    }
}

TEST_F(SettingsFolder, ShortWritesStillStoreEverything) {
    VornSettingsFile file(folder(), [](int fd, const char* data, size_t size) -> ssize_t {
        static int calls = 0;
        if (++calls % 3 == 0) {
            errno = EINTR;
            return -1;
        }
        return ::write(fd, data, std::min<size_t>(size, 1));
    });
    ASSERT_TRUE(file.write("Long", std::string(200, 'x')));
    EXPECT_EQ(VornSettingsFile(folder()).read("Long"), text(std::string(200, 'x')));
}

TEST_F(SettingsFolder, UpdateSeesTheCurrentValueAndMayDecline) {
    VornSettingsFile file(folder());
    ASSERT_TRUE(file.write("Counter", 41));
    std::optional<VornSettingValue> seen;
    ASSERT_TRUE(file.update("Counter", [&](const std::optional<VornSettingValue>& current) {
        seen = current;
        return std::optional<VornSettingValue>(std::get<int32_t>(*current) + 1);
    }));
    EXPECT_EQ(seen, integer(41));
    EXPECT_EQ(file.read("Counter"), integer(42));
    const std::string before = readWholeFile(settingsPath());
    ASSERT_TRUE(file.update("Counter", [](const std::optional<VornSettingValue>&) { return std::nullopt; }));
    EXPECT_EQ(readWholeFile(settingsPath()), before);
}

TEST_F(SettingsFolder, SeveralValuesLandInOneRewrite) {
    VornSettingsFile file(folder());
    ASSERT_TRUE(file.write({{"P_Address", std::string("h")}, {"P_Port", 8080}, {"P_Type", 1}}));
    EXPECT_EQ(file.read("P_Address"), text("h"));
    EXPECT_EQ(file.read("P_Port"), integer(8080));
    EXPECT_EQ(file.read("P_Type"), integer(1));
    EXPECT_FALSE(file.write({{"Good", 1}, {"bad=name", 2}}));
    EXPECT_EQ(file.read("Good"), std::nullopt);
}

// Writers in several threads, each with its own names, while a reader keeps checking a value that
// nobody changes: no write may be lost, and no read may see a half-written file.
TEST_F(SettingsFolder, ConcurrentThreadWritersLoseNothing) {
    ASSERT_TRUE(VornSettingsFile(folder()).write("Stable", std::string("always here")));
    constexpr int kThreads = 4;
    constexpr int kWrites = 40;
    std::atomic<bool> writing{true};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (writing) {
            if (VornSettingsFile(folder()).read("Stable") != text("always here")) {
                ++badReads;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([this, t] {
            for (int i = 0; i < kWrites; ++i) {
                VornSettingsFile(folder()).write("T" + std::to_string(t) + "_" + std::to_string(i), i);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    writing = false;
    reader.join();
    EXPECT_EQ(badReads, 0);
    VornSettingsFile file(folder());
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            EXPECT_EQ(file.read("T" + std::to_string(t) + "_" + std::to_string(i)), integer(i));
        }
    }
}

TEST_F(SettingsFolder, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kWrites = 60;
    auto writeAll = [this](const std::string& prefix) {
        bool ok = true;
        for (int i = 0; i < kWrites; ++i) {
            ok = VornSettingsFile(folder()).write(prefix + std::to_string(i), std::to_string(i)) && ok;
        }
        return ok;
    };
    fs::create_directories(folder());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(writeAll("Child") ? 0 : 1);
    }
    bool parentOk = writeAll("Parent");
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(parentOk);
    VornSettingsFile file(folder());
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(file.read("Child" + std::to_string(i)), text(std::to_string(i)));
        EXPECT_EQ(file.read("Parent" + std::to_string(i)), text(std::to_string(i)));
    }
}

// A writer killed at an arbitrary point leaves a complete file holding everything it had stored.
TEST_F(SettingsFolder, WriterKilledMidWayLeavesACompleteFile) {
    fs::create_directories(folder());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0;; ++i) {
            VornSettingsFile(folder()).write("K" + std::to_string(i % 500), std::string(64, 'a' + i % 26));
        }
    }
    VornSettingsFile file(folder());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!file.read("K50") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(file.read("K50")) << "the writer made no progress";
    for (int i = 0; i <= 50; ++i) {
        EXPECT_TRUE(file.read("K" + std::to_string(i))) << i;
    }
    const std::string contents = readWholeFile(settingsPath());
    ASSERT_TRUE(contents.ends_with("\n"));
    std::istringstream lines(contents);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        ASSERT_NE(equals, std::string::npos) << line;
        EXPECT_TRUE(VornSettingsFile::parseValue(line.substr(equals + 1))) << line;
    }
}

TEST(VornAtomicFile, ReplacesContentsAndFailsCleanlyInAMissingFolder) {
    TempDir dir;
    fs::path target = dir / "file.txt";
    ASSERT_TRUE(VornAtomicFile::replace(target, "first"));
    ASSERT_TRUE(VornAtomicFile::replace(target, "second, longer"));
    EXPECT_EQ(readWholeFile(target), "second, longer");
    ASSERT_TRUE(VornAtomicFile::replace(target, ""));
    EXPECT_EQ(readWholeFile(target), "");
    EXPECT_FALSE(VornAtomicFile::replace(dir / "missing" / "file.txt", "x"));
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(VornAtomicFile, ReplacesTheFileBehindASymbolicLink) {
    TempDir dir;
    fs::create_directories(dir / "dotfiles");
    writeWholeFile(dir / "dotfiles" / "settings.conf", "old");
    fs::create_symlink(dir / "dotfiles" / "settings.conf", dir / "settings.conf");
    ASSERT_TRUE(VornAtomicFile::replace(dir / "settings.conf", "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "settings.conf"));
    EXPECT_EQ(readWholeFile(dir / "dotfiles" / "settings.conf"), "new");
}

TEST(VornAtomicFile, WriterThatMakesNoProgressFails) {
    TempDir dir;
    fs::path target = dir / "file.txt";
    ASSERT_TRUE(VornAtomicFile::replace(target, "old"));
    EXPECT_FALSE(
        VornAtomicFile::replace(target, "new", [](int, const char*, size_t) -> ssize_t { return 0; }));
    EXPECT_EQ(readWholeFile(target), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

} // namespace
