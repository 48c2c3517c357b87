#pragma once

#include "storage/VornDownloadRecord.h"

#include <cstdint>
#include <optional>
#include <string>

// What a new captured download starts with: the MaxConnections and BandWidthLimit settings.
struct VornCaptureDefaults {
    uint8_t connections = 8;
    int64_t bandwidthLimit = 0;

    // The settings as they stand now; a change later does not touch downloads already made.
    static VornCaptureDefaults fromSettings();
};

// Turns the text of a WM_BROWSER_MESSAGE into a download record, or into nothing when the message is
// dropped. One object serves the whole process, so that a request the browser sends twice in quick
// succession yields one download.
class VornCaptureParser {
public:
    static constexpr uint64_t GUARD_MS = 500;
    static constexpr const char* POST_MARKER = "__0VornPostData9__";

    explicit VornCaptureParser(VornCaptureDefaults defaults = {});
    // Reads the defaults from the settings at every message.
    static VornCaptureParser withSettings();

    // now is wall-clock milliseconds since 1970. Messages closer than 500 ms to the last accepted one
    // are dropped, and so are messages whose "2:" or "3:" URL is unusable.
    std::optional<VornDownloadRecord> receive(const std::string& text, uint64_t now);

    // The parse alone, without the time guard.
    static std::optional<VornDownloadRecord> parse(std::string text, const VornCaptureDefaults& defaults);
    // Whether the message names a download the window can start: it parses and its "2:" URL is usable.
    // The link tells the extension this verdict, so that the browser drops its own download only then.
    static bool holdsDownloadUrl(const std::string& text);

private:
    bool admit(uint64_t now);

    VornCaptureDefaults m_defaults;
    bool m_fromSettings = false;
    uint64_t m_lastAccepted = 0;
};
