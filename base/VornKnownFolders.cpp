#include "base/VornKnownFolders.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// The XDG rules ignore relative values: they would depend on the current folder.
std::filesystem::path xdgFolder(const char* variable, const char* fallbackBelowHome) {
    std::filesystem::path value = environment(variable);
    if (value.is_absolute()) {
        return value;
    }
    std::filesystem::path home = VornKnownFolders::home();
    if (home.empty()) {
        return {};
    }
    return home / fallbackBelowHome;
}

// The folder with one trailing separator, created when missing; "/" when that fails.
std::filesystem::path createdFolder(const std::filesystem::path& folder) {
    if (folder.empty()) {
        return "/";
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!std::filesystem::is_directory(folder, error)) {
        return "/";
    }
    return folder / "";
}

// One quoted value of the user-dirs file; backslash escapes the next character. Empty without quotes.
bool unquote(const std::string& text, std::string& value) {
    if (text.size() < 2 || text.front() != '"') {
        return false;
    }
    value.clear();
    for (size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            return true;
        }
        if (c == '\\' && i + 1 < text.size()) {
            c = text[++i];
        }
        value += c;
    }
    return false;
}

std::filesystem::path resolve(const std::string& value, const std::filesystem::path& home) {
    static const std::string homeVariable = "$HOME";
    if (value.starts_with(homeVariable)) {
        std::string rest = value.substr(homeVariable.size());
        if (rest.empty()) {
            return home;
        }
        if (rest.front() != '/' || home.empty()) {
            return {};
        }
        return home / rest.substr(1);
    }
    if (value.starts_with("/")) {
        return value;
    }
    return {};
}

std::string trimmedLeft(const std::string& line) {
    size_t start = line.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : line.substr(start);
}

} // namespace

std::filesystem::path VornKnownFolders::home() {
    std::string value = environment("HOME");
    if (!value.empty()) {
        return value;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
        return found->pw_dir;
    }
    return {};
}

std::filesystem::path VornKnownFolders::configHome() {
    return xdgFolder("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path VornKnownFolders::dataHome() {
    return xdgFolder("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path VornKnownFolders::dataFolder() {
    std::filesystem::path base = dataHome();
    std::filesystem::path folder = createdFolder(base.empty() ? base : base / "Ostrel");
    if (folder != "/") {
        // It holds the database with its stored credentials and every download's work files: the
        // user's own, even where an older version left it readable to everyone.
        ::chmod(folder.c_str(), 0700);
    }
    return folder;
}

std::filesystem::path VornKnownFolders::settingsFolder() {
    std::filesystem::path base = configHome();
    return base.empty() ? base : base / "Ostrel" / "";
}

std::filesystem::path VornKnownFolders::downloadsFolder() {
    std::filesystem::path homeFolder = home();
    std::filesystem::path folder;
    std::filesystem::path config = configHome();
    if (!config.empty()) {
        std::ifstream in(config / "user-dirs.dirs", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        folder = parseDownloadDir(text.str(), homeFolder);
    }
    if (folder.empty() && !homeFolder.empty()) {
        folder = homeFolder / "Downloads";
    }
    return createdFolder(folder);
}

std::filesystem::path VornKnownFolders::parseDownloadDir(const std::string& userDirsText,
                                                         const std::filesystem::path& home) {
    static const std::string key = "XDG_DOWNLOAD_DIR";
    std::filesystem::path result;
    std::istringstream lines(userDirsText);
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmedLeft(line);
        if (!line.starts_with(key)) {
            continue;
        }
        std::string rest = trimmedLeft(line.substr(key.size()));
        if (rest.empty() || rest.front() != '=') {
            continue;
        }
        std::string value;
        if (!unquote(trimmedLeft(rest.substr(1)), value)) {
            continue;
        }
        std::filesystem::path resolved = resolve(value, home);
        if (!resolved.empty()) {
            result = resolved;
        }
    }
    return result;
}
