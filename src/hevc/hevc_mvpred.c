/* Motion vector prediction: merge candidates (spatial, temporal, combined
 * bi-predictive, zero), AMVP predictors with scaling, the temporal candidate
 * from the collocated picture, and motion storage per 4x4 for the current
 * picture and per 16x16 for later pictures (H.265 8.5.3.2). */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"

static int Clip3(int lo, int hi, int v)
{
    return v < lo ? lo : v > hi ? hi : v;
}

void HevcSliceInterSetup(HW265D_DEC *pstDec, HevcSliceDec *s)
{
    const HevcSliceHeader *sh = s->pstSh;
    const HevcPic *cur = s->pstPic;
    s->iColSlot = -1;
    s->bNoBackwardPred = 1;
    /* A missing reference is replaced by the decoded picture closest in
     * output order. */
    s->iFallbackSlot = -1;
    int32_t iBest = 0;
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        const HevcPic *p = &pstDec->stDpb.astPic[i];
        if (!p->bInUse || !p->bDecoded || p == cur || p->iLayerId != cur->iLayerId || p->uiWidth != cur->uiWidth ||
            p->uiHeight != cur->uiHeight || p->uiBitDepthY != cur->uiBitDepthY)
            continue;
        int32_t d = p->iPoc > cur->iPoc ? p->iPoc - cur->iPoc : cur->iPoc - p->iPoc;
        if (s->iFallbackSlot < 0 || d < iBest) {
            s->iFallbackSlot = i;
            iBest = d;
        }
    }
    int iLists = sh->slice_type == HEVC_SLICE_B ? 2 : 1;
    for (int l = 0; l < iLists; l++)
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l]; i++)
            if (s->pstRefs->aiRefPoc[l][i] > cur->iPoc)
                s->bNoBackwardPred = 0;
    if (sh->slice_temporal_mvp_enabled_flag) {
        int l = sh->slice_type == HEVC_SLICE_B && !sh->collocated_from_l0_flag ? 1 : 0;
        int iSlot = s->pstRefs->aiRefList[l][sh->collocated_ref_idx];
        /* A missing or differently sized picture has no usable motion. */
        if (iSlot >= 0) {
            const HevcPic *col = &pstDec->stDpb.astPic[iSlot];
            if (col->uiWidth == cur->uiWidth && col->uiHeight == cur->uiHeight)
                s->iColSlot = iSlot;
        }
    }
}

/* Motion of a neighbouring prediction block when it is available (H.265
 * 6.4.2): decoded before, same slice and tile, and not intra. */
static const HevcMvField *Neighbour(const HevcSliceDec *s, int x, int y)
{
    const HevcSps *sps = s->pstSps;
    if (x < 0 || y < 0 || x >= (int)sps->pic_width_in_luma_samples || y >= (int)sps->pic_height_in_luma_samples)
        return NULL;
    const size_t i = (size_t)(y >> 2) * s->uiW4 + (x >> 2);
    const unsigned uiCtb = 1u << sps->CtbLog2SizeY;
    /* Inside the current CTB only the decoding order matters. */
    if ((unsigned)(x - s->iCtbX) < uiCtb && (unsigned)(y - s->iCtbY) < uiCtb)
        return s->pucMvSet[i] ? &s->pstMv[i] : NULL;
    /* Another tile's or slice task's motion is not looked at (its thread
     * may be writing it); then motion this thread has not derived yet is
     * never available, and the block's CTB record (which parsing may be
     * writing, when motion is derived behind it) is not read. */
    const uint32_t rs = ((uint32_t)y >> sps->CtbLog2SizeY) * sps->PicWidthInCtbsY + ((uint32_t)x >> sps->CtbLog2SizeY);
    if (!HevcSameUnit(s, rs) || !s->pucMvSet[i] || !HevcAvailableOutside(s, x, y, 0))
        return NULL;
    return &s->pstMv[i];
}

static int SameMotion(const HevcMvField *a, const HevcMvField *b)
{
    if (a->ucPredFlags != b->ucPredFlags)
        return 0;
    for (int l = 0; l < 2; l++)
        if ((a->ucPredFlags >> l & 1) &&
            (a->aiRefIdx[l] != b->aiRefIdx[l] || a->aiMv[l][0] != b->aiMv[l][0] || a->aiMv[l][1] != b->aiMv[l][1]))
            return 0;
    return 1;
}

/* mv scaled by the POC distances tb / td (H.265 8-179..8-183). */
static void ScaleMv(int16_t *piMv, const int16_t *piSrc, int iTd, int iTb)
{
    iTd = Clip3(-128, 127, iTd);
    iTb = Clip3(-128, 127, iTb);
    if (iTd == 0) {
        piMv[0] = piSrc[0];
        piMv[1] = piSrc[1];
        return;
    }
    int tx = (16384 + (iTd < 0 ? -iTd : iTd) / 2) / iTd;
    int iDsf = Clip3(-4096, 4095, (iTb * tx + 32) >> 6);
    for (int c = 0; c < 2; c++) {
        int p = iDsf * piSrc[c];
        int v = (p < 0 ? -1 : 1) * (((p < 0 ? -p : p) + 127) >> 8);
        piMv[c] = (int16_t)Clip3(-32768, 32767, v);
    }
}

/* Temporal motion vector of list X for reference refIdxLX from the
 * collocated block covering (x, y) (H.265 8.5.3.2.9). */
static int ColMotion(const HW265D_DEC *pstDec, const HevcSliceDec *s, int x, int y, int X, int iRefIdx, int16_t *piMv)
{
    const HevcPic *col = &pstDec->stDpb.astPic[s->iColSlot];
    const HevcMotion16 *m = &col->pstMotion[(size_t)(y >> 4) * (pstDec->uiMaxWidth >> 4) + (x >> 4)];
    if (!m->ucPredFlags)
        return 0;
    int l;
    if (!(m->ucPredFlags & 1))
        l = 1;
    else if (!(m->ucPredFlags & 2))
        l = 0;
    else
        l = s->bNoBackwardPred ? X : s->pstSh->collocated_from_l0_flag;
    int bLtCur = s->pstRefs->aucRefIsLt[X][iRefIdx], bLtCol = m->ucLongTermMask >> l & 1;
    if (bLtCur != bLtCol)
        return 0;
    int iColDiff = col->iPoc - m->aiRefPoc[l];
    int iCurDiff = s->pstPic->iPoc - s->pstRefs->aiRefPoc[X][iRefIdx];
    if (bLtCur || iColDiff == iCurDiff) {
        piMv[0] = m->aiMv[l][0];
        piMv[1] = m->aiMv[l][1];
    } else {
        ScaleMv(piMv, m->aiMv[l], iColDiff, iCurDiff);
    }
    return 1;
}

/* Bottom-right, then centre collocated candidate (H.265 8.5.3.2.8). */
static int TemporalMv(const HW265D_DEC *pstDec, const HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, int X,
                      int iRefIdx, int16_t *piMv)
{
    const HevcSps *sps = s->pstSps;
    if (s->iColSlot < 0)
        return 0;
    int xBr = xPb + nPbW, yBr = yPb + nPbH;
    if ((yPb >> sps->CtbLog2SizeY) == (yBr >> sps->CtbLog2SizeY) && yBr < (int)sps->pic_height_in_luma_samples &&
        xBr < (int)sps->pic_width_in_luma_samples && ColMotion(pstDec, s, xBr, yBr, X, iRefIdx, piMv))
        return 1;
    return ColMotion(pstDec, s, xPb + (nPbW >> 1), yPb + (nPbH >> 1), X, iRefIdx, piMv);
}

void HevcMergeMotion(HW265D_DEC *pstDec, HevcSliceDec *s, const HevcPuSyntax *pstPu, HevcMvField *pstOut)
{
    const HevcSliceHeader *sh = s->pstSh;
    const int iPml = (int)s->pstPps->log2_parallel_merge_level;
    int xPb = pstPu->xPb, yPb = pstPu->yPb, nPbW = pstPu->nPbW, nPbH = pstPu->nPbH, iPartIdx = pstPu->ucPartIdx;
    const int iMergeIdx = pstPu->ucMergeIdx;
    const int nOrigW = nPbW, nOrigH = nPbH;
    const int bB = sh->slice_type == HEVC_SLICE_B;
    const int iPartMode = pstPu->ucPartMode;
    /* Parallel merge level above 4x4 with an 8x8 CU: one list for the CU
     * (a coding unit is aligned to its size). */
    if (iPml > 2 && pstPu->ucLog2CbSize == 3) {
        xPb &= ~7;
        yPb &= ~7;
        nPbW = nPbH = 8;
        iPartIdx = 0;
    }
    HevcMvField astCand[5];
    int n = 0;
    const int axNb[5] = {xPb - 1, xPb + nPbW - 1, xPb + nPbW, xPb - 1, xPb - 1};
    const int ayNb[5] = {yPb + nPbH - 1, yPb - 1, yPb - 1, yPb + nPbH, yPb - 1};
    const HevcMvField *apNb[5];
    for (int k = 0; k < 5; k++) {
        /* A1, B1, B0, A0, B2 */
        const HevcMvField *p = NULL;
        if (!((xPb >> iPml) == (axNb[k] >> iPml) && (yPb >> iPml) == (ayNb[k] >> iPml)))
            p = Neighbour(s, axNb[k], ayNb[k]);
        if (k == 0 && iPartIdx == 1 &&
            (iPartMode == HEVC_PART_Nx2N || iPartMode == HEVC_PART_nLx2N || iPartMode == HEVC_PART_nRx2N))
            p = NULL;
        if (k == 1 && iPartIdx == 1 &&
            (iPartMode == HEVC_PART_2NxN || iPartMode == HEVC_PART_2NxnU || iPartMode == HEVC_PART_2NxnD))
            p = NULL;
        /* Pruning compares with the available neighbours, whether or not
         * they became candidates themselves. */
        apNb[k] = p;
        if (p && k == 1 && apNb[0] && SameMotion(apNb[0], p))
            p = NULL;
        if (p && k == 2 && apNb[1] && SameMotion(apNb[1], p))
            p = NULL;
        if (p && k == 3 && apNb[0] && SameMotion(apNb[0], p))
            p = NULL;
        if (p && k == 4 && ((apNb[0] && SameMotion(apNb[0], p)) || (apNb[1] && SameMotion(apNb[1], p)) || n == 4))
            p = NULL;
        if (p) {
            astCand[n++] = *p;
            if (n > iMergeIdx)
                goto done;
        }
    }
    {
        /* Temporal candidate with reference index 0. */
        HevcMvField col;
        memset(&col, 0, sizeof(col));
        col.aiRefIdx[0] = col.aiRefIdx[1] = -1;
        if (sh->slice_temporal_mvp_enabled_flag) {
            if (TemporalMv(pstDec, s, xPb, yPb, nPbW, nPbH, 0, 0, col.aiMv[0]))
                col.ucPredFlags |= 1, col.aiRefIdx[0] = 0;
            if (bB && TemporalMv(pstDec, s, xPb, yPb, nPbW, nPbH, 1, 0, col.aiMv[1]))
                col.ucPredFlags |= 2, col.aiRefIdx[1] = 0;
        }
        if (col.ucPredFlags) {
            astCand[n++] = col;
            if (n > iMergeIdx)
                goto done;
        }
    }
    {
        const int iMax = (int)sh->max_num_merge_cand;
        const int iOrig = n;
        if (bB && iOrig > 1 && iOrig < iMax) {
            static const uint8_t s_aucL0[12] = {0, 1, 0, 2, 1, 2, 0, 3, 1, 3, 2, 3};
            static const uint8_t s_aucL1[12] = {1, 0, 2, 0, 2, 1, 3, 0, 3, 1, 3, 2};
            for (int c = 0; c < iOrig * (iOrig - 1) && n < iMax; c++) {
                const HevcMvField *a = &astCand[s_aucL0[c]], *b = &astCand[s_aucL1[c]];
                if (!(a->ucPredFlags & 1) || !(b->ucPredFlags & 2))
                    continue;
                if (s->pstRefs->aiRefPoc[0][a->aiRefIdx[0]] == s->pstRefs->aiRefPoc[1][b->aiRefIdx[1]] &&
                    s->pstRefs->aiRefList[0][a->aiRefIdx[0]] == s->pstRefs->aiRefList[1][b->aiRefIdx[1]] &&
                    a->aiMv[0][0] == b->aiMv[1][0] && a->aiMv[0][1] == b->aiMv[1][1])
                    continue;
                HevcMvField *o = &astCand[n++];
                o->ucPredFlags = 3;
                o->aiRefIdx[0] = a->aiRefIdx[0];
                o->aiRefIdx[1] = b->aiRefIdx[1];
                memcpy(o->aiMv[0], a->aiMv[0], sizeof(o->aiMv[0]));
                memcpy(o->aiMv[1], b->aiMv[1], sizeof(o->aiMv[1]));
                if (n > iMergeIdx)
                    goto done;
            }
        }
        /* Zero candidates. */
        int iNumRef = (int)sh->num_ref_idx_active[0];
        if (bB && (int)sh->num_ref_idx_active[1] < iNumRef)
            iNumRef = (int)sh->num_ref_idx_active[1];
        for (int z = 0; n <= iMergeIdx; z++) {
            HevcMvField *o = &astCand[n < 5 ? n : 4];
            int r = z < iNumRef ? z : 0;
            memset(o, 0, sizeof(*o));
            o->ucPredFlags = bB ? 3 : 1;
            o->aiRefIdx[0] = (int8_t)r;
            o->aiRefIdx[1] = (int8_t)(bB ? r : -1);
            n++;
        }
    }
done:
    *pstOut = astCand[iMergeIdx < 5 ? iMergeIdx : 4];
    if (!(pstOut->ucPredFlags & 1))
        pstOut->aiRefIdx[0] = -1;
    if (!(pstOut->ucPredFlags & 2))
        pstOut->aiRefIdx[1] = -1;
    /* 8x4 and 4x8 blocks are not bi-predicted (H.265 8.5.3.2.2). */
    if (pstOut->ucPredFlags == 3 && nOrigW + nOrigH == 12) {
        pstOut->ucPredFlags = 1;
        pstOut->aiRefIdx[1] = -1;
    }
}

/* One spatial AMVP candidate from the blocks at (ax[k], ay[k]): first one
 * referring to the target picture, then (bScale) one with the same
 * long-term state, scaled by POC distance (H.265 8.5.3.2.7). */
static int SpatialPass(const HW265D_DEC *pstDec, const HevcSliceDec *s, const HevcMvField *const *ap, int iNum, int X,
                       int iRefIdx, int bSecond, int16_t *piMv)
{
    const int32_t iTargetPoc = s->pstRefs->aiRefPoc[X][iRefIdx];
    const int bTargetLt = s->pstRefs->aucRefIsLt[X][iRefIdx];
    for (int k = 0; k < iNum; k++) {
        const HevcMvField *p = ap[k];
        if (!p)
            continue;
        for (int t = 0; t < 2; t++) {
            int l = t == 0 ? X : 1 - X;
            if (!(p->ucPredFlags >> l & 1))
                continue;
            int r = p->aiRefIdx[l];
            if (!bSecond) {
                if (s->pstRefs->aiRefPoc[l][r] == iTargetPoc && s->pstRefs->aucRefIsLt[l][r] == bTargetLt) {
                    piMv[0] = p->aiMv[l][0];
                    piMv[1] = p->aiMv[l][1];
                    return 1;
                }
            } else if (s->pstRefs->aucRefIsLt[l][r] == bTargetLt) {
                if (!bTargetLt) {
                    int32_t iCur = s->pstPic->iPoc;
                    ScaleMv(piMv, p->aiMv[l], iCur - s->pstRefs->aiRefPoc[l][r], iCur - iTargetPoc);
                } else {
                    piMv[0] = p->aiMv[l][0];
                    piMv[1] = p->aiMv[l][1];
                }
                return 1;
            }
        }
    }
    return 0;
}

void HevcAmvpPredictor(HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, int X, int iRefIdx,
                       int iMvpFlag, int16_t *piMvp)
{
    const HevcMvField *apA[2] = {Neighbour(s, xPb - 1, yPb + nPbH), Neighbour(s, xPb - 1, yPb + nPbH - 1)};
    const HevcMvField *apB[3] = {Neighbour(s, xPb + nPbW, yPb - 1), Neighbour(s, xPb + nPbW - 1, yPb - 1),
                                 Neighbour(s, xPb - 1, yPb - 1)};
    int16_t aaiCand[3][2];
    int16_t aiA[2] = {0, 0}, aiB[2] = {0, 0};
    const int bIsScaled = apA[0] || apA[1];
    int bA = SpatialPass(pstDec, s, apA, 2, X, iRefIdx, 0, aiA);
    if (!bA)
        bA = SpatialPass(pstDec, s, apA, 2, X, iRefIdx, 1, aiA);
    int bB = SpatialPass(pstDec, s, apB, 3, X, iRefIdx, 0, aiB);
    if (!bIsScaled && bB && !bA) {
        bA = 1;
        aiA[0] = aiB[0];
        aiA[1] = aiB[1];
    }
    if (!bIsScaled)
        bB = SpatialPass(pstDec, s, apB, 3, X, iRefIdx, 1, aiB);
    int n = 0;
    if (bA) {
        aaiCand[n][0] = aiA[0];
        aaiCand[n++][1] = aiA[1];
    }
    if (bB && !(bA && aiA[0] == aiB[0] && aiA[1] == aiB[1])) {
        aaiCand[n][0] = aiB[0];
        aaiCand[n++][1] = aiB[1];
    }
    if (n < 2 && iMvpFlag >= n && s->pstSh->slice_temporal_mvp_enabled_flag &&
        TemporalMv(pstDec, s, xPb, yPb, nPbW, nPbH, X, iRefIdx, aaiCand[n]))
        n++;
    while (n < 2) {
        aaiCand[n][0] = aaiCand[n][1] = 0;
        n++;
    }
    piMvp[0] = aaiCand[iMvpFlag][0];
    piMvp[1] = aaiCand[iMvpFlag][1];
}

void HevcStoreMotion(HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, const HevcMvField *pstMv)
{
    const HevcMvField v = *pstMv;
    const int n = nPbW >> 2;
    const size_t o = (size_t)(yPb >> 2) * s->uiW4 + (xPb >> 2);
    HevcMvField *row = s->pstMv + o;
    uint8_t *set = s->pucMvSet + o;
    for (int y = 0; y < nPbH >> 2; y++, row += s->uiW4, set += s->uiW4)
        for (int x = 0; x < n; x++) {
            row[x] = v;
            set[x] = 1;
        }
}

void HevcPredictionUnit(HW265D_DEC *pstDec, HevcSliceDec *s, const HevcPuSyntax *pu)
{
    HevcMvField mv;
    memset(&mv, 0, sizeof(mv));
    if (pu->bMerge) {
        HevcMergeMotion(pstDec, s, pu, &mv);
    } else {
        mv.ucPredFlags = pu->ucPredFlags;
        for (int l = 0; l < 2; l++) {
            if (!(mv.ucPredFlags >> l & 1)) {
                mv.aiRefIdx[l] = -1;
                continue;
            }
            mv.aiRefIdx[l] = pu->aiRefIdx[l];
            int16_t aiMvp[2];
            HevcAmvpPredictor(pstDec, s, pu->xPb, pu->yPb, pu->nPbW, pu->nPbH, l, mv.aiRefIdx[l], pu->aucMvpFlag[l],
                              aiMvp);
            /* (8-272..8-275): the sum wraps to 16 bits. */
            mv.aiMv[l][0] = (int16_t)(uint16_t)(aiMvp[0] + pu->aaiMvd[l][0]);
            mv.aiMv[l][1] = (int16_t)(uint16_t)(aiMvp[1] + pu->aaiMvd[l][1]);
        }
    }
    for (int l = 0; l < 2; l++) {
        int iSlot = -1;
        if (mv.ucPredFlags >> l & 1) {
            iSlot = s->pstRefs->aiRefList[l][mv.aiRefIdx[l]];
            if (iSlot < 0)
                iSlot = s->iFallbackSlot;
        }
        mv.aiSlot[l] = (int8_t)iSlot;
    }
    HevcStoreMotion(s, pu->xPb, pu->yPb, pu->nPbW, pu->nPbH, &mv);
    HevcPredInter(pstDec, s, pu->xPb, pu->yPb, pu->nPbW, pu->nPbH, &mv);
}

/* The 16x16 blocks whose top-left 4x4 lies in the coding unit keep that
 * 4x4's motion with the POCs and long-term state of its references, as the
 * temporal candidates of later pictures read them (H.265 8.5.3.2.8). */
void HevcStoreColMotion(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iSize)
{
    const uint32_t uiStride = pstDec->uiMaxWidth >> 4;
    HevcMotion16 *pstCol = s->pstPic->pstMotion;
    for (int y = (y0 + 15) & ~15; y < y0 + iSize && y < (int)s->pstSps->pic_height_in_luma_samples; y += 16)
        for (int x = (x0 + 15) & ~15; x < x0 + iSize && x < (int)s->pstSps->pic_width_in_luma_samples; x += 16) {
            const size_t i4 = (size_t)(y >> 2) * s->uiW4 + (x >> 2);
            HevcMotion16 *m = &pstCol[(size_t)(y >> 4) * uiStride + (x >> 4)];
            memset(m, 0, sizeof(*m));
            if (!s->pucMvSet[i4])
                continue;
            const HevcMvField *f = &s->pstMv[i4];
            m->ucPredFlags = f->ucPredFlags;
            for (int l = 0; l < 2; l++) {
                if (!(f->ucPredFlags >> l & 1))
                    continue;
                m->aiMv[l][0] = f->aiMv[l][0];
                m->aiMv[l][1] = f->aiMv[l][1];
                m->aiRefIdx[l] = f->aiRefIdx[l];
                m->aiRefPoc[l] = s->pstRefs->aiRefPoc[l][f->aiRefIdx[l]];
                m->ucLongTermMask |= (uint8_t)(s->pstRefs->aucRefIsLt[l][f->aiRefIdx[l]] << l);
            }
        }
}
