#include "browserlink/VornWebSocketProtocol.h"

#include "browserlink/VornCaptureParser.h"

namespace {

constexpr const char* DEFAULT_USER_AGENT = "Mozilla / 5.0 (Windows NT 10.0; Win64; x64) AppleWebKit / 537.36 "
                                           "(KHTML, like Gecko) Chrome / 73.0.3683.86 Safari / 537.36";
constexpr uint8_t OPCODE_TEXT = 1;
constexpr uint8_t OPCODE_CLOSE = 8;
constexpr uint8_t OPCODE_PING = 9;
constexpr uint8_t OPCODE_PONG = 10;

} // namespace

VornWebSocketProtocol::VornWebSocketProtocol(VornWebSocketPeer& peer) : m_peer(peer) {
    m_receive.reserve(RECEIVE_CAPACITY);
    m_message.reserve(MESSAGE_CAPACITY);
}

size_t VornWebSocketProtocol::receiveSpace() const {
    const size_t used = buffered() + m_line.size();
    return used >= RECEIVE_CAPACITY ? 0 : RECEIVE_CAPACITY - used;
}

bool VornWebSocketProtocol::receive(const uint8_t* data, size_t length) {
    if (closed())
        return false;
    compact();
    m_receive.append(reinterpret_cast<const char*>(data), length < receiveSpace() ? length : receiveSpace());
    return process();
}

bool VornWebSocketProtocol::process() {
    if (m_state <= WEBSOCKET_STATE_HANDSHAKE)
        scanHandshake();
    while (!closed() && m_state >= WEBSOCKET_STATE_OPEN && buffered() > 0 && parseFrame()) {
    }
    compact();
    return !closed();
}

void VornWebSocketProtocol::compact() {
    m_receive.erase(0, m_head);
    m_head = 0;
}

void VornWebSocketProtocol::close(const char* reason) {
    if (m_closeReason.empty())
        m_closeReason = reason;
}

void VornWebSocketProtocol::scanHandshake() {
    while (!closed() && m_state <= WEBSOCKET_STATE_HANDSHAKE && buffered() > 0) {
        const uint8_t byte = static_cast<uint8_t>(m_receive[m_head]);
        consume(1);
        if (byte == 0xFF) {
            // Nothing after 0xFF belongs to a request.
            consume(buffered());
            return;
        }
        if (byte == '\n') {
            if (!m_line.empty() && m_line.back() == '\r') {
                m_line.pop_back();
                std::string line;
                line.swap(m_line);
                handleLine(line);
            }
            continue;
        }
        m_line += static_cast<char>(byte);
        if (m_line.size() >= MAX_LINE)
            close("Client Sent Bad Request.Buffer Exploit Detected !");
    }
}

void VornWebSocketProtocol::handleLine(const std::string& line) {
    if (line.empty()) {
        finishHandshake();
        return;
    }
    if (m_state == WEBSOCKET_STATE_NEW) {
        m_state = WEBSOCKET_STATE_HANDSHAKE;
        m_message.clear();
    }
    m_handshake.matchLine(line);
}

void VornWebSocketProtocol::finishHandshake() {
    if (!m_handshake.acceptable() || !m_peer.sendAll(m_handshake.response())) {
        close("HandShake Failed.");
        return;
    }
    m_userAgent = m_handshake.userAgent();
    m_state = WEBSOCKET_STATE_OPEN;
    m_payloadLength = 0;
    m_message.clear();
    // Bytes after the request stay buffered: they are the client's first frames.
    if (m_peer.waiting())
        sendText("waiting");
}

bool VornWebSocketProtocol::parseFrame() {
    if (m_state == WEBSOCKET_STATE_OPEN && !readFrameHeader())
        return false;
    if (m_extendedPending > 0 && !readExtendedLength())
        return false;
    if (m_masked && !m_maskRead) {
        if (buffered() < 4)
            return false;
        for (int i = 0; i < 4; ++i)
            m_mask[i] = static_cast<uint8_t>(m_receive[m_head + i]);
        consume(4);
        m_maskRead = true;
    }
    const size_t wanted = m_payloadLength - m_message.size();
    const size_t taken = buffered() < wanted ? buffered() : wanted;
    m_message.append(m_receive, m_head, taken);
    consume(taken);
    if (m_message.size() < m_payloadLength)
        return false;
    handleFrame();
    return !closed();
}

bool VornWebSocketProtocol::readFrameHeader() {
    if (buffered() < 2)
        return false;
    m_state = WEBSOCKET_STATE_FRAME;
    m_maskRead = m_ping = m_pong = false;
    const uint8_t first = static_cast<uint8_t>(m_receive[m_head]);
    const uint8_t second = static_cast<uint8_t>(m_receive[m_head + 1]);
    consume(2);
    const uint8_t opcode = first & 0x0F;
    if (!(first & 0x80)) {
        close("Invalid Message Received From Client.");
        return false;
    }
    if (opcode == OPCODE_CLOSE) {
        close("Client is Closing the Connection.");
        return false;
    }
    m_ping = opcode == OPCODE_PING;
    m_pong = opcode == OPCODE_PONG;
    if (opcode != OPCODE_TEXT && !m_ping && !m_pong) {
        close("Unsupported Frame Type Received From Client.");
        return false;
    }
    m_masked = (second & 0x80) != 0;
    const uint8_t length = second & 0x7F;
    if ((m_ping || m_pong) && length > 125) {
        close("Ping/Pong with Too long Data_Bytes.");
        return false;
    }
    m_payloadLength = length <= 125 ? length : 0;
    m_extendedPending = length == 126 ? 2 : length == 127 ? 8 : 0;
    return true;
}

bool VornWebSocketProtocol::readExtendedLength() {
    if (m_extendedPending == 8) {
        close("Too-Long Frame Sended by Client.");
        return false;
    }
    if (buffered() < 2)
        return false;
    m_payloadLength = (static_cast<uint32_t>(static_cast<uint8_t>(m_receive[m_head])) << 8) |
                      static_cast<uint8_t>(m_receive[m_head + 1]);
    consume(2);
    m_extendedPending = 0;
    return true;
}

void VornWebSocketProtocol::handleFrame() {
    if (m_masked) {
        for (size_t i = 0; i < m_message.size(); ++i)
            m_message[i] = static_cast<char>(m_message[i] ^ m_mask[i % 4]);
    }
    if (m_ping) {
        std::string pong("\x8A", 1);
        pong += static_cast<char>(m_message.size());
        pong += m_message;
        if (!m_peer.sendAll(pong)) {
            close("Error on Sending Pong.");
            return;
        }
    } else if (!m_pong) {
        handleText();
    }
    m_state = WEBSOCKET_STATE_OPEN;
    m_payloadLength = 0;
    m_message.clear();
    if (m_peer.waiting())
        sendText("waiting");
}

void VornWebSocketProtocol::handleText() {
    if (m_userAgent.empty())
        m_userAgent = DEFAULT_USER_AGENT;
    std::string composed = "User-Agent:" + m_userAgent + "\r\n" + m_message;
    const bool usable = VornCaptureParser::holdsDownloadUrl(composed);
    m_peer.deliver(std::move(composed));
    // The extension cancels the browser's own download only on "accepted"; a lost answer leaves it running.
    sendText(usable ? ACKNOWLEDGE_ACCEPTED : ACKNOWLEDGE_REFUSED);
}

bool VornWebSocketProtocol::sendText(const std::string& text) {
    if (text.size() >= MAX_SENT_TEXT)
        return false;
    std::string frame("\x81", 1);
    frame += static_cast<char>(text.size());
    frame += text;
    return m_peer.sendAll(frame);
}
