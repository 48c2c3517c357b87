#include "base/VornFormat.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <locale.h>

namespace {

std::string padded(long long value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*lld", width, value);
    return text;
}

struct Unit {
    double divisor;
    const char* name;
};

Unit unitFor(int64_t size) {
    if (size < 1000000) {
        return {1000.0, " KB"};
    }
    if (size <= 999999999) {
        return {1000000.0, " MB"};
    }
    return {1000000000.0, " GB"};
}

std::string sizeText(int64_t size, bool shortForm) {
    if (size < 1000) {
        return std::to_string(size) + " Byte";
    }
    const Unit unit = unitFor(size);
    const double d = static_cast<double>(size) / unit.divisor;
    const double whole = std::trunc(d);
    std::string text = padded(static_cast<long long>(whole), 1) + ".";
    if (shortForm) {
        text += std::to_string(static_cast<int>((d - whole) * 10));
    } else {
        text += padded(static_cast<int>((d - whole) * 1000), 3);
    }
    return text + unit.name;
}

// Formats with the C locale's month names and time form, whatever the process locale is.
std::string formatTime(int64_t seconds, const char* pattern) {
    const time_t time = static_cast<time_t>(seconds);
    struct tm local = {};
    if (localtime_r(&time, &local) == nullptr) {
        return std::string();
    }
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    char text[128] = {};
    strftime_l(text, sizeof text, pattern, &local, cLocale);
    return text;
}

int localYear(int64_t seconds) {
    const time_t time = static_cast<time_t>(seconds);
    struct tm local = {};
    localtime_r(&time, &local);
    return local.tm_year;
}

} // namespace

std::string vornSizeText(int64_t size) {
    return sizeText(size, false);
}
std::string vornSizeTextShort(int64_t size) {
    return sizeText(size, true);
}
std::string vornSpeedText(int64_t bytesPerSecond) {
    return sizeText(bytesPerSecond, false) + "/sec";
}
std::string vornSpeedTextShort(int64_t bytesPerSecond) {
    return sizeText(bytesPerSecond, true) + "/sec";
}

std::string vornPercentageText(double percentage) {
    // Out-of-range values would make the integer conversions undefined; a negative one would print a
    // sign inside the decimals.
    if (!std::isfinite(percentage) || percentage < 0 || percentage > 1e15) {
        percentage = 0;
    }
    const double whole = std::trunc(percentage);
    return padded(static_cast<long long>(whole), 1) + "." +
           padded(static_cast<int>((percentage - whole) * 100), 2);
}

std::string vornDateText(int64_t secondsSince1970, bool withYear) {
    if (secondsSince1970 <= 0) {
        return " ";
    }
    const bool thisYear = localYear(secondsSince1970) == localYear(static_cast<int64_t>(std::time(nullptr)));
    return formatTime(secondsSince1970, withYear || !thisYear ? "%b %d  %X %Y" : "%b %d  %X");
}

std::string vornTimeStamp(int64_t secondsSince1970) {
    return formatTime(secondsSince1970, "%Y-%m-%d %X") + " ( " + vornDecimalText(secondsSince1970) + " ) ";
}

std::string vornTimeStampNow() {
    return vornTimeStamp(static_cast<int64_t>(std::time(nullptr)));
}

std::string vornDecimalText(int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return text;
}

std::string vornDecimalText(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}
