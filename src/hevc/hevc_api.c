/* The four interface calls: creation checks, memory, stream buffering with
 * start-code scanning across calls, flush and deletion. */
#include <string.h>
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_slicedata.h"
#include "hevc_threads.h"

#define SCAN_LIMIT 500000000u       /* bytes covered by one start-code scan */
#define START_CODE_LIMIT 209715200u /* a start code further in counts as absent */

static uint32_t Align64(uint32_t v) { return (v + 63u) & ~63u; }

unsigned int IHW265D_GetVersion(IHW265D_VERSION *pstVersion)
{
    if (!pstVersion)
        return IHW265D_ERR_NULL;
    memset(pstVersion, 0, sizeof(*pstVersion));
    strncpy(pstVersion->cVersionChar, "H265Dec V1.2.1 ipcamera", sizeof(pstVersion->cVersionChar) - 1);
    strncpy(pstVersion->cReleaseTime, "2020-10-10", sizeof(pstVersion->cReleaseTime) - 1);
    pstVersion->uiCompileVersion = 1916;
    return IHW265D_OK;
}

static void *Alloc(HW265D_DEC *d, size_t size, unsigned int uiAlign)
{
    return HevcMemAlloc(&d->stMem, d->stParam.MallocFxn, d->stParam.uiChannelID, size, uiAlign);
}

static void Destroy(HW265D_DEC *d)
{
    d->uiValid = 0;
    HevcThreadsDestroy(d);
    HevcReconTaskDestroy(d);
    if (HevcMemReleaseAll(&d->stMem, d->stParam.FreeFxn, d->stParam.uiChannelID))
        HEVC_ERR(d, "HW265D_DestroyMM: iMemBlockIdx[%d] is invalid!\n", d->stMem.iBlockNum);
    HevcAlignedFree(d->stParam.FreeFxn, d->stParam.uiChannelID, d);
}

static int AllocStores(HW265D_DEC *d)
{
    IHW265D_INIT_PARAM *p = &d->stParam;
    d->pstVps = (HevcVps *)Alloc(d, sizeof(HevcVps) * (size_t)p->iMaxVPSNum, 16);
    d->pstSps = (HevcSps *)Alloc(d, sizeof(HevcSps) * (size_t)p->iMaxSPSNum, 16);
    d->pstPps = (HevcPps *)Alloc(d, sizeof(HevcPps) * (size_t)p->iMaxPPSNum, 16);
    d->pstVpsTmp = (HevcVps *)Alloc(d, sizeof(HevcVps), 16);
    d->pstSpsTmp = (HevcSps *)Alloc(d, sizeof(HevcSps), 16);
    d->pstPpsTmp = (HevcPps *)Alloc(d, sizeof(HevcPps), 16);
    d->stSei.pucUserData = (uint8_t *)Alloc(d, HEVC_MAX_SEI_PAYLOAD, 16);
    d->pstNalList = (HevcNalInfo *)Alloc(d, sizeof(HevcNalInfo) * HEVC_MAX_NAL_PER_PIC, 16);
    /* CTB tables sized for the smallest CTB the checks let through (8) of
     * the largest picture. */
    d->uiMaxCtbs = (d->uiMaxWidth / 8) * (d->uiMaxHeight / 8);
    d->puiCtbAddrRsToTs = (uint32_t *)Alloc(d, sizeof(uint32_t) * d->uiMaxCtbs, 16);
    d->puiCtbAddrTsToRs = (uint32_t *)Alloc(d, sizeof(uint32_t) * d->uiMaxCtbs, 16);
    d->pusTileId = (uint16_t *)Alloc(d, sizeof(uint16_t) * d->uiMaxCtbs, 16);
    d->uiEntryPointCap = d->uiMaxCtbs;
    d->puiEntryPoints = (uint32_t *)Alloc(d, sizeof(uint32_t) * d->uiEntryPointCap, 16);
    return d->pstVps && d->pstSps && d->pstPps && d->pstVpsTmp && d->pstSpsTmp && d->pstPpsTmp &&
                   d->stSei.pucUserData && d->pstNalList && d->puiCtbAddrRsToTs && d->puiCtbAddrTsToRs &&
                   d->pusTileId && d->puiEntryPoints
               ? 0
               : -1;
}

unsigned int IHW265D_Create(IH265DEC_HANDLE *phDecoder, IHW265D_INIT_PARAM *p)
{
    if (!phDecoder || !p)
        return IHW265D_ERR_NULL;
    *phDecoder = NULL;
    if (!p->LogFxn)
        return IHW265D_ERR_LOGFXN;
    IHW265D_LOG_FXN log = p->LogFxn;
    unsigned int ch = p->uiChannelID;
    if (!p->MallocFxn) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->MallocFxn is NULL !\n");
        return IHW265D_ERR_MALLOCFXN;
    }
    if (!p->FreeFxn) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->FreeFxn is NULL !\n");
        return IHW265D_ERR_FREEFXN;
    }
    if ((unsigned)p->eOutputOrder > 1u) {
        log(ch, IHW265D_LOG_WARNING,
            "IHW265D_Create : pstInitParam->eOutputOrder is invalid, default to be IH265D_DISPLAY_ORDER!\n");
        p->eOutputOrder = IH265D_DISPLAY_ORDER;
    }
    if ((unsigned)p->iMaxWidth - 8u > 16384u - 8u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->iMaxWidth should be in the range of %d ~ %d !\n", 8, 16384);
        return IHW265D_ERR_WIDTH;
    }
    if ((unsigned)p->iMaxHeight - 8u > 16384u - 8u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->iMaxHeight should be in the range of %d ~ %d !\n", 8, 16384);
        return IHW265D_ERR_HEIGHT;
    }
    if ((unsigned)p->iMaxRefNum > 15u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->iMaxRefNum should be in the range of 0 ~ %d !\n", 15);
        return IHW265D_ERR_REFNUM;
    }
    if ((unsigned)p->iMaxVPSNum - 1u > 15u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->iMaxVPSNum should be in the range of 1 ~ %d !\n", 16);
        return IHW265D_ERR_VPSNUM;
    }
    if ((unsigned)p->iMaxSPSNum - 1u > 15u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->iMaxSPSNum should be in the range of 1 ~ %d !\n", 16);
        return IHW265D_ERR_SPSNUM;
    }
    if ((unsigned)p->iMaxPPSNum - 1u > 63u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->iMaxPPSNum should be in the range of 1 ~ %d !\n", 64);
        return IHW265D_ERR_PPSNUM;
    }
    if (p->iBitDepth != 8 && p->iBitDepth != 10) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->iBitDepth should be 8 or 10 !\n");
        return IHW265D_ERR_REFNUM;
    }
    if ((unsigned)p->eThreadType > 1u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->eThreadType should be 0 or 1 !\n");
        return IHW265D_ERR_THREADTYPE;
    }
    if (p->uiOutputLayer > 1u) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : pstInitParam->uiOutputLayer should be range [0, 1] !\n");
        return IHW265D_ERR_NULL;
    }
    if (!p->uiMvcEnable && p->uiOutputLayer != 0) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : uiMvcEnable is disable, uiOutputLayer should be 0 !\n");
        return IHW265D_ERR_NULL;
    }
    HW265D_DEC *d = (HW265D_DEC *)HevcAlignedAlloc(p->MallocFxn, ch, sizeof(HW265D_DEC), 16);
    if (!d) {
        log(ch, IHW265D_LOG_ERROR, "malloc for decoder handle failed\n");
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : p_dec_obj malloc failed!\n");
        return IHW265D_ERR_MALLOC;
    }
    d->stParam = *p;
    d->uiMaxWidth = Align64((uint32_t)p->iMaxWidth);
    d->uiMaxHeight = Align64((uint32_t)p->iMaxHeight);
    d->iCurPic = -1;
    d->stPoc.bFirstPicture = 1;
    if (AllocStores(d) || HevcDpbCreate(d) || HevcSliceDecCreate(d) || HevcReconTaskCreate(d)) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : malloc failed!\n");
        Destroy(d);
        return IHW265D_ERR_MALLOC;
    }
    uint64_t ullArea = (uint64_t)d->uiMaxWidth * d->uiMaxHeight;
    d->uiStreamCap = ullArea > HEVC_SMALL_STREAM_AREA ? (uint32_t)(ullArea * 3) : HEVC_SMALL_STREAM_BUF;
    d->pucStream = (uint8_t *)Alloc(d, d->uiStreamCap, 64);
    if (!d->pucStream) {
        log(ch, IHW265D_LOG_ERROR, "IHW265D_Create : malloc failed!\n");
        Destroy(d);
        return IHW265D_ERR_MALLOC;
    }
    if (p->eThreadType == 1) {
        uint32_t uiRet = HevcThreadsCreate(d);
        if (uiRet) {
            Destroy(d);
            return uiRet;
        }
    }
    d->uiValid = HEVC_VALID_WORD;
    *phDecoder = d;
    return IHW265D_OK;
}

unsigned int IHW265D_Delete(IH265DEC_HANDLE hDecoder)
{
    if (!hDecoder)
        return IHW265D_ERR_NULL;
    if (hDecoder->uiValid != HEVC_VALID_WORD)
        return IHW265D_ERR_HANDLE;
    Destroy(hDecoder);
    return IHW265D_OK;
}

int HevcSetTrace(IH265DEC_HANDLE hDecoder, HevcTraceFxn pfnTrace, void *pUser)
{
    if (!hDecoder || hDecoder->uiValid != HEVC_VALID_WORD)
        return -1;
    hDecoder->pfnTrace = pfnTrace;
    hDecoder->pTraceUser = pUser;
    return 0;
}

int HevcSetRelaxedChecks(IH265DEC_HANDLE hDecoder, uint32_t uiMask)
{
    if (!hDecoder || hDecoder->uiValid != HEVC_VALID_WORD)
        return -1;
    hDecoder->uiRelaxedChecks = uiMask;
    return 0;
}

/* First "00 00 01" at or after uiFrom, or -1. */
static int64_t FindStartCode(const uint8_t *buf, uint32_t uiFrom, uint32_t uiEnd)
{
    if (uiEnd - uiFrom > SCAN_LIMIT)
        uiEnd = uiFrom + SCAN_LIMIT;
    for (uint32_t i = uiFrom; i + 2 < uiEnd; i++) {
        if (buf[i + 2] > 1) {
            i += 2; /* no start code can end at i+2 or begin before i+3 */
            continue;
        }
        if (buf[i] == 0 && buf[i + 1] == 0 && buf[i + 2] == 1)
            return i > START_CODE_LIMIT ? -1 : (int64_t)i;
    }
    return -1;
}

/* Drops the first uiCount bytes of the stream buffer, moving the rest to
 * the front; list entries of the picture being assembled follow their
 * bytes, and those whose bytes went are no longer kept. */
static void Discard(HW265D_DEC *d, uint32_t uiCount)
{
    if (uiCount > d->uiFill)
        uiCount = d->uiFill;
    if (!uiCount)
        return;
    memmove(d->pucStream, d->pucStream + uiCount, d->uiFill - uiCount);
    d->uiFill -= uiCount;
    d->uiPos = d->uiPos > uiCount ? d->uiPos - uiCount : 0;
    d->ullAbsBase += uiCount;
    d->uiScanHint = d->uiScanHint > uiCount ? d->uiScanHint - uiCount : 0;
    for (int i = d->iNalKept; i < d->iNalNum; i++) {
        HevcNalInfo *n = &d->pstNalList[i];
        if (n->uiOffset < uiCount + 3) {
            d->iNalKept = i + 1;
            continue;
        }
        n->uiOffset -= uiCount;
    }
}

/* Makes room for input: drops what no pending picture needs, and when that
 * is not enough (a picture larger than the buffer) its decoded units too.
 * Dropping moves every buffered byte to the front. When even dropping all
 * decoded bytes leaves too little room for the input (a host that hands
 * over a whole file at once), it waits until a quarter of the buffer can
 * go: meanwhile the call takes what fits and decodes the buffered units,
 * instead of moving the whole buffer for each picture's few bytes. */
static void MakeRoom(HW265D_DEC *d, uint32_t uiWanted)
{
    if (d->uiStreamCap - d->uiFill + d->uiPos < uiWanted && d->uiPos < d->uiStreamCap / 4)
        return;
    uint32_t uiKeep = d->uiPos;
    if (d->iNalKept < d->iNalNum && d->pstNalList[d->iNalKept].uiOffset >= 3 &&
        d->pstNalList[d->iNalKept].uiOffset - 3 < uiKeep)
        uiKeep = d->pstNalList[d->iNalKept].uiOffset - 3; /* its start code */
    if (d->uiStreamCap - d->uiFill + uiKeep < uiWanted)
        uiKeep = d->uiPos;
    Discard(d, uiKeep);
}

/* End of a unit's bytes before uiEnd (the next start code or the buffer's
 * end): trailing_zero_8bits and the leading zero of a 4-byte start code go. */
static uint32_t UnitEnd(const HW265D_DEC *d, uint32_t uiStart, uint32_t uiEnd)
{
    while (uiEnd > uiStart && d->pucStream[uiEnd - 1] == 0)
        uiEnd--;
    return uiEnd;
}

/* Decodes the unit between the start code at s0 and uiEnd. */
static uint32_t DecodeUnit(HW265D_DEC *d, uint32_t s0, uint32_t uiEnd)
{
    uint32_t uiStart = s0 + 3;
    d->uiUnitEnd = uiEnd;
    uiEnd = UnitEnd(d, uiStart, uiEnd);
    return HevcDecodeNal(d, d->pucStream + uiStart, uiEnd - uiStart, uiStart);
}

int HevcPeekUnit(const HW265D_DEC *d, uint32_t uiFrom, uint32_t *puiStart, uint32_t *puiSize, uint32_t *puiNext)
{
    if (uiFrom + 3 > d->uiFill || FindStartCode(d->pucStream, uiFrom, uiFrom + 3) != (int64_t)uiFrom)
        return -1;
    int64_t s1 = FindStartCode(d->pucStream, uiFrom + 3, d->uiFill);
    if (s1 < 0)
        return -1;
    *puiStart = uiFrom + 3;
    *puiSize = UnitEnd(d, uiFrom + 3, (uint32_t)s1) - (uiFrom + 3);
    *puiNext = (uint32_t)s1;
    return 0;
}

static void InitOut(HW265D_DEC *d, IHW265D_OUTARGS *o)
{
    memset(o, 0, sizeof(*o));
    o->uiChannelID = d->stParam.uiChannelID;
    o->eDecodeStatus = IH265D_DECODING;
}

static int TryOutput(HW265D_DEC *d, IHW265D_OUTARGS *o)
{
    d->bPicReady = 0;
    return HevcDpbOutput(d, o, 0);
}

/* End of stream: the buffered units are decoded one by one (the last one up
 * to the end of the buffer) with the usual output rule, so pictures that
 * become due on the way leave one per call; once the buffer is empty the
 * last picture is finished and the rest drains in output order. */
static unsigned int Flush(HW265D_DEC *d, IHW265D_OUTARGS *o)
{
    uint32_t uiRet = 0;
    for (;;) {
        int64_t s0 = FindStartCode(d->pucStream, d->uiPos, d->uiFill);
        if (s0 < 0)
            break;
        int64_t s1 = FindStartCode(d->pucStream, (uint32_t)s0 + 3, d->uiFill);
        uint32_t uiEnd = s1 >= 0 ? (uint32_t)s1 : d->uiFill;
        uint32_t r = DecodeUnit(d, (uint32_t)s0, uiEnd);
        d->uiPos = uiEnd;
        if (r != HEVC_NAL_CONSUMED && r != HEVC_NAL_PIC_DONE && !uiRet)
            uiRet = r;
        if (d->bPicReady && TryOutput(d, o))
            return uiRet;
    }
    HevcFinishPicture(d, 0);
    HevcReconTaskStopLive(d); /* no worker stays on a stream that ended */
    HevcThreadsSettle(d);
    Discard(d, d->uiFill);
    d->uiScanHint = 0;
    d->bPicReady = 0;
    /* The picture order count state stays: callers flush after every packet
     * (the planar decode thread does) and the stream simply goes on. */
    if (HevcDpbOutput(d, o, 1))
        return uiRet;
    o->eDecodeStatus = IH265D_NO_PICTURE;
    return uiRet;
}

unsigned int IHW265D_DecodeFrame(IH265DEC_HANDLE hDecoder, IHW265D_INARGS *pstIn, IHW265D_OUTARGS *pstOut)
{
    if (!hDecoder)
        return IHW265D_ERR_NULL;
    HW265D_DEC *d = hDecoder;
    if (d->uiValid != HEVC_VALID_WORD)
        return IHW265D_ERR_HANDLE;
    if (!pstIn) {
        HEVC_ERR(d, "IHW265D_Decode : pstInArgs is NULL !\n");
        return IHW265D_ERR_NULL;
    }
    if (!pstIn->pStream) {
        HEVC_ERR(d, "IHW265D_Decode : pstInArgs->pStream is NULL !\n");
        return IHW265D_ERR_NULL;
    }
    if (!pstOut) {
        HEVC_ERR(d, "IHW265D_Decode : pstOutArgs is NULL !\n");
        return IHW265D_ERR_NULL;
    }
    if ((unsigned)pstIn->eDecodeMode > 1u) {
        HEVC_ERR(d, "IHW265D_Decode : DecodeMode input is error !\n");
        return IHW265D_ERR_NULL;
    }
    InitOut(d, pstOut);
    if (pstIn->eDecodeMode == IH265D_DECODE_END)
        return Flush(d, pstOut);

    if (pstIn->uiStreamLen > 0) {
        uint32_t k = d->uiTsHead;
        d->aullTsPos[k] = d->ullAbsIn;
        d->aullTsVal[k] = pstIn->uiTimeStamp;
        d->uiTsHead = (k + 1) % HEVC_TS_RING;
        if (d->uiTsCount < HEVC_TS_RING)
            d->uiTsCount++;
    }
    const uint8_t *pucIn = pstIn->pStream;
    uint32_t uiLeft = pstIn->uiStreamLen;
    for (;;) {
        if (d->uiStreamCap - d->uiFill < uiLeft)
            MakeRoom(d, uiLeft);
        uint32_t n = d->uiStreamCap - d->uiFill;
        if (n > uiLeft)
            n = uiLeft;
        memcpy(d->pucStream + d->uiFill, pucIn, n);
        d->uiFill += n;
        d->ullAbsIn += n;
        pucIn += n;
        uiLeft -= n;
        pstOut->uiBytsConsumed += n;
        /* A picture that became due in an earlier call (one whose unit
         * failed after completing it) goes out first; the input just taken
         * waits in the buffer. */
        if (d->bPicReady && TryOutput(d, pstOut))
            return IHW265D_OK;

        for (;;) {
            int64_t s0 = FindStartCode(d->pucStream, d->uiPos, d->uiFill);
            if (s0 < 0) {
                /* Nothing but garbage: keep a possible split start code. */
                if (d->uiFill - d->uiPos > 3)
                    d->uiPos = d->uiFill - 3;
                break;
            }
            d->uiPos = (uint32_t)s0;
            uint32_t uiFrom = d->uiScanHint > d->uiPos + 3 ? d->uiScanHint : d->uiPos + 3;
            int64_t s1 = FindStartCode(d->pucStream, uiFrom, d->uiFill);
            if (s1 < 0) {
                if (d->uiFill == d->uiStreamCap) {
                    /* A full buffer with one start code at its start holds
                     * no complete unit: drop what a pending picture keeps,
                     * and if that was nothing, keep only the last bytes. */
                    if (d->uiPos > 0) {
                        Discard(d, d->uiPos);
                        d->uiScanHint = d->uiFill > 2 ? d->uiFill - 2 : 0;
                        break;
                    }
                    d->uiPos = d->uiFill - 3;
                    d->uiScanHint = 0;
                } else {
                    d->uiScanHint = d->uiFill > 2 ? d->uiFill - 2 : 0;
                }
                break;
            }
            uint32_t uiRet = DecodeUnit(d, d->uiPos, (uint32_t)s1);
            d->uiScanHint = 0;
            d->uiPos = (uint32_t)s1;
            /* A failure is reported first; a picture that became due with
             * the same unit goes out at the start of the next call. */
            if (uiRet != HEVC_NAL_CONSUMED && uiRet != HEVC_NAL_PIC_DONE)
                return uiRet;
            if (uiRet == HEVC_NAL_PIC_DONE || d->bPicReady) {
                if (TryOutput(d, pstOut))
                    return IHW265D_OK;
            }
        }
        if (uiLeft == 0)
            break;
    }
    /* Input used up: bytes no pending picture refers to go now. */
    if (d->iNalKept >= d->iNalNum)
        Discard(d, d->uiPos);
    pstOut->eDecodeStatus = IH265D_NEED_MORE_BITS;
    return IHW265D_NEED_MORE_BITS;
}
