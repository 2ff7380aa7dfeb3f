// NAL units made by hand: one table of header, parameter-set, SEI and slice
// header checks with their codes and messages; stored SEI values, missing
// references, order count wrap, flushing, random access at a CRA.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "HevcCompare.h"
#include "IntraTestUtil.h"

using namespace hevctest;

namespace {

std::vector<uint8_t> Headers(const SpsSpec &s = SpsSpec(), const PpsSpec &p = PpsSpec())
{
    return Cat({MakeVps(), MakeSps(s), MakePps(p)});
}

bool HasCode(const Decoder &d, unsigned int c)
{
    return std::find(d.codes.begin(), d.codes.end(), c) != d.codes.end();
}

// Units that unsettle a decoder at 64x64: the code it returns (0: not checked),
// its log line and level (-1: any), the pictures still output (-1: not checked).
struct SetCase {
    const char *pszName;
    std::vector<uint8_t> (*pfnMake)();
    void (*pfnParams)(IHW265D_INIT_PARAM *);
    unsigned int uiCode;
    const char *pszMessage;
    int iLevel = 0, iPictures = 0;
};

std::vector<uint8_t> Nal(int iType, int iLayer = 0, int iTidPlus1 = 1)
{
    BitWriter w;
    w.U(0xFF, 8);
    w.Trailing();
    return w.Nal(iType, iLayer, iTidPlus1);
}

const SetCase kSetCases[] = {
    {"nalLayer2", [] { return Cat({Nal(HEVC_NAL_SEI_PREFIX, 2), MakeVps(), MakeSps(SpsSpec())}); }, nullptr,
     IHW265D_ERR_NAL, "IHW265D_Decode : The value of nuh_layer_id is 2, should be equal to 0 or 1!\n", 0, -1},
    {"seiUserDataTooLong", [] { return MakeSei(240, std::vector<uint8_t>(2049, 1)); }, nullptr, IHW265D_ERR_USERDATA,
     "IHW265D_Decode : Lens of user data is bigger than MAX user data lens!\n", -1, 0},
    {"seiPrivateCut", [] { BitWriter w; w.U(229, 8); w.U(4, 8); w.U(0xAB, 8); w.Trailing(); return w.Nal(HEVC_NAL_SEI_PREFIX); },
     nullptr, IHW265D_ERR_USERDATA, "IHW265D_Decode : Lens of user data is less than 4 !\n", -1, 0},
    {"forbiddenBitOnlyWarns", [] { auto v = MakeVps(); v[4] |= 0x80; return Cat({v, MakeSps(SpsSpec()), MakePps(PpsSpec()), MakeIdrSlice()}); },
     nullptr, 0, "IHW265D_Decode : The value of forbidden_zero_bit is 1, should be 0!\n", 1, 1},
    {"temporalIdMinus1", [] { return Cat({Nal(HEVC_NAL_AUD, 0, 0), Headers(), MakeIdrSlice()}); }, nullptr, 0,
     "IHW265D_Decode : The value of nuh_temporal_id is -1, should be in the range of 0~6!\n", 1, 1},
    {"spsTemporalId1", [] { auto v = MakeSps(SpsSpec()); v[5] = (uint8_t)((v[5] & ~7) | 2); return Cat({MakeVps(), v}); },
     nullptr, 0,
     "IHW265D_Decode : The value of nuh_temporal_id is 1, it should not be equal to 0 when nal_unit_type is equal to "
     "VPS_NUT or SPS_NUT or EOS_NUT or EOB_NUT!\n", 1, -1},
    {"audSkipped", [] { return Cat({Nal(HEVC_NAL_AUD), Headers(), MakeIdrSlice()}); }, nullptr, 0,
     "IHW265D_Decode : The NAL type 35 is not support !\n", -1, 1},
    {"fillerSkipped", [] { return Cat({Headers(), Nal(HEVC_NAL_FD), MakeIdrSlice()}); }, nullptr, 0,
     "IHW265D_Decode : The NAL type 38 is not support !\n", -1, 1},
    {"idsAtTheCreationLimits", [] {
         SpsSpec s; s.iId = 2; s.iVps = 1; PpsSpec q; q.iId = 4; q.iSps = 2;
         return Cat({MakeVps(1), MakeSps(s), MakePps(q), MakeIdrSlice(4)}); },
     [](IHW265D_INIT_PARAM *p) { p->iMaxVPSNum = 2; p->iMaxSPSNum = 3; p->iMaxPPSNum = 5; }, 0, nullptr, 0, 1},
    {"tooManyNalUnitsInOnePicture", [] {
         BitWriter w; w.U(200, 8); w.U(1, 8); w.U(0, 8); w.Trailing();
         std::vector<std::vector<uint8_t>> v = {Headers(), MakeIdrSlice()};
         v.resize(2 + HEVC_MAX_NAL_PER_PIC + 5, w.Nal(HEVC_NAL_SEI_SUFFIX));
         return Cat(v); },
     nullptr, 0xFFFFFFFFu, "IHW265D_Decode : The NAL Num is 2176,should be less than MAX_SLICE_NUM-1 !\n", 1, 1},
    {"sps422", [] { SpsSpec s; s.iChroma = 2; return Cat({MakeVps(), MakeSps(s)}); }, nullptr, IHW265D_ERR_SPS,
     "IHW265D_Decode : The value of chroma_format_idc is 2, should be equal to 1!\n"},
    {"sps12bit", [] { SpsSpec s; s.iDepth = 12; return Cat({MakeVps(), MakeSps(s)}); }, nullptr, IHW265D_ERR_SPS,
     "IHW265D_Decode : The value of bit_depth_luma is 12, should be equal to 8 or 10!\n"},
    {"sps10bitOn8bitDecoder", [] { SpsSpec s; s.iDepth = 10; return Cat({MakeVps(), MakeSps(s)}); },
     [](IHW265D_INIT_PARAM *p) { p->iBitDepth = 8; }, IHW265D_ERR_SPS,
     "IHW265D_Decode : The value of bit_depth is 10, but the use input bitdepth is 8!\n"},
    {"spsIdAboveLimit", [] { SpsSpec s; s.iId = 1; return Cat({MakeVps(), MakeSps(s)}); },
     [](IHW265D_INIT_PARAM *p) { p->iMaxSPSNum = 1; }, IHW265D_ERR_SPS,
     "IHW265D_Decode : The value of sps_seq_parameter_set_id is 1, which is more than the value of "
     "iMaxSPSNumMinus1,Please enlarge the parameter of iMaxSPSNum !\n"},
    {"spsId16", [] { SpsSpec s; s.iId = 16; return Cat({MakeVps(), MakeSps(s)}); }, nullptr, IHW265D_ERR_SPS,
     "IHW265D_Decode : The value of sps_seq_parameter_set_id is 16, should be less than 16!\n"},
    {"spsWithoutVps", [] { return MakeSps(SpsSpec()); }, nullptr, IHW265D_ERR_SPS,
     "IHW265D_Decode : The ID of VPS that current SPS refered is 0, which is not exist!\n"},
    {"spsWidthNotMultipleOfMinCb", [] { SpsSpec s; s.iWidth = 60; return Cat({MakeVps(), MakeSps(s)}); }, nullptr,
     IHW265D_ERR_SPS,
     "IHW265D_Decode : The value of pic_width_in_luma_samples is 60, should be bigger than 0 and shall be an integer "
     "multiple of MinCbSizeY!\n"},
    {"vpsIdAboveLimit", [] { return MakeVps(2); }, [](IHW265D_INIT_PARAM *p) { p->iMaxVPSNum = 2; },
     IHW265D_ERR_VPS,
     "IHW265D_Decode : The value of vps_video_parameter_set_id is 2, which is more than the value of "
     "iMaxVPSNumMinus1,Please enlarge the parameter of iMaxVPSNum !\n"},
    {"vpsDpbTooLarge", [] { return MakeVps(0, 16); }, nullptr, IHW265D_ERR_VPS,
     "IHW265D_Decode : The value of vps_max_dec_pic_buffering[0] is 17, should be in the range of 1 ~ 16!\n"},
    {"ppsTilesAndWpp", [] { PpsSpec p; p.bTiles = p.bWpp = 1; return Headers(SpsSpec(), p); }, nullptr,
     IHW265D_ERR_PPS, "IHW265D_Decode : tile and wpp can not be both open!\n"},
    {"ppsTooManyTileColumns", [] { PpsSpec p; p.bTiles = 1; p.iCols = 5; return Headers(SpsSpec(), p); }, nullptr,
     IHW265D_ERR_PPS, "IHW265D_Decode : the value of num_tile_columns is 5,it should not be bigger than iPicWidthInCtbsY!\n"},
    {"ppsOneByOneTiles", [] { PpsSpec p; p.bTiles = 1; p.iCols = 1; return Headers(SpsSpec(), p); }, nullptr,
     IHW265D_ERR_PPS, "IHW265D_Decode : num_tile_columns and num_tile_rows should not be both equal to 1!\n"},
    {"ppsIdAboveLimit", [] { PpsSpec p; p.iId = 4; return Headers(SpsSpec(), p); },
     [](IHW265D_INIT_PARAM *p) { p->iMaxPPSNum = 4; }, IHW265D_ERR_PPS,
     "IHW265D_Decode : The value of pps_pic_parameter_set_id is 4, which is more than the value of "
     "iMaxPPSNumMinus1,Please enlarge the parameter of iMaxPPSNum !\n"},
    {"ppsWithoutSps", [] { PpsSpec p; p.iSps = 3; return Headers(SpsSpec(), p); }, nullptr, IHW265D_ERR_PPS,
     "IHW265D_Decode : The ID of SPS that current PPS refered is 3, which is not exist!\n"},
    {"ppsInitQp", [] { PpsSpec p; p.iInitQpMinus26 = -27; return Headers(SpsSpec(), p); }, nullptr, IHW265D_ERR_PPS,
     "IHW265D_Decode : the value of init_qp_minus26 is -27, it should be in the range of -26 to 25!\n"},
    {"sliceQp52", [] { return Cat({Headers(), MakeIdrSlice(0, 26)}); }, nullptr, IHW265D_ERR_SLICEHEADER,
     "IHW265D_Decode : the value of slice_qp is 52, it should be in the range of -12~51!\n"},
    {"slicePpsMissing", [] { return Cat({Headers(), MakeIdrSlice(5)}); }, nullptr, IHW265D_ERR_SLICEHEADER,
     "IHW265D_Decode : The ID of PPS that current SliceHeader refered is 5, which is not exist!\n"},
    {"slicePpsAboveLimit", [] { return Cat({Headers(), MakeIdrSlice(9)}); },
     [](IHW265D_INIT_PARAM *p) { p->iMaxPPSNum = 8; }, IHW265D_ERR_SLICEHEADER,
     "IHW265D_Decode : the value of slice_pic_parameter_set_id is 9, it should be in the range of 0~(iMaxPPSNum - 1)!\n"},
    // A valid SPS 0, then a refused SPS 0: its slot is empty, so the PPS and
    // slice after it fail; sending the set again correctly brings decoding back.
    {"refusedSetEmptiesItsSlot", [] { SpsSpec b; b.iWidth = 60; return Cat({Headers(), MakeSps(b), MakePps(PpsSpec()), MakeIdrSlice()}); },
     nullptr, IHW265D_ERR_PPS, "IHW265D_Decode : The ID of SPS that current PPS refered is 0, which is not exist!\n"},
    {"refusedSetSentAgain", [] { SpsSpec b; b.iWidth = 60; return Cat({Headers(), MakeSps(b), Headers(), MakeIdrSlice()}); },
     nullptr, 0, nullptr, 0, 1},
};

class ParameterSetChecks : public ::testing::TestWithParam<SetCase> {};

TEST_P(ParameterSetChecks, CodeMessageAndPictures)
{
    const SetCase &c = GetParam();
    IHW265D_INIT_PARAM p = DefaultParams(64, 64);
    if (c.pfnParams)
        c.pfnParams(&p);
    Decoder d(p);
    d.Feed(c.pfnMake(), 1 << 20);
    EXPECT_TRUE(c.uiCode == 0 || HasCode(d, c.uiCode)) << std::hex << (d.codes.empty() ? 0 : d.codes[0]);
    EXPECT_TRUE(!c.pszMessage || HasLine(d.logs, c.pszMessage, c.iLevel)) << (d.logs.empty() ? "no log" : d.logs[0].text);
    EXPECT_TRUE(c.iPictures < 0 || d.pictures.size() == (size_t)c.iPictures) << d.pictures.size() << " pictures";
}

INSTANTIATE_TEST_SUITE_P(All, ParameterSetChecks, ::testing::ValuesIn(kSetCases),
                         [](const ::testing::TestParamInfo<SetCase> &i) { return std::string(i.param.pszName); });

TEST(HevcSei, SizeLimitsAndStoredValues)
{
    Decoder d(DefaultParams(64, 64));
    std::vector<uint8_t> ud(2048);
    for (size_t i = 0; i < ud.size(); i++)
        ud[i] = (uint8_t)(3 + i * 7);
    std::vector<uint8_t> mdcv = {0x33, 0xC2, 0x86, 0xC4, 0x1D, 0x4C, 0x0B, 0xB8, 0x84, 0xD0, 0x3E, 0x80,
                                 0x3D, 0x13, 0x40, 0x42, 0x00, 0x98, 0x96, 0x80, 0x00, 0x00, 0x00, 0x32};
    std::vector<uint8_t> cll = {0x03, 0xE8, 0x01, 0x90};
    d.Feed(Cat({Headers(), MakeSei(240, ud), MakeSei(137, mdcv), MakeSei(144, cll), MakeSei(229, {1, 2, 3, 4}),
                MakeIdrSlice()}),
           4096);
    for (unsigned int c : d.codes)
        EXPECT_EQ(c, IHW265D_ERR_NAL) << std::hex << c;
    ASSERT_EQ(d.pictures.size(), 1u);
    const IHW265D_OUTARGS &o = d.pictures[0].out;
    EXPECT_EQ(o.uiUserDataLen, 2048u);
    EXPECT_EQ(0, memcmp(d.Handle()->stSei.pucUserData, ud.data(), ud.size()));
    EXPECT_EQ(o.uiDisplayPrimariesX[0], 0x33C2u);
    EXPECT_EQ(o.uiDisplayPrimariesY[0], 0x86C4u);
    EXPECT_EQ(o.uiWhitePointX, 0x3D13u);
    EXPECT_EQ(o.uiMaxDisplayMasteringLuminance, 0x00989680u);
    EXPECT_EQ(o.uiMinDisplayMasteringLuminance, 0x32u);
    EXPECT_EQ(o.uiMaxContentLightLevel, 1000u);
    EXPECT_EQ(o.uiMaxPicAverageLightLevel, 400u);
    EXPECT_EQ(o.uiPrivateSeiValue, 0x01020304u);
}

// A P slice (TRAIL_R) using the SPS's single short-term set (one picture before);
// the order count LSB takes iLsbBits bits (log2_max_pic_order_cnt_lsb).
std::vector<uint8_t> MakePSlice(int iPocLsb, int iLsbBits = 8, int iOutputFlag = -1)
{
    BitWriter w;
    w.U(1, 1); // first slice segment
    w.Ue(0);   // PPS 0
    w.Ue(1);   // P
    if (iOutputFlag >= 0)
        w.U((uint32_t)iOutputFlag, 1); // pic_output_flag
    w.U((uint32_t)iPocLsb, iLsbBits);
    w.U(2, 2); // the SPS's only short-term set; no reference count override
    w.Ue(0);   // five_minus_max_num_merge_cand
    w.Se(0);
    w.Trailing();
    w.U(0xA5, 8);
    return w.Nal(HEVC_NAL_TRAIL_R);
}

// Headers of s, an IDR, then P slices with order counts 1..iCount.
std::vector<uint8_t> IdrThenPSlices(const SpsSpec &s, int iCount, int iLsbBits)
{
    std::vector<std::vector<uint8_t>> units = {Headers(s), MakeIdrSlice()};
    for (int i = 1; i <= iCount; i++)
        units.push_back(MakePSlice(i & ((1 << iLsbBits) - 1), iLsbBits));
    return Cat(units);
}

// The decoder put out exactly iCount pictures with order counts 0, 1, 2...
void ExpectPocsCountUp(const Decoder &d, int iCount)
{
    ASSERT_EQ(d.pictures.size(), (size_t)iCount);
    for (int i = 0; i < iCount; i++)
        EXPECT_EQ(d.pictures[(size_t)i].out.iPicOrderCnt, i);
}

TEST(HevcReferences, MissingReferenceIsReportedAndPictureFlagged)
{
    SpsSpec s;
    s.iNumStRps = 1;
    Decoder d(DefaultParams(64, 64));
    d.Feed(Cat({Headers(s), MakePSlice(5)}), 4096);
    EXPECT_TRUE(HasCode(d, IHW265D_ERR_SLICEHEADER));
    EXPECT_TRUE(d.HasLog("IHW265D_Decode : some of the refrence frames is not exist!\n"));
    ASSERT_EQ(d.pictures.size(), 1u);
    EXPECT_NE(d.pictures[0].out.uiErrorFlag & HEVC_PIC_ERR_MISSING_REF, 0u);
    EXPECT_NE(d.pictures[0].out.uiPicState, 0u);
}

TEST(HevcReferences, PicOutputFlagZeroIsDecodedAndReferencedButNotOutput)
{
    SpsSpec s;
    s.iNumStRps = 1;
    PpsSpec q;
    q.bOutputFlagPresent = 1;
    std::vector<std::vector<uint8_t>> units = {Headers(s, q), MakeIdrSlice(0, 0, 1)};
    for (int i = 1; i <= 4; i++)
        units.push_back(MakePSlice(i, 8, i % 2 == 0));
    Decoder d(DefaultParams(64, 64));
    d.Feed(Cat(units), 4096);
    EXPECT_FALSE(d.HasLog("some of the refrence frames is not exist"));
    ASSERT_EQ(d.pictures.size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(d.pictures[(size_t)i].out.iPicOrderCnt, 2 * i);
}

TEST(HevcReferences, PocWrapsWithTheLsbCounterEvenWhenFlushedEveryPacket)
{
    // log2_max_pic_order_cnt_lsb 4: lsb 15 -> 0 continues at 16, also for a
    // caller that flushes after each access unit (one packet per call); the
    // references stay available either way.
    SpsSpec s;
    s.iNumStRps = 1;
    s.iLog2MaxPocLsb = 4;
    for (bool bFlushEach : {false, true}) {
        SCOPED_TRACE(bFlushEach ? "flush after every packet" : "one feed");
        Decoder d(DefaultParams(64, 64));
        d.Feed(Cat({Headers(s), MakeIdrSlice()}), 4096, bFlushEach);
        for (int i = 1; i <= 20; i++)
            d.Feed(MakePSlice(i & 15, 4), 4096, bFlushEach);
        d.FlushAll();
        EXPECT_FALSE(d.HasLog("failed to allocate DPB"));
        EXPECT_FALSE(d.HasLog("some of the refrence frames is not exist"));
        ExpectPocsCountUp(d, 21);
    }
}

TEST(HevcFlush, BufferedUnitsDecodeOneOutputAtATime)
{
    // The whole stream in one call that fails early (made-up slice data),
    // then only flush calls: the buffered pictures still come out one per
    // call without ever running out of picture slots.
    SpsSpec s;
    s.iNumStRps = 1;
    std::vector<uint8_t> all = IdrThenPSlices(s, 12, 8);
    IHW265D_INIT_PARAM p = DefaultParams(64, 64);
    p.iMaxRefNum = 1;
    Decoder d(p);
    IHW265D_OUTARGS out;
    d.Call(all.data(), (uint32_t)all.size(), IH265D_DECODE_NORMAL, 0, &out);
    EXPECT_EQ(out.uiBytsConsumed, all.size());
    d.FlushAll();
    EXPECT_FALSE(d.HasLog("failed to allocate DPB"));
    ExpectPocsCountUp(d, 13);
}

TEST(HevcRandomAccess, JoiningAtACraSkipsItsRaslPictures)
{
    std::string path = X265Stream("opengop_repeat", 128, 72, 24, 8,
                                  "--preset fast --bframes 3 --b-adapt 0 --keyint 8 --min-keyint 8 --open-gop "
                                  "--no-scenecut --repeat-headers --no-info");
    if (path.empty())
        GTEST_SKIP() << "x265 not available";
    // Start at the second VPS: the stream then begins with a CRA.
    std::vector<std::vector<uint8_t>> nals = SplitNals(ReadFile(path));
    auto vps = [](const std::vector<uint8_t> &n) { return NalType(n) == HEVC_NAL_VPS; };
    auto second = std::find_if(std::find_if(nals.begin(), nals.end(), vps) + 1, nals.end(), vps);
    ASSERT_NE(second, nals.end());
    Decoder d(DefaultParams(128, 72));
    d.Feed(Cat(std::vector<std::vector<uint8_t>>(second, nals.end())), 999);
    EXPECT_TRUE(d.codes.empty()) << std::hex << (d.codes.empty() ? 0 : d.codes[0]);
    int iPics = 0, iSkipped = 0, iCra = 0;
    for (const UnitRec &u : d.units) {
        if (u.eKind != HEVC_TRACE_SLICE || !u.slice.sh.first_slice_segment_in_pic_flag)
            continue;
        iPics++;
        iCra += u.slice.sh.nal_unit_type == HEVC_NAL_CRA;
        if (u.slice.bSkipped) {
            iSkipped++;
            EXPECT_TRUE(u.slice.sh.nal_unit_type == HEVC_NAL_RASL_N || u.slice.sh.nal_unit_type == HEVC_NAL_RASL_R);
        }
    }
    EXPECT_GE(iCra, 1);
    EXPECT_GT(iSkipped, 0);
    EXPECT_EQ((int)d.pictures.size(), iPics - iSkipped);
    for (const OutPic &p : d.pictures)
        EXPECT_EQ(p.out.uiErrorFlag & HEVC_PIC_ERR_MISSING_REF, 0u);
}

TEST(HevcStreamBuffer, WholeStreamLargerThanTheBufferDecodesAsInSmallCalls)
{
    // A host that hands over everything it has left in every call (a file
    // reader) with more data than the stream buffer holds: the decoder takes
    // what fits while it decodes what it has, and the pictures, codes and
    // messages are those of 4 KB calls, in both thread types, and the
    // pictures FFmpeg's.
    const std::string path = X265Stream("bigbuf", 1280, 720, 32, 8, "--preset ultrafast --qp 1 --keyint 1 --no-info");
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available";
    const std::vector<uint8_t> data = ReadFile(path);
    ASSERT_GT(data.size(), (size_t)HEVC_SMALL_STREAM_BUF + 1000000);
    const intratest::DecodeRun small = intratest::DecodeBuffer(data, 8, IH265D_DECODE_ORDER, false, 4096, 1280, 720);
    const std::vector<std::string> oracle = intratest::FfmpegFrameMd5(path, 8);
    ASSERT_EQ(oracle.size(), 32u);
    ASSERT_EQ(small.pics.size(), 32u);
    for (size_t i = 0; i < oracle.size(); i++)
        EXPECT_EQ(small.pics[i].md5, oracle[i]) << "picture " << i;
    EXPECT_TRUE(small.codes.empty());
    for (int t = 0; t < 2; t++) {
        SCOPED_TRACE(t ? "eThreadType 1" : "eThreadType 0");
        intratest::ExpectSameRun(small, intratest::DecodeBuffer(data, 8, IH265D_DECODE_ORDER, false, data.size(), 1280, 720, t));
    }
}

} // namespace
