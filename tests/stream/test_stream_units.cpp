// Pieces of the stream layer without a network: the packet queue between
// the read and the decode thread (deep copies, order, clearing, two
// threads), the FFmpeg compatibility layer (old-style decode results,
// caller-owned contexts, audio layout), the read thread's statistics and
// nominal frame rate arithmetic, and FFmpeg's lock callback.

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "MediaGen.h"
#include "decode/AudioDecode.h"
#include "stream/FFMpegContext.h"
#include "stream/FFmpegCompat.h"
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

TEST_F(QueueFixture, DeepCopyKeepsFieldsOrderAndPadding)
{
    uint8_t a[5] = {1, 2, 3, 4, 5};
    uint8_t b[3] = {9, 8, 7};
    AVPacket *pa = MakePacket(a, 5, 0, AV_PKT_FLAG_KEY, 100);
    AVPacket *pb = MakePacket(b, 3, 1, 0, 200);
    ASSERT_EQ(PutAVPktList(&ctx, pa), 0);
    ASSERT_EQ(PutAVPktList(&ctx, pb), 0);
    // The producer drops and scribbles over its own packets right away.
    memset(pa->data, 0xEE, 5);
    av_packet_free(&pa);
    av_packet_free(&pb);
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 2);

    AVPacket *e = GetAVPktList(&ctx);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 5);
    EXPECT_EQ(memcmp(e->data, a, 5), 0);
    EXPECT_GE(PKT_QUEUE_PADDING, 32);
    for (int i = 0; i < PKT_QUEUE_PADDING; i++)
        ASSERT_EQ(e->data[5 + i], 0) << "padding byte " << i;
    EXPECT_EQ(e->stream_index, 0);
    EXPECT_EQ(e->flags, AV_PKT_FLAG_KEY);
    EXPECT_EQ(e->pts, 100);
    EXPECT_EQ(e->dts, 99);
    EXPECT_EQ(e->duration, 40);
    EXPECT_EQ(e->pos, 1234);
    EXPECT_EQ(e->buf, nullptr);
    EXPECT_EQ(e->side_data, nullptr);
    EXPECT_EQ(e->side_data_elems, 0);
    FreeAVPkt(e);

    e = GetAVPktList(&ctx);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 3);
    EXPECT_EQ(memcmp(e->data, b, 3), 0);
    EXPECT_EQ(e->stream_index, 1);
    FreeAVPkt(e);
    EXPECT_EQ(GetAVPktList(&ctx), nullptr);

    // A packet without payload still gets a zeroed, padded one.
    AVPacket *z = av_packet_alloc();
    ASSERT_EQ(PutAVPktList(&ctx, z), 0);
    av_packet_free(&z);
    e = GetAVPktList(&ctx);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 0);
    ASSERT_NE(e->data, nullptr);
    for (int i = 0; i < 32; i++)
        ASSERT_EQ(e->data[i], 0);
    FreeAVPkt(e);
    FreeAVPkt(nullptr);
}

TEST_F(QueueFixture, ClearEmptiesAndReleases)
{
    uint8_t d[100] = {0};
    for (int i = 0; i < 150; i++) {
        AVPacket *p = MakePacket(d, 100, 0, 0, i);
        ASSERT_EQ(PutAVPktList(&ctx, p), 0);
        av_packet_free(&p);
    }
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 150);
    EXPECT_EQ(ClearAVPktList(&ctx), 0);
    // Leaks of the released elements show under the sanitizer build.
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 0);
    EXPECT_EQ(GetAVPktList(&ctx), nullptr);
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

struct Demuxed {
    AVFormatContext *fmt = nullptr;
    AVCodecContext *dec = nullptr;
    int index = -1;
    ~Demuxed()
    {
        FFCompatFreeContext(&dec);
        avformat_close_input(&fmt);
    }
    bool Open(const std::string &path, AVMediaType type)
    {
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(fmt, nullptr) < 0)
            return false;
        const AVCodec *codec = nullptr;
        index = av_find_best_stream(fmt, type, -1, -1, &codec, 0);
        if (index < 0)
            return false;
        dec = FFCompatAllocStreamContext(fmt->streams[index], codec);
        return dec != nullptr && avcodec_open2(dec, codec, nullptr) == 0;
    }
};

TEST(Compat, VideoDecodeReportsConsumedLengthAndPictures)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = mediagen::Video("compat_h264.mp4", 160, 120, 10, "yuv420p", "-c:v libx264 -g 5");
    ASSERT_FALSE(clip.empty());
    Demuxed d;
    ASSERT_TRUE(d.Open(clip, AVMEDIA_TYPE_VIDEO));
    // The context is a copy of the stream's parameters, not shared with it.
    ASSERT_GT(d.dec->extradata_size, 0);
    EXPECT_NE(d.dec->extradata, d.fmt->streams[d.index]->codecpar->extradata);

    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    int pictures = 0, packets = 0;
    while (av_read_frame(d.fmt, pkt) >= 0) {
        if (pkt->stream_index == d.index) {
            int got = -1;
            EXPECT_EQ(FFCompatDecode(d.dec, frame, &got, pkt), pkt->size);
            EXPECT_TRUE(got == 0 || got == 1);
            if (got) {
                EXPECT_EQ(frame->width, 160);
                EXPECT_EQ(frame->height, 120);
                pictures++;
            }
            packets++;
        }
        av_packet_unref(pkt);
    }
    EXPECT_EQ(packets, 10);
    // B-frame reordering holds back a few pictures; no packet yields two.
    EXPECT_GE(pictures, 6);
    EXPECT_LE(pictures, 10);

    // An empty packet only collects; it must not switch the decoder into
    // draining, after which it would refuse all input.
    AVPacket empty = {};
    int got = 0;
    EXPECT_GE(FFCompatDecode(d.dec, frame, &got, &empty), 0);
    av_packet_free(&pkt);
    av_frame_free(&frame);
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

AVCodecContext *OpenPcm(AVCodecID id, int channels, int rate)
{
    const AVCodec *codec = avcodec_find_decoder(id);
    if (codec == nullptr)
        return nullptr;
    AVCodecContext *c = avcodec_alloc_context3(codec);
    FFCompatSetChannels(c, channels);
    c->sample_rate = rate;
    if (avcodec_open2(c, codec, nullptr) < 0)
        avcodec_free_context(&c);
    return c;
}

TEST(Compat, AudioFrameLayoutAndCapacity)
{
    // pcm_s16le_planar: a decoder with planar 16-bit input and output.
    AVCodecContext *c = OpenPcm(AV_CODEC_ID_PCM_S16LE_PLANAR, 2, 8000);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(FFCompatChannels(c), 2);
    // 100 samples of the left channel (1000+i), then 100 of the right (-i).
    std::vector<uint8_t> in(400 + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    int16_t *s = (int16_t *)in.data();
    for (int i = 0; i < 100; i++) {
        s[i] = (int16_t)(1000 + i);
        s[100 + i] = (int16_t)-i;
    }
    AVPacket *pkt = av_packet_alloc();
    pkt->data = in.data();
    pkt->size = 400;
    uint8_t out[16000];
    int size = 16000;
    ASSERT_GE(decode_audio_frame(c, out, &size, pkt), 0);
    ASSERT_EQ(size, 400);  // 200 units: left block, then right block
    const int16_t *o = (const int16_t *)out;
    EXPECT_EQ(o[0], 1000);
    EXPECT_EQ(o[99], 1099);
    EXPECT_EQ(o[100], 0);
    EXPECT_EQ(o[199], -99);
    // Never more than the caller's buffer holds.
    int small = 100;
    EXPECT_EQ(decode_audio_frame(c, out, &small, pkt), AVERROR(EINVAL));
    EXPECT_EQ(small, 100);
    EXPECT_EQ(decode_audio_frame(nullptr, out, &small, pkt), -1);
    av_packet_free(&pkt);
    avcodec_free_context(&c);

    // G.711: one 16-bit unit per byte.
    for (AVCodecID id : {AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_PCM_ALAW}) {
        c = OpenPcm(id, 1, 8000);
        ASSERT_NE(c, nullptr);
        std::vector<uint8_t> g(160 + AV_INPUT_BUFFER_PADDING_SIZE, 0xD5);
        pkt = av_packet_alloc();
        pkt->data = g.data();
        pkt->size = 160;
        size = 16000;
        EXPECT_EQ(decode_audio_frame(c, out, &size, pkt), 160);
        EXPECT_EQ(size, 320);
        av_packet_free(&pkt);
        avcodec_free_context(&c);
    }
}

TEST(ReadStats, WindowArithmeticAndNominalFrameRate)
{
    // 300 video packets of 1000 bytes.
    EXPECT_FLOAT_EQ(ReadStatsBitRate(300000.0f, 3000), 800.0f);
    EXPECT_FLOAT_EQ(ReadStatsBitRate(300000.0f, 4000), 600.0f);
    EXPECT_FLOAT_EQ(ReadStatsBitRate(1000.0f, 0), 0.0f);
    EXPECT_EQ(ReadStatsFrameRate(300), 100);
    EXPECT_EQ(ReadStatsFrameRate(2), 0);
    // 20 packets 40 ms apart: half the mean interval.
    EXPECT_EQ(ReadStatsFrameInterval(800), 20);
    EXPECT_EQ(ReadStatsFrameInterval(819), 20);
    EXPECT_EQ(ReadStatsFrameInterval(820), 21);

    struct {
        AVRational tb;
        int64_t num, den;
    } cases[] = {
        {{1, 90000}, 24, 1}, {{1, 25}, 25, 1}, {{2, 50}, 50, 2}, {{1, 30000}, 30000, 1},
        {{1, 30001}, 24, 1}, {{0, 25}, 25, 1}, {{1, 0}, 24, 1},  {{-3, 10}, 10, 1},
    };
    for (auto &c : cases) {
        int64_t num = -1, den = -1;
        FFMpegNominalFrameRate(c.tb, &num, &den);
        EXPECT_EQ(num, c.num) << c.tb.num << "/" << c.tb.den;
        EXPECT_EQ(den, c.den) << c.tb.num << "/" << c.tb.den;
    }
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
