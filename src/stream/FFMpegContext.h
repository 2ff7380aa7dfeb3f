#ifndef IPCAMERA_STREAM_FFMPEGCONTEXT_H
#define IPCAMERA_STREAM_FFMPEGCONTEXT_H

// One camera stream: the source, its decoders, the packet queue between the
// read thread and the decode thread, the recording state and the statistics
// the host polls.
//
// Locking: hPktListMutex guards pPktList only; hSaveMutex guards the
// recording fields. Nested, hSaveMutex comes after the stream's recorder
// lock hRecordMutex. Fields marked "relaxed atomic" are aligned 32-bit words written by one
// party and polled by others without a lock; access them only with the
// relaxed atomic helpers of support/ (plain loads/stores would be a data race).

#include <stdint.h>

#include "stream/StreamHealth.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

struct Mutex;
struct Thread;
struct List;
struct FFMpegContext;

// Frame-ready wait of the owner: called by the decode thread before each video
// packet while smoothing is on; returns after the host's release or 1000 ms.
typedef int (*FFMpegVideoWaitFn)(FFMpegContext *ctx);

struct FFMpegContext {
    void *pSession;                   // owner (CVideoSession); set before the threads start, then read-only
    union {
        AVFormatContext *pFormatCtx;  // demuxer mode: demuxer context; read thread only after creation
        AVIOContext *pHttpIoCtx;      // raw HTTP mode (bHttpRaw = 1): the byte-stream handle in the same slot
    };
    AVCodecContext *pVideoCodecCtx;   // owned by the record in both modes; decode thread only after creation
    AVCodecContext *pAudioCodecCtx;   // owned by the record; null without usable audio; decode thread only
    enum AVCodecID nInVideoCodecId;   // set at creation, then read-only
    enum AVCodecID nInAudioCodecId;   // set at creation, then read-only; AV_CODEC_ID_NONE without audio
    Thread *hReadThread;              // creator/destroyer thread only
    Thread *hDecodeThread;            // creator/destroyer thread only
    List *pPktList;                   // guarded by hPktListMutex (see stream/PacketQueue.h)
    Mutex *hPktListMutex;             // set at creation, then read-only
    Mutex *hSaveMutex;                // set at creation, then read-only
    int32_t bRunning;                 // relaxed atomic: 1 until destroy (or a fatal decoder condition) clears it
    char szName[256];                 // URL as opened, always terminated; read-only after creation
    int32_t bPauseRead;               // relaxed atomic: written by the session, polled by both threads
    int32_t bSaving;                  // guarded by hSaveMutex (also polled relaxed by the read thread's log line)
    int64_t nSaveVideoFrames;         // guarded by hSaveMutex
    int64_t nSaveTickCount;           // guarded by hSaveMutex (read unlocked by the session's duration getter)
    int64_t nSaveAudioPts;            // guarded by hSaveMutex
    char szSavePath[256];             // guarded by hSaveMutex
    AVFormatContext *pSaveFormatCtx;  // guarded by hSaveMutex
    AVStream *pSaveVideoStream;       // guarded by hSaveMutex
    AVStream *pSaveAudioStream;       // guarded by hSaveMutex
    int32_t nWidth;                   // relaxed atomic: written by the decode thread on a size change
    int32_t nHeight;                  // relaxed atomic: as nWidth
    int32_t bDecodeEnable;            // relaxed atomic: written by the session, polled by both threads
    int64_t nFrameRateNum;            // set at creation, then read-only
    int64_t nFrameRateDen;            // set at creation, then read-only
    int32_t nVideoIndex;              // set at creation, then read-only; -1 = none
    int32_t nAudioIndex;              // set at creation, then read-only; -1 = none
    int32_t nDataIndex;               // set at creation, then read-only; -1 = none
    int32_t bFinish;                  // relaxed atomic: set to 1 by the read thread when it ends
    int32_t nSaveVideoIndex;          // guarded by hSaveMutex
    int32_t nSaveAudioIndex;          // guarded by hSaveMutex
    int32_t nFrameInterval;           // relaxed atomic: written by the read thread, read by SendVideoCond
    int32_t bSmoothStream;            // set at creation, then read-only
    FFMpegVideoWaitFn pfnVideoWait;   // set at creation, then read-only
    void *hHevcDecoder;               // built-in H.265 decoder instance; decode thread, deleted by destroy after the join
    int32_t bHttpRaw;                 // set at creation, then read-only
    uint8_t *pHTTPBuf;                // raw HTTP receive buffer (3 MiB); read thread only after creation
    int32_t nHTTPBufLen;              // bytes held in pHTTPBuf; read thread only after creation
    float fBitRate;                   // relaxed atomic (32-bit): kbit/s, written by the read thread
    int32_t nFrameRate;               // relaxed atomic: packets per second, written by the read thread
    // Owner's cancel flag, polled by the interrupt callbacks while the source
    // opens (a close of the camera sets it); null once the open is over.
    const int32_t *pOpenCancel;       // creator thread only
    // Serialises this stream's recording starts and stops (held across
    // their file work, so it is per stream: no other camera waits for it).
    Mutex *hRecordMutex;              // set at creation, then read-only
    // Size of the last picture handed to the host, width << 32 | height, one
    // relaxed atomic so the pair is read whole; 0 before the first picture.
    int64_t nShownSize;
    // Counters and liveness marks for the camera's health record and its
    // reconnect supervisor (relaxed atomics, see stream/StreamHealth.h).
    StreamHealth health;
};

// One-time, process-wide set-up (library lock, network layer).
// Always 0.
int FFMpegRegister(void);

// Opens url and starts the read and decode threads. nConnectType: 0 RTSP over
// UDP with TCP fallback, 2 HTTP, any other value RTSP over TCP. bD3DDisplay
// selects the planar (I420) decode thread instead of the BGR one.
// pOpenCancel, when given, is polled while the source opens: once it is
// non-zero the open is interrupted and fails.
FFMpegContext *FFMpegContextCreate(void *pSession, const char *url, int nConnectType,
                                   FFMpegVideoWaitFn pfnVideoWait, int bSmoothStream, int bD3DDisplay,
                                   const int32_t *pOpenCancel = nullptr);

// Stops both threads, finishes a recording and frees everything. Null is
// accepted. Returns 0; -1 with a log line, touching nothing, when called on
// the stream's own read or decode thread (it would join itself).
int FFMpegContextDestroy(FFMpegContext *ctx);

// Teardown asked for on the stream's own decode thread (its host callback
// destroyed the owner): detaches the owner (no further event or frame wait
// reaches it), stops both threads and destroys the context on a thread of
// its own once they have ended. 0, or -1 when that thread cannot start
// (the context is then left stopped but allocated).
int FFMpegContextDestroyLater(FFMpegContext *ctx);

// The stream whose read or decode thread the caller runs on, else null.
FFMpegContext *FFMpegCurrentStream(void);

// Demuxer interrupt callback: 1 (abort) once bRunning is no longer 1, or
// while opening, once the owner's cancel flag is set.
int FFMpegInterruptCb(void *ctx);

// Lock-manager callback kept for callers of the old interface: op 1 locks and
// op 2 unlocks the one process-wide library lock; ops 0 and 3 do nothing.
int FFMpegLockCallback(void **mutex, int op);

// Nominal frame rate from a video stream's time base n/d: d/n (n below 1
// counts as 1); 24/1 when d is not positive or above 30000.
void FFMpegNominalFrameRate(AVRational tb, int64_t *pNum, int64_t *pDen);

// Process-wide state shared with the recorder.
// 1 while some FFMpegContextCreate is opening a source (relaxed atomic).
int FFMpegIsConnecting(void);
// The recorder lock of a stream (null for a null context).
Mutex *FFMpegRecorderLock(FFMpegContext *ctx);

#endif
