/* Motion compensation C references: fractional interpolation into 14-bit
 * intermediates (H.265 8.5.3.3.3) and the default and explicit weighted
 * sample prediction that turns them into samples (8.5.3.3.4). Written once,
 * instantiated per bit depth and per block width. */
#include "hevc_dsp_internal.h"

const uint8_t g_aucHevcMcWidths[HEVC_MC_WIDTHS] = {2, 4, 6, 8, 12, 16, 24, 32, 48, 64};

const int8_t g_aacHevcLumaFilter[4][8] = {
    {0, 0, 0, 64, 0, 0, 0, 0},
    {-1, 4, -10, 58, 17, -5, 1, 0},
    {-1, 4, -11, 40, 40, -11, 4, -1},
    {0, 1, -5, 17, 58, -10, 4, -1},
};
const int8_t g_aacHevcChromaFilter[8][4] = {
    {0, 64, 0, 0},     {-2, 58, 10, -2}, {-4, 54, 16, -2}, {-6, 46, 28, -4},
    {-4, 36, 36, -4},  {-4, 28, 46, -6}, {-2, 16, 54, -4}, {-2, 10, 58, -2},
};

/* One separable filter with T taps: horizontal pass into rows of int16
 * (>> shift1, or << shift3 for a whole-sample position), then the vertical
 * pass (>> 6) when yFrac is non-zero. */
template <int BitDepth, int W, int T>
static void McFilter(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                     int iHeight, const int8_t *pcFx, const int8_t *pcFy, int bFx, int bFy)
{
    const int iShift1 = BitDepth - 8 < 4 ? BitDepth - 8 : 4;
    const int iShift3 = 14 - BitDepth > 2 ? 14 - BitDepth : 2;
    const int iBefore = T / 2 - 1;
    if (!bFy) {
        for (int y = 0; y < iHeight; y++, pSrc += iSrcStride, pDst += HEVC_MC_STRIDE)
            for (int x = 0; x < W; x++) {
                if (!bFx) {
                    pDst[x] = (int16_t)(pSrc[x] << iShift3);
                    continue;
                }
                int v = 0;
                for (int k = 0; k < T; k++)
                    v += pcFx[k] * pSrc[x + k - iBefore];
                pDst[x] = (int16_t)(v >> iShift1);
            }
        return;
    }
    int16_t asTmp[(64 + 7) * 64];
    const int iRows = iHeight + T - 1;
    pSrc -= iBefore * iSrcStride;
    for (int y = 0; y < iRows; y++, pSrc += iSrcStride)
        for (int x = 0; x < W; x++) {
            int v;
            if (bFx) {
                v = 0;
                for (int k = 0; k < T; k++)
                    v += pcFx[k] * pSrc[x + k - iBefore];
                v >>= iShift1;
            } else {
                v = pSrc[x]; /* vertical only: the samples themselves, >> shift1 at the end */
            }
            asTmp[y * W + x] = (int16_t)v;
        }
    const int iShift2 = bFx ? 6 : iShift1;
    for (int y = 0; y < iHeight; y++, pDst += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x++) {
            int v = 0;
            for (int k = 0; k < T; k++)
                v += pcFy[k] * asTmp[(y + k) * W + x];
            pDst[x] = (int16_t)(v >> iShift2);
        }
}

template <int BitDepth, int W>
static void McLuma(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                   int iHeight, int iFracX, int iFracY)
{
    McFilter<BitDepth, W, 8>(pDst, pSrc, iSrcStride, iHeight, g_aacHevcLumaFilter[iFracX], g_aacHevcLumaFilter[iFracY],
                             iFracX != 0, iFracY != 0);
}

template <int BitDepth, int W>
static void McChroma(int16_t *pDst, const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride,
                     int iHeight, int iFracX, int iFracY)
{
    McFilter<BitDepth, W, 4>(pDst, pSrc, iSrcStride, iHeight, g_aacHevcChromaFilter[iFracX], g_aacHevcChromaFilter[iFracY],
                             iFracX != 0, iFracY != 0);
}

template <int BitDepth, int W>
static void PutUni(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc, int iHeight)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int iShift = 14 - BitDepth, iOffset = 1 << (iShift - 1);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x++)
            pDst[x] = (Pixel)HevcClipPixel<BitDepth>((pSrc[x] + iOffset) >> iShift);
}

template <int BitDepth, int W>
static void PutBi(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc0,
                  const int16_t *pSrc1, int iHeight)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int iShift = 15 - BitDepth, iOffset = 1 << (iShift - 1);
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x++)
            pDst[x] = (Pixel)HevcClipPixel<BitDepth>((pSrc0[x] + pSrc1[x] + iOffset) >> iShift);
}

template <int BitDepth, int W>
static void PutWeighted(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc,
                        int iHeight, int iLog2Wd, int iW, int iO)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x++) {
            int v = iLog2Wd >= 1 ? ((pSrc[x] * iW + (1 << (iLog2Wd - 1))) >> iLog2Wd) + iO : pSrc[x] * iW + iO;
            pDst[x] = (Pixel)HevcClipPixel<BitDepth>(v);
        }
}

template <int BitDepth, int W>
static void PutWeightedBi(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, const int16_t *pSrc0,
                          const int16_t *pSrc1, int iHeight, int iLog2Wd, int iW0, int iW1, int iO0, int iO1)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    for (int y = 0; y < iHeight; y++, pDst += iStride, pSrc0 += HEVC_MC_STRIDE, pSrc1 += HEVC_MC_STRIDE)
        for (int x = 0; x < W; x++) {
            int v = (pSrc0[x] * iW0 + pSrc1[x] * iW1 + (iO0 + iO1 + 1) * (1 << iLog2Wd)) >> (iLog2Wd + 1);
            pDst[x] = (Pixel)HevcClipPixel<BitDepth>(v);
        }
}

HEVC_MC_KERNELS(KernelsC, );

template <int BitDepth> void HevcMcInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    HevcMcInitWidths<KernelsC, BitDepth, 0>(pstDsp);
}

template void HevcMcInitC<8>(HevcDsp8 *);
template void HevcMcInitC<10>(HevcDsp10 *);
