/* Helpers shared by the kernel tests: a fixed-seed generator and the table
 * type that belongs to each bit depth. */
#ifndef HEVC_DSP_TEST_UTIL_H
#define HEVC_DSP_TEST_UTIL_H

#include <stdint.h>

#include "dsp/hevc_dsp.h"

struct TestRng {
    uint64_t ullState;
    explicit TestRng(uint64_t seed) : ullState(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t Next()
    {
        ullState ^= ullState << 13;
        ullState ^= ullState >> 7;
        ullState ^= ullState << 17;
        return (uint32_t)(ullState >> 16);
    }
    /* uniform in [lo, hi] */
    int Range(int lo, int hi) { return lo + (int)(Next() % (uint32_t)(hi - lo + 1)); }
};

template <int BitDepth> struct DspOf;
template <> struct DspOf<8> {
    typedef uint8_t Pixel;
    typedef HevcDsp8 Table;
    static void Init(Table *t, unsigned m) { HevcDspInit8(t, m); }
};
template <> struct DspOf<10> {
    typedef uint16_t Pixel;
    typedef HevcDsp10 Table;
    static void Init(Table *t, unsigned m) { HevcDspInit10(t, m); }
};

#endif
