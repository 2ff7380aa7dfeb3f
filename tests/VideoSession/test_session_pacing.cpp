// CVideoSession: smooth-stream pacing and settings against a stream context
// without threads (the frame-ready wait on a live stream: tests/e2e).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeStream.h"
#include "VideoSession/SessionInternal.h"
#include "support/Platform.h"

namespace {

// Calls SendVideoCond n times; the 1-based calls that released a frame.
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

}  // namespace

// Base interval 3. Mode 1 keeps 5..10 queued, any other mode 10..20: a
// longer queue shortens the interval by one call after each release, a
// shorter one lengthens it, one inside the band restores the base at once.
TEST(Pacing, ReleasesFollowTheQueueLength)
{
    struct Case {
        int nMode, bDecode, nQueued, nCalls;
        std::vector<int> releases;
        int nQueuedAfter;  // then, with this queue, 7 more calls release at 1, 4, 7
    } cases[] = {
        {0, 1, 7, 10, {}, 0},
        {1, 0, 7, 10, {}, 0},
        {1, 1, 7, 12, {3, 6, 9, 12}, 0},
        {1, 1, 12, 8, {3, 5, 6, 7, 8}, 7},  // back inside the band: base interval again
        {1, 1, 2, 12, {3, 7, 12}, 0},
        {2, 1, 15, 6, {3, 6}, 0},
        {2, 1, 21, 8, {3, 5, 6, 7, 8}, 0},
        {2, 1, 9, 12, {3, 7, 12}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.nMode) + " queued " + std::to_string(c.nQueued));
        CVideoSession s;
        FakeStream f;
        f.Attach(&s, nullptr);
        f.ctx->bDecodeEnable = c.bDecode;
        f.ctx->nFrameInterval = 3;
        f.SetQueued(c.nQueued);
        s.SetSmoothStream(c.nMode);
        EXPECT_EQ(ReleasesOver(s, c.nCalls), c.releases);
        if (c.nQueuedAfter) {
            f.SetQueued(c.nQueuedAfter);
            EXPECT_EQ(ReleasesOver(s, 7), (std::vector<int>{1, 4, 7}));
        }
    }
}

TEST(SessionOpen, PauseFrequencyAndRecordingDuration)
{
    CVideoSession s;
    FakeStream f;
    f.Attach(&s, nullptr);
    EXPECT_EQ(s.SetPauseReadFrame(2), 0);
    EXPECT_EQ(s.SetPauseReadFrame(-1), -1);
    EXPECT_EQ(f.ctx->bPauseRead, 2);
    f.ctx->nFrameRateNum = 50;
    f.ctx->nFrameRateDen = 2;
    EXPECT_EQ(s.GetFrequency(), 25);
    f.ctx->nFrameRateNum = f.ctx->nFrameRateDen = 0;
    EXPECT_EQ(s.GetFrequency(), 0) << "no nominal rate must not divide by zero";
    f.ctx->nSaveTickCount = (int64_t)(uint32_t)(TickCount() - 1500);
    EXPECT_EQ(s.GetSaveAviDurationSec(), 2);
    // Seconds plus one, safe across the 32-bit tick's wrap; 1000 ms is the
    // first tick of the second second.
    EXPECT_EQ(VideoSessionDurationSec(1000, 0), 2);
    EXPECT_EQ(VideoSessionDurationSec(999, 0), 1);
    EXPECT_EQ(VideoSessionDurationSec(500, 0xFFFFF000u), 5);
}

TEST(SessionClosed, EveryOperationAnswersWithoutAStream)
{
    CVideoSession s;
    EXPECT_EQ(s.VideoFree(), -1);
    EXPECT_EQ(s.SetDecodeEnbale(1) + s.SetPauseReadFrame(0) + s.SendVideoCond(), -3);
    EXPECT_EQ(s.GetVideoWidth() + s.GetVideoHeight() + s.GetFrequency() + s.GetFinishStatus(), -4);
    EXPECT_EQ(s.GetSaveAviDurationSec(), 0);
    EXPECT_FALSE(s.IsPlayFinish());
    EXPECT_EQ(s.getBitRateInfo(), -1.0f);
    EXPECT_EQ(s.getFrameRateInfo(), -1);
    EXPECT_EQ(s.StartSaveAvi("/tmp/x.avi") + s.StopSaveAvi(), -2);
    EXPECT_EQ(s.DoVideoBuffer(nullptr, 0, 0) + s.DoAudioBuffer(nullptr, 0, 0), -2);
    EXPECT_EQ(s.DoDataBuffer(nullptr, 0) + s.DoDisplayRefresh(), -2);
}

TEST(SessionSettings, ConnectTypeNameAndAssignment)
{
    CVideoSession a, b;
    a.SetName(std::string(300, 'n').c_str());
    EXPECT_EQ(strlen(a.m_szName), 255u);
    a.SetConnectType(-5);
    EXPECT_EQ(a.m_nConnectType, 0);
    // A stream uses the connect type most recently set on any session: the
    // open of a fails, but it has taken b's value first. Releases left from
    // before do not carry over into the next stream.
    CondSignal(a.m_pFrameCond);
    a.SetConnectType(1);
    b.SetConnectType(0);
    EXPECT_EQ(a.VideoInit(nullptr, "/nonexistent/ipcamera/none.mp4"), -1);
    EXPECT_EQ(a.m_nConnectType, 0);
    EXPECT_EQ(a.m_bInit, 0);
    EXPECT_FALSE(TakeFrameSignal(a));

    // Assignment and copy take the settings, never the stream, signal or lock.
    a.SetSmoothStream(2);
    a.SetName("front door");
    FakeStream f;
    f.Attach(&a, nullptr);
    Cond *pOwnCond = b.m_pFrameCond;
    b = a;
    CVideoSession c(a);
    EXPECT_EQ(b.m_nSmoothStream, 2);
    EXPECT_STREQ(c.m_szName, "front door");
    EXPECT_EQ(b.m_VideoContext, nullptr);
    EXPECT_EQ(b.m_pFrameCond, pOwnCond);
    EXPECT_NE(c.m_hSessionLock, a.m_hSessionLock);
}
