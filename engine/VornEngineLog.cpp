#include "engine/VornEngineLog.h"

#include "base/VornText.h"
#include "engine/VornEngineTypes.h"

#include <fcntl.h>
#include <unistd.h>

VornEngineLog::~VornEngineLog() {
    Close();
}

bool VornEngineLog::Open(const std::filesystem::path& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return m_fd >= 0;
}

void VornEngineLog::Close() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool VornEngineLog::IsOpen() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fd >= 0;
}

void VornEngineLog::Log(int32_t level, const std::string& message) {
    if (!IsOpen()) {
        return;
    }
    WriteRaw(FormatLine(level, message, std::time(nullptr)));
}

void VornEngineLog::WriteRaw(const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_fd < 0) {
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(m_fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return; // a full disk loses log lines, never the download
        }
        done += static_cast<size_t>(n);
    }
}

std::string VornEngineLog::LevelName(int32_t level) {
    switch (level) {
    case LOG_LEVEL_DEBUG:
        return "DEBUG  ";
    case LOG_LEVEL_INFO:
        return "INFO   ";
    case LOG_LEVEL_ERROR:
        return "ERROR  ";
    default:
        return "       ";
    }
}

std::string VornEngineLog::DecodeForLine(const std::string& message) {
    std::wstring decoded = vornPercentDecode(message);
    for (wchar_t c : decoded) {
        if (static_cast<uint32_t>(c) > 126) {
            return message;
        }
    }
    std::string plain;
    plain.reserve(decoded.size());
    for (wchar_t c : decoded) {
        plain.push_back(static_cast<char>(c));
    }
    return plain;
}

std::string VornEngineLog::FormatLine(int32_t level, const std::string& message, std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %X", &local);
    std::string line = LevelName(level);
    line.append(stamp, length);
    line += " ( " + std::to_string(static_cast<long long>(now)) + " ) ";
    line += "  " + QuoteControls(DecodeForLine(message)) + "\r\n";
    return line;
}

std::string VornEngineLog::QuoteControls(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}
