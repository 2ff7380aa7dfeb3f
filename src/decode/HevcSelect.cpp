#include "decode/HevcSelect.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include "decode/HevcProbe.h"
#include "decode/PictureOut.h"
#include "stream/FFMpegContext.h"
#include "support/Log.h"
#include "support/Platform.h"

namespace {

const HevcDecoderApi kRealDecoder = {IHW265D_Create, IHW265D_DecodeFrame, IHW265D_Delete, IHW265D_GetVersion};

// Set only while no decode thread runs (see the header); read without a lock.
const HevcDecoderApi *g_pApi = &kRealDecoder;

// Decoder calls per packet, at most.
const int HEVC_MAX_CALLS = 64;
// One count line per this many built-in decodes.
const int CLASSIC_COUNT_LOG_EVERY = 50;

// NAL header bytes (after a 3-byte start code at the packet start) that the
// planar thread's FFmpeg fallback looks at.
const uint8_t NAL_IDR_W_RADL = 0x26;
const uint8_t NAL_VPS = 0x40;
const uint8_t NAL_DROPPED = 0x0A;

int IsHevc(const FFMpegContext *ctx)
{
    return ctx->nInVideoCodecId == AV_CODEC_ID_HEVC;
}

int IsKeyVideo(const FFMpegContext *ctx, const AVPacket *pkt)
{
    return pkt->flags != 0 && pkt->stream_index == ctx->nVideoIndex;
}

// Payload byte i, 0 past the end: logs and tests never read beyond the data.
int PayloadByte(const AVPacket *pkt, int i)
{
    return pkt->data != NULL && i < pkt->size ? pkt->data[i] : 0;
}

// Answers that say the decoder cannot take this stream at all (a picture
// larger than it was created for, more reference pictures than it keeps, a
// parameter set it does not support), as opposed to damage in one picture.
int IsRefusal(unsigned int ret)
{
    return ret == IHW265D_ERR_WIDTH || ret == IHW265D_ERR_HEIGHT || ret == IHW265D_ERR_REFNUM ||
           ret == IHW265D_ERR_VPS || ret == IHW265D_ERR_SPS || ret == IHW265D_ERR_PPS;
}

// FFmpeg decodes the rest of the open; the instance is of no further use.
void GiveUpBuiltIn(FFMpegContext *ctx, int *pHsDecoder, unsigned int ret)
{
    DebugPrint("%s built-in decoder refused the stream (ret:0x%x), change to ffmpeg decoder", ctx->szName, ret);
    *pHsDecoder = 0;
    HevcDeleteDecoder(ctx);
}

void FillInput(IHW265D_INARGS *in, const AVPacket *pkt)
{
    in->pStream = pkt->data;
    in->uiStreamLen = pkt->size > 0 ? (unsigned int)pkt->size : 0u;
    in->uiTimeStamp = 0;
    in->eDecodeMode = IH265D_DECODE_NORMAL;
}

// Size of the output picture, or the stream's when the record has none.
void OutputSize(const IHW265D_OUTARGS *o, const FFMpegContext *ctx, int *w, int *h)
{
    if ((uint64_t)o->uiDecWidth * o->uiDecHeight == 0) {
        *w = AtomicGet(&ctx->nWidth);
        *h = AtomicGet(&ctx->nHeight);
    } else {
        *w = (int)o->uiDecWidth;
        *h = (int)o->uiDecHeight;
    }
}

// Only a record that says it carries a picture, with planes and a size, is
// ever read: plane addresses are valid until the next call only.
int HasPicture(const IHW265D_OUTARGS *o)
{
    return o->eDecodeStatus == IH265D_GETDISPLAY && o->pucOutYUV[0] != NULL && o->pucOutYUV[1] != NULL &&
           o->pucOutYUV[2] != NULL && o->uiDecWidth > 0 && o->uiDecHeight > 0 && o->uiDecWidth <= 16384 &&
           o->uiDecHeight <= 16384;
}

void CopyPlane(const uint8_t *src, unsigned int uiStride, unsigned int uiDepth, int w, int h, uint8_t *dst,
               int nDstStride)
{
    if (uiDepth <= 8) {
        for (int r = 0; r < h; r++)
            memcpy(dst + (size_t)r * nDstStride, src + (size_t)r * uiStride, (size_t)w);
        return;
    }
    // Deeper samples arrive as 16-bit words; round to the nearest 8-bit value.
    unsigned int uiShift = uiDepth > 16 ? 8 : uiDepth - 8;
    unsigned int uiRound = 1u << (uiShift - 1);
    for (int r = 0; r < h; r++) {
        const uint16_t *s = (const uint16_t *)(src + (size_t)r * uiStride * 2);
        uint8_t *d = dst + (size_t)r * nDstStride;
        for (int x = 0; x < w; x++) {
            unsigned int v = (s[x] + uiRound) >> uiShift;
            d[x] = (uint8_t)(v > 255 ? 255 : v);
        }
    }
}

// The format FFmpeg's own decoder gives the same stream, so a built-in
// picture takes the very conversion an FFmpeg picture would: a full-range
// 8-bit stream is yuvj420p (its BGR keeps the range), 9 and 10 bits go to
// the converters as they are. AV_PIX_FMT_NONE: luma and chroma depths
// differ; such pictures are rounded to 8-bit yuv420p.
enum AVPixelFormat PictureFormat(const IHW265D_OUTARGS *o)
{
    unsigned int y = o->uiDecBitDepthLuma, c = o->uiDecBitDepthChroma;
    if (y <= 8 && c <= 8)
        return o->uiFullRange ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV420P;
    if (y == 9 && c == 9)
        return AV_PIX_FMT_YUV420P9;
    if (y == 10 && c == 10)
        return AV_PIX_FMT_YUV420P10;
    return AV_PIX_FMT_NONE;
}

// Lays f over the decoder's planes (no copy: valid until the next call).
void WrapPicture(const IHW265D_OUTARGS *o, enum AVPixelFormat fmt, AVFrame *f)
{
    int bps = fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P ? 1 : 2;
    f->format = fmt;
    f->width = (int)o->uiDecWidth;
    f->height = (int)o->uiDecHeight;
    for (int i = 0; i < 3; i++) {
        f->data[i] = o->pucOutYUV[i];
        f->linesize[i] = (int)(i == 0 ? o->uiYStride : o->uiUVStride) * bps;
    }
}

}  // namespace

const HevcDecoderApi *HevcGetDecoderApi(void)
{
    return g_pApi;
}

void HevcSetDecoderApi(const HevcDecoderApi *pApi)
{
    g_pApi = pApi != NULL ? pApi : &kRealDecoder;
}

void *hevc_malloc(unsigned int uiUser, unsigned int uiSize)
{
    (void)uiUser;
    return malloc(uiSize);
}

void hevc_free(unsigned int uiUser, void *pMem)
{
    (void)uiUser;
    free(pMem);
}

void hevc_log(unsigned int uiUser, int iLevel, const char *pFormat, ...)
{
    (void)uiUser;
    (void)iLevel;
    DebugPrint("HW265D_Log:%s", pFormat != NULL ? pFormat : "");
}

void HevcFillInitParam(IHW265D_INIT_PARAM *p, int nWidth, int nHeight, int bPlanar)
{
    memset(p, 0, sizeof(*p));
    p->uiChannelID = 0;
    p->iMaxWidth = nWidth;
    p->iMaxHeight = nHeight;
    p->iMaxRefNum = 1;
    p->iMaxVPSNum = 1;
    p->iMaxSPSNum = 1;
    p->iMaxPPSNum = 1;
    p->iBitDepth = 10;
    p->uiMvcEnable = bPlanar ? 1u : 0u;
    p->uiOutputLayer = 0;
    p->eThreadType = bPlanar ? IH265D_MULTI_THREAD : IH265D_SINGLE_THREAD;
    p->eOutputOrder = IH265D_DECODE_ORDER;
    p->iReserved = 0;
    p->MallocFxn = hevc_malloc;
    p->FreeFxn = hevc_free;
    p->LogFxn = hevc_log;
}

// Creates the decoder into hHevcDecoder and logs the result.
static int CreateDecoder(FFMpegContext *ctx, int nWidth, int nHeight, int bPlanar)
{
    IHW265D_INIT_PARAM param;
    HevcFillInitParam(&param, nWidth, nHeight, bPlanar);
    IH265DEC_HANDLE h = NULL;
    unsigned int ret = g_pApi->pfnCreate(&h, &param);
    if (ret != IHW265D_OK || h == NULL) {
        DebugPrint("IHW265D_Create===failed====0x%x====", ret);
        if (h != NULL)
            g_pApi->pfnDelete(h);
        return -1;
    }
    ctx->hHevcDecoder = h;
    DebugPrint("IHW265D_Create===success====0x%x====", ret);
    return 0;
}

int create_hevc_decoder(FFMpegContext *ctx)
{
    if (ctx == NULL)
        return -1;
    return CreateDecoder(ctx, AtomicGet(&ctx->nWidth), AtomicGet(&ctx->nHeight), 1);
}

void HevcDeleteDecoder(FFMpegContext *ctx)
{
    if (ctx == NULL || ctx->hHevcDecoder == NULL)
        return;
    g_pApi->pfnDelete((IH265DEC_HANDLE)ctx->hHevcDecoder);
    ctx->hHevcDecoder = NULL;
}

int HevcCopyPicture8(const IHW265D_OUTARGS *pOut, int nWidth, int nHeight, uint8_t *const apDst[3],
                     const int anDstStride[3])
{
    if (pOut == NULL || !HasPicture(pOut) || nWidth <= 0 || nHeight <= 0 || (unsigned int)nWidth > pOut->uiDecWidth ||
        (unsigned int)nHeight > pOut->uiDecHeight || pOut->uiYStride < (unsigned int)nWidth ||
        pOut->uiUVStride < (unsigned int)nWidth / 2)
        return -1;
    CopyPlane(pOut->pucOutYUV[0], pOut->uiYStride, pOut->uiDecBitDepthLuma, nWidth, nHeight, apDst[0],
              anDstStride[0]);
    for (int c = 1; c < 3; c++)
        CopyPlane(pOut->pucOutYUV[c], pOut->uiUVStride, pOut->uiDecBitDepthChroma, nWidth / 2, nHeight / 2,
                  apDst[c], anDstStride[c]);
    return 0;
}

// ---- Classic thread ----

void HevcClassicInit(HevcClassic *hc)
{
    memset(hc, 0, sizeof(*hc));
    hc->hsDecoder = -1;
}

void HevcClassicFree(HevcClassic *hc)
{
    free_picture(&hc->pTmpFrame, NULL);
}

void HevcClassicDecide(HevcClassic *hc, FFMpegContext *ctx, const AVPacket *pkt, int *pBadPending)
{
    if (IsHevc(ctx) && hc->hsDecoder == -1) {
        HevcSpsProbe probe;
        if (find_hevc_sps(pkt, &probe) == 0) {
            IHW265D_VERSION ver;
            g_pApi->pfnGetVersion(&ver);
            int w = (int)probe.info.nWidth, h = (int)probe.info.nHeight;
            HevcDeleteDecoder(ctx);
            if (CreateDecoder(ctx, w, h, 0) == 0) {
                hc->hsDecoder = 1;
                hc->pTmpFrame = alloc_picture(AV_PIX_FMT_YUV420P, w, h);
                if (hc->pTmpFrame == NULL)
                    DebugPrint("vorn debug====tmp_hevc_frame alloc_picture error\n");
                return;
            }
            // Without a decoder every call would fail: FFmpeg takes the
            // stream, as in the planar thread.
        }
        hc->hsDecoder = 0;
        *pBadPending = 0;
        return;
    }
    if (hc->hsDecoder != 1)
        *pBadPending = 0;
}

int HevcClassicInUse(const HevcClassic *hc, const FFMpegContext *ctx)
{
    return hc->hsDecoder == 1 && IsHevc(ctx) && ctx->hHevcDecoder != NULL;
}

// One step of a packet's decoding, for both threads: calls until the
// decoder hands out a picture, reports a failed unit or has nothing more.
// The packet goes in whole with the first normal call; further normal calls
// bring no new bytes (units left after a picture or a failure still wait in
// the decoder's buffer). Once it asks for more bits, the packet's end is the
// end of its access unit (a camera's packet is one), but the decoder only
// finishes a picture when the next one begins: a flush call decodes the held
// last unit and hands the picture out now, and further flushes drain what is
// left until it says none remains. The picture order count survives a flush,
// so the next packet goes on with the same stream.
// Returns 1 when the step ran (its answer in d->stOut, code in *pRet), 0 when
// the packet is finished, -1 when the decoder refused the stream (given up).
static int DrainStep(HevcDrain *d, FFMpegContext *ctx, int *pHsDecoder, unsigned int *pRet)
{
    IH265DEC_HANDLE h = (IH265DEC_HANDLE)ctx->hHevcDecoder;
    while (d->nStep != HEVC_STEP_DONE) {
        // Each call takes a unit or hands out a picture, so a packet ends by
        // itself; the bound only keeps a broken decoder from holding the thread.
        if (h == NULL || ++d->nCalls > HEVC_MAX_CALLS) {
            d->nStep = HEVC_STEP_DONE;
            break;
        }
        int bFlush = d->nStep == HEVC_STEP_FLUSH;
        d->stIn.eDecodeMode = bFlush ? IH265D_DECODE_END : IH265D_DECODE_NORMAL;
        unsigned int ret = g_pApi->pfnDecodeFrame(h, &d->stIn, &d->stOut);
        if (!bFlush) {
            // Bytes taken are in the decoder's buffer: never hand them twice.
            unsigned int uiUsed = d->stOut.uiBytsConsumed;
            if (uiUsed > d->stIn.uiStreamLen)
                uiUsed = d->stIn.uiStreamLen;
            d->stIn.pStream += uiUsed;
            d->stIn.uiStreamLen -= uiUsed;
        }
        *pRet = ret;
        if (ret == IHW265D_ERR_WIDTH)
            DebugPrint("maybe resolution change to big one=====");
        if (IsRefusal(ret)) {
            d->nStep = HEVC_STEP_DONE;
            GiveUpBuiltIn(ctx, pHsDecoder, ret);
            return -1;
        }
        if (ret == IHW265D_NEED_MORE_BITS && !bFlush) {
            d->nStep = d->stIn.uiStreamLen > 0 ? HEVC_STEP_MORE : HEVC_STEP_FLUSH;
            continue;
        }
        if (bFlush && d->stOut.eDecodeStatus != IH265D_GETDISPLAY) {
            // Nothing left; a unit that failed on the way still counts.
            d->nStep = HEVC_STEP_DONE;
            if (ret == IHW265D_OK)
                break;
        } else if (!bFlush) {
            d->nStep = HEVC_STEP_MORE;
        }
        return 1;
    }
    return 0;
}

static void DrainStart(HevcDrain *d, const AVPacket *pkt)
{
    FillInput(&d->stIn, pkt);
    d->nStep = HEVC_STEP_NORMAL;
    d->nCalls = 0;
}

// Judges the step's answer: a picture unless none came; bad when a unit
// failed or the call ended without reaching a picture.
static void ClassicJudge(HevcClassic *hc, FFMpegContext *ctx, unsigned int ret, AVFrame *pFrame, int *pGot,
                         int *pIsBad, int *pBadPending)
{
    const IHW265D_OUTARGS *o = &hc->drain.stOut;
    if (ret != IHW265D_OK)
        DebugPrint("ret:0x%x, error:%d, decodeStatus:%d, cnt:%d", ret, (int)o->uiErrorFlag, (int)o->eDecodeStatus,
                   hc->drain.nCalls);
    *pGot = o->eDecodeStatus == IH265D_GETDISPLAY;
    int w = 0, hgt = 0;
    OutputSize(o, ctx, &w, &hgt);
    pFrame->width = w;
    pFrame->height = hgt;
    *pIsBad = ret != IHW265D_OK || o->eDecodeStatus == IH265D_NEED_MORE_BITS ||
              o->eDecodeStatus == IH265D_DECODING;
    if (*pGot && o->uiPicState == 0 && ret == IHW265D_OK)
        *pBadPending = 0;
    hc->bHavePicture = *pGot && HasPicture(o);
}

int HevcClassicDecode(HevcClassic *hc, FFMpegContext *ctx, const AVPacket *pkt, AVFrame *pFrame, int *pGot,
                      int *pIsBad, int *pBadPending)
{
    hc->bHavePicture = 0;
    *pGot = 0;
    *pIsBad = 0;
    DrainStart(&hc->drain, pkt);
    unsigned int ret = IHW265D_OK;
    int r = DrainStep(&hc->drain, ctx, &hc->hsDecoder, &ret);
    if (++hc->nCountedPackets >= CLASSIC_COUNT_LOG_EVERY) {
        DebugPrint("IHW265D_DecodeFrame cnt:%d ret:%d", hc->drain.nCalls, (int)ret);
        hc->nCountedPackets = 0;
    }
    if (r < 0)
        return -1;
    if (r > 0)
        ClassicJudge(hc, ctx, ret, pFrame, pGot, pIsBad, pBadPending);
    return 0;
}

int HevcClassicContinue(HevcClassic *hc, FFMpegContext *ctx, AVFrame *pFrame, int *pGot, int *pIsBad,
                        int *pBadPending)
{
    hc->bHavePicture = 0;
    *pGot = 0;
    unsigned int ret = IHW265D_OK;
    int r = DrainStep(&hc->drain, ctx, &hc->hsDecoder, &ret);
    if (r > 0)
        ClassicJudge(hc, ctx, ret, pFrame, pGot, pIsBad, pBadPending);
    return r;
}

const AVFrame *HevcClassicPicture(HevcClassic *hc)
{
    if (!hc->bHavePicture)
        return NULL;
    int w = (int)hc->drain.stOut.uiDecWidth, h = (int)hc->drain.stOut.uiDecHeight;
    // In FFmpeg's format for the stream (yuvj420p keeps a full range, 10-bit
    // samples stay 10-bit), so the BGR conversion is the one FFmpeg's
    // pictures take; mixed depths are rounded to 8 bits.
    enum AVPixelFormat fmt = PictureFormat(&hc->drain.stOut);
    enum AVPixelFormat tmpFmt = fmt == AV_PIX_FMT_NONE ? AV_PIX_FMT_YUV420P : fmt;
    if (hc->pTmpFrame == NULL || hc->pTmpFrame->width != w || hc->pTmpFrame->height != h ||
        hc->pTmpFrame->format != tmpFmt) {
        free_picture(&hc->pTmpFrame, NULL);
        hc->pTmpFrame = alloc_picture(tmpFmt, w, h);
        if (hc->pTmpFrame == NULL) {
            DebugPrint("vorn debug====tmp_hevc_frame alloc_picture error\n");
            return NULL;
        }
    }
    AVFrame *f = hc->pTmpFrame;
    if (fmt == AV_PIX_FMT_NONE || fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P)
        return HevcCopyPicture8(&hc->drain.stOut, w, h, f->data, f->linesize) < 0 ? NULL : f;
    AVFrame src;
    memset(&src, 0, sizeof(src));
    WrapPicture(&hc->drain.stOut, fmt, &src);
    av_image_copy(f->data, f->linesize, (const uint8_t **)src.data, src.linesize, fmt, w, h);
    return f;
}

// ---- Planar thread ----

void HevcPlanarInit(HevcPlanar *hp)
{
    memset(hp, 0, sizeof(*hp));
    hp->hsDecoder = -1;
    hp->hasSei = -1;
}

void HevcPlanarFree(HevcPlanar *hp)
{
    av_freep(&hp->pVpsBuf);
    hp->nVpsLen = 0;
    av_packet_free(&hp->pSplicePkt);
    av_freep(&hp->pSpliceBuf);
    hp->nSpliceCap = 0;
    av_frame_free(&hp->pWrap);
}

int HevcPlanarPrepare(HevcPlanar *hp, FFMpegContext *ctx, AVFrame *pFrame, AVPacket *pkt)
{
    if (!IsHevc(ctx))
        return HEVC_PREP_GO;
    int key = IsKeyVideo(ctx, pkt);
    if (hp->hasSei == -1 && key) {
        hp->hasSei = probe_sei(pkt);
        DebugPrint("sei:%d", hp->hasSei);
    }
    if (AtomicGet(&ctx->nWidth) != 0 && AtomicGet(&ctx->nHeight) != 0)
        return HEVC_PREP_GO;
    if (key && get_hevc_frame_resolution(ctx, pFrame, pkt) == 0)
        return HEVC_PREP_RESIZED;
    return HEVC_PREP_DROP;
}

int HevcPlanarCreate(HevcPlanar *hp, FFMpegContext *ctx, const AVPacket *pkt)
{
    if (!IsKeyVideo(ctx, pkt) || hp->hsDecoder != -1 || hp->hasSei != 1)
        return 0;
    hp->hsDecoder = 0;
    HevcDeleteDecoder(ctx);
    int made = create_hevc_decoder(ctx) == 0;
    if (made)
        hp->hsDecoder = 1;
    hp->bShownClean = 0;
    DebugPrint("hsDecoder:%d", hp->hsDecoder);
    return made;
}

// Judges one answer of the planar thread's built-in decoding (r and ret
// from DrainStep; bFirst for the packet's first answer).
//
// Damage (a lost or corrupt packet: a unit that fails, a reference that is
// missing) is concealed by the decoder: the parts it could not decode take
// the closest picture's samples and the picture comes out with its error
// indicator set. Such a picture is shown, as are the pictures predicted from
// it, so the viewer keeps seeing motion until the next key picture, which is
// clean again. What is withheld: an answer without a picture (the last
// picture stays on screen), and a damaged picture while no clean picture has
// been shown since the decoder was made (nothing to conceal from: it would be
// grey); the stream then waits for its next key picture.
static int PlanarJudge(HevcPlanar *hp, FFMpegContext *ctx, const AVPacket *pkt, AVFrame *pFrame, int *pWaitIframe,
                       int r, unsigned int ret, int bFirst)
{
    const IHW265D_OUTARGS *o = &hp->drain.stOut;
    int key = IsKeyVideo(ctx, pkt);
    if (r < 0) {
        // FFmpeg can start on a key packet at once; otherwise at the next.
        if (bFirst && pkt->flags == AV_PKT_FLAG_KEY)
            return HEVC_DEC_FFMPEG;
        *pWaitIframe = 1;
        return HEVC_DEC_NO_PICTURE;
    }
    if (r == 0) {
        if (!bFirst)
            return HEVC_DEC_NO_PICTURE;
        // The whole packet gave nothing: the decoder still asks for more bits.
        ret = IHW265D_NEED_MORE_BITS;
    }
    if (key && (ret == IHW265D_OK || ret == IHW265D_NEED_MORE_BITS))
        hp->nKeyFailures = 0;
    if (ret != IHW265D_OK)
        DebugPrint("ret:0x%x, error:%d, decodeStatus:%d size:%d iFrame:%d %02x %02x %02x %02x %02x", ret,
                   (int)o->uiErrorFlag, (int)o->eDecodeStatus, pkt->size, pkt->flags, PayloadByte(pkt, 0),
                   PayloadByte(pkt, 1), PayloadByte(pkt, 2), PayloadByte(pkt, 3), PayloadByte(pkt, 4));
    if (r > 0 && HasPicture(o)) {
        int bDamaged = ret != IHW265D_OK || o->uiErrorFlag != 0;
        if (bDamaged && !hp->bShownClean) {
            *pWaitIframe = 1;
            return HEVC_DEC_BAD;
        }
        hp->bShownClean |= !bDamaged;
        pFrame->width = (int)o->uiDecWidth;
        pFrame->height = (int)o->uiDecHeight;
        return bDamaged ? HEVC_DEC_CONCEALED : HEVC_DEC_PICTURE;
    }
    if (ret == IHW265D_OK)
        return HEVC_DEC_NO_PICTURE;
    if (ret == IHW265D_ERR_NAL || ret == IHW265D_ERR_SLICEHEADER) {
        // A packet damaged on the way fails like this too. Only key
        // pictures failing twice in a row mean the stream is no longer one
        // this decoder reads.
        if (key && bFirst && ++hp->nKeyFailures >= 2) {
            DebugPrint("maybe codec changed");
            AtomicSet(&ctx->bRunning, 0);
            return HEVC_DEC_STOP;
        }
        if (!hp->bShownClean)
            *pWaitIframe = 1;
        return HEVC_DEC_BAD;
    }
    if (ret == IHW265D_NEED_MORE_BITS) {
        if ((pkt->flags & AV_PKT_FLAG_KEY) && PayloadByte(pkt, 3) == NAL_IDR_W_RADL) {
            // Parameter sets and pictures come in separate packets: FFmpeg
            // takes over with the parameter sets spliced in front.
            hp->hsDecoder = 2;
            DebugPrint("need more bits, change to ffmpeg decoder. %d %d", (int)o->uiDecWidth, (int)o->uiDecHeight);
            return HEVC_DEC_NO_PICTURE;
        }
        hp->hsDecoder = 0;
        *pWaitIframe = 1;
        DebugPrint("change to ffmpeg decoder. %d %d", (int)o->uiDecWidth, (int)o->uiDecHeight);
        return HEVC_DEC_BAD;
    }
    *pWaitIframe = 1;
    return HEVC_DEC_BAD;
}

int HevcPlanarDecode(HevcPlanar *hp, FFMpegContext *ctx, const AVPacket *pkt, AVFrame *pFrame, int *pWaitIframe)
{
    if (!IsHevc(ctx) || hp->hsDecoder != 1 || AtomicGet(&ctx->nWidth) == 0 || ctx->hHevcDecoder == NULL)
        return HEVC_DEC_FFMPEG;
    DrainStart(&hp->drain, pkt);
    unsigned int ret = IHW265D_OK;
    int r = DrainStep(&hp->drain, ctx, &hp->hsDecoder, &ret);
    return PlanarJudge(hp, ctx, pkt, pFrame, pWaitIframe, r, ret, 1);
}

int HevcPlanarContinue(HevcPlanar *hp, FFMpegContext *ctx, const AVPacket *pkt, AVFrame *pFrame, int *pWaitIframe)
{
    if (hp->hsDecoder != 1 || hp->drain.nStep == HEVC_STEP_DONE)
        return HEVC_DEC_DONE;
    unsigned int ret = IHW265D_OK;
    int r = DrainStep(&hp->drain, ctx, &hp->hsDecoder, &ret);
    if (r == 0)
        return HEVC_DEC_DONE;
    return PlanarJudge(hp, ctx, pkt, pFrame, pWaitIframe, r, ret, 0);
}

AVPacket *HevcPlanarFilter(HevcPlanar *hp, AVPacket *pkt)
{
    if (hp->hsDecoder != 2)
        return pkt;
    int nal = PayloadByte(pkt, 3);
    if (nal == NAL_DROPPED)
        return NULL;
    if ((pkt->flags & AV_PKT_FLAG_KEY) && nal == NAL_VPS) {
        av_freep(&hp->pVpsBuf);
        hp->nVpsLen = 0;
        hp->pVpsBuf = (uint8_t *)av_malloc((size_t)pkt->size);
        if (hp->pVpsBuf != NULL) {
            memcpy(hp->pVpsBuf, pkt->data, (size_t)pkt->size);
            hp->nVpsLen = pkt->size;
        }
        return NULL;
    }
    if (hp->nVpsLen <= 0)
        return pkt;
    // Held parameter sets, then the packet without its first two bytes.
    int nTail = pkt->size > 2 ? pkt->size - 2 : 0;
    if (hp->nVpsLen > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE - nTail)
        return pkt;
    int nSize = hp->nVpsLen + nTail;
    int nNeed = nSize + AV_INPUT_BUFFER_PADDING_SIZE;
    if (hp->pSplicePkt == NULL && (hp->pSplicePkt = av_packet_alloc()) == NULL)
        return pkt;
    if (nNeed > hp->nSpliceCap) {
        av_freep(&hp->pSpliceBuf);
        hp->nSpliceCap = 0;
        hp->pSpliceBuf = (uint8_t *)av_malloc((size_t)nNeed);
        if (hp->pSpliceBuf == NULL)
            return pkt;
        hp->nSpliceCap = nNeed;
    }
    memcpy(hp->pSpliceBuf, hp->pVpsBuf, (size_t)hp->nVpsLen);
    if (nTail > 0)
        memcpy(hp->pSpliceBuf + hp->nVpsLen, pkt->data + 2, (size_t)nTail);
    memset(hp->pSpliceBuf + nSize, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    AVPacket *sp = hp->pSplicePkt;
    sp->buf = NULL;
    sp->data = hp->pSpliceBuf;
    sp->size = nSize;
    sp->flags = pkt->flags;
    sp->stream_index = pkt->stream_index;
    sp->pts = pkt->pts;
    sp->dts = pkt->dts;
    sp->duration = pkt->duration;
    sp->pos = pkt->pos;
    return sp;
}

void HevcPlanarAfterFFmpeg(HevcPlanar *hp)
{
    av_freep(&hp->pVpsBuf);
    hp->nVpsLen = 0;
}

int HevcPlanarCopy(HevcPlanar *hp, uint8_t *pYuv, int nWidth, int nHeight, I420Output *pConv)
{
    if (pYuv == NULL)
        return -1;
    const IHW265D_OUTARGS *o = &hp->drain.stOut;
    enum AVPixelFormat fmt = PictureFormat(o);
    if (pConv != NULL && fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_YUVJ420P && fmt != AV_PIX_FMT_NONE) {
        if (!HasPicture(o) || o->uiDecWidth != (unsigned int)nWidth || o->uiDecHeight != (unsigned int)nHeight)
            return -1;
        if (hp->pWrap == NULL && (hp->pWrap = av_frame_alloc()) == NULL)
            return -1;
        WrapPicture(o, fmt, hp->pWrap);
        return I420OutputCopy(pConv, hp->pWrap, pYuv);
    }
    size_t nY = (size_t)nWidth * nHeight;
    size_t nC = (size_t)(nWidth / 2) * (nHeight / 2);
    uint8_t *const apDst[3] = {pYuv, pYuv + nY, pYuv + nY + nC};
    const int anStride[3] = {nWidth, nWidth / 2, nWidth / 2};
    return HevcCopyPicture8(&hp->drain.stOut, nWidth, nHeight, apDst, anStride);
}
