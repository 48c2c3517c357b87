#include "base/VornText.h"

#include <optional>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence starting at text[i]. Returns the number of bytes it takes, or 0 when the
// sequence is invalid or truncated (overlong forms, surrogates and values above U+10FFFF included).
size_t decodeOne(const std::string& text, size_t i, char32_t& out) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        out = lead;
        return 1;
    }
    size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    out = value;
    return length;
}

// Length of the maximal prefix of an invalid sequence, so one bad sequence gives one replacement.
size_t invalidLength(const std::string& text, size_t i) {
    size_t k = i + 1;
    while (k < text.size() && k < i + 4 && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80) {
        ++k;
    }
    return (static_cast<unsigned char>(text[i]) & 0xC0) == 0xC0 ? k - i : 1;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = kReplacement;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

std::wstring vornUtf8ToWide(const std::string& text) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        char32_t c = 0;
        const size_t used = decodeOne(text, i, c);
        if (used == 0 || c == 0) {
            break;
        }
        out += static_cast<wchar_t>(c);
        i += used;
    }
    return out;
}

std::wstring vornUtf8ToWide(const char* text) {
    return text ? vornUtf8ToWide(std::string(text)) : std::wstring();
}

std::wstring vornUtf8ToWideReplacing(const std::string& bytes) {
    std::wstring out;
    size_t i = 0;
    while (i < bytes.size()) {
        char32_t c = 0;
        size_t used = decodeOne(bytes, i, c);
        if (used == 0) {
            c = kReplacement;
            used = invalidLength(bytes, i);
        }
        out += static_cast<wchar_t>(c);
        i += used;
    }
    return out;
}

std::string vornWideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        if (w == 0) {
            break;
        }
        appendUtf8(out, static_cast<char32_t>(w));
    }
    return out;
}

std::optional<std::string> vornWideToUtf8Exact(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        const auto c = static_cast<char32_t>(w);
        if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            return std::nullopt;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::string vornWideToAscii(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        if (static_cast<uint32_t>(w) > 126) {
            return std::string();
        }
        out += static_cast<char>(w);
    }
    return out;
}

std::string vornPercentDecodeToAscii(const std::string& text) {
    return text.empty() ? std::string() : vornWideToAscii(vornPercentDecode(text));
}
