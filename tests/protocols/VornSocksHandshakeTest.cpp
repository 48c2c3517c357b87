// The SOCKS handshake against byte tables: what it sends for each reply, and how it judges replies.
#include "protocols/VornSocksHandshake.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

std::string hex(const std::string& bytes) {
    static const char* const digits = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

std::string contents(VornBuffer<unsigned char>& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Length());
}

// One call of Step: what arrives, the verdict, and what the buffer then holds (the message to send, or
// after DONE the bytes that followed the reply).
struct Round {
    std::string reply;
    int verdict;
    std::string buffer;
    std::wstring message = L"";
};

struct Exchange {
    const char* name;
    const char* url;
    std::string user;
    std::string password;
    int32_t version;
    std::vector<Round> rounds;
};

int feed(VornSocksHandshake& handshake, const std::string& bytes, std::wstring& message) {
    VornBuffer<char> received(32768);
    received.Assign(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return handshake.Step(received, message);
}

const std::string kGreeting = "\x05\x02\x00\x02"s;
const std::string kSocks5Ok = "\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x38"s;
const std::string kConnectExample = "\x05\x01\x00\x03\x0c"s + "example.test" + "\x1f\x90"s;
const std::string kSocks4Ok = "\x00\x5a\x00\x00\x00\x00\x00\x00"s;
const std::wstring kFailedToConnect = L"Failed to Establish Connection to Socks-Server.";

TEST(VornSocksHandshake, ExchangesByteForByte) {
    const Exchange exchanges[] = {
        {"no authentication: connect by host name, no credentials",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, kConnectExample},
          {kSocks5Ok, SOCKS_VERDICT_DONE, ""}}},
        {"user and password method with no user set sends the stand-ins",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x02"s, SOCKS_VERDICT_SEND, "\x01\x09"s + "anonymous" + "\x06"s + "XoUkep"},
          {"\x01\x00"s, SOCKS_VERDICT_SEND, kConnectExample},
          {kSocks5Ok, SOCKS_VERDICT_DONE, ""}}},
        {"user and password as set",
         "http://example.test:8080/f",
         "alice",
         "s3cret",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x02"s, SOCKS_VERDICT_SEND, "\x01\x05"s + "alice" + "\x06"s + "s3cret"}}},
        {"a dotted IPv4 target goes as address type 1",
         "http://127.0.0.1/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, "\x05\x01\x00\x01\x7f\x00\x00\x01\x00\x50"s}}},
        {"four numbers and more are a name, not an address",
         "http://1.2.3.4.5/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, "\x05\x01\x00\x03\x09"s + "1.2.3.4.5" + "\x00\x50"s}}},
        {"reply in pieces: 3 bytes, then the rest",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05"s, SOCKS_VERDICT_MORE, "\x05"s},
          {"\x00"s, SOCKS_VERDICT_SEND, kConnectExample},
          {kSocks5Ok.substr(0, 3), SOCKS_VERDICT_MORE, kSocks5Ok.substr(0, 3)},
          {kSocks5Ok.substr(3), SOCKS_VERDICT_DONE, ""}}},
        {"bytes after the reply stay in the buffer",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, kConnectExample},
          {kSocks5Ok + "220 ready\r\n", SOCKS_VERDICT_DONE, "220 ready\r\n"}}},
        {"host-name reply: its length comes from its own length byte",
         "http://a.example.test/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, "\x05\x01\x00\x03\x0e"s + "a.example.test" + "\x00\x50"s},
          {"\x05\x00\x00\x03"s, SOCKS_VERDICT_MORE, "\x05\x00\x00\x03"s},
          {"\x05"s + "proxy" + "\x00\x50"s + "HTTP", SOCKS_VERDICT_DONE, "HTTP"}}},
        {"IPv6 reply is 22 bytes long",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, kConnectExample},
          {"\x05\x00\x00\x04"s + std::string(17, '\0'), SOCKS_VERDICT_MORE,
           "\x05\x00\x00\x04"s + std::string(17, '\0')},
          {"\x01"s + "xy", SOCKS_VERDICT_DONE, "xy"}}},
        {"no acceptable method (05 FF)",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\xff"s, SOCKS_VERDICT_FAILED, "\x05\xff"s,
           L"Auth Problem - Socks-V5 Server did not Accep Current Auth-Mode."}}},
        {"greeting answered by another version",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x04\x00"s, SOCKS_VERDICT_FAILED, "\x04\x00"s, L"HandShake Failed in Socks-V5 Greeting"}}},
        {"greeting answered with a method not offered",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x01"s, SOCKS_VERDICT_FAILED, "\x05\x01"s, L"HandShake Failed in Socks-V5 Greeting"}}},
        {"wrong password",
         "http://example.test:8080/f",
         "alice",
         "wrong",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x02"s, SOCKS_VERDICT_SEND, "\x01\x05"s + "alice" + "\x05"s + "wrong"},
          {"\x01\x01"s, SOCKS_VERDICT_AUTH_REFUSED, "\x01\x01"s, L"Socks Auth Failed."}}},
        {"connect refused by the SOCKS 5 proxy",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, kConnectExample},
          {"\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00"s, SOCKS_VERDICT_FAILED,
           "\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00"s, kFailedToConnect}}},
        {"a SOCKS 5 proxy's answer to a SOCKS 4 request fails at once",
         "http://127.0.0.1:8080/f",
         "",
         "",
         SOCKS_VERSION_4,
         {{"", SOCKS_VERDICT_SEND, "\x04\x01\x1f\x90\x7f\x00\x00\x01\x00"s},
          {"\x05\xff"s, SOCKS_VERDICT_FAILED, "\x05\xff"s, kFailedToConnect}}},
        {"a connect reply of another version fails at its first byte",
         "http://example.test:8080/f",
         "",
         "",
         SOCKS_VERSION_5,
         {{"", SOCKS_VERDICT_SEND, kGreeting},
          {"\x05\x00"s, SOCKS_VERDICT_SEND, kConnectExample},
          {"\x00"s, SOCKS_VERDICT_FAILED, "\x00"s, kFailedToConnect}}},
        {"SOCKS 4a sends the name for the proxy to resolve",
         "http://example.test:8080/f",
         "bob",
         "ignored",
         SOCKS_VERSION_4A,
         {{"", SOCKS_VERDICT_SEND,
           "\x04\x01\x1f\x90\x00\x00\x00\x01"s + "bob" + "\x00"s + "example.test" + "\x00"s},
          {kSocks4Ok + "rest", SOCKS_VERDICT_DONE, "rest"}}},
        {"SOCKS 4 resolves locally and sends no name",
         "http://127.0.0.1:8080/f",
         "",
         "",
         SOCKS_VERSION_4,
         {{"", SOCKS_VERDICT_SEND, "\x04\x01\x1f\x90\x7f\x00\x00\x01\x00"s},
          {kSocks4Ok.substr(0, 7), SOCKS_VERDICT_MORE, kSocks4Ok.substr(0, 7)},
          {kSocks4Ok.substr(7), SOCKS_VERDICT_DONE, ""}}},
        {"SOCKS 4 rejected (5B)",
         "http://127.0.0.1:8080/f",
         "",
         "",
         SOCKS_VERSION_4,
         {{"", SOCKS_VERDICT_SEND, "\x04\x01\x1f\x90\x7f\x00\x00\x01\x00"s},
          {"\x00\x5b\x00\x00\x00\x00\x00\x00"s, SOCKS_VERDICT_FAILED, "\x00\x5b\x00\x00\x00\x00\x00\x00"s,
           kFailedToConnect}}},
        {"SOCKS 4a rejected for want of identd (5C)",
         "http://example.test/f",
         "",
         "",
         SOCKS_VERSION_4A,
         {{"", SOCKS_VERDICT_SEND, "\x04\x01\x00\x50\x00\x00\x00\x01\x00"s + "example.test" + "\x00"s},
          {"\x00\x5c\x00\x00\x00\x00\x00\x00"s, SOCKS_VERDICT_FAILED, "\x00\x5c\x00\x00\x00\x00\x00\x00"s,
           kFailedToConnect}}},
        {"SOCKS 4 target that resolves to no address",
         "http://0.0.0.0:8080/f",
         "",
         "",
         SOCKS_VERSION_4,
         {{"", SOCKS_VERDICT_FAILED, "",
           L"can not Resolve Address (Socks-4) .DNS Failed or Network is not Connected. "}}},
    };
    for (const Exchange& exchange : exchanges) {
        SCOPED_TRACE(exchange.name);
        VornSocksHandshake handshake(VornUrl(exchange.url), exchange.user, exchange.password,
                                     exchange.version);
        for (size_t i = 0; i < exchange.rounds.size(); ++i) {
            const Round& round = exchange.rounds[i];
            SCOPED_TRACE("round " + std::to_string(i));
            std::wstring message;
            ASSERT_EQ(feed(handshake, round.reply, message), round.verdict);
            EXPECT_EQ(hex(contents(handshake.Buffer())), hex(round.buffer));
            EXPECT_EQ(message, round.message);
            if (round.verdict == SOCKS_VERDICT_SEND) {
                // The owner empties the buffer once the message is sent.
                handshake.Buffer().Clear();
            }
        }
    }
}

TEST(VornSocksHandshake, StagesAndVersionFollowTheExchange) {
    VornSocksHandshake handshake(VornUrl("http://example.test/"), "", "", SOCKS_VERSION_5);
    std::wstring message;
    EXPECT_EQ(handshake.Stage(), SOCKS_STAGE_START);
    feed(handshake, "", message);
    EXPECT_EQ(handshake.Stage(), SOCKS_STAGE_GREETING_SENT);
    handshake.Buffer().Clear();
    feed(handshake, "\x05\x02"s, message);
    EXPECT_EQ(handshake.Stage(), SOCKS_STAGE_CREDENTIALS_SENT);
    // The stand-ins are kept, as if the user had set them.
    EXPECT_EQ(handshake.User(), "anonymous");
    EXPECT_EQ(handshake.Password(), "XoUkep");
    handshake.Buffer().Clear();
    feed(handshake, "\x01\x00"s, message);
    EXPECT_EQ(handshake.Stage(), SOCKS_STAGE_CONNECT_SENT);
    handshake.Buffer().Clear();
    EXPECT_EQ(feed(handshake, kSocks5Ok, message), SOCKS_VERDICT_DONE);
    EXPECT_EQ(handshake.Stage(), SOCKS_STAGE_DONE);
    // Nothing more is judged once the tunnel is up.
    EXPECT_EQ(feed(handshake, "\x05\xff"s, message), SOCKS_VERDICT_MORE);

    // A new attempt with an older version starts over with the SOCKS 4a request.
    handshake.SetVersion(SOCKS_VERSION_4A);
    handshake.Restart();
    EXPECT_EQ(handshake.Stage(), SOCKS_STAGE_START);
    EXPECT_TRUE(handshake.Buffer().Empty());
    EXPECT_EQ(feed(handshake, "", message), SOCKS_VERDICT_SEND);
    EXPECT_EQ(contents(handshake.Buffer()).substr(0, 8), "\x04\x01\x00\x50\x00\x00\x00\x01"s);

    // Any selector other than SOCKS 4 means 4a for the SOCKS 4 request.
    VornSocksHandshake odd(VornUrl("http://example.test/"), "", "", -3);
    EXPECT_EQ(feed(odd, "", message), SOCKS_VERDICT_SEND);
    EXPECT_EQ(odd.Version(), SOCKS_VERSION_4A);
}

TEST(VornSocksHandshake, RefusedReplyCodesAreKept) {
    VornSocksHandshake socks4(VornUrl("http://127.0.0.1/"), "", "", SOCKS_VERSION_4);
    std::wstring message;
    feed(socks4, "", message);
    socks4.Buffer().Clear();
    EXPECT_EQ(socks4.ReplyCode(), -1);
    feed(socks4, "\x00\x5d\x00\x00\x00\x00\x00\x00"s, message);
    EXPECT_EQ(socks4.ReplyCode(), 0x5D);
    socks4.Restart();
    EXPECT_EQ(socks4.ReplyCode(), -1);
}

TEST(VornSocksHandshake, OverlongNamesAreRefusedWithAClearText) {
    const std::string longHost = std::string(256, 'h') + ".test";
    struct Case {
        const char* name;
        std::string url;
        std::string user;
        std::string password;
        int32_t version;
        std::string greetingReply;
        std::wstring message;
    };
    const std::wstring credentialsText =
        L"Socks User-Name or Password is longer than 255 bytes. Check Socks Setting.";
    const Case cases[] = {
        {"SOCKS 5 host name", "http://" + longHost + "/", "", "", SOCKS_VERSION_5, "\x05\x00"s,
         L"Domain Name is too long for Socks Protocol."},
        {"SOCKS 4a host name", "http://" + longHost + "/", "", "", SOCKS_VERSION_4A, "",
         L"Domain Name is too long for SOCKS Protocol."},
        {"user name", "http://example.test/", std::string(256, 'u'), "p", SOCKS_VERSION_5, "\x05\x02"s,
         credentialsText},
        {"password", "http://example.test/", "u", std::string(300, 'p'), SOCKS_VERSION_5, "\x05\x02"s,
         credentialsText},
        {"SOCKS 4 user id that does not fit the request", "http://example.test/", std::string(1020, 'u'), "",
         SOCKS_VERSION_4A, "", L"Socks User-Name is too long for Socks-4 Protocol. Check Socks Setting."},
        {"SOCKS 4 user id with a NUL", "http://example.test/", "a\0b"s, "", SOCKS_VERSION_4A, "",
         L"Socks User-Name is too long for Socks-4 Protocol. Check Socks Setting."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VornSocksHandshake handshake(VornUrl(c.url), c.user, c.password, c.version);
        std::wstring message;
        int verdict = feed(handshake, "", message);
        if (!c.greetingReply.empty()) {
            ASSERT_EQ(verdict, SOCKS_VERDICT_SEND);
            handshake.Buffer().Clear();
            verdict = feed(handshake, c.greetingReply, message);
        }
        EXPECT_EQ(verdict, SOCKS_VERDICT_FAILED);
        EXPECT_EQ(message, c.message);
        // Nothing of a refused request is left to be sent.
        EXPECT_TRUE(handshake.Buffer().Empty());
    }
    // 255 bytes still fit.
    VornSocksHandshake fits(VornUrl("http://example.test/"), std::string(255, 'u'), std::string(255, 'p'),
                            SOCKS_VERSION_5);
    std::wstring message;
    feed(fits, "", message);
    fits.Buffer().Clear();
    ASSERT_EQ(feed(fits, "\x05\x02"s, message), SOCKS_VERDICT_SEND);
    EXPECT_EQ(fits.Buffer().Length(), 3u + 255u + 255u);
    EXPECT_EQ(fits.Buffer().Data()[1], 255);
}

TEST(VornSocksHandshake, NeverTakesMoreThanItsBufferHolds) {
    VornSocksHandshake handshake(VornUrl("http://example.test/"), "", "", SOCKS_VERSION_5);
    std::wstring message;
    feed(handshake, "", message);
    handshake.Buffer().Clear();
    feed(handshake, "\x05\x00"s, message);
    handshake.Buffer().Clear();
    const std::string flood = kSocks5Ok + std::string(4000, 'x');
    EXPECT_EQ(feed(handshake, flood, message), SOCKS_VERDICT_DONE);
    EXPECT_EQ(handshake.Buffer().Length(), SOCKS_BUFFER_CAPACITY - kSocks5Ok.size());
}

} // namespace
