// The ipcam-play host tool against the RTSP test camera: its status lines,
// snapshot and exit status.

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "E2eSupport.h"

namespace {

int RunTool(const std::string &args, std::string *pOut)
{
    int status = -1;
    *pOut += E2eRun(std::string(IPCAMERA_PLAY_TOOL) + " " + args + " 2>/dev/null", &status);
    return status;
}

TEST(IpcamPlay, PrintsOneLinePerCameraPerSecondAndWritesTheSnapshot)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string clip = E2eStandardClip();
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--audio", "aac", "--data"}));
    std::string snap = std::string(IPCAMERA_BINARY_DIR) + "/e2e-media/ipcam-play-snap.jpg";
    std::string out;
    int rc = RunTool("--duration 3 --d3d --connect-type 1 --snapshot " + snap + " " + server.sUrl + " " +
                         server.sUrl,
                     &out);
    RtspServerStop(&server);
    EXPECT_EQ(0, rc) << out;
    for (int cam = 1; cam <= 2; cam++) {
        for (int second = 1; second <= 3; second++) {
            char prefix[64];
            snprintf(prefix, sizeof prefix, "[%3ds] cam%d frames=", second, cam);
            EXPECT_NE(std::string::npos, out.find(prefix)) << prefix << " missing in\n" << out;
        }
    }
    EXPECT_NE(std::string::npos, out.find("size=320x240")) << out;
    EXPECT_NE(std::string::npos, out.find("@16000 Hz")) << out;
    EXPECT_NE(std::string::npos, out.find("2 of 2 cameras played")) << out;
    struct stat st;
    EXPECT_EQ(0, stat(snap.c_str(), &st)) << "snapshot of camera 1";
    std::string snap2 = snap.substr(0, snap.size() - 4) + "-2.jpg";
    EXPECT_EQ(0, stat(snap2.c_str(), &st)) << "snapshot of camera 2";
    unlink(snap.c_str());
    unlink(snap2.c_str());
}

TEST(IpcamPlay, FailsForAnAddressThatDoesNotOpen)
{
    std::string url = E2eRefusedUrl();
    std::string out;
    EXPECT_EQ(1, RunTool("--duration 1 " + url, &out));
    EXPECT_NE(std::string::npos, out.find("cam1 open failed: " + url)) << out;
    out.clear();
    EXPECT_EQ(2, RunTool("--mask 1,2,3 x", &out)) << "a malformed mask is refused";
}

}  // namespace
