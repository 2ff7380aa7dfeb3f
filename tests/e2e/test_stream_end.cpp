// A stream that stops delivering ends by itself about 40 seconds after its
// last packet: a camera that dies mid-stream (over UDP and over TCP) and a
// file that has been read to its end. All three run side by side in one
// test so the wait is paid once; each then closes without hanging.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace {

struct Watched {
    const char *pLabel;
    CIpCamera *pCam;
    Recorder rec;
    double finishedAt;  // seconds after the last data, -1 not yet
};

TEST(StreamEnd, DeadCameraAndFileEndFinishAfterFortySeconds)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string clip = E2eStandardClip();
    std::string shortClip = E2eClip("h264_2s.mp4", {"--video", "h264", "--audio", "none", "--seconds",
                                                    "2", "--no-counter"});
    ASSERT_FALSE(clip.empty());
    ASSERT_FALSE(shortClip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--audio", "aac", "--data"}));

    CIpCamera udp(60, "dies-udp", ""), tcp(61, "dies-tcp", ""), file(62, "file-end", "");
    Watched w[3] = {{"udp", &udp, {}, -1}, {"tcp", &tcp, {}, -1}, {"file", &file, {}, -1}};
    // The connect type is read at each open: the last set before it wins.
    const int types[3] = {0, 1, 0};
    const std::string urls[3] = {server.sUrl, server.sUrl, shortClip};
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(0, E2ePlay(w[i].pCam, &w[i].rec, urls[i], 0, types[i])) << w[i].pLabel;
    }
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&w[0].rec) > 10 && RecorderFrames(&w[1].rec) > 10; },
                           5000));
    // The camera loses power: no TEARDOWN, no RTCP BYE.
    RtspServerKill(&server);
    double t0 = E2eNow();
    EXPECT_FALSE(udp.IsMainVideoFinish());
    EXPECT_EQ(0, udp.GetFinishStatus());

    E2eWaitFor(
        [&] {
            for (Watched &x : w)
                if (x.finishedAt < 0 && x.pCam->IsMainVideoFinish())
                    x.finishedAt = E2eNow() - t0;
            return w[0].finishedAt >= 0 && w[1].finishedAt >= 0 && w[2].finishedAt >= 0;
        },
        70 * 1000);
    for (Watched &x : w) {
        SCOPED_TRACE(x.pLabel);
        // The file's last packet was read right after the open, a few
        // seconds before the camera died.
        double lo = x.pCam == &file ? 30 : 39;
        EXPECT_GE(x.finishedAt, lo);
        EXPECT_LE(x.finishedAt, 50);
        EXPECT_NE(0, x.pCam->GetFinishStatus());
        EXPECT_TRUE(x.pCam->IsMainVideoOpenSuc()) << "a finished stream stays open until closed";
        double c0 = E2eNow();
        EXPECT_EQ(0, x.pCam->CloseMainStreamVideo());
        EXPECT_LT(E2eNow() - c0, 3.0) << "close hung";
        EXPECT_FALSE(x.pCam->IsMainVideoFinish());
    }
}

}  // namespace
