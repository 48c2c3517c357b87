#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

// Results of the session's steps.
enum class VornTlsStatus {
    Ok,                // the step is done (handshake complete, record decrypted, token produced)
    ContinueNeeded,    // the handshake needs the peer's next message; send the token if one came out
    IncompleteMessage, // the input does not yet hold a whole record
    Closed,            // the peer sent its close notification
    Failed,
};

// Sizes of the stream the session protects, filled once the handshake completes.
struct VornTlsStreamSizes {
    uint32_t header = 0;
    uint32_t trailer = 0;
    uint32_t maximumMessage = 0;
    uint32_t buffers = 4;
    uint32_t blockSize = 16;
};

// One client-side TLS session over memory buffers: the caller moves raw records between the socket and the
// session, so the session never touches a socket. Verifies the server's chain against the system trust store
// (or SSL_CERT_FILE) and its host name unless verification is turned off.
class VornTlsSession {
public:
    VornTlsSession(const std::string& hostName, bool verifyPeer);
    ~VornTlsSession();
    VornTlsSession(const VornTlsSession&) = delete;
    VornTlsSession& operator=(const VornTlsSession&) = delete;

    // The first handshake token (the client hello); ContinueNeeded on success.
    VornTlsStatus Start(std::string& token);
    // Hands the peer's handshake bytes to the session; the token to send comes out. Bytes that arrive after
    // the handshake's last message stay inside the session for Decrypt.
    VornTlsStatus HandshakeStep(const char* input, size_t length, std::string& token);
    VornTlsStreamSizes StreamSizes() const;

    // Protects at most maximumMessage bytes into records ready to send.
    VornTlsStatus Encrypt(const char* data, size_t length, std::string& records);
    // Takes raw bytes from the socket (may be empty) and delivers up to size plain bytes. Plain bytes not
    // delivered stay inside the session for the next call.
    VornTlsStatus Decrypt(const char* input, size_t length, char* destination, size_t size,
                          size_t& delivered);
    // Bytes inside the session that a Decrypt without new input may turn into plain bytes: decrypted
    // ones not yet delivered and raw ones not yet decrypted.
    size_t PendingPlain() const;
    // Records the session produced on its own after the handshake (a key update answer), to be sent.
    std::string TakeOutgoing();
    // The close notification to send, when the session is established.
    VornTlsStatus Shutdown(std::string& token);

    // Why the handshake failed, for the connection's error text; empty when it did not.
    const std::string& FailureReason() const { return m_failureReason; }
    bool IsEstablished() const { return m_established; }

private:
    VornTlsStatus Advance(std::string& token);
    void TakeOutput(std::string& out);
    void RecordFailure(int sslResult);

    ssl_ctx_st* m_context = nullptr;
    ssl_st* m_ssl = nullptr;
    bio_st* m_input = nullptr;
    bio_st* m_output = nullptr;
    std::string m_hostName;
    bool m_verifyPeer = true;
    bool m_established = false;
    std::string m_failureReason;
};
