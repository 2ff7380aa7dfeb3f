// Decode thread behaviour: the paused-idle repeat, data payloads, disabled
// decoding and the key-frame wait, corrupt packets, pacing, clean stop.

#include "DecodeHarness.h"

namespace {

using harness::HandStream;

std::string H264Clip()
{
    // Key frames at packets 0 and 10.
    return mediagen::Video("behave_h264.mp4", 160, 120, 20, "yuv420p", "-c:v libx264 -bf 0 -g 10");
}

class Both : public ::testing::TestWithParam<int> {};

TEST_P(Both, PausedIdleThreadRepeatsTheLastPicture)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    int planar = GetParam();
    HandStream s;
    ASSERT_TRUE(s.Open(H264Clip(), planar));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    AtomicSet(&s.ctx.bPauseRead, 1);
    s.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
        std::lock_guard<std::mutex> g(s.sink.m);
        // Before any picture: refresh + a video event without a picture,
        // about every 10 ms.
        EXPECT_GE(s.sink.refreshes, 5);
        EXPECT_LE(s.sink.refreshes, 25);
        EXPECT_EQ(s.sink.nullFrames, s.sink.refreshes);
        EXPECT_EQ(s.sink.frames, 0);
    }
    s.Queue(pkts);
    s.Drain();
    int decoded, refreshes;
    const unsigned char *lastPtr;
    {
        std::lock_guard<std::mutex> g(s.sink.m);
        decoded = s.sink.frames;
        refreshes = s.sink.refreshes;
        lastPtr = s.sink.lastPtr;
    }
    EXPECT_GE(decoded, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    {
        std::lock_guard<std::mutex> g(s.sink.m);
        // Repeats now carry the last picture with its size.
        EXPECT_GE(s.sink.frames - decoded, 5);
        EXPECT_EQ(s.sink.refreshes - refreshes, s.sink.frames - decoded);
        EXPECT_EQ(s.sink.lastPtr, lastPtr);
        EXPECT_EQ(s.sink.lastW, 160);
        EXPECT_EQ(s.sink.lastH, 120);
    }
    // Not paused: an idle thread raises nothing.
    AtomicSet(&s.ctx.bPauseRead, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    int before;
    {
        std::lock_guard<std::mutex> g(s.sink.m);
        before = s.sink.refreshes;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    {
        std::lock_guard<std::mutex> g(s.sink.m);
        EXPECT_EQ(s.sink.refreshes, before);
    }
    s.Stop();
    harness::FreePackets(pkts);
}

TEST_P(Both, DataPayloadsAndDisabledDecoding)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    int planar = GetParam();
    HandStream s;
    ASSERT_TRUE(s.Open(H264Clip(), planar));
    s.ctx.nDataIndex = 7;
    std::vector<AVPacket *> pkts = s.ReadVideo();
    ASSERT_EQ(pkts.size(), 20u);
    ASSERT_TRUE(pkts[0]->flags & AV_PKT_FLAG_KEY);
    ASSERT_TRUE(pkts[10]->flags & AV_PKT_FLAG_KEY);
    s.Start();

    // Decoding off: the classic thread still delivers data, the planar
    // thread drops everything.
    std::vector<unsigned char> d1 = {0x06, 0x0E, 0x2B, 0x34, 0x00, 0xFF};
    s.QueueData(7, d1);
    for (int i = 0; i < 5; i++)
        s.Queue(pkts[i]);
    s.Drain();
    EXPECT_EQ(s.Frames(), 0);
    {
        std::lock_guard<std::mutex> g(s.sink.m);
        if (planar) {
            EXPECT_TRUE(s.sink.data.empty());
        } else {
            ASSERT_EQ(s.sink.data.size(), 1u);
            EXPECT_EQ(s.sink.data[0], d1);
        }
    }

    // On again: non-key packets wait for the next key packet (10).
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    for (int i = 5; i < 10; i++)
        s.Queue(pkts[i]);
    s.Drain();
    EXPECT_EQ(s.Frames(), 0);
    std::vector<unsigned char> d2(3000);
    for (size_t i = 0; i < d2.size(); i++)
        d2[i] = (unsigned char)(i * 7);
    s.QueueData(7, d2);
    for (int i = 10; i < 20; i++)
        s.Queue(pkts[i]);
    s.Drain();
    s.Stop();
    EXPECT_EQ(s.Frames(), 10);
    std::lock_guard<std::mutex> g(s.sink.m);
    ASSERT_EQ(s.sink.data.size(), planar ? 1u : 2u);
    EXPECT_EQ(s.sink.data.back(), d2);
    harness::FreePackets(pkts);
}

// Calls of the frame-ready wait; the session's real one would block.
int g_waits = 0;
int CountWait(FFMpegContext *)
{
    __atomic_add_fetch(&g_waits, 1, __ATOMIC_RELAXED);
    return 0;
}

TEST_P(Both, SmoothModeWaitsOncePerVideoPacket)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    int planar = GetParam();
    HandStream s;
    ASSERT_TRUE(s.Open(H264Clip(), planar));
    s.ctx.nDataIndex = 7;
    s.ctx.bSmoothStream = 1;
    s.ctx.pfnVideoWait = CountWait;
    __atomic_store_n(&g_waits, 0, __ATOMIC_RELAXED);
    std::vector<AVPacket *> pkts = s.ReadVideo();
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    s.Queue(pkts);
    s.QueueData(7, {1, 2, 3});
    s.Start();
    s.Drain();
    s.Stop();
    EXPECT_EQ(__atomic_load_n(&g_waits, __ATOMIC_RELAXED), 20);
    EXPECT_EQ(s.Frames(), 20);
    harness::FreePackets(pkts);
}

INSTANTIATE_TEST_SUITE_P(Decode, Both, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &i) { return i.param ? "planar" : "bgr"; });

AVPacket *Junk(int flags, unsigned seed)
{
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, 2048);
    for (int i = 0; i < 2048; i++)
        p->data[i] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
    p->flags = flags;
    return p;
}

std::string Mpeg4Clip()
{
    return mediagen::Video("behave_mpeg4.avi", 160, 120, 10, "yuv420p", "-c:v mpeg4 -g 5 -bf 0");
}

TEST(DecodeBehaviour, ClassicWithholdsPicturesAfterAnErrorUntilAKeyPacket)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    HandStream s;
    ASSERT_TRUE(s.Open(H264Clip(), 0));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    mediagen::StderrCapture cap;
    s.Start();
    for (int i = 0; i < 3; i++)
        s.Queue(pkts[i]);
    // An empty-looking packet that the decoder rejects.
    AVPacket *bad = av_packet_alloc();
    av_new_packet(bad, 16);
    memset(bad->data, 0, 16);
    bad->data[3] = 1;
    bad->data[4] = 0x67;  // an SPS that is all zeros: invalid
    s.Queue(bad);
    for (int i = 3; i < 20; i++)
        s.Queue(pkts[i]);
    s.Drain();
    s.Stop();
    std::string log = cap.Stop();
    // Packets 0-2 show; after the error 3-9 are withheld; 10-19 show again.
    EXPECT_NE(log.find("error while decoding frame"), std::string::npos) << log;
    EXPECT_EQ(s.Frames(), 13);
    av_packet_free(&bad);
    harness::FreePackets(pkts);
}

TEST(DecodeBehaviour, PlanarSurvivesTenCorruptPacketsAndStopsAtTheEleventh)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    HandStream s;
    ASSERT_TRUE(s.Open(Mpeg4Clip(), 1));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    mediagen::StderrCapture cap;
    s.Start();
    std::vector<AVPacket *> junk;
    for (int i = 0; i < 10; i++)
        junk.push_back(Junk(AV_PKT_FLAG_KEY, 100 + i));
    s.Queue(junk);
    s.Queue(pkts[0]);  // a good key packet resets the count
    s.Drain();
    EXPECT_EQ(AtomicGet(&s.ctx.bRunning), 1);
    EXPECT_EQ(s.Frames(), 1);
    s.Queue(junk);
    s.Drain();
    EXPECT_EQ(AtomicGet(&s.ctx.bRunning), 1);
    AVPacket *eleventh = Junk(AV_PKT_FLAG_KEY, 999);
    s.Queue(eleventh);
    s.Queue(pkts[0]);
    s.Drain();
    std::string log = cap.Stop();
    EXPECT_EQ(AtomicGet(&s.ctx.bRunning), 0);
    EXPECT_NE(log.find("got_picture:0 retry:11"), std::string::npos) << log;
    // The thread has ended on its own; Stop only joins it.
    s.Stop();
    EXPECT_EQ(s.Frames(), 1);
    av_packet_free(&eleventh);
    harness::FreePackets(junk);
    harness::FreePackets(pkts);
}

TEST(DecodeBehaviour, StopEndsTheThreadWithPacketsStillQueued)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    for (int planar = 0; planar <= 1; planar++) {
        HandStream s;
        ASSERT_TRUE(s.Open(H264Clip(), planar));
        std::vector<AVPacket *> pkts = s.ReadVideo();
        AtomicSet(&s.ctx.bDecodeEnable, 1);
        for (int r = 0; r < 20; r++)
            s.Queue(pkts);
        s.Start();
        auto t0 = std::chrono::steady_clock::now();
        s.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        // The rest stays queued for the context's own clean-up.
        EXPECT_GT(GetAVPktListElmCount(&s.ctx), 0);
        harness::FreePackets(pkts);
    }
}

}  // namespace
