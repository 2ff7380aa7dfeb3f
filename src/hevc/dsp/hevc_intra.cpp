/* Intra sample prediction: C references (H.265 8.4.4.2). */
#include <string.h>

#include "hevc_dsp_internal.h"

namespace {

/* H.265 8.4.4.2.2, unit by unit in line order: available units are copied
 * from the picture, missing ones repeat the sample before them; a missing run
 * at the start takes the first available sample (the standard's search). */
template <int BitDepth, int iUnit>
void IntraRefFillUnit(typename HevcDspTraits<BitDepth>::Pixel *pLine,
                      const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iStride, int iLog2Size,
                      const uint8_t *pucAvail)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int N = 1 << iLog2Size, iSideUnits = (2 * N) / iUnit;
    const int iUnits = 2 * iSideUnits + 1; /* left units, corner, top units */

    /* Sample of line position i (only for available units). */
    auto fnSample = [&](int i) -> Pixel {
        if (i < 2 * N)
            return pSrc[(2 * N - 1 - i) * iStride - 1];
        if (i == 2 * N)
            return pSrc[-iStride - 1];
        return pSrc[-iStride + i - 2 * N - 1];
    };
    if (!memchr(pucAvail, 0, (size_t)iUnits)) {
        /* every unit available (most blocks): two plain copies */
        const Pixel *s = pSrc + (2 * N - 1) * iStride - 1;
        for (int i = 0; i < 2 * N; i++, s -= iStride)
            pLine[i] = *s;
        pLine[2 * N] = pSrc[-iStride - 1];
        for (int i = 0; i < 2 * N; i++)
            pLine[2 * N + 1 + i] = pSrc[-iStride + i];
        return;
    }
    int u0 = 0;
    while (u0 < iUnits && !pucAvail[u0])
        u0++;
    if (u0 == iUnits) {
        for (int i = 0; i < 4 * N + 1; i++)
            pLine[i] = (Pixel)(1 << (BitDepth - 1));
        return;
    }
    Pixel prev = fnSample(u0 < iSideUnits ? u0 * iUnit : u0 == iSideUnits ? 2 * N : 2 * N + 1 + (u0 - iSideUnits - 1) * iUnit);

    /* left column, bottom unit first */
    for (int u = 0; u < iSideUnits; u++) {
        Pixel *p = pLine + u * iUnit;
        if (pucAvail[u]) {
            const Pixel *s = pSrc + (2 * N - 1 - u * iUnit) * iStride - 1;
            for (int k = 0; k < iUnit; k++, s -= iStride)
                p[k] = *s;
            prev = p[iUnit - 1];
        } else {
            for (int k = 0; k < iUnit; k++)
                p[k] = prev;
        }
    }
    pLine[2 * N] = pucAvail[iSideUnits] ? pSrc[-iStride - 1] : prev;
    prev = pLine[2 * N];
    /* top row, left unit first */
    for (int u = 0; u < iSideUnits; u++) {
        Pixel *p = pLine + 2 * N + 1 + u * iUnit;
        if (pucAvail[iSideUnits + 1 + u]) {
            for (int k = 0; k < iUnit; k++)
                p[k] = pSrc[-iStride + u * iUnit + k];
            prev = p[iUnit - 1];
        } else {
            for (int k = 0; k < iUnit; k++)
                p[k] = prev;
        }
    }
}

/* H.265 8.4.4.2.3. */
template <int BitDepth>
void IntraSmooth(typename HevcDspTraits<BitDepth>::Pixel *pRef, int iLog2Size, int bStrongAllowed)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int N = 1 << iLog2Size;
    if (bStrongAllowed && N == 32 && HevcIntraStrongFlat<BitDepth>(pRef)) {
        const int iCorner = pRef[0], iTop = pRef[2 * N], iLeft = pRef[-2 * N];
        for (int i = 0; i < 63; i++) {
            pRef[1 + i] = (Pixel)(((63 - i) * iCorner + (i + 1) * iTop + 32) >> 6);
            pRef[-1 - i] = (Pixel)(((63 - i) * iCorner + (i + 1) * iLeft + 32) >> 6);
        }
        return;
    }
    /* [1 2 1] over the line; both ends stay. */
    int iPrev = pRef[-2 * N];
    for (int i = -2 * N + 1; i < 2 * N; i++) {
        int iCur = pRef[i];
        pRef[i] = (Pixel)((iPrev + 2 * iCur + pRef[i + 1] + 2) >> 2);
        iPrev = iCur;
    }
}

template <int BitDepth, int Log2>
void PredPlanar(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                const typename HevcDspTraits<BitDepth>::Pixel *pRef)
{
    constexpr int N = 1 << Log2;
    const int iTopRight = pRef[1 + N], iBottomLeft = pRef[-1 - N];
    for (int y = 0; y < N; y++, pDst += iStride) {
        const int iLeft = pRef[-1 - y];
        for (int x = 0; x < N; x++)
            pDst[x] = (typename HevcDspTraits<BitDepth>::Pixel)(
                ((N - 1 - x) * iLeft + (x + 1) * iTopRight + (N - 1 - y) * pRef[1 + x] +
                 (y + 1) * iBottomLeft + N) >>
                (Log2 + 1));
    }
}

template <int BitDepth, int Log2>
void PredDc(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
            const typename HevcDspTraits<BitDepth>::Pixel *pRef, int bEdgeFilter)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2;
    int iSum = N;
    for (int i = 0; i < N; i++)
        iSum += pRef[1 + i] + pRef[-1 - i];
    const int iDc = iSum >> (Log2 + 1);
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++)
            pDst[y * iStride + x] = (Pixel)iDc;
    if (bEdgeFilter) {
        pDst[0] = (Pixel)((pRef[-1] + 2 * iDc + pRef[1] + 2) >> 2);
        for (int x = 1; x < N; x++)
            pDst[x] = (Pixel)((pRef[1 + x] + 3 * iDc + 2) >> 2);
        for (int y = 1; y < N; y++)
            pDst[y * iStride] = (Pixel)((pRef[-1 - y] + 3 * iDc + 2) >> 2);
    }
}

/* H.265 8.4.4.2.6. Modes >= 18 project onto the top row, the others onto
 * the left column; both build refMain[-N..2N] and then share the loop with
 * the roles of x and y swapped. */
template <int BitDepth, int Log2>
void PredAngular(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                 const typename HevcDspTraits<BitDepth>::Pixel *pRef, int iMode, int bEdgeFilter)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2;
    const int iAngle = g_acHevcIntraPredAngle[iMode];
    const bool bVer = iMode >= 18;
    /* Main-direction sample k (k = 0 the corner) and side-direction sample k. */
    const int iMainDir = bVer ? 1 : -1;
    Pixel aBuf[3 * N + 1];
    Pixel *pMain = aBuf + N;

    HevcAngularMainRef<Pixel, N>(pMain, pRef, iMode, iMainDir);

    for (int j = 0; j < N; j++) {
        const int iPos = (j + 1) * iAngle, iIdx = iPos >> 5, iFact = iPos & 31;
        Pixel aRow[N];
        if (iFact) {
            for (int i = 0; i < N; i++)
                aRow[i] = (Pixel)(((32 - iFact) * pMain[i + iIdx + 1] +
                                   iFact * pMain[i + iIdx + 2] + 16) >> 5);
        } else {
            for (int i = 0; i < N; i++)
                aRow[i] = pMain[i + iIdx + 1];
        }
        /* j runs along the side direction: rows for vertical, columns otherwise. */
        if (bVer) {
            for (int i = 0; i < N; i++)
                pDst[j * iStride + i] = aRow[i];
        } else {
            for (int i = 0; i < N; i++)
                pDst[i * iStride + j] = aRow[i];
        }
    }

    if (bEdgeFilter && (iMode == 26 || iMode == 10))
        HevcAngularEdge<BitDepth, N>(pDst, iStride, pRef, bVer);
}

} /* namespace */

/* The unit size as a constant, so the per-unit copies unroll. Also the
 * fallback of SIMD versions for the rarer availability shapes. */
template <int BitDepth>
void HevcIntraRefFillC(typename HevcDspTraits<BitDepth>::Pixel *pLine,
                       const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iStride, int iLog2Size,
                       const uint8_t *pucAvail, int iLog2Unit)
{
    if (iLog2Unit == 1)
        IntraRefFillUnit<BitDepth, 2>(pLine, pSrc, iStride, iLog2Size, pucAvail);
    else
        IntraRefFillUnit<BitDepth, 4>(pLine, pSrc, iStride, iLog2Size, pucAvail);
}

template void HevcIntraRefFillC<8>(uint8_t *, const uint8_t *, ptrdiff_t, int, const uint8_t *, int);
template void HevcIntraRefFillC<10>(uint16_t *, const uint16_t *, ptrdiff_t, int, const uint8_t *, int);

template <int BitDepth> void HevcIntraInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnIntraRefFill = HevcIntraRefFillC<BitDepth>;
    pstDsp->pfnIntraSmooth = IntraSmooth<BitDepth>;
    pstDsp->pfnPredPlanar[0] = PredPlanar<BitDepth, 2>;
    pstDsp->pfnPredPlanar[1] = PredPlanar<BitDepth, 3>;
    pstDsp->pfnPredPlanar[2] = PredPlanar<BitDepth, 4>;
    pstDsp->pfnPredPlanar[3] = PredPlanar<BitDepth, 5>;
    pstDsp->pfnPredDc[0] = PredDc<BitDepth, 2>;
    pstDsp->pfnPredDc[1] = PredDc<BitDepth, 3>;
    pstDsp->pfnPredDc[2] = PredDc<BitDepth, 4>;
    pstDsp->pfnPredDc[3] = PredDc<BitDepth, 5>;
    pstDsp->pfnPredAngular[0] = PredAngular<BitDepth, 2>;
    pstDsp->pfnPredAngular[1] = PredAngular<BitDepth, 3>;
    pstDsp->pfnPredAngular[2] = PredAngular<BitDepth, 4>;
    pstDsp->pfnPredAngular[3] = PredAngular<BitDepth, 5>;
}
template void HevcIntraInitC<8>(HevcDsp8 *);
template void HevcIntraInitC<10>(HevcDsp10 *);
