/* Motion compensation for SSE4.1 and AVX2: the 8-tap luma and 4-tap chroma
 * interpolation into 14-bit intermediates and the four weighted sample
 * predictions, for every block width. Results equal hevc_mc.cpp.
 *
 * 8-bit rows are filtered with pmaddubsw on byte pairs (the sums stay within
 * 16 bits: the positive taps add up to 80, so at most 80 * 255); 10-bit rows
 * and the second pass of 2-D filtering use pmaddwd on 16-bit pairs. A row is
 * done in steps of 8 outputs (16 for AVX2), then 4, then 2, so every width
 * of the table is written exactly; loads of a tail step read up to 12
 * samples past the filter window (see the table's contract). */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <string.h>

#include "hevc_dsp_internal.h"

/* Everything up to the table set-up is compiled for SSE4.1 (lambdas do not
 * take a function's target attribute, a pragma covers them too). */
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif

namespace {

/* ---- coefficient registers ---- */

/* Tap pairs (c[2k], c[2k+1]) for pmaddubsw (bytes) and pmaddwd (words). */
template <int T> struct Taps {
    __m128i b[T / 2]; /* byte pairs */
    __m128i w[T / 2]; /* word pairs */
};

template <int T> inline Taps<T> MakeTaps(const int8_t *pc)
{
    Taps<T> t;
    for (int k = 0; k < T / 2; k++) {
        t.b[k] = _mm_set1_epi16((short)(((uint8_t)pc[2 * k]) | ((uint8_t)pc[2 * k + 1] << 8)));
        t.w[k] = _mm_set1_epi32((int)((uint16_t)pc[2 * k] | ((uint32_t)(uint16_t)pc[2 * k + 1] << 16)));
    }
    return t;
}

/* ---- one step of 8 horizontal outputs (p = first output's integer sample) ---- */

/* pshufb selectors giving byte pairs (i + 2k, i + 2k + 1) for i = 0..7. */
inline __m128i PairSelect(int k)
{
    return _mm_add_epi8(_mm_setr_epi8(0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8), _mm_set1_epi8((char)(2 * k)));
}

template <int T> inline __m128i HorStep(const uint8_t *p, const Taps<T> &t)
{
    const __m128i s = _mm_loadu_si128((const __m128i *)(p - (T / 2 - 1)));
    __m128i r = _mm_maddubs_epi16(_mm_shuffle_epi8(s, PairSelect(0)), t.b[0]);
    for (int k = 1; k < T / 2; k++)
        r = _mm_add_epi16(r, _mm_maddubs_epi16(_mm_shuffle_epi8(s, PairSelect(k)), t.b[k]));
    return r;
}

/* 16-bit samples: pairs (s[i+2k], s[i+2k+1]) from two loads and palignr. */
template <int T> inline __m128i HorStep(const uint16_t *p, const Taps<T> &t)
{
    const uint16_t *q = p - (T / 2 - 1);
    const __m128i a = _mm_loadu_si128((const __m128i *)q), b = _mm_loadu_si128((const __m128i *)(q + 8));
    __m128i s[T];
    s[0] = a;
    s[1] = _mm_alignr_epi8(b, a, 2);
    s[2] = _mm_alignr_epi8(b, a, 4);
    s[3] = _mm_alignr_epi8(b, a, 6);
    if constexpr (T == 8) {
        s[4] = _mm_alignr_epi8(b, a, 8);
        s[5] = _mm_alignr_epi8(b, a, 10);
        s[6] = _mm_alignr_epi8(b, a, 12);
        s[7] = _mm_alignr_epi8(b, a, 14);
    }
    __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(s[0], s[1]), t.w[0]);
    __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(s[0], s[1]), t.w[0]);
    for (int k = 1; k < T / 2; k++) {
        lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(s[2 * k], s[2 * k + 1]), t.w[k]));
        hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(s[2 * k], s[2 * k + 1]), t.w[k]));
    }
    return _mm_packs_epi32(_mm_srai_epi32(lo, 2), _mm_srai_epi32(hi, 2)); /* shift1 = BitDepth - 8 = 2 */
}

/* ---- one step of 8 vertical outputs from rows p, p + stride, ... ---- */

/* On 16-bit values (intermediates, or 10-bit samples), >> iShift. */
template <int T, typename V>
inline __m128i VerStep16(const V *p, ptrdiff_t iStride, const Taps<T> &t, int iShift)
{
    __m128i r[T];
    for (int k = 0; k < T; k++)
        r[k] = _mm_loadu_si128((const __m128i *)(p + k * iStride));
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
    for (int k = 0; k < T / 2; k++) {
        lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(r[2 * k], r[2 * k + 1]), t.w[k]));
        hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(r[2 * k], r[2 * k + 1]), t.w[k]));
    }
    const __m128i vShift = _mm_cvtsi32_si128(iShift);
    return _mm_packs_epi32(_mm_sra_epi32(lo, vShift), _mm_sra_epi32(hi, vShift));
}

template <int T> inline __m128i VerStep(const uint8_t *p, ptrdiff_t iStride, const Taps<T> &t)
{
    __m128i r = _mm_setzero_si128();
    for (int k = 0; k < T / 2; k++) {
        const __m128i a = _mm_loadl_epi64((const __m128i *)(p + 2 * k * iStride));
        const __m128i b = _mm_loadl_epi64((const __m128i *)(p + (2 * k + 1) * iStride));
        r = _mm_add_epi16(r, _mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), t.b[k]));
    }
    return r;
}

template <int T> inline __m128i VerStep(const uint16_t *p, ptrdiff_t iStride, const Taps<T> &t)
{
    return VerStep16<T>(p, iStride, t, 2);
}

inline __m128i CopyStep(const uint8_t *p)
{
    return _mm_slli_epi16(_mm_cvtepu8_epi16(_mm_loadl_epi64((const __m128i *)p)), 6);
}

inline __m128i CopyStep(const uint16_t *p)
{
    return _mm_slli_epi16(_mm_loadu_si128((const __m128i *)p), 4);
}

/* ---- stores of n (8, 4, 2) lanes ---- */

template <int n> inline void StoreI16(int16_t *p, __m128i v)
{
    if constexpr (n == 8) {
        _mm_storeu_si128((__m128i *)p, v);
    } else if constexpr (n == 4) {
        _mm_storel_epi64((__m128i *)p, v);
    } else {
        const int32_t w = _mm_cvtsi128_si32(v);
        memcpy(p, &w, 4);
    }
}

/* 16-bit lanes to samples, clipped to 0..2^BitDepth-1. */
template <int n, int BitDepth> inline void StorePix(typename HevcDspTraits<BitDepth>::Pixel *p, __m128i v)
{
    if constexpr (BitDepth == 8) {
        const __m128i b = _mm_packus_epi16(v, v);
        if constexpr (n == 8) {
            _mm_storel_epi64((__m128i *)p, b);
        } else if constexpr (n == 4) {
            const int32_t w = _mm_cvtsi128_si32(b);
            memcpy(p, &w, 4);
        } else {
            const int16_t w = (int16_t)_mm_extract_epi16(b, 0);
            memcpy(p, &w, 2);
        }
    } else {
        v = _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16((1 << BitDepth) - 1));
        StoreI16<n>((int16_t *)p, v);
    }
}

/* Where a row's steps go: intermediates, or samples. */
struct SinkI16 {
    int16_t *p;
    template <int n> void Put(int x, __m128i v) const { StoreI16<n>(p + x, v); }
};
template <int BitDepth> struct SinkPix {
    typename HevcDspTraits<BitDepth>::Pixel *p;
    template <int n> void Put(int x, __m128i v) const { StorePix<n, BitDepth>(p + x, v); }
};

/* Runs fnStep(x) -> 8 lanes over a row of W outputs, stored by the sink in
 * steps of 8, then 4, then 2. */
template <int W, typename Step, typename Sink> inline void RowSteps(Step fnStep, Sink sink)
{
    int x = 0;
    for (; x + 8 <= W; x += 8)
        sink.template Put<8>(x, fnStep(x));
    if constexpr ((W & 4) != 0) {
        sink.template Put<4>(x, fnStep(x));
        x += 4;
    }
    if constexpr ((W & 2) != 0)
        sink.template Put<2>(x, fnStep(x));
}

template <int BitDepth, int W, int T>
void McSse41(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                        int iHeight, const int8_t *pcFx, const int8_t *pcFy)
{
    if (!pcFy) {
        if (!pcFx) {
            for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
                RowSteps<W>([&](int x) { return CopyStep(pSrc + x); }, SinkI16{pDst});
            return;
        }
        const Taps<T> tx = MakeTaps<T>(pcFx);
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            RowSteps<W>([&](int x) { return HorStep<T>(pSrc + x, tx); }, SinkI16{pDst});
        return;
    }
    const Taps<T> ty = MakeTaps<T>(pcFy);
    pSrc -= (T / 2 - 1) * iSrcStride;
    if (!pcFx) {
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            RowSteps<W>([&](int x) { return VerStep<T>(pSrc + x, iSrcStride, ty); }, SinkI16{pDst});
        return;
    }
    /* 2-D: rows of the horizontal pass (whole steps of 8, the extra lanes
     * are scratch), then the vertical pass. */
    constexpr int WS = (W + 7) & ~7;
    /* + 8: the 2-lane tail step of the last row loads 8 lanes */
    alignas(16) int16_t asTmp[(64 + 7) * WS + 8];
    const Taps<T> tx = MakeTaps<T>(pcFx);
    const int iRows = iHeight + T - 1;
    for (int y = 0; y < iRows; y++, pSrc += iSrcStride)
        for (int x = 0; x < W; x += 8)
            _mm_store_si128((__m128i *)(asTmp + y * WS + x), HorStep<T>(pSrc + x, tx));
    const int16_t *pTmp = asTmp;
    for (int y = 0; y < iHeight; y++, pTmp += WS, pDst += HEVC_MC_STRIDE)
        RowSteps<W>([&](int x) { return VerStep16<T>(pTmp + x, WS, ty, 6); }, SinkI16{pDst});
}

template <int BitDepth, int W>
void McLumaSse41(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                            int iHeight, int iFracX, int iFracY)
{
    McSse41<BitDepth, W, 8>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcLumaFilter[iFracX] : nullptr,
                            iFracY ? g_aacHevcLumaFilter[iFracY] : nullptr);
}

template <int BitDepth, int W>
void McChromaSse41(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc,
                              ptrdiff_t iSrcStride, int iHeight, int iFracX, int iFracY)
{
    McSse41<BitDepth, W, 4>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcChromaFilter[iFracX] : nullptr,
                            iFracY ? g_aacHevcChromaFilter[iFracY] : nullptr);
}

/* ---- weighted sample prediction ---- */

template <int BitDepth, int W>
void PutUniSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc,
                            int iHeight)
{
    /* pmulhrsw by 2^(15 - shift) is (v + 2^(shift-1)) >> shift, shift = 14 - BitDepth */
    const __m128i vMul = _mm_set1_epi16(1 << (BitDepth + 1));
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc += HEVC_MC_STRIDE)
        RowSteps<W>([&](int x) { return _mm_mulhrs_epi16(_mm_loadu_si128((const __m128i *)(pSrc + x)), vMul); },
                    SinkPix<BitDepth>{pDst});
}

template <int BitDepth, int W>
void PutBiSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc0,
                           const int16_t *pSrc1, int iHeight)
{
    /* The saturating sum only saturates where the result clips anyway. */
    const __m128i vMul = _mm_set1_epi16(1 << BitDepth);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        RowSteps<W>(
            [&](int x) {
                return _mm_mulhrs_epi16(_mm_adds_epi16(_mm_loadu_si128((const __m128i *)(pSrc0 + x)),
                                                       _mm_loadu_si128((const __m128i *)(pSrc1 + x))),
                                        vMul);
            },
            SinkPix<BitDepth>{pDst});
}

template <int BitDepth, int W>
void PutWeightedSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                 const int16_t *pSrc, int iHeight, int iLog2Wd, int iW, int iO)
{
    /* (v, 1) . (w, round) in one pmaddwd */
    const int iRound = iLog2Wd >= 1 ? 1 << (iLog2Wd - 1) : 0;
    const __m128i vWr = _mm_set1_epi32((int)((uint16_t)iW | ((uint32_t)iRound << 16)));
    const __m128i vOne = _mm_set1_epi16(1), vO = _mm_set1_epi32(iO), vShift = _mm_cvtsi32_si128(iLog2Wd);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc += HEVC_MC_STRIDE)
        RowSteps<W>(
            [&](int x) {
                const __m128i v = _mm_loadu_si128((const __m128i *)(pSrc + x));
                const __m128i lo = _mm_sra_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(v, vOne), vWr), vShift);
                const __m128i hi = _mm_sra_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(v, vOne), vWr), vShift);
                return _mm_packs_epi32(_mm_add_epi32(lo, vO), _mm_add_epi32(hi, vO));
            },
            SinkPix<BitDepth>{pDst});
}

template <int BitDepth, int W>
void PutWeightedBiSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                   const int16_t *pSrc0, const int16_t *pSrc1, int iHeight, int iLog2Wd, int iW0,
                                   int iW1, int iO0, int iO1)
{
    const __m128i vW = _mm_set1_epi32((int)((uint16_t)iW0 | ((uint32_t)(uint16_t)iW1 << 16)));
    const __m128i vO = _mm_set1_epi32((iO0 + iO1 + 1) * (1 << iLog2Wd)), vShift = _mm_cvtsi32_si128(iLog2Wd + 1);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        RowSteps<W>(
            [&](int x) {
                const __m128i a = _mm_loadu_si128((const __m128i *)(pSrc0 + x));
                const __m128i b = _mm_loadu_si128((const __m128i *)(pSrc1 + x));
                const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(a, b), vW);
                const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(a, b), vW);
                return _mm_packs_epi32(_mm_sra_epi32(_mm_add_epi32(lo, vO), vShift),
                                       _mm_sra_epi32(_mm_add_epi32(hi, vO), vShift));
            },
            SinkPix<BitDepth>{pDst});
}

} // namespace
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

/* ---- AVX2: 16 outputs per step for widths of 16 and more; the 8-sample
 * rest of widths 24 and 48 is left to the SSE4.1 steps above ---- */
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace {

template <int T> struct TapsY {
    __m256i b[T / 2];
    __m256i w[T / 2];
};

template <int T> inline TapsY<T> MakeTapsY(const Taps<T> &t)
{
    TapsY<T> y;
    for (int k = 0; k < T / 2; k++) {
        y.b[k] = _mm256_broadcastsi128_si256(t.b[k]);
        y.w[k] = _mm256_broadcastsi128_si256(t.w[k]);
    }
    return y;
}

/* Two 128-bit loads as the lanes of one register. */
inline __m256i Load2x128(const void *pLo, const void *pHi)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)pLo)),
                                   _mm_loadu_si128((const __m128i *)pHi), 1);
}

template <int T> inline __m256i HorStepY(const uint8_t *p, const TapsY<T> &t)
{
    const uint8_t *q = p - (T / 2 - 1);
    const __m256i s = Load2x128(q, q + 8);
    __m256i r = _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, _mm256_broadcastsi128_si256(PairSelect(0))), t.b[0]);
    for (int k = 1; k < T / 2; k++)
        r = _mm256_add_epi16(
            r, _mm256_maddubs_epi16(_mm256_shuffle_epi8(s, _mm256_broadcastsi128_si256(PairSelect(k))), t.b[k]));
    return r;
}

template <int T> inline __m256i HorStepY(const uint16_t *p, const TapsY<T> &t)
{
    const uint16_t *q = p - (T / 2 - 1);
    const __m256i a = Load2x128(q, q + 8), b = Load2x128(q + 8, q + 16);
    __m256i s[T];
    s[0] = a;
    s[1] = _mm256_alignr_epi8(b, a, 2);
    s[2] = _mm256_alignr_epi8(b, a, 4);
    s[3] = _mm256_alignr_epi8(b, a, 6);
    if constexpr (T == 8) {
        s[4] = _mm256_alignr_epi8(b, a, 8);
        s[5] = _mm256_alignr_epi8(b, a, 10);
        s[6] = _mm256_alignr_epi8(b, a, 12);
        s[7] = _mm256_alignr_epi8(b, a, 14);
    }
    __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(s[0], s[1]), t.w[0]);
    __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(s[0], s[1]), t.w[0]);
    for (int k = 1; k < T / 2; k++) {
        lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(s[2 * k], s[2 * k + 1]), t.w[k]));
        hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(s[2 * k], s[2 * k + 1]), t.w[k]));
    }
    return _mm256_packs_epi32(_mm256_srai_epi32(lo, 2), _mm256_srai_epi32(hi, 2));
}

template <int T, typename V> inline __m256i VerStep16Y(const V *p, ptrdiff_t iStride, const TapsY<T> &t, int iShift)
{
    __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
    for (int k = 0; k < T / 2; k++) {
        const __m256i a = _mm256_loadu_si256((const __m256i *)(p + 2 * k * iStride));
        const __m256i b = _mm256_loadu_si256((const __m256i *)(p + (2 * k + 1) * iStride));
        lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), t.w[k]));
        hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), t.w[k]));
    }
    const __m128i vShift = _mm_cvtsi32_si128(iShift);
    return _mm256_packs_epi32(_mm256_sra_epi32(lo, vShift), _mm256_sra_epi32(hi, vShift));
}

template <int T> inline __m256i VerStepY(const uint8_t *p, ptrdiff_t iStride, const TapsY<T> &t)
{
    __m256i r = _mm256_setzero_si256();
    for (int k = 0; k < T / 2; k++) {
        const __m128i a = _mm_loadu_si128((const __m128i *)(p + 2 * k * iStride));
        const __m128i b = _mm_loadu_si128((const __m128i *)(p + (2 * k + 1) * iStride));
        const __m256i ab = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi8(a, b)),
                                                   _mm_unpackhi_epi8(a, b), 1);
        r = _mm256_add_epi16(r, _mm256_maddubs_epi16(ab, t.b[k]));
    }
    return r;
}

template <int T> inline __m256i VerStepY(const uint16_t *p, ptrdiff_t iStride, const TapsY<T> &t)
{
    return VerStep16Y<T>(p, iStride, t, 2);
}

inline __m256i CopyStepY(const uint8_t *p)
{
    return _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)p)), 6);
}

inline __m256i CopyStepY(const uint16_t *p)
{
    return _mm256_slli_epi16(_mm256_loadu_si256((const __m256i *)p), 4);
}

template <int BitDepth> inline void StorePixY(typename HevcDspTraits<BitDepth>::Pixel *p, __m256i v)
{
    if constexpr (BitDepth == 8) {
        const __m256i b = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08);
        _mm_storeu_si128((__m128i *)p, _mm256_castsi256_si128(b));
    } else {
        v = _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), _mm256_set1_epi16((1 << BitDepth) - 1));
        _mm256_storeu_si256((__m256i *)p, v);
    }
}

struct SinkI16Y : SinkI16 {
    void Put16(int x, __m256i v) const { _mm256_storeu_si256((__m256i *)(p + x), v); }
};
template <int BitDepth> struct SinkPixY : SinkPix<BitDepth> {
    void Put16(int x, __m256i v) const { StorePixY<BitDepth>(this->p + x, v); }
};

/* Steps of 16, then the SSE4.1 steps for a rest of 8 (W is 16..64). */
template <int W, typename StepY, typename Step, typename Sink>
inline void RowStepsY(StepY fnStepY, Step fnStep, Sink sink)
{
    static_assert(W % 8 == 0 && W >= 16, "AVX2 widths");
    int x = 0;
    for (; x + 16 <= W; x += 16)
        sink.Put16(x, fnStepY(x));
    if constexpr ((W & 8) != 0)
        sink.template Put<8>(x, fnStep(x));
}

template <int BitDepth, int W, int T>
void McAvx2(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iHeight,
            const int8_t *pcFx, const int8_t *pcFy)
{
    if (!pcFy) {
        if (!pcFx) {
            for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
                RowStepsY<W>([&](int x) { return CopyStepY(pSrc + x); }, [&](int x) { return CopyStep(pSrc + x); },
                             SinkI16Y{{pDst}});
            return;
        }
        const Taps<T> tx = MakeTaps<T>(pcFx);
        const TapsY<T> txY = MakeTapsY<T>(tx);
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            RowStepsY<W>([&](int x) { return HorStepY<T>(pSrc + x, txY); },
                         [&](int x) { return HorStep<T>(pSrc + x, tx); }, SinkI16Y{{pDst}});
        return;
    }
    const Taps<T> ty = MakeTaps<T>(pcFy);
    const TapsY<T> tyY = MakeTapsY<T>(ty);
    pSrc -= (T / 2 - 1) * iSrcStride;
    if (!pcFx) {
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            RowStepsY<W>([&](int x) { return VerStepY<T>(pSrc + x, iSrcStride, tyY); },
                         [&](int x) { return VerStep<T>(pSrc + x, iSrcStride, ty); }, SinkI16Y{{pDst}});
        return;
    }
    alignas(32) int16_t asTmp[(64 + 7) * W + 16]; /* tail steps load whole vectors */
    const Taps<T> tx = MakeTaps<T>(pcFx);
    const TapsY<T> txY = MakeTapsY<T>(tx);
    const int iRows = iHeight + T - 1;
    int16_t *pRow = asTmp;
    for (int y = 0; y < iRows; y++, pSrc += iSrcStride, pRow += W)
        RowStepsY<W>([&](int x) { return HorStepY<T>(pSrc + x, txY); },
                     [&](int x) { return HorStep<T>(pSrc + x, tx); }, SinkI16Y{{pRow}});
    const int16_t *pTmp = asTmp;
    for (int y = 0; y < iHeight; y++, pTmp += W, pDst += HEVC_MC_STRIDE)
        RowStepsY<W>([&](int x) { return VerStep16Y<T>(pTmp + x, W, tyY, 6); },
                     [&](int x) { return VerStep16<T>(pTmp + x, W, ty, 6); }, SinkI16Y{{pDst}});
}

template <int BitDepth, int W>
void McLumaAvx2(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                int iHeight, int iFracX, int iFracY)
{
    McAvx2<BitDepth, W, 8>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcLumaFilter[iFracX] : nullptr,
                           iFracY ? g_aacHevcLumaFilter[iFracY] : nullptr);
}

template <int BitDepth, int W>
void McChromaAvx2(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                  int iHeight, int iFracX, int iFracY)
{
    McAvx2<BitDepth, W, 4>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcChromaFilter[iFracX] : nullptr,
                           iFracY ? g_aacHevcChromaFilter[iFracY] : nullptr);
}

template <int BitDepth, int W>
void PutUniAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc, int iHeight)
{
    const __m128i vMul = _mm_set1_epi16(1 << (BitDepth + 1));
    const __m256i vMulY = _mm256_set1_epi16(1 << (BitDepth + 1));
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc += HEVC_MC_STRIDE)
        RowStepsY<W>(
            [&](int x) { return _mm256_mulhrs_epi16(_mm256_loadu_si256((const __m256i *)(pSrc + x)), vMulY); },
            [&](int x) { return _mm_mulhrs_epi16(_mm_loadu_si128((const __m128i *)(pSrc + x)), vMul); },
            SinkPixY<BitDepth>{{pDst}});
}

template <int BitDepth, int W>
void PutBiAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc0,
               const int16_t *pSrc1, int iHeight)
{
    const __m128i vMul = _mm_set1_epi16(1 << BitDepth);
    const __m256i vMulY = _mm256_set1_epi16(1 << BitDepth);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        RowStepsY<W>(
            [&](int x) {
                return _mm256_mulhrs_epi16(_mm256_adds_epi16(_mm256_loadu_si256((const __m256i *)(pSrc0 + x)),
                                                             _mm256_loadu_si256((const __m256i *)(pSrc1 + x))),
                                           vMulY);
            },
            [&](int x) {
                return _mm_mulhrs_epi16(_mm_adds_epi16(_mm_loadu_si128((const __m128i *)(pSrc0 + x)),
                                                       _mm_loadu_si128((const __m128i *)(pSrc1 + x))),
                                        vMul);
            },
            SinkPixY<BitDepth>{{pDst}});
}

template <int BitDepth, int W>
void PutWeightedAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc,
                     int iHeight, int iLog2Wd, int iW, int iO)
{
    const int iRound = iLog2Wd >= 1 ? 1 << (iLog2Wd - 1) : 0;
    const __m256i vWr = _mm256_set1_epi32((int)((uint16_t)iW | ((uint32_t)iRound << 16)));
    const __m256i vOne = _mm256_set1_epi16(1), vO = _mm256_set1_epi32(iO);
    const __m128i vShift = _mm_cvtsi32_si128(iLog2Wd);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc += HEVC_MC_STRIDE)
        RowStepsY<W>(
            [&](int x) {
                const __m256i v = _mm256_loadu_si256((const __m256i *)(pSrc + x));
                const __m256i lo = _mm256_sra_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(v, vOne), vWr), vShift);
                const __m256i hi = _mm256_sra_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(v, vOne), vWr), vShift);
                return _mm256_packs_epi32(_mm256_add_epi32(lo, vO), _mm256_add_epi32(hi, vO));
            },
            [&](int x) {
                const __m128i v = _mm_loadu_si128((const __m128i *)(pSrc + x));
                const __m128i lo = _mm_sra_epi32(
                    _mm_madd_epi16(_mm_unpacklo_epi16(v, _mm256_castsi256_si128(vOne)), _mm256_castsi256_si128(vWr)),
                    vShift);
                const __m128i hi = _mm_sra_epi32(
                    _mm_madd_epi16(_mm_unpackhi_epi16(v, _mm256_castsi256_si128(vOne)), _mm256_castsi256_si128(vWr)),
                    vShift);
                return _mm_packs_epi32(_mm_add_epi32(lo, _mm256_castsi256_si128(vO)),
                                       _mm_add_epi32(hi, _mm256_castsi256_si128(vO)));
            },
            SinkPixY<BitDepth>{{pDst}});
}

template <int BitDepth, int W>
void PutWeightedBiAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc0,
                       const int16_t *pSrc1, int iHeight, int iLog2Wd, int iW0, int iW1, int iO0, int iO1)
{
    const __m256i vW = _mm256_set1_epi32((int)((uint16_t)iW0 | ((uint32_t)(uint16_t)iW1 << 16)));
    const __m256i vO = _mm256_set1_epi32((iO0 + iO1 + 1) * (1 << iLog2Wd));
    const __m128i vShift = _mm_cvtsi32_si128(iLog2Wd + 1);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        RowStepsY<W>(
            [&](int x) {
                const __m256i a = _mm256_loadu_si256((const __m256i *)(pSrc0 + x));
                const __m256i b = _mm256_loadu_si256((const __m256i *)(pSrc1 + x));
                const __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), vW);
                const __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), vW);
                return _mm256_packs_epi32(_mm256_sra_epi32(_mm256_add_epi32(lo, vO), vShift),
                                          _mm256_sra_epi32(_mm256_add_epi32(hi, vO), vShift));
            },
            [&](int x) {
                const __m128i a = _mm_loadu_si128((const __m128i *)(pSrc0 + x));
                const __m128i b = _mm_loadu_si128((const __m128i *)(pSrc1 + x));
                const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(a, b), _mm256_castsi256_si128(vW));
                const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(a, b), _mm256_castsi256_si128(vW));
                return _mm_packs_epi32(_mm_sra_epi32(_mm_add_epi32(lo, _mm256_castsi256_si128(vO)), vShift),
                                       _mm_sra_epi32(_mm_add_epi32(hi, _mm256_castsi256_si128(vO)), vShift));
            },
            SinkPixY<BitDepth>{{pDst}});
}

} // namespace
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace {
HEVC_MC_KERNELS(KernelsSse41, Sse41);
HEVC_MC_KERNELS(KernelsAvx2, Avx2);
} // namespace

template <int BitDepth> void HevcMcInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    HevcMcInitWidths<KernelsSse41, BitDepth, 0>(pstDsp);
}

template void HevcMcInitSse41<8>(HevcDsp8 *);
template void HevcMcInitSse41<10>(HevcDsp10 *);

/* AVX2 replaces the widths of 16 and more (indexes 5..9). */
template <int BitDepth> void HevcMcInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    HevcMcInitWidths<KernelsAvx2, BitDepth, 5>(pstDsp);
}
template void HevcMcInitAvx2<8>(HevcDsp8 *);
template void HevcMcInitAvx2<10>(HevcDsp10 *);
#endif
