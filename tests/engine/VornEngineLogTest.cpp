#include "engine/VornEngineLog.h"
#include "engine/VornEngineTypes.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

namespace {

TEST(VornEngineLogTest, LineHasPaddedLevelTimeSecondsAndMessage) {
    ScopedEnv env;
    env.set("TZ", "UTC");
    tzset();
    EXPECT_EQ(VornEngineLog::FormatLine(LOG_LEVEL_INFO, "Opening LogFile...", 1700000000),
              "INFO   2023-11-14 22:13:20 ( 1700000000 )   Opening LogFile...\r\n");
    EXPECT_EQ(VornEngineLog::FormatLine(LOG_LEVEL_DEBUG, "x", 0), "DEBUG  1970-01-01 00:00:00 ( 0 )   x\r\n");
    EXPECT_EQ(VornEngineLog::FormatLine(LOG_LEVEL_ERROR, "", 0).substr(0, 7), "ERROR  ");
}

TEST(VornEngineLogTest, PercentEscapesAreDecodedOnlyWhenTheResultIsAscii) {
    const std::pair<std::string, std::string> cases[] = {
        {"Error%20Text%20here", "Error Text here"},
        {"caf%C3%A9", "caf%C3%A9"}, // decodes to a non-ASCII text: kept as it is
        {"100%", "100%"},           // an incomplete escape stays
        {"plain text", "plain text"},
        {"%41%2", "A%2"},
    };
    for (const auto& [message, written] : cases) {
        EXPECT_EQ(VornEngineLog::DecodeForLine(message), written) << message;
    }
}

TEST(VornEngineLogTest, ControlCharactersCannotForgeLines) {
    ScopedEnv env;
    env.set("TZ", "UTC");
    tzset();
    const std::pair<std::string, std::string> cases[] = {
        {"Location = /x\r\nINFO   forged", "Location = /x\\x0D\\x0AINFO   forged"},
        {"escaped%0D%0AINFO   forged", "escaped\\x0D\\x0AINFO   forged"},
        {"tab\there\x7F", "tab\\x09here\\x7F"},
    };
    for (const auto& [message, written] : cases) {
        EXPECT_EQ(VornEngineLog::FormatLine(LOG_LEVEL_INFO, message, 0),
                  "INFO   1970-01-01 00:00:00 ( 0 )   " + written + "\r\n")
            << message;
    }
}

TEST(VornEngineLogTest, AppendsAcrossOpeningsAndIgnoresWritesWhileClosed) {
    TempDir dir;
    VornEngineLog log;
    log.Log(LOG_LEVEL_INFO, "lost"); // not open yet: nothing, no failure
    ASSERT_TRUE(log.Open(dir / "LogFile.txt"));
    log.Log(LOG_LEVEL_INFO, "first");
    log.Close();
    log.Log(LOG_LEVEL_INFO, "lost again");
    ASSERT_TRUE(log.Open(dir / "LogFile.txt"));
    log.Log(LOG_LEVEL_ERROR, "second");
    log.Close();
    std::string text = readWholeFile(dir / "LogFile.txt");
    EXPECT_EQ(text.find("lost"), std::string::npos);
    size_t first = text.find("   first\r\n");
    size_t second = text.find("   second\r\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_NE(text.rfind("ERROR  ", second), std::string::npos);
}

TEST(VornEngineLogTest, AFolderThatCannotHoldTheLogIsNotAnError) {
    VornEngineLog log;
    EXPECT_FALSE(log.Open("/nonexistent-folder/LogFile.txt"));
    log.Log(LOG_LEVEL_INFO, "nothing happens");
    EXPECT_FALSE(log.IsOpen());
}

} // namespace
