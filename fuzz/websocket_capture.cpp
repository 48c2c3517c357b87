// Feeds arbitrary text, as an extension would send it behind the server's user-agent line, to the parse
// of captured requests.
#include "browserlink/VornCaptureParser.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = "User-Agent:Fuzz\r\n" + std::string(reinterpret_cast<const char*>(data), size);
    const auto record = VornCaptureParser::parse(text, VornCaptureDefaults{});
    if (!record)
        return 0;
    // Nothing that could split the request reaches its header lines.
    for (const std::string& line : record->requestHeaders) {
        if (line.empty() || line.find_first_of("\r\n") != std::string::npos)
            __builtin_trap();
    }
    if (record->method.find_first_of("\r\n ") != std::string::npos)
        __builtin_trap();
    return 0;
}
