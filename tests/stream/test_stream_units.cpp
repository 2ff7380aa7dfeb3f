// Pieces of the stream layer without a network: the packet queue between
// the read and the decode thread (deep copies, order, clearing, two
// threads), the FFmpeg compatibility layer (old-style decode results,
// caller-owned contexts, audio layout), the read thread's statistics and
// nominal frame rate arithmetic, FFmpeg's lock callback; and hardware
// decoding set-up: the device table rows and driver-build rule, the adapter
// walk with fake adapters (a listed adapter stops the walk, a failed
// creation moves on), render-node listing from a fake sysfs tree, format
// negotiation, and the software fallback of this machine's real VA-API path.

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

namespace {

HwAdapter Adapter(uint32_t vendor, uint32_t device, uint64_t version = 0, int identified = 1)
{
    HwAdapter a;
    memset(&a, 0, sizeof(a));
    a.bIdentified = identified;
    a.nVendorId = vendor;
    a.nDeviceId = device;
    a.nDriverVersion = version;
    return a;
}

HwAdapterList Adapters(std::initializer_list<HwAdapter> l)
{
    HwAdapterList list;
    memset(&list, 0, sizeof(list));
    for (const HwAdapter &a : l) {
        list.aAdapter[list.nCount] = a;
        snprintf(list.aAdapter[list.nCount].szDevice, sizeof(a.szDevice), "/dev/dri/renderD%d", 128 + list.nCount);
        list.nCount++;
    }
    return list;
}

// Fake adapter table: lists the given adapters and fails creation where asked.
struct FakeGpu {
    int bNoDriver = 0;
    HwAdapterList list;
    std::vector<int> failOn;          // adapter indexes whose creation fails
    std::vector<std::string> tried;   // device names creation was asked for
    std::vector<uint8_t *> created;   // data of each reference handed out

    static int ListAdapters(void *u, HwAdapterList *out)
    {
        FakeGpu *g = (FakeGpu *)u;
        if (g->bNoDriver)
            return -1;
        *out = g->list;
        return 0;
    }
    static int Create(void *u, const HwAdapter *a, AVBufferRef **pp)
    {
        FakeGpu *g = (FakeGpu *)u;
        g->tried.push_back(a->szDevice);
        int idx = a->szDevice[strlen(a->szDevice) - 1] - '8';
        for (int f : g->failOn)
            if (f == idx)
                return AVERROR(ENODEV);
        // Stands for a device reference: only owned and released here.
        *pp = av_buffer_alloc(16);
        if (!*pp)
            return AVERROR(ENOMEM);
        g->created.push_back((*pp)->data);
        return 0;
    }
    HwDeviceOps Ops() { return HwDeviceOps{ListAdapters, Create, this}; }
};

AVCodecContext *HevcContext()
{
    return avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_HEVC));
}

}  // namespace

TEST(GpuCanDecode, DeviceTableRows)
{
    HwAdapterList l = Adapters({Adapter(0x8086, 0x0412), Adapter(0x8086, 0x2E12), Adapter(0x10DE, 0x0412),
                            Adapter(0x8086, 0x1234), Adapter(0x8086, 0x0412, 0, 0)});
    EXPECT_EQ(0, gpu_can_decode(&l, 0, AV_CODEC_ID_HEVC));
    EXPECT_EQ(1, gpu_can_decode(&l, 0, AV_CODEC_ID_H264));  // its row lists H.265 only
    EXPECT_EQ(0, gpu_can_decode(&l, 1, AV_CODEC_ID_H264));
    EXPECT_EQ(0, gpu_can_decode(&l, 1, AV_CODEC_ID_HEVC));
    EXPECT_EQ(0, gpu_can_decode(&l, 1, AV_CODEC_ID_MJPEG));
    EXPECT_EQ(1, gpu_can_decode(&l, 1, AV_CODEC_ID_MPEG4));
    for (int codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_MJPEG}) {
        EXPECT_EQ(1, gpu_can_decode(&l, 2, codec));  // not Intel
        EXPECT_EQ(1, gpu_can_decode(&l, 3, codec));  // Intel, not in the table
        EXPECT_EQ(0, gpu_can_decode(&l, 4, codec));  // not identified
    }
    EXPECT_EQ(0, gpu_can_decode(&l, 5, AV_CODEC_ID_HEVC));   // no such adapter
    EXPECT_EQ(0, gpu_can_decode(&l, -1, AV_CODEC_ID_HEVC));
    EXPECT_EQ(0, gpu_can_decode(nullptr, 0, AV_CODEC_ID_HEVC));

    // Rows of the table: the ends of the H.265-only run and of the
    // all-codecs run, and ids just outside them.
    for (uint32_t id : {0x1606u, 0x0412u, 0x0D26u}) {
        HwAdapterList one = Adapters({Adapter(0x8086, id)});
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_HEVC)) << std::hex << id;
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_H264)) << std::hex << id;
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_MJPEG)) << std::hex << id;
    }
    for (uint32_t id : {0x2A42u, 0x2E92u, 0x27AEu}) {
        HwAdapterList one = Adapters({Adapter(0x8086, id, 0x0014001300640000ull)});
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_HEVC)) << std::hex << id;
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_H264)) << std::hex << id;
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_MJPEG)) << std::hex << id;
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_VP9)) << std::hex << id;
    }
    for (uint32_t id : {0x1605u, 0x0D27u, 0x2A41u, 0x27AFu, 0u}) {
        HwAdapterList one = Adapters({Adapter(0x8086, id)});
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_HEVC)) << std::hex << id;
    }
}

TEST(GpuCanDecode, DriverBuild)
{
    // a.b.c.d in four 16-bit parts; the build comes from c and d.
    auto ver = [](uint64_t a, uint64_t b, uint64_t c, uint64_t d) { return a << 48 | b << 32 | c << 16 | d; };
    EXPECT_EQ(4835u, hw_driver_build(0x8086, ver(20, 19, 15, 4835)));
    EXPECT_EQ(7870u, hw_driver_build(0x8086, ver(26, 20, 100, 7870)));
    EXPECT_EQ(1002u, hw_driver_build(0x8086, ver(27, 20, 101, 2)));
    EXPECT_EQ(99001u, hw_driver_build(0x8086, ver(0, 0, 199, 1)));
    EXPECT_EQ(2u, hw_driver_build(0x10DE, ver(27, 20, 101, 2)));  // the rule is Intel's only
    EXPECT_EQ(0u, hw_driver_build(0x8086, 0));
}

TEST(SetHwDeviceCtx, ListedFirstAdapterStopsTheWalk)
{
    FakeGpu gpu;
    gpu.list = Adapters({Adapter(0x8086, 0x0412), Adapter(0x10DE, 0x1C82)});
    HwDeviceOps ops = gpu.Ops();
    AVCodecContext *c = HevcContext();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(c, &ops));
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("This gpu doesn't have ability to decode " +
                                          std::to_string((int)AV_CODEC_ID_HEVC) + " properly."));
    EXPECT_TRUE(gpu.tried.empty());  // adapter 1 is not tried
    EXPECT_EQ(nullptr, c->hw_device_ctx);
    EXPECT_NE(get_hw_format, c->get_format);
    avcodec_free_context(&c);

    // The same adapter for H.264: its row lists H.265 only.
    c = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    EXPECT_EQ(0, set_hwdevice_ctx_ops(c, &ops));
    ASSERT_EQ(1u, gpu.tried.size());
    EXPECT_EQ("/dev/dri/renderD128", gpu.tried[0]);
    avcodec_free_context(&c);
}

TEST(SetHwDeviceCtx, FailedCreationMovesToTheNextAdapter)
{
    FakeGpu gpu;
    gpu.list = Adapters({Adapter(0x1002, 0x67DF), Adapter(0x8086, 0x3E92)});
    gpu.failOn = {0};
    HwDeviceOps ops = gpu.Ops();
    AVCodecContext *c = HevcContext();
    AVBufferRef *old = av_buffer_alloc(4);
    c->hw_device_ctx = old;  // a previous reference is released first
    EXPECT_EQ(0, set_hwdevice_ctx_ops(c, &ops));
    ASSERT_EQ(2u, gpu.tried.size());
    EXPECT_EQ("/dev/dri/renderD129", gpu.tried[1]);
    ASSERT_NE(nullptr, c->hw_device_ctx);
    ASSERT_EQ(1u, gpu.created.size());
    EXPECT_EQ(gpu.created[0], c->hw_device_ctx->data);  // adapter 1's device
    EXPECT_NE(old, c->hw_device_ctx);
    EXPECT_EQ(get_hw_format, c->get_format);
    avcodec_free_context(&c);  // releases the installed reference

    // Every creation failing: software decoding, nothing installed.
    gpu.tried.clear();
    gpu.failOn = {0, 1};
    c = HevcContext();
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(c, &ops));
    EXPECT_EQ(2u, gpu.tried.size());
    EXPECT_EQ(nullptr, c->hw_device_ctx);
    EXPECT_NE(get_hw_format, c->get_format);
    avcodec_free_context(&c);
}

TEST(SetHwDeviceCtx, NoAdapterListAtAll)
{
    FakeGpu gpu;
    gpu.bNoDriver = 1;
    HwDeviceOps ops = gpu.Ops();
    AVCodecContext *c = HevcContext();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(c, &ops));
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("This pc do not have d3d9.dll."));
    EXPECT_EQ(nullptr, c->hw_device_ctx);
    avcodec_free_context(&c);
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(nullptr, &ops));
    EXPECT_EQ(-1, set_hwdevice_ctx(nullptr));
}

TEST(SetHwDeviceCtx, RealPathFallsBackToSoftwareWithoutGpu)
{
    AVCodecContext *c = HevcContext();
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

TEST(RenderNodes, ListedFromSysfsInNumberOrder)
{
    char tmpl[] = "/tmp/ipcam_dri_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string root = tmpl, dev = root + "/dev", sys = root + "/sys";
    auto write = [](const std::string &path, const char *text) {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, f) << path;
        fputs(text, f);
        fclose(f);
    };
    mkdir(dev.c_str(), 0755);
    mkdir(sys.c_str(), 0755);
    // card0 and a misnamed node are ignored; renderD130 has no readable ids.
    for (const char *n : {"renderD129", "renderD128", "renderD130", "card0", "renderD12x"})
        write(dev + "/" + n, "");
    for (const char *n : {"renderD128", "renderD129", "renderD130"}) {
        std::string d = sys + "/" + n;
        mkdir(d.c_str(), 0755);
        mkdir((d + "/device").c_str(), 0755);
    }
    write(sys + "/renderD128/device/vendor", "0x8086\n");
    write(sys + "/renderD128/device/device", "0x0412\n");
    mkdir((sys + "/renderD128/device/driver").c_str(), 0755);
    mkdir((sys + "/renderD128/device/driver/module").c_str(), 0755);
    write(sys + "/renderD128/device/driver/module/version", "26.20.100.7870\n");
    write(sys + "/renderD129/device/vendor", "0x1002\n");
    write(sys + "/renderD129/device/device", "0x67df\n");

    HwAdapterList l;
    ASSERT_EQ(0, hw_list_render_nodes(dev.c_str(), sys.c_str(), &l));
    ASSERT_EQ(3, l.nCount);
    EXPECT_EQ(dev + "/renderD128", l.aAdapter[0].szDevice);
    EXPECT_EQ(1, l.aAdapter[0].bIdentified);
    EXPECT_EQ(0x8086u, l.aAdapter[0].nVendorId);
    EXPECT_EQ(0x0412u, l.aAdapter[0].nDeviceId);
    EXPECT_EQ(7870u, hw_driver_build(0x8086, l.aAdapter[0].nDriverVersion));
    EXPECT_EQ(dev + "/renderD129", l.aAdapter[1].szDevice);
    EXPECT_EQ(0x67DFu, l.aAdapter[1].nDeviceId);
    EXPECT_EQ(0u, l.aAdapter[1].nDriverVersion);
    EXPECT_EQ(0, l.aAdapter[2].bIdentified);
    EXPECT_EQ(0, gpu_can_decode(&l, 0, AV_CODEC_ID_HEVC));
    EXPECT_EQ(1, gpu_can_decode(&l, 1, AV_CODEC_ID_HEVC));
    EXPECT_EQ(0, gpu_can_decode(&l, 2, AV_CODEC_ID_HEVC));

    EXPECT_EQ(-1, hw_list_render_nodes((root + "/missing").c_str(), sys.c_str(), &l));
    EXPECT_EQ(-1, hw_list_render_nodes(root.c_str(), sys.c_str(), &l));  // no render node there
    system(("rm -rf " + root).c_str());
}

TEST(GetHwFormat, ChoosesSurfaceOrSoftwareFormat)
{
    struct Case {
        std::vector<AVPixelFormat> offered;
        AVPixelFormat want;
    } cases[] = {
        {{AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P}, AV_PIX_FMT_YUV420P},
        {{AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}, AV_PIX_FMT_YUVJ420P},
        {{AV_PIX_FMT_YUV420P, AV_PIX_FMT_VAAPI}, AV_PIX_FMT_VAAPI},
        {{AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P}, AV_PIX_FMT_VAAPI},
        {{AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P, AV_PIX_FMT_GRAY8}, AV_PIX_FMT_YUV420P},
        // Main 10 without a usable surface: the decoder's own format rather
        // than none at all.
        {{AV_PIX_FMT_CUDA, AV_PIX_FMT_YUV420P10LE}, AV_PIX_FMT_YUV420P10LE},
        {{}, AV_PIX_FMT_NONE},
    };
    for (auto &c : cases) {
        std::vector<AVPixelFormat> l = c.offered;
        l.push_back(AV_PIX_FMT_NONE);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(c.want, get_hw_format(nullptr, l.data()));
        ::testing::internal::GetCapturedStderr();
    }
}

TEST(HwDownload, SoftwareFramesAreNotSurfaces)
{
    AVFrame *f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = 16;
    f->height = 16;
    ASSERT_EQ(0, av_frame_get_buffer(f, 0));
    EXPECT_EQ(0, hw_frame_is_hardware(f));
    AVFrame *hw = nullptr;
    EXPECT_EQ(nullptr, hw_download_frame(&hw, f));  // nothing to transfer from
    // A surface format without a frames context is refused too.
    f->format = AV_PIX_FMT_VAAPI;
    EXPECT_EQ(nullptr, hw_download_frame(&hw, f));
    EXPECT_EQ(1, hw_frame_is_hardware(f));
    f->format = AV_PIX_FMT_YUV420P;
    EXPECT_EQ(0, hw_frame_is_hardware(nullptr));
    av_frame_free(&hw);
    av_frame_free(&f);
}
