#include "engine/VornEngineReports.h"
#include "engine/VornEngineTypes.h"

#include <gtest/gtest.h>

namespace {

using namespace VornEngineReports;

TEST(VornEngineReportsTest, EventTextsCarryCodeAndEncodedPayload) {
    EXPECT_EQ(EventText(ENGINE_EVENT_FILE_NAME, EncodeText(L"my file.zip")), "1@my%20file.zip");
    EXPECT_EQ(EventText(ENGINE_EVENT_FILE_NAME, EncodeText(L"caf\u00e9.txt")), "1@caf%C3%A9.txt");
    EXPECT_EQ(EventText(ENGINE_EVENT_CANCELED, ""), "8@");
    EXPECT_EQ(EventText(ENGINE_EVENT_FILE_SIZE, "10995116277760"), "3@10995116277760");
    EXPECT_EQ(ErrorEventText(ENGINE_ERROR_RENEW, L"Must renew now"), "10@3@Must%20renew%20now");
    EXPECT_EQ(ErrorEventText(0, L""), "10@0@");
}

TEST(VornEngineReportsTest, StateLabelsShowTheAttemptAfterARetry) {
    struct Case {
        int32_t state;
        int32_t retriesLeft;
        int32_t mode;
        std::string label;
    };
    const Case cases[] = {
        {ENGINE_STATE_STARTING, 3, ENGINE_MODE_NORMAL, "Starting"},
        {ENGINE_STATE_STARTING, 2, ENGINE_MODE_NORMAL, "Starting ( 2 )"},
        {ENGINE_STATE_STARTING, 1, ENGINE_MODE_NORMAL, "Starting ( 3 )"},
        {ENGINE_STATE_STARTING, 0, ENGINE_MODE_NORMAL, "Starting ( 4 )"},
        {ENGINE_STATE_DOWNLOADING, 3, ENGINE_MODE_NORMAL, "Downloading"},
        {ENGINE_STATE_STOPPED, 3, ENGINE_MODE_NORMAL, "Stopped"},
        {ENGINE_STATE_ERROR, 0, ENGINE_MODE_NORMAL, "Error"},
        {ENGINE_STATE_MERGING, 3, ENGINE_MODE_NORMAL, "Merging"},
        {ENGINE_STATE_COMPLETED, 3, ENGINE_MODE_NORMAL, "Completed"},
        {ENGINE_STATE_COMPLETED, 3, ENGINE_MODE_HLS_PLAYLIST, "Completed - Starting"},
        {0, 3, ENGINE_MODE_NORMAL, "Unkown"},
        {7, 3, ENGINE_MODE_NORMAL, "Unkown"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StateLabel(c.state, c.retriesLeft, c.mode), c.label) << c.state << "/" << c.retriesLeft;
    }
}

TEST(VornEngineReportsTest, ResumabilityNamesKeepTheirSpelling) {
    EXPECT_STREQ(ResumabilityName(RESUMABILITY_UNKOWN), "RESUMABILITY_UNKOWN");
    EXPECT_STREQ(ResumabilityName(RESUMABILITY_OK), "RESUMABILITY_OK");
    EXPECT_STREQ(ResumabilityName(RESUMABILITY_NOT_OK), "RESUMABILITY_NOT_OK");
    EXPECT_STREQ(ResumabilityName(9), "UNKOWN");
}

} // namespace
