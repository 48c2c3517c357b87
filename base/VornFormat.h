#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Display texts for the download list and windows. Units are powers of 1000; the texts do not depend
// on the process locale.

// "999 Byte", "1.500 KB", "2.500 MB", "1.000 GB".
std::string vornSizeText(int64_t size);
// One decimal: "1.5 KB", "2.0 KB".
std::string vornSizeTextShort(int64_t size);
std::string vornSpeedText(int64_t bytesPerSecond);
std::string vornSpeedTextShort(int64_t bytesPerSecond);
// Two decimals, no sign: "7.50".
std::string vornPercentageText(double percentage);
// "Mar 05  14:03:09 2025"; the year is left out for the current year unless withYear. A single blank
// for a time of 0 or less.
std::string vornDateText(int64_t secondsSince1970, bool withYear);
// "2025-03-05 14:03:09 ( 1741183389 ) " for the engine log.
std::string vornTimeStamp(int64_t secondsSince1970);
std::string vornTimeStampNow();
std::string vornDecimalText(int64_t value);
std::string vornDecimalText(uint64_t value);
