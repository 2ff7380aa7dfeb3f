// The hevc-decode tool: option handling, trace lines, decoder messages and
// return codes as it prints them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "HevcTestUtil.h"

using namespace hevctest;

namespace {

int CountLines(const std::string &out, const std::string &prefix)
{
    int n = 0;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t e = out.find('\n', pos);
        if (e == std::string::npos)
            e = out.size();
        n += out.compare(pos, prefix.size(), prefix) == 0;
        pos = e + 1;
    }
    return n;
}

TEST(HevcDecodeTool, TraceMessagesAndReturnCodes)
{
    if (HevcDecodeTool().empty())
        GTEST_SKIP() << "hevc-decode not built";
    std::string path = X265Stream("with_info", 64, 64, 2, 8, "--preset ultrafast");
    if (path.empty())
        GTEST_SKIP() << "x265 not available";
    std::string out;
    ASSERT_EQ(hevctest::Run(HevcDecodeTool() + " --trace --chunk 17 --max 64x64 --refs 2 --bitdepth 8 --order decode " + path, &out), 0)
        << out;
    EXPECT_EQ(CountLines(out, "VPS id=0"), 1) << out;
    EXPECT_EQ(CountLines(out, "SPS id=0 vps=0 size=64x64"), 1) << out;
    EXPECT_EQ(CountLines(out, "PPS id=0 sps=0"), 1) << out;
    EXPECT_EQ(CountLines(out, "SLICE nal=20 tid=0 poc=0 type=I"), 1) << out;
    EXPECT_EQ(CountLines(out, "SLICE nal=1 tid=0 poc=1 type=P"), 1) << out;
    // The message with its arguments expanded and the code in hexadecimal.
    EXPECT_EQ(CountLines(out, "LOG error ch=0 IHW265D_Decode : Lens of user data is bigger than MAX user data lens!"), 1);
    EXPECT_EQ(CountLines(out, "RET decode 0xF040200C"), 1);
    EXPECT_EQ(CountLines(out, "PIC "), 2);
    EXPECT_EQ(CountLines(out, "DONE pictures=2 errors=1"), 1);
}

TEST(HevcDecodeTool, CreationFailureAndMd5Lines)
{
    if (HevcDecodeTool().empty())
        GTEST_SKIP() << "hevc-decode not built";
    std::string path = X265Stream("intra8", 208, 120, 3, 8, "--preset ultrafast --keyint 1 --no-info");
    if (path.empty())
        GTEST_SKIP() << "x265 not available";
    std::string out;
    hevctest::Run(HevcDecodeTool() + " --bitdepth 12 " + path, &out);
    EXPECT_EQ(CountLines(out, "LOG error ch=0 IHW265D_Create : pstInitParam->iBitDepth should be 8 or 10 !"), 1) << out;
    EXPECT_EQ(CountLines(out, "RET create 0xF0402003"), 1) << out;
    std::string yuv = TempDir() + "/tool_out.yuv";
    ASSERT_EQ(hevctest::Run(HevcDecodeTool() + " --md5 --quiet -o " + yuv + " --max 208x120 " + path, &out), 0);
    EXPECT_EQ(CountLines(out, "MD5 "), 3) << out;
    struct stat st;
    ASSERT_EQ(stat(yuv.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3 * 208 * 120 * 3 / 2);
    EXPECT_NE(hevctest::Run(HevcDecodeTool() + " --no-such-option " + path), 0);
}

} // namespace
