// Recording live cameras (the RTSP test camera) through CIpCamera: a camera
// that dies mid-recording, and a disk that fills up during a recording.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "RecordTestUtil.h"
#include "ipcamera/IpCamera.h"

namespace {

// The one file matching a shell pattern, or "".
std::string FindOne(const std::string &pattern)
{
    std::string found = E2eRun("ls " + pattern + " 2>/dev/null");
    return found.find('\n') + 1 == found.size() ? found.substr(0, found.size() - 1) : "";
}

class AviRecorderLive : public RecorderMediaTest, public testing::WithParamInterface<const char *> {};
class AviRecorderFullDisk : public RecorderMediaTest {};

// A camera recorded from its open, before any picture is decoded (RTSP is
// not probed: the size comes from the stream's parameter sets; G.726 comes
// in the little-endian packing), dies mid-recording, and the host stops
// the recording seconds later. The file has the camera's size, every
// picture written, and lasts 40 ms per picture as they were sent, its sound
// in step: the silent time after the last picture is not spread over them.
TEST_P(AviRecorderLive, CameraThatDiesKeepsThePaceOfItsPictures)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string audio = GetParam(), base = TestDir() + "/silent_" + audio;
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--video", "h264", "--audio", audio, "--size", "352x288",
                                           "--exit-after", "4", "--exit-mid-frame"}));
    CIpCamera camera(81, "silent", "");
    camera.SetConnectType(1);
    ASSERT_EQ(0, camera.OpenMainStreamVideo(server.sUrl.c_str()));
    camera.SetSaveRecordPath((base + ".avi").c_str());
    ASSERT_EQ(0, camera.StartSaveAvi(1));
    EXPECT_TRUE(E2eWaitFor([&] { return waitpid(server.nPid, nullptr, WNOHANG) == server.nPid; }, 10000));
    server.nPid = -1;
    SleepMs(2500);
    EXPECT_EQ(0, camera.StopSaveAvi(1));
    int64_t nWritten = camera.m_VideoSession.m_VideoContext->nSaveVideoFrames;
    camera.CloseMainStreamVideo();

    std::string file = FindOne("'" + base + "'_*.avi");
    ASSERT_NE("", file) << "no finished recording " << base << "_N.avi";
    std::vector<Entry> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(file, audio == "none" ? 1 : 2, (long)nWritten, &st));
    EXPECT_EQ("h264 352x288", st[0]["codec_name"] + " " + st[0]["width"] + "x" + st[0]["height"]);
    EXPECT_GT(nWritten, 40);
    double fVideo = atof(st[0]["duration"].c_str());
    EXPECT_NEAR(nWritten * 0.040, fVideo, 0.1);
    if (audio != "none") {
        // The sound's length is that of its packets (up to half a second
        // each for G.726 here).
        EXPECT_EQ(audio == "aac" ? "aac" : "adpcm_g726", st[1]["codec_name"]);
        double fAudio = 0;
        for (Entry &e : Probe(file, "-select_streams a:0 -show_entries packet=duration_time"))
            fAudio += atof(e["duration_time"].c_str());
        EXPECT_NEAR(fVideo, fAudio, 0.6) << "sound out of step";
    }
}

// Everything written to stderr until Stop, through a pipe: the log lines of
// all threads, never cut by a file size limit. Passed on to stderr after.
struct StderrTap {
    int fds[2] = {-1, -1}, saved = dup(2);
    std::string text;
    std::thread reader;
    StderrTap()
    {
        EXPECT_EQ(0, pipe(fds));
        dup2(fds[1], 2);
        close(fds[1]);
        reader = std::thread([this] {
            char buf[4096];
            for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
                text.append(buf, (size_t)n);
        });
    }
    const std::string &Stop()
    {
        if (reader.joinable()) {
            dup2(saved, 2);  // closes the pipe's last writer: the reader sees its end
            reader.join();
            close(fds[0]);
            fputs(text.c_str(), stderr);
        }
        return text;
    }
    ~StderrTap() { Stop(); close(saved); }
};

// Files of this process cannot grow past nBytes: a write beyond fails with
// EFBIG (its signal ignored), the way one fails on a full disk.
struct FileSizeLimit {
    struct rlimit old;
    void (*oldSignal)(int) = signal(SIGXFSZ, SIG_IGN);
    explicit FileSizeLimit(rlim_t nBytes)
    {
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit lim = {nBytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); signal(SIGXFSZ, oldSignal); }
};

// The disk fills up during a recording and a snapshot: the stop fails and
// says why, the recording keeps its playable beginning under a name that
// says it is cut short, the snapshot leaves no file and its failure carries
// libjpeg's reason.
TEST_F(AviRecorderFullDisk, CutsTheRecordingShortAndSaysSo)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string base = TestDir() + "/full", jpg = TestDir() + "/full.jpg";
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--video", "h264", "--audio", "aac", "--size", "640x480"}));
    CIpCamera camera(82, "full", "");
    Recorder rec;
    ASSERT_EQ(0, E2ePlay(&camera, &rec, server.sUrl, 0, 1));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 3; }, 5000));
    camera.SetSaveRecordPath((base + ".avi").c_str());
    int nStop = 0;
    StderrTap tap;
    {
        // Room for the header and a few pictures; less for the snapshot,
        // taken once the recording has hit the limit.
        FileSizeLimit full(64 << 10);
        ASSERT_EQ(0, camera.StartSaveAvi(1));
        ASSERT_TRUE(E2eWaitFor([&] { return ReadAll(base + ".avi").size() >= (64 << 10); }, 3000));
        {
            FileSizeLimit fuller(4 << 10);
            camera.SetSaveImagePath(jpg.c_str());
            camera.SaveImage(1, 1);
            // The picture's callback follows its snapshot.
            ASSERT_TRUE(E2eWaitFor([&] { return !AtomicGet(&camera.m_bSaveImgNow); }, 3000));
            int nFrames = RecorderFrames(&rec);
            EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > nFrames + 1; }, 3000));
        }
        nStop = camera.StopSaveAvi(1);
    }
    camera.CloseMainStreamVideo();
    RtspServerStop(&server);
    std::string log = tap.Stop();
    EXPECT_EQ(-1, nStop) << "a recording that lost its end reported as complete";
    std::string file = FindOne("'" + base + "'_*.avi");
    ASSERT_NE("", file) << "not one recording among: " << E2eRun("ls '" + TestDir() + "'");
    EXPECT_EQ("_cut.avi", file.substr(file.size() - 8)) << file;
    EXPECT_NE(std::string::npos, log.find("File too large")) << log;  // the system's text for EFBIG
    EXPECT_NE(std::string::npos, log.find("Output file write error")) << log;  // libjpeg's
    EXPECT_NE(0, access(jpg.c_str(), F_OK)) << "a cut snapshot was left behind";

    // What reached the disk before it filled up plays: whole pictures at
    // their pace, 40 ms apart.
    std::vector<Entry> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(file, 2, -1, &st));
    int nFrames = atoi(st[0]["nb_read_frames"].c_str());
    EXPECT_GT(nFrames, 1);
    EXPECT_EQ("640x480", st[0]["width"] + "x" + st[0]["height"]);
    EXPECT_NEAR(nFrames * 0.040, atof(st[0]["duration"].c_str()), nFrames * 0.01);
}

INSTANTIATE_TEST_SUITE_P(Audio, AviRecorderLive, testing::Values("none", "aac", "g726"),
                         [](const testing::TestParamInfo<const char *> &i) { return std::string(i.param); });

}  // namespace
