#include "stream/StreamEvents.h"

#include "ipcamera/VideoSession.h"
#include "stream/FFMpegContext.h"
#include "support/Platform.h"

static CVideoSession *Session(FFMpegContext *ctx)
{
    // Cleared by FFMpegContextDestroyLater when the owner goes away.
    return ctx != NULL ? (CVideoSession *)__atomic_load_n(&ctx->pSession, __ATOMIC_ACQUIRE) : NULL;
}

int FFMpegDisplayRefresh(FFMpegContext *ctx)
{
    CVideoSession *s = Session(ctx);
    if (s != NULL)
        s->DoDisplayRefresh();
    return 0;
}

int FFMpegVideoBuffer(FFMpegContext *ctx, unsigned char *frame, int width, int height)
{
    // A recording started before the next key frame takes its size from here.
    if (ctx != NULL && frame != NULL && width > 0 && height > 0)
        AtomicSet64(&ctx->nShownSize, (int64_t)width << 32 | (uint32_t)height);
    CVideoSession *s = Session(ctx);
    if (s != NULL)
        s->DoVideoBuffer(frame, width, height);
    return 0;
}

int FFMpegAudioBuffer(FFMpegContext *ctx, unsigned short *samples, int count, int rate)
{
    CVideoSession *s = Session(ctx);
    if (s != NULL)
        s->DoAudioBuffer(samples, count, rate);
    return 0;
}

int FFMpegDataBuffer(FFMpegContext *ctx, unsigned char *data, int length)
{
    CVideoSession *s = Session(ctx);
    if (s != NULL)
        s->DoDataBuffer(data, length);
    return 0;
}
