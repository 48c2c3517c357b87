#pragma once

#include "engine/VornTokenBucket.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class VornSegmentManager;

// Measures a download's throughput, builds the incremental progress report posted at every tick, and
// holds the bandwidth limit: a token bucket that the connections' body reads draw from as they happen
// (the engine thread never sleeps for the limit, so a stop is seen at once).
class VornSpeedMeter {
public:
    using Clock = std::function<double()>; // milliseconds

    VornSpeedMeter(double limit, VornSegmentManager* manager);
    // Clock replaceable for tests; the manager may be null when only Measure is used.
    VornSpeedMeter(double limit, VornSegmentManager* manager, Clock clock);

    // One tick with the limit in bytes per millisecond (0: none); returns the progress report.
    std::string Tick(double limit);

    // The measuring half of a tick: the average speed in bytes per second.
    int64_t Measure(double limit, int64_t downloadedTotal);
    // The time-left text; recomputed at most every second call (alternating).
    std::string RemainingTimeText(int64_t remaining, double bytesPerSecond);

    // The limit (bytes per millisecond, 0: none) for body reads, shared by readers connections.
    int64_t ReadAllowance(double limit, int readers) { return m_bucket.Allowance(limit, readers, m_clock()); }
    void ReadDone(int64_t bytes) { m_bucket.Consume(bytes); }
    // Milliseconds the engine waits before reading on, 0 when it may read now.
    double LimitWaitMillis(double limit) { return m_bucket.WaitMillis(limit, m_clock()); }
    // The hours, minutes, seconds text for a number of seconds.
    static std::string FormatSeconds(int64_t seconds);

    static double WallClockMillis();

private:
    VornSegmentManager* m_manager;
    Clock m_clock;
    VornTokenBucket m_bucket;
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
