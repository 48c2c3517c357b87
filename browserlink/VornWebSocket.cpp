#include "browserlink/VornWebSocket.h"

#include "base/VornClock.h"
#include "browserlink/VornWebSocketServer.h"

#include <cerrno>
#include <sys/socket.h>

VornWebSocket::VornWebSocket(VornWebSocketServer& server)
    : m_server(server), m_protocol(*this), m_scratch(VornWebSocketProtocol::RECEIVE_CAPACITY) {}

void VornWebSocket::onReadable() {
    if (failed())
        return;
    const size_t space = m_protocol.receiveSpace();
    const ssize_t count = space > 0 ? ::recv(m_socket, m_scratch.data(), space, 0) : -1;
    const int error = space > 0 ? errno : EAGAIN;
    m_lastActivity = vornNowMs();
    bool alive;
    if (count > 0)
        alive = m_protocol.receive(m_scratch.data(), static_cast<size_t>(count));
    else if (count < 0 && vornIsInProgressError(error))
        alive = m_protocol.process();
    else {
        m_closeReason = "Error on Reading from WebSocket";
        return;
    }
    if (!alive)
        m_closeReason = m_protocol.closeReason();
}

void VornWebSocket::onSocketError(const std::string& text) {
    if (!failed())
        m_closeReason = text;
}

bool VornWebSocket::isIdle() const {
    return isIdleAt(vornNowMs());
}

bool VornWebSocket::isIdleAt(uint64_t nowMs) const {
    return m_protocol.state() != WEBSOCKET_STATE_OPEN && hasSocket() && m_lastActivity != 0 &&
           nowMs > m_lastActivity && nowMs - m_lastActivity > HALF_OPEN_MS;
}

bool VornWebSocket::alive() const {
    uint8_t byte;
    const ssize_t count = ::recv(m_socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return count > 0 || (count < 0 && vornIsInProgressError(errno));
}

bool VornWebSocket::sendAll(const std::string& bytes) {
    if (!hasSocket() || !alive())
        return false;
    int error = 0;
    return send(bytes.data(), bytes.size(), error) == static_cast<ssize_t>(bytes.size());
}

void VornWebSocket::deliver(std::string composedText) {
    m_server.deliver(std::move(composedText));
}

bool VornWebSocket::waiting() const {
    return m_server.waiting();
}
