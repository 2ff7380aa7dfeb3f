#ifndef IPCAMERA_VIDEOSESSION_SESSIONINTERNAL_H
#define IPCAMERA_VIDEOSESSION_SESSIONINTERNAL_H

// Pieces of the video session that the stream and the tests reach directly.

#include <stdint.h>

struct FFMpegContext;

// Longest a decode thread waits for a smooth-stream release.
enum { SESSION_FRAME_WAIT_MS = 1000 };

// The frame-ready wait handed to FFMpegContextCreate: waits for the next
// SendVideoCond release of the session in ctx->pSession, at most 1000 ms.
// Always 0.
int VideoSessionFrameWait(FFMpegContext *ctx);

// New pacing correction after a release, from the queue length: a long
// queue shortens the interval, a short one lengthens it, one within the
// mode's band restores the base interval.
int VideoSessionPacingStep(int nSmoothStream, int nQueued, int nCondAdjust);

// Whole seconds from nStartTick to nNowTick plus 1 (32-bit ticks, wrap-safe).
int VideoSessionDurationSec(uint32_t nNowTick, int64_t nStartTick);

#endif
