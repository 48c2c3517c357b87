#include "protocols/VornAuthBasic.h"

#include "base/VornText.h"

VornAuthBasic::VornAuthBasic(const std::string& challenge, const std::string& uri, int32_t kind,
                             const std::string& user, const std::string& password)
    : VornAuth(AUTH_TYPE_BASIC, kind, challenge, uri, user, password) {
    SetCredentials(user, password);
}

void VornAuthBasic::SetCredentials(const std::string& user, const std::string& password) {
    VornAuth::SetCredentials(user, password);
    m_headerLine = HeaderPrefix("Basic") + vornBase64Encode(user + ":" + password);
}

bool VornAuthBasic::BuildHeader(int32_t round, const std::string&, std::string& headerLine) {
    // Round 1 means these credentials already went out on this connection and were answered with a
    // new challenge: sending them again would only loop.
    if (round >= 1) {
        return false;
    }
    headerLine = m_headerLine;
    return true;
}
