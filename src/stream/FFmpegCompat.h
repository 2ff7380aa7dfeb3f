#ifndef IPCAMERA_STREAM_FFMPEGCOMPAT_H
#define IPCAMERA_STREAM_FFMPEGCOMPAT_H

// The one place that bridges the library's decoding model (one call per
// packet answering consumed length, a got-picture flag and a negative error)
// and the FFmpeg API we build against: 5.1, and the 6 and 7 series. Every
// other file calls these instead of the version-dependent FFmpeg calls.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

// Channel-layout API (ch_layout) replaced the channels field in lavu 57.24.
#define FFCOMPAT_HAS_CH_LAYOUT (LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 24, 100))

// Registration and the lock manager are gone from current FFmpeg: formats,
// codecs and locking need no set-up. Only the network layer is initialised.
void FFCompatRegisterAll(void);

// A decoder context for st, filled from the stream's codec parameters, with
// the packet time base set. The caller owns it (avcodec_free_context).
// Null when codec is null or memory runs out.
AVCodecContext *FFCompatAllocStreamContext(const AVStream *st, const AVCodec *codec);

// Closes and frees *pCtx and sets it to null; null is accepted.
void FFCompatFreeContext(AVCodecContext **pCtx);

// Decodes one packet in the manner of the old avcodec_decode_video2 /
// avcodec_decode_audio4: *pGot = 1 when frame holds a decoded picture or
// sound frame. Returns the bytes consumed (the whole packet), or a negative
// FFmpeg error (AVERROR_INVALIDDATA on corrupt input). A packet of size 0
// only collects a waiting frame; it never puts the decoder into draining.
int FFCompatDecode(AVCodecContext *ctx, AVFrame *frame, int *pGot, const AVPacket *pkt);

// Number of audio channels of a decoder context.
int FFCompatChannels(const AVCodecContext *ctx);
// Number of channels a decoded audio frame carries.
int FFCompatFrameChannels(const AVFrame *frame);
// Sets a default layout with n channels (raw streams that carry no layout).
void FFCompatSetChannels(AVCodecContext *ctx, int n);

// Open options of one attempt: the read/write time-out (microseconds, as
// text) applies to every protocol through rw_timeout; RTSP ignores that key
// and takes its socket time-out as "timeout", so RTSP addresses get both.
int FFCompatSetOpenTimeout(AVDictionary **pOpts, const char *url, const char *usec);

#endif
