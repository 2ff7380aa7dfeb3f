/* Line loads and stores of the SSE4.1 kernels: n (4 or 8) samples of either
 * depth widened to 16-bit lanes, and narrowed back (8-bit with unsigned
 * saturation). */
#ifndef HEVC_X86_LINES_H
#define HEVC_X86_LINES_H

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <stdint.h>
#include <string.h>

template <int n, typename Pixel> __attribute__((target("sse4.1"))) inline __m128i HevcLoadLine(const Pixel *p)
{
    static_assert(n == 4 || n == 8, "4 or 8 samples");
    if constexpr (sizeof(Pixel) == 1) {
        if constexpr (n == 4) {
            int32_t v;
            memcpy(&v, p, 4);
            return _mm_cvtepu8_epi16(_mm_cvtsi32_si128(v));
        } else {
            return _mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *)p));
        }
    } else {
        if constexpr (n == 4)
            return _mm_loadl_epi64((const __m128i *)p);
        else
            return _mm_loadu_si128((const __m128i *)p);
    }
}

template <int n, typename Pixel> __attribute__((target("sse4.1"))) inline void HevcStoreLine(Pixel *p, __m128i v)
{
    static_assert(n == 4 || n == 8, "4 or 8 samples");
    if constexpr (sizeof(Pixel) == 1) {
        __m128i b = _mm_packus_epi16(v, v);
        if constexpr (n == 4) {
            int32_t w = _mm_cvtsi128_si32(b);
            memcpy(p, &w, 4);
        } else {
            _mm_storel_epi64((__m128i *)p, b);
        }
    } else {
        if constexpr (n == 4)
            _mm_storel_epi64((__m128i *)p, v);
        else
            _mm_storeu_si128((__m128i *)p, v);
    }
}

#endif
#endif
