#ifndef IPCAMERA_DECODE_AUDIODECODE_H
#define IPCAMERA_DECODE_AUDIODECODE_H

// Audio of one decode thread: AAC through FAAD2, every other codec through
// the stream's FFmpeg decoder context. Samples are never resampled or
// converted: the host gets the decoder's own format as 16-bit units.

#include <neaacdec.h>

#include "stream/FFMpegContext.h"

enum {
    AUDIO_PCM_BUF_SIZE = 32000,   // PCM buffer of a decode thread
    AUDIO_FFMPEG_CAPACITY = 16000 // what one FFmpeg audio frame may fill
};

struct AudioDecoder {
    uint8_t aPcm[AUDIO_PCM_BUF_SIZE];  // decoded samples of the current packet
    NeAACDecHandle hAac;               // open when the stream's audio is AAC
    int bAacInit;                      // 1 once NeAACDecInit succeeded
    unsigned long nAacRate;            // rate reported at initialisation
    unsigned char nAacChannels;
};

// Zeroes the buffer and, for AAC, opens and configures the FAAD2 decoder.
void AudioDecoderOpen(AudioDecoder *a, const FFMpegContext *ctx);
// Closes the FAAD2 decoder if open.
void AudioDecoderClose(AudioDecoder *a);

// Result of AudioDecodePacket besides FFmpeg's negative errors.
enum { AUDIO_OK = 0, AUDIO_DROP = 1 };

// Decodes one audio packet into a->aPcm. AUDIO_OK with *pBytes (0 or more)
// and *pRate set; AUDIO_DROP when the packet yields nothing and is not an
// FFmpeg decode error (AAC init or decode failure, no decoder context); a
// negative FFmpeg error from the FFmpeg path (*pBytes = 0).
int AudioDecodePacket(AudioDecoder *a, FFMpegContext *ctx, const AVPacket *pkt, int *pBytes, int *pRate);

// FFmpeg audio decode into a flat buffer. On entry *pSize is the capacity,
// on return the bytes written (0 when no frame came out; unchanged when the
// capacity is too small). Planar formats are written channel after channel.
// -1 for a null context, AVERROR(ENOMEM), AVERROR(EINVAL) when the frame
// does not fit, else the decode result.
int decode_audio_frame(AVCodecContext *ctx, uint8_t *out, int *pSize, const AVPacket *pkt);

#endif
