#include "engine/VornSpeedMeter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A clock the test moves by hand; sleeping moves it too, as a real sleep would.
struct FakeTime {
    double now = 1000000.0;
    std::vector<int64_t> sleeps;

    VornSpeedMeter meter(double limit) {
        return VornSpeedMeter(
            limit, nullptr, [this] { return now; },
            [this](int64_t millis) {
                sleeps.push_back(millis);
                now += static_cast<double>(millis);
            });
    }
};

TEST(VornSpeedMeterTest, LimitSleepFollowsTheExcessOverTheLimit) {
    struct Case {
        double limit;
        int64_t delta;
        double elapsed;
        int64_t sleepMillis;
    };
    const Case cases[] = {
        {100, 250000, 1000, 1500}, // the documented example
        {100, 100000, 1000, 0},    // exactly at the limit
        {100, 50000, 1000, 0},     // below it
        {0, 250000, 1000, 0},      // no limit
        {1, 100000000, 1, 20000},  // one sleep never exceeds 20 seconds
        {16, 16088, 88, 917},      // a typical tick: (16088 - 1408) / 16
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VornSpeedMeter::LimitSleepMillis(c.limit, c.delta, c.elapsed), c.sleepMillis)
            << c.limit << " " << c.delta << " " << c.elapsed;
    }
}

TEST(VornSpeedMeterTest, MeasureSleepsOverTheLimitAndAveragesOverTwentyFourSamples) {
    FakeTime time;
    VornSpeedMeter meter = time.meter(100);
    time.now += 1000;
    int64_t average = meter.Measure(100, 250000);
    ASSERT_EQ(time.sleeps, std::vector<int64_t>{1500});
    // After the sleep 250 000 bytes took 2 500 ms: 100 bytes/ms, one sample of 24.
    EXPECT_EQ(average, 100 * 1000 / 24);

    time.now += 1000;
    average = meter.Measure(100, 250000 + 50000);
    EXPECT_EQ(time.sleeps.size(), 1u);
    EXPECT_EQ(average, (100 + 50) * 1000 / 24);
}

TEST(VornSpeedMeterTest, TheRingForgetsTheOldestSample) {
    FakeTime time;
    VornSpeedMeter meter = time.meter(0);
    int64_t total = 0;
    int64_t average = 0;
    for (int i = 0; i < 24; ++i) {
        time.now += 100;
        total += 1000; // 10 bytes/ms
        average = meter.Measure(0, total);
    }
    EXPECT_EQ(average, 10000);
    time.now += 100;
    average = meter.Measure(0, total); // nothing arrived: one sample drops from 10 to 0
    EXPECT_EQ(average, 10 * 23 * 1000 / 24);
    EXPECT_TRUE(time.sleeps.empty());
}

TEST(VornSpeedMeterTest, AZeroElapsedTimeCountsAsOneMillisecond) {
    FakeTime time;
    VornSpeedMeter meter = time.meter(0);
    EXPECT_EQ(meter.Measure(0, 2400), 2400 * 1000 / 24);
}

TEST(VornSpeedMeterTest, RemainingTimeIsRecomputedEverySecondCall) {
    FakeTime time;
    VornSpeedMeter meter = time.meter(0);
    EXPECT_EQ(meter.RemainingTimeText(-1, 100), " ");
    EXPECT_EQ(meter.RemainingTimeText(1000, 100), "10 s");
    EXPECT_EQ(meter.RemainingTimeText(500, 100), "10 s"); // the repeat tick keeps the old figure
    EXPECT_EQ(meter.RemainingTimeText(500, 100), "5 s");
    EXPECT_EQ(meter.RemainingTimeText(100, 0), "5 s");
}

TEST(VornSpeedMeterTest, SecondsAreShownInTheLargestUnits) {
    EXPECT_EQ(VornSpeedMeter::FormatSeconds(0), "0 s");
    EXPECT_EQ(VornSpeedMeter::FormatSeconds(59), "59 s");
    EXPECT_EQ(VornSpeedMeter::FormatSeconds(125), "2 min  5 s");
    EXPECT_EQ(VornSpeedMeter::FormatSeconds(3600), "1 h  0 min  0 s");
    EXPECT_EQ(VornSpeedMeter::FormatSeconds(3725), "1 h  2 min  5 s");
}

} // namespace
