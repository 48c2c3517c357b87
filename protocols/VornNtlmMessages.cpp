#include "protocols/VornNtlmMessages.h"

#include "base/VornHash.h"
#include "base/VornText.h"

namespace {

const char kSignature[8] = {'N', 'T', 'L', 'M', 'S', 'S', 'P', '\0'};
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;

void put16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

void put32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

void put64(std::string& out, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

uint32_t get16(const std::string& in, size_t at) {
    return static_cast<uint8_t>(in[at]) | static_cast<uint32_t>(static_cast<uint8_t>(in[at + 1])) << 8;
}

uint32_t get32(const std::string& in, size_t at) {
    return get16(in, at) | get16(in, at + 2) << 16;
}

void putBuffer(std::string& out, size_t length, size_t offset) {
    put16(out, static_cast<uint16_t>(length));
    put16(out, static_cast<uint16_t>(length));
    put32(out, static_cast<uint32_t>(offset));
}

void appendUtf16(std::string& out, uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>((unit >> 8) & 0xFF);
}

std::string ntlmV1Response(const std::string& ntHash, const std::string& serverChallenge, bool& ok) {
    std::string padded = ntHash;
    padded.resize(21, '\0');
    std::string response;
    for (int i = 0; i < 3; ++i) {
        const std::string key = vornDesKey(padded.substr(7 * i, 7));
        uint8_t block[8];
        if (!vornDesEncrypt(reinterpret_cast<const uint8_t*>(key.data()),
                            reinterpret_cast<const uint8_t*>(serverChallenge.data()), block)) {
            ok = false;
            return {};
        }
        response.append(reinterpret_cast<const char*>(block), 8);
    }
    return response;
}

} // namespace

std::string vornNtlmNegotiateMessage() {
    std::string message(kSignature, 8);
    put32(message, 1);
    put32(message, NTLM_NEGOTIATE_FLAGS);
    message.append(16, '\0');
    return message;
}

bool vornNtlmReadChallenge(const std::string& message, VornNtlmChallenge& challenge) {
    if (message.size() < 48 || message.compare(0, 8, kSignature, 8) != 0 || get32(message, 8) != 2) {
        return false;
    }
    const uint64_t infoLength = get16(message, 40);
    const uint64_t infoOffset = get32(message, 44);
    if (infoOffset > message.size() || infoLength > message.size() - infoOffset) {
        return false;
    }
    challenge.flags = get32(message, 20);
    challenge.serverChallenge = message.substr(24, 8);
    challenge.targetInfo = message.substr(static_cast<size_t>(infoOffset), static_cast<size_t>(infoLength));
    return true;
}

std::string vornNtlmPlacedString(const std::string& text, bool unicode, bool upperCase) {
    const std::string upper = upperCase ? vornToUpper(text) : text;
    if (!unicode) {
        return upper;
    }
    const std::wstring wide = vornUtf8ToWide(upper);
    std::string placed;
    if (vornWideToUtf8(wide) != upper) {
        // Not UTF-8: each byte stands for the character of the same value.
        for (unsigned char byte : upper) {
            appendUtf16(placed, byte);
        }
        return placed;
    }
    for (wchar_t w : wide) {
        const auto code = static_cast<uint32_t>(w);
        if (code >= 0x10000) {
            appendUtf16(placed, 0xD800 + ((code - 0x10000) >> 10));
            appendUtf16(placed, 0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            appendUtf16(placed, code);
        }
    }
    return placed;
}

std::string vornNtlmHash(const std::string& password) {
    return vornMd4(vornNtlmPlacedString(password, true, false));
}

bool vornNtlmAuthenticateMessage(const VornNtlmChallenge& challenge, const VornNtlmClient& client,
                                 std::string& message) {
    const bool unicode = (challenge.flags & NTLM_FLAG_UNICODE) != 0;
    const std::string domain = vornNtlmPlacedString(client.domain, unicode, true);
    const std::string user = vornNtlmPlacedString(client.user, unicode, true);
    const std::string workstation = vornNtlmPlacedString(client.workstation, unicode, true);
    const std::string ntHash = vornNtlmHash(client.password);
    if (ntHash.size() != 16 || challenge.serverChallenge.size() != 8) {
        return false;
    }
    std::string lmResponse;
    std::string ntResponse;
    if ((challenge.flags & NTLM_FLAG_EXTENDED_SESSION_SECURITY) != 0) {
        const std::string key = vornHmacMd5(ntHash, user + domain);
        std::string blob("\x01\x01", 2);
        blob.append(6, '\0');
        put64(blob, static_cast<uint64_t>(client.unixSeconds + kEpochDifference) * 10000000ULL);
        blob += client.clientChallengeB;
        blob.append(4, '\0');
        const std::string lmProof = vornHmacMd5(key, challenge.serverChallenge + client.clientChallengeA);
        const std::string ntProof = vornHmacMd5(key, challenge.serverChallenge, blob, challenge.targetInfo);
        if (key.size() != 16 || lmProof.size() != 16 || ntProof.size() != 16) {
            return false;
        }
        lmResponse = lmProof + client.clientChallengeA;
        ntResponse = ntProof + blob + challenge.targetInfo;
    } else {
        bool ok = true;
        lmResponse = ntlmV1Response(ntHash, challenge.serverChallenge, ok);
        if (!ok) {
            return false;
        }
        ntResponse = lmResponse;
    }
    // Security buffers carry 16-bit lengths.
    const size_t payload =
        domain.size() + user.size() + workstation.size() + lmResponse.size() + ntResponse.size();
    if (64 + payload > 0xFFFF) {
        return false;
    }
    const size_t domainAt = 64;
    const size_t userAt = domainAt + domain.size();
    const size_t workstationAt = userAt + user.size();
    const size_t lmAt = workstationAt + workstation.size();
    const size_t ntAt = lmAt + lmResponse.size();
    std::string out(kSignature, 8);
    put32(out, 3);
    putBuffer(out, lmResponse.size(), lmAt);
    putBuffer(out, ntResponse.size(), ntAt);
    putBuffer(out, domain.size(), domainAt);
    putBuffer(out, user.size(), userAt);
    putBuffer(out, workstation.size(), workstationAt);
    putBuffer(out, 0, 0);
    put32(out, challenge.flags & NTLM_NEGOTIATE_FLAGS);
    out += domain + user + workstation + lmResponse + ntResponse;
    message = out;
    return true;
}
