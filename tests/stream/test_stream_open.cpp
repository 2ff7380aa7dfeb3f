// Streams through the demuxer against a paced TCP server: a source without
// video, close while a read blocks, a hang-up, queue overflow. (Opening,
// playback and open/close cycles of files and cameras are covered end to
// end in tests/e2e.)

#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <thread>

#include "MediaGen.h"
#include "PacedServer.h"
#include "ipcamera/IpCamera.h"
#include "stream/FFMpegContext.h"
#include "stream/PacketQueue.h"
#include "support/Platform.h"

namespace {

using Clock = std::chrono::steady_clock;

// A live-like MPEG-TS clip: 160x120, 25 fps, key frame every 25.
std::string LiveClip()
{
    return mediagen::Video("live_ts.ts", 160, 120, 250, "yuv420p", "-c:v libx264 -bf 0 -g 25 -b:v 200k");
}

TEST(StreamOpen, SourceWithoutVideoFails)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string wav = mediagen::Make("audio_only.wav", "-f lavfi -i sine=sample_rate=8000 -t 1");
    ASSERT_FALSE(wav.empty());
    mediagen::StderrCapture cap;
    FFMpegRegister();
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, wav.c_str(), 2, nullptr, 0, 0);
    std::string log = cap.Stop();
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(log.find("http video av_find_best_stream error! ret:"), std::string::npos) << log;
    FFMpegContextDestroy(ctx);
}

TEST(StreamPlay, CloseWhileAReadBlocksReturnsPromptly)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = LiveClip();
    ASSERT_FALSE(clip.empty());
    size_t bps = PacedBytesPerSecond(clip, 10);
    for (int planar = 0; planar <= 1; planar++) {
        PacedServer server(clip, bps * 3, bps);
        CIpCamera cam(8, "stall", "");
        cam.SetConnectType(0);
        cam.SetD3DDisplay(planar);
        ASSERT_EQ(cam.OpenMainStreamVideo(server.Url().c_str()), 0);
        cam.SetDecodeEnable(true, true);
        // Everything sent has been read; the next read waits for bytes that
        // never come.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        auto t0 = Clock::now();
        EXPECT_EQ(cam.CloseMainStreamVideo(), 0);
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));
    }
}

TEST(StreamPlay, HangupEndsReadingButNotTheContext)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = LiveClip();
    ASSERT_FALSE(clip.empty());
    size_t bps = PacedBytesPerSecond(clip, 10);
    PacedServer server(clip, bps * 2, bps * 4);
    FFMpegRegister();
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, server.Url().c_str(), 0, nullptr, 0, 0);
    ASSERT_NE(ctx, nullptr);
    server.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Hangup();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The end of the stream is a read failure like any other: the context
    // keeps waiting for data (up to 40 s) rather than finishing at once.
    EXPECT_EQ(AtomicGet(&ctx->bFinish), 0);
    auto t0 = Clock::now();
    FFMpegContextDestroy(ctx);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
}

int SlowWait(FFMpegContext *)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    return 0;
}

TEST(StreamPlay, QueueOverflowIsCleared)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    // A local file is read far faster than this paced consumer takes it.
    std::string clip = mediagen::Video("overflow.ts", 160, 120, 600, "yuv420p", "-c:v libx264 -bf 0 -g 10");
    ASSERT_FALSE(clip.empty());
    PacedServer server(clip, 30000, 1 << 20);
    FFMpegRegister();
    mediagen::StderrCapture cap;
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, server.Url().c_str(), 0, SlowWait, 1, 0);
    ASSERT_NE(ctx, nullptr);
    AtomicSet(&ctx->bDecodeEnable, 1);
    server.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    int queued = GetAVPktListElmCount(ctx);
    FFMpegContextDestroy(ctx);
    std::string log = cap.Stop();
    EXPECT_NE(log.find("]GetAVPktListElmCount: 101"), std::string::npos) << log.substr(0, 4000);
    EXPECT_LE(queued, 101);
}

}  // namespace
