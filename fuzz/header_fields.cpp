// The forgiving header-field search and value extraction over server and browser text. The input is
// a field name, a NUL, and the text to search.
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
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string name =
        split == std::string::npos ? std::string("Content-Length") : input.substr(0, split);
    const std::string text = split == std::string::npos ? input : input.substr(split + 1);

    for (bool atStart : {false, true}) {
        size_t position = 0;
        if (vornFindHeaderField(text, name, position, atStart)) {
            check(position > name.size() && position <= text.size());
            const char separator = text[position - 1];
            check(separator == ':' || separator == '=');
            for (int mode = 0; mode < 3; ++mode) {
                const std::string value = vornHeaderValue(text, position, mode == 1, mode == 2);
                check(value.size() <= text.size() - position);
                if (mode == 0) {
                    check(value.find_first_of("\r\n") == std::string::npos ||
                          text.find('"', position) != std::string::npos);
                }
            }
        }
    }
    // Any position, also past the end, is safe.
    check(vornHeaderValue(text, size, false, false).empty());

    std::string rest = text;
    const std::string head = vornSplitFirst(rest, name);
    check(head.size() <= text.size() && rest.size() <= text.size());
    const std::string replaced = vornReplaceAll(text, name, "");
    check(replaced.size() <= text.size());
    check(vornTrim(text).size() <= text.size());
    check(vornToUpper(text).size() == text.size());
    return 0;
}
