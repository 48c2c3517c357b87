#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

// The engine's "LogFile.txt": one line per message, appended; never raises.
class VornEngineLog {
public:
    VornEngineLog() = default;
    ~VornEngineLog();
    VornEngineLog(const VornEngineLog&) = delete;
    VornEngineLog& operator=(const VornEngineLog&) = delete;

    // Opens for appending, creating the file when missing. False when it cannot be opened.
    bool Open(const std::filesystem::path& path);
    void Close();
    bool IsOpen() const;

    // Writes one line; nothing happens while the file is not open.
    void Log(int32_t level, const std::string& message);
    // Writes raw text as it is (the closing blank lines).
    void WriteRaw(const std::string& text);

    // The line as written: padded level name, local time, seconds since 1970, the message, CR LF.
    // Server and user texts reach the log: a control character (a CR or LF above all, which would
    // start a forged line) is written as \xNN.
    static std::string QuoteControls(const std::string& text);
    static std::string FormatLine(int32_t level, const std::string& message, std::time_t now);
    // "DEBUG  ", "INFO   ", "ERROR  ".
    static std::string LevelName(int32_t level);
    // A percent-encoded message whose decoding is plain ASCII is written decoded, else unchanged.
    static std::string DecodeForLine(const std::string& message);

private:
    mutable std::mutex m_lock;
    int m_fd = -1;
};
