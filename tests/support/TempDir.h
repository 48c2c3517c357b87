#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A fresh folder under /tmp, removed with everything in it when the test ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Sets environment variables for the life of the object and restores the old values after.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const std::string& name, const std::string& value);
    void unset(const std::string& name);

private:
    void remember(const std::string& name);
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

// Points HOME and the XDG folders into a temporary folder, so tests never touch the real ones.
class TempHome {
public:
    TempHome();
    const std::filesystem::path& home() const { return m_dir.path(); }
    std::filesystem::path dataDir() const { return m_dir.path() / ".local/share"; }
    std::filesystem::path configDir() const { return m_dir.path() / ".config"; }

private:
    TempDir m_dir;
    ScopedEnv m_env;
};

// Reads a whole file into a string (empty when it cannot be read).
std::string readWholeFile(const std::filesystem::path& path);
// Writes a string to a file, replacing it.
void writeWholeFile(const std::filesystem::path& path, const std::string& data);
