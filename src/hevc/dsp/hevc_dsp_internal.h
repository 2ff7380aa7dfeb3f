/* Shared by the kernel sources only: the bit-depth traits the templates are
 * instantiated on and the per-stage initialisers of the C references. */
#ifndef HEVC_DSP_INTERNAL_H
#define HEVC_DSP_INTERNAL_H

#include <string.h>

#include "hevc_dsp.h"

template <int BitDepth> struct HevcDspTraits;
template <> struct HevcDspTraits<8> {
    typedef uint8_t Pixel;
    typedef HevcDsp8 Table;
};
template <> struct HevcDspTraits<10> {
    typedef uint16_t Pixel;
    typedef HevcDsp10 Table;
};

template <int BitDepth> static inline int HevcClipPixel(int v)
{
    return v < 0 ? 0 : v > (1 << BitDepth) - 1 ? (1 << BitDepth) - 1 : v;
}

static inline int HevcClip3(int lo, int hi, int v)
{
    return v < lo ? lo : v > hi ? hi : v;
}

/* Last row and column of an N x N coefficient block that hold a non-zero
 * value; row -1 when all are zero. */
template <int N> static inline void HevcLastNonZero(const int16_t *psCoeffs, int *piLastRow, int *piLastCol)
{
    int iLastRow = -1, iLastCol = -1;
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++)
            if (psCoeffs[y * N + x]) {
                iLastRow = y;
                if (x > iLastCol)
                    iLastCol = x;
            }
    *piLastRow = iLastRow;
    *piLastCol = iLastCol;
}

/* The flatness test of strong intra smoothing (H.265 8.4.4.2.3) on a 32x32
 * reference line: both sides are close enough to the straight line from the
 * corner to their far end. */
template <int BitDepth> static inline bool HevcIntraStrongFlat(const typename HevcDspTraits<BitDepth>::Pixel *pRef)
{
    const int iCorner = pRef[0], iThr = 1 << (BitDepth - 5);
    const int iTopFlat = iCorner + pRef[64] - 2 * pRef[32];
    const int iLeftFlat = iCorner + pRef[-64] - 2 * pRef[-32];
    return (iTopFlat < 0 ? -iTopFlat : iTopFlat) < iThr && (iLeftFlat < 0 ? -iLeftFlat : iLeftFlat) < iThr;
}

/* Angular prediction (H.265 8.4.4.2.6), the steps the C and SIMD versions
 * share. refMain[-N..2N] at pMain (N entries before it are usable): the
 * main-direction references (HevcAngularMainRef), with the side ones
 * projected in front for negative angles (HevcAngularProject, which SIMD
 * versions call after their own copy of refMain[0..2N]). iMainDir 1 projects
 * onto the top row, -1 onto the left column. */
template <typename Pixel, int N>
static inline void HevcAngularProject(Pixel *pMain, const Pixel *pRef, int iMode, int iMainDir)
{
    const int iAngle = g_acHevcIntraPredAngle[iMode];
    if (iAngle < 0) {
        const int iLast = (N * iAngle) >> 5;
        if (iLast < -1) {
            const int iInv = g_asHevcInvAngle[iMode];
            for (int k = iLast; k <= -1; k++)
                pMain[k] = pRef[-iMainDir * ((k * iInv + 128) >> 8)];
        }
    }
}

template <typename Pixel, int N>
static inline void HevcAngularMainRef(Pixel *pMain, const Pixel *pRef, int iMode, int iMainDir)
{
    for (int k = 0; k <= 2 * N; k++)
        pMain[k] = pRef[iMainDir * k];
    HevcAngularProject<Pixel, N>(pMain, pRef, iMode, iMainDir);
}

/* The edge filter of pure vertical (26) and horizontal (10) prediction: the
 * first column (26) or row (10) follows the side reference's gradient. */
template <int BitDepth, int N>
static inline void HevcAngularEdge(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                   const typename HevcDspTraits<BitDepth>::Pixel *pRef, bool bVer)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int iMainDir = bVer ? 1 : -1;
    const int iBase = pRef[iMainDir], iCorner = pRef[0];
    for (int k = 0; k < N; k++) {
        int v = HevcClipPixel<BitDepth>(iBase + ((pRef[-iMainDir * (1 + k)] - iCorner) >> 1));
        if (bVer)
            pDst[k * iStride] = (Pixel)v;
        else
            pDst[k] = (Pixel)v;
    }
}

/* Interpolation filters fL (Table 8-11) and fC (Table 8-12) by fractional
 * position, and the block width of each HevcMcWidthIdx entry. */
extern const int8_t g_aacHevcLumaFilter[4][8];
extern const int8_t g_aacHevcChromaFilter[8][4];
constexpr int HevcMcWidth(int i)
{
    return i == 0 ? 2 : i == 1 ? 4 : i == 2 ? 6 : i == 3 ? 8 : i == 4 ? 12 : i == 5 ? 16 : i == 6 ? 24 : i == 7 ? 32 : i == 8 ? 48 : 64;
}

/* Fills the motion compensation entries of width indexes I..9 with the
 * kernels a tier's struct K names (member templates McLuma, McChroma, PutUni,
 * PutBi, PutWeighted, PutWeightedBi on <BitDepth, W>). */
template <typename K, int BitDepth, int I> void HevcMcInitWidths(typename HevcDspTraits<BitDepth>::Table *d)
{
    constexpr int W = HevcMcWidth(I);
    d->pfnMcLuma[I] = K::template McLuma<BitDepth, W>();
    d->pfnMcChroma[I] = K::template McChroma<BitDepth, W>();
    d->pfnPutUni[I] = K::template PutUni<BitDepth, W>();
    d->pfnPutBi[I] = K::template PutBi<BitDepth, W>();
    d->pfnPutWeighted[I] = K::template PutWeighted<BitDepth, W>();
    d->pfnPutWeightedBi[I] = K::template PutWeightedBi<BitDepth, W>();
    if constexpr (I + 1 < HEVC_MC_WIDTHS)
        HevcMcInitWidths<K, BitDepth, I + 1>(d);
}
/* The struct of a tier whose kernels are named <Base><Tier> (McLumaSse41...). */
#define HEVC_MC_KERNELS(Name, Tier)                                                                    \
    struct Name {                                                                                      \
        template <int B, int W> static constexpr auto McLuma() { return &::McLuma##Tier<B, W>; }     \
        template <int B, int W> static constexpr auto McChroma() { return &::McChroma##Tier<B, W>; } \
        template <int B, int W> static constexpr auto PutUni() { return &::PutUni##Tier<B, W>; }     \
        template <int B, int W> static constexpr auto PutBi() { return &::PutBi##Tier<B, W>; }       \
        template <int B, int W> static constexpr auto PutWeighted() { return &::PutWeighted##Tier<B, W>; } \
        template <int B, int W> static constexpr auto PutWeightedBi() { return &::PutWeightedBi##Tier<B, W>; } \
    }

/* Each stage fills its own entries with the C references. */
template <int BitDepth> void HevcTransformInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcIntraInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcDeblockInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcSaoInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcMcInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcPictureInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp);

/* SAO edge offset: neighbour offsets per class, and the scalar rule for the
 * four corner samples (their neighbours may lie in a diagonal CTB) that the
 * SIMD versions leave to it. */
extern const int8_t g_aacHevcSaoEoDx[4][2];
extern const int8_t g_aacHevcSaoEoDy[4][2];
template <int BitDepth>
void HevcSaoEdgeCorners(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                        const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
                        int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail);

/* The rows of an edge-offset CTB: rows and columns whose neighbours lie in
 * an unavailable CTB are copied unchanged, fnRow(s, d, x0, x1) filters the
 * rest of each row, and the four corners, whose neighbours may lie in a
 * diagonal CTB, are redone by the scalar border rule. (Instantiated on each
 * tier's own lambda, whose type is local to its file, so the AVX-512 file
 * may use it too.) */
template <int BitDepth, typename RowFn>
inline void HevcSaoEdgeRows(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride,
                        const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iSrcStride, int iWidth,
                        int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail, RowFn fnRow)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int iDx = g_aacHevcSaoEoDx[iEoClass][0] | g_aacHevcSaoEoDx[iEoClass][1];
    const int iDy = g_aacHevcSaoEoDy[iEoClass][0] | g_aacHevcSaoEoDy[iEoClass][1];
    const int x0 = iDx && !(uiAvail & HEVC_SAO_LEFT), x1 = iWidth - (iDx && !(uiAvail & HEVC_SAO_RIGHT));
    const int y0 = iDy && !(uiAvail & HEVC_SAO_TOP), y1 = iHeight - (iDy && !(uiAvail & HEVC_SAO_BOTTOM));
    for (int y = 0; y < iHeight; y++) {
        const Pixel *s = pSrc + y * iSrcStride;
        Pixel *d = pDst + y * iDstStride;
        if (y < y0 || y >= y1) {
            memcpy(d, s, sizeof(Pixel) * (size_t)iWidth);
            continue;
        }
        d[0] = s[0];
        d[iWidth - 1] = s[iWidth - 1];
        fnRow(s, d, x0, x1);
    }
    HevcSaoEdgeCorners<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass, uiAvail);
}

/* x86 kernels per stage and tier (hevc_*_x86.cpp). */
template <int BitDepth> void HevcTransformInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcTransformInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcIntraInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcIntraInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcDeblockInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcSaoInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcSaoInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcMcInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcMcInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcPictureInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcPictureInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp);
/* AVX-512 (hevc_*_avx512.cpp, see hevc_avx512.h). */
template <int BitDepth> void HevcTransformInitAvx512(typename HevcDspTraits<BitDepth>::Table *pstDsp);
/* Pairs (M[k][x], M[k+2][x]) of the 32-point DCT matrix for x < 16, packed
 * as 16-bit halves of a word: [p] k = 4p for p < 8 (even rows), k = 4(p-8)+1
 * for p >= 8 (odd rows). Built in hevc_transform_x86.cpp. */
struct HevcIdct32Pairs {
    alignas(64) int32_t aai[16][16];
};
extern const HevcIdct32Pairs g_stHevcIdct32Pairs;
template <int BitDepth> void HevcMcInitAvx512(typename HevcDspTraits<BitDepth>::Table *pstDsp);
template <int BitDepth> void HevcSaoInitAvx512(typename HevcDspTraits<BitDepth>::Table *pstDsp);

/* The C scaling, also the fallback of SIMD versions for blocks whose products
 * could pass 32 bits. */
template <int BitDepth> void HevcDequantC(int16_t *psCoeffs, int iLog2Size, int iQp, const uint8_t *pucScale);

/* The C reference substitution, also the fallback of SIMD versions for the
 * rarer availability shapes. */
template <int BitDepth>
void HevcIntraRefFillC(typename HevcDspTraits<BitDepth>::Pixel *pLine, const typename HevcDspTraits<BitDepth>::Pixel *pSrc,
                       ptrdiff_t iStride, int iLog2Size, const uint8_t *pucAvail, int iLog2Unit);

/* Instruction-set tiers: override what they implement. */
void HevcDspInitSse41_8(HevcDsp8 *pstDsp);
void HevcDspInitSse41_10(HevcDsp10 *pstDsp);
void HevcDspInitAvx2_8(HevcDsp8 *pstDsp);
void HevcDspInitAvx2_10(HevcDsp10 *pstDsp);
void HevcDspInitAvx512_8(HevcDsp8 *pstDsp);
void HevcDspInitAvx512_10(HevcDsp10 *pstDsp);

#endif
