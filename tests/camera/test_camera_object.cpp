// CIpCamera: start values, locks, settings, open/close rules, callback
// dispatch and assignment, driven against a stream context without threads.

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "../VideoSession/FakeStream.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

struct Seen {
    int nVideo = 0, nAudio = 0, nData = 0, nDisplay = 0;
    void *pCamera = nullptr;
    void *pUser = nullptr;
    int a = 0, b = 0, c = 0;
};

// Counts one call of a kind and notes who raised it.
Seen *Hit(void *cam, void *user, int Seen::*pCount)
{
    Seen *s = (Seen *)user;
    s->*pCount += 1;
    s->pCamera = cam;
    s->pUser = user;
    return s;
}
int OnVideo(void *cam, void *user, unsigned char *, int w, int h)
{
    Seen *s = Hit(cam, user, &Seen::nVideo);
    s->a = w;
    s->b = h;
    return 5;
}
int OnAudio(void *cam, void *user, unsigned short *, int count, int rate)
{
    Seen *s = Hit(cam, user, &Seen::nAudio);
    s->a = count;
    s->b = rate;
    return 0;
}
int OnData(void *cam, void *user, unsigned char *, int len)
{
    Hit(cam, user, &Seen::nData)->c = len;
    return 0;
}
int OnDisplay(void *cam, void *user)
{
    Hit(cam, user, &Seen::nDisplay);
    return 0;
}

}  // namespace

TEST(CameraObject, StartValuesOfBothConstructors)
{
    CIpCamera a;
    CIpCamera b(7, "gate", "north side");
    // What a host sees before any call: closed, no callbacks, the default
    // save directory and the display switched on.
    for (CIpCamera *c : {&a, &b}) {
        EXPECT_FALSE(c->IsMainVideoOpenSuc());
        EXPECT_STREQ(c->m_szSaveDir, "C:");
        EXPECT_EQ(c->m_bDisplayEnable, 1);
        EXPECT_EQ(c->m_pfnVideoBuf, nullptr);
        EXPECT_EQ(c->m_MaskArea[0].bEnable, 0);
    }
    EXPECT_EQ(a.m_nId, -1);
    EXPECT_STREQ(a.m_szName, "");
    EXPECT_EQ(b.m_nId, 7);
    EXPECT_STREQ(b.m_szName, "gate");
    EXPECT_STREQ(b.m_szInfo, "north side");
    // Both locks at once, and the camera lock re-entrant.
    EXPECT_EQ(b.IpcLock(), 0);
    EXPECT_EQ(MutexLock(b.m_hOpenLock), 0);
    EXPECT_EQ(b.IpcLock(), 0);
    EXPECT_EQ(b.IpcUnLock(), 0);
    EXPECT_EQ(MutexUnlock(b.m_hOpenLock), 0);
    EXPECT_EQ(b.IpcUnLock(), 0);
}

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

TEST(CameraObject, ClosedCameraAnswersMinusOne)
{
    CIpCamera c;
    EXPECT_EQ(c.SetDecodeEnable(true, true), -1);
    EXPECT_EQ(c.SetPauseReadFrame(0), -1);
    EXPECT_EQ(c.SetPauseReadFrame(-1), -1);
    EXPECT_FALSE(c.IsMainVideoFinish());
    EXPECT_EQ(c.getBitRate(), -1.0f);
    EXPECT_EQ(c.getFrameRate(), -1);
    c.SendVideoCond();
    EXPECT_EQ(c.StopSaveAvi(7), 0);
    EXPECT_EQ(c.StartSaveAvi(1), -1);
}

TEST(CameraObject, SwitchesReachTheOpenStream)
{
    CIpCamera c(3, "c", "");
    FakeStream f;
    f.Attach(&c.m_VideoSession, &c);
    EXPECT_TRUE(c.IsMainVideoOpenSuc());
    EXPECT_EQ(c.SetDecodeEnable(false, true), 0);
    EXPECT_EQ(f.ctx->bDecodeEnable, 1);
    EXPECT_EQ(c.SetDecodeEnable(true, false), 0);
    EXPECT_EQ(f.ctx->bDecodeEnable, 0) << "only the second argument counts";
    EXPECT_EQ(c.SetPauseReadFrame(-1), -1);
    EXPECT_EQ(f.ctx->bPauseRead, 0);
    EXPECT_EQ(c.SetPauseReadFrame(1), 0);
    EXPECT_EQ(f.ctx->bPauseRead, 1);

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

TEST(CameraDispatch, EachKindFollowsItsRule)
{
    CIpCamera c;
    Seen v, a, d, r;
    c.SetVideoBufCallBack(OnVideo, &v);
    c.SetAudioBufCallBack(OnAudio, &a);
    c.SetDataBufCallBack(OnData, &d);
    c.SetDisplayBufCallBack(OnDisplay, &r);
    FakeStream f;
    f.Attach(&c.m_VideoSession, &c);
    CVideoSession &s = c.m_VideoSession;
    unsigned short pcm[4] = {};
    unsigned char bytes[3] = {1, 2, 3};

    // Audio needs the switch.
    EXPECT_EQ(s.DoAudioBuffer(pcm, 4, 8000), 0);
    EXPECT_EQ(a.nAudio, 0);
    c.m_bAudioEnable = 1;
    s.DoAudioBuffer(pcm, 4, 8000);
    EXPECT_EQ(a.nAudio, 1);
    EXPECT_EQ(a.a, 4);
    EXPECT_EQ(a.b, 8000);
    EXPECT_EQ(a.pCamera, &c);
    EXPECT_EQ(a.pUser, &a);
    // ...and the camera's own session.
    CVideoSession other;
    c.DoAudioBuffer(&other, pcm, 4, 8000);
    EXPECT_EQ(a.nAudio, 1);

    // Data does not check the session.
    c.DoDataBuffer(&other, bytes, 3);
    s.DoDataBuffer(bytes, 3);
    EXPECT_EQ(d.nData, 2);
    EXPECT_EQ(d.c, 3);
    EXPECT_EQ(d.pCamera, &c);

    // Display refresh needs the display switch.
    s.DoDisplayRefresh();
    EXPECT_EQ(r.nDisplay, 1);
    c.m_bDisplayEnable = 0;
    s.DoDisplayRefresh();
    EXPECT_EQ(r.nDisplay, 1);

    // Video reaches the callback and records the size, even for a null frame.
    s.DoVideoBuffer(nullptr, 0, 0);
    EXPECT_EQ(v.nVideo, 1);
    EXPECT_EQ(v.pCamera, &c);

    // A null registration switches the kind off.
    c.SetDataBufCallBack(nullptr, &d);
    s.DoDataBuffer(bytes, 3);
    EXPECT_EQ(d.nData, 2);
}

TEST(CameraDispatch, CloseClearsVideoAndDisplayOnly)
{
    CIpCamera c(4, "door", "");
    Seen v, a, d, r;
    c.SetVideoBufCallBack(OnVideo, &v);
    c.SetAudioBufCallBack(OnAudio, &a);
    c.SetDataBufCallBack(OnData, &d);
    c.SetDisplayBufCallBack(OnDisplay, &r);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.CloseMainStreamVideo(), 0);
    EXPECT_EQ(c.CloseMainStreamVideo(), 0);
    std::string log = testing::internal::GetCapturedStderr();
    size_t n = 0;
    for (size_t p = 0; (p = log.find("CloseMainStreamVideo start. id:4 name:door", p)) != std::string::npos; p++)
        n++;
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(c.m_pfnVideoBuf, nullptr);
    EXPECT_EQ(c.m_pfnDisplayRefresh, nullptr);
    EXPECT_EQ(c.m_pVideoUser, &v) << "user pointers stay";
    EXPECT_EQ(c.m_pDisplayUser, &r);
    EXPECT_NE(c.m_pfnAudioBuf, nullptr);
    EXPECT_NE(c.m_pfnDataBuf, nullptr);
}

TEST(CameraObject, FailedOpenLeavesNoStream)
{
    CIpCamera c(9, "bad", "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.OpenMainStreamVideo("/nonexistent/ipcamera/clip.mp4"), -1);
    EXPECT_EQ(c.OpenMainStreamVideo(nullptr), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("OpenMainStreamVideo start. id:9 sUrl:/nonexistent/ipcamera/clip.mp4"), std::string::npos);
    EXPECT_NE(log.find("OpenMainStreamVideo faild. id:9 sUrl:/nonexistent/ipcamera/clip.mp4"), std::string::npos);
    EXPECT_FALSE(c.IsMainVideoOpenSuc());
    EXPECT_STREQ(c.m_szUrl, "");
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

struct LockProbe {
    CIpCamera *pCam;
    std::atomic<int> bDone{0};
};

// Runs pfn on a thread while the test holds a lock; returns whether the
// call had finished before the lock was released.
bool FinishesWhileHeld(Mutex *m, CIpCamera *pCam, ThreadRoutine pfn)
{
    LockProbe probe;
    probe.pCam = pCam;
    MutexLock(m);
    Thread *t = ThreadCreate(pfn, &probe);
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
    auto close = [](void *p) -> int {
        LockProbe *x = (LockProbe *)p;
        x->pCam->CloseMainStreamVideo();
        x->bDone = 1;
        return 0;
    };
    auto stop = [](void *p) -> int {
        LockProbe *x = (LockProbe *)p;
        x->pCam->StopSaveAvi(7);
        x->bDone = 1;
        return 0;
    };
    auto start = [](void *p) -> int {
        LockProbe *x = (LockProbe *)p;
        x->pCam->StartSaveAvi(1);
        x->bDone = 1;
        return 0;
    };
    EXPECT_FALSE(FinishesWhileHeld(c.m_hOpenLock, &c, close)) << "close waits for the open/close lock";
    EXPECT_FALSE(FinishesWhileHeld(c.m_hIpcLock, &c, stop)) << "a stop waits for the camera lock";
    EXPECT_FALSE(FinishesWhileHeld(c.m_hIpcLock, &c, start)) << "a start waits for the camera lock";
    // Setters of plain members take no lock.
    auto setters = [](void *p) -> int {
        LockProbe *x = (LockProbe *)p;
        x->pCam->SetInfo(1, "n", "i");
        x->pCam->SetSaveRecordPath("/tmp/r.avi");
        x->pCam->SetSmoothStream(1);
        x->bDone = 1;
        return 0;
    };
    EXPECT_TRUE(FinishesWhileHeld(c.m_hIpcLock, &c, setters));
    testing::internal::GetCapturedStderr();
}
