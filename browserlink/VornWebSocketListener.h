#pragma once

#include "base/VornSocket.h"

#include <cstdint>

class VornWebSocketServer;

// The browser link's listening socket on 127.0.0.1.
class VornWebSocketListener : public VornSocket {
public:
    static constexpr uint16_t DEFAULT_PORT = 10007;
    static constexpr int BACKLOG = 5;

    VornWebSocketListener(VornWebSocketServer& server, uint16_t port);

    // Binds and listens; false (with the socket closed) when the port cannot be had. There is no retry
    // and no other port.
    bool open();
    // Accepts one waiting connection and hands it to the server when it comes from 127.0.0.1.
    void onReadable();
    // The port actually bound (the constructor's, or the one the system chose for port 0).
    uint16_t boundPort() const;

private:
    VornWebSocketServer& m_server;
    uint16_t m_port;
};
