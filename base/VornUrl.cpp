#include "base/VornUrl.h"

#include "base/VornPunyCode.h"
#include "base/VornText.h"

#include <algorithm>
#include <cctype>

namespace {

uint16_t defaultPort(int32_t kind) {
    switch (kind) {
    case URL_KIND_HTTP:
        return 80;
    case URL_KIND_HTTPS:
        return 443;
    case URL_KIND_FTP:
        return 21;
    default:
        return 0;
    }
}

int32_t kindOf(const std::string& scheme) {
    if (scheme == "ftp") {
        return URL_KIND_FTP;
    }
    if (scheme == "http") {
        return URL_KIND_HTTP;
    }
    return scheme == "https" ? URL_KIND_HTTPS : URL_KIND_UNSUPPORTED;
}

bool allDigits(const std::string& text) {
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

uint16_t portOrZero(unsigned long value) {
    return value >= 1 && value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

bool startsWithAny(const std::string& text, std::initializer_list<const char*> prefixes) {
    for (const char* prefix : prefixes) {
        if (vornStartsWith(text, prefix)) {
            return true;
        }
    }
    return false;
}

std::string convertHost(const std::string& written) {
    return vornPercentEncode(VornPunyCode::toAscii(vornPercentDecode(written)), true);
}

} // namespace

VornUrl::VornUrl(const std::string& text) {
    assign(text);
}

VornUrl& VornUrl::operator=(const std::string& text) {
    assign(text);
    return *this;
}

void VornUrl::reset() {
    *this = VornUrl();
}

void VornUrl::assign(const std::string& text) {
    reset();
    parse(vornTrim(text));
}

std::string VornUrl::repair(const std::string& given) {
    std::string text = vornReplaceAll(given, "&lt;", "<");
    text = vornReplaceAll(text, "&gt;", ">");
    text = vornReplaceAll(text, "&amp;", "&");
    text = vornReplaceAll(text, "&quot;", "\"");
    const std::string upper = vornToUpper(text);
    if (startsWithAny(upper, {"HTTP:///", "HTTPS:///", "FTP:///"})) {
        return text.erase(text.find("///"), 1);
    }
    if (startsWithAny(upper, {"HTTP://", "HTTPS://", "FTP://"})) {
        return text;
    }
    if (vornStartsWith(text, "///")) {
        return "http:" + text.substr(1);
    }
    if (vornStartsWith(text, "//")) {
        return "http:" + text;
    }
    if (vornStartsWith(text, ":///")) {
        return "http:" + text.substr(2);
    }
    if (vornStartsWith(text, "://")) {
        return "http" + text;
    }
    const size_t separator = text.find("://");
    if (separator != std::string::npos && text.find_first_of("?.=[") >= separator) {
        return text;
    }
    return "http://" + text;
}

void VornUrl::parse(const std::string& text) {
    if (text.empty()) {
        return;
    }
    m_givenText = text;
    if (vornUrlHasLineBreak(text)) {
        return; // kept as given, but never a URL to fetch
    }
    const std::string repaired = repair(text);
    const size_t separator = repaired.find("://");
    m_scheme = vornToLower(repaired.substr(0, separator));
    const std::string remainder = vornTrim(repaired.substr(separator + 3));
    if (remainder.empty()) {
        return;
    }
    std::string authority = splitPath(remainder);
    splitUserInfo(authority);
    if (!authority.empty() && authority[0] == '[') {
        splitBracketedHost(authority);
    } else {
        splitHostAndPort(authority);
    }
    m_kind = kindOf(m_scheme);
    if (m_port == 0) {
        m_port = defaultPort(m_kind);
    }
    m_secure = m_kind == URL_KIND_HTTPS ? 1 : 0;
    finish();
}

// Fills request target, fragment, query, directory and file name; returns the authority.
std::string VornUrl::splitPath(const std::string& remainder) {
    const size_t slash = remainder.find('/');
    const size_t question = remainder.find('?');
    if (slash != std::string::npos && (question == std::string::npos || slash < question)) {
        m_requestTarget = remainder.substr(slash);
        const size_t hash = m_requestTarget.rfind('#');
        if (hash != std::string::npos) {
            m_fragment = m_requestTarget.substr(hash);
            m_requestTarget.erase(hash);
        }
        const size_t query = m_requestTarget.find('?');
        if (query != std::string::npos) {
            m_query = m_requestTarget.substr(query);
        }
        const std::string path = m_requestTarget.substr(0, query);
        const size_t last = path.rfind('/');
        m_fileName = path.substr(last);
        m_directory = path.substr(0, last) + "/";
        m_fileName = m_fileName.size() >= 2 ? m_fileName.substr(1) : std::string();
        m_fileName = m_fileName.substr(0, m_fileName.find(';'));
        return remainder.substr(0, slash);
    }
    std::string authority = remainder;
    const size_t hash = authority.rfind('#');
    if (hash != std::string::npos) {
        m_fragment = authority.substr(hash);
        authority.erase(hash);
    }
    const size_t query = authority.find('?');
    if (query != std::string::npos) {
        m_query = authority.substr(query);
        authority.erase(query);
    }
    m_requestTarget = "/" + m_query;
    m_directory = "/";
    return authority;
}

void VornUrl::splitUserInfo(std::string& authority) {
    const size_t at = authority.rfind('@');
    if (at == std::string::npos) {
        return;
    }
    const std::string info = authority.substr(0, at);
    authority.erase(0, at + 1);
    const size_t colon = info.find(':');
    m_user = info.substr(0, colon);
    if (colon != std::string::npos) {
        m_password = info.substr(colon + 1);
    }
}

void VornUrl::splitHostAndPort(const std::string& authority) {
    const size_t colon = authority.find(':');
    if (colon == std::string::npos) {
        m_host = authority;
        return;
    }
    m_host = authority.substr(0, colon);
    const std::string portText = authority.substr(colon + 1);
    if (!portText.empty() && portText.size() <= 5 && allDigits(portText)) {
        m_port = portOrZero(std::stoul(portText));
    }
}

void VornUrl::splitBracketedHost(const std::string& authority) {
    const size_t close = authority.find(']');
    if (close == std::string::npos) {
        return;
    }
    m_host = authority.substr(0, close + 1);
    if (authority.size() - close >= 3 && authority[close + 1] == ':') {
        std::string digits;
        for (size_t i = close + 2;
             i < authority.size() && digits.size() < 6 && std::isdigit((unsigned char)authority[i]); ++i) {
            digits += authority[i];
        }
        if (!digits.empty()) {
            m_port = portOrZero(std::stoul(digits));
        }
    }
}

void VornUrl::finish() {
    m_hostAsWritten = m_host;
    m_host = convertHost(m_hostAsWritten);
    m_fullUrl = m_scheme + "://" + m_host;
    if (m_port != defaultPort(m_kind)) {
        m_fullUrl += ":" + std::to_string(m_port);
    }
    m_baseUrl = m_fullUrl + m_directory;
    m_fullUrl += m_requestTarget;
}

std::string VornUrl::hostWithPort(bool withScheme, bool omitDefaultPort) const {
    std::string out = withScheme ? m_scheme + "://" + m_host : m_host;
    const bool isDefault = m_kind != URL_KIND_UNSUPPORTED && m_port == defaultPort(m_kind);
    if (!(omitDefaultPort && isDefault)) {
        out += ":" + std::to_string(m_port);
    }
    return out;
}

std::string VornUrl::protocolName() const {
    switch (m_kind) {
    case URL_KIND_HTTP:
        return "HTTP";
    case URL_KIND_HTTPS:
        return "HTTPS";
    case URL_KIND_FTP:
        return "FTP";
    default:
        return "UnSupported";
    }
}

std::string VornUrl::directoryOrRoot() const {
    return m_directory.empty() ? "/" : m_directory;
}

std::string VornUrl::saveName() const {
    const std::string trimmed = vornTrim(m_fileName);
    if (m_kind == URL_KIND_FTP || !trimmed.empty()) {
        return trimmed;
    }
    std::string name = m_hostAsWritten + directoryOrRoot();
    if (!name.empty() && name.back() == '/') {
        name.pop_back();
    }
    for (char& c : name) {
        if (c == '.' || c == '/') {
            c = '_';
        }
    }
    return name;
}

bool vornUrlHasLineBreak(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string vornUrlWithoutPassword(const std::string& text) {
    const size_t separator = text.find("://");
    const size_t start = separator == std::string::npos ? 0 : separator + 3;
    const size_t end = std::min(text.find_first_of("/?#", start), text.size());
    const size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
    if (at == std::string::npos || at < start) {
        return text;
    }
    const size_t colon = text.find(':', start);
    if (colon == std::string::npos || colon > at) {
        return text;
    }
    return text.substr(0, colon) + text.substr(at);
}

std::string vornWireTarget(const std::string& target) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(target.size());
    for (char c : target) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool escape = byte <= 0x20 || byte >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' ||
                            c == '{' || c == '}';
        if (escape) {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

// RFC 3986 5.2.4.
std::string removeDotSegments(std::string input) {
    std::string output;
    while (!input.empty()) {
        if (vornStartsWith(input, "../")) {
            input.erase(0, 3);
        } else if (vornStartsWith(input, "./")) {
            input.erase(0, 2);
        } else if (vornStartsWith(input, "/./")) {
            input.erase(0, 2);
        } else if (input == "/.") {
            input = "/";
        } else if (vornStartsWith(input, "/../") || input == "/..") {
            input = input.size() == 3 ? "/" : input.substr(3);
            const size_t last = output.rfind('/');
            output.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input.clear();
        } else {
            const size_t next = input.find('/', input[0] == '/' ? 1 : 0);
            output += input.substr(0, next);
            input.erase(0, next);
        }
    }
    return output;
}

bool hasScheme(const std::string& reference) {
    if (reference.empty() || !std::isalpha(static_cast<unsigned char>(reference[0]))) {
        return false;
    }
    for (char c : reference) {
        if (c == ':') {
            return true;
        }
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return false;
}

} // namespace

std::string vornResolveReference(const VornUrl& base, const std::string& given) {
    const std::string reference = vornTrim(given);
    if (hasScheme(reference)) {
        return reference;
    }
    if (vornStartsWith(reference, "//")) {
        return base.scheme() + ":" + reference;
    }
    const std::string origin = base.hostWithPort(true, true);
    const std::string& target = base.requestTarget();
    const std::string basePath = target.substr(0, target.find('?'));
    size_t pathEnd = reference.find_first_of("?#");
    std::string path = reference.substr(0, pathEnd);
    std::string rest = pathEnd == std::string::npos ? std::string() : reference.substr(pathEnd);
    if (path.empty()) {
        if (rest.empty() || rest[0] == '#') {
            return origin + target + rest;
        }
        return origin + basePath + rest;
    }
    if (path[0] != '/') {
        const size_t slash = basePath.rfind('/');
        path = (slash == std::string::npos ? std::string("/") : basePath.substr(0, slash + 1)) + path;
    }
    return origin + removeDotSegments(path) + rest;
}
