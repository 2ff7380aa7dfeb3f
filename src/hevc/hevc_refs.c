/* Picture start: picture order count (H.265 8.3.1), reference picture set
 * and marking (8.3.2), the DPB slot and the creation limits; per slice the
 * reference picture lists (8.3.4). */
#include <string.h>
#include "hevc_decoder.h"

#define SH_FAIL IHW265D_ERR_SLICEHEADER

static int IsIrap(int t) { return t >= HEVC_NAL_BLA_W_LP && t <= HEVC_NAL_RSV_IRAP_23; }
static int IsIdr(int t) { return t == HEVC_NAL_IDR_W_RADL || t == HEVC_NAL_IDR_N_LP; }
static int IsBla(int t) { return t >= HEVC_NAL_BLA_W_LP && t <= HEVC_NAL_BLA_N_LP; }
static int IsRasl(int t) { return t == HEVC_NAL_RASL_N || t == HEVC_NAL_RASL_R; }
static int IsRadl(int t) { return t == HEVC_NAL_RADL_N || t == HEVC_NAL_RADL_R; }
/* Sub-layer non-reference picture: even types below 15. */
static int IsSubLayerNonRef(int t) { return t <= 14 && (t & 1) == 0; }

static int FindRef(HW265D_DEC *pstDec, int32_t iPoc, int bLsbOnly, uint32_t uiLsbMask, int bShortOnly, int iLayer)
{
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        HevcPic *p = &pstDec->stDpb.astPic[i];
        if (!p->bInUse || i == pstDec->iCurPic || p->iLayerId != iLayer || p->eRefMark == HEVC_REF_UNUSED)
            continue;
        if (bShortOnly && p->eRefMark != HEVC_REF_SHORT)
            continue;
        if (bLsbOnly ? (uint32_t)(p->iPoc & (int32_t)uiLsbMask) == (uint32_t)iPoc : p->iPoc == iPoc)
            return i;
    }
    return -1;
}

/* Reference picture set of the current picture and the marking it implies. */
static uint32_t ApplyRps(HW265D_DEC *pstDec, const HevcSliceHeader *sh, const HevcSps *sps, int32_t iPoc, int iLayer)
{
    const HevcStRps *r = &sh->st_rps;
    uint32_t uiMaxLsb = 1u << sps->log2_max_pic_order_cnt_lsb;
    int aiLtFoll[HEVC_MAX_LT_PICS];
    int iNumLtFoll = 0, iNumStFoll = 0, bMissing = 0;
    uint8_t aucKeep[HEVC_MAX_DPB_SLOTS] = {0};

    pstDec->iNumStCurrBefore = pstDec->iNumStCurrAfter = pstDec->iNumLtCurr = 0;
    /* Long-term entries first: they may name any reference picture. */
    for (uint32_t i = 0; i < sh->num_long_term_sps + sh->num_long_term_pics; i++) {
        int32_t iLt = (int32_t)sh->PocLsbLt[i];
        int bMsb = sh->delta_poc_msb_present_flag[i];
        if (bMsb)
            iLt += iPoc - (int32_t)(sh->DeltaPocMsbCycleLt[i] * uiMaxLsb) - (iPoc & (int32_t)(uiMaxLsb - 1));
        int iSlot = FindRef(pstDec, iLt, !bMsb, uiMaxLsb - 1, 0, iLayer);
        if (sh->UsedByCurrPicLt[i]) {
            if (pstDec->iNumLtCurr >= HEVC_MAX_DPB_SIZE)
                return SH_FAIL;
            pstDec->aiPocLtCurr[pstDec->iNumLtCurr] = iLt;
            pstDec->aiLtCurr[pstDec->iNumLtCurr++] = iSlot;
            bMissing |= iSlot < 0;
        } else {
            aiLtFoll[iNumLtFoll++] = iSlot;
        }
    }
    for (int i = 0; i < pstDec->iNumLtCurr; i++)
        if (pstDec->aiLtCurr[i] >= 0)
            pstDec->stDpb.astPic[pstDec->aiLtCurr[i]].eRefMark = HEVC_REF_LONG, aucKeep[pstDec->aiLtCurr[i]] = 1;
    for (int i = 0; i < iNumLtFoll; i++)
        if (aiLtFoll[i] >= 0)
            pstDec->stDpb.astPic[aiLtFoll[i]].eRefMark = HEVC_REF_LONG, aucKeep[aiLtFoll[i]] = 1;
    for (int i = 0; i < r->num_negative_pics; i++) {
        int32_t p = iPoc + r->aiDeltaPocS0[i];
        int iSlot = FindRef(pstDec, p, 0, 0, 1, iLayer);
        if (r->aucUsedS0[i]) {
            pstDec->aiPocStCurrBefore[pstDec->iNumStCurrBefore] = p;
            pstDec->aiStCurrBefore[pstDec->iNumStCurrBefore++] = iSlot;
            bMissing |= iSlot < 0;
        } else {
            iNumStFoll++;
        }
        if (iSlot >= 0)
            aucKeep[iSlot] = 1;
    }
    for (int i = 0; i < r->num_positive_pics; i++) {
        int32_t p = iPoc + r->aiDeltaPocS1[i];
        int iSlot = FindRef(pstDec, p, 0, 0, 1, iLayer);
        if (r->aucUsedS1[i]) {
            pstDec->aiPocStCurrAfter[pstDec->iNumStCurrAfter] = p;
            pstDec->aiStCurrAfter[pstDec->iNumStCurrAfter++] = iSlot;
            bMissing |= iSlot < 0;
        } else {
            iNumStFoll++;
        }
        if (iSlot >= 0)
            aucKeep[iSlot] = 1;
    }
    pstDec->iNumStFoll = iNumStFoll;
    pstDec->iNumLtFoll = iNumLtFoll;
    /* Everything else of this layer is no longer a reference. */
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        HevcPic *p = &pstDec->stDpb.astPic[i];
        if (p->bInUse && i != pstDec->iCurPic && p->iLayerId == iLayer && !aucKeep[i]) {
            p->eRefMark = HEVC_REF_UNUSED;
            HevcDpbReleaseIfUnused(p);
        }
    }
    if (bMissing) {
        HEVC_ERR(pstDec, "IHW265D_Decode : some of the refrence frames is not exist!\n");
        return 1;
    }
    return 0;
}

/* Distinct pictures of RefPicSetStCurrBefore/After and LtCurr that the
 * slice's reference lists name (H.265 8.3.4: list entries cycle over the
 * NumPicTotalCurr pictures, list 1 starting with StCurrAfter). */
static int CountListedPictures(const HW265D_DEC *pstDec, const HevcSliceHeader *sh)
{
    const int nB = pstDec->iNumStCurrBefore, nA = pstDec->iNumStCurrAfter;
    const int nTot = nB + nA + pstDec->iNumLtCurr;
    if (sh->slice_type == HEVC_SLICE_I || nTot == 0)
        return 0;
    uint8_t aucUsed[3 * HEVC_MAX_DPB_SIZE] = {0};
    int iCount = 0;
    for (int l = 0; l < (sh->slice_type == HEVC_SLICE_B ? 2 : 1); l++)
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l] && i < HEVC_MAX_REFS; i++) {
            int k = (int)((sh->ref_pic_list_modification_flag[l] ? sh->list_entry[l][i] : i) % (uint32_t)nTot);
            if (l == 1)
                k = k < nA ? nB + k : k < nA + nB ? k - nA : k;
            if (k < 3 * HEVC_MAX_DPB_SIZE && !aucUsed[k]) {
                aucUsed[k] = 1;
                iCount++;
            }
        }
    return iCount;
}

/* Tile and CTB address tables of the picture (H.265 6.5.1). */
static void BuildCtbTables(HW265D_DEC *pstDec, HevcPps *pps, const HevcSps *sps)
{
    uint32_t w = sps->PicWidthInCtbsY, h = sps->PicHeightInCtbsY;
    uint32_t uiCols = pps->tiles_enabled_flag ? pps->num_tile_columns : 1;
    uint32_t uiRows = pps->tiles_enabled_flag ? pps->num_tile_rows : 1;
    /* Tile column of every CTB column and tile row of every CTB row, so the
     * conversion is linear in the picture size. */
    uint16_t ausColOf[HEVC_MAX_TILE_COLS * 2], ausRowOf[HEVC_MAX_TILE_ROWS * 2];
    if (w > HEVC_MAX_TILE_COLS * 2 || h > HEVC_MAX_TILE_ROWS * 2)
        return;
    for (uint32_t i = 0; i < uiCols; i++)
        for (uint32_t x = pps->col_bd[i]; x < pps->col_bd[i + 1] && x < w; x++)
            ausColOf[x] = (uint16_t)i;
    for (uint32_t j = 0; j < uiRows; j++)
        for (uint32_t y = pps->row_bd[j]; y < pps->row_bd[j + 1] && y < h; y++)
            ausRowOf[y] = (uint16_t)j;
    for (uint32_t rs = 0; rs < sps->PicSizeInCtbsY; rs++) {
        uint32_t x = rs % w, y = rs / w, tx = ausColOf[x], ty = ausRowOf[y];
        /* CTBs of the tile rows above, of the tiles left in this tile row,
         * then the position inside the tile. */
        uint32_t v = w * pps->row_bd[ty] + pps->row_height[ty] * pps->col_bd[tx];
        v += (y - pps->row_bd[ty]) * pps->column_width[tx] + x - pps->col_bd[tx];
        pstDec->puiCtbAddrRsToTs[rs] = v;
        pstDec->puiCtbAddrTsToRs[v] = rs;
        pstDec->pusTileId[v] = (uint16_t)(ty * uiCols + tx);
    }
}

uint32_t HevcStartPicture(HW265D_DEC *pstDec)
{
    HevcSliceHeader *sh = &pstDec->stSh;
    HevcPps *pps = &pstDec->pstPps[sh->slice_pic_parameter_set_id];
    const HevcSps *sps = &pstDec->pstSps[pps->pps_seq_parameter_set_id];
    const HevcVps *vps = &pstDec->pstVps[sps->sps_video_parameter_set_id];
    HevcPocState *st = &pstDec->stPoc;
    int t = sh->nal_unit_type;
    uint32_t uiMaxLsb = 1u << sps->log2_max_pic_order_cnt_lsb;

    pstDec->bPicStarted = 0;
    pstDec->bPicFailed = 1;
    pstDec->bSkipPic = 0;
    pstDec->iCurPic = -1;
    pstDec->ucFirstTemporalId = sh->temporal_id;
    pstDec->pstActVps = vps;
    pstDec->pstActSps = sps;
    pstDec->pstActPps = pps;

    int bNoRaslOutput = 0;
    if (IsIrap(t)) {
        bNoRaslOutput = IsIdr(t) || IsBla(t) || st->bFirstPicture || st->bAfterEos;
        st->bNoRaslOutputFlag = bNoRaslOutput;
        if (bNoRaslOutput)
            st->uiCvsId++;
    } else if (st->bFirstPicture) {
        /* Stream joined without a random access point: decode anyway, the
         * missing references are reported below. */
        st->uiCvsId++;
    }
    /* RASL pictures of a random access point that starts decoding have no
     * usable references: they are neither decoded nor output (H.265 8.1.3). */
    if (IsRasl(t) && st->bNoRaslOutputFlag) {
        pstDec->bSkipPic = 1;
        pstDec->bPicFailed = 0;
        return 0;
    }
    /* Picture order count (H.265 8.3.1). */
    int32_t iMsb = 0;
    uint32_t uiLsb = sh->slice_pic_order_cnt_lsb;
    if (!(IsIrap(t) && bNoRaslOutput)) {
        int32_t iPrevPoc = st->bPrevTid0Valid ? st->iPrevTid0Poc : 0;
        int32_t iPrevLsb = iPrevPoc & (int32_t)(uiMaxLsb - 1);
        int32_t iPrevMsb = iPrevPoc - iPrevLsb;
        if ((int32_t)uiLsb < iPrevLsb && iPrevLsb - (int32_t)uiLsb >= (int32_t)(uiMaxLsb / 2))
            iMsb = iPrevMsb + (int32_t)uiMaxLsb;
        else if ((int32_t)uiLsb > iPrevLsb && (int32_t)uiLsb - iPrevLsb > (int32_t)(uiMaxLsb / 2))
            iMsb = iPrevMsb - (int32_t)uiMaxLsb;
        else
            iMsb = iPrevMsb;
    }
    int32_t iPoc = iMsb + (int32_t)uiLsb;
    if (sh->temporal_id == 0 && !IsRadl(t) && !IsRasl(t) && !IsSubLayerNonRef(t)) {
        st->iPrevTid0Poc = iPoc;
        st->bPrevTid0Valid = 1;
    }
    st->bFirstPicture = 0;
    st->bAfterEos = 0;

    /* An access point that starts a sequence ends every reference of the old
     * one; its pictures still waiting are output first (older sequence id)
     * unless no_output_of_prior_pics_flag drops them (H.265 C.5.2.2). */
    if (IsIrap(t) && bNoRaslOutput) {
        for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
            HevcPic *p = &pstDec->stDpb.astPic[i];
            if (p->bInUse && p->iLayerId == sh->nuh_layer_id) {
                p->eRefMark = HEVC_REF_UNUSED;
                HevcDpbReleaseIfUnused(p);
            }
        }
        if (sh->no_output_of_prior_pics_flag && st->uiDecodeOrder > 0)
            HevcDpbDropAll(pstDec, sh->nuh_layer_id);
    }
    /* 1: a reference is missing; the picture is still decoded (with the
     * error flag) and the slice reports the failure. */
    uint32_t uiRpsRet = ApplyRps(pstDec, sh, sps, iPoc, sh->nuh_layer_id);
    if (uiRpsRet == SH_FAIL)
        return SH_FAIL;

    /* Slot for the picture. */
    int iSlot = HevcDpbTakeSlot(pstDec);
    if (iSlot < 0) {
        HEVC_ERR(pstDec, "IHW265D_Decode : failed to allocate DPB!\n");
        return SH_FAIL;
    }
    if (sps->pic_width_in_luma_samples > pstDec->uiMaxWidth) {
        HEVC_ERR(pstDec, "IHW265D_Decode : PicWidthInSamplesY is %u, should be less than or equal to %u!\n",
                 sps->pic_width_in_luma_samples, pstDec->uiMaxWidth);
        pstDec->stDpb.astPic[iSlot].bInUse = 0;
        return IHW265D_ERR_WIDTH;
    }
    if (sps->pic_height_in_luma_samples > pstDec->uiMaxHeight) {
        HEVC_ERR(pstDec, "IHW265D_Decode : PicHeightInSamplesY is %u, should be less than or equal to %u!\n",
                 sps->pic_height_in_luma_samples, pstDec->uiMaxHeight);
        pstDec->stDpb.astPic[iSlot].bInUse = 0;
        return IHW265D_ERR_HEIGHT;
    }
    /* The pictures the current picture predicts from (those its reference
     * lists name) count against iMaxRefNum; the rest of the set (kept for
     * later pictures, as encoders and cameras commonly do with one
     * reference) only has to fit the iMaxRefNum + 2 slots next to the
     * current picture. */
    int iUsed = CountListedPictures(pstDec, sh);
    int iKept = pstDec->iNumStCurrBefore + pstDec->iNumStCurrAfter + pstDec->iNumLtCurr + pstDec->iNumStFoll +
                pstDec->iNumLtFoll;
    int iLimit = pstDec->stParam.iMaxRefNum;
    if (iUsed <= iLimit && iKept > pstDec->stDpb.iSlotNum - 1) {
        iUsed = iKept;
        iLimit = pstDec->stDpb.iSlotNum - 1;
    }
    if (iUsed > iLimit) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of RefPic is %d, should be less than or equal to %d!\n", iUsed,
                 iLimit);
        pstDec->stDpb.astPic[iSlot].bInUse = 0;
        return IHW265D_ERR_REFNUM;
    }
    HevcPic *pic = &pstDec->stDpb.astPic[iSlot];
    pstDec->iCurPic = iSlot;
    pic->iPoc = iPoc;
    pic->uiCvsId = st->uiCvsId;
    pic->iLayerId = sh->nuh_layer_id;
    pic->iTemporalId = sh->temporal_id;
    pic->uiDecodeOrder = st->uiDecodeOrder++;
    pic->uiNalUnitType = (uint32_t)t;
    pic->uiSliceType = sh->slice_type;
    pic->eRefMark = HEVC_REF_UNUSED;
    pic->uiFlags = sh->pic_output_flag ? HEVC_PIC_NEEDED_FOR_OUTPUT : 0;
    pic->uiErrorFlag = uiRpsRet ? HEVC_PIC_ERR_MISSING_REF : 0u;
    pic->uiReorderLimit = sps->sps_max_num_reorder_pics[sps->sps_max_sub_layers_minus1];
    pic->ullTimeStamp = HevcTimeStampAt(pstDec, pstDec->ullAbsBase + pstDec->uiCurNalOffset);
    /* The tile grid follows the SPS now active. */
    if (pps->uiSpsPicWidthInCtbs != sps->PicWidthInCtbsY || pps->uiSpsPicHeightInCtbs != sps->PicHeightInCtbsY) {
        if (HevcDeriveTiles(pps, sps->PicWidthInCtbsY, sps->PicHeightInCtbsY)) {
            pic->bInUse = 0;
            pstDec->iCurPic = -1;
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_tile_columns is %d,it should not be bigger than iPicWidthInCtbsY!\n",
                     (int)pps->num_tile_columns);
            return IHW265D_ERR_PPS;
        }
    }
    BuildCtbTables(pstDec, pps, sps);
    pstDec->bPicStarted = 1;
    pstDec->bPicFailed = 0;
    if (IsIrap(t) && sh->nuh_layer_id == 0 && sh->NumPicTotalCurr != 0)
        HEVC_WARN(pstDec, "IHW265D_Decode : The NALU Type is %d, the variable NumPocTotalCurr should be equal to 0!\n", t);
    return uiRpsRet ? SH_FAIL : 0;
}

uint32_t HevcBuildRefLists(HW265D_DEC *pstDec)
{
    const HevcSliceHeader *sh = &pstDec->stSh;
    memset(pstDec->aiRefList, 0xFF, sizeof(pstDec->aiRefList));
    if (sh->slice_type == HEVC_SLICE_I)
        return 0;
    if (pstDec->iNumStCurrBefore > 15 || pstDec->iNumStCurrAfter > 15 || pstDec->iNumLtCurr > 15) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of pstRpsList[ST_CURR_BEF].iNumPic is %d, pstRpsList[ST_CURR_AFT].iNumPic is %d, pstRpsList[LT_CURR].iNumPic is %d,it should not be larger than 15!\n",
                 pstDec->iNumStCurrBefore, pstDec->iNumStCurrAfter, pstDec->iNumLtCurr);
        return SH_FAIL;
    }
    int iTotal = pstDec->iNumStCurrBefore + pstDec->iNumStCurrAfter + pstDec->iNumLtCurr;
    if (iTotal == 0)
        return SH_FAIL;
    int iLists = sh->slice_type == HEVC_SLICE_B ? 2 : 1;
    for (int l = 0; l < iLists; l++) {
        int aiSlot[HEVC_MAX_REFS * 3], aiLt[HEVC_MAX_REFS * 3];
        int32_t aiPoc[HEVC_MAX_REFS * 3];
        int iNum = (int)sh->num_ref_idx_active[l] > iTotal ? (int)sh->num_ref_idx_active[l] : iTotal;
        int n = 0;
        /* H.265 (8-8) and (8-10): the two short-term groups swap for list 1. */
        while (n < iNum) {
            for (int g = 0; g < 3 && n < iNum; g++) {
                int iGroup = g == 2 ? 2 : (l == 0 ? g : 1 - g);
                int iCount = iGroup == 0 ? pstDec->iNumStCurrBefore : iGroup == 1 ? pstDec->iNumStCurrAfter : pstDec->iNumLtCurr;
                const int *piSlot = iGroup == 0 ? pstDec->aiStCurrBefore : iGroup == 1 ? pstDec->aiStCurrAfter : pstDec->aiLtCurr;
                const int32_t *piPoc = iGroup == 0 ? pstDec->aiPocStCurrBefore : iGroup == 1 ? pstDec->aiPocStCurrAfter : pstDec->aiPocLtCurr;
                for (int i = 0; i < iCount && n < iNum; i++, n++) {
                    aiSlot[n] = piSlot[i];
                    aiPoc[n] = piPoc[i];
                    aiLt[n] = iGroup == 2;
                }
            }
        }
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l]; i++) {
            uint32_t e = sh->ref_pic_list_modification_flag[l] ? sh->list_entry[l][i] : i;
            if ((int)e >= n)
                return SH_FAIL;
            pstDec->aiRefList[l][i] = aiSlot[e];
            pstDec->aiRefPoc[l][i] = aiPoc[e];
            pstDec->aucRefIsLt[l][i] = (uint8_t)aiLt[e];
        }
    }
    return 0;
}
