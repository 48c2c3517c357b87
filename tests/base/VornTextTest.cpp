#include "base/VornText.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(VornTextUtf8, ConvertsEveryLengthBothWays) {
    const std::wstring wide = L"a\u00e9\u20ac\U0001F600z";
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    EXPECT_EQ(vornWideToUtf8(wide), utf8);
    EXPECT_EQ(vornUtf8ToWide(utf8), wide);
    EXPECT_EQ(vornUtf8ToWide(static_cast<const char*>(nullptr)), L"");
}

TEST(VornTextUtf8, DoesNotDependOnTheProcessLocale) {
    // A fresh machine has only C and C.UTF-8; the conversions must not care which one is set.
    const char* saved = std::setlocale(LC_ALL, nullptr);
    const std::string restore = saved ? saved : "C";
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(vornUtf8ToWide("\xC3\xA9"), L"\u00e9");
    EXPECT_EQ(vornWideToUtf8(L"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(vornPercentEncode(L"\u00e9", true), "%C3%A9");
    std::setlocale(LC_ALL, restore.c_str());
}

TEST(VornTextUtf8, InvalidSequenceEndsTheStrictConversion) {
    struct Case {
        std::string input;
        std::wstring expected;
    } cases[] = {
        {"ab\xFF"
         "cd",
         L"ab"},
        {"ab\xC3", L"ab"}, // truncated at the end
        {"a\xC0\xAF"
         "b",
         L"a"}, // overlong '/'
        {"a\xED\xA0\x80"
         "b",
         L"a"}, // surrogate
        {"a\xF4\x90\x80\x80"
         "b",
         L"a"},                            // above U+10FFFF
        {std::string("ab\0cd", 5), L"ab"}, // a NUL ends the text
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornUtf8ToWide(c.input), c.expected) << c.input;
    }
}

TEST(VornTextUtf8, ReplacingConversionKeepsGoing) {
    EXPECT_EQ(vornUtf8ToWideReplacing("ab\xFF"
                                      "cd"),
              L"ab\uFFFDcd");
    EXPECT_EQ(vornUtf8ToWideReplacing("a\xE2\x82"), L"a\uFFFD");
    EXPECT_EQ(vornUtf8ToWideReplacing("\xC3\xA9"), L"\u00e9");
}

TEST(VornTextUtf8, WideToUtf8ReplacesCodePointsUtf8CannotCarry) {
    std::wstring bad = L"a";
    bad += static_cast<wchar_t>(0xD800);
    bad += static_cast<wchar_t>(0x110000);
    EXPECT_EQ(vornWideToUtf8(bad), "a\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(VornTextUtf8, AsciiIsAllOrNothing) {
    EXPECT_EQ(vornWideToAscii(L"plain ~text"), "plain ~text");
    EXPECT_EQ(vornWideToAscii(L"caf\u00e9 au lait"), "");
    EXPECT_EQ(vornWideToAscii(std::wstring(1, wchar_t(127))), "");
    EXPECT_EQ(vornPercentDecodeToAscii("a%20b"), "a b");
    EXPECT_EQ(vornPercentDecodeToAscii("caf%C3%A9"), "");
    EXPECT_EQ(vornPercentDecodeToAscii(""), "");
}

TEST(VornTextPercent, Encodes) {
    struct Case {
        std::wstring input;
        bool encodeSpaces;
        std::string expected;
    } cases[] = {
        {L"a b", true, "a%20b"},
        {L"a b", false, "a b"},
        {L"\u00e9", true, "%C3%A9"},
        {L"~", false, "%7E"},
        {L"%41", true, "%41"},
        {L"\"<>{}|^`\t\n", false, "%22%3C%3E%7B%7D%7C%5E%60%09%0A"},
        {L"[]$-_.+!*'(),&#@/\\%?=;:", true, "[]$-_.+!*'(),&#@/\\%?=;:"},
        {L"", true, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornPercentEncode(c.input, c.encodeSpaces), c.expected);
    }
}

TEST(VornTextPercent, Decodes) {
    struct Case {
        std::string input;
        std::wstring expected;
    } cases[] = {
        {"%41%2", L"A%2"}, {"%zz", L"%zz"}, {"%c3%a9", L"\u00e9"}, {"%C3%A9", L"\u00e9"}, {"%", L"%"},
        {"%4", L"%4"},     {"a+b", L"a+b"}, {"%ff", L"\uFFFD"},    {"100%", L"100%"},     {"%%41", L"%A"},
        {"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornPercentDecode(c.input), c.expected) << c.input;
    }
}

TEST(VornTextPercent, EncodeThenDecodeGivesTheTextBack) {
    // Without a '%' in the text nothing is mistaken for an escape on the way back.
    for (const std::wstring& text : {std::wstring(L"a b/c?d=e&f"), std::wstring(L"\u00e9\u4e2d\U0001F600 x"),
                                     std::wstring(L"\"quoted\"\t\r\n")}) {
        EXPECT_EQ(vornPercentDecode(vornPercentEncode(text, true)), text);
        EXPECT_EQ(vornPercentDecode(vornPercentEncode(text, false)), text);
    }
}

TEST(VornTextBase64, EncodesWithPadding) {
    struct Case {
        std::string input;
        std::string expected;
    } cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornBase64Encode(c.input), c.expected) << c.input;
    }
    EXPECT_EQ(vornBase64Encode(std::string("\xFF\xFE\x00", 3)), "//4A");
}

TEST(VornTextBase64, DecodesAndStopsAtTheFirstStranger) {
    struct Case {
        std::string input;
        std::string expected;
    } cases[] = {
        {"QUJD=more text", "ABC"},
        {"QUJD QUJD", "ABC"},
        {"Zm9vYmFy", "foobar"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE", "fooba"},
        {"Zm9vY", "foo"},
        {"", ""},
        {" QUJD", ""},
        {"QU\nJD", "A"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornBase64Decode(c.input), c.expected) << c.input;
    }
}

TEST(VornTextBase64, RoundTripsEveryByte) {
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all += static_cast<char>(i);
    }
    for (size_t length = 0; length <= all.size(); length += 37) {
        const std::string part = all.substr(0, length);
        EXPECT_EQ(vornBase64Decode(vornBase64Encode(part)), part);
    }
}

TEST(VornTextDigest, IsLowerCaseHex) {
    const uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    EXPECT_EQ(vornDigestText(bytes, sizeof bytes), "000fa0ff");
}

TEST(VornTextCase, MapsOnlyAscii) {
    EXPECT_EQ(vornToUpper("abc-XYZ \xC3\xA9"), "ABC-XYZ \xC3\xA9");
    EXPECT_EQ(vornToLower("ABC-xyz"), "abc-xyz");
    EXPECT_EQ(vornToLowerWide(L"AbC\u00c9"), L"abc\u00c9");
}

TEST(VornTextTrim, RemovesBlanksAndTabsOnly) {
    EXPECT_EQ(vornTrim(" \t a b \t"), "a b");
    EXPECT_EQ(vornTrimLeft(" \ta "), "a ");
    EXPECT_EQ(vornTrimRight(" a\t "), " a");
    EXPECT_EQ(vornTrim("\ra\n"), "\ra\n");
    EXPECT_EQ(vornTrim("  \t "), "");
    EXPECT_EQ(vornTrimWide(L"\t x y "), L"x y");
    EXPECT_EQ(vornTrimWide(L"   "), L"");
}

TEST(VornTextSearch, StartsWithContainsReplace) {
    EXPECT_TRUE(vornStartsWith("Content-Type", "Content"));
    EXPECT_FALSE(vornStartsWith("Content-Type", "content"));
    EXPECT_FALSE(vornStartsWith("ab", "abc"));
    EXPECT_TRUE(vornStartsWith("ab", ""));
    EXPECT_TRUE(vornContains("a=b", "="));
    EXPECT_FALSE(vornContains("a=b", "B"));

    struct Case {
        std::string text, from, to, expected;
    } cases[] = {
        {"aaa", "a", "aa", "aaaaaa"}, // replaced text is not scanned again
        {"abcabc", "bc", "", "aa"},   {"abc", "", "x", "abc"},
        {"", "a", "b", ""},           {"&amp;lt;", "&amp;", "&", "&lt;"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornReplaceAll(c.text, c.from, c.to), c.expected);
    }
    EXPECT_EQ(vornReplaceAllWide(L"a.b.c", L".", L"_"), L"a_b_c");
}

TEST(VornTextSplit, SplitsAtTheFirstSeparator) {
    struct Case {
        std::string text, separator, head, rest;
    } cases[] = {
        {"x : y : z", ":", "x", "y : z"},
        {"no separator", ":", "no separator", "no separator"},
        {"", ":", "", ""},
        {"abc", "", "abc", "abc"},
        {"key=", "=", "key", ""},
        {"a::b", "::", "a", "b"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(vornSplitFirst(text, c.separator), c.head) << c.text;
        EXPECT_EQ(text, c.rest) << c.text;
    }
}

TEST(VornTextSmall, QuoteNameValueRemoveAt) {
    EXPECT_EQ(vornQuote("realm"), "\"realm\"");
    EXPECT_EQ(vornNameValue("nc", "00000001", false), "nc=00000001");
    EXPECT_EQ(vornNameValue("realm", "r", true), "realm=\"r\"");
    EXPECT_EQ(vornRemoveAt("a@b@@c"), "abc");
}

TEST(VornTextSmall, RandomBytesAreEightNonZeroBytes) {
    for (int round = 0; round < 50; ++round) {
        const std::string bytes = vornRandomBytes();
        ASSERT_EQ(bytes.size(), 8u);
        for (char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            EXPECT_GE(b, 1);
            EXPECT_LE(b, 254);
        }
    }
}

TEST(VornTextHeader, FindsFieldsCaseInsensitivelyAnywhere) {
    struct Case {
        std::string text, name;
        bool atStart;
        bool found;
        size_t position;
    } cases[] = {
        {"Content-Length : 42", "content-length", false, true, 16},
        {"X-Content-Length: 42", "content-length", false, true, 17},
        {"X-Content-Length: 42", "content-length", true, false, 0},
        {"content-length:42", "Content-Length", true, true, 15},
        {"filename=a.txt", "FILENAME", false, true, 9},
        {"name =v", "name", false, true, 6},
        {"Content-Length", "content-length", false, false, 0}, // not shorter than the text
        {"Content-Length 42", "content-length", false, false, 0},
        // ':' wins over '=' even when '=' comes first in the text
        {"a=1; a:2", "a", false, true, 7},
    };
    for (const Case& c : cases) {
        size_t position = 999;
        EXPECT_EQ(vornFindHeaderField(c.text, c.name, position, c.atStart), c.found) << c.text;
        if (c.found) {
            EXPECT_EQ(position, c.position) << c.text;
        }
    }
}

TEST(VornTextHeader, ValueStopsOutsideQuotes) {
    const std::string disposition = "attachment; filename=\"a;b.txt\"; size=3";
    size_t position = 0;
    ASSERT_TRUE(vornFindHeaderField(disposition, "filename", position));
    EXPECT_EQ(vornHeaderValue(disposition, position), "a;b.txt");

    struct Case {
        std::string text;
        size_t position;
        bool lineMode, toEnd;
        std::string expected;
    } cases[] = {
        {"attachment; filename=\"a;b.txt\"", 0, false, false, "attachment"},
        {"  v1 , v2", 0, false, false, "v1"},
        {"a; b, c\r\nnext", 0, true, false, "a; b, c"},
        {"a\"x\r\ny\"b\r\n", 0, false, false, "ax\r\nyb"},
        {" rest ; of, it\r\n", 1, false, true, "rest ; of, it\r\n"},
        {"short", 10, false, false, ""},
        {"unterminated \"quote; here", 0, false, false, "unterminated quote; here"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornHeaderValue(c.text, c.position, c.lineMode, c.toEnd), c.expected) << c.text;
    }
}

} // namespace
