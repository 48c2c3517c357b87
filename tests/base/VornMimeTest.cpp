#include "base/VornMime.h"

#include <gtest/gtest.h>

namespace {

TEST(VornMime, CategoryByExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"movie.MKV", "Video"},
        {"movie.mkv", "Video"},
        {"song.flac", "Misc"},
        {"setup.exe", "Application"},
        {"package.msi", "Application"},
        {"archive.7z", "Compressed"},
        {"archive.tar.gz", "Compressed"},
        {"paper.pdf", "Document"},
        {"tune.mp3", "Audio"},
        {"README", "Misc"},
        {"x.y!z", "Misc"},
        {"name.", "Misc"},
        {"clip. mp4 ", "Video"},
        // Plain substring search, Application first.
        {"a.M", "Application"},
        {"a.W", "Video"},
        {"a.RA", "Audio"},
        {"a.7", "Compressed"},
        {"a.A", "Application"}, // the dotted text must match: .APPX
        {"a.X", "Document"},    // .XLS, not inside .EXE
        {"a.OG", "Video"},
        {"a.mp4 mp4", "Misc"},
        {"a.%4D%4B%56", "Misc"}, // percent escapes are not an extension
    };
    for (const auto& [name, category] : cases) {
        EXPECT_EQ(vornCategory(std::string(name)), category) << name;
    }
}

TEST(VornMime, WideCategoryEncodesTheNameFirst) {
    EXPECT_EQ(vornCategory(std::wstring(L"my movie.mkv")), L"Video");
    EXPECT_EQ(vornCategory(std::wstring(L"\u00e9t\u00e9.mp3")), L"Audio");
    EXPECT_EQ(vornCategory(std::wstring(L"archive.\u00e9")), L"Misc");
    EXPECT_EQ(vornCategory(std::wstring(L"")), L"Misc");
}

TEST(VornMime, CategoryListsAreExact) {
    EXPECT_EQ(vornCategoryExtensions("Application"), ".EXE .COM .DLL .OCX .APPX .APP .MSI");
    EXPECT_EQ(vornCategoryExtensions("Audio"), ".MP3 .WAV .WAVE .RA .M4A .WMA .OGA .MID .MIDI .AAC .RAM");
    EXPECT_EQ(vornCategoryExtensions("Misc"), "");
}

TEST(VornMime, ExtensionForMimeType) {
    const std::pair<const char*, const char*> cases[] = {
        {"Video/MP4", "mp4"},
        {"video/mp4; codecs=\"avc1\"", ""},
        {"ilm/tm", "mp3"},
        {"text/mspg-legacyinfo", "msi"},
        {"text/vtt", "vtt"},
        {"application/vnd.apple.mpegurl", "m3u8"},
        {"application/x-compressed", "arj"},
        {"application/x-compress", "z"},
        {"flv-application/octet-stream", "flv"},
        {"application/vnd.rn-realmedia-vbr", "rmvb"},
        {"image/jpeg", "jpg"},
        {"application/octet-stream", ""},
        {"", ""},
        {" video/mp4", ""},
    };
    for (const auto& [type, extension] : cases) {
        EXPECT_EQ(vornExtensionForMimeType(type), extension) << type;
    }
}

} // namespace
