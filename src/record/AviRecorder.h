#ifndef IPCAMERA_RECORD_AVIRECORDER_H
#define IPCAMERA_RECORD_AVIRECORDER_H

// Copies the compressed packets of an open stream into an AVI file, without
// decoding them. Start and stop are serialised process-wide by the recorder
// lock (FFMpegRecorderLock); the stop then takes the stream's hSaveMutex, so
// the lock order is recorder lock, then recording write lock. The read thread
// writes each packet with FFMpegSaveAviWritePacket under hSaveMutex only.
//
// Video packets are stamped 1, 2, 3... in a 100/2499 time base; the true rate
// is only known at the stop, which rewrites the rate of the first stream
// header (bytes 132-135 of the file, little-endian, frames per second x 100).

#include <stdint.h>

struct FFMpegContext;
struct AVPacket;

// Time base of both output streams: nominally 24.99 frames per second.
enum { AVI_TIME_BASE_NUM = 100, AVI_TIME_BASE_DEN = 2499 };
// Offset of the first stream header's dwRate in the files written here.
enum { AVI_RATE_OFFSET = 132 };

// Opens the file at pPath (container from the extension) with one video and,
// when the source has audio, one audio stream, and writes its header.
// 0 when recording; -1 (with a log line) when a recording already runs, the
// format cannot be guessed, a stream cannot be set up or the file cannot be
// created - then nothing is left open and no file is created.
int FFMpegStartSaveAvi(FFMpegContext *ctx, const char *pPath);

// Finishes the file and corrects its frame rate in place. -1 when no
// recording runs (no file is touched), else 0. Every packet written before
// the call is in the finished file.
int FFMpegStopSaveAvi(FFMpegContext *ctx);

// The read thread's recording step for one packet read from the source:
// takes hSaveMutex, and while a recording runs writes a shallow copy of pkt
// (its payload is not copied, pkt is left unchanged) from the first video key
// frame on: video with the next frame number as pts/dts and duration 1, audio
// with the running sum of audio durations, data-stream packets never.
// 1 when the packet was written, 0 when it was skipped, -1 on a write error.
int FFMpegSaveAviWritePacket(FFMpegContext *ctx, const AVPacket *pkt);

// Frame rate stored by the stop: nFrames x 100000 / nElapsedMs; 24 when no
// time has passed; 3000 (with a log line) when the result is outside
// 1..300000.
int FFMpegSaveAviFrameRate(int64_t nFrames, int64_t nElapsedMs);

// Rewrites the 32-bit little-endian rate at bytes 132-135 of the file and
// nothing else (a file shorter than 136 bytes is padded with zeros up to
// 136). 0, or -1 when the file cannot be opened or written.
int FFMpegSaveAviPatchRate(const char *pPath, uint32_t nRate);

#endif
