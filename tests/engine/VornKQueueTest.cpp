#include "engine/VornKQueue.h"
#include "base/VornClock.h"
#include "engine/VornKqSocket.h"
#include "tests/support/LoopbackListener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Log = std::vector<std::string>;

// Writes each callback into a shared log and leaves the queue when destroyed, as the engine's
// connections do.
class LoggingSocket : public VornKqSocket {
public:
    LoggingSocket(std::string name, Log& log, VornKQueue& queue)
        : m_name(std::move(name)), m_log(log), m_queue(queue) {}
    ~LoggingSocket() override { m_queue.Unregister(this); }

    void OnWritable() override {
        m_log.push_back("W:" + m_name);
        VornKqSocket::OnWritable();
    }
    void OnSocketError(const std::wstring& text) override {
        m_log.push_back("E:" + m_name + ":" + std::string(text.begin(), text.end()));
    }
    void OnReadable() override {
        m_log.push_back("R:" + m_name);
        if (m_onReadable)
            m_onReadable();
        else
            drain();
    }

    std::function<void()> m_onReadable;

private:
    std::string m_name;
    Log& m_log;
    VornKQueue& m_queue;
};

bool inSet(const std::vector<int>& set, int handle) {
    return std::find(set.begin(), set.end(), handle) != set.end();
}

// Runs passes until the log holds the entry; false when it never came.
bool pollUntilLogged(VornKQueue& queue, const Log& log, const std::string& entry, int passes = 20) {
    for (int i = 0; i < passes; ++i) {
        if (std::find(log.begin(), log.end(), entry) != log.end())
            return true;
        queue.Poll();
    }
    return std::find(log.begin(), log.end(), entry) != log.end();
}

// A socket of the object in the connected state, on an accepted loopback connection.
struct ConnectedSocket {
    ConnectedSocket(const std::string& name, Log& log, VornKQueue& queue, LoopbackListener& listener)
        : socket(std::make_unique<LoggingSocket>(name, log, queue)) {
        LoopbackPair pair = makeLoopbackPair(listener);
        peer = pair.server;
        socket->attach(pair.client, listener.address());
        socket->setState(VORN_SOCKET_CONNECTED);
    }
    ~ConnectedSocket() { ::close(peer); }
    void peerSends() const { ASSERT_EQ(::send(peer, "x", 1, MSG_NOSIGNAL), 1); }

    std::unique_ptr<LoggingSocket> socket;
    int peer = -1;
};

TEST(VornKQueue, AnEmptyPassPausesAndReportsNothing) {
    VornKQueue queue(0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.Poll());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

TEST(VornKQueue, ASuccessfulConnectIsWritableOnceThenReadableOnly) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    LoggingSocket socket("a", log, queue);
    ASSERT_TRUE(socket.connect(SOCK_STREAM, listener.address()));
    if (socket.state() == VORN_SOCKET_CONNECTED)
        GTEST_SKIP() << "the connect completed at once";
    queue.Register(&socket);
    EXPECT_TRUE(inSet(queue.writeSet(), socket.handle()));
    EXPECT_FALSE(inSet(queue.readSet(), socket.handle()));
    int peer = listener.accept();
    ASSERT_GE(peer, 0);

    socket.setLastActivity(1);
    ASSERT_TRUE(pollUntilLogged(queue, log, "W:a"));
    EXPECT_EQ(socket.state(), VORN_SOCKET_CONNECTED);
    EXPECT_GT(socket.lastActivity(), 1u);
    EXPECT_FALSE(inSet(queue.writeSet(), socket.handle()));
    EXPECT_TRUE(inSet(queue.readSet(), socket.handle()));

    ASSERT_EQ(::send(peer, "hello", 5, MSG_NOSIGNAL), 5);
    ASSERT_TRUE(pollUntilLogged(queue, log, "R:a"));
    EXPECT_EQ(std::count(log.begin(), log.end(), "W:a"), 1);
    ::close(peer);
}

TEST(VornKQueue, AFailedConnectIsReportedAsAnErrorAndLeavesBothSets) {
    RefusingPort refusing;
    VornKQueue queue(1);
    Log log;
    LoggingSocket socket("a", log, queue);
    if (!socket.connect(SOCK_STREAM, refusing.address()))
        GTEST_SKIP() << "the connect was refused at once";
    queue.Register(&socket);
    ASSERT_TRUE(pollUntilLogged(queue, log, "E:a:Error on Socket."));
    EXPECT_EQ(log, Log{"E:a:Error on Socket."});
    EXPECT_TRUE(queue.readSet().empty());
    EXPECT_TRUE(queue.writeSet().empty());
    // Nothing more arrives for it.
    queue.Poll();
    EXPECT_EQ(log.size(), 1u);
}

TEST(VornKQueue, EachPassCallsReadableThenWritableThenErrorsInSetOrder) {
    LoopbackListener listener;
    RefusingPort refusing;
    VornKQueue queue(1);
    Log log;
    ConnectedSocket first("first", log, queue, listener);
    ConnectedSocket second("second", log, queue, listener);
    queue.Register(second.socket.get());
    queue.Register(first.socket.get());
    LoggingSocket connecting("connecting", log, queue);
    LoggingSocket failing("failing", log, queue);
    ASSERT_TRUE(connecting.connect(SOCK_STREAM, listener.address()));
    ASSERT_TRUE(failing.connect(SOCK_STREAM, refusing.address()));
    if (connecting.state() != VORN_SOCKET_CONNECTING)
        GTEST_SKIP() << "the connect completed at once";
    queue.Register(&failing);
    queue.Register(&connecting);
    int accepted = listener.accept();
    ASSERT_GE(accepted, 0);

    // Make every socket ready before the one pass that reports them all.
    first.peerSends();
    second.peerSends();
    ASSERT_TRUE(waitForEvents(first.socket->handle(), POLLIN));
    ASSERT_TRUE(waitForEvents(second.socket->handle(), POLLIN));
    ASSERT_EQ(waitForEvents(connecting.handle(), POLLOUT), POLLOUT);
    ASSERT_TRUE(waitForEvents(failing.handle(), POLLOUT) & POLLERR);

    EXPECT_TRUE(queue.Poll());
    EXPECT_EQ(log, (Log{"R:second", "R:first", "W:connecting", "E:failing:Error on Socket."}));
    ::close(accepted);
}

TEST(VornKQueue, RegisteringAgainWithANewHandleDropsTheOldOne) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    ConnectedSocket connected("a", log, queue, listener);
    queue.Register(connected.socket.get());
    int oldHandle = connected.socket->handle();
    int spare = ::dup(oldHandle); // keeps the old number taken, so the new socket gets another
    LoopbackPair pair = makeLoopbackPair(listener);
    connected.socket->attach(pair.client, listener.address());
    connected.socket->setState(VORN_SOCKET_CONNECTING);
    queue.Register(connected.socket.get());
    EXPECT_EQ(queue.readSet(), std::vector<int>{});
    EXPECT_EQ(queue.writeSet(), std::vector<int>{pair.client});

    connected.socket->setState(VORN_SOCKET_CONNECTED);
    queue.Register(connected.socket.get());
    EXPECT_EQ(queue.readSet(), std::vector<int>{pair.client});
    EXPECT_TRUE(queue.writeSet().empty());
    ::close(spare);
    ::close(pair.server);
}

// A socket closed without leaving the queue gives its number up; the next socket with that number is
// the one called back.
TEST(VornKQueue, ANewSocketOnAReusedNumberReplacesTheStaleEntry) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    ConnectedSocket stale("stale", log, queue, listener);
    queue.Register(stale.socket.get());
    int number = stale.socket->handle();
    stale.socket->close();
    ConnectedSocket fresh("fresh", log, queue, listener);
    if (fresh.socket->handle() != number)
        GTEST_SKIP() << "the number was not reused";
    queue.Register(fresh.socket.get());
    fresh.peerSends();
    ASSERT_TRUE(pollUntilLogged(queue, log, "R:fresh"));
    EXPECT_EQ(std::count(log.begin(), log.end(), "R:stale"), 0);
    EXPECT_FALSE(queue.isRegistered(stale.socket.get()));
}

TEST(VornKQueue, AClosedOrNullSocketIsForgotten) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    ConnectedSocket connected("a", log, queue, listener);
    queue.Register(nullptr);
    queue.Unregister(nullptr);
    queue.Register(connected.socket.get());
    ASSERT_TRUE(queue.isRegistered(connected.socket.get()));
    connected.socket->setState(VORN_SOCKET_CLOSED);
    queue.Register(connected.socket.get());
    EXPECT_FALSE(queue.isRegistered(connected.socket.get()));
    EXPECT_TRUE(queue.readSet().empty());
}

TEST(VornKQueue, UnregisterFindsTheSocketEvenAfterItClosed) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    ConnectedSocket connected("a", log, queue, listener);
    queue.Register(connected.socket.get());
    connected.peerSends();
    connected.socket->close();
    queue.Unregister(connected.socket.get());
    EXPECT_FALSE(queue.isRegistered(connected.socket.get()));
    EXPECT_TRUE(queue.readSet().empty());
    EXPECT_FALSE(queue.Poll());
    EXPECT_TRUE(log.empty());
}

TEST(VornKQueue, ASixtyFifthSocketIsLeftUnwatched) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    std::vector<std::unique_ptr<ConnectedSocket>> sockets;
    for (int i = 0; i < 65; ++i) {
        sockets.push_back(std::make_unique<ConnectedSocket>(std::to_string(i), log, queue, listener));
        queue.Register(sockets.back()->socket.get());
    }
    ASSERT_EQ(queue.readSet().size(), VORN_KQUEUE_SET_SIZE);
    EXPECT_FALSE(inSet(queue.readSet(), sockets[64]->socket->handle()));
    for (auto& socket : sockets)
        socket->peerSends();
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(pollUntilLogged(queue, log, "R:" + std::to_string(i)));
    }
    queue.Poll();
    EXPECT_EQ(std::count(log.begin(), log.end(), "R:64"), 0);

    // Once a place is free, registering it again makes it watched.
    sockets[0].reset();
    queue.Register(sockets[64]->socket.get());
    ASSERT_TRUE(pollUntilLogged(queue, log, "R:64"));
}

TEST(VornKQueue, ACallbackMayDestroyASocketThatIsReadyInTheSamePass) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    ConnectedSocket first("first", log, queue, listener);
    ConnectedSocket second("second", log, queue, listener);
    queue.Register(first.socket.get());
    queue.Register(second.socket.get());
    first.socket->m_onReadable = [&] { second.socket.reset(); };
    first.peerSends();
    second.peerSends();
    ASSERT_TRUE(waitForEvents(first.socket->handle(), POLLIN));
    ASSERT_TRUE(waitForEvents(second.socket->handle(), POLLIN));
    EXPECT_TRUE(queue.Poll());
    EXPECT_EQ(log, Log{"R:first"});
    EXPECT_EQ(queue.readSet(), std::vector<int>{first.socket->handle()});
}

TEST(VornKQueue, AHandleClosedBehindItsBackIsDropped) {
    LoopbackListener listener;
    VornKQueue queue(0);
    Log log;
    ConnectedSocket connected("a", log, queue, listener);
    ConnectedSocket other("b", log, queue, listener);
    int stray = ::dup(connected.socket->handle());
    // Registered under a number that is then closed without the queue knowing.
    connected.socket->attach(stray, listener.address());
    connected.socket->setState(VORN_SOCKET_CONNECTED);
    queue.Register(connected.socket.get());
    queue.Register(other.socket.get());
    ::close(stray);
    other.peerSends();
    ASSERT_TRUE(waitForEvents(other.socket->handle(), POLLIN));
    EXPECT_TRUE(queue.Poll());
    EXPECT_EQ(log, Log{"R:b"});
    EXPECT_EQ(queue.readSet(), std::vector<int>{other.socket->handle()});
    connected.socket->attach(VornSocket::kInvalidSocket, listener.address());
}

// A program with many downloads goes past descriptor 1023, where select() would fail.
TEST(VornKQueue, DescriptorsAbove1023AreServed) {
    struct rlimit limit {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    struct rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    if (raised.rlim_cur < 2100)
        GTEST_SKIP() << "the descriptor limit cannot be raised";
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    {
        LoopbackListener listener;
        VornKQueue queue(1);
        Log log;
        LoopbackPair pair = makeLoopbackPair(listener);
        int high = ::fcntl(pair.client, F_DUPFD_CLOEXEC, 1500);
        ::close(pair.client);
        ASSERT_GE(high, 1500);
        LoggingSocket reader("reader", log, queue);
        reader.attach(high, listener.address());
        reader.setState(VORN_SOCKET_CONNECTED);
        queue.Register(&reader);

        int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address = listener.address();
        ::connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int highConnecting = ::fcntl(raw, F_DUPFD_CLOEXEC, 2000);
        ::close(raw);
        ASSERT_GE(highConnecting, 2000);
        LoggingSocket connecting("connecting", log, queue);
        connecting.attach(highConnecting, address);
        connecting.setState(VORN_SOCKET_CONNECTING);
        queue.Register(&connecting);
        int accepted = listener.accept();

        ASSERT_EQ(::send(pair.server, "x", 1, MSG_NOSIGNAL), 1);
        EXPECT_TRUE(pollUntilLogged(queue, log, "R:reader"));
        EXPECT_TRUE(pollUntilLogged(queue, log, "W:connecting"));
        ::close(pair.server);
        ::close(accepted);
    }
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(VornKqSocket, DrainEmptiesALiveConnectionAndNoticesAClosedOne) {
    LoopbackListener listener;
    VornKQueue queue(1);
    Log log;
    ConnectedSocket connected("a", log, queue, listener);
    std::string burst(100000, 'b');
    ASSERT_EQ(::send(connected.peer, burst.data(), burst.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(burst.size()));
    ASSERT_TRUE(waitForEvents(connected.socket->handle(), POLLIN));
    connected.socket->setLastActivity(1);
    EXPECT_TRUE(connected.socket->drain());
    EXPECT_GT(connected.socket->lastActivity(), 1u);
    EXPECT_FALSE(waitForEvents(connected.socket->handle(), POLLIN, std::chrono::milliseconds(0)));
    EXPECT_TRUE(connected.socket->drain());

    ::shutdown(connected.peer, SHUT_WR);
    ASSERT_TRUE(waitForEvents(connected.socket->handle(), POLLIN));
    EXPECT_FALSE(connected.socket->drain());
}

TEST(VornKqSocket, DrainOfAClosedSocketReportsItDead) {
    Log log;
    VornKQueue queue(1);
    LoggingSocket socket("a", log, queue);
    EXPECT_FALSE(socket.drain());
}

} // namespace
