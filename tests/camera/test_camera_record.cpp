// CIpCamera recording control on a stream context without threads: how a
// stop leaves the file, and the save directory. On a playing stream see
// host_faults.cpp.

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "CameraTestUtil.h"
#include "support/Platform.h"

namespace {

void Touch(const std::string &p, const char *text = "data")
{
    std::ofstream f(p);
    f << text;
}

std::string Slurp(const std::string &p)
{
    std::ifstream f(p);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

class RecordControl : public CameraWithStream {
protected:
    RecordControl() : CameraWithStream(5, "cam5") {}
};

}  // namespace

// Renamed with its duration, or kept under its own name when nothing was
// recorded, the path is too short, the target exists or the name would not
// fit. The closed camera (no stream: duration 0) comes last.
TEST_F(RecordControl, StopOutcomes)
{
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::string noFit = std::string(255 - dir.size() - 1 - 4, 'n') + ".avi";  // 255 in all
    struct Case {
        std::string path;
        int nMs;  // recording length, -1: none running
        const char *pEarlier;  // a file already named as the target would be
        std::string expect;  // the file afterwards
        bool bPathCleared;
        const char *pLog;
    } cases[] = {
        {dir + "/idle.avi", -1, nullptr, "idle.avi", false, nullptr},
        {"abcd.avi", 3000, nullptr, "abcd.avi", false, nullptr},  // 8 characters
        {dir + "/door.avi", 2500, "door_3.avi", "door.avi", true, "exists"},
        {dir + "/long.avi", 10001 * 1000, nullptr, "long_10002.avi", true, "Duration(10002) is wrong.."},
        {dir + "/" + noFit, 2500, nullptr, noFit, true, nullptr},
        {dir + "/closed.avi", 5000, nullptr, "closed_0.avi", true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        if (c.pEarlier)
            Touch(c.pEarlier, "earlier recording");
        Touch(c.path);
        cam.SetSaveRecordPath(c.path.c_str());
        if (c.nMs >= 0) {
            cam.m_bRecording = 1;
            f.ctx->nSaveTickCount = (int64_t)(uint32_t)(TickCount() - (uint32_t)c.nMs);
        }
        if (c.expect == "closed_0.avi")
            f.Detach();
        testing::internal::CaptureStderr();
        EXPECT_EQ(cam.StopSaveAvi(7), 0);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(Exists(c.expect));
        EXPECT_EQ(std::string(cam.m_szRecordPath), c.bPathCleared ? "" : c.path);
        EXPECT_EQ(cam.m_nRecordStartTime, 0);
        if (c.pEarlier)
            EXPECT_EQ(Slurp(c.pEarlier), "earlier recording") << "never overwritten";
        if (c.pLog)
            EXPECT_NE(log.find(c.pLog), std::string::npos) << log;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(RecordControl, SaveDirCreatesOneLevelAndReportsExistence)
{
    testing::internal::CaptureStderr();
    std::string one = dir + "/one", deep = dir + "/a/b";
    EXPECT_EQ(cam.SetSaveDir(one.c_str()), -1) << "created now, reported as missing";
    EXPECT_TRUE(Exists(one));
    EXPECT_EQ(cam.SetSaveDir((one + "/").c_str()), 0);
    EXPECT_EQ(std::string(cam.m_szSaveDir), one) << "one trailing separator removed";
    EXPECT_EQ(cam.SetSaveDir(deep.c_str()), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(Exists(deep));
    EXPECT_EQ(std::string(cam.m_szSaveDir), deep);
    EXPECT_NE(log.find("Camera(id:5  name:cam5) SetSaveDir:" + deep + " break ... "), std::string::npos);
}
