// CIpCamera: its smooth-stream gate and its locks, against a stream context
// without threads. The rest of the object is driven through the shared
// library (host_faults.cpp) and end to end (tests/e2e).

#include <gtest/gtest.h>

#include <atomic>

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

namespace {

enum LockedOp { kClose, kStopRecording, kStartRecording, kPlainSetters };

struct LockProbe {
    CIpCamera *pCam;
    LockedOp op;
    std::atomic<int> bDone{0};
};

int RunOp(void *p)
{
    LockProbe *x = (LockProbe *)p;
    switch (x->op) {
    case kClose: x->pCam->CloseMainStreamVideo(); break;
    case kStopRecording: x->pCam->StopSaveAvi(7); break;
    case kStartRecording: x->pCam->StartSaveAvi(1); break;
    case kPlainSetters:
        x->pCam->SetInfo(1, "n", "i");
        x->pCam->SetSaveRecordPath("/tmp/r.avi");
        x->pCam->SetSmoothStream(1);
        break;
    }
    x->bDone = 1;
    return 0;
}

// Runs op on a thread while the test holds a lock; returns whether the
// call had finished before the lock was released.
bool FinishesWhileHeld(Mutex *m, CIpCamera *pCam, LockedOp op)
{
    LockProbe probe;
    probe.pCam = pCam;
    probe.op = op;
    MutexLock(m);
    Thread *t = ThreadCreate(RunOp, &probe);
    SleepMs(150);
    bool bEarly = probe.bDone != 0;
    MutexUnlock(m);
    ThreadJoin(t);
    MemFree(t);
    EXPECT_EQ(probe.bDone.load(), 1);
    return bEarly;
}

}  // namespace

TEST(CameraLocking, OpenCloseAndRecordingTakeTheirLocks)
{
    CIpCamera c(12, "locks", "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FinishesWhileHeld(c.m_hOpenLock, &c, kClose)) << "close waits for the open/close lock";
    EXPECT_FALSE(FinishesWhileHeld(c.m_hIpcLock, &c, kStopRecording)) << "a stop waits for the camera lock";
    EXPECT_FALSE(FinishesWhileHeld(c.m_hIpcLock, &c, kStartRecording)) << "a start waits for the camera lock";
    EXPECT_TRUE(FinishesWhileHeld(c.m_hIpcLock, &c, kPlainSetters)) << "setters of plain members take no lock";
    testing::internal::GetCapturedStderr();
}
