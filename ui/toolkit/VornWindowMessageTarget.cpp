#include "ui/toolkit/VornWindowMessageTarget.h"

#include <QCoreApplication>

QEvent::Type VornMessageEvent::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

VornMessageEvent::VornMessageEvent(uint32_t messageId, std::string text)
    : QEvent(EventType()), m_messageId(messageId), m_text(std::move(text)) {}

VornWindowMessageTarget::VornWindowMessageTarget(QObject* receiver) : m_receiver(receiver) {}

VornWindowMessageTarget::~VornWindowMessageTarget() {
    Detach();
}

void VornWindowMessageTarget::post(uint32_t messageId, std::string text) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_receiver == nullptr) {
        return;
    }
    // Qt takes the event over; posting is safe from any thread.
    QCoreApplication::postEvent(m_receiver, new VornMessageEvent(messageId, std::move(text)));
}

void VornWindowMessageTarget::Detach() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_receiver = nullptr;
}
