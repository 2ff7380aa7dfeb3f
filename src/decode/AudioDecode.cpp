#include "decode/AudioDecode.h"

#include <string.h>

#include "stream/FFmpegCompat.h"

static void AacOpen(AudioDecoder *a)
{
    a->hAac = NeAACDecOpen();
    if (a->hAac == NULL)
        return;
    NeAACDecConfigurationPtr cfg = NeAACDecGetCurrentConfiguration(a->hAac);
    if (cfg != NULL) {
        // FAAD2 refuses object type 0 and keeps its own defaults, which give
        // 16-bit output as well.
        cfg->defObjectType = 0;
        cfg->defSampleRate = 8000;
        cfg->outputFormat = FAAD_FMT_16BIT;
        cfg->dontUpSampleImplicitSBR = 1;
        NeAACDecSetConfiguration(a->hAac, cfg);
    }
}

void AudioDecoderOpen(AudioDecoder *a, const FFMpegContext *ctx)
{
    memset(a, 0, sizeof(*a));
    if (ctx->nInAudioCodecId == AV_CODEC_ID_AAC)
        AacOpen(a);
}

void AudioDecoderClose(AudioDecoder *a)
{
    if (a->hAac != NULL)
        NeAACDecClose(a->hAac);
    a->hAac = NULL;
    a->bAacInit = 0;
}

// Initialises FAAD2 from the stream's AudioSpecificConfig when the source
// carries one (MP4, MKV, RTSP): raw AAC frames have no header to learn the
// rate from. ADTS streams initialise from the packet itself.
static int AacInit(AudioDecoder *a, FFMpegContext *ctx, const AVPacket *pkt)
{
    AVCodecContext *c = ctx->pAudioCodecCtx;
    long r;
    if (c != NULL && c->extradata != NULL && c->extradata_size >= 2)
        r = NeAACDecInit2(a->hAac, c->extradata, (unsigned long)c->extradata_size, &a->nAacRate, &a->nAacChannels);
    else
        r = NeAACDecInit(a->hAac, pkt->data, (unsigned long)pkt->size, &a->nAacRate, &a->nAacChannels);
    if (r < 0) {
        // A failed initialisation can leave FAAD2 holding buffers that the
        // next one overwrites without freeing: start from a fresh handle.
        NeAACDecClose(a->hAac);
        AacOpen(a);
        return -1;
    }
    a->bAacInit = 1;
    return 0;
}

// Channels the AAC stream itself declares: the ADTS header of the packet,
// else the stream configuration, else what the demuxer reported; 0 when
// unknown.
static int AacSourceChannels(const FFMpegContext *ctx, const AVPacket *pkt)
{
    if (pkt->size >= 7 && pkt->data[0] == 0xFF && (pkt->data[1] & 0xF6) == 0xF0)
        return ((pkt->data[2] & 0x01) << 2) | (pkt->data[3] >> 6);
    const AVCodecContext *c = ctx->pAudioCodecCtx;
    if (c == NULL)
        return 0;
    // AudioSpecificConfig: 5-bit object type, 4-bit rate index, 4-bit
    // channel configuration (escape values move the field: ask FFmpeg).
    if (c->extradata != NULL && c->extradata_size >= 2 && (c->extradata[0] >> 3) != 31 &&
        (((c->extradata[0] & 0x07) << 1) | (c->extradata[1] >> 7)) != 15)
        return (c->extradata[1] >> 3) & 0x0F;
    return FFCompatChannels(c);
}

static int DecodeAac(AudioDecoder *a, FFMpegContext *ctx, const AVPacket *pkt, int *pBytes, int *pRate)
{
    if (a->hAac == NULL)
        return AUDIO_DROP;
    if (!a->bAacInit && AacInit(a, ctx, pkt) < 0)
        return AUDIO_DROP;
    NeAACDecFrameInfo info;
    memset(&info, 0, sizeof(info));
    void *samples = NeAACDecDecode(a->hAac, &info, pkt->data, (unsigned long)pkt->size);
    if (info.error != 0 || samples == NULL)
        return AUDIO_DROP;
    unsigned long units = info.samples;
    const short *pcm = (const short *)samples;
    if (info.channels == 2 && !info.ps && AacSourceChannels(ctx, pkt) == 1) {
        // FAAD2 built with parametric stereo hands mono AAC out as two
        // identical channels; the host is told no channel count, so give it
        // the stream's one channel, at the rate it is told.
        units = info.samples / 2;
        if (units * 2 > AUDIO_PCM_BUF_SIZE)
            units = AUDIO_PCM_BUF_SIZE / 2;
        short *out = (short *)a->aPcm;
        for (unsigned long i = 0; i < units; i++)
            out[i] = pcm[2 * i];
        *pBytes = (int)(units * 2);
        *pRate = (int)a->nAacRate;
        return AUDIO_OK;
    }
    // Many-channel frames could exceed the buffer: keep what fits.
    unsigned long bytes = units * 2;
    if (bytes > AUDIO_PCM_BUF_SIZE)
        bytes = AUDIO_PCM_BUF_SIZE;
    memcpy(a->aPcm, pcm, bytes);
    *pBytes = (int)bytes;
    *pRate = (int)a->nAacRate;
    return AUDIO_OK;
}

int AudioDecodePacket(AudioDecoder *a, FFMpegContext *ctx, const AVPacket *pkt, int *pBytes, int *pRate)
{
    *pBytes = 0;
    *pRate = 0;
    if (ctx->nInAudioCodecId == AV_CODEC_ID_AAC)
        return DecodeAac(a, ctx, pkt, pBytes, pRate);
    if (ctx->pAudioCodecCtx == NULL)
        return AUDIO_DROP;
    int size = AUDIO_FFMPEG_CAPACITY;
    int ret = decode_audio_frame(ctx->pAudioCodecCtx, a->aPcm, &size, pkt);
    if (ret < 0)
        return ret;
    *pBytes = size;
    *pRate = ctx->pAudioCodecCtx->sample_rate;
    return AUDIO_OK;
}

int decode_audio_frame(AVCodecContext *ctx, uint8_t *out, int *pSize, const AVPacket *pkt)
{
    if (ctx == NULL)
        return -1;
    AVFrame *frame = av_frame_alloc();
    if (frame == NULL)
        return AVERROR(ENOMEM);
    int got = 0;
    int ret = FFCompatDecode(ctx, frame, &got, pkt);
    if (ret >= 0 && got) {
        // The frame's own layout, which is what its planes really hold.
        enum AVSampleFormat fmt = (enum AVSampleFormat)frame->format;
        int channels = FFCompatFrameChannels(frame);
        int lineSize = 0;
        int size = av_samples_get_buffer_size(&lineSize, channels, frame->nb_samples, fmt, 1);
        if (size < 0) {
            av_frame_free(&frame);
            return size;
        }
        if (*pSize < size) {
            av_log(ctx, AV_LOG_ERROR, "output buffer size is too small for the current frame (%d < %d)\n",
                   *pSize, size);
            av_frame_free(&frame);
            return AVERROR(EINVAL);
        }
        memcpy(out, frame->extended_data[0], (size_t)lineSize);
        if (av_sample_fmt_is_planar(fmt) && channels >= 2) {
            for (int ch = 1; ch < channels; ch++)
                memcpy(out + (size_t)ch * lineSize, frame->extended_data[ch], (size_t)lineSize);
        }
        *pSize = size;
    } else {
        *pSize = 0;
    }
    av_frame_free(&frame);
    return ret;
}
