// CVideoSession: smooth-stream pacing, the frame-ready wait and settings
// against a stream context without threads.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeStream.h"
#include "VideoSession/SessionInternal.h"
#include "support/Platform.h"

namespace {

// Calls SendVideoCond n times and returns the 1-based calls that released a
// frame.
std::vector<int> ReleasesOver(CVideoSession &s, int n)
{
    std::vector<int> calls;
    for (int i = 1; i <= n; i++) {
        EXPECT_EQ(s.SendVideoCond(), 0);
        if (TakeFrameSignal(s))
            calls.push_back(i);
    }
    return calls;
}

class Pacing : public ::testing::Test {
protected:
    CVideoSession s;
    FakeStream f;
    void SetUp() override
    {
        f.Attach(&s, nullptr);
        f.ctx->bDecodeEnable = 1;
        f.ctx->nFrameInterval = 3;
        while (TakeFrameSignal(s)) {
        }
    }
};

}  // namespace

TEST_F(Pacing, SteadyQueueReleasesEveryBaseIntervalWhenOnAndDecoding)
{
    s.SetSmoothStream(0);
    f.SetQueued(7);
    EXPECT_TRUE(ReleasesOver(s, 10).empty());
    EXPECT_EQ(s.m_nCondCount, 0);
    s.SetSmoothStream(1);
    EXPECT_EQ(ReleasesOver(s, 12), (std::vector<int>{3, 6, 9, 12}));
    EXPECT_EQ(s.m_nCondAdjust, 0);
    f.ctx->bDecodeEnable = 0;
    EXPECT_TRUE(ReleasesOver(s, 10).empty());
}

TEST_F(Pacing, LongQueueShortensShortQueueLengthens)
{
    s.SetSmoothStream(1);
    f.SetQueued(12);
    // Interval 3, then 2, then 1, then every call.
    EXPECT_EQ(ReleasesOver(s, 8), (std::vector<int>{3, 5, 6, 7, 8}));
    // Back inside the band: the base interval returns after the next release.
    f.SetQueued(7);
    std::vector<int> r = ReleasesOver(s, 7);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(s.m_nCondAdjust, 0);
    EXPECT_EQ(r, (std::vector<int>{1, 4, 7}));

    f.SetQueued(2);
    s.m_nCondCount = 0;
    EXPECT_EQ(ReleasesOver(s, 12), (std::vector<int>{3, 7, 12}));
}

TEST_F(Pacing, SecondModeUsesTheWiderBand)
{
    s.SetSmoothStream(2);
    f.SetQueued(15);  // inside 10..20: base interval
    EXPECT_EQ(ReleasesOver(s, 6), (std::vector<int>{3, 6}));
    f.SetQueued(21);
    ReleasesOver(s, 3);
    EXPECT_EQ(s.m_nCondAdjust, -1);
    f.SetQueued(9);
    s.m_nCondAdjust = 0;
    s.m_nCondCount = 0;
    ReleasesOver(s, 3);
    EXPECT_EQ(s.m_nCondAdjust, 1);
    EXPECT_EQ(VideoSessionPacingStep(1, 11, 0), -1);
    EXPECT_EQ(VideoSessionPacingStep(1, 10, -3), 0);
    EXPECT_EQ(VideoSessionPacingStep(1, 5, 2), 0);
    EXPECT_EQ(VideoSessionPacingStep(1, 4, 2), 3);
    EXPECT_EQ(VideoSessionPacingStep(7, 20, 5), 0);
}

TEST_F(Pacing, FrameWaitReturnsOnReleaseOrAfterOneSecond)
{
    uint32_t t0 = TickCount();
    EXPECT_EQ(VideoSessionFrameWait(f.ctx), 0);
    uint32_t d = TickCount() - t0;
    EXPECT_GE(d, 990u);
    EXPECT_LT(d, 1500u);

    s.SetSmoothStream(1);
    f.ctx->nFrameInterval = 1;
    s.SendVideoCond();
    t0 = TickCount();
    VideoSessionFrameWait(f.ctx);
    EXPECT_LT((uint32_t)(TickCount() - t0), 100u);
    EXPECT_EQ(VideoSessionFrameWait(nullptr), 0);
}

TEST_F(Pacing, PauseRangeFrequencyAndRecordingDuration)
{
    EXPECT_EQ(s.SetPauseReadFrame(2), 0);
    EXPECT_EQ(s.SetPauseReadFrame(-1), -1);
    EXPECT_EQ(f.ctx->bPauseRead, 2);

    f.ctx->nFrameRateNum = 50;
    f.ctx->nFrameRateDen = 2;
    EXPECT_EQ(s.GetFrequency(), 25);
    f.ctx->nFrameRateNum = 0;
    f.ctx->nFrameRateDen = 0;
    EXPECT_EQ(s.GetFrequency(), 0) << "no nominal rate must not divide by zero";

    f.ctx->nSaveTickCount = (int64_t)(uint32_t)(TickCount() - 1500);
    EXPECT_EQ(s.GetSaveAviDurationSec(), 2);
    // Seconds plus one, safe across the 32-bit tick's wrap.
    EXPECT_EQ(VideoSessionDurationSec(1000, 0), 2);
    EXPECT_EQ(VideoSessionDurationSec(999, 0), 1);
    EXPECT_EQ(VideoSessionDurationSec(500, 0xFFFFF000u), 5);
}

TEST(SessionClosed, EveryOperationAnswersWithoutAStream)
{
    CVideoSession s;
    EXPECT_EQ(s.VideoFree(), -1);
    EXPECT_EQ(s.SetDecodeEnbale(1), -1);
    EXPECT_EQ(s.SetPauseReadFrame(0), -1);
    EXPECT_EQ(s.SendVideoCond(), -1);
    EXPECT_EQ(s.GetVideoWidth(), -1);
    EXPECT_EQ(s.GetVideoHeight(), -1);
    EXPECT_EQ(s.GetFrequency(), -1);
    EXPECT_EQ(s.GetSaveAviDurationSec(), 0);
    EXPECT_FALSE(s.IsPlayFinish());
    EXPECT_EQ(s.GetFinishStatus(), -1);
    EXPECT_EQ(s.getBitRateInfo(), -1.0f);
    EXPECT_EQ(s.getFrameRateInfo(), -1);
    EXPECT_EQ(s.StartSaveAvi("/tmp/x.avi"), -1);
    EXPECT_EQ(s.StopSaveAvi(), -1);
    EXPECT_EQ(s.DoVideoBuffer(nullptr, 0, 0), -1);
    EXPECT_EQ(s.DoAudioBuffer(nullptr, 0, 0), -1);
    EXPECT_EQ(s.DoDataBuffer(nullptr, 0), -1);
    EXPECT_EQ(s.DoDisplayRefresh(), -1);
}

TEST(SessionSettings, NameAndConnectType)
{
    CVideoSession a, b;
    std::string longName(300, 'n');
    a.SetName(longName.c_str());
    EXPECT_EQ(strlen(a.m_szName), 255u);

    a.SetConnectType(-5);
    EXPECT_EQ(a.m_nConnectType, 0);

    // The connect type a stream uses is the one most recently set on any
    // session: the open of a fails, but it has taken b's value first.
    // Releases left from before do not carry over into the next stream.
    CondSignal(a.m_pFrameCond);
    CondSignal(a.m_pFrameCond);
    a.SetConnectType(1);
    b.SetConnectType(0);
    EXPECT_EQ(a.VideoInit(nullptr, "/nonexistent/ipcamera/none.mp4"), -1);
    EXPECT_EQ(a.m_nConnectType, 0);
    EXPECT_EQ(a.m_bInit, 0);
    EXPECT_EQ(a.m_pOwner, nullptr);
    EXPECT_FALSE(TakeFrameSignal(a));
}

TEST(SessionSettings, AssignmentCopiesSettingsOnly)
{
    CVideoSession a;
    a.SetSmoothStream(2);
    a.SetD3DDisplay(1);
    a.SetName("front door");
    FakeStream f;
    f.Attach(&a, nullptr);
    {
        CVideoSession b;
        Cond *pOwnCond = b.m_pFrameCond;
        b = a;
        EXPECT_EQ(b.m_nSmoothStream, 2);
        EXPECT_EQ(b.m_bD3DDisplay, 1);
        EXPECT_STREQ(b.m_szName, "front door");
        EXPECT_EQ(b.m_VideoContext, nullptr);
        EXPECT_EQ(b.m_bInit, 0);
        EXPECT_EQ(b.m_pFrameCond, pOwnCond);
        CVideoSession c(a);
        EXPECT_NE(c.m_pFrameCond, a.m_pFrameCond);
        EXPECT_NE(c.m_hSessionLock, a.m_hSessionLock);
    }
    // a's signal still works after the copies are gone.
    a.SetSmoothStream(1);
    f.ctx->bDecodeEnable = 1;
    f.ctx->nFrameInterval = 1;
    a.SendVideoCond();
    EXPECT_TRUE(TakeFrameSignal(a));
}
