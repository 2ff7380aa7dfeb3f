// CIpCamera: its smooth-stream gate and its locks, against a stream context
// without threads. The rest of the object is driven through the shared
// library (host_faults.cpp) and end to end (tests/e2e).

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "../VideoSession/FakeStream.h"
#include "support/Platform.h"
#include "support/Thread.h"

TEST(CameraObject, SendVideoCondFollowsTheCamerasSmoothMode)
{
    CIpCamera c(3, "c", "");
    FakeStream f;
    f.Attach(&c.m_VideoSession, &c);
    // Smooth-stream mode 0: SendVideoCond never releases a frame.
    c.SetDecodeEnable(false, true);
    f.ctx->nFrameInterval = 1;
    c.m_VideoSession.SetSmoothStream(1);  // the session would pace...
    for (int i = 0; i < 5; i++)
        c.SendVideoCond();                // ...but the camera's mode is 0
    EXPECT_FALSE(TakeFrameSignal(c.m_VideoSession));
    c.SetSmoothStream(1);
    c.SendVideoCond();
    EXPECT_TRUE(TakeFrameSignal(c.m_VideoSession));
}

// Whether op, run on another thread while the test holds m, finished
// before m was released.
static bool FinishesWhileHeld(Mutex *m, const std::function<void()> &op)
{
    std::atomic<int> bDone{0};
    MutexLock(m);
    std::thread t([&] {
        op();
        bDone = 1;
    });
    SleepMs(150);
    bool bEarly = bDone != 0;
    MutexUnlock(m);
    t.join();
    return bEarly;
}

TEST(CameraLocking, OpenCloseAndRecordingTakeTheirLocks)
{
    CIpCamera c(12, "locks", "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FinishesWhileHeld(c.m_hOpenLock, [&] { c.CloseMainStreamVideo(); }))
        << "close waits for the open/close lock";
    EXPECT_FALSE(FinishesWhileHeld(c.m_hIpcLock, [&] { c.StopSaveAvi(7); })) << "a stop waits for the camera lock";
    EXPECT_FALSE(FinishesWhileHeld(c.m_hIpcLock, [&] { c.StartSaveAvi(1); })) << "a start waits for the camera lock";
    EXPECT_FALSE(FinishesWhileHeld(c.m_hIpcLock, [&] { c.SetSaveRecordPath("/tmp/r.avi"); }))
        << "the record path is read by a start or stop under the camera lock";
    EXPECT_TRUE(FinishesWhileHeld(c.m_hIpcLock, [&] {
        c.SetInfo(1, "n", "i");
        c.SetSmoothStream(1);
    })) << "setters of plain members take no lock";
    testing::internal::GetCapturedStderr();
}
