// 200 loss/recover cycles: four reconnecting cameras against a raw HTTP
// camera that ends every connection after a few frames. Memory and thread
// count stay flat, and closing the cameras leaves no thread behind (run it
// in a -DIPCAMERA_SANITIZE=ON build for LeakSanitizer's verdict).

#include <gtest/gtest.h>

#include <algorithm>

#include "E2eSupport.h"

namespace {

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
        for (CIpCamera *p : cams) {
            IpCameraHealth h;
            p->GetHealth(&h);
            n += h.nReconnects;
        }
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
    RecordProperty("rss_warm_kb", (int)nWarmRss);
    RecordProperty("rss_end_kb", (int)nEndRss);
    RecordProperty("threads_warm_peak", nWarmPeak);
    RecordProperty("threads_peak", nPeak);
    EXPECT_LE(nPeak, nWarmPeak + 2) << "threads pile up";
#ifndef __SANITIZE_ADDRESS__
    // (AddressSanitizer holds freed memory back on purpose; there its leak
    // check at exit is the verdict.)
    EXPECT_LT(nEndRss - nWarmRss, 1024) << "memory grows with the cycles";
#endif
    for (CIpCamera *p : cams)
        delete p;
    EXPECT_EQ(nBaseThreads, E2eThreadCount()) << "a camera left a thread behind";
    RtspServerStop(&server);
}

}  // namespace
