// The planar decode thread: I420 pictures without row padding.

#include "decode/AudioDecode.h"
#include "decode/DecodeLoop.h"
#include "decode/DecodeThread.h"
#include "decode/HevcSelect.h"
#include "decode/PictureOut.h"
#include "ipcamera/CameraHealth.h"
#include "stream/FFmpegCompat.h"
#include "stream/HwDecode.h"
#include "stream/StreamEvents.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

// Unproductive FFmpeg calls in a row (corrupt data, or H.265 input that
// yields no picture) that the stream survives; one more ends it.
const int MAX_DECODE_RETRY = 10;

struct PlanarState {
    FFMpegContext *ctx;
    AudioDecoder audio;
    AVFrame *pFrame;          // every FFmpeg video decode lands here
    AVFrame *pHwFrame;        // system-memory copy of hardware pictures
    I420Output conv;
    uint8_t *pYuvBuf;         // I420 picture of nWidth x nHeight
    HevcPlanar hevc;          // H.265 decoder choice, marker probe and the built-in decoder's records
    int waitIframe;
    int retry;
    LastPicture last;
};

int AllocYuv(PlanarState *s, int w, int h)
{
    MemFree(s->pYuvBuf);
    s->last.pPic = NULL;
    s->pYuvBuf = (uint8_t *)MemAllocZero((size_t)I420Size(w, h));
    return s->pYuvBuf != NULL ? 0 : -1;
}

void LogBadPacket(PlanarState *s, const AVPacket *pkt)
{
    StreamHealthAdd(&s->ctx->health.nDecodeErrors, 1);
    // The payload is zero-padded, so bytes 3 and 4 exist for any size.
    DebugPrint("BadFrame iframe:%d size:%d nalu:0x%02x 0x%02x codec:%d hasSei:%d hsDecoder:%d\n", pkt->flags,
               pkt->size, pkt->data[3], pkt->data[4], (int)s->ctx->nInVideoCodecId, s->hevc.hasSei, s->hevc.hsDecoder);
}

// One video packet through FFmpeg: decode and judge. 0 when a picture (or
// an empty call) goes on to the size check, -1 when the packet ends here.
int DecodeFFmpeg(PlanarState *s, AVPacket *pkt)
{
    FFMpegContext *ctx = s->ctx;
    // After the built-in decoder gave up, parameter-set packets are held and
    // spliced in front of the next picture.
    AVPacket *in = HevcPlanarFilter(&s->hevc, pkt);
    if (in == NULL)
        return -1;
    int isHevc = ctx->nInVideoCodecId == AV_CODEC_ID_HEVC;
    int got = 0;
    int len = FFCompatDecode(ctx->pVideoCodecCtx, s->pFrame, &got, in);
    HevcPlanarAfterFFmpeg(&s->hevc);
    if (len == AVERROR_INVALIDDATA || (len > 0 && !got && isHevc)) {
        s->retry++;
        DebugPrint("len:%d got_picture:%d retry:%d", len, got, s->retry);
        if (s->retry > MAX_DECODE_RETRY)
            AtomicSet(&ctx->bRunning, 0);
        return -1;
    }
    if (len < 0) {
        DebugPrint("avcodec_decode_video2 error. len:%d gotpic:%d iframe:%d", len, got, pkt->flags);
        s->waitIframe = 1;
        LogBadPacket(s, pkt);
        return -1;
    }
    s->retry = 0;
    // A call without a picture (the decoder holding a picture back, frame
    // threads filling, a packet of parameter sets or delimiters only) is no
    // size change to 0 x 0: the pictures still come, so no key-frame wait.
    return got ? 0 : -1;
}

// Size check, copy and delivery of the picture in pFrame (built-in: the
// decoder's latest).
void ShowPicture(PlanarState *s, int builtIn)
{
    FFMpegContext *ctx = s->ctx;
    const AVFrame *f = s->pFrame;
    int w = AtomicGet(&ctx->nWidth), h = AtomicGet(&ctx->nHeight);
    if (w != f->width || h != f->height) {
        DebugPrint("The Camera resulotion has change from(%d, %d) to (%d, %d)", w, h, f->width, f->height);
        if (f->width == 0 || f->height == 0) {
            s->waitIframe = 1;
            return;
        }
        AtomicSet(&ctx->nWidth, f->width);
        AtomicSet(&ctx->nHeight, f->height);
        AllocYuv(s, f->width, f->height);
        if (s->pHwFrame != NULL)
            av_frame_unref(s->pHwFrame);
    }
    if (s->pYuvBuf == NULL)
        return;
    if (builtIn) {
        if (HevcPlanarCopy(&s->hevc, s->pYuvBuf, f->width, f->height, &s->conv) < 0)
            return;
        StreamHealthSet(&ctx->health.nDecodePath, IPC_DECODE_BUILTIN);
        DeliverPicture(ctx, &s->last, s->pYuvBuf, f->width, f->height);
        return;
    }
    const AVFrame *src = f;
    StreamHealthSet(&ctx->health.nDecodePath, hw_frame_is_hardware(src) ? IPC_DECODE_HARDWARE : IPC_DECODE_FFMPEG);
    if (hw_frame_is_hardware(src)) {
        src = hw_download_frame(&s->pHwFrame, src);
        if (src == NULL)
            return;
    }
    if (src->width != f->width || src->height != f->height || I420OutputCopy(&s->conv, src, s->pYuvBuf) < 0)
        return;
    DeliverPicture(ctx, &s->last, s->pYuvBuf, f->width, f->height);
}

// One video packet: decode (built-in decoder or FFmpeg), size check, copy,
// deliver. The built-in decoder hands out every picture of the packet.
void DecodeVideo(PlanarState *s, AVPacket *pkt)
{
    FFMpegContext *ctx = s->ctx;
    if (s->waitIframe == 1 && pkt->flags != AV_PKT_FLAG_KEY)
        return;
    s->waitIframe = 0;

    int r = HevcPlanarDecode(&s->hevc, ctx, pkt, s->pFrame, &s->waitIframe);
    if (r == HEVC_DEC_FFMPEG) {
        if (DecodeFFmpeg(s, pkt) == 0)
            ShowPicture(s, 0);
        return;
    }
    for (; r != HEVC_DEC_DONE && r != HEVC_DEC_STOP;
         r = HevcPlanarContinue(&s->hevc, ctx, pkt, s->pFrame, &s->waitIframe)) {
        if (r == HEVC_DEC_BAD || r == HEVC_DEC_CONCEALED) {
            if (r == HEVC_DEC_BAD)
                StreamHealthAdd(&ctx->health.nWithheld, 1);
            LogBadPacket(s, pkt);
        }
        if (r == HEVC_DEC_PICTURE || r == HEVC_DEC_CONCEALED)
            ShowPicture(s, 1);
    }
}

void HandlePacket(void *state, AVPacket *pkt)
{
    PlanarState *s = (PlanarState *)state;
    FFMpegContext *ctx = s->ctx;
    if (!AtomicGet(&ctx->bDecodeEnable) || pkt->size < 1) {
        s->waitIframe = 1;
        return;
    }
    // H.265: the marker probe, and nothing passes until the size is known.
    int prep = HevcPlanarPrepare(&s->hevc, ctx, s->pFrame, pkt);
    if (prep == HEVC_PREP_DROP)
        return;
    if (prep == HEVC_PREP_RESIZED)
        AllocYuv(s, AtomicGet(&ctx->nWidth), AtomicGet(&ctx->nHeight));
    if (pkt->stream_index == ctx->nDataIndex) {
        FFMpegDataBuffer(ctx, pkt->data, pkt->size);
        return;
    }
    int isVideo = pkt->stream_index == ctx->nVideoIndex;
    if (ctx->bSmoothStream && isVideo && ctx->pfnVideoWait != NULL)
        ctx->pfnVideoWait(ctx);
    if (HevcPlanarCreate(&s->hevc, ctx, pkt))
        AllocYuv(s, AtomicGet(&ctx->nWidth), AtomicGet(&ctx->nHeight));

    if (ctx->nAudioIndex >= 0 && pkt->stream_index == ctx->nAudioIndex) {
        int bytes = 0, rate = 0;
        if (AudioDecodePacket(&s->audio, ctx, pkt, &bytes, &rate) == AUDIO_OK && bytes > 0)
            FFMpegAudioBuffer(ctx, (unsigned short *)s->audio.aPcm, bytes / 2, rate);
        return;
    }
    if (ctx->nVideoIndex < 0 || !isVideo)
        return;
    DecodeVideo(s, pkt);
}

}  // namespace

int ThreadFFmpegDecodeD3D(void *arg)
{
    FFMpegContext *ctx = (FFMpegContext *)arg;
    if (ctx == NULL)
        return 0;
    PlanarState *s = (PlanarState *)MemAllocZero(sizeof(PlanarState));
    if (s == NULL)
        return 0;
    s->ctx = ctx;
    AudioDecoderOpen(&s->audio, ctx);
    HevcPlanarInit(&s->hevc);
    s->waitIframe = 1;
    int w = AtomicGet(&ctx->nWidth), h = AtomicGet(&ctx->nHeight);
    if (w != 0 && h != 0)
        AllocYuv(s, w, h);
    s->pFrame = av_frame_alloc();
    if (s->pFrame == NULL)
        AtomicSet(&ctx->bRunning, 0);

    RunDecodeLoop(ctx, &s->last, HandlePacket, s);

    AudioDecoderClose(&s->audio);
    MemFree(s->pYuvBuf);
    av_frame_free(&s->pFrame);
    av_frame_free(&s->pHwFrame);
    I420OutputFree(&s->conv);
    HevcPlanarFree(&s->hevc);
    MemFree(s);
    return 0;
}
