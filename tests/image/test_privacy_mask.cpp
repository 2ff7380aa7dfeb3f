// Privacy-mask painting in both frame layouts.

#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <vector>

#include "image/PrivacyMask.h"
#include "ipcamera/IpCamera.h"

namespace {

const unsigned char kFill = 0x5A;  // picture content; no mask value equals it
const size_t kGuard = 64;

// A frame with guard bands before and after it.
struct GuardedFrame {
    std::vector<unsigned char> buf;
    size_t nSize;
    explicit GuardedFrame(size_t n) : buf(n + 2 * kGuard, 0xC3), nSize(n)
    {
        memset(frame(), kFill, n);
    }
    unsigned char *frame() { return buf.data() + kGuard; }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuard; i++)
            if (buf[i] != 0xC3 || buf[kGuard + nSize + i] != 0xC3)
                return false;
        return true;
    }
};

size_t I420Size(int w, int h)
{
    return (size_t)w * h + 2 * (size_t)(w / 2) * (h / 2);
}

// Picture row py (from the top) of a bottom-up BGR frame.
const unsigned char *BgrPixel(const unsigned char *f, int w, int h, int px, int py)
{
    return f + ((size_t)(h - 1 - py) * w + px) * 3;
}

void Record(int *m, int x, int y, int w, int h, int rw, int rh, int enable = 1)
{
    int v[MASK_FIELD_COUNT] = {0, enable, x, y, w, h, rw, rh, 0};
    memcpy(m, v, sizeof(v));
}

// Records that cover nothing: MaskRect says so and neither layout is
// touched.
TEST(PrivacyMask, RecordsCoveringNothingPaintNothing)
{
    const int w = 40, h = 30;
    struct Case {
        const char *what;
        int x, y, rw, rh, refW, refH, enable;
    } cases[] = {
        {"disabled", 0, 0, 40, 30, 40, 30, 0},
        {"height scales to half a row", 0, 0, 40, 1, 40, 60, 1},
        {"no width", 0, 0, 0, 30, 40, 30, 1},
        {"reference width 0", 0, 0, 40, 30, 0, 30, 1},
        {"reference height 0", 0, 0, 40, 30, 40, 0, 1},
        {"negative reference", 0, 0, 40, 30, -40, -30, 1},
        {"wholly right of the frame", 50, 0, 10, 10, w, h, 1},
        {"wholly below", 0, 31, 10, 10, w, h, 1},
        {"wholly above", 0, -20, 10, 10, w, h, 1},
    };
    std::vector<unsigned char> bgr((size_t)w * h * 3, kFill), yuv(I420Size(w, h), kFill);
    const std::vector<unsigned char> bgr0 = bgr, yuv0 = yuv;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int m[MASK_FIELD_COUNT];
        Record(m, c.x, c.y, c.rw, c.rh, c.refW, c.refH, c.enable);
        int x0, y0, x1, y1;
        EXPECT_EQ(0, MaskRect(m, w, h, &x0, &y0, &x1, &y1));
        MaskPaintBgr(m, bgr.data(), w, h);
        MaskPaintI420(m, yuv.data(), w, h);
        EXPECT_EQ(bgr0, bgr);
        EXPECT_EQ(yuv0, yuv);
    }
    int m[MASK_FIELD_COUNT];
    Record(m, 0, 0, 40, 30, 40, 30);
    EXPECT_EQ(0, MaskPaintBgr(nullptr, bgr.data(), w, h));
    EXPECT_EQ(0, MaskPaintBgr(m, nullptr, w, h));
    EXPECT_EQ(0, MaskPaintI420(m, yuv.data(), 0, h));
    EXPECT_EQ(yuv0, yuv);
}

// Paints m into guarded frames of both layouts: exactly the rectangle that
// MaskRect reports is painted (black, luma 16), nothing outside the frame is
// written. On even sizes the chroma (128) covers every sample that touches a
// masked pixel.
void ExpectPaintsOnlyItsRect(const int *m, int w, int h)
{
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    int any = MaskRect(m, w, h, &x0, &y0, &x1, &y1);
    if (any) {
        ASSERT_TRUE(x0 >= 0 && x0 < x1 && x1 <= w && y0 >= 0 && y0 < y1 && y1 <= h);
    }
    GuardedFrame bgr((size_t)w * h * 3), yuv(I420Size(w, h));
    MaskPaintBgr(m, bgr.frame(), w, h);
    MaskPaintI420(m, yuv.frame(), w, h);
    ASSERT_TRUE(bgr.GuardsIntact()) << w << "x" << h;
    ASSERT_TRUE(yuv.GuardsIntact()) << w << "x" << h;
    for (int py = 0; py < h; py++)
        for (int px = 0; px < w; px++) {
            bool inside = any && px >= x0 && px < x1 && py >= y0 && py < y1;
            const unsigned char *p = BgrPixel(bgr.frame(), w, h, px, py);
            ASSERT_EQ(inside ? 0 : kFill, p[0]) << px << "," << py;
            ASSERT_EQ(p[0], p[1]);
            ASSERT_EQ(p[0], p[2]);
            ASSERT_EQ(inside ? 16 : kFill, yuv.frame()[(size_t)py * w + px]) << px << "," << py;
        }
    if (w % 2 || h % 2)
        return;
    const unsigned char *u = yuv.frame() + (size_t)w * h;
    const unsigned char *v = u + (size_t)(w / 2) * (h / 2);
    for (int cy = 0; cy < h / 2; cy++)
        for (int cx = 0; cx < w / 2; cx++) {
            bool inside = any && cx >= x0 / 2 && cx < (x1 + 1) / 2 && cy >= y0 / 2 && cy < (y1 + 1) / 2;
            ASSERT_EQ(inside ? 128 : kFill, u[(size_t)cy * (w / 2) + cx]) << cx << "," << cy;
            ASSERT_EQ(inside ? 128 : kFill, v[(size_t)cy * (w / 2) + cx]) << cx << "," << cy;
        }
}

TEST(PrivacyMask, QuarterOfAScaledFrameInBothLayouts)
{
    const int w = 1408, h = 1152;
    int m[MASK_FIELD_COUNT];
    Record(m, 0, 0, 352, 288, 704, 576);
    int x0, y0, x1, y1;
    ASSERT_EQ(1, MaskRect(m, w, h, &x0, &y0, &x1, &y1));
    EXPECT_EQ(0, x0);
    EXPECT_EQ(0, y0);
    EXPECT_EQ(w / 2, x1);
    EXPECT_EQ(h / 2, y1);
    ExpectPaintsOnlyItsRect(m, w, h);
}

// Rectangles land at their top-based position, clipped at every edge.
TEST(PrivacyMask, RectanglesLandTopBasedAndClipped)
{
    const int w = 40, h = 30;
    struct Case {
        int x, y, rw, rh;
        int ex0, ey0, ex1, ey1;  // expected top-based rectangle
    } cases[] = {
        {10, 5, 8, 3, 10, 5, 18, 8},          // inside, odd edges
        {30, 20, 20, 20, 30, 20, 40, 30},     // past right and bottom
        {-10, -5, 20, 10, 0, 0, 10, 5},       // negative origin
        {-100, -100, 300, 300, 0, 0, 40, 30}, // covers everything
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        int m[MASK_FIELD_COUNT];
        Record(m, c.x, c.y, c.rw, c.rh, w, h);
        int x0, y0, x1, y1;
        ASSERT_EQ(1, MaskRect(m, w, h, &x0, &y0, &x1, &y1));
        EXPECT_EQ(c.ex0, x0);
        EXPECT_EQ(c.ey0, y0);
        EXPECT_EQ(c.ex1, x1);
        EXPECT_EQ(c.ey1, y1);
        ASSERT_NO_FATAL_FAILURE(ExpectPaintsOnlyItsRect(m, w, h));
    }
}

// Hostile records, including extreme integers, over odd and tiny frame
// sizes.
TEST(PrivacyMask, HostileRecordsNeverWriteOutsideTheFrame)
{
    const int vals[] = {INT_MIN, -100000, -33, -1, 0, 1, 7, 17, 64, 99, 100000, INT_MAX};
    const int sizes[][2] = {{1, 1}, {2, 3}, {7, 5}, {16, 9}};
    uint32_t s = 12345;
    auto pick = [&]() {
        s = s * 1664525u + 1013904223u;
        return vals[(s >> 16) % (sizeof(vals) / sizeof(vals[0]))];
    };
    for (const auto &sz : sizes)
        for (int iter = 0; iter < 3000; iter++) {
            int m[MASK_FIELD_COUNT];
            Record(m, pick(), pick(), pick(), pick(), pick(), pick());
            ASSERT_NO_FATAL_FAILURE(ExpectPaintsOnlyItsRect(m, sz[0], sz[1]));
        }
}

TEST(PrivacyMask, CameraCopiesTheRecordAndPaintsBgr)
{
    CIpCamera cam;
    const int w = 16, h = 8;
    std::vector<unsigned char> f((size_t)w * h * 3, kFill), orig = f;
    ASSERT_EQ(0, cam.SetMaskArea(f.data(), w, h));
    EXPECT_EQ(orig, f) << "a new camera has no active mask";

    MaskAreaParam p = {0, 1, 0, 0, 8, 4, 16, 8, 0};
    ASSERT_EQ(0, cam.SetMaskAreaParam(&p));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, memcmp(&p, &cam.m_MaskArea[i], sizeof(p)));
    p.nWidth = 16;  // the host's copy changes, the camera's does not
    ASSERT_EQ(0, cam.SetMaskArea(f.data(), w, h));
    for (int py = 0; py < h; py++)
        for (int px = 0; px < w; px++)
            ASSERT_EQ(px < 8 && py < 4 ? 0 : kFill, BgrPixel(f.data(), w, h, px, py)[0]) << px << "," << py;

    MaskAreaParam off = {0, 0, 0, 0, 16, 8, 16, 8, 0};
    cam.SetMaskAreaParam(&off);
    std::vector<unsigned char> g((size_t)w * h * 3, kFill);
    cam.SetMaskArea(g.data(), w, h);
    EXPECT_EQ(orig, g);
    EXPECT_EQ(0, cam.SetMaskAreaParam(nullptr));
}

}  // namespace
