// The engine socket's side of a SOCKS handshake: starting it once the proxy's TCP connection is up,
// feeding it what arrives, sending what it builds, and acting on its verdicts, including the fallback
// from SOCKS 5 to 4a to 4 while the download is starting.
#include "engine/VornEngineSocket.h"

#include "base/VornText.h"
#include "engine/VornDownloadEngine.h"
#include "protocols/VornSocksHandshake.h"

#include <algorithm>

namespace {

const wchar_t* const kSocksProblem = L"Problem on SOCKS-Proxy. Check User, Password and Socks Setting.";

} // namespace

bool VornEngineSocket::StartSocks(int32_t oldState) {
    const VornEngineProxy& proxy = m_engine->ProxySettings();
    // Every attempt starts with the engine's version, which only goes down.
    const int32_t version = m_engine->SocksVersionSelector();
    if (!m_socks) {
        m_socks = std::make_unique<VornSocksHandshake>(m_url, proxy.user, proxy.password, version);
    } else {
        m_socks->Restart();
        m_socks->SetVersion(version);
        m_socks->SetTarget(m_url);
        m_socks->SetCredentials(proxy.user, proxy.password);
    }
    m_socketState = SOCKET_STATE_SOCKS;
    UpdateStatus();
    OnConnectionState(oldState, SOCKET_STATE_SOCKS);
    m_receiveBuffer->Clear();
    SocksStep();
    return true;
}

bool VornEngineSocket::SocksReceiveStep() {
    // Only what the handshake can take is read: bytes the server sends right after the proxy's reply
    // stay in the socket instead of being cut off.
    const uint32_t space =
        std::min(m_receiveBuffer->FreeSpace(), m_socks ? m_socks->Buffer().FreeSpace() : 0);
    char* end = m_receiveBuffer->Data() + m_receiveBuffer->Length();
    const int32_t n = Receive(end, static_cast<int32_t>(space));
    if (n == SOCKET_RECEIVE_PENDING) {
        return false;
    }
    if (n > 0) {
        m_receiveBuffer->Grow(static_cast<uint32_t>(n));
        SocksStep();
        return true;
    }
    m_engine->HandleConnectionError(
        this, false, L"Socks Handshake failed . Network Error or Connection Closed. Check SOCKS Setting.");
    return false;
}

void VornEngineSocket::SocksStep() {
    if (!m_socks) {
        m_receiveBuffer->Clear();
        return;
    }
    std::wstring message;
    const int verdict = m_socks->Step(*m_receiveBuffer, message);
    m_receiveBuffer->Clear();
    switch (verdict) {
    case SOCKS_VERDICT_DONE: {
        int32_t& selector = m_engine->SocksVersionSelector();
        selector = std::min(selector, m_socks->Version());
        Log(LOG_LEVEL_INFO, std::string("Socks HandShake OK for Socket ( ") + IdText() + " ) using " +
                                VornSocksHandshake::VersionName(m_socks->Version()));
        TakeSocksLeftover();
        SetState(SOCKET_STATE_TUNNEL);
        // What the server sent along with the proxy's reply is the protocol's first input.
        if (hasSocket() && m_socketState == SOCKET_STATE_TUNNEL && !m_receiveBuffer->Empty()) {
            OnReceived(static_cast<int32_t>(m_receiveBuffer->Length()));
        }
        return;
    }
    case SOCKS_VERDICT_MORE:
        return;
    case SOCKS_VERDICT_SEND:
        SendSocksMessage();
        return;
    default:
        SocksFailed(message);
        return;
    }
}

void VornEngineSocket::TakeSocksLeftover() {
    VornBuffer<unsigned char>& rest = m_socks->Buffer();
    if (rest.Empty()) {
        return;
    }
    if (m_url.secure()) {
        // A TLS server never speaks first, so these bytes cannot belong to the session.
        Log(LOG_LEVEL_DEBUG, "Socket ( " + IdText() + " ) dropped " + std::to_string(rest.Length()) +
                                 " bytes that followed the Socks reply.");
    } else {
        m_receiveBuffer->Append(reinterpret_cast<const char*>(rest.Data()), rest.Length());
    }
    rest.Clear();
}

void VornEngineSocket::SendSocksMessage() {
    if (!drain()) {
        m_engine->HandleConnectionError(
            this, false, L"Error in SOCKS-Proxy. Socket is not connected. Check Socks Setting. ");
        return;
    }
    VornBuffer<unsigned char>& message = m_socks->Buffer();
    const auto length = static_cast<int32_t>(message.Length());
    if (Send(reinterpret_cast<const char*>(message.Data()), length) < length) {
        m_engine->HandleConnectionError(
            this, false, L"Error in SOCKS-Proxy(Send) Socket is not connected. Check Socks Setting. ");
        return;
    }
    message.Clear();
}

void VornEngineSocket::SocksFailed(const std::wstring& reason) {
    std::string line = "Socks HandShake Failed for Socket ( " + IdText() + " ) using " +
                       VornSocksHandshake::VersionName(m_socks->Version()) + " : " + vornWideToUtf8(reason);
    if (m_socks->ReplyCode() >= 0) {
        line += " ReplyCode = " + std::to_string(m_socks->ReplyCode());
    }
    Log(LOG_LEVEL_ERROR, line);
    m_engine->HandleConnectionError(this, false, kSocksProblem);
    // After the error handling, so the connection's row keeps the reason rather than "Disconnected".
    PostStatus(vornWideToUtf8(reason));
}

bool VornEngineSocket::FallBackSocks() {
    if (!m_socks || m_engine->State() != ENGINE_STATE_STARTING) {
        return false;
    }
    int32_t& selector = m_engine->SocksVersionSelector();
    const int32_t tried = std::min(selector, m_socks->Version());
    if (tried <= SOCKS_VERSION_4) {
        return false;
    }
    selector = tried - 1;
    m_socks->SetVersion(selector);
    m_socks->Restart();
    Log(LOG_LEVEL_INFO, std::string("Socks-Proxy did not accept ") + VornSocksHandshake::VersionName(tried) +
                            " for Socket ( " + IdText() + " ). Trying " +
                            VornSocksHandshake::VersionName(selector) + " ...");
    Reset(true, false);
    return true;
}
