#include "storage/VornDownloadRecord.h"

#include <gtest/gtest.h>

namespace {

TEST(VornDownloadRecord, ConstructionSetsTheDefaults) {
    VornDownloadRecord record(7, "http://example.com/a.zip", "", 16, 250, "normal");
    EXPECT_EQ(record.id, 7);
    EXPECT_EQ(record.url.givenText(), "http://example.com/a.zip");
    EXPECT_EQ(record.url.host(), "example.com");
    EXPECT_EQ(record.secondUrl.kind(), 0);
    EXPECT_FALSE(record.hasSecondUrl());
    EXPECT_EQ(record.connections, 16);
    EXPECT_EQ(record.bandwidthLimit, 250);
    EXPECT_EQ(record.linkType, "normal");
    EXPECT_EQ(record.method, "GET");
    EXPECT_EQ(record.userAgent,
              "Mozilla / 5.0 (Windows NT 10.0; Win64; x64) AppleWebKit / 537.36 (KHTML, like "
              "Gecko) Chrome / 73.0.3683.86 Safari / 537.36");
    EXPECT_EQ(record.requestHeaders,
              (std::vector<std::string>{"Accept: */*", "Accept-Encoding: identity",
                                        "Accept-Language: en-US,en;q=0.9", "Accept-Charset: *"}));
    EXPECT_TRUE(record.fileName.empty());
    EXPECT_EQ(record.fileSize, 0);
    EXPECT_EQ(record.freshRestart, 0);

    VornDownloadRecord empty;
    EXPECT_EQ(empty.id, -1);
    EXPECT_EQ(empty.linkType, "normal");
    EXPECT_EQ(empty.requestHeaders.size(), 4u);

    VornDownloadRecord pair(8, "http://h/v.webm", "http://h/a.webm", 8, 0, "media");
    EXPECT_TRUE(pair.hasSecondUrl());
    VornDownloadRecord copy = pair;
    EXPECT_EQ(copy.secondUrl.fullUrl(), "http://h/a.webm");
}

TEST(VornDownloadRecord, DefaultHeadersMatchByExactPrefix) {
    struct Case {
        const char* line;
        bool isDefault;
    } cases[] = {
        {"Accept: */*", true},
        {"Accept: text/html", true},
        {"Accept:", true},
        {"Accept-Encoding: gzip, br", true},
        {"Accept-Language: de", true},
        {"Accept-Charset: utf-8", true},
        {"accept: */*", false},
        {"Accept : */*", false},
        {"Accept-Ranges: bytes", false},
        {"Cookie: a=b", false},
        {"Referer: http://page/", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VornDownloadRecord::isDefaultHeader(c.line), c.isDefault) << c.line;
    }
}

TEST(VornDownloadRecord, DerivedFileNames) {
    struct Case {
        const char* url;
        const char* secondUrl;
        const char* linkType;
        const char* pageTitle;
        const wchar_t* fileName;
        const wchar_t* expected;
    } cases[] = {
        {"http://h/dir/file.zip", "", "normal", "Page", L"", L"file.zip"},
        {"http://h/dir/file.zip", "", "normal", "", L"chosen name.bin", L"chosen name.bin"},
        {"http://h/dir/my%20file.zip", "", "normal", "", L"", L"my file.zip"},
        {"http://a.b/dir/", "", "normal", "", L"", L"a_b_dir"},
        {"http://h/%D0%BF%D1%80.txt", "", "normal", "", L"", L"\u043f\u0440.txt"},
        // An encoded separator never leaves the target folder.
        {"http://h/..%2F..%2Fetc%2Fpasswd", "", "normal", "", L"", L"_._.._etc_passwd"},
        {"http://h/live/index.m3u8", "", "hls", "", L"", L"index.ts"},
        {"http://h/live/index.m3u8", "", "hls", "My Show: Ep 1", L"", L"My Show_ Ep 1.ts"},
        {"http://h/live/index.m3u8", "", "hls", "Caf%C3%A9", L"", L"Caf\u00e9.ts"},
        {"http://h/v/clip.webm", "", "media", "", L"", L"clip.webm"},
        {"http://h/v/clip.webm", "", "media", "Title", L"", L"Title.webm"},
        {"http://h/v/videoplayback?id=1", "", "media", "", L"", L"videoplayback.mp4"},
        {"http://h/v/clip.we!bm", "", "media", "", L"", L"clip.mp4"},
        {"http://h/v/clip.webm", "http://h/a/audio.webm", "media", "", L"", L"clip.mkv"},
        {"http://h/v/clip.webm", "http://h/a/audio.webm", "media", "A \"quoted\" title", L"",
         L"A quoted title.mkv"},
        {"http://h/v/clip.webm", "http://h/a/audio.webm", "normal", "", L"", L"clip.mkv"},
        {"http://h/v/clip.webm", "", "unknown", "Title", L"", L"clip.webm"},
    };
    for (const Case& c : cases) {
        VornDownloadRecord record(1, c.url, c.secondUrl, 8, 0, c.linkType);
        record.pageTitle = c.pageTitle;
        record.fileName = c.fileName;
        EXPECT_EQ(record.derivedFileName(), c.expected) << c.url << " " << c.linkType << " " << c.pageTitle;
    }
}

TEST(VornDownloadRecord, StoredFileNameIsPercentEncodedWithEncodedBlanks) {
    VornDownloadRecord record(1, "http://h/dir/my%20file.zip", "", 8, 0, "normal");
    EXPECT_EQ(record.storedFileName(), "my%20file.zip");
    record.fileName = L"\u043f\u0440 x.txt";
    EXPECT_EQ(record.storedFileName(), "%D0%BF%D1%80%20x.txt");
    record.fileName = L"50% off;'quoted'.pdf";
    EXPECT_EQ(record.storedFileName(), "50%%20off;'quoted'.pdf");
}

} // namespace
