#include "base/VornThread.h"
#include "base/VornBaseLib.h"
#include "base/VornException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A thread whose body, stop and error handler are given by the test.
class ScriptedThread : public VornThread {
public:
    explicit ScriptedThread(std::function<void(ScriptedThread&)> body) : m_body(std::move(body)) {}
    ~ScriptedThread() override { waitUntilDone(); }

    void run() override {
        m_seenId = threadId();
        m_seenTid = static_cast<uint32_t>(gettid());
        m_cellThread = currentThread(false)->thread;
        m_body(*this);
        m_returned = true;
    }
    void onStop() override { m_stopAsked = true; }
    void onException(const std::string& text) override {
        m_exceptionText = text;
        m_exceptionOnOwnThread = static_cast<uint32_t>(gettid()) == threadId();
    }

    std::function<void(ScriptedThread&)> m_body;
    std::atomic<bool> m_stopAsked{false};
    std::atomic<bool> m_returned{false};
    uint32_t m_seenId = 0;
    uint32_t m_seenTid = 0;
    VornThread* m_cellThread = nullptr;
    std::string m_exceptionText;
    bool m_exceptionOnOwnThread = false;
};

TEST(VornThread, ANeverStartedThreadIsDoneAtOnce) {
    ScriptedThread thread([](ScriptedThread&) {});
    EXPECT_TRUE(thread.doneEvent().isSignalled());
    EXPECT_EQ(thread.runState(), VORN_THREAD_NEVER_STARTED);
    EXPECT_EQ(thread.threadId(), 0u);
    EXPECT_FALSE(thread.quit());
}

TEST(VornThread, RunsTheBodyOnItsOwnThreadAndFinishes) {
    ScriptedThread thread([](ScriptedThread&) {});
    ASSERT_TRUE(thread.start());
    thread.waitUntilDone();
    EXPECT_TRUE(thread.m_returned);
    EXPECT_EQ(thread.runState(), VORN_THREAD_FINISHED);
    EXPECT_NE(thread.m_seenId, 0u);
    EXPECT_EQ(thread.m_seenId, thread.m_seenTid);
    EXPECT_NE(thread.m_seenTid, static_cast<uint32_t>(gettid()));
    EXPECT_EQ(thread.m_cellThread, &thread);
    EXPECT_TRUE(thread.m_exceptionText.empty());
}

TEST(VornThread, IsStartedOnlyOnce) {
    ScriptedThread thread([](ScriptedThread&) {});
    ASSERT_TRUE(thread.start());
    EXPECT_FALSE(thread.start());
    thread.waitUntilDone();
    EXPECT_FALSE(thread.start());
}

// Its body uses nothing of the object, so only the base destructor waits for it.
std::atomic<bool> g_release{false};
std::atomic<bool> g_returned{false};
std::atomic<bool> g_entered{false};

class BareThread : public VornThread {
public:
    void run() override {
        g_entered = true;
        while (!g_release)
            std::this_thread::sleep_for(1ms);
        g_returned = true;
    }
    void onStop() override {}
    void onException(const std::string&) override {}
};

TEST(VornThread, DestructionBlocksUntilTheBodyReturned) {
    g_release = false;
    g_returned = false;
    g_entered = false;
    auto* thread = new BareThread;
    ASSERT_TRUE(thread->start());
    // The body must be under way: from the derived destructor on, a body yet to start has no run().
    while (!g_entered)
        std::this_thread::sleep_for(1ms);
    std::thread releaser([] {
        std::this_thread::sleep_for(50ms);
        g_release = true;
    });
    delete thread;
    EXPECT_TRUE(g_returned);
    releaser.join();
}

// Destroying the object right after start() must still wait for a thread that has not begun yet.
TEST(VornThread, DestructionRightAfterStartWaitsForTheBody) {
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> returned{false};
        {
            ScriptedThread thread([&](ScriptedThread&) {
                std::this_thread::sleep_for(1ms);
                returned = true;
            });
            ASSERT_TRUE(thread.start());
        }
        EXPECT_TRUE(returned) << "round " << round;
    }
}

TEST(VornThread, StopOnlyAsksTheBodyToEnd) {
    ScriptedThread thread([](ScriptedThread& self) {
        while (!self.m_stopAsked)
            std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(thread.start());
    EXPECT_FALSE(thread.doneEvent().wait(20ms));
    thread.stop();
    thread.waitUntilDone();
    EXPECT_TRUE(thread.m_returned);
}

TEST(VornThread, AnEscapingExceptionReachesOnExceptionWithItsText) {
    VornBaseLib lib;
    lib.initialise();
    std::string vornWhat = VornException(VornError(107, 0), "WAIT_FAILED", 1, "x").what();
    struct Case {
        const char* name;
        std::function<void(ScriptedThread&)> body;
        std::string text;
    } cases[] = {
        {"VornException", [](ScriptedThread&) { VORN_THROW(107, 0, "WAIT_FAILED"); }, vornWhat},
        {"std::exception", [](ScriptedThread&) { throw std::runtime_error("boom"); }, "boom"},
        {"anything else", [](ScriptedThread&) { throw 42; }, "Unknown exception."},
    };
    for (const Case& c : cases) {
        ScriptedThread thread(c.body);
        ASSERT_TRUE(thread.start());
        thread.waitUntilDone();
        EXPECT_EQ(thread.m_exceptionText, c.text) << c.name;
        EXPECT_TRUE(thread.m_exceptionOnOwnThread) << c.name;
        EXPECT_FALSE(thread.m_returned) << c.name;
        EXPECT_EQ(thread.runState(), VORN_THREAD_FINISHED) << c.name;
    }
}

TEST(VornThread, CurrentThreadWithoutCreateThrowsOnAPlainThread) {
    std::thread plain([] {
        try {
            VornThread::currentThread(false);
            ADD_FAILURE() << "no exception";
        } catch (VornException& e) {
            EXPECT_EQ(e.code(), 109);
            EXPECT_NE(std::string(e.sourceFile()).find("VornThread"), std::string::npos);
        }
        VornThreadCell* cell = VornThread::currentThread(true);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->thread, nullptr);
        EXPECT_EQ(VornThread::currentThread(false), cell);
    });
    plain.join();
}

// With no room for another thread, start() fails and leaves nothing to wait for.
TEST(VornThread, AThreadThatCannotBeCreatedDoesNotBlockDestruction) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Root is not held to the process limit, so the child gives up root first.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        struct rlimit none {};
        if (setrlimit(RLIMIT_NPROC, &none) != 0)
            _exit(11);
        int result = 0;
        {
            ScriptedThread thread([](ScriptedThread&) {});
            if (thread.start())
                result = 12;
            else if (!thread.doneEvent().isSignalled())
                result = 13;
        }
        _exit(result);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
