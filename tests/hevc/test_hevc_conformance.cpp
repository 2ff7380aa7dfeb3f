// Bitstreams of the shared collection: every small stream's parameter sets and
// slice headers against FFmpeg's parse, picture counts and output order; the
// listed checks that refuse some of them. Large streams run in test_hevc_slow.
#include <gtest/gtest.h>

#include "HevcCompare.h"

using namespace hevctest;

namespace {

class Conformance : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(Conformance, ParsesLikeFfmpeg)
{
    if (GetParam().file.empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    CheckConformanceStream(GetParam(), 1500, IH265D_DISPLAY_ORDER);
}

INSTANTIATE_TEST_SUITE_P(Small, Conformance, ::testing::ValuesIn(ManifestRowsUpTo(200000, 60)), ManifestRowName);

TEST(ConformanceChecks, ZeroLatencyIncreaseMeansNoLimit)
{
    // HM-encoded conformance streams write sps_max_latency_increase_plus1 0
    // ("no limit"): accepted without any relaxing.
    std::string path = ConformanceDir() + "/jctvc/hevc-itu-slist-a.h265";
    if (ReadFile(path).empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    StreamResult r = DecodeFile(path, 4096, IH265D_DISPLAY_ORDER, 832, 480);
    EXPECT_TRUE(r.codes.empty()) << std::hex << r.codes[0];
    EXPECT_FALSE(r.pictures.empty());
}

TEST(ConformanceChecks, LongTermReferencesFromSpsAndSliceHeaders)
{
    std::string path = ConformanceDir() + "/jctvc/LTRPSPS_A_Qualcomm_1.bit";
    if (ReadFile(path).empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    StreamResult r = DecodeFile(path, 1 << 16, IH265D_DISPLAY_ORDER, 416, 240, 15, HEVC_RELAX_LATENCY_ZERO);
    EXPECT_TRUE(r.codes.empty());
    int iLtSlices = 0;
    for (const UnitRec &u : r.units) {
        if (u.eKind != HEVC_TRACE_SLICE)
            continue;
        iLtSlices += u.slice.sh.num_long_term_sps + u.slice.sh.num_long_term_pics > 0;
    }
    EXPECT_GT(iLtSlices, 10);
    EXPECT_EQ(r.pictures.size(), 500u);
    int iCompared = 0;
    for (const std::string &e : CompareWithTrace(r.units, FfmpegTrace(path), &iCompared))
        ADD_FAILURE() << e;
}

TEST(ConformanceChecks, CameraCaptureWithPrivateSei)
{
    // The RTP capture carries SEI 229 (4 bytes) before each IDR.
    std::string path = ConformanceDir() + "/rtp-capture/video.h265";
    if (ReadFile(path).empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    StreamResult r = DecodeFile(path, 1 << 16, IH265D_DISPLAY_ORDER, 1920, 1080, 1, HEVC_RELAX_LATENCY_ZERO);
    // Its last slice is cut short: the one failure the decoder reports.
    EXPECT_EQ(r.codes, std::vector<uint32_t>{IHW265D_ERR_NAL});
    ASSERT_EQ(r.pictures.size(), 194u);
    EXPECT_NE(r.pictures.back().out.uiPrivateSeiValue, 0u);
    EXPECT_EQ(r.pictures[0].out.uiDecHeight, 1080u);
}

} // namespace
