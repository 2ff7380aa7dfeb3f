/* Picture start: picture order count (H.265 8.3.1), reference picture set
 * and marking (8.3.2), the DPB slot and the creation limits; per slice the
 * reference picture lists (8.3.4). */
#include <string.h>
#include "hevc_decoder.h"
#include "hevc_threads.h"

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

static int FreeSlots(const HW265D_DEC *pstDec)
{
    int n = 0;
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++)
        n += !pstDec->stDpb.astPic[i].bInUse;
    return n;
}

/* A picture made up for a reference the stream does not provide (H.265
 * 8.3.3.2): every sample 1 << (bitDepth - 1) (the slot is filled so when
 * taken), intra throughout (no motion for temporal candidates), never
 * output, marked as the set names it. One slot always stays free for the
 * current picture; -1 when none can be spared. */
static int GeneratePicture(HW265D_DEC *pstDec, int32_t iPoc, int eMark, int iLayer)
{
    if (FreeSlots(pstDec) < 2)
        return -1;
    int iSlot = HevcDpbTakeSlot(pstDec);
    if (iSlot < 0)
        return -1;
    HevcPic *p = &pstDec->stDpb.astPic[iSlot];
    if (p->uiWidth > pstDec->uiMaxWidth || p->uiHeight > pstDec->uiMaxHeight) {
        p->bInUse = 0; /* the picture itself fails the size check */
        return -1;
    }
    HevcDpbFillGrey(pstDec, p);
    memset(p->pstMotion, 0, (size_t)pstDec->uiMaxWidth * pstDec->uiMaxHeight / 256 * sizeof(HevcMotion16));
    p->bDecoded = 1;
    p->bGenerated = 1;
    p->eRefMark = eMark;
    p->iPoc = iPoc;
    p->uiCvsId = pstDec->stPoc.uiCvsId;
    p->iLayerId = iLayer;
    p->iTemporalId = 0;
    p->uiDecodeOrder = pstDec->stPoc.uiDecodeOrder;
    p->uiSliceType = HEVC_SLICE_I;
    return iSlot;
}

/* Stand-in for a reference missing from a damaged stream: the decoded
 * picture of the layer closest in order count (what a viewer prefers to
 * grey), a picture generated earlier when there is no decoded one, and a
 * newly generated picture when the layer has nothing at all (stream cut
 * before its first random access point). */
static int Substitute(HW265D_DEC *pstDec, const HevcSps *sps, int32_t iPoc, int eMark, int iLayer)
{
    int iBest = -1;
    int32_t iBestDist = 0;
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        const HevcPic *p = &pstDec->stDpb.astPic[i];
        if (!p->bInUse || !p->bDecoded || p->iLayerId != iLayer || p->uiWidth != sps->pic_width_in_luma_samples ||
            p->uiHeight != sps->pic_height_in_luma_samples || p->uiBitDepthY != sps->bit_depth_luma)
            continue;
        int32_t d = p->iPoc > iPoc ? p->iPoc - iPoc : iPoc - p->iPoc;
        /* Decoded pictures beat generated ones, then the distance decides. */
        int bBetter = iBest < 0 || (pstDec->stDpb.astPic[iBest].bGenerated && !p->bGenerated) ||
                      (pstDec->stDpb.astPic[iBest].bGenerated == p->bGenerated && d < iBestDist);
        if (bBetter) {
            iBest = i;
            iBestDist = d;
        }
    }
    return iBest >= 0 ? iBest : GeneratePicture(pstDec, iPoc, eMark, iLayer);
}

/* Reference picture set of the current picture and the marking it implies
 * (H.265 8.3.2), and what stands in for entries that are not in the DPB:
 * - at a BLA picture or a CRA picture with NoRaslOutputFlag 1 every entry
 *   is "no reference picture" by design; such entries are generated as
 *   H.265 8.3.3 says (short- or long-term, PicOutputFlag 0) and nothing is
 *   reported (only the RASL pictures, which are skipped, would use them);
 * - any other picture missing an entry it predicts from (RefPicSetStCurr*,
 *   RefPicSetLtCurr) comes from a damaged stream: the entry takes a
 *   substitute (Substitute()), the failure is logged and returned, and the
 *   picture carries HEVC_PIC_ERR_MISSING_REF. Missing "foll" entries are
 *   ignored, as H.265 allows.
 * A picture that predicts from a generated picture carries the error
 * indicator too: its reference is not in the stream either.
 * Returns 0, 1 (a reference was missing) or SH_FAIL. */
static uint32_t ApplyRps(HW265D_DEC *pstDec, const HevcSliceHeader *sh, const HevcSps *sps, int32_t iPoc,
                         int iLayer, int bIrapNoRasl, int *pbFromGenerated)
{
    const HevcStRps *r = &sh->st_rps;
    uint32_t uiMaxLsb = 1u << sps->log2_max_pic_order_cnt_lsb;
    int aiLtFoll[HEVC_MAX_LT_PICS];
    int32_t aiPocLtFoll[HEVC_MAX_LT_PICS], aiPocStFoll[2 * HEVC_MAX_DPB_SIZE];
    int aiStFoll[2 * HEVC_MAX_DPB_SIZE];
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
        } else {
            aiPocLtFoll[iNumLtFoll] = iLt;
            aiLtFoll[iNumLtFoll++] = iSlot;
        }
    }
    for (int i = 0; i < pstDec->iNumLtCurr; i++)
        if (pstDec->aiLtCurr[i] >= 0)
            pstDec->stDpb.astPic[pstDec->aiLtCurr[i]].eRefMark = HEVC_REF_LONG, aucKeep[pstDec->aiLtCurr[i]] = 1;
    for (int i = 0; i < iNumLtFoll; i++)
        if (aiLtFoll[i] >= 0)
            pstDec->stDpb.astPic[aiLtFoll[i]].eRefMark = HEVC_REF_LONG, aucKeep[aiLtFoll[i]] = 1;
    for (int k = 0; k < r->num_negative_pics + r->num_positive_pics; k++) {
        int bNeg = k < r->num_negative_pics, i = bNeg ? k : k - r->num_negative_pics;
        int32_t p = iPoc + (bNeg ? r->aiDeltaPocS0[i] : r->aiDeltaPocS1[i]);
        int iSlot = FindRef(pstDec, p, 0, 0, 1, iLayer);
        if (bNeg ? r->aucUsedS0[i] : r->aucUsedS1[i]) {
            int *pn = bNeg ? &pstDec->iNumStCurrBefore : &pstDec->iNumStCurrAfter;
            (bNeg ? pstDec->aiPocStCurrBefore : pstDec->aiPocStCurrAfter)[*pn] = p;
            (bNeg ? pstDec->aiStCurrBefore : pstDec->aiStCurrAfter)[(*pn)++] = iSlot;
        } else {
            aiPocStFoll[iNumStFoll] = p;
            aiStFoll[iNumStFoll++] = iSlot;
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
            HevcDpbReleaseIfUnused(&pstDec->stDpb, p);
        }
    }
    /* Stand-ins, chosen only now so that no picture released above is named. */
    struct { int *piSlot; const int32_t *piPoc; int iNum, eMark, bCurr; } astSets[] = {
        {pstDec->aiStCurrBefore, pstDec->aiPocStCurrBefore, pstDec->iNumStCurrBefore, HEVC_REF_SHORT, 1},
        {pstDec->aiStCurrAfter, pstDec->aiPocStCurrAfter, pstDec->iNumStCurrAfter, HEVC_REF_SHORT, 1},
        {pstDec->aiLtCurr, pstDec->aiPocLtCurr, pstDec->iNumLtCurr, HEVC_REF_LONG, 1},
        {aiStFoll, aiPocStFoll, iNumStFoll, HEVC_REF_SHORT, 0},
        {aiLtFoll, aiPocLtFoll, iNumLtFoll, HEVC_REF_LONG, 0},
    };
    for (int g = 0; g < 5; g++)
        for (int i = 0; i < astSets[g].iNum; i++) {
            int *piSlot = &astSets[g].piSlot[i];
            if (*piSlot >= 0) {
                *pbFromGenerated |= astSets[g].bCurr && pstDec->stDpb.astPic[*piSlot].bGenerated;
                continue;
            }
            if (bIrapNoRasl) {
                *piSlot = GeneratePicture(pstDec, astSets[g].piPoc[i], astSets[g].eMark, iLayer);
            } else if (astSets[g].bCurr) {
                bMissing = 1;
                *piSlot = Substitute(pstDec, sps, astSets[g].piPoc[i], astSets[g].eMark, iLayer);
            }
        }
    if (bMissing) {
        HEVC_ERR(pstDec, "IHW265D_Decode : some of the refrence frames is not exist!\n");
        return 1;
    }
    return 0;
}

/* RefPicListTemp0/1 (H.265 8-8, 8-10 with the inter-layer sets of F.8.3.4):
 * list 0 cycles StCurrBefore, RefPicSetInterLayer0, StCurrAfter, LtCurr;
 * list 1 StCurrAfter, StCurrBefore, LtCurr, RefPicSetInterLayer0. With two
 * layers RefPicSetInterLayer1 is always empty: the base view is the only
 * reference layer, so G.8.1.3 puts it into set 0 whatever the view ids.
 * Each entry also gets an id of the picture (group * 32 + index) so that
 * distinct pictures can be counted. Returns the number of entries. */
static int TempList(const HW265D_DEC *pstDec, int l, int iNum, int *piSlot, int32_t *piPoc, uint8_t *pucLt,
                    int *piId)
{
    static const int aaiOrder[2][4] = {{0, 3, 1, 2}, {1, 0, 2, 3}};
    const int aiCount[4] = {pstDec->iNumStCurrBefore, pstDec->iNumStCurrAfter, pstDec->iNumLtCurr,
                            pstDec->iNumInterLayer};
    const int aiTotal = aiCount[0] + aiCount[1] + aiCount[2] + aiCount[3];
    int n = 0;
    if (aiTotal == 0)
        return 0;
    while (n < iNum) {
        for (int g = 0; g < 4 && n < iNum; g++) {
            int iGroup = aaiOrder[l][g];
            for (int i = 0; i < aiCount[iGroup] && n < iNum; i++, n++) {
                piSlot[n] = iGroup == 0 ? pstDec->aiStCurrBefore[i] : iGroup == 1 ? pstDec->aiStCurrAfter[i]
                          : iGroup == 2 ? pstDec->aiLtCurr[i] : pstDec->iInterLayerSlot;
                piPoc[n] = iGroup == 0 ? pstDec->aiPocStCurrBefore[i] : iGroup == 1 ? pstDec->aiPocStCurrAfter[i]
                         : iGroup == 2 ? pstDec->aiPocLtCurr[i] : pstDec->iInterLayerPoc;
                /* Inter-layer pictures count as long-term while they are
                 * referenced (F.8.1.3). */
                pucLt[n] = (uint8_t)(iGroup >= 2);
                piId[n] = iGroup * 32 + i;
            }
        }
    }
    return n;
}

#define TEMP_MAX (HEVC_MAX_REFS * 4)

/* Distinct pictures of the current sets that the slice's reference lists
 * name. */
static int CountListedPictures(const HW265D_DEC *pstDec, const HevcSliceHeader *sh)
{
    if (sh->slice_type == HEVC_SLICE_I)
        return 0;
    uint8_t aucUsed[128] = {0};
    int aiSlot[TEMP_MAX], aiId[TEMP_MAX], iCount = 0;
    int32_t aiPoc[TEMP_MAX];
    uint8_t aucLt[TEMP_MAX];
    for (int l = 0; l < (sh->slice_type == HEVC_SLICE_B ? 2 : 1); l++) {
        int n = TempList(pstDec, l, TEMP_MAX, aiSlot, aiPoc, aucLt, aiId);
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l] && i < HEVC_MAX_REFS && n > 0; i++) {
            uint32_t e = sh->ref_pic_list_modification_flag[l] ? sh->list_entry[l][i] : i;
            int iId = aiId[e % (uint32_t)n];
            if (!aucUsed[iId]) {
                aucUsed[iId] = 1;
                iCount++;
            }
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
    /* Most pictures use the grid the tables were last built from. */
    if (pps->uiGridStamp && pps->uiGridStamp == pstDec->uiCtbTablesStamp)
        return;
    for (uint32_t i = 0; i < uiCols; i++)
        for (uint32_t x = pps->col_bd[i]; x < pps->col_bd[i + 1] && x < w; x++)
            ausColOf[x] = (uint16_t)i;
    for (uint32_t j = 0; j < uiRows; j++)
        for (uint32_t y = pps->row_bd[j]; y < pps->row_bd[j + 1] && y < h; y++)
            ausRowOf[y] = (uint16_t)j;
    int bSettled = 0;
    for (uint32_t rs = 0; rs < sps->PicSizeInCtbsY; rs++) {
        uint32_t x = rs % w, y = rs / w, tx = ausColOf[x], ty = ausRowOf[y];
        /* CTBs of the tile rows above, of the tiles left in this tile row,
         * then the position inside the tile. */
        uint32_t v = w * pps->row_bd[ty] + pps->row_height[ty] * pps->col_bd[tx];
        v += (y - pps->row_bd[ty]) * pps->column_width[tx] + x - pps->col_bd[tx];
        /* Only entries that change are written: a worker may still be
         * filtering the picture before with the same tables; other tables
         * wait until it is done. */
        const uint16_t usTile = (uint16_t)(ty * uiCols + tx);
        if (pstDec->puiCtbAddrRsToTs[rs] != v || pstDec->puiCtbAddrTsToRs[v] != rs || pstDec->pusTileId[v] != usTile) {
            if (!bSettled)
                HevcThreadsSettle(pstDec);
            bSettled = 1;
            pstDec->puiCtbAddrRsToTs[rs] = v;
            pstDec->puiCtbAddrTsToRs[v] = rs;
            pstDec->pusTileId[v] = usTile;
        }
    }
    pstDec->uiCtbTablesStamp = pps->uiGridStamp;
}

/* The base-layer picture of the current access unit for a layer-1 picture
 * (F.8.1.3 RefPicSetInterLayer0): decoded, same order count and sequence,
 * same format (two views share one representation format). */
static int FindInterLayerRef(const HW265D_DEC *pstDec, const HevcSps *sps, int32_t iPoc)
{
    int iBest = -1;
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        const HevcPic *p = &pstDec->stDpb.astPic[i];
        if (!p->bInUse || !p->bDecoded || p->bGenerated || p->iLayerId != 0 || p->iPoc != iPoc ||
            p->uiCvsId != pstDec->stPoc.uiCvsId || p->uiWidth != sps->pic_width_in_luma_samples ||
            p->uiHeight != sps->pic_height_in_luma_samples || p->uiBitDepthY != sps->bit_depth_luma)
            continue;
        if (iBest < 0 || p->uiDecodeOrder > pstDec->stDpb.astPic[iBest].uiDecodeOrder)
            iBest = i;
    }
    return iBest;
}

uint32_t HevcStartPicture(HW265D_DEC *pstDec)
{
    HevcSliceHeader *sh = &pstDec->stSh;
    HevcPps *pps = &pstDec->pstPps[sh->slice_pic_parameter_set_id];
    const HevcSps *sps = &pstDec->pstSps[pps->pps_seq_parameter_set_id];
    const HevcVps *vps = &pstDec->pstVps[sps->sps_video_parameter_set_id];
    const int iLayer = sh->nuh_layer_id;
    /* Order counts per layer; sequence ids and decode numbers are shared. */
    HevcPocState *st = iLayer ? &pstDec->stPocL1 : &pstDec->stPoc;
    HevcPocState *st0 = &pstDec->stPoc;
    int t = sh->nal_unit_type;
    uint32_t uiMaxLsb = 1u << sps->log2_max_pic_order_cnt_lsb;

    pstDec->bPicStarted = 0;
    pstDec->bPicFailed = 1;
    pstDec->bSkipPic = 0;
    pstDec->iCurPic = -1;
    pstDec->iNumInterLayer = 0;
    pstDec->iInterLayerSlot = -1;
    pstDec->ucFirstTemporalId = sh->temporal_id;
    pstDec->pstActVps = vps;
    pstDec->pstActSps = sps;
    pstDec->pstActPps = pps;

    int bFirst = iLayer ? !pstDec->bL1Started : st->bFirstPicture;
    int bNoRaslOutput = 0;
    if (IsIrap(t)) {
        bNoRaslOutput = IsIdr(t) || IsBla(t) || bFirst || st->bAfterEos;
        st->bNoRaslOutputFlag = bNoRaslOutput;
        if (bNoRaslOutput && iLayer == 0)
            st0->uiCvsId++;
    } else if (bFirst && iLayer == 0) {
        /* Stream joined without a random access point: decode anyway, the
         * missing references are reported below. */
        st0->uiCvsId++;
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
    if (iLayer)
        pstDec->bL1Started = 1;
    else
        st->bFirstPicture = 0;
    st->bAfterEos = 0;

    /* An access point that starts a sequence ends every reference of the old
     * one (in the base layer: of both layers, the second starts again at its
     * next random access point); its pictures still waiting are output first
     * (older sequence id) unless no_output_of_prior_pics_flag drops them
     * (H.265 C.5.2.2). */
    if (IsIrap(t) && bNoRaslOutput) {
        for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
            HevcPic *p = &pstDec->stDpb.astPic[i];
            if (p->bInUse && (p->iLayerId == iLayer || iLayer == 0)) {
                p->eRefMark = HEVC_REF_UNUSED;
                HevcDpbReleaseIfUnused(&pstDec->stDpb, p);
            }
        }
        if (iLayer == 0)
            pstDec->bL1Started = 0;
        if (sh->no_output_of_prior_pics_flag && st0->uiDecodeOrder > 0) {
            HevcDpbDropAll(pstDec, iLayer);
            if (iLayer == 0)
                HevcDpbDropAll(pstDec, 1);
        }
    }
    /* 1: a reference is missing; the picture is still decoded (with the
     * error flag) and the slice reports the failure. */
    int bFromGenerated = 0;
    uint32_t uiRpsRet = ApplyRps(pstDec, sh, sps, iPoc, iLayer, IsIrap(t) && bNoRaslOutput && !IsIdr(t),
                                 &bFromGenerated);
    if (uiRpsRet == SH_FAIL)
        return SH_FAIL;
    if (iLayer == 1) {
        pstDec->iInterLayerPoc = iPoc;
        pstDec->iInterLayerSlot = FindInterLayerRef(pstDec, sps, iPoc);
        pstDec->iNumInterLayer = sh->NumActiveRefLayerPics > 0;
        if (pstDec->iNumInterLayer && pstDec->iInterLayerSlot < 0) {
            HEVC_ERR(pstDec, "IHW265D_Decode : some of the refrence frames is not exist!\n");
            uiRpsRet = 1;
            pstDec->iInterLayerSlot = Substitute(pstDec, sps, iPoc, HEVC_REF_LONG, iLayer);
        }
    }

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
     * reference) only has to fit the slots next to the current picture. */
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
    /* The layer put out: the one the caller chose when the stream has a
     * second layer, else the base layer. */
    int iOutLayer = pstDec->stParam.uiMvcEnable && pstDec->stParam.uiOutputLayer && vps->vps_max_layers_minus1 > 0 &&
                    vps->vps_extension_flag;
    HevcPic *pic = &pstDec->stDpb.astPic[iSlot];
    pstDec->iCurPic = iSlot;
    pic->bGenerated = 0;
    pic->iPoc = iPoc;
    pic->uiCvsId = st0->uiCvsId;
    pic->iLayerId = iLayer;
    pic->iTemporalId = sh->temporal_id;
    pic->uiDecodeOrder = st0->uiDecodeOrder++;
    pic->uiNalUnitType = (uint32_t)t;
    pic->uiSliceType = sh->slice_type;
    pic->eRefMark = HEVC_REF_UNUSED;
    pic->uiFlags = sh->pic_output_flag && iLayer == iOutLayer ? HEVC_PIC_NEEDED_FOR_OUTPUT : 0;
    pic->uiErrorFlag = uiRpsRet || bFromGenerated ? HEVC_PIC_ERR_MISSING_REF : 0u;
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
    if (IsIrap(t) && iLayer == 0 && sh->NumPicTotalCurr != 0)
        HEVC_WARN(pstDec, "IHW265D_Decode : The NALU Type is %d, the variable NumPocTotalCurr should be equal to 0!\n", t);
    return uiRpsRet ? SH_FAIL : 0;
}

uint32_t HevcBuildRefLists(HW265D_DEC *pstDec)
{
    const HevcSliceHeader *sh = &pstDec->stSh;
    memset(pstDec->stRefs.aiRefList, 0xFF, sizeof(pstDec->stRefs.aiRefList));
    if (sh->slice_type == HEVC_SLICE_I)
        return 0;
    if (pstDec->iNumStCurrBefore > 15 || pstDec->iNumStCurrAfter > 15 || pstDec->iNumLtCurr > 15) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of pstRpsList[ST_CURR_BEF].iNumPic is %d, pstRpsList[ST_CURR_AFT].iNumPic is %d, pstRpsList[LT_CURR].iNumPic is %d,it should not be larger than 15!\n",
                 pstDec->iNumStCurrBefore, pstDec->iNumStCurrAfter, pstDec->iNumLtCurr);
        return SH_FAIL;
    }
    /* Inter-layer prediction may be switched per slice. */
    pstDec->iNumInterLayer = sh->nuh_layer_id > 0 && sh->NumActiveRefLayerPics > 0;
    int iLists = sh->slice_type == HEVC_SLICE_B ? 2 : 1;
    for (int l = 0; l < iLists; l++) {
        int aiSlot[TEMP_MAX], aiId[TEMP_MAX];
        int32_t aiPoc[TEMP_MAX];
        uint8_t aucLt[TEMP_MAX];
        int iTotal = pstDec->iNumStCurrBefore + pstDec->iNumStCurrAfter + pstDec->iNumLtCurr + pstDec->iNumInterLayer;
        int iNum = (int)sh->num_ref_idx_active[l] > iTotal ? (int)sh->num_ref_idx_active[l] : iTotal;
        int n = TempList(pstDec, l, iNum, aiSlot, aiPoc, aucLt, aiId);
        if (n == 0)
            return SH_FAIL;
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l]; i++) {
            uint32_t e = sh->ref_pic_list_modification_flag[l] ? sh->list_entry[l][i] : i;
            if ((int)e >= n)
                return SH_FAIL;
            pstDec->stRefs.aiRefList[l][i] = aiSlot[e];
            pstDec->stRefs.aiRefPoc[l][i] = aiPoc[e];
            pstDec->stRefs.aucRefIsLt[l][i] = aucLt[e];
        }
    }
    return 0;
}
