// The libjpeg snapshot writer for bottom-up BGR frames.

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "JpegTestUtil.h"
#include "image/JpegSnapshot.h"

namespace {

bool DecodeFile(const std::string &path, DecodedJpeg *d)
{
    std::vector<unsigned char> j;
    if (!ReadWholeFile(path, &j))
        return false;
    return DecodeJpeg(j.data(), j.size(), JCS_RGB, d);
}

// Colours and orientation, for 3-byte pixels and for 4-byte pixels whose
// fourth byte is ignored.
TEST(JpegSnapshot, ColoursAndOrientation)
{
    // Picture: top half red, bottom half blue, a green column at the left.
    const int w = 64, h = 48;
    for (int bpp : {3, 4}) {
        SCOPED_TRACE(bpp);
        std::vector<unsigned char> frame((size_t)w * h * bpp, 0xFF);
        for (int row = 0; row < h; row++) {  // picture row from the top
            unsigned char *p = &frame[(size_t)(h - 1 - row) * w * bpp];
            for (int x = 0; x < w; x++, p += bpp) {
                p[0] = x >= 8 && row >= h / 2 ? 255 : 0;
                p[1] = x < 8 ? 255 : 0;
                p[2] = x >= 8 && row < h / 2 ? 255 : 0;
            }
        }
        std::vector<unsigned char> before = frame;
        std::string path = TempJpegPath("colours.jpg");
        ASSERT_EQ(0, JpegWriteBgrFile(path.c_str(), frame.data(), w, h, bpp));
        EXPECT_EQ(before, frame) << "the frame must stay untouched";

        DecodedJpeg d;
        ASSERT_TRUE(DecodeFile(path, &d));
        ASSERT_EQ(w, d.nWidth);
        ASSERT_EQ(h, d.nHeight);
        auto px = [&](int x, int y) { return &d.pixels[((size_t)y * w + x) * 3]; };
        const unsigned char *top = px(40, 4), *bottom = px(40, h - 4), *left = px(2, 20);
        EXPECT_GT(top[0], 200);
        EXPECT_LT(top[2], 60);
        EXPECT_LT(bottom[0], 60);
        EXPECT_GT(bottom[2], 200);
        EXPECT_GT(left[1], 200);
        EXPECT_LT(left[0], 60);
        unlink(path.c_str());
    }
}

// A write that fails half-way (here: a file size limit) would end the whole
// process with libjpeg's standard error manager. It must fail only the
// snapshot and remove the partial file; bad paths and sizes fail as well.
TEST(JpegSnapshot, FailuresReturnAndRemoveThePartialFile)
{
    const int w = 256, h = 256;
    std::vector<unsigned char> frame = MakeNoise((size_t)w * h * 3, 1);
    std::string path = TempJpegPath("limited.jpg");

    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = old;
    lim.rlim_cur = 10000;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim));
    int r = JpegWriteBgrFile(path.c_str(), frame.data(), w, h, 3);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(-1, r);
    EXPECT_NE(0, access(path.c_str(), F_OK)) << "partial file left behind";

    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(-1, JpegWriteBgrFile("/dev/full", frame.data(), w, h, 3));
        EXPECT_EQ(0, access("/dev/full", F_OK)) << "only regular files are removed";
    }

    unsigned char small[48] = {0};
    const char *bad = "/nonexistent-dir-ipcam/snap.jpg";
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, JpegWriteBgrFile(bad, small, 4, 4, 3));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find(std::string("can't open ") + bad + "\n")) << err;
    EXPECT_EQ(-1, JpegWriteBgrFile("", small, 4, 4, 3));
    EXPECT_EQ(-1, JpegWriteBgrFile(path.c_str(), small, 0, 4, 3));
    EXPECT_NE(0, access(path.c_str(), F_OK));

    // The writer still works afterwards.
    ASSERT_EQ(0, JpegWriteBgrFile(path.c_str(), frame.data(), w, h, 3));
    DecodedJpeg d;
    EXPECT_TRUE(DecodeFile(path, &d));
    unlink(path.c_str());
}

}  // namespace
