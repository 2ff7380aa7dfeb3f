/* Motion-compensated prediction of a prediction block: the reference
 * pictures it reads (a missing one replaced, or the block left as it is)
 * and the default or explicit weights (H.265 8.5.3.3.4). The sample work,
 * reference fetch (edge-extended where a block reaches outside the padded
 * reference, so vectors of up to +-2^15 quarter samples never read outside
 * a plane), interpolation and weighting, is in hevc_recon_tmpl.h. */
#include "hevc_decoder.h"
#include "hevc_slicedata.h"
#include "hevc_threads.h"

int HevcInterWeights(const HevcSliceDec *s, const HevcPic *const *apRef, const HevcMvField *pstMv, int c, int *piW,
                     int *piO, int *piLog2Wd)
{
    const HevcSliceHeader *sh = s->pstSh;
    const HevcPps *pps = s->pstPps;
    const int bWeighted = sh->slice_type == HEVC_SLICE_P ? pps->weighted_pred_flag : pps->weighted_bipred_flag;
    piW[0] = piW[1] = piO[0] = piO[1] = 0;
    *piLog2Wd = 0;
    if (!bWeighted)
        return 1;
    /* Explicit weights (H.265 8.5.3.3.4.3); offsets scale to the bit depth.
     * Weights equal to the default (w = 2^denom, o = 0: encoders send such
     * tables for every reference) give the default prediction, which has
     * cheaper kernels. */
    const HevcPredWeight *wt = &sh->pwt;
    const int iDepth = c ? (int)s->pstSps->bit_depth_chroma : (int)s->pstSps->bit_depth_luma;
    const int iDenom = c ? wt->chroma_log2_weight_denom : wt->luma_log2_weight_denom;
    int bDefault = 1;
    *piLog2Wd = iDenom + 14 - iDepth;
    for (int l = 0; l < 2; l++) {
        if (!apRef[l])
            continue;
        int r = pstMv->aiRefIdx[l];
        piW[l] = c ? wt->ChromaWeight[l][r][c - 1] : wt->LumaWeight[l][r];
        piO[l] = (c ? wt->ChromaOffset[l][r][c - 1] : wt->LumaOffset[l][r]) * (1 << (iDepth - 8));
        bDefault &= piW[l] == 1 << iDenom && !piO[l];
    }
    return bDefault;
}

void HevcPredInter(HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, const HevcMvField *pstMv)
{
    const HevcPic *apRef[2] = {NULL, NULL};
    for (int l = 0; l < 2; l++) {
        if (!(pstMv->ucPredFlags >> l & 1))
            continue;
        int iSlot = s->pstRefs->aiRefList[l][pstMv->aiRefIdx[l]];
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
        if (pstDec->pstThreads) {
            /* A picture that has ended may still have its last rows filtered
             * by a worker: wait for the 16-row band holding the lowest luma
             * row the 8-tap filter reads (chroma reads no lower). */
            int y = yPb + (pstMv->aiMv[l][1] >> 2) + nPbH + 3;
            y = y < 0 ? 0 : y >= (int)r->uiHeight ? (int)r->uiHeight - 1 : y;
            if (__atomic_load_n(&r->piRowProgress[y >> 4], __ATOMIC_ACQUIRE) != HEVC_ROW_DONE)
                HevcThreadsWaitRef(pstDec, r, (uint32_t)y >> 4);
        }
    }
    s->pfnPredInter(s, apRef, xPb, yPb, nPbW, nPbH, pstMv);
}
