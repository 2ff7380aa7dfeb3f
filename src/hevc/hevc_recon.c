/* Reconstruction of intra transform blocks: reference availability, the
 * kernel tables for prediction, scaling, inverse transform and adding, and
 * PCM samples (H.265 8.4.4.2, 8.6.2-8.6.7). The picture's bit depth picks
 * HevcDsp8 (byte samples) or HevcDsp10 (16-bit samples). */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"

/* Address of sample (x, y) of plane cIdx of the current picture. */
static uint8_t *SampleAt(const HevcSliceDec *s, int cIdx, int x, int y)
{
    const HevcPic *p = s->pstPic;
    size_t uiOff = (size_t)y * p->auiStride[cIdx] + (size_t)x;
    return p->apucPlane[cIdx] + (s->bHighDepth ? 2 * uiOff : uiOff);
}

void HevcPredIntra(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode)
{
    const HevcSps *sps = s->pstSps;
    const int N = 1 << iLog2Size;
    const int xL = cIdx ? 2 * x0 : x0, yL = cIdx ? 2 * y0 : y0, NL = cIdx ? 2 * N : N;
    const int iUnits = 2 * NL / 4, iLog2Unit = cIdx ? 1 : 2;
    uint8_t aucAvail[2 * 16 + 1];
    /* Constrained intra prediction: only intra neighbours are references. */
    const unsigned uiNeed = HEVC_BLK_REC | (s->pstPps->constrained_intra_pred_flag ? HEVC_BLK_INTRA : 0);
    /* Availability per 4 luma samples: left units bottom-up, corner, top
     * units left to right (the line order of the kernels). */
    for (int u = 0; u < iUnits; u++)
        aucAvail[u] = (uint8_t)HevcAvailable(s, xL - 1, yL + 2 * NL - 4 - 4 * u, uiNeed);
    aucAvail[iUnits] = (uint8_t)HevcAvailable(s, xL - 1, yL - 1, uiNeed);
    for (int u = 0; u < iUnits; u++)
        aucAvail[iUnits + 1 + u] = (uint8_t)HevcAvailable(s, xL + 4 * u, yL - 1, uiNeed);

    const ptrdiff_t iStride = (ptrdiff_t)s->pstPic->auiStride[cIdx];
    const int bFilter = cIdx == 0 && HevcIntraFilterFlag(iMode, iLog2Size);
    const int bStrong = sps->strong_intra_smoothing_enabled_flag;
    const int bEdge = cIdx == 0 && N < 32;
    uint8_t *pDst = SampleAt(s, cIdx, x0, y0);
    (void)pstDec;
    if (s->bHighDepth) {
        const HevcDsp10 *d = &s->stDsp10;
        uint16_t asLine[HEVC_INTRA_LINE_ALLOC];
        uint16_t *pRef = asLine + HEVC_INTRA_LINE_PAD + 2 * N;
        d->pfnIntraRefFill(asLine + HEVC_INTRA_LINE_PAD, (const uint16_t *)pDst, iStride, iLog2Size, aucAvail, iLog2Unit);
        if (bFilter)
            d->pfnIntraSmooth(pRef, iLog2Size, bStrong);
        if (iMode == 0)
            d->pfnPredPlanar[iLog2Size - 2]((uint16_t *)pDst, iStride, pRef);
        else if (iMode == 1)
            d->pfnPredDc[iLog2Size - 2]((uint16_t *)pDst, iStride, pRef, bEdge);
        else
            d->pfnPredAngular[iLog2Size - 2]((uint16_t *)pDst, iStride, pRef, iMode, bEdge);
    } else {
        const HevcDsp8 *d = &s->stDsp8;
        uint8_t aucLine[HEVC_INTRA_LINE_ALLOC];
        uint8_t *pRef = aucLine + HEVC_INTRA_LINE_PAD + 2 * N;
        d->pfnIntraRefFill(aucLine + HEVC_INTRA_LINE_PAD, pDst, iStride, iLog2Size, aucAvail, iLog2Unit);
        if (bFilter)
            d->pfnIntraSmooth(pRef, iLog2Size, bStrong);
        if (iMode == 0)
            d->pfnPredPlanar[iLog2Size - 2](pDst, iStride, pRef);
        else if (iMode == 1)
            d->pfnPredDc[iLog2Size - 2](pDst, iStride, pRef, bEdge);
        else
            d->pfnPredAngular[iLog2Size - 2](pDst, iStride, pRef, iMode, bEdge);
    }
}

void HevcAddCoeffs(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iQp,
                   int bTransformSkip, int bIdst)
{
    int16_t *psCoeff = s->psCoeff;
    const int iSize = iLog2Size - 2;
    const ptrdiff_t iStride = (ptrdiff_t)s->pstPic->auiStride[cIdx];
    uint8_t *pDst = SampleAt(s, cIdx, x0, y0);
    (void)pstDec;
    if (!s->bTransquantBypass) {
        /* Flat scaling for transform-skipped blocks above 4x4 (H.265 8.6.4.1). */
        const uint8_t *pucScale = NULL;
        if (s->bScaling && !(bTransformSkip && iLog2Size > 2))
            pucScale = s->aaucScale[iSize][cIdx + (s->bCuIntra ? 0 : 3)];
        /* The coefficient stages work on int16 at either depth: only the
         * table they come from differs. */
        const int bHigh = s->bHighDepth;
        void (*pfnDequant)(int16_t *, int, int, const uint8_t *) =
            bHigh ? s->stDsp10.pfnDequant : s->stDsp8.pfnDequant;
        void (*pfnInverse)(int16_t *);
        if (bTransformSkip)
            pfnInverse = bHigh ? s->stDsp10.pfnTransformSkip[iSize] : s->stDsp8.pfnTransformSkip[iSize];
        else if (bIdst)
            pfnInverse = bHigh ? s->stDsp10.pfnIdst4 : s->stDsp8.pfnIdst4;
        else
            pfnInverse = bHigh ? s->stDsp10.pfnIdct[iSize] : s->stDsp8.pfnIdct[iSize];
        pfnDequant(psCoeff, iLog2Size, iQp, pucScale);
        pfnInverse(psCoeff);
    }
    if (s->bHighDepth)
        s->stDsp10.pfnAddResidual[iSize]((uint16_t *)pDst, iStride, psCoeff);
    else
        s->stDsp8.pfnAddResidual[iSize](pDst, iStride, psCoeff);
}

void HevcPutPcm(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, const uint16_t *pusSamples, int iShift)
{
    const int N = 1 << iLog2Size;
    for (int y = 0; y < N; y++) {
        uint8_t *pRow = SampleAt(s, cIdx, x0, y0 + y);
        for (int x = 0; x < N; x++) {
            unsigned v = (unsigned)pusSamples[y * N + x] << iShift;
            if (s->bHighDepth)
                ((uint16_t *)pRow)[x] = (uint16_t)v;
            else
                pRow[x] = (uint8_t)v;
        }
    }
}
