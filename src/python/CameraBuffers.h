#ifndef IPCAMERA_PYTHON_CAMERA_BUFFERS_H
#define IPCAMERA_PYTHON_CAMERA_BUFFERS_H

// The Python module's per-camera hand-off between the library's decode
// thread (the four callbacks) and the Python threads that read. The
// callbacks only copy into these buffers: they never call into Python and
// never wait for the GIL or for a reader.
//
// Pictures: three slots that change hands by pointer swaps. The decode
// thread fills its back slot without a lock and publishes it as the newest
// one; a reader swaps the newest slot out against its own. An unread newest
// picture is overwritten by the next one: pictures are dropped, never
// queued. Audio chunks and data payloads go into small rings whose oldest
// entry gives way when a reader falls behind.

#include <stddef.h>

#include <condition_variable>
#include <mutex>
#include <vector>

struct FrameSlot {
    std::vector<unsigned char> data;  // BGR top row first, or I420
    int nWidth;
    int nHeight;
    int bPlanar;
    long long nIndex;  // picture number, 0 for the stream's first
    double fTime;      // arrival, CLOCK_MONOTONIC seconds (Python's time.monotonic)
};

enum { CHUNK_RING_SIZE = 64 };

struct ChunkRing {
    std::vector<unsigned char> chunks[CHUNK_RING_SIZE];  // capacity kept for reuse
    int nRate[CHUNK_RING_SIZE];  // audio sample rate of each chunk
    int nHead;                   // oldest entry
    int nCount;
    long long nDropped;          // entries overwritten before anyone read them
};

struct CameraBuffers {
    std::mutex lock;
    std::condition_variable cond;  // a picture, chunk or payload arrived, or closed
    FrameSlot slots[3];
    // Decode thread only (no lock): the slot being filled and the count of
    // pictures so far.
    FrameSlot *pBack;
    long long nPictures;
    // Guarded by lock.
    FrameSlot *pNewest;
    int bFresh;  // pNewest holds a picture no reader has taken
    long long nPublished;  // pictures published so far
    int bClosed;
    ChunkRing audio;
    ChunkRing data;
    // Picture reader side, guarded by readLock (one picture reader at a
    // time, held across one wait slice and the copy out; never taken by the
    // decode thread). Lock order: readLock, then lock.
    std::timed_mutex readLock;
    FrameSlot *pOut;
    long long nLastIndex;   // index of the picture last returned, -1 none
    long long nDropped;     // pictures dropped since the camera opened
};

void CameraBuffersInit(CameraBuffers *b);
// Wakes every waiting reader; later waits return at once.
void CameraBuffersClose(CameraBuffers *b);

// Library callbacks; the user pointer is the CameraBuffers.
int CameraBuffersOnVideo(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth,
                         int nHeight);
int CameraBuffersOnVideoPlanar(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth,
                               int nHeight);
int CameraBuffersOnAudio(void *pCamera, void *pUser, unsigned short *pSamples, int nCount,
                         int nRate);
int CameraBuffersOnData(void *pCamera, void *pUser, unsigned char *pData, int nLength);

// Byte size of a picture as the module hands it out: (h, w, 3) BGR or
// (h * 3 / 2, w) I420.
size_t CameraFrameBytes(int nWidth, int nHeight, int bPlanar);

// Reader side. Each waits at most until the deadline (CLOCK_MONOTONIC
// seconds) and returns 1 with the item, 0 on time-out, -1 once the camera
// is closed and nothing is left. CameraTakeFrame needs readLock held and
// swaps the newest picture into pOut; CameraTakeChunk copies the oldest
// entry out.
int CameraTakeFrame(CameraBuffers *b, double fDeadline);
int CameraTakeChunk(CameraBuffers *b, ChunkRing *pRing, double fDeadline,
                    std::vector<unsigned char> *pOut, int *pRate);

double CameraNow();

#endif
