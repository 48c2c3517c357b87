#include "engine/VornTokenBucket.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Readers that take whatever the bucket allows at random moments, as connections do when their data
// arrives: over every 5-second window from the first second on, they get the limit within 5 %.
TEST(VornTokenBucketTest, EveryFiveSecondWindowGetsTheLimit) {
    for (double rate : {50.0, 250.0, 4000.0}) {
        for (int readers : {1, 8}) {
            SCOPED_TRACE(std::to_string(rate) + " bytes/ms, " + std::to_string(readers) + " readers");
            VornTokenBucket bucket;
            std::mt19937 random(7);
            std::vector<double> perMilli(20000, 0.0);
            double now = 0;
            while (now < 20000) {
                double wait = bucket.WaitMillis(rate, now);
                if (wait > 0) {
                    now += std::min(wait, 50.0);
                    continue;
                }
                for (int r = 0; r < readers; ++r) {
                    int64_t allowed = bucket.Allowance(rate, readers, now);
                    // A read takes what is there, up to a full receive step.
                    int64_t got = std::min<int64_t>(allowed, 1 + random() % 1048576);
                    bucket.Consume(got);
                    perMilli[static_cast<size_t>(now)] += static_cast<double>(got);
                }
                now += 0.05 + (random() % 100) / 100.0;
            }
            for (size_t start = 1000; start + 5000 <= perMilli.size(); start += 250) {
                double bytes = 0;
                for (size_t t = start; t < start + 5000; ++t)
                    bytes += perMilli[t];
                EXPECT_NEAR(bytes / 5000.0, rate, rate * 0.05) << "window from " << start << " ms";
            }
        }
    }
}

TEST(VornTokenBucketTest, ANewLimitTakesEffectAtOnce) {
    VornTokenBucket bucket;
    EXPECT_EQ(bucket.Allowance(1000, 1, 0), 50000); // half of 100 ms at the limit
    bucket.Consume(95000);
    EXPECT_EQ(bucket.Allowance(1000, 1, 10), 15000); // 5 000 left and 10 ms of refill
    // A lower limit: the credit shrinks to the new bucket's size.
    EXPECT_EQ(bucket.Allowance(10, 1, 10), 2048);
    EXPECT_LE(bucket.Tokens(), 4096.0);
}

} // namespace
