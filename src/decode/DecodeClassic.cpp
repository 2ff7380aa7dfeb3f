// The classic decode thread: packed BGR24 pictures, bottom row first.

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

// MPEG-4 Part 2 streams show nothing for their first converted pictures:
// the decoder needs them to settle.
const int MPEG4_WITHHELD_PICTURES = 21;
const int TIMING_LOG_EVERY = 1000;

struct ClassicState {
    FFMpegContext *ctx;
    AudioDecoder audio;
    AVFrame *pFrame;          // every FFmpeg video decode lands here
    AVFrame *pHwFrame;        // system-memory copy of hardware pictures
    BgrOutput out;
    int bSetupPending;        // 1 until the first picture set the output up
    HevcClassic hevc;         // H.265 decoder choice and the built-in decoder's records
    int waitIframe;
    int nIsBadFrame;
    int badPending;
    int skipNextKey;
    int swlTime, drawTime, decodeTime;
    int frameCount;
    LastPicture last;
};

int IsKeyVideo(const FFMpegContext *ctx, const AVPacket *pkt)
{
    return pkt->flags != 0 && pkt->stream_index == ctx->nVideoIndex;
}

// Converts and delivers the decoded picture. Returns 0 when the packet's
// handling goes on, -1 when the picture could not be set up (dropped).
int OutputPicture(ClassicState *s, const AVPacket *pkt)
{
    FFMpegContext *ctx = s->ctx;
    // A built-in picture is first copied into 8-bit yuv420p.
    const AVFrame *src = HevcClassicInUse(&s->hevc, ctx) ? HevcClassicPicture(&s->hevc) : s->pFrame;
    if (src == NULL)
        return -1;
    if (s->bSetupPending || AtomicGet(&ctx->nWidth) != src->width || AtomicGet(&ctx->nHeight) != src->height ||
        s->out.pOutPic == NULL) {
        AtomicSet(&ctx->nWidth, src->width);
        AtomicSet(&ctx->nHeight, src->height);
        s->last.pPic = NULL;
        // The hardware transfer target is re-made at the new size.
        if (s->pHwFrame != NULL)
            av_frame_unref(s->pHwFrame);
        if (BgrOutputSetup(&s->out, src->width, src->height) < 0) {
            DebugPrint("vorn debug====out_pic alloc_picture error\n");
            return -1;
        }
        s->bSetupPending = 0;
    }
    if (hw_frame_is_hardware(src)) {
        src = hw_download_frame(&s->pHwFrame, src);
        if (src == NULL)
            return -1;
    }

    uint32_t t1 = TickCount();
    if (BgrOutputConvert(&s->out, src) < 0)
        return -1;
    s->swlTime += (int)(TickCount() - t1);

    uint32_t t2 = TickCount();
    if (s->skipNextKey == 1 && IsKeyVideo(ctx, pkt)) {
        StreamHealthAdd(&ctx->health.nWithheld, 1);
        s->skipNextKey = 0;
        return 0;
    }
    if (AtomicGet(&ctx->bDecodeEnable) &&
        (s->frameCount >= MPEG4_WITHHELD_PICTURES || ctx->nInVideoCodecId != AV_CODEC_ID_MPEG4)) {
        DeliverPicture(ctx, &s->last, s->out.pOutBuf, src->width, src->height);
    }
    s->drawTime += (int)(TickCount() - t2);
    if (s->frameCount % TIMING_LOG_EVERY == 0) {
        DebugPrint("[%s] SwlTime:%d  DrawTime:%d nDecodeTIme;%d", ctx->szName, s->swlTime, s->drawTime,
                   s->decodeTime);
        s->swlTime = s->drawTime = s->decodeTime = 0;
    }
    s->frameCount++;
    return 0;
}

// Judges one decoder answer (bad marks, withholding) and shows its picture.
// -1 when the picture could not be set up. FFmpeg may hand out an earlier
// packet's picture with a key packet, so after a bad key picture the
// picture that comes with the next key packet is withheld too; the built-in
// decoder hands out each packet's own picture with it, and the next key
// packet's is a fresh key picture.
int ShowDecoded(ClassicState *s, const AVPacket *pkt, int got, int builtIn)
{
    FFMpegContext *ctx = s->ctx;
    if (s->nIsBadFrame) {
        if (pkt->stream_index == ctx->nVideoIndex)
            StreamHealthAdd(&ctx->health.nDecodeErrors, 1);
        DebugPrint("[%s] is bad frame", ctx->szName);
        s->badPending = 1;
        if (IsKeyVideo(ctx, pkt) && !builtIn)
            s->skipNextKey = 1;
    }
    if (got && s->badPending)
        StreamHealthAdd(&ctx->health.nWithheld, 1);
    if (got && !s->badPending)
        return OutputPicture(s, pkt);
    return 0;
}

void HandlePacket(void *state, AVPacket *pkt)
{
    ClassicState *s = (ClassicState *)state;
    FFMpegContext *ctx = s->ctx;
    int isVideo = pkt->stream_index == ctx->nVideoIndex;

    if (ctx->bSmoothStream && AtomicGet(&ctx->bDecodeEnable) && isVideo && ctx->pfnVideoWait != NULL)
        ctx->pfnVideoWait(ctx);

    if (pkt->stream_index == ctx->nDataIndex) {
        FFMpegDataBuffer(ctx, pkt->data, pkt->size);
        return;
    }
    if (IsKeyVideo(ctx, pkt))
        HevcClassicDecide(&s->hevc, ctx, pkt, &s->badPending);
    if (!AtomicGet(&ctx->bDecodeEnable) || pkt->size < 1) {
        s->waitIframe = 1;
        return;
    }

    uint32_t t0 = TickCount();
    int audioBytes = 0, audioRate = 0;
    int got = 0;
    int ret = 0;
    int isAudio = ctx->nAudioIndex >= 0 && pkt->stream_index == ctx->nAudioIndex;
    int byFFmpeg = 0;
    int builtIn = 0;
    if (isAudio) {
        ret = AudioDecodePacket(&s->audio, ctx, pkt, &audioBytes, &audioRate);
        if (ret == AUDIO_DROP)
            return;
        byFFmpeg = ctx->nInAudioCodecId != AV_CODEC_ID_AAC;
    } else if (isVideo) {
        if (s->waitIframe == 1 && pkt->flags != AV_PKT_FLAG_KEY) {
            DebugPrint("vorn debug === no I-frame");
            return;
        }
        s->waitIframe = 0;
        builtIn = HevcClassicInUse(&s->hevc, ctx);
        if (builtIn && HevcClassicDecode(&s->hevc, ctx, pkt, s->pFrame, &got, &s->nIsBadFrame, &s->badPending) < 0) {
            // Refused: FFmpeg takes over, from this packet if it is a key
            // packet. Marks of the built-in decoder's pictures do not carry
            // over to FFmpeg's.
            builtIn = 0;
            s->badPending = 0;
            s->skipNextKey = 0;
            if (pkt->flags != AV_PKT_FLAG_KEY) {
                s->waitIframe = 1;
                return;
            }
        }
        if (builtIn) {
            if (got)
                StreamHealthSet(&ctx->health.nDecodePath, IPC_DECODE_BUILTIN);
        } else {
            ret = FFCompatDecode(ctx->pVideoCodecCtx, s->pFrame, &got, pkt);
            s->nIsBadFrame = 0;
            if (ret < 0)
                StreamHealthAdd(&ctx->health.nDecodeErrors, 1);
            if (got)
                StreamHealthSet(&ctx->health.nDecodePath,
                                hw_frame_is_hardware(s->pFrame) ? IPC_DECODE_HARDWARE : IPC_DECODE_FFMPEG);
            byFFmpeg = 1;
        }
    } else {
        // A stream we neither show nor play (subtitles, a second video
        // track): feeding it to the video decoder would only corrupt it.
        return;
    }
    s->decodeTime += (int)(TickCount() - t0);

    if (byFFmpeg && ret < 0) {
        DebugPrint("%s error while decoding frame %d nIsBadFrame:%d got_picture:%d", ctx->szName, s->frameCount,
                   s->nIsBadFrame, got);
        s->badPending = 1;
    }
    int shown = ShowDecoded(s, pkt, got, builtIn);
    // The built-in decoder hands out the rest of the packet's pictures (a
    // packet is a whole access unit: its own picture is due now, not when
    // the next packet begins).
    while (builtIn) {
        uint32_t t3 = TickCount();
        int more = HevcClassicContinue(&s->hevc, ctx, s->pFrame, &got, &s->nIsBadFrame, &s->badPending);
        s->decodeTime += (int)(TickCount() - t3);
        if (more < 0) {
            // Refused: FFmpeg starts at the next key packet.
            s->waitIframe = 1;
            s->badPending = 0;
            s->skipNextKey = 0;
        }
        if (more <= 0)
            break;
        ShowDecoded(s, pkt, got, builtIn);
    }
    if (shown < 0)
        return;
    if (AtomicGet(&ctx->bDecodeEnable) && audioBytes > 0)
        FFMpegAudioBuffer(ctx, (unsigned short *)s->audio.aPcm, audioBytes / 2, audioRate);
}

}  // namespace

int ThreadFFmpegDecode(void *arg)
{
    FFMpegContext *ctx = (FFMpegContext *)arg;
    if (ctx == NULL)
        return 0;
    // About 32 KB of PCM buffer: kept off the thread's stack.
    ClassicState *s = (ClassicState *)MemAllocZero(sizeof(ClassicState));
    if (s == NULL)
        return 0;
    s->ctx = ctx;
    AudioDecoderOpen(&s->audio, ctx);
    s->bSetupPending = 1;
    HevcClassicInit(&s->hevc);
    s->waitIframe = 1;
    if (AtomicGet(&ctx->nWidth) == 0) {
        AtomicSet(&ctx->nWidth, 320);
        AtomicSet(&ctx->nHeight, 240);
    }
    s->pFrame = av_frame_alloc();
    if (s->pFrame == NULL)
        AtomicSet(&ctx->bRunning, 0);

    RunDecodeLoop(ctx, &s->last, HandlePacket, s);

    DebugPrint("play:%s decode", ctx->szName);
    if (ctx->nInAudioCodecId == AV_CODEC_ID_AAC)
        DebugPrint("NeAACDecClose...");
    AudioDecoderClose(&s->audio);
    BgrOutputFree(&s->out);
    av_frame_free(&s->pFrame);
    av_frame_free(&s->pHwFrame);
    HevcClassicFree(&s->hevc);
    DebugPrint("play:%s thread decode finish", ctx->szName);
    MemFree(s);
    return 0;
}
