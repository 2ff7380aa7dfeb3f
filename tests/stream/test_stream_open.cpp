// Opening and playing streams: open failures with their error codes, the
// fields an open fills in, the name bound, decoding only after
// SetDecodeEnable with statistics, close while a read blocks, a hang-up,
// queue overflow. (Repeated open/close and plain playback of files and
// cameras are covered end to end in tests/e2e.)

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "MediaGen.h"
#include "PacedServer.h"
#include "ipcamera/IpCamera.h"
#include "stream/FFMpegContext.h"
#include "stream/PacketQueue.h"
#include "support/Platform.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Counter {
    std::mutex m;
    int frames = 0;
    int w = 0, h = 0;
};

int OnVideo(void *, void *user, unsigned char *frame, int w, int h)
{
    Counter *c = (Counter *)user;
    std::lock_guard<std::mutex> g(c->m);
    if (frame != nullptr && w > 0) {
        c->frames++;
        c->w = w;
        c->h = h;
    }
    return 0;
}

int Frames(Counter &c)
{
    std::lock_guard<std::mutex> g(c.m);
    return c.frames;
}

// A live-like MPEG-TS clip: 160x120, 25 fps, key frame every 25.
std::string LiveClip()
{
    return mediagen::Video("live_ts.ts", 160, 120, 250, "yuv420p", "-c:v libx264 -bf 0 -g 25 -b:v 200k");
}

struct OpenFailure {
    const char *what;
    int connectType;
    std::string url;
    std::string line;
};

TEST(StreamOpen, BadAddressesFailWithTheirLines)
{
    // A port nobody listens on: bind one, note it, close it.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, (sockaddr *)&a, sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, (sockaddr *)&a, &len);
    int port = ntohs(a.sin_port);
    close(s);

    std::string missing = mediagen::Dir() + "/no_such_file.mp4";
    char refusedLine[128];
    snprintf(refusedLine, sizeof(refusedLine), "tcp avformat_open_input error ret:%d", AVERROR(ECONNREFUSED));
    char missingLine[128];
    snprintf(missingLine, sizeof(missingLine), "udp avformat_open_input error ret:%d", AVERROR(ENOENT));
    const OpenFailure cases[] = {
        {"missing file", 0, missing, missingLine},
        {"refused rtsp port", 1, "rtsp://127.0.0.1:" + std::to_string(port) + "/cam", refusedLine},
    };
    for (const OpenFailure &c : cases) {
        CIpCamera cam(5, "bad", "");
        cam.SetConnectType(c.connectType);
        mediagen::StderrCapture cap;
        auto t0 = Clock::now();
        EXPECT_EQ(cam.OpenMainStreamVideo(c.url.c_str()), -1) << c.what;
        auto took = Clock::now() - t0;
        std::string log = cap.Stop();
        EXPECT_LT(took, std::chrono::seconds(6)) << c.what;
        EXPECT_NE(log.find(c.line), std::string::npos) << c.what << ":\n" << log;
        EXPECT_FALSE(cam.IsMainVideoOpenSuc());
        EXPECT_EQ(cam.CloseMainStreamVideo(), 0);
    }
}

TEST(StreamOpen, SourceWithoutVideoFails)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string wav = mediagen::Make("audio_only.wav", "-f lavfi -i sine=sample_rate=8000 -t 1");
    ASSERT_FALSE(wav.empty());
    mediagen::StderrCapture cap;
    FFMpegRegister();
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, wav.c_str(), 2, nullptr, 0, 0);
    std::string log = cap.Stop();
    EXPECT_EQ(ctx, nullptr);
    EXPECT_NE(log.find("http video av_find_best_stream error! ret:"), std::string::npos) << log;
    FFMpegContextDestroy(ctx);
}

TEST(StreamOpen, FileOpensWithItsFieldsAndTheOpenLines)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = mediagen::Make("fields.mkv", "-f lavfi -i \"" + mediagen::MarkerFilter(176, 144, "yuv420p") +
                                                        "\" -f lavfi -i sine=sample_rate=8000 -t 1 -map 0:v -map 1:a"
                                                        " -c:v libx264 -bf 0 -c:a pcm_alaw -r 25");
    ASSERT_FALSE(clip.empty());
    FFMpegRegister();
    mediagen::StderrCapture cap;
    // Connect type 1 on a file: "?tcp" belongs to RTSP addresses only.
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, clip.c_str(), 1, nullptr, 3, 0);
    std::string log = cap.Stop();
    ASSERT_NE(ctx, nullptr) << log;
    EXPECT_STREQ(ctx->szName, clip.c_str());
    EXPECT_EQ(ctx->nVideoIndex, 0);
    EXPECT_EQ(ctx->nAudioIndex, 1);
    EXPECT_EQ(ctx->nDataIndex, -1);
    EXPECT_EQ(ctx->nInVideoCodecId, AV_CODEC_ID_H264);
    EXPECT_EQ(ctx->nInAudioCodecId, AV_CODEC_ID_PCM_ALAW);
    EXPECT_NE(ctx->pAudioCodecCtx, nullptr);
    EXPECT_EQ(AtomicGet(&ctx->nWidth), 176);
    EXPECT_EQ(AtomicGet(&ctx->nHeight), 144);
    // Matroska's 1/1000 time base.
    EXPECT_EQ(ctx->nFrameRateNum, 1000);
    EXPECT_EQ(ctx->nFrameRateDen, 1);
    EXPECT_EQ(ctx->bSmoothStream, 3);
    EXPECT_EQ(AtomicGet(&ctx->bRunning), 1);
    EXPECT_EQ(AtomicGet(&ctx->bDecodeEnable), 0);
    EXPECT_NE(log.find("tcp video:H264 nstream:2(0 1 -1) resolution:176*144 audio:1"), std::string::npos) << log;
    EXPECT_EQ(FFMpegIsConnecting(), 0);
    EXPECT_EQ(FFMpegContextDestroy(ctx), 0);
    EXPECT_EQ(FFMpegContextDestroy(nullptr), 0);
}

TEST(StreamOpen, LongAddressIsCutTo255Characters)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = mediagen::Video("long_name_src.mp4", 64, 48, 1, "yuv420p", "-c:v libx264");
    ASSERT_FALSE(clip.empty());
    std::string dir = mediagen::Dir() + "/" + std::string(200, 'd');
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + std::string(100, 'f') + ".mp4";
    unlink(path.c_str());
    ASSERT_EQ(symlink(clip.c_str(), path.c_str()), 0);
    ASSERT_GT(path.size(), 300u);
    FFMpegRegister();
    mediagen::StderrCapture quiet;
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, path.c_str(), 0, nullptr, 0, 1);
    quiet.Stop();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(strlen(ctx->szName), 255u);
    EXPECT_EQ(std::string(ctx->szName), path.substr(0, 255));
    FFMpegContextDestroy(ctx);
}

// Both decode threads, with the decoder's own threading (frame threads
// hand pictures out a few packets late).
class Play : public ::testing::TestWithParam<int> {};

TEST_P(Play, PicturesOnlyAfterDecodeEnableAndStatistics)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = LiveClip();
    ASSERT_FALSE(clip.empty());
    size_t bps = PacedBytesPerSecond(clip, 10);
    PacedServer server(clip, bps * 2, bps);
    ASSERT_TRUE(server.Loaded());
    CIpCamera cam(7, "live", "");
    Counter c;
    cam.SetConnectType(0);
    cam.SetD3DDisplay(GetParam());
    cam.SetVideoBufCallBack(OnVideo, &c);
    mediagen::StderrCapture cap;
    ASSERT_EQ(cam.OpenMainStreamVideo(server.Url().c_str()), 0);
    server.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(Frames(c), 0);
    cam.SetDecodeEnable(true, true);
    auto end = Clock::now() + std::chrono::seconds(5);
    while (Frames(c) < 10 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(Frames(c), 10);
    // Let a full statistics window pass with decoding on.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    float kbps = cam.getBitRate();
    int fps = cam.getFrameRate();
    EXPECT_GT(kbps, 50.0f);
    EXPECT_LT(kbps, 1000.0f);
    EXPECT_GE(fps, 15);
    EXPECT_LE(fps, 35);
    {
        std::lock_guard<std::mutex> g(c.m);
        EXPECT_EQ(c.w, 160);
        EXPECT_EQ(c.h, 120);
    }
    EXPECT_FALSE(cam.IsMainVideoFinish());
    EXPECT_EQ(cam.CloseMainStreamVideo(), 0);
    // A call that only fills the decoder's frame-thread pipeline is no
    // change of the picture size to nothing.
    std::string log = cap.Stop();
    EXPECT_EQ(log.find("to (0, 0)"), std::string::npos) << log.substr(0, 3000);
}

INSTANTIATE_TEST_SUITE_P(StreamPlay, Play, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &i) { return i.param ? "planar" : "bgr"; });

TEST(StreamPlay, CloseWhileAReadBlocksReturnsPromptly)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = LiveClip();
    ASSERT_FALSE(clip.empty());
    size_t bps = PacedBytesPerSecond(clip, 10);
    for (int planar = 0; planar <= 1; planar++) {
        PacedServer server(clip, bps * 3, bps);
        CIpCamera cam(8, "stall", "");
        cam.SetConnectType(0);
        cam.SetD3DDisplay(planar);
        ASSERT_EQ(cam.OpenMainStreamVideo(server.Url().c_str()), 0);
        cam.SetDecodeEnable(true, true);
        // Everything sent has been read; the next read waits for bytes that
        // never come.
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        auto t0 = Clock::now();
        EXPECT_EQ(cam.CloseMainStreamVideo(), 0);
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));
    }
}

TEST(StreamPlay, HangupEndsReadingButNotTheContext)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = LiveClip();
    ASSERT_FALSE(clip.empty());
    size_t bps = PacedBytesPerSecond(clip, 10);
    PacedServer server(clip, bps * 2, bps * 4);
    FFMpegRegister();
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, server.Url().c_str(), 0, nullptr, 0, 0);
    ASSERT_NE(ctx, nullptr);
    server.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Hangup();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The end of the stream is a read failure like any other: the context
    // keeps waiting for data (up to 40 s) rather than finishing at once.
    EXPECT_EQ(AtomicGet(&ctx->bFinish), 0);
    auto t0 = Clock::now();
    FFMpegContextDestroy(ctx);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
}

int SlowWait(FFMpegContext *)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    return 0;
}

TEST(StreamPlay, QueueOverflowIsCleared)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    // A local file is read far faster than this paced consumer takes it.
    std::string clip = mediagen::Video("overflow.ts", 160, 120, 600, "yuv420p", "-c:v libx264 -bf 0 -g 10");
    ASSERT_FALSE(clip.empty());
    PacedServer server(clip, 30000, 1 << 20);
    FFMpegRegister();
    mediagen::StderrCapture cap;
    FFMpegContext *ctx = FFMpegContextCreate(nullptr, server.Url().c_str(), 0, SlowWait, 1, 0);
    ASSERT_NE(ctx, nullptr);
    AtomicSet(&ctx->bDecodeEnable, 1);
    server.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    int queued = GetAVPktListElmCount(ctx);
    FFMpegContextDestroy(ctx);
    std::string log = cap.Stop();
    EXPECT_NE(log.find("]GetAVPktListElmCount: 101"), std::string::npos) << log.substr(0, 4000);
    EXPECT_LE(queued, 101);
}

}  // namespace
