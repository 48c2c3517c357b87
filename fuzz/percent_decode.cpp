// Percent-decoding and the UTF-8 conversions on arbitrary bytes: no crash, no output larger than the
// input allows, and encode/decode round trips.
#include "base/VornText.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string bytes = vornPercentDecodeBytes(text);
    check(bytes.size() <= text.size());
    const std::wstring wide = vornPercentDecode(text);
    check(wide.size() <= bytes.size());

    // Encoding gives printable ASCII only, and decoding it gives the text back when no '%' or NUL in
    // the text could be mistaken for an escape or end it early.
    const std::string encoded = vornPercentEncode(wide, true);
    for (char c : encoded) {
        check(static_cast<unsigned char>(c) > 32 && static_cast<unsigned char>(c) < 127);
    }
    if (wide.find(L'%') == std::wstring::npos && wide.find(L'\0') == std::wstring::npos) {
        check(vornPercentDecode(encoded) == wide);
    }

    // The strict conversion reads a prefix of the input and gives back exactly those bytes.
    const std::wstring strict = vornUtf8ToWide(text);
    check(strict.size() <= text.size());
    const std::string back = vornWideToUtf8(strict);
    check(text.compare(0, back.size(), back) == 0);
    // Valid code points survive UTF-8 both ways.
    check(vornUtf8ToWideReplacing(vornWideToUtf8(wide)) == wide.substr(0, wide.find(L'\0')));

    const std::string ascii = vornPercentDecodeToAscii(text);
    check(ascii.empty() || ascii.size() == wide.size());
    return 0;
}
