#pragma once

#include <filesystem>
#include <string>

// The XDG autostart entry that starts the program hidden in the tray when the user logs on:
// "<config home>/autostart/Ostrel.desktop", whose Exec line runs the program with "-autostart".
class VornAutoStart {
public:
    static std::filesystem::path entryPath();
    // The running program's file; empty when it cannot be found.
    static std::filesystem::path programPath();

    // The Exec value: the program path, then " -autostart". A path with characters that the desktop-entry
    // format reserves is quoted and escaped so that it still names the program.
    static std::string execLine(const std::filesystem::path& programPath);
    static std::string entryText(const std::filesystem::path& programPath);

    static bool write(const std::filesystem::path& programPath);
    // True when no entry is left (also when there was none).
    static bool remove();
};
