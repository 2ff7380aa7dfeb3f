/* Motion compensation for AVX-512, widths 32 and 64: 32 outputs per step.
 * 8-bit interpolation builds its byte pairs with one vpermb per tap pair
 * from a single (masked, so never past the filter window) row load, and
 * pairs two rows for the vertical filter with one vpermt2b; the 2-D case
 * filters the intermediate rows with pmaddwd as the other tiers do. Results
 * equal hevc_mc.cpp. Built with the AVX-512 flags (see
 * hevc_dsp_internal.h for what that forbids). */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

/* GCC 12 takes the deliberately undefined pass-through operand inside the
 * AVX-512 intrinsics for an uninitialised read. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "hevc_dsp_internal.h"

namespace {

/* Byte i of pair output j: sample j + i (i = 0, 1), for 32 outputs. */
alignas(64) const uint8_t s_aucPairs[64] = {
    0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,  6,  6,  7,  7,  8,  8,  9,  9,  10, 10, 11,
    11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18, 19, 19, 20, 20, 21, 21, 22,
    22, 23, 23, 24, 24, 25, 25, 26, 26, 27, 27, 28, 28, 29, 29, 30, 30, 31, 31, 32};
/* Byte 2j from the first register, 2j+1 from the second (index 64 + j). */
alignas(64) const uint8_t s_aucInterleave[64] = {
    0,  64, 1,  65, 2,  66, 3,  67, 4,  68, 5,  69, 6,  70, 7,  71, 8,  72, 9,  73, 10, 74,
    11, 75, 12, 76, 13, 77, 14, 78, 15, 79, 16, 80, 17, 81, 18, 82, 19, 83, 20, 84, 21, 85,
    22, 86, 23, 87, 24, 88, 25, 89, 26, 90, 27, 91, 28, 92, 29, 93, 30, 94, 31, 95};

template <int T> struct Taps512 {
    __m512i b[T / 2]; /* byte pairs (c[2k], c[2k+1]) */
    __m512i w[T / 2]; /* word pairs */
};

template <int T> inline Taps512<T> MakeTaps512(const int8_t *pc)
{
    Taps512<T> t;
    for (int k = 0; k < T / 2; k++) {
        t.b[k] = _mm512_set1_epi16((short)(((uint8_t)pc[2 * k]) | ((uint8_t)pc[2 * k + 1] << 8)));
        t.w[k] = _mm512_set1_epi32((int)((uint16_t)pc[2 * k] | ((uint32_t)(uint16_t)pc[2 * k + 1] << 16)));
    }
    return t;
}

/* 32 horizontal outputs; reads exactly the 32 + T - 1 samples of the window. */
template <int T> inline __m512i HorStep(const uint8_t *p, const Taps512<T> &t)
{
    const __m512i s = _mm512_maskz_loadu_epi8((1ull << (32 + T - 1)) - 1, p - (T / 2 - 1));
    const __m512i vSel = _mm512_load_si512(s_aucPairs);
    __m512i r = _mm512_maddubs_epi16(_mm512_permutexvar_epi8(vSel, s), t.b[0]);
    for (int k = 1; k < T / 2; k++)
        r = _mm512_add_epi16(r, _mm512_maddubs_epi16(
                                    _mm512_permutexvar_epi8(_mm512_add_epi8(vSel, _mm512_set1_epi8((char)(2 * k))), s), t.b[k]));
    return r;
}

template <int T> inline __m512i VerStep(const uint8_t *p, ptrdiff_t iStride, const Taps512<T> &t)
{
    const __m512i vIdx = _mm512_load_si512(s_aucInterleave);
    __m512i r = _mm512_setzero_si512();
    for (int k = 0; k < T / 2; k++) {
        const __m512i a = _mm512_castsi256_si512(_mm256_loadu_si256((const __m256i *)(p + 2 * k * iStride)));
        const __m512i b = _mm512_castsi256_si512(_mm256_loadu_si256((const __m256i *)(p + (2 * k + 1) * iStride)));
        r = _mm512_add_epi16(r, _mm512_maddubs_epi16(_mm512_permutex2var_epi8(a, vIdx, b), t.b[k]));
    }
    return r;
}

/* Vertical filter over 16-bit rows (the 2-D case), >> 6; the in-lane
 * unpacking and packing cancel out. */
template <int T> inline __m512i VerStep16(const int16_t *p, ptrdiff_t iStride, const Taps512<T> &t)
{
    __m512i lo = _mm512_setzero_si512(), hi = _mm512_setzero_si512();
    for (int k = 0; k < T / 2; k++) {
        const __m512i a = _mm512_loadu_si512(p + 2 * k * iStride);
        const __m512i b = _mm512_loadu_si512(p + (2 * k + 1) * iStride);
        lo = _mm512_add_epi32(lo, _mm512_madd_epi16(_mm512_unpacklo_epi16(a, b), t.w[k]));
        hi = _mm512_add_epi32(hi, _mm512_madd_epi16(_mm512_unpackhi_epi16(a, b), t.w[k]));
    }
    return _mm512_packs_epi32(_mm512_srai_epi32(lo, 6), _mm512_srai_epi32(hi, 6));
}

template <int W, int T>
void Mc8(int16_t *pDst, const uint8_t *pSrc, ptrdiff_t iSrcStride, int iHeight, const int8_t *pcFx, const int8_t *pcFy)
{
    if (!pcFy && !pcFx) {
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            for (int x = 0; x < W; x += 32)
                _mm512_storeu_si512(pDst + x, _mm512_slli_epi16(
                                                  _mm512_cvtepu8_epi16(_mm256_loadu_si256((const __m256i *)(pSrc + x))), 6));
        return;
    }
    if (!pcFy) {
        const Taps512<T> tx = MakeTaps512<T>(pcFx);
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            for (int x = 0; x < W; x += 32)
                _mm512_storeu_si512(pDst + x, HorStep<T>(pSrc + x, tx));
        return;
    }
    const Taps512<T> ty = MakeTaps512<T>(pcFy);
    pSrc -= (T / 2 - 1) * iSrcStride;
    if (!pcFx) {
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            for (int x = 0; x < W; x += 32)
                _mm512_storeu_si512(pDst + x, VerStep<T>(pSrc + x, iSrcStride, ty));
        return;
    }
    alignas(64) int16_t asTmp[(64 + 7) * W];
    const Taps512<T> tx = MakeTaps512<T>(pcFx);
    const int iRows = iHeight + T - 1;
    for (int y = 0; y < iRows; y++, pSrc += iSrcStride)
        for (int x = 0; x < W; x += 32)
            _mm512_store_si512(asTmp + y * W + x, HorStep<T>(pSrc + x, tx));
    const int16_t *pTmp = asTmp;
    for (int y = 0; y < iHeight; y++, pTmp += W, pDst += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x += 32)
            _mm512_storeu_si512(pDst + x, VerStep16<T>(pTmp + x, W, ty));
}

template <int W>
void McLuma8(int16_t *pDst, const uint8_t *pSrc, ptrdiff_t iSrcStride, int iHeight, int iFracX, int iFracY)
{
    Mc8<W, 8>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcLumaFilter[iFracX] : nullptr,
              iFracY ? g_aacHevcLumaFilter[iFracY] : nullptr);
}

template <int W>
void McChroma8(int16_t *pDst, const uint8_t *pSrc, ptrdiff_t iSrcStride, int iHeight, int iFracX, int iFracY)
{
    Mc8<W, 4>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcChromaFilter[iFracX] : nullptr,
              iFracY ? g_aacHevcChromaFilter[iFracY] : nullptr);
}

/* 32 samples to the picture with Clip1. */
template <int BitDepth> inline void StorePix(typename HevcDspTraits<BitDepth>::Pixel *p, __m512i v)
{
    v = _mm512_max_epi16(v, _mm512_setzero_si512());
    if constexpr (BitDepth == 8)
        _mm256_storeu_si256((__m256i *)p, _mm512_cvtusepi16_epi8(v));
    else
        _mm512_storeu_si512(p, _mm512_min_epi16(v, _mm512_set1_epi16((1 << BitDepth) - 1)));
}

/* Default weighting: (v + rnd) >> shift as a rounding high multiply. */
template <int BitDepth, int W>
void PutUni(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc, int iHeight)
{
    const __m512i vMul = _mm512_set1_epi16(1 << (BitDepth + 1));
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x += 32)
            StorePix<BitDepth>(pDst + x, _mm512_mulhrs_epi16(_mm512_loadu_si512(pSrc + x), vMul));
}

template <int BitDepth, int W>
void PutBi(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc0, const int16_t *pSrc1,
           int iHeight)
{
    const __m512i vMul = _mm512_set1_epi16(1 << BitDepth);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x += 32)
            StorePix<BitDepth>(pDst + x, _mm512_mulhrs_epi16(_mm512_adds_epi16(_mm512_loadu_si512(pSrc0 + x),
                                                                               _mm512_loadu_si512(pSrc1 + x)),
                                                             vMul));
}

} /* namespace */

/* Widths 32 and 64 (indexes 7 and 9); 10-bit interpolation stays AVX2. */
template <> void HevcMcInitAvx512<8>(HevcDsp8 *pstDsp)
{
    pstDsp->pfnMcLuma[7] = McLuma8<32>;
    pstDsp->pfnMcLuma[9] = McLuma8<64>;
    pstDsp->pfnMcChroma[7] = McChroma8<32>;
    pstDsp->pfnMcChroma[9] = McChroma8<64>;
    pstDsp->pfnPutUni[7] = PutUni<8, 32>;
    pstDsp->pfnPutUni[9] = PutUni<8, 64>;
    pstDsp->pfnPutBi[7] = PutBi<8, 32>;
    pstDsp->pfnPutBi[9] = PutBi<8, 64>;
}

template <> void HevcMcInitAvx512<10>(HevcDsp10 *pstDsp)
{
    pstDsp->pfnPutUni[7] = PutUni<10, 32>;
    pstDsp->pfnPutUni[9] = PutUni<10, 64>;
    pstDsp->pfnPutBi[7] = PutBi<10, 32>;
    pstDsp->pfnPutBi[9] = PutBi<10, 64>;
}

#endif
