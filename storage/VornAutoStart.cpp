#include "storage/VornAutoStart.h"

#include "base/VornKnownFolders.h"
#include "storage/VornAtomicFile.h"

#include <cerrno>
#include <unistd.h>
#include <vector>

namespace {

// Characters after which the desktop-entry rules need the argument quoted.
bool needsQuotes(const std::string& path) {
    return path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
}

// Inside double quotes '"', '`', '$' and '\' take a backslash.
std::string quoted(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

// The general string escapes of a desktop-entry value, and "%%" for a literal percent sign in Exec.
std::string escapedValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '%':
            out += "%%";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

std::filesystem::path VornAutoStart::entryPath() {
    std::filesystem::path config = VornKnownFolders::configHome();
    return config.empty() ? config : config / "autostart" / "Ostrel.desktop";
}

std::filesystem::path VornAutoStart::programPath() {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string VornAutoStart::execLine(const std::filesystem::path& programPath) {
    const std::string& path = programPath.native();
    return escapedValue(needsQuotes(path) ? quoted(path) : path) + " -autostart";
}

std::string VornAutoStart::entryText(const std::filesystem::path& programPath) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Brellin\n"
           "Comment=Starts Brellin in the tray\n"
           "Exec=" +
           execLine(programPath) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool VornAutoStart::write(const std::filesystem::path& programPath) {
    std::filesystem::path entry = entryPath();
    if (entry.empty() || programPath.empty()) {
        return false;
    }
    std::error_code ignored;
    std::filesystem::create_directories(entry.parent_path(), ignored);
    return VornAtomicFile::replace(entry, entryText(programPath));
}

bool VornAutoStart::remove() {
    std::filesystem::path entry = entryPath();
    if (entry.empty()) {
        return true;
    }
    return ::unlink(entry.c_str()) == 0 || errno == ENOENT;
}
