#ifndef IPCAMERA_STREAM_STREAMEVENTS_H
#define IPCAMERA_STREAM_STREAMEVENTS_H

// Stream-level events raised by the decode thread. Each hands the event to
// the owning session (ctx->pSession, a CVideoSession) and returns 0 whatever
// the session answered.

#include "stream/FFMpegContext.h"

int FFMpegDisplayRefresh(FFMpegContext *ctx);
int FFMpegVideoBuffer(FFMpegContext *ctx, unsigned char *frame, int width, int height);
int FFMpegAudioBuffer(FFMpegContext *ctx, unsigned short *samples, int count, int rate);
int FFMpegDataBuffer(FFMpegContext *ctx, unsigned char *data, int length);

#endif
