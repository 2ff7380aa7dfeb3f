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

/* Whether the CTB dx, dy (-1..1) CTBs away from the current one may be
 * referenced: decoded, same slice and tile (H.265 6.4.1). */
static int NeighbourCtbUsable(const HevcSliceDec *s, int dx, int dy)
{
    const HevcSps *sps = s->pstSps;
    const int xC = (s->iCtbX >> sps->CtbLog2SizeY) + dx, yC = (s->iCtbY >> sps->CtbLog2SizeY) + dy;
    if (xC < 0 || yC < 0 || xC >= (int)sps->PicWidthInCtbsY || yC >= (int)sps->PicHeightInCtbsY)
        return 0;
    if (!dx && !dy)
        return 1;
    const HevcCtbInfo *n = &s->pstCtb[(uint32_t)yC * sps->PicWidthInCtbsY + (uint32_t)xC];
    const HevcCtbInfo *c = &s->pstCtb[s->uiCtbAddrRs];
    return n->bDecoded && n->uiSliceAddrRs == c->uiSliceAddrRs && n->usTileId == c->usTileId;
}

/* Availability of the reference units of an intra block, luma position xL,
 * yL and size NL: 2NL/4 left units bottom-up, the corner, 2NL/4 top units
 * (the line order of the kernels). The slice, tile and decoding order checks
 * are made once per neighbouring CTB (left, above-left, above, above-right;
 * CTBs below are never decoded yet); each unit then reads its 4x4 flags. */
static void IntraAvailability(const HevcSliceDec *s, int xL, int yL, int NL, unsigned uiNeed, uint8_t *pucAvail)
{
    const HevcSps *sps = s->pstSps;
    const int iUnits = NL / 2, iCtb = 1 << sps->CtbLog2SizeY;
    const int iW = (int)sps->pic_width_in_luma_samples, iH = (int)sps->pic_height_in_luma_samples;
    const int bLeftEdge = xL == s->iCtbX, bTopEdge = yL == s->iCtbY;
    const int bLeft = !bLeftEdge || NeighbourCtbUsable(s, -1, 0);
    const int bTop = !bTopEdge || NeighbourCtbUsable(s, 0, -1);
    const int bCorner = bLeftEdge || bTopEdge ? NeighbourCtbUsable(s, -bLeftEdge, -bTopEdge) : 1;
    const int bTopRight = bTopEdge && NeighbourCtbUsable(s, 1, -1);
    const int yLim = s->iCtbY + iCtb < iH ? s->iCtbY + iCtb : iH; /* left units below: next CTB row */
    const int xSplit = s->iCtbX + iCtb;                              /* top units right of it: next CTB */
    const size_t uiW4 = s->uiW4;
    const uint8_t *pucRow = s->pucBlkFlags + (size_t)(yL >> 2) * uiW4;
    memset(pucAvail, 0, (size_t)(2 * iUnits + 1));
    if (bLeft) {
        const uint8_t *p = pucRow + ((xL - 1) >> 2);
        for (int k = 0; k < iUnits && yL + 4 * k < yLim; k++)
            pucAvail[iUnits - 1 - k] = (p[(size_t)k * uiW4] & uiNeed) == uiNeed;
    }
    if (xL > 0 && yL > 0 && bCorner)
        pucAvail[iUnits] = ((pucRow - uiW4)[(xL - 1) >> 2] & uiNeed) == uiNeed;
    if (yL > 0 && (bTop || bTopRight)) {
        const uint8_t *p = pucRow - uiW4 + (xL >> 2);
        for (int k = 0; k < iUnits; k++) {
            const int x = xL + 4 * k;
            if (x >= iW)
                break;
            pucAvail[iUnits + 1 + k] = (x < xSplit ? bTop : bTopRight) && (p[k] & uiNeed) == uiNeed;
        }
    }
}

void HevcPredIntra(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode)
{
    const HevcSps *sps = s->pstSps;
    const int N = 1 << iLog2Size;
    const int xL = cIdx ? 2 * x0 : x0, yL = cIdx ? 2 * y0 : y0, NL = cIdx ? 2 * N : N;
    const int iLog2Unit = cIdx ? 1 : 2;
    uint8_t aucAvail[2 * 16 + 1];
    /* Constrained intra prediction: only intra neighbours are references. */
    const unsigned uiNeed = HEVC_BLK_REC | (s->pstPps->constrained_intra_pred_flag ? HEVC_BLK_INTRA : 0);
    IntraAvailability(s, xL, yL, NL, uiNeed, aucAvail);

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
        if (s->bDcOnly && !bTransformSkip && !bIdst) {
            /* A lone DC coefficient: scaled here (H.265 8.6.3), and its flat
             * residual added without the inverse transform. */
            const int iBdShift = (bHigh ? 10 : 8) + iLog2Size - 5; /* the table's depth, as pfnDequant */
            const int64_t m = pucScale ? pucScale[0] : 16;
            int64_t v = ((int64_t)psCoeff[0] * m * ((int64_t)g_aucHevcLevelScale[iQp % 6] << (iQp / 6)) +
                         ((int64_t)1 << (iBdShift - 1))) >> iBdShift;
            v = v < -32768 ? -32768 : v > 32767 ? 32767 : v;
            if (bHigh)
                s->stDsp10.pfnIdctDcAdd[iSize]((uint16_t *)pDst, iStride, (int)v);
            else
                s->stDsp8.pfnIdctDcAdd[iSize](pDst, iStride, (int)v);
            return;
        }
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
