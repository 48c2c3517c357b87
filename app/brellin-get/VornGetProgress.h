#pragma once

#include <cstdint>
#include <string>

// What the engine's progress reports and events say, turned into the one progress line brellin-get
// redraws on a terminal.
class VornGetProgress {
public:
    // A progress report: downloaded total @ speed @ time-left text @ segment entries.
    void OnProgress(const std::string& report);
    void SetFileSize(int64_t size) { m_fileSize = size; }
    void SetConnections(int32_t connections) { m_connections = connections; }

    int64_t Downloaded() const { return m_downloaded; }
    int64_t Speed() const { return m_speed; }
    // 0 to 100, or -1 while the size is unknown.
    double Percentage() const;
    // "percent  downloaded / total  speed  left time  N conn", without line control characters.
    std::string Line() const;

    static bool ParseReport(const std::string& report, int64_t& downloaded, int64_t& speed,
                            std::string& timeLeft);

private:
    int64_t m_fileSize = -1;
    int64_t m_downloaded = 0;
    int64_t m_speed = 0;
    std::string m_timeLeft;
    int32_t m_connections = 0;
};
