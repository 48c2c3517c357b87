#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class VornSegmentManager;

// Measures a download's throughput, enforces its bandwidth limit by sleeping the engine thread, and
// builds the incremental progress report posted at every tick.
class VornSpeedMeter {
public:
    using Clock = std::function<double()>; // milliseconds since 1970
    using Sleeper = std::function<void(int64_t millis)>;

    VornSpeedMeter(double limit, VornSegmentManager* manager);
    // Clock and sleeper replaceable for tests; the manager may be null when only Measure is used.
    VornSpeedMeter(double limit, VornSegmentManager* manager, Clock clock, Sleeper sleeper);

    // One tick with the limit in bytes per millisecond (0: none); returns the progress report.
    std::string Tick(double limit);

    // The measuring half of a tick: sleeps when over the limit and returns the average speed in
    // bytes per second.
    int64_t Measure(double limit, int64_t downloadedTotal);
    // The time-left text; recomputed at most every second call (alternating).
    std::string RemainingTimeText(int64_t remaining, double bytesPerSecond);

    // The sleep a tick imposes for delta bytes in elapsed milliseconds under limit, in milliseconds.
    static int64_t LimitSleepMillis(double limit, int64_t delta, double elapsed);
    // The hours, minutes, seconds text for a number of seconds.
    static std::string FormatSeconds(int64_t seconds);

    static double WallClockMillis();

private:
    VornSegmentManager* m_manager;
    Clock m_clock;
    Sleeper m_sleeper;
    std::array<double, 24> m_samples{};
    size_t m_oldest = 0;
    double m_limit;
    double m_sampleSum = 0;
    int64_t m_lastTotal = 0;
    double m_lastTime;
    std::string m_remainingText = " ";
    double m_averageSpeed = 0;
    bool m_toggle = false;
};
