// The raw HTTP reader against the HTTP test camera (ipcam-test-http) over a
// real loopback connection: opening (first header, codecs, decoders for each
// audio codec), every frame arriving intact in order, resynchronisation
// after garbage, split writes and oversized lengths, the read time-out of a
// stalled camera, a closed connection, and a blocked read ended by clearing
// bRunning (so destroying a stream never hangs).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "stream/FFMpegContext.h"
#include "stream/FFmpegCompat.h"
#include "decode/HevcProbe.h"
#include "stream/HttpRaw.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const std::string kCamera = std::string(IPCAMERA_BINARY_DIR) + "/tests/tools/http_camera/ipcam-test-http";

int Shell(const std::string &cmd)
{
    return system(cmd.c_str());
}

// A camera child process; stopped with SIGTERM when the test ends.
struct Camera {
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
            for (auto &a : args)
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
    ~Camera()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Media made once per run with the ffmpeg command-line tool.
class HttpCamera : public ::testing::Test {
protected:
    static std::string s_dir;
    static bool s_ok;

    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/ipcam_httpcam_XXXXXX";
        s_dir = mkdtemp(tmpl) ? tmpl : "";
        const std::string f = "ffmpeg -v error -y ";
        const std::string video = "-f lavfi -i testsrc=size=320x240:rate=25 -t 2 -pix_fmt yuv420p ";
        const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=";
        s_ok = !s_dir.empty() &&
               Shell(f + video + "-c:v libx264 -g 25 -bf 0 -f h264 " + s_dir + "/v.h264") == 0 &&
               Shell(f + video + "-c:v libx265 -x265-params keyint=25:bframes=0:repeat-headers=1:log-level=error "
                                 "-f hevc " + s_dir + "/v.hevc") == 0 &&
               Shell(f + tone + "8000 -t 2 -c:a pcm_mulaw -f mulaw " + s_dir + "/a.mulaw") == 0 &&
               Shell(f + tone + "8000 -t 2 -c:a pcm_alaw -f alaw " + s_dir + "/a.alaw") == 0 &&
               Shell(f + tone + "16000 -t 2 -c:a g722 -f g722 " + s_dir + "/a.g722") == 0 &&
               Shell(f + tone + "8000 -t 2 -c:a g726 -b:a 16k -f g726 " + s_dir + "/a.g726") == 0 &&
               Shell(f + tone + "16000 -t 2 -c:a aac -f adts " + s_dir + "/a.aac") == 0;
    }
    static void TearDownTestSuite()
    {
        if (!s_dir.empty())
            Shell("rm -rf " + s_dir);
    }

    FFMpegContext *ctx = nullptr;
    AVPacket *pkt = nullptr;

    void SetUp() override
    {
        if (access(kCamera.c_str(), X_OK) != 0)
            GTEST_SKIP() << "ipcam-test-http not built at " << kCamera;
        ASSERT_TRUE(s_ok) << "ffmpeg could not make the test media";
        ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
        ctx->bRunning = 1;
        ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
        pkt = av_packet_alloc();
    }
    void TearDown() override
    {
        av_packet_free(&pkt);
        if (ctx) {
            http_close_stream(ctx);
            MemFree(ctx);
        }
    }
    bool Open(const std::string &url)
    {
        snprintf(ctx->szName, sizeof(ctx->szName), "%s", url.c_str());
        return http_open_stream(ctx, url.c_str(), "http") == 0;
    }
    // Reads until the end of the stream (-3), collecting packets.
    void ReadAll(std::vector<Bytes> *video, std::vector<int> *flags, int *nAudio, int *nData = nullptr)
    {
        for (int guard = 0; guard < 100000; guard++) {
            av_packet_unref(pkt);
            int r = http_read_data(ctx, pkt);
            if (r == -3)
                return;
            if (r < 0)
                continue;
            if (pkt->stream_index == ctx->nVideoIndex) {
                video->emplace_back(pkt->data, pkt->data + pkt->size);
                flags->push_back(pkt->flags);
            } else if (pkt->stream_index == ctx->nAudioIndex) {
                (*nAudio)++;
            } else if (nData) {
                (*nData)++;
            }
        }
    }
    static std::vector<Bytes> SourceUnits(const std::string &path)
    {
        std::vector<Bytes> out;
        AVFormatContext *fmt = nullptr;
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
            return out;
        AVPacket *p = av_packet_alloc();
        while (av_read_frame(fmt, p) >= 0) {
            out.emplace_back(p->data, p->data + p->size);
            av_packet_unref(p);
        }
        av_packet_free(&p);
        avformat_close_input(&fmt);
        return out;
    }
};
std::string HttpCamera::s_dir;
bool HttpCamera::s_ok = false;

}  // namespace

TEST_F(HttpCamera, EveryFrameArrivesIntactAndDecodes)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--audio", s_dir + "/a.mulaw", "--audio-codec", "mulaw",
                           "--burst", "--once", "--data-every", "10"}));
    ASSERT_TRUE(Open(cam.url));
    EXPECT_EQ(320, ctx->nWidth);
    EXPECT_EQ(240, ctx->nHeight);
    EXPECT_EQ(AV_CODEC_ID_H264, ctx->nInVideoCodecId);
    EXPECT_EQ(AV_CODEC_ID_PCM_MULAW, ctx->nInAudioCodecId);
    EXPECT_EQ(0, ctx->nVideoIndex);
    EXPECT_EQ(1, ctx->nAudioIndex);
    EXPECT_EQ(-1, ctx->nDataIndex);
    ASSERT_NE(nullptr, ctx->pVideoCodecCtx);
    ASSERT_NE(nullptr, ctx->pAudioCodecCtx);
    EXPECT_TRUE(ctx->pVideoCodecCtx->flags & AV_CODEC_FLAG_LOW_DELAY);

    std::vector<Bytes> video;
    std::vector<int> flags;
    int nAudio = 0, nData = 0;
    ReadAll(&video, &flags, &nAudio, &nData);
    std::vector<Bytes> src = SourceUnits(s_dir + "/v.h264");
    ASSERT_EQ(src.size(), video.size());
    for (size_t i = 0; i < src.size(); i++)
        ASSERT_EQ(src[i], video[i]) << i;
    EXPECT_EQ(AV_PKT_FLAG_KEY, flags[0]);
    EXPECT_EQ(0, flags[1]);
    EXPECT_GE(nAudio, 45);  // 40 ms pieces of 2 s, cut at the video's end
    EXPECT_GE(nData, 8);  // after every 10th of ~100 frames

    // The opened decoder takes the packets: the first gives a 320x240 picture.
    AVFrame *f = av_frame_alloc();
    int got = 0, pics = 0;
    for (auto &v : video) {
        av_packet_unref(pkt);
        av_new_packet(pkt, (int)v.size());
        memcpy(pkt->data, v.data(), v.size());
        if (FFCompatDecode(ctx->pVideoCodecCtx, f, &got, pkt) >= 0 && got) {
            pics++;
            EXPECT_EQ(320, f->width);
        }
    }
    EXPECT_GE(pics, (int)video.size() - 2);
    av_frame_free(&f);
}

TEST_F(HttpCamera, AudioCodecsFromTheFirstHeader)
{
    struct Case {
        const char *codec;
        enum AVCodecID id;
        int rate;
    } cases[] = {
        {"mulaw", AV_CODEC_ID_PCM_MULAW, 8000}, {"alaw", AV_CODEC_ID_PCM_ALAW, 8000},
        {"g722", AV_CODEC_ID_ADPCM_G722, 16000}, {"g726", AV_CODEC_ID_ADPCM_G726, 8000},
        {"aac", AV_CODEC_ID_AAC, 16000},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.codec);
        Camera cam;
        ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.hevc", "--audio", s_dir + "/a." + c.codec, "--audio-codec",
                               c.codec, "--once", "--close-after", "30", "--burst"}));
        ASSERT_TRUE(Open(cam.url));
        EXPECT_EQ(AV_CODEC_ID_HEVC, ctx->nInVideoCodecId);
        EXPECT_EQ(c.id, ctx->nInAudioCodecId);
        ASSERT_NE(nullptr, ctx->pAudioCodecCtx);
        EXPECT_EQ(c.rate, ctx->pAudioCodecCtx->sample_rate);
        if (c.id == AV_CODEC_ID_ADPCM_G726) {
            EXPECT_EQ(2, ctx->pAudioCodecCtx->bits_per_coded_sample);
        }
        // An audio packet decodes to sound with the opened context.
        AVFrame *f = av_frame_alloc();
        int samples = 0;
        for (int i = 0; i < 200 && samples == 0; i++) {
            av_packet_unref(pkt);
            int r = http_read_data(ctx, pkt);
            if (r == -3)
                break;
            int got = 0;
            if (r > 0 && pkt->stream_index == 1 && FFCompatDecode(ctx->pAudioCodecCtx, f, &got, pkt) >= 0 && got)
                samples = f->nb_samples;
        }
        EXPECT_GT(samples, 0);
        av_frame_free(&f);
        http_close_stream(ctx);
        memset(ctx, 0, sizeof(*ctx));
        ctx->bRunning = 1;
        ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
    }
}

TEST_F(HttpCamera, AudioTypeOverridesAndNoAudio)
{
    {
        Camera cam;  // unknown audio type 9 selects G.711 mu-law
        ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--audio", s_dir + "/a.alaw", "--audio-codec", "alaw",
                               "--audio-type", "9", "--once", "--close-after", "5", "--burst"}));
        ASSERT_TRUE(Open(cam.url));
        EXPECT_EQ(AV_CODEC_ID_PCM_MULAW, ctx->nInAudioCodecId);
        http_close_stream(ctx);
    }
    memset(ctx, 0, sizeof(*ctx));
    ctx->bRunning = 1;
    ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--no-audio", "--once", "--close-after", "5", "--burst"}));
    ASSERT_TRUE(Open(cam.url));
    EXPECT_EQ(-1, ctx->nAudioIndex);
    EXPECT_EQ(AV_CODEC_ID_NONE, ctx->nInAudioCodecId);
    EXPECT_EQ(nullptr, ctx->pAudioCodecCtx);
}

TEST_F(HttpCamera, GarbageSplitWritesAndOversizedLengths)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--no-audio", "--burst", "--once", "--garbage-every", "3",
                           "--garbage-bytes", "500", "--split", "700", "--oversize-every", "10"}));
    ASSERT_TRUE(Open(cam.url));
    std::vector<Bytes> video;
    std::vector<int> flags;
    int nAudio = 0;
    ReadAll(&video, &flags, &nAudio);
    std::vector<Bytes> src = SourceUnits(s_dir + "/v.h264");
    // Received frames are intact source frames in order. An oversized header
    // costs that frame, the frames held with it (a 2000-byte read may hold
    // several small ones) and those whose start codes fall in the rest of
    // its payload, which arrives before the next start code is found.
    size_t j = 0;
    for (auto &v : video) {
        while (j < src.size() && src[j] != v)
            j++;
        ASSERT_LT(j, src.size()) << "a received frame is not a source frame";
        j++;
    }
    size_t nOversized = src.size() / 10;
    EXPECT_GE(video.size(), src.size() - 4 * nOversized);
    EXPECT_LE(video.size(), src.size() - nOversized);
}

TEST_F(HttpCamera, StalledCameraTimesOutThenResumes)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--no-audio", "--burst", "--once", "--stall-after", "5",
                           "--stall-ms", "6500", "--close-after", "12"}));
    ASSERT_TRUE(Open(cam.url));
    ::testing::internal::CaptureStderr();
    int nPackets = 0, nTimeouts = 0;
    for (int guard = 0; guard < 1000; guard++) {
        av_packet_unref(pkt);
        int r = http_read_data(ctx, pkt);
        if (r == -3)
            break;
        if (r == -2)
            nTimeouts++;
        if (r >= 0)
            nPackets++;
    }
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(12, nPackets);
    EXPECT_GE(nTimeouts, 1);
    // The time-out ends either a read that got nothing or one that got part.
    EXPECT_TRUE(log.find("-138 eof_reached:") != std::string::npos || log.find(" need:") != std::string::npos)
        << log;
}

TEST_F(HttpCamera, ClearingRunningEndsABlockedRead)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--no-audio", "--burst", "--once", "--stall-after", "3",
                           "--stall-ms", "-1"}));
    ASSERT_TRUE(Open(cam.url));
    std::atomic<int> last(0);
    std::atomic<uint32_t> endTick(0);
    std::thread reader([&] {
        int r;
        do {
            av_packet_unref(pkt);
            r = http_read_data(ctx, pkt);
        } while (r != -3);
        last = r;
        endTick = TickCount();
    });
    SleepMs(700);  // the reader is now blocked on the silent camera
    EXPECT_EQ(0u, endTick.load());
    uint32_t t0 = TickCount();
    AtomicSet(&ctx->bRunning, 0);
    reader.join();
    EXPECT_EQ(-3, last.load());
    EXPECT_LT((uint32_t)(endTick - t0), 1000u);
}

TEST_F(HttpCamera, ContextCreateAndDestroyOnAStalledCamera)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.hevc", "--audio", s_dir + "/a.g726", "--audio-codec", "g726",
                           "--once", "--stall-after", "20", "--stall-ms", "-1"}));
    MemFree(ctx);
    ctx = nullptr;
    FFMpegContext *c = FFMpegContextCreate(nullptr, cam.url.c_str(), 2, nullptr, 0, 1);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(1, c->bHttpRaw);
    EXPECT_EQ(320, AtomicGet(&c->nWidth));
    EXPECT_EQ(AV_CODEC_ID_HEVC, c->nInVideoCodecId);
    EXPECT_EQ(AV_CODEC_ID_ADPCM_G726, c->nInAudioCodecId);
    SleepMs(1500);  // 20 frames at 25 fps, then silence
    uint32_t t0 = TickCount();
    FFMpegContextDestroy(c);
    EXPECT_LT((uint32_t)(TickCount() - t0), 2000u);
}

TEST_F(HttpCamera, MarkerSeiKeyFramesPassTheProbes)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.hevc", "--no-audio", "--burst", "--once", "--marker-sei"}));
    ASSERT_TRUE(Open(cam.url));
    std::vector<Bytes> video;
    std::vector<int> flags;
    int nAudio = 0;
    ReadAll(&video, &flags, &nAudio);
    ASSERT_EQ(50u, video.size());
    int nKeys = 0;
    for (size_t i = 0; i < video.size(); i++) {
        AVPacket p;
        memset(&p, 0, sizeof(p));
        p.data = video[i].data();
        p.size = (int)video[i].size();
        HevcSpsProbe probe;
        int key = flags[i] == AV_PKT_FLAG_KEY;
        nKeys += key;
        EXPECT_EQ(key, probe_sei(&p)) << i;
        EXPECT_EQ(key ? 0 : -1, find_hevc_sps(&p, &probe)) << i;
        if (key) {
            EXPECT_EQ(320u, probe.info.nWidth);
            EXPECT_EQ(240u, probe.info.nHeight);
        }
    }
    EXPECT_EQ(2, nKeys);  // 2 s with a key frame every 25
}
