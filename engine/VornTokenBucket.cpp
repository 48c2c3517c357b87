#include "engine/VornTokenBucket.h"

#include <algorithm>
#include <cmath>

double VornTokenBucket::Capacity(double rate) {
    return std::max(rate * CAPACITY_MILLIS, MIN_CAPACITY);
}

void VornTokenBucket::Refill(double rate, double now) {
    if (m_tokens < 0.0 && m_last == 0.0) {
        m_tokens = Capacity(rate);
        m_last = now;
    }
    // A changed limit starts from a full bucket of the new size rather than the old debt or credit.
    if (rate != m_rate) {
        m_rate = rate;
        m_tokens = std::min(m_tokens, Capacity(rate));
    }
    double elapsed = std::max(now - m_last, 0.0);
    m_last = now;
    m_tokens = std::min(m_tokens + elapsed * rate, Capacity(rate));
}

int64_t VornTokenBucket::Allowance(double rate, int readers, double now) {
    if (rate <= 0.0)
        return INT64_MAX;
    Refill(rate, now);
    if (m_waiting || m_tokens < 1.0)
        return 0;
    double share = std::max(Capacity(rate) / 2.0 / std::max(readers, 1), static_cast<double>(MIN_READ));
    return static_cast<int64_t>(std::floor(std::min(m_tokens, share)));
}

double VornTokenBucket::WaitMillis(double rate, double now) {
    if (rate <= 0.0) {
        m_waiting = false;
        return 0.0;
    }
    Refill(rate, now);
    double half = Capacity(rate) / 2.0;
    if (m_tokens >= 1.0 && !m_waiting)
        return 0.0;
    if (m_tokens >= half) {
        m_waiting = false;
        return 0.0;
    }
    m_waiting = true;
    return (half - m_tokens) / rate;
}
