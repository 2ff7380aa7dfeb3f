// AVI recorder: FFmpeg muxing set up from the source's codec parameters,
// fed by the read thread, finished and rate-corrected at the stop.

#include "record/AviRecorder.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

#include "stream/FFMpegContext.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

enum {
    kVideoBitRate = 4000000,
    kMaxRate = 300000,
    kFallbackRate = 3000,
    kDefaultRate = 24,
    kUrlMax = 1023
};

// Writer state of one recording, kept in the output context's opaque slot
// and guarded by hSaveMutex like the recording fields.
struct RecordState {
    int64_t nLastAudioPts;    // last audio pts written, output time base
    int bRefusedLogged;       // a packet the muxer refused has been logged
    // First error of the file's I/O (an AVERROR), 0 while every write
    // reached the file. Once set nothing more is written: the file is cut
    // short there and the stop reports it.
    int nWriteError;
    // Video packets the muxer took, and the tick counts at the first and
    // the last of them: the pace of the recorded pictures, which a camera
    // that goes silent before the stop does not stretch.
    int64_t nVideoWritten;
    uint32_t nFirstVideoTick;
    uint32_t nLastVideoTick;
    AVBSFContext *pVideoBsf;  // length-prefixed H.264/H.265 to start codes, or null
    int nG726LeBits;          // bits per code word of little-endian G.726 to repack, or 0
    uint8_t *pAudioBuf;       // repacked audio payload, reused from packet to packet
    unsigned nAudioBufSize;
    int bHeaderPending;       // picture size unknown at the start: header waits for a key frame
    int bHeaderFailed;        // the delayed header was refused: nothing is recorded
    int bSizeMissLogged;
    AVPacket *pPacket;        // the writer's packet, referenced and unreferenced for each write
    // Video bytes without a picture (parameter sets sent ahead of their
    // picture, or all that came of a frame whose camera died), held for
    // the next video packet; what is still held at the stop is dropped.
    AVPacket *pHeld;          // null while nothing is held
    AVPacket *pMerged;        // the held bytes and the next packet, written as one frame
};

void FreeRecordState(RecordState *pState)
{
    if (!pState)
        return;
    av_bsf_free(&pState->pVideoBsf);
    av_packet_free(&pState->pPacket);
    av_packet_free(&pState->pHeld);
    av_packet_free(&pState->pMerged);
    av_freep(&pState->pAudioBuf);
    av_free(pState);
}

// The codec id the file stores for the source's audio: FFmpeg's RTSP client
// presents G.726 in the little-endian packing, which AVI has no tag for;
// the recorder repacks it to the big-endian packing of plain G.726.
enum AVCodecID StoredAudioCodec(enum AVCodecID id)
{
    return id == AV_CODEC_ID_ADPCM_G726LE ? AV_CODEC_ID_ADPCM_G726 : id;
}

// Bits per G.726 code word of the source (2 to 5: 16 to 40 kbit/s): as the
// stream declares it, else from its bit rate, else the 16 kbit/s cameras
// send.
int G726Bits(const AVCodecContext *cc)
{
    if (cc && cc->bits_per_coded_sample >= 2 && cc->bits_per_coded_sample <= 5)
        return cc->bits_per_coded_sample;
    if (cc && cc->bit_rate >= 16000 && cc->bit_rate <= 40000 && cc->bit_rate % 8000 == 0)
        return (int)(cc->bit_rate / 8000);
    return 2;
}

// Copies an extradata block into a new one with the padding FFmpeg's
// parsers may read past the end. 0, or -1 when memory runs out.
int CopyExtradata(AVCodecParameters *par, const uint8_t *pData, int nSize)
{
    if (!pData || nSize <= 0)
        return 0;
    par->extradata = (uint8_t *)av_mallocz((size_t)nSize + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!par->extradata)
        return -1;
    memcpy(par->extradata, pData, (size_t)nSize);
    par->extradata_size = nSize;
    return 0;
}

// H.264 and H.265 as MP4 or Matroska store them (avcC/hvcC parameter sets,
// length-prefixed NAL units). The AVI muxer takes only start-code streams,
// so such packets are rewritten on their way into the file.
bool IsLengthPrefixed(const AVCodecContext *cc, enum AVCodecID id)
{
    if (id != AV_CODEC_ID_H264 && id != AV_CODEC_ID_HEVC)
        return false;
    return cc && cc->extradata && cc->extradata_size >= 7 && cc->extradata[0] == 1;
}

AVBSFContext *OpenStartCodeFilter(const AVCodecContext *cc, enum AVCodecID id)
{
    const AVBitStreamFilter *f =
        av_bsf_get_by_name(id == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : "hevc_mp4toannexb");
    AVBSFContext *bsf = NULL;
    if (!f || av_bsf_alloc(f, &bsf) < 0)
        return NULL;
    if (avcodec_parameters_from_context(bsf->par_in, cc) < 0 || av_bsf_init(bsf) < 0)
        av_bsf_free(&bsf);
    return bsf;
}

// Picture size from the stream's own parameter sets: FFmpeg's parser run
// over the codec extradata of cc and then, when given, one packet (padded
// as demuxed packets are). true with the size in *pW, *pH.
bool ParsePictureSize(enum AVCodecID id, const AVCodecContext *cc, const uint8_t *pData, int nSize, int *pW,
                      int *pH)
{
    AVCodecParserContext *pc = av_parser_init(id);
    if (!pc)
        return false;
    AVCodecContext *pParseCtx = avcodec_alloc_context3(NULL);
    bool bFound = false;
    if (pParseCtx) {
        pParseCtx->codec_type = AVMEDIA_TYPE_VIDEO;
        pParseCtx->codec_id = id;
        if (cc && cc->extradata && cc->extradata_size > 0) {
            pParseCtx->extradata = (uint8_t *)av_mallocz((size_t)cc->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE);
            if (pParseCtx->extradata) {
                memcpy(pParseCtx->extradata, cc->extradata, (size_t)cc->extradata_size);
                pParseCtx->extradata_size = cc->extradata_size;
            }
        }
        // Each buffer is taken as a whole frame and parsed at once.
        pc->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        const uint8_t *bufs[2] = {pParseCtx->extradata, pData};
        int sizes[2] = {pParseCtx->extradata_size, nSize};
        for (int k = 0; k < 2 && !bFound; k++) {
            const uint8_t *p = bufs[k];
            int n = p ? sizes[k] : 0;
            while (n > 0) {
                uint8_t *pOut = NULL;
                int nOut = 0;
                int used = av_parser_parse2(pc, pParseCtx, &pOut, &nOut, p, n, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                if (used <= 0)
                    break;
                p += used;
                n -= used;
            }
            int w = pc->width > 0 ? pc->width : pParseCtx->width;
            int h = pc->height > 0 ? pc->height : pParseCtx->height;
            if (w > 0 && h > 0) {
                *pW = w;
                *pH = h;
                bFound = true;
            }
        }
        avcodec_free_context(&pParseCtx);
    }
    av_parser_close(pc);
    return bFound;
}

// Whether the source's demuxer stream was opened with a picture size
// (probed, or a container that declares it). Its codec parameters are not
// changed after the open. Raw HTTP sources get theirs from the frame header
// at the open.
bool SourceHasSize(const FFMpegContext *ctx)
{
    if (ctx->bHttpRaw || !ctx->pFormatCtx || ctx->nVideoIndex < 0 ||
        (unsigned)ctx->nVideoIndex >= ctx->pFormatCtx->nb_streams)
        return true;
    const AVCodecParameters *par = ctx->pFormatCtx->streams[ctx->nVideoIndex]->codecpar;
    return par->width > 0 && par->height > 0;
}

AVStream *NewStream(AVFormatContext *oc, int nId, enum AVMediaType type, enum AVCodecID codec)
{
    AVStream *st = avformat_new_stream(oc, NULL);
    if (!st)
        return NULL;
    st->id = nId;
    st->codecpar->codec_type = type;
    st->codecpar->codec_id = codec;
    return st;
}

AVStream *AddVideoStream(AVFormatContext *oc, const FFMpegContext *ctx, RecordState *pState)
{
    AVStream *st = NewStream(oc, 0, AVMEDIA_TYPE_VIDEO, ctx->nInVideoCodecId);
    if (!st)
        return NULL;
    AVCodecParameters *par = st->codecpar;
    par->bit_rate = kVideoBitRate;
    // A source that was not probed (RTSP) has no size of its own; nWidth
    // then holds a decoded picture's size, or nothing, or the classic
    // decode thread's 320x240 stand-in. The size then comes from the
    // stream's parameter sets, else from its first key frame, before the
    // header is written (the AVI header needs it).
    if (SourceHasSize(ctx)) {
        par->width = AtomicGet(&ctx->nWidth);
        par->height = AtomicGet(&ctx->nHeight);
    } else if (AtomicGet64(&ctx->nShownSize) != 0) {
        // A playing camera already shows pictures: their size is the
        // stream's, known before its next key frame comes.
        int64_t nShown = AtomicGet64(&ctx->nShownSize);
        par->width = (int)(nShown >> 32);
        par->height = (int)(uint32_t)nShown;
    }
    if ((par->width <= 0 || par->height <= 0) &&
        !ParsePictureSize(ctx->nInVideoCodecId, ctx->pVideoCodecCtx, NULL, 0, &par->width, &par->height))
        pState->bHeaderPending = 1;
    par->format = AV_PIX_FMT_YUV420P;
    st->time_base = AVRational{AVI_TIME_BASE_NUM, AVI_TIME_BASE_DEN};
    // Parameter sets of sources that carry them out of band (RTSP, MP4),
    // in start-code form when the packets are rewritten.
    const AVCodecContext *cc = ctx->pVideoCodecCtx;
    if (IsLengthPrefixed(cc, ctx->nInVideoCodecId)) {
        pState->pVideoBsf = OpenStartCodeFilter(cc, ctx->nInVideoCodecId);
        if (!pState->pVideoBsf)
            return NULL;
        const AVCodecParameters *out = pState->pVideoBsf->par_out;
        if (CopyExtradata(par, out->extradata, out->extradata_size) != 0)
            return NULL;
    } else if (cc && CopyExtradata(par, cc->extradata, cc->extradata_size) != 0) {
        return NULL;
    }
    // Some FFmpeg releases know no AVI tag for H.265; without one the file
    // would claim raw video.
    if (par->codec_id == AV_CODEC_ID_HEVC && oc->oformat->codec_tag &&
        av_codec_get_tag(oc->oformat->codec_tag, AV_CODEC_ID_HEVC) == 0)
        par->codec_tag = MKTAG('H', 'E', 'V', 'C');
    return st;
}

AVStream *AddAudioStream(AVFormatContext *oc, const FFMpegContext *ctx, RecordState *pState)
{
    enum AVCodecID id = StoredAudioCodec(ctx->nInAudioCodecId);
    AVStream *st = NewStream(oc, 1, AVMEDIA_TYPE_AUDIO, id);
    if (!st)
        return NULL;
    AVCodecParameters *par = st->codecpar;
    par->format = AV_SAMPLE_FMT_S16;
    int nRate = ctx->pAudioCodecCtx ? ctx->pAudioCodecCtx->sample_rate : 0;
    par->sample_rate = nRate;
    par->bit_rate = (int64_t)(nRate / 8000) * 64000;
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 24, 100)
    av_channel_layout_default(&par->ch_layout, 1);
#else
    par->channels = 1;
    par->channel_layout = AV_CH_LAYOUT_MONO;
#endif
    switch (id) {
    case AV_CODEC_ID_ADPCM_G726:
        par->bit_rate = 16000;
        par->sample_rate = 8000;
        par->bits_per_coded_sample = 2;
        if (ctx->nInAudioCodecId == AV_CODEC_ID_ADPCM_G726LE) {
            pState->nG726LeBits = G726Bits(ctx->pAudioCodecCtx);
            // Other G.726 rates keep their own code word size, or the
            // recorded sound would be noise.
            par->bits_per_coded_sample = pState->nG726LeBits;
            par->bit_rate = pState->nG726LeBits * 8000;
            DebugPrint("FFMpegStartSaveAvi: G.726 little-endian packing (%d bits) recorded as G.726",
                       pState->nG726LeBits);
        }
        break;
    case AV_CODEC_ID_ADPCM_G722:
        par->bit_rate = 64000;
        par->sample_rate = 16000;
        par->bits_per_coded_sample = 4;
        break;
    case AV_CODEC_ID_AAC:
        par->frame_size = 1024;
        break;
    default:
        break;
    }
    // Constant-rate codecs are stored as a byte stream. Without a block
    // size the AVI muxer would treat every timestamp step as missing chunks
    // and pad the file with empty ones.
    int nBits = par->bits_per_coded_sample > 0 ? par->bits_per_coded_sample
                                               : av_get_bits_per_sample(par->codec_id);
    if (nBits > 0 && par->block_align == 0)
        par->block_align = nBits >= 8 ? nBits / 8 : 1;
    // Without its configuration (AAC from RTSP or MP4 carries it out of
    // band) the recorded audio could not be decoded.
    if (ctx->pAudioCodecCtx &&
        CopyExtradata(par, ctx->pAudioCodecCtx->extradata, ctx->pAudioCodecCtx->extradata_size) != 0)
        return NULL;
    DebugPrint("#### codec_id:%d bit_rate:%d sample_rate:%d bits_per_coded_sample:%d ####",
               (int)par->codec_id, (int)par->bit_rate, par->sample_rate, par->bits_per_coded_sample);
    return st;
}

// Whether the container has a tag for the source's audio as the recorder
// stores it; when not, the recording goes on with its video alone.
bool AudioStorable(const AVOutputFormat *fmt, const FFMpegContext *ctx, const char *pName)
{
    if (avformat_query_codec(fmt, StoredAudioCodec(ctx->nInAudioCodecId), FF_COMPLIANCE_NORMAL) == 0) {
        DebugPrint("FFMpegStartSaveAvi %s: audio codec %d cannot be stored in this container, recording video only",
                   pName, (int)ctx->nInAudioCodecId);
        return false;
    }
    return true;
}

// Sets up the muxer for pName (with the source's audio when bAudio),
// creates the file and writes its header. 0 with *pOc, *pVideo and *pAudio
// (null without audio) set; -1 with a log line, nothing left open and no
// file left behind; -2 likewise when only the header was refused.
int OpenOutput(const FFMpegContext *ctx, const char *pName, bool bAudio, AVFormatContext **pOc,
               AVStream **pVideo, AVStream **pAudio)
{
    const AVOutputFormat *fmt = av_guess_format(NULL, pName, NULL);
    if (!fmt) {
        DebugPrint("av_guess_format file:%s error!", pName);
        return -1;
    }
    AVFormatContext *oc = avformat_alloc_context();
    RecordState *pState = (RecordState *)av_mallocz(sizeof(RecordState));
    if (pState)
        pState->pPacket = av_packet_alloc();
    if (!oc || !pState || !pState->pPacket) {
        DebugPrint("FFMpegStartSaveAvi %s: out of memory", pName);
        FreeRecordState(pState);
        avformat_free_context(oc);
        return -1;
    }
    oc->oformat = fmt;
    oc->url = av_strndup(pName, kUrlMax);
    pState->nLastAudioPts = INT64_MIN;
    oc->opaque = pState;
    if (bAudio && !AudioStorable(fmt, ctx, pName))
        bAudio = false;

    bool bFileOpen = false;
    int r = 0;
    AVStream *pV = AddVideoStream(oc, ctx, pState);
    AVStream *pA = pV && bAudio ? AddAudioStream(oc, ctx, pState) : NULL;
    if (!pV || (bAudio && !pA)) {
        // Failing the start is enough; the host process goes on.
        DebugPrint("Could not alloc stream\n");
        goto fail;
    }
    av_dump_format(oc, 0, pName, 1);
    if (!(fmt->flags & AVFMT_NOFILE)) {
        r = avio_open(&oc->pb, pName, AVIO_FLAG_WRITE);
        if (r < 0) {
            DebugPrint("FFMpegStartSaveAvi avio_open %s error ret:%d", pName, r);
            goto fail;
        }
        bFileOpen = true;
    }
    if (pState->bHeaderPending) {
        DebugPrint("FFMpegStartSaveAvi %s: picture size not known yet, the header waits for the first key frame",
                   pName);
        *pOc = oc;
        *pVideo = pV;
        *pAudio = pA;
        return 0;
    }
    // A muxer that refuses the streams (a codec the container cannot hold)
    // would take no packets: fail now rather than record an empty file.
    r = avformat_write_header(oc, NULL);
    if (r < 0) {
        DebugPrint("FFMpegStartSaveAvi avformat_write_header %s error ret:%d", pName, r);
        if (bFileOpen) {
            avio_closep(&oc->pb);
            FileDeleteRegular(pName);
        }
        FreeRecordState(pState);
        avformat_free_context(oc);
        return -2;
    }
    *pOc = oc;
    *pVideo = pV;
    *pAudio = pA;
    return 0;

fail:
    if (bFileOpen) {
        avio_closep(&oc->pb);
        FileDeleteRegular(pName);
    }
    FreeRecordState(pState);
    avformat_free_context(oc);
    return -1;
}

}  // namespace

void FFMpegSaveAviRepackG726(const uint8_t *pIn, int nSize, int nBits, uint8_t *pOut)
{
    if (!pIn || !pOut || nSize <= 0 || nBits < 2 || nBits > 5)
        return;
    const uint32_t nMask = (1u << nBits) - 1;
    int nWords = nSize * 8 / nBits;
    uint32_t nIn = 0, nOut = 0;  // bit accumulators
    int nInBits = 0, nOutBits = 0, i = 0, o = 0;
    for (int w = 0; w < nWords; w++) {
        // Little-endian packing: the first code word in the low bits.
        while (nInBits < nBits) {
            nIn |= (uint32_t)pIn[i++] << nInBits;
            nInBits += 8;
        }
        uint32_t nCode = nIn & nMask;
        nIn >>= nBits;
        nInBits -= nBits;
        // Big-endian packing: the first code word in the high bits.
        nOut = (nOut << nBits) | nCode;
        nOutBits += nBits;
        if (nOutBits >= 8) {
            nOutBits -= 8;
            pOut[o++] = (uint8_t)(nOut >> nOutBits);
            nOut &= (1u << nOutBits) - 1;
        }
    }
    if (nOutBits > 0)
        pOut[o++] = (uint8_t)(nOut << (8 - nOutBits));
    while (o < nSize)
        pOut[o++] = 0;
}

int FFMpegSaveAviFrameRate(int64_t nFrames, int64_t nElapsedMs)
{
    if (nElapsedMs <= 0)
        return kDefaultRate;
    int64_t nRate = nFrames * 100000 / nElapsedMs;
    if (nRate < 1 || nRate > kMaxRate) {
        DebugPrint("nVideoFreq:%d  nVideoFreq error===============", (int)nRate);
        return kFallbackRate;
    }
    return (int)nRate;
}

int FFMpegSaveAviPatchRate(const char *pPath, uint32_t nRate)
{
    // A FIFO or device has no header to patch, and reading one back would
    // block the stop for as long as nobody writes to it.
    struct stat st;
    if (!pPath || stat(pPath, &st) != 0 || !S_ISREG(st.st_mode)) {
        DebugPrint("FFMpegSaveAviPatchRate %s: not a regular file, rate not written", pPath ? pPath : "");
        return -1;
    }
    FILE *fp = fopen(pPath, "rb+");
    if (!fp)
        return -1;
    unsigned char head[AVI_RATE_OFFSET + 4];
    memset(head, 0, sizeof(head));
    size_t n = fread(head, 1, sizeof(head), fp);
    // RIFF AVI, then the first 'strl' list's 'strh' of a video stream.
    if (n < sizeof(head) || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "AVI ", 4) != 0 ||
        memcmp(head + 100, "strh", 4) != 0 || memcmp(head + 108, "vids", 4) != 0) {
        fclose(fp);
        DebugPrint("FFMpegSaveAviPatchRate %s: no AVI video stream header, rate not written", pPath);
        return -1;
    }
    unsigned char le[4] = {(unsigned char)nRate, (unsigned char)(nRate >> 8), (unsigned char)(nRate >> 16),
                           (unsigned char)(nRate >> 24)};
    int ret = 0;
    if (fseek(fp, AVI_RATE_OFFSET, SEEK_SET) != 0 || fwrite(le, 1, 4, fp) != 4)
        ret = -1;
    if (fclose(fp) != 0)
        ret = -1;
    return ret;
}

int FFMpegStartSaveAvi(FFMpegContext *ctx, const char *pPath)
{
    if (FFMpegIsConnecting())
        DebugPrint("FFMpegStartSaveAvi connect now======");
    if (!ctx)
        return -1;
    if (AtomicGet(&ctx->bSaving))
        return -1;
    DebugPrint("FFMpegStartSaveAvi start, nInAudioCodecId:%d, AV_CODEC_ID_NONE:%d\n",
               (int)ctx->nInAudioCodecId, (int)AV_CODEC_ID_NONE);

    Mutex *hRecorder = FFMpegRecorderLock(ctx);
    MutexLock(hRecorder);
    // Checked again under the lock: two starts may race past the first test.
    MutexLock(ctx->hSaveMutex);
    int bSaving = ctx->bSaving;
    MutexUnlock(ctx->hSaveMutex);
    if (bSaving) {
        MutexUnlock(hRecorder);
        return -1;
    }

    const char *pName = pPath ? pPath : "";
    // The stop reopens the file by this name: a path that does not fit
    // would correct some other file, so it is refused.
    if (strlen(pName) >= sizeof(ctx->szSavePath)) {
        DebugPrint("FFMpegStartSaveAvi path too long (%d bytes, at most %d): %.64s...",
                   (int)strlen(pName), (int)sizeof(ctx->szSavePath) - 1, pName);
        MutexUnlock(hRecorder);
        return -1;
    }

    AVFormatContext *oc = NULL;
    AVStream *pVideo = NULL, *pAudio = NULL;
    bool bAudio = ctx->nInAudioCodecId != AV_CODEC_ID_NONE;
    int r = OpenOutput(ctx, pName, bAudio, &oc, &pVideo, &pAudio);
    if (r == -2 && bAudio) {
        // A recording is never lost because of its sound.
        DebugPrint("FFMpegStartSaveAvi %s: header refused with audio codec %d, recording video only", pName,
                   (int)ctx->nInAudioCodecId);
        r = OpenOutput(ctx, pName, false, &oc, &pVideo, &pAudio);
    }
    if (r != 0) {
        MutexUnlock(hRecorder);
        return -1;
    }

    // Published to the read thread in one step, under its lock.
    MutexLock(ctx->hSaveMutex);
    ctx->nSaveVideoFrames = 0;
    // The read thread polls the tick count and the flag outside the lock.
    AtomicSet64(&ctx->nSaveTickCount, (int64_t)TickCount());
    ctx->nSaveAudioPts = 0;
    snprintf(ctx->szSavePath, sizeof(ctx->szSavePath), "%s", pName);
    ctx->pSaveFormatCtx = oc;
    ctx->pSaveVideoStream = pVideo;
    ctx->pSaveAudioStream = pAudio;
    ctx->nSaveVideoIndex = pVideo->index;
    ctx->nSaveAudioIndex = pAudio ? pAudio->index : 1;
    AtomicSet(&ctx->bSaving, 1);
    MutexUnlock(ctx->hSaveMutex);

    MutexUnlock(hRecorder);
    return 0;
}

// Time base of the source's audio packets: the demuxer stream's, else the
// one the decoder context was given, else one tick per sample.
static AVRational SourceAudioTimeBase(const FFMpegContext *ctx)
{
    if (!ctx->bHttpRaw && ctx->pFormatCtx && ctx->nAudioIndex >= 0 &&
        (unsigned)ctx->nAudioIndex < ctx->pFormatCtx->nb_streams) {
        AVRational tb = ctx->pFormatCtx->streams[ctx->nAudioIndex]->time_base;
        if (tb.num > 0 && tb.den > 0)
            return tb;
    }
    if (ctx->pAudioCodecCtx) {
        AVRational tb = ctx->pAudioCodecCtx->pkt_timebase;
        if (tb.num > 0 && tb.den > 0)
            return tb;
        if (ctx->pAudioCodecCtx->sample_rate > 0)
            return AVRational{1, ctx->pAudioCodecCtx->sample_rate};
    }
    return AVRational{0, 1};
}

// 1 when an H.264/H.265 packet in start-code form holds no picture (no
// coded slice among its NAL units), else 0: other codecs and
// length-prefixed packets are taken as pictures. Stops at the first slice.
static int HoldsNoPicture(enum AVCodecID id, const uint8_t *p, int n)
{
    if ((id != AV_CODEC_ID_H264 && id != AV_CODEC_ID_HEVC) || !p || n < 4 || p[0] != 0 || p[1] != 0 ||
        (p[2] != 1 && (p[2] != 0 || p[3] != 1)))
        return 0;
    for (int i = 0; i + 3 < n; i++) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1)
            continue;
        int t = id == AV_CODEC_ID_H264 ? p[i + 3] & 0x1f : (p[i + 3] >> 1) & 0x3f;
        if (id == AV_CODEC_ID_H264 ? t >= 1 && t <= 5 : t < 32)
            return 0;
        i += 2;
    }
    return 1;
}

// A video packet without a picture is held (0) rather than written as a
// frame of its own: an empty frame for players, and a truncated last one
// when a camera dies between a key frame's parameter sets and its picture.
// Otherwise the packet to write: pkt, or the held bytes followed by pkt's
// (flags of both), or null when that cannot be made (pkt is then lost).
static const AVPacket *HoldOrMerge(FFMpegContext *ctx, RecordState *pState, const AVPacket *pkt, int *pHeld)
{
    *pHeld = 0;
    if (HoldsNoPicture(ctx->nInVideoCodecId, pkt->data, pkt->size)) {
        AVPacket *h = pState->pHeld;
        int nOld = h ? h->size : 0;
        if ((!h && !(h = pState->pHeld = av_packet_alloc())) || pkt->size > INT32_MAX / 2 - nOld ||
            av_grow_packet(h, pkt->size) < 0) {
            av_packet_free(&pState->pHeld);
            return NULL;
        }
        memcpy(h->data + nOld, pkt->data, (size_t)pkt->size);
        h->flags |= pkt->flags;
        *pHeld = 1;
        return NULL;
    }
    AVPacket *h = pState->pHeld;
    if (!h)
        return pkt;
    AVPacket *m = pState->pMerged;
    if (m)
        av_packet_unref(m);
    if ((!m && !(m = pState->pMerged = av_packet_alloc())) || pkt->size > INT32_MAX / 2 - h->size ||
        av_new_packet(m, h->size + pkt->size) < 0 || av_packet_copy_props(m, pkt) < 0) {
        av_packet_free(&pState->pHeld);
        return pkt;
    }
    memcpy(m->data, h->data, (size_t)h->size);
    memcpy(m->data + h->size, pkt->data, (size_t)pkt->size);
    m->flags |= h->flags;
    av_packet_free(&pState->pHeld);
    return m;
}

// Writes the header that waited for the picture size, taken from the first
// video key frame (or from a picture decoded meanwhile). 1 when written, 0
// when the frame gives no size (the recording waits for the next key
// frame), -1 when the muxer refused the header (nothing will be recorded).
static int WriteDelayedHeader(FFMpegContext *ctx, AVFormatContext *oc, RecordState *pState, const AVPacket *pkt)
{
    int w = 0, h = 0;
    if (!ParsePictureSize(ctx->nInVideoCodecId, ctx->pVideoCodecCtx, pkt->data, pkt->size, &w, &h)) {
        w = AtomicGet(&ctx->nWidth);
        h = AtomicGet(&ctx->nHeight);
    }
    if (w <= 0 || h <= 0) {
        if (!pState->bSizeMissLogged) {
            pState->bSizeMissLogged = 1;
            DebugPrint("FFMpegSaveAviWritePacket %s: no picture size in the key frame, waiting for the next one",
                       ctx->szSavePath);
        }
        return 0;
    }
    AVCodecParameters *par = ctx->pSaveVideoStream->codecpar;
    par->width = w;
    par->height = h;
    pState->bHeaderPending = 0;
    int r = avformat_write_header(oc, NULL);
    if (r < 0) {
        pState->bHeaderFailed = 1;
        pState->nWriteError = oc->pb && oc->pb->error < 0 ? oc->pb->error : r;
        DebugPrint("FFMpegSaveAviWritePacket %s: avformat_write_header error ret:%d, nothing is recorded",
                   ctx->szSavePath, r);
        return -1;
    }
    DebugPrint("FFMpegSaveAviWritePacket %s: picture size %dx%d from the first key frame", ctx->szSavePath, w, h);
    return 1;
}

int FFMpegSaveAviWritePacket(FFMpegContext *ctx, const AVPacket *pkt)
{
    if (!ctx || !pkt)
        return 0;
    int ret = 0;
    MutexLock(ctx->hSaveMutex);
    AVFormatContext *oc = ctx->pSaveFormatCtx;
    bool bVideo = pkt->stream_index == ctx->nVideoIndex;
    bool bAudio = !bVideo && ctx->nAudioIndex >= 0 && pkt->stream_index == ctx->nAudioIndex;
    // A recording begins with a video key frame; data-stream packets and
    // packets of any further stream would corrupt the recorded tracks.
    if (!ctx->bSaving || !oc || !(bVideo || bAudio) ||
        (ctx->nSaveVideoFrames <= 0 && !(bVideo && pkt->flags != 0)) ||
        (bAudio && !ctx->pSaveAudioStream)) {
        MutexUnlock(ctx->hSaveMutex);
        return 0;
    }
    RecordState *pState = (RecordState *)oc->opaque;
    // After a failed write (a full disk, a lost share) the file ends where
    // it broke: writing on would leave holes in it.
    if (pState && (pState->bHeaderFailed || pState->nWriteError)) {
        MutexUnlock(ctx->hSaveMutex);
        return 0;
    }
    if (bVideo && pState) {
        int bHeld = 0;
        pkt = HoldOrMerge(ctx, pState, pkt, &bHeld);
        if (!pkt) {
            MutexUnlock(ctx->hSaveMutex);
            return bHeld ? 0 : -1;
        }
    }
    // Only the recording's first packet, a video key frame, gets here
    // while the header waits.
    if (pState && pState->bHeaderPending) {
        int r = WriteDelayedHeader(ctx, oc, pState, pkt);
        if (r <= 0) {
            MutexUnlock(ctx->hSaveMutex);
            return r;
        }
    }
    AVPacket *pCopy = pState ? pState->pPacket : NULL;
    if (!pCopy || av_packet_ref(pCopy, pkt) < 0) {
        MutexUnlock(ctx->hSaveMutex);
        return -1;
    }
    if (ctx->nSaveVideoFrames == 0)
        AtomicSet64(&ctx->nSaveTickCount, (int64_t)TickCount());
    if (bVideo) {
        ctx->nSaveVideoFrames += 1;
        if (pState && pState->pVideoBsf) {
            // One packet in, one out; the filter takes the reference.
            int r = av_bsf_send_packet(pState->pVideoBsf, pCopy);
            if (r >= 0)
                r = av_bsf_receive_packet(pState->pVideoBsf, pCopy);
            if (r < 0) {
                DebugPrint("FFMpegSaveAviWritePacket %s: start-code rewrite error ret:%d", ctx->szSavePath, r);
                av_packet_unref(pCopy);
                MutexUnlock(ctx->hSaveMutex);
                return -1;
            }
        }
        // The frame count runs 1, 2, 3... for the rate; the muxer takes
        // the frame's index, since a first timestamp of 1 would make it
        // pad index 0 with an empty chunk (a duplicated first picture, and
        // timestamps that read back 0, 2, 3...).
        pCopy->pts = ctx->nSaveVideoFrames - 1;
        pCopy->duration = 1;
        pCopy->stream_index = ctx->nSaveVideoIndex;
    } else {
        int64_t nDuration = pkt->duration > 0 ? pkt->duration : 0;
        ctx->nSaveAudioPts += nDuration;
        // The running sum ends where this packet ends; the muxer takes
        // where it starts, or it would pad the first audio index with an
        // empty chunk, as for video.
        int64_t nStart = ctx->nSaveAudioPts - nDuration;
        AVRational src = SourceAudioTimeBase(ctx);
        int64_t pts = src.num > 0 ? av_rescale_q(nStart, src, ctx->pSaveAudioStream->time_base) : nStart;
        // The muxer refuses a timestamp that does not advance.
        if (pState && pState->nLastAudioPts != INT64_MIN && pts <= pState->nLastAudioPts)
            pts = pState->nLastAudioPts + 1;
        if (pState)
            pState->nLastAudioPts = pts;
        pCopy->pts = pts;
        pCopy->duration = src.num > 0 ? av_rescale_q(pkt->duration, src, ctx->pSaveAudioStream->time_base) : 0;
        pCopy->stream_index = ctx->nSaveAudioIndex;
        if (pState && pState->nG726LeBits && pkt->size > 0) {
            // The source's payload is shared with the decode queue: the
            // repacked words go to the recorder's own buffer, reused for
            // every packet since av_write_frame writes it out at once.
            av_fast_padded_malloc(&pState->pAudioBuf, &pState->nAudioBufSize, (size_t)pkt->size);
            if (!pState->pAudioBuf) {
                av_packet_unref(pCopy);
                MutexUnlock(ctx->hSaveMutex);
                return -1;
            }
            FFMpegSaveAviRepackG726(pkt->data, pkt->size, pState->nG726LeBits, pState->pAudioBuf);
            av_buffer_unref(&pCopy->buf);
            pCopy->data = pState->pAudioBuf;
            pCopy->size = pkt->size;
        }
    }
    pCopy->dts = pCopy->pts;
    if (pCopy->stream_index >= 0 && (unsigned)pCopy->stream_index < oc->nb_streams) {
        int r = av_write_frame(oc, pCopy);
        if (r < 0) {
            // The muxer refusing one packet costs that packet; an I/O
            // error (sticky in the output) ends the file.
            bool bIo = oc->pb && oc->pb->error < 0;
            if (pState && (bIo || !pState->bRefusedLogged)) {
                char szErr[AV_ERROR_MAX_STRING_SIZE];
                av_make_error_string(szErr, sizeof(szErr), bIo ? oc->pb->error : r);
                DebugPrint("FFMpegSaveAviWritePacket %s: av_write_frame error ret:%d (%s)%s", ctx->szSavePath, r,
                           szErr, bIo ? ", nothing more is written" : "");
                if (bIo)
                    pState->nWriteError = oc->pb->error;
                else
                    pState->bRefusedLogged = 1;
            }
            ret = -1;
        } else {
            ret = 1;
            if (bVideo && pState) {
                uint32_t nNow = TickCount();
                if (pState->nVideoWritten++ == 0)
                    pState->nFirstVideoTick = nNow;
                pState->nLastVideoTick = nNow;
            }
        }
    }
    av_packet_unref(pCopy);
    if (pState && pState->pMerged)
        av_packet_unref(pState->pMerged);
    MutexUnlock(ctx->hSaveMutex);
    return ret;
}

int FFMpegStopSaveAvi(FFMpegContext *ctx)
{
    if (!ctx || !AtomicGet(&ctx->bSaving))
        return -1;

    Mutex *hRecorder = FFMpegRecorderLock(ctx);
    MutexLock(hRecorder);
    // From here the read thread can no longer write a packet.
    MutexLock(ctx->hSaveMutex);
    if (!ctx->bSaving || !ctx->pSaveFormatCtx) {
        MutexUnlock(ctx->hSaveMutex);
        MutexUnlock(hRecorder);
        return -1;
    }
    AtomicSet(&ctx->bSaving, 0);

    AVFormatContext *oc = ctx->pSaveFormatCtx;
    RecordState *pState = (RecordState *)oc->opaque;
    // The rate is the pace of the pictures written, from the first to the
    // last of them: time after the last one (a camera gone silent, a disk
    // that filled up) holds no picture and must not slow the file down.
    // Tick counts are 32-bit and wrap: the span is their unsigned difference.
    int nRate = kDefaultRate;
    if (pState && pState->nVideoWritten >= 2) {
        int64_t nSpan = (int64_t)(uint32_t)(pState->nLastVideoTick - pState->nFirstVideoTick);
        if (nSpan > 0)
            nRate = FFMpegSaveAviFrameRate(pState->nVideoWritten - 1, nSpan);
    }
    int nWriteError = pState ? pState->nWriteError : 0;
    if (pState && pState->pHeld)
        DebugPrint("FFMpegStopSaveAvi %s: %d bytes of video without a picture at the end are left out",
                   ctx->szSavePath, pState->pHeld->size);

    // Without a header (no picture size was ever found) the file holds
    // nothing a player could read.
    bool bHeader = !pState || (!pState->bHeaderPending && !pState->bHeaderFailed);
    if (bHeader) {
        int r = av_write_trailer(oc);
        if (r < 0 && !nWriteError)
            DebugPrint("FFMpegStopSaveAvi av_write_trailer %s error ret:%d", ctx->szSavePath, r);
    }
    DebugPrint("FFMpegStopSaveAvi  11111111111111111111");
    bool bNoFile = (oc->oformat->flags & AVFMT_NOFILE) != 0;
    if (!bNoFile && oc->pb) {
        // The trailer and the last buffered packets fail here when the
        // disk filled up at the very end.
        avio_flush(oc->pb);
        if (!nWriteError && oc->pb->error < 0)
            nWriteError = oc->pb->error;
        int r = avio_closep(&oc->pb);
        if (!nWriteError && r < 0)
            nWriteError = r;
    }
    FreeRecordState(pState);
    oc->opaque = NULL;
    avformat_free_context(oc);
    ctx->pSaveFormatCtx = NULL;
    ctx->pSaveVideoStream = NULL;
    ctx->pSaveAudioStream = NULL;

    if (nWriteError) {
        char szErr[AV_ERROR_MAX_STRING_SIZE];
        av_make_error_string(szErr, sizeof(szErr), nWriteError);
        DebugPrint("FFMpegStopSaveAvi %s: writing failed (%s), the recording is cut short", ctx->szSavePath,
                   szErr);
    }
    // A file cut short keeps its whole chunks, at the pace they were
    // written; one without a single picture is of no use to anyone.
    if (bHeader && nWriteError && !bNoFile && FFMpegSaveAviFinishCut(ctx->szSavePath) == 0)
        bHeader = false;
    if (!bHeader) {
        if (!bNoFile)
            FileDeleteRegular(ctx->szSavePath);
        if (!nWriteError)
            DebugPrint("FFMpegStopSaveAvi %s: no picture size was found, nothing recorded", ctx->szSavePath);
    } else if (FFMpegSaveAviPatchRate(ctx->szSavePath, (uint32_t)nRate) != 0) {
        DebugPrint("FFMpegStopSaveAvi %s: frame rate %d not written", ctx->szSavePath, nRate);
    }

    MutexUnlock(ctx->hSaveMutex);
    MutexUnlock(hRecorder);
    return nWriteError ? SAVE_AVI_CUT_SHORT : 0;
}
