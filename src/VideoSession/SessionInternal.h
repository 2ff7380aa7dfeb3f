#ifndef IPCAMERA_VIDEOSESSION_SESSIONINTERNAL_H
#define IPCAMERA_VIDEOSESSION_SESSIONINTERNAL_H

// Pieces of the video session that the stream and the tests reach directly.

#include <stdint.h>

struct FFMpegContext;
class CVideoSession;

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

// 1 when the caller runs on the read or decode thread of the session's
// stream (where closing it would mean joining itself), else 0.
int VideoSessionOnOwnThread(CVideoSession *pSession);

// Cancelling an open that is still connecting. The opener reads the count
// before it waits for the camera's open/close lock and arms with it once it
// holds the lock: 0 then means a close came in between (the open must
// fail). A close calls VideoSessionCancelOpen before it waits for that lock,
// which interrupts an open already connecting.
uint32_t VideoSessionCancelCount(CVideoSession *pSession);
int VideoSessionArmOpen(CVideoSession *pSession, uint32_t nTicket);
void VideoSessionCancelOpen(CVideoSession *pSession);

// The open stream, kept from being destroyed until VideoSessionRelease (a
// close waits for it); null when none is open (then release nothing).
FFMpegContext *VideoSessionBorrow(CVideoSession *pSession);
void VideoSessionRelease(CVideoSession *pSession);

// Slot for the owning camera's own state (null without session state).
void **VideoSessionCameraExt(CVideoSession *pSession);

// VideoInit without taking the process-wide last connect type: opens with
// the session's own (the one its last VideoInit used), so a camera that
// reopens by itself keeps its transport whatever other cameras set since.
int VideoSessionReopen(CVideoSession *pSession, void *pOwner, const char *pUrl);
// The connect type most recently set on any session (what VideoInit takes).
int VideoSessionLastConnectType(void);

// Sets the open-cancel flag without invalidating tickets: interrupts a
// connecting open; the next VideoSessionArmOpen clears it again.
void VideoSessionInterruptOpen(CVideoSession *pSession);

#endif
