// The recorder on sources that cameras deliver in awkward shapes: frame
// numbering as the AVI index sees it, G.726 in the little-endian packing,
// audio the container cannot hold, and streams whose picture size is not
// known when the recording starts.

#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "RecordSource.h"
#include "RecordTestUtil.h"

namespace {

class AviRecorderSourceTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FFMpegRegister();
        s_bTools = HaveTool("ffmpeg") && HaveTool("ffprobe");
    }
    static void TearDownTestSuite() { RemoveTestDir(); }
    void SetUp() override
    {
        if (!s_bTools)
            GTEST_SKIP() << "ffmpeg/ffprobe CLI not found: cannot generate or judge test media";
    }
    static bool s_bTools;
};
bool AviRecorderSourceTest::s_bTools = false;

// ffprobe's video packets of a file: "dts,size" per line.
std::vector<std::pair<long, long>> VideoPackets(const std::string &path)
{
    std::vector<std::pair<long, long>> out;
    std::string text;
    if (RunCapture("ffprobe -v error -select_streams v:0 -show_entries packet=dts,size -of csv=p=0 '" + path + "'",
                   &text) != 0)
        return out;
    size_t pos = 0;
    while (pos < text.size()) {
        long pts = -1, size = -1;
        if (sscanf(text.c_str() + pos, "%ld,%ld", &pts, &size) == 2)
            out.push_back({pts, size});
        size_t eol = text.find('\n', pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
    }
    return out;
}

// The first frame sits at index 0: no padding chunk, a picture per index,
// timestamps reading back 0, 1, 2... while the frame counter (and with it
// the corrected rate) still counts every frame from 1.
TEST_F(AviRecorderSourceTest, FirstFrameLandsAtIndexZero)
{
    const char *codecs[] = {"libx264", "libx265", "mpeg4"};
    for (const char *vc : codecs) {
        SCOPED_TRACE(vc);
        std::string src = TestDir() + "/idx_" + vc + ".ts", dst = TestDir() + "/idx_" + vc + ".avi";
        ASSERT_TRUE(MakeSource(src, vc, "", 2.0));
        Source s;
        ASSERT_TRUE(s.Open(src));
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        int written = s.Pump();
        ASSERT_EQ(50, written);
        EXPECT_EQ(50, s.ctx->nSaveVideoFrames);
        s.BackdateStart(2000);
        ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
        EXPECT_EQ(2500u, ReadLe32At(dst, AVI_RATE_OFFSET));

        std::vector<unsigned char> f = ReadAll(dst);
        EXPECT_EQ(0, CountEmptyChunks(f));
        std::vector<std::pair<long, long>> pk = VideoPackets(dst);
        ASSERT_EQ(50u, pk.size());
        for (size_t i = 0; i < pk.size(); i++) {
            EXPECT_EQ((long)i, pk[i].first) << "packet " << i;
            EXPECT_GT(pk[i].second, 0) << "packet " << i;
        }
        std::vector<ProbedStream> st = Probe(dst);
        ASSERT_EQ(1u, st.size());
        EXPECT_EQ("25/1", st[0].rFrameRate);
        EXPECT_EQ(50, st[0].nReadFrames);
        std::string errors;
        EXPECT_TRUE(DecodesCleanly(dst, &errors)) << errors;
        EXPECT_EQ("", errors);
    }
}

}  // namespace
