#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The command line of brellin-get: URL [-c N] [-o DIR] [--limit KBPS] [-q].
struct VornGetOptions {
    std::string url;
    // 0: the MaxConnections setting.
    int32_t connections = 0;
    // Empty: the Downloads folder with the category subfolder rule.
    std::string outputFolder;
    // Kilobytes per second; unset: the BandWidthLimit setting; 0: no limit.
    std::optional<int64_t> limitKbps;
    bool quiet = false;
    bool help = false;

    // Fills options from the arguments (without the program name); false with a message on bad input.
    static bool Parse(const std::vector<std::string>& arguments, VornGetOptions& options, std::string& error);
    static const char* Usage();
};
