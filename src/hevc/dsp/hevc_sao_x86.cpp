/* SAO band and edge offset for SSE4.1, 8 samples per step in 16-bit lanes;
 * offsets are picked with pshufb from a register table. The edge version
 * filters the whole CTB in steps and leaves only the four corners to the
 * shared scalar rule. Results equal hevc_sao.cpp. */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <string.h>

#include "hevc_dsp_internal.h"
#include "hevc_x86_lines.h"

#define HEVC_SSE41 __attribute__((target("sse4.1")))

namespace {

/* 16-bit lane indices 0..7 -> pshufb byte selectors for int16 entries. */
HEVC_SSE41 inline __m128i WordSelect(__m128i vIdx)
{
    return _mm_add_epi16(_mm_mullo_epi16(vIdx, _mm_set1_epi16(0x0202)), _mm_set1_epi16(0x0100));
}

template <int BitDepth>
HEVC_SSE41 void SaoBandSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                             const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                             int iWidth, int iHeight, const int16_t *psOffset, int iBandPos)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const __m128i vTable = _mm_setr_epi16(psOffset[1], psOffset[2], psOffset[3], psOffset[4], 0, 0, 0, 0);
    const __m128i vPos = _mm_set1_epi16((short)iBandPos), v31 = _mm_set1_epi16(31), v4 = _mm_set1_epi16(4);
    const __m128i vMax = _mm_set1_epi16((1 << BitDepth) - 1), vZero = _mm_setzero_si128();
    const int iMax = (1 << BitDepth) - 1;
    for (int y = 0; y < iHeight; y++, pDst += iDstStride, pSrc += iSrcStride) {
        int x = 0;
        for (; x + 8 <= iWidth; x += 8) {
            __m128i s = HevcLoadLine<8>(pSrc + x);
            /* k = (band - bandPos) & 31; bands k >= 4 select the zero entry 4 */
            __m128i k = _mm_and_si128(_mm_sub_epi16(_mm_srli_epi16(s, BitDepth - 5), vPos), v31);
            k = _mm_min_epu16(k, v4);
            __m128i vOff = _mm_shuffle_epi8(vTable, WordSelect(k));
            HevcStoreLine<8>(pDst + x, _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(s, vOff), vZero), vMax));
        }
        for (; x < iWidth; x++) {
            int k = ((pSrc[x] >> (BitDepth - 5)) - iBandPos) & 31;
            int v = pSrc[x] + (k < 4 ? psOffset[k + 1] : 0);
            pDst[x] = (Pixel)(v < 0 ? 0 : v > iMax ? iMax : v);
        }
    }
}

/* Edge offset of one 8-sample step at s (neighbours at s + iOff0/iOff1). */
template <typename Pixel>
HEVC_SSE41 inline __m128i EdgeStep(const Pixel *s, ptrdiff_t iOff0, ptrdiff_t iOff1, __m128i vTable, __m128i vMax)
{
    const __m128i c = HevcLoadLine<8>(s), a = HevcLoadLine<8>(s + iOff0), b = HevcLoadLine<8>(s + iOff1);
    /* sign(c - n) = (n > c) - (c > n) in mask arithmetic; table index 2 + signs */
    __m128i vEdge = _mm_add_epi16(_mm_set1_epi16(2), _mm_sub_epi16(_mm_cmpgt_epi16(a, c), _mm_cmpgt_epi16(c, a)));
    vEdge = _mm_add_epi16(vEdge, _mm_sub_epi16(_mm_cmpgt_epi16(b, c), _mm_cmpgt_epi16(c, b)));
    const __m128i vOff = _mm_shuffle_epi8(vTable, WordSelect(vEdge));
    return _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(c, vOff), _mm_setzero_si128()), vMax);
}

/* 8-sample steps (a row shorter than a step scalar, its tail with an
 * overlapping step: dst and src differ, so recomputing a sample is
 * harmless). */
template <int BitDepth>
HEVC_SSE41 void SaoEdgeSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                             const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                             int iWidth, int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const ptrdiff_t iOff0 = g_aacHevcSaoEoDy[iEoClass][0] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][0];
    const ptrdiff_t iOff1 = g_aacHevcSaoEoDy[iEoClass][1] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][1];
    /* offset by raw 2 + sign + sign: edgeIdx 1, 2, 0, 3, 4 */
    const __m128i vTable = _mm_setr_epi16(psOffset[1], psOffset[2], 0, psOffset[3], psOffset[4], 0, 0, 0);
    const __m128i vMax = _mm_set1_epi16((1 << BitDepth) - 1);
    const int iMax = (1 << BitDepth) - 1;
    auto fnRow = [&](const Pixel *s, Pixel *d, int x0, int x1) HEVC_SSE41 {
        if (x1 - x0 >= 8) {
            int x = x0;
            for (; x + 8 <= x1; x += 8)
                HevcStoreLine<8>(d + x, EdgeStep(s + x, iOff0, iOff1, vTable, vMax));
            if (x < x1)
                HevcStoreLine<8>(d + x1 - 8, EdgeStep(s + x1 - 8, iOff0, iOff1, vTable, vMax));
            return;
        }
        static const uint8_t s_aucRemap[5] = {1, 2, 0, 3, 4};
        for (int x = x0; x < x1; x++) {
            const int iEdge =
                2 + (s[x] > s[x + iOff0]) - (s[x] < s[x + iOff0]) + (s[x] > s[x + iOff1]) - (s[x] < s[x + iOff1]);
            const int v = s[x] + psOffset[s_aucRemap[iEdge]];
            d[x] = (Pixel)(v < 0 ? 0 : v > iMax ? iMax : v);
        }
    };
    HevcSaoEdgeRows<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass, uiAvail, fnRow);
}

/* ---- AVX2: 16 samples per step, the rest by the SSE4.1 routines' rules ---- */
#define HEVC_AVX2 __attribute__((target("avx2")))

template <typename Pixel> HEVC_AVX2 inline __m256i LoadY(const Pixel *p)
{
    if constexpr (sizeof(Pixel) == 1)
        return _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)p));
    else
        return _mm256_loadu_si256((const __m256i *)p);
}

template <typename Pixel> HEVC_AVX2 inline void StoreY(Pixel *p, __m256i v)
{
    if constexpr (sizeof(Pixel) == 1)
        _mm_storeu_si128((__m128i *)p,
                         _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08)));
    else
        _mm256_storeu_si256((__m256i *)p, v);
}

template <typename Pixel>
HEVC_AVX2 inline __m256i EdgeStepY(const Pixel *s, ptrdiff_t iOff0, ptrdiff_t iOff1, __m256i vTable, __m256i vMax)
{
    const __m256i c = LoadY(s), a = LoadY(s + iOff0), b = LoadY(s + iOff1);
    __m256i vEdge =
        _mm256_add_epi16(_mm256_set1_epi16(2), _mm256_sub_epi16(_mm256_cmpgt_epi16(a, c), _mm256_cmpgt_epi16(c, a)));
    vEdge = _mm256_add_epi16(vEdge, _mm256_sub_epi16(_mm256_cmpgt_epi16(b, c), _mm256_cmpgt_epi16(c, b)));
    const __m256i vSel =
        _mm256_add_epi16(_mm256_mullo_epi16(vEdge, _mm256_set1_epi16(0x0202)), _mm256_set1_epi16(0x0100));
    const __m256i vOff = _mm256_shuffle_epi8(vTable, vSel);
    return _mm256_min_epi16(_mm256_max_epi16(_mm256_add_epi16(c, vOff), _mm256_setzero_si256()), vMax);
}

/* As SaoEdgeSse41 in 16-sample steps; CTBs with rows of fewer than 16
 * filtered samples take the SSE4.1 routine. */
template <int BitDepth>
HEVC_AVX2 void SaoEdgeAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                           const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
                           int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    if (iWidth < 18) {
        SaoEdgeSse41<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass, uiAvail);
        return;
    }
    const ptrdiff_t iOff0 = g_aacHevcSaoEoDy[iEoClass][0] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][0];
    const ptrdiff_t iOff1 = g_aacHevcSaoEoDy[iEoClass][1] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][1];
    const __m256i vTable = _mm256_setr_epi16(psOffset[1], psOffset[2], 0, psOffset[3], psOffset[4], 0, 0, 0,
                                             psOffset[1], psOffset[2], 0, psOffset[3], psOffset[4], 0, 0, 0);
    const __m256i vMax = _mm256_set1_epi16((1 << BitDepth) - 1);
    auto fnRow = [&](const Pixel *s, Pixel *d, int x0, int x1) HEVC_AVX2 {
        int x = x0;
        for (; x + 16 <= x1; x += 16)
            StoreY(d + x, EdgeStepY(s + x, iOff0, iOff1, vTable, vMax));
        if (x < x1)
            StoreY(d + x1 - 16, EdgeStepY(s + x1 - 16, iOff0, iOff1, vTable, vMax));
    };
    HevcSaoEdgeRows<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass, uiAvail, fnRow);
}

template <int BitDepth>
HEVC_AVX2 void SaoBandAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                           const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
                           int iHeight, const int16_t *psOffset, int iBandPos)
{
    if (iWidth < 16) {
        SaoBandSse41<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iBandPos);
        return;
    }
    const __m256i vTable = _mm256_setr_epi16(psOffset[1], psOffset[2], psOffset[3], psOffset[4], 0, 0, 0, 0,
                                             psOffset[1], psOffset[2], psOffset[3], psOffset[4], 0, 0, 0, 0);
    const __m256i vPos = _mm256_set1_epi16((short)iBandPos), v31 = _mm256_set1_epi16(31), v4 = _mm256_set1_epi16(4);
    const __m256i vMax = _mm256_set1_epi16((1 << BitDepth) - 1), vZero = _mm256_setzero_si256();
    auto fnStep = [&](int x, int y) HEVC_AVX2 {
        const __m256i v = LoadY(pSrc + y * iSrcStride + x);
        __m256i k = _mm256_and_si256(_mm256_sub_epi16(_mm256_srli_epi16(v, BitDepth - 5), vPos), v31);
        k = _mm256_min_epu16(k, v4);
        const __m256i vSel =
            _mm256_add_epi16(_mm256_mullo_epi16(k, _mm256_set1_epi16(0x0202)), _mm256_set1_epi16(0x0100));
        return _mm256_min_epi16(_mm256_max_epi16(_mm256_add_epi16(v, _mm256_shuffle_epi8(vTable, vSel)), vZero), vMax);
    };
    /* in place is allowed: the overlapping last step reads the row before any of it is written */
    for (int y = 0; y < iHeight; y++) {
        const __m256i vLast = fnStep(iWidth - 16, y);
        for (int x = 0; x + 16 <= iWidth; x += 16)
            StoreY(pDst + y * iDstStride + x, fnStep(x, y));
        StoreY(pDst + y * iDstStride + iWidth - 16, vLast);
    }
}

} /* namespace */

template <int BitDepth> void HevcSaoInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnSaoBand = SaoBandSse41<BitDepth>;
    pstDsp->pfnSaoEdge = SaoEdgeSse41<BitDepth>;
}
template void HevcSaoInitSse41<8>(HevcDsp8 *);
template void HevcSaoInitSse41<10>(HevcDsp10 *);

template <int BitDepth> void HevcSaoInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnSaoBand = SaoBandAvx2<BitDepth>;
    pstDsp->pfnSaoEdge = SaoEdgeAvx2<BitDepth>;
}
template void HevcSaoInitAvx2<8>(HevcDsp8 *);
template void HevcSaoInitAvx2<10>(HevcDsp10 *);

#endif
