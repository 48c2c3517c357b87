// The settings-file format on arbitrary contents (a hand-edited or damaged file): no crash, a value
// written reads back, every line it does not replace survives unchanged and in order, and any text
// round-trips through a line.
#include "storage/VornSettingsFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::vector<std::string> lines(const std::string& contents) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) {
            end = contents.size();
        }
        result.push_back(contents.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

bool mentionsName(const std::string& text) {
    for (size_t i = 0; i + 4 <= text.size(); ++i) {
        if ((text[i] | 0x20) == 'f' && (text[i + 1] | 0x20) == 'u' && (text[i + 2] | 0x20) == 'z' &&
            (text[i + 3] | 0x20) == 'z') {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string contents(reinterpret_cast<const char*>(data), size);
    for (const char* name : {"MaxConnections", "HTTP_ProxyAddress", "LastDownloadID"}) {
        VornSettingsFile::find(contents, name);
    }
    VornSettingsFile::parseValue(contents);

    const std::string line = VornSettingsFile::formatLine("FuzzText", contents);
    check(line.find('\n') == std::string::npos);
    check(VornSettingsFile::parseValue(line.substr(9)) == VornSettingValue(contents));

    const std::string written = VornSettingsFile::withValues(
        contents, {{"FuzzText", contents}, {"FuzzNumber", static_cast<int32_t>(size)}});
    check(VornSettingsFile::find(written, "FuzzText") == VornSettingValue(contents));
    check(VornSettingsFile::find(written, "fuzznumber") == VornSettingValue(static_cast<int32_t>(size)));
    if (!mentionsName(contents)) {
        // The two new lines are appended after everything the file held.
        const std::vector<std::string> before = lines(contents);
        const std::vector<std::string> after = lines(written);
        check(after.size() == before.size() + 2);
        for (size_t i = 0; i < before.size(); ++i) {
            check(after[i] == before[i]);
        }
    }
    return 0;
}
