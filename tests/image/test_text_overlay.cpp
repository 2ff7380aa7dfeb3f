// Built-in fonts and white text stamping into bottom-up BGR frames.

#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "image/TextOverlay.h"

namespace {

const unsigned char kBg = 0x37;

bool SmallBit(int c, int x, int y)
{
    return g_TextFontSmall[(c - 0x20) * 16 + y] & (0x80 >> x);
}

struct Frame {
    int w, h;
    std::vector<unsigned char> buf;  // with a guard band on both sides
    enum { kGuard = 4096 };
    Frame(int width, int height) : w(width), h(height), buf((size_t)width * height * 3 + 2 * kGuard, kBg) {}
    unsigned char *data() { return buf.data() + kGuard; }
    // Picture row y from the top.
    const unsigned char *At(int x, int y) const { return buf.data() + kGuard + ((size_t)(h - 1 - y) * w + x) * 3; }
    bool White(int x, int y) const
    {
        const unsigned char *p = At(x, y);
        return p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF;
    }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < kGuard; i++)
            if (buf[i] != kBg || buf[buf.size() - 1 - i] != kBg)
                return false;
        return true;
    }
    // Every pixel is either white or untouched background.
    bool OnlyWhiteOrBackground() const
    {
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const unsigned char *p = At(x, y);
                bool bg = p[0] == kBg && p[1] == kBg && p[2] == kBg;
                if (!bg && !White(x, y))
                    return false;
            }
        return true;
    }
    // Bounding box of white pixels; the number of them (0: none).
    int InkBox(int *x0, int *y0, int *x1, int *y1) const
    {
        *x0 = *y0 = INT_MAX;
        *x1 = *y1 = -1;
        int n = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                if (White(x, y)) {
                    n++;
                    *x0 = std::min(*x0, x);
                    *y0 = std::min(*y0, y);
                    *x1 = std::max(*x1, x);
                    *y1 = std::max(*y1, y);
                }
        return n;
    }
};

TEST(TextOverlay, FontFollowsFrameWidth)
{
    int x0, y0, x1, y1;
    Frame narrow(704, 64);
    TextDrawStringBgr("H", narrow.data(), narrow.w, narrow.h, 0, 0);
    ASSERT_TRUE(narrow.InkBox(&x0, &y0, &x1, &y1));
    EXPECT_LT(x1, 8);
    EXPECT_LT(y1, 16);
    Frame wide(720, 64);
    TextDrawStringBgr("H", wide.data(), wide.w, wide.h, 0, 0);
    ASSERT_TRUE(wide.InkBox(&x0, &y0, &x1, &y1));
    EXPECT_GE(x1, 8);
    EXPECT_LT(x1, 16);
    EXPECT_GE(y1, 16);
    EXPECT_LT(y1, 32);
}

// Where one glyph's ink lands: bit order, top row and columns as asked,
// and clipping at each edge. A solid glyph fills its whole box.
TEST(TextOverlay, GlyphInkBox)
{
    const unsigned char left[1] = {0x80};
    const unsigned char solid[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // 8 wide
    struct Case {
        const char *what;
        const unsigned char *glyph;
        int gh, fw, fh, x, y;
        int x0, y0, x1, y1;  // expected ink box, inclusive
    } cases[] = {
        {"most significant bit is the leftmost pixel", left, 1, 16, 4, 2, 1, 2, 1, 2, 1},
        {"top row and columns where asked", solid, 3, 32, 10, 5, 0, 5, 0, 12, 2},
        {"half off the left and top edges", solid, 4, 64, 40, -4, -2, 0, 0, 3, 1},
        {"past the right and bottom edges", solid, 4, 64, 40, 60, 38, 60, 38, 63, 39},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Frame f(c.fw, c.fh);
        TextDrawGlyphBgr(c.glyph, 8, c.gh, f.data(), f.w, f.h, c.x, c.y);
        int x0, y0, x1, y1;
        int ink = f.InkBox(&x0, &y0, &x1, &y1);
        EXPECT_EQ((c.x1 - c.x0 + 1) * (c.y1 - c.y0 + 1), ink);
        EXPECT_EQ(c.x0, x0);
        EXPECT_EQ(c.y0, y0);
        EXPECT_EQ(c.x1, x1);
        EXPECT_EQ(c.y1, y1);
        EXPECT_TRUE(f.GuardsIntact());
    }
}

TEST(TextOverlay, CellsControlBytesAndBackground)
{
    const int w = 128, h = 20;
    Frame tab(w, h), space(w, h), plain(w, h), empty(w, h);
    TextDrawStringBgr("A\tB", tab.data(), w, h, 3, 2);
    TextDrawStringBgr("A B", space.data(), w, h, 3, 2);
    TextDrawStringBgr("AB", plain.data(), w, h, 3, 2);
    EXPECT_EQ(space.buf, tab.buf) << "a control byte keeps its cell blank";
    EXPECT_NE(plain.buf, tab.buf);
    EXPECT_TRUE(tab.OnlyWhiteOrBackground());
    // The third character sits in the third cell.
    for (int y = 0; y < 16; y++)
        for (int x = 0; x < 8; x++)
            ASSERT_EQ(SmallBit('B', x, y), tab.White(3 + 16 + x, 2 + y));

    std::vector<unsigned char> before = empty.buf;
    EXPECT_EQ(0, TextDrawStringBgr("", empty.data(), w, h, 0, 0));
    EXPECT_EQ(before, empty.buf);
    EXPECT_EQ(0, TextDrawStringBgr("\x01\x7f\xff", empty.data(), w, h, 0, 0));
    EXPECT_EQ(before, empty.buf);
}

// Text at and past every edge, and at extreme coordinates: pixels inside
// the frame are drawn, nothing outside it is written.
TEST(TextOverlay, ClipsAtEveryEdge)
{
    const int positions[] = {INT_MIN, -100000, -40, -17, -8, -3, 0, 5, 30, 57, 63, 64, 100, 100000, INT_MAX};
    for (int w : {64, 720}) {
        for (int x : positions)
            for (int y : positions) {
                Frame f(w, 40);
                TextDrawStringBgr("W#@|_~", f.data(), f.w, f.h, x, y);
                ASSERT_TRUE(f.GuardsIntact()) << w << " " << x << "," << y;
                ASSERT_TRUE(f.OnlyWhiteOrBackground());
            }
    }
}

}  // namespace
