// Turning callers' rates and bursts into the words the engine's token
// buckets run on: time per byte and bucket depth, both in ticks of the
// 100 MHz system counter.
#pragma once

#include <stdint.h>

namespace kv::port {

// A rate as the engine's buckets see it: the integer part of the ticks per
// byte (only its low 16 bits reach the engine) and the 16-bit fraction.
struct Rate {
    uint64_t whole;
    uint64_t frac;
};

// 800,000,000 / rate ticks per byte, computed as 50,000,000 / (rate >> 4)
// so that the division stays within 32 bits for every rate below 2^36.
// Rates below 16 bits per second have no divisor and give 0 (bucket off).
inline Rate convert(uint64_t rate) {
    const uint64_t per16 = rate >> 4;
    const uint32_t d = uint32_t(per16);
    if (d == 0)
        return {0, 0};
    const uint64_t whole = 50000000ull / d;
    const uint64_t frac = ((50000000ull - per16 * whole) * 65536ull) / d;
    return {whole, frac};
}

// The 16.16 step word. Below 12,208 bits per second the integer part no
// longer fits its 16 bits and wraps; the engine gets the wrapped value.
inline uint32_t step_word(const Rate &r) { return uint32_t(r.whole * 65536u + (r.frac & 0xFFFFu)); }

// The burst in ticks at this rate, with the same 16-bit integer part.
inline uint32_t depth_word(const Rate &r, uint64_t burst) {
    const uint32_t whole = uint32_t(r.whole & 0xFFFFu) * uint32_t(burst);
    const uint64_t frac = ((r.frac & 0xFFFFu) * burst) >> 16;
    return uint32_t(whole + frac);
}

inline uint32_t step_of(uint64_t rate) { return step_word(convert(rate)); }
inline uint32_t depth_of(uint64_t rate, uint64_t burst) { return depth_word(convert(rate), burst); }

// The peak bucket runs on what the peak rate adds to the committed one. A
// peak equal to the committed rate still stamps the bucket, with rate 1
// (step and depth 0); a peak of 0 turns the bucket off (0 returned).
// The caller has refused a peak below the committed rate.
inline uint64_t excess_rate(uint64_t committed, uint64_t peak) {
    if (peak == 0)
        return 0;
    const uint64_t e = peak - committed;
    return e ? e : 1;
}

// A converted committed step must never read as the committed marker.
inline uint32_t committed_step_word(uint32_t step) {
    return step == 0xFFFFFFFFu ? 0xFFFFFFFEu : step;
}

// Storm meters: 100,000,000 / rate counter ticks between packets; the
// burst in microseconds becomes 10 ns ticks. The tolerance is a signed
// 32-bit quantity, so the product is taken in 32 bits and read as signed:
// bursts above 2,147,483 us wrap rather than saturate.
inline uint32_t storm_interval(uint32_t rate) { return rate ? 100000000u / rate : 0; }
inline uint32_t storm_tolerance(uint32_t burst) { return uint32_t(int32_t(burst * 1000u) / 10); }

} // namespace kv::port
