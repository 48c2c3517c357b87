#include "protocols/VornHttpRequestText.h"

#include "base/VornText.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

const char* const kCrlf = "\r\n";

void appendLine(std::string& text, const std::string& line) {
    text += line;
    text += kCrlf;
}

} // namespace

std::string VornComposeHttpRequest(const VornHttpRequestParts& parts) {
    std::string text;
    const std::string suffix = parts.rangeInTarget ? "&range=" + parts.range : std::string();
    appendLine(text, parts.method + " " + parts.target + suffix + " HTTP/1.1");
    appendLine(text, "Host: " + parts.hostWithPort);
    appendLine(text, "User-Agent: " + parts.userAgent);
    for (const std::string& line : parts.headerLines) {
        appendLine(text, line);
    }
    if (!parts.range.empty() && !parts.rangeInTarget) {
        appendLine(text, "Range: bytes=" + parts.range);
    }
    if (!parts.proxyAuthLine.empty()) {
        appendLine(text, parts.proxyAuthLine);
    }
    if (!parts.serverAuthLine.empty()) {
        appendLine(text, parts.serverAuthLine);
    }
    if (parts.viaHttpProxy) {
        appendLine(text, "Proxy-Connection: keep-alive");
    }
    text += kCrlf;
    text += parts.body;
    return text;
}

std::string VornComposeProxyConnect(const std::string& hostAndPort, const std::string& userAgent,
                                    const std::string& proxyAuthLine) {
    std::string text;
    appendLine(text, "CONNECT " + hostAndPort + " HTTP/1.1");
    appendLine(text, "Host: " + hostAndPort);
    appendLine(text, "User-Agent: " + userAgent);
    if (!proxyAuthLine.empty()) {
        appendLine(text, proxyAuthLine);
    }
    appendLine(text, "Proxy-Connection: keep-alive");
    text += kCrlf;
    return text;
}

bool VornParseStatusLine(const std::string& line, std::string& version, int32_t& code) {
    std::string rest = line;
    version = vornSplitFirst(rest, " ");
    std::string token = vornSplitFirst(rest, " ");
    if (token.empty() || !(token[0] >= '0' && token[0] <= '9')) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(token.c_str(), &end, 10);
    if (errno == ERANGE || value > INT32_MAX) {
        return false;
    }
    code = static_cast<int32_t>(value);
    return true;
}
