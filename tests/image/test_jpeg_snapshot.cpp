// The libjpeg snapshot writer for bottom-up BGR frames: its failures (its
// colours and orientation are checked end to end, tests/e2e).

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
