#include "protocols/VornAuth.h"

#include "base/VornText.h"

std::string vornAuthTypeName(int32_t type) {
    switch (type) {
    case AUTH_TYPE_BASIC:
        return "AUTH_TYPE_BASIC";
    case AUTH_TYPE_DIGEST:
        return "AUTH_TYPE_DIGEST";
    case AUTH_TYPE_NTLM:
        return "AUTH_TYPE_NTLM";
    case AUTH_TYPE_UNSUPPORTED:
        return "AUTH_TYPE_UNSUPPORTED";
    default:
        return "Unkown";
    }
}

int32_t vornAuthSchemeOf(const std::string& challengeLine) {
    size_t position = 0;
    std::string rest = challengeLine;
    const size_t colon = rest.find(':');
    if (colon == std::string::npos) {
        return AUTH_TYPE_UNSUPPORTED;
    }
    position = rest.find_first_not_of(" \t", colon + 1);
    const std::string value =
        position == std::string::npos ? std::string() : vornToUpper(rest.substr(position));
    if (vornStartsWith(value, "BASIC")) {
        return AUTH_TYPE_BASIC;
    }
    if (vornStartsWith(value, "DIGEST")) {
        return AUTH_TYPE_DIGEST;
    }
    if (vornStartsWith(value, "NTLM")) {
        return AUTH_TYPE_NTLM;
    }
    return AUTH_TYPE_UNSUPPORTED;
}

std::string vornAuthRealmOf(const std::string& challengeLine) {
    size_t position = 0;
    if (challengeLine.empty() || !vornFindHeaderField(challengeLine, "realm", position)) {
        return {};
    }
    return vornHeaderValue(challengeLine, position);
}

VornAuth::VornAuth(int32_t schemeType, int32_t kind, const std::string& challenge, const std::string& uri,
                   const std::string& user, const std::string& password)
    : m_schemeType(schemeType), m_kind(kind), m_challenge(challenge), m_uri(uri),
      m_realm(vornAuthRealmOf(challenge)), m_user(user), m_password(password) {}

void VornAuth::SetCredentials(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
}

VornAuthBasic::VornAuthBasic(const std::string& challenge, const std::string& uri, int32_t kind,
                             const std::string& user, const std::string& password)
    : VornAuth(AUTH_TYPE_BASIC, kind, challenge, uri, user, password) {
    SetCredentials(user, password);
}

void VornAuthBasic::SetCredentials(const std::string& user, const std::string& password) {
    VornAuth::SetCredentials(user, password);
    const char* name = m_kind == AUTH_KIND_PROXY ? "Proxy-Authorization: Basic " : "Authorization: Basic ";
    m_headerLine = name + vornBase64Encode(user + ":" + password);
}

bool VornAuthBasic::BuildHeader(int32_t, const std::string&, std::string& headerLine) {
    if (m_user.empty()) {
        return false;
    }
    headerLine = m_headerLine;
    return true;
}
