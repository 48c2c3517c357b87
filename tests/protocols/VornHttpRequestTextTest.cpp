#include "protocols/VornHttpRequestText.h"

#include <gtest/gtest.h>

namespace {

VornHttpRequestParts plainGet() {
    VornHttpRequestParts parts;
    parts.method = "GET";
    parts.target = "/d/f.bin?x=1";
    parts.hostWithPort = "h";
    parts.userAgent = "UA / 1";
    parts.headerLines = {"Accept: */*", "Accept-Encoding: identity"};
    parts.range = "0-";
    return parts;
}

TEST(VornHttpRequestText, ComposesTheLinesInTheirFixedOrder) {
    EXPECT_EQ(VornComposeHttpRequest(plainGet()), "GET /d/f.bin?x=1 HTTP/1.1\r\n"
                                                  "Host: h\r\n"
                                                  "User-Agent: UA / 1\r\n"
                                                  "Accept: */*\r\n"
                                                  "Accept-Encoding: identity\r\n"
                                                  "Range: bytes=0-\r\n"
                                                  "\r\n");
}

TEST(VornHttpRequestText, VariantsPlaceEachOptionalLineWhereItBelongs) {
    struct Case {
        const char* name;
        void (*change)(VornHttpRequestParts&);
        const char* expected;
    };
    const Case cases[] = {
        {"no range", [](VornHttpRequestParts& p) { p.range.clear(); },
         "GET /d/f.bin?x=1 HTTP/1.1\r\nHost: h\r\nUser-Agent: UA / 1\r\nAccept: */*\r\n"
         "Accept-Encoding: identity\r\n\r\n"},
        {"pair puts the range into the target, even when empty",
         [](VornHttpRequestParts& p) {
             p.rangeInTarget = true;
             p.range = "100-199";
             p.headerLines.clear();
         },
         "GET /d/f.bin?x=1&range=100-199 HTTP/1.1\r\nHost: h\r\nUser-Agent: UA / 1\r\n\r\n"},
        {"pair with an empty range",
         [](VornHttpRequestParts& p) {
             p.rangeInTarget = true;
             p.range.clear();
             p.headerLines.clear();
         },
         "GET /d/f.bin?x=1&range= HTTP/1.1\r\nHost: h\r\nUser-Agent: UA / 1\r\n\r\n"},
        {"proxy and server lines, then Proxy-Connection, then the body",
         [](VornHttpRequestParts& p) {
             p.method = "POST";
             p.target = "http://h:8080/d/f.bin?x=1";
             p.hostWithPort = "h:8080";
             p.headerLines.clear();
             p.proxyAuthLine = "Proxy-Authorization: Basic cDpx";
             p.serverAuthLine = "Authorization: Basic dTp2";
             p.viaHttpProxy = true;
             p.body = "a=1&b=2";
         },
         "POST http://h:8080/d/f.bin?x=1 HTTP/1.1\r\nHost: h:8080\r\nUser-Agent: UA / 1\r\n"
         "Range: bytes=0-\r\nProxy-Authorization: Basic cDpx\r\nAuthorization: Basic dTp2\r\n"
         "Proxy-Connection: keep-alive\r\n\r\na=1&b=2"},
    };
    for (const Case& c : cases) {
        VornHttpRequestParts parts = plainGet();
        c.change(parts);
        EXPECT_EQ(VornComposeHttpRequest(parts), c.expected) << c.name;
    }
}

TEST(VornHttpRequestText, ConnectAlwaysShowsThePortAndCarriesNoOtherHeaders) {
    EXPECT_EQ(
        VornComposeProxyConnect("h:443", "UA", ""),
        "CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\nUser-Agent: UA\r\nProxy-Connection: keep-alive\r\n\r\n");
    EXPECT_EQ(VornComposeProxyConnect("h:443", "UA", "Proxy-Authorization: Basic eA=="),
              "CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\nUser-Agent: UA\r\nProxy-Authorization: Basic eA==\r\n"
              "Proxy-Connection: keep-alive\r\n\r\n");
}

TEST(VornHttpRequestText, StatusLineGivesVersionAndCodeOrRefusesMalformedOnes) {
    struct Case {
        const char* line;
        bool ok;
        const char* version;
        int32_t code;
    };
    const Case cases[] = {
        {"HTTP/1.1 200 OK", true, "HTTP/1.1", 200},
        {"HTTP/1.0 206 Partial Content", true, "HTTP/1.0", 206},
        {"HTTP/1.1 404", true, "HTTP/1.1", 404},
        {"HTTP/1.1   301   Moved", true, "HTTP/1.1", 301},
        {"HTTP/1.1 20x Weird", true, "HTTP/1.1", 20},
        {"HTTP/1.1 OK 200", false, "", 0},
        {"HTTP/1.1", false, "", 0},
        {"", false, "", 0},
        {"HTTP/1.1 99999999999999999999 Big", false, "", 0},
        {"HTTP/1.1 -200 Negative", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string version;
        int32_t code = 0;
        ASSERT_EQ(VornParseStatusLine(c.line, version, code), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(version, c.version) << c.line;
            EXPECT_EQ(code, c.code) << c.line;
        }
    }
}

} // namespace
