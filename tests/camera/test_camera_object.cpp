// CIpCamera: locks, settings, callback dispatch and assignment, driven
// against a stream context without threads. Open, close and the callbacks
// a close clears are checked end to end (tests/e2e).

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "../VideoSession/FakeStream.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

struct Seen {
    int nAudio = 0, nData = 0;
    int nCount = 0, nRate = 0, nLength = 0;
};

int OnVideo(void *, void *, unsigned char *, int, int) { return 0; }
int OnAudio(void *, void *user, unsigned short *, int count, int rate)
{
    Seen *s = (Seen *)user;
    s->nAudio++;
    s->nCount = count;
    s->nRate = rate;
    return 0;
}
int OnData(void *, void *user, unsigned char *, int len)
{
    Seen *s = (Seen *)user;
    s->nData++;
    s->nLength = len;
    return 0;
}

}  // namespace

TEST(CameraObject, TextIsCutTo255)
{
    std::string big(400, 'q');
    CIpCamera c(1, big.c_str(), big.c_str());
    EXPECT_EQ(strlen(c.m_szName), 255u);
    EXPECT_EQ(strlen(c.m_szInfo), 255u);
    c.SetInfo(2, nullptr, "x");
    EXPECT_STREQ(c.m_szName, "");
    c.SetSaveRecordPath(big.c_str());
    EXPECT_EQ(strlen(c.m_szRecordPath), 255u);
    c.SetSaveImagePath(big.c_str());
    EXPECT_EQ(strlen(c.m_szSaveImgPath), 255u);
}

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

// The rest of the dispatch (switches, pointers, null pictures) is checked
// end to end; what a live stream cannot show is checked here.
TEST(CameraDispatch, AudioOnlyFromItsOwnSessionAndNullRegistrationSwitchesOff)
{
    CIpCamera c;
    Seen a, d;
    c.SetAudioBufCallBack(OnAudio, &a);
    c.SetDataBufCallBack(OnData, &d);
    FakeStream f;
    f.Attach(&c.m_VideoSession, &c);
    c.m_bAudioEnable = 1;
    unsigned short pcm[4] = {};
    unsigned char bytes[3] = {1, 2, 3};
    CVideoSession other;
    c.DoAudioBuffer(&other, pcm, 4, 8000);
    EXPECT_EQ(a.nAudio, 0) << "audio of another session";
    c.m_VideoSession.DoAudioBuffer(pcm, 4, 8000);
    EXPECT_EQ(a.nAudio, 1);
    EXPECT_EQ(a.nCount, 4);
    EXPECT_EQ(a.nRate, 8000);
    // Data does not check the session.
    c.DoDataBuffer(&other, bytes, 3);
    EXPECT_EQ(d.nData, 1);
    EXPECT_EQ(d.nLength, 3);
    c.SetDataBufCallBack(nullptr, &d);
    c.m_VideoSession.DoDataBuffer(bytes, 3);
    EXPECT_EQ(d.nData, 1) << "a null registration switches the kind off";
}

TEST(CameraObject, AssignmentCopiesSettingsNotResources)
{
    Seen v;
    CIpCamera *pA = new CIpCamera(11, "lobby", "info");
    pA->SetSmoothStream(1);
    pA->SetD3DDisplay(1);
    pA->SetVideoBufCallBack(OnVideo, &v);
    pA->m_bAudioEnable = 1;
    MaskAreaParam m = {0, 1, 10, 10, 20, 20, 100, 100, 0};
    pA->m_MaskArea[0] = m;
    pA->SetSaveRecordPath("/tmp/some.avi");
    pA->m_nRecordStartTime = 5;

    CIpCamera b;
    Mutex *pOwnLock = b.m_hIpcLock;
    b = *pA;
    CIpCamera c(*pA);
    EXPECT_EQ(b.m_nId, 11);
    EXPECT_STREQ(b.m_szName, "lobby");
    EXPECT_EQ(b.m_bSmoothStream, 1);
    EXPECT_EQ(b.m_bD3DDisplay, 1);
    EXPECT_EQ(b.m_pfnVideoBuf, &OnVideo);
    EXPECT_EQ(b.m_bAudioEnable, 1);
    EXPECT_EQ(b.m_MaskArea[0].nX, 10);
    EXPECT_EQ(b.m_hIpcLock, pOwnLock);
    EXPECT_NE(c.m_hIpcLock, pA->m_hIpcLock);
    EXPECT_NE(c.m_hOpenLock, pA->m_hOpenLock);
    EXPECT_STREQ(b.m_szRecordPath, "") << "a running recording stays with its camera";
    EXPECT_EQ(b.m_nRecordStartTime, 0);
    pA->m_nRecordStartTime = 0;
    delete pA;
    // The copies still own working locks after the source is gone.
    EXPECT_EQ(b.IpcLock(), 0);
    EXPECT_EQ(b.IpcUnLock(), 0);
    EXPECT_EQ(c.CloseMainStreamVideo(), 0);
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
