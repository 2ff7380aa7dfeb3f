#ifndef IPCAMERA_STREAM_HTTPRAW_H
#define IPCAMERA_STREAM_HTTPRAW_H

// Raw framed stream over HTTP. Such a camera sends, after its HTTP reply
// header, an endless sequence of frames: an 88-byte little-endian header
// (start code 33 22 11 00) followed by the compressed payload. The stream is
// opened as a plain byte stream; the read thread turns it into packets with
// http_read_data. All state lives in the stream's FFMpegContext: the byte
// stream in pHttpIoCtx, the receive buffer pHTTPBuf and its fill level
// nHTTPBufLen (both touched by the opening thread and then only by the read
// thread, so they need no lock).

#include <stdint.h>

#include "stream/FFMpegContext.h"

// Size of pHTTPBuf: one frame, header and anything before its start code
// included, must fit in it whole.
#define HTTP_BUF_SIZE 3145728
#define HTTP_FRAME_HEADER_SIZE 88
// Bytes read at once when the buffer is (almost) empty.
#define HTTP_FIRST_READ_SIZE 2000

// The 88 header bytes, decoded. Offsets 4..47 carry nothing we use.
struct HttpFrameHeader {
    uint8_t aRaw[HTTP_FRAME_HEADER_SIZE];  // as received, start code first
    uint32_t nFrameType;     // @48: 1 video, 2 audio, else data
    uint32_t nPayloadLen;    // @52: payload bytes behind the header
    uint32_t nVideoType;     // @56: 3 H.265, else H.264
    uint32_t nFrameKind;     // @60: 0 key frame
    uint32_t nWidth;         // @64
    uint32_t nHeight;        // @68
    uint32_t nAudioType;     // @72: 0xFFFFFFFF no audio
    uint32_t nAudioRate;     // @76: Hz
    int64_t nTimestamp;      // @80
};

// Position of the first start code whose 4 bytes lie within the n bytes,
// or -1 (also for a null pointer or n < 4).
int http_find_start_code(const uint8_t *pData, int n);

// Decodes the 88 bytes at the first start code. Header bytes beyond the n
// given read as 0. 0, or -1 without a start code or with a null argument or
// n <= 0.
int http_get_frame_header(const uint8_t *pData, int n, HttpFrameHeader *pHeader);

// Decodes the fields of 88 raw header bytes (used by http_get_frame_header).
void http_parse_frame_header(const uint8_t *pRaw, HttpFrameHeader *pHeader);

// One read of up to nCount bytes appended at nHTTPBufLen (never past the
// buffer end): avio_read, which waits for all nCount bytes, or with
// bPartial a read of what has arrived (at least one byte). 0 full count
// (partial: any bytes), -2 short read or time-out (bytes kept), -3 any
// other error or end of stream (buffer emptied).
int http_read_bytes(FFMpegContext *ctx, int nCount, int bPartial);

// Takes the next frame out of the byte stream into pkt (initialised by the
// caller). Returns the payload length L >= 0 with the packet filled; -1 no
// packet but bytes were used up (no start code, frame too large, no
// memory, an audio frame of a stream without audio), so reading on at once
// is right; -2 / -3 from http_read_bytes. The read thread ends the stream
// on -3 only.
int http_read_data(FFMpegContext *ctx, AVPacket *pkt);

enum AVCodecID http_video_codec_id(uint32_t nType);
enum AVCodecID http_audio_codec_id(uint32_t nType);

// Raw HTTP opening for FFMpegContextCreate: allocates pHTTPBuf, opens the
// byte stream, reads the first bytes, takes the first frame header, sets
// nWidth/nHeight/nVideoIndex/nAudioIndex and the codec ids, and allocates
// and opens the decoder contexts (hardware set-up for H.265). szLabel is
// the transport label of the error messages ("http", "tcp" or "udp").
// bRunning must already be 1. Blocking reads end two ways: the byte
// stream's interrupt callback aborts them once bRunning is cleared (so
// destroying never waits on a silent camera), and a 5-second read time-out
// turns a stalled camera into the -2 "time-out" result, so the read
// thread's 40-second no-data rule applies to it. 0 on success; -1 with everything this
// function acquired released again (the context's fields are null).
int http_open_stream(FFMpegContext *ctx, const char *szUrl, const char *szLabel);

// Releases what http_open_stream acquired: decoder contexts
// (avcodec_free_context), the byte stream (avio_close) and pHTTPBuf.
// Call after both threads are joined. Safe on a partly opened or null
// context.
void http_close_stream(FFMpegContext *ctx);

#endif
