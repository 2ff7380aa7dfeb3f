/* Scaling, inverse transforms and reconstruction: C references
 * (H.265 8.6.2 - 8.6.7). */
#include <string.h>

#include "hevc_dsp_internal.h"

namespace {

inline int16_t Sat16(int32_t v)
{
    return (int16_t)(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

/* One N-point inverse DCT by even/odd decomposition: the even rows of the
 * N-point matrix are the N/2-point matrix, the odd rows are antisymmetric.
 * Only the first iLimit inputs may be non-zero. */
template <int N> inline void InvDct1D(const int32_t *piSrc, int32_t *piDst, int iLimit)
{
    if constexpr (N == 4) {
        int32_t e0 = 64 * piSrc[0] + 64 * piSrc[2];
        int32_t e1 = 64 * piSrc[0] - 64 * piSrc[2];
        int32_t o0 = 83 * piSrc[1] + 36 * piSrc[3];
        int32_t o1 = 36 * piSrc[1] - 83 * piSrc[3];
        piDst[0] = e0 + o0;
        piDst[1] = e1 + o1;
        piDst[2] = e1 - o1;
        piDst[3] = e0 - o0;
    } else {
    constexpr int H = N / 2;
    int32_t aiEven[H], aiEvenOut[H];
    for (int k = 0; k < H; k++)
        aiEven[k] = piSrc[2 * k];
    InvDct1D<H>(aiEven, aiEvenOut, (iLimit + 1) >> 1);
    constexpr int iRowStep = 32 / N;
    /* odd part input by input: the inner loop runs along a matrix row, which
     * the compiler vectorises, and zero inputs cost nothing */
    int32_t aiOdd[H] = {0};
    for (int k = 1; k < iLimit; k += 2) {
        const int32_t iIn = piSrc[k];
        if (!iIn)
            continue;
        const int8_t *pcRow = g_acHevcDctMatrix[k * iRowStep];
        for (int i = 0; i < H; i++)
            aiOdd[i] += pcRow[i] * iIn;
    }
    for (int i = 0; i < H; i++) {
        piDst[i] = aiEvenOut[i] + aiOdd[i];
        piDst[N - 1 - i] = aiEvenOut[i] - aiOdd[i];
    }
    }
}

inline void InvDst1D(const int32_t *piSrc, int32_t *piDst, int)
{
    for (int i = 0; i < 4; i++) {
        int32_t v = 0;
        for (int k = 0; k < 4; k++)
            v += g_acHevcDstMatrix[k][i] * piSrc[k];
        piDst[i] = v;
    }
}

/* The two stages of H.265 8.6.4.2 with their clipping and shifts. */
template <int BitDepth, int N, bool Dst> void InvTransform(int16_t *psCoeffs)
{
    int iLastRow, iLastCol;
    HevcLastNonZero<N>(psCoeffs, &iLastRow, &iLastCol);
    if (iLastRow < 0)
        return; /* all zero: residual is zero too */

    int16_t asTmp[N * N];
    int32_t aiIn[N], aiOut[N];
    /* First stage, vertical: column x of the coefficients. */
    for (int x = 0; x < N; x++) {
        if (x > iLastCol) {
            for (int y = 0; y < N; y++)
                asTmp[y * N + x] = 0;
            continue;
        }
        for (int y = 0; y < N; y++)
            aiIn[y] = psCoeffs[y * N + x];
        if (Dst)
            InvDst1D(aiIn, aiOut, 4);
        else
            InvDct1D<N>(aiIn, aiOut, iLastRow + 1);
        for (int y = 0; y < N; y++)
            asTmp[y * N + x] = Sat16((aiOut[y] + 64) >> 7);
    }
    /* Second stage, horizontal, with bdShift = 20 - BitDepth. */
    constexpr int iShift = 20 - BitDepth;
    for (int y = 0; y < N; y++) {
        for (int x = 0; x < N; x++)
            aiIn[x] = asTmp[y * N + x];
        if (Dst)
            InvDst1D(aiIn, aiOut, 4);
        else
            InvDct1D<N>(aiIn, aiOut, iLastCol + 1);
        for (int x = 0; x < N; x++)
            psCoeffs[y * N + x] = Sat16((aiOut[x] + (1 << (iShift - 1))) >> iShift);
    }
}

template <int BitDepth> void Idst4(int16_t *psCoeffs)
{
    InvTransform<BitDepth, 4, true>(psCoeffs);
}

template <int BitDepth, int Log2> void Idct(int16_t *psCoeffs)
{
    InvTransform<BitDepth, 1 << Log2, false>(psCoeffs);
}

template <int BitDepth, int Log2>
void IdctDcAdd(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, int sCoeff)
{
    constexpr int N = 1 << Log2, iShift = 20 - BitDepth;
    int iMid = Sat16((64 * sCoeff + 64) >> 7);
    int iRes = (64 * iMid + (1 << (iShift - 1))) >> iShift;
    for (int y = 0; y < N; y++, pDst += iStride)
        for (int x = 0; x < N; x++)
            pDst[x] = HevcClipPixel<BitDepth>(pDst[x] + iRes);
}

template <int BitDepth, int Log2> void TransformSkip(int16_t *psCoeffs)
{
    constexpr int N = 1 << Log2, iShift = 20 - BitDepth, iTsShift = 5 + Log2;
    for (int i = 0; i < N * N; i++)
        psCoeffs[i] = Sat16((psCoeffs[i] * (1 << iTsShift) + (1 << (iShift - 1))) >> iShift);
}

template <int BitDepth, int Log2>
void AddResidual(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                 const int16_t *psRes)
{
    constexpr int N = 1 << Log2;
    for (int y = 0; y < N; y++, pDst += iStride, psRes += N)
        for (int x = 0; x < N; x++)
            pDst[x] = HevcClipPixel<BitDepth>(pDst[x] + psRes[x]);
}

} /* namespace */

/* H.265 8.6.3: (level * m * levelScale << (qP / 6) + rnd) >> bdShift; the
 * product can pass 32 bits (levels up to 2^15, m up to 255, shift up to 10). */
template <int BitDepth>
void HevcDequantC(int16_t *psCoeffs, int iLog2Size, int iQp, const uint8_t *pucScale)
{
    const int N = 1 << iLog2Size;
    const int iBdShift = BitDepth + iLog2Size - 5;
    const int64_t llRound = (int64_t)1 << (iBdShift - 1);
    const int64_t llScale = (int64_t)g_aucHevcLevelScale[iQp % 6] << (iQp / 6);
    for (int i = 0; i < N * N; i++) {
        if (!psCoeffs[i])
            continue;
        int64_t m = pucScale ? pucScale[i] : 16;
        int64_t v = (psCoeffs[i] * m * llScale + llRound) >> iBdShift;
        psCoeffs[i] = (int16_t)(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
    }
}

template void HevcDequantC<8>(int16_t *, int, int, const uint8_t *);
template void HevcDequantC<10>(int16_t *, int, int, const uint8_t *);

template <int BitDepth> void HevcTransformInitC(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnIdst4 = Idst4<BitDepth>;
    pstDsp->pfnIdct[0] = Idct<BitDepth, 2>;
    pstDsp->pfnIdct[1] = Idct<BitDepth, 3>;
    pstDsp->pfnIdct[2] = Idct<BitDepth, 4>;
    pstDsp->pfnIdct[3] = Idct<BitDepth, 5>;
    pstDsp->pfnIdctDcAdd[0] = IdctDcAdd<BitDepth, 2>;
    pstDsp->pfnIdctDcAdd[1] = IdctDcAdd<BitDepth, 3>;
    pstDsp->pfnIdctDcAdd[2] = IdctDcAdd<BitDepth, 4>;
    pstDsp->pfnIdctDcAdd[3] = IdctDcAdd<BitDepth, 5>;
    pstDsp->pfnTransformSkip[0] = TransformSkip<BitDepth, 2>;
    pstDsp->pfnTransformSkip[1] = TransformSkip<BitDepth, 3>;
    pstDsp->pfnTransformSkip[2] = TransformSkip<BitDepth, 4>;
    pstDsp->pfnTransformSkip[3] = TransformSkip<BitDepth, 5>;
    pstDsp->pfnAddResidual[0] = AddResidual<BitDepth, 2>;
    pstDsp->pfnAddResidual[1] = AddResidual<BitDepth, 3>;
    pstDsp->pfnAddResidual[2] = AddResidual<BitDepth, 4>;
    pstDsp->pfnAddResidual[3] = AddResidual<BitDepth, 5>;
    pstDsp->pfnDequant = HevcDequantC<BitDepth>;
}
template void HevcTransformInitC<8>(HevcDsp8 *);
template void HevcTransformInitC<10>(HevcDsp10 *);

/* H.265 7.4.5: 4x4 and 8x8 lists map through the diagonal scan; 16x16 and
 * 32x32 replicate the 8x8 list over 2x2 / 4x4 squares and take their own DC. */
void HevcScalingFactor(int iSizeId, const uint8_t *pucList, int iDc, uint8_t *pucOut)
{
    if (iSizeId == 0) {
        for (int i = 0; i < 16; i++) {
            int x = g_aucHevcDiagScan4x4[i] & 15, y = g_aucHevcDiagScan4x4[i] >> 4;
            pucOut[y * 4 + x] = pucList[i];
        }
        return;
    }
    const int iRep = iSizeId == 1 ? 1 : iSizeId == 2 ? 2 : 4;
    const int N = 8 * iRep;
    for (int i = 0; i < 64; i++) {
        int x = g_aucHevcDiagScan8x8[i] & 15, y = g_aucHevcDiagScan8x8[i] >> 4;
        for (int j = 0; j < iRep; j++)
            for (int k = 0; k < iRep; k++)
                pucOut[(y * iRep + j) * N + x * iRep + k] = pucList[i];
    }
    if (iSizeId >= 2)
        pucOut[0] = (uint8_t)iDc;
}
