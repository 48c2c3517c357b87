#include "base/VornText.h"

#include <cstring>

namespace {

const char kSafeSet[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz[]$-_.+!*'(),&#@/\\%?=;:";
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kHexUpper[] = "0123456789ABCDEF";
const char kHexLower[] = "0123456789abcdef";

bool isSafe(unsigned char b, bool encodeSpaces) {
    if (b < 32 || b > 126) {
        return false;
    }
    if (b == ' ') {
        return !encodeSpaces;
    }
    return std::strchr(kSafeSet, b) != nullptr;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

} // namespace

std::string vornPercentEncode(const std::wstring& text, bool encodeSpaces) {
    const std::string bytes = vornWideToUtf8(text);
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (isSafe(b, encodeSpaces)) {
            out += c;
        } else {
            out += '%';
            out += kHexUpper[b >> 4];
            out += kHexUpper[b & 0x0F];
        }
    }
    return out;
}

std::string vornPercentDecodeBytes(const std::string& text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = vornHexValue(text[i + 1]);
            const int low = vornHexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                bytes += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        bytes += text[i];
    }
    return bytes;
}

std::wstring vornPercentDecode(const std::string& text) {
    return vornUtf8ToWideReplacing(vornPercentDecodeBytes(text));
}

std::string vornBase64Encode(const uint8_t* bytes, size_t length) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    for (size_t i = 0; i < length; i += 3) {
        const size_t left = length - i;
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (left > 1) {
            group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        }
        if (left > 2) {
            group |= bytes[i + 2];
        }
        out += kBase64[(group >> 18) & 0x3F];
        out += kBase64[(group >> 12) & 0x3F];
        out += left > 1 ? kBase64[(group >> 6) & 0x3F] : '=';
        out += left > 2 ? kBase64[group & 0x3F] : '=';
    }
    return out;
}

std::string vornBase64Encode(const std::string& bytes) {
    return vornBase64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string vornBase64Decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t group = 0;
    int count = 0;
    for (char c : text) {
        const int value = base64Value(c);
        if (value < 0) {
            break;
        }
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>(group >> 16);
            out += static_cast<char>(group >> 8);
            out += static_cast<char>(group);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out += static_cast<char>(group >> 4);
    } else if (count == 3) {
        out += static_cast<char>(group >> 10);
        out += static_cast<char>(group >> 2);
    }
    return out;
}

std::string vornDigestText(const uint8_t* bytes, size_t length) {
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += kHexLower[bytes[i] >> 4];
        out += kHexLower[bytes[i] & 0x0F];
    }
    return out;
}

std::string vornDigestText(const std::string& bytes) {
    return vornDigestText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

int vornHexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}
