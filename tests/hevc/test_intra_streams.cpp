// Intra pictures decoded bit-exactly: x265 all-intra streams made at test
// time, one per coding-tool class, compared frame by frame with FFmpeg's
// framemd5; where FFmpeg deviates (it does for SAO at some CTB 16 chroma
// corners) the stream's own picture hashes decide (hevc-decode --verify).
// Each stream is decoded twice, the second time with every creation and
// feeding variant at once.
#include <gtest/gtest.h>

#include "IntraTestUtil.h"

using namespace hevctest;
using namespace intratest;

namespace {

struct StreamCase {
    std::string name;
    int iWidth, iHeight, iDepth;
    std::string args;
};

const StreamCase kCases[] = {
    {"ctu64", 352, 288, 8, "--ctu 64"},
    {"ctu32_mincu8_deeptu", 352, 288, 8, "--ctu 32 --min-cu-size 8 --tu-intra-depth 3"},
    {"ctu16", 352, 288, 8, "--ctu 16 --min-cu-size 8"},
    {"nodeblock_nosao", 352, 288, 8, "--no-deblock --no-sao"},
    {"tskip", 352, 288, 8, "--tskip --rd 6"},
    {"no_signhide", 352, 288, 8, "--no-signhide"},
    {"lossless", 352, 288, 8, "--lossless"},
    {"scaling_default", 352, 288, 8, "--scaling-list default"},
    {"constrained_intra", 352, 288, 8, "--constrained-intra"},
    {"no_strong_smoothing", 352, 288, 8, "--no-strong-intra-smoothing"},
    {"slices4", 352, 288, 8, "--slices 4"},
    {"no_wpp", 352, 288, 8, "--no-wpp"},
    {"qp_delta_aq", 352, 288, 8, "--aq-mode 2 --qg-size 8 --ctu 32"},
    {"chroma_offsets", 352, 288, 8, "--cbqpoffs 3 --crqpoffs -4"},
    {"odd_size_346x282", 346, 282, 8, ""},
    {"main10", 352, 288, 10, ""},
    {"main10_tskip_scaling", 352, 288, 10, "--tskip --scaling-list default"},
    {"main10_slices_ctu16", 352, 288, 10, "--slices 3 --ctu 16"},
    {"main10_lossless", 352, 288, 10, "--lossless"},
    {"main10_qp_delta_odd_size", 200, 120, 10, "--aq-mode 3 --qg-size 16 --cbqpoffs -2 --ctu 16"},
};

// The sweep adds every CTU size and bit depth with each group of tools, at
// sizes that are not multiples of the CTU.
std::vector<StreamCase> Cases()
{
    std::vector<StreamCase> v(std::begin(kCases), std::end(kCases));
    const char *apszTools[] = {"", "--tskip --no-signhide", "--slices 5", "--no-wpp --scaling-list default",
                               "--lossless", "--aq-mode 2 --qg-size 16 --constrained-intra"};
    int iCase = 0;
    for (int iDepth : {8, 10})
        for (int iCtu : {16, 32, 64})
            for (const char *pszTools : apszTools) {
                if (SweepRun())
                    v.push_back({"sweep" + std::to_string(iCase), 424 + 8 * (iCase % 3), 232 + 8 * (iCase % 5),
                                 iDepth, "--ctu " + std::to_string(iCtu) + " " + pszTools});
                iCase++;
            }
    return v;
}

class IntraStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(IntraStream, MatchesReferenceFrameByFrame)
{
    const StreamCase &c = GetParam();
    std::string path = X265Stream("intra_noinfo_" + c.name + (c.iDepth > 8 ? "_10" : ""), c.iWidth, c.iHeight, 3,
                                  c.iDepth, "-I 1 --keyint 1 --no-info --hash 1 " + c.args);
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available";
    std::vector<uint8_t> data = ReadFile(path);
    std::vector<std::string> ff = FfmpegFrameMd5(path, c.iDepth);
    ASSERT_EQ(ff.size(), 3u);
    // A second decode through a decoder created for 10 bits (wider slots for
    // 8-bit streams) and multi-threaded decoding, in decode order and in
    // chunks that split units, must give the same pictures.
    ExpectPicturesMatch(path, DecodeBuffer(data, c.iDepth), ff);
    SCOPED_TRACE("10-bit, threaded, decode order, chunks");
    ExpectPicturesMatch(path, DecodeBuffer(data, 10, IH265D_DECODE_ORDER, false, 1000, 1920, 1088, 1), ff);
}

INSTANTIATE_TEST_SUITE_P(X265AllIntra, IntraStream, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<StreamCase> &i) { return i.param.name; });

} // namespace
