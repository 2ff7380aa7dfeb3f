// Feeds the input to http_read_data as a camera's byte stream. The first
// input byte seeds how the stream is cut into reads and where time-outs
// fall, so frames split across reads, short reads and resynchronisation are
// all reached. Checks the reader's own invariants after every call.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "stream/FFMpegContext.h"
#include "stream/HttpRaw.h"
#include "support/Thread.h"

namespace {

struct Feed {
    const uint8_t *p;
    size_t n;
    uint32_t seed;
};

int FeedRead(void *opaque, uint8_t *buf, int size)
{
    Feed *f = (Feed *)opaque;
    if (f->n == 0)
        return AVERROR_EOF;
    f->seed = f->seed * 1103515245u + 12345u;
    if ((f->seed >> 16) % 7 == 0)
        return AVERROR(ETIMEDOUT);
    size_t k = 1 + (f->seed >> 8) % 3000;
    if (k > (size_t)size)
        k = (size_t)size;
    if (k > f->n)
        k = f->n;
    memcpy(buf, f->p, k);
    f->p += k;
    f->n -= k;
    return (int)k;
}

FFMpegContext *g_ctx;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_ctx) {
        av_log_set_level(AV_LOG_QUIET);
        g_ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
        g_ctx->pHTTPBuf = (uint8_t *)MemAllocZero(HTTP_BUF_SIZE);
        snprintf(g_ctx->szName, sizeof(g_ctx->szName), "fuzz");
    }
    if (size < 1)
        return 0;

    HttpFrameHeader hdr;
    http_get_frame_header(data + 1, (int)(size - 1), &hdr);

    Feed feed = {data + 1, size - 1, data[0]};
    uint8_t *io = (uint8_t *)av_malloc(4096);
    AVIOContext *pb = avio_alloc_context(io, 4096, 0, &feed, FeedRead, nullptr, nullptr);
    g_ctx->pHttpIoCtx = pb;
    g_ctx->bHttpRaw = 1;
    g_ctx->nHTTPBufLen = 0;
    g_ctx->nVideoIndex = 0;
    g_ctx->nAudioIndex = 1;
    g_ctx->nDataIndex = -1;

    AVPacket *pkt = av_packet_alloc();
    for (int i = 0; i < 10000; i++) {
        int r = http_read_data(g_ctx, pkt);
        if (g_ctx->nHTTPBufLen < 0 || g_ctx->nHTTPBufLen > HTTP_BUF_SIZE)
            abort();
        if (r >= 0 && pkt->size != r)
            abort();
        av_packet_unref(pkt);
        if (r == -3)
            break;
    }
    av_packet_free(&pkt);
    av_freep(&pb->buffer);
    avio_context_free(&pb);
    g_ctx->pHttpIoCtx = nullptr;
    return 0;
}
