// Two-layer streams: x265's as the base layer, tools/hevc-mvgen's second layer
// predicting only from the base picture of its access unit (all CUs skipped):
// layer 1 equals layer 0, or has luma + (K << (depth - 8)) with --offset K.
// The base is checked against FFmpeg (which ignores layer 1), the rest by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "IntraTestUtil.h"

using namespace hevctest;
using namespace intratest;

namespace {

struct LayerCase {
    const char *pszName;
    int iWidth, iHeight, iDepth, iOffset, iMaxRefNum, iOrder, iThreads;
    const char *pszArgs;
};

// With layer 1 output, its pictures waiting to be reordered share the slots
// with base-layer references: reordering streams need a larger iMaxRefNum.
const LayerCase kLayerCases[] = {
    // The library's planar-thread creation: one reference, decode order, threads.
    {"p_ref1_planar_params", 176, 144, 8, 0, 1, IH265D_DECODE_ORDER, 1,
     "--preset ultrafast --bframes 0 --ref 1 --keyint 6"},
    {"b_frames_offset", 176, 144, 8, 20, 6, IH265D_DISPLAY_ORDER, 0, "--preset fast --bframes 3 --ref 3 --keyint 8"},
    // 200x120: layer-1 CTBs at the right and bottom edges split implicitly.
    {"main10_odd_size", 200, 120, 10, -7, 6, IH265D_DISPLAY_ORDER, 0, "--preset fast --bframes 2 --ref 2 --keyint 8"},
};

// Pictures (luma kept) and the digests of their chroma planes alone.
std::vector<Pic> Decode(const std::vector<uint8_t> &data, const LayerCase &c, int iMvc, int iLayer,
                        std::vector<unsigned> *pCodes, std::vector<std::string> *pChroma)
{
    IHW265D_INIT_PARAM p = DefaultParams(c.iWidth, c.iHeight);
    p.iMaxRefNum = c.iMaxRefNum;
    p.iMaxSPSNum = p.iMaxPPSNum = 2;
    p.eOutputOrder = c.iOrder;
    p.eThreadType = c.iThreads;
    p.uiMvcEnable = (unsigned)iMvc;
    p.uiOutputLayer = (unsigned)iLayer;
    Decoder d(p, false);
    std::vector<Pic> pics;
    d.onPicture = [&](const IHW265D_OUTARGS &o) {
        pics.push_back(DigestPicture(o, true));
        intratest::Md5 m;
        for (int k = 1; k < 3; k++)
            for (uint32_t y = 0; y < o.uiDecHeight / 2; y++)
                m.Update(o.pucOutYUV[k] + (size_t)y * o.uiUVStride * pics.back().uiBps,
                         o.uiDecWidth / 2 * pics.back().uiBps);
        pChroma->push_back(m.Hex());
        EXPECT_EQ(o.uiLayerId, (unsigned)iLayer);
    };
    d.Feed(data, 1000);
    *pCodes = d.codes;
    return pics;
}

// The x265 base stream and its two-layer version; false when a tool is missing.
bool MakeStreams(const LayerCase &c, std::string *pBase, std::string *pTwo)
{
    *pBase = X265Stream(std::string("layers_") + c.pszName, c.iWidth, c.iHeight, 16, c.iDepth,
                        std::string("--no-info --no-open-gop ") + c.pszArgs);
    std::string tool = std::string(IPCAMERA_BINARY_DIR) + "/tools/hevc-mvgen/hevc-mvgen";
    *pTwo = TempDir() + "/layers_" + c.pszName + "_two.hevc";
    // Written under a private name: tests may run in parallel processes.
    std::string tmp = *pTwo + std::to_string(getpid());
    return !pBase->empty() && access(tool.c_str(), X_OK) == 0 &&
           hevctest::Run(tool + " " + *pBase + " " + tmp + " --offset " + std::to_string(c.iOffset)) == 0 &&
           rename(tmp.c_str(), pTwo->c_str()) == 0;
}

class LayerStream : public ::testing::TestWithParam<LayerCase> {};

TEST_P(LayerStream, OutputLayerChosenAndBaseUndisturbed)
{
    const LayerCase &c = GetParam();
    std::string base, two;
    if (!MakeStreams(c, &base, &two))
        GTEST_SKIP() << "x265, ffmpeg or hevc-mvgen not available";
    std::vector<std::string> ff = FfmpegFrameMd5(base, c.iDepth);
    std::vector<unsigned> codes;
    std::vector<std::string> chroma, chroma1;
    std::vector<Pic> single = Decode(ReadFile(base), c, 0, 0, &codes, &chroma);
    EXPECT_TRUE(codes.empty());
    ASSERT_EQ(single.size(), ff.size());
    for (size_t i = 0; i < ff.size(); i++)
        EXPECT_EQ(single[i].md5, ff[i]) << "picture " << i;

    std::vector<uint8_t> data = ReadFile(two);
    for (int iMvc : {0, 1})
        for (int iLayer : {0, 1}) {
            if (!iMvc && iLayer)
                continue;
            SCOPED_TRACE("uiMvcEnable " + std::to_string(iMvc) + ", uiOutputLayer " + std::to_string(iLayer));
            chroma1.clear();
            std::vector<Pic> pics = Decode(data, c, iMvc, iLayer, &codes, &chroma1);
            EXPECT_TRUE(codes.empty()) << std::hex << (codes.empty() ? 0 : codes[0]);
            ASSERT_EQ(pics.size(), single.size());
            for (size_t i = 0; i < pics.size(); i++) {
                EXPECT_EQ(pics[i].uiError, 0u) << "picture " << i;
                EXPECT_EQ(pics[i].iPoc, single[i].iPoc) << "picture " << i;
                EXPECT_EQ(chroma1[i], chroma[i]) << "chroma of picture " << i;
                if (!iLayer || !c.iOffset) {
                    EXPECT_EQ(pics[i].luma, single[i].luma) << "picture " << i;
                    continue;
                }
                // Luma moved by the offset, clipped.
                const int iMax = (1 << c.iDepth) - 1, iAdd = c.iOffset * (1 << (c.iDepth - 8));
                size_t uiBad = 0, n = single[i].luma.size() / single[i].uiBps;
                for (size_t k = 0; k < n; k++) {
                    auto at = [&](const Pic &p) {
                        return p.uiBps == 1 ? p.luma[k] : p.luma[2 * k] | p.luma[2 * k + 1] << 8;
                    };
                    uiBad += at(pics[i]) != std::min(iMax, std::max(0, at(single[i]) + iAdd));
                }
                EXPECT_EQ(uiBad, 0u) << "picture " << i;
            }
        }
}

INSTANTIATE_TEST_SUITE_P(Mvgen, LayerStream, ::testing::ValuesIn(kLayerCases),
                         [](const ::testing::TestParamInfo<LayerCase> &i) { return std::string(i.param.pszName); });

// The base picture of access unit 3 lost: the layer-1 picture of that unit
// shows the previous layer-1 picture (the closest in order count), is
// reported and flagged; from the next IDR (picture 6) on all is intact.
// iMaxRefNum 2: with 1, x265's three base pictures (not released by the lost
// one) fill the slots and that layer-1 picture fails to get one.
TEST(LayerDamage, LostBasePictureConcealedInLayerOne)
{
    LayerCase c = kLayerCases[0];
    c.iMaxRefNum = 2;
    std::string base, two;
    if (!MakeStreams(c, &base, &two))
        GTEST_SKIP() << "x265, ffmpeg or hevc-mvgen not available";
    std::vector<std::vector<uint8_t>> nals = SplitNals(ReadFile(two));
    std::vector<unsigned> codes;
    std::vector<std::string> chroma;
    std::vector<Pic> single = Decode(ReadFile(base), c, 0, 0, &codes, &chroma);
    ASSERT_EQ(single.size(), 16u);
    int iBase = 0;
    for (std::vector<uint8_t> &n : nals) {
        size_t k = n.size() > 3 && n[2] == 1 ? 3 : 4;
        bool bBaseVcl = n.size() > k + 1 && ((n[k] >> 1) & 63) < 32 && (n[k + 1] >> 3) == 0 && (n[k] & 1) == 0;
        if (bBaseVcl && iBase++ == 3)
            n.clear();
    }
    std::vector<Pic> pics = Decode(Cat(nals), c, 1, 1, &codes, &chroma);
    ASSERT_EQ(pics.size(), 16u);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], IHW265D_ERR_SLICEHEADER);
    for (size_t i = 0; i < 16; i++)
        EXPECT_TRUE((i == 4 || i == 5) ||
                    ((pics[i].uiError != 0) == (i == 3) && pics[i].luma == single[i == 3 ? 2 : i].luma)) << i;
}

} // namespace
