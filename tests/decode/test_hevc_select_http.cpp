// A raw HTTP camera sending H.265 with the marker SEI, played through
// CIpCamera in both decode modes with the real built-in decoder: the stream
// is handed to it, and the planar thread keeps it, each frame bringing its
// picture.

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../stream/MediaGen.h"
#include "ipcamera/IpCamera.h"

namespace {

const std::string kCamera = std::string(IPCAMERA_BINARY_DIR) + "/tests/tools/http_camera/ipcam-test-http";

// The camera child process, stopped with SIGTERM at the end.
struct HttpCameraProcess {
    pid_t pid = -1;
    std::string url;

    bool Start(const std::vector<std::string> &args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            std::vector<char *> argv;
            argv.push_back((char *)kCamera.c_str());
            for (const std::string &a : args)
                argv.push_back((char *)a.c_str());
            argv.push_back(nullptr);
            execv(kCamera.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(fds[0]);
        size_t p = line.find("http://");
        if (p == std::string::npos)
            return false;
        url = line.substr(p);
        return true;
    }
    ~HttpCameraProcess()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

struct Pictures {
    std::mutex m;
    int n = 0, w = 0, h = 0;
};

int OnVideo(void *, void *user, unsigned char *frame, int w, int h)
{
    Pictures *p = (Pictures *)user;
    if (frame == nullptr)
        return 0;
    std::lock_guard<std::mutex> g(p->m);
    p->n++;
    p->w = w;
    p->h = h;
    return 0;
}

int Count(Pictures *p)
{
    std::lock_guard<std::mutex> g(p->m);
    return p->n;
}

// Plays the marker stream (a key frame every keyint pictures) for a few
// seconds; returns the log.
std::string Play(int planar, Pictures *pics, int keyint)
{
    // As a camera sends it: parameter sets with every key frame, one
    // reference picture, no encoder information SEI.
    std::string k = std::to_string(keyint);
    std::string clip = mediagen::Video("hevcsel_http_cam_320x240_i" + k + ".hevc", 320, 240, 75, "yuv420p",
                                       "-c:v libx265 -preset ultrafast -x265-params keyint=" + k + ":min-keyint=" + k +
                                           ":bframes=0:ref=1:open-gop=0:info=0:repeat-headers=1:log-level=error "
                                           "-f hevc");
    EXPECT_FALSE(clip.empty());
    HttpCameraProcess cam;
    if (!cam.Start({"--video", clip, "--no-audio", "--marker-sei", "--loop"})) {
        ADD_FAILURE() << "the HTTP test camera did not start";
        return "";
    }
    CIpCamera ipc(3, "marker", "");
    ipc.SetD3DDisplay(planar);
    ipc.SetConnectType(2);
    ipc.SetVideoBufCallBack(OnVideo, pics);
    mediagen::StderrCapture cap;
    EXPECT_EQ(ipc.OpenMainStreamVideo(cam.url.c_str()), 0);
    ipc.SetDecodeEnable(true, true);
    // Key packets come once a second: the classic thread gets three of them.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(planar ? 6000 : 2500);
    while ((!planar || Count(pics) < 30) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(ipc.IsMainVideoFinish());
    EXPECT_EQ(ipc.CloseMainStreamVideo(), 0);
    return cap.Stop();
}

class MarkerHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(kCamera.c_str(), X_OK) != 0)
            GTEST_SKIP() << "ipcam-test-http not built at " << kCamera;
        if (!mediagen::HaveFfmpeg())
            GTEST_SKIP() << "ffmpeg command-line tool not installed";
    }
};

TEST_F(MarkerHttp, PlanarKeepsTheBuiltInDecoder)
{
    // All intra: the decoder's limit of one reference picture refuses
    // x265's P pictures that keep two.
    Pictures pics;
    std::string log = Play(1, &pics, 1);
    EXPECT_NE(log.find("sei:1"), std::string::npos);
    EXPECT_NE(log.find("IHW265D_Create===success====0x0===="), std::string::npos);
    EXPECT_NE(log.find("hsDecoder:1"), std::string::npos);
    EXPECT_EQ(log.find("change to ffmpeg decoder"), std::string::npos);
    EXPECT_EQ(log.find("BadFrame"), std::string::npos);
    EXPECT_GE(Count(&pics), 30);
    EXPECT_EQ(pics.w, 320);
    EXPECT_EQ(pics.h, 240);
}

TEST_F(MarkerHttp, ClassicHandsTheStreamToTheBuiltInDecoder)
{
    Pictures pics;
    std::string log = Play(0, &pics, 25);
    EXPECT_NE(log.find("IHW265D_Create===success====0x0===="), std::string::npos);
    EXPECT_NE(log.find("ret:0x1, error:0, decodeStatus:1, cnt:4"), std::string::npos);
    EXPECT_EQ(log.find("maybe resolution change"), std::string::npos);
    // Whatever the decoder completes arrives at the stream's size.
    if (Count(&pics) > 0) {
        EXPECT_EQ(pics.w, 320);
        EXPECT_EQ(pics.h, 240);
    }
}

}  // namespace
