#pragma once

#include "base/VornMessageTarget.h"

#include <QEvent>

#include <memory>
#include <mutex>
#include <string>

class QObject;

// A posted window message as a Qt event: it owns its text, so an event Qt discards (its receiver was
// deleted first) frees the text with it.
class VornMessageEvent final : public QEvent {
public:
    static QEvent::Type EventType();

    VornMessageEvent(uint32_t messageId, std::string text);
    uint32_t MessageId() const { return m_messageId; }
    const std::string& Text() const { return m_text; }

private:
    uint32_t m_messageId;
    std::string m_text;
};

// The message target of one window: engines and the browser link post to it from their threads, and it
// hands each post to the window's event queue. Once the window detaches (it is being deleted) posts are
// dropped; the lock makes a post either reach Qt's queue before the window's destructor removes the
// window's pending events, or see no window at all.
class VornWindowMessageTarget final : public VornMessageTarget {
public:
    explicit VornWindowMessageTarget(QObject* receiver);
    ~VornWindowMessageTarget() override;
    VornWindowMessageTarget(const VornWindowMessageTarget&) = delete;
    VornWindowMessageTarget& operator=(const VornWindowMessageTarget&) = delete;

    void post(uint32_t messageId, std::string text) override;
    // Called by the receiver on its own thread before it goes away.
    void Detach();

private:
    std::mutex m_lock;
    QObject* m_receiver;
};
