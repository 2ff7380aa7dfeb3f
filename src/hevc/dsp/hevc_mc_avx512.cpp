/* Motion compensation for AVX-512, widths 32 and 64 in steps of 32
 * outputs. Horizontal filters build their sample pairs with one
 * vpermb / vpermw per tap pair from a single row load (masked, so never past
 * the filter window); the 8-bit vertical filter pairs two rows with one
 * vpermt2b; 16-bit rows (10-bit samples, the 2-D intermediates) are filtered
 * with pmaddwd as in the other tiers. Results equal hevc_mc.cpp. See
 * hevc_avx512.h for what the file's flags forbid. */
#if defined(__x86_64__) || defined(__i386__)
#include "hevc_avx512.h"

namespace {

/* Byte i of pair output j: sample j + i (i = 0, 1), for 32 outputs (the
 * first half serves 16). */
alignas(64) const uint8_t s_aucPairs[64] = {
    0,  1,  1,  2,  2,  3,  3,  4,  4,  5,  5,  6,  6,  7,  7,  8,  8,  9,  9,  10, 10, 11,
    11, 12, 12, 13, 13, 14, 14, 15, 15, 16, 16, 17, 17, 18, 18, 19, 19, 20, 20, 21, 21, 22,
    22, 23, 23, 24, 24, 25, 25, 26, 26, 27, 27, 28, 28, 29, 29, 30, 30, 31, 31, 32};
/* The same for 16 outputs of 16-bit samples. */
alignas(64) const uint16_t s_ausPairs[32] = {0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,  7,  7,  8,
                                             8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14, 15, 15, 16};
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

/* ---- steps of 32 outputs; the horizontal ones read exactly the 32 + T - 1
 * samples of their window ---- */

template <int T> inline __m512i Hor(const uint8_t *p, const Taps512<T> &t)
{
    const __m512i s = _mm512_maskz_loadu_epi8((1ull << (32 + T - 1)) - 1, p - (T / 2 - 1));
    const __m512i vSel = _mm512_load_si512(s_aucPairs);
    __m512i r = _mm512_maddubs_epi16(_mm512_permutexvar_epi8(vSel, s), t.b[0]);
    for (int k = 1; k < T / 2; k++)
        r = _mm512_add_epi16(r, _mm512_maddubs_epi16(
                                    _mm512_permutexvar_epi8(_mm512_add_epi8(vSel, _mm512_set1_epi8((char)(2 * k))), s), t.b[k]));
    return r;
}

/* 16-bit samples: word pairs by vpermw for 16 outputs at a time, 32-bit
 * sums, >> 2 (10-bit). */
template <int T> inline __m256i Hor16Words(const uint16_t *p, const Taps512<T> &t)
{
    const __m512i s = _mm512_maskz_loadu_epi16((1u << (16 + T - 1)) - 1, p - (T / 2 - 1));
    const __m512i vSel = _mm512_load_si512(s_ausPairs);
    __m512i r = _mm512_madd_epi16(_mm512_permutexvar_epi16(vSel, s), t.w[0]);
    for (int k = 1; k < T / 2; k++)
        r = _mm512_add_epi32(r, _mm512_madd_epi16(
                                    _mm512_permutexvar_epi16(_mm512_add_epi16(vSel, _mm512_set1_epi16((short)(2 * k))), s), t.w[k]));
    return _mm512_cvtsepi32_epi16(_mm512_srai_epi32(r, 2));
}

template <int T> inline __m512i Hor(const uint16_t *p, const Taps512<T> &t)
{
    return _mm512_inserti64x4(_mm512_castsi256_si512(Hor16Words<T>(p, t)), Hor16Words<T>(p + 16, t), 1);
}

/* 8-bit vertical: two rows interleaved by one vpermt2b. */
template <int T> inline __m512i Ver(const uint8_t *p, ptrdiff_t iStride, const Taps512<T> &t)
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

/* Vertical filter over 16-bit rows (10-bit samples, >> 2, or the 2-D
 * intermediates, >> 6); the in-lane unpacking and packing cancel out. */
template <int T, int Shift, typename V> inline __m512i VerWords(const V *p, ptrdiff_t iStride, const Taps512<T> &t)
{
    __m512i lo = _mm512_setzero_si512(), hi = _mm512_setzero_si512();
    for (int k = 0; k < T / 2; k++) {
        const __m512i a = _mm512_loadu_si512(p + 2 * k * iStride);
        const __m512i b = _mm512_loadu_si512(p + (2 * k + 1) * iStride);
        lo = _mm512_add_epi32(lo, _mm512_madd_epi16(_mm512_unpacklo_epi16(a, b), t.w[k]));
        hi = _mm512_add_epi32(hi, _mm512_madd_epi16(_mm512_unpackhi_epi16(a, b), t.w[k]));
    }
    return _mm512_packs_epi32(_mm512_srai_epi32(lo, Shift), _mm512_srai_epi32(hi, Shift));
}

template <int T> inline __m512i Ver(const uint16_t *p, ptrdiff_t iStride, const Taps512<T> &t)
{
    return VerWords<T, 2>(p, iStride, t);
}

/* Whole-sample positions: the samples << (14 - BitDepth). */
inline __m512i Copy(const uint8_t *p)
{
    return _mm512_slli_epi16(_mm512_cvtepu8_epi16(_mm256_loadu_si256((const __m256i *)p)), 6);
}
inline __m512i Copy(const uint16_t *p)
{
    return _mm512_slli_epi16(_mm512_loadu_si512(p), 4);
}

/* The steps of a row of W (32 or 64). */
template <int W, typename F> inline void RowSteps(F fnStep)
{
    static_assert(W == 32 || W == 64, "AVX-512 widths");
    for (int x = 0; x < W; x += 32)
        fnStep(x);
}

template <int BitDepth, int W, int T>
void Mc(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iHeight,
        const int8_t *pcFx, const int8_t *pcFy)
{
    if (!pcFy && !pcFx) {
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            RowSteps<W>([&](int x) { _mm512_storeu_si512(pDst + x, Copy(pSrc + x)); });
        return;
    }
    if (!pcFy) {
        const Taps512<T> tx = MakeTaps512<T>(pcFx);
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            RowSteps<W>([&](int x) { _mm512_storeu_si512(pDst + x, Hor<T>(pSrc + x, tx)); });
        return;
    }
    const Taps512<T> ty = MakeTaps512<T>(pcFy);
    pSrc -= (T / 2 - 1) * iSrcStride;
    if (!pcFx) {
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            RowSteps<W>([&](int x) { _mm512_storeu_si512(pDst + x, Ver<T>(pSrc + x, iSrcStride, ty)); });
        return;
    }
    alignas(64) int16_t asTmp[(64 + 7) * W];
    const Taps512<T> tx = MakeTaps512<T>(pcFx);
    const int iRows = iHeight + T - 1;
    for (int y = 0; y < iRows; y++, pSrc += iSrcStride)
        RowSteps<W>([&](int x) { _mm512_storeu_si512(asTmp + y * W + x, Hor<T>(pSrc + x, tx)); });
    const int16_t *pTmp = asTmp;
    for (int y = 0; y < iHeight; y++, pTmp += W, pDst += HEVC_MC_STRIDE)
        RowSteps<W>([&](int x) { _mm512_storeu_si512(pDst + x, VerWords<T, 6>(pTmp + x, W, ty)); });
}

template <int BitDepth, int W>
void McLuma(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iHeight,
            int iFracX, int iFracY)
{
    Mc<BitDepth, W, 8>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcLumaFilter[iFracX] : nullptr,
                       iFracY ? g_aacHevcLumaFilter[iFracY] : nullptr);
}

template <int BitDepth, int W>
void McChroma(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iHeight,
              int iFracX, int iFracY)
{
    Mc<BitDepth, W, 4>(pDst, pSrc, iSrcStride, iHeight, iFracX ? g_aacHevcChromaFilter[iFracX] : nullptr,
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
        RowSteps<W>([&](int x) { StorePix<BitDepth>(pDst + x, _mm512_mulhrs_epi16(_mm512_loadu_si512(pSrc + x), vMul)); });
}

template <int BitDepth, int W>
void PutBi(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc0, const int16_t *pSrc1,
           int iHeight)
{
    const __m512i vMul = _mm512_set1_epi16(1 << BitDepth);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        RowSteps<W>([&](int x) {
            const __m512i v = _mm512_adds_epi16(_mm512_loadu_si512(pSrc0 + x), _mm512_loadu_si512(pSrc1 + x));
            StorePix<BitDepth>(pDst + x, _mm512_mulhrs_epi16(v, vMul));
        });
}

template <int BitDepth, int I, int W> void SetWidth(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnMcLuma[I] = McLuma<BitDepth, W>;
    pstDsp->pfnMcChroma[I] = McChroma<BitDepth, W>;
    pstDsp->pfnPutUni[I] = PutUni<BitDepth, W>;
    pstDsp->pfnPutBi[I] = PutBi<BitDepth, W>;
}

} /* namespace */

/* Widths 32 and 64 (indexes 7, 9); 16 and 48 (a half register, or two
 * overlapping steps) measured no faster than AVX2. */
template <int BitDepth> void HevcMcInitAvx512(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    SetWidth<BitDepth, 7, 32>(pstDsp);
    SetWidth<BitDepth, 9, 64>(pstDsp);
}
template void HevcMcInitAvx512<8>(HevcDsp8 *);
template void HevcMcInitAvx512<10>(HevcDsp10 *);

#endif
