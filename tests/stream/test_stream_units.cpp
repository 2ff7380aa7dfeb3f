// Pieces of the stream layer without a network: the packet queue between
// the read and the decode thread (deep copies, two threads), garbage into
// the FFmpeg compatibility decode, FFmpeg's lock callback, and the software
// fallback of this machine's real hardware set-up.

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/hwcontext.h>
}

#include "MediaGen.h"
#include "decode/AudioDecode.h"
#include "stream/FFMpegContext.h"
#include "stream/FFmpegCompat.h"
#include "stream/HwDecode.h"
#include "stream/PacketQueue.h"
#include "stream/ReadThread.h"
#include "support/List.h"
#include "support/Thread.h"

namespace {

struct QueueFixture : ::testing::Test {
    FFMpegContext ctx;
    void SetUp() override
    {
        memset(&ctx, 0, sizeof(ctx));
        ctx.pPktList = (List *)MemAllocZero(sizeof(List));
        ctx.hPktListMutex = MutexCreate();
        ASSERT_NE(ctx.pPktList, nullptr);
        ASSERT_NE(ctx.hPktListMutex, nullptr);
    }
    void TearDown() override
    {
        ListDestroy(ctx.pPktList, FreeAVPkt);
        MutexDestroy(ctx.hPktListMutex);
    }
};

// A refcounted source packet with the given payload bytes and side data.
AVPacket *MakePacket(const uint8_t *data, int size, int stream, int flags, int64_t pts)
{
    AVPacket *p = av_packet_alloc();
    EXPECT_EQ(av_new_packet(p, size), 0);
    if (size > 0)
        memcpy(p->data, data, (size_t)size);
    p->stream_index = stream;
    p->flags = flags;
    p->pts = pts;
    p->dts = pts - 1;
    p->duration = 40;
    p->pos = 1234;
    EXPECT_NE(av_packet_new_side_data(p, AV_PKT_DATA_NEW_EXTRADATA, 8), nullptr);
    return p;
}

TEST_F(QueueFixture, ProducerAndConsumerThreadsKeepOrder)
{
    const int N = 2000;
    std::thread producer([&] {
        for (int i = 0; i < N; i++) {
            uint8_t d[4];
            memcpy(d, &i, 4);
            AVPacket *p = MakePacket(d, 4, 0, 0, i);
            PutAVPktList(&ctx, p);
            av_packet_free(&p);
        }
    });
    int next = 0;
    while (next < N) {
        AVPacket *e = GetAVPktList(&ctx);
        if (e == nullptr) {
            std::this_thread::yield();
            continue;
        }
        int v;
        memcpy(&v, e->data, 4);
        ASSERT_EQ(v, next);
        ASSERT_EQ(e->pts, next);
        FreeAVPkt(e);
        next++;
    }
    producer.join();
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 0);
}

TEST(Compat, GarbageGivesInvalidDataAndClosedDecoderIsRefused)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    ASSERT_NE(codec, nullptr);
    AVCodecContext *c = avcodec_alloc_context3(codec);
    c->width = 160;
    c->height = 120;
    ASSERT_EQ(avcodec_open2(c, codec, nullptr), 0);
    std::vector<uint8_t> junk(4096 + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    unsigned seed = 7;
    for (size_t i = 0; i < 4096; i++)
        junk[i] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
    AVPacket *pkt = av_packet_alloc();
    pkt->data = junk.data();
    pkt->size = 4096;
    AVFrame *frame = av_frame_alloc();
    int got = 1;
    EXPECT_EQ(FFCompatDecode(c, frame, &got, pkt), AVERROR_INVALIDDATA);
    EXPECT_EQ(got, 0);
    AVCodecContext *closed = avcodec_alloc_context3(codec);
    EXPECT_LT(FFCompatDecode(closed, frame, &got, pkt), 0);
    avcodec_free_context(&closed);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&c);
}

TEST(LockCallback, ObtainHoldsOffAnotherThreadUntilReleased)
{
    FFMpegRegister();
    void *slot = (void *)0x1234;
    EXPECT_EQ(FFMpegLockCallback(&slot, 0), 0);
    EXPECT_EQ(FFMpegLockCallback(&slot, 3), 0);
    EXPECT_EQ(slot, (void *)0x1234);
    ASSERT_EQ(FFMpegLockCallback(&slot, 1), 0);
    std::atomic<int> got{0};
    std::thread t([&] {
        FFMpegLockCallback(&slot, 1);
        got = 1;
        FFMpegLockCallback(&slot, 2);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(got.load(), 0);
    FFMpegLockCallback(&slot, 2);
    t.join();
    EXPECT_EQ(got.load(), 1);
}

}  // namespace

TEST(SetHwDeviceCtx, RealPathFallsBackToSoftwareWithoutGpu)
{
    AVCodecContext *c = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_HEVC));
    ::testing::internal::CaptureStderr();
    int r = set_hwdevice_ctx(c);
    std::string log = ::testing::internal::GetCapturedStderr();
    struct stat st;
    if (stat("/dev/dri", &st) != 0) {
        EXPECT_EQ(-1, r);
        EXPECT_NE(std::string::npos, log.find("This pc do not have d3d9.dll."));
    }
    // Either way the context is consistent and still opens as a decoder.
    EXPECT_EQ(r == 0, c->hw_device_ctx != nullptr);
    EXPECT_EQ(0, avcodec_open2(c, avcodec_find_decoder(AV_CODEC_ID_HEVC), nullptr));
    avcodec_free_context(&c);
}
