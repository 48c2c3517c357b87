#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A manual-reset event, created non-signalled: it stays signalled until reset, and every waiter wakes.
class VornEvent {
public:
    // Creation cannot fail here: the standard mutex and condition variable need no system object.
    VornEvent() = default;
    VornEvent(const VornEvent&) = delete;
    VornEvent& operator=(const VornEvent&) = delete;

    void signal();
    void reset();
    bool isSignalled() const;
    // Waits without a time limit; a failed wait throws code 107 with context "WAIT_FAILED".
    void wait() const;
    // False when the time ran out first.
    bool wait(std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    bool m_signalled = false;
};
