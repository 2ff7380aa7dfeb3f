// H.265 decoder selection: the rules one function at a time against a
// scripted stand-in for the built-in decoder (return codes, statuses and
// pictures chosen per call); then inside the running decode threads with
// x265 clips with and without the marker SEI, decoded by the stand-in and
// by the real decoder (compared with FFmpeg's pictures).

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
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
    HevcClassicDecide(&hc, &s.ctx, pkts[0], &badPending);
    EXPECT_EQ(hc.hsDecoder, 1);
    EXPECT_EQ(badPending, 1) << "the built-in decoder keeps the wait for a clean picture";
    EXPECT_EQ(g_script.creates, 1);
    EXPECT_EQ(g_script.versions, 1);
    ExpectParams(g_script.param, cw, ch, 0);
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
    HevcClassicDecide(&hc, &s.ctx, pkts[0], &badPending);
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
    ASSERT_EQ(r.Decode(p), 0);
    EXPECT_EQ(r.got, 1);
    EXPECT_EQ(r.bad, 1);
    EXPECT_EQ(HevcClassicPicture(&r.hc), nullptr) << "nothing to copy";

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
    // 10-bit samples stay 10-bit: the BGR conversion takes them as FFmpeg's.
    ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P10);
    EXPECT_EQ(((const uint16_t *)(f->data[0] + 3 * f->linesize[0]))[5], (standin::Y(5, 3) << 2) + 1);
    EXPECT_EQ(((const uint16_t *)(f->data[2] + 2 * f->linesize[2]))[7], (standin::V(7, 2) << 2) + 1);
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
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, pkts[0]), HEVC_PREP_RESIZED);
    EXPECT_EQ(hp.hasSei, 1);
    EXPECT_EQ(s.ctx.nWidth, 160);
    EXPECT_EQ(s.ctx.nHeight, 120);
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, pkts[1]), HEVC_PREP_GO);

    // Creation on a key video packet only, once; a held instance goes first.
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[1]), 0);
    EXPECT_EQ(g_script.creates, 0);
    s.ctx.hHevcDecoder = &standin::g_handleToken;
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[0]), 1);
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
    EXPECT_EQ(HevcPlanarCreate(&hp, &s.ctx, pkts[0]), 0);
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
    EXPECT_EQ(HevcPlanarPrepare(&hp, &s.ctx, frame, pkts[0]), HEVC_PREP_GO);
    EXPECT_EQ(hp.hasSei, 0);
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
    std::string log;

    {
        PlanarRun r;
        g_script.steps = {standin::Code(IHW265D_ERR_WIDTH, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrKey, &log), HEVC_DEC_STOP);
        // The report names the code, status, size, key flag and first bytes.
        EXPECT_NE(log.find("ret:0xf0402001, error:0, decodeStatus:3 size:6 iFrame:1 00 00 01 26 01"),
                  std::string::npos);
        EXPECT_EQ(r.ctx.c.bRunning, 0);
    }
    for (unsigned int code : {IHW265D_ERR_SLICEHEADER, IHW265D_ERR_NAL}) {
        PlanarRun r;
        // A damaged packet waits for a key picture; key pictures failing
        // twice in a row stop the stream.
        g_script.steps = {standin::Code(code, IH265D_DECODING), standin::Code(code, IH265D_DECODING),
                          standin::Code(code, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrNotKey), HEVC_DEC_BAD);
        EXPECT_EQ(r.Decode(idrKey), HEVC_DEC_BAD);
        EXPECT_EQ(r.Decode(idrKey, &log), HEVC_DEC_STOP);
        EXPECT_NE(log.find("maybe codec changed"), std::string::npos);
        EXPECT_EQ(r.ctx.c.bRunning, 0);
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
        g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_ERR_NAL, IH265D_DECODING),
                          standin::Code(1, 1), standin::Code(IHW265D_ERR_NAL, IH265D_DECODING)};
        EXPECT_EQ(r.Decode(idrKey), HEVC_DEC_BAD);
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

bool Has(const std::string &log, const char *text)
{
    return log.find(text) != std::string::npos;
}

class SelectThread : public ::testing::Test {
protected:
    harness::HandStream s;
    std::vector<AVPacket *> pkts;

    void Open(bool marker, int planar, int frames = 6, int keyint = 3)
    {
        std::string path = hevcclips::Clip(160, 120, frames, keyint);
        ASSERT_FALSE(path.empty()) << "ffmpeg/libx265 could not make the clip";
        ASSERT_TRUE(s.Open(path, planar));
        pkts = s.ReadVideo();
        ASSERT_EQ((int)pkts.size(), frames);
        if (marker)
            hevcclips::MarkKeyPackets(pkts);
        AtomicSet(&s.ctx.bDecodeEnable, 1);
    }
    // Runs every packet through the thread; returns the log.
    std::string Run()
    {
        StderrCapture cap;
        s.Queue(pkts);
        s.Start();
        s.Drain();
        s.Stop();
        HevcDeleteDecoder(&s.ctx);
        return cap.Stop();
    }
    void TearDown() override { harness::FreePackets(pkts); }
};

// The stand-in's picture as the planar thread hands it over.
std::vector<unsigned char> StandInI420(int w, int h)
{
    std::vector<unsigned char> v;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            v.push_back(standin::Y(x, y));
    for (int c = 1; c < 3; c++)
        for (int y = 0; y < h / 2; y++)
            for (int x = 0; x < w / 2; x++)
                v.push_back(c == 1 ? standin::U(x, y) : standin::V(x, y));
    return v;
}

TEST_F(SelectThread, ClassicWithholdsBadPicturesAndTheNextKeyPicture)
{
    standin::Installed in;
    Open(true, 0);
    // Packet 0: four "need more bits" answers, a bad picture; its key
    // packet also withholds the picture of the next key packet (3).
    g_script.steps = {standin::Code(1, 1), standin::Code(1, 1), standin::Code(1, 1), standin::Code(1, 1)};
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "IHW265D_Create===success====0x0===="));
    EXPECT_TRUE(Has(log, "is bad frame"));
    EXPECT_EQ(g_script.Calls(), 4 + 5);
    EXPECT_EQ(s.Frames(), 4);
    EXPECT_EQ(s.sink.lastW, 160);
    EXPECT_EQ(s.sink.lastH, 120);
    EXPECT_EQ(g_script.deletes, 1);
}

// The size is probed from the first key packet; then each packet's picture
// comes from the flush call after "need more bits".
TEST_F(SelectThread, PlanarProbesSizeThenFlushBringsEachPacketsPicture)
{
    standin::Installed in;
    Open(true, 1);
    s.ctx.nWidth = s.ctx.nHeight = 0;
    for (int i = 0; i < 6; i++) {
        g_script.steps.push_back(standin::Code(1, 1));
        g_script.steps.push_back(standin::Picture(160, 120));
    }
    std::string log = Run();
    EXPECT_TRUE(Has(log, "get hevc frame resolution 160*120"));
    EXPECT_EQ(g_script.param.iMaxWidth, 160);
    EXPECT_EQ(g_script.param.eThreadType, 1);
    EXPECT_TRUE(Has(log, "hsDecoder:1"));
    EXPECT_FALSE(Has(log, "change to ffmpeg decoder"));
    EXPECT_FALSE(Has(log, "BadFrame"));
    EXPECT_EQ(g_script.Calls(), 12);
    ASSERT_EQ(s.Frames(), 6);
    EXPECT_TRUE(s.sink.last == StandInI420(160, 120));
}

// NAL units of an Annex B packet, without start codes or trailing zeros.
std::vector<std::vector<uint8_t>> Nals(const AVPacket *p)
{
    std::vector<int> starts;
    for (int i = 0; i + 2 < p->size; i++)
        if (p->data[i] == 0 && p->data[i + 1] == 0 && p->data[i + 2] == 1)
            starts.push_back(i + 3);
    std::vector<std::vector<uint8_t>> v;
    for (size_t k = 0; k < starts.size(); k++) {
        int end = k + 1 < starts.size() ? starts[k + 1] - 3 : p->size;
        while (end > starts[k] && p->data[end - 1] == 0)
            end--;
        v.emplace_back(p->data + starts[k], p->data + end);
    }
    return v;
}

AVPacket *Packet(const std::vector<uint8_t> &bytes, int flags)
{
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, (int)bytes.size());
    memcpy(p->data, bytes.data(), bytes.size());
    p->flags = flags;
    return p;
}

// A camera that sends parameter sets and pictures in separate packets (3-byte
// start codes, the parameter-set packet ending in two zero bytes): once the
// built-in decoder asks for more bits on a bare IDR packet, FFmpeg decodes,
// with the held parameter sets spliced in front of the next picture.
TEST_F(SelectThread, PlanarSplicesParameterSetsAfterTheBuiltInDecoder)
{
    standin::Installed in;
    Open(true, 1);
    // A decoder that knows no parameter sets but those it is given.
    FFCompatFreeContext(&s.ctx.pVideoCodecCtx);
    const AVCodec *dec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    s.ctx.pVideoCodecCtx = avcodec_alloc_context3(dec);
    s.ctx.pVideoCodecCtx->thread_count = 1;
    ASSERT_EQ(avcodec_open2(s.ctx.pVideoCodecCtx, dec, nullptr), 0);
    std::vector<std::vector<uint8_t>> au3 = Nals(pkts[3]);
    ASSERT_EQ(au3.size(), 5u) << "marker, VPS, SPS, PPS, IDR";
    ASSERT_EQ(au3[1][0], 0x40);
    // x265 writes IDR_N_LP; the cameras' IDR_W_RADL has the same slice
    // syntax, so only the NAL type changes.
    ASSERT_EQ(au3[4][0], 0x28);
    au3[4][0] = 0x26;
    std::vector<uint8_t> params, idr = {0, 0, 1};
    for (int i = 1; i <= 3; i++) {
        params.insert(params.end(), {0, 0, 1});
        params.insert(params.end(), au3[i].begin(), au3[i].end());
    }
    params.insert(params.end(), {0, 0});
    idr.insert(idr.end(), au3[4].begin(), au3[4].end());

    std::vector<AVPacket *> v = {pkts[0], pkts[1], pkts[2]};
    std::vector<AVPacket *> own = {Packet(idr, 1), Packet({0, 0, 1, 0x0A, 1, 0x55}, 0), Packet(params, 1),
                                   Packet(idr, 1)};
    v.insert(v.end(), own.begin(), own.end());
    v.push_back(pkts[4]);
    v.push_back(pkts[5]);
    g_script.steps = {standin::Picture(160, 120), standin::Picture(160, 120), standin::Picture(160, 120),
                      standin::Code(1, 1), standin::Code(IHW265D_OK, IH265D_NO_PICTURE)};
    StderrCapture cap;
    s.Queue(v);
    s.Start();
    s.Drain();
    s.Stop();
    HevcDeleteDecoder(&s.ctx);
    std::string log = cap.Stop();
    EXPECT_TRUE(Has(log, "need more bits, change to ffmpeg decoder."));
    EXPECT_FALSE(Has(log, "BadFrame"));
    EXPECT_FALSE(Has(log, "retry:"));
    EXPECT_EQ(g_script.Calls(), 5);
    // Three built-in pictures, then FFmpeg's of pictures 3, 4 and 5.
    EXPECT_EQ(s.Frames(), 6);
    ASSERT_FALSE(s.sink.last.empty());
    EXPECT_FALSE(s.sink.last == StandInI420(160, 120));
    for (AVPacket *&p : own)
        av_packet_free(&p);
}

// Whatever table made the instance deletes it when the stream is destroyed:
// a stand-in's handle never reaches the real decoder.
TEST(SelectDestroy, ContextDestroyDeletesThroughTheTable)
{
    standin::Installed in;
    FFMpegContext *ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
    ASSERT_NE(ctx, nullptr);
    ctx->nInVideoCodecId = AV_CODEC_ID_HEVC;
    ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
    ctx->hHevcDecoder = &standin::g_handleToken;
    EXPECT_EQ(FFMpegContextDestroy(ctx), 0);
    EXPECT_EQ(g_script.deletes, 1);
}

TEST(SelectThreadUnmarked, NeverReachesTheBuiltInDecoder)
{
    for (int planar = 0; planar <= 1; planar++) {
        SCOPED_TRACE(planar ? "planar" : "classic");
        standin::Installed in;
        harness::HandStream hs;
        std::string path = hevcclips::Clip(160, 120, 6);
        ASSERT_FALSE(path.empty()) << "ffmpeg/libx265 could not make the clip";
        ASSERT_TRUE(hs.Open(path, planar));
        std::vector<AVPacket *> v = hs.ReadVideo();
        AtomicSet(&hs.ctx.bDecodeEnable, 1);
        StderrCapture cap;
        hs.Queue(v);
        hs.Start();
        hs.Drain();
        hs.Stop();
        std::string log = cap.Stop();
        EXPECT_EQ(Has(log, "sei:0"), planar == 1);
        EXPECT_FALSE(Has(log, "hsDecoder:"));
        EXPECT_EQ(g_script.creates, 0);
        EXPECT_EQ(g_script.Calls(), 0);
        EXPECT_EQ(hs.Frames(), 6);
        harness::FreePackets(v);
    }
}

struct AllPictures {
    std::mutex m;
    std::vector<std::vector<unsigned char>> pics;
    int badSize = 0;
};

int CollectI420(void *, void *user, unsigned char *frame, int w, int h)
{
    AllPictures *a = (AllPictures *)user;
    std::lock_guard<std::mutex> g(a->m);
    if (frame == nullptr)
        return 0;
    if (w != 176 || h != 144)
        a->badSize++;
    a->pics.emplace_back(frame, frame + (size_t)w * h * 3 / 2);
    return 0;
}

// FFmpeg's pictures of the same packets, as I420 without padding.
std::vector<std::vector<unsigned char>> FfmpegI420(const std::vector<AVPacket *> &v)
{
    std::vector<std::vector<unsigned char>> out;
    const AVCodec *dec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecContext *c = avcodec_alloc_context3(dec);
    c->thread_count = 1;
    AVFrame *f = av_frame_alloc();
    if (avcodec_open2(c, dec, nullptr) == 0) {
        for (size_t i = 0; i <= v.size(); i++) {
            avcodec_send_packet(c, i < v.size() ? v[i] : nullptr);
            while (avcodec_receive_frame(c, f) == 0) {
                std::vector<unsigned char> pic;
                for (int p = 0; p < 3; p++) {
                    int pw = p ? f->width / 2 : f->width, ph = p ? f->height / 2 : f->height;
                    for (int y = 0; y < ph; y++)
                        pic.insert(pic.end(), f->data[p] + (size_t)y * f->linesize[p],
                                   f->data[p] + (size_t)y * f->linesize[p] + pw);
                }
                out.push_back(pic);
                av_frame_unref(f);
            }
        }
    }
    av_frame_free(&f);
    avcodec_free_context(&c);
    return out;
}

// A marked all-intra stream played by the planar thread with the real
// decoder: the decoder stays selected and every packet brings its own
// picture at the stream's size, the same as FFmpeg's.
TEST(SelectThreadReal, PlanarPlaysAllIntraMarkedStreamWithTheBuiltInDecoder)
{
    if (!hevcclips::HaveX265AndFfmpeg())
        GTEST_SKIP() << "x265 or ffmpeg command-line tool not installed";
    std::string path = hevcclips::ClipCli("intra", 176, 144, 10, "--keyint 1");
    ASSERT_FALSE(path.empty()) << "x265 could not make the clip";
    HevcSetDecoderApi(nullptr);
    harness::HandStream s;
    ASSERT_TRUE(s.Open(path, 1));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    ASSERT_EQ(pkts.size(), 10u);
    for (AVPacket *p : pkts)
        ASSERT_TRUE(p->flags & AV_PKT_FLAG_KEY);
    hevcclips::MarkKeyPackets(pkts);
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    AllPictures all;
    s.cam.SetVideoBufCallBack(CollectI420, &all);

    StderrCapture cap;
    s.Queue(pkts);
    s.Start();
    s.Drain();
    // Still the built-in decoder's instance once the stream has played.
    EXPECT_NE(s.ctx.hHevcDecoder, nullptr);
    s.Stop();
    HevcDeleteDecoder(&s.ctx);
    std::string log = cap.Stop();
    EXPECT_TRUE(Has(log, "sei:1"));
    EXPECT_TRUE(Has(log, "hsDecoder:1"));
    EXPECT_FALSE(Has(log, "change to ffmpeg decoder")) << log;
    EXPECT_FALSE(Has(log, "BadFrame")) << log;
    EXPECT_FALSE(Has(log, "ret:0x")) << log;

    std::vector<std::vector<unsigned char>> want = FfmpegI420(pkts);
    ASSERT_EQ(want.size(), 10u);
    std::lock_guard<std::mutex> g(all.m);
    EXPECT_EQ(all.badSize, 0);
    ASSERT_EQ(all.pics.size(), 10u) << "one picture per packet, none held back";
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_TRUE(all.pics[i] == want[i]) << "picture " << i << " differs from FFmpeg's";
    harness::FreePackets(pkts);
}

// The planar thread flushes the real decoder after every packet; the next
// packet must go on from the same stream. P pictures well past the point
// where the picture order count needs the previous picture (128 with x265's
// 8-bit order count) keep their order count and references.
TEST(SelectThreadReal, PlanarDecodeGoesOnAfterEachPacketsFlush)
{
    if (!hevcclips::HaveX265AndFfmpeg())
        GTEST_SKIP() << "x265 or ffmpeg command-line tool not installed";
    const int kFrames = 140;
    std::string path = hevcclips::ClipCli("longgop", 64, 64, kFrames, "--keyint 300 --min-keyint 300 --no-scenecut --bframes 0 --ref 1");
    ASSERT_FALSE(path.empty()) << "x265 could not make the clip";
    harness::HandStream s;
    ASSERT_TRUE(s.Open(path, 1));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    ASSERT_EQ((int)pkts.size(), kFrames);

    // As the planar thread makes it, but with room for the two references
    // x265 keeps in every P picture's set even with --ref 1.
    HevcSetDecoderApi(nullptr);
    IHW265D_INIT_PARAM param;
    HevcFillInitParam(&param, 64, 64, 1);
    param.iMaxRefNum = 2;
    IH265DEC_HANDLE h = nullptr;
    ASSERT_EQ(IHW265D_Create(&h, &param), 0u);
    s.ctx.hHevcDecoder = h;
    HevcPlanar hp;
    HevcPlanarInit(&hp);
    hp.hsDecoder = 1;
    hp.hasSei = 1;
    AVFrame *frame = av_frame_alloc();
    int wait = 0, pictures = 0;
    StderrCapture cap;
    for (int i = 0; i < kFrames; i++) {
        int r = HevcPlanarDecode(&hp, &s.ctx, pkts[i], frame, &wait);
        if (r != HEVC_DEC_PICTURE || hp.stOut.iPicOrderCnt != i) {
            ADD_FAILURE() << "packet " << i << ": result " << r << ", order count " << hp.stOut.iPicOrderCnt;
            break;
        }
        pictures++;
    }
    std::string log = cap.Stop();
    EXPECT_EQ(pictures, kFrames) << log;
    EXPECT_EQ(hp.hsDecoder, 1);
    EXPECT_EQ(s.ctx.bRunning, 1);
    av_frame_free(&frame);
    HevcPlanarFree(&hp);
    HevcDeleteDecoder(&s.ctx);
    harness::FreePackets(pkts);
}

// The real decoder completes a picture only when the next one begins: the
// classic thread works a packet behind it.
TEST_F(SelectThread, RealDecoderClassicTakesTheMarkedStream)
{
    HevcSetDecoderApi(nullptr);
    Open(true, 0, 6, 2);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "IHW265D_Create===success====0x0===="));
    EXPECT_TRUE(Has(log, "ret:0x1, error:0, decodeStatus:1, cnt:4"));
    EXPECT_FALSE(Has(log, "maybe resolution change"));
    // Pictures come out once the decoder completes them; each is 160x120.
    if (s.Frames() > 0) {
        EXPECT_EQ(s.sink.lastW, 160);
        EXPECT_EQ(s.sink.lastH, 120);
    }
}

}  // namespace
