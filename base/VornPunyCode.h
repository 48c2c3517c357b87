#pragma once

#include <string>

// Internationalised host names to their ASCII form (RFC 3492 Punycode with the "xn--" prefix).
class VornPunyCode {
public:
    // Longest label accepted and longest encoding written for one label.
    static constexpr size_t MAX_LABEL_LENGTH = 256;
    static constexpr size_t MAX_ENCODED_LENGTH = 512;

    // The Punycode of one label, without prefix. Stops quietly when MAX_ENCODED_LENGTH bytes are
    // written; throws VornException 12 on arithmetic overflow.
    static std::string encode(const std::wstring& label);

    // Converts every label that holds a character above 127 to "xn--" + its encoding; a text without
    // such characters is returned unchanged. Throws VornException 2 for a label longer than
    // MAX_LABEL_LENGTH.
    static std::wstring toAscii(const std::wstring& host);
};
