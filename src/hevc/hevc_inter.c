/* Motion-compensated prediction of a prediction block: reference block
 * fetch (edge-extended where it reaches outside the reference picture, so
 * vectors of up to +-2^15 quarter samples never read outside a plane), the
 * interpolation kernels and the default or explicit weighted sample
 * prediction (H.265 8.5.3.3). */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"

/* Pointer to the reference block whose top-left integer sample is (x, y) for
 * a w x h block filtered with taps reaching iBefore samples before and
 * iAfter after (plus the kernels' tail loads): into the picture when it
 * lies inside the picture or its filled border, otherwise into the edge
 * buffer holding the clamped samples (H.265 8-228/8-229). */
static const uint8_t *RefBlock(HevcSliceDec *s, const HevcPic *ref, int cIdx, int x, int y, int w, int h,
                               int iBefore, int iAfter, ptrdiff_t *piStride)
{
    const int iBps = s->bHighDepth ? 2 : 1;
    const int iPw = (int)(cIdx ? ref->uiWidth / 2 : ref->uiWidth), iPh = (int)(cIdx ? ref->uiHeight / 2 : ref->uiHeight);
    const ptrdiff_t iStride = (ptrdiff_t)ref->auiStride[cIdx];
    /* A finished picture's border holds its edge samples (hevc_filter.c). */
    const int iPadX = ref->bPadded ? HEVC_PAD_X >> (cIdx ? 1 : 0) : 0;
    const int iPadY = ref->bPadded ? HEVC_PAD_Y >> (cIdx ? 1 : 0) : 0;
    const int iTail = ref->bPadded ? 12 : 0; /* SIMD tail loads stay inside the border */
    if (x - iBefore >= -iPadX && y - iBefore >= -iPadY && x + w + iAfter + iTail <= iPw + iPadX &&
        y + h + iAfter <= iPh + iPadY) {
        *piStride = iStride;
        return ref->apucPlane[cIdx] + ((ptrdiff_t)y * iStride + x) * iBps;
    }
    const int bw = w + iBefore + iAfter, bh = h + iBefore + iAfter;
    const int x0 = x - iBefore;
    for (int r = 0; r < bh; r++) {
        int yy = y - iBefore + r;
        yy = yy < 0 ? 0 : yy >= iPh ? iPh - 1 : yy;
        const uint8_t *pRow = ref->apucPlane[cIdx] + (ptrdiff_t)yy * iStride * iBps;
        for (int c = 0; c < bw; c++) {
            int xx = x0 + c;
            xx = xx < 0 ? 0 : xx >= iPw ? iPw - 1 : xx;
            if (iBps == 2)
                ((uint16_t *)s->pucEdge)[r * bw + c] = ((const uint16_t *)pRow)[xx];
            else
                s->pucEdge[r * bw + c] = pRow[xx];
        }
    }
    *piStride = bw;
    return s->pucEdge + ((ptrdiff_t)iBefore * bw + iBefore) * iBps;
}

/* Interpolates component cIdx of list l into s->psPred[l]. */
static void Interpolate(HevcSliceDec *s, const HevcPic *ref, int cIdx, int xPb, int yPb, int w, int h,
                        const int16_t *piMv, int16_t *psDst)
{
    ptrdiff_t iStride;
    const int iW = HevcMcWidthIdx(w);
    if (cIdx == 0) {
        int x = xPb + (piMv[0] >> 2), y = yPb + (piMv[1] >> 2);
        const uint8_t *p = RefBlock(s, ref, 0, x, y, w, h, 3, 4, &iStride);
        if (s->bHighDepth)
            s->stDsp10.pfnMcLuma[iW](psDst, (const uint16_t *)p, iStride, h, piMv[0] & 3, piMv[1] & 3);
        else
            s->stDsp8.pfnMcLuma[iW](psDst, p, iStride, h, piMv[0] & 3, piMv[1] & 3);
    } else {
        int x = xPb / 2 + (piMv[0] >> 3), y = yPb / 2 + (piMv[1] >> 3);
        const uint8_t *p = RefBlock(s, ref, cIdx, x, y, w, h, 1, 2, &iStride);
        if (s->bHighDepth)
            s->stDsp10.pfnMcChroma[iW](psDst, (const uint16_t *)p, iStride, h, piMv[0] & 7, piMv[1] & 7);
        else
            s->stDsp8.pfnMcChroma[iW](psDst, p, iStride, h, piMv[0] & 7, piMv[1] & 7);
    }
}

void HevcPredInter(HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, const HevcMvField *pstMv)
{
    const HevcSliceHeader *sh = s->pstSh;
    const HevcPps *pps = s->pstPps;
    const HevcPic *apRef[2] = {NULL, NULL};
    for (int l = 0; l < 2; l++) {
        if (!(pstMv->ucPredFlags >> l & 1))
            continue;
        int iSlot = pstDec->aiRefList[l][pstMv->aiRefIdx[l]];
        if (iSlot < 0)
            iSlot = s->iFallbackSlot;
        const HevcPic *r = iSlot >= 0 ? &pstDec->stDpb.astPic[iSlot] : NULL;
        if (!r || r->uiWidth != s->pstPic->uiWidth || r->uiHeight != s->pstPic->uiHeight ||
            (r->uiBitDepthY > 8) != (s->bHighDepth != 0)) {
            /* Nothing to predict from: keep what the block holds. */
            __atomic_fetch_or(&s->pstPic->uiErrorFlag, HEVC_PIC_ERR_MISSING_REF, __ATOMIC_RELAXED); /* workers too */
            return;
        }
        apRef[l] = r;
    }
    const int bBi = pstMv->ucPredFlags == 3;
    const int bWeighted = sh->slice_type == HEVC_SLICE_P ? pps->weighted_pred_flag : pps->weighted_bipred_flag;
    const HevcPredWeight *wt = &sh->pwt;
    for (int c = 0; c < 3; c++) {
        const int w = c ? nPbW / 2 : nPbW, h = c ? nPbH / 2 : nPbH;
        const int iW = HevcMcWidthIdx(w);
        for (int l = 0; l < 2; l++)
            if (apRef[l])
                Interpolate(s, apRef[l], c, xPb, yPb, w, h, pstMv->aiMv[l], s->psPred[l]);
        const HevcPic *p = s->pstPic;
        const ptrdiff_t iStride = (ptrdiff_t)p->auiStride[c];
        const int x = c ? xPb / 2 : xPb, y = c ? yPb / 2 : yPb;
        uint8_t *pDst = p->apucPlane[c] + ((ptrdiff_t)y * iStride + x) * (s->bHighDepth ? 2 : 1);
        const int l0 = apRef[0] ? 0 : 1;
        /* Explicit weights (H.265 8.5.3.3.4.3); offsets scale to the bit depth.
         * Weights equal to the default (w = 2^denom, o = 0: encoders send such
         * tables for every reference) give the default prediction, which has
         * cheaper kernels. */
        int aiW[2] = {0, 0}, aiO[2] = {0, 0}, iLog2Wd = 0, bDefault = !bWeighted;
        if (bWeighted) {
            const int iDepth = c ? (int)s->pstSps->bit_depth_chroma : (int)s->pstSps->bit_depth_luma;
            const int iDenom = c ? wt->chroma_log2_weight_denom : wt->luma_log2_weight_denom;
            iLog2Wd = iDenom + 14 - iDepth;
            bDefault = 1;
            for (int l = 0; l < 2; l++) {
                if (!apRef[l])
                    continue;
                int r = pstMv->aiRefIdx[l];
                aiW[l] = c ? wt->ChromaWeight[l][r][c - 1] : wt->LumaWeight[l][r];
                aiO[l] = (c ? wt->ChromaOffset[l][r][c - 1] : wt->LumaOffset[l][r]) * (1 << (iDepth - 8));
                bDefault &= aiW[l] == 1 << iDenom && !aiO[l];
            }
        }
        if (bDefault) {
            if (bBi) {
                if (s->bHighDepth)
                    s->stDsp10.pfnPutBi[iW]((uint16_t *)pDst, iStride, s->psPred[0], s->psPred[1], h);
                else
                    s->stDsp8.pfnPutBi[iW](pDst, iStride, s->psPred[0], s->psPred[1], h);
            } else if (s->bHighDepth) {
                s->stDsp10.pfnPutUni[iW]((uint16_t *)pDst, iStride, s->psPred[l0], h);
            } else {
                s->stDsp8.pfnPutUni[iW](pDst, iStride, s->psPred[l0], h);
            }
            continue;
        }
        if (bBi) {
            if (s->bHighDepth)
                s->stDsp10.pfnPutWeightedBi[iW]((uint16_t *)pDst, iStride, s->psPred[0], s->psPred[1], h, iLog2Wd,
                                                aiW[0], aiW[1], aiO[0], aiO[1]);
            else
                s->stDsp8.pfnPutWeightedBi[iW](pDst, iStride, s->psPred[0], s->psPred[1], h, iLog2Wd, aiW[0],
                                               aiW[1], aiO[0], aiO[1]);
        } else if (s->bHighDepth) {
            s->stDsp10.pfnPutWeighted[iW]((uint16_t *)pDst, iStride, s->psPred[l0], h, iLog2Wd, aiW[l0], aiO[l0]);
        } else {
            s->stDsp8.pfnPutWeighted[iW](pDst, iStride, s->psPred[l0], h, iLog2Wd, aiW[l0], aiO[l0]);
        }
    }
}
