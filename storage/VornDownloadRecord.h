#pragma once

#include "base/VornUrl.h"

#include <cstdint>
#include <string>
#include <vector>

// One download as the rest of the program passes it around: the engine works on a copy, the windows
// show it, the browser link builds it, and the database stores it.
struct VornDownloadRecord {
    // The user agent every record starts with, blanks around each '/' included.
    static const char* const kDefaultUserAgent;

    VornDownloadRecord();
    VornDownloadRecord(int32_t id, const std::string& urlText, const std::string& secondUrlText,
                       uint8_t connections, int64_t bandwidthLimit, const std::string& linkType);

    // The four header lines every record carries first, in order.
    static const std::vector<std::string>& defaultHeaders();
    // A line that starts (exact case) with one of the default header names; such lines are never stored.
    static bool isDefaultHeader(const std::string& line);

    // An audio and video pair carries the audio stream's URL here.
    bool hasSecondUrl() const;
    // The name a download is saved under when its own file name is still empty.
    std::wstring derivedFileName() const;
    // The name the database keeps: the file name or the derived one, percent-encoded with %20 for blanks.
    std::string storedFileName() const;

    VornUrl url;
    VornUrl secondUrl;
    int32_t id = -1;
    int64_t bandwidthLimit = 0;
    uint8_t connections = 0;
    std::wstring fileName;
    std::string method;
    std::string postData;
    std::string pageTitle;
    std::string pageUrl;
    std::string referrer;
    std::string userAgent;
    std::string linkTitle;
    std::string mimeType;
    // Set by the engine when resuming failed; never stored.
    int32_t freshRestart = 0;
    int64_t fileSize = 0;
    std::string linkType;
    // Complete header lines without line ends.
    std::vector<std::string> requestHeaders;
};
