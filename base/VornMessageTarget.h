#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

// Window messages: engines and the browser-link server reach windows only by posting to a target.
constexpr uint32_t WM_USER = 0x400;
constexpr uint32_t WM_ENGINE_PROGRESS = 0x40A;
constexpr uint32_t WM_ENGINE_PROGRESS_AUDIO = 0x40B;
constexpr uint32_t WM_ENGINE_EVENT = 0x40C;
constexpr uint32_t WM_ENGINE_EVENT_AUDIO = 0x40D;
constexpr uint32_t WM_BROWSER_MESSAGE = 0x40E;
constexpr uint32_t WM_TRAY_NOTIFY = 0x40F;
constexpr uint32_t WM_SHOW_MAIN = 0x410;

struct VornMessage {
    uint32_t id = 0;
    std::string text;
};

// Receives posted messages from any thread. A post takes the text over and never blocks the poster.
class VornMessageTarget {
public:
    virtual ~VornMessageTarget() = default;
    virtual void post(uint32_t messageId, std::string text) = 0;
};

// A message target over a queue of its own, for front ends without a window system and for tests.
class VornMessageQueue : public VornMessageTarget {
public:
    void post(uint32_t messageId, std::string text) override;

    // Takes the oldest message, waiting up to the timeout for one to arrive.
    std::optional<VornMessage> wait(std::chrono::milliseconds timeout);
    std::optional<VornMessage> tryTake();
    size_t size() const;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::deque<VornMessage> m_messages;
};
