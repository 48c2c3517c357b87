#include "base/VornEvent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(VornEvent, StartsClearAndTimesOut) {
    VornEvent event;
    EXPECT_FALSE(event.isSignalled());
    EXPECT_FALSE(event.wait(10ms));
}

TEST(VornEvent, StaysSignalledUntilReset) {
    VornEvent event;
    event.signal();
    EXPECT_TRUE(event.wait(0ms));
    EXPECT_TRUE(event.wait(0ms));
    event.wait();
    event.reset();
    EXPECT_FALSE(event.isSignalled());
    EXPECT_FALSE(event.wait(0ms));
}

TEST(VornEvent, OneSignalWakesEveryWaiter) {
    VornEvent event;
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            event.wait();
            ++woken;
        });
    event.signal();
    for (std::thread& waiter : waiters)
        waiter.join();
    EXPECT_EQ(woken, 4);
}

// The owner of an event may destroy it as soon as its wait returns, while the signaller is still leaving.
TEST(VornEvent, AWaiterMayDestroyTheEventRightAfterItsWait) {
    for (int round = 0; round < 200; ++round) {
        auto* event = new VornEvent;
        std::thread signaller([event] { event->signal(); });
        event->wait();
        delete event;
        signaller.join();
    }
}

} // namespace
