#pragma once

#include "base/VornUrl.h"
#include "protocols/VornBuffer.h"

#include <cstdint>
#include <memory>
#include <string>

// SOCKS version selector: what the engine keeps and each handshake tries. It only ever goes down.
constexpr int32_t SOCKS_VERSION_4 = 0;
constexpr int32_t SOCKS_VERSION_4A = 1;
constexpr int32_t SOCKS_VERSION_5 = 2;

// Handshake stages.
constexpr int32_t SOCKS_STAGE_START = 0;
constexpr int32_t SOCKS_STAGE_GREETING_SENT = 1;
constexpr int32_t SOCKS_STAGE_CREDENTIALS_SENT = 2;
constexpr int32_t SOCKS_STAGE_CONNECT_SENT = 3;
constexpr int32_t SOCKS_STAGE_DONE = 4;

// Verdicts of Step.
constexpr int SOCKS_VERDICT_DONE = 0;
constexpr int SOCKS_VERDICT_MORE = 1;
constexpr int SOCKS_VERDICT_SEND = 2;
constexpr int SOCKS_VERDICT_AUTH_REFUSED = 3;
constexpr int SOCKS_VERDICT_FAILED = 4;

constexpr uint32_t SOCKS_BUFFER_CAPACITY = 1024;

// Builds the outgoing messages of a SOCKS 5 (RFC 1928, RFC 1929), 4a or 4 CONNECT handshake and judges
// the proxy's replies. The owner sends what it builds and feeds it what arrives; the handshake never
// touches a socket. Runs on the engine thread only.
class VornSocksHandshake {
public:
    VornSocksHandshake(const VornUrl& target, const std::string& user, const std::string& password,
                       int32_t version);
    VornSocksHandshake(const VornSocksHandshake&) = delete;
    VornSocksHandshake& operator=(const VornSocksHandshake&) = delete;

    // Appends the received bytes (at most the buffer's free space) and moves on. SEND: the buffer holds
    // a message to send (the owner empties it afterwards). DONE: the buffer holds only the bytes that
    // followed the final reply. AUTH_REFUSED and FAILED set the message.
    int Step(const VornBuffer<char>& received, std::wstring& message);
    // Back to the start with an empty buffer (a new attempt on a new connection).
    void Restart();

    bool BuildGreeting();
    // False (with the message) when the user name or the password does not fit its one-byte length.
    bool BuildCredentials(std::wstring& message);
    bool BuildConnect5(std::wstring& message);
    bool BuildConnect4(std::wstring& message);

    VornBuffer<unsigned char>& Buffer() { return *m_buffer; }
    int32_t Stage() const { return m_stage; }
    int32_t Version() const { return m_version; }
    void SetVersion(int32_t version) { m_version = version; }
    void SetTarget(const VornUrl& target) { m_target = target; }
    void SetCredentials(const std::string& user, const std::string& password);
    const std::string& User() const { return m_user; }
    const std::string& Password() const { return m_password; }
    // The reply code of the last refused CONNECT (SOCKS 5: 1 to 8; SOCKS 4: 0x5B to 0x5D), else -1.
    int ReplyCode() const { return m_replyCode; }
    // "SOCKS5", "SOCKS4a" or "SOCKS4".
    static const char* VersionName(int32_t version);

private:
    int GreetingReply(std::wstring& message);
    int CredentialsReply(std::wstring& message);
    int Connect5Reply(std::wstring& message);
    int Connect4Reply(std::wstring& message);
    void AppendPort();
    void Put(const void* data, size_t length);
    void Put(unsigned char byte) { Put(&byte, 1); }

    int32_t m_stage = SOCKS_STAGE_START;
    VornUrl m_target;
    std::string m_user;
    std::string m_password;
    int32_t m_version;
    std::unique_ptr<VornBuffer<unsigned char>> m_buffer;
    int m_replyCode = -1;
};
