// x265 streams made at test time, parsed by the decoder and compared with
// FFmpeg's trace_headers (every syntax element of the parameter sets and slice
// headers) and x265's own log (POC, type, reference POCs of every picture);
// output order and time stamps; streams beyond the creation limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "HevcCompare.h"

using namespace hevctest;

namespace {

struct X265Case {
    const char *pszName;
    int w, h, frames, depth;
    const char *pszArgs;
};

// Small pictures and few frames keep the default run short.
const X265Case kX265Cases[] = {
    {"intra8", 208, 120, 3, 8, "--preset ultrafast --keyint 1 --no-info"},
    {"lowdelay_p", 176, 144, 8, 8, "--preset ultrafast --bframes 0 --ref 3 --keyint 30 --no-info"},
    {"ra_pyramid_opengop", 192, 128, 20, 8,
     "--preset medium --bframes 4 --b-pyramid --b-adapt 0 --keyint 8 --min-keyint 8 --open-gop --no-scenecut "
     "--ref 3 --no-info"},
    {"closed_gop_idr", 160, 96, 12, 8, "--preset fast --bframes 2 --keyint 5 --no-open-gop --no-info"},
    {"slices3", 256, 144, 4, 8, "--preset ultrafast --slices 3 --bframes 1 --no-info"},
    {"ctu16_odd", 202, 118, 4, 8, "--preset ultrafast --ctu 16 --min-cu-size 8 --no-info"},
    {"ctu64_odd", 200, 130, 4, 8, "--preset ultrafast --ctu 64 --no-wpp --no-info"},
    {"main10", 176, 112, 6, 10, "--preset ultrafast --bframes 2 --no-info"},
    {"scaling_default", 160, 96, 3, 8, "--preset ultrafast --scaling-list default --no-info"},
    {"weighted_wpp", 192, 108, 6, 8, "--preset faster --weightp --weightb --wpp --bframes 2 --no-info"},
    {"temporal_layers_aud", 160, 96, 9, 8, "--preset ultrafast --temporal-layers --bframes 3 --b-adapt 0 --aud --no-info"},
    {"hrd_vui", 128, 72, 4, 8, "--preset ultrafast --hrd --vbv-bufsize 400 --vbv-maxrate 400 --no-info"},
    {"deblock_sao_offsets", 176, 96, 4, 8,
     "--preset ultrafast --deblock -2:3 --cbqpoffs 2 --crqpoffs -3 --no-info"},
};

class X265Streams : public ::testing::TestWithParam<X265Case> {};

TEST_P(X265Streams, HeadersMatchFfmpegAndEncoderLog)
{
    const X265Case &c = GetParam();
    std::string csv;
    std::string path = X265Stream(c.pszName, c.w, c.h, c.frames, c.depth, c.pszArgs, &csv);
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available (or the encoder refused the options)";
    StreamResult r = DecodeFile(path, 1000);
    EXPECT_TRUE(r.codes.empty()) << std::hex << (r.codes.empty() ? 0 : r.codes[0]) << " "
                                 << (r.logs.empty() ? "" : r.logs[0].text);
    int iCompared = 0;
    for (const std::string &e : CompareWithTrace(r.units, FfmpegTrace(path), &iCompared))
        ADD_FAILURE() << e;
    EXPECT_GT(iCompared, 50);
    for (const std::string &e : CompareWithCsv(r.units, ReadX265Csv(csv)))
        ADD_FAILURE() << e;
    // Every picture is output once, in display order.
    EXPECT_EQ(r.pictures.size(), (size_t)c.frames);
    ExpectOutputOrder(r, IH265D_DISPLAY_ORDER);
    for (const OutPic &p : r.pictures) {
        EXPECT_EQ(p.out.uiDecWidth, (unsigned)c.w);
        EXPECT_EQ(p.out.uiDecHeight, (unsigned)c.h);
        EXPECT_EQ(p.out.uiDecBitDepthLuma, (unsigned)c.depth);
        EXPECT_EQ(p.out.uiErrorFlag & HEVC_PIC_ERR_MISSING_REF, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(All, X265Streams, ::testing::ValuesIn(kX265Cases),
                         [](const ::testing::TestParamInfo<X265Case> &i) { return std::string(i.param.pszName); });

// Feeds a stream one NAL unit per call, each stamped 1000 + the decode index
// of its picture (parameter sets go with the picture after them), and notes
// how many pictures had been started when each picture came out.
std::vector<int> OutputTiming(const std::string &path, int iOrder, std::vector<OutPic> *pPictures = nullptr)
{
    IHW265D_INIT_PARAM p = DefaultParams(4096, 2304);
    p.eOutputOrder = iOrder;
    Decoder d(p);
    std::vector<int> started;
    int iPicture = 0;
    for (const std::vector<uint8_t> &nal : SplitNals(ReadFile(path))) {
        size_t uiBefore = d.pictures.size();
        bool bVcl = NalType(nal) < 32;
        iPicture += bVcl && (nal[nal[2] == 1 ? 5 : 6] & 0x80); // first_slice_segment_in_pic_flag
        d.FeedUnit(nal.data(), (uint32_t)nal.size(), 1000 + iPicture - (bVcl ? 1 : 0));
        // A unit is parsed once the next one has begun.
        int iStarted = (int)std::count_if(d.units.begin(), d.units.end(), [](const UnitRec &u) {
            return u.eKind == HEVC_TRACE_SLICE && u.slice.sh.first_slice_segment_in_pic_flag;
        });
        started.insert(started.end(), d.pictures.size() - uiBefore, iStarted);
    }
    d.FlushAll();
    if (pPictures)
        *pPictures = d.pictures;
    return started;
}

// Eight pictures with a reorder depth of 2.
std::string Reorder2Stream()
{
    return X265Stream("reorder2", 64, 64, 8, 8,
                      "--preset ultrafast --bframes 3 --b-pyramid --b-adapt 0 --keyint 30 --no-info");
}

TEST(HevcOutputOrder, DisplayOrderWaitsForReorderDepthDecodeOrderDoesNot)
{
    std::string path = Reorder2Stream();
    if (path.empty())
        GTEST_SKIP() << "x265 not available";
    // x265 writes sps_max_num_reorder_pics 2 here. A picture is complete when
    // the first unit of the next one arrives, so "started" counts one more
    // than completed. Display order: the first picture leaves after the third
    // has completed (4 started).
    std::vector<OutPic> pics;
    std::vector<int> disp = OutputTiming(path, IH265D_DISPLAY_ORDER, &pics);
    ASSERT_FALSE(disp.empty());
    EXPECT_EQ(disp[0], 4);
    // Each picture keeps the time stamp of the call that brought it.
    ASSERT_EQ(pics.size(), 8u);
    for (const OutPic &o : pics)
        EXPECT_EQ(o.out.uiTimeStamp, 1000u + o.out.uiDecodeOrder) << "decode index " << o.out.uiDecodeOrder;
    // Decode order delivers each picture as soon as it is complete.
    std::vector<int> dec = OutputTiming(path, IH265D_DECODE_ORDER, &pics);
    ASSERT_FALSE(dec.empty());
    EXPECT_EQ(dec[0], 2);
    ASSERT_EQ(pics.size(), 8u);
    for (size_t i = 0; i < pics.size(); i++)
        EXPECT_EQ(pics[i].out.uiDecodeOrder, i);
}

TEST(HevcLimits, PictureLargerThanCreationMaximum)
{
    std::string path = X265Stream("size320", 320, 240, 1, 8, "--preset ultrafast --no-info");
    if (path.empty())
        GTEST_SKIP() << "x265 not available";
    StreamResult wide = DecodeFile(path, 4096, 1, 256, 256), high = DecodeFile(path, 4096, 1, 320, 128);
    EXPECT_EQ(wide.codes.empty() ? 0 : wide.codes[0], IHW265D_ERR_WIDTH);
    EXPECT_TRUE(HasLine(wide.logs, "IHW265D_Decode : PicWidthInSamplesY is 320, should be less than or equal to 256!\n"));
    EXPECT_TRUE(wide.pictures.empty());
    EXPECT_EQ(high.codes.empty() ? 0 : high.codes[0], IHW265D_ERR_HEIGHT);
    // The maximum is rounded up to whole 64-row units: 200 holds 240 rows.
    StreamResult fits = DecodeFile(path, 4096, 1, 320, 200);
    EXPECT_TRUE(fits.codes.empty());
    EXPECT_EQ(fits.pictures.size(), 1u);
}

TEST(HevcLimits, MoreReferencePicturesThanIMaxRefNum)
{
    std::string path = X265Stream("lowdelay_p", 176, 144, 8, 8,
                                  "--preset ultrafast --bframes 0 --ref 3 --keyint 30 --no-info");
    if (path.empty())
        GTEST_SKIP() << "x265 not available";
    StreamResult r = DecodeFile(path, 4096, 1, 176, 144, 1);
    EXPECT_NE(std::find(r.codes.begin(), r.codes.end(), IHW265D_ERR_REFNUM), r.codes.end());
    EXPECT_TRUE(HasLine(r.logs, "IHW265D_Decode : The value of RefPic is 2, should be less than or equal to 1!\n"));
    // The same stream fits a decoder with three references.
    EXPECT_TRUE(DecodeFile(path, 4096, 1, 176, 144, 3).codes.empty());
}

} // namespace
