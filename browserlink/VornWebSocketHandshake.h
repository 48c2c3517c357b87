#pragma once

#include <string>

// The opening handshake of one extension connection: the header lines it cares about and the reply.
class VornWebSocketHandshake {
public:
    static constexpr const char* SUBPROTOCOL = "vornextension.v1";
    static constexpr const char* GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

    // Matches one request line against the headers the server reads; every other line is ignored.
    void matchLine(const std::string& line);
    // True when the reply may be sent: a key, our subprotocol, and no web page behind the request.
    bool acceptable() const;
    // The 101 reply for the key seen so far.
    std::string response() const;
    const std::string& userAgent() const { return m_userAgent; }
    const std::string& subprotocol() const { return m_subprotocol; }

    // The Sec-WebSocket-Accept value for a client key.
    static std::string acceptValue(const std::string& key);
    // Browsers send Origin on every WebSocket handshake; only extension pages may use the link.
    static bool isExtensionOrigin(const std::string& origin);

private:
    std::string m_acceptSource;
    std::string m_userAgent;
    std::string m_subprotocol;
    bool m_webOrigin = false;
};
