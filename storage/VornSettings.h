#pragma once

#include "storage/VornSettingsFile.h"

#include <cstdint>
#include <filesystem>
#include <string>

// The program's settings, read from and written to the per-user settings file at the moment they are
// needed: there is no copy in memory, and a missing value yields its default. Safe to call from any
// thread; failures are silent (a failed read gives the default, a failed write leaves nothing stored).
class VornSettings {
public:
    static constexpr const char* kMaxConnections = "MaxConnections";
    static constexpr const char* kBandWidthLimit = "BandWidthLimit";
    static constexpr const char* kConnectionsAtOnce = "ConnectionsAtOnce";
    static constexpr const char* kCompletionDialog = "CompletionDialog";
    static constexpr const char* kCategoryFolders = "CategoryFolders";
    static constexpr const char* kAppAutoStart = "AppAutoStart";
    static constexpr const char* kSocksVersion = "SocksVersion";
    static constexpr const char* kLastDownloadId = "LastDownloadID";

    // The file of the current user, found afresh from the environment on every call.
    static VornSettingsFile file();

    // The integer, or the default when it is missing or stored as a text.
    static int32_t readInteger(const std::string& name, int32_t defaultValue);
    // On only when the stored integer is exactly 1, so a missing value means off.
    static bool readFlag01(const std::string& name);
    // On when the stored integer is below 2, so a missing value (read as 0) means on.
    static bool readFlag12(const std::string& name);
    // The text, or the default when it is missing, empty or stored as an integer.
    static std::string readText(const std::string& name, const std::string& defaultValue);

    static bool writeInteger(const std::string& name, int32_t value);
    static bool writeFlag01(const std::string& name, bool on);
    static bool writeFlag12(const std::string& name, bool on);
    static bool writeText(const std::string& name, const std::string& text);

    // 1, 2, 4, 8, 12, 16, 24 or 32 (by the low byte of the stored value); anything else reads as 8.
    static int32_t maxConnections();
    // Kilobytes per second for a new download; 0 means no limit.
    static int32_t bandWidthLimit();
    static bool connectionsAtOnce();
    static bool completionDialog();
    static bool categoryFolders();
    static bool appAutoStart();
    // 4 or 5 (by the low byte of the stored value); anything else reads as 5.
    static int32_t socksVersion();

    static bool setMaxConnections(int32_t count);
    static bool setBandWidthLimit(int32_t kilobytesPerSecond);
    static bool setConnectionsAtOnce(bool on);
    static bool setCompletionDialog(bool on);
    static bool setCategoryFolders(bool on);
    static bool setSocksVersion(int32_t version);

    // Hands out the next download id (the first is 1) and leaves it stored. The read and the write
    // happen under one lock, so two callers at once never get the same id.
    static int32_t nextDownloadId();

    // Stores AppAutoStart, then writes the autostart entry for the running program (on) or removes it
    // (off). When the program's own path cannot be found only the setting is stored.
    static void setAutoStart(bool on);
    static void setAutoStart(bool on, const std::filesystem::path& programPath);
};
