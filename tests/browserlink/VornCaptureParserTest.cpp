#include "browserlink/VornCaptureParser.h"

#include "storage/VornSettings.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

const std::string kAgent = "User-Agent:Mozilla/5.0 (X11; Linux x86_64) Firefox/128.0\r\n";
const VornCaptureDefaults kDefaults{16, 2048};

std::optional<VornDownloadRecord> parse(const std::string& extension) {
    return VornCaptureParser::parse(kAgent + extension, kDefaults);
}

std::vector<std::string> extraHeaders(const VornDownloadRecord& record) {
    const auto& defaults = VornDownloadRecord::defaultHeaders();
    return std::vector<std::string>(record.requestHeaders.begin() + static_cast<long>(defaults.size()),
                                    record.requestHeaders.end());
}

size_t contentLengthLines(const VornDownloadRecord& record) {
    return static_cast<size_t>(std::count_if(
        record.requestHeaders.begin(), record.requestHeaders.end(), [](const std::string& line) {
            return line.rfind("Content-Length", 0) == 0 || line.rfind("content-length", 0) == 0;
        }));
}

TEST(CaptureParserTest, AFullMessageFillsEveryField) {
    const auto record =
        parse("1:GET\r\n2:https://files.example/dl/movie.mp4?t=1\r\n3:https://files.example/a.webm\r\n"
              "4:A page\r\n5:https://www.example/watch\r\n6:media\r\n7:123456\r\n8:video/mp4\r\n"
              "9:The clip\r\nReferer: https://www.example/watch\r\nCookie: a=b\r\n");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->id, -1);
    EXPECT_EQ(record->method, "GET");
    EXPECT_EQ(record->url.fullUrl(), "https://files.example/dl/movie.mp4?t=1");
    EXPECT_EQ(record->secondUrl.fullUrl(), "https://files.example/a.webm");
    EXPECT_EQ(record->userAgent, "Mozilla/5.0 (X11; Linux x86_64) Firefox/128.0");
    EXPECT_EQ(record->pageTitle, "A page");
    EXPECT_EQ(record->pageUrl, "https://www.example/watch");
    EXPECT_EQ(record->linkType, "media");
    EXPECT_EQ(record->fileSize, 123456);
    EXPECT_EQ(record->mimeType, "video/mp4");
    EXPECT_EQ(record->linkTitle, "The clip");
    EXPECT_EQ(record->referrer, "https://www.example/watch");
    EXPECT_EQ(extraHeaders(*record),
              (std::vector<std::string>{"Referer: https://www.example/watch", "Cookie: a=b"}));
    EXPECT_EQ(record->connections, 16);
    EXPECT_EQ(record->bandwidthLimit, 2048);
}

TEST(CaptureParserTest, OnlyTheServerLineGivesARecordWithoutUrlAndWithDefaults) {
    const auto record = VornCaptureParser::parse(kAgent, kDefaults);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->url.givenText().empty());
    EXPECT_FALSE(record->hasSecondUrl());
    EXPECT_EQ(record->method, "GET");
    EXPECT_EQ(record->linkType, "normal");
    EXPECT_EQ(record->requestHeaders, VornDownloadRecord::defaultHeaders());
    EXPECT_TRUE(record->postData.empty());
}

struct FieldCase {
    const char* name;
    std::string message;
    std::function<std::string(const VornDownloadRecord&)> field;
    std::string expected;
};

class CaptureFieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(CaptureFieldTest, Reads) {
    const auto record = parse(GetParam().message);
    ASSERT_TRUE(record);
    EXPECT_EQ(GetParam().field(*record), GetParam().expected);
}

std::string sizeOf(const VornDownloadRecord& r) {
    return std::to_string(r.fileSize);
}
std::string methodOf(const VornDownloadRecord& r) {
    return r.method;
}
std::string urlOf(const VornDownloadRecord& r) {
    return r.url.givenText();
}
std::string referrerOf(const VornDownloadRecord& r) {
    return r.referrer;
}
std::string agentOf(const VornDownloadRecord& r) {
    return r.userAgent;
}
std::string titleOf(const VornDownloadRecord& r) {
    return r.pageTitle;
}
std::string headersOf(const VornDownloadRecord& r) {
    std::string joined;
    for (const std::string& line : extraHeaders(r))
        joined += line + "|";
    return joined;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CaptureFieldTest,
    ::testing::Values(
        FieldCase{"SizeNotDecimal", "7:12ab\r\n", sizeOf, "0"},
        FieldCase{"SizeNegative", "7:-5\r\n", sizeOf, "0"}, FieldCase{"SizeEmpty", "7:\r\n", sizeOf, "0"},
        FieldCase{"SizeLarge", "7:10995116277760\r\n", sizeOf, "10995116277760"},
        FieldCase{"LastLineWithoutLineEndIgnored", "2:http://h/a.zip\r\n4:unfinished", titleOf, ""},
        FieldCase{"LaterLineWins", "2:http://h/a.zip\r\n2:http://h/b.zip\r\n", urlOf, "http://h/b.zip"},
        FieldCase{"EmptyUrlLineClearsIt", "2:http://h/a.zip\r\n2:\r\n", urlOf, ""},
        FieldCase{"LowerCaseRefererIsOnlyAHeader", "referer: http://p/\r\n", referrerOf, ""},
        FieldCase{"LowerCaseRefererStaysAHeader", "referer: http://p/\r\n", headersOf, "referer: http://p/|"},
        FieldCase{"RefererWithoutBlankIsOnlyAHeader", "Referer:http://p/\r\n", referrerOf, ""},
        FieldCase{"AgentOfTheExtensionLineWinsAndIsNotTrimmed", "User-Agent: Other \r\n", agentOf, " Other "},
        FieldCase{"UnknownLinesBecomeHeaders", "X-Token: 1\r\nCookie: c=d; e=f\r\n", headersOf,
                  "X-Token: 1|Cookie: c=d; e=f|"},
        FieldCase{"LowerCaseMethodIsTaken", "1:post\r\n", methodOf, "post"},
        FieldCase{"MethodWithControlBytesIgnored", "1:GET\nX: y\r\n", methodOf, "GET"},
        FieldCase{"EmptyHeaderLinesDropped", "Cookie: a\r\n\r\n   \r\nX-B: 2\r\n", headersOf,
                  "Cookie: a|X-B: 2|"},
        FieldCase{"HeaderWithLoneLineFeedDropped", "Cookie: a\nInjected: 1\r\nX-B: 2\r\n", headersOf,
                  "X-B: 2|"}),
    [](const auto& info) { return std::string(info.param.name); });

struct UrlCase {
    const char* name;
    std::string message;
    bool kept;
};

class CaptureUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(CaptureUrlTest, DropsMessagesWithUnusableUrls) {
    EXPECT_EQ(parse(GetParam().message).has_value(), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, CaptureUrlTest,
    ::testing::Values(
        UrlCase{"Http", "2:http://host/f\r\n", true}, UrlCase{"Ftp", "2:ftp://host/f\r\n", true},
        UrlCase{"NoScheme", "2:host/f.zip\r\n", true},
        UrlCase{"OtherScheme", "2:ws://host/socket\r\n", false}, UrlCase{"NoHost", "2:http://\r\n", false},
        UrlCase{"EmptyIPv6Host", "2:http://[::1/x\r\n", false},
        UrlCase{"BadAudioUrl", "2:http://host/v.webm\r\n3:blob://x/y\r\n", false},
        UrlCase{"GoodAudioUrl", "2:http://host/v.webm\r\n3:http://host/a.webm\r\n", true},
        UrlCase{"BadUrlAfterTheMarkerIsBody", "2:http://h/f\r\n__0VornPostData9__:2:ws://x/\r\n", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureParserTest, PostWithABodyAddsOneContentLengthOfItsBytes) {
    const std::string body = "name=caf\xC3\xA9&x=1\r\nline two";
    const auto record = parse("1:POST\r\n2:http://h/upload\r\n__0VornPostData9__:" + body);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->postData, body);
    EXPECT_EQ(record->method, "POST");
    EXPECT_EQ(extraHeaders(*record),
              (std::vector<std::string>{"Content-Length: " + std::to_string(body.size())}));
}

TEST(CaptureParserTest, PostWithoutABodyAddsNoLength) {
    const auto record = parse("1:POST\r\n2:http://h/upload\r\n");
    ASSERT_TRUE(record);
    EXPECT_EQ(contentLengthLines(*record), 0u);
}

TEST(CaptureParserTest, LowerCasePostAddsNoLength) {
    const auto record = parse("1:post\r\n__0VornPostData9__:abc");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->postData, "abc");
    EXPECT_EQ(contentLengthLines(*record), 0u);
}

TEST(CaptureParserTest, RepeatedPostAndTheBrowsersOwnLengthLeaveOneLength) {
    const auto record =
        parse("Content-Length: 999\r\n1:POST\r\n1:POST\r\ncontent-length: 7\r\n__0VornPostData9__:abcd");
    ASSERT_TRUE(record);
    EXPECT_EQ(extraHeaders(*record), (std::vector<std::string>{"Content-Length: 4"}));
}

TEST(CaptureParserTest, TheMarkerIsFoundInAnyCaseAndCutsTheLines) {
    const auto record = parse("2:http://h/f\r\n4:title\r\n__0vornPOSTdata9__:a=1\r\n4:not a title\r\n");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->postData, "a=1\r\n4:not a title\r\n");
    EXPECT_EQ(record->pageTitle, "title");
}

TEST(CaptureParserTest, TheMarkerWithABlankBeforeItsColonIsCutWhole) {
    const auto record = parse("2:http://h/f\r\n__0VornPostData9__ :body");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->postData, "body");
    EXPECT_TRUE(extraHeaders(*record).empty());
}

TEST(CaptureParserTest, GuardDropsMessagesWithinHalfASecondOfTheLastAccepted) {
    VornCaptureParser parser(kDefaults);
    const std::string message = kAgent + "2:http://h/a.zip\r\n";
    const uint64_t start = 1'765'000'000'000;
    EXPECT_TRUE(parser.receive(message, start));
    EXPECT_FALSE(parser.receive(message, start + 200));
    // The dropped one does not move the mark: 500 ms after the first is enough.
    EXPECT_TRUE(parser.receive(message, start + 500));
    EXPECT_FALSE(parser.receive(message, start + 999));
    EXPECT_TRUE(parser.receive(message, start + 1100));
}

TEST(CaptureParserTest, AnUnusableMessageStillCountsForTheGuard) {
    VornCaptureParser parser(kDefaults);
    const uint64_t start = 1'765'000'000'000;
    EXPECT_FALSE(parser.receive(kAgent + "2:ws://h/\r\n", start));
    EXPECT_FALSE(parser.receive(kAgent + "2:http://h/a.zip\r\n", start + 100));
}

TEST(CaptureParserTest, AClockThatGoesBackDropsOnceAndThenCountsFromThere) {
    VornCaptureParser parser(kDefaults);
    const std::string message = kAgent + "2:http://h/a.zip\r\n";
    const uint64_t start = 1'765'000'000'000;
    EXPECT_TRUE(parser.receive(message, start));
    EXPECT_FALSE(parser.receive(message, start - 3'600'000));
    EXPECT_TRUE(parser.receive(message, start - 3'600'000 + 600));
}

} // namespace

namespace {

TEST(CaptureParserSettingsTest, EachNewRecordTakesTheSettingsOfItsMoment) {
    TempHome home;
    ASSERT_TRUE(VornSettings::setMaxConnections(4));
    ASSERT_TRUE(VornSettings::setBandWidthLimit(64));
    VornCaptureParser parser = VornCaptureParser::withSettings();
    const uint64_t start = 1'765'000'000'000;
    const auto first = parser.receive(kAgent + "2:http://h/a.zip\r\n", start);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->connections, 4);
    EXPECT_EQ(first->bandwidthLimit, 64);
    ASSERT_TRUE(VornSettings::setMaxConnections(32));
    const auto second = parser.receive(kAgent + "2:http://h/b.zip\r\n", start + 1000);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->connections, 32);
    EXPECT_EQ(first->connections, 4);
}

TEST(CaptureParserSettingsTest, WithoutSettingsTheDefaultsAreEightAndNoLimit) {
    TempHome home;
    const auto record = VornCaptureParser::parse(kAgent, VornCaptureDefaults::fromSettings());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->connections, 8);
    EXPECT_EQ(record->bandwidthLimit, 0);
}

} // namespace
