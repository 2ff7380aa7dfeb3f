/* Decoded picture buffer: allocation at creation, slots and output. */
#include "hevc_dpb.h"

#include <string.h>
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_threads.h"

int HevcDpbCreate(HW265D_DEC *pstDec)
{
    HevcDpb *d = &pstDec->stDpb;
    uint32_t W = pstDec->uiMaxWidth, H = pstDec->uiMaxHeight;
    d->iSlotNum = pstDec->stParam.iMaxRefNum + 2 + (pstDec->stParam.uiMvcEnable ? 1 : 0);
    d->uiBytesPerSample = pstDec->stParam.iBitDepth == 8 ? 1 : 2;
    d->uiLumaRowBytes = d->uiBytesPerSample == 1 ? W + 256 : 2 * W + 512;
    d->uiLumaRows = H + 160;
    size_t uiLuma = (size_t)d->uiLumaRowBytes * d->uiLumaRows;
    size_t uiSamples = uiLuma + 2 * (uiLuma / 4);
    size_t uiMotion = (size_t)W * H / 256 * sizeof(HevcMotion16);
    size_t uiRows = (H / 16 + 1) * sizeof(int32_t);
    for (int i = 0; i < d->iSlotNum; i++) {
        HevcPic *p = &d->astPic[i];
        IHW265D_MALLOC_FXN m = pstDec->stParam.MallocFxn;
        unsigned int ch = pstDec->stParam.uiChannelID;
        p->pucSamples = (uint8_t *)HevcMemAlloc(&pstDec->stMem, m, ch, uiSamples, 64);
        p->pstMotion = (HevcMotion16 *)HevcMemAlloc(&pstDec->stMem, m, ch, uiMotion, 64);
        p->pucInfo72 = (uint8_t *)HevcMemAlloc(&pstDec->stMem, m, ch, 72, 16);
        p->pucInfo2048 = (uint8_t *)HevcMemAlloc(&pstDec->stMem, m, ch, 2048, 16);
        p->piRowProgress = (int32_t *)HevcMemAlloc(&pstDec->stMem, m, ch, uiRows, 64);
        if (!p->pucSamples || !p->pstMotion || !p->pucInfo72 || !p->pucInfo2048 || !p->piRowProgress)
            return -1;
    }
    return 0;
}

static void FillPlane(uint8_t *pucOrigin, uint32_t uiStride, uint32_t w, uint32_t h, uint32_t uiBps, uint32_t uiValue)
{
    for (uint32_t y = 0; y < h; y++) {
        uint8_t *row = pucOrigin + (size_t)y * uiStride * uiBps;
        if (uiBps == 1) {
            memset(row, (int)uiValue, w);
        } else if (y > 0) {
            memcpy(row, pucOrigin, (size_t)w * 2); /* the first row, filled once */
        } else {
            uint16_t *r16 = (uint16_t *)row;
            for (uint32_t x = 0; x < w; x++)
                r16[x] = (uint16_t)uiValue;
        }
    }
}

void HevcDpbFillGrey(const HW265D_DEC *pstDec, HevcPic *p)
{
    const uint32_t uiBps = p->uiBitDepthY > 8 || p->uiBitDepthC > 8 ? 2 : 1;
    if (p->uiWidth > pstDec->uiMaxWidth || p->uiHeight > pstDec->uiMaxHeight)
        return;
    FillPlane(p->apucPlane[0], p->auiStride[0], p->uiWidth, p->uiHeight, uiBps, 1u << (p->uiBitDepthY - 1));
    FillPlane(p->apucPlane[1], p->auiStride[1], p->uiWidth / 2, p->uiHeight / 2, uiBps, 1u << (p->uiBitDepthC - 1));
    FillPlane(p->apucPlane[2], p->auiStride[2], p->uiWidth / 2, p->uiHeight / 2, uiBps, 1u << (p->uiBitDepthC - 1));
}

/* The free slot freed longest ago (never used ones first, in order), or -1. */
static int FreeSlot(const HevcDpb *d)
{
    int iBest = -1;
    for (int i = 0; i < d->iSlotNum; i++)
        if (!d->astPic[i].bInUse && (iBest < 0 || (int32_t)(d->astPic[i].uiFreedAt - d->astPic[iBest].uiFreedAt) < 0))
            iBest = i;
    return iBest;
}

static void Free(HevcDpb *d, HevcPic *p)
{
    p->bInUse = 0;
    p->uiFreedAt = ++d->uiFrees;
}

int HevcDpbTakeSlot(HW265D_DEC *pstDec)
{
    HevcDpb *d = &pstDec->stDpb;
    const HevcSps *sps = pstDec->pstActSps;
    int i = FreeSlot(d);
    /* A slot that a picture a worker still completes reads (a picture just
     * let go), or that picture's own, is taken once the worker is done. */
    if (i >= 0 && (HevcReconTaskBusySlots(pstDec) >> i & 1 || HevcThreadsTailSlot(pstDec) == i))
        HevcThreadsSettle(pstDec);
    if (i >= 0) {
        HevcPic *p = &d->astPic[i];
        p->bInUse = 1;
        p->bDecoded = 0;
        p->uiFlags = 0;
        p->eRefMark = HEVC_REF_UNUSED;
        p->uiErrorFlag = 0;
        uint32_t uiBps = sps->bit_depth_luma > 8 || sps->bit_depth_chroma > 8 ? 2 : 1;
        /* Strides in samples; an 8-bit picture in a 16-bit capable slot simply
         * gets a wider stride. */
        uint32_t uiStrideY = d->uiLumaRowBytes / uiBps;
        uint32_t uiStrideC = d->uiLumaRowBytes / 2 / uiBps;
        size_t uiLuma = (size_t)d->uiLumaRowBytes * d->uiLumaRows;
        uint8_t *pucU = p->pucSamples + uiLuma;
        uint8_t *pucV = pucU + uiLuma / 4;
        p->auiStride[0] = uiStrideY;
        p->auiStride[1] = p->auiStride[2] = uiStrideC;
        p->apucPlane[0] = p->pucSamples + ((size_t)HEVC_PAD_Y * uiStrideY + HEVC_PAD_X) * uiBps;
        p->apucPlane[1] = pucU + ((size_t)(HEVC_PAD_Y / 2) * uiStrideC + HEVC_PAD_X / 2) * uiBps;
        p->apucPlane[2] = pucV + ((size_t)(HEVC_PAD_Y / 2) * uiStrideC + HEVC_PAD_X / 2) * uiBps;
        p->uiWidth = sps->pic_width_in_luma_samples;
        p->uiHeight = sps->pic_height_in_luma_samples;
        p->uiBitDepthY = sps->bit_depth_luma;
        p->uiBitDepthC = sps->bit_depth_chroma;
        p->uiCropLeft = sps->conf_win_left_offset * sps->SubWidthC;
        p->uiCropRight = sps->conf_win_right_offset * sps->SubWidthC;
        p->uiCropTop = sps->conf_win_top_offset * sps->SubHeightC;
        p->uiCropBottom = sps->conf_win_bottom_offset * sps->SubHeightC;
        p->uiFullRange = sps->vui.video_full_range_flag;
        p->bPadded = 0;
        memset(p->piRowProgress, 0, (pstDec->uiMaxHeight / 16 + 1) * sizeof(int32_t));
        return i;
    }
    return -1;
}

void HevcDpbReleaseIfUnused(HevcDpb *d, HevcPic *p)
{
    if (p->bInUse && p->bDecoded && p->eRefMark == HEVC_REF_UNUSED && !(p->uiFlags & HEVC_PIC_NEEDED_FOR_OUTPUT))
        Free(d, p);
}

void HevcDpbDropAll(HW265D_DEC *pstDec, int iLayerId)
{
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        HevcPic *p = &pstDec->stDpb.astPic[i];
        if (p->bInUse && i != pstDec->iCurPic && p->iLayerId == iLayerId) {
            p->uiFlags &= ~HEVC_PIC_NEEDED_FOR_OUTPUT;
            p->eRefMark = HEVC_REF_UNUSED;
            Free(&pstDec->stDpb, p);
        }
    }
}

int HevcDpbCountWaiting(const HW265D_DEC *pstDec)
{
    int n = 0;
    for (int i = 0; i < pstDec->stDpb.iSlotNum; i++) {
        const HevcPic *p = &pstDec->stDpb.astPic[i];
        n += p->bInUse && p->bDecoded && (p->uiFlags & HEVC_PIC_NEEDED_FOR_OUTPUT);
    }
    return n;
}

/* Output order: sequence first, then picture order count (or decode order). */
static int Before(const HevcPic *a, const HevcPic *b, int bDecodeOrder)
{
    if (bDecodeOrder)
        return a->uiDecodeOrder < b->uiDecodeOrder;
    if (a->uiCvsId != b->uiCvsId)
        return a->uiCvsId < b->uiCvsId;
    return a->iPoc < b->iPoc;
}

static void FillOutArgs(HW265D_DEC *pstDec, const HevcPic *p, IHW265D_OUTARGS *o)
{
    uint32_t uiBps = p->uiBitDepthY > 8 || p->uiBitDepthC > 8 ? 2 : 1;
    const HevcSeiInfo *s = &pstDec->stSei;
    o->uiTimeStamp = p->ullTimeStamp;
    o->uiPicState = p->uiErrorFlag ? 1u : 0u;
    o->eDecodeStatus = IH265D_GETDISPLAY;
    o->uiDecWidth = p->uiWidth - p->uiCropLeft - p->uiCropRight;
    o->uiDecHeight = p->uiHeight - p->uiCropTop - p->uiCropBottom;
    o->uiYStride = p->auiStride[0];
    o->uiUVStride = p->auiStride[1];
    o->uiDecBitDepthLuma = p->uiBitDepthY;
    o->uiDecBitDepthChroma = p->uiBitDepthC;
    for (int i = 0; i < 3; i++) {
        o->uiDisplayPrimariesX[i] = s->ausPrimariesX[i];
        o->uiDisplayPrimariesY[i] = s->ausPrimariesY[i];
    }
    o->uiWhitePointX = s->usWhitePointX;
    o->uiWhitePointY = s->usWhitePointY;
    o->uiMaxDisplayMasteringLuminance = s->uiMaxLuminance;
    o->uiMinDisplayMasteringLuminance = s->uiMinLuminance;
    o->uiMaxContentLightLevel = s->usMaxCll;
    o->uiMaxPicAverageLightLevel = s->usMaxFall;
    o->pucOutYUV[0] = p->apucPlane[0] + ((size_t)p->uiCropTop * p->auiStride[0] + p->uiCropLeft) * uiBps;
    o->pucOutYUV[1] = p->apucPlane[1] + ((size_t)(p->uiCropTop / 2) * p->auiStride[1] + p->uiCropLeft / 2) * uiBps;
    o->pucOutYUV[2] = p->apucPlane[2] + ((size_t)(p->uiCropTop / 2) * p->auiStride[2] + p->uiCropLeft / 2) * uiBps;
    o->iPicOrderCnt = p->iPoc;
    o->uiDecodeOrder = p->uiDecodeOrder;
    o->uiNalUnitType = p->uiNalUnitType;
    o->uiSliceType = p->uiSliceType;
    o->uiLayerId = (uint32_t)p->iLayerId;
    o->uiCodedWidth = p->uiWidth;
    o->uiCodedHeight = p->uiHeight;
    o->uiCropLeft = p->uiCropLeft;
    o->uiCropRight = p->uiCropRight;
    o->uiCropTop = p->uiCropTop;
    o->uiCropBottom = p->uiCropBottom;
    o->uiUserDataLen = s->uiUserDataLen;
    o->uiPrivateSeiValue = s->uiPrivateValue;
    o->uiFullRange = p->uiFullRange;
    o->uiErrorFlag = p->uiErrorFlag;
}

int HevcDpbOutput(HW265D_DEC *pstDec, IHW265D_OUTARGS *pstOut, int bFlush)
{
    HevcThreadsSettle(pstDec); /* no picture goes out before its last rows are done */
    HevcDpb *d = &pstDec->stDpb;
    int bDecodeOrder = pstDec->stParam.eOutputOrder == IH265D_DECODE_ORDER;
    int iBest = -1, iWaiting = 0, iFree = 0;
    for (int i = 0; i < d->iSlotNum; i++) {
        HevcPic *p = &d->astPic[i];
        iFree += !p->bInUse;
        if (!p->bInUse || !(p->uiFlags & HEVC_PIC_NEEDED_FOR_OUTPUT))
            continue;
        if (!p->bDecoded)
            continue; /* the picture being assembled */
        iWaiting++;
        if (iBest < 0 || Before(p, &d->astPic[iBest], bDecodeOrder))
            iBest = i;
    }
    if (iBest < 0)
        return 0;
    if (!bFlush && !bDecodeOrder) {
        /* Display order: bump when more pictures wait than may be reordered,
         * when an earlier sequence still waits, or when no slot would be left
         * for the next picture. */
        HevcPic *b = &d->astPic[iBest];
        int bBump = (uint32_t)iWaiting > b->uiReorderLimit || b->uiCvsId != pstDec->stPoc.uiCvsId || iFree == 0;
        if (!bBump)
            return 0;
    }
    HevcPic *p = &d->astPic[iBest];
    FillOutArgs(pstDec, p, pstOut);
    p->uiFlags &= ~HEVC_PIC_NEEDED_FOR_OUTPUT;
    HevcDpbReleaseIfUnused(d, p);
    return 1;
}
