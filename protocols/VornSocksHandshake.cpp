#include "protocols/VornSocksHandshake.h"

#include "base/VornSocket.h"

#include <arpa/inet.h>

namespace {

constexpr unsigned char kCommandConnect = 1;
constexpr unsigned char kMethodNone = 0;
constexpr unsigned char kMethodUserPassword = 2;
constexpr unsigned char kNoAcceptableMethod = 0xFF;
constexpr unsigned char kSocks4Granted = 0x5A;
constexpr size_t kMaxHostLength = 255;
constexpr size_t kMaxCredentialLength = 255;
constexpr uint32_t kSocks4ReplyLength = 8;

const wchar_t* const kFailedToConnect = L"Failed to Establish Connection to Socks-Server.";

} // namespace

VornSocksHandshake::VornSocksHandshake(const VornUrl& target, const std::string& user,
                                       const std::string& password, int32_t version)
    : m_target(target), m_user(user), m_password(password), m_version(version),
      m_buffer(std::make_unique<VornBuffer<unsigned char>>(SOCKS_BUFFER_CAPACITY)) {}

const char* VornSocksHandshake::VersionName(int32_t version) {
    if (version >= SOCKS_VERSION_5) {
        return "SOCKS5";
    }
    return version == SOCKS_VERSION_4A ? "SOCKS4a" : "SOCKS4";
}

void VornSocksHandshake::SetCredentials(const std::string& user, const std::string& password) {
    m_user = user;
    m_password = password;
}

void VornSocksHandshake::Restart() {
    m_stage = SOCKS_STAGE_START;
    m_buffer->Clear();
    m_replyCode = -1;
}

void VornSocksHandshake::Put(const void* data, size_t length) {
    m_buffer->Append(static_cast<const unsigned char*>(data), static_cast<uint32_t>(length));
}

void VornSocksHandshake::AppendPort() {
    const uint16_t port = htons(m_target.port());
    Put(&port, sizeof port);
}

bool VornSocksHandshake::BuildGreeting() {
    m_buffer->Clear();
    const unsigned char greeting[] = {5, 2, kMethodNone, kMethodUserPassword};
    Put(greeting, sizeof greeting);
    m_stage = SOCKS_STAGE_GREETING_SENT;
    return true;
}

bool VornSocksHandshake::BuildCredentials(std::wstring& message) {
    m_buffer->Clear();
    if (m_user.empty()) {
        m_user = "anonymous";
    }
    if (m_password.empty()) {
        m_password = "XoUkep";
    }
    // A length byte cannot say more; sending the low bits would let the rest run into the next field.
    if (m_user.size() > kMaxCredentialLength || m_password.size() > kMaxCredentialLength) {
        message = L"Socks User-Name or Password is longer than 255 bytes. Check Socks Setting.";
        return false;
    }
    Put(static_cast<unsigned char>(1));
    Put(static_cast<unsigned char>(m_user.size()));
    Put(m_user.data(), m_user.size());
    Put(static_cast<unsigned char>(m_password.size()));
    Put(m_password.data(), m_password.size());
    m_stage = SOCKS_STAGE_CREDENTIALS_SENT;
    return true;
}

bool VornSocksHandshake::BuildConnect5(std::wstring& message) {
    m_buffer->Clear();
    const std::string& host = m_target.host();
    if (host.size() > kMaxHostLength) {
        message = L"Domain Name is too long for Socks Protocol.";
        return false;
    }
    const unsigned char head[] = {5, kCommandConnect, 0};
    Put(head, sizeof head);
    in_addr address{};
    if (vornIsDottedIPv4(host) && inet_pton(AF_INET, host.c_str(), &address) == 1) {
        Put(static_cast<unsigned char>(1));
        Put(&address.s_addr, sizeof address.s_addr);
    } else {
        Put(static_cast<unsigned char>(3));
        Put(static_cast<unsigned char>(host.size()));
        Put(host.data(), host.size());
    }
    AppendPort();
    m_stage = SOCKS_STAGE_CONNECT_SENT;
    return true;
}

bool VornSocksHandshake::BuildConnect4(std::wstring& message) {
    m_buffer->Clear();
    const std::string& host = m_target.host();
    in_addr_t address = 0;
    if (m_version == SOCKS_VERSION_4) {
        const sockaddr_in resolved = vornResolveAddress(host);
        address = resolved.sin_family == AF_INET ? resolved.sin_addr.s_addr : 0;
        if (address == 0 || address == INADDR_NONE || m_target.port() == 0) {
            message = L"can not Resolve Address (Socks-4) .DNS Failed or Network is not Connected. ";
            return false;
        }
    } else {
        m_version = SOCKS_VERSION_4A;
        if (host.size() > kMaxHostLength) {
            message = L"Domain Name is too long for SOCKS Protocol.";
            return false;
        }
    }
    // The user id ends at its NUL, and the whole request must fit the buffer.
    const size_t hostPart = m_version == SOCKS_VERSION_4 ? 0 : host.size() + 1;
    if (m_user.find('\0') != std::string::npos ||
        kSocks4ReplyLength + m_user.size() + 1 + hostPart > SOCKS_BUFFER_CAPACITY) {
        message = L"Socks User-Name is too long for Socks-4 Protocol. Check Socks Setting.";
        return false;
    }
    const unsigned char head[] = {4, kCommandConnect};
    Put(head, sizeof head);
    AppendPort();
    if (m_version == SOCKS_VERSION_4) {
        Put(&address, sizeof address);
    } else {
        // 0.0.0.x with x not 0: the proxy resolves the name that follows the user id.
        const unsigned char invalid[] = {0, 0, 0, 1};
        Put(invalid, sizeof invalid);
    }
    Put(m_user.data(), m_user.size());
    Put(static_cast<unsigned char>(0));
    if (m_version != SOCKS_VERSION_4) {
        Put(host.data(), host.size());
        Put(static_cast<unsigned char>(0));
    }
    m_stage = SOCKS_STAGE_CONNECT_SENT;
    return true;
}

int VornSocksHandshake::Step(const VornBuffer<char>& received, std::wstring& message) {
    m_buffer->Append(reinterpret_cast<const unsigned char*>(received.Data()), received.Length());
    switch (m_stage) {
    case SOCKS_STAGE_START:
        if (m_version >= SOCKS_VERSION_5) {
            BuildGreeting();
            return SOCKS_VERDICT_SEND;
        }
        return BuildConnect4(message) ? SOCKS_VERDICT_SEND : SOCKS_VERDICT_FAILED;
    case SOCKS_STAGE_GREETING_SENT:
        return GreetingReply(message);
    case SOCKS_STAGE_CREDENTIALS_SENT:
        return CredentialsReply(message);
    case SOCKS_STAGE_CONNECT_SENT:
        return m_version >= SOCKS_VERSION_5 ? Connect5Reply(message) : Connect4Reply(message);
    default:
        return SOCKS_VERDICT_MORE;
    }
}

int VornSocksHandshake::GreetingReply(std::wstring& message) {
    const unsigned char* reply = m_buffer->Data();
    if (m_buffer->Length() < 2) {
        return SOCKS_VERDICT_MORE;
    }
    if (reply[1] == kNoAcceptableMethod) {
        message = L"Auth Problem - Socks-V5 Server did not Accep Current Auth-Mode.";
        return SOCKS_VERDICT_FAILED;
    }
    // A method we did not offer is as much a failed greeting as a wrong version.
    if (reply[0] != 5 || (reply[1] != kMethodUserPassword && reply[1] != kMethodNone)) {
        message = L"HandShake Failed in Socks-V5 Greeting";
        return SOCKS_VERDICT_FAILED;
    }
    if (reply[1] == kMethodUserPassword) {
        return BuildCredentials(message) ? SOCKS_VERDICT_SEND : SOCKS_VERDICT_FAILED;
    }
    return BuildConnect5(message) ? SOCKS_VERDICT_SEND : SOCKS_VERDICT_FAILED;
}

int VornSocksHandshake::CredentialsReply(std::wstring& message) {
    const unsigned char* reply = m_buffer->Data();
    if (m_buffer->Length() < 2) {
        return SOCKS_VERDICT_MORE;
    }
    if (reply[0] != 1 || reply[1] != 0) {
        message = L"Socks Auth Failed.";
        return SOCKS_VERDICT_AUTH_REFUSED;
    }
    return BuildConnect5(message) ? SOCKS_VERDICT_SEND : SOCKS_VERDICT_FAILED;
}

int VornSocksHandshake::Connect5Reply(std::wstring& message) {
    const unsigned char* reply = m_buffer->Data();
    const uint32_t have = m_buffer->Length();
    // A reply of another version is judged at once: a proxy that sent it may never send more.
    if (have >= 1 && reply[0] != 5) {
        message = kFailedToConnect;
        return SOCKS_VERDICT_FAILED;
    }
    if (have < 4) {
        return SOCKS_VERDICT_MORE;
    }
    uint32_t length = 10;
    if (reply[3] == 4) {
        length = 22;
    } else if (reply[3] == 3) {
        // The bound name is the proxy's, of its own length: the request's host says nothing about it.
        if (have < 5) {
            return SOCKS_VERDICT_MORE;
        }
        length = 7 + reply[4];
    }
    if (have < length) {
        return SOCKS_VERDICT_MORE;
    }
    if (reply[1] != 0) {
        m_replyCode = reply[1];
        message = kFailedToConnect;
        return SOCKS_VERDICT_FAILED;
    }
    m_stage = SOCKS_STAGE_DONE;
    m_buffer->RemoveFront(length);
    return SOCKS_VERDICT_DONE;
}

int VornSocksHandshake::Connect4Reply(std::wstring& message) {
    const unsigned char* reply = m_buffer->Data();
    if (m_buffer->Length() >= 1 && reply[0] != 0) {
        message = kFailedToConnect;
        return SOCKS_VERDICT_FAILED;
    }
    if (m_buffer->Length() < kSocks4ReplyLength) {
        return SOCKS_VERDICT_MORE;
    }
    if (reply[1] != kSocks4Granted) {
        m_replyCode = reply[1];
        message = kFailedToConnect;
        return SOCKS_VERDICT_FAILED;
    }
    m_stage = SOCKS_STAGE_DONE;
    m_buffer->RemoveFront(kSocks4ReplyLength);
    return SOCKS_VERDICT_DONE;
}
