#include "base/VornUrl.h"
#include "base/VornException.h"
#include "base/VornPunyCode.h"

#include <gtest/gtest.h>

namespace {

struct Parsed {
    const char* text;
    int32_t kind;
    uint16_t port;
    const char* host;
    const char* directory;
    const char* fileName;
    const char* requestTarget;
    const char* fullUrl;
};

TEST(VornUrlParse, SplitsIntoParts) {
    const Parsed cases[] = {
        {"h/a/b.zip", URL_KIND_HTTP, 80, "h", "/a/", "b.zip", "/a/b.zip", "http://h/a/b.zip"},
        {"HTTP:///host/x", URL_KIND_HTTP, 80, "host", "/", "x", "/x", "http://host/x"},
        {"//host/x", URL_KIND_HTTP, 80, "host", "/", "x", "/x", "http://host/x"},
        {"///host/x", URL_KIND_HTTP, 80, "host", "/", "x", "/x", "http://host/x"},
        {":///host/x", URL_KIND_HTTP, 80, "host", "/", "x", "/x", "http://host/x"},
        {"://host/x", URL_KIND_HTTP, 80, "host", "/", "x", "/x", "http://host/x"},
        {"HTTPS://Host.example/", URL_KIND_HTTPS, 443, "Host.example", "/", "", "/", "https://Host.example/"},
        {"ftp://files/pub/a.iso", URL_KIND_FTP, 21, "files", "/pub/", "a.iso", "/pub/a.iso",
         "ftp://files/pub/a.iso"},
        {"http://host", URL_KIND_HTTP, 80, "host", "/", "", "/", "http://host/"},
        {"http://host:0/", URL_KIND_HTTP, 80, "host", "/", "", "/", "http://host/"},
        {"http://host:65536/", URL_KIND_HTTP, 80, "host", "/", "", "/", "http://host/"},
        {"http://host:123456/", URL_KIND_HTTP, 80, "host", "/", "", "/", "http://host/"},
        {"http://host:8a/", URL_KIND_HTTP, 80, "host", "/", "", "/", "http://host/"},
        {"http://host:/", URL_KIND_HTTP, 80, "host", "/", "", "/", "http://host/"},
        {"http://host:8080/", URL_KIND_HTTP, 8080, "host", "/", "", "/", "http://host:8080/"},
        {"https://host:80/", URL_KIND_HTTPS, 80, "host", "/", "", "/", "https://host:80/"},
        {"http://[::1]:8080/x", URL_KIND_HTTP, 8080, "[::1]", "/", "x", "/x", "http://[::1]:8080/x"},
        {"http://[::1]/x", URL_KIND_HTTP, 80, "[::1]", "/", "x", "/x", "http://[::1]/x"},
        {"http://[::1]:99999999/", URL_KIND_HTTP, 80, "[::1]", "/", "", "/", "http://[::1]/"},
        {"http://[::1/x", URL_KIND_HTTP, 80, "", "/", "x", "/x", "http:///x"},
        {"http://host?x=1/y", URL_KIND_HTTP, 80, "host", "/", "", "/?x=1/y", "http://host/?x=1/y"},
        {"http://host/dir/file.txt;type=a", URL_KIND_HTTP, 80, "host", "/dir/", "file.txt",
         "/dir/file.txt;type=a", "http://host/dir/file.txt;type=a"},
        {"http://host/a/b.zip?x=1#top", URL_KIND_HTTP, 80, "host", "/a/", "b.zip", "/a/b.zip?x=1",
         "http://host/a/b.zip?x=1"},
        {"http://user:pw@host/x", URL_KIND_HTTP, 80, "host", "/", "x", "/x", "http://host/x"},
        {"magnet://abc/def", URL_KIND_UNSUPPORTED, 0, "abc", "/", "def", "/def", "magnet://abc/def"},
        {"magnet://abc:7/def", URL_KIND_UNSUPPORTED, 7, "abc", "/", "def", "/def", "magnet://abc:7/def"},
        {"www.x.com/a://b", URL_KIND_HTTP, 80, "www.x.com", "/a://", "b", "/a://b", "http://www.x.com/a://b"},
        {"  \thttp://host/a \t", URL_KIND_HTTP, 80, "host", "/", "a", "/a", "http://host/a"},
        {"http://host/a&amp;b=&lt;c&gt;", URL_KIND_HTTP, 80, "host", "/", "a&b=<c>", "/a&b=<c>",
         "http://host/a&b=<c>"},
    };
    for (const Parsed& c : cases) {
        SCOPED_TRACE(c.text);
        const VornUrl url(c.text);
        EXPECT_EQ(url.kind(), c.kind);
        EXPECT_EQ(url.port(), c.port);
        EXPECT_EQ(url.host(), c.host);
        EXPECT_EQ(url.directory(), c.directory);
        EXPECT_EQ(url.fileName(), c.fileName);
        EXPECT_EQ(url.requestTarget(), c.requestTarget);
        EXPECT_EQ(url.fullUrl(), c.fullUrl);
        EXPECT_EQ(url.secure(), c.kind == URL_KIND_HTTPS ? 1 : 0);
    }
}

TEST(VornUrlParse, RepairsSchemePrefixes) {
    const struct {
        const char* text;
        const char* repaired;
    } cases[] = {
        {"HTTP:///host/x", "HTTP://host/x"},
        {"ftp:///a", "ftp://a"},
        {"Https://a", "Https://a"},
        {"///a", "http://a"},
        {"//a", "http://a"},
        {":///a", "http://a"},
        {"://a", "http://a"},
        {"foo://a", "foo://a"},
        {"a.b://c", "http://a.b://c"},
        {"a?b://c", "http://a?b://c"},
        {"[x]://c", "http://[x]://c"},
        {"plain", "http://plain"},
        {"&quot;q&quot;", "http://\"q\""},
        {"&amp;lt;", "http://&lt;"}, // entities are decoded once, in order
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VornUrl::repair(c.text), c.repaired) << c.text;
    }
}

TEST(VornUrlParse, SplitsUserInformationAtTheLastAt) {
    const struct {
        const char* text;
        const char* user;
        const char* password;
        const char* host;
    } cases[] = {
        {"http://me@x.org@host/f", "me@x.org", "", "host"},
        {"http://a:b@c@host/f", "a", "b@c", "host"},
        {"http://user@host/f", "user", "", "host"},
        {"http://user:@host/f", "user", "", "host"},
        {"http://:pw@host/f", "", "pw", "host"},
        {"http://user:pw@/f", "user", "pw", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const VornUrl url(c.text);
        EXPECT_EQ(url.user(), c.user);
        EXPECT_EQ(url.password(), c.password);
        EXPECT_EQ(url.host(), c.host);
        EXPECT_EQ(url.fullUrl().find('@'), std::string::npos);
    }
}

TEST(VornUrlParse, KeepsQueryAndFragmentApart) {
    const VornUrl withFragment("http://host/a#frag?x");
    EXPECT_EQ(withFragment.fragment(), "#frag?x");
    EXPECT_EQ(withFragment.query(), "");
    EXPECT_EQ(withFragment.requestTarget(), "/a");

    const VornUrl both("http://host/d/f?q=1&r=2#a#b");
    EXPECT_EQ(both.query(), "?q=1&r=2#a"); // only the last '#' starts the fragment
    EXPECT_EQ(both.fragment(), "#b");
    EXPECT_EQ(both.requestTarget(), "/d/f?q=1&r=2#a");
    EXPECT_EQ(both.baseUrl(), "http://host/d/");

    const VornUrl noPath("http://host#f?q");
    EXPECT_EQ(noPath.fragment(), "#f?q");
    EXPECT_EQ(noPath.requestTarget(), "/");
    EXPECT_EQ(noPath.host(), "host");
}

TEST(VornUrlParse, UnparseableTextGivesAnUnsupportedUrl) {
    for (const char* text : {"", "   ", "http://", "http://  \t", "ftp://"}) {
        SCOPED_TRACE(text);
        const VornUrl url(text);
        EXPECT_EQ(url.kind(), URL_KIND_UNSUPPORTED);
        EXPECT_EQ(url.port(), 0);
        EXPECT_EQ(url.host(), "");
        EXPECT_EQ(url.fullUrl(), "");
    }
    const VornUrl onlyScheme("HTTP://");
    EXPECT_EQ(onlyScheme.scheme(), "http");
    EXPECT_EQ(onlyScheme.givenText(), "HTTP://");
}

TEST(VornUrlParse, AssignResetsEveryPart) {
    VornUrl url("https://user:pw@host:444/d/f.zip?q#x");
    url = std::string("other");
    EXPECT_EQ(url.kind(), URL_KIND_HTTP);
    EXPECT_EQ(url.port(), 80);
    EXPECT_EQ(url.user(), "");
    EXPECT_EQ(url.password(), "");
    EXPECT_EQ(url.query(), "");
    EXPECT_EQ(url.fragment(), "");
    EXPECT_EQ(url.fileName(), "");
    EXPECT_EQ(url.givenText(), "other");
    url = std::string("");
    EXPECT_EQ(url.kind(), URL_KIND_UNSUPPORTED);
    EXPECT_EQ(url.givenText(), "");
    EXPECT_EQ(url.host(), "");

    const VornUrl original("http://a/b/c");
    VornUrl copy = original;
    EXPECT_EQ(copy.fullUrl(), original.fullUrl());
    EXPECT_EQ(copy.baseUrl(), "http://a/b/");
}

TEST(VornUrlHost, ConvertsInternationalLabelsOneByOne) {
    const struct {
        const char* text;
        const char* host;
        const char* written;
    } cases[] = {
        {"http://b\xC3\xBC"
         "cher.example/x",
         "xn--bcher-kva.example",
         "b\xC3\xBC"
         "cher.example"},
        {"http://www.m%C3%BCnchen.de/", "www.xn--mnchen-3ya.de", "www.m%C3%BCnchen.de"},
        {"http://plain.example/", "plain.example", "plain.example"},
        {"http://a%20b/", "a%20b", "a%20b"},
        {"http://a%0d%0ab/", "a%0D%0Ab", "a%0d%0ab"}, // control characters never reach the wire raw
        {"http://\xC3\xA9.\xC3\xA9./", "xn--9ca.xn--9ca", "\xC3\xA9.\xC3\xA9."},
        {"http://.\xC3\xA9..x/", "xn--9ca..x", ".\xC3\xA9..x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const VornUrl url(c.text);
        EXPECT_EQ(url.host(), c.host);
        EXPECT_EQ(url.hostAsWritten(), c.written);
        EXPECT_EQ(url.fullUrl().substr(0, 7 + url.host().size()), "http://" + url.host());
    }
}

TEST(VornUrlHost, TooLongLabelThrowsCode2) {
    const std::string label(257, 'a');
    try {
        VornUrl url("http://\xC3\xA9." + label + "/");
        FAIL() << "no exception";
    } catch (const VornException& e) {
        EXPECT_EQ(e.code(), 2);
        EXPECT_NE(std::string(e.sourceFile()).find("VornPunyCode"), std::string::npos);
    }
    // 256 characters are still accepted, and an all-ASCII host is never split at all.
    EXPECT_NO_THROW(VornUrl("http://\xC3\xA9." + std::string(256, 'a') + "/"));
    EXPECT_NO_THROW(VornUrl("http://" + std::string(1000, 'a') + "/"));
}

TEST(VornPunyCode, EncodesRfc3492Samples) {
    const struct {
        std::wstring label;
        const char* encoded;
    } cases[] = {
        {L"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A"
         L"\u061F",
         "egbpdaj6bu4bxfgehfvwxn"},
        {L"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587", "ihqwcrb4cv8a8dqg056pqjye"},
        {L"\u0033\u5E74\u0042\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"}, // no case folding
        {L"Maji\u3067Koi\u3059\u308B5\u79D2\u524D", "MajiKoi5-783gue6qz075azm5e"},
        {L"b\u00fccher", "bcher-kva"},
        {L"\U0001F600", "e28h"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VornPunyCode::encode(c.label), c.encoded);
    }
}

TEST(VornPunyCode, StopsAtTheOutputLimitWithoutError) {
    // 256 characters far apart need more than 512 output bytes.
    std::wstring label;
    for (int i = 0; i < 256; ++i) {
        label += static_cast<wchar_t>(0x10FFFF - i * 4111);
    }
    std::string encoded;
    ASSERT_NO_THROW(encoded = VornPunyCode::encode(label));
    EXPECT_EQ(encoded.size(), VornPunyCode::MAX_ENCODED_LENGTH);

    // A long basic prefix fills the output before the delimiter.
    const std::wstring basic = std::wstring(600, L'a') + L"\u00e9";
    EXPECT_EQ(VornPunyCode::encode(basic), std::string(512, 'a'));
}

TEST(VornUrlForms, HostWithPortAndNames) {
    const struct {
        const char* text;
        bool withScheme, omitDefault;
        const char* expected;
    } cases[] = {
        {"https://h:443/", true, true, "https://h"}, {"https://h:443/", true, false, "https://h:443"},
        {"https://h:8443/", false, true, "h:8443"},  {"ftp://h/", false, true, "h"},
        {"http://h/", false, false, "h:80"},         {"gopher://h/", true, true, "gopher://h:0"},
        {"https://h:80/", false, true, "h:80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VornUrl(c.text).hostWithPort(c.withScheme, c.omitDefault), c.expected) << c.text;
    }
    EXPECT_EQ(VornUrl("http://h/").protocolName(), "HTTP");
    EXPECT_EQ(VornUrl("https://h/").protocolName(), "HTTPS");
    EXPECT_EQ(VornUrl("ftp://h/").protocolName(), "FTP");
    EXPECT_EQ(VornUrl("news://h/").protocolName(), "UnSupported");
    EXPECT_EQ(VornUrl().directoryOrRoot(), "/");
    EXPECT_EQ(VornUrl("http://h/a/b").directoryOrRoot(), "/a/");
}

TEST(VornUrlForms, SaveName) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"http://a.b/dir/", "a_b_dir"},
        {"http://a.b/", "a_b"},
        {"http://a.b", "a_b"},
        {"http://a.b/d/file.zip", "file.zip"},
        {"http://a.b/d/%20x%20", "%20x%20"},
        {"ftp://a.b/dir/", ""},
        {"http://M%C3%BC.de/x/", "M%C3%BC_de_x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VornUrl(c.text).saveName(), c.expected) << c.text;
    }
}

} // namespace

namespace {

TEST(VornUrlSafety, LineBreaksAndNulAnywhereGiveAnUnsupportedUrl) {
    const std::string texts[] = {"http://h/x\r\nX-Injected: 1", "http://h/x\nY", "http://h\r/x",
                                 std::string("http://h/x\0y", 12), "http://u\n:p@h/x"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(vornUrlHasLineBreak(text));
        const VornUrl url(text);
        EXPECT_EQ(url.kind(), URL_KIND_UNSUPPORTED);
        EXPECT_EQ(url.requestTarget(), "");
    }
    EXPECT_FALSE(vornUrlHasLineBreak("http://h/a b\t?c"));
}

TEST(VornUrlSafety, StoredTextKeepsTheUserButNotThePassword) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://alice:secret@h/f.bin", "http://alice@h/f.bin"},
        {"https://a%40b:p%3Aw@h:8443/x?u=c:d@e", "https://a%40b@h:8443/x?u=c:d@e"},
        {"http://:only@h/", "http://@h/"},
        {"alice:pw@h/x", "alice@h/x"},
        {"http://alice@h/f.bin", "http://alice@h/f.bin"},
        {"http://h:8080/a:b@c", "http://h:8080/a:b@c"},
        {"http://h/f.bin", "http://h/f.bin"},
        {"ftp://u:p@w@h/x", "ftp://u@h/x"},
    };
    for (const auto& [given, stored] : cases) {
        SCOPED_TRACE(given);
        EXPECT_EQ(vornUrlWithoutPassword(given), stored);
    }
}

TEST(VornUrlSafety, WireTargetEscapesWhatMayNotTravel) {
    struct Case {
        std::string target;
        std::string wire;
    };
    const Case cases[] = {
        {"/plain/file.bin?a=1&b=2", "/plain/file.bin?a=1&b=2"},
        {"/a b/c", "/a%20b/c"},
        {"/\xC3\xBC.bin", "/%C3%BC.bin"},
        {"/x?q=<script>\"`{}", "/x?q=%3Cscript%3E%22%60%7B%7D"},
        {std::string("/\x01\x7F\t", 4), "/%01%7F%09"},
        {"/already%20escaped%2F", "/already%20escaped%2F"},
        {"http://h:8080/a b", "http://h:8080/a%20b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(vornWireTarget(c.target), c.wire);
    }
}

// The reference resolution examples of RFC 3986, section 5.4, against its base URL.
TEST(VornUrlResolve, ResolvesReferencesAsRfc3986Does) {
    const VornUrl base("http://a/b/c/d;p?q");
    const std::pair<const char*, const char*> cases[] = {
        {"g:h", "g:h"},
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q#s"},
        {"g#s", "http://a/b/c/g#s"},
        {"g?y#s", "http://a/b/c/g?y#s"},
        {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"./", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../", "http://a/"},
        {"../../g", "http://a/g"},
        {"../../../g", "http://a/g"},
        {"../../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."},
        {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g/./h", "http://a/b/c/g/h"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        {"g;x=1/../y", "http://a/b/c/y"},
    };
    for (const auto& [reference, resolved] : cases) {
        SCOPED_TRACE(reference);
        EXPECT_EQ(vornResolveReference(base, reference), resolved);
    }
}

TEST(VornUrlResolve, KeepsTheBasePortAndSchemeAndTakesOtherHostsWhole) {
    const VornUrl base("https://files.example:8443/dir/sub/file.bin?token=1");
    EXPECT_EQ(vornResolveReference(base, "other.bin"), "https://files.example:8443/dir/sub/other.bin");
    EXPECT_EQ(vornResolveReference(base, "../up.bin"), "https://files.example:8443/dir/up.bin");
    EXPECT_EQ(vornResolveReference(base, "//cdn.example/x.bin"), "https://cdn.example/x.bin");
    EXPECT_EQ(vornResolveReference(base, "HTTP://Mirror/x"), "HTTP://Mirror/x");
    EXPECT_EQ(vornResolveReference(VornUrl("http://h"), "x.bin"), "http://h/x.bin");
}

} // namespace
