// Long intra sweeps (label slow): every stream of the shared collection
// including the large ones, and x265 all-intra streams over the CTU, bit
// depth, slice and wavefront combinations at sizes that are not multiples of
// the CTU, each frame against FFmpeg, or where FFmpeg deviates against the
// stream's own picture hashes.
#include <gtest/gtest.h>

#include "IntraTestUtil.h"

using namespace hevctest;
using namespace intratest;

namespace {

TEST(IntraSlow, LeadingIntraPicturesOfEveryCollectionStream)
{
    std::vector<hevctest::ManifestRow> streams = ConfStreams();
    if (streams.empty())
        GTEST_SKIP() << "no test bitstreams with framemd5 lists in " << hevctest::ConformanceDir();
    int iPictures = 0;
    for (const hevctest::ManifestRow &c : streams) {
        SCOPED_TRACE(c.file);
        ConfResult r = CheckLeadingIntra(c);
        for (const std::string &f : r.failures)
            ADD_FAILURE() << f;
        iPictures += r.iCompared;
    }
    printf("leading intra pictures compared: %d\n", iPictures);
}

TEST(IntraSlow, X265Sweep)
{
    if (!HaveTool("x265"))
        GTEST_SKIP() << "x265 not available";
    const char *apszTools[] = {"", "--tskip --no-signhide", "--slices 5", "--no-wpp --scaling-list default",
                               "--lossless", "--aq-mode 2 --qg-size 16 --constrained-intra"};
    int iCase = 0;
    for (int iDepth : {8, 10})
        for (int iCtu : {16, 32, 64})
            for (const char *pszTools : apszTools) {
                int w = 424 + 8 * (iCase % 3), h = 232 + 8 * (iCase % 5);
                std::string name = "intra_slowh_" + std::to_string(iCase++);
                std::string args = "-I 1 --keyint 1 --no-info --hash 1 --ctu " + std::to_string(iCtu) + " " + pszTools;
                std::string path = X265Stream(name, w, h, 6, iDepth, args);
                ASSERT_FALSE(path.empty()) << args;
                SCOPED_TRACE(args + " depth " + std::to_string(iDepth));
                ExpectPicturesMatch(path, DecodeBuffer(ReadFile(path), iDepth), FfmpegFrameMd5(path, iDepth));
            }
}

} // namespace
