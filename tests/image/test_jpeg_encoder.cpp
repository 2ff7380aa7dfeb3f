// The library's own baseline JPEG encoder, checked against libjpeg-turbo as
// the reference decoder (end to end, FFmpeg reads its snapshots: tests/e2e).

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "JpegTestUtil.h"
#include "image/JpegEncoder.h"

namespace {

// First entropy-coded byte: after the SOS segment.
size_t ScanStart(const std::vector<unsigned char> &j)
{
    for (size_t p = 2; p + 4 <= j.size();) {
        size_t len = (size_t)j[p + 2] << 8 | j[p + 3];
        if (j[p + 1] == 0xDA)
            return p + 2 + len;
        p += 2 + len;
    }
    return j.size();
}

std::vector<unsigned char> Encode(const std::vector<unsigned char> &frame, int w, int h, int q)
{
    std::vector<unsigned char> out(JpegEncodeWorstCase(w, h));
    int len = -1;
    const unsigned char *y = frame.data();
    const unsigned char *u = y + (size_t)w * h;
    const unsigned char *v = u + (size_t)(w / 2) * (h / 2);
    EXPECT_EQ(0, JpegEncodeI420(y, u, v, w, h, q, w, out.data(), (int)out.size(), &len));
    out.resize(len > 0 ? len : 0);
    return out;
}

// Expands the I420 chroma to full resolution the way the encoder does
// (odd last rows/columns reuse the last chroma sample).
unsigned char ChromaAt(const unsigned char *plane, int w, int h, int x, int y)
{
    int cw = w / 2, ch = h / 2;
    if (cw == 0 || ch == 0)
        return 128;
    int cx = x / 2 < cw ? x / 2 : cw - 1;
    int cy = y / 2 < ch ? y / 2 : ch - 1;
    return plane[(size_t)cy * cw + cx];
}

struct PlanePsnr {
    double y, u, v;
};

PlanePsnr CompareYcc(const std::vector<unsigned char> &frame, int w, int h, const DecodedJpeg &d)
{
    std::vector<unsigned char> ref((size_t)w * h * 3);
    const unsigned char *u = frame.data() + (size_t)w * h;
    const unsigned char *v = u + (size_t)(w / 2) * (h / 2);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            unsigned char *p = &ref[((size_t)y * w + x) * 3];
            p[0] = frame[(size_t)y * w + x];
            p[1] = ChromaAt(u, w, h, x, y);
            p[2] = ChromaAt(v, w, h, x, y);
        }
    size_t n = (size_t)w * h;
    return {Psnr(ref.data(), 3, d.pixels.data(), 3, n), Psnr(ref.data() + 1, 3, d.pixels.data() + 1, 3, n),
            Psnr(ref.data() + 2, 3, d.pixels.data() + 2, 3, n)};
}

TEST(JpegEncoder, NoiseIsStuffedAndNeverOverruns)
{
    // Noise makes FF bytes in the entropy-coded data likely.
    const int w = 64, h = 64;
    std::vector<unsigned char> frame = MakeNoise((size_t)w * h * 3 / 2, 7);
    std::vector<unsigned char> j = Encode(frame, w, h, 100);
    size_t scan = ScanStart(j);
    ASSERT_EQ(0xD9, j.back());
    int ffCount = 0;
    for (size_t i = scan; i + 2 < j.size(); i++) {
        if (j[i] == 0xFF) {
            ffCount++;
            ASSERT_EQ(0x00, j[i + 1]) << "unstuffed FF at " << i;
            i++;
        }
    }
    EXPECT_GT(ffCount, 0);
    DecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(j.data(), j.size(), JCS_YCbCr, &d));
    PlanePsnr p = CompareYcc(frame, w, h, d);
    EXPECT_GT(p.y, 40.0);

    // Noise at quality 100 needs more than one byte per pixel: into a
    // snapshot-sized buffer the encoder must refuse, not write past it.
    int cap = w * h;
    std::vector<unsigned char> out(cap + 32, 0x5A);
    int len = 0;
    EXPECT_EQ(-1, JpegEncodeI420(frame.data(), frame.data() + w * h, frame.data() + w * h * 5 / 4, w, h,
                                 100, w, out.data(), cap, &len));
    for (int g = 0; g < 32; g++)
        ASSERT_EQ(0x5A, out[cap + g]);
}

TEST(JpegEncoder, RoundTripThroughLibjpeg)
{
    const int w = 640, h = 480;
    std::vector<unsigned char> frame = MakeNaturalI420(w, h);
    std::vector<unsigned char> j = Encode(frame, w, h, 100);
    DecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(j.data(), j.size(), JCS_YCbCr, &d));
    ASSERT_EQ(w, d.nWidth);  // a size stored height-first reads back swapped
    ASSERT_EQ(h, d.nHeight);
    PlanePsnr p = CompareYcc(frame, w, h, d);
    EXPECT_GT(p.y, 40.0);
    EXPECT_GT(p.u, 40.0);
    EXPECT_GT(p.v, 40.0);
}

// Every size from 1x1 up, with partial blocks padded by edge repetition:
// the image decodes to the picture, the exact-size buffer suffices, one byte
// less fails, and the guard bytes after the buffer are never touched. The
// input planes are allocated at their exact size, so an over-read shows
// under ASan.
TEST(JpegEncoder, EverySizeFitsWithoutOverrun)
{
    const int kGuard = 64;
    for (int h = 1; h <= 24; h++) {
        for (int w = 1; w <= 24; w++) {
            std::vector<unsigned char> frame = MakeNaturalI420(w, h, (uint32_t)(w * 31 + h));
            std::vector<unsigned char> planeY(frame.begin(), frame.begin() + (size_t)w * h);
            size_t cn = (size_t)(w / 2) * (h / 2);
            std::vector<unsigned char> planeU(frame.begin() + (size_t)w * h,
                                              frame.begin() + (size_t)w * h + cn);
            std::vector<unsigned char> planeV(frame.end() - cn, frame.end());
            const unsigned char *u = cn ? planeU.data() : nullptr;
            const unsigned char *v = cn ? planeV.data() : nullptr;

            std::vector<unsigned char> big(JpegEncodeWorstCase(w, h));
            int len = 0;
            ASSERT_EQ(0, JpegEncodeI420(planeY.data(), u, v, w, h, 100, w, big.data(), (int)big.size(), &len));

            for (int slack : {0, -1}) {
                std::vector<unsigned char> out(len + slack + kGuard, 0xA5);
                int len2 = 12345;
                int r = JpegEncodeI420(planeY.data(), u, v, w, h, 100, w, out.data(), len + slack, &len2);
                if (slack == 0) {
                    ASSERT_EQ(0, r) << w << "x" << h;
                    ASSERT_EQ(len, len2);
                    ASSERT_EQ(0, memcmp(out.data(), big.data(), len));
                } else {
                    ASSERT_EQ(-1, r) << w << "x" << h;
                    ASSERT_EQ(0, len2);
                }
                for (int g = 0; g < kGuard; g++)
                    ASSERT_EQ(0xA5, out[len + slack + g]) << w << "x" << h << " overrun";
            }

            DecodedJpeg d;
            ASSERT_TRUE(DecodeJpeg(big.data(), len, JCS_YCbCr, &d)) << w << "x" << h;
            ASSERT_EQ(w, d.nWidth);
            ASSERT_EQ(h, d.nHeight);
            PlanePsnr p = CompareYcc(frame, w, h, d);
            ASSERT_GT(p.y, 40.0) << w << "x" << h;
            ASSERT_GT(p.u, 40.0) << w << "x" << h;
        }
    }
}

TEST(JpegEncoder, RejectsBadArguments)
{
    unsigned char buf[4096];
    int len = 7;
    std::vector<unsigned char> frame = MakeNaturalI420(16, 16);
    const unsigned char *y = frame.data();
    EXPECT_EQ(-1, JpegEncodeI420(y, y + 256, y + 320, 0, 16, 100, 16, buf, sizeof(buf), &len));
    EXPECT_EQ(0, len);
    EXPECT_EQ(-1, JpegEncodeI420(y, y + 256, y + 320, 16, -1, 100, 16, buf, sizeof(buf), &len));
    EXPECT_EQ(-1, JpegEncodeI420(y, y + 256, y + 320, 16, 16, 100, 8, buf, sizeof(buf), &len));
    EXPECT_EQ(-1, JpegEncodeI420(nullptr, y + 256, y + 320, 16, 16, 100, 16, buf, sizeof(buf), &len));
    EXPECT_EQ(-1, JpegEncodeI420(y, nullptr, y + 320, 16, 16, 100, 16, buf, sizeof(buf), &len));
    EXPECT_EQ(0u, JpegEncodeWorstCase(70000, 8));
}

TEST(JpegEncoder, FileWriterWritesDecodableSnapshotsAndFailsCleanly)
{
    const int w = 320, h = 240;
    std::vector<unsigned char> frame = MakeNaturalI420(w, h, 5);
    std::vector<unsigned char> before = frame;
    std::string path = TempJpegPath("snap.jpg");
    ASSERT_EQ(0, JpegWriteI420File(path.c_str(), frame.data(), w, h));
    EXPECT_EQ(before, frame);
    std::vector<unsigned char> j;
    ASSERT_TRUE(ReadWholeFile(path, &j));
    EXPECT_EQ(Encode(frame, w, h, 100), j);
    unlink(path.c_str());

    // Noise does not fit the first buffer of 3 bytes per pixel; the writer
    // must still produce the whole image.
    std::vector<unsigned char> noise = MakeNoise((size_t)w * h * 3 / 2, 3);
    ASSERT_EQ(0, JpegWriteI420File(path.c_str(), noise.data(), w, h));
    ASSERT_TRUE(ReadWholeFile(path, &j));
    EXPECT_GT(j.size(), (size_t)w * h * 3);
    DecodedJpeg d;
    ASSERT_TRUE(DecodeJpeg(j.data(), j.size(), JCS_YCbCr, &d));
    EXPECT_GT(CompareYcc(noise, w, h, d).y, 40.0);
    unlink(path.c_str());

    // Bad paths and sizes fail; a write error (device full) leaves the
    // device node alone.
    EXPECT_EQ(-1, JpegWriteI420File("/nonexistent-dir-ipcam/x.jpg", frame.data(), 64, 64));
    EXPECT_EQ(-1, JpegWriteI420File("", frame.data(), 64, 64));
    EXPECT_EQ(-1, JpegWriteI420File(nullptr, frame.data(), 64, 64));
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(-1, JpegWriteI420File("/dev/full", frame.data(), 64, 64));
        EXPECT_EQ(0, access("/dev/full", F_OK));
    }
    EXPECT_EQ(-1, JpegWriteI420File(path.c_str(), frame.data(), 0, 64));
    EXPECT_NE(0, access(path.c_str(), F_OK));
}

}  // namespace
