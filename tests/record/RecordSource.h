#ifndef IPCAMERA_TESTS_RECORD_RECORDSOURCE_H
#define IPCAMERA_TESTS_RECORD_RECORDSOURCE_H

// A stream context opened on a generated file for the recorder tests.

#include <stdint.h>

#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "RecordTestUtil.h"
#include "record/AviRecorder.h"
#include "stream/FFMpegContext.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

// A stream context as FFMpegContextCreate leaves it, without the threads:
// the source is read by the test itself.
struct Source {
    AVFormatContext *pFmt = nullptr;
    FFMpegContext *ctx = nullptr;
    int nSourceVideoPackets = 0;

    bool Open(const std::string &path)
    {
        if (avformat_open_input(&pFmt, path.c_str(), nullptr, nullptr) < 0)
            return false;
        if (avformat_find_stream_info(pFmt, nullptr) < 0)
            return false;
        ctx = new FFMpegContext();
        ctx->bRunning = 1;
        ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
        ctx->hSaveMutex = MutexCreate();
        ctx->pFormatCtx = pFmt;
        for (unsigned i = 0; i < pFmt->nb_streams; i++) {
            AVCodecParameters *par = pFmt->streams[i]->codecpar;
            AVCodecContext *cc = avcodec_alloc_context3(nullptr);
            avcodec_parameters_to_context(cc, par);
            if (par->codec_type == AVMEDIA_TYPE_VIDEO && ctx->nVideoIndex < 0) {
                ctx->nVideoIndex = (int)i;
                ctx->pVideoCodecCtx = cc;
                ctx->nInVideoCodecId = par->codec_id;
                ctx->nWidth = par->width;
                ctx->nHeight = par->height;
            } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && ctx->nAudioIndex < 0) {
                ctx->nAudioIndex = (int)i;
                ctx->pAudioCodecCtx = cc;
                ctx->nInAudioCodecId = par->codec_id;
                // As the stream context sets up its ADPCM decoders.
                if (par->codec_id == AV_CODEC_ID_ADPCM_G726) {
                    cc->bits_per_coded_sample = 2;
                    cc->sample_rate = 8000;
                } else if (par->codec_id == AV_CODEC_ID_ADPCM_G722) {
                    cc->bits_per_coded_sample = 4;
                    cc->sample_rate = 16000;
                }
            } else {
                avcodec_free_context(&cc);
            }
        }
        return ctx->nVideoIndex >= 0;
    }

    ~Source()
    {
        if (ctx) {
            FFMpegStopSaveAvi(ctx);
            avcodec_free_context(&ctx->pVideoCodecCtx);
            avcodec_free_context(&ctx->pAudioCodecCtx);
            MutexDestroy(ctx->hSaveMutex);
            delete ctx;
        }
        avformat_close_input(&pFmt);
    }

    // The read thread's recording step for one packet. 1 when written.
    int Write(const AVPacket *pkt) { return FFMpegSaveAviWritePacket(ctx, pkt) == 1 ? 1 : 0; }

    // Reads and writes packets until maxVideo video packets have been read
    // (or the end); the number of video packets written.
    int Pump(int maxVideo = 1 << 30)
    {
        AVPacket *pkt = av_packet_alloc();
        int nVideoWritten = 0, nVideoRead = 0;
        while (nVideoRead < maxVideo && av_read_frame(pFmt, pkt) >= 0) {
            bool isVideo = pkt->stream_index == ctx->nVideoIndex;
            nVideoRead += isVideo;
            if (Write(pkt) && isVideo)
                nVideoWritten++;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        nSourceVideoPackets += nVideoRead;
        return nVideoWritten;
    }

    // Pretends the recording's first packet was written nMs ago, so that
    // the stop measures a known rate.
    void BackdateStart(uint32_t nMs)
    {
        MutexLock(ctx->hSaveMutex);
        ctx->nSaveTickCount = (int64_t)(uint32_t)(TickCount() - nMs);
        MutexUnlock(ctx->hSaveMutex);
    }
};

// Recorder tests on generated media: skipped when the ffmpeg/ffprobe CLI that
// makes and judges it is missing; the media goes with the suite.
class RecorderMediaTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FFMpegRegister();
        s_bTools = HaveTool("ffmpeg") && HaveTool("ffprobe");
    }
    static void TearDownTestSuite() { RemoveTestDir(); }
    void SetUp() override
    {
        if (!s_bTools)
            GTEST_SKIP() << "ffmpeg/ffprobe CLI not found: cannot generate or judge test media";
    }
    inline static bool s_bTools = false;
};

}  // namespace

#endif
