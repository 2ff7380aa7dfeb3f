#include "stream/ReadThread.h"

#include <time.h>

#include "record/AviRecorder.h"
#include "stream/FFMpegContext.h"
#include "stream/HttpRaw.h"
#include "stream/PacketQueue.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

float ReadStatsBitRate(float fBytes, uint32_t nElapsedMs)
{
    if (nElapsedMs == 0)
        return 0.0f;
    return fBytes / (float)nElapsedMs * 8.0f;
}

int ReadStatsFrameRate(int nVideoPackets)
{
    return nVideoPackets / 3;
}

int ReadStatsFrameInterval(uint32_t nElapsedMs)
{
    return (int)((nElapsedMs + 20u) / 40u);
}

// Seconds of a monotonic clock: the calendar clock may be set back or
// forward (and its low 32 bits cross the sign in 2038), which would end a
// healthy stream at once or never end a dead one.
static int NowSeconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int)t.tv_sec;
}

int ThreadFFmpegRun(void *arg)
{
    FFMpegContext *ctx = (FFMpegContext *)arg;
    if (ctx == NULL)
        return 0;

    int lastData = NowSeconds();
    int queued = 0;
    int keyWait = 0;
    uint32_t statStart = TickCount();
    float byteSum = 0.0f;
    int videoQueued = 0;
    uint32_t intervalStart = statStart;
    int intervalCount = 0;

    StreamHealthSet(&ctx->health.nLastDataTick, (int32_t)statStart);
    AVPacket *pkt = av_packet_alloc();
    if (pkt == NULL) {
        DebugPrint("Play:%s ThreadFFmpegRun Finish", ctx->szName);
        AtomicSet(&ctx->bFinish, 1);
        return 0;
    }

    while (AtomicGet(&ctx->bRunning)) {
        int n = GetAVPktListElmCount(ctx);
        if (n > READ_QUEUE_LIMIT) {
            DebugPrint("[%s]GetAVPktListElmCount: %d", ctx->szName, n);
            ClearAVPktList(ctx);
            keyWait = 1;
            continue;
        }
        if (AtomicGet(&ctx->bSaving) && __atomic_load_n(&ctx->nSaveTickCount, __ATOMIC_RELAXED) <= 0)
            DebugPrint("nSaveTickCount:%d\n", (int)__atomic_load_n(&ctx->nSaveTickCount, __ATOMIC_RELAXED));

        av_packet_unref(pkt);
        if (ctx->bHttpRaw) {
            int r = http_read_data(ctx, pkt);
            if (r == -3) {
                StreamHealthSet(&ctx->health.nReadError, r);
                DebugPrint("[HTTP] %s read one frame error.", ctx->szName);
                break;
            }
            if (r == -1 || r == -2) {
                av_packet_unref(pkt);
                StreamHealthSet(&ctx->health.nReadError, r);
                if (AtomicGet(&ctx->bPauseRead)) {
                    lastData = NowSeconds();
                    SleepMs(READ_RETRY_SLEEP_MS);
                    continue;
                }
                int idle = NowSeconds() - lastData;
                if (idle > READ_NODATA_LIMIT_S) {
                    DebugPrint("[HTTP] %s time-period:%d\n", ctx->szName, idle);
                    break;
                }
                // -1 used up bytes (garbage, a dropped frame): the next read
                // waits for data by itself. Only a time-out or short read
                // (-2) is worth a pause.
                if (r == -2)
                    SleepMs(READ_RETRY_SLEEP_MS);
                continue;
            }
        } else {
            int r = av_read_frame(ctx->pFormatCtx, pkt);
            if (r < 0) {
                // A supervisor tells a closed connection from a quiet one by it.
                StreamHealthSet(&ctx->health.nReadError, r);
                if (AtomicGet(&ctx->bPauseRead)) {
                    SleepMs(READ_RETRY_SLEEP_MS);
                    lastData = NowSeconds();
                    continue;
                }
                int idle = NowSeconds() - lastData;
                if (!AtomicGet(&ctx->bRunning) || idle > READ_NODATA_LIMIT_S) {
                    DebugPrint("[RTSP]time-period:%d\n", idle);
                    break;
                }
                SleepMs(READ_RETRY_SLEEP_MS);
                continue;
            }
        }

        StreamHealthSet(&ctx->health.nReadError, 0);
        StreamHealthSet(&ctx->health.nLastDataTick, (int32_t)TickCount());
        StreamHealthAdd(&ctx->health.nBytes, pkt->size > 0 ? pkt->size : 0);
        if (pkt->flags & AV_PKT_FLAG_CORRUPT)
            StreamHealthAdd(&ctx->health.nCorruptPackets, 1);

        int isVideo = pkt->stream_index == ctx->nVideoIndex;
        if (keyWait) {
            // Only a clean key frame (no corrupt or other flag) restarts
            // queueing after an overflow.
            if (!(isVideo && pkt->flags == AV_PKT_FLAG_KEY)) {
                av_packet_unref(pkt);
                continue;
            }
            keyWait = 0;
        }

        uint32_t now = TickCount();
        uint32_t elapsed = now - statStart;
        if (elapsed >= READ_STATS_WINDOW_MS) {
            statStart = now;
            AtomicSetFloat(&ctx->fBitRate, ReadStatsBitRate(byteSum, elapsed));
            AtomicSet(&ctx->nFrameRate, ReadStatsFrameRate(videoQueued));
            byteSum = 0.0f;
            videoQueued = 0;
        }
        if (pkt->size >= 0 && isVideo)
            byteSum += (float)pkt->size;

        if (ctx->bSmoothStream && isVideo) {
            intervalCount++;
            if (intervalCount >= READ_INTERVAL_PACKETS) {
                AtomicSet(&ctx->nFrameInterval, ReadStatsFrameInterval(now - intervalStart));
                intervalCount = 0;
                intervalStart = now;
            }
        }
        lastData = NowSeconds();

        // The recorder writes its own reference to the payload, under
        // hSaveMutex, from the recording's first video key frame on.
        FFMpegSaveAviWritePacket(ctx, pkt);

        if (queued > 0 || (isVideo && pkt->flags != 0 && AtomicGet(&ctx->bDecodeEnable))) {
            PutAVPktList(ctx, pkt);
            queued++;
            if (isVideo)
                videoQueued++;
        }
        av_packet_unref(pkt);
    }

    av_packet_free(&pkt);
    DebugPrint("Play:%s ThreadFFmpegRun Finish", ctx->szName);
    AtomicSet(&ctx->bFinish, 1);
    return 0;
}
