#include "decode/DecodeLoop.h"

#include "stream/PacketQueue.h"
#include "stream/StreamEvents.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

const int IDLE_POLL_MS = 10;

}  // namespace

void DeliverPicture(FFMpegContext *ctx, LastPicture *last, unsigned char *buf, int width, int height)
{
    last->pPic = buf;
    last->nWidth = width;
    last->nHeight = height;
    // Counted here, not in the event: a paused stream repeats its last
    // picture, which is no new one.
    StreamHealthAdd(&ctx->health.nPictures, 1);
    StreamHealthSet(&ctx->health.nLastPictureTick, (int32_t)TickCount());
    FFMpegVideoBuffer(ctx, buf, width, height);
}

void RunDecodeLoop(FFMpegContext *ctx, const LastPicture *last, void (*handle)(void *state, AVPacket *pkt),
                   void *state)
{
    while (AtomicGet(&ctx->bRunning)) {
        AVPacket *pkt = GetAVPktList(ctx);
        if (pkt == NULL) {
            if (AtomicGet(&ctx->bPauseRead)) {
                FFMpegDisplayRefresh(ctx);
                FFMpegVideoBuffer(ctx, last->pPic, last->pPic ? last->nWidth : 0, last->pPic ? last->nHeight : 0);
            }
            SleepMs(IDLE_POLL_MS);
            continue;
        }
        handle(state, pkt);
        FreeAVPkt(pkt);
    }
}
