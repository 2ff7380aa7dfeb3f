/* Deblocking filters and their decisions: C references (H.265 8.7.2.5). */
#include "hevc_dsp_internal.h"

namespace {

inline int Abs(int v)
{
    return v < 0 ? -v : v;
}

/* One 4-line luma segment. iXs steps across the edge (p side negative), iLs
 * steps along it. */
template <int BitDepth>
void DeblockLuma(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iXs, ptrdiff_t iLs,
                 int iBeta, int iTc, int bNoP, int bNoQ)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
#define P(k, line) pPix[(line)*iLs - ((k) + 1) * iXs]
#define Q(k, line) pPix[(line)*iLs + (k)*iXs]
    /* H.265 8.7.2.5.3: decisions from lines 0 and 3. */
    const int iDp0 = Abs(P(2, 0) - 2 * P(1, 0) + P(0, 0));
    const int iDp3 = Abs(P(2, 3) - 2 * P(1, 3) + P(0, 3));
    const int iDq0 = Abs(Q(2, 0) - 2 * Q(1, 0) + Q(0, 0));
    const int iDq3 = Abs(Q(2, 3) - 2 * Q(1, 3) + Q(0, 3));
    const int iDpq0 = iDp0 + iDq0, iDpq3 = iDp3 + iDq3;
    const int iDp = iDp0 + iDp3, iDq = iDq0 + iDq3;
    if (iDpq0 + iDpq3 >= iBeta || iTc == 0 || (bNoP && bNoQ))
        return;

    /* H.265 8.7.2.5.6 for lines 0 and 3. */
    const int iStrongTc = (5 * iTc + 1) >> 1;
    auto fnSample = [&](int iLine, int iDpq) {
        return 2 * iDpq < (iBeta >> 2) &&
               Abs(P(3, iLine) - P(0, iLine)) + Abs(Q(0, iLine) - Q(3, iLine)) < (iBeta >> 3) &&
               Abs(P(0, iLine) - Q(0, iLine)) < iStrongTc;
    };
    const bool bStrong = fnSample(0, iDpq0) && fnSample(3, iDpq3);
    const int iSideThr = (iBeta + (iBeta >> 1)) >> 3;
    const bool bDEp = iDp < iSideThr, bDEq = iDq < iSideThr;

    for (int l = 0; l < 4; l++) {
        const int p0 = P(0, l), p1 = P(1, l), p2 = P(2, l), p3 = P(3, l);
        const int q0 = Q(0, l), q1 = Q(1, l), q2 = Q(2, l), q3 = Q(3, l);
        if (bStrong) {
            /* H.265 8.7.2.5.7, nDp = nDq = 3 */
            const int t2 = 2 * iTc;
            if (!bNoP) {
                P(0, l) = (Pixel)HevcClip3(p0 - t2, p0 + t2, (p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
                P(1, l) = (Pixel)HevcClip3(p1 - t2, p1 + t2, (p2 + p1 + p0 + q0 + 2) >> 2);
                P(2, l) = (Pixel)HevcClip3(p2 - t2, p2 + t2, (2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
            }
            if (!bNoQ) {
                Q(0, l) = (Pixel)HevcClip3(q0 - t2, q0 + t2, (p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
                Q(1, l) = (Pixel)HevcClip3(q1 - t2, q1 + t2, (p0 + q0 + q1 + q2 + 2) >> 2);
                Q(2, l) = (Pixel)HevcClip3(q2 - t2, q2 + t2, (p0 + q0 + q1 + 3 * q2 + 2 * q3 + 4) >> 3);
            }
            continue;
        }
        int iDelta = (9 * (q0 - p0) - 3 * (q1 - p1) + 8) >> 4;
        if (Abs(iDelta) >= iTc * 10)
            continue;
        iDelta = HevcClip3(-iTc, iTc, iDelta);
        if (!bNoP) {
            P(0, l) = (Pixel)HevcClipPixel<BitDepth>(p0 + iDelta);
            if (bDEp) {
                int iDeltaP = HevcClip3(-(iTc >> 1), iTc >> 1, (((p2 + p0 + 1) >> 1) - p1 + iDelta) >> 1);
                P(1, l) = (Pixel)HevcClipPixel<BitDepth>(p1 + iDeltaP);
            }
        }
        if (!bNoQ) {
            Q(0, l) = (Pixel)HevcClipPixel<BitDepth>(q0 - iDelta);
            if (bDEq) {
                int iDeltaQ = HevcClip3(-(iTc >> 1), iTc >> 1, (((q2 + q0 + 1) >> 1) - q1 - iDelta) >> 1);
                Q(1, l) = (Pixel)HevcClipPixel<BitDepth>(q1 + iDeltaQ);
            }
        }
    }
#undef P
#undef Q
}

template <int BitDepth>
void DeblockLumaV(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta,
                  int iTc, int bNoP, int bNoQ)
{
    DeblockLuma<BitDepth>(pPix, 1, iStride, iBeta, iTc, bNoP, bNoQ);
}

template <int BitDepth>
void DeblockLumaH(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta,
                  int iTc, int bNoP, int bNoQ)
{
    DeblockLuma<BitDepth>(pPix, iStride, 1, iBeta, iTc, bNoP, bNoQ);
}

/* Two segments, one after the other along the edge. */
template <int BitDepth>
void DeblockLuma2V(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta0, int iTc0,
                   int iBeta1, int iTc1, unsigned uiNo)
{
    DeblockLuma<BitDepth>(pPix, 1, iStride, iBeta0, iTc0, uiNo & 1, (uiNo >> 1) & 1);
    DeblockLuma<BitDepth>(pPix + 4 * iStride, 1, iStride, iBeta1, iTc1, (uiNo >> 2) & 1, (uiNo >> 3) & 1);
}

template <int BitDepth>
void DeblockLuma2H(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta0, int iTc0,
                   int iBeta1, int iTc1, unsigned uiNo)
{
    DeblockLuma<BitDepth>(pPix, iStride, 1, iBeta0, iTc0, uiNo & 1, (uiNo >> 1) & 1);
    DeblockLuma<BitDepth>(pPix + 4, iStride, 1, iBeta1, iTc1, (uiNo >> 2) & 1, (uiNo >> 3) & 1);
}

/* H.265 8.7.2.5.5, 4 lines. */
template <int BitDepth>
void DeblockChroma(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iXs, ptrdiff_t iLs,
                   int iTc, int bNoP, int bNoQ)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    if (iTc == 0)
        return;
    for (int l = 0; l < 4; l++, pPix += iLs) {
        const int p1 = pPix[-2 * iXs], p0 = pPix[-iXs], q0 = pPix[0], q1 = pPix[iXs];
        const int iDelta = HevcClip3(-iTc, iTc, ((((q0 - p0) * 4) + p1 - q1 + 4) >> 3));
        if (!bNoP)
            pPix[-iXs] = (Pixel)HevcClipPixel<BitDepth>(p0 + iDelta);
        if (!bNoQ)
            pPix[0] = (Pixel)HevcClipPixel<BitDepth>(q0 - iDelta);
    }
}

template <int BitDepth>
void DeblockChromaV(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iTc,
                    int bNoP, int bNoQ)
{
    DeblockChroma<BitDepth>(pPix, 1, iStride, iTc, bNoP, bNoQ);
}

template <int BitDepth>
void DeblockChromaH(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iTc,
                    int bNoP, int bNoQ)
{
    DeblockChroma<BitDepth>(pPix, iStride, 1, iTc, bNoP, bNoQ);
}

} /* namespace */

template <int BitDepth> void HevcDeblockInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnDeblockLuma[0] = DeblockLumaV<BitDepth>;
    pstDsp->pfnDeblockLuma[1] = DeblockLumaH<BitDepth>;
    pstDsp->pfnDeblockLuma2[0] = DeblockLuma2V<BitDepth>;
    pstDsp->pfnDeblockLuma2[1] = DeblockLuma2H<BitDepth>;
    pstDsp->pfnDeblockChroma[0] = DeblockChromaV<BitDepth>;
    pstDsp->pfnDeblockChroma[1] = DeblockChromaH<BitDepth>;
}
template void HevcDeblockInitC<8>(HevcDsp8 *);
template void HevcDeblockInitC<10>(HevcDsp10 *);

int HevcDeblockBeta(int iQpL, int iBetaOffsetDiv2, int iBitDepth)
{
    int iQ = HevcClip3(0, 51, iQpL + iBetaOffsetDiv2 * 2);
    return g_aucHevcBetaTable[iQ] * (1 << (iBitDepth - 8));
}

int HevcDeblockTc(int iQpL, int iBs, int iTcOffsetDiv2, int iBitDepth)
{
    int iQ = HevcClip3(0, 53, iQpL + 2 * (iBs - 1) + iTcOffsetDiv2 * 2);
    return g_aucHevcTcTable[iQ] * (1 << (iBitDepth - 8));
}

int HevcChromaQp(int iQpi)
{
    static const uint8_t s_aucQpc[14] = {29, 30, 31, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37};
    if (iQpi < 30)
        return iQpi;
    if (iQpi > 43)
        return iQpi - 6;
    return s_aucQpc[iQpi - 30];
}
