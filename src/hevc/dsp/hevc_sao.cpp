/* Sample adaptive offset: C references (H.265 8.7.3). */
#include "hevc_dsp_internal.h"

template <int BitDepth>
static void SaoEdgeBorder(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                          const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
                          int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail, bool bCornersOnly);

namespace {

template <int BitDepth>
void SaoBand(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
             const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
             int iHeight, const int16_t *psOffset, int iBandPos)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    /* bandTable: band k of the 32 gets offset index 1..4 or none. */
    int aiOffset[32] = {0};
    for (int k = 0; k < 4; k++)
        aiOffset[(k + iBandPos) & 31] = psOffset[k + 1];
    for (int y = 0; y < iHeight; y++, pDst += iDstStride, pSrc += iSrcStride)
        for (int x = 0; x < iWidth; x++)
            pDst[x] = (Pixel)HevcClipPixel<BitDepth>(pSrc[x] + aiOffset[pSrc[x] >> (BitDepth - 5)]);
}

inline int Sign(int v)
{
    return (v > 0) - (v < 0);
}

/* edgeIdx 0..4 from 2 + sum of signs, remapped so that flat is 0. */
const uint8_t s_aucRemap[5] = {1, 2, 0, 3, 4};

template <int BitDepth>
void SaoEdge(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
             const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
             int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const ptrdiff_t iOff0 = g_aacHevcSaoEoDy[iEoClass][0] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][0];
    const ptrdiff_t iOff1 = g_aacHevcSaoEoDy[iEoClass][1] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][1];

    /* Interior: both neighbours inside the CTB. */
    for (int y = 1; y < iHeight - 1; y++) {
        const Pixel *s = pSrc + y * iSrcStride;
        Pixel *d = pDst + y * iDstStride;
        for (int x = 1; x < iWidth - 1; x++) {
            int iEdge = 2 + Sign(s[x] - s[x + iOff0]) + Sign(s[x] - s[x + iOff1]);
            d[x] = (Pixel)HevcClipPixel<BitDepth>(s[x] + psOffset[s_aucRemap[iEdge]]);
        }
    }
    SaoEdgeBorder<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass, uiAvail,
                            false);
}

} /* namespace */

const int8_t g_aacHevcSaoEoDx[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}};
const int8_t g_aacHevcSaoEoDy[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};

/* Border samples (first and last row and column), or only the four corners:
 * each neighbour outside the CTB must lie in an available neighbouring CTB
 * (corners are separate CTBs: the bottom-left one can be usable while the
 * bottom one is not). */
template <int BitDepth>
static void SaoEdgeBorder(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                          const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
                          int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail, bool bCornersOnly)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    static const uint8_t s_aaucSide[3][3] = {
        {HEVC_SAO_TOP_LEFT, HEVC_SAO_TOP, HEVC_SAO_TOP_RIGHT},
        {HEVC_SAO_LEFT, 0, HEVC_SAO_RIGHT},
        {HEVC_SAO_BOTTOM_LEFT, HEVC_SAO_BOTTOM, HEVC_SAO_BOTTOM_RIGHT}};
    const int aiDx[2] = {g_aacHevcSaoEoDx[iEoClass][0], g_aacHevcSaoEoDx[iEoClass][1]};
    const int aiDy[2] = {g_aacHevcSaoEoDy[iEoClass][0], g_aacHevcSaoEoDy[iEoClass][1]};
    auto fnBorder = [&](int x, int y) {
        const Pixel *s = pSrc + y * iSrcStride + x;
        Pixel *d = pDst + y * iDstStride + x;
        int iEdge = 2;
        for (int k = 0; k < 2; k++) {
            int nx = x + aiDx[k], ny = y + aiDy[k];
            int cx = nx < 0 ? 0 : nx >= iWidth ? 2 : 1, cy = ny < 0 ? 0 : ny >= iHeight ? 2 : 1;
            unsigned uiSide = s_aaucSide[cy][cx];
            if (uiSide && !(uiAvail & uiSide)) {
                *d = *s;
                return;
            }
            iEdge += Sign(s[0] - s[aiDy[k] * iSrcStride + aiDx[k]]);
        }
        *d = (Pixel)HevcClipPixel<BitDepth>(s[0] + psOffset[s_aucRemap[iEdge]]);
    };
    if (bCornersOnly) {
        fnBorder(0, 0);
        fnBorder(iWidth - 1, 0);
        fnBorder(0, iHeight - 1);
        fnBorder(iWidth - 1, iHeight - 1);
        return;
    }
    for (int x = 0; x < iWidth; x++) {
        fnBorder(x, 0);
        if (iHeight > 1)
            fnBorder(x, iHeight - 1);
    }
    for (int y = 1; y < iHeight - 1; y++) {
        fnBorder(0, y);
        if (iWidth > 1)
            fnBorder(iWidth - 1, y);
    }
}

template <int BitDepth>
void HevcSaoEdgeCorners(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                        const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
                        int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail)
{
    SaoEdgeBorder<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass, uiAvail, true);
}
template void HevcSaoEdgeCorners<8>(uint8_t *, ptrdiff_t, const uint8_t *, ptrdiff_t, int, int, const int16_t *,
                                    int, unsigned);
template void HevcSaoEdgeCorners<10>(uint16_t *, ptrdiff_t, const uint16_t *, ptrdiff_t, int, int,
                                     const int16_t *, int, unsigned);


template <int BitDepth> void HevcSaoInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnSaoBand = SaoBand<BitDepth>;
    pstDsp->pfnSaoEdge = SaoEdge<BitDepth>;
}
template void HevcSaoInitC<8>(HevcDsp8 *);
template void HevcSaoInitC<10>(HevcDsp10 *);

void HevcSaoOffsets(const int *piAbs, const int *piSign, int bEdge, int iBitDepth, int16_t *psOut)
{
    const int iShift = iBitDepth - (iBitDepth < 10 ? iBitDepth : 10);
    psOut[0] = 0;
    for (int i = 0; i < 4; i++) {
        int bNeg = bEdge ? i >= 2 : piSign[i] != 0;
        int v = piAbs[i] * (1 << iShift);
        psOut[i + 1] = (int16_t)(bNeg ? -v : v);
    }
}
