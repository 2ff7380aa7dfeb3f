// CIpCamera recording control: on a stream context without threads the
// reason bits, the rename to "<name>_<seconds>.avi", paths that are never
// renamed and the save directory; then on a real stream.

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "CameraTestUtil.h"
#include "camera/CameraInternal.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

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

TEST_F(RecordControl, SessionStopGoesToTheFileLog)
{
    DebugSetLogDir(dir.c_str());
    testing::internal::CaptureStderr();
    cam.StopSaveAvi(1);
    testing::internal::GetCapturedStderr();
    DebugSetLogDir(nullptr);
    std::string log = Slurp(dir + "/wkd_new.log");
    EXPECT_NE(log.find("CUrlVideoSession::StopSaveAvi start ...=====\n"), std::string::npos) << log;
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
    rmdir(one.c_str());
    rmdir(tmpl);
}

// On a real stream (a generated local clip): a start opens the file, the
// stop renames it, a second start without a new path fails after renaming
// the first file; host threads poll while another closes and reopens.

namespace {

std::string g_dir;
std::string g_clip;

std::vector<std::string> AviFiles(const std::string &dir)
{
    std::vector<std::string> out;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".avi") == 0)
            out.push_back(n);
    }
    closedir(d);
    return out;
}

class RecordStream : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/ipcam_recs_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        g_dir = tmpl;
        g_clip = g_dir + "/clip.mp4";
        std::string cmd = "ffmpeg -nostdin -loglevel error -f lavfi -i testsrc2=size=320x240:rate=25 "
                          "-t 20 -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -y '" +
                          g_clip + "'";
        ASSERT_EQ(system(cmd.c_str()), 0) << "ffmpeg could not generate the test clip";
    }
    static void TearDownTestSuite()
    {
        std::string cmd = "rm -rf '" + g_dir + "'";
        (void)system(cmd.c_str());
    }
    std::string sub;
    void SetUp() override
    {
        sub = g_dir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(mkdir(sub.c_str(), 0777), 0);
    }
};

}  // namespace

TEST_F(RecordStream, StartStopRenameAndReasonBits)
{
    CIpCamera cam(21, "rec", "");
    ASSERT_EQ(cam.OpenMainStreamVideo(g_clip.c_str()), 0);
    EXPECT_STREQ(cam.m_szUrl, g_clip.c_str());
    std::string path = sub + "/first.avi";
    cam.SetSaveRecordPath(path.c_str());
    cam.m_nRecordType = 2;
    ASSERT_EQ(cam.StartSaveAvi(1), 0);
    EXPECT_TRUE(Exists(path));
    EXPECT_GT(cam.m_nRecordStartTime, 0);
    EXPECT_EQ(cam.m_nRecordType, 1) << "bit 2 cleared by a start that does not pass it";

    SleepMs(1200);
    cam.m_nRecordType |= 2 | 4;
    cam.m_nRecordCounter = 9;
    EXPECT_EQ(cam.StopSaveAvi(4), 0);
    EXPECT_EQ(cam.m_nRecordType, 1) << "bit 4 removed by argument, bit 2 by every stop, bit 1 kept";
    EXPECT_EQ(cam.m_nRecordCounter, 0);
    EXPECT_FALSE(Exists(path));
    std::vector<std::string> files = AviFiles(sub);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], "first_2.avi");
    EXPECT_STREQ(cam.m_szRecordPath, "");

    cam.SetSaveRecordPath((sub + "/second.avi").c_str());
    ASSERT_EQ(cam.StartSaveAvi(2), 0);
    EXPECT_EQ(cam.m_nRecordType & 2, 2);
    // No new path: the running file is finished and renamed, then the start
    // fails on the empty path.
    EXPECT_EQ(cam.StartSaveAvi(2), -1);
    EXPECT_EQ(cam.m_nRecordStartTime, 0);
    EXPECT_EQ(cam.m_nRecordType & 2, 0);
    files = AviFiles(sub);
    EXPECT_EQ(files.size(), 2u);
    EXPECT_FALSE(Exists(sub + "/second.avi"));
    EXPECT_TRUE(Exists(sub + "/second_1.avi"));
    EXPECT_EQ(cam.CloseMainStreamVideo(), 0);
}

TEST_F(RecordStream, UnwritablePathFailsCleanly)
{
    CIpCamera cam(22, "rec2", "");
    ASSERT_EQ(cam.OpenMainStreamVideo(g_clip.c_str()), 0);
    cam.SetSaveRecordPath((sub + "/missing/dir/x.avi").c_str());
    cam.m_nRecordType = 4;
    testing::internal::CaptureStderr();
    EXPECT_EQ(cam.StartSaveAvi(1), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Camera(id:22  name:rec2) StartSaveAvi error ... "), std::string::npos);
    EXPECT_EQ(cam.m_nRecordStartTime, 0);
    EXPECT_EQ(cam.m_nRecordType, 4);
    EXPECT_TRUE(AviFiles(sub).empty());
}

TEST_F(RecordStream, CloseFinishesReopenRenames)
{
    std::string path = sub + "/closed.avi";
    {
        CIpCamera cam(23, "rec3", "");
        ASSERT_EQ(cam.OpenMainStreamVideo(g_clip.c_str()), 0);
        cam.SetSaveRecordPath(path.c_str());
        ASSERT_EQ(cam.StartSaveAvi(1), 0);
        EXPECT_EQ(cam.CloseMainStreamVideo(), 0);
        EXPECT_TRUE(Exists(path)) << "close finishes the file but does not rename it";
        // The destructor renames it; no stream is open, so the duration is 0.
    }
    EXPECT_TRUE(Exists(sub + "/closed_0.avi"));
}

TEST_F(RecordStream, HostThreadsPollWhileAnotherClosesAndReopens)
{
    CIpCamera cam(24, "poll", "");
    cam.SetSmoothStream(1);
    struct Poller {
        CIpCamera *pCam;
        std::string path;
        std::atomic<int> bStop{0};
        std::atomic<int> nCalls{0};
    } p;
    p.pCam = &cam;
    p.path = sub + "/poll.avi";
    Thread *t = ThreadCreate(
        [](void *arg) -> int {
            Poller *x = (Poller *)arg;
            while (!x->bStop) {
                x->pCam->getBitRate();
                x->pCam->getFrameRate();
                x->pCam->IsMainVideoFinish();
                x->pCam->SendVideoCond();
                x->pCam->SetDecodeEnable(false, true);
                x->pCam->SetPauseReadFrame(0);
                x->pCam->m_VideoSession.GetVideoWidth();
                x->pCam->m_VideoSession.GetFrequency();
                x->pCam->SetSaveRecordPath(x->path.c_str());
                x->pCam->StartSaveAvi(1);
                x->pCam->StopSaveAvi(1);
                x->nCalls++;
            }
            return 0;
        },
        &p);
    ASSERT_NE(t, nullptr);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(cam.OpenMainStreamVideo(g_clip.c_str()), 0);
        SleepMs(30);
        EXPECT_EQ(cam.CloseMainStreamVideo(), 0);
    }
    p.bStop = 1;
    ThreadJoin(t);
    MemFree(t);
    testing::internal::GetCapturedStderr();
    EXPECT_GT(p.nCalls.load(), 0);
    EXPECT_FALSE(cam.IsMainVideoOpenSuc());
}
