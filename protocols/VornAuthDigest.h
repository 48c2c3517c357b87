#pragma once

#include "protocols/VornAuth.h"

#include <deque>

class VornUrl;

// Digest (RFC 2617): MD5 and MD5-sess, with or without qop=auth. One handler serves every connection of
// a download, so the nonce count grows over the whole download until a new nonce or a stale challenge.
class VornAuthDigest : public VornAuth {
public:
    VornAuthDigest(const std::string& challenge, const VornUrl& url, const std::string& method, int32_t kind,
                   const std::string& user, const std::string& password);
    bool BuildHeader(int32_t round, const std::string& challengeLine, std::string& headerLine) override;
    void SetRequest(const std::string& method, const std::string& target) override;

    const std::string& Method() const { return m_method; }
    uint32_t NonceCount() const { return m_nonceCount; }
    const std::string& Cnonce() const { return m_cnonce; }
    const std::string& Nonce() const { return m_nonce; }

private:
    bool ReadChallenge(int32_t round, const std::string& challengeLine);
    void DrawCnonce();

    uint8_t m_qopFlag = 0;
    uint32_t m_nonceCount = 1;
    uint8_t m_staleFlag = 0;
    std::string m_opaque;
    std::string m_qop;
    std::string m_nonce;
    std::string m_cnonce;
    std::string m_algorithm;
    std::string m_method;
    // Challenge lines already read: connections keep theirs across resets and hand them in again, which
    // must neither reset the nonce count nor be taken for a new challenge.
    std::deque<std::string> m_readLines;
};
