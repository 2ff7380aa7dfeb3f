// The recorder on a real stream context: FFMpegContextCreate reads a paced
// MPEG-TS stream from a FIFO (a camera that sends in real time and then
// stops), and its read thread writes the recording.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "RecordSource.h"

namespace {

// A background ffmpeg writing seconds of H.264 (+ AAC) as MPEG-TS into a
// FIFO at real-time pace, then ending: a camera that stops sending.
struct PacedCamera : ChildProcess {
    std::string fifo;

    bool Start(const std::string &path, double seconds, bool bAudio)
    {
        fifo = path;
        unlink(fifo.c_str());
        if (mkfifo(fifo.c_str(), 0600) != 0)
            return false;
        std::string sec = std::to_string(seconds);
        pid = fork();
        if (pid == 0) {
            std::vector<const char *> args = {"ffmpeg", "-nostdin", "-v", "error", "-re", "-f", "lavfi",
                                              "-i", "testsrc2=size=320x240:rate=25"};
            if (bAudio) {
                args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100"});
            }
            args.insert(args.end(), {"-t", sec.c_str(), "-c:v", "libx264", "-g", "12", "-bf", "0",
                                     "-tune", "zerolatency", "-pix_fmt", "yuv420p"});
            if (bAudio) {
                args.insert(args.end(), {"-c:a", "aac", "-ac", "1", "-b:a", "64k"});
            }
            args.insert(args.end(), {"-f", "mpegts", "-y", fifo.c_str(), nullptr});
            execvp("ffmpeg", (char *const *)args.data());
            _exit(127);
        }
        return pid > 0;
    }

    ~PacedCamera()
    {
        if (!fifo.empty())
            unlink(fifo.c_str());
    }
};

int64_t SavedFrames(FFMpegContext *ctx)
{
    MutexLock(ctx->hSaveMutex);
    int64_t n = ctx->nSaveVideoFrames;
    MutexUnlock(ctx->hSaveMutex);
    return n;
}

class AviRecorderStreamTest : public RecorderMediaTest, public testing::WithParamInterface<bool> {};
class AviRecorderRtsp : public RecorderMediaTest {};

// Records while the camera sends, keeps recording after it went silent,
// then stops: the file holds every packet the read thread wrote, decodes
// cleanly and carries the measured rate.
TEST_P(AviRecorderStreamTest, CameraThatStopsSendingLeavesAPlayableFile)
{
    bool bAudio = GetParam();
    std::string tag = bAudio ? "av" : "v";
    std::string fifo = TestDir() + "/cam_" + tag + ".ts";
    std::string dst = TestDir() + "/live_" + tag + ".avi";
    PacedCamera cam;
    ASSERT_TRUE(cam.Start(fifo, 3.0, bAudio));

    FFMpegContext *ctx = FFMpegContextCreate(nullptr, fifo.c_str(), 2, nullptr, 0, 0);
    ASSERT_NE(nullptr, ctx) << "stream did not open";
    EXPECT_EQ(bAudio ? AV_CODEC_ID_AAC : AV_CODEC_ID_NONE, ctx->nInAudioCodecId);

    uint32_t t0 = TickCount();
    ASSERT_EQ(0, FFMpegStartSaveAvi(ctx, dst.c_str()));
    EXPECT_EQ(-1, FFMpegStartSaveAvi(ctx, dst.c_str()));
    // The camera sends for the rest of its 3 seconds and then goes silent.
    EXPECT_TRUE(cam.Wait());
    SleepMs(300);  // the read thread drains what is still in the pipe
    uint32_t tSilence = TickCount();
    int64_t atSilence = SavedFrames(ctx);
    EXPECT_GT(atSilence, 20);
    SleepMs(500);
    EXPECT_EQ(atSilence, SavedFrames(ctx));
    EXPECT_EQ(0, AtomicGet(&ctx->bFinish)) << "the read thread waits for data for 40 s";

    ASSERT_EQ(0, FFMpegStopSaveAvi(ctx));
    uint32_t elapsed = TickCount() - t0;
    uint32_t silent = TickCount() - tSilence;
    EXPECT_EQ(-1, FFMpegStopSaveAvi(ctx));
    FFMpegContextDestroy(ctx);

    // Every written video packet is in the file.
    std::vector<ProbedStream> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, bAudio ? 2 : 1, (long)atSilence, &st));
    EXPECT_EQ("h264", st[0].codecName);
    if (bAudio) {
        EXPECT_EQ("aac", st[1].codecName);
        EXPECT_GT(st[1].nReadFrames, 0);
    }
    EXPECT_EQ(0, CountEmptyChunks(ReadAll(dst))) << "padding chunks: timestamps off their time base";

    // The rate counts the silent time too: frames x 100000 / elapsed ms,
    // where the elapsed time runs from the first written packet to the
    // stop, so it lies between our start call and the silence.
    uint32_t rate = ReadLe32At(dst, AVI_RATE_OFFSET);
    EXPECT_GE(rate, (uint32_t)(atSilence * 100000 / elapsed));
    EXPECT_LE(rate, (uint32_t)(atSilence * 100000 / silent));
}

// The RTSP test camera, started for one test: its URL, or "" when it is
// not built or did not come up.
struct RtspCamera : ChildProcess {
    std::string Start(const std::vector<std::string> &args)
    {
        std::string bin = std::string(IPCAMERA_BINARY_DIR) + "/tests/tools/rtsp_camera/ipcam-test-rtsp";
        if (access(bin.c_str(), X_OK) != 0)
            return "";
        int fds[2];
        if (pipe(fds) != 0)
            return "";
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            // Its own diagnostics (GStreamer, a sanitizer build's exit
            // report) are not this test's.
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0)
                dup2(devnull, 2);
            std::vector<const char *> argv = {bin.c_str()};
            for (const std::string &a : args)
                argv.push_back(a.c_str());
            argv.push_back(nullptr);
            execv(bin.c_str(), (char *const *)argv.data());
            _exit(127);
        }
        close(fds[1]);
        // "ipcam-test-rtsp: ready rtsp://127.0.0.1:PORT/cam", within 10 s.
        std::string out;
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        for (int i = 0; i < 1000 && out.find('\n') == std::string::npos; i++) {
            char buf[256];
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n > 0)
                out.append(buf, (size_t)n);
            else if (n == 0)
                break;
            else
                SleepMs(10);
        }
        close(fds[0]);
        size_t at = out.find("ready ");
        if (at == std::string::npos)
            return "";
        return out.substr(at + 6, out.find('\n', at) - at - 6);
    }
};

// A camera recorded from the moment it is opened, before any picture is
// decoded: RTSP is not probed, so the picture size is unknown (nWidth 0 or
// the classic 320x240 stand-in), and FFmpeg's RTSP client hands G.726 over
// in the little-endian packing. The file has the camera's true size and
// both tracks, and decodes cleanly.
TEST_F(AviRecorderRtsp, RecordingFromTheOpenOfAnUnprobedCamera)
{
    RtspCamera cam;
    std::string url = cam.Start({"--video", "h264", "--audio", "g726", "--size", "352x288"});
    if (url.empty())
        GTEST_SKIP() << "ipcam-test-rtsp not built or did not start (gst-rtsp-server missing?)";
    std::string dst = TestDir() + "/rtsp_unprobed.avi";
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, (url + "?tcp").c_str(), 1, nullptr, 0, 0);
    ASSERT_NE(nullptr, ctx) << "stream did not open";
    EXPECT_EQ(AV_CODEC_ID_ADPCM_G726LE, ctx->nInAudioCodecId);
    ASSERT_EQ(0, FFMpegStartSaveAvi(ctx, dst.c_str()));
    SleepMs(3000);
    int64_t frames = SavedFrames(ctx);
    ASSERT_EQ(0, FFMpegStopSaveAvi(ctx));
    FFMpegContextDestroy(ctx);

    EXPECT_GT(frames, 25);
    EXPECT_EQ("352x288", VideoSize(dst));
    std::vector<ProbedStream> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, 2, (long)frames, &st));
    EXPECT_EQ("h264", st[0].codecName);
    EXPECT_EQ("adpcm_g726", st[1].codecName);
    EXPECT_GT(st[1].nReadFrames, 0);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutAudio, AviRecorderStreamTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "H264Aac" : "H264"; });

}  // namespace
