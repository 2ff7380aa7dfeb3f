// Privacy masks painted through the camera into both frame layouts, against
// rectangles worked out by hand.

#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <vector>

#include "image/PrivacyMask.h"
#include "ipcamera/IpCamera.h"

namespace {

const unsigned char kFill = 0x5A;  // picture content; no mask value equals it
const size_t kGuard = 64;

size_t I420Size(int w, int h)
{
    return (size_t)w * h + 2 * (size_t)(w / 2) * (h / 2);
}

// Paints the record into guarded BGR (through the camera) and I420 frames
// and checks every pixel against the top-based rectangle [x0,x1) x [y0,y1)
// (empty when x0 == x1): black BGR and luma 16 inside, chroma 128 on every
// sample touching it, the picture elsewhere, and nothing written outside.
void ExpectMasked(const MaskAreaParam &rec, int w, int h, int x0, int y0, int x1, int y1)
{
    std::vector<unsigned char> bgr((size_t)w * h * 3 + 2 * kGuard, kFill), yuv(I420Size(w, h) + 2 * kGuard, kFill);
    CIpCamera cam;
    MaskAreaParam copy = rec;
    cam.SetMaskAreaParam(&copy);
    cam.SetMaskArea(bgr.data() + kGuard, w, h);
    MaskPaintI420((const int *)&rec, yuv.data() + kGuard, w, h);
    for (size_t i = 0; i < kGuard; i++) {
        ASSERT_EQ(bgr[i], kFill);
        ASSERT_EQ(bgr[bgr.size() - 1 - i], kFill);
        ASSERT_EQ(yuv[i], kFill);
        ASSERT_EQ(yuv[yuv.size() - 1 - i], kFill);
    }
    const unsigned char *b = bgr.data() + kGuard, *y = yuv.data() + kGuard;
    for (int py = 0; py < h; py++)
        for (int px = 0; px < w; px++) {
            bool in = px >= x0 && px < x1 && py >= y0 && py < y1;
            const unsigned char *p = b + ((size_t)(h - 1 - py) * w + px) * 3;  // bottom row first
            ASSERT_TRUE(p[0] == (in ? 0 : kFill) && p[1] == p[0] && p[2] == p[0]) << px << "," << py;
            ASSERT_EQ(y[(size_t)py * w + px], in ? 16 : kFill) << px << "," << py;
        }
    const unsigned char *u = y + (size_t)w * h, *v = u + (size_t)(w / 2) * (h / 2);
    for (int cy = 0; cy < h / 2; cy++)
        for (int cx = 0; cx < w / 2; cx++) {
            bool in = x0 < x1 && cx >= x0 / 2 && cx < (x1 + 1) / 2 && cy >= y0 / 2 && cy < (y1 + 1) / 2;
            ASSERT_EQ(u[(size_t)cy * (w / 2) + cx], in ? 128 : kFill) << cx << "," << cy;
            ASSERT_EQ(v[(size_t)cy * (w / 2) + cx], in ? 128 : kFill) << cx << "," << cy;
        }
}

}  // namespace

TEST(PrivacyMask, RectanglesLandTopBasedAndClippedToThePicture)
{
    struct Case {
        const char *what;
        MaskAreaParam rec;  // reserved, enabled, x, y, w, h, ref w, ref h, reserved
        int w, h;
        int x0, y0, x1, y1;  // expected, top-based, by hand
    } cases[] = {
        {"quarter of a scaled frame", {0, 1, 0, 0, 352, 288, 704, 576, 0}, 1408, 1152, 0, 0, 704, 576},
        {"inside, odd edges", {0, 1, 10, 5, 8, 3, 40, 30, 0}, 40, 30, 10, 5, 18, 8},
        {"past right and bottom", {0, 1, 30, 20, 20, 20, 40, 30, 0}, 40, 30, 30, 20, 40, 30},
        {"negative origin", {0, 1, -10, -5, 20, 10, 40, 30, 0}, 40, 30, 0, 0, 10, 5},
        {"covers everything", {0, 1, -100, -100, 300, 300, 40, 30, 0}, 40, 30, 0, 0, 40, 30},
        // Far off to the left, reaching 10 columns in: only those.
        {"far left, partly on", {0, 1, -10000, 0, 10010, 6, 40, 30, 0}, 40, 30, 0, 0, 10, 6},
        {"far above, partly on", {0, 1, 4, -10000, 6, 10004, 40, 30, 0}, 40, 30, 4, 0, 10, 4},
        // Beyond the reference height (and far right): wholly off the picture.
        {"below the reference height", {0, 1, 0, 3000, 40, 3005, 40, 30, 0}, 40, 30, 0, 0, 0, 0},
        {"far right", {0, 1, 10000, 0, 20000, 30, 40, 30, 0}, 40, 30, 0, 0, 0, 0},
        {"wholly above", {0, 1, 0, -20, 10, 10, 40, 30, 0}, 40, 30, 0, 0, 0, 0},
        // Rows: memory rows (10-1-2)*21/10 = 14.7 -> 14, four of them, bottom up: picture rows 3..6.
        {"scaled 2.1x, odd frame", {0, 1, 1, 1, 2, 2, 10, 10, 0}, 21, 21, 2, 3, 6, 7},
        {"disabled", {0, 0, 0, 0, 40, 30, 40, 30, 0}, 40, 30, 0, 0, 0, 0},
        {"height under one row", {0, 1, 0, 0, 40, 1, 40, 60, 0}, 40, 30, 0, 0, 0, 0},
        {"no width", {0, 1, 0, 0, 0, 30, 40, 30, 0}, 40, 30, 0, 0, 0, 0},
        {"reference size 0", {0, 1, 0, 0, 40, 30, 0, 0, 0}, 40, 30, 0, 0, 0, 0},
        {"negative reference", {0, 1, 0, 0, 40, 30, -40, -30, 0}, 40, 30, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_NO_FATAL_FAILURE(ExpectMasked(c.rec, c.w, c.h, c.x0, c.y0, c.x1, c.y1));
    }
}

// Extreme integers over tiny and odd frames: nothing is ever written
// outside the frame, and every pixel either keeps the picture or is masked.
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
            int m[MASK_FIELD_COUNT] = {0, 1, pick(), pick(), pick(), pick(), pick(), pick(), 0};
            size_t n = (size_t)sz[0] * sz[1] * 3;
            std::vector<unsigned char> bgr(n + 2 * kGuard, kFill), yuv(I420Size(sz[0], sz[1]) + 2 * kGuard, kFill);
            MaskPaintBgr(m, bgr.data() + kGuard, sz[0], sz[1]);
            MaskPaintI420(m, yuv.data() + kGuard, sz[0], sz[1]);
            for (size_t i = 0; i < bgr.size(); i++)
                ASSERT_TRUE(bgr[i] == kFill || (i >= kGuard && i < kGuard + n && bgr[i] == 0)) << i;
            for (size_t i = 0; i < kGuard; i++)
                ASSERT_TRUE(yuv[i] == kFill && yuv[yuv.size() - 1 - i] == kFill);
        }
}

TEST(PrivacyMask, CameraCopiesTheRecordIntoEverySlot)
{
    CIpCamera cam;
    MaskAreaParam p = {0, 1, 0, 0, 8, 4, 16, 8, 0};
    ASSERT_EQ(0, cam.SetMaskAreaParam(&p));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, memcmp(&p, &cam.m_MaskArea[i], sizeof(p)));
    p.nWidth = 16;  // the host's copy changes, the camera's does not
    EXPECT_EQ(cam.m_MaskArea[3].nWidth, 8);
    EXPECT_EQ(0, cam.SetMaskAreaParam(nullptr));
    EXPECT_EQ(0, cam.SetMaskArea(nullptr, 16, 8));
}
