// The camera API as a host sees it: public headers only, linked against
// libipcamera.so with its hidden internals.

#include <gtest/gtest.h>

#include <ipcamera/IpCamera.h>

#include <stddef.h>
#include <string.h>

#include <string>

namespace {

int OnData(void *, void *user, unsigned char *, int len)
{
    *(int *)user += len;
    return 0;
}

struct Notify : CMotionNotify {
    int OnMotionNotify(int, int) override { return 1; }
};

}  // namespace

TEST(HostApi, CameraLifecycleThroughTheSharedLibrary)
{
    CIpCamera *pCam = new CIpCamera(3, "host cam", "info");
    pCam->SetSmoothStream(1);
    pCam->SetD3DDisplay(0);
    pCam->SetConnectType(1);
    int nBytes = 0;
    pCam->SetDataBufCallBack(OnData, &nBytes);
    pCam->m_bAudioEnable = 1;
    MaskAreaParam m;
    memset(&m, 0, sizeof(m));
    EXPECT_EQ(pCam->SetMaskAreaParam(&m), 0);
    EXPECT_EQ(pCam->SetSaveRecordPath("/tmp/host.avi"), 0);
    EXPECT_EQ(pCam->SetSaveImagePath("/tmp/host.jpg"), 0);
    EXPECT_EQ(pCam->SetOsdText("cam 3", 8, 8), 0);
    EXPECT_EQ(pCam->OpenMainStreamVideo("/nonexistent/host/clip.mp4"), -1);
    EXPECT_EQ(pCam->OpenMainStreamVideo(nullptr), -1);
    EXPECT_FALSE(pCam->IsMainVideoOpenSuc());
    EXPECT_STREQ(pCam->m_szUrl, "") << "a failed open keeps no address";
    EXPECT_EQ(pCam->SetDecodeEnable(false, true), -1);
    EXPECT_EQ(pCam->getFrameRate(), -1);
    EXPECT_EQ(pCam->StartSaveAvi(1), -1);
    EXPECT_EQ(pCam->StopSaveAvi(7), 0);
    EXPECT_EQ(pCam->CloseMainStreamVideo(), 0);
    pCam->SendVideoCond();

    CIpCamera copy;
    copy = *pCam;
    EXPECT_STREQ(copy.m_szName, "host cam");
    delete pCam;
    EXPECT_EQ(copy.IpcLock(), 0);
    EXPECT_EQ(copy.IpcUnLock(), 0);

    Notify n;
    EXPECT_EQ(static_cast<CMotionNotify &>(n).OnMotionNotify(1, 1), 1);
}

TEST(HostApi, LayoutFollowsTheInterfaceOrder)
{
    // Members are public and in interface order, ints 32-bit.
    EXPECT_LT(offsetof(CIpCamera, m_nWidth), offsetof(CIpCamera, m_VideoSession));
    EXPECT_LT(offsetof(CIpCamera, m_VideoSession), offsetof(CIpCamera, m_hIpcLock));
    EXPECT_LT(offsetof(CIpCamera, m_nRecordCounter), offsetof(CIpCamera, m_pVideoUser));
    EXPECT_LT(offsetof(CIpCamera, m_bAudioEnable), offsetof(CIpCamera, m_pfnDisplayRefresh));
    EXPECT_LT(offsetof(CIpCamera, m_MaskArea), offsetof(CIpCamera, m_hOpenLock));
    EXPECT_EQ(offsetof(CVideoSession, m_VideoContext), 0u);
    EXPECT_EQ(offsetof(CVideoSession, m_szReserved) - offsetof(CVideoSession, m_szName), 256u);
    EXPECT_EQ(sizeof(((CIpCamera *)nullptr)->m_nRecordType), 4u);
}
