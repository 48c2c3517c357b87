#include "browserlink/VornWebSocketServer.h"

#include "tests/support/WebSocketClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kScript = std::string(BRELLIN_SOURCE_DIR) + "/tests/support/WebSocketClient.py";
const std::string kPrefix = "User-Agent:BrellinTest/1.0 (X11; Linux x86_64)\r\n";

// A server on a port of the system's choosing, with the main window's messages in a queue.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server = std::make_unique<VornWebSocketServer>(m_window, 0);
        ASSERT_TRUE(m_server->start());
        m_port = m_server->waitForListener(30s);
        ASSERT_NE(m_port, 0);
    }

    // Runs a scenario to its end and expects the client to be content.
    void run(const std::vector<std::string>& scenario) {
        WebSocketClient client(kScript, m_port, scenario);
        EXPECT_TRUE(client.succeeded()) << client.output();
    }

    // The texts that reached the main window, in order.
    std::vector<std::string> received(size_t count) {
        std::vector<std::string> texts;
        while (texts.size() < count) {
            auto message = m_window.wait(10s);
            if (!message)
                break;
            EXPECT_EQ(message->id, WM_BROWSER_MESSAGE);
            texts.push_back(message->text);
        }
        return texts;
    }

    bool connectionsDropTo(size_t count) {
        for (int i = 0; i < 400 && m_server->connectionCount() != count; ++i)
            std::this_thread::sleep_for(50ms);
        return m_server->connectionCount() == count;
    }

    VornMessageQueue m_window;
    std::unique_ptr<VornWebSocketServer> m_server;
    uint16_t m_port = 0;
};

TEST_F(ServerTest, RealClientTextsReachTheMainWindowInOrder) {
    run({"texts", "1:GET\r\n2:http://files.example/a.zip\r\n", "second"});
    EXPECT_EQ(received(2), (std::vector<std::string>{kPrefix + "1:GET\r\n2:http://files.example/a.zip\r\n",
                                                     kPrefix + "second"}));
    EXPECT_FALSE(m_window.tryTake());
}

TEST_F(ServerTest, AFrameOfTheLargest16BitLengthArrivesWhole) {
    run({"big"});
    const auto texts = received(1);
    ASSERT_EQ(texts.size(), 1u);
    std::string payload(65535, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);
    EXPECT_TRUE(texts[0] == kPrefix + payload) << texts[0].size() << " bytes";
}

TEST_F(ServerTest, APingOf125BytesGetsItsPong) {
    run({"ping"});
}

struct RawCase {
    const char* name;
    std::vector<std::string> expected;
};

class RawFrameTest : public ServerTest, public ::testing::WithParamInterface<RawCase> {};

TEST_P(RawFrameTest, Delivers) {
    run({GetParam().name});
    std::vector<std::string> expected;
    for (const std::string& payload : GetParam().expected)
        expected.push_back(kPrefix + payload);
    EXPECT_EQ(received(expected.size()), expected);
}

INSTANTIATE_TEST_SUITE_P(Writes, RawFrameTest,
                         ::testing::Values(RawCase{"unmasked", {"unmasked"}},
                                           RawCase{"two_in_one", {"first", "second"}},
                                           RawCase{"split", {std::string(300, 'x')}}),
                         [](const auto& info) { return std::string(info.param.name); });

struct OriginCase {
    const char* name;
    const char* origin;
    bool accepted;
};

class OriginTest : public ServerTest, public ::testing::WithParamInterface<OriginCase> {};

TEST_P(OriginTest, OnlyExtensionPagesGetIn) {
    WebSocketClient client(kScript, m_port, {"origin", GetParam().origin});
    const std::string verdict = client.readLine();
    EXPECT_TRUE(client.succeeded()) << client.output();
    if (GetParam().accepted) {
        EXPECT_EQ(verdict, "accepted");
        EXPECT_EQ(received(1), std::vector<std::string>{kPrefix + "from " + GetParam().origin});
    } else {
        EXPECT_EQ(verdict.rfind("refused", 0), 0u) << verdict;
        EXPECT_FALSE(m_window.tryTake());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Origins, OriginTest,
    ::testing::Values(OriginCase{"Chrome", "chrome-extension://nkeimhogjdpnpccoofpliimaahmaaome", true},
                      OriginCase{"Firefox", "moz-extension://9f3c1e2a-5d1b-4c7e-8a0f-1234567890ab", true},
                      OriginCase{"WebPage", "http://evil.example", false},
                      OriginCase{"LocalPage", "http://127.0.0.1:8080", false},
                      OriginCase{"Sandboxed", "null", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServerTest, OursMustBeTheFirstSubprotocolOffered) {
    WebSocketClient first(kScript, m_port, {"offered", "vornextension.v1,chat"});
    EXPECT_EQ(first.readLine(), "accepted vornextension.v1");
    EXPECT_TRUE(first.succeeded()) << first.output();
    WebSocketClient second(kScript, m_port, {"offered", "chat,vornextension.v1"});
    EXPECT_EQ(second.readLine().rfind("refused", 0), 0u) << second.output();
    EXPECT_TRUE(second.succeeded()) << second.output();
}

class ViolationTest : public ServerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ViolationTest, ClosesTheConnectionAndKeepsServing) {
    run({"violation", GetParam()});
    EXPECT_FALSE(m_window.tryTake());
    run({"texts", "after"});
    EXPECT_EQ(received(1), std::vector<std::string>{kPrefix + "after"});
}

INSTANTIATE_TEST_SUITE_P(Frames, ViolationTest,
                         ::testing::Values("len64", "fragment", "binary", "continuation", "close",
                                           "longping"));

TEST_F(ServerTest, WaitingIsSentAfterTheHandshakeAndEachFrameUntilCleared) {
    m_server->SetWaiting(true);
    WebSocketClient client(kScript, m_port, {"waiting"});
    ASSERT_EQ(client.readLine(), "ready for nowaiting") << client.output();
    m_server->SetWaiting(false);
    client.writeLine("go");
    EXPECT_TRUE(client.succeeded()) << client.output();
    EXPECT_EQ(received(1), std::vector<std::string>{kPrefix + "one"});
}

TEST_F(ServerTest, EachCaptureIsAnsweredAfterItReachedTheWindow) {
    WebSocketClient client(kScript, m_port,
                           {"answers", "1:GET|2:http://files.example/a.zip|",
                            "1:GET|5:http://files.example/|", "2:gopher://files.example/a|"});
    // The window holds the capture by the time its answer arrives.
    EXPECT_EQ(client.readLine(), "answer accepted") << client.output();
    EXPECT_TRUE(m_window.tryTake());
    EXPECT_EQ(client.readLine(), "answer refused") << client.output();
    EXPECT_TRUE(m_window.tryTake());
    EXPECT_EQ(client.readLine(), "answer refused") << client.output();
    EXPECT_TRUE(m_window.tryTake());
    EXPECT_TRUE(client.succeeded()) << client.output();
}

TEST_F(ServerTest, AnsweringAFrameLosesNoneOfTheFramesBehindIt) {
    m_server->SetWaiting(true);
    run({"burst"});
    const auto texts = received(3);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], kPrefix + "small");
    // Not compared with EXPECT_EQ: a failure would print sixty thousand bytes.
    EXPECT_TRUE(texts[1] == kPrefix + std::string(60000, 'y')) << texts[1].size() << " bytes";
    EXPECT_EQ(texts[2], kPrefix + "end");
}

TEST_F(ServerTest, SettingWaitingReachesOpenConnectionsOnly) {
    WebSocketClient client(kScript, m_port, {"notified"});
    ASSERT_EQ(client.readLine(), "ready for waiting") << client.output();
    ASSERT_TRUE(connectionsDropTo(2));
    m_server->SetWaiting(true);
    client.writeLine("go");
    EXPECT_TRUE(client.succeeded()) << client.output();
}

TEST_F(ServerTest, PeersFromOtherLoopbackAddressesAreTurnedAway) {
    run({"foreign"});
    EXPECT_FALSE(m_window.tryTake());
}

TEST_F(ServerTest, HalfOpenConnectionsAreDroppedAfterEightSecondsAndOpenOnesKept) {
    // The client starts its clock a little after the server saw the last byte.
    run({"halfopen", "7.5"});
}

TEST_F(ServerTest, SurvivesAThousandConnectionsComingAndGoing) {
    run({"cycles", "1000"});
    EXPECT_TRUE(connectionsDropTo(0)) << m_server->connectionCount();
    run({"texts", "still serving"});
    EXPECT_EQ(received(1), std::vector<std::string>{kPrefix + "still serving"});
}

TEST_F(ServerTest, AGarbageSenderIsDroppedWhileOthersAreServed) {
    run({"garbage"});
    const auto texts = received(1);
    EXPECT_EQ(texts, std::vector<std::string>{kPrefix + "still here"});
}

TEST(ServerPortTest, APortTakenByAnotherProcessEndsTheThreadQuietly) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(taken, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);

    VornMessageQueue window;
    VornWebSocketServer server(window, ntohs(address.sin_port));
    ASSERT_TRUE(server.start());
    EXPECT_EQ(server.waitForListener(30s), 0);
    EXPECT_TRUE(server.doneEvent().wait(30s));
    close(taken);
}

TEST(ServerPortTest, DestroyingARunningServerDoesNotWaitForItsPoll) {
    VornMessageQueue window;
    const auto started = std::chrono::steady_clock::now();
    {
        VornWebSocketServer server(window, 0);
        ASSERT_TRUE(server.start());
        ASSERT_NE(server.waitForListener(30s), 0);
    }
    // The wait of one pass is three seconds; a stop has to cut it short.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2900ms);
}

} // namespace
