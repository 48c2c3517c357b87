#include "base/VornTlsSession.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

namespace {

// The largest record payload and the most a record adds around it (TLS 1.2 with every option).
constexpr uint32_t kRecordHeader = 5;
constexpr uint32_t kRecordPayload = 16384;
constexpr uint32_t kRecordOverhead = 256;

bool isIpLiteral(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

} // namespace

VornTlsSession::VornTlsSession(const std::string& hostName, bool verifyPeer)
    : m_hostName(hostName), m_verifyPeer(verifyPeer) {
    m_context = SSL_CTX_new(TLS_client_method());
    if (m_context == nullptr) {
        return;
    }
    SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION);
    if (m_verifyPeer) {
        // Honours SSL_CERT_FILE and SSL_CERT_DIR, so a private CA can be trusted without touching the system.
        SSL_CTX_set_default_verify_paths(m_context);
        SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, nullptr);
    }
    m_ssl = SSL_new(m_context);
    if (m_ssl == nullptr) {
        return;
    }
    m_input = BIO_new(BIO_s_mem());
    m_output = BIO_new(BIO_s_mem());
    // An empty input means "wait for more", never end of stream.
    BIO_set_mem_eof_return(m_input, -1);
    BIO_set_mem_eof_return(m_output, -1);
    SSL_set_bio(m_ssl, m_input, m_output);
    SSL_set_connect_state(m_ssl);
    const bool ipHost = isIpLiteral(m_hostName);
    if (!ipHost && !m_hostName.empty()) {
        SSL_set_tlsext_host_name(m_ssl, m_hostName.c_str());
    }
    if (m_verifyPeer) {
        X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (ipHost) {
            X509_VERIFY_PARAM_set1_ip_asc(param, m_hostName.c_str());
        } else {
            X509_VERIFY_PARAM_set1_host(param, m_hostName.c_str(), m_hostName.size());
        }
    }
}

VornTlsSession::~VornTlsSession() {
    // The session owns both memory buffers since SSL_set_bio.
    SSL_free(m_ssl);
    SSL_CTX_free(m_context);
}

VornTlsStatus VornTlsSession::Start(std::string& token) {
    token.clear();
    if (m_ssl == nullptr) {
        m_failureReason = "the TLS library could not create a session";
        return VornTlsStatus::Failed;
    }
    return Advance(token);
}

VornTlsStatus VornTlsSession::HandshakeStep(const char* input, size_t length, std::string& token) {
    token.clear();
    if (m_ssl == nullptr) {
        return VornTlsStatus::Failed;
    }
    if (length > 0 && BIO_write(m_input, input, static_cast<int>(length)) != static_cast<int>(length)) {
        m_failureReason = "the TLS input could not be buffered";
        return VornTlsStatus::Failed;
    }
    return Advance(token);
}

VornTlsStatus VornTlsSession::Advance(std::string& token) {
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    TakeOutput(token);
    if (result == 1) {
        m_established = true;
        return VornTlsStatus::Ok;
    }
    const int error = SSL_get_error(m_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        return VornTlsStatus::ContinueNeeded;
    }
    RecordFailure(error);
    return VornTlsStatus::Failed;
}

void VornTlsSession::RecordFailure(int sslError) {
    const long verify = SSL_get_verify_result(m_ssl);
    if (m_verifyPeer && verify != X509_V_OK) {
        m_failureReason =
            std::string("certificate verification failed: ") + X509_verify_cert_error_string(verify);
        return;
    }
    const unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        m_failureReason = text;
    } else if (sslError == SSL_ERROR_ZERO_RETURN || sslError == SSL_ERROR_SYSCALL) {
        m_failureReason = "the server ended the TLS session";
    } else {
        m_failureReason = "TLS error " + std::to_string(sslError);
    }
}

void VornTlsSession::TakeOutput(std::string& out) {
    char chunk[16384];
    int n;
    while ((n = BIO_read(m_output, chunk, sizeof chunk)) > 0) {
        out.append(chunk, static_cast<size_t>(n));
    }
}

VornTlsStreamSizes VornTlsSession::StreamSizes() const {
    VornTlsStreamSizes sizes;
    sizes.header = kRecordHeader;
    sizes.trailer = kRecordOverhead;
    sizes.maximumMessage = kRecordPayload;
    return sizes;
}

VornTlsStatus VornTlsSession::Encrypt(const char* data, size_t length, std::string& records) {
    records.clear();
    if (!m_established || length > kRecordPayload) {
        return VornTlsStatus::Failed;
    }
    if (length == 0) {
        return VornTlsStatus::Ok;
    }
    ERR_clear_error();
    // Memory output never blocks, so the whole message is taken at once.
    if (SSL_write(m_ssl, data, static_cast<int>(length)) != static_cast<int>(length)) {
        return VornTlsStatus::Failed;
    }
    TakeOutput(records);
    return VornTlsStatus::Ok;
}

VornTlsStatus VornTlsSession::Decrypt(const char* input, size_t length, char* destination, size_t size,
                                      size_t& delivered) {
    delivered = 0;
    if (!m_established) {
        return VornTlsStatus::Failed;
    }
    if (length > 0 && BIO_write(m_input, input, static_cast<int>(length)) != static_cast<int>(length)) {
        return VornTlsStatus::Failed;
    }
    while (delivered < size) {
        ERR_clear_error();
        const int n = SSL_read(m_ssl, destination + delivered, static_cast<int>(size - delivered));
        if (n > 0) {
            delivered += static_cast<size_t>(n);
            continue;
        }
        const int error = SSL_get_error(m_ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            break;
        }
        if (delivered > 0) {
            // Hand over what came before the close or the fault; the next call reports it.
            return VornTlsStatus::Ok;
        }
        if (error == SSL_ERROR_ZERO_RETURN) {
            return VornTlsStatus::Closed;
        }
        RecordFailure(error);
        return VornTlsStatus::Failed;
    }
    return delivered > 0 ? VornTlsStatus::Ok : VornTlsStatus::IncompleteMessage;
}

size_t VornTlsSession::PendingPlain() const {
    if (m_ssl == nullptr) {
        return 0;
    }
    return static_cast<size_t>(SSL_pending(m_ssl)) + BIO_ctrl_pending(m_input);
}

std::string VornTlsSession::TakeOutgoing() {
    std::string out;
    if (m_output != nullptr) {
        TakeOutput(out);
    }
    return out;
}

VornTlsStatus VornTlsSession::Shutdown(std::string& token) {
    token.clear();
    if (!m_established) {
        return VornTlsStatus::Failed;
    }
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    TakeOutput(token);
    m_established = false;
    return VornTlsStatus::Ok;
}
