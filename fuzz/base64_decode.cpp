// Base64 decoding of arbitrary text (the scrambled passwords in the settings and the database) and
// the round trips through encoding.
#include "base/VornHashScramble.h"
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

    const std::string decoded = vornBase64Decode(text);
    check(decoded.size() <= (text.size() / 4) * 3 + 2);
    // What was decoded encodes to the alphabet prefix that produced it, and decodes again the same.
    const std::string encoded = vornBase64Encode(decoded);
    check(encoded.size() % 4 == 0);
    check(vornBase64Decode(encoded) == decoded);
    check(vornBase64Decode(vornBase64Encode(text)) == text);

    const std::string password = vornUnscramble(text);
    // The length byte allows at most 223 bytes, and they come from the decoded block after that byte.
    check(password.size() <= 223);
    check(password.empty() || password.size() < decoded.size());
    if (!text.empty() && text.size() <= 100) {
        check(vornUnscramble(vornScramble(text)) == text);
    }
    return 0;
}
