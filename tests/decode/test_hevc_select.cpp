// The planar thread's decode step with the real built-in decoder on a long
// x265 group of pictures. (Choosing the decoder, the fallback of a refused
// stream and both layouts are played end to end against the HTTP test
// camera in tests/e2e.)

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "DecodeHarness.h"
#include "HevcClips.h"
#include "decode/HevcSelect.h"

namespace {

using mediagen::StderrCapture;

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
