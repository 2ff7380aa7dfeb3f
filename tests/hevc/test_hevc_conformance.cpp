// Bitstreams of the shared collection: every small stream's parameter sets and
// slice headers against FFmpeg's parse, picture counts and output order. The
// sweep (label slow) takes every stream, a camera's own capture included.
#include <gtest/gtest.h>

#include "HevcCompare.h"

using namespace hevctest;

namespace {

class Conformance : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(Conformance, ParsesLikeFfmpeg)
{
    if (GetParam().file.empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    if (!SweepRun()) {
        CheckConformanceStream(GetParam(), 1500, IH265D_DISPLAY_ORDER);
        return;
    }
    CheckConformanceStream(GetParam(), 4093, IH265D_DISPLAY_ORDER);
    CheckConformanceStream(GetParam(), 65537, IH265D_DECODE_ORDER);
}

// Small streams by default; every stream, in both output orders and with
// awkward chunk sizes, in the sweep.
INSTANTIATE_TEST_SUITE_P(Collection, Conformance,
                         ::testing::ValuesIn(SweepRun() ? ManifestRowsUpTo(0, 0) : ManifestRowsUpTo(200000, 60)),
                         ManifestRowName);

} // namespace
