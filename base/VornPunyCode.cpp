#include "base/VornPunyCode.h"

#include "base/VornException.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr uint32_t kBase = 36;
constexpr uint32_t kTmin = 1;
constexpr uint32_t kTmax = 26;
constexpr uint32_t kSkew = 38;
constexpr uint32_t kDamp = 700;
constexpr uint32_t kInitialBias = 72;
constexpr uint32_t kInitialN = 128;
constexpr uint32_t kMaxInt = std::numeric_limits<uint32_t>::max();

char encodeDigit(uint32_t digit) {
    if (digit < 26) {
        return static_cast<char>('a' + digit);
    }
    if (digit < 36) {
        return static_cast<char>('0' + digit - 26);
    }
    VORN_THROW(2, 0, "Punycode digit out of range");
}

uint32_t adapt(uint32_t delta, uint32_t numPoints, bool firstTime) {
    delta = firstTime ? delta / kDamp : delta / 2;
    delta += delta / numPoints;
    uint32_t k = 0;
    while (delta > ((kBase - kTmin) * kTmax) / 2) {
        delta /= kBase - kTmin;
        k += kBase;
    }
    return k + (kBase - kTmin + 1) * delta / (delta + kSkew);
}

// Writes while room is left; returns false once the output is full.
bool put(std::string& out, char c) {
    if (out.size() >= VornPunyCode::MAX_ENCODED_LENGTH) {
        return false;
    }
    out += c;
    return true;
}

uint32_t threshold(uint32_t k, uint32_t bias) {
    if (k <= bias) {
        return kTmin;
    }
    return k >= bias + kTmax ? kTmax : k - bias;
}

// Writes delta as a generalised variable-length integer; false when the output filled up.
bool putDelta(std::string& out, uint32_t delta, uint32_t bias) {
    uint32_t q = delta;
    for (uint32_t k = kBase;; k += kBase) {
        const uint32_t t = threshold(k, bias);
        if (q < t) {
            break;
        }
        if (!put(out, encodeDigit(t + (q - t) % (kBase - t)))) {
            return false;
        }
        q = (q - t) / (kBase - t);
    }
    return put(out, encodeDigit(q));
}

} // namespace

std::string VornPunyCode::encode(const std::wstring& label) {
    std::vector<uint32_t> input(label.begin(), label.end());
    std::string out;
    for (uint32_t c : input) {
        if (c < 0x80 && !put(out, static_cast<char>(c))) {
            return out;
        }
    }
    const uint32_t basicCount = static_cast<uint32_t>(out.size());
    uint32_t handled = basicCount;
    if (basicCount > 0 && !put(out, '-')) {
        return out;
    }
    uint32_t n = kInitialN;
    uint32_t delta = 0;
    uint32_t bias = kInitialBias;
    while (handled < input.size()) {
        uint32_t m = kMaxInt;
        for (uint32_t c : input) {
            if (c >= n && c < m) {
                m = c;
            }
        }
        if (m - n > (kMaxInt - delta) / (handled + 1)) {
            VORN_THROW(12, 0, "Punycode overflow");
        }
        delta += (m - n) * (handled + 1);
        n = m;
        for (uint32_t c : input) {
            if (c < n && ++delta == 0) {
                VORN_THROW(12, 0, "Punycode overflow");
            }
            if (c == n) {
                if (!putDelta(out, delta, bias)) {
                    return out;
                }
                bias = adapt(delta, handled + 1, handled == basicCount);
                delta = 0;
                ++handled;
            }
        }
        ++delta;
        ++n;
    }
    return out;
}

std::wstring VornPunyCode::toAscii(const std::wstring& host) {
    if (std::none_of(host.begin(), host.end(), [](wchar_t c) { return static_cast<uint32_t>(c) > 127; })) {
        return host;
    }
    std::vector<std::wstring> labels;
    size_t start = 0;
    while (start < host.size()) {
        const size_t dot = std::min(host.find(L'.', start), host.size());
        labels.push_back(host.substr(start, dot - start));
        start = dot + 1;
        if (dot + 1 == host.size()) {
            break; // the empty label after a trailing dot is dropped
        }
    }
    std::wstring result;
    for (const std::wstring& label : labels) {
        if (label.size() > MAX_LABEL_LENGTH) {
            VORN_THROW(2, 0, "Host label too long");
        }
        std::wstring converted = label;
        if (std::any_of(label.begin(), label.end(),
                        [](wchar_t c) { return static_cast<uint32_t>(c) > 127; })) {
            const std::string encoded = encode(label);
            converted = L"xn--" + std::wstring(encoded.begin(), encoded.end());
        }
        if (!result.empty()) {
            result += L'.';
        }
        result += converted;
    }
    return result;
}
