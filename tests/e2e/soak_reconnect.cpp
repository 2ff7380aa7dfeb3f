// 200 loss/recover cycles of four reconnecting cameras against a raw HTTP
// camera that ends each connection after 10 frames: memory and threads stay
// flat, and no thread is left behind (LeakSanitizer: -DIPCAMERA_SANITIZE=ON).

#include <gtest/gtest.h>

#include <algorithm>

#include "E2eSupport.h"

namespace {

#ifdef __SANITIZE_ADDRESS__
// AddressSanitizer keeps freed memory back: there its leak check decides.
const long kRssSlackKb = 1L << 30;
#else
const long kRssSlackKb = 1024;
#endif

TEST(ReconnectSoak, TwoHundredCyclesKeepMemoryAndThreadsFlat)
{
    std::string clip = E2eStandardClip();
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, E2eServerStart(IPCAMERA_TEST_HTTP_CAMERA, &server,
                                {"--video", clip, "--loop", "--close-after", "10"}));
    const int kCameras = 4, kCycles = 200, kWarmCycles = 100;
    int nBaseThreads = E2eThreadCount();
    std::vector<CIpCamera *> cams;
    std::vector<Recorder> recs(kCameras);
    for (int i = 0; i < kCameras; i++) {
        CIpCamera *p = new CIpCamera(80 + i, "cycles", "");
        RecorderAttach(&recs[i], p, i % 2);
        p->SetD3DDisplay(i % 2);
        p->SetConnectType(2);
        ASSERT_EQ(0, p->SetAutoReconnect(true, 1000));
        ASSERT_EQ(0, p->OpenMainStreamVideo(server.sUrl.c_str()));
        ASSERT_EQ(0, p->SetDecodeEnable(false, true));
        cams.push_back(p);
    }
    auto cycles = [&] {
        int n = 0;
        IpCameraHealth h;
        for (CIpCamera *p : cams)
            n += p->GetHealth(&h) == 0 ? h.nReconnects : 0;
        return n;
    };
    // Thread peaks and memory, once warm and at the end.
    int nWarmPeak = 0, nPeak = 0;
    long nWarmRss = 0;
    double end = E2eNow() + 400;
    while (cycles() < kCycles && E2eNow() < end) {
        int n = E2eThreadCount();
        if (cycles() < kWarmCycles) {
            nWarmPeak = std::max(nWarmPeak, n);
            nWarmRss = E2eRssKb();
        } else {
            nPeak = std::max(nPeak, n);
        }
        usleep(20000);
    }
    long nEndRss = E2eRssKb();
    ASSERT_GE(cycles(), kCycles);
    for (int i = 0; i < kCameras; i++)
        EXPECT_GT(RecorderFrames(&recs[i]), kCycles / kCameras) << "camera " << i << " played on";
    EXPECT_LE(nPeak, nWarmPeak + 2) << "threads pile up";
    EXPECT_LT(nEndRss - nWarmRss, kRssSlackKb) << "memory grows with the cycles";
    for (CIpCamera *p : cams)
        delete p;
    EXPECT_EQ(nBaseThreads, E2eThreadCount()) << "a camera left a thread behind";
    RtspServerStop(&server);
}

}  // namespace
