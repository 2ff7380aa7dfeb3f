// Decoder selection inside the running decode threads: x265 clips with and
// without the marker SEI, decoded by a scripted stand-in for the built-in
// decoder (exact pictures, chosen return codes) and by the real one.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "DecodeHarness.h"
#include "HevcClips.h"
#include "HevcStandIn.h"
#include "decode/HevcSelect.h"

namespace {

using mediagen::StderrCapture;
using standin::g_script;

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

TEST_F(SelectThread, ClassicStopsWhenThePictureOutgrowsTheDecoder)
{
    standin::Installed in;
    Open(true, 0);
    g_script.steps = {standin::Picture(160, 120), standin::Picture(160, 120),
                      standin::Code(IHW265D_ERR_WIDTH, IH265D_DECODING)};
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "maybe resolution change to big one====="));
    EXPECT_EQ(g_script.Calls(), 3) << "nothing is decoded after the stop";
    EXPECT_EQ(s.Frames(), 2);
    EXPECT_EQ(s.ctx.bRunning, 0);
}

TEST_F(SelectThread, PlanarProbesSizeThenDeliversBuiltInPictures)
{
    standin::Installed in;
    Open(true, 1);
    s.ctx.nWidth = s.ctx.nHeight = 0;
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "sei:1"));
    EXPECT_TRUE(Has(log, "get hevc frame resolution 160*120"));
    EXPECT_TRUE(Has(log, "hsDecoder:1"));
    EXPECT_EQ(g_script.param.iMaxWidth, 160);
    EXPECT_EQ(g_script.param.eThreadType, 1);
    EXPECT_EQ(g_script.Calls(), 6);
    ASSERT_EQ(s.Frames(), 6);
    EXPECT_TRUE(s.sink.last == StandInI420(160, 120));
}

// Each packet's picture comes from the flush call after "need more bits".
TEST_F(SelectThread, PlanarFlushBringsEachPacketsPicture)
{
    standin::Installed in;
    Open(true, 1);
    for (int i = 0; i < 6; i++) {
        g_script.steps.push_back(standin::Code(1, 1));
        g_script.steps.push_back(standin::Picture(160, 120));
    }
    std::string log = Run();
    EXPECT_TRUE(Has(log, "hsDecoder:1"));
    EXPECT_FALSE(Has(log, "change to ffmpeg decoder"));
    EXPECT_FALSE(Has(log, "BadFrame"));
    EXPECT_EQ(g_script.Calls(), 12);
    ASSERT_EQ(s.Frames(), 6);
    EXPECT_TRUE(s.sink.last == StandInI420(160, 120));
}

TEST_F(SelectThread, PlanarNeedMoreBitsHandsOverToFfmpeg)
{
    standin::Installed in;
    Open(true, 1);
    // The flush after the first packet finds no picture either.
    g_script.steps = {standin::Code(1, 1), standin::Code(IHW265D_OK, IH265D_NO_PICTURE)};
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "change to ffmpeg decoder. 0 0"));
    EXPECT_TRUE(Has(log, "BadFrame iframe:1"));
    EXPECT_EQ(g_script.Calls(), 2);
    // FFmpeg from the next key packet (3) on: pictures 3, 4 and 5.
    EXPECT_EQ(s.Frames(), 3);
    ASSERT_FALSE(s.sink.last.empty());
    EXPECT_FALSE(s.sink.last == StandInI420(160, 120));
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

TEST_F(SelectThread, PlanarStopsOnCodecChange)
{
    standin::Installed in;
    Open(true, 1);
    g_script.steps = {standin::Picture(160, 120), standin::Code(IHW265D_ERR_NAL, IH265D_DECODING)};
    std::string log = Run();
    EXPECT_TRUE(Has(log, "maybe codec changed"));
    EXPECT_EQ(s.Frames(), 1);
    EXPECT_EQ(g_script.Calls(), 2);
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

TEST_F(SelectThread, UnmarkedStreamsNeverReachTheBuiltInDecoderClassic)
{
    standin::Installed in;
    Open(false, 0);
    Run();
    EXPECT_EQ(g_script.creates, 0);
    EXPECT_EQ(g_script.Calls(), 0);
    EXPECT_EQ(s.Frames(), 6);
}

TEST_F(SelectThread, UnmarkedStreamsNeverReachTheBuiltInDecoderPlanar)
{
    standin::Installed in;
    Open(false, 1);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "sei:0"));
    EXPECT_FALSE(Has(log, "hsDecoder:"));
    EXPECT_EQ(g_script.creates, 0);
    EXPECT_EQ(g_script.Calls(), 0);
    EXPECT_EQ(s.Frames(), 6);
}

// The real decoder: created with the stream's parameters in both threads.
// It completes a picture only when the next one begins; the planar thread's
// flush call gets each packet's picture out with the packet, so the decoder
// stays, while the classic one works a packet behind.
TEST_F(SelectThread, RealDecoderPlanarKeepsTheMarkedStream)
{
    HevcSetDecoderApi(nullptr);
    // All intra: the decoder's limit of one reference picture refuses the
    // two-reference P pictures x265 writes here.
    Open(true, 1, 6, 1);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "sei:1"));
    EXPECT_TRUE(Has(log, "IHW265D_Create===success====0x0===="));
    EXPECT_TRUE(Has(log, "hsDecoder:1"));
    EXPECT_FALSE(Has(log, "change to ffmpeg decoder.")) << log;
    EXPECT_FALSE(Has(log, "BadFrame")) << log;
    EXPECT_EQ(s.Frames(), 6) << log;
    EXPECT_EQ(s.sink.lastW, 160);
    EXPECT_EQ(s.sink.lastH, 120);
    EXPECT_EQ(s.ctx.hHevcDecoder, nullptr);
}

// A stream as a camera sends it, made with the x265 CLI: parameter sets
// with every key picture and no encoder-info SEI (which would exceed the
// decoder's SEI size limit). Written under a private name, then renamed.
std::string ClipCli(const std::string &tag, int w, int h, int frames, const std::string &opts)
{
    std::string path = mediagen::Dir() + "/hevcsel_cli_" + tag + "_" + std::to_string(w) + "x" + std::to_string(h) +
                       "_" + std::to_string(frames) + ".hevc";
    if (access(path.c_str(), R_OK) == 0)
        return path;
    std::string tmp = path + ".tmp" + std::to_string(getpid()) + ".hevc";
    std::string cmd = "ffmpeg -v error -f lavfi -i \"" + mediagen::MarkerFilter(w, h, "yuv420p") + "\" -frames:v " +
                      std::to_string(frames) +
                      " -f yuv4mpegpipe - 2>/dev/null < /dev/null | x265 --log-level error --y4m --input - "
                      "--preset ultrafast --no-info --repeat-headers " + opts + " --output \"" + tmp +
                      "\" > /dev/null 2>&1";
    if (system(cmd.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return "";
    }
    return path;
}

bool HaveX265AndFfmpeg()
{
    return system("x265 --version > /dev/null 2>&1") == 0 && mediagen::HaveFfmpeg();
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
    if (!HaveX265AndFfmpeg())
        GTEST_SKIP() << "x265 or ffmpeg command-line tool not installed";
    std::string path = ClipCli("intra", 176, 144, 10, "--keyint 1");
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
    if (!HaveX265AndFfmpeg())
        GTEST_SKIP() << "x265 or ffmpeg command-line tool not installed";
    const int kFrames = 140;
    std::string path = ClipCli("longgop", 64, 64, kFrames, "--keyint 300 --min-keyint 300 --no-scenecut --bframes 0 --ref 1");
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
