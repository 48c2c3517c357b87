#pragma once

#include <cstdint>
#include <string>

// NTLM messages (MS-NLMP) as byte strings: the negotiate message, the reading of the server's challenge
// and the authenticate message with NTLMv1 (DES) or NTLMv2 (HMAC-MD5) responses.

// Extended session security, always sign, NTLM, request target, OEM, Unicode.
constexpr uint32_t NTLM_NEGOTIATE_FLAGS = 0x00088207;
constexpr uint32_t NTLM_FLAG_UNICODE = 0x00000001;
// Set by the server when it wants NTLMv2 responses.
constexpr uint32_t NTLM_FLAG_EXTENDED_SESSION_SECURITY = 0x00080000;

struct VornNtlmChallenge {
    uint32_t flags = 0;
    std::string serverChallenge; // 8 bytes
    std::string targetInfo;
};

// What the authenticate message is built from besides the challenge.
struct VornNtlmClient {
    std::string domain;
    std::string user;
    std::string password;
    std::string workstation;
    // 8 bytes each, used for NTLMv2 only.
    std::string clientChallengeA;
    std::string clientChallengeB;
    // Seconds since 1970, whole.
    int64_t unixSeconds = 0;
};

std::string vornNtlmNegotiateMessage();
// False for a message shorter than 48 bytes, without the signature or type 2, or whose target
// information lies outside it.
bool vornNtlmReadChallenge(const std::string& message, VornNtlmChallenge& challenge);
// The bytes a string takes in the authenticate message: upper-cased (ASCII letters), then UTF-16LE under
// the Unicode flag (a text that is not UTF-8 is widened byte by byte), else the bytes as they are.
std::string vornNtlmPlacedString(const std::string& text, bool unicode, bool upperCase);
// MD4 of the password in UTF-16LE; empty when MD4 is not available.
std::string vornNtlmHash(const std::string& password);
// False when a primitive is not available.
bool vornNtlmAuthenticateMessage(const VornNtlmChallenge& challenge, const VornNtlmClient& client,
                                 std::string& message);
