// CIpCamera recording control on a stream context without threads: reason
// bits, the rename to "<name>_<seconds>.avi", paths that are never renamed,
// and the save directory.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "CameraTestUtil.h"
#include "camera/CameraInternal.h"
#include "support/Log.h"
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
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return s;
}

class RecordControl : public CameraWithStream {
protected:
    RecordControl() : CameraWithStream(5, "cam5") {}
    // As if a recording had run for nMs: the recorder's start tick and the
    // camera's start mark.
    void PretendRecording(const std::string &path, int nMs)
    {
        Touch(path);
        cam.SetSaveRecordPath(path.c_str());
        cam.m_nRecordStartTime = 1000;
        f.ctx->nSaveTickCount = (int64_t)(uint32_t)(TickCount() - (uint32_t)nMs);
    }
};

}  // namespace

TEST_F(RecordControl, StopRenamesWithDurationAndClearsThePath)
{
    std::string path = dir + "/cam1.avi";
    PretendRecording(path, 36500);
    cam.m_nRecordType = 1 | 2 | 4;
    cam.m_nRecordCounter = 9;
    EXPECT_EQ(cam.StopSaveAvi(4), 0);
    EXPECT_FALSE(Exists(path));
    EXPECT_TRUE(Exists(dir + "/cam1_37.avi"));
    EXPECT_STREQ(cam.m_szRecordPath, "");
    EXPECT_EQ(cam.m_nRecordStartTime, 0);
    EXPECT_EQ(cam.m_nRecordCounter, 0);
    EXPECT_EQ(cam.m_nRecordType, 1) << "bit 4 removed by argument, bit 2 by every stop";
}

TEST_F(RecordControl, SessionStopWritesItsTwoFileLogLines)
{
    DebugSetLogDir(dir.c_str());
    testing::internal::CaptureStderr();
    cam.StopSaveAvi(1);
    testing::internal::GetCapturedStderr();
    DebugSetLogDir(nullptr);
    std::string log = Slurp(dir + "/wkd_new.log");
    size_t a = log.find("CUrlVideoSession::StopSaveAvi start ...=====\n");
    size_t b = log.find("CUrlVideoSession::StopSaveAvi end ...=====\n");
    ASSERT_NE(a, std::string::npos) << log;
    ASSERT_NE(b, std::string::npos) << log;
    EXPECT_LT(a, b);
    EXPECT_NE(log.find("VideoSession.cpp:"), std::string::npos) << "lines carry the source position";
}

TEST_F(RecordControl, ShortPathIsNeverRenamed)
{
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    PretendRecording("abcd.avi", 3000);  // 8 characters
    cam.StopSaveAvi(1);
    EXPECT_TRUE(Exists("abcd.avi"));
    EXPECT_STREQ(cam.m_szRecordPath, "abcd.avi");
    EXPECT_EQ(cam.m_nRecordStartTime, 0);
    ASSERT_EQ(chdir(cwd), 0);
}

// How a stop leaves the file: renamed with its duration, or kept under
// its own name when nothing was recorded, the target exists or the name
// would not fit. The closed camera (no stream) comes last.
TEST_F(RecordControl, StopOutcomes)
{
    std::string noFit = std::string(255 - dir.size() - 1 - 4, 'n') + ".avi";  // 255 in all
    struct Case {
        std::string name;
        int nMs;  // recording length, -1: none running
        const char *pEarlier;  // a file already named as the target would be
        std::string expect;  // the file afterwards
        bool bPathCleared;
        const char *pLog;
    } cases[] = {
        {"idle.avi", -1, nullptr, "idle.avi", false, nullptr},
        {"door.avi", 2500, "door_3.avi", "door.avi", true, "exists"},
        {"long.avi", 10001 * 1000, nullptr, "long_10002.avi", true, "Duration(10002) is wrong.."},
        {noFit, 2500, nullptr, noFit, true, nullptr},
        {"closed.avi", 5000, nullptr, "closed_0.avi", true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir + "/" + c.name;
        if (c.pEarlier)
            Touch(dir + "/" + c.pEarlier, "earlier recording");
        if (c.nMs < 0) {
            Touch(path);
            cam.SetSaveRecordPath(path.c_str());
        } else {
            PretendRecording(path, c.nMs);
        }
        if (c.name == "closed.avi")
            f.Detach();
        testing::internal::CaptureStderr();
        EXPECT_EQ(cam.StopSaveAvi(7), 0);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(Exists(dir + "/" + c.expect));
        EXPECT_EQ(std::string(cam.m_szRecordPath), c.bPathCleared ? "" : path);
        if (c.pEarlier) {
            EXPECT_EQ(Slurp(dir + "/" + c.pEarlier), "earlier recording") << "never overwritten";
        }
        if (c.pLog) {
            EXPECT_NE(log.find(c.pLog), std::string::npos) << log;
        }
    }
}

TEST(RecordName, FinalNameRules)
{
    char out[256];
    EXPECT_EQ(RecordFinalName("D:\\rec\\cam1.avi", 37, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "D:\\rec\\cam1_37.avi");
    EXPECT_EQ(RecordFinalName("/r/x.avi", 0, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "/r/x_0.avi");
    EXPECT_EQ(RecordFinalName("abc", 1, out, sizeof(out)), -1);
    char small[10];
    EXPECT_EQ(RecordFinalName("/r/xy.avi", 123, small, sizeof(small)), -1);
    EXPECT_STREQ(small, "");
}

TEST(SaveDir, CreatesOneLevelAndReportsExistence)
{
    char tmpl[] = "/tmp/ipcam_dir_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string base = tmpl;
    CIpCamera c(1, "c1", "");
    testing::internal::CaptureStderr();
    std::string one = base + "/one";
    EXPECT_EQ(c.SetSaveDir(one.c_str()), -1) << "created now, reported as missing";
    EXPECT_TRUE(Exists(one));
    EXPECT_EQ(std::string(c.m_szSaveDir), one);
    EXPECT_EQ(c.SetSaveDir((one + "/").c_str()), 0);
    EXPECT_EQ(std::string(c.m_szSaveDir), one) << "one trailing separator removed";
    std::string deep = base + "/a/b";
    EXPECT_EQ(c.SetSaveDir(deep.c_str()), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(Exists(deep));
    EXPECT_EQ(std::string(c.m_szSaveDir), deep);
    EXPECT_NE(log.find("Camera(id:1  name:c1) SetSaveDir:" + deep + " break ... "), std::string::npos);
    EXPECT_NE(log.find("Camera(id:1  name:c1) SetSaveDir end succ... "), std::string::npos);
    rmdir(one.c_str());
    rmdir(tmpl);
}
