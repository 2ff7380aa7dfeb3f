/* Slice segment data: CTB addressing in tile scan, substreams at entry
 * points, context initialisation, wavefront and dependent-segment context
 * storage, SAO syntax and the end of the segment (H.265 7.3.8.1-7.3.8.3,
 * 9.3.1, 9.3.2). */
#include "hevc_slicedata.h"

#include <string.h>
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_slice_tasks.h"
#include "hevc_threads.h"

size_t HevcSliceDecBytes(void)
{
    return (sizeof(HevcSliceDec) + 63) / 64 * 64 + HEVC_THREAD_SCRATCH;
}

/* Points record s at the arrays of maps set m. */
static void ViewMaps(HevcSliceDec *s, HevcPicMaps *m)
{
    s->pstMaps = m;
    s->pcQpY = m->pcQpY;
    s->pucIntraMode = m->pucIntraMode;
    s->pucCtDepth = m->pucCtDepth;
    s->pucBlkFlags = m->pucBlkFlags;
    s->pucBsV = m->pucBsV;
    s->pucBsH = m->pucBsH;
    s->pstMv = m->pstMv;
    s->pucMvSet = m->pucMvSet;
    s->pstCtb = m->pstCtb;
    s->aaucScale = m->aaucScale;
}

void HevcSliceDecInitThread(HevcSliceDec *s, HevcPicMaps *mp)
{
    /* Scratch follows the record, 64-byte aligned: prediction blocks,
     * edge buffer, coefficients. */
    uint8_t *p = (uint8_t *)s + (sizeof(HevcSliceDec) + 63) / 64 * 64;
    s->psPred[0] = (int16_t *)p;
    s->psPred[1] = s->psPred[0] + 64 * 64;
    s->pucEdge = p + 2 * 64 * 64 * sizeof(int16_t);
    /* The edge buffer keeps 64 bytes beyond its last row for the SIMD
     * interpolation's tail loads; psCoeff stays 32-byte aligned. */
    s->psCoeff = (int16_t *)(s->pucEdge + 71 * 71 * 2 + 94);
    s->iCoeffDirty = 32 * 32;
    s->uiTsLimit = ~0u;
    HevcDspInit8(&s->stDsp8, HEVC_CPU_ALL);
    HevcDspInit10(&s->stDsp10, HEVC_CPU_ALL);
    ViewMaps(s, mp);
}

static HevcPicMaps *CreateMaps(HW265D_DEC *pstDec)
{
    IHW265D_MALLOC_FXN m = pstDec->stParam.MallocFxn;
    unsigned int ch = pstDec->stParam.uiChannelID;
    HevcMemTable *t = &pstDec->stMem;
    HevcPicMaps *mp = (HevcPicMaps *)HevcMemAlloc(t, m, ch, sizeof(HevcPicMaps), 64);
    if (!mp)
        return NULL;
    mp->pstDecRefs = &pstDec->stRefs;
    mp->uiMaxW4 = pstDec->uiMaxWidth / 4;
    mp->uiMaxH4 = pstDec->uiMaxHeight / 4;
    mp->uiMaxCtbs = pstDec->uiMaxCtbs;
    mp->uiMaxCtbRows = pstDec->uiMaxHeight / 8;
    size_t n4 = (size_t)mp->uiMaxW4 * mp->uiMaxH4;
    mp->pcQpY = (int8_t *)HevcMemAlloc(t, m, ch, n4, 64);
    mp->pucIntraMode = (uint8_t *)HevcMemAlloc(t, m, ch, n4, 64);
    mp->pucCtDepth = (uint8_t *)HevcMemAlloc(t, m, ch, n4, 64);
    mp->pucBlkFlags = (uint8_t *)HevcMemAlloc(t, m, ch, n4, 64);
    mp->pucBsV = (uint8_t *)HevcMemAlloc(t, m, ch, n4, 64);
    mp->pucBsH = (uint8_t *)HevcMemAlloc(t, m, ch, n4, 64);
    mp->pstMv = (HevcMvField *)HevcMemAlloc(t, m, ch, n4 * sizeof(HevcMvField), 64);
    mp->pucMvSet = (uint8_t *)HevcMemAlloc(t, m, ch, n4, 64);
    mp->pstCtb = (HevcCtbInfo *)HevcMemAlloc(t, m, ch, sizeof(HevcCtbInfo) * mp->uiMaxCtbs, 64);
    mp->puiRowCtbs = (uint32_t *)HevcMemAlloc(t, m, ch, sizeof(uint32_t) * HEVC_ROW_STRIDE * mp->uiMaxCtbRows, 64);
    for (int c = 0; c < 3; c++) {
        size_t uiBytes = HevcFilterLineBytes(pstDec->uiMaxWidth, c);
        mp->auiSaoStride[c] = (uint32_t)(uiBytes / (c ? 34 : 66));
        mp->stSao.apucLines[c] = (uint8_t *)HevcMemAlloc(t, m, ch, uiBytes, 64);
        mp->stSao.apucPrev[c] = (uint8_t *)HevcMemAlloc(t, m, ch, mp->auiSaoStride[c], 64);
        if (!mp->stSao.apucLines[c] || !mp->stSao.apucPrev[c])
            return NULL;
    }
    if (!mp->pcQpY || !mp->pucIntraMode || !mp->pucCtDepth || !mp->pucBlkFlags || !mp->pucBsV || !mp->pucBsH ||
        !mp->pstCtb || !mp->pstMv || !mp->pucMvSet || !mp->puiRowCtbs)
        return NULL;
    mp->pstRowCtx = (HevcCabacCtx *)HevcMemAlloc(t, m, ch, sizeof(HevcCabacCtx) * mp->uiMaxCtbRows, 64);
    mp->puiRowWake = (uint32_t *)HevcMemAlloc(t, m, ch, sizeof(uint32_t) * mp->uiMaxCtbRows, 64);
    if (!mp->pstRowCtx || !mp->puiRowWake)
        return NULL;
    return mp;
}

int HevcSliceDecCreate(HW265D_DEC *pstDec)
{
    /* With worker threads, a picture's last rows may still be reconstructed
     * and filtered while the next picture is parsed: the two take turns
     * with two sets of maps. */
    const int iSets = pstDec->stParam.eThreadType == 1 ? 2 : 1;
    for (int i = 0; i < iSets; i++) {
        pstDec->apstMaps[i] = CreateMaps(pstDec);
        if (!pstDec->apstMaps[i])
            return -1;
    }
    pstDec->pstMaps = pstDec->apstMaps[0];
    HevcSliceDec *s = (HevcSliceDec *)HevcMemAlloc(&pstDec->stMem, pstDec->stParam.MallocFxn,
                                                   pstDec->stParam.uiChannelID, HevcSliceDecBytes(), 64);
    if (!s)
        return -1;
    HevcSliceDecInitThread(s, pstDec->pstMaps);
    pstDec->pstSliceDec = s;
    return 0;
}

void HevcSliceDecAttach(HevcSliceDec *s, HevcPicMaps *m)
{
    ViewMaps(s, m);
    s->pstPic = m->pstPic;
    s->pstSps = m->pstSps;
    s->pstPps = m->pstPps;
    s->uiW4 = m->uiW4;
    s->uiH4 = m->uiH4;
    s->bHighDepth = m->bHighDepth;
    s->bScaling = m->bScaling;
    s->bCtxDsValid = 0;
    /* Every record reads the decoder's lists unless it runs commands with
     * lists of its own: also in an intra slice, where a block an earlier,
     * failed decoding of its CTB left motion in is read (concealed anyway). */
    s->pstRefs = m->pstDecRefs;
    HevcReconSelect(s);
}

/* Scaling factors of the active lists (H.265 7.4.5), once per picture. */
static void DeriveScaling(HevcPicMaps *s, const HevcSps *sps, const HevcPps *pps)
{
    s->bScaling = sps->scaling_list_enabled_flag;
    if (!s->bScaling)
        return;
    const HevcScalingList *l = pps->pps_scaling_list_data_present_flag ? &pps->scaling_list : &sps->scaling_list;
    for (int iSizeId = 0; iSizeId < 4; iSizeId++)
        for (int m = 0; m < 6; m++) {
            /* Chroma 32x32 never occurs in 4:2:0; the list holds copies anyway. */
            HevcScalingFactor(iSizeId, l->aucList[iSizeId][m], l->aucDc[iSizeId][m], s->aaucScale[iSizeId][m]);
        }
}

void HevcSliceDecStartPicture(HW265D_DEC *pstDec)
{
    HevcPicMaps *m = pstDec->pstMaps;
    const HevcSps *sps = pstDec->pstActSps;
    if (!m)
        return;
    HevcThreadsFinishPicture(pstDec); /* a picture left unfinished */
    m->pstPic = &pstDec->stDpb.astPic[pstDec->iCurPic];
    m->pstSps = sps;
    m->pstPps = pstDec->pstActPps;
    m->puiCtbAddrRsToTs = pstDec->puiCtbAddrRsToTs;
    m->pusTileId = pstDec->pusTileId;
    m->uiW4 = sps->pic_width_in_luma_samples >> 2;
    m->uiH4 = sps->pic_height_in_luma_samples >> 2;
    m->uiCtbsDone = 0;
    m->uiRowsRecon = m->uiRowsDeblocked = m->uiRowsDone = 0;
    /* SAO line state starts afresh: a copy of a boundary line kept for the
     * picture these maps held before (HevcFilterSaoSplit) is not this one's. */
    m->stSao.bPrevValid = 0;
    for (int c = 0; c < 3; c++)
        m->stSao.apucBelow[c] = NULL;
    memset(m->puiRowCtbs, 0, sizeof(uint32_t) * HEVC_ROW_STRIDE * sps->PicHeightInCtbsY);
    m->bHighDepth = sps->bit_depth_luma > 8 || sps->bit_depth_chroma > 8;
    /* The tables cover 8 and 10 bits with equal luma and chroma depth. */
    m->bUnsupported = sps->bit_depth_luma != sps->bit_depth_chroma ||
                      (sps->bit_depth_luma != 8 && sps->bit_depth_luma != 10) || sps->ChromaArrayType != 1;
    /* Range-extension coding tools (outside Main and Main 10) are not
     * implemented: such pictures are flagged rather than decoded wrongly. */
    m->bUnsupported |= sps->transform_skip_rotation_enabled_flag || sps->transform_skip_context_enabled_flag ||
                       sps->implicit_rdpcm_enabled_flag || sps->explicit_rdpcm_enabled_flag ||
                       sps->extended_precision_processing_flag || sps->intra_smoothing_disabled_flag ||
                       sps->persistent_rice_adaptation_enabled_flag || sps->cabac_bypass_alignment_enabled_flag ||
                       m->pstPps->cross_component_prediction_enabled_flag;
    size_t n4 = (size_t)m->uiW4 * m->uiH4;
    memset(m->pucBlkFlags, 0, n4);
    memset(m->pucMvSet, 0, n4);
    memset(m->pucBsV, 0, n4);
    memset(m->pucBsH, 0, n4);
    memset(m->pstCtb, 0, sizeof(HevcCtbInfo) * sps->PicSizeInCtbsY);
    /* Blocks no slice reaches offer no temporal candidates to later pictures. */
    memset(m->pstPic->pstMotion, 0,
           (size_t)(pstDec->uiMaxWidth >> 4) * ((sps->pic_height_in_luma_samples + 15) >> 4) * sizeof(HevcMotion16));
    DeriveScaling(m, sps, m->pstPps);
    HevcSliceDecAttach(pstDec->pstSliceDec, m);
    HevcThreadsStartPicture(pstDec);
    /* Every CTB is either reconstructed or concealed (written with the
     * closest picture's samples or grey) before the picture completes, so
     * only a picture whose CTBs are never decoded needs its samples set
     * here: mid-grey. Filling the others would only be written over, on the
     * thread that starts the picture while the workers wait. */
    if (m->bUnsupported)
        HevcDpbFillGrey(pstDec, m->pstPic);
}

/* ---- SAO syntax (H.265 7.3.8.3) ---- */

static int DecodeSao(HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t rs)
{
    const HevcSps *sps = s->pstSps;
    const HevcSliceHeader *sh = s->pstSh;
    HevcCabac *c = &s->stCabac;
    HevcCtbInfo *ctb = &s->pstCtb[rs];
    uint32_t W = sps->PicWidthInCtbsY;
    uint32_t rx = rs % W, ry = rs / W;
    int bMergeLeft = 0, bMergeUp = 0;
    if (rx > 0) {
        const HevcCtbInfo *l = &s->pstCtb[rs - 1];
        if (HevcSameUnit(s, rs - 1) && l->bDecoded && l->uiSliceAddrRs == ctb->uiSliceAddrRs)
            bMergeLeft = HevcCabacDecodeBin(c, &s->stCtx.aucState[HEVC_CTX_SAO_MERGE_FLAG]);
    }
    if (ry > 0 && !bMergeLeft) {
        const HevcCtbInfo *u = &s->pstCtb[rs - W];
        if (HevcSameUnit(s, rs - W) && u->bDecoded && u->uiSliceAddrRs == ctb->uiSliceAddrRs)
            bMergeUp = HevcCabacDecodeBin(c, &s->stCtx.aucState[HEVC_CTX_SAO_MERGE_FLAG]);
    }
    HevcSaoParams *p = &ctb->stSao;
    if (bMergeLeft || bMergeUp) {
        *p = s->pstCtb[bMergeLeft ? rs - 1 : rs - W].stSao;
        return 0;
    }
    memset(p, 0, sizeof(*p));
    for (int cIdx = 0; cIdx < 3; cIdx++) {
        if (!(cIdx == 0 ? sh->slice_sao_luma_flag : sh->slice_sao_chroma_flag))
            continue;
        int iDepth = cIdx ? sps->bit_depth_chroma : sps->bit_depth_luma;
        if (cIdx == 2) {
            p->aucType[2] = p->aucType[1];
            p->aucEoClass[2] = p->aucEoClass[1];
        } else {
            int t = 0;
            if (HevcCabacDecodeBin(c, &s->stCtx.aucState[HEVC_CTX_SAO_TYPE_IDX]))
                t = HevcCabacDecodeBypass(c) ? 2 : 1;
            p->aucType[cIdx] = (uint8_t)t;
        }
        if (!p->aucType[cIdx])
            continue;
        int aiAbs[4], aiSign[4] = {0, 0, 0, 0};
        int iMax = (1 << ((iDepth < 10 ? iDepth : 10) - 5)) - 1;
        for (int i = 0; i < 4; i++) {
            int v = 0;
            while (v < iMax && HevcCabacDecodeBypass(c))
                v++;
            aiAbs[i] = v;
        }
        if (p->aucType[cIdx] == 1) {
            for (int i = 0; i < 4; i++)
                if (aiAbs[i])
                    aiSign[i] = HevcCabacDecodeBypass(c);
            p->aucBandPos[cIdx] = (uint8_t)HevcCabacDecodeBypassBits(c, 5);
        } else if (cIdx < 2) {
            p->aucEoClass[cIdx] = (uint8_t)HevcCabacDecodeBypassBits(c, 2);
            if (cIdx == 1)
                p->aucEoClass[2] = p->aucEoClass[1];
        }
        HevcSaoOffsets(aiAbs, aiSign, p->aucType[cIdx] == 2, iDepth, p->asOffset[cIdx]);
    }
    (void)pstDec;
    return 0;
}

/* ---- the CTU loop ---- */

static void InitContexts(HevcSliceDec *s)
{
    const HevcSliceHeader *sh = s->pstSh;
    HevcCabacInitContexts(&s->stCtx, HevcCabacInitType((int)sh->slice_type, sh->cabac_init_flag), sh->SliceQpY);
}

/* Wavefront start of a CTB row: fresh contexts, then those saved after the
 * second CTB of the row above when that CTB is available (H.265 9.3.1). */
static void WppRowStart(HevcSliceDec *s, uint32_t rs)
{
    const HevcSps *sps = s->pstSps;
    uint32_t W = sps->PicWidthInCtbsY;
    InitContexts(s);
    if (rs >= W && W > 1) {
        const HevcCtbInfo *tr = &s->pstCtb[rs - W + 1], *cur = &s->pstCtb[rs];
        if (HevcSameUnit(s, rs - W + 1) && tr->bDecoded && tr->uiSliceAddrRs == cur->uiSliceAddrRs &&
            tr->usTileId == cur->usTileId)
            HevcCabacCtxCopy(&s->stCtx, &s->pstMaps->pstRowCtx[rs / W - 1]);
    }
}

void HevcSetCtbInfo(HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t rs, uint32_t ts)
{
    const HevcSliceHeader *sh = s->pstSh;
    const HevcSps *sps = s->pstSps;
    HevcCtbInfo *ctb = &s->pstCtb[rs];
    ctb->uiSliceAddrRs = sh->SliceAddrRs;
    ctb->cBetaOffsetDiv2 = (int8_t)(sh->slice_beta_offset / 2);
    ctb->cTcOffsetDiv2 = (int8_t)(sh->slice_tc_offset / 2);
    ctb->bDeblockOff = sh->slice_deblocking_filter_disabled_flag;
    ctb->bLfAcrossSlices = sh->slice_loop_filter_across_slices_enabled_flag;
    ctb->bSaoLuma = sh->slice_sao_luma_flag;
    ctb->bSaoChroma = sh->slice_sao_chroma_flag;
    ctb->usTileId = pstDec->pusTileId[ts];
    ctb->bDecoded = 1;
    memset(&ctb->stSao, 0, sizeof(ctb->stSao));
    s->uiCtbAddrRs = rs;
    s->uiCtbAddrTs = ts;
    s->iNbCtbs = -1;
    s->iCtbX = (int)((rs % sps->PicWidthInCtbsY) << sps->CtbLog2SizeY);
    s->iCtbY = (int)((rs / sps->PicWidthInCtbsY) << sps->CtbLog2SizeY);
}

/* Byte range of substream k of the segment (entry points count emulation
 * prevention bytes, as the CABAC reader does). */
static int SubstreamRange(const HevcSliceDec *s, uint32_t k, uint32_t uiFallback, uint32_t *puiStart, uint32_t *puiEnd)
{
    const HevcSliceHeader *sh = s->pstSh;
    uint64_t ullStart = sh->uiDataOffset;
    if (k > sh->num_entry_point_offsets) {
        /* More substreams than entry points: continue where the last ended. */
        *puiStart = uiFallback;
        *puiEnd = s->uiNalSize;
        return uiFallback < s->uiNalSize ? 0 : -1;
    }
    for (uint32_t i = 0; i < k; i++)
        ullStart += (uint64_t)sh->puiEntryPointOffset[i] + 1;
    uint64_t ullEnd = k < sh->num_entry_point_offsets ? ullStart + sh->puiEntryPointOffset[k] + 1 : s->uiNalSize;
    if (ullStart >= s->uiNalSize || ullEnd > s->uiNalSize)
        return -1;
    *puiStart = (uint32_t)ullStart;
    *puiEnd = (uint32_t)ullEnd;
    return 0;
}

uint32_t HevcCtbsDone(const HevcPicMaps *m)
{
    if (m->pstSplit)
        return m->uiCtbsDone;
    uint32_t n = 0;
    for (uint32_t r = 0; r < m->pstSps->PicHeightInCtbsY; r++)
        n += __atomic_load_n(HevcRowCtbs(m, r), __ATOMIC_ACQUIRE);
    return n;
}

/* Counts a reconstructed CTB in its row; a row that completes lets the
 * lagging filters move on. */
static void CtbDone(HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t rs)
{
    HevcPicMaps *m = s->pstMaps;
    const uint32_t W = s->pstSps->PicWidthInCtbsY, ry = rs / W;
    s->pstCtb[rs].bCounted = 1;
    if (m->bThreaded) {
        /* The filter task follows; wavefront rows may wait on this one.
         * Tasks count in their rows only (see HevcCtbsDone). */
        if (m->pstSplit) {
            m->uiCtbsDone++;
            HevcReconTaskCtbDone(m->pstSplit, ry); /* counted in its row once its sample work ran */
        } else {
            HevcThreadsCtbDone(m, ry);
        }
        return;
    }
    if (++*HevcRowCtbs(m, ry) == W && ry == m->uiRowsRecon)
        HevcFilterAdvance(pstDec, s, 0);
}

static uint32_t SliceDataError(HW265D_DEC *pstDec, HevcSliceDec *s)
{
    if (!s->bTask)
        s->pstPic->uiErrorFlag |= HEVC_PIC_ERR_SLICE;
    (void)pstDec;
    return IHW265D_ERR_NAL;
}

/* Wavefront: CTB x of a row may start (even its slice information, which
 * the row above reads through availability checks) once the row above has
 * done CTB x+1. Only rows of the segment's own tasks are waited for: the
 * rows before it were decoded (or given up) by earlier units. -1 when a row
 * above failed. */
static int RowWait(HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t rs, uint32_t W)
{
    if (rs / W <= s->uiTs0 / W)
        return 0;
    uint32_t x = rs % W;
    return HevcThreadsWaitRow(pstDec, s, rs / W - 1, x + 2 < W ? x + 2 : W);
}

/* Decoded-CTB count that single-threaded decoding shows in its messages
 * when the next CTB to decode is ts (bDone: the CTB at ts is done too). */
static int LcuCnt(const HevcSliceDec *s, uint32_t ts, int bDone)
{
    return (int)(s->uiCntBase + (ts - s->uiTs0) + (bDone ? 1u : 0u));
}

#define CTB_FAIL(ts, bDone) HEVC_ERR(pstDec, HEVC_CTB_FAIL_FORMAT, (int)(ts), LcuCnt(s, ts, bDone))

/* The CTU loop from CTB ts, the first of substream k. iRowMode 0: the
 * whole segment on this thread; 1: a task that stops at the end of its
 * substream (a wavefront row, or a tile); 2: the last task, which goes on
 * to the segment's end. Wavefront tasks wait on the row above before each
 * CTB.
 * *puiStop receives the tile-scan address at which single-threaded
 * decoding stops (the CTB after the last decoded one, or the failing one),
 * *pbEnd whether end_of_slice_segment_flag ended it, *piStopState what
 * single-threaded decoding leaves in the CTB at *puiStop: HEVC_STOP_UNTOUCHED,
 * HEVC_STOP_AS_IS (this thread left it as single-threaded decoding would)
 * or HEVC_STOP_INFO (only its slice information set). */
uint32_t HevcDecodeCtbs(HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t ts, uint32_t k, int iRowMode, uint32_t *puiStop,
                        int *pbEnd, int *piStopState)
{
    const HevcSliceHeader *sh = s->pstSh;
    const HevcSps *sps = s->pstSps;
    const HevcPps *pps = s->pstPps;
    HevcPicMaps *m = s->pstMaps;
    const uint8_t *pucNal = s->pucNal;
    const uint32_t W = sps->PicWidthInCtbsY, uiPicCtbs = sps->PicSizeInCtbsY;
    const int bWpp = pps->entropy_coding_sync_enabled_flag;
    uint32_t rs = pstDec->puiCtbAddrTsToRs[ts];
    uint32_t uiStart, uiEnd;
    *puiStop = ts;
    *pbEnd = 0;
    *piStopState = HEVC_STOP_AS_IS;
    if (k == 0) {
        if (iRowMode && bWpp && RowWait(pstDec, s, rs, W))
            return HEVC_NAL_FAIL;
        if (SubstreamRange(s, 0, sh->uiDataOffset, &uiStart, &uiEnd) ||
            HevcCabacStart(&s->stCabac, pucNal, uiStart, uiEnd)) {
            CTB_FAIL(ts, 0);
            return SliceDataError(pstDec, s);
        }
        HevcSetCtbInfo(pstDec, s, rs, ts);
        int bFirstInTile = ts == 0 || pstDec->pusTileId[ts] != pstDec->pusTileId[ts - 1];
        if (bFirstInTile)
            InitContexts(s);
        else if (bWpp && rs % W == 0)
            WppRowStart(s, rs);
        else if (sh->dependent_slice_segment_flag && s->bCtxDsValid)
            HevcCabacCtxCopy(&s->stCtx, &s->stCtxDs);
        else
            InitContexts(s);
        /* qPY_PREV starts from SliceQpY in each slice, tile and wavefront row. */
        if (!sh->dependent_slice_segment_flag || bFirstInTile || (bWpp && rs % W == 0))
            s->iLastQpY = sh->SliceQpY;
        /* CuQpOffsetCb/Cr hold from one coded offset to the next within a slice. */
        if (!sh->dependent_slice_segment_flag)
            s->iCuQpOffsetCb = s->iCuQpOffsetCr = 0;
    } else {
        /* A row or tile task: the substream before ended with
         * end_of_subset_one_bit; this one starts at its entry point. */
        if (bWpp && RowWait(pstDec, s, rs, W))
            return HEVC_NAL_FAIL; /* a row above failed: this task is discarded */
        HevcSetCtbInfo(pstDec, s, rs, ts);
        if (SubstreamRange(s, k, 0, &uiStart, &uiEnd) || HevcCabacStart(&s->stCabac, pucNal, uiStart, uiEnd)) {
            CTB_FAIL(ts, 0);
            s->pstCtb[rs].bDecoded = 0; /* never decoded: concealed */
            return SliceDataError(pstDec, s);
        }
        if (bWpp)
            WppRowStart(s, rs);
        else
            InitContexts(s);
        s->iLastQpY = sh->SliceQpY;
        if (!sh->dependent_slice_segment_flag)
            s->iCuQpOffsetCb = s->iCuQpOffsetCr = 0;
    }
    s->uiSubEnd = uiEnd;

    for (;;) {
        if (sh->slice_sao_luma_flag || sh->slice_sao_chroma_flag)
            DecodeSao(pstDec, s, rs);
        if (HevcDecodeCtu(pstDec, s)) {
            /* Elements out of range were logged where they were read; data
             * that ran out is reported here. */
            if (HevcCabacFailed(&s->stCabac))
                CTB_FAIL(ts, 0);
            /* The half-decoded CTB is concealed as a whole. */
            s->pstCtb[rs].bDecoded = 0;
            return SliceDataError(pstDec, s);
        }
        if (bWpp && W > 1 && rs % W == 1)
            HevcCabacCtxCopy(&m->pstRowCtx[rs / W], &s->stCtx);
        CtbDone(pstDec, s, rs);
        int bEnd = HevcCabacDecodeTerminate(&s->stCabac);
        if (HevcCabacFailed(&s->stCabac)) {
            *puiStop = ts + 1;
            *piStopState = HEVC_STOP_UNTOUCHED;
            CTB_FAIL(ts, 1);
            return SliceDataError(pstDec, s);
        }
        ts++;
        *puiStop = ts;
        *piStopState = HEVC_STOP_UNTOUCHED;
        if (bEnd) {
            *pbEnd = 1;
            if (pps->dependent_slice_segments_enabled_flag) {
                HevcCabacCtxCopy(&s->stCtxDs, &s->stCtx);
                s->bCtxDsValid = 1;
            }
            break;
        }
        if (ts >= uiPicCtbs) {
            HEVC_WARN(pstDec, "IHW265D_Decode : the iCtbAddrTs is %d,it should not be bigger than %u!\n", (int)ts,
                      uiPicCtbs - 1);
            return SliceDataError(pstDec, s);
        }
        /* The next slice's task starts here: this slice ran on into it, which
         * the caller's thread then decodes in order. */
        if (ts == s->uiTsLimit)
            return HEVC_SLICE_OVERRUN;
        uint32_t uiNextRs = pstDec->puiCtbAddrTsToRs[ts];
        int bNewTile = pps->tiles_enabled_flag && pstDec->pusTileId[ts] != pstDec->pusTileId[ts - 1];
        int bNewRow = bWpp && (uiNextRs % W == 0 ||
                               pstDec->pusTileId[ts] != pstDec->pusTileId[pstDec->puiCtbAddrRsToTs[uiNextRs - 1]]);
        if (iRowMode == 1 && (bNewRow || bNewTile)) {
            /* End of this task's substream; the next task goes on. */
            if (!HevcCabacDecodeTerminate(&s->stCabac)) {
                CTB_FAIL(ts, 0);
                *piStopState = HEVC_STOP_INFO;
                return SliceDataError(pstDec, s);
            }
            break;
        }
        rs = uiNextRs;
        *piStopState = HEVC_STOP_AS_IS;
        if (s->pstCtb[rs].bDecoded) {
            CTB_FAIL(ts, 0);
            return SliceDataError(pstDec, s);
        }
        if (iRowMode && bWpp && RowWait(pstDec, s, rs, W))
            return HEVC_NAL_FAIL;
        HevcSetCtbInfo(pstDec, s, rs, ts);
        if (bNewTile || bNewRow) {
            /* end_of_subset_one_bit, byte_alignment(), next substream; a
             * CTB whose substream cannot start was never decoded and is
             * concealed. */
            if (!HevcCabacDecodeTerminate(&s->stCabac)) {
                CTB_FAIL(ts, 0);
                s->pstCtb[rs].bDecoded = 0;
                return SliceDataError(pstDec, s);
            }
            uint32_t uiNext = HevcCabacAlignedPos(&s->stCabac, pucNal);
            k++;
            if (SubstreamRange(s, k, uiNext, &uiStart, &uiEnd) || HevcCabacStart(&s->stCabac, pucNal, uiStart, uiEnd)) {
                CTB_FAIL(ts, 0);
                s->pstCtb[rs].bDecoded = 0;
                return SliceDataError(pstDec, s);
            }
            s->uiSubEnd = uiEnd;
            if (bNewTile)
                InitContexts(s);
            else
                WppRowStart(s, rs);
            s->iLastQpY = sh->SliceQpY;
        }
    }
    return 0;
}

uint32_t HevcDecodeSliceData(HW265D_DEC *pstDec, const uint8_t *pucNal, uint32_t uiSize)
{
    HevcSliceDec *s = pstDec->pstSliceDec;
    const HevcSliceHeader *sh = &pstDec->stSh;
    const HevcSps *sps = pstDec->pstActSps;
    if (pstDec->iCurPic < 0)
        return 0;
    HevcPic *pic = &pstDec->stDpb.astPic[pstDec->iCurPic];
    if (!s || pstDec->pstMaps->bUnsupported) {
        /* Coding tools outside Main / Main 10: the CTBs stay mid-grey and
         * the picture is flagged. */
        pic->uiErrorFlag |= HEVC_PIC_ERR_NOT_DECODED;
        return 0;
    }
    if (sps->pcm_enabled_flag &&
        (sps->pcm_bit_depth_luma > sps->bit_depth_luma || sps->pcm_bit_depth_chroma > sps->bit_depth_chroma)) {
        int bLuma = sps->pcm_bit_depth_luma > sps->bit_depth_luma;
        HEVC_ERR(pstDec, "IHW265D_Decode : value iPcmBitDepth(%u) > iBitDepth(%u), invalid!\n",
                 bLuma ? sps->pcm_bit_depth_luma : sps->pcm_bit_depth_chroma,
                 bLuma ? sps->bit_depth_luma : sps->bit_depth_chroma);
        return SliceDataError(pstDec, s);
    }
    s->pstSh = sh;
    if (sh->slice_type != HEVC_SLICE_I)
        HevcSliceInterSetup(pstDec, s);
    s->pucNal = pucNal;
    s->uiNalSize = uiSize;
    if (s->pstMaps->pstSplit)
        HevcReconTaskSlice(s->pstMaps->pstSplit, s);

    uint32_t uiPicCtbs = sps->PicSizeInCtbsY;
    uint32_t rs = sh->slice_segment_address;
    if (rs >= uiPicCtbs) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the iCtbAddrRs is %u,it should not be bigger than %u!\n", rs, uiPicCtbs - 1);
        s->pstPic->uiErrorFlag |= HEVC_PIC_ERR_SLICE;
        return IHW265D_ERR_SLICEHEADER;
    }
    uint32_t ts = pstDec->puiCtbAddrRsToTs[rs];
    s->uiCntBase = HevcCtbsDone(s->pstMaps);
    s->uiTs0 = ts;
    if (s->pstCtb[rs].bDecoded) {
        CTB_FAIL(ts, 0);
        s->pstPic->uiErrorFlag |= HEVC_PIC_ERR_SLICE;
        return IHW265D_ERR_SLICEHEADER;
    }
    /* Slices come in tile-scan order. One that starts before CTBs a slice
     * decoded already (a damaged stream: slices swapped or repeated) has
     * edges towards them that were derived before its side existed, so the
     * picture is flagged; otherwise every CTB from here on is untouched,
     * which its tasks rely on. */
    int bAfterDecoded = 0;
    for (uint32_t x = ts + 1; x < uiPicCtbs && !bAfterDecoded; x++)
        bAfterDecoded = s->pstCtb[pstDec->puiCtbAddrTsToRs[x]].bDecoded;
    if (bAfterDecoded)
        s->pstPic->uiErrorFlag |= HEVC_PIC_ERR_SLICE;
    uint32_t uiTaskRet;
    if (!bAfterDecoded && HevcSliceTasksRun(pstDec, pucNal, uiSize, ts, &uiTaskRet))
        return uiTaskRet;
    const int iMode = HevcThreadsTaskMode(pstDec, !bAfterDecoded);
    if (iMode)
        return HevcThreadsDecodeTasks(pstDec, ts, iMode);
    uint32_t uiStop;
    int bEnd, iState;
    uint32_t uiRet = HevcDecodeCtbs(pstDec, s, ts, 0, 0, &uiStop, &bEnd, &iState);
    if (s->pstMaps->pstSplit)
        HevcReconTaskFlush(s->pstMaps->pstSplit);
    return uiRet;
}

/* CTBs that no slice reached (or whose slice failed inside them) take the
 * co-located samples of the decoded picture closest in output order, so a
 * viewer sees the last good content rather than grey; without such a
 * picture they stay mid-grey. No edge of theirs is deblocked. */
static void ConcealMissingCtbs(HW265D_DEC *pstDec, HevcSliceDec *s)
{
    const HevcSps *sps = s->pstSps;
    const HevcPic *cur = s->pstPic;
    const HevcPic *src = NULL;
    int32_t iBest = 0;
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        const HevcPic *p = &pstDec->stDpb.astPic[i];
        if (!p->bInUse || !p->bDecoded || p == cur || p->iLayerId != cur->iLayerId || p->uiWidth != cur->uiWidth ||
            p->uiHeight != cur->uiHeight || p->uiBitDepthY != cur->uiBitDepthY || p->uiBitDepthC != cur->uiBitDepthC)
            continue;
        int32_t d = p->iPoc > cur->iPoc ? p->iPoc - cur->iPoc : cur->iPoc - p->iPoc;
        if (!src || d < iBest) {
            src = p;
            iBest = d;
        }
    }
    const int iBps = s->bHighDepth ? 2 : 1, iCtb = (int)sps->CtbSizeY;
    const int iPw = (int)sps->pic_width_in_luma_samples, iPh = (int)sps->pic_height_in_luma_samples;
    for (uint32_t rs = 0; rs < sps->PicSizeInCtbsY; rs++) {
        if (s->pstCtb[rs].bDecoded)
            continue;
        const int x0 = (int)(rs % sps->PicWidthInCtbsY) * iCtb, y0 = (int)(rs / sps->PicWidthInCtbsY) * iCtb;
        const int w = x0 + iCtb > iPw ? iPw - x0 : iCtb, h = y0 + iCtb > iPh ? iPh - y0 : iCtb;
        for (int c = 0; c < 3; c++) {
            const int iSh = c ? 1 : 0;
            const uint32_t uiGrey = 1u << ((c ? cur->uiBitDepthC : cur->uiBitDepthY) - 1);
            /* Without a source the CTB is written grey here, not left from
             * the slot's fill: a worker may have decoded into a CTB that
             * single-threaded decoding never reaches. */
            uint16_t ausGrey[64]; /* one CTB row: CTBs are at most 64 wide */
            const uint8_t *pucFrom = (const uint8_t *)ausGrey;
            if (!src && iBps == 1)
                memset(ausGrey, (int)uiGrey, sizeof(ausGrey));
            else if (!src)
                for (int x = 0; x < w >> iSh; x++)
                    ausGrey[x] = (uint16_t)uiGrey;
            for (int y = y0 >> iSh; y < (y0 + h) >> iSh; y++) {
                size_t uiOff = ((size_t)y * cur->auiStride[c] + (size_t)(x0 >> iSh)) * iBps;
                if (src)
                    pucFrom = src->apucPlane[c] + uiOff;
                memcpy(cur->apucPlane[c] + uiOff, pucFrom, (size_t)(w >> iSh) * iBps);
            }
        }
        /* Its own edges and those of the CTBs right of and below it. */
        for (int y = y0 >> 2; y < (y0 + h) >> 2; y++) {
            memset(s->pucBsV + (size_t)y * s->uiW4 + (x0 >> 2), 0, (size_t)(w >> 2));
            memset(s->pucBsH + (size_t)y * s->uiW4 + (x0 >> 2), 0, (size_t)(w >> 2));
            if (x0 + iCtb < iPw)
                s->pucBsV[(size_t)y * s->uiW4 + ((x0 + iCtb) >> 2)] = 0;
        }
        if (y0 + iCtb < iPh)
            memset(s->pucBsH + (size_t)((y0 + iCtb) >> 2) * s->uiW4 + (x0 >> 2), 0, (size_t)(w >> 2));
    }
}

void HevcSliceDecFinishPicture(HW265D_DEC *pstDec, int bMayDefer)
{
    HevcSliceDec *s = pstDec->pstSliceDec;
    HevcPicMaps *m = pstDec->pstMaps;
    if (!s)
        return;
    /* The reconstruction task, or the tail task, completes the picture
     * behind the next one's decoding. */
    if (bMayDefer && (HevcReconTaskDefer(pstDec) || HevcThreadsDeferTail(pstDec))) {
        HevcThreadsFinishPicture(pstDec);
        return;
    }
    /* Concealment below reads other pictures. */
    HevcThreadsSettle(pstDec);
    /* The filter task has taken every row it could; the rest is done here. */
    HevcThreadsFinishPicture(pstDec);
    if (!m->pstPic || pstDec->iCurPic < 0 || m->pstPic != &pstDec->stDpb.astPic[pstDec->iCurPic])
        return;
    const HevcSps *sps = m->pstSps;
    if (HevcCtbsDone(m) < sps->PicSizeInCtbsY && !(m->pstPic->uiErrorFlag & HEVC_PIC_ERR_NOT_DECODED)) {
        m->pstPic->uiErrorFlag |= HEVC_PIC_ERR_SLICE;
        ConcealMissingCtbs(pstDec, s);
    }
    HevcSliceDecAttach(s, m);
    HevcFilterAdvance(pstDec, s, 1);
    m->pstPic = NULL;
}
