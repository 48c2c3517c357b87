#include "browserlink/VornWebSocketProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

class FakePeer : public VornWebSocketPeer {
public:
    bool sendAll(const std::string& bytes) override {
        if (onSend)
            onSend();
        if (!sendWorks)
            return false;
        sent.push_back(bytes);
        return true;
    }
    void deliver(std::string text) override { delivered.push_back(std::move(text)); }
    bool waiting() const override { return waitingFlag; }

    bool sendWorks = true;
    bool waitingFlag = false;
    std::function<void()> onSend;
    std::vector<std::string> sent;
    std::vector<std::string> delivered;
};

const std::string kKey = "dGhlIHNhbXBsZSBub25jZQ==";
// RFC 6455's own example key and accept value.
const std::string kAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string request(const std::vector<std::string>& headers) {
    std::string text = "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:10007\r\n";
    for (const std::string& header : headers)
        text += header + "\r\n";
    return text + "\r\n";
}

std::string standardRequest() {
    return request({"Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Key: " + kKey,
                    "Sec-WebSocket-Protocol: vornextension.v1", "Sec-WebSocket-Version: 13",
                    "User-Agent: TestBrowser/1.0 (X11; Linux)"});
}

std::string expectedResponse() {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           kAccept + "\r\nSec-WebSocket-Protocol: vornextension.v1\r\n\r\n";
}

struct FrameShape {
    uint8_t first = 0x81;
    bool masked = true;
    // 0 picks the shortest length form; 126 or 127 forces that form.
    int lengthForm = 0;
};

std::string frame(const std::string& payload, FrameShape shape = {}) {
    std::string out(1, static_cast<char>(shape.first));
    const uint8_t maskBit = shape.masked ? 0x80 : 0;
    const size_t size = payload.size();
    int form = shape.lengthForm ? shape.lengthForm : (size <= 125 ? 0 : size <= 0xFFFF ? 126 : 127);
    if (form == 0) {
        out += static_cast<char>(maskBit | size);
    } else if (form == 126) {
        out += static_cast<char>(maskBit | 126);
        out += static_cast<char>((size >> 8) & 0xFF);
        out += static_cast<char>(size & 0xFF);
    } else {
        out += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out += static_cast<char>((static_cast<uint64_t>(size) >> shift) & 0xFF);
    }
    const uint8_t mask[4] = {0x37, 0xFA, 0x21, 0x3D};
    if (shape.masked)
        out.append(reinterpret_cast<const char*>(mask), 4);
    for (size_t i = 0; i < size; ++i)
        out += shape.masked ? static_cast<char>(payload[i] ^ mask[i % 4]) : payload[i];
    return out;
}

std::string textFrameOut(const std::string& text) {
    return std::string("\x81", 1) + static_cast<char>(text.size()) + text;
}

class ProtocolTest : public ::testing::Test {
protected:
    bool feed(const std::string& bytes) {
        return m_protocol.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    // Like a socket read: never more than the room the receive buffer has left.
    bool feedInPieces(const std::string& bytes, size_t piece) {
        for (size_t at = 0; at < bytes.size();) {
            const size_t room = std::min(piece, m_protocol.receiveSpace());
            if (room == 0 || !feed(bytes.substr(at, room)))
                return false;
            at += room;
        }
        return true;
    }
    void open() {
        ASSERT_TRUE(feed(standardRequest()));
        ASSERT_EQ(m_protocol.state(), WEBSOCKET_STATE_OPEN);
        m_peer.sent.clear();
    }
    std::string composed(const std::string& payload) {
        return "User-Agent:TestBrowser/1.0 (X11; Linux)\r\n" + payload;
    }

    FakePeer m_peer;
    VornWebSocketProtocol m_protocol{m_peer};
};

TEST_F(ProtocolTest, AnswersTheHandshakeWithTheRfcAcceptValue) {
    ASSERT_TRUE(feed(standardRequest()));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_OPEN);
    ASSERT_EQ(m_peer.sent.size(), 1u);
    EXPECT_EQ(m_peer.sent[0], expectedResponse());
    EXPECT_EQ(m_protocol.userAgent(), "TestBrowser/1.0 (X11; Linux)");
}

TEST_F(ProtocolTest, AssemblesARequestThatArrivesByteByByte) {
    const std::string text = standardRequest();
    ASSERT_TRUE(feed(text.substr(0, 10)));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_NEW);
    ASSERT_TRUE(feed(text.substr(10, 20)));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_HANDSHAKE);
    ASSERT_TRUE(feedInPieces(text.substr(30), 1));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_OPEN);
    ASSERT_EQ(m_peer.sent.size(), 1u);
    EXPECT_EQ(m_peer.sent[0], expectedResponse());
}

struct HandshakeCase {
    const char* name;
    std::vector<std::string> headers;
    bool accepted;
};

class HandshakeTableTest : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeTableTest, AcceptsOrRefuses) {
    FakePeer peer;
    VornWebSocketProtocol protocol(peer);
    const std::string text = request(GetParam().headers);
    const bool alive = protocol.receive(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    EXPECT_EQ(alive, GetParam().accepted);
    if (GetParam().accepted) {
        ASSERT_EQ(peer.sent.size(), 1u);
        EXPECT_EQ(peer.sent[0], expectedResponse());
    } else {
        EXPECT_TRUE(peer.sent.empty());
        EXPECT_EQ(protocol.closeReason(), "HandShake Failed.");
    }
}

const std::string kKeyLine = "Sec-WebSocket-Key: " + kKey;
const std::string kProtocolLine = "Sec-WebSocket-Protocol: vornextension.v1";

INSTANTIATE_TEST_SUITE_P(
    Headers, HandshakeTableTest,
    ::testing::Values(
        HandshakeCase{"Plain", {kKeyLine, kProtocolLine}, true},
        HandshakeCase{"LowerCaseNames",
                      {"sec-websocket-key: " + kKey, "sec-websocket-protocol: vornextension.v1"},
                      true},
        HandshakeCase{"OursFirstOfTwo", {kKeyLine, "Sec-WebSocket-Protocol: vornextension.v1, chat"}, true},
        HandshakeCase{"OursSecondOfTwo", {kKeyLine, "Sec-WebSocket-Protocol: chat, vornextension.v1"}, false},
        HandshakeCase{"ProtocolCaseDiffers", {kKeyLine, "Sec-WebSocket-Protocol: VornExtension.v1"}, false},
        HandshakeCase{"NoProtocol", {kKeyLine}, false}, HandshakeCase{"NoKey", {kProtocolLine}, false},
        HandshakeCase{"EmptyKey", {"Sec-WebSocket-Key:   ", kProtocolLine}, false},
        HandshakeCase{
            "LaterProtocolLineClearsIt", {kKeyLine, kProtocolLine, "Sec-WebSocket-Protocol: chat"}, false},
        HandshakeCase{
            "ChromeExtension", {kKeyLine, kProtocolLine, "Origin: chrome-extension://abcdefgh"}, true},
        HandshakeCase{
            "FirefoxExtension",
            {kKeyLine, kProtocolLine, "Origin: moz-extension://0b2c7e4a-1111-2222-3333-444455556666"},
            true},
        HandshakeCase{
            "SafariExtension", {kKeyLine, kProtocolLine, "origin: safari-web-extension://ABC"}, true},
        HandshakeCase{"BareExtension", {kKeyLine, kProtocolLine, "Origin: extension://id"}, true},
        HandshakeCase{"WebPage", {kKeyLine, kProtocolLine, "Origin: http://evil.example"}, false},
        HandshakeCase{"SecureWebPage", {kKeyLine, kProtocolLine, "Origin: https://evil.example"}, false},
        HandshakeCase{"SandboxedFrame", {kKeyLine, kProtocolLine, "Origin: null"}, false},
        HandshakeCase{"LocalFile", {kKeyLine, kProtocolLine, "Origin: file://"}, false},
        HandshakeCase{"HostLooksLikeExtension",
                      {kKeyLine, kProtocolLine, "Origin: http://chrome-extension.example"},
                      false},
        HandshakeCase{
            "SchemeMerelyEndsInExtension", {kKeyLine, kProtocolLine, "Origin: notanextension://x"}, false},
        HandshakeCase{"ExtensionWithoutId", {kKeyLine, kProtocolLine, "Origin: chrome-extension://"}, false},
        HandshakeCase{
            "WebOriginAmongTwo",
            {kKeyLine, kProtocolLine, "Origin: chrome-extension://abc", "Origin: https://evil.example"},
            false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, LoneLineFeedsAreDroppedAndTheLineContinues) {
    ASSERT_TRUE(feed("GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBs\nZSBub25jZQ==\r\n" + kProtocolLine +
                     "\r\n\r\n"));
    ASSERT_EQ(m_peer.sent.size(), 1u);
    EXPECT_EQ(m_peer.sent[0], expectedResponse());
}

TEST_F(ProtocolTest, ByteFFEndsTheScanOfARead) {
    const std::string text = standardRequest();
    // Everything after 0xFF in the same read is discarded, so the request never completes.
    ASSERT_TRUE(feed("GET / HTTP/1.1\r\n\xFF" + text));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_HANDSHAKE);
    EXPECT_TRUE(m_peer.sent.empty());
    ASSERT_TRUE(feed(text));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_OPEN);
}

TEST_F(ProtocolTest, AnOverlongHandshakeLineCloses) {
    std::string line = "X-Filler: " + std::string(VornWebSocketProtocol::MAX_LINE, 'a');
    EXPECT_FALSE(feedInPieces("GET / HTTP/1.1\r\n" + line, 4096));
    EXPECT_EQ(m_protocol.closeReason(), "Client Sent Bad Request.Buffer Exploit Detected !");
}

TEST_F(ProtocolTest, ALongButBoundedLineStillFitsAndTheBufferKeepsRoom) {
    const std::string line = "X-Filler: " + std::string(VornWebSocketProtocol::MAX_LINE - 20, 'a');
    ASSERT_TRUE(feedInPieces("GET / HTTP/1.1\r\n" + line, 1000));
    EXPECT_GT(m_protocol.receiveSpace(), 0u);
    ASSERT_TRUE(feedInPieces("\r\n" + standardRequest().substr(16), 4096));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_OPEN);
}

TEST_F(ProtocolTest, RefusedHandshakeWhenTheReplyCannotBeSent) {
    m_peer.sendWorks = false;
    EXPECT_FALSE(feed(standardRequest()));
    EXPECT_EQ(m_protocol.closeReason(), "HandShake Failed.");
}

TEST_F(ProtocolTest, TextFramesMaskedAndUnmaskedArriveUnchanged) {
    open();
    ASSERT_TRUE(feed(frame("1:GET\r\n2:http://h/a.zip\r\n")));
    ASSERT_TRUE(feed(frame("plain text", {.masked = false})));
    ASSERT_EQ(m_peer.delivered.size(), 2u);
    EXPECT_EQ(m_peer.delivered[0], composed("1:GET\r\n2:http://h/a.zip\r\n"));
    EXPECT_EQ(m_peer.delivered[1], composed("plain text"));
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_OPEN);
}

TEST_F(ProtocolTest, TwoFramesInOneReadAreHandledInOrder) {
    open();
    ASSERT_TRUE(feed(frame("first") + frame("second", {.masked = false})));
    ASSERT_EQ(m_peer.delivered.size(), 2u);
    EXPECT_EQ(m_peer.delivered[0], composed("first"));
    EXPECT_EQ(m_peer.delivered[1], composed("second"));
}

TEST_F(ProtocolTest, AFrameSplitIntoSingleBytesIsAssembled) {
    open();
    const std::string payload(300, 'x');
    ASSERT_TRUE(feedInPieces(frame(payload) + frame("tail"), 1));
    ASSERT_EQ(m_peer.delivered.size(), 2u);
    EXPECT_EQ(m_peer.delivered[0], composed(payload));
    EXPECT_EQ(m_peer.delivered[1], composed("tail"));
}

TEST_F(ProtocolTest, TheLargest16BitFrameIsAccepted) {
    open();
    std::string payload(65535, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(feedInPieces(frame(payload), 1460));
    ASSERT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_peer.delivered[0], composed(payload));
}

TEST_F(ProtocolTest, ShortPayloadInTheSixteenBitFormIsAccepted) {
    open();
    ASSERT_TRUE(feed(frame("abc", {.lengthForm = 126})));
    ASSERT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_peer.delivered[0], composed("abc"));
}

TEST_F(ProtocolTest, AnEmptyTextFrameIsStillAMessage) {
    open();
    ASSERT_TRUE(feed(frame("")));
    ASSERT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_peer.delivered[0], composed(""));
}

TEST_F(ProtocolTest, PingGetsAPongWithTheSamePayload) {
    open();
    const std::string payload(125, 'p');
    ASSERT_TRUE(feed(frame(payload, {.first = 0x89})));
    ASSERT_EQ(m_peer.sent.size(), 1u);
    EXPECT_EQ(m_peer.sent[0], std::string("\x8A", 1) + static_cast<char>(125) + payload);
    EXPECT_TRUE(m_peer.delivered.empty());
}

TEST_F(ProtocolTest, PongIsIgnored) {
    open();
    ASSERT_TRUE(feed(frame("pong", {.first = 0x8A}) + frame("after")));
    // Only the text frame is answered.
    EXPECT_EQ(m_peer.sent, std::vector<std::string>{textFrameOut("refused")});
    ASSERT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_peer.delivered[0], composed("after"));
}

TEST_F(ProtocolTest, APongThatCannotBeSentCloses) {
    open();
    m_peer.sendWorks = false;
    EXPECT_FALSE(feed(frame("x", {.first = 0x89})));
    EXPECT_EQ(m_protocol.closeReason(), "Error on Sending Pong.");
}

struct ViolationCase {
    const char* name;
    std::string bytes;
    const char* reason;
    size_t deliveredBefore = 0;
};

class FrameViolationTest : public ::testing::TestWithParam<ViolationCase> {};

TEST_P(FrameViolationTest, ClosesWithItsReason) {
    FakePeer peer;
    VornWebSocketProtocol protocol(peer);
    const std::string bytes = standardRequest() + GetParam().bytes;
    EXPECT_FALSE(protocol.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    EXPECT_EQ(protocol.closeReason(), GetParam().reason);
    EXPECT_EQ(peer.delivered.size(), GetParam().deliveredBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameViolationTest,
    ::testing::Values(ViolationCase{"SixtyFourBitLength", frame("small", {.lengthForm = 127}),
                                    "Too-Long Frame Sended by Client."},
                      ViolationCase{"FirstFragment", frame("part", {.first = 0x01}),
                                    "Invalid Message Received From Client."},
                      ViolationCase{"Continuation", frame("part", {.first = 0x80}),
                                    "Unsupported Frame Type Received From Client."},
                      ViolationCase{"Binary", frame("bin", {.first = 0x82}),
                                    "Unsupported Frame Type Received From Client."},
                      ViolationCase{"ReservedOpcode", frame("x", {.first = 0x8B}),
                                    "Unsupported Frame Type Received From Client."},
                      ViolationCase{"Close", frame("", {.first = 0x88}), "Client is Closing the Connection."},
                      ViolationCase{"LongPing", frame(std::string(126, 'p'), {.first = 0x89}),
                                    "Ping/Pong with Too long Data_Bytes."},
                      ViolationCase{"LongPong", frame(std::string(200, 'p'), {.first = 0x8A}),
                                    "Ping/Pong with Too long Data_Bytes."},
                      ViolationCase{"CloseAfterAGoodFrame", frame("ok") + frame("", {.first = 0x88}),
                                    "Client is Closing the Connection.", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, WithTheWaitingFlagEveryFrameIsAnsweredWithWaiting) {
    m_peer.waitingFlag = true;
    ASSERT_TRUE(feed(standardRequest()));
    ASSERT_EQ(m_peer.sent.size(), 2u);
    EXPECT_EQ(m_peer.sent[1], textFrameOut("waiting"));
    ASSERT_TRUE(feed(frame("one") + frame("ping", {.first = 0x89})));
    ASSERT_EQ(m_peer.sent.size(), 6u);
    // The answer to the text comes first, so the extension reads it before the notice.
    EXPECT_EQ(m_peer.sent[2], textFrameOut("refused"));
    EXPECT_EQ(m_peer.sent[3], textFrameOut("waiting"));
    EXPECT_EQ(m_peer.sent[4][0], '\x8A');
    EXPECT_EQ(m_peer.sent[5], textFrameOut("waiting"));
}

struct AcknowledgementCase {
    const char* name;
    std::string payload;
    bool accepted;
};

class AcknowledgementTest : public ProtocolTest, public ::testing::WithParamInterface<AcknowledgementCase> {};

TEST_P(AcknowledgementTest, AnswersOnceTheWindowHasTheMessage) {
    open();
    // The answer is only worth trusting when the window already has the capture.
    size_t deliveredAtAnswer = 0;
    m_peer.onSend = [&] { deliveredAtAnswer = m_peer.delivered.size(); };
    ASSERT_TRUE(feed(frame(GetParam().payload)));
    ASSERT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_peer.delivered[0], composed(GetParam().payload));
    EXPECT_EQ(deliveredAtAnswer, 1u);
    EXPECT_EQ(m_peer.sent,
              std::vector<std::string>{textFrameOut(GetParam().accepted ? "accepted" : "refused")});
}

INSTANTIATE_TEST_SUITE_P(
    Messages, AcknowledgementTest,
    ::testing::Values(
        AcknowledgementCase{"Http", "1:GET\r\n2:http://files.example/a.zip\r\n", true},
        AcknowledgementCase{"HttpsWithEverything",
                            "1:POST\r\n2:https://files.example/get?id=7\r\n5:https://files.example/\r\n"
                            "Referer: https://files.example/\r\n__0VornPostData9__:id=7",
                            true},
        AcknowledgementCase{"Ftp", "2:ftp://files.example/pub/a.iso\r\n", true},
        AcknowledgementCase{"PairWithBothUrls",
                            "2:https://media.example/v.webm\r\n3:https://media.example/a.webm\r\n6:media\r\n",
                            true},
        AcknowledgementCase{"NoUrlLine", "1:GET\r\n5:https://files.example/\r\n", false},
        AcknowledgementCase{"EmptyUrl", "2:\r\n", false},
        AcknowledgementCase{"UrlLineWithoutLineEnd", "2:http://files.example/a.zip", false},
        AcknowledgementCase{"UnsupportedScheme", "2:gopher://files.example/a\r\n", false},
        AcknowledgementCase{"NoHost", "2:http://\r\n", false},
        AcknowledgementCase{"AudioOnly", "3:https://media.example/a.webm\r\n", false},
        AcknowledgementCase{"GoodUrlButBadAudioUrl",
                            "2:https://media.example/v.webm\r\n3:gopher://media.example/a\r\n", false},
        AcknowledgementCase{"Empty", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProtocolTest, AnAnswerThatCannotBeSentLeavesTheConnectionToTheReadPath) {
    open();
    m_peer.sendWorks = false;
    EXPECT_TRUE(feed(frame("2:http://files.example/a.zip\r\n")));
    EXPECT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_protocol.state(), WEBSOCKET_STATE_OPEN);
}

TEST_F(ProtocolTest, WithoutAUserAgentTheDefaultIsUsed) {
    ASSERT_TRUE(feed(request({kKeyLine, kProtocolLine})));
    ASSERT_TRUE(feed(frame("body")));
    ASSERT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_peer.delivered[0],
              "User-Agent:Mozilla / 5.0 (Windows NT 10.0; Win64; x64) AppleWebKit / 537.36 "
              "(KHTML, like Gecko) Chrome / 73.0.3683.86 Safari / 537.36\r\nbody");
}

TEST_F(ProtocolTest, UserAgentKeepsCommasAndSemicolons) {
    ASSERT_TRUE(feed(request({kKeyLine, kProtocolLine, "User-Agent: Mozilla/5.0 (X11; Linux x86_64) A, B"})));
    EXPECT_EQ(m_protocol.userAgent(), "Mozilla/5.0 (X11; Linux x86_64) A, B");
}

TEST_F(ProtocolTest, AFrameSentRightBehindTheRequestIsKept) {
    ASSERT_TRUE(feed(standardRequest() + frame("eager")));
    ASSERT_EQ(m_peer.delivered.size(), 1u);
    EXPECT_EQ(m_peer.delivered[0], composed("eager"));
}

TEST_F(ProtocolTest, SendTextTakesOnlyShortTexts) {
    open();
    EXPECT_TRUE(m_protocol.sendText(std::string(119, 'a')));
    EXPECT_FALSE(m_protocol.sendText(std::string(120, 'a')));
    ASSERT_EQ(m_peer.sent.size(), 1u);
    EXPECT_EQ(m_peer.sent[0], textFrameOut(std::string(119, 'a')));
}

TEST_F(ProtocolTest, ReceiveSpaceNeverRunsOutWhileAFrameIsAssembled) {
    open();
    const std::string bytes = frame(std::string(65535, 'z'));
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t room = m_protocol.receiveSpace();
        ASSERT_GT(room, 0u);
        const size_t piece = std::min(room, bytes.size() - at);
        ASSERT_TRUE(feed(bytes.substr(at, piece)));
        at += piece;
    }
    EXPECT_EQ(m_peer.delivered.size(), 1u);
}

} // namespace
