// Reading a challenge's body to its end, however its bytes are split, before the next request.
#include "protocols/VornHttpBodyDrain.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    const char* name;
    std::vector<std::string> headers;
    std::string body;
    // Bytes that end the body (npos: it never ends with these bytes).
    size_t endsAt;
    bool closes;
};

// Feeds the body in pieces of the given size; the count of bytes fed when the drain said it ended.
size_t feed(const Case& c, size_t piece, VornHttpBodyDrain& drain) {
    for (const std::string& header : c.headers) {
        drain.NoteHeader(header);
    }
    drain.Start();
    if (!drain.Active()) {
        return 0;
    }
    for (size_t at = 0; at < c.body.size(); at += piece) {
        const std::string part = c.body.substr(at, piece);
        if (drain.Feed(part.data(), part.size())) {
            return std::min(at + piece, c.body.size());
        }
    }
    return std::string::npos;
}

} // namespace

TEST(VornHttpBodyDrain, EndsWhereTheBodyEndsWhateverThePieces) {
    const Case cases[] = {
        {"length", {"Content-Length: 10"}, "0123456789", 10, false},
        {"length, more than sent", {"Content-Length: 12"}, "0123456789", std::string::npos, false},
        {"no body", {"Content-Type: text/html"}, "", 0, false},
        {"zero length", {"Content-Length: 0"}, "", 0, false},
        {"close", {"Content-Length: 3", "Connection: close"}, "abc", 3, true},
        {"proxy close", {"Content-Length: 3", "Proxy-Connection: Close"}, "abc", 3, true},
        {"chunked with extension and trailer",
         {"Transfer-Encoding: chunked"},
         "5;x=y\r\nhello\r\nA\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n",
         48,
         false},
        {"chunked, last chunk without its empty line yet",
         {"Transfer-Encoding: chunked"},
         "3\r\nabc\r\n0\r\n",
         std::string::npos,
         false},
        {"chunked, size line not a number", {"Transfer-Encoding: chunked"}, "zz\r\nabc\r\n", 4, true},
        {"length not a number", {"Content-Length: many"}, "abc", 0, true},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{4096}}) {
            VornHttpBodyDrain drain;
            const size_t ended = feed(c, piece, drain);
            if (c.endsAt == std::string::npos) {
                EXPECT_EQ(ended, std::string::npos) << c.name << " / " << piece;
            } else {
                // In pieces the end is seen within the piece that holds the body's last byte.
                EXPECT_GE(ended, c.endsAt) << c.name << " / " << piece;
                EXPECT_LT(ended, c.endsAt + piece + (c.endsAt == 0 ? 1 : 0)) << c.name << " / " << piece;
            }
            EXPECT_EQ(drain.Closes(), c.closes) << c.name;
        }
    }
}

TEST(VornHttpBodyDrain, ClearForgetsThePreviousReply) {
    VornHttpBodyDrain drain;
    drain.NoteHeader("Connection: close");
    drain.NoteHeader("Content-Length: 5");
    drain.Start();
    EXPECT_TRUE(drain.Active());
    drain.Clear();
    EXPECT_FALSE(drain.Active());
    EXPECT_FALSE(drain.Closes());
    drain.Start();
    EXPECT_FALSE(drain.Active());
}
