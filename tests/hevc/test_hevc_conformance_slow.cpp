// Long sweep (label slow): every stream of the shared collection, in both
// output orders and with an awkward chunk size.
#include <gtest/gtest.h>

#include "HevcCompare.h"

using namespace hevctest;

namespace {

class ConformanceSweep : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(ConformanceSweep, BothOrdersOddChunks)
{
    if (GetParam().file.empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    CheckConformanceStream(GetParam(), 4093, IH265D_DISPLAY_ORDER);
    CheckConformanceStream(GetParam(), 65537, IH265D_DECODE_ORDER);
}

INSTANTIATE_TEST_SUITE_P(All, ConformanceSweep, ::testing::ValuesIn(ManifestRowsUpTo(0, 0)), ManifestRowName);

} // namespace
