#pragma once

#include <string>

// What a WebSocket connection's protocol reader needs from the socket and the server around it.
class VornWebSocketPeer {
public:
    virtual ~VornWebSocketPeer() = default;
    // Sends the bytes in one call after checking the connection is still alive; false when it is not
    // or when the send did not take every byte.
    virtual bool sendAll(const std::string& bytes) = 0;
    // Hands a complete text message, already prefixed with the user agent, to the main window.
    virtual void deliver(std::string composedText) = 0;
    // The server's waiting flag.
    virtual bool waiting() const = 0;
};
