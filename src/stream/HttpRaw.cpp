// Raw framed HTTP stream: byte stream in, packets out.
//
// The receive buffer holds nHTTPBufLen unconsumed bytes at its start. Each
// call finds the next start code, completes the header, then the payload,
// with one read per missing piece, and moves whatever follows the frame to
// the start. A frame (with anything before its start code) must fit in the
// buffer; a header announcing more is treated as garbage: the buffer is
// dropped and the next call resynchronises on the next start code. All size
// arithmetic is done in 64 bits so a hostile length cannot wrap.

#include "stream/HttpRaw.h"

#include <string.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include "stream/FFmpegCompat.h"
#include "stream/HwDecode.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

static const uint8_t kStartCode[4] = {0x33, 0x22, 0x11, 0x00};

// Read time-out of the byte stream, microseconds.
static const char *kHttpRwTimeout = "5000000";

static uint32_t LoadLe32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

int http_find_start_code(const uint8_t *pData, int n)
{
    if (!pData || n < 4)
        return -1;
    for (int i = 0; i <= n - 4; i++) {
        if (pData[i] == kStartCode[0] && pData[i + 1] == kStartCode[1] && pData[i + 2] == kStartCode[2] &&
            pData[i + 3] == kStartCode[3])
            return i;
    }
    return -1;
}

void http_parse_frame_header(const uint8_t *pRaw, HttpFrameHeader *pHeader)
{
    if (pRaw != pHeader->aRaw)
        memcpy(pHeader->aRaw, pRaw, HTTP_FRAME_HEADER_SIZE);
    const uint8_t *r = pHeader->aRaw;
    pHeader->nFrameType = LoadLe32(r + 48);
    pHeader->nPayloadLen = LoadLe32(r + 52);
    pHeader->nVideoType = LoadLe32(r + 56);
    pHeader->nFrameKind = LoadLe32(r + 60);
    pHeader->nWidth = LoadLe32(r + 64);
    pHeader->nHeight = LoadLe32(r + 68);
    pHeader->nAudioType = LoadLe32(r + 72);
    pHeader->nAudioRate = LoadLe32(r + 76);
    pHeader->nTimestamp = (int64_t)((uint64_t)LoadLe32(r + 80) | ((uint64_t)LoadLe32(r + 84) << 32));
}

int http_get_frame_header(const uint8_t *pData, int n, HttpFrameHeader *pHeader)
{
    if (!pData || !pHeader || n <= 0)
        return -1;
    int p = http_find_start_code(pData, n);
    if (p < 0)
        return -1;
    // Header bytes the caller does not have read as 0.
    int nHave = n - p;
    if (nHave > HTTP_FRAME_HEADER_SIZE)
        nHave = HTTP_FRAME_HEADER_SIZE;
    memset(pHeader->aRaw, 0, sizeof(pHeader->aRaw));
    memcpy(pHeader->aRaw, pData + p, (size_t)nHave);
    http_parse_frame_header(pHeader->aRaw, pHeader);
    return 0;
}

enum AVCodecID http_video_codec_id(uint32_t nType)
{
    return nType == 3 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
}

enum AVCodecID http_audio_codec_id(uint32_t nType)
{
    switch (nType) {
    case 1: return AV_CODEC_ID_AAC;
    case 2: return AV_CODEC_ID_PCM_MULAW;
    case 3: return AV_CODEC_ID_PCM_ALAW;
    case 4: return AV_CODEC_ID_ADPCM_G722;
    case 5: return AV_CODEC_ID_ADPCM_G726;
    default: return AV_CODEC_ID_PCM_MULAW;
    }
}

// A time-out leaves the byte stream marked as ended with a pending error;
// both are cleared so that the next read waits for data again.
static void ClearTimeout(AVIOContext *pb)
{
    pb->eof_reached = 0;
    pb->error = 0;
}

int http_read_bytes(FFMpegContext *ctx, int nCount)
{
    AVIOContext *pb = ctx->pHttpIoCtx;
    int64_t nFree = (int64_t)HTTP_BUF_SIZE - ctx->nHTTPBufLen;
    if (!pb || nCount <= 0 || ctx->nHTTPBufLen < 0 || nCount > nFree) {
        // Callers never ask for more than the free space; if they did, the
        // held data cannot be trusted: drop it and resynchronise.
        ctx->nHTTPBufLen = 0;
        return -3;
    }
    int r = avio_read(pb, ctx->pHTTPBuf + ctx->nHTTPBufLen, nCount);
    if (r >= 1) {
        ctx->nHTTPBufLen += r;
        if (r == nCount)
            return 0;
        DebugPrint("##### %s need:%d get:%d ####\n", ctx->szName, nCount, r);
        if (pb->error == AVERROR(ETIMEDOUT))
            ClearTimeout(pb);
        return -2;
    }
    if (r == AVERROR(ETIMEDOUT)) {
        DebugPrint("###### %s -138 eof_reached:%d ####", ctx->szName, pb->eof_reached);
        ClearTimeout(pb);
        return -2;
    }
    DebugPrint("http_read_data error. ret:%d", r);
    ctx->nHTTPBufLen = 0;
    return -3;
}

// Drops the first nUsed bytes of the buffer, keeping what follows.
static void Consume(FFMpegContext *ctx, int64_t nUsed)
{
    int64_t nRest = (int64_t)ctx->nHTTPBufLen - nUsed;
    if (nRest > 0) {
        memmove(ctx->pHTTPBuf, ctx->pHTTPBuf + nUsed, (size_t)nRest);
        ctx->nHTTPBufLen = (int)nRest;
    } else {
        ctx->nHTTPBufLen = 0;
    }
}

int http_read_data(FFMpegContext *ctx, AVPacket *pkt)
{
    if (!ctx || !ctx->pHTTPBuf || !pkt)
        return -1;
    if (ctx->nHTTPBufLen < 0 || ctx->nHTTPBufLen > HTTP_BUF_SIZE)
        ctx->nHTTPBufLen = 0;

    int r;
    if (ctx->nHTTPBufLen <= 3 && (r = http_read_bytes(ctx, HTTP_FIRST_READ_SIZE)) != 0)
        return r;

    int p = http_find_start_code(ctx->pHTTPBuf, ctx->nHTTPBufLen);
    if (p < 0) {
        DebugPrint("%s not find start code. nHTTPBufLen:%d", ctx->szName, ctx->nHTTPBufLen);
        // The last 3 bytes may be the beginning of a start code.
        if (ctx->nHTTPBufLen > 3) {
            memmove(ctx->pHTTPBuf, ctx->pHTTPBuf + ctx->nHTTPBufLen - 3, 3);
            ctx->nHTTPBufLen = 3;
        }
        return -1;
    }

    int64_t nHeaderEnd = (int64_t)p + HTTP_FRAME_HEADER_SIZE;
    if (ctx->nHTTPBufLen < nHeaderEnd &&
        (r = http_read_bytes(ctx, (int)(nHeaderEnd - ctx->nHTTPBufLen))) != 0)
        return r;

    HttpFrameHeader hdr;
    http_parse_frame_header(ctx->pHTTPBuf + p, &hdr);
    uint32_t L = hdr.nPayloadLen;
    // The payload must fit in the space not yet used. nHTTPBufLen covers the
    // header here, so passing this check also bounds p + 88 + L by the
    // buffer size; the second test states that bound outright.
    int64_t nFree = (int64_t)HTTP_BUF_SIZE - ctx->nHTTPBufLen;
    int64_t nFrameEnd = nHeaderEnd + (int64_t)L;
    if ((int64_t)L > nFree || nFrameEnd > HTTP_BUF_SIZE) {
        DebugPrint("header size %d over free size %d.", (int)L, (int)nFree);
        ctx->nHTTPBufLen = 0;
        return -1;
    }

    if (ctx->nHTTPBufLen < nFrameEnd && (r = http_read_bytes(ctx, (int)(nFrameEnd - ctx->nHTTPBufLen))) != 0)
        return r;

    if (av_new_packet(pkt, (int)L) < 0) {
        Consume(ctx, nFrameEnd);
        return -1;
    }
    if (hdr.nFrameType == 1) {
        pkt->stream_index = ctx->nVideoIndex;
        pkt->flags = hdr.nFrameKind == 0 ? AV_PKT_FLAG_KEY : 0;
    } else if (hdr.nFrameType == 2) {
        pkt->stream_index = ctx->nAudioIndex;
        pkt->flags = AV_PKT_FLAG_KEY;
    } else {
        pkt->stream_index = ctx->nDataIndex;
        pkt->flags = 0;
    }
    pkt->pts = hdr.nTimestamp;
    pkt->dts = hdr.nTimestamp;
    if (L > 0)
        memcpy(pkt->data, ctx->pHTTPBuf + nHeaderEnd, L);
    Consume(ctx, nFrameEnd);
    return (int)L;
}

// Ends blocking reads once the stream is being destroyed, or the open once
// the owner cancels it.
static int HttpInterruptCb(void *opaque)
{
    return FFMpegInterruptCb(opaque);
}

static int OpenByteStream(FFMpegContext *ctx, const char *szUrl, AVIOContext **ppIo)
{
    AVIOInterruptCB cb = {HttpInterruptCb, ctx};
    AVDictionary *opts = NULL;
    av_dict_set(&opts, "rw_timeout", kHttpRwTimeout, 0);
    int r = avio_open2(ppIo, szUrl, AVIO_FLAG_READ, &cb, &opts);
    av_dict_free(&opts);
    return r;
}

static int OpenAudio(FFMpegContext *ctx, const HttpFrameHeader *hdr)
{
    ctx->nAudioIndex = 1;
    ctx->nInAudioCodecId = http_audio_codec_id(hdr->nAudioType);
    const AVCodec *dec = avcodec_find_decoder(ctx->nInAudioCodecId);
    AVCodecContext *c = dec ? avcodec_alloc_context3(dec) : NULL;
    if (c) {
        FFCompatSetChannels(c, 1);
        c->sample_rate = (int)hdr->nAudioRate;
        // The ADPCM codecs have fixed rates whatever the header says.
        if (ctx->nInAudioCodecId == AV_CODEC_ID_ADPCM_G726) {
            c->bits_per_coded_sample = 2;
            c->sample_rate = 8000;
        } else if (ctx->nInAudioCodecId == AV_CODEC_ID_ADPCM_G722) {
            c->bits_per_coded_sample = 4;
            c->sample_rate = 16000;
        }
        if (c->sample_rate > 0 && avcodec_open2(c, dec, NULL) == 0) {
            ctx->pAudioCodecCtx = c;
            return 0;
        }
    }
    // The stream goes on without audio. The context is freed here rather
    // than kept closed, so nothing can decode with it by mistake.
    FFCompatFreeContext(&c);
    ctx->nAudioIndex = -1;
    ctx->nInAudioCodecId = AV_CODEC_ID_NONE;
    return -1;
}

int http_open_stream(FFMpegContext *ctx, const char *szUrl, const char *szLabel)
{
    if (!ctx || !szUrl)
        return -1;
    if (!szLabel)
        szLabel = "http";
    ctx->bHttpRaw = 1;
    ctx->nHTTPBufLen = 0;
    ctx->pHTTPBuf = (uint8_t *)MemAllocZero(HTTP_BUF_SIZE);
    if (!ctx->pHTTPBuf)
        return -1;

    AVIOContext *pb = NULL;
    int r = OpenByteStream(ctx, szUrl, &pb);
    if (r == AVERROR(ETIMEDOUT))
        r = OpenByteStream(ctx, szUrl, &pb);
    if (r < 0) {
        DebugPrint("%s avio_open fail avio_open error ret:%d", szLabel, r);
        http_close_stream(ctx);
        return -1;
    }
    ctx->pHttpIoCtx = pb;

    r = avio_read(pb, ctx->pHTTPBuf, HTTP_FIRST_READ_SIZE);
    if (r <= 0) {
        DebugPrint("%s avio_read error ret:%d", szLabel, r);
        http_close_stream(ctx);
        return -1;
    }
    // These bytes are the read thread's first input.
    ctx->nHTTPBufLen = r;
    int nFirstRead = r;

    HttpFrameHeader hdr;
    if (http_get_frame_header(ctx->pHTTPBuf, ctx->nHTTPBufLen, &hdr) != 0) {
        http_close_stream(ctx);
        return -1;
    }
    DebugPrint("%s first frame info. width:%d, height:%d", szLabel, (int)hdr.nWidth, (int)hdr.nHeight);
    AtomicSet(&ctx->nWidth, (int)hdr.nWidth);
    AtomicSet(&ctx->nHeight, (int)hdr.nHeight);
    ctx->nVideoIndex = 0;

    ctx->nInVideoCodecId = http_video_codec_id(hdr.nVideoType);
    const AVCodec *dec = avcodec_find_decoder(ctx->nInVideoCodecId);
    ctx->pVideoCodecCtx = dec ? avcodec_alloc_context3(dec) : NULL;
    if (!ctx->pVideoCodecCtx) {
        http_close_stream(ctx);
        return -1;
    }
    if (ctx->nInVideoCodecId == AV_CODEC_ID_HEVC) {
        DebugPrint("set_hwdevice_ctx aaa ret:%d", nFirstRead);
        r = set_hwdevice_ctx(ctx->pVideoCodecCtx);
        DebugPrint("set_hwdevice_ctx bbb ret:%d", r);
        // Decoded frames are always reference-counted in this FFmpeg.
    }
    ctx->pVideoCodecCtx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(ctx->pVideoCodecCtx, dec, NULL) < 0) {
        http_close_stream(ctx);
        return -1;
    }

    if (hdr.nAudioType != 0xFFFFFFFFu)
        OpenAudio(ctx, &hdr);
    return 0;
}

void http_close_stream(FFMpegContext *ctx)
{
    if (!ctx)
        return;
    FFCompatFreeContext(&ctx->pVideoCodecCtx);
    FFCompatFreeContext(&ctx->pAudioCodecCtx);
    if (ctx->bHttpRaw && ctx->pHttpIoCtx)
        avio_closep(&ctx->pHttpIoCtx);
    MemFree(ctx->pHTTPBuf);
    ctx->pHTTPBuf = NULL;
    ctx->nHTTPBufLen = 0;
}
