// Feeds arbitrary bytes to one extension connection's reader: the handshake line scanner from a fresh
// connection, or the frame reader after a valid handshake, in reads of varying size.
#include "browserlink/VornWebSocketProtocol.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class QuietPeer : public VornWebSocketPeer {
public:
    bool sendAll(const std::string& bytes) override { return !bytes.empty() && m_sendWorks; }
    void deliver(std::string text) override {
        // The composed text always starts with the user agent line.
        if (text.rfind("User-Agent:", 0) != 0)
            __builtin_trap();
    }
    bool waiting() const override { return m_waiting; }

    bool m_sendWorks = true;
    bool m_waiting = false;
};

const char kRequest[] = "GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        "Sec-WebSocket-Protocol: vornextension.v1\r\n\r\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    QuietPeer peer;
    const uint8_t mode = data[0];
    const size_t piece = 1 + data[1] % 64 * 97;
    peer.m_waiting = mode & 2;
    peer.m_sendWorks = !(mode & 4);
    VornWebSocketProtocol protocol(peer);
    if (mode & 1) {
        protocol.receive(reinterpret_cast<const uint8_t*>(kRequest), sizeof kRequest - 1);
    }
    data += 2;
    size -= 2;
    while (size > 0 && !protocol.closed()) {
        const size_t room = protocol.receiveSpace();
        if (room == 0)
            __builtin_trap();
        size_t length = piece < room ? piece : room;
        length = length < size ? length : size;
        protocol.receive(data, length);
        if (protocol.state() < WEBSOCKET_STATE_NEW || protocol.state() > WEBSOCKET_STATE_FRAME)
            __builtin_trap();
        data += length;
        size -= length;
    }
    return 0;
}
