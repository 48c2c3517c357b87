#include "base/VornKnownFolders.h"
#include "tests/support/TempDir.h"
#include "tests/support/Unprivileged.h"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

TEST(VornKnownFolders, DataFolderDefaultsBelowHomeAndIsCreated) {
    TempHome home;
    fs::path expected = home.dataDir() / "Ostrel" / "";
    ASSERT_FALSE(fs::exists(expected));
    EXPECT_EQ(VornKnownFolders::dataFolder(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    // A second call finds the folder in place.
    EXPECT_EQ(VornKnownFolders::dataFolder(), expected);
}

TEST(VornKnownFolders, DataFolderIsTheOwnersOnlyEvenWhenItExistedOpen) {
    TempHome home;
    const fs::path folder = home.dataDir() / "Ostrel";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(VornKnownFolders::dataFolder(), folder / "");
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(VornKnownFolders, XdgVariablesWinWhenAbsolute) {
    TempHome home;
    ScopedEnv env;
    TempDir data;
    TempDir config;
    env.set("XDG_DATA_HOME", data.path().string());
    env.set("XDG_CONFIG_HOME", config.path().string());
    EXPECT_EQ(VornKnownFolders::dataFolder(), data.path() / "Ostrel" / "");
    EXPECT_EQ(VornKnownFolders::settingsFolder(), config.path() / "Ostrel" / "");
}

TEST(VornKnownFolders, RelativeXdgVariablesAreIgnored) {
    TempHome home;
    ScopedEnv env;
    env.set("XDG_DATA_HOME", "relative/data");
    env.set("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(VornKnownFolders::dataFolder(), home.dataDir() / "Ostrel" / "");
    EXPECT_EQ(VornKnownFolders::settingsFolder(), home.configDir() / "Ostrel" / "");
}

TEST(VornKnownFolders, DataFolderIsRootWhenItCannotBeCreated) {
    TempHome home;
    ScopedEnv env;
    TempDir locked;
    const fs::perms readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(home.home(), readOnly);
    fs::permissions(locked.path(), readOnly);
    env.set("XDG_DATA_HOME", (locked.path() / "data").string());
    int result = runUnprivileged([] { return VornKnownFolders::dataFolder() == fs::path("/") ? 0 : 1; });
    fs::permissions(locked.path(), fs::perms::owner_all);
    fs::permissions(home.home(), fs::perms::owner_all);
    EXPECT_EQ(result, 0);
}

TEST(VornKnownFolders, DataFolderIsRootWhenAFileStandsInItsPlace) {
    TempHome home;
    ScopedEnv env;
    TempDir data;
    writeWholeFile(data.path() / "Ostrel", "not a folder");
    env.set("XDG_DATA_HOME", data.path().string());
    EXPECT_EQ(VornKnownFolders::dataFolder(), fs::path("/"));
}

TEST(VornKnownFolders, DownloadsFolderComesFromTheUserDirsFile) {
    TempHome home;
    fs::create_directories(home.configDir());
    writeWholeFile(home.configDir() / "user-dirs.dirs",
                   "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                   "XDG_DOWNLOAD_DIR=\"$HOME/Telechargements\"\n");
    fs::path expected = home.home() / "Telechargements" / "";
    EXPECT_EQ(VornKnownFolders::downloadsFolder(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
}

TEST(VornKnownFolders, DownloadsFolderFallsBackToHomeDownloads) {
    TempHome home;
    EXPECT_EQ(VornKnownFolders::downloadsFolder(), home.home() / "Downloads" / "");
    EXPECT_TRUE(fs::is_directory(home.home() / "Downloads"));
}

TEST(VornKnownFolders, ParsesDownloadDirEntries) {
    const fs::path home = "/home/ann";
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", "/home/ann/Downloads"},
        {"  XDG_DOWNLOAD_DIR = \"$HOME/My Files\"", "/home/ann/My Files"},
        {"XDG_DOWNLOAD_DIR=\"/srv/incoming\"\n", "/srv/incoming"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/a \\\"b\\\" \\$c\"\n", "/home/ann/a \"b\" $c"},
        {"XDG_DOWNLOAD_DIR=\"$HOME\"\n", "/home/ann"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/Dl\"\r\n", "/home/ann/Dl"},
        {"XDG_DOWNLOAD_DIR=\"$HOME/one\"\nXDG_DOWNLOAD_DIR=\"$HOME/two\"\n", "/home/ann/two"},
        // Unsupported or broken forms give nothing, so the caller falls back.
        {"#XDG_DOWNLOAD_DIR=\"$HOME/commented\"\n", ""},
        {"XDG_DOWNLOAD_DIR=relative/path\n", ""},
        {"XDG_DOWNLOAD_DIR=\"relative/path\"\n", ""},
        {"XDG_DOWNLOAD_DIR=\"$HOMEWORK/x\"\n", ""},
        {"XDG_DOWNLOAD_DIR=\"$HOME/unterminated\n", ""},
        {"XDG_DOWNLOAD_DIRECTORY=\"$HOME/other\"\n", ""},
        {"XDG_MUSIC_DIR=\"$HOME/Music\"\n", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VornKnownFolders::parseDownloadDir(c.text, home), fs::path(c.expected)) << c.text;
    }
}

TEST(VornKnownFolders, HomeFallsBackToThePasswordDatabase) {
    ScopedEnv env;
    env.unset("HOME");
    EXPECT_FALSE(VornKnownFolders::home().empty());
}

} // namespace
