#include "app/brellin-get/VornGetOptions.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace {

constexpr std::array<int32_t, 8> kConnectionCounts = {1, 2, 4, 8, 12, 16, 24, 32};

bool ParseNumber(const std::string& text, int64_t& value) {
    if (text.empty()) {
        return false;
    }
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool TakeValue(const std::vector<std::string>& arguments, size_t& i, std::string& value, std::string& error) {
    if (i + 1 >= arguments.size()) {
        error = "option " + arguments[i] + " needs a value";
        return false;
    }
    value = arguments[++i];
    return true;
}

bool ParseConnections(const std::string& text, VornGetOptions& options, std::string& error) {
    int64_t count = 0;
    if (!ParseNumber(text, count) ||
        std::find(kConnectionCounts.begin(), kConnectionCounts.end(), count) == kConnectionCounts.end()) {
        error = "-c must be one of 1, 2, 4, 8, 12, 16, 24, 32 (got \"" + text + "\")";
        return false;
    }
    options.connections = static_cast<int32_t>(count);
    return true;
}

bool ParseLimit(const std::string& text, VornGetOptions& options, std::string& error) {
    int64_t limit = 0;
    if (!ParseNumber(text, limit) || limit < 0 || limit > 100000000) {
        error = "--limit must be a number of kilobytes per second, 0 for none (got \"" + text + "\")";
        return false;
    }
    options.limitKbps = limit;
    return true;
}

} // namespace

const char* VornGetOptions::Usage() {
    return "usage: brellin-get URL [-c N] [-o DIR] [--limit KBPS] [-q]\n"
           "  -c N          connections: 1, 2, 4, 8, 12, 16, 24 or 32 (default: the MaxConnections setting)\n"
           "  -o DIR        save into DIR (default: the Downloads folder, in the category subfolder)\n"
           "  --limit KBPS  speed limit in kilobytes per second, 0 for none (default: the BandWidthLimit "
           "setting)\n"
           "  -q            print nothing but errors\n";
}

bool VornGetOptions::Parse(const std::vector<std::string>& arguments, VornGetOptions& options,
                           std::string& error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "-q") {
            options.quiet = true;
        } else if (argument == "-c") {
            if (!TakeValue(arguments, i, value, error) || !ParseConnections(value, options, error)) {
                return false;
            }
        } else if (argument == "-o") {
            if (!TakeValue(arguments, i, value, error)) {
                return false;
            }
            if (value.empty()) {
                error = "-o needs a folder";
                return false;
            }
            options.outputFolder = value;
        } else if (argument == "--limit") {
            if (!TakeValue(arguments, i, value, error) || !ParseLimit(value, options, error)) {
                return false;
            }
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option " + argument;
            return false;
        } else if (options.url.empty()) {
            options.url = argument;
        } else {
            error = "only one URL may be given";
            return false;
        }
    }
    if (options.url.empty() && !options.help) {
        error = "no URL given";
        return false;
    }
    return true;
}
