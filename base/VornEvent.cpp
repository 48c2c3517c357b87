#include "base/VornEvent.h"

#include "base/VornException.h"

#include <system_error>

void VornEvent::signal() {
    // Waking under the lock lets a waiter destroy the event as soon as its wait returns.
    std::lock_guard<std::mutex> hold(m_lock);
    m_signalled = true;
    m_changed.notify_all();
}

void VornEvent::reset() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_signalled = false;
}

bool VornEvent::isSignalled() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_signalled;
}

void VornEvent::wait() const {
    try {
        std::unique_lock<std::mutex> hold(m_lock);
        m_changed.wait(hold, [this] { return m_signalled; });
    } catch (const std::system_error& e) {
        VORN_THROW(107, e.code().value(), "WAIT_FAILED");
    }
}

bool VornEvent::wait(std::chrono::milliseconds timeout) const {
    try {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, timeout, [this] { return m_signalled; });
    } catch (const std::system_error& e) {
        VORN_THROW(107, e.code().value(), "WAIT_FAILED");
    }
}
