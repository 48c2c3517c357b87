#include "base/VornNativePath.h"

#include <cstdint>

namespace {

bool appendUtf8(uint32_t c, std::string& out) {
    if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
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
    return true;
}

} // namespace

std::optional<std::string> vornNativePath(const std::wstring& path) {
    std::string out;
    out.reserve(path.size());
    for (wchar_t c : path) {
        if (!appendUtf8(static_cast<uint32_t>(c), out))
            return std::nullopt;
    }
    return out;
}
