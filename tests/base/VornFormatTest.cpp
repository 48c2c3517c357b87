#include "base/VornFormat.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

namespace {

TEST(VornFormat, SizeTexts) {
    const struct {
        int64_t size;
        const char* longForm;
        const char* shortForm;
    } cases[] = {
        {0, "0 Byte", "0 Byte"},
        {999, "999 Byte", "999 Byte"},
        {-5, "-5 Byte", "-5 Byte"},
        {1000, "1.000 KB", "1.0 KB"},
        {1500, "1.500 KB", "1.5 KB"},
        {2000, "2.000 KB", "2.0 KB"},
        {1234, "1.234 KB", "1.2 KB"},
        {999999, "999.999 KB", "999.9 KB"},
        {1000000, "1.000 MB", "1.0 MB"},
        {2500000, "2.500 MB", "2.5 MB"},
        {999999999, "999.999 MB", "999.9 MB"},
        {1000000000, "1.000 GB", "1.0 GB"},
        {10995116277760, "10995.116 GB", "10995.1 GB"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vornSizeText(c.size), c.longForm) << c.size;
        EXPECT_EQ(vornSizeTextShort(c.size), c.shortForm) << c.size;
    }
    EXPECT_EQ(vornSpeedText(1500), "1.500 KB/sec");
    EXPECT_EQ(vornSpeedTextShort(2500000), "2.5 MB/sec");
    EXPECT_EQ(vornSpeedText(12), "12 Byte/sec");
}

TEST(VornFormat, Percentage) {
    const std::pair<double, const char*> cases[] = {
        {7.5, "7.50"},
        {99, "99.00"},
        {0.25, "0.25"},
        {100, "100.00"},
        {0, "0.00"},
        {33.3333, "33.33"},
        // Values a broken division can produce never print garbage.
        {-1.5, "0.00"},
        {std::nan(""), "0.00"},
        {std::numeric_limits<double>::infinity(), "0.00"},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(vornPercentageText(value), expected) << value;
    }
}

class LocalTimeInUtc : public ::testing::Test {
protected:
    void SetUp() override {
        m_env.set("TZ", "UTC");
        tzset();
    }
    void TearDown() override { tzset(); }

private:
    ScopedEnv m_env;
};

TEST_F(LocalTimeInUtc, DateText) {
    EXPECT_EQ(vornDateText(0, true), " ");
    EXPECT_EQ(vornDateText(-3, false), " ");
    // 2021-03-05 14:03:09 UTC, not the current year: the year shows with or without the flag.
    EXPECT_EQ(vornDateText(1614952989, true), "Mar 05  14:03:09 2021");
    EXPECT_EQ(vornDateText(1614952989, false), "Mar 05  14:03:09 2021");

    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const std::string withYear = vornDateText(now, true);
    const std::string withoutYear = vornDateText(now, false);
    EXPECT_EQ(withYear.substr(0, withoutYear.size()), withoutYear);
    EXPECT_EQ(withYear.size(), withoutYear.size() + 5);
    EXPECT_EQ(withoutYear.size(), std::string("Mar 05  14:03:09").size());
}

TEST_F(LocalTimeInUtc, TimeStamp) {
    EXPECT_EQ(vornTimeStamp(1614952989), "2021-03-05 14:03:09 ( 1614952989 ) ");
    EXPECT_EQ(vornTimeStamp(0), "1970-01-01 00:00:00 ( 0 ) ");
    EXPECT_EQ(vornTimeStampNow().size(), std::string("2021-03-05 14:03:09 ( 1614952989 ) ").size());
}

TEST(VornFormat, DecimalText) {
    EXPECT_EQ(vornDecimalText(int64_t{-9223372036854775807LL - 1}), "-9223372036854775808");
    EXPECT_EQ(vornDecimalText(uint64_t{18446744073709551615ULL}), "18446744073709551615");
    EXPECT_EQ(vornDecimalText(int64_t{0}), "0");
}

} // namespace
