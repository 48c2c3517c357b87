#include "engine/VornSpeedMeter.h"

#include "engine/VornSegmentManager.h"

#include <algorithm>
#include <chrono>

namespace {
const char* const kHoursLabel = " h  ";
const char* const kMinutesLabel = " min  ";
const char* const kSecondsLabel = " s";
} // namespace

double VornSpeedMeter::WallClockMillis() {
    using namespace std::chrono;
    // Monotonic with fractions: the bucket must not jump when the wall clock is set.
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

VornSpeedMeter::VornSpeedMeter(double limit, VornSegmentManager* manager)
    : VornSpeedMeter(limit, manager, &VornSpeedMeter::WallClockMillis) {}

VornSpeedMeter::VornSpeedMeter(double limit, VornSegmentManager* manager, Clock clock)
    : m_manager(manager), m_clock(std::move(clock)), m_limit(limit), m_lastTime(m_clock()) {}

int64_t VornSpeedMeter::Measure(double limit, int64_t downloadedTotal) {
    double now = m_clock();
    double elapsed = std::max(now - m_lastTime, 1.0);
    int64_t delta = downloadedTotal - m_lastTotal;
    m_lastTotal = downloadedTotal;
    double speed = static_cast<double>(delta) / elapsed;
    m_sampleSum = m_sampleSum - m_samples[m_oldest] + speed;
    m_samples[m_oldest] = speed;
    m_oldest = (m_oldest + 1) % m_samples.size();
    auto average = static_cast<int64_t>(m_sampleSum * 1000.0 / static_cast<double>(m_samples.size()));
    if (average >= 0) {
        m_averageSpeed = static_cast<double>(average);
    }
    m_lastTime = now;
    m_limit = limit;
    return static_cast<int64_t>(m_averageSpeed);
}

std::string VornSpeedMeter::FormatSeconds(int64_t seconds) {
    int64_t h = seconds / 3600;
    int64_t m = (seconds / 60) % 60;
    int64_t s = seconds % 60;
    if (h > 0) {
        return std::to_string(h) + kHoursLabel + std::to_string(m) + kMinutesLabel + std::to_string(s) +
               kSecondsLabel;
    }
    if (m > 0) {
        return std::to_string(m) + kMinutesLabel + std::to_string(s) + kSecondsLabel;
    }
    return std::to_string(s) + kSecondsLabel;
}

std::string VornSpeedMeter::RemainingTimeText(int64_t remaining, double bytesPerSecond) {
    if (remaining < 0) {
        return " ";
    }
    if (!m_toggle && bytesPerSecond != 0) {
        m_toggle = true;
        m_remainingText =
            FormatSeconds(remaining / std::max<int64_t>(static_cast<int64_t>(bytesPerSecond), 1));
        return m_remainingText;
    }
    m_toggle = !m_toggle;
    return m_remainingText;
}

std::string VornSpeedMeter::Tick(double limit) {
    int64_t average = Measure(limit, m_manager->DownloadedTotal());
    std::string text = RemainingTimeText(m_manager->RemainingBytes(), static_cast<double>(average));
    return m_manager->ProgressReport(false, static_cast<int32_t>(average), text);
}
