#pragma once

#include <cstdint>

// The bandwidth limit shared by all connections of one engine: a token bucket that fills at the limit
// and that every body read draws from as it happens, so the rate holds over any stretch of time rather
// than on average between progress ticks. Times are milliseconds; rates bytes per millisecond.
class VornTokenBucket {
public:
    // The bucket holds this much time at the limit, and never less than MIN_CAPACITY bytes: small enough
    // that a burst moves a 5-second figure by 2 %, large enough for reads of useful size.
    static constexpr double CAPACITY_MILLIS = 100.0;
    static constexpr double MIN_CAPACITY = 4096.0;
    // A read never takes less than this (unless the bucket holds less).
    static constexpr int64_t MIN_READ = 1024;

    // How much the next read may take, with readers connections sharing the bucket; 0: wait. No limit
    // (rate <= 0): unbounded.
    int64_t Allowance(double rate, int readers, double now);
    // A read took n bytes (it may overdraw a little, when a record delivered more than it was allowed).
    void Consume(int64_t n) { m_tokens -= static_cast<double>(n); }
    // Milliseconds to wait before reads may go on; 0 when they may now. After the bucket ran dry, reads
    // wait until it is half full again, so every reader gets a share in the next round.
    double WaitMillis(double rate, double now);

    double Tokens() const { return m_tokens; }

private:
    void Refill(double rate, double now);
    static double Capacity(double rate);

    double m_tokens = -1.0; // below zero before the first use: filled then
    double m_last = 0.0;
    double m_rate = 0.0;
    bool m_waiting = false;
};
