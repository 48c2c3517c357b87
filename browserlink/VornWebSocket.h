#pragma once

#include "base/VornSocket.h"
#include "browserlink/VornWebSocketPeer.h"
#include "browserlink/VornWebSocketProtocol.h"

#include <cstdint>
#include <string>
#include <vector>

class VornWebSocketServer;

// One accepted extension connection: its socket and the protocol reader behind it.
class VornWebSocket : public VornSocket, private VornWebSocketPeer {
public:
    // A connection in the handshake or inside a frame is dropped after this long without activity.
    static constexpr uint64_t HALF_OPEN_MS = 8000;

    explicit VornWebSocket(VornWebSocketServer& server);

    // Reads what the socket has and processes it. On failure closeReason() tells why and the server
    // removes the connection.
    void onReadable();
    // The readiness loop saw an error or hang-up on the socket.
    void onSocketError(const std::string& text);
    bool isIdle() const override;
    bool isIdleAt(uint64_t nowMs) const;
    // A short text frame ("waiting", "nowaiting"); false when it could not be sent.
    bool sendText(const std::string& text) { return m_protocol.sendText(text); }

    int connectionState() const { return m_protocol.state(); }
    bool failed() const { return !m_closeReason.empty(); }
    const std::string& closeReason() const { return m_closeReason; }

private:
    bool sendAll(const std::string& bytes) override;
    void deliver(std::string composedText) override;
    bool waiting() const override;
    // Sound without consuming input: a peer that has closed or failed cannot take a reply.
    bool alive() const;

    VornWebSocketServer& m_server;
    VornWebSocketProtocol m_protocol;
    std::vector<uint8_t> m_scratch;
    std::string m_closeReason;
};
