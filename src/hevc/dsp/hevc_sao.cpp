/* Sample adaptive offset: C references (H.265 8.7.3). */
#include "hevc_dsp_internal.h"

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

/* hPos/vPos of the two neighbours per class (H.265 Table 8-13 ff.). */
const int8_t s_aacEoDx[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}};
const int8_t s_aacEoDy[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};

template <int BitDepth>
void SaoEdge(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
             const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
             int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    /* edgeIdx 0..4 from 2 + sum of signs, remapped so that flat is 0. */
    static const uint8_t s_aucRemap[5] = {1, 2, 0, 3, 4};
    const int iDx0 = s_aacEoDx[iEoClass][0], iDx1 = s_aacEoDx[iEoClass][1];
    const int iDy0 = s_aacEoDy[iEoClass][0], iDy1 = s_aacEoDy[iEoClass][1];
    const ptrdiff_t iOff0 = iDy0 * iSrcStride + iDx0, iOff1 = iDy1 * iSrcStride + iDx1;

    /* Interior: both neighbours inside the CTB. */
    for (int y = 1; y < iHeight - 1; y++) {
        const Pixel *s = pSrc + y * iSrcStride;
        Pixel *d = pDst + y * iDstStride;
        for (int x = 1; x < iWidth - 1; x++) {
            int iEdge = 2 + Sign(s[x] - s[x + iOff0]) + Sign(s[x] - s[x + iOff1]);
            d[x] = (Pixel)HevcClipPixel<BitDepth>(s[x] + psOffset[s_aucRemap[iEdge]]);
        }
    }

    /* Border samples: each neighbour outside the CTB must lie in an available
     * neighbouring CTB (corners are separate CTBs: the bottom-left one can be
     * usable while the bottom one is not). */
    static const uint8_t s_aaucSide[3][3] = {
        {HEVC_SAO_TOP_LEFT, HEVC_SAO_TOP, HEVC_SAO_TOP_RIGHT},
        {HEVC_SAO_LEFT, 0, HEVC_SAO_RIGHT},
        {HEVC_SAO_BOTTOM_LEFT, HEVC_SAO_BOTTOM, HEVC_SAO_BOTTOM_RIGHT}};
    auto fnBorder = [&](int x, int y) {
        const Pixel *s = pSrc + y * iSrcStride + x;
        Pixel *d = pDst + y * iDstStride + x;
        const int aiDx[2] = {iDx0, iDx1}, aiDy[2] = {iDy0, iDy1};
        for (int k = 0; k < 2; k++) {
            int nx = x + aiDx[k], ny = y + aiDy[k];
            int cx = nx < 0 ? 0 : nx >= iWidth ? 2 : 1, cy = ny < 0 ? 0 : ny >= iHeight ? 2 : 1;
            unsigned uiSide = s_aaucSide[cy][cx];
            if (uiSide && !(uiAvail & uiSide)) {
                *d = *s;
                return;
            }
        }
        int iEdge = 2 + Sign(s[0] - s[iOff0]) + Sign(s[0] - s[iOff1]);
        *d = (Pixel)HevcClipPixel<BitDepth>(s[0] + psOffset[s_aucRemap[iEdge]]);
    };
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

} /* namespace */

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
