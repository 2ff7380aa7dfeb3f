/* NAL unit header checks, dispatch by type and picture boundaries
 * (H.265 7.3.1, 7.4.2.4.4). */
#include <string.h>
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_threads.h"
#include "hevc_slice_tasks.h"
#include "hevc_slicedata.h"

static int IsVcl(int t) { return (t >= 0 && t <= 9) || (t >= 16 && t <= 21); }

/* Units that open a new access unit when a picture is in progress. */
static int StartsAccessUnit(int t)
{
    return t == HEVC_NAL_VPS || t == HEVC_NAL_SPS || t == HEVC_NAL_PPS || t == HEVC_NAL_AUD ||
           t == HEVC_NAL_SEI_PREFIX || (t >= 41 && t <= 44) || (t >= 48 && t <= 55) ||
           t == HEVC_NAL_EOS || t == HEVC_NAL_EOB;
}

uint64_t HevcTimeStampAt(const HW265D_DEC *pstDec, uint64_t ullAbs)
{
    uint64_t ullTs = 0;
    uint32_t n = pstDec->uiTsCount;
    /* Newest entry whose data starts at or before the position. */
    for (uint32_t k = 0; k < n; k++) {
        uint32_t i = (pstDec->uiTsHead + HEVC_TS_RING - 1 - k) % HEVC_TS_RING;
        if (pstDec->aullTsPos[i] <= ullAbs)
            return pstDec->aullTsVal[i];
        ullTs = pstDec->aullTsVal[i];
    }
    return ullTs;
}

uint32_t HevcFinishPicture(HW265D_DEC *pstDec, int bMayDefer)
{
    uint32_t uiRet = HEVC_NAL_CONSUMED;
    if (pstDec->bPicStarted && pstDec->iCurPic >= 0) {
        HevcPic *p = &pstDec->stDpb.astPic[pstDec->iCurPic];
        /* In-loop filters; CTBs no slice reached stay mid-grey (flagged). */
        HevcSliceDecFinishPicture(pstDec, bMayDefer);
        p->bDecoded = 1;
        p->eRefMark = HEVC_REF_SHORT;
        pstDec->bPicReady = 1;
        uiRet = HEVC_NAL_PIC_DONE;
    }
    pstDec->bPicStarted = 0;
    pstDec->bPicFailed = 0;
    pstDec->bSkipPic = 0;
    pstDec->iCurPic = -1;
    pstDec->iNalNum = 0;
    pstDec->iNalKept = 0;
    pstDec->iSliceNalNum = 0;
    return uiRet;
}

static void Trace(HW265D_DEC *pstDec, int eKind, const void *pRecord)
{
    if (pstDec->pfnTrace)
        pstDec->pfnTrace(pstDec->pTraceUser, eKind, pRecord);
}

static void TraceSlice(HW265D_DEC *pstDec, int bSkipped)
{
    if (!pstDec->pfnTrace)
        return;
    HevcTraceSlice t;
    memset(&t, 0, sizeof(t));
    const HevcSliceHeader *sh = &pstDec->stSh;
    t.pstSh = sh;
    t.bSkipped = bSkipped;
    t.iPoc = pstDec->iCurPic >= 0 ? pstDec->stDpb.astPic[pstDec->iCurPic].iPoc : 0;
    t.iNumPocTotalCurr = sh->NumPicTotalCurr;
    t.iNumStCurrBefore = pstDec->iNumStCurrBefore;
    t.iNumStCurrAfter = pstDec->iNumStCurrAfter;
    t.iNumLtCurr = pstDec->iNumLtCurr;
    t.iNumStFoll = pstDec->iNumStFoll;
    t.iNumLtFoll = pstDec->iNumLtFoll;
    for (int l = 0; l < 2; l++) {
        t.iNumRef[l] = (int)sh->num_ref_idx_active[l];
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l] && i < 16; i++) {
            t.aiRefPoc[l][i] = pstDec->stRefs.aiRefPoc[l][i];
            t.aucRefIsLt[l][i] = pstDec->stRefs.aucRefIsLt[l][i];
        }
    }
    pstDec->pfnTrace(pstDec->pTraceUser, HEVC_TRACE_SLICE, &t);
}

static uint32_t DecodeSliceNal(HW265D_DEC *pstDec, HevcBits *b, int iType, int iLayer, int iTid,
                               const uint8_t *pucNal, uint32_t uiSize)
{
    HevcSliceHeader *sh = &pstDec->stSh;
    int bFirst = (int)HevcBitsPeek(b, 1);
    if (bFirst) {
        pstDec->bPicStarted = 0;
        pstDec->bPicFailed = 0;
        pstDec->bSkipPic = 0;
        pstDec->bShValid = 0;
        pstDec->pstActPps = NULL;
    }
    /* A segment of the other layer than the picture being assembled: its
     * own picture's first segment was lost. It must not touch the header
     * the current picture's later segments continue. */
    if (!bFirst && pstDec->bPicStarted && pstDec->stDpb.astPic[pstDec->iCurPic].iLayerId != iLayer) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the first slice segment in pic is not valid, can't get the poc!\n");
        return IHW265D_ERR_SLICEHEADER;
    }
    /* A slice a task decoded together with an earlier one: its header,
     * messages and code as it would have had now. */
    const HevcSliceJob *pstJob = bFirst ? NULL : HevcSliceTasksHeld(pstDec);
    if (pstJob) {
        pstDec->iSliceNalNum++;
        TraceSlice(pstDec, 0);
        return HevcSliceTasksReplay(pstDec, pstJob);
    }
    sh->nal_unit_type = (uint8_t)iType;
    sh->nuh_layer_id = (uint8_t)iLayer;
    sh->temporal_id = (uint8_t)iTid;
    uint32_t uiRet = HevcParseSliceHeader(pstDec, b, sh);
    if (uiRet) {
        if (bFirst)
            pstDec->bPicFailed = 1;
        else if (pstDec->bPicStarted && pstDec->iCurPic >= 0)
            pstDec->stDpb.astPic[pstDec->iCurPic].uiErrorFlag |= HEVC_PIC_ERR_SLICE;
        return uiRet;
    }
    if (!bFirst && pstDec->bSkipPic) {
        TraceSlice(pstDec, 1);
        return HEVC_NAL_CONSUMED;
    }
    uint32_t uiPicRet = 0;
    if (bFirst) {
        uiPicRet = HevcStartPicture(pstDec);
        if (pstDec->bSkipPic) {
            TraceSlice(pstDec, 1);
            return HEVC_NAL_CONSUMED;
        }
        if (!pstDec->bPicStarted)
            return uiPicRet;
        HevcSliceDecStartPicture(pstDec);
    } else if (!pstDec->bPicStarted) {
        if (pstDec->bPicFailed)
            HEVC_ERR(pstDec, "IHW265D_Decode : it's not first slice segment and failed to allocate DPB before!\n");
        else
            HEVC_ERR(pstDec, "IHW265D_Decode : the first slice segment in pic is not valid, can't get the poc!\n");
        return IHW265D_ERR_SLICEHEADER;
    }
    /* The worker pool takes at most HEVC_THREAD_MAX_SLICES slice units of a
     * picture. */
    if (pstDec->iSliceNalNum >= HEVC_THREAD_MAX_SLICES && pstDec->pstThreads && !pstDec->pstThreads->bOff) {
        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "ThreadDecodeSliceSegmentData", IHW265D_ERR_SLICEHEADER);
        pstDec->stDpb.astPic[pstDec->iCurPic].uiErrorFlag |= HEVC_PIC_ERR_SLICE;
        return IHW265D_ERR_SLICEHEADER;
    }
    pstDec->iSliceNalNum++;
    uint32_t uiListRet = HevcBuildRefLists(pstDec);
    if (uiListRet)
        pstDec->stDpb.astPic[pstDec->iCurPic].uiErrorFlag |= HEVC_PIC_ERR_SLICE;
    TraceSlice(pstDec, 0);
    uint32_t uiDataRet = HevcDecodeSliceData(pstDec, pucNal, uiSize);
    return uiPicRet ? uiPicRet : uiListRet ? uiListRet : uiDataRet;
}

uint32_t HevcDecodeNal(HW265D_DEC *pstDec, const uint8_t *pucNal, uint32_t uiSize, uint32_t uiOffset)
{
    /* A picture whose end a worker still runs is complete before any unit
     * after the one that ended it. */
    HevcThreadsSettle(pstDec);
    if (uiSize < 2)
        return HEVC_NAL_CONSUMED; /* stray bytes between start codes */
    if ((uint64_t)uiOffset + uiSize > pstDec->uiStreamCap) {
        HEVC_WARN(pstDec, "IHW265D_Decode : The Stream address offset is %d,should be less than MAXDecoderByte !\n", (int)uiOffset);
        return HEVC_NAL_FAIL;
    }
    HevcBits stBits, *b = &stBits;
    HevcBitsInit(b, pucNal, uiSize);
    int iForbidden = (int)HevcBitsFlag(b);
    int iType = (int)HevcBitsRead(b, 6);
    int iLayer = (int)HevcBitsRead(b, 6);
    int iTidPlus1 = (int)HevcBitsRead(b, 3);
    int iTid = iTidPlus1 - 1;
    if (iForbidden)
        HEVC_WARN(pstDec, "IHW265D_Decode : The value of forbidden_zero_bit is %d, should be 0!\n", iForbidden);
    if (iLayer > 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of nuh_layer_id is %d, should be equal to 0 or 1!\n", iLayer);
        return IHW265D_ERR_NAL;
    }
    if (iTidPlus1 == 0) {
        HEVC_WARN(pstDec, "IHW265D_Decode : The value of nuh_temporal_id is %d, should be in the range of 0~6!\n", iTid);
        iTid = 0;
    }
    if (iType >= 16 && iType <= 23 && iTid != 0)
        HEVC_WARN(pstDec, "IHW265D_Decode : The value of nuh_temporal_id is %d, it should be equal to 0 when nal_unit_type is in the range of BLA_W_LP~RSV_IRAP_VCL23!\n",
                  iTid);
    if ((iType == HEVC_NAL_TSA_R || iType == HEVC_NAL_STSA_N) && iTid == 0)
        HEVC_WARN(pstDec, "IHW265D_Decode : The value of nuh_temporal_id is %d, it should not be equal to 0 when nal_unit_type is in the range of TSA_R~STSA_N!\n",
                  iTid);
    if ((iType == HEVC_NAL_VPS || iType == HEVC_NAL_SPS || iType == HEVC_NAL_EOS || iType == HEVC_NAL_EOB) && iTid != 0)
        HEVC_WARN(pstDec, "IHW265D_Decode : The value of nuh_temporal_id is %d, it should not be equal to 0 when nal_unit_type is equal to VPS_NUT or SPS_NUT or EOS_NUT or EOB_NUT!\n",
                  iTid);
    /* The second layer is decoded only when the caller asked for it; else
     * its units are dropped here and the base layer decodes as if alone. A
     * layer-1 picture follows the base picture of its access unit, which is
     * finished first (its first slice segment is handled like the start of
     * a new access unit below). */
    if (iLayer == 1 && !pstDec->stParam.uiMvcEnable)
        return HEVC_NAL_CONSUMED;

    uint32_t uiDone = HEVC_NAL_CONSUMED;
    const int bFirstSlice = IsVcl(iType) && HevcBitsPeek(b, 1);
    int bNewAu = StartsAccessUnit(iType) || bFirstSlice;
    if (bNewAu && (pstDec->bPicStarted || pstDec->bSkipPic || pstDec->bPicFailed))
        uiDone = HevcFinishPicture(pstDec, bFirstSlice && iLayer == 0);
    if (pstDec->bPicStarted) {
        if (pstDec->iNalNum >= HEVC_MAX_NAL_PER_PIC) {
            HEVC_WARN(pstDec, "IHW265D_Decode : The NAL Num is %d,should be less than MAX_SLICE_NUM-1 !\n", pstDec->iNalNum);
            return HEVC_NAL_FAIL;
        }
    }
    pstDec->uiCurNalOffset = uiOffset;
    uint32_t uiRet = HEVC_NAL_CONSUMED;
    switch (iType) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 8: case 9:
    case 16: case 17: case 18: case 19: case 20: case 21:
        uiRet = DecodeSliceNal(pstDec, b, iType, iLayer, iTid, pucNal, uiSize);
        break;
    case HEVC_NAL_VPS:
        uiRet = HevcParseVps(pstDec, b, iTid);
        if (!uiRet)
            Trace(pstDec, HEVC_TRACE_VPS, &pstDec->pstVps[pstDec->pstVpsTmp->vps_video_parameter_set_id]);
        break;
    case HEVC_NAL_SPS:
        uiRet = HevcParseSps(pstDec, b, iLayer);
        if (!uiRet)
            Trace(pstDec, HEVC_TRACE_SPS, &pstDec->pstSps[pstDec->pstSpsTmp->sps_seq_parameter_set_id]);
        break;
    case HEVC_NAL_PPS:
        uiRet = HevcParsePps(pstDec, b);
        if (!uiRet)
            Trace(pstDec, HEVC_TRACE_PPS, &pstDec->pstPps[pstDec->pstPpsTmp->pps_pic_parameter_set_id]);
        break;
    case HEVC_NAL_EOS:
    case HEVC_NAL_EOB:
        /* A second-layer end of sequence ends only that layer's. */
        if (iLayer == 0) {
            pstDec->stPoc.bAfterEos = 1;
            pstDec->stPoc.bPrevTid0Valid = 0;
        }
        pstDec->bL1Started = 0;
        pstDec->stPocL1.bPrevTid0Valid = 0;
        break;
    case HEVC_NAL_SEI_PREFIX:
    case HEVC_NAL_SEI_SUFFIX:
        uiRet = HevcParseSei(pstDec, b, iType == HEVC_NAL_SEI_PREFIX);
        break;
    default:
        HEVC_ERR(pstDec, "IHW265D_Decode : The NAL type %d is not support !\n", iType);
        break;
    }
    if (pstDec->bPicStarted && pstDec->iNalNum < HEVC_MAX_NAL_PER_PIC) {
        HevcNalInfo *n = &pstDec->pstNalList[pstDec->iNalNum++];
        n->ucType = (uint8_t)iType;
        n->ucLayerId = (uint8_t)iLayer;
        n->ucTemporalId = (uint8_t)iTid;
        n->uiOffset = uiOffset;
        n->uiSize = uiSize;
    }
    if (uiRet)
        return uiRet;
    return uiDone;
}
