#include "engine/VornSpeedMeter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A clock the test moves by hand.
struct FakeTime {
    double now = 1000000.0;

    VornSpeedMeter meter(double limit) {
        return VornSpeedMeter(limit, nullptr, [this] { return now; });
    }
};

TEST(VornSpeedMeterTest, MeasureAveragesOverTwentyFourSamplesAndNeverSleeps) {
    FakeTime time;
    VornSpeedMeter meter = time.meter(100);
    time.now += 1000;
    // 250 000 bytes in 1 000 ms under a limit of 100: the limit is the bucket's business, the tick
    // only measures.
    int64_t average = meter.Measure(100, 250000);
    EXPECT_EQ(average, 250 * 1000 / 24);
    EXPECT_EQ(time.now, 1001000.0);
    time.now += 1000;
    average = meter.Measure(100, 250000 + 50000);
    EXPECT_EQ(average, (250 + 50) * 1000 / 24);
}

// The limit as the engine's reads meet it: every read draws from one bucket that fills at the limit.
TEST(VornSpeedMeterTest, ReadsDrawFromTheSharedBucket) {
    FakeTime time;
    VornSpeedMeter meter = time.meter(100);
    // Full at the start: 100 ms at 100 bytes/ms, shared out in halves among the readers.
    EXPECT_EQ(meter.ReadAllowance(100, 1), 5000);
    EXPECT_EQ(meter.ReadAllowance(100, 4), 1250);
    meter.ReadDone(10000);
    EXPECT_EQ(meter.ReadAllowance(100, 1), 0);
    EXPECT_DOUBLE_EQ(meter.LimitWaitMillis(100), 50.0);
    time.now += 25;
    EXPECT_EQ(meter.ReadAllowance(100, 1), 0); // still waiting for half a bucket
    EXPECT_DOUBLE_EQ(meter.LimitWaitMillis(100), 25.0);
    time.now += 25;
    EXPECT_DOUBLE_EQ(meter.LimitWaitMillis(100), 0.0);
    EXPECT_EQ(meter.ReadAllowance(100, 1), 5000);
    // Without a limit nothing waits and reads are unbounded.
    EXPECT_DOUBLE_EQ(meter.LimitWaitMillis(0), 0.0);
    EXPECT_GT(meter.ReadAllowance(0, 8), int64_t{1} << 40);
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
