#include "storage/VornSettings.h"
#include "storage/VornAutoStart.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Settings : public ::testing::Test {
protected:
    void store(const std::string& name, const VornSettingValue& value) {
        ASSERT_TRUE(VornSettings::file().write(name, value));
    }
    TempHome m_home;
};

TEST_F(Settings, LiveInTheConfigFolderOfTheCurrentUser) {
    EXPECT_EQ(VornSettings::file().path(), m_home.configDir() / "Ostrel" / "settings.conf");
    ScopedEnv env;
    TempDir config;
    env.set("XDG_CONFIG_HOME", config.path().string());
    // Nothing is cached: the next read already looks in the new place.
    EXPECT_EQ(VornSettings::file().path(), config.path() / "Ostrel" / "settings.conf");
}

TEST_F(Settings, DefaultsWithoutAFile) {
    EXPECT_EQ(VornSettings::maxConnections(), 8);
    EXPECT_EQ(VornSettings::socksVersion(), 5);
    EXPECT_EQ(VornSettings::bandWidthLimit(), 0);
    EXPECT_TRUE(VornSettings::connectionsAtOnce());
    EXPECT_TRUE(VornSettings::completionDialog());
    EXPECT_TRUE(VornSettings::categoryFolders());
    EXPECT_TRUE(VornSettings::appAutoStart());
    EXPECT_FALSE(VornSettings::readFlag01("HTTP_IsActive"));
    EXPECT_EQ(VornSettings::readText("HTTP_ProxyAddress", "fallback"), "fallback");
    EXPECT_FALSE(fs::exists(VornSettings::file().path()));
}

TEST_F(Settings, MaxConnectionsAcceptsOnlyItsListByTheLowByte) {
    struct Case {
        int32_t stored;
        int32_t read;
    } cases[] = {{1, 1},  {2, 2}, {4, 4}, {8, 8},  {12, 12}, {16, 16}, {24, 24},       {32, 32},
                 {10, 8}, {0, 8}, {3, 8}, {33, 8}, {-1, 8},  {264, 8}, {256 + 16, 16}, {0x7FFFFF20, 32}};
    for (const Case& c : cases) {
        ASSERT_TRUE(VornSettings::setMaxConnections(c.stored));
        EXPECT_EQ(VornSettings::maxConnections(), c.read) << c.stored;
    }
}

TEST_F(Settings, SocksVersionAcceptsOnlyFourAndFive) {
    struct Case {
        int32_t stored;
        int32_t read;
    } cases[] = {{4, 4}, {5, 5}, {0, 5}, {6, 5}, {256 + 4, 4}, {-252, 4}, {1029, 5}};
    for (const Case& c : cases) {
        ASSERT_TRUE(VornSettings::setSocksVersion(c.stored));
        EXPECT_EQ(VornSettings::socksVersion(), c.read) << c.stored;
    }
}

TEST_F(Settings, FlagEncodings) {
    struct Case {
        int32_t stored;
        bool flag12;
        bool flag01;
    } cases[] = {{0, true, false}, {1, true, true}, {2, false, false}, {3, false, false}, {-1, true, false}};
    for (const Case& c : cases) {
        store("Flag", c.stored);
        EXPECT_EQ(VornSettings::readFlag12("Flag"), c.flag12) << c.stored;
        EXPECT_EQ(VornSettings::readFlag01("Flag"), c.flag01) << c.stored;
    }
    ASSERT_TRUE(VornSettings::setCategoryFolders(false));
    EXPECT_EQ(VornSettings::readInteger("CategoryFolders", 0), 2);
    EXPECT_FALSE(VornSettings::categoryFolders());
    ASSERT_TRUE(VornSettings::setCategoryFolders(true));
    EXPECT_EQ(VornSettings::readInteger("CategoryFolders", 0), 1);
    ASSERT_TRUE(VornSettings::writeFlag01("FTP_IsActive", true));
    EXPECT_EQ(VornSettings::readInteger("FTP_IsActive", 0), 1);
    ASSERT_TRUE(VornSettings::writeFlag01("FTP_IsActive", false));
    EXPECT_EQ(VornSettings::readInteger("FTP_IsActive", 7), 0);
}

TEST_F(Settings, ValuesOfAnotherTypeReadAsDefaults) {
    store("BandWidthLimit", std::string("16"));
    EXPECT_EQ(VornSettings::bandWidthLimit(), 0);
    store("CompletionDialog", std::string("2"));
    EXPECT_TRUE(VornSettings::completionDialog());
    store("Name", 5);
    EXPECT_EQ(VornSettings::readText("Name", "default"), "default");
    store("Name", std::string());
    EXPECT_EQ(VornSettings::readText("Name", "default"), "default");
    store("Name", std::string("Gr\xC3\xBC\xC3\x9F"
                              "e \"quoted\""));
    EXPECT_EQ(VornSettings::readText("Name", "default"), "Gr\xC3\xBC\xC3\x9F"
                                                         "e \"quoted\"");
}

TEST_F(Settings, DamagedFileReadsAsDefaults) {
    fs::create_directories(VornSettings::file().path().parent_path());
    writeWholeFile(VornSettings::file().path(), std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    EXPECT_EQ(VornSettings::maxConnections(), 8);
    EXPECT_TRUE(VornSettings::categoryFolders());
    EXPECT_EQ(VornSettings::nextDownloadId(), 1);
}

TEST_F(Settings, NextDownloadIdCountsFromOne) {
    EXPECT_EQ(VornSettings::nextDownloadId(), 1);
    EXPECT_EQ(VornSettings::nextDownloadId(), 2);
    EXPECT_EQ(VornSettings::readInteger("LastDownloadID", 0), 2);
    store("LastDownloadID", 41);
    EXPECT_EQ(VornSettings::nextDownloadId(), 42);
    store("LastDownloadID", INT32_MAX);
    EXPECT_EQ(VornSettings::nextDownloadId(), INT32_MIN);
}

TEST_F(Settings, NextDownloadIdNeverRepeatsUnderConcurrentCallers) {
    constexpr int kThreads = 4;
    constexpr int kIds = 25;
    std::vector<std::vector<int32_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kIds; ++i) {
                ids[t].push_back(VornSettings::nextDownloadId());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<int32_t> all;
    for (const auto& list : ids) {
        all.insert(all.end(), list.begin(), list.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<int32_t> expected(kThreads * kIds);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(all, expected);
    EXPECT_EQ(VornSettings::readInteger("LastDownloadID", 0), kThreads * kIds);
}

TEST_F(Settings, NextDownloadIdNeverRepeatsAcrossProcesses) {
    constexpr int kIds = 30;
    const fs::path childIds = m_home.home() / "child-ids.txt";
    auto take = [] {
        std::string ids;
        for (int i = 0; i < kIds; ++i) {
            ids += std::to_string(VornSettings::nextDownloadId()) + "\n";
        }
        return ids;
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        writeWholeFile(childIds, take());
        _exit(0);
    }
    std::string ids = take();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::istringstream both(ids + readWholeFile(childIds));
    std::vector<int32_t> all;
    for (int32_t id; both >> id;) {
        all.push_back(id);
    }
    std::sort(all.begin(), all.end());
    std::vector<int32_t> expected(2 * kIds);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(all, expected);
}

TEST_F(Settings, NextDownloadIdStillCountsWhenTheFileCannotBeWritten) {
    store("LastDownloadID", 7);
    // A folder in place of the lock file stops every write.
    const fs::path lock = VornSettings::file().path().parent_path() / "settings.lock";
    fs::remove(lock);
    fs::create_directories(lock);
    EXPECT_EQ(VornSettings::nextDownloadId(), 8);
    EXPECT_EQ(VornSettings::readInteger("LastDownloadID", 0), 7);
}

TEST_F(Settings, AutoStartEntryFollowsTheSetting) {
    const fs::path entry = m_home.configDir() / "autostart" / "Ostrel.desktop";
    EXPECT_EQ(VornAutoStart::entryPath(), entry);
    VornSettings::setAutoStart(true, "/opt/brellin/bin/brellin");
    EXPECT_TRUE(VornSettings::appAutoStart());
    std::string text = readWholeFile(entry);
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExec=/opt/brellin/bin/brellin -autostart\n"), std::string::npos) << text;

    VornSettings::setAutoStart(false, "/opt/brellin/bin/brellin");
    EXPECT_FALSE(VornSettings::appAutoStart());
    EXPECT_EQ(VornSettings::readInteger("AppAutoStart", 0), 2);
    EXPECT_FALSE(fs::exists(entry));
    // Turning it off again with no entry left is harmless.
    VornSettings::setAutoStart(false);
    EXPECT_FALSE(fs::exists(entry));
}

TEST_F(Settings, AutoStartWithoutAProgramPathStoresOnlyTheSetting) {
    VornSettings::setAutoStart(false);
    VornSettings::setAutoStart(true, fs::path());
    EXPECT_TRUE(VornSettings::appAutoStart());
    EXPECT_FALSE(fs::exists(VornAutoStart::entryPath()));
}

TEST_F(Settings, AutoStartNamesTheRunningProgram) {
    VornSettings::setAutoStart(true);
    fs::path self = fs::canonical("/proc/self/exe");
    EXPECT_EQ(VornAutoStart::programPath(), self);
    EXPECT_NE(readWholeFile(VornAutoStart::entryPath()).find("\nExec=" + self.string() + " -autostart\n"),
              std::string::npos);
}

TEST(VornAutoStart, ExecLineQuotesPathsWithReservedCharacters) {
    struct Case {
        const char* path;
        const char* exec;
    } cases[] = {
        {"/usr/bin/brellin", "/usr/bin/brellin -autostart"},
        {"/home/ann/My Apps/brellin", "\"/home/ann/My Apps/brellin\" -autostart"},
        {"/opt/a$b/brellin", "\"/opt/a\\\\$b/brellin\" -autostart"},
        {"/opt/say\"hi\"/brellin", "\"/opt/say\\\\\"hi\\\\\"/brellin\" -autostart"},
        {"/opt/100%/brellin", "/opt/100%%/brellin -autostart"},
        {"/opt/back\\slash", "\"/opt/back\\\\\\\\slash\" -autostart"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VornAutoStart::execLine(c.path), c.exec) << c.path;
    }
}

} // namespace
