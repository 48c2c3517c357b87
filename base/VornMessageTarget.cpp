#include "base/VornMessageTarget.h"

void VornMessageQueue::post(uint32_t messageId, std::string text) {
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        wasEmpty = m_messages.empty();
        m_messages.push_back(VornMessage{messageId, std::move(text)});
    }
    // A reader waits only on an empty queue: posts behind others wake nobody.
    if (wasEmpty)
        m_arrived.notify_all();
}

std::optional<VornMessage> VornMessageQueue::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_arrived.wait_for(guard, timeout, [this] { return !m_messages.empty(); }))
        return std::nullopt;
    VornMessage message = std::move(m_messages.front());
    m_messages.pop_front();
    return message;
}

std::optional<VornMessage> VornMessageQueue::tryTake() {
    return wait(std::chrono::milliseconds(0));
}

size_t VornMessageQueue::size() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_messages.size();
}
