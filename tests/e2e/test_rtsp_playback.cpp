// Playback through CIpCamera against the RTSP test camera: the decode and
// audio switches, both picture layouts with a mask, data payloads, pause,
// smooth stream, the callbacks a close clears, connect types and addresses
// that cannot be opened.

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <atomic>
#include <thread>

#include "E2eSupport.h"

namespace {

const int kW = kE2eW, kH = kE2eH;

// One camera serving the standard clip with audio and KLV data to every
// test of the suite.
class RtspPlayback : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!E2eHaveRtspCamera())
            return;
        s_server = new RtspServer();
        s_server->nPid = -1;
        std::string clip = E2eStandardClip();
        if (!clip.empty())
            RtspServerStart(s_server, {"--file", clip, "--audio", "aac", "--data"});
    }
    static void TearDownTestSuite()
    {
        if (s_server)
            RtspServerStop(s_server);
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override
    {
        E2E_REQUIRE_RTSP_CAMERA();
        ASSERT_GT(s_server->nPid, 0) << "the clip or the RTSP test camera could not be made";
    }
    static RtspServer *s_server;
};
RtspServer *RtspPlayback::s_server = nullptr;

TEST_F(RtspPlayback, NothingIsDeliveredUntilDecodingIsOnAndAudioOnlyWithItsSwitch)
{
    CIpCamera cam(1, "decode-switch", "");
    Recorder rec;
    RecorderAttach(&rec, &cam, 0);
    cam.SetConnectType(1);
    cam.m_bAudioEnable = 1;
    ASSERT_EQ(0, cam.OpenMainStreamVideo(s_server->sUrl.c_str()));
    usleep(1500 * 1000);
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(0, rec.nFrames + rec.nNullFrames + rec.nDisplay + rec.nAudioEvents);
        EXPECT_EQ(0, rec.nDataEvents) << "data reached the host before decoding was switched on";
    }
    cam.m_bAudioEnable = 0;
    // Only the second argument counts.
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 25; }, 5000));
    EXPECT_EQ(0, RecorderCount(&rec, &Recorder::nAudioEvents)) << "audio without the audio switch";
    cam.m_bAudioEnable = 1;
    EXPECT_TRUE(E2eWaitFor([&] { return RecorderCount(&rec, &Recorder::nAudioEvents) > 0; }, 3000));
    ASSERT_EQ(0, cam.SetDecodeEnable(true, false));
    usleep(300 * 1000);  // what was already decoded may still arrive
    int n = RecorderFrames(&rec);
    usleep(1000 * 1000);
    EXPECT_EQ(n, RecorderFrames(&rec)) << "frames kept coming after SetDecodeEnable(x, false)";
    std::lock_guard<std::mutex> g(rec.lock);
    EXPECT_GT(rec.nDataEvents, 0);
    EXPECT_EQ(0, rec.bWrongCamera) << "a callback's first argument was not the camera";
    EXPECT_EQ(kW, cam.m_nWidth);
    EXPECT_EQ(kH, cam.m_nHeight);
}

// Classic pictures are BGR bottom row first, planar ones I420 without
// padding; a mask given in a 640x480 reference space blacks out its
// top-based rectangle in both and leaves the rest alone.
TEST_F(RtspPlayback, BothLayoutsCarryTheMarkersAndTheMask)
{
    ClipMarkers m = E2eMarkers(kW, kH);
    for (int planar = 0; planar <= 1; planar++) {
        SCOPED_TRACE(planar ? "planar" : "classic");
        CIpCamera cam(2, "layout", "");
        MaskAreaParam mask = {0, 1, 2 * (m.nRedX - 8), 2 * (m.nRedY - 6), 32, 24, 2 * kW, 2 * kH, 0};
        ASSERT_EQ(0, cam.SetMaskAreaParam(&mask));
        Recorder rec;
        ASSERT_EQ(0, E2ePlay(&cam, &rec, s_server->sUrl, planar, 1));
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 1; }, 5000));
        cam.CloseMainStreamVideo();
        std::lock_guard<std::mutex> g(rec.lock);
        ASSERT_EQ(kW, rec.nWidth);
        ASSERT_EQ(kH, rec.nHeight);
        ASSERT_EQ((size_t)kW * kH * (planar ? 3 : 6) / 2, rec.first.size());
        // The stream starts at the clip's first key frame.
        EXPECT_EQ(0, rec.nFirstCounter % 25);
        int rx = m.nRedX + 10;  // inside the red box, right of the mask
        if (planar) {
            const unsigned char *y = rec.first.data();
            const unsigned char *u = y + kW * kH;
            const unsigned char *v = y + kW * kH * 5 / 4;
            int cw = kW / 2;
            // BT.601 limited range: red Y 81 U 90 V 240; blue Y 41 U 240 V 110.
            EXPECT_NEAR(81, y[m.nRedY * kW + rx], 12);
            EXPECT_NEAR(90, u[(m.nRedY / 2) * cw + rx / 2], 16);
            EXPECT_NEAR(240, v[(m.nRedY / 2) * cw + rx / 2], 16);
            EXPECT_NEAR(41, y[m.nBlueY * kW + m.nBlueX], 12);
            EXPECT_NEAR(240, u[(m.nBlueY / 2) * cw + m.nBlueX / 2], 16);
            EXPECT_NEAR(110, v[(m.nBlueY / 2) * cw + m.nBlueX / 2], 16);
            EXPECT_EQ(16, y[m.nRedY * kW + m.nRedX]) << "masked luma not black";
            EXPECT_EQ(128, u[(m.nRedY / 2) * cw + m.nRedX / 2]);
        } else {
            const unsigned char *red = E2eBgrAt(rec.first, rx, m.nRedY);
            const unsigned char *blue = E2eBgrAt(rec.first, m.nBlueX, m.nBlueY);
            EXPECT_LT(red[0], 70);
            EXPECT_LT(red[1], 70);
            EXPECT_GT(red[2], 180) << "top-left marker is not red: picture upside down or channels swapped";
            EXPECT_GT(blue[0], 180) << "bottom-right marker is not blue";
            EXPECT_LT(blue[1], 70);
            EXPECT_LT(blue[2], 70);
            const unsigned char *p = E2eBgrAt(rec.first, m.nRedX, m.nRedY);
            EXPECT_EQ(0, p[0] | p[1] | p[2]) << "masked pixel not black";
        }
    }
}

TEST_F(RtspPlayback, PauseRepeatsThePictureAfterEachDisplayRefresh)
{
    CIpCamera cam(6, "pause", "");
    Recorder rec;
    EXPECT_EQ(-1, cam.SetPauseReadFrame(1)) << "pause on a closed camera";
    RecorderAttach(&rec, &cam, 0);
    cam.SetConnectType(1);
    ASSERT_EQ(0, cam.OpenMainStreamVideo(s_server->sUrl.c_str()));
    EXPECT_EQ(-1, cam.SetPauseReadFrame(-1));
    // Paused before any picture: refresh events, each followed by an empty
    // video event.
    ASSERT_EQ(0, cam.SetPauseReadFrame(1));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderCount(&rec, &Recorder::nDisplay) >= 10; }, 3000));
    {
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(0, rec.nFrames);
        EXPECT_GE(rec.nNullFrames, rec.nDisplay - 1);
        EXPECT_GE(rec.nVideoAfterDisplay, rec.nDisplay - 1);
    }
    ASSERT_EQ(0, cam.SetPauseReadFrame(0));
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 5; }, 5000));
    int nDisplay = RecorderCount(&rec, &Recorder::nDisplay);
    usleep(500 * 1000);
    EXPECT_EQ(nDisplay, RecorderCount(&rec, &Recorder::nDisplay)) << "display refresh without pause";
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
    nDisplay = RecorderCount(&rec, &Recorder::nDisplay);
    usleep(300 * 1000);
    EXPECT_EQ(nDisplay, RecorderCount(&rec, &Recorder::nDisplay));
}

// Each KLV payload arrives whole and in order; a close clears the video
// and display callbacks but keeps the data and audio ones.
TEST_F(RtspPlayback, DataPayloadsAndTheCallbacksACloseClears)
{
    CIpCamera cam(7, "reopen", "");
    Recorder rec;
    ASSERT_EQ(0, E2ePlay(&cam, &rec, s_server->sUrl, 0, 1));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderCount(&rec, &Recorder::nDataEvents) >= 8; }, 6000));
    EXPECT_EQ(0, cam.CloseMainStreamVideo());
    EXPECT_EQ(0, cam.CloseMainStreamVideo()) << "a second close";
    EXPECT_FALSE(cam.IsMainVideoOpenSuc());
    EXPECT_EQ(-1, cam.SetDecodeEnable(false, true));
    {
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

    int nFrames = RecorderFrames(&rec);
    int nData = RecorderCount(&rec, &Recorder::nDataEvents);
    int nAudio = RecorderCount(&rec, &Recorder::nAudioEvents);
    cam.m_bAudioEnable = 1;
    ASSERT_EQ(0, cam.OpenMainStreamVideo(s_server->sUrl.c_str()));
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    ASSERT_EQ(0, cam.SetPauseReadFrame(1));  // would raise display refreshes
    EXPECT_TRUE(E2eWaitFor([&] { return RecorderCount(&rec, &Recorder::nDataEvents) >= nData + 5; }, 5000))
        << "the data callback did not survive the close";
    EXPECT_TRUE(E2eWaitFor([&] { return RecorderCount(&rec, &Recorder::nAudioEvents) > nAudio; }, 5000))
        << "the audio callback did not survive the close";
    EXPECT_EQ(nFrames, RecorderFrames(&rec)) << "video callback still registered after close";
    int nDisplay = RecorderCount(&rec, &Recorder::nDisplay);
    // Registered again, pictures flow.
    cam.SetVideoBufCallBack(RecorderVideo, &rec);
    ASSERT_EQ(0, cam.SetPauseReadFrame(0));
    EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= nFrames + 5; }, 5000));
    cam.CloseMainStreamVideo();
    EXPECT_EQ(0, nDisplay) << "display callback still registered after close";
}

// Smooth-stream mode: the decode thread takes a video packet only when the
// host's SendVideoCond ticker releases one, or after a second without.
TEST_F(RtspPlayback, SmoothStreamFollowsTheHostsTicker)
{
    CIpCamera cam(9, "smooth", "");
    Recorder rec;
    cam.SetSmoothStream(1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, E2ePlay(&cam, &rec, s_server->sUrl, 0, 1));
    // No ticker: about one picture a second, while the read thread queues
    // 25 pictures and their sound a second: past 100 packets the queue is
    // cleared.
    usleep(3000 * 1000);
    int nIdle = RecorderFrames(&rec);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_LE(nIdle, 5) << "pictures delivered without SendVideoCond";
    EXPECT_NE(std::string::npos, log.find("]GetAVPktListElmCount: 101"));
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

// A camera that stops answering mid-stream (frozen, or gone without a
// goodbye): the stream waits for data rather than finishing at once, and a
// close during the blocked read returns promptly.
TEST(RtspSilence, CloseDuringABlockedReadReturnsPromptly)
{
    E2E_REQUIRE_RTSP_CAMERA();
    for (int sig : {SIGSTOP, SIGKILL}) {
        SCOPED_TRACE(sig == SIGSTOP ? "frozen camera" : "camera gone");
        RtspServer server;
        ASSERT_EQ(0, RtspServerStart(&server, {"--file", E2eStandardClip()}));
        CIpCamera cam(12, "silence", "");
        Recorder rec;
        ASSERT_EQ(0, E2ePlay(&cam, &rec, server.sUrl, sig == SIGKILL, 1));
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > 0; }, 8000));
        kill(server.nPid, sig);
        usleep(700 * 1000);
        EXPECT_FALSE(cam.IsMainVideoFinish());
        double t0 = E2eNow();
        EXPECT_EQ(0, cam.CloseMainStreamVideo());
        EXPECT_LT(E2eNow() - t0, 1.5);
        if (sig == SIGSTOP)
            kill(server.nPid, SIGCONT);
        RtspServerKill(&server);
    }
}

// Each failing address fails the open quickly with the camera's line and
// leaves the camera closed; a failed reopen closes what was playing.
TEST_F(RtspPlayback, UnreachableAddressesFailTheOpen)
{
    const std::string refused = E2eRefusedUrl();
    const std::string missing = std::string(IPCAMERA_BINARY_DIR) + "/e2e-media/no-such-clip.mp4";
    // The raw HTTP path too: the refused port with http:// in front.
    const std::string refusedHttp = "http://" + refused.substr(7);
    for (const std::string &url : {refused, std::string("rtsp://camera.invalid/cam"), missing,
                                   std::string("garbage://x"), refusedHttp}) {
        SCOPED_TRACE(url);
        CIpCamera cam(31, "bad", "");
        cam.SetConnectType(0);
        testing::internal::CaptureStderr();
        double t0 = E2eNow();
        int r = cam.OpenMainStreamVideo(url.c_str());
        double seconds = E2eNow() - t0;
        std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(-1, r);
        EXPECT_LT(seconds, 15.0);
        EXPECT_FALSE(cam.IsMainVideoOpenSuc());
        EXPECT_FALSE(cam.IsMainVideoFinish());
        EXPECT_NE(std::string::npos, text.find("OpenMainStreamVideo faild. id:31 sUrl:" + url)) << text;
        EXPECT_EQ(-1, cam.SetDecodeEnable(false, true));
        EXPECT_EQ(-1.0f, cam.getBitRate());
        EXPECT_EQ(-1, cam.getFrameRate());
        EXPECT_EQ(0, cam.CloseMainStreamVideo());
    }
    CIpCamera cam(32, "reopen-fail", "");
    cam.SetConnectType(1);
    ASSERT_EQ(0, cam.OpenMainStreamVideo(s_server->sUrl.c_str()));
    EXPECT_EQ(-1, cam.OpenMainStreamVideo(refused.c_str()));
    EXPECT_FALSE(cam.IsMainVideoOpenSuc());
    EXPECT_STREQ(s_server->sUrl.c_str(), cam.m_szUrl) << "the last good address is kept";
}

TEST(RtspConnect, TcpOnlyServerPlaysWithConnectTypeOneAndWithFallback)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string clip = E2eStandardClip();
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--tcp-only"}));
    for (int type : {1, 0}) {
        SCOPED_TRACE(type);
        CIpCamera cam(30, "tcp-only", "");
        Recorder rec;
        testing::internal::CaptureStderr();
        int r = E2ePlay(&cam, &rec, server.sUrl, 0, type);
        std::string text = testing::internal::GetCapturedStderr();
        ASSERT_EQ(0, r);
        if (type == 1) {
            // Connect type 1 asks for TCP by appending "?tcp" to the address.
            EXPECT_NE(std::string::npos, text.find("url:" + server.sUrl + "?tcp")) << text;
            EXPECT_NE(std::string::npos, text.find("tcp video:H264")) << text;
        } else {
            EXPECT_NE(std::string::npos, text.find("udp video:H264")) << text;
        }
        EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 10; }, 6000));
        EXPECT_GE(cam.getFrameRate(), 0);
        cam.CloseMainStreamVideo();
        EXPECT_FALSE(cam.IsMainVideoOpenSuc());
    }
    RtspServerStop(&server);
}

// MPEG-4 Part 2 in the classic layout holds back its first 21 pictures;
// the counter box tells which source picture came first.
TEST(RtspMpeg4, ClassicHoldsBackTheFirst21Pictures)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string clip = E2eClip("mpeg4_4s.mp4", {"--video", "mpeg4", "--audio", "none",
                                                "--seconds", "4", "--gop", "25"});
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--video", "mpeg4"}));
    for (int planar = 0; planar <= 1; planar++) {
        CIpCamera cam(8, "mpeg4", "");
        Recorder rec;
        ASSERT_EQ(0, E2ePlay(&cam, &rec, server.sUrl, planar, 1));
        EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 3; }, 5000));
        cam.CloseMainStreamVideo();
        std::lock_guard<std::mutex> g(rec.lock);
        EXPECT_EQ(planar ? 0 : 21, rec.nFirstCounter % 25) << (planar ? "planar" : "classic");
        EXPECT_EQ(kW, rec.nWidth);
    }
    RtspServerStop(&server);
}

}  // namespace
