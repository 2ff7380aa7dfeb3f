/* Helpers shared by the kernel tests: a fixed-seed generator and the table
 * type that belongs to each bit depth. */
#ifndef HEVC_DSP_TEST_UTIL_H
#define HEVC_DSP_TEST_UTIL_H

#include <stdint.h>
#include <string.h>

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

enum CoeffShape { kSparse, kLowFreq, kFull, kExtreme, kShapes };

/* Coefficient blocks of the shapes real residuals take, plus all-extreme
 * values that saturate the intermediate stage of the inverse transform. */
inline void FillCoeffs(TestRng &rng, int N, int eShape, int16_t *c)
{
    memset(c, 0, sizeof(int16_t) * N * N);
    if (eShape == kSparse) {
        for (int i = rng.Range(1, 3); i > 0; i--)
            c[rng.Range(0, N * N - 1)] = (int16_t)rng.Range(-500, 500);
    } else if (eShape == kLowFreq) {
        int iLim = rng.Range(1, N);
        for (int y = 0; y < iLim; y++)
            for (int x = 0; x < iLim - y; x++)
                c[y * N + x] = (int16_t)rng.Range(-3000, 3000);
    } else {
        for (int i = 0; i < N * N; i++)
            c[i] = (int16_t)(eShape == kFull ? rng.Range(-32768, 32767) : (rng.Next() & 1) ? 32767 : -32768);
    }
}

#endif
