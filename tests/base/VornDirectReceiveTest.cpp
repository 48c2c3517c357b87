#include "base/VornDirectReceive.h"
#include "base/VornFileWindows.h"
#include "base/VornText.h"
#include "tests/support/FullDisk.h"
#include "tests/support/LoopbackListener.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

std::string randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// A loopback TCP connection: the receiving end is non-blocking like an engine connection, the sending
// end is the test's server; and a file opened for writing the way a segment file is.
class DirectReceiveFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_receiver = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = m_listener.address();
        ASSERT_EQ(::connect(m_receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        m_sender = m_listener.accept();
        ASSERT_GE(m_sender, 0);
        ::fcntl(m_receiver, F_SETFL, ::fcntl(m_receiver, F_GETFL) | O_NONBLOCK);
        m_file.open(vornUtf8ToWide(path().string()), VORN_FILE_WRITE | VORN_FILE_CREATE);
    }
    void TearDown() override {
        if (m_sender >= 0)
            ::close(m_sender);
        ::close(m_receiver);
    }

    std::filesystem::path path() const { return m_dir / "seg.x0"; }

    // False when the receiver went away first.
    bool sendAll(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(m_sender, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Moves until the file holds the wanted count or the socket stops delivering.
    VornDirectReceive::Result moveUntil(size_t wanted, size_t& total, size_t limit = 1 << 20) {
        VornDirectReceive::Result result = VornDirectReceive::DIRECT_PENDING;
        while (total < wanted) {
            if (waitForEvents(m_receiver, POLLIN) == 0)
                return VornDirectReceive::DIRECT_PENDING;
            size_t moved = 0;
            result = m_direct.move(m_receiver, m_file, std::min(limit, wanted - total), moved);
            total += moved;
            if (result != VornDirectReceive::DIRECT_MOVED)
                return result;
        }
        return result;
    }

    TempDir m_dir;
    LoopbackListener m_listener;
    int m_receiver = -1;
    int m_sender = -1;
    VornFileWindows m_file;
    VornDirectReceive m_direct;
};

TEST_F(DirectReceiveFixture, BytesLandAfterOrdinaryWritesAndThePositionFollows) {
    const std::string body = randomBytes(3 * 1024 * 1024 + 17, 1);
    m_file.write("head", 4);
    bool sent = false;
    std::thread server([&] { sent = sendAll(body); });
    size_t total = 0;
    EXPECT_EQ(moveUntil(body.size(), total), VornDirectReceive::DIRECT_MOVED);
    server.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(total, body.size());
    EXPECT_EQ(m_file.position(), 4 + body.size());
    m_file.write("tail", 4);
    m_file.close();
    EXPECT_TRUE(readWholeFile(path()) == "head" + body + "tail");
}

TEST_F(DirectReceiveFixture, TakesNoMoreThanTheLimitAndLeavesTheRestOnTheSocket) {
    const std::string body = randomBytes(1000, 2);
    ASSERT_TRUE(sendAll(body));
    ASSERT_NE(waitForEvents(m_receiver, POLLIN), 0);
    size_t moved = 0;
    ASSERT_EQ(m_direct.move(m_receiver, m_file, 100, moved), VornDirectReceive::DIRECT_MOVED);
    EXPECT_EQ(moved, 100u);
    // The next bytes are still the socket's: the ones of the following range.
    char next[900];
    size_t got = 0;
    while (got < sizeof next && waitForEvents(m_receiver, POLLIN) != 0) {
        ssize_t n = ::recv(m_receiver, next + got, sizeof next - got, 0);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(next, got), body.substr(100));
    m_file.close();
    EXPECT_EQ(readWholeFile(path()), body.substr(0, 100));
}

TEST_F(DirectReceiveFixture, QuietClosedAndResetSocketsAreToldApart) {
    size_t moved = 7;
    EXPECT_EQ(m_direct.move(m_receiver, m_file, 4096, moved), VornDirectReceive::DIRECT_PENDING);
    EXPECT_EQ(moved, 0u);
    // A reset: the peer closes with unread data and lingering off.
    linger abort{1, 0};
    ASSERT_EQ(::setsockopt(m_sender, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    ::close(m_sender);
    m_sender = -1;
    ASSERT_NE(waitForEvents(m_receiver, POLLIN), 0);
    EXPECT_EQ(m_direct.move(m_receiver, m_file, 4096, moved), VornDirectReceive::DIRECT_SOCKET_ERROR);
}

TEST_F(DirectReceiveFixture, AnOrderlyCloseEndsAfterTheLastByte) {
    ASSERT_TRUE(sendAll("last bytes"));
    ::shutdown(m_sender, SHUT_WR);
    size_t total = 0;
    EXPECT_EQ(moveUntil(1000, total), VornDirectReceive::DIRECT_CLOSED);
    EXPECT_EQ(total, 10u);
}

TEST_F(DirectReceiveFixture, NothingIsTakenWithoutALimitOrAnOpenFile) {
    ASSERT_TRUE(sendAll("abc"));
    ASSERT_NE(waitForEvents(m_receiver, POLLIN), 0);
    size_t moved = 5;
    EXPECT_EQ(m_direct.move(m_receiver, m_file, 0, moved), VornDirectReceive::DIRECT_UNSUPPORTED);
    m_file.close();
    EXPECT_EQ(m_direct.move(m_receiver, m_file, 100, moved), VornDirectReceive::DIRECT_UNSUPPORTED);
    EXPECT_EQ(moved, 0u);
    char bytes[3];
    EXPECT_EQ(::recv(m_receiver, bytes, 3, 0), 3);
}

// A file the system cannot splice into (an append-mode descriptor refuses, like some file systems): the
// bytes already taken from the socket still reach the file, and later moves leave the socket to the caller.
TEST_F(DirectReceiveFixture, AFileThatRefusesSplicedWritesStillGetsTheBytesTaken) {
    ASSERT_EQ(::fcntl(m_file.handle(), F_SETFL, ::fcntl(m_file.handle(), F_GETFL) | O_APPEND), 0);
    ASSERT_TRUE(sendAll("first piece"));
    size_t total = 0;
    EXPECT_EQ(moveUntil(11, total), VornDirectReceive::DIRECT_MOVED);
    EXPECT_EQ(total, 11u);
    ASSERT_TRUE(sendAll("second"));
    ASSERT_NE(waitForEvents(m_receiver, POLLIN), 0);
    size_t moved = 9;
    EXPECT_EQ(m_direct.move(m_receiver, m_file, 100, moved), VornDirectReceive::DIRECT_UNSUPPORTED);
    EXPECT_EQ(moved, 0u);
    char rest[6];
    EXPECT_EQ(::recv(m_receiver, rest, sizeof rest, 0), 6);
    m_file.close();
    EXPECT_EQ(readWholeFile(path()), "first piece");
}

// A full disk, made with the file-size limit: what reached the file is reported and is exactly the start of
// what was sent; after room is made the next move writes on at the file's end.
TEST_F(DirectReceiveFixture, AFullDiskReportsWhatReachedTheFile) {
    const std::string body = randomBytes(600000, 3);
    std::thread server([&] { sendAll(body); });
    FullDisk disk(200000);
    ASSERT_TRUE(disk.active());
    size_t total = 0;
    VornDirectReceive::Result result = moveUntil(body.size(), total);
    disk.lift();
    EXPECT_EQ(result, VornDirectReceive::DIRECT_FILE_ERROR);
    EXPECT_EQ(total, 200000u);
    EXPECT_EQ(m_file.position(), total);
    size_t more = 0;
    EXPECT_EQ(moveUntil(1000, more), VornDirectReceive::DIRECT_MOVED);
    EXPECT_EQ(more, 1000u);
    // The server's remaining bytes are not wanted: closing the receiver ends its sending.
    ::close(m_receiver);
    m_receiver = ::socket(AF_INET, SOCK_STREAM, 0);
    server.join();
    m_file.close();
    const std::string written = readWholeFile(path());
    ASSERT_EQ(written.size(), 201000u);
    EXPECT_TRUE(written.substr(0, 200000) == body.substr(0, 200000));
}

} // namespace
