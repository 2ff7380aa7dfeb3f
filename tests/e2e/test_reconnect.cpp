// Reconnect on: cameras that die, come back, start late or close their
// connection play on without any host call; the state events arrive in
// the documented order; close returns within 200 ms in every state.

#include <gtest/gtest.h>
#include <glob.h>

#include <regex>

#include "E2eSupport.h"

namespace {

// The state events one camera raised, as letters: C connecting, S
// streaming, T stalled, L lost, R reconnecting, X closed.
struct Events {
    std::mutex lock;
    std::string order;
    std::vector<int> reasons, values;
    std::vector<std::string> texts;
    int bWrongCamera = 0;
    void *pCamera = nullptr;
};

int OnState(void *pCamera, void *pUser, int nState, int nReason, int nValue, const char *pText)
{
    Events *e = (Events *)pUser;
    std::lock_guard<std::mutex> g(e->lock);
    e->bWrongCamera |= pCamera != e->pCamera;
    e->order += "?CSTLRX"[nState >= 0 && nState <= 6 ? nState : 0];
    e->reasons.push_back(nReason);
    e->values.push_back(nValue);
    e->texts.push_back(pText ? pText : "(null)");
    return 0;
}

std::string Order(Events *e)
{
    std::lock_guard<std::mutex> g(e->lock);
    return e->order;
}

// A camera set up as a host does for reconnecting: all callbacks, the
// state callback, reconnect with a short cap and a short no-data limit.
void Prepare(CIpCamera *pCam, Recorder *pRec, Events *pEv, int nConnectType, int nNoDataMs)
{
    RecorderAttach(pRec, pCam, 0);
    pEv->pCamera = pCam;
    pCam->SetStateCallBack(OnState, pEv);
    ASSERT_EQ(0, pCam->SetAutoReconnect(true, 2000));
    ASSERT_EQ(0, pCam->SetNoDataLimit(nNoDataMs));
    pCam->SetConnectType(nConnectType);
}

std::string FreePort()
{
    int nPort = -1;
    close(E2eSilentListener(&nPort));
    return std::to_string(nPort);
}

double MsOf(const std::function<void()> &f)
{
    double t0 = E2eNow();
    f();
    return (E2eNow() - t0) * 1000;
}

// The RTSP camera loses power and comes back on the same port: pictures
// resume with no host call, one reconnect is counted, a recording running
// at the loss is finished and renamed, and the events arrive in order.
TEST(Reconnect, RtspCameraKilledAndRestartedPlaysOn)
{
    E2E_REQUIRE_RTSP_CAMERA();
    struct Case {
        const char *pLabel;
        int nConnectType;
    } cases[] = {{"tcp", 1}, {"udp", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pLabel);
        std::string port = FreePort();
        RtspServer server;
        ASSERT_EQ(0, RtspServerStart(&server, {"--port", port}));
        char dir[] = "/tmp/ipcam_reconnect_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(dir));
        CIpCamera cam(70, "comes-back", "");
        Recorder rec;
        Events ev;
        Prepare(&cam, &rec, &ev, c.nConnectType, 3000);
        EXPECT_LT(MsOf([&] { ASSERT_EQ(0, cam.OpenMainStreamVideo(server.sUrl.c_str())); }), 200.0)
            << "the open is left to the camera's thread";
        ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > 10; }, 8000));
        std::string path = std::string(dir) + "/lost.avi";
        cam.SetSaveRecordPath(path.c_str());
        ASSERT_EQ(0, cam.StartSaveAvi(1));
        usleep(1500000);

        RtspServerKill(&server);
        ASSERT_TRUE(E2eWaitFor([&] { return Order(&ev).find('L') != std::string::npos; }, 8000));
        int nBefore = RecorderFrames(&rec);
        usleep(1000000);
        ASSERT_EQ(0, RtspServerStart(&server, {"--port", port}));
        EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > nBefore + 25; }, 10000))
            << "no pictures after the camera came back: " << Order(&ev);

        IpCameraHealth h;
        ASSERT_EQ(0, cam.GetHealth(&h));
        EXPECT_EQ(1, h.nReconnects);
        EXPECT_EQ(IPC_STATE_STREAMING, cam.GetState());
        EXPECT_GE(h.nPictures, (int64_t)RecorderFrames(&rec));
        EXPECT_GT(h.nBytes, 100000);
        EXPECT_EQ(IPC_DECODE_FFMPEG, h.nDecodePath);
        EXPECT_EQ(0, h.nSecondsSinceLastPicture);
        EXPECT_NE(0, h.szLastError[0]) << "the loss is remembered";
        // Stalled only while the no-data limit runs (UDP, or TCP before the
        // closed connection shows); reconnect attempts repeat while it is down.
        std::string order = Order(&ev);
        EXPECT_TRUE(std::regex_match(order, std::regex("CST?LR(CR)*CS"))) << order;
        int nLost = (int)order.find('L');
        {
            std::lock_guard<std::mutex> g(ev.lock);
            EXPECT_EQ(1, ev.values[nLost]) << "the loss finished the recording: " << ev.texts[nLost];
            EXPECT_NE(std::string::npos, ev.texts[nLost].find("recording")) << ev.texts[nLost];
            EXPECT_GE(ev.values[nLost + 1], 750) << "first delay: 1 s less at most a quarter";
            EXPECT_LE(ev.values[nLost + 1], 1000);
        }
        glob_t g;
        EXPECT_EQ(0, glob((std::string(dir) + "/lost_*.avi").c_str(), 0, nullptr, &g))
            << "the recording was renamed with its duration";
        globfree(&g);
        EXPECT_EQ(0, cam.m_bRecording) << "not restarted by the reconnect";

        EXPECT_LT(MsOf([&] { cam.CloseMainStreamVideo(); }), 200.0);
        EXPECT_EQ('X', Order(&ev).back());
        EXPECT_EQ(0, ev.bWrongCamera);
        RtspServerStop(&server);
        ASSERT_EQ(0, system(("rm -rf " + std::string(dir)).c_str()));
    }
}

// Down when the host opens it, up five seconds later: the open returns 0 at
// once and the camera plays as soon as it can be reached.
TEST(Reconnect, CameraDownAtOpenPlaysWhenItComesUp)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string port = FreePort();
    std::string url = "rtsp://127.0.0.1:" + port + "/cam";
    CIpCamera cam(71, "late", "");
    Recorder rec;
    Events ev;
    Prepare(&cam, &rec, &ev, 1, 3000);
    ASSERT_EQ(0, cam.SetAutoReconnect(true, 10000));
    EXPECT_LT(MsOf([&] { EXPECT_EQ(0, cam.OpenMainStreamVideo(url.c_str())); }), 100.0);
    EXPECT_EQ(0, cam.SetDecodeEnable(false, true)) << "kept for the stream to come";
    EXPECT_FALSE(cam.IsMainVideoOpenSuc());
    usleep(5000000);
    EXPECT_EQ(0, RecorderFrames(&rec));
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--port", port}));
    // Attempts at about 0, 1, 3 and 7 s: up by the fourth.
    EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > 10; }, 9000)) << Order(&ev);
    std::string order = Order(&ev);
    EXPECT_TRUE(std::regex_match(order, std::regex("C(RC){2,4}S"))) << order;
    {
        std::lock_guard<std::mutex> g(ev.lock);
        EXPECT_EQ(IPC_REASON_REFUSED, ev.reasons[1]);
        EXPECT_EQ("connection refused", ev.texts[1]);
        // Backoff doubles: 1 s, 2 s, 4 s, each less at most a quarter.
        for (size_t i = 1, nBase = 1000; i < ev.values.size() && ev.order[i] == 'R'; i += 2, nBase *= 2) {
            EXPECT_GE(ev.values[i], (int)(nBase * 3 / 4)) << i;
            EXPECT_LE(ev.values[i], (int)nBase) << i;
        }
    }
    IpCameraHealth h;
    ASSERT_EQ(0, cam.GetHealth(&h));
    EXPECT_EQ(0, h.nReconnects) << "the first stream is no reconnect";
    cam.CloseMainStreamVideo();
    RtspServerStop(&server);
}

// The raw HTTP camera ends its connection every 100 frames: each time the
// stream is lost at once and comes back.
TEST(Reconnect, HttpCameraClosingItsConnectionComesBack)
{
    std::string clip = E2eStandardClip();
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, E2eServerStart(IPCAMERA_TEST_HTTP_CAMERA, &server,
                                {"--video", clip, "--loop", "--close-after", "100"}));
    CIpCamera cam(72, "http-closes", "");
    Recorder rec;
    Events ev;
    Prepare(&cam, &rec, &ev, 2, 40000);
    ASSERT_EQ(0, cam.OpenMainStreamVideo(server.sUrl.c_str()));
    ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
    IpCameraHealth h = {};
    EXPECT_TRUE(E2eWaitFor([&] { return cam.GetHealth(&h) == 0 && h.nReconnects >= 2; }, 16000))
        << Order(&ev);
    // Lost at once (not after the no-data limit): the closed connection says so.
    std::string order = Order(&ev);
    EXPECT_TRUE(std::regex_match(order, std::regex("CS(LRCS)+.*"))) << order;
    {
        std::lock_guard<std::mutex> g(ev.lock);
        int nLost = (int)ev.order.find('L');
        EXPECT_EQ(IPC_REASON_CONNECTION_CLOSED, ev.reasons[nLost]) << ev.texts[nLost];
    }
    int nFrames = RecorderFrames(&rec);
    EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > nFrames + 5; }, 6000))
        << "the third connection plays too";
    cam.CloseMainStreamVideo();
    RtspServerStop(&server);
}

// Close and destroy return within 200 ms while the camera waits to retry
// and while it connects to a camera that accepts and never answers.
TEST(Reconnect, CloseReturnsQuicklyInEveryState)
{
    int nPort = 0;
    int s = E2eSilentListener(&nPort);
    ASSERT_GE(s, 0);
    std::string silent = "127.0.0.1:" + std::to_string(nPort) + "/cam";
    struct Case {
        std::string url;
        int nConnectType;
        int nWaitState;  // close once the camera is in this state
        bool bDestroy;
    } cases[] = {{E2eRefusedUrl(), 1, IPC_STATE_RECONNECTING, false},
                 {E2eRefusedUrl(), 1, IPC_STATE_RECONNECTING, true},
                 {"rtsp://" + silent, 1, IPC_STATE_CONNECTING, false},
                 {"http://" + silent, 2, IPC_STATE_CONNECTING, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url + (c.bDestroy ? " destroyed" : " closed"));
        CIpCamera *pCam = new CIpCamera(73, "closing", "");
        Recorder rec;
        Events ev;
        Prepare(pCam, &rec, &ev, c.nConnectType, 3000);
        ASSERT_EQ(0, pCam->OpenMainStreamVideo(c.url.c_str()));
        ASSERT_TRUE(E2eWaitFor([&] { return pCam->GetState() == c.nWaitState; }, 3000));
        usleep(300000);  // well inside the wait or the connect
        ASSERT_EQ(c.nWaitState, pCam->GetState());
        double ms = MsOf([&] {
            if (c.bDestroy)
                delete pCam;
            else
                pCam->CloseMainStreamVideo();
        });
        EXPECT_LT(ms, 200.0);
        std::string order = Order(&ev);
        EXPECT_EQ('X', order.back()) << order;
        usleep(200000);
        EXPECT_EQ(order, Order(&ev)) << "no event after the close";
        if (!c.bDestroy)
            delete pCam;
    }
    close(s);
}

}  // namespace
