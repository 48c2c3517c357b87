#include "browserlink/VornWebSocket.h"

#include "browserlink/VornWebSocketServer.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One connection over a socket pair, with a server that is never started around it.
class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        m_connection.attach(ends[0], sockaddr_in{});
        m_connection.setState(VORN_SOCKET_CONNECTED);
        m_client = ends[1];
    }
    void TearDown() override { close(m_client); }

    void clientSends(const std::string& bytes) {
        ASSERT_EQ(write(m_client, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        m_connection.onReadable();
    }
    void openConnection() {
        clientSends("GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                    "Sec-WebSocket-Protocol: vornextension.v1\r\n\r\n");
        ASSERT_EQ(m_connection.connectionState(), WEBSOCKET_STATE_OPEN) << m_connection.closeReason();
    }

    VornMessageQueue m_window;
    VornWebSocketServer m_server{m_window, 0};
    VornWebSocket m_connection{m_server};
    int m_client = -1;
};

TEST_F(ConnectionTest, AConnectionInItsHandshakeIsIdleOnlyAfterMoreThanEightSeconds) {
    clientSends("GET / HTTP/1.1\r\n");
    ASSERT_EQ(m_connection.connectionState(), WEBSOCKET_STATE_HANDSHAKE);
    m_connection.setLastActivity(1'000'000);
    EXPECT_FALSE(m_connection.isIdleAt(1'008'000));
    EXPECT_TRUE(m_connection.isIdleAt(1'008'001));
    // A clock that went back makes nothing idle.
    EXPECT_FALSE(m_connection.isIdleAt(900'000));
    m_connection.setLastActivity(0);
    EXPECT_FALSE(m_connection.isIdleAt(1'008'001));
}

TEST_F(ConnectionTest, AnOpenConnectionBetweenFramesIsNeverIdle) {
    openConnection();
    m_connection.setLastActivity(1'000'000);
    EXPECT_FALSE(m_connection.isIdleAt(100'000'000));
}

TEST_F(ConnectionTest, AConnectionInsideAFrameTimesOut) {
    openConnection();
    clientSends(std::string("\x81\x85", 2));
    ASSERT_EQ(m_connection.connectionState(), WEBSOCKET_STATE_FRAME);
    m_connection.setLastActivity(1'000'000);
    EXPECT_TRUE(m_connection.isIdleAt(1'008'001));
}

TEST_F(ConnectionTest, APeerThatClosedEndsTheConnectionWithTheReadingError) {
    openConnection();
    shutdown(m_client, SHUT_WR);
    m_connection.onReadable();
    EXPECT_EQ(m_connection.closeReason(), "Error on Reading from WebSocket");
}

TEST_F(ConnectionTest, NoTextIsSentToAPeerThatHasClosed) {
    openConnection();
    EXPECT_TRUE(m_connection.sendText("waiting"));
    shutdown(m_client, SHUT_WR);
    EXPECT_FALSE(m_connection.sendText("nowaiting"));
}

} // namespace
