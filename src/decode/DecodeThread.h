#ifndef IPCAMERA_DECODE_DECODETHREAD_H
#define IPCAMERA_DECODE_DECODETHREAD_H

// The two decode thread routines (argument: the FFMpegContext). Both take
// packets from the queue, deliver data payloads, decode audio and video and
// raise the stream events; they return 0 once bRunning is cleared.
//
// ThreadFFmpegDecode delivers packed BGR24, rows of exactly 3 x width bytes,
// bottom row first. ThreadFFmpegDecodeD3D delivers I420 without padding:
// Y (w*h), U and V ((w/2)*(h/2) each).
int ThreadFFmpegDecode(void *arg);
int ThreadFFmpegDecodeD3D(void *arg);

#endif
