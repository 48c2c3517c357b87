#include "protocols/VornAuth.h"

#include "base/VornText.h"

#include <cstdlib>
#include <ctime>

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

namespace {

int32_t schemeOfWord(const std::string& upperWord, bool exact) {
    const std::pair<const char*, int32_t> schemes[] = {
        {"BASIC", AUTH_TYPE_BASIC}, {"DIGEST", AUTH_TYPE_DIGEST}, {"NTLM", AUTH_TYPE_NTLM}};
    for (const auto& [name, type] : schemes) {
        if (exact ? upperWord == name : vornContains(upperWord, name)) {
            return type;
        }
    }
    return AUTH_TYPE_UNSUPPORTED;
}

// Scheme names of a challenge list: the first word of every comma-separated element (outside quotes)
// that is not a parameter (name=value).
int32_t lowestListedScheme(const std::string& value) {
    int32_t best = AUTH_TYPE_UNSUPPORTED;
    bool quoted = false;
    size_t start = 0;
    for (size_t at = 0; at <= value.size(); ++at) {
        const char c = at < value.size() ? value[at] : ',';
        if (c == '"') {
            quoted = !quoted;
        }
        if (c != ',' || quoted) {
            continue;
        }
        const std::string element = vornTrim(value.substr(start, at - start));
        start = at + 1;
        const std::string word = element.substr(0, element.find_first_of(" \t"));
        if (!word.empty() && word.find('=') == std::string::npos) {
            best = std::min(best, schemeOfWord(vornToUpper(word), true));
        }
    }
    return best;
}

} // namespace

int32_t vornAuthSchemeOf(const std::string& challengeLine) {
    const size_t colon = challengeLine.find(':');
    if (colon == std::string::npos) {
        return AUTH_TYPE_UNSUPPORTED;
    }
    const std::string value = vornTrim(challengeLine.substr(colon + 1));
    const std::string first = vornToUpper(value.substr(0, value.find_first_of(" \t")));
    const int32_t type = schemeOfWord(first, false);
    if (type != AUTH_TYPE_UNSUPPORTED) {
        return type;
    }
    return lowestListedScheme(value);
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
      m_realm(vornAuthRealmOf(challenge)), m_user(user), m_password(password),
      m_random([] { return static_cast<uint32_t>(std::rand()); }),
      m_clock([] { return static_cast<int64_t>(std::time(nullptr)); }) {}

void VornAuth::SetCredentials(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
}

void VornAuth::SetRequest(const std::string&, const std::string& target) {
    m_uri = target;
}

void VornAuth::SetRandomSource(RandomSource source) {
    m_random = std::move(source);
}

void VornAuth::SetClock(Clock clock) {
    m_clock = std::move(clock);
}

std::string VornAuth::HeaderPrefix(const char* scheme) const {
    return std::string(m_kind == AUTH_KIND_PROXY ? "Proxy-Authorization: " : "Authorization: ") + scheme +
           " ";
}
