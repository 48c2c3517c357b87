#include "storage/VornSettingsFile.h"

#include "base/VornText.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kSettingsFileName = "settings.conf";
const char* const kLockFileName = "settings.lock";
const char* const kHeaderLine = "# Brellin settings: integers in decimal, texts in double quotes.";

// Holds an exclusive flock on the lock file for its lifetime. The lock lives on a file of its own
// because each rewrite puts a new settings file in place, and a lock on the old one would guard nothing.
class ExclusiveLock {
public:
    explicit ExclusiveLock(const std::filesystem::path& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (m_fd < 0) {
            return;
        }
        int result;
        do {
            result = ::flock(m_fd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~ExclusiveLock() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Nothing when the file exists but cannot be read to its end.
std::optional<std::string> readFile(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? std::optional<std::string>(std::string()) : std::nullopt;
    }
    std::string data;
    char buffer[8192];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        data.append(buffer, static_cast<size_t>(count));
    }
    ::close(fd);
    return data;
}

void appendEscaped(std::string& out, const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 0x0F];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
}

// A quoted text with nothing but blanks after its closing quote.
std::optional<VornSettingValue> parseText(const std::string& text) {
    std::string value;
    for (size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            if (!vornTrim(text.substr(i + 1)).empty()) {
                return std::nullopt;
            }
            return VornSettingValue(value);
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++i >= text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
        case '\\':
            value += '\\';
            break;
        case '"':
            value += '"';
            break;
        case 'n':
            value += '\n';
            break;
        case 'r':
            value += '\r';
            break;
        case 't':
            value += '\t';
            break;
        case 'x': {
            int high = i + 2 < text.size() ? vornHexValue(text[i + 1]) : -1;
            int low = high >= 0 ? vornHexValue(text[i + 2]) : -1;
            if (low < 0) {
                return std::nullopt;
            }
            value += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// A DWORD in decimal; values above the signed range are kept as their 32-bit pattern.
std::optional<VornSettingValue> parseInteger(const std::string& text) {
    size_t start = text.starts_with("-") ? 1 : 0;
    size_t digits = text.size() - start;
    if (digits == 0 || digits > 10 || text.find_first_not_of("0123456789", start) != std::string::npos) {
        return std::nullopt;
    }
    long long number = std::stoll(text);
    if (number < INT32_MIN || number > static_cast<long long>(UINT32_MAX)) {
        return std::nullopt;
    }
    return VornSettingValue(static_cast<int32_t>(static_cast<uint32_t>(number)));
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

VornSettingsFile::VornSettingsFile(std::filesystem::path folder)
    : VornSettingsFile(std::move(folder),
                       [](int fd, const char* data, size_t size) { return ::write(fd, data, size); }) {}

VornSettingsFile::VornSettingsFile(std::filesystem::path folder, VornAtomicFile::Writer writer)
    : m_folder(std::move(folder)), m_path(m_folder / kSettingsFileName), m_lockPath(m_folder / kLockFileName),
      m_writer(std::move(writer)) {}

std::optional<VornSettingValue> VornSettingsFile::read(const std::string& name) const {
    std::optional<std::vector<Line>> lines = load();
    return lines ? lookup(*lines, name) : std::nullopt;
}

std::optional<VornSettingValue> VornSettingsFile::lookup(const std::vector<Line>& lines,
                                                         const std::string& name) {
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (sameName(it->name, name)) {
            return it->value;
        }
    }
    return std::nullopt;
}

std::optional<VornSettingValue> VornSettingsFile::find(const std::string& contents, const std::string& name) {
    return lookup(parseLines(contents), name);
}

std::string
VornSettingsFile::withValues(const std::string& contents,
                             const std::vector<std::pair<std::string, VornSettingValue>>& values) {
    std::vector<Line> lines = parseLines(contents);
    for (const auto& [name, value] : values) {
        assign(lines, name, value);
    }
    return render(lines);
}

bool VornSettingsFile::write(const std::string& name, const VornSettingValue& value) {
    return write({{name, value}});
}

bool VornSettingsFile::write(const std::vector<std::pair<std::string, VornSettingValue>>& values) {
    for (const auto& [name, value] : values) {
        if (!validName(name)) {
            return false;
        }
    }
    return modify([&](std::vector<Line>& lines) {
        for (const auto& [name, value] : values) {
            assign(lines, name, value);
        }
        return true;
    });
}

bool VornSettingsFile::update(const std::string& name, const Change& change) {
    if (!validName(name)) {
        return false;
    }
    return modify([&](std::vector<Line>& lines) {
        std::optional<VornSettingValue> next = change(lookup(lines, name));
        if (!next) {
            return false;
        }
        assign(lines, name, *next);
        return true;
    });
}

std::string VornSettingsFile::formatLine(const std::string& name, const VornSettingValue& value) {
    std::string line = name + "=";
    if (const int32_t* number = std::get_if<int32_t>(&value)) {
        line += std::to_string(*number);
    } else {
        line += '"';
        appendEscaped(line, std::get<std::string>(value));
        line += '"';
    }
    return line;
}

std::optional<VornSettingValue> VornSettingsFile::parseValue(const std::string& text) {
    std::string trimmed = vornTrim(text);
    if (trimmed.starts_with("\"")) {
        return parseText(trimmed);
    }
    return parseInteger(trimmed);
}

bool VornSettingsFile::validName(const std::string& name) {
    return !name.empty() && name == vornTrim(name) && name.find_first_of("=\r\n") == std::string::npos &&
           name.front() != '#' && name.front() != ';';
}

bool VornSettingsFile::sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

VornSettingsFile::Line VornSettingsFile::parseLine(const std::string& raw) {
    Line line{raw, {}, {}};
    std::string text = raw.ends_with("\r") ? raw.substr(0, raw.size() - 1) : raw;
    std::string trimmed = vornTrimLeft(text);
    size_t equals = trimmed.find('=');
    if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';' || equals == std::string::npos) {
        return line;
    }
    line.name = vornTrim(trimmed.substr(0, equals));
    line.value = parseValue(trimmed.substr(equals + 1));
    return line;
}

std::vector<VornSettingsFile::Line> VornSettingsFile::parseLines(const std::string& contents) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < contents.size()) {
        size_t end = contents.find('\n', start);
        if (end == std::string::npos) {
            end = contents.size();
        }
        lines.push_back(parseLine(contents.substr(start, end - start)));
        start = end + 1;
    }
    return lines;
}

std::string VornSettingsFile::render(const std::vector<Line>& lines) {
    std::string contents;
    for (const Line& line : lines) {
        contents += line.raw;
        contents += '\n';
    }
    return contents;
}

std::optional<std::vector<VornSettingsFile::Line>> VornSettingsFile::load() const {
    if (m_folder.empty()) {
        return std::vector<Line>(); // defaults only
    }
    std::optional<std::string> data = readFile(m_path);
    if (!data) {
        return std::nullopt;
    }
    return parseLines(*data);
}

bool VornSettingsFile::store(const std::vector<Line>& lines) const {
    return VornAtomicFile::replace(m_path, render(lines), m_writer);
}

void VornSettingsFile::assign(std::vector<Line>& lines, const std::string& name,
                              const VornSettingValue& value) {
    Line replacement{formatLine(name, value), name, value};
    bool placed = false;
    for (auto it = lines.begin(); it != lines.end();) {
        if (!sameName(it->name, name)) {
            ++it;
        } else if (!placed) {
            *it++ = replacement;
            placed = true;
        } else {
            // A later duplicate would override the new value on the next read.
            it = lines.erase(it);
        }
    }
    if (!placed) {
        lines.push_back(replacement);
    }
}

bool VornSettingsFile::modify(const std::function<bool(std::vector<Line>&)>& edit) {
    if (m_folder.empty()) {
        return false; // no home folder: never fall back to the current folder
    }
    std::error_code ignored;
    std::filesystem::create_directories(m_folder, ignored);
    // Proxy passwords live here.
    ::chmod(m_folder.c_str(), 0700);
    ExclusiveLock lock(m_lockPath);
    if (!lock.held()) {
        return false;
    }
    std::optional<std::vector<Line>> lines = load();
    if (!lines) {
        return false;
    }
    if (lines->empty()) {
        lines->push_back(parseLine(kHeaderLine));
    }
    if (!edit(*lines)) {
        return true;
    }
    return store(*lines);
}
