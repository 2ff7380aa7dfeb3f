// Decoder selection rules, one function at a time, against a scripted
// stand-in for the built-in decoder (return codes, statuses and pictures
// chosen per call), and the creation parameters against the real decoder.

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "DecodeHarness.h"
#include "HevcClips.h"
#include "HevcStandIn.h"
#include "decode/HevcSelect.h"
#include "decode/PictureOut.h"

namespace {

using mediagen::StderrCapture;
using standin::g_script;

void ExpectParams(const IHW265D_INIT_PARAM &p, int w, int h, int planar)
{
    EXPECT_EQ(p.uiChannelID, 0u);
    EXPECT_EQ(p.iMaxWidth, w);
    EXPECT_EQ(p.iMaxHeight, h);
    EXPECT_EQ(p.iMaxRefNum, 1);
    EXPECT_EQ(p.iMaxVPSNum, 1);
    EXPECT_EQ(p.iMaxSPSNum, 1);
    EXPECT_EQ(p.iMaxPPSNum, 1);
    EXPECT_EQ(p.iBitDepth, 10);
    EXPECT_EQ(p.uiMvcEnable, planar ? 1u : 0u);
    EXPECT_EQ(p.uiOutputLayer, 0u);
    EXPECT_EQ(p.eThreadType, planar ? 1 : 0);
    EXPECT_EQ(p.eOutputOrder, 0);
    EXPECT_EQ(p.iReserved, 0);
    EXPECT_TRUE(p.MallocFxn == hevc_malloc && p.FreeFxn == hevc_free && p.LogFxn == hevc_log);
}

// A context with just what the selection reads.
struct Ctx {
    FFMpegContext c;
    Ctx(enum AVCodecID id, int w, int h)
    {
        memset(&c, 0, sizeof(c));
        c.nInVideoCodecId = id;
        c.nVideoIndex = 0;
        c.nAudioIndex = -1;
        c.nDataIndex = -1;
        c.nWidth = w;
        c.nHeight = h;
        c.bRunning = 1;
    }
};

bool SamePattern(const uint8_t *p, int stride, int w, int h, uint8_t (*f)(int, int))
{
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            if (p[(size_t)y * stride + x] != f(x, y))
                return false;
    return true;
}

TEST(HevcCreation, ParameterTablesAndTheRealDecoderAcceptsThem)
{
    IHW265D_INIT_PARAM p;
    HevcFillInitParam(&p, 1920, 1080, 1);
    ExpectParams(p, 1920, 1080, 1);
    HevcFillInitParam(&p, 160, 120, 0);
    ExpectParams(p, 160, 120, 0);

    // The real decoder takes both sets as they are.
    HevcSetDecoderApi(nullptr);
    for (int planar = 0; planar < 2; planar++) {
        Ctx ctx(AV_CODEC_ID_HEVC, 1920, 1080);
        int r = planar ? create_hevc_decoder(&ctx.c) : -1;
        if (!planar) {
            IHW265D_INIT_PARAM q;
            HevcFillInitParam(&q, 1920, 1088, 0);
            IH265DEC_HANDLE h = nullptr;
            r = (int)HevcGetDecoderApi()->pfnCreate(&h, &q);
            ctx.c.hHevcDecoder = h;
        }
        EXPECT_EQ(r, 0) << "planar " << planar;
        EXPECT_NE(ctx.c.hHevcDecoder, nullptr);
        HevcDeleteDecoder(&ctx.c);
        EXPECT_EQ(ctx.c.hHevcDecoder, nullptr);
    }
    // A size the decoder refuses is logged with its code.
    Ctx bad(AV_CODEC_ID_HEVC, 4, 4);
    StderrCapture cap;
    EXPECT_EQ(create_hevc_decoder(&bad.c), -1);
    EXPECT_NE(cap.Stop().find("IHW265D_Create===failed====0xf0402001===="), std::string::npos);
    EXPECT_EQ(bad.c.hHevcDecoder, nullptr);
}

TEST(HevcCopy, EightAndTenBitSamplesAndRefusals)
{
    // 4x2 luma, 2x1 chroma; strides larger than the rows.
    uint8_t y8[2 * 6] = {1, 2, 3, 4, 99, 99, 5, 6, 7, 8, 99, 99};
    uint8_t u8[4] = {10, 11, 99, 99}, v8[4] = {20, 21, 99, 99};
    IHW265D_OUTARGS o;
    memset(&o, 0, sizeof(o));
    o.eDecodeStatus = IH265D_GETDISPLAY;
    o.uiDecWidth = 4;
    o.uiDecHeight = 2;
    o.uiYStride = 6;
    o.uiUVStride = 4;
    o.uiDecBitDepthLuma = o.uiDecBitDepthChroma = 8;
    o.pucOutYUV[0] = y8;
    o.pucOutYUV[1] = u8;
    o.pucOutYUV[2] = v8;
    uint8_t out[12];
    memset(out, 0xAA, sizeof(out));
    uint8_t *dst[3] = {out, out + 8, out + 10};
    int strides[3] = {4, 2, 2};
    ASSERT_EQ(HevcCopyPicture8(&o, 4, 2, dst, strides), 0);
    const uint8_t want[12] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20, 21};
    EXPECT_EQ(memcmp(out, want, 12), 0);

    // 10-bit: rounded to nearest, clamped at 255; stride counts samples.
    uint16_t y10[2 * 5] = {0, 1, 2, 1023, 0xFFFF, 513, 514, 4, 5, 0xFFFF};
    uint16_t u10[2 * 3] = {400, 401, 0xFFFF, 0, 0, 0}, v10[3] = {402, 3, 0xFFFF};
    o.uiYStride = 5;
    o.uiUVStride = 3;
    o.uiDecBitDepthLuma = o.uiDecBitDepthChroma = 10;
    o.pucOutYUV[0] = (unsigned char *)y10;
    o.pucOutYUV[1] = (unsigned char *)u10;
    o.pucOutYUV[2] = (unsigned char *)v10;
    ASSERT_EQ(HevcCopyPicture8(&o, 4, 2, dst, strides), 0);
    const uint8_t want10[12] = {0, 0, 1, 255, 128, 129, 1, 1, 100, 100, 101, 1};
    EXPECT_EQ(memcmp(out, want10, 12), 0);

    // No picture in the record, or a request beyond it: nothing is read.
    IHW265D_OUTARGS none = o;
    none.eDecodeStatus = IH265D_NEED_MORE_BITS;
    EXPECT_EQ(HevcCopyPicture8(&none, 4, 2, dst, strides), -1);
    none = o;
    none.pucOutYUV[2] = nullptr;
    EXPECT_EQ(HevcCopyPicture8(&none, 4, 2, dst, strides), -1);
    EXPECT_EQ(HevcCopyPicture8(&o, 6, 2, dst, strides), -1);
    EXPECT_EQ(HevcCopyPicture8(&o, 4, 4, dst, strides), -1);
}

class Marked : public ::testing::Test {
protected:
    harness::HandStream s;
    std::vector<AVPacket *> pkts;
    standin::Installed installed;

    void Open(bool marker, int planar)
    {
        std::string path = hevcclips::Clip(160, 120, 6);
        ASSERT_FALSE(path.empty()) << "ffmpeg/libx265 could not make the clip";
        ASSERT_TRUE(s.Open(path, planar));
        pkts = s.ReadVideo();
        ASSERT_EQ(pkts.size(), 6u);
        ASSERT_TRUE(pkts[0]->flags & AV_PKT_FLAG_KEY);
        ASSERT_FALSE(pkts[1]->flags & AV_PKT_FLAG_KEY);
        if (marker)
            hevcclips::MarkKeyPackets(pkts);
    }
    void TearDown() override
    {
        harness::FreePackets(pkts);
        s.ctx.hHevcDecoder = nullptr;  // the stand-in's token, nothing to delete
    }
};

TEST_F(Marked, ClassicDecisionCreatesForTheSpsSize)
{
    Open(true, 0);
    // The SPS gives the coded size (before the conformance window), as
    // FFmpeg's decoder sees it.
    AVFrame *f = av_frame_alloc();
    int got = 0;
    FFCompatDecode(s.ctx.pVideoCodecCtx, f, &got, pkts[0]);
    av_frame_free(&f);
    int cw = s.ctx.pVideoCodecCtx->coded_width, ch = s.ctx.pVideoCodecCtx->coded_height;
    ASSERT_TRUE(got && cw >= 160 && ch >= 120);
    HevcClassic hc;
    HevcClassicInit(&hc);
    int badPending = 1;
    StderrCapture cap;
    HevcClassicDecide(&hc, &s.ctx, pkts[0], &badPending);
    std::string log = cap.Stop();
    EXPECT_EQ(hc.hsDecoder, 1);
    EXPECT_EQ(badPending, 1) << "the built-in decoder keeps the wait for a clean picture";
    EXPECT_EQ(g_script.creates, 1);
    EXPECT_EQ(g_script.versions, 1);
    ExpectParams(g_script.param, cw, ch, 0);
    EXPECT_NE(log.find("IHW265D_Create===success====0x0===="), std::string::npos);
    ASSERT_NE(hc.pTmpFrame, nullptr);
    EXPECT_EQ(hc.pTmpFrame->width, cw);
    EXPECT_EQ(hc.pTmpFrame->height, ch);
    EXPECT_TRUE(HevcClassicInUse(&hc, &s.ctx));

    // Decided once: later key packets change nothing and keep the wait.
    HevcClassicDecide(&hc, &s.ctx, pkts[3], &badPending);
    EXPECT_EQ(g_script.creates, 1);
    EXPECT_EQ(badPending, 1);
    HevcClassicFree(&hc);
    EXPECT_EQ(hc.pTmpFrame, nullptr);
}

TEST_F(Marked, ClassicFallsToFfmpegWithoutMarkerOrDecoder)
{
    Open(false, 0);
    HevcClassic hc;
    HevcClassicInit(&hc);
    int badPending = 1;
    HevcClassicDecide(&hc, &s.ctx, pkts[0], &badPending);
    EXPECT_EQ(hc.hsDecoder, 0);
    EXPECT_EQ(badPending, 0);
    EXPECT_EQ(g_script.creates, 0);
    badPending = 1;
    HevcClassicDecide(&hc, &s.ctx, pkts[3], &badPending);
    EXPECT_EQ(badPending, 0) << "key packets end the wait while FFmpeg decodes";

    // Marker present but the decoder cannot be made: FFmpeg decodes.
    hevcclips::MarkKeyPackets(pkts);
    HevcClassicInit(&hc);
    g_script.createRet = IHW265D_ERR_MALLOC;
    badPending = 1;
    StderrCapture cap;
    HevcClassicDecide(&hc, &s.ctx, pkts[0], &badPending);
    EXPECT_NE(cap.Stop().find("IHW265D_Create===failed====0xf0402000===="), std::string::npos);
    EXPECT_EQ(hc.hsDecoder, 0);
    EXPECT_EQ(badPending, 0);
    EXPECT_FALSE(HevcClassicInUse(&hc, &s.ctx));

    // Other codecs stay undecided; key packets still end the wait.
    Ctx h264(AV_CODEC_ID_H264, 160, 120);
    HevcClassicInit(&hc);
    badPending = 1;
    HevcClassicDecide(&hc, &h264.c, pkts[0], &badPending);
    EXPECT_EQ(hc.hsDecoder, -1);
    EXPECT_EQ(badPending, 0);
    HevcClassicFree(&hc);
}

struct ClassicRun {
    HevcClassic hc;
    Ctx ctx{AV_CODEC_ID_HEVC, 320, 240};
    AVFrame *frame = av_frame_alloc();
    int got = -1, bad = -1, badPending = 1;
    ClassicRun()
    {
        HevcClassicInit(&hc);
        hc.hsDecoder = 1;
        ctx.c.hHevcDecoder = &standin::g_handleToken;
    }
    ~ClassicRun()
    {
        HevcClassicFree(&hc);
        av_frame_free(&frame);
    }
    int Decode(const AVPacket *p) { return HevcClassicDecode(&hc, &ctx.c, p, frame, &got, &bad, &badPending); }
};

TEST(HevcClassicDecode, FourCallsAtMostEachWithTheRestOfTheInput)
{
    standin::Installed in;
    ClassicRun r;
    AVPacket *p = hevcclips::Bytes({0, 0, 1, 0x26, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 1);
    standin::Step first = standin::Code(1, 1);
    first.consumed = 10;
    g_script.steps = {first, standin::Code(1, 1), standin::Code(1, 1), standin::Code(1, 1),
                      standin::Picture(64, 32)};
    StderrCapture cap;
    ASSERT_EQ(r.Decode(p), 0);
    std::string log = cap.Stop();
    ASSERT_EQ(g_script.Calls(), 4) << "no fifth call for the same packet";
    EXPECT_EQ(g_script.calls[0].ptr, p->data);
    EXPECT_EQ(g_script.calls[0].in.size(), 16u);
    EXPECT_EQ(g_script.calls[1].ptr, p->data + 10);
    EXPECT_EQ(g_script.calls[1].in.size(), 6u);
    EXPECT_EQ(g_script.calls[2].in.size(), 0u);
    EXPECT_EQ(r.got, 0);
    EXPECT_EQ(r.bad, 1);
    EXPECT_EQ(r.frame->width, 320) << "no picture: the stream's size";
    EXPECT_NE(log.find("ret:0x1, error:0, decodeStatus:1, cnt:4"), std::string::npos);
    EXPECT_EQ(HevcClassicPicture(&r.hc), nullptr);

    // The next packet brings the picture; a clean one ends the wait.
    ASSERT_EQ(r.Decode(p), 0);
    EXPECT_EQ(g_script.Calls(), 5);
    EXPECT_EQ(r.got, 1);
    EXPECT_EQ(r.bad, 0);
    EXPECT_EQ(r.badPending, 0);
    EXPECT_EQ(r.frame->width, 64);
    EXPECT_EQ(r.frame->height, 32);
    const AVFrame *f = HevcClassicPicture(&r.hc);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->format, AV_PIX_FMT_YUV420P);
    EXPECT_TRUE(SamePattern(f->data[0], f->linesize[0], 64, 32, standin::Y));
    EXPECT_TRUE(SamePattern(f->data[1], f->linesize[1], 32, 16, standin::U));
    EXPECT_TRUE(SamePattern(f->data[2], f->linesize[2], 32, 16, standin::V));

    // A picture whose state word is not 0 keeps the wait.
    r.badPending = 1;
    g_script.steps = {standin::Picture(64, 32, 8, 1)};
    ASSERT_EQ(r.Decode(p), 0);
    EXPECT_EQ(r.got, 1);
    EXPECT_EQ(r.badPending, 1);
    av_packet_free(&p);
}

TEST(HevcClassicDecode, ErrorsStatusesAndTheStop)
{
    standin::Installed in;
    ClassicRun r;
    AVPacket *p = hevcclips::Bytes({0, 0, 1, 2, 1, 0xAB}, 0);

    // An error that ends the call before a picture: judged bad.
    g_script.steps = {standin::Code(IHW265D_ERR_SPS, IH265D_DECODING)};
    {
        StderrCapture cap;
        ASSERT_EQ(r.Decode(p), 0);
        EXPECT_NE(cap.Stop().find("ret:0xf0404003, error:0, decodeStatus:3, cnt:0"), std::string::npos);
    }
    EXPECT_EQ(r.got, 1);
    EXPECT_EQ(r.bad, 1);
    EXPECT_EQ(HevcClassicPicture(&r.hc), nullptr) << "nothing to copy";

    // The count line comes with every 50th packet.
    g_script.dflt = standin::Picture(16, 8);
    {
        StderrCapture cap;
        for (int i = 1; i < 49; i++)
            r.Decode(p);
        EXPECT_EQ(cap.Stop().find("IHW265D_DecodeFrame cnt:"), std::string::npos);
    }
    {
        StderrCapture cap;
        r.Decode(p);
        EXPECT_NE(cap.Stop().find("IHW265D_DecodeFrame cnt:0 ret:0"), std::string::npos);
    }

    // A picture wider than the decoder was made for ends the stream.
    g_script.steps = {standin::Code(IHW265D_ERR_WIDTH, IH265D_DECODING)};
    StderrCapture cap;
    EXPECT_EQ(r.Decode(p), -1);
    EXPECT_NE(cap.Stop().find("maybe resolution change to big one====="), std::string::npos);
    EXPECT_EQ(r.ctx.c.bRunning, 0);
    av_packet_free(&p);
}

TEST(HevcClassicDecode, TenBitPicturesAndSizeChanges)
{
    standin::Installed in;
    ClassicRun r;
    AVPacket *p = hevcclips::Bytes({0, 0, 1, 2, 1}, 0);
    g_script.steps = {standin::Picture(48, 24, 10), standin::Picture(32, 16, 8)};
    ASSERT_EQ(r.Decode(p), 0);
    const AVFrame *f = HevcClassicPicture(&r.hc);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->width, 48);
    EXPECT_TRUE(SamePattern(f->data[0], f->linesize[0], 48, 24, standin::Y));
    EXPECT_TRUE(SamePattern(f->data[2], f->linesize[2], 24, 12, standin::V));
    ASSERT_EQ(r.Decode(p), 0);
    f = HevcClassicPicture(&r.hc);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->width, 32);
    EXPECT_EQ(f->height, 16);
    EXPECT_TRUE(SamePattern(f->data[1], f->linesize[1], 16, 8, standin::U));
    av_packet_free(&p);
}

TEST_F(Marked, PlanarProbesThenCreates)
{
    Open(true, 1);
    s.ctx.nWidth = s.ctx.nHeight = 0;
    HevcPlanar hp;
    HevcPlanarInit(&hp);
    AVFrame *frame = av_frame_alloc();

    // Before the first key packet nothing is probed and nothing passes.
    AVPacket *audio = hevcclips::Bytes({1, 2, 3}, 1, 5);
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, audio), HEVC_PREP_DROP);
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, pkts[1]), HEVC_PREP_DROP);
    EXPECT_EQ(hp.hasSei, -1);
    StderrCapture cap;
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, pkts[0]), HEVC_PREP_RESIZED);
    std::string log = cap.Stop();
    EXPECT_EQ(hp.hasSei, 1);
    EXPECT_NE(log.find("sei:1"), std::string::npos);
    EXPECT_NE(log.find("get hevc frame resolution 160*120"), std::string::npos);
    EXPECT_EQ(s.ctx.nWidth, 160);
    EXPECT_EQ(s.ctx.nHeight, 120);
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, pkts[1]), HEVC_PREP_GO);

    // Creation on a key video packet only, once; a held instance goes first.
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[1]), 0);
    EXPECT_EQ(g_script.creates, 0);
    s.ctx.hHevcDecoder = &standin::g_handleToken;
    StderrCapture cap2;
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[0]), 1);
    EXPECT_NE(cap2.Stop().find("hsDecoder:1"), std::string::npos);
    EXPECT_EQ(g_script.deletes, 1);
    EXPECT_EQ(g_script.creates, 1);
    ExpectParams(g_script.param, 160, 120, 1);
    EXPECT_EQ(hp.hsDecoder, 1);
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[3]), 0);
    EXPECT_EQ(g_script.creates, 1);

    // A failed creation leaves FFmpeg in charge.
    HevcPlanarInit(&hp);
    hp.hasSei = 1;
    g_script.createRet = IHW265D_ERR_THREAD;
    StderrCapture cap3;
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[0]), 0);
    log = cap3.Stop();
    EXPECT_NE(log.find("IHW265D_Create===failed====0xe0404008===="), std::string::npos);
    EXPECT_NE(log.find("hsDecoder:0"), std::string::npos);
    EXPECT_EQ(hp.hsDecoder, 0);
    EXPECT_EQ(s.ctx.hHevcDecoder, nullptr);

    av_packet_free(&audio);
    av_frame_free(&frame);
    HevcPlanarFree(&hp);
}

TEST_F(Marked, PlanarWithoutMarkerStaysWithFfmpeg)
{
    Open(false, 1);
    HevcPlanar hp;
    HevcPlanarInit(&hp);
    AVFrame *frame = av_frame_alloc();
    StderrCapture cap;
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, pkts[0]), HEVC_PREP_GO);
    std::string log = cap.Stop();
    EXPECT_NE(log.find("sei:0"), std::string::npos);
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[0]), 0);
    EXPECT_EQ(hp.hsDecoder, -1);
    EXPECT_EQ(g_script.creates, 0);
    int wait = 0;
    EXPECT_EQ(HevcPlanarDecode(&hp, &s.ctx, pkts[0], frame, &wait), HEVC_DEC_FFMPEG);
    EXPECT_EQ(g_script.Calls(), 0);
    av_frame_free(&frame);
    HevcPlanarFree(&hp);
}

struct PlanarRun {
    HevcPlanar hp;
    Ctx ctx{AV_CODEC_ID_HEVC, 64, 32};
    AVFrame *frame = av_frame_alloc();
    int wait = 0;
    PlanarRun()
    {
        HevcPlanarInit(&hp);
        hp.hsDecoder = 1;
        hp.hasSei = 1;
        ctx.c.hHevcDecoder = &standin::g_handleToken;
    }
    ~PlanarRun()
    {
        HevcPlanarFree(&hp);
        av_frame_free(&frame);
    }
    int Decode(const AVPacket *p, std::string *log = nullptr)
    {
        StderrCapture cap;
        int r = HevcPlanarDecode(&hp, &ctx.c, p, frame, &wait);
        std::string l = cap.Stop();
        if (log)
            *log = l;
        return r;
    }
};

TEST(HevcPlanarDecode, PicturesAndTheirI420Copy)
{
    standin::Installed in;
    PlanarRun r;
    AVPacket *p = hevcclips::Bytes({0, 0, 1, 2, 1, 9}, 0);
    g_script.steps = {standin::Picture(64, 32, 10), standin::Code(IHW265D_OK, IH265D_DECODING)};
    ASSERT_EQ(r.Decode(p), HEVC_DEC_PICTURE);
    EXPECT_EQ(r.frame->width, 64);
    EXPECT_EQ(r.frame->height, 32);
    std::vector<uint8_t> yuv(64 * 32 * 3 / 2, 0xAA);
    ASSERT_EQ(HevcPlanarCopy(&r.hp, yuv.data(), 64, 32), 0);
    EXPECT_TRUE(SamePattern(yuv.data(), 64, 64, 32, standin::Y));
    EXPECT_TRUE(SamePattern(yuv.data() + 64 * 32, 32, 32, 16, standin::U));
    EXPECT_TRUE(SamePattern(yuv.data() + 64 * 32 + 32 * 16, 32, 32, 16, standin::V));
    EXPECT_EQ(HevcPlanarCopy(&r.hp, yuv.data(), 128, 32), -1) << "never more than the picture holds";

    // Success without a picture: nothing to show, the decoder stays.
    EXPECT_EQ(r.Decode(p), HEVC_DEC_NO_PICTURE);
    EXPECT_EQ(r.hp.hsDecoder, 1);
    EXPECT_EQ(HevcPlanarCopy(&r.hp, yuv.data(), 64, 32), -1);

    // Not the built-in decoder's: no call at all.
    r.ctx.c.nWidth = 0;
    EXPECT_EQ(r.Decode(p), HEVC_DEC_FFMPEG);
    EXPECT_EQ(g_script.Calls(), 2);
    av_packet_free(&p);
}

TEST(HevcPlanarDecode, ReturnCodesSwitchOrStop)
{
    standin::Installed in;
    AVPacket *idrKey = hevcclips::Bytes({0, 0, 1, 0x26, 1, 7}, 1);
    AVPacket *idrNotKey = hevcclips::Bytes({0, 0, 1, 0x26, 1, 7}, 0);
    AVPacket *vpsKey = hevcclips::Bytes({0, 0, 0, 1, 0x40, 1}, 1);
    std::string log;

    {
        PlanarRun r;
        g_script.steps = {standin::Code(IHW265D_ERR_WIDTH, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrKey, &log), HEVC_DEC_STOP);
        EXPECT_NE(log.find("ret:0xf0402001, error:0, decodeStatus:3 size:6 iFrame:1 00 00 01 26 01"),
                  std::string::npos);
        EXPECT_NE(log.find("maybe resolution change to big one====="), std::string::npos);
        EXPECT_EQ(r.ctx.c.bRunning, 0);
    }
    for (unsigned int code : {IHW265D_ERR_SLICEHEADER, IHW265D_ERR_NAL}) {
        PlanarRun r;
        g_script.steps = {standin::Code(code, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrNotKey, &log), HEVC_DEC_STOP);
        EXPECT_NE(log.find("maybe codec changed"), std::string::npos);
        EXPECT_EQ(r.ctx.c.bRunning, 0);
    }
    {
        // Need more bits on a key packet that is a bare IDR picture, and
        // the flush after it finds no picture.
        PlanarRun r;
        g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_OK, IH265D_NO_PICTURE)};
        EXPECT_EQ(r.Decode(idrKey, &log), HEVC_DEC_NO_PICTURE);
        EXPECT_NE(log.find("need more bits, change to ffmpeg decoder. 0 0"), std::string::npos);
        EXPECT_EQ(r.hp.hsDecoder, 2);
        EXPECT_EQ(r.wait, 0);
        EXPECT_EQ(r.ctx.c.bRunning, 1);
        EXPECT_EQ(r.Decode(idrKey), HEVC_DEC_FFMPEG);
    }
    {
        // Need more bits elsewhere: plain FFmpeg from the next key packet.
        PlanarRun r;
        g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_OK, IH265D_NO_PICTURE)};
        EXPECT_EQ(r.Decode(vpsKey, &log), HEVC_DEC_BAD);
        EXPECT_NE(log.find("change to ffmpeg decoder. 0 0"), std::string::npos);
        EXPECT_EQ(log.find("need more bits"), std::string::npos);
        EXPECT_EQ(r.hp.hsDecoder, 0);
        EXPECT_EQ(r.wait, 1);
    }
    {
        // A return of 1 with another status only drops the packet.
        PlanarRun r;
        g_script.steps = {standin::Code(1, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrNotKey), HEVC_DEC_BAD);
        EXPECT_EQ(r.hp.hsDecoder, 1);
        EXPECT_EQ(r.wait, 0);
        // Any other error: wait for a key packet, decoder kept.
        g_script.steps = {standin::Code(IHW265D_ERR_PPS, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrNotKey), HEVC_DEC_BAD);
        EXPECT_EQ(r.hp.hsDecoder, 1);
        EXPECT_EQ(r.wait, 1);
        EXPECT_EQ(r.ctx.c.bRunning, 1);
    }
    av_packet_free(&idrKey);
    av_packet_free(&idrNotKey);
    av_packet_free(&vpsKey);
}

// The stand-in behind a table that also records each call's decode mode.
std::vector<int> g_modes;
unsigned int DecodeKeepingMode(IH265DEC_HANDLE h, IHW265D_INARGS *in, IHW265D_OUTARGS *o)
{
    if (in != nullptr)
        g_modes.push_back((int)in->eDecodeMode);
    return standin::Decode(h, in, o);
}
const HevcDecoderApi kModeTable = {standin::Create, DecodeKeepingMode, standin::Delete, standin::Version};

struct ModeInstalled {
    standin::Installed in;
    ModeInstalled()
    {
        g_modes.clear();
        HevcSetDecoderApi(&kModeTable);
    }
};

TEST(HevcPlanarFlush, PictureOfTheFlushIsThePackets)
{
    ModeInstalled in;
    PlanarRun r;
    AVPacket *p = hevcclips::Bytes({0, 0, 0, 1, 0x4E, 1, 0xE5, 0, 0, 1, 0x26, 1, 9}, 1);
    g_script.steps = {standin::Code(1, 1), standin::Picture(64, 32, 10)};
    std::string log;
    ASSERT_EQ(r.Decode(p, &log), HEVC_DEC_PICTURE);
    EXPECT_EQ(log, "") << "a picture, nothing to report";
    ASSERT_EQ(g_script.Calls(), 2);
    EXPECT_EQ(g_modes, std::vector<int>({IH265D_DECODE_NORMAL, IH265D_DECODE_END}));
    EXPECT_EQ(g_script.calls[1].ptr, p->data) << "flush still names a stream";
    EXPECT_EQ(g_script.calls[1].in.size(), 0u) << "the packet is in the decoder already";
    EXPECT_EQ(r.frame->width, 64);
    EXPECT_EQ(r.frame->height, 32);
    EXPECT_EQ(r.hp.hsDecoder, 1);
    EXPECT_EQ(r.wait, 0);
    std::vector<uint8_t> yuv(64 * 32 * 3 / 2, 0xAA);
    ASSERT_EQ(HevcPlanarCopy(&r.hp, yuv.data(), 64, 32), 0);
    EXPECT_TRUE(SamePattern(yuv.data(), 64, 64, 32, standin::Y));
    EXPECT_TRUE(SamePattern(yuv.data() + 64 * 32 + 32 * 16, 32, 32, 16, standin::V));

    // A normal call that brings a picture, or stops short of the packet's
    // end, or ends otherwise than "need more bits", gets no flush.
    standin::Step part = standin::Code(1, 1);
    part.consumed = p->size - 1;
    g_script.steps = {standin::Picture(64, 32), part, standin::Code(1, IH265D_DECODING)};
    g_modes.clear();
    EXPECT_EQ(r.Decode(p), HEVC_DEC_PICTURE);
    EXPECT_EQ(r.Decode(p), HEVC_DEC_BAD);
    EXPECT_EQ(r.hp.hsDecoder, 0) << "need more bits, judged without a flush";
    r.hp.hsDecoder = 1;
    EXPECT_EQ(r.Decode(p), HEVC_DEC_BAD);
    EXPECT_EQ(g_modes, std::vector<int>(3, IH265D_DECODE_NORMAL));
    av_packet_free(&p);
}

TEST(HevcPlanarFlush, NoPictureKeepsTheNeedMoreBitsRules)
{
    ModeInstalled in;
    AVPacket *idrKey = hevcclips::Bytes({0, 0, 1, 0x26, 1, 7}, 1);
    AVPacket *psKey = hevcclips::Bytes({0, 0, 0, 1, 0x4E, 1, 0xE5, 0, 0, 0, 1, 0x40, 1}, 1);
    std::string log;
    {
        // Parameter sets only: status 2 after the flush, FFmpeg takes over,
        // reported with the normal call's record.
        PlanarRun r;
        g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_OK, IH265D_NO_PICTURE)};
        EXPECT_EQ(r.Decode(psKey, &log), HEVC_DEC_BAD);
        EXPECT_NE(log.find("ret:0x1, error:0, decodeStatus:1 size:13 iFrame:1 00 00 00 01 4e"), std::string::npos)
            << log;
        EXPECT_NE(log.find("change to ffmpeg decoder. 0 0"), std::string::npos);
        EXPECT_EQ(r.hp.hsDecoder, 0);
        EXPECT_EQ(r.wait, 1);
        EXPECT_EQ(g_script.Calls(), 2);
    }
    {
        // A bare IDR that still gives nothing: FFmpeg with splicing.
        PlanarRun r;
        g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_OK, IH265D_NO_PICTURE)};
        EXPECT_EQ(r.Decode(idrKey, &log), HEVC_DEC_NO_PICTURE);
        EXPECT_NE(log.find("need more bits, change to ffmpeg decoder."), std::string::npos);
        EXPECT_EQ(r.hp.hsDecoder, 2);
    }
    {
        // The held unit fails in the flush: its code is the packet's answer.
        PlanarRun r;
        g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_ERR_NAL, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrKey, &log), HEVC_DEC_STOP);
        EXPECT_NE(log.find("ret:0xf0404006, error:0, decodeStatus:3 size:6"), std::string::npos) << log;
        EXPECT_NE(log.find("maybe codec changed"), std::string::npos);
        EXPECT_EQ(r.ctx.c.bRunning, 0);
    }
    {
        PlanarRun r;
        g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_ERR_PPS, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrKey), HEVC_DEC_BAD);
        EXPECT_EQ(r.hp.hsDecoder, 1) << "the decoder stays, as for any other error";
        EXPECT_EQ(r.wait, 1);
        EXPECT_EQ(r.ctx.c.bRunning, 1);
    }
    av_packet_free(&idrKey);
    av_packet_free(&psKey);
}

TEST(HevcPlanarFilter, DropsHoldsAndSplicesOnce)
{
    HevcPlanar hp;
    HevcPlanarInit(&hp);
    AVPacket *vps = hevcclips::Bytes({0, 0, 1, 0x40, 0xAA, 0xBB, 0, 0}, 1);
    AVPacket *vps2 = hevcclips::Bytes({0, 0, 1, 0x40, 0xCC, 0, 0}, 1);
    AVPacket *skip = hevcclips::Bytes({0, 0, 1, 0x0A, 5}, 0);
    AVPacket *idr = hevcclips::Bytes({0, 0, 1, 0x26, 0x11, 0x22}, 1);
    AVPacket *trail = hevcclips::Bytes({0, 0, 1, 0x02, 0x33}, 0);

    // Only in the FFmpeg-after-the-built-in state.
    EXPECT_EQ(HevcPlanarFilter(&hp, vps), vps);
    hp.hsDecoder = 2;
    EXPECT_EQ(HevcPlanarFilter(&hp, skip), nullptr);
    EXPECT_EQ(HevcPlanarFilter(&hp, vps), nullptr);
    EXPECT_EQ(HevcPlanarFilter(&hp, vps2), nullptr) << "a newer copy replaces the held one";
    AVPacket *sp = HevcPlanarFilter(&hp, idr);
    ASSERT_NE(sp, nullptr);
    ASSERT_NE(sp, idr);
    const uint8_t want[] = {0, 0, 1, 0x40, 0xCC, 0, 0, 1, 0x26, 0x11, 0x22};
    ASSERT_EQ(sp->size, (int)sizeof(want));
    EXPECT_EQ(memcmp(sp->data, want, sizeof(want)), 0);
    EXPECT_EQ(sp->flags, 1);
    HevcPlanarAfterFFmpeg(&hp);
    EXPECT_EQ(HevcPlanarFilter(&hp, trail), trail) << "spliced into one packet only";
    // A key packet that is not a parameter set passes; a non-key 0x40 too.
    AVPacket *vpsNotKey = hevcclips::Bytes({0, 0, 1, 0x40, 1}, 0);
    EXPECT_EQ(HevcPlanarFilter(&hp, vpsNotKey), vpsNotKey);
    // Tiny packets: never read past them.
    AVPacket *one = hevcclips::Bytes({0x40}, 1);
    EXPECT_EQ(HevcPlanarFilter(&hp, one), one);

    for (AVPacket *p : {vps, vps2, skip, idr, trail, vpsNotKey, one})
        av_packet_free(&p);
    HevcPlanarFree(&hp);
}

}  // namespace
