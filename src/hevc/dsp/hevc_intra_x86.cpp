/* Planar and angular intra prediction for SSE4.1 (8 samples per step, 16-bit
 * arithmetic where it cannot overflow, 32-bit for 10-bit planar). Results
 * equal the C references in hevc_intra.cpp. */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <string.h>

#include "hevc_dsp_internal.h"
#include "hevc_x86_lines.h"

#define HEVC_SSE41 __attribute__((target("sse4.1")))

namespace {

template <int BitDepth, int Log2>
HEVC_SSE41 void PredAngularSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                 const typename HevcDspTraits<BitDepth>::Pixel *pRef, int iMode,
                                 int bEdgeFilter)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2, W = N < 8 ? N : 8;
    const int iAngle = g_acHevcIntraPredAngle[iMode];
    const bool bVer = iMode >= 18;
    const int iMainDir = bVer ? 1 : -1;
    /* refMain[-N..2N] plus room for the last 8-sample load */
    Pixel aBuf[3 * N + 1 + 8];
    Pixel *pMain = aBuf + N;
    HevcAngularMainRef<Pixel, N>(pMain, pRef, iMode, iMainDir);
    for (int k = 2 * N + 1; k <= 2 * N + 8; k++)
        pMain[k] = pMain[2 * N];

    /* Rows of the vertical form go straight to dst; horizontal modes are
     * built the same way and transposed. */
    Pixel aBlk[N * N];
    Pixel *pOut = bVer ? pDst : aBlk;
    const ptrdiff_t iOutStride = bVer ? iStride : N;
    const __m128i vRound = _mm_set1_epi16(16);
    for (int j = 0; j < N; j++) {
        const int iPos = (j + 1) * iAngle, iIdx = iPos >> 5, iFact = iPos & 31;
        const Pixel *a = pMain + iIdx + 1;
        Pixel *o = pOut + j * iOutStride;
        if (iFact) {
            const __m128i vF0 = _mm_set1_epi16((short)(32 - iFact)), vF1 = _mm_set1_epi16((short)iFact);
            for (int i = 0; i < N; i += W) {
                __m128i v0 = _mm_mullo_epi16(HevcLoadLine<W>(a + i), vF0);
                __m128i v1 = _mm_mullo_epi16(HevcLoadLine<W>(a + i + 1), vF1);
                HevcStoreLine<W>(o + i, _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(v0, v1), vRound), 5));
            }
        } else {
            memcpy(o, a, N * sizeof(Pixel));
        }
    }
    if (!bVer)
        for (int y = 0; y < N; y++)
            for (int x = 0; x < N; x++)
                pDst[y * iStride + x] = aBlk[x * N + y];

    if (bEdgeFilter && (iMode == 26 || iMode == 10))
        HevcAngularEdge<BitDepth, N>(pDst, iStride, pRef, bVer);
}

/* Planar in 32-bit lanes: row y is
 *   (N-1-x) * L[y] + (x+1) * TR + (N-1-y) * T[x] + (y+1) * BL + N. */
template <int BitDepth, int Log2>
HEVC_SSE41 void PredPlanarSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                const typename HevcDspTraits<BitDepth>::Pixel *pRef)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2;
    const int iTopRight = pRef[1 + N], iBottomLeft = pRef[-1 - N];
    /* per 4 columns: top samples, (N-1-x) and (x+1) * TR + N */
    __m128i avTop[N / 4], avLeftW[N / 4], avRightPart[N / 4];
    for (int g = 0; g < N / 4; g++) {
        avTop[g] = _mm_setr_epi32(pRef[1 + 4 * g], pRef[2 + 4 * g], pRef[3 + 4 * g], pRef[4 + 4 * g]);
        avLeftW[g] = _mm_setr_epi32(N - 1 - 4 * g, N - 2 - 4 * g, N - 3 - 4 * g, N - 4 - 4 * g);
        avRightPart[g] = _mm_setr_epi32((4 * g + 1) * iTopRight + N, (4 * g + 2) * iTopRight + N,
                                        (4 * g + 3) * iTopRight + N, (4 * g + 4) * iTopRight + N);
    }
    for (int y = 0; y < N; y++, pDst += iStride) {
        const __m128i vLeft = _mm_set1_epi32(pRef[-1 - y]);
        const __m128i vTopW = _mm_set1_epi32(N - 1 - y);
        const __m128i vBottom = _mm_set1_epi32((y + 1) * iBottomLeft);
        for (int g = 0; g < N / 4; g++) {
            __m128i v = _mm_add_epi32(_mm_mullo_epi32(avLeftW[g], vLeft), avRightPart[g]);
            v = _mm_add_epi32(v, _mm_add_epi32(_mm_mullo_epi32(avTop[g], vTopW), vBottom));
            v = _mm_srli_epi32(v, Log2 + 1);
            __m128i v16 = _mm_packus_epi32(v, v);
            if constexpr (sizeof(Pixel) == 1) {
                int32_t w = _mm_cvtsi128_si32(_mm_packus_epi16(v16, v16));
                memcpy(pDst + 4 * g, &w, 4);
            } else {
                _mm_storel_epi64((__m128i *)(pDst + 4 * g), v16);
            }
        }
    }
}

} /* namespace */

template <int BitDepth> void HevcIntraInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnPredAngular[0] = PredAngularSse41<BitDepth, 2>;
    pstDsp->pfnPredAngular[1] = PredAngularSse41<BitDepth, 3>;
    pstDsp->pfnPredAngular[2] = PredAngularSse41<BitDepth, 4>;
    pstDsp->pfnPredAngular[3] = PredAngularSse41<BitDepth, 5>;
    pstDsp->pfnPredPlanar[0] = PredPlanarSse41<BitDepth, 2>;
    pstDsp->pfnPredPlanar[1] = PredPlanarSse41<BitDepth, 3>;
    pstDsp->pfnPredPlanar[2] = PredPlanarSse41<BitDepth, 4>;
    pstDsp->pfnPredPlanar[3] = PredPlanarSse41<BitDepth, 5>;
}
template void HevcIntraInitSse41<8>(HevcDsp8 *);
template void HevcIntraInitSse41<10>(HevcDsp10 *);

#endif
