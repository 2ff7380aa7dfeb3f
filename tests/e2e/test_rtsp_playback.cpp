// Playback through CIpCamera against the RTSP test camera: the decode
// switch, both picture layouts, data payloads, the audio switch, pause and
// the callbacks a close clears.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "E2eSupport.h"

namespace {

const int kW = 320, kH = 240;

class RtspPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!E2eHaveRtspCamera())
            return;
        s_clip = new std::string(E2eClip("h264_aac_6s.mp4", {"--video", "h264", "--audio", "aac",
                                                            "--seconds", "6", "--gop", "25"}));
        s_server = new RtspServer();
        if (!s_clip->empty())
            RtspServerStart(s_server, {"--file", *s_clip, "--audio", "aac", "--data"});
    }
    static void TearDownTestSuite()
    {
        if (s_server)
            RtspServerStop(s_server);
        delete s_server;
        delete s_clip;
        s_server = nullptr;
        s_clip = nullptr;
    }
    void SetUp() override
    {
        if (!E2eHaveRtspCamera())
            GTEST_SKIP() << "ipcam-test-rtsp was not built (gst-rtsp-server missing)";
        ASSERT_FALSE(s_clip->empty()) << "ffmpeg could not generate the test clip";
        ASSERT_GT(s_server->nPid, 0) << "the RTSP test camera did not start";
    }
    // Opens the shared camera's stream with all four callbacks registered.
    void Open(CIpCamera *cam, Recorder *rec, int bPlanar, int nConnectType = 1)
    {
        RecorderInit(rec, cam, bPlanar);
        RecorderAttach(rec, cam);
        cam->SetD3DDisplay(bPlanar);
        cam->SetConnectType(nConnectType);
        ASSERT_EQ(0, cam->OpenMainStreamVideo(s_server->sUrl.c_str()));
        ASSERT_TRUE(cam->IsMainVideoOpenSuc());
    }
    static std::string *s_clip;
    static RtspServer *s_server;
};
std::string *RtspPlayback::s_clip = nullptr;
RtspServer *RtspPlayback::s_server = nullptr;

TEST_F(RtspPlayback, NothingIsDeliveredUntilDecodingIsSwitchedOnAndOffAgain)
{
    CIpCamera cam(1, "decode-switch", "");
    Recorder rec;
    Open(&cam, &rec, 0);
    cam.m_bAudioEnable = 1;
    usleep(1500 * 1000);
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(0, rec.nFrames);
        EXPECT_EQ(0, rec.nNullFrames);
        EXPECT_EQ(0, rec.nAudioEvents);
        EXPECT_EQ(0, rec.nDataEvents) << "data reached the host before decoding was switched on";
        EXPECT_EQ(0, rec.nDisplay);
    }
    // Only the second argument counts.
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 10; }, 5000));
    ASSERT_EQ(0, cam.SetDecodeEnable(true, false));
    usleep(300 * 1000);  // what was already decoded may still arrive
    int n = RecorderFrames(&rec);
    usleep(1000 * 1000);
    EXPECT_EQ(n, RecorderFrames(&rec)) << "frames kept coming after SetDecodeEnable(x, false)";
    std::lock_guard<std::mutex> g(rec.lock);
    EXPECT_GT(rec.nAudioEvents, 0);
    EXPECT_GT(rec.nDataEvents, 0);
    EXPECT_EQ(0, rec.bWrongCamera) << "a callback's first argument was not the camera";
    EXPECT_EQ(kW, cam.m_nWidth);
    EXPECT_EQ(kH, cam.m_nHeight);
}

TEST_F(RtspPlayback, ClassicPicturesAreBgrBottomRowFirst)
{
    CIpCamera cam(2, "bgr", "");
    Recorder rec;
    Open(&cam, &rec, 0);
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 1; }, 5000));
    cam.CloseMainStreamVideo();
    std::lock_guard<std::mutex> g(rec.lock);
    ASSERT_EQ(kW, rec.nWidth);
    ASSERT_EQ(kH, rec.nHeight);
    ASSERT_EQ((size_t)kW * kH * 3, rec.first.size());
    ClipMarkers m = E2eMarkers(kW, kH);
    // Picture row y sits at memory row h-1-y; bytes are blue, green, red.
    const unsigned char *red = &rec.first[((size_t)(kH - 1 - m.nRedY) * kW + m.nRedX) * 3];
    const unsigned char *blue = &rec.first[((size_t)(kH - 1 - m.nBlueY) * kW + m.nBlueX) * 3];
    EXPECT_LT(red[0], 70);
    EXPECT_LT(red[1], 70);
    EXPECT_GT(red[2], 180) << "top-left marker is not red: picture upside down or channels swapped";
    EXPECT_GT(blue[0], 180) << "bottom-right marker is not blue";
    EXPECT_LT(blue[1], 70);
    EXPECT_LT(blue[2], 70);
    // The stream starts at the clip's first key frame.
    EXPECT_EQ(0, rec.nFirstCounter % 25);
}

TEST_F(RtspPlayback, PlanarPicturesAreI420WithoutPadding)
{
    CIpCamera cam(3, "i420", "");
    Recorder rec;
    Open(&cam, &rec, 1);
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 1; }, 5000));
    cam.CloseMainStreamVideo();
    std::lock_guard<std::mutex> g(rec.lock);
    ASSERT_EQ(kW, rec.nWidth);
    ASSERT_EQ(kH, rec.nHeight);
    const unsigned char *y = rec.first.data();
    const unsigned char *u = y + kW * kH;            // 76,800
    const unsigned char *v = y + kW * kH * 5 / 4;    // 96,000
    ClipMarkers m = E2eMarkers(kW, kH);
    int cw = kW / 2;
    // BT.601 limited range: red Y 81 U 90 V 240; blue Y 41 U 240 V 110.
    EXPECT_NEAR(81, y[m.nRedY * kW + m.nRedX], 12);
    EXPECT_NEAR(90, u[(m.nRedY / 2) * cw + m.nRedX / 2], 16);
    EXPECT_NEAR(240, v[(m.nRedY / 2) * cw + m.nRedX / 2], 16);
    EXPECT_NEAR(41, y[m.nBlueY * kW + m.nBlueX], 12);
    EXPECT_NEAR(240, u[(m.nBlueY / 2) * cw + m.nBlueX / 2], 16);
    EXPECT_NEAR(110, v[(m.nBlueY / 2) * cw + m.nBlueX / 2], 16);
    EXPECT_EQ(0, rec.nFirstCounter % 25);
}

TEST_F(RtspPlayback, DataCallbackGetsEachKlvPayloadWhole)
{
    CIpCamera cam(4, "data", "");
    Recorder rec;
    Open(&cam, &rec, 0);
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor(
        [&] {
            std::lock_guard<std::mutex> g(rec.lock);
            return rec.nDataEvents >= 8;
        },
        6000));
    cam.CloseMainStreamVideo();
    std::lock_guard<std::mutex> g(rec.lock);
    static const unsigned char key[4] = {0x06, 0x0E, 0x2B, 0x34};
    long long prev = -1;
    for (const std::vector<unsigned char> &d : rec.data) {
        // 16-byte key, length 12, "IPCD", 64-bit counter.
        ASSERT_EQ(29u, d.size());
        EXPECT_EQ(0, memcmp(d.data(), key, 4));
        EXPECT_EQ(12, d[16]);
        EXPECT_EQ(0, memcmp(&d[17], "IPCD", 4));
        long long c = 0;
        for (int i = 0; i < 8; i++)
            c = (c << 8) | d[21 + i];
        if (prev >= 0) {
            EXPECT_EQ(prev + 1, c) << "data payloads lost or reordered over TCP";
        }
        prev = c;
    }
}

TEST_F(RtspPlayback, AudioReachesTheHostOnlyWithTheAudioSwitchOn)
{
    CIpCamera cam(5, "audio-switch", "");
    Recorder rec;
    Open(&cam, &rec, 0);
    ASSERT_EQ(0, cam.m_bAudioEnable);
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 25; }, 5000));
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(0, rec.nAudioEvents);
    }
    cam.m_bAudioEnable = 1;
    EXPECT_TRUE(E2eWaitFor(
        [&] {
            std::lock_guard<std::mutex> g(rec.lock);
            return rec.nAudioEvents > 0;
        },
        3000));
}

TEST_F(RtspPlayback, PauseRepeatsThePictureAfterEachDisplayRefresh)
{
    CIpCamera cam(6, "pause", "");
    Recorder rec;
    EXPECT_EQ(-1, cam.SetPauseReadFrame(1)) << "pause on a closed camera";
    Open(&cam, &rec, 0);
    EXPECT_EQ(-1, cam.SetPauseReadFrame(-1));
    // Paused before any picture: refresh events, each followed by an empty
    // video event.
    ASSERT_EQ(0, cam.SetPauseReadFrame(1));
    ASSERT_TRUE(E2eWaitFor(
        [&] {
            std::lock_guard<std::mutex> g(rec.lock);
            return rec.nDisplay >= 10;
        },
        3000));
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(0, rec.nFrames);
        EXPECT_GE(rec.nNullFrames, rec.nDisplay - 1);
        EXPECT_GE(rec.nVideoAfterDisplay, rec.nDisplay - 1);
    }
    ASSERT_EQ(0, cam.SetPauseReadFrame(0));
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 5; }, 5000));
    int nDisplay;
    {
        std::lock_guard<std::mutex> g(rec.lock);
        nDisplay = rec.nDisplay;
    }
    usleep(500 * 1000);
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(nDisplay, rec.nDisplay) << "display refresh without pause";
    }
    // Paused while playing: the last picture is shown again, with its size.
    ASSERT_EQ(0, cam.SetPauseReadFrame(1));
    usleep(600 * 1000);
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_GT(rec.nDisplay, nDisplay + 5);
        EXPECT_EQ(kW, rec.nWidth);
        EXPECT_EQ(kH, rec.nHeight);
    }
    // A display switch that is off keeps the refreshes from the host.
    cam.m_bDisplayEnable = 0;
    usleep(100 * 1000);
    {
        std::lock_guard<std::mutex> g(rec.lock);
        nDisplay = rec.nDisplay;
    }
    usleep(300 * 1000);
    std::lock_guard<std::mutex> g(rec.lock);
    EXPECT_EQ(nDisplay, rec.nDisplay);
}

TEST_F(RtspPlayback, CloseClearsVideoAndDisplayCallbacksButNotData)
{
    CIpCamera cam(7, "reopen", "");
    Recorder rec;
    Open(&cam, &rec, 0);
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 3; }, 5000));
    EXPECT_EQ(0, cam.CloseMainStreamVideo());
    EXPECT_EQ(0, cam.CloseMainStreamVideo()) << "a second close";
    EXPECT_FALSE(cam.IsMainVideoOpenSuc());
    EXPECT_EQ(-1, cam.SetDecodeEnable(false, true));

    int nFrames = RecorderFrames(&rec);
    ASSERT_EQ(0, cam.OpenMainStreamVideo(s_server->sUrl.c_str()));
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_EQ(0, cam.SetPauseReadFrame(1));  // would raise display refreshes
    int nData;
    {
        std::lock_guard<std::mutex> g(rec.lock);
        nData = rec.nDataEvents;
    }
    ASSERT_TRUE(E2eWaitFor(
        [&] {
            std::lock_guard<std::mutex> g(rec.lock);
            return rec.nDataEvents >= nData + 5;
        },
        5000))
        << "the data callback did not survive the close";
    int nDisplay;
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(nFrames, rec.nFrames) << "video callback still registered after close";
        nDisplay = rec.nDisplay;
    }
    // Registered again, pictures flow.
    cam.SetVideoBufCallBack(RecorderVideo, &rec);
    ASSERT_EQ(0, cam.SetPauseReadFrame(0));
    EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= nFrames + 5; }, 5000));
    cam.CloseMainStreamVideo();
    std::lock_guard<std::mutex> g(rec.lock);
    EXPECT_EQ(0, nDisplay) << "display callback still registered after close";
}

// Smooth-stream mode: the decode thread takes a video packet only when the
// host's SendVideoCond ticker releases one, or after a second without.
TEST_F(RtspPlayback, SmoothStreamFollowsTheHostsTicker)
{
    CIpCamera cam(9, "smooth", "");
    Recorder rec;
    cam.SetSmoothStream(1);
    Open(&cam, &rec, 0);
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    // No ticker: about one picture a second.
    usleep(3000 * 1000);
    int nIdle = RecorderFrames(&rec);
    EXPECT_LE(nIdle, 5) << "pictures delivered without SendVideoCond";
    // A steady 2 ms ticker: the stream's own rate.
    std::atomic<int> stop(0);
    std::thread ticker([&] {
        while (!stop.load()) {
            cam.SendVideoCond();
            usleep(2000);
        }
    });
    usleep(1000 * 1000);  // the queue built up while idle drains first
    int n0 = RecorderFrames(&rec);
    usleep(2000 * 1000);
    int n1 = RecorderFrames(&rec);
    stop.store(1);
    ticker.join();
    cam.CloseMainStreamVideo();
    printf("smooth: %d pictures idle, %d in two ticked seconds\n", nIdle, n1 - n0);
    EXPECT_GE(n1 - n0, 30) << "two seconds of a 25 fps stream";
    EXPECT_LE(n1 - n0, 80);
}

// MPEG-4 Part 2 in the classic layout holds back its first 21 pictures;
// the counter box tells which source picture came first.
TEST_F(RtspPlayback, Mpeg4ClassicHoldsBackTheFirst21Pictures)
{
    std::string clip = E2eClip("mpeg4_4s.mp4", {"--video", "mpeg4", "--audio", "none",
                                                "--seconds", "4", "--gop", "25"});
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--video", "mpeg4"}));
    for (int planar = 0; planar <= 1; planar++) {
        CIpCamera cam(8, "mpeg4", "");
        Recorder rec;
        RecorderInit(&rec, &cam, planar);
        RecorderAttach(&rec, &cam);
        cam.SetD3DDisplay(planar);
        cam.SetConnectType(1);
        ASSERT_EQ(0, cam.OpenMainStreamVideo(server.sUrl.c_str()));
        ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
        EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 3; }, 5000));
        cam.CloseMainStreamVideo();
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(planar ? 0 : 21, rec.nFirstCounter % 25) << (planar ? "planar" : "classic");
        EXPECT_EQ(kW, rec.nWidth);
    }
    RtspServerStop(&server);
}

}  // namespace
