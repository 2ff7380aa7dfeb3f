#include "stream/FFMpegContext.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "decode/DecodeThread.h"
#include "decode/HevcSelect.h"
#include "record/AviRecorder.h"
#include "stream/FFmpegCompat.h"
#include "stream/HttpRaw.h"
#include "stream/HwDecode.h"
#include "stream/PacketQueue.h"
#include "stream/ReadThread.h"
#include "support/List.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

// Process-wide state. The lock is created once and lives for the process.
static Mutex *g_hLibraryLock = NULL;
// Number of FFMpegContextCreate calls opening a source right now (relaxed
// atomic); several cameras may connect at once.
static int g_nConnecting = 0;

// Lock-manager operations of the old interface.
enum { LOCK_CREATE = 0, LOCK_OBTAIN = 1, LOCK_RELEASE = 2, LOCK_DESTROY = 3 };

static const char *const OPEN_TIMEOUT = "5000000";
static const char *const OPEN_RETRY_TIMEOUT = "10000000";

// Creates *pSlot once even if several threads race here.
static void CreateOnce(Mutex **pSlot)
{
    if (__atomic_load_n(pSlot, __ATOMIC_ACQUIRE) != NULL)
        return;
    Mutex *m = MutexCreate();
    Mutex *expected = NULL;
    if (!__atomic_compare_exchange_n(pSlot, &expected, m, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        MutexDestroy(m);
}

int FFMpegRegister(void)
{
    DebugPrint("FFMpegRegister start\n");
    CreateOnce(&g_hLibraryLock);
    FFCompatRegisterAll();
    return 0;
}

int FFMpegLockCallback(void **mutex, int op)
{
    (void)mutex;
    if (op == LOCK_OBTAIN)
        MutexLock(__atomic_load_n(&g_hLibraryLock, __ATOMIC_ACQUIRE));
    else if (op == LOCK_RELEASE)
        MutexUnlock(__atomic_load_n(&g_hLibraryLock, __ATOMIC_ACQUIRE));
    return 0;
}

int FFMpegInterruptCb(void *opaque)
{
    FFMpegContext *ctx = (FFMpegContext *)opaque;
    if (ctx == NULL)
        return 0;
    if (ctx->pOpenCancel != NULL && AtomicGet(ctx->pOpenCancel))
        return 1;
    return AtomicGet(&ctx->bRunning) != 1 ? 1 : 0;
}

int FFMpegIsConnecting(void)
{
    return AtomicGet(&g_nConnecting) > 0 ? 1 : 0;
}

Mutex *FFMpegRecorderLock(FFMpegContext *ctx)
{
    return ctx != NULL ? ctx->hRecordMutex : NULL;
}

// The stream whose thread this is: set first thing on its read and decode
// threads, so a teardown asked for from inside them is recognised.
static thread_local FFMpegContext *t_pOwnStream = NULL;

FFMpegContext *FFMpegCurrentStream(void)
{
    return t_pOwnStream;
}

static int RunReadThread(void *p)
{
    t_pOwnStream = (FFMpegContext *)p;
    return ThreadFFmpegRun(p);
}

static int RunDecodeThread(void *p)
{
    t_pOwnStream = (FFMpegContext *)p;
    return ThreadFFmpegDecode(p);
}

static int RunDecodeThreadD3D(void *p)
{
    t_pOwnStream = (FFMpegContext *)p;
    return ThreadFFmpegDecodeD3D(p);
}

static void CopyName(char *dst, const char *src)
{
    snprintf(dst, 256, "%s", src);
}

void FFMpegNominalFrameRate(AVRational tb, int64_t *pNum, int64_t *pDen)
{
    if (tb.den > 30000 || tb.den <= 0) {
        *pNum = 24;
        *pDen = 1;
        return;
    }
    *pNum = tb.den;
    *pDen = tb.num < 1 ? 1 : tb.num;
}

static int OpenInput(FFMpegContext *ctx, const char *url, AVDictionary **pOpts)
{
    ctx->pFormatCtx = avformat_alloc_context();
    if (ctx->pFormatCtx == NULL)
        return AVERROR(ENOMEM);
    ctx->pFormatCtx->interrupt_callback.callback = FFMpegInterruptCb;
    ctx->pFormatCtx->interrupt_callback.opaque = ctx;
    // On failure FFmpeg frees the context and nulls the pointer.
    return avformat_open_input(&ctx->pFormatCtx, url, NULL, pOpts);
}

// Demuxer path. On failure everything it acquired is released again and
// -1 returned (the caller frees the record).
static int OpenDemuxer(FFMpegContext *ctx, const char *url, const char *label, AVDictionary **pOpts)
{
    int ret = OpenInput(ctx, url, pOpts);
    if (ret == AVERROR(ETIMEDOUT)) {
        // One retry with a longer time-out. It keeps the interrupt callback,
        // so closing the camera still ends a retry that blocks.
        FFCompatSetOpenTimeout(pOpts, url, OPEN_RETRY_TIMEOUT);
        ret = OpenInput(ctx, url, pOpts);
    }
    if (ret < 0) {
        DebugPrint("%s avformat_open_input error ret:%d", label, ret);
        avformat_close_input(&ctx->pFormatCtx);
        return -1;
    }
    AVFormatContext *fmt = ctx->pFormatCtx;

    const AVCodec *videoCodec = NULL;
    ret = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &videoCodec, 0);
    if (ret < 0) {
        DebugPrint("%s video av_find_best_stream error! ret:%d", label, ret);
        avformat_close_input(&ctx->pFormatCtx);
        return -1;
    }
    int videoIndex = ret;

    char codecLabel[32];
    if (videoCodec->id == AV_CODEC_ID_HEVC)
        snprintf(codecLabel, sizeof(codecLabel), "H265");
    else if (videoCodec->id == AV_CODEC_ID_H264)
        snprintf(codecLabel, sizeof(codecLabel), "H264");
    else
        snprintf(codecLabel, sizeof(codecLabel), "codec:%d", (int)videoCodec->id);

    for (unsigned i = 0; i < fmt->nb_streams; i++) {
        switch (fmt->streams[i]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO: ctx->nVideoIndex = (int)i; break;
        case AVMEDIA_TYPE_AUDIO: ctx->nAudioIndex = (int)i; break;
        case AVMEDIA_TYPE_DATA: ctx->nDataIndex = (int)i; break;
        default: break;
        }
    }

    // RTSP sources are not probed (it costs seconds) unless MPEG-4 Part 2,
    // whose configuration only shows in the stream itself.
    if (strstr(url, "rtsp://") == NULL || videoCodec->id == AV_CODEC_ID_MPEG4)
        avformat_find_stream_info(fmt, NULL);

    AVStream *vst = fmt->streams[videoIndex];
    FFMpegNominalFrameRate(vst->time_base, &ctx->nFrameRateNum, &ctx->nFrameRateDen);
    ctx->nVideoIndex = videoIndex;
    ctx->nInVideoCodecId = videoCodec->id;
    ctx->pVideoCodecCtx = FFCompatAllocStreamContext(vst, videoCodec);
    if (ctx->pVideoCodecCtx == NULL) {
        DebugPrint("%s open video codec error! ret:%d", label, AVERROR(ENOMEM));
        avformat_close_input(&ctx->pFormatCtx);
        return -1;
    }
    AtomicSet(&ctx->nWidth, vst->codecpar->width);
    AtomicSet(&ctx->nHeight, vst->codecpar->height);

    if (videoCodec->id == AV_CODEC_ID_HEVC) {
        int hw = set_hwdevice_ctx(ctx->pVideoCodecCtx);
        DebugPrint("set_hwdevice_ctx ret:%d", hw);
        ctx->pVideoCodecCtx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    }

    AVDictionary *videoOpts = NULL;
    av_dict_set(&videoOpts, "threads", "auto", 0);
    ret = avcodec_open2(ctx->pVideoCodecCtx, videoCodec, &videoOpts);
    av_dict_free(&videoOpts);
    if (ret < 0) {
        DebugPrint("%s open video codec error! ret:%d", label, ret);
        FFCompatFreeContext(&ctx->pVideoCodecCtx);
        avformat_close_input(&ctx->pFormatCtx);
        return -1;
    }

    const AVCodec *audioCodec = NULL;
    int r = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &audioCodec, 0);
    DebugPrint("%s video:%s nstream:%d(%d %d %d) resolution:%d*%d audio:%d", label, codecLabel,
               (int)fmt->nb_streams, ctx->nVideoIndex, ctx->nAudioIndex, ctx->nDataIndex,
               ctx->nWidth, ctx->nHeight, r);

    // A best audio stream at index 0 is not taken; the stream then plays
    // without audio decoding.
    if (r > 0 && audioCodec != NULL) {
        ctx->nAudioIndex = r;
        ctx->nInAudioCodecId = audioCodec->id;
        DebugPrint("qzr audio type:%d;  G722:%d;  G726:%d", (int)audioCodec->id,
                   (int)AV_CODEC_ID_ADPCM_G722, (int)AV_CODEC_ID_ADPCM_G726);
        ctx->pAudioCodecCtx = FFCompatAllocStreamContext(fmt->streams[r], audioCodec);
        ret = AVERROR(ENOMEM);
        if (ctx->pAudioCodecCtx != NULL) {
            if (audioCodec->id == AV_CODEC_ID_ADPCM_G726) {
                ctx->pAudioCodecCtx->bits_per_coded_sample = 2;
                ctx->pAudioCodecCtx->sample_rate = 8000;
            } else if (audioCodec->id == AV_CODEC_ID_ADPCM_G722) {
                ctx->pAudioCodecCtx->bits_per_coded_sample = 4;
                ctx->pAudioCodecCtx->sample_rate = 16000;
            }
            ret = avcodec_open2(ctx->pAudioCodecCtx, audioCodec, NULL);
        }
        if (ret < 0) {
            ctx->nAudioIndex = -1;
            ctx->nInAudioCodecId = AV_CODEC_ID_NONE;
            FFCompatFreeContext(&ctx->pAudioCodecCtx);
            DebugPrint("%s open audio codec error! ret:%d", label, ret);
        }
    }
    return 0;
}

// Releases the source and decoders of either mode; safe on a partly opened
// record.
static void CloseSource(FFMpegContext *ctx)
{
    if (ctx->bHttpRaw) {
        http_close_stream(ctx);
        return;
    }
    FFCompatFreeContext(&ctx->pVideoCodecCtx);
    FFCompatFreeContext(&ctx->pAudioCodecCtx);
    avformat_close_input(&ctx->pFormatCtx);
}

// Releases what the common end acquired (no thread runs).
static void FreeRecord(FFMpegContext *ctx)
{
    ListDestroy(ctx->pPktList, FreeAVPkt);
    ctx->pPktList = NULL;
    MutexDestroy(ctx->hPktListMutex);
    MutexDestroy(ctx->hSaveMutex);
    MutexDestroy(ctx->hRecordMutex);
    CloseSource(ctx);
    MemFree(ctx);
}

FFMpegContext *FFMpegContextCreate(void *pSession, const char *url, int nConnectType,
                                   FFMpegVideoWaitFn pfnVideoWait, int bSmoothStream, int bD3DDisplay,
                                   const int32_t *pOpenCancel)
{
    uint32_t start = TickCount();
    if (url == NULL)
        return NULL;
    FFMpegContext *ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
    if (ctx == NULL)
        return NULL;
    ctx->bRunning = 1;
    ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;

    AVDictionary *opts = NULL;
    char label[32];
    // Room for the given address plus "?tcp".
    size_t urlLen = strlen(url);
    char *useUrl = (char *)MemAllocZero(urlLen + 5);
    if (useUrl == NULL) {
        MemFree(ctx);
        return NULL;
    }
    memcpy(useUrl, url, urlLen);
    if (nConnectType == 2) {
        snprintf(label, sizeof(label), "http");
    } else if (nConnectType == 0) {
        snprintf(label, sizeof(label), "udp");
        av_dict_set(&opts, "rtsp_transport", "udp+tcp", 0);
    } else {
        snprintf(label, sizeof(label), "tcp");
        av_dict_set(&opts, "rtsp_transport", "tcp", 0);
        // "?tcp" is an RTSP address option; a file path or other protocol
        // would no longer open with it.
        if (strstr(url, "?tcp") == NULL && strstr(url, "http://") == NULL && strstr(url, "rtsp://") != NULL)
            memcpy(useUrl + urlLen, "?tcp", 5);
    }
    FFCompatSetOpenTimeout(&opts, useUrl, OPEN_TIMEOUT);
    av_dict_set(&opts, "fflags", "nobuffer", 0);
    AtomicAdd(&g_nConnecting, 1);
    ctx->pOpenCancel = pOpenCancel;

    int ret;
    if (strstr(useUrl, "http://") != NULL)
        ret = http_open_stream(ctx, useUrl, label);
    else
        ret = OpenDemuxer(ctx, useUrl, label, &opts);
    // The owner's flag may not outlive the open (the threads outlive an
    // owner destroyed from its own callback).
    ctx->pOpenCancel = NULL;

    if (ret == 0) {
        ctx->pSession = pSession;
        ctx->bPauseRead = 0;
        CopyName(ctx->szName, useUrl);
        ctx->pPktList = (List *)MemAllocZero(sizeof(List));
        ctx->hPktListMutex = MutexCreate();
        ctx->hSaveMutex = MutexCreate();
        ctx->hRecordMutex = MutexCreate();
        if (ctx->pPktList == NULL || ctx->hPktListMutex == NULL || ctx->hSaveMutex == NULL ||
            ctx->hRecordMutex == NULL)
            ret = -1;
    }
    if (ret == 0) {
        ctx->pfnVideoWait = pfnVideoWait;
        ctx->bSmoothStream = bSmoothStream;
        ctx->hReadThread = ThreadCreate(RunReadThread, ctx);
        if (ctx->hReadThread == NULL)
            ret = -1;
    }
    if (ret == 0) {
        ctx->hDecodeThread = ThreadCreate(bD3DDisplay ? RunDecodeThreadD3D : RunDecodeThread, ctx);
        if (ctx->hDecodeThread == NULL) {
            AtomicSet(&ctx->bRunning, 0);
            ThreadJoin(ctx->hReadThread);
            MemFree(ctx->hReadThread);
            ret = -1;
        }
    }

    av_dict_free(&opts);
    AtomicAdd(&g_nConnecting, -1);
    if (ret != 0) {
        FreeRecord(ctx);
        MemFree(useUrl);
        return NULL;
    }
    DebugPrint("FFMpegContextCreate succ end. used time:%ld(ms) playmode:%d url:%s",
               (long)(uint32_t)(TickCount() - start), bSmoothStream, ctx->szName);
    MemFree(useUrl);
    return ctx;
}

int FFMpegContextDestroy(FFMpegContext *ctx)
{
    if (ctx == NULL)
        return 0;
    if (t_pOwnStream == ctx) {
        DebugPrint("FFMpegContextDestroy refused. url:%s: called from the stream's own thread", ctx->szName);
        return -1;
    }
    DebugPrint("FFMpegContextDestroy start. url:%s", ctx->szName);
    AtomicSet(&ctx->bRunning, 0);
    FFMpegStopSaveAvi(ctx);
    ThreadJoin(ctx->hReadThread);
    MemFree(ctx->hReadThread);
    ctx->hReadThread = NULL;
    ThreadJoin(ctx->hDecodeThread);
    MemFree(ctx->hDecodeThread);
    ctx->hDecodeThread = NULL;
    ListDestroy(ctx->pPktList, FreeAVPkt);
    ctx->pPktList = NULL;
    MutexDestroy(ctx->hPktListMutex);
    ctx->hPktListMutex = NULL;
    MutexDestroy(ctx->hSaveMutex);
    ctx->hSaveMutex = NULL;
    MutexDestroy(ctx->hRecordMutex);
    ctx->hRecordMutex = NULL;
    // The built-in decoder instance, once a decode thread created one; the
    // thread is joined, so nothing uses it any more. It goes back through
    // the same decoder table that made it.
    HevcDeleteDecoder(ctx);
    char name[256];
    CopyName(name, ctx->szName);
    CloseSource(ctx);
    DebugPrint("FFMpegContextDestroy end. url:%s", name);
    MemFree(ctx);
    return 0;
}

static int DestroyRoutine(void *p)
{
    FFMpegContextDestroy((FFMpegContext *)p);
    return 0;
}

int FFMpegContextDestroyLater(FFMpegContext *ctx)
{
    if (ctx == NULL)
        return 0;
    // The owner is going away: from here the decode thread raises no event
    // and waits for no release, and both threads wind down.
    __atomic_store_n(&ctx->pSession, (void *)NULL, __ATOMIC_RELEASE);
    AtomicSet(&ctx->bRunning, 0);
    if (ThreadRunDetached(DestroyRoutine, ctx) != 0) {
        DebugPrint("FFMpegContextDestroyLater url:%s: no thread for the teardown, stream left stopped",
                   ctx->szName);
        return -1;
    }
    return 0;
}
