#include "base/VornSocket.h"
#include "base/VornClock.h"
#include "base/VornException.h"
#include "tests/support/LoopbackListener.h"
#include "tests/support/Thrown.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool isNonBlocking(int handle) {
    return ::fcntl(handle, F_GETFL) & O_NONBLOCK;
}

TEST(VornSocket, StartsClosedAndEmpty) {
    VornSocket socket;
    EXPECT_EQ(socket.state(), VORN_SOCKET_CLOSED);
    EXPECT_FALSE(socket.hasSocket());
    EXPECT_EQ(socket.lastActivity(), 0u);
    EXPECT_EQ(socket.peerAddress().sin_family, 0);
    EXPECT_EQ(socket.localAddress().sin_port, 0);
    EXPECT_TRUE(socket.nonBlocking());
    EXPECT_FALSE(socket.isConnected());
    EXPECT_FALSE(socket.isIdle());
}

TEST(VornSocket, AsyncModeNeedsAnOpenSocket) {
    VornSocket socket;
    VornException e = thrown([&] { socket.set_async_mode(true); });
    EXPECT_EQ(e.code(), 9);
    EXPECT_EQ(e.systemCode(), 0);
    EXPECT_EQ(e.context(), "Can't call set_async_mode() on a Closed Socket.");
}

TEST(VornSocket, CreatedSocketsAreNonBlockingAndTheModeCanChange) {
    VornSocket socket;
    socket.createSocket(AF_INET, SOCK_STREAM, 0);
    ASSERT_TRUE(socket.hasSocket());
    EXPECT_TRUE(isNonBlocking(socket.handle()));
    EXPECT_EQ(socket.set_async_mode(false), 0);
    EXPECT_FALSE(isNonBlocking(socket.handle()));
    EXPECT_FALSE(socket.nonBlocking());
    EXPECT_TRUE(::fcntl(socket.handle(), F_GETFD) & FD_CLOEXEC);
}

TEST(VornSocket, ARefusedSocketThrowsCodeOneWithItsContext) {
    VornSocket socket;
    VornException e = thrown([&] { socket.createSocket(12345, SOCK_STREAM, 0); });
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.systemCode(), EAFNOSUPPORT);
    EXPECT_EQ(e.context(), "socket()");
    EXPECT_NE(std::string(e.sourceFile()).find("VornSocket"), std::string::npos);
    EXPECT_FALSE(socket.hasSocket());
}

TEST(VornSocket, ConnectStartsAndCompletesAgainstAListener) {
    LoopbackListener listener;
    VornSocket socket;
    uint64_t before = vornNowMs();
    ASSERT_TRUE(socket.connect(SOCK_STREAM, listener.address()));
    EXPECT_TRUE(socket.state() == VORN_SOCKET_CONNECTING || socket.state() == VORN_SOCKET_CONNECTED);
    EXPECT_GE(socket.lastActivity(), before);
    EXPECT_EQ(socket.peerAddress().sin_port, htons(listener.port()));
    EXPECT_TRUE(isNonBlocking(socket.handle()));
    EXPECT_TRUE(waitForEvents(socket.handle(), POLLOUT) & POLLOUT);
    int accepted = listener.accept();
    EXPECT_GE(accepted, 0);
    ::close(accepted);
}

TEST(VornSocket, ARefusedConnectIsReportedOnceItsOutcomeIsKnown) {
    RefusingPort refusing;
    VornSocket socket;
    if (!socket.connect(SOCK_STREAM, refusing.address())) {
        EXPECT_EQ(errno, ECONNREFUSED);
        EXPECT_EQ(socket.state(), VORN_SOCKET_CLOSED);
        EXPECT_FALSE(socket.hasSocket());
        return;
    }
    ASSERT_EQ(socket.state(), VORN_SOCKET_CONNECTING);
    EXPECT_TRUE(waitForEvents(socket.handle(), POLLOUT) & (POLLERR | POLLHUP));
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(socket.handle(), SOL_SOCKET, SO_ERROR, &error, &length);
    EXPECT_EQ(error, ECONNREFUSED);
}

TEST(VornSocket, AnAddressThatNeverResolvedFailsToConnectWithoutThrowing) {
    VornSocket socket;
    sockaddr_in unresolved = vornResolveAddress(":80");
    ASSERT_EQ(unresolved.sin_family, 0);
    EXPECT_FALSE(socket.connect(SOCK_STREAM, unresolved));
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_EQ(socket.state(), VORN_SOCKET_CLOSED);
}

TEST(VornSocket, ConnectClosesTheSocketItHeld) {
    LoopbackListener listener;
    VornSocket socket;
    ASSERT_TRUE(socket.connect(SOCK_STREAM, listener.address()));
    int first = listener.accept();
    ASSERT_GE(first, 0);
    ASSERT_TRUE(socket.connect(SOCK_STREAM, listener.address()));
    int second = listener.accept();
    ASSERT_GE(second, 0);
    char byte;
    ASSERT_TRUE(waitForEvents(first, POLLIN) & POLLIN);
    EXPECT_EQ(::recv(first, &byte, 1, 0), 0) << "the first connection should have been closed";
    EXPECT_TRUE(socket.hasSocket());
    ::close(first);
    ::close(second);
}

TEST(VornSocket, SendReportsTheErrorAfterEveryCall) {
    LoopbackListener listener;
    VornSocket socket;
    ASSERT_TRUE(socket.connect(SOCK_STREAM, listener.address()));
    int peer = listener.accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(waitForEvents(socket.handle(), POLLOUT) & POLLOUT);
    socket.setState(VORN_SOCKET_CONNECTED);
    socket.setLastActivity(1);
    int error = -1;
    EXPECT_EQ(socket.send("hi", 2, error), 2);
    EXPECT_EQ(error, 0);
    EXPECT_GT(socket.lastActivity(), 1u);
    char received[2];
    EXPECT_EQ(::recv(peer, received, 2, MSG_WAITALL), 2);

    // A peer that went away: the sends fail with an error and no signal ends the process.
    ::close(peer);
    ssize_t result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) {
        result = socket.send("data", 4, error);
        if (result >= 0)
            waitForEvents(socket.handle(), POLLERR | POLLHUP, std::chrono::milliseconds(50));
    }
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
}

TEST(VornSocket, SendOnAClosedSocketFails) {
    VornSocket socket;
    int error = 0;
    EXPECT_EQ(socket.send("x", 1, error), -1);
    EXPECT_EQ(error, EBADF);
}

TEST(VornSocket, CloseClearsStateAndActivityEveryTime) {
    LoopbackListener listener;
    VornSocket socket;
    ASSERT_TRUE(socket.connect(SOCK_STREAM, listener.address()));
    int handle = socket.handle();
    socket.close();
    EXPECT_FALSE(socket.hasSocket());
    EXPECT_EQ(socket.state(), VORN_SOCKET_CLOSED);
    EXPECT_EQ(socket.lastActivity(), 0u);
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1);
    socket.setState(VORN_SOCKET_LISTENING);
    socket.setLastActivity(5);
    socket.close();
    EXPECT_EQ(socket.state(), VORN_SOCKET_CLOSED);
    EXPECT_EQ(socket.lastActivity(), 0u);
}

TEST(VornSocket, AttachTakesOverAnAcceptedSocketInNonBlockingMode) {
    LoopbackListener listener;
    LoopbackPair pair = makeLoopbackPair(listener);
    sockaddr_in peer = listener.address();
    VornSocket socket;
    socket.attach(pair.server, peer);
    EXPECT_EQ(socket.handle(), pair.server);
    EXPECT_TRUE(isNonBlocking(pair.server));
    EXPECT_EQ(socket.peerAddress().sin_port, peer.sin_port);
    socket.close();
    char byte;
    EXPECT_EQ(::recv(pair.client, &byte, 1, 0), 0);
    ::close(pair.client);
}

TEST(VornSocket, IdleMeansMoreThanTheLimitSinceRealActivity) {
    const uint64_t now = 1'700'000'000'000;
    struct Case {
        uint64_t lastActivity;
        bool idle;
    } cases[] = {
        {0, false},       {now - 26000, false}, {now - 26001, true},
        {now - 1, false}, {now + 60000, false}, // the clock went back
    };
    for (const Case& c : cases) {
        VornSocket socket;
        socket.setLastActivity(c.lastActivity);
        EXPECT_EQ(socket.isIdleAt(now), c.idle) << now - c.lastActivity;
    }
    VornSocket old;
    old.setLastActivity(vornNowMs() - 30000);
    EXPECT_TRUE(old.isIdle());
}

TEST(VornSocket, InProgressErrorsAreTheNotYetOnes) {
    for (int error : {EINTR, EAGAIN, EWOULDBLOCK, EINPROGRESS, EALREADY}) {
        EXPECT_TRUE(vornIsInProgressError(error)) << error;
    }
    for (int error : {0, ECONNREFUSED, ECONNRESET, EPIPE, EBADF, ETIMEDOUT}) {
        EXPECT_FALSE(vornIsInProgressError(error)) << error;
    }
}

TEST(VornAddresses, ResolveSplitsHostAndPort) {
    struct Case {
        const char* text;
        sa_family_t family;
        const char* address;
        uint16_t port;
    } cases[] = {
        {"*:8080", AF_INET, "0.0.0.0", 8080},
        {"127.0.0.1:80", AF_INET, "127.0.0.1", 80},
        {"10.1.2.3", AF_INET, "10.1.2.3", 0},
        {"127.0.0.1:abc", AF_INET, "127.0.0.1", 0},
        {"127.0.0.1:8080abc", AF_INET, "127.0.0.1", 8080},
        {"127.0.0.1:65535", AF_INET, "127.0.0.1", 65535},
        {"127.0.0.1:65536", AF_INET, "127.0.0.1", 0},
        {"127.0.0.1:99999999999999999999", AF_INET, "127.0.0.1", 0},
        {"localhost:21", AF_INET, "127.0.0.1", 21},
        {":80", 0, "0.0.0.0", 80},
        {"", 0, "0.0.0.0", 0},
    };
    for (const Case& c : cases) {
        sockaddr_in address = vornResolveAddress(c.text);
        EXPECT_EQ(address.sin_family, c.family) << c.text;
        EXPECT_EQ(vornAddressText(address), c.address) << c.text;
        EXPECT_EQ(ntohs(address.sin_port), c.port) << c.text;
    }
}

TEST(VornAddresses, DottedIPv4FollowsItsFourNumbers) {
    struct Case {
        const char* text;
        bool dotted;
    } cases[] = {
        {"1.2.3.4", true},      {"0.1.2.3", false},
        {"1.2.3.256", false},   {"1.2.3", false},
        {"1.2.3.4.5", true},    {" 10.0.0.1 ", true},
        {"\t10.0.0.1\t", true}, {"1.2.3.a", false},
        {"a1.2.3.4", false},    {"255.255.255.255", true},
        {"256.1.1.1", false},   {"65537.1.1.1", false}, // would wrap to 1 in a 16-bit number
        {"1..2.3.4", false},    {"1.2.3.4.", true},
        {"1.2.3.", false},      {"100.100.100.1000", false},
        {"1.2.3.4 5", false},   {"", false},
        {"   ", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vornIsDottedIPv4(c.text), c.dotted) << '"' << c.text << '"';
    }
}

} // namespace
