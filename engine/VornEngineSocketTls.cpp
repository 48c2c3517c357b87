#include "base/VornText.h"
#include "base/VornTlsSession.h"
#include "engine/VornDownloadEngine.h"
#include "engine/VornEngineSocket.h"
#include "storage/VornSettings.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// The 1/2 flag that lets the user trust servers without checking their certificates.
const char* const kVerifySetting = "VerifyCertificates";

} // namespace

bool VornEngineSocket::StartTls() {
    Log(LOG_LEVEL_INFO, "Initializing SslHandShake for Socket (" + IdText() + " )");
    MatchTlsInputToUrl();
    m_tlsInput->Clear();
    m_tls = std::make_unique<VornTlsSession>(m_url.host(), VornSettings::readFlag12(kVerifySetting));
    std::string token;
    if (m_tls->Start(token) != VornTlsStatus::ContinueNeeded) {
        Log(LOG_LEVEL_ERROR, "SSL-HandShake Failed At First Try.");
        m_tls.reset();
        return false;
    }
    m_tlsContextExists = true;
    if (token.empty()) {
        SetState(SOCKET_STATE_TLS_HANDSHAKE);
        return true;
    }
    if (!drain()) {
        Log(LOG_LEVEL_ERROR, "SSL-HandShake Failed At First Try. (Connection is Closed)");
        return false;
    }
    int error = 0;
    if (send(token.data(), token.size(), error) != static_cast<int64_t>(token.size())) {
        Log(LOG_LEVEL_ERROR, "SSL-HandShake Failed At First Try. (SendRaw Failed)");
        return false;
    }
    SetState(SOCKET_STATE_TLS_HANDSHAKE);
    return true;
}

void VornEngineSocket::TlsHandshakeReadable() {
    const int32_t n =
        RawReceive(m_tlsInput->Data() + m_tlsInput->Length(), static_cast<int32_t>(m_tlsInput->FreeSpace()));
    if (n == SOCKET_RECEIVE_PENDING) {
        return;
    }
    if (n > 0) {
        m_tlsInput->Grow(static_cast<uint32_t>(n));
        const int result = TlsHandshakeStep();
        if (result == 0) {
            Log(LOG_LEVEL_INFO, "SslHandShake OK for Socket ( " + IdText() + " )");
            SetState(SOCKET_STATE_TLS);
            return;
        }
        if (result == 1) {
            return;
        }
        Log(LOG_LEVEL_INFO, "SslHandShake Failed for Socket ( " + IdText() + " )");
    }
    // A refused certificate is named, so the user sees why instead of a bare handshake error.
    const std::string reason = m_tls ? m_tls->FailureReason() : std::string();
    if (!reason.empty()) {
        Log(LOG_LEVEL_ERROR, "Socket ( " + IdText() + " ) TLS: " + reason);
    }
    if (reason.find("certificate verification failed") != std::string::npos) {
        // Retrying cannot change the certificate: the download ends with the reason.
        m_engine->FailDownload(L"SSL HandShake Error. The server's " + vornUtf8ToWide(reason) + L".");
        return;
    }
    m_engine->HandleConnectionError(this, false, L"SSL HandShake Error.");
}

int VornEngineSocket::TlsHandshakeStep() {
    std::string token;
    const VornTlsStatus status = m_tls->HandshakeStep(m_tlsInput->Data(), m_tlsInput->Length(), token);
    // The session keeps whatever it did not need yet, so the input buffer starts empty each time.
    m_tlsInput->Clear();
    if (!token.empty()) {
        int error = 0;
        if (send(token.data(), token.size(), error) != static_cast<int64_t>(token.size())) {
            return 2;
        }
    }
    if (status == VornTlsStatus::ContinueNeeded) {
        return 1;
    }
    if (status != VornTlsStatus::Ok) {
        return 2;
    }
    const VornTlsStreamSizes sizes = m_tls->StreamSizes();
    m_streamSizes.header = sizes.header;
    m_streamSizes.trailer = sizes.trailer;
    m_streamSizes.maximumMessage = sizes.maximumMessage;
    m_streamSizes.buffers = sizes.buffers;
    m_streamSizes.blockSize = sizes.blockSize;
    const uint32_t capacity = sizes.header + sizes.maximumMessage + sizes.trailer;
    m_tlsInput->Reallocate(capacity);
    Log(LOG_LEVEL_DEBUG,
        "Socket ( " + IdText() + " ) SSLBuffer Reassigned , New Buffer Size = " + std::to_string(capacity));
    return 0;
}

int32_t VornEngineSocket::TlsEncryptSend(const char* data, int32_t length) {
    if (!m_tls || length < 0 || m_streamSizes.maximumMessage == 0) {
        return -1;
    }
    // A request larger than one record (a long POST body) goes out as several records in one send.
    std::string records;
    for (int32_t at = 0; at < length;) {
        const int32_t piece =
            std::min<int32_t>(length - at, static_cast<int32_t>(m_streamSizes.maximumMessage));
        std::string record;
        if (m_tls->Encrypt(data + at, static_cast<size_t>(piece), record) != VornTlsStatus::Ok) {
            return -1;
        }
        records += record;
        at += piece;
    }
    int error = 0;
    const int64_t sent = send(records.data(), records.size(), error);
    setLastActivity(static_cast<uint64_t>(VornDownloadEngine::NowMillis()));
    return sent == static_cast<int64_t>(records.size()) ? length : -1;
}

int32_t VornEngineSocket::TlsDecrypt(char* destination, int32_t size) {
    size_t delivered = 0;
    const VornTlsStatus status = m_tls->Decrypt(m_tlsInput->Data(), m_tlsInput->Length(), destination,
                                                static_cast<size_t>(std::max(size, 0)), delivered);
    m_tlsInput->Clear();
    const std::string outgoing = m_tls->TakeOutgoing();
    if (!outgoing.empty()) {
        int error = 0;
        send(outgoing.data(), outgoing.size(), error);
    }
    switch (status) {
    case VornTlsStatus::Ok:
        return static_cast<int32_t>(delivered);
    case VornTlsStatus::IncompleteMessage:
        return SOCKET_RECEIVE_PENDING;
    case VornTlsStatus::Closed:
        return 0;
    default:
        return -1;
    }
}

void VornEngineSocket::TlsShutdown() {
    if (m_tls) {
        std::string token;
        if (m_tls->Shutdown(token) == VornTlsStatus::Ok && !token.empty() && hasSocket()) {
            int error = 0;
            send(token.data(), token.size(), error);
        }
    }
    m_tls.reset();
    m_tlsContextExists = false;
}

bool VornEngineSocket::DrainBeforeSend() {
    if (!m_tls || !UsesTlsNow() || m_socketState == SOCKET_STATE_TLS_HANDSHAKE) {
        return drain();
    }
    char chunk[16384];
    for (;;) {
        const int32_t n = RawReceive(chunk, sizeof chunk);
        if (n == SOCKET_RECEIVE_PENDING) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        size_t delivered = 0;
        if (m_tls->Decrypt(chunk, static_cast<size_t>(n), nullptr, 0, delivered) == VornTlsStatus::Failed) {
            return false;
        }
    }
}
