#ifndef IPCAMERA_STREAM_PACKETQUEUE_H
#define IPCAMERA_STREAM_PACKETQUEUE_H

// The packet queue between a stream's read thread (only producer) and decode
// thread (only consumer): FFMpegContext::pPktList under hPktListMutex.
// Elements are deep copies: an AVPacket record from MemAllocZero whose data
// points to the element's own zero-padded payload (no buffer reference, no
// side data). The consumer releases each element with FreeAVPkt.

#include "stream/FFMpegContext.h"

// Zero bytes kept after every queued payload; at least the decoders' input
// padding, so a decoder or parser may read past the end safely.
enum { PKT_QUEUE_PADDING = AV_INPUT_BUFFER_PADDING_SIZE > 32 ? AV_INPUT_BUFFER_PADDING_SIZE : 32 };

// Appends a deep copy of pkt. 0, or -1 when a copy could not be allocated
// (nothing is queued then).
int PutAVPktList(FFMpegContext *ctx, const AVPacket *pkt);

// Removes and returns the oldest element (the caller owns it); null when empty.
AVPacket *GetAVPktList(FFMpegContext *ctx);

// Number of queued elements.
int GetAVPktListElmCount(FFMpegContext *ctx);

// Releases every queued element. Returns 0.
int ClearAVPktList(FFMpegContext *ctx);

// Frees the payload, then the record. Null is accepted.
void FreeAVPkt(void *elm);

#endif
