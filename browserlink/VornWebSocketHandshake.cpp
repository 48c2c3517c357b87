#include "browserlink/VornWebSocketHandshake.h"

#include "base/VornHash.h"
#include "base/VornText.h"

#include <cctype>

namespace {

// A header line holds the name at its start; the value stops at ';' or ',' unless the whole line is meant.
bool headerValue(const std::string& line, const char* name, bool wholeLine, std::string& value) {
    size_t position = 0;
    if (!vornFindHeaderField(line, name, position, true))
        return false;
    value = vornHeaderValue(line, position, wholeLine);
    return true;
}

std::string sha1Base64(const std::string& text) {
    return vornBase64Encode(vornSha1(text));
}

} // namespace

void VornWebSocketHandshake::matchLine(const std::string& line) {
    std::string value;
    if (headerValue(line, "Sec-WebSocket-Key", false, value)) {
        if (!value.empty())
            m_acceptSource = value + GUID;
    } else if (headerValue(line, "Sec-WebSocket-Protocol", false, value)) {
        m_subprotocol = value == SUBPROTOCOL ? value : std::string();
    } else if (headerValue(line, "User-Agent", true, value)) {
        m_userAgent = value;
    } else if (headerValue(line, "Origin", true, value)) {
        // One web origin among several lines is enough to refuse.
        if (!isExtensionOrigin(value))
            m_webOrigin = true;
    }
}

bool VornWebSocketHandshake::acceptable() const {
    return !m_acceptSource.empty() && !m_subprotocol.empty() && !m_webOrigin;
}

std::string VornWebSocketHandshake::response() const {
    return std::string("HTTP/1.1 101 Switching Protocols\r\n"
                       "Upgrade: websocket\r\n"
                       "Connection: Upgrade\r\n"
                       "Sec-WebSocket-Accept: ") +
           sha1Base64(m_acceptSource) + "\r\nSec-WebSocket-Protocol: " + SUBPROTOCOL + "\r\n\r\n";
}

std::string VornWebSocketHandshake::acceptValue(const std::string& key) {
    return sha1Base64(key + GUID);
}

bool VornWebSocketHandshake::isExtensionOrigin(const std::string& origin) {
    // chrome-extension://, moz-extension://, safari-web-extension://, ms-browser-extension:// and
    // extension:// all name the scheme of an extension page; "null", http(s) and file pages do not.
    const std::string lower = vornToLower(origin);
    const size_t schemeEnd = lower.find("://");
    if (schemeEnd == std::string::npos || schemeEnd + 3 >= lower.size())
        return false;
    const std::string scheme = lower.substr(0, schemeEnd);
    const std::string suffix = "extension";
    if (scheme.size() < suffix.size() || scheme.compare(scheme.size() - suffix.size(), suffix.size(), suffix))
        return false;
    for (char c : scheme) {
        if (!std::islower(static_cast<unsigned char>(c)) && c != '-')
            return false;
    }
    return scheme.size() == suffix.size() || scheme[scheme.size() - suffix.size() - 1] == '-';
}
