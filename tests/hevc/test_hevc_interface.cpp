// The decoder interface: creation checks and their order, argument checks,
// allocation failures, buffering across calls and deletion.
#include <gtest/gtest.h>

#include <cstring>

#include "HevcCompare.h"

using namespace hevctest;

namespace {

struct CreateCase {
    const char *pszName;
    void (*pfnEdit)(IHW265D_INIT_PARAM *);
    unsigned int uiCode;
    const char *pszMessage; // null: nothing logged
};

const CreateCase kCreateCases[] = {
    {"width7", [](IHW265D_INIT_PARAM *p) { p->iMaxWidth = 7; }, IHW265D_ERR_WIDTH,
     "IHW265D_Create : pstInitParam->iMaxWidth should be in the range of 8 ~ 16384 !\n"},
    {"width16385", [](IHW265D_INIT_PARAM *p) { p->iMaxWidth = 16385; }, IHW265D_ERR_WIDTH,
     "IHW265D_Create : pstInitParam->iMaxWidth should be in the range of 8 ~ 16384 !\n"},
    {"widthNegative", [](IHW265D_INIT_PARAM *p) { p->iMaxWidth = -1920; }, IHW265D_ERR_WIDTH, nullptr},
    {"height", [](IHW265D_INIT_PARAM *p) { p->iMaxHeight = 16385; }, IHW265D_ERR_HEIGHT,
     "IHW265D_Create : pstInitParam->iMaxHeight should be in the range of 8 ~ 16384 !\n"},
    {"refs", [](IHW265D_INIT_PARAM *p) { p->iMaxRefNum = 16; }, IHW265D_ERR_REFNUM,
     "IHW265D_Create : pstInitParam->iMaxRefNum should be in the range of 0 ~ 15 !\n"},
    {"refsNegative", [](IHW265D_INIT_PARAM *p) { p->iMaxRefNum = -1; }, IHW265D_ERR_REFNUM, nullptr},
    {"vps", [](IHW265D_INIT_PARAM *p) { p->iMaxVPSNum = 0; }, IHW265D_ERR_VPSNUM,
     "IHW265D_Create : pstInitParam->iMaxVPSNum should be in the range of 1 ~ 16 !\n"},
    {"sps", [](IHW265D_INIT_PARAM *p) { p->iMaxSPSNum = 17; }, IHW265D_ERR_SPSNUM,
     "IHW265D_Create : pstInitParam->iMaxSPSNum should be in the range of 1 ~ 16 !\n"},
    {"pps", [](IHW265D_INIT_PARAM *p) { p->iMaxPPSNum = 65; }, IHW265D_ERR_PPSNUM,
     "IHW265D_Create : pstInitParam->iMaxPPSNum should be in the range of 1 ~ 64 !\n"},
    {"bitDepth12", [](IHW265D_INIT_PARAM *p) { p->iBitDepth = 12; }, IHW265D_ERR_REFNUM,
     "IHW265D_Create : pstInitParam->iBitDepth should be 8 or 10 !\n"},
    {"threads", [](IHW265D_INIT_PARAM *p) { p->eThreadType = 2; }, IHW265D_ERR_THREADTYPE,
     "IHW265D_Create : pstInitParam->eThreadType should be 0 or 1 !\n"},
    {"outputLayer2", [](IHW265D_INIT_PARAM *p) { p->uiOutputLayer = 2; p->uiMvcEnable = 1; }, IHW265D_ERR_NULL,
     "IHW265D_Create : pstInitParam->uiOutputLayer should be range [0, 1] !\n"},
    {"outputLayerNoMvc", [](IHW265D_INIT_PARAM *p) { p->uiOutputLayer = 1; }, IHW265D_ERR_NULL,
     "IHW265D_Create : uiMvcEnable is disable, uiOutputLayer should be 0 !\n"},
    {"noMalloc", [](IHW265D_INIT_PARAM *p) { p->MallocFxn = nullptr; }, IHW265D_ERR_MALLOCFXN,
     "IHW265D_Create : pstInitParam->MallocFxn is NULL !\n"},
    {"noFree", [](IHW265D_INIT_PARAM *p) { p->FreeFxn = nullptr; }, IHW265D_ERR_FREEFXN,
     "IHW265D_Create : pstInitParam->FreeFxn is NULL !\n"},
    // Order: the callbacks are checked before any range.
    {"mallocBeforeRanges", [](IHW265D_INIT_PARAM *p) { p->MallocFxn = nullptr; p->iMaxWidth = 1; },
     IHW265D_ERR_MALLOCFXN, "IHW265D_Create : pstInitParam->MallocFxn is NULL !\n"},
    {"widthBeforeRefs", [](IHW265D_INIT_PARAM *p) { p->iMaxWidth = 1; p->iMaxRefNum = 99; }, IHW265D_ERR_WIDTH,
     nullptr},
    // Accepted with a warning; display order is used.
    {"outputOrderInvalid", [](IHW265D_INIT_PARAM *p) { p->eOutputOrder = 5; }, 0,
     "IHW265D_Create : pstInitParam->eOutputOrder is invalid, default to be IH265D_DISPLAY_ORDER!\n"},
    // The limits themselves are accepted.
    {"smallest", [](IHW265D_INIT_PARAM *p) { p->iMaxWidth = p->iMaxHeight = 8; p->iMaxRefNum = 0; p->iBitDepth = 8; },
     0, nullptr},
    {"widest", [](IHW265D_INIT_PARAM *p) { p->iMaxWidth = 16384; p->iMaxHeight = 8; p->iMaxRefNum = 0; }, 0, nullptr},
};

class CreateChecks : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateChecks, CodeMessageAndHandle)
{
    const CreateCase &c = GetParam();
    IHW265D_INIT_PARAM p = DefaultParams(64, 64);
    c.pfnEdit(&p);
    Decoder d(p);
    EXPECT_EQ(d.CreateResult(), c.uiCode) << std::hex << d.CreateResult();
    EXPECT_EQ(d.Handle() != nullptr, c.uiCode == 0);
    if (c.pszMessage) {
        ASSERT_EQ(d.logs.size(), 1u);
        EXPECT_EQ(d.logs[0].text, c.pszMessage);
        EXPECT_EQ(d.logs[0].iLevel, c.uiCode ? IHW265D_LOG_ERROR : IHW265D_LOG_WARNING);
    }
    EXPECT_EQ(d.alloc.llLive == 0, c.uiCode != 0) << "a failed creation gives every block back";
}

INSTANTIATE_TEST_SUITE_P(All, CreateChecks, ::testing::ValuesIn(kCreateCases),
                         [](const ::testing::TestParamInfo<CreateCase> &i) { return std::string(i.param.pszName); });

TEST(HevcMemory, EveryAllocationFailureIsCleanedUp)
{
    for (int iThreads : {0, 1}) {
        IHW265D_INIT_PARAM p = DefaultParams(128, 128);
        p.eThreadType = iThreads;
        Decoder first(p, false);
        ASSERT_EQ(first.CreateResult(), 0u);
        int64_t llTotal = first.alloc.llCalls;
        EXPECT_EQ(first.Delete(), 0u);
        EXPECT_EQ(first.alloc.llLive, 0) << "every block comes back";
        for (int64_t n = 0; n < llTotal; n++) {
            Decoder d(p, false, n);
            // The worker pool's record and its slice jobs are the last blocks a
            // threaded creation takes.
            bool bPool = iThreads && n >= llTotal - 2;
            EXPECT_EQ(d.CreateResult(), bPool ? IHW265D_ERR_THREAD : IHW265D_ERR_MALLOC) << n;
            if (bPool) {
                EXPECT_TRUE(d.HasLog("init memory buffer err, ret = 0xe0404008"));
            }
            EXPECT_EQ(d.Handle(), nullptr);
            EXPECT_EQ(d.alloc.llLive, 0) << "allocation " << n;
        }
    }
}

TEST(HevcDecodeCall, ArgumentChecks)
{
    IHW265D_INIT_PARAM p = DefaultParams(64, 64);
    IH265DEC_HANDLE h = reinterpret_cast<IH265DEC_HANDLE>(0x1);
    EXPECT_EQ(IHW265D_Create(nullptr, &p), IHW265D_ERR_NULL);
    EXPECT_EQ(IHW265D_Create(&h, nullptr), IHW265D_ERR_NULL);
    p.LogFxn = nullptr;
    EXPECT_EQ(IHW265D_Create(&h, &p), IHW265D_ERR_LOGFXN);
    EXPECT_EQ(h, nullptr);
    Decoder d(DefaultParams(64, 64));
    ASSERT_EQ(d.CreateResult(), 0u);
    IHW265D_INARGS in;
    IHW265D_OUTARGS out;
    uint8_t b = 0;
    memset(&in, 0, sizeof(in));
    in.pStream = &b;
    EXPECT_EQ(IHW265D_DecodeFrame(nullptr, &in, &out), IHW265D_ERR_NULL);
    EXPECT_EQ(IHW265D_DecodeFrame(d.Handle(), nullptr, &out), IHW265D_ERR_NULL);
    EXPECT_TRUE(d.HasLog("IHW265D_Decode : pstInArgs is NULL !\n"));
    EXPECT_EQ(IHW265D_DecodeFrame(d.Handle(), &in, nullptr), IHW265D_ERR_NULL);
    EXPECT_TRUE(d.HasLog("IHW265D_Decode : pstOutArgs is NULL !\n"));
    in.eDecodeMode = 2;
    EXPECT_EQ(IHW265D_DecodeFrame(d.Handle(), &in, &out), IHW265D_ERR_NULL);
    EXPECT_TRUE(d.HasLog("IHW265D_Decode : DecodeMode input is error !\n"));
    // A null stream fails even when flushing.
    in.pStream = nullptr;
    in.eDecodeMode = IH265D_DECODE_END;
    EXPECT_EQ(IHW265D_DecodeFrame(d.Handle(), &in, &out), IHW265D_ERR_NULL);
    EXPECT_TRUE(d.HasLog("IHW265D_Decode : pstInArgs->pStream is NULL !\n"));
    // A handle whose validity word is wrong.
    uint32_t uiSaved = d.Handle()->uiValid;
    d.Handle()->uiValid = 0x12345678;
    in.pStream = &b;
    EXPECT_EQ(IHW265D_DecodeFrame(d.Handle(), &in, &out), IHW265D_ERR_HANDLE);
    EXPECT_EQ(IHW265D_Delete(d.Handle()), IHW265D_ERR_HANDLE);
    d.Handle()->uiValid = uiSaved;
    EXPECT_EQ(IHW265D_Delete(nullptr), IHW265D_ERR_NULL);
    EXPECT_EQ(IHW265D_GetVersion(nullptr), IHW265D_ERR_NULL);
    // Flushing a decoder that holds nothing reports no picture.
    in.eDecodeMode = IH265D_DECODE_END;
    EXPECT_EQ(IHW265D_DecodeFrame(d.Handle(), &in, &out), 0u);
    EXPECT_EQ(out.eDecodeStatus, (unsigned)IH265D_NO_PICTURE);
}

TEST(HevcBuffering, ByteByByteFeedingParsesTheSame)
{
    std::vector<uint8_t> all = Cat({MakeVps(), MakeSps(SpsSpec()), MakePps(PpsSpec()), MakeIdrSlice(0, 3),
                                       MakeIdrSlice(0, -2), MakeIdrSlice(0, 1)});
    Decoder whole(DefaultParams(64, 64)), bytes(DefaultParams(64, 64));
    whole.Feed(all, all.size());
    bytes.Feed(all, 1);
    ASSERT_EQ(whole.units.size(), bytes.units.size());
    for (size_t i = 0; i < whole.units.size(); i++)
        EXPECT_EQ(NamedValues(whole.units[i]), NamedValues(bytes.units[i])) << "unit " << i;
    EXPECT_EQ(whole.pictures.size(), 3u);
    EXPECT_EQ(bytes.pictures.size(), 3u);
}

TEST(HevcBuffering, GarbageWithoutStartCodeIsDroppedButSplitStartCodeFound)
{
    Decoder d(DefaultParams(64, 64));
    std::vector<uint8_t> junk(5000, 0x47);
    junk.resize(5002, 0); // the start code of the VPS begins here ...
    std::vector<uint8_t> vps = MakeVps();
    IHW265D_OUTARGS out;
    EXPECT_EQ(d.Call(junk.data(), (uint32_t)junk.size(), 0, 0, &out), IHW265D_NEED_MORE_BITS);
    EXPECT_LE(d.Handle()->uiFill, 3u);
    // ... and continues in the next call (vps starts 00 00 00 01: skip two zeros).
    std::vector<uint8_t> rest = Cat({std::vector<uint8_t>(vps.begin() + 2, vps.end()), MakeSps(SpsSpec())});
    EXPECT_EQ(d.Call(rest.data(), (uint32_t)rest.size(), 0, 1, &out), IHW265D_NEED_MORE_BITS);
    ASSERT_GE(d.units.size(), 1u);
    EXPECT_EQ(d.units[0].eKind, HEVC_TRACE_VPS);
}

TEST(HevcBuffering, OversizedUnitDoesNotWedgeTheBuffer)
{
    // A unit larger than the stream buffer: the decoder keeps going and the
    // units after it still decode.
    Decoder d(DefaultParams(64, 64));
    std::vector<uint8_t> big = {0, 0, 1, 0x4e, 0x01}; // prefix SEI header
    big.resize(d.Handle()->uiStreamCap + 1000, 0x11);
    std::vector<uint8_t> all = Cat({big, MakeVps(), MakeSps(SpsSpec()), MakePps(PpsSpec()), MakeIdrSlice()});
    d.Feed(all, 1 << 20);
    EXPECT_EQ(d.pictures.size(), 1u);
}

} // namespace
