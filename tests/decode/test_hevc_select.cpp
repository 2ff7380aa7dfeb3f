// The planar thread with the real built-in decoder on marked x265 streams,
// compared with FFmpeg's pictures of the same packets. (Choosing the
// decoder, the fallback of a refused stream and both layouts are played end
// to end against the HTTP test camera in tests/e2e.)

#include <gtest/gtest.h>

#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#include "DecodeHarness.h"
#include "HevcClips.h"
#include "decode/HevcSelect.h"

namespace {

using mediagen::StderrCapture;

bool Has(const std::string &log, const char *text)
{
    return log.find(text) != std::string::npos;
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

}  // namespace
