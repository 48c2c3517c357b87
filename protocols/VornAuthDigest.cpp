#include "protocols/VornAuthDigest.h"

#include "base/VornHash.h"
#include "base/VornText.h"
#include "base/VornUrl.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t kRememberedLines = 16;

// A parameter anywhere in the line, name without regard to case; false when absent.
bool parameter(const std::string& line, const char* name, std::string& value) {
    size_t position = 0;
    if (!vornFindHeaderField(line, name, position)) {
        return false;
    }
    value = vornHeaderValue(line, position);
    return true;
}

// A value that cannot stand between two double quotes without escaping, or that would break the line.
bool unquotable(const std::string& value) {
    return std::any_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || c == '"' || c == '\\';
    });
}

std::string quoted(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + value + "\"";
}

} // namespace

VornAuthDigest::VornAuthDigest(const std::string& challenge, const VornUrl& url, const std::string& method,
                               int32_t kind, const std::string& user, const std::string& password)
    : VornAuth(AUTH_TYPE_DIGEST, kind, challenge, url.requestTarget(), user, password), m_method(method) {
    if (kind == AUTH_KIND_PROXY && url.secure()) {
        m_method = "CONNECT";
        m_uri = url.hostWithPort(false, false);
    }
}

void VornAuthDigest::SetRequest(const std::string& method, const std::string& target) {
    // Each request is signed as it goes out: a redirect after the challenge, or every piece of a
    // playlist, has a request target of its own.
    m_method = method;
    m_uri = target;
}

void VornAuthDigest::DrawCnonce() {
    static const char digits[] = "0123456789abcdef";
    m_cnonce.clear();
    for (int i = 0; i < 8; ++i) {
        m_cnonce += digits[NextRandom() % 16];
    }
}

bool VornAuthDigest::ReadChallenge(int32_t round, const std::string& line) {
    if (std::find(m_readLines.begin(), m_readLines.end(), line) != m_readLines.end()) {
        // A line read before: a connection that was answered with it again (round above 0) was refused,
        // also when it says stale, since a stale challenge without a fresh nonce would repeat for ever.
        return round <= 0;
    }
    std::string value;
    const bool stale = parameter(line, "stale", value) && vornToUpper(value) == "TRUE";
    if (round > 0 && !stale) {
        return false;
    }
    // Everything is checked before anything is kept, so a refused challenge leaves the handler as it was.
    std::string nonce;
    if (!parameter(line, "nonce", nonce) || nonce.empty()) {
        return false;
    }
    std::string qop;
    parameter(line, "qop", qop);
    if (vornToUpper(qop) == "AUTH-INT") {
        return false;
    }
    std::string algorithm;
    if (parameter(line, "algorithm", algorithm)) {
        const std::string upper = vornToUpper(algorithm);
        if (upper != "MD5" && upper != "MD5-SESS") {
            return false;
        }
    }
    if (stale) {
        m_nonceCount = 1;
        DrawCnonce();
    }
    m_staleFlag = 0;
    if (nonce != m_nonce) {
        m_nonceCount = 1;
    }
    m_nonce = nonce;
    m_opaque.clear();
    parameter(line, "opaque", m_opaque);
    // Whatever list of options was offered, auth is the one answered.
    m_qopFlag = qop.empty() ? 0 : 1;
    m_qop = qop.empty() ? std::string() : "auth";
    m_algorithm = algorithm;
    const std::string realm = vornAuthRealmOf(line);
    if (!realm.empty()) {
        m_realm = realm;
    }
    // Only a line that was answered counts as read: a refused one stays refused.
    m_readLines.push_back(line);
    if (m_readLines.size() > kRememberedLines) {
        m_readLines.pop_front();
    }
    return true;
}

bool VornAuthDigest::BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) {
    if (!challengeLine.empty() && !ReadChallenge(round, challengeLine)) {
        return false;
    }
    if (m_nonce.empty()) {
        return false;
    }
    if (m_cnonce.empty()) {
        // Drawn on first use rather than at construction, so a replaced random source takes effect.
        DrawCnonce();
    }
    for (const std::string* value : {&m_user, &m_realm, &m_nonce, &m_opaque, &m_uri, &m_algorithm}) {
        if (unquotable(*value)) {
            return false;
        }
    }
    std::string ha1 = vornMd5Text(m_user + ":" + m_realm + ":" + m_password);
    if (vornToUpper(m_algorithm) == "MD5-SESS") {
        ha1 = vornMd5Text(ha1 + ":" + m_nonce + ":" + m_cnonce);
    }
    const std::string ha2 = vornMd5Text(m_method + ":" + m_uri);
    char nc[16];
    std::snprintf(nc, sizeof nc, "%08x", m_nonceCount);
    ++m_nonceCount;
    const std::string response =
        m_qopFlag ? vornMd5Text(ha1 + ":" + m_nonce + ":" + nc + ":" + m_cnonce + ":" + m_qop + ":" + ha2)
                  : vornMd5Text(ha1 + ":" + m_nonce + ":" + ha2);

    std::string line = HeaderPrefix("Digest") + quoted("username", m_user) + ", " + quoted("realm", m_realm) +
                       ", " + quoted("nonce", m_nonce) + ", " + quoted("uri", m_uri);
    if (!m_algorithm.empty()) {
        line += ", algorithm=" + m_algorithm;
    }
    line += ", " + quoted("response", response);
    if (!m_opaque.empty()) {
        line += ", " + quoted("opaque", m_opaque);
    }
    if (m_qopFlag) {
        line += ", qop=\"auth\", nc=" + std::string(nc) + ", " + quoted("cnonce", m_cnonce);
    }
    headerLine = line;
    return true;
}
