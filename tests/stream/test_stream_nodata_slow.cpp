// A source that stops sending ends the read thread after a little more
// than 40 seconds: "[RTSP]time-period:%d" and bFinish; a paused stream
// never ends this way. Waits out the real limit, hence the "slow" label.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "MediaGen.h"
#include "PacedServer.h"
#include "ipcamera/IpCamera.h"
#include "stream/FFMpegContext.h"
#include "support/Platform.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(StreamNoData, StalledSourceFinishesAfter40SecondsUnlessPaused)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = mediagen::Video("live_ts.ts", 160, 120, 250, "yuv420p", "-c:v libx264 -bf 0 -g 25 -b:v 200k");
    ASSERT_FALSE(clip.empty());
    PacedServer stalled(clip, 60000, 0);
    PacedServer paused(clip, 60000, 0);
    FFMpegRegister();
    mediagen::StderrCapture cap;
    FFMpegContext *a = FFMpegContextCreate(nullptr, stalled.Url().c_str(), 0, nullptr, 0, 0);
    FFMpegContext *b = FFMpegContextCreate(nullptr, paused.Url().c_str(), 0, nullptr, 0, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    AtomicSet(&b->bPauseRead, 1);
    auto t0 = Clock::now();
    while (!AtomicGet(&a->bFinish) && Clock::now() - t0 < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto took = Clock::now() - t0;
    EXPECT_EQ(AtomicGet(&a->bFinish), 1);
    EXPECT_GE(took, std::chrono::seconds(39));
    EXPECT_LE(took, std::chrono::seconds(48));
    EXPECT_EQ(AtomicGet(&b->bFinish), 0);
    FFMpegContextDestroy(a);
    FFMpegContextDestroy(b);
    std::string log = cap.Stop();
    EXPECT_NE(log.find("[RTSP]time-period:41"), std::string::npos) << log;
    EXPECT_NE(log.find("ThreadFFmpegRun Finish"), std::string::npos);
}

}  // namespace
