// The decode threads on a hand-fed stream (DecodeHarness.h): pictures in
// the host layouts (BGR24 bottom-up, I420) with correct colours whatever
// format the decoder produces, odd sizes; corrupt packets, a clean stop,
// and AAC packets FAAD2 cannot take. (Data, the decode switch, pause,
// smooth stream and audio are played end to end in tests/e2e.)

#include "DecodeHarness.h"

#include "decode/AudioDecode.h"
#include "decode/PictureOut.h"

namespace {

using harness::HandStream;

struct Rgb {
    int r, g, b;
};

// Pixel (x, y) counted from the top of the picture.
Rgb BgrAt(const std::vector<unsigned char> &buf, int w, int h, int x, int y)
{
    size_t row = (size_t)(h - 1 - y);  // bottom row first
    const unsigned char *p = &buf[(row * w + x) * 3];
    return Rgb{p[2], p[1], p[0]};
}

struct Yuv {
    int y, u, v;
};

Yuv I420At(const std::vector<unsigned char> &buf, int w, int h, int x, int y)
{
    size_t cw = w / 2, ch = h / 2;
    size_t uOff = (size_t)w * h, vOff = uOff + cw * ch;
    return Yuv{buf[(size_t)y * w + x], buf[uOff + (y / 2) * cw + x / 2], buf[vOff + (y / 2) * cw + x / 2]};
}

void ExpectNear(int actual, int want, int tol, const char *what)
{
    EXPECT_NEAR(actual, want, tol) << what;
}

// Red marker top left, blue marker bottom left (MediaGen.h).
void CheckBgrMarkers(const std::vector<unsigned char> &buf, int w, int h)
{
    ASSERT_EQ(buf.size(), (size_t)w * h * 3);
    // The very first bytes are the bottom row's leftmost pixel: blue.
    ExpectNear(buf[0], 255, 40, "first byte (blue)");
    ExpectNear(buf[1], 0, 40, "second byte (green)");
    ExpectNear(buf[2], 0, 40, "third byte (red)");
    Rgb top = BgrAt(buf, w, h, w / 8, h / 8);
    ExpectNear(top.r, 255, 40, "top marker red");
    ExpectNear(top.g, 0, 40, "top marker green");
    ExpectNear(top.b, 0, 40, "top marker blue");
    Rgb bottom = BgrAt(buf, w, h, w / 8, h - 1 - h / 8);
    ExpectNear(bottom.b, 255, 40, "bottom marker blue");
    ExpectNear(bottom.r, 0, 40, "bottom marker red");
}

// Limited-range BT.601 red is about (81, 90, 240), blue (41, 240, 110);
// full-range sources are copied as they are, hence the tolerance.
void CheckI420Markers(const std::vector<unsigned char> &buf, int w, int h)
{
    ASSERT_EQ(buf.size(), (size_t)w * h * 3 / 2);
    Yuv red = I420At(buf, w, h, w / 8, h / 8);
    ExpectNear(red.y, 81, 22, "red Y");
    ExpectNear(red.u, 90, 22, "red U");
    ExpectNear(red.v, 240, 22, "red V");
    Yuv blue = I420At(buf, w, h, w / 8, h - 1 - h / 8);
    ExpectNear(blue.y, 41, 22, "blue Y");
    ExpectNear(blue.u, 240, 22, "blue U");
    ExpectNear(blue.v, 110, 22, "blue V");
}

struct Source {
    const char *name;
    const char *pixFmt;
    const char *codec;
};

class Formats : public ::testing::TestWithParam<std::tuple<Source, int>> {};

TEST_P(Formats, MarkersArriveInTheHostLayout)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    Source src = std::get<0>(GetParam());
    int planar = std::get<1>(GetParam());
    const int w = 320, h = 240;
    std::string clip = mediagen::Video(src.name, w, h, 5, src.pixFmt, src.codec);
    if (clip.empty())
        GTEST_SKIP() << "ffmpeg cannot encode " << src.name;
    HandStream s;
    ASSERT_TRUE(s.Open(clip, planar));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    ASSERT_EQ(pkts.size(), 5u);
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    s.Queue(pkts);
    s.Start();
    s.Drain();
    s.Stop();
    EXPECT_EQ(s.sink.frames, 5);
    EXPECT_EQ(s.sink.firstW, w);
    EXPECT_EQ(s.sink.firstH, h);
    if (planar)
        CheckI420Markers(s.sink.first, w, h);
    else
        CheckBgrMarkers(s.sink.first, w, h);
    harness::FreePackets(pkts);
}

const Source kSources[] = {
    {"fmt_h264_420.mp4", "yuv420p", "-c:v libx264 -bf 0"},
    {"fmt_h264_j420.mkv", "yuvj420p", "-c:v libx264 -bf 0"},
    {"fmt_h264_422.mkv", "yuv422p", "-c:v libx264 -bf 0"},
    {"fmt_h265_420p10.mkv", "yuv420p10le", "-c:v libx265 -x265-params bframes=0:log-level=error"},
    {"fmt_mjpeg_444.avi", "yuvj444p", "-c:v mjpeg -q:v 2"},
};

INSTANTIATE_TEST_SUITE_P(Decode, Formats,
                         ::testing::Combine(::testing::ValuesIn(kSources), ::testing::Values(0, 1)),
                         [](const ::testing::TestParamInfo<Formats::ParamType> &i) {
                             std::string n = std::get<0>(i.param).name;
                             for (char &c : n)
                                 if (!isalnum((unsigned char)c))
                                     c = '_';
                             return n + (std::get<1>(i.param) ? "_planar" : "_bgr");
                         });

TEST(PictureOut, Nv12ChromaIsDeinterleaved)
{
    AVFrame *f = av_frame_alloc();
    f->format = AV_PIX_FMT_NV12;
    f->width = 4;
    f->height = 2;
    ASSERT_EQ(av_frame_get_buffer(f, 0), 0);
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 4; x++)
            f->data[0][y * f->linesize[0] + x] = (uint8_t)(1 + y * 4 + x);
    const uint8_t chroma[4] = {10, 20, 11, 21};
    memcpy(f->data[1], chroma, 4);
    I420Output o = {};
    std::vector<uint8_t> out(I420Size(4, 2) + 8, 0xAA);
    ASSERT_EQ(I420OutputCopy(&o, f, out.data()), 0);
    const uint8_t want[12] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20, 21};
    EXPECT_EQ(memcmp(out.data(), want, 12), 0);
    EXPECT_EQ(out[12], 0xAA);  // nothing written past the picture
    I420OutputFree(&o);
    av_frame_free(&f);
}

TEST(PictureOut, OddSizesKeepExactRowsAndBounds)
{
    // 7 x 5: BGR rows of 21 bytes, I420 of 35 + 2 x (3 x 2) bytes, also
    // when the source is converted (4:2:2) rather than copied.
    for (AVPixelFormat fmt : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P}) {
        AVFrame *f = av_frame_alloc();
        f->format = fmt;
        f->width = 7;
        f->height = 5;
        ASSERT_EQ(av_frame_get_buffer(f, 0), 0);
        for (int p = 0; p < 3; p++)
            memset(f->data[p], p == 0 ? 200 : 128, (size_t)f->linesize[p] * f->height);
        BgrOutput b = {};
        ASSERT_EQ(BgrOutputSetup(&b, 7, 5), 0);
        ASSERT_EQ(BgrOutputConvert(&b, f), 0);
        EXPECT_EQ(b.pOutPic->linesize[0], -21);
        EXPECT_EQ(b.pOutPic->data[0], b.pOutBuf + 4 * 21);
        EXPECT_NEAR(b.pOutBuf[0], 216, 12);       // grey 200 in limited range
        EXPECT_NEAR(b.pOutBuf[5 * 21 - 1], 216, 12);  // last byte of the top row
        BgrOutputFree(&b);
        BgrOutputFree(&b);

        I420Output o = {};
        std::vector<uint8_t> out(I420Size(7, 5) + 8, 0xAA);
        EXPECT_EQ(I420Size(7, 5), 52);
        ASSERT_EQ(I420OutputCopy(&o, f, out.data()), 0);
        EXPECT_EQ(out[0], 200);
        EXPECT_NEAR(out[35], 128, 2);
        EXPECT_NEAR(out[46], 128, 2);
        EXPECT_EQ(out[52], 0xAA);
        I420OutputFree(&o);
        av_frame_free(&f);
    }
}

std::string H264Clip()
{
    // Key frames at packets 0 and 10.
    return mediagen::Video("behave_h264.mp4", 160, 120, 20, "yuv420p", "-c:v libx264 -bf 0 -g 10");
}

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

TEST(AudioDecoder, AacInitRetriesAndBoundedCopy)
{
    // No stream configuration: the decoder initialises from the packet,
    // and a packet that is not AAC yields nothing.
    FFMpegContext ctx = {};
    ctx.nInAudioCodecId = AV_CODEC_ID_AAC;
    AudioDecoder *a = new AudioDecoder;
    AudioDecoderOpen(a, &ctx);
    ASSERT_NE(a->hAac, nullptr);
    uint8_t junk[64 + AV_INPUT_BUFFER_PADDING_SIZE] = {0};
    AVPacket pkt = {};
    pkt.data = junk;
    pkt.size = 64;
    int bytes = -1, rate = -1;
    EXPECT_EQ(AudioDecodePacket(a, &ctx, &pkt, &bytes, &rate), AUDIO_DROP);
    EXPECT_EQ(bytes, 0);
    AudioDecoderClose(a);
    EXPECT_EQ(a->hAac, nullptr);
    AudioDecoderClose(a);

    // Without a decoder context a non-AAC packet is dropped.
    ctx.nInAudioCodecId = AV_CODEC_ID_PCM_MULAW;
    AudioDecoderOpen(a, &ctx);
    EXPECT_EQ(a->hAac, nullptr);
    EXPECT_EQ(AudioDecodePacket(a, &ctx, &pkt, &bytes, &rate), AUDIO_DROP);
    delete a;
}

}  // namespace
