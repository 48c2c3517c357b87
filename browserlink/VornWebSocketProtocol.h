#pragma once

#include "browserlink/VornWebSocketHandshake.h"
#include "browserlink/VornWebSocketPeer.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Connection states of an extension connection.
constexpr int WEBSOCKET_STATE_NEW = 0;
constexpr int WEBSOCKET_STATE_HANDSHAKE = 1;
constexpr int WEBSOCKET_STATE_OPEN = 2;
constexpr int WEBSOCKET_STATE_FRAME = 3;

// The server side of one extension connection without its socket: the handshake line scanner and the
// frame reader. Bytes go in; replies go out through the peer; a violation ends it with a reason text.
class VornWebSocketProtocol {
public:
    static constexpr size_t RECEIVE_CAPACITY = 32768;
    static constexpr size_t MESSAGE_CAPACITY = 0x1F000;
    static constexpr size_t MAX_LINE = 32767;
    static constexpr size_t MAX_SENT_TEXT = 120;
    // The answer to every text message, sent once the window has it: whether it names a usable download.
    static constexpr const char* ACKNOWLEDGE_ACCEPTED = "accepted";
    static constexpr const char* ACKNOWLEDGE_REFUSED = "refused";

    explicit VornWebSocketProtocol(VornWebSocketPeer& peer);

    // Room left in the receive buffer for the next read.
    size_t receiveSpace() const;
    // Adds bytes read from the socket and processes everything buffered; false once the connection has
    // to close (see closeReason).
    bool receive(const uint8_t* data, size_t length);
    // Processes what is buffered (a read that would block still continues with it).
    bool process();
    // Sends a short text frame; false for a text of 120 bytes or more or when the send fails.
    bool sendText(const std::string& text);

    int state() const { return m_state; }
    bool closed() const { return !m_closeReason.empty(); }
    const std::string& closeReason() const { return m_closeReason; }
    const std::string& userAgent() const { return m_userAgent; }

private:
    void scanHandshake();
    void handleLine(const std::string& line);
    void finishHandshake();
    bool parseFrame();
    bool readFrameHeader();
    bool readExtendedLength();
    void handleFrame();
    void handleText();
    void close(const char* reason);
    size_t buffered() const { return m_receive.size() - m_head; }
    void consume(size_t count) { m_head += count; }
    void compact();

    VornWebSocketPeer& m_peer;
    VornWebSocketHandshake m_handshake;
    int m_state = WEBSOCKET_STATE_NEW;
    // Bytes read and not yet consumed start at m_head.
    std::string m_receive;
    size_t m_head = 0;
    // The unfinished handshake line; it counts against the receive buffer's capacity.
    std::string m_line;
    std::string m_message;
    uint32_t m_payloadLength = 0;
    int m_extendedPending = 0;
    bool m_ping = false;
    bool m_pong = false;
    bool m_masked = false;
    bool m_maskRead = false;
    uint8_t m_mask[4] = {0, 0, 0, 0};
    std::string m_userAgent;
    std::string m_closeReason;
};
