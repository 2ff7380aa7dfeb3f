// Pictures of several slices without wavefront rows, from tools/hevc-tilegen
// (x265 writes several slices only with wavefront rows): without tiles, and
// with one row of tiles where slices cover whole tiles or start inside one.
// Every picture equals FFmpeg's decoding; eThreadType 1 gives the same run
// as eThreadType 0, fed in 64 KB chunks (several slices per call) and in
// 997-byte pieces that split units; damaged (a slice cut short, a byte
// changed, a slice dropped, swapped or repeated), both still agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "IntraTestUtil.h"

using namespace hevctest;
using namespace intratest;

namespace {

struct SliceCase {
    const char *pszName;
    int iWidth, iHeight, iCols, iRows;
    const char *pszArgs;
};

// 1000x200 is 63x13 CTBs of 16 (cropped); three tile columns of 21 CTBs,
// 273 per tile. 1280x720 is 80x45 = 3600 CTBs.
const SliceCase kSliceCases[] = {
    // Slices of 37 CTBs start anywhere in a CTB row: 23 per picture.
    {"no_tiles_37", 1000, 200, 1, 1, "--slice-ctbs 37"},
    {"tiles_3x1_slice_per_tile", 1000, 200, 3, 1, "--slice-ctbs 273 --seed 5"},
    // Slices at 0, 100, 200, then at each tile start and every 100 CTBs;
    // every other one not deblocked across its upper and left boundary.
    {"tiles_3x1_inside", 1000, 200, 3, 1, "--slice-ctbs 100 --seed 3 --odd-slices-unfiltered"},
    // Two whole tiles (an entry point), then two slices inside the third.
    {"tiles_3x1_two_tiles_qp45", 1000, 200, 3, 1, "--slice-ctbs 600 --qp 45"},
    // 64 and 67 slices per picture: more than the pool has task records.
    {"no_tiles_64_slices", 1280, 720, 1, 1, "--slice-ctbs 57 --odd-slices-unfiltered"},
    {"tiles_4x1_67_slices", 1280, 720, 4, 1, "--slice-ctbs 57 --seed 9"},
    // Slices leaving a tile part-way (end_of_subset_one_bit and an entry
    // point at the tile end), which H.265 does not allow: FFmpeg's pictures
    // differ there, libde265 (neighbours unavailable across tiles and
    // slices, as H.265 6.4.1 says) is the oracle.
    {"tiles_3x1_across_tiles", 1000, 200, 3, 1, "--slice-ctbs 100 --slices-across-tiles"},
};

const int kSliceFrames = 8;

std::string MakeSliceStream(const SliceCase &c, int iFrames)
{
    return TilegenStream(c.pszName, c.iWidth, c.iHeight, iFrames, c.iCols, c.iRows, c.pszArgs);
}

// Indices into nals of each picture's slice units (a picture starts at
// first_slice_segment_in_pic_flag).
std::vector<std::vector<size_t>> PictureSlices(const std::vector<std::vector<uint8_t>> &nals)
{
    std::vector<std::vector<size_t>> pics;
    for (size_t i = 0; i < nals.size(); i++) {
        const std::vector<uint8_t> &n = nals[i];
        const size_t uiHead = n[2] == 1 ? 3 : 4;
        if (n.size() <= uiHead + 2 || NalType(n) >= 32)
            continue;
        if ((n[uiHead + 2] & 0x80) || pics.empty())
            pics.emplace_back();
        pics.back().push_back(i);
    }
    return pics;
}

DecodeRun Decode(const std::vector<uint8_t> &data, const SliceCase &c, size_t uiChunk, int iThreadType,
                 bool bKeepLuma = false)
{
    return DecodeBuffer(data, 8, IH265D_DISPLAY_ORDER, bKeepLuma, uiChunk, c.iWidth, c.iHeight, iThreadType);
}

// Moves the slice_segment_address of a P slice unit (first_slice_segment_in_pic_flag
// 0, slice_pic_parameter_set_id 0, so the address starts at bit 2 of the
// header) by iDelta CTBs; uiCtbs is PicSizeInCtbsY of 16x16 CTBs.
void MoveSliceStart(std::vector<uint8_t> &nal, uint32_t uiCtbs, int iDelta)
{
    int iBits = 0;
    while ((1u << iBits) < uiCtbs)
        iBits++;
    const size_t uiBit0 = ((nal[2] == 1 ? 3 : 4) + 2) * 8 + 2;
    uint32_t a = 0;
    for (int i = 0; i < iBits; i++)
        a = a << 1 | (nal[(uiBit0 + i) / 8] >> (7 - (uiBit0 + i) % 8) & 1);
    a = (uint32_t)((int)a + iDelta);
    for (int i = 0; i < iBits; i++) {
        const size_t b = uiBit0 + i;
        nal[b / 8] = (uint8_t)((nal[b / 8] & ~(0x80 >> b % 8)) | (a >> (iBits - 1 - i) & 1) << (7 - b % 8));
    }
}

class SliceStream : public ::testing::TestWithParam<SliceCase> {};

TEST_P(SliceStream, MatchesOracleInBothThreadTypes)
{
    const SliceCase &c = GetParam();
    std::string path = MakeSliceStream(c, kSliceFrames);
    if (path.empty())
        GTEST_SKIP() << "ffmpeg or hevc-tilegen not available";
    const bool bAcross = std::string(c.pszArgs).find("across") != std::string::npos;
    std::vector<std::string> oracle =
        bAcross ? Libde265FrameMd5(path, (size_t)c.iWidth * c.iHeight * 3 / 2) : FfmpegFrameMd5(path, 8);
    if (bAcross && oracle.empty())
        GTEST_SKIP() << "libde265-dec265 not available";
    std::vector<uint8_t> data = ReadFile(path);
    DecodeRun one = Decode(data, c, 1 << 16, 0);
    EXPECT_TRUE(one.codes.empty()) << std::hex << one.codes[0];
    ASSERT_EQ(oracle.size(), (size_t)kSliceFrames);
    ASSERT_EQ(one.pics.size(), oracle.size());
    for (size_t i = 0; i < oracle.size(); i++) {
        EXPECT_EQ(one.pics[i].md5, oracle[i]) << "picture " << i;
        EXPECT_EQ(one.pics[i].uiError, 0u) << "picture " << i;
    }
    {
        SCOPED_TRACE("64 KB calls");
        DecodeRun pool = Decode(data, c, 1 << 16, 1);
        ExpectSameRun(one, pool);
        // Slices the calls hand over together go one task each.
        EXPECT_GE(pool.uiSliceTasks, (unsigned)kSliceFrames);
    }
    {
        SCOPED_TRACE("997-byte calls");
        ExpectSameRun(one, Decode(data, c, 997, 1));
    }

    // Picture 4 damaged around its middle slice m.
    std::vector<std::vector<uint8_t>> nals = SplitNals(data);
    std::vector<std::vector<size_t>> pics = PictureSlices(nals);
    ASSERT_EQ(pics.size(), (size_t)kSliceFrames);
    const std::vector<size_t> &s = pics[4];
    ASSERT_GE(s.size(), 3u);
    const size_t m = s[s.size() / 2];
    enum { kCut1, kCut2, kCut3, kByte1, kByte2, kDrop, kDropFirst, kSwap, kRepeat, kEarly, kKinds };
    const char *apszKind[kKinds] = {"cut to 1/4", "cut to 2/4", "cut to 3/4", "byte at 1/3", "byte at 2/3",
                                    "middle slice dropped", "first slice dropped", "swapped with the next",
                                    "repeated", "followed by one that claims to start 3 CTBs inside it"};
    for (int k = 0; k < kKinds; k++) {
        SCOPED_TRACE(std::string("picture 4's slice ") + apszKind[k]);
        std::vector<std::vector<uint8_t>> damaged = nals;
        std::vector<uint8_t> &n = damaged[m];
        if (k <= kCut3)
            n.resize(n.size() * (size_t)(k - kCut1 + 1) / 4);
        else if (k <= kByte2)
            n[n.size() * (size_t)(k - kByte1 + 1) / 3] ^= 0x5A;
        else if (k == kDrop)
            damaged.erase(damaged.begin() + (long)m);
        else if (k == kDropFirst)
            damaged.erase(damaged.begin() + (long)s[0]);
        else if (k == kSwap)
            std::swap(damaged[m], damaged[m + 1]);
        else if (k == kRepeat)
            damaged.insert(damaged.begin() + (long)m, n);
        else
            MoveSliceStart(damaged[m + 1], (c.iWidth + 15) / 16 * ((c.iHeight + 15) / 16), -3);
        std::vector<uint8_t> bad = Cat(damaged);
        DecodeRun r = Decode(bad, c, 1 << 16, 0);
        ExpectSameRun(r, Decode(bad, c, 1 << 16, 1));
        // Slices out of order flag their picture.
        if (k == kSwap && r.pics.size() > 4) {
            EXPECT_NE(r.pics[4].uiError, 0u);
        }
        // CTBs left out are concealed and flagged; the pictures before are intact.
        if (k <= kCut3 || k == kDrop) {
            ASSERT_EQ(r.pics.size(), oracle.size());
            EXPECT_NE(r.pics[4].uiError, 0u);
            for (int i = 0; i < 4; i++)
                EXPECT_EQ(r.pics[i].md5, oracle[i]) << "picture " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tilegen, SliceStream, ::testing::ValuesIn(kSliceCases),
                         [](const ::testing::TestParamInfo<SliceCase> &i) { return std::string(i.param.pszName); });

size_t Lines(const DecodeRun &r, const std::string &text)
{
    return (size_t)std::count_if(r.errors.begin(), r.errors.end(),
                                 [&](const std::string &e) { return e.find(text) != std::string::npos; });
}

// One picture of 52x42 = 2184 slices of one CTB each. The decoder keeps
// 2176 units per picture: the last 8 slices fail in both thread types
// (0xFFFFFFFF, "The NAL Num is ..."). The worker pool takes at most 2175
// slices of a picture: with eThreadType 1 the slice of index 2175 is
// refused as well, with its stage line and the slice header's code.
TEST(SliceLimit, MoreSlicesThanAPictureHolds)
{
    const SliceCase c = {"slices_2184", 832, 672, 1, 1, "--slice-ctbs 1"};
    std::string path = MakeSliceStream(c, 1);
    if (path.empty())
        GTEST_SKIP() << "ffmpeg or hevc-tilegen not available";
    std::vector<uint8_t> data = ReadFile(path);
    ASSERT_EQ(SplitNals(data).size(), 3u + 2184u);
    // FFmpeg's luma down to row 648: the CTB rows above the refused slices
    // and the lines their deblocking may change.
    const size_t uiRows = 648 * 832;
    std::string raw = TempDir() + "/slices_2184.yuv" + std::to_string(getpid());
    ASSERT_EQ(0, hevctest::Run("ffmpeg -loglevel error -y -threads 1 -i " + path + " -f rawvideo -pix_fmt yuv420p " + raw));
    std::vector<uint8_t> ff = ReadFile(raw);
    unlink(raw.c_str());
    ASSERT_GE(ff.size(), uiRows);
    const std::string kNalNum = "IHW265D_Decode : The NAL Num is 2176,should be less than MAX_SLICE_NUM-1 !";
    const std::string kStage = "ThreadDecodeSliceSegmentData check  err, ret = 0x";
    for (int t = 0; t < 2; t++) {
        SCOPED_TRACE("eThreadType " + std::to_string(t));
        DecodeRun r = Decode(data, c, 1 << 20, t, true);
        ASSERT_EQ(r.pics.size(), 1u);
        EXPECT_NE(r.pics[0].uiError, 0u);
        ASSERT_GE(r.pics[0].luma.size(), uiRows);
        EXPECT_TRUE(std::equal(ff.begin(), ff.begin() + (long)uiRows, r.pics[0].luma.begin()));
        EXPECT_EQ(Lines(r, kNalNum), 8u);
        EXPECT_EQ(std::count(r.codes.begin(), r.codes.end(), 0xFFFFFFFFu), 8);
        EXPECT_EQ(Lines(r, kStage), t ? 1u : 0u);
        EXPECT_EQ(std::count(r.codes.begin(), r.codes.end(), IHW265D_ERR_SLICEHEADER), t);
        EXPECT_EQ(r.codes.size(), t ? 9u : 8u);
    }
}

} // namespace
