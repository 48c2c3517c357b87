#include "app/brellin-get/VornGetProgress.h"

#include "base/VornFormat.h"
#include "engine/VornEngineTypes.h"

#include <charconv>
#include <cstdio>

namespace {

bool ToNumber(const std::string& text, int64_t& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

} // namespace

bool VornGetProgress::ParseReport(const std::string& report, int64_t& downloaded, int64_t& speed,
                                  std::string& timeLeft) {
    size_t first = report.find('@');
    if (first == std::string::npos) {
        return false;
    }
    size_t second = report.find('@', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    size_t third = report.find('@', second + 1);
    if (!ToNumber(report.substr(0, first), downloaded) ||
        !ToNumber(report.substr(first + 1, second - first - 1), speed)) {
        return false;
    }
    timeLeft = report.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
    return true;
}

void VornGetProgress::OnProgress(const std::string& report) {
    int64_t downloaded = 0;
    int64_t speed = 0;
    std::string timeLeft;
    if (!ParseReport(report, downloaded, speed, timeLeft)) {
        return;
    }
    m_downloaded = downloaded;
    // Full reports carry speed 0 and no time: keep the last measured figures.
    if (timeLeft != "Unkown") {
        m_speed = speed;
        m_timeLeft = timeLeft;
    }
}

double VornGetProgress::Percentage() const {
    if (m_fileSize <= 0 || m_fileSize == UNKNOWN_FILE_SIZE) {
        return -1;
    }
    return static_cast<double>(m_downloaded) * 100.0 / static_cast<double>(m_fileSize);
}

std::string VornGetProgress::Line() const {
    double percentage = Percentage();
    char percent[16];
    if (percentage < 0) {
        std::snprintf(percent, sizeof percent, "  ?  %%");
    } else {
        std::snprintf(percent, sizeof percent, "%5.1f%%", percentage);
    }
    std::string total = percentage < 0 ? std::string("?") : vornSizeTextShort(m_fileSize);
    std::string line = std::string(percent) + "  " + vornSizeTextShort(m_downloaded) + " / " + total + "  " +
                       vornSpeedTextShort(m_speed);
    std::string left = m_timeLeft;
    while (!left.empty() && left.front() == ' ') {
        left.erase(left.begin());
    }
    if (!left.empty()) {
        line += "  " + left + " left";
    }
    line += "  " + std::to_string(m_connections) + (m_connections == 1 ? " connection" : " connections");
    return line;
}
