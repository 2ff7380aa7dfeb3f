#include "stream/StreamEvents.h"

#include "ipcamera/VideoSession.h"

static CVideoSession *Session(FFMpegContext *ctx)
{
    return ctx != NULL ? (CVideoSession *)ctx->pSession : NULL;
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
