#include "stream/FFmpegCompat.h"

#include <string.h>

extern "C" {
#if FFCOMPAT_HAS_CH_LAYOUT
#include <libavutil/channel_layout.h>
#endif
}

void FFCompatRegisterAll(void)
{
    // av_register_all / avcodec_register_all and av_lockmgr_register were
    // removed in FFmpeg 5: registration is static and the library locks
    // itself. Network sources still need their one-time init.
    avformat_network_init();
}

AVCodecContext *FFCompatAllocStreamContext(const AVStream *st, const AVCodec *codec)
{
    if (st == NULL || codec == NULL)
        return NULL;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (ctx == NULL)
        return NULL;
    if (avcodec_parameters_to_context(ctx, st->codecpar) < 0) {
        avcodec_free_context(&ctx);
        return NULL;
    }
    ctx->pkt_timebase = st->time_base;
    return ctx;
}

void FFCompatFreeContext(AVCodecContext **pCtx)
{
    if (pCtx != NULL && *pCtx != NULL)
        avcodec_free_context(pCtx);
}

int FFCompatDecode(AVCodecContext *ctx, AVFrame *frame, int *pGot, const AVPacket *pkt)
{
    *pGot = 0;
    if (ctx == NULL || frame == NULL || pkt == NULL)
        return AVERROR(EINVAL);

    int ret = 0;
    if (pkt->size > 0) {
        ret = avcodec_send_packet(ctx, pkt);
        if (ret == AVERROR(EAGAIN)) {
            // A decoded frame is still waiting: hand it out now, which makes
            // room for this packet.
            int r = avcodec_receive_frame(ctx, frame);
            if (r == 0)
                *pGot = 1;
            ret = avcodec_send_packet(ctx, pkt);
            if (*pGot)
                return ret < 0 && ret != AVERROR(EAGAIN) ? ret : pkt->size;
        }
        if (ret < 0 && ret != AVERROR_EOF)
            return ret;
    }
    ret = avcodec_receive_frame(ctx, frame);
    if (ret == 0) {
        *pGot = 1;
    } else if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
        return ret;
    }
    return pkt->size;
}

int FFCompatChannels(const AVCodecContext *ctx)
{
    if (ctx == NULL)
        return 0;
#if FFCOMPAT_HAS_CH_LAYOUT
    return ctx->ch_layout.nb_channels;
#else
    return ctx->channels;
#endif
}

int FFCompatFrameChannels(const AVFrame *frame)
{
    if (frame == NULL)
        return 0;
#if FFCOMPAT_HAS_CH_LAYOUT
    return frame->ch_layout.nb_channels;
#else
    return frame->channels;
#endif
}

void FFCompatSetChannels(AVCodecContext *ctx, int n)
{
    if (ctx == NULL || n <= 0)
        return;
#if FFCOMPAT_HAS_CH_LAYOUT
    av_channel_layout_uninit(&ctx->ch_layout);
    av_channel_layout_default(&ctx->ch_layout, n);
#else
    ctx->channels = n;
    ctx->channel_layout = av_get_default_channel_layout(n);
#endif
}

int FFCompatSetOpenTimeout(AVDictionary **pOpts, const char *url, const char *usec)
{
    int ret = av_dict_set(pOpts, "rw_timeout", usec, 0);
    if (ret >= 0 && url != NULL && strstr(url, "rtsp://") != NULL)
        ret = av_dict_set(pOpts, "timeout", usec, 0);
    return ret;
}
