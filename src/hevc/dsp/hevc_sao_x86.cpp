/* SAO band and edge offset for SSE4.1, 8 samples per step in 16-bit lanes;
 * offsets are picked with pshufb from a register table. The edge version
 * vectorises the CTB interior and leaves the border row/columns to the shared
 * scalar pass. Results equal hevc_sao.cpp. */
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
    const __m128i vTwo = _mm_set1_epi16(2);
    const __m128i vMax = _mm_set1_epi16((1 << BitDepth) - 1), vZero = _mm_setzero_si128();
    const int iMax = (1 << BitDepth) - 1;
    for (int y = 1; y < iHeight - 1; y++) {
        const Pixel *s = pSrc + y * iSrcStride;
        Pixel *d = pDst + y * iDstStride;
        int x = 1;
        for (; x + 8 <= iWidth - 1; x += 8) {
            __m128i c = HevcLoadLine<8>(s + x), a = HevcLoadLine<8>(s + x + iOff0), b = HevcLoadLine<8>(s + x + iOff1);
            /* sign(c - n) = (n > c) - (c > n) in mask arithmetic */
            __m128i vEdge = _mm_add_epi16(vTwo, _mm_sub_epi16(_mm_cmpgt_epi16(a, c), _mm_cmpgt_epi16(c, a)));
            vEdge = _mm_add_epi16(vEdge, _mm_sub_epi16(_mm_cmpgt_epi16(b, c), _mm_cmpgt_epi16(c, b)));
            __m128i vOff = _mm_shuffle_epi8(vTable, WordSelect(vEdge));
            HevcStoreLine<8>(d + x, _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(c, vOff), vZero), vMax));
        }
        for (; x < iWidth - 1; x++) {
            int iEdge = 2 + (s[x] > s[x + iOff0]) - (s[x] < s[x + iOff0]) + (s[x] > s[x + iOff1]) -
                        (s[x] < s[x + iOff1]);
            static const uint8_t s_aucRemap[5] = {1, 2, 0, 3, 4};
            int v = s[x] + psOffset[s_aucRemap[iEdge]];
            d[x] = (Pixel)(v < 0 ? 0 : v > iMax ? iMax : v);
        }
    }
    HevcSaoEdgeBorder<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass,
                                uiAvail);
}

} /* namespace */

template <int BitDepth> void HevcSaoInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnSaoBand = SaoBandSse41<BitDepth>;
    pstDsp->pfnSaoEdge = SaoEdgeSse41<BitDepth>;
}
template void HevcSaoInitSse41<8>(HevcDsp8 *);
template void HevcSaoInitSse41<10>(HevcDsp10 *);

#endif
