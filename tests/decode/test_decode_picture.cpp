// Pictures out of both decode threads: BGR24 bottom-up with exact rows,
// I420 plane offsets, and correct colours whatever format the decoder
// produces (yuv420p, yuvj420p, 4:2:2, 10-bit).

#include "DecodeHarness.h"
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

TEST(DecodePicture, PlanarOffsetsOf640x480)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = mediagen::Video("plane_640.mp4", 640, 480, 2, "yuv420p", "-c:v libx264 -bf 0");
    ASSERT_FALSE(clip.empty());
    HandStream s;
    ASSERT_TRUE(s.Open(clip, 1));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    s.Queue(pkts);
    s.Start();
    s.Drain();
    s.Stop();
    ASSERT_EQ(s.sink.frames, 2);
    ASSERT_EQ(s.sink.first.size(), 460800u);
    const std::vector<unsigned char> &b = s.sink.first;
    // U starts at 307200 and V at 384000: the top-left (red) chroma sample
    // of each plane sits exactly there.
    EXPECT_NEAR(b[307200], 90, 22);
    EXPECT_NEAR(b[384000], 240, 22);
    // Last chroma row, first sample: the blue marker.
    EXPECT_NEAR(b[307200 + 239 * 320], 240, 22);
    EXPECT_NEAR(b[384000 + 239 * 320], 110, 22);
    harness::FreePackets(pkts);
}

TEST(DecodePicture, SizeChangeRebuildsTheOutput)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string small = mediagen::Video("resize_a.ts", 160, 120, 3, "yuv420p", "-c:v libx264 -bf 0 -g 1");
    std::string big = mediagen::Video("resize_b.ts", 352, 288, 3, "yuv420p", "-c:v libx264 -bf 0 -g 1");
    ASSERT_FALSE(small.empty());
    ASSERT_FALSE(big.empty());
    for (int planar = 0; planar <= 1; planar++) {
        HandStream s, other;
        ASSERT_TRUE(s.Open(small, planar));
        ASSERT_TRUE(other.Open(big, planar));
        std::vector<AVPacket *> a = s.ReadVideo(), b = other.ReadVideo();
        AtomicSet(&s.ctx.bDecodeEnable, 1);
        s.Queue(a);
        s.Queue(b);
        s.Start();
        s.Drain();
        s.Stop();
        EXPECT_EQ(s.sink.frames, 6) << "planar " << planar;
        EXPECT_EQ(s.sink.lastW, 352);
        EXPECT_EQ(s.sink.lastH, 288);
        EXPECT_EQ(AtomicGet(&s.ctx.nWidth), 352);
        EXPECT_EQ(AtomicGet(&s.ctx.nHeight), 288);
        if (planar)
            CheckI420Markers(s.sink.last, 352, 288);
        else
            CheckBgrMarkers(s.sink.last, 352, 288);
        harness::FreePackets(a);
        harness::FreePackets(b);
    }
}

TEST(DecodePicture, ClassicStartsAt320x240WithoutAKnownSize)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = mediagen::Video("nosize.mp4", 176, 144, 1, "yuv420p", "-c:v libx264 -bf 0");
    ASSERT_FALSE(clip.empty());
    HandStream s;
    ASSERT_TRUE(s.Open(clip, 0));
    s.ctx.nWidth = s.ctx.nHeight = 0;
    std::vector<AVPacket *> pkts = s.ReadVideo();
    s.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(AtomicGet(&s.ctx.nWidth), 320);
    EXPECT_EQ(AtomicGet(&s.ctx.nHeight), 240);
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    s.Queue(pkts);
    s.Drain();
    s.Stop();
    EXPECT_EQ(s.sink.frames, 1);
    EXPECT_EQ(AtomicGet(&s.ctx.nWidth), 176);
    CheckBgrMarkers(s.sink.first, 176, 144);
    harness::FreePackets(pkts);
}

TEST(DecodePicture, Mpeg4WithholdsItsFirst21PicturesInTheClassicThread)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string mp4v = mediagen::Video("mpeg4_40.avi", 160, 120, 40, "yuv420p", "-c:v mpeg4 -g 10 -bf 0");
    ASSERT_FALSE(mp4v.empty());
    const int want[2] = {19, 40};  // classic, planar
    for (int planar = 0; planar <= 1; planar++) {
        HandStream s;
        ASSERT_TRUE(s.Open(mp4v, planar));
        std::vector<AVPacket *> pkts = s.ReadVideo();
        ASSERT_EQ(pkts.size(), 40u);
        AtomicSet(&s.ctx.bDecodeEnable, 1);
        s.Queue(pkts);
        s.Start();
        s.Drain();
        s.Stop();
        EXPECT_EQ(s.sink.frames, want[planar]) << "planar " << planar;
        harness::FreePackets(pkts);
    }
}

}  // namespace
