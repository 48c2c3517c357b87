#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Everything one HTTP request is composed from, gathered by the connection from its URL, the engine's
// record copy and its proxy settings.
struct VornHttpRequestParts {
    std::string method = "GET";
    // Path and query, or the full URL when the request goes to an HTTP proxy in plain text.
    std::string target;
    std::string hostWithPort;
    std::string userAgent;
    std::vector<std::string> headerLines;
    std::string range;
    // An audio and video pair puts the range into the URL instead of a Range line.
    bool rangeInTarget = false;
    std::string proxyAuthLine;
    std::string serverAuthLine;
    bool viaHttpProxy = false;
    std::string body;
};

// The bytes of one request, in the fixed order servers and the log see them.
std::string VornComposeHttpRequest(const VornHttpRequestParts& parts);

// The CONNECT that opens a tunnel through an HTTP proxy; the host always carries its port.
std::string VornComposeProxyConnect(const std::string& hostAndPort, const std::string& userAgent,
                                    const std::string& proxyAuthLine);

// The status line split into version and code; false when the code is not a number in range.
bool VornParseStatusLine(const std::string& line, std::string& version, int32_t& code);
