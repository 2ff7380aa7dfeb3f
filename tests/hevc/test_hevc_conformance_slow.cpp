// Long sweep (label slow): every stream of the shared collection, in both
// output orders and with an awkward chunk size.
#include <gtest/gtest.h>

#include "HevcCompare.h"

using namespace hevctest;

namespace {

std::vector<ManifestRow> AllStreams()
{
    std::vector<ManifestRow> out = ReadManifest();
    if (out.empty())
        out.push_back(ManifestRow{"", "", 0, 0, 0, 0, 0, 0});
    return out;
}

class ConformanceSweep : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(ConformanceSweep, BothOrdersOddChunks)
{
    if (GetParam().file.empty())
        GTEST_SKIP() << "no test bitstreams in " << ConformanceDir();
    CheckConformanceStream(GetParam(), 4093, IH265D_DISPLAY_ORDER);
    CheckConformanceStream(GetParam(), 65537, IH265D_DECODE_ORDER);
}

std::string RowName(const ::testing::TestParamInfo<ManifestRow> &i)
{
    std::string s = i.param.file.empty() ? "absent" : i.param.file;
    for (char &c : s)
        if (!isalnum((unsigned char)c))
            c = '_';
    return s;
}

INSTANTIATE_TEST_SUITE_P(All, ConformanceSweep, ::testing::ValuesIn(AllStreams()), RowName);

} // namespace
