#ifndef IPCAMERA_DECODE_DECODELOOP_H
#define IPCAMERA_DECODE_DECODELOOP_H

// The packet loop and picture hand-over both decode threads share; each
// thread keeps its own decode and output rules.

#include "stream/FFMpegContext.h"

// The picture a paused, idle thread shows again. Decode thread only.
struct LastPicture {
    unsigned char *pPic;  // null: none yet, or its buffer was re-made
    int nWidth, nHeight;
};

// Remembers buf as the last picture and hands it to the host.
void DeliverPicture(FFMpegContext *ctx, LastPicture *last, unsigned char *buf, int width, int height);

// Runs until bRunning is cleared: each queued packet goes to
// handle(state, pkt) and is freed afterwards; while the queue is empty, a
// paused stream has its last picture shown again.
void RunDecodeLoop(FFMpegContext *ctx, const LastPicture *last, void (*handle)(void *state, AVPacket *pkt),
                   void *state);

#endif
