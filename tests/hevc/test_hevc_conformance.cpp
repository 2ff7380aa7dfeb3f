// Bitstreams of the shared collection: every small stream's parameter sets and
// slice headers against FFmpeg's parse, picture counts and output order. The
// sweep (label slow) takes every stream, a camera's own capture included.
#include <gtest/gtest.h>

#include "HevcCompare.h"
#include "IntraTestUtil.h"

using namespace hevctest;

namespace {

// The worker pool changes nothing a caller sees: pictures, return codes,
// error words and messages of eThreadType 1 equal those of eThreadType 0.
void ExpectThreadTypesAgree(const ManifestRow &row, size_t uiChunk, int iOrder)
{
    std::vector<uint8_t> data = ReadFile(ConformanceDir() + "/" + row.file);
    const int w = std::max(row.width, 64), h = std::max(row.height, 64);
    intratest::ExpectSameRun(intratest::DecodeBuffer(data, 10, iOrder, false, uiChunk, w, h, 0),
                             intratest::DecodeBuffer(data, 10, iOrder, false, uiChunk, w, h, 1));
}

class Conformance : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(Conformance, ParsesLikeFfmpeg)
{
    if (GetParam().file.empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    if (!SweepRun()) {
        CheckConformanceStream(GetParam(), 1500, IH265D_DISPLAY_ORDER);
        ExpectThreadTypesAgree(GetParam(), 1 << 16, IH265D_DISPLAY_ORDER);
        return;
    }
    CheckConformanceStream(GetParam(), 4093, IH265D_DISPLAY_ORDER);
    CheckConformanceStream(GetParam(), 65537, IH265D_DECODE_ORDER);
    ExpectThreadTypesAgree(GetParam(), 4093, IH265D_DISPLAY_ORDER);
    ExpectThreadTypesAgree(GetParam(), 65537, IH265D_DECODE_ORDER);
}

// Small streams by default; every stream, in both output orders and with
// awkward chunk sizes, in the sweep; each with both thread types.
INSTANTIATE_TEST_SUITE_P(Collection, Conformance,
                         ::testing::ValuesIn(SweepRun() ? ManifestRowsUpTo(0, 0) : ManifestRowsUpTo(200000, 60)),
                         ManifestRowName);

// Pictures of many slices, each with reference lists of its own (list
// modification, long-term pictures), handed over in small calls: the slices
// go one by one through the reconstruction task, which derives each one's
// motion with that slice's lists while parsing is already in the next.
TEST(ConformanceChecks, SlicesWithListsOfTheirOwnAgreeInBothThreadTypes)
{
    int iStreams = 0;
    for (const char *f : {"jctvc/hevc-itu-slist-a.h265", "jctvc/hevc-itu-slist-b.h265", "jctvc/LTRPSPS_A_Qualcomm_1.bit"}) {
        std::vector<uint8_t> data = ReadFile(ConformanceDir() + "/" + f);
        if (data.empty())
            continue;
        SCOPED_TRACE(f);
        intratest::DecodeRun one = intratest::DecodeBuffer(data, 8, IH265D_DECODE_ORDER, false, 4096, 832, 480, 0);
        EXPECT_GT(one.pics.size(), 60u);
        intratest::ExpectSameRun(one, intratest::DecodeBuffer(data, 8, IH265D_DECODE_ORDER, false, 4096, 832, 480, 1));
        iStreams++;
    }
    if (!iStreams)
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
}

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
