#ifndef IPCAMERA_STREAM_STREAMHEALTH_H
#define IPCAMERA_STREAM_STREAMHEALTH_H

// Counters of one open stream, kept for the camera's health record and its
// reconnect supervisor. Every field is a relaxed atomic written by one
// stream thread and polled by host threads without a lock, so counting
// costs the read and decode paths one uncontended add.

#include <stdint.h>

struct StreamHealth {
    int64_t nPictures;        // decode thread: pictures handed to the host
    int64_t nWithheld;        // decode thread: pictures held back as bad
    int64_t nDecodeErrors;    // decode thread: packets the decoder rejected
    int64_t nCorruptPackets;  // read thread: packets flagged AV_PKT_FLAG_CORRUPT
    int64_t nBytes;           // read thread: payload bytes read
    int32_t nLastDataTick;    // read thread: TickCount of the last packet (or of its start)
    int32_t nLastPictureTick; // decode thread: TickCount of the last picture
    int32_t nReadError;       // read thread: last read result when negative, 0 after data
    int32_t nDecodePath;      // decode thread: IpcDecodePath of the last picture
};

static inline void StreamHealthAdd(int64_t *p, int64_t n)
{
    __atomic_add_fetch(p, n, __ATOMIC_RELAXED);
}
static inline void StreamHealthSet(int32_t *p, int32_t v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
static inline int64_t StreamHealthGet64(const int64_t *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
static inline int32_t StreamHealthGet(const int32_t *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

#endif
