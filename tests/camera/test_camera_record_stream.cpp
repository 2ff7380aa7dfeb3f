// Recording control on a real stream (a generated local clip): a start
// opens the file, the stop renames it, a second start without a new path
// fails after renaming the first file, reason bits.

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "CameraTestUtil.h"
#include "ipcamera/IpCamera.h"
#include "support/Platform.h"
#include "support/Thread.h"

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
    EXPECT_EQ(cam.StopSaveAvi(4), 0);
    EXPECT_EQ(cam.m_nRecordType, 1) << "stopping for another reason keeps bit 1";
    EXPECT_FALSE(Exists(path));
    std::vector<std::string> files = AviFiles(sub);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], "first_2.avi");
    EXPECT_STREQ(cam.m_szRecordPath, "");

    cam.SetSaveRecordPath((sub + "/second.avi").c_str());
    ASSERT_EQ(cam.StartSaveAvi(2), 0);
    EXPECT_EQ(cam.m_nRecordType & 2, 2);
    testing::internal::CaptureStderr();
    // No new path: the running file is finished and renamed, then the start
    // fails on the empty path.
    EXPECT_EQ(cam.StartSaveAvi(2), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Camera(id:21  name:rec) StartSaveAvi error ... "), std::string::npos);
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
    EXPECT_NE(log.find("StartSaveAvi error ... "), std::string::npos);
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
