// Recording live cameras through CIpCamera: a camera that sends a paced
// MPEG-TS stream into a FIFO and then dies, a disk that fills up during the
// recording, and the RTSP test camera recorded from its open.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "RecordTestUtil.h"
#include "ipcamera/IpCamera.h"

namespace {

// A background ffmpeg writing seconds of H.264 (+ AAC) as MPEG-TS into a
// FIFO at real-time pace, one packet at a time, then ending: a camera that
// sends 25 pictures per second and then goes silent.
struct PacedCamera {
    pid_t pid = -1;
    std::string fifo;

    bool Start(const std::string &path, double seconds, bool bAudio, const char *size = "320x240")
    {
        fifo = path;
        unlink(fifo.c_str());
        if (mkfifo(fifo.c_str(), 0600) != 0)
            return false;
        std::string sec = std::to_string(seconds), src = std::string("testsrc2=rate=25:size=") + size;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            std::vector<const char *> args = {"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi", "-i",
                                              src.c_str()};
            if (bAudio)
                args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-c:a", "aac",
                                         "-ac", "1", "-b:a", "64k"});
            args.insert(args.end(), {"-t", sec.c_str(), "-c:v", "libx264", "-g", "12", "-bf", "0", "-tune",
                                     "zerolatency", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-flush_packets", "1", "-f", "mpegts",
                                     "-y", fifo.c_str(), nullptr});
            execvp("ffmpeg", (char *const *)args.data());
            _exit(127);
        }
        return pid > 0;
    }

    // Waits for the camera to end on its own; true if it ended cleanly.
    bool Wait()
    {
        int st = 0;
        bool bOk = pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0;
        pid = -1;
        return bOk;
    }

    ~PacedCamera()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        unlink(fifo.c_str());
    }
};

// The one file matching a shell pattern, or "".
std::string FindOne(const std::string &pattern)
{
    std::string found = E2eRun("ls " + pattern + " 2>/dev/null");
    return found.find('\n') + 1 == found.size() ? found.substr(0, found.size() - 1) : "";
}

class AviRecorderStreamTest : public RecorderMediaTest, public testing::WithParamInterface<bool> {};
class AviRecorderLive : public RecorderMediaTest {};

// The camera dies mid-recording and the host stops the recording seconds
// later. The pictures were sent 40 ms apart, so the file lasts as many
// times 40 ms as it holds pictures, with its sound in step: the silent
// time after the last picture is not spread over them.
TEST_P(AviRecorderStreamTest, CameraThatGoesSilentKeepsThePaceOfItsPictures)
{
    bool bAudio = GetParam();
    std::string tag = bAudio ? "av" : "v";
    std::string base = TestDir() + "/silent_" + tag;
    PacedCamera cam;
    ASSERT_TRUE(cam.Start(TestDir() + "/cam_" + tag + ".ts", 3.0, bAudio));
    CIpCamera camera(81, "silent", "");
    ASSERT_EQ(0, camera.OpenMainStreamVideo(cam.fifo.c_str()));
    // The packets the open probed come out at once; the recording begins
    // on the camera's own pace.
    SleepMs(500);
    camera.SetSaveRecordPath((base + ".avi").c_str());
    ASSERT_EQ(0, camera.StartSaveAvi(1));
    EXPECT_TRUE(cam.Wait());
    SleepMs(2500);
    EXPECT_EQ(0, camera.StopSaveAvi(1));
    int64_t nWritten = camera.m_VideoSession.m_VideoContext->nSaveVideoFrames;
    camera.CloseMainStreamVideo();

    std::string file = FindOne("'" + base + "'_*.avi");
    ASSERT_NE("", file) << "no finished recording " << base << "_N.avi";
    std::vector<Entry> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(file, bAudio ? 2 : 1, (long)nWritten, &st));
    EXPECT_EQ(0, CountEmptyChunks(ReadAll(file))) << "padding chunks: timestamps off their time base";
    EXPECT_GT(nWritten, 30);
    double fVideo = atof(st[0]["duration"].c_str());
    EXPECT_NEAR(nWritten * 0.040, fVideo, 0.1) << "r_frame_rate " << st[0]["r_frame_rate"];
    if (bAudio) {
        EXPECT_EQ("aac", st[1]["codec_name"]);
        EXPECT_NEAR(fVideo, atof(st[1]["duration"].c_str()), 0.2) << "sound out of step";
    }
}

// Everything written to stderr until Stop, through a pipe: the log lines of
// all threads, never cut by a file size limit. Passed on to stderr after.
struct StderrTap {
    int fds[2] = {-1, -1}, saved = -1;
    std::string text;
    std::thread reader;

    StderrTap()
    {
        if (pipe(fds) != 0)
            return;
        saved = dup(2);
        dup2(fds[1], 2);
        close(fds[1]);
        reader = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fds[0], buf, sizeof buf)) > 0)
                text.append(buf, (size_t)n);
        });
    }
    const std::string &Stop()
    {
        if (saved >= 0) {
            dup2(saved, 2);  // the pipe's last writer: the reader sees its end
            close(saved);
            saved = -1;
            reader.join();
            close(fds[0]);
            fputs(text.c_str(), stderr);
        }
        return text;
    }
    ~StderrTap() { Stop(); }
};

// Files of this process cannot grow past nBytes, and a write beyond fails
// with EFBIG (its signal ignored) the way one fails on a full disk.
struct FileSizeLimit {
    struct rlimit old;
    void (*oldSignal)(int);
    FileSizeLimit(rlim_t nBytes)
    {
        getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit lim = old;
        lim.rlim_cur = nBytes;
        oldSignal = signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldSignal);
    }
};

// The disk fills up during a recording and a snapshot: the stop fails and
// says why, the recording keeps its playable beginning under a name that
// says it is cut short, the snapshot leaves no file and its failure carries
// libjpeg's reason.
TEST_F(AviRecorderLive, FullDiskCutsTheRecordingShortAndSaysSo)
{
    std::string base = TestDir() + "/full", jpg = TestDir() + "/full.jpg";
    PacedCamera cam;
    ASSERT_TRUE(cam.Start(TestDir() + "/cam_full.ts", 4.0, true, "640x480"));
    CIpCamera camera(82, "full", "");
    Recorder rec;
    ASSERT_EQ(0, E2ePlay(&camera, &rec, cam.fifo, 0, 1));
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
        EXPECT_TRUE(cam.Wait());
        SleepMs(300);
        nStop = camera.StopSaveAvi(1);
    }
    camera.CloseMainStreamVideo();
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

// A camera recorded from the moment it is opened, before any picture is
// decoded: RTSP is not probed, so the picture size is unknown (nWidth 0 or
// the classic 320x240 stand-in), and FFmpeg's RTSP client hands G.726 over
// in the little-endian packing. The file has the camera's true size and
// both tracks, and decodes cleanly.
TEST_F(AviRecorderLive, RecordingFromTheOpenOfAnUnprobedCamera)
{
    E2E_REQUIRE_RTSP_CAMERA();
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--video", "h264", "--audio", "g726", "--size", "352x288"}));
    std::string dst = TestDir() + "/rtsp_unprobed.avi";
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, (server.sUrl + "?tcp").c_str(), 1, nullptr, 0, 0);
    ASSERT_NE(nullptr, ctx) << "stream did not open";
    EXPECT_EQ(AV_CODEC_ID_ADPCM_G726LE, ctx->nInAudioCodecId);
    ASSERT_EQ(0, FFMpegStartSaveAvi(ctx, dst.c_str()));
    SleepMs(3000);
    ASSERT_EQ(0, FFMpegStopSaveAvi(ctx));
    int64_t frames = ctx->nSaveVideoFrames;
    FFMpegContextDestroy(ctx);
    RtspServerStop(&server);

    EXPECT_GT(frames, 25);
    std::vector<Entry> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, 2, (long)frames, &st));
    EXPECT_EQ("352x288", st[0]["width"] + "x" + st[0]["height"]);
    EXPECT_EQ("h264", st[0]["codec_name"]);
    EXPECT_EQ("adpcm_g726", st[1]["codec_name"]);
    EXPECT_GT(atoi(st[1]["nb_read_frames"].c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutAudio, AviRecorderStreamTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "H264Aac" : "H264"; });

}  // namespace
