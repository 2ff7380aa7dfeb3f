#ifndef IPCAMERA_RECORD_AVIRECORDER_H
#define IPCAMERA_RECORD_AVIRECORDER_H

// Copies the compressed packets of an open stream into an AVI file, without
// decoding them. Start and stop are serialised per stream by the recorder
// lock (FFMpegRecorderLock); both take the stream's hSaveMutex after it, so
// the lock order is recorder lock, then recording write lock. The read
// thread writes each packet under hSaveMutex alone, from the first video key
// frame on: video counted 1, 2, 3... (duration 1, stored at index count - 1
// so the first frame is the file's frame 0), audio summing its packet
// durations in nSaveAudioPts and stored at each packet's start.
//
// The true frame rate is only known at the stop, which rewrites the rate of
// the first stream header (bytes 132-135 of the file, little-endian, frames
// per second x 100 against a scale of 100).

#include <stdint.h>

struct FFMpegContext;
struct AVPacket;

// Time base of the video stream: nominally 24.99 frames per second.
enum { AVI_TIME_BASE_NUM = 100, AVI_TIME_BASE_DEN = 2499 };
// Offset of the first stream header's dwScale and dwRate in the files
// written here.
enum { AVI_SCALE_OFFSET = 128, AVI_RATE_OFFSET = 132 };

// Opens the file at pPath (container from the extension) with one video and,
// when the source has audio, one audio stream, and writes its header. Audio
// the container cannot hold (or whose header is refused) is left out with a
// log line; the recording keeps its video. Little-endian G.726 is stored as
// G.726. Without a picture size (a source not probed, no picture decoded
// yet) the size is parsed from the codec extradata, else the header waits
// for the first video key frame that yields one; a recording that never
// finds one is removed at the stop with a log line.
// 0 when recording. -1 with a log line when a recording already runs, the
// path does not fit szSavePath, the format cannot be guessed, a stream
// cannot be set up, the file cannot be created or the header cannot be
// written; then nothing is left open and no file is left behind.
int FFMpegStartSaveAvi(FFMpegContext *ctx, const char *pPath);

// Finishes the file and corrects its frame rate in place. -1 when no
// recording runs (no file is touched), else 0. Every packet written before
// the call is in the finished file.
int FFMpegStopSaveAvi(FFMpegContext *ctx);

// The read thread's recording step for one packet read from the source,
// under hSaveMutex. While a recording runs, and from its first video key
// frame on, writes a new reference to pkt's payload (pkt itself is left
// unchanged): video counted as the next frame number (1, 2, 3...) in
// nSaveVideoFrames and written at that number - 1 with duration 1,
// audio summed into nSaveAudioPts and written at its start (the sum less
// its own duration, so the first lands at 0) expressed in the output
// stream's time base and kept strictly increasing, so sources
// with other time bases or without durations neither bloat the file nor
// lose packets. Data-stream packets and packets of further streams are not
// recorded. 1 when written, 0 when skipped, -1 when the muxer refused it.
int FFMpegSaveAviWritePacket(FFMpegContext *ctx, const AVPacket *pkt);

// Repacks nSize bytes of G.726 code words of nBits bits (2..5) from the
// little-endian packing (first word in the low bits, FFmpeg's
// ADPCM_G726LE) into the big-endian packing of ADPCM_G726, nSize bytes at
// pOut. Bits left over after the last whole word are written as 0.
void FFMpegSaveAviRepackG726(const uint8_t *pIn, int nSize, int nBits, uint8_t *pOut);

// Rate stored by the stop: nFrames x 100000 / nElapsedMs (frames per second
// x 100); 24 when no time has passed; 3000, with a log line, when the
// result is outside 1..300000.
int FFMpegSaveAviFrameRate(int64_t nFrames, int64_t nElapsedMs);

// Rewrites the 32-bit little-endian rate at bytes 132-135 of an AVI file
// and nothing else. Only a file whose first stream header sits there (the
// "strh" and "vids" tags in place) is changed, so a recording in another
// container is never corrupted. 0, or -1 when the file cannot be opened,
// has another layout or cannot be written.
int FFMpegSaveAviPatchRate(const char *pPath, uint32_t nRate);

#endif
