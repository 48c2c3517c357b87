#include "protocols/VornAuthNTLM.h"

#include "base/VornText.h"
#include "protocols/VornNtlmMessages.h"

namespace {

bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

} // namespace

VornAuthNTLM::VornAuthNTLM(const std::string& uri, int32_t kind, const std::string& user,
                           const std::string& password)
    : VornAuth(AUTH_TYPE_NTLM, kind, std::string(), uri, user, password) {}

std::string VornAuthNTLM::ChallengeToken(const std::string& challengeLine) {
    const std::string upper = vornToUpper(challengeLine);
    const size_t colon = upper.find(':');
    size_t at = colon == std::string::npos ? 0 : colon + 1;
    while ((at = upper.find("NTLM", at)) != std::string::npos) {
        const bool wordStart = at == 0 || upper[at - 1] == ' ' || upper[at - 1] == '\t' ||
                               upper[at - 1] == ',' || upper[at - 1] == ':';
        size_t token = at + 4;
        if (wordStart && token < upper.size() && (upper[token] == ' ' || upper[token] == '\t')) {
            token = challengeLine.find_first_not_of(" \t", token);
            if (token == std::string::npos) {
                return {};
            }
            size_t end = token;
            while (end < challengeLine.size() && isBase64Character(challengeLine[end])) {
                ++end;
            }
            return challengeLine.substr(token, end - token);
        }
        at += 4;
    }
    return {};
}

std::string VornAuthNTLM::ClientChallenge() {
    std::string bytes;
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>(NextRandom() % 254 + 1);
    }
    return bytes;
}

bool VornAuthNTLM::BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) {
    if (round >= 2) {
        return false;
    }
    const std::string prefix = HeaderPrefix("NTLM");
    if (round <= 0 || challengeLine.empty()) {
        headerLine = prefix + vornBase64Encode(vornNtlmNegotiateMessage());
        return true;
    }
    VornNtlmChallenge challenge;
    if (!vornNtlmReadChallenge(vornBase64Decode(ChallengeToken(challengeLine)), challenge)) {
        return false;
    }
    VornNtlmClient client;
    client.domain = "MYDOMAIN";
    client.user = m_user;
    client.password = m_password;
    client.workstation = "MYMAC";
    client.clientChallengeA = ClientChallenge();
    client.clientChallengeB = ClientChallenge();
    client.unixSeconds = NowSeconds();
    std::string message;
    if (!vornNtlmAuthenticateMessage(challenge, client, message)) {
        return false;
    }
    headerLine = prefix + vornBase64Encode(message);
    return true;
}
