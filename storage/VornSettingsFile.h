#pragma once

#include "storage/VornAtomicFile.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// A stored setting: a 32-bit integer or a UTF-8 text.
using VornSettingValue = std::variant<int32_t, std::string>;

// The per-user settings file: one "Name=value" line per setting, integers in decimal and texts in double
// quotes with backslash escapes. Names match without regard to ASCII case.
//
// Nothing is cached: every read parses the file, every change rewrites it at once through a temporary
// file and a rename, under an exclusive lock on a lock file beside it, so concurrent writers in threads
// or processes never lose each other's values. Lines that do not parse are kept as they stand, and a
// file that exists but cannot be read is never replaced, so a damaged file reads as defaults without
// being cut down to the few values written after the damage.
class VornSettingsFile {
public:
    using Change = std::function<std::optional<VornSettingValue>(const std::optional<VornSettingValue>&)>;

    explicit VornSettingsFile(std::filesystem::path folder);
    VornSettingsFile(std::filesystem::path folder, VornAtomicFile::Writer writer);

    const std::filesystem::path& path() const { return m_path; }

    // Nothing when the setting or the file is missing, unreadable or damaged.
    std::optional<VornSettingValue> read(const std::string& name) const;

    // False when the change could not be stored; the file is then as it was.
    bool write(const std::string& name, const VornSettingValue& value);
    // Several values in one rewrite, so a reader sees all of them or none.
    bool write(const std::vector<std::pair<std::string, VornSettingValue>>& values);
    // Read-modify-write under the lock; a change that returns nothing leaves the file untouched.
    bool update(const std::string& name, const Change& change);

    // The format itself, on file contents in memory (read and write apply these to the file).
    static std::string formatLine(const std::string& name, const VornSettingValue& value);
    static std::optional<VornSettingValue> parseValue(const std::string& text);
    // The value of the last line of that name; nothing when it is missing or does not parse.
    static std::optional<VornSettingValue> find(const std::string& contents, const std::string& name);
    // The contents with the values set: each replaces the first line of its name (later ones go) or is
    // appended; every other line stays as it was. Names must be valid.
    static std::string withValues(const std::string& contents,
                                  const std::vector<std::pair<std::string, VornSettingValue>>& values);
    // Not empty, no '=' or line break, no blanks around it, not starting like a comment.
    static bool validName(const std::string& name);

private:
    struct Line {
        std::string raw;
        std::string name;
        std::optional<VornSettingValue> value;
    };

    static bool sameName(const std::string& a, const std::string& b);
    static Line parseLine(const std::string& raw);
    static std::vector<Line> parseLines(const std::string& contents);
    static std::optional<VornSettingValue> lookup(const std::vector<Line>& lines, const std::string& name);
    static std::string render(const std::vector<Line>& lines);
    // Nothing when the file exists but cannot be read; empty when it does not exist.
    std::optional<std::vector<Line>> load() const;
    bool store(const std::vector<Line>& lines) const;
    static void assign(std::vector<Line>& lines, const std::string& name, const VornSettingValue& value);
    bool modify(const std::function<bool(std::vector<Line>&)>& edit);

    std::filesystem::path m_folder;
    std::filesystem::path m_path;
    std::filesystem::path m_lockPath;
    VornAtomicFile::Writer m_writer;
};
