// Reaching a camera: connect types against a server that refuses UDP, and
// addresses that cannot be opened.

#include <gtest/gtest.h>
#include <stdio.h>

#include "E2eSupport.h"

namespace {

bool Contains(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

class RtspConnect : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!E2eHaveRtspCamera())
            GTEST_SKIP() << "ipcam-test-rtsp was not built (gst-rtsp-server missing)";
        clip = E2eClip("h264_aac_6s.mp4",
                       {"--video", "h264", "--audio", "aac", "--seconds", "6", "--gop", "25"});
        ASSERT_FALSE(clip.empty());
    }
    std::string clip;
};

TEST_F(RtspConnect, TcpOnlyServerPlaysWithConnectTypeOneAndWithFallback)
{
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--tcp-only"}));
    for (int type : {1, 0}) {
        SCOPED_TRACE(type);
        CIpCamera cam(30, "tcp-only", "");
        Recorder rec;
        RecorderInit(&rec, &cam, 0);
        RecorderAttach(&rec, &cam);
        cam.SetConnectType(type);
        LogCapture log;
        LogCaptureBegin(&log);
        int r = cam.OpenMainStreamVideo(server.sUrl.c_str());
        std::string text = LogCaptureEnd(&log);
        ASSERT_EQ(0, r);
        if (type == 1) {
            // Connect type 1 asks for TCP by appending "?tcp" to the address.
            EXPECT_TRUE(Contains(text, "url:" + server.sUrl + "?tcp")) << text;
            EXPECT_TRUE(Contains(text, "tcp video:H264")) << text;
        } else {
            EXPECT_TRUE(Contains(text, "udp video:H264")) << text;
        }
        ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
        EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 10; }, 6000));
        EXPECT_GE(cam.getFrameRate(), 0);
        cam.CloseMainStreamVideo();
        EXPECT_FALSE(cam.IsMainVideoOpenSuc());
    }
    RtspServerStop(&server);
}

// Each failing address fails the open with the camera's, the session's and
// the stream's lines, quickly, and leaves the camera closed.
TEST_F(RtspConnect, UnreachableAddressesFailTheOpen)
{
    char refused[64];
    snprintf(refused, sizeof refused, "rtsp://127.0.0.1:%d/cam", E2eClosedPort());
    const std::string missing = std::string(IPCAMERA_BINARY_DIR) + "/e2e-media/no-such-clip.mp4";
    const char *urls[] = {refused, "rtsp://camera.invalid/cam", missing.c_str(), "garbage://x"};
    for (const char *url : urls) {
        SCOPED_TRACE(url);
        CIpCamera cam(31, "bad", "");
        cam.SetConnectType(0);
        LogCapture log;
        LogCaptureBegin(&log);
        double t0 = E2eNow();
        int r = cam.OpenMainStreamVideo(url);
        double seconds = E2eNow() - t0;
        std::string text = LogCaptureEnd(&log);
        EXPECT_EQ(-1, r);
        EXPECT_LT(seconds, 15.0);
        EXPECT_FALSE(cam.IsMainVideoOpenSuc());
        EXPECT_FALSE(cam.IsMainVideoFinish());
        EXPECT_TRUE(Contains(text, std::string("OpenMainStreamVideo faild. id:31 sUrl:") + url)) << text;
        EXPECT_TRUE(Contains(text, "Video Init failed m_VideoContext is NULL")) << text;
        EXPECT_TRUE(Contains(text, "udp avformat_open_input error ret:")) << text;
        EXPECT_EQ(-1, cam.SetDecodeEnable(false, true));
        EXPECT_EQ(-1.0f, cam.getBitRate());
        EXPECT_EQ(-1, cam.getFrameRate());
        EXPECT_EQ(0, cam.CloseMainStreamVideo());
    }
}

// A failed open closes the stream that was playing before it.
TEST_F(RtspConnect, FailedReopenLeavesTheCameraClosed)
{
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip}));
    CIpCamera cam(32, "reopen-fail", "");
    cam.SetConnectType(1);
    ASSERT_EQ(0, cam.OpenMainStreamVideo(server.sUrl.c_str()));
    char refused[64];
    snprintf(refused, sizeof refused, "rtsp://127.0.0.1:%d/cam", E2eClosedPort());
    EXPECT_EQ(-1, cam.OpenMainStreamVideo(refused));
    EXPECT_FALSE(cam.IsMainVideoOpenSuc());
    EXPECT_STREQ((server.sUrl).c_str(), cam.m_szUrl) << "the last good address is kept";
    RtspServerStop(&server);
}

}  // namespace
