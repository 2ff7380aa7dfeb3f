// Leading intra pictures of the shared bitstream collection, frame by frame
// against its FFmpeg framemd5 lists. Where FFmpeg is known to deviate (it
// filters chroma across a transquant-bypass boundary in culossless_176x144,
// and its list of the full-range rtp-capture stream went through a range
// conversion) libde265's output is the reference for that picture.
#include <gtest/gtest.h>

#include "IntraTestUtil.h"

using namespace intratest;

namespace {

// Streams up to this size run by default (the three JCT-VC streams
// included: long-term pictures, list modification, CRA with RASL pictures,
// every picture compared); the sweep takes all.
const long kSmallBytes = 500000;

TEST(IntraConformance, LeadingIntraPicturesMatchTheReferences)
{
    std::vector<hevctest::ManifestRow> streams = ConfStreams();
    if (streams.empty())
        GTEST_SKIP() << "no test bitstreams with framemd5 lists in " << hevctest::ConformanceDir();
    int iStreams = 0;
    for (const hevctest::ManifestRow &c : streams) {
        if (c.bytes > kSmallBytes && !hevctest::SweepRun())
            continue;
        SCOPED_TRACE(c.file);
        ConfResult r = CheckLeadingIntra(c);
        for (const std::string &f : r.failures)
            ADD_FAILURE() << f;
        iStreams += r.iCompared > 0;
    }
    // Every small 4:2:0 stream of the collection starts with an intra picture.
    EXPECT_GE(iStreams, 60);
}

// The FFmpeg deviation on lossless blocks: our first picture equals
// libde265's, whose output matches the source's own checksum.
TEST(IntraConformance, TransquantBypassChromaIsNotFiltered)
{
    hevctest::ManifestRow c{"gen2brain/culossless_176x144.h265", "", 0, 1, 8, 176, 144, 0};
    if (hevctest::ReadFile(hevctest::ConformanceDir() + "/" + c.file).empty())
        GTEST_SKIP() << "no test bitstreams in " << hevctest::ConformanceDir();
    if (!hevctest::HaveTool("libde265-dec265"))
        GTEST_SKIP() << "libde265-dec265 not available";
    ConfResult r = CheckLeadingIntra(c);
    EXPECT_TRUE(r.failures.empty());
    EXPECT_EQ(r.iCompared, 3);
    EXPECT_EQ(r.iMatchedLibde265, 3);
}

} // namespace
