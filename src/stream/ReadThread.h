#ifndef IPCAMERA_STREAM_READTHREAD_H
#define IPCAMERA_STREAM_READTHREAD_H

#include <stdint.h>

struct FFMpegContext;

// Read thread routine (argument: the FFMpegContext): reads packets from the
// source, keeps the statistics, records, and queues copies for the decode
// thread from the first video key frame after decoding was enabled. Ends when
// bRunning is cleared, after 40 s without data, or on a raw HTTP read error;
// sets bFinish on its way out. Returns 0.
int ThreadFFmpegRun(void *arg);

// Limits of the read loop.
enum {
    READ_QUEUE_LIMIT = 100,      // more queued packets than this: clear the queue
    READ_NODATA_LIMIT_S = 40,    // seconds without data that end the stream
    READ_RETRY_SLEEP_MS = 50,
    READ_STATS_WINDOW_MS = 3000,
    READ_INTERVAL_PACKETS = 20
};

// Statistics of one window: kbit/s from the video bytes and the elapsed
// milliseconds, and packets per second as count / 3 (integer).
float ReadStatsBitRate(float fBytes, uint32_t nElapsedMs);
int ReadStatsFrameRate(int nVideoPackets);
// Half the mean interval of READ_INTERVAL_PACKETS packets, rounded:
// (elapsed + 20) / 40.
int ReadStatsFrameInterval(uint32_t nElapsedMs);

#endif
