#pragma once

#include "base/VornMessageTarget.h"
#include "storage/VornDownloadRecord.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class VornDownloadEngine;

// Runs one download engine to its end on a message queue, as a download window would, and keeps
// what it reported.
struct EngineRunResult {
    bool completed = false;
    bool canceled = false;
    bool failed = false;
    int32_t errorCode = -1;
    std::wstring errorText;
    std::wstring fileName;
    std::wstring targetFolder;
    std::vector<VornMessage> messages;

    // The payloads of one event code, in order.
    std::vector<std::string> events(int32_t code) const;
    std::filesystem::path savedFile() const;
};

struct EngineRunOptions {
    uint8_t connections = 8;
    int64_t limit = 0;
    bool categoryFolders = false;
    bool connectionsAtOnce = true;
    bool resume = false;
    // Stops the engine after this many progress reports (0: never).
    int stopAfterProgress = 0;
    // Stops the engine once a progress report counts at least this many bytes (0: never).
    int64_t stopAfterBytes = 0;
    // Sets a new maximum connection count after this many progress reports (0: never).
    int changeMaximumAfterProgress = 0;
    // Or once a progress report counts at least this many bytes (0: never).
    int64_t changeMaximumAfterBytes = 0;
    uint8_t newMaximum = 0;
    std::string linkType = "normal";
};

EngineRunResult runEngine(const std::string& url, const std::filesystem::path& workFolder,
                          const std::filesystem::path& destination, const EngineRunOptions& options = {});

// Names of the files a folder holds (not recursive); empty when it does not exist.
std::vector<std::string> folderEntries(const std::filesystem::path& folder);
