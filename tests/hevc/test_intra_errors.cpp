// Damaged slice data: the slice returns its code with a message, the rest of
// the picture is concealed mid-grey, the picture is still output with its
// error indicator set, and the following picture decodes exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "IntraTestUtil.h"
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_threads.h"

using namespace hevctest;
using namespace intratest;

namespace {

// Slice NAL units of the stream (SplitNals keeps each unit's start code).
std::vector<size_t> SliceIndexes(const std::vector<std::vector<uint8_t>> &nals)
{
    std::vector<size_t> out;
    for (size_t i = 0; i < nals.size(); i++)
        if (NalType(nals[i]) <= 9 || (NalType(nals[i]) >= 16 && NalType(nals[i]) <= 21))
            out.push_back(i);
    return out;
}

// Rows of the luma plane that are entirely mid-grey.
int GreyRows(const Pic &p)
{
    int n = 0;
    for (uint32_t y = 0; y < p.h; y++)
        n += std::all_of(p.luma.begin() + y * p.w, p.luma.begin() + (y + 1) * p.w, [](uint8_t v) { return v == 128; });
    return n;
}

class IntraErrors : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_path = X265Stream("intra_noinfo_err", 352, 288, 3, 8, "-I 1 --keyint 1 --no-info --ctu 32");
        if (m_path.empty())
            GTEST_SKIP() << "x265 or ffmpeg not available";
        m_data = ReadFile(m_path);
        m_clean = DecodeBuffer(m_data, 8, IH265D_DISPLAY_ORDER, true);
        ASSERT_EQ(m_clean.pics.size(), 3u);
        ASSERT_TRUE(m_clean.codes.empty());
    }
    std::string m_path;
    std::vector<uint8_t> m_data;
    DecodeRun m_clean;
};

TEST_F(IntraErrors, TruncatedSliceIsConcealedAndTheNextPictureDecodes)
{
    auto nals = SplitNals(m_data);
    std::vector<size_t> slices = SliceIndexes(nals);
    ASSERT_EQ(slices.size(), 3u);
    std::vector<uint8_t> &s = nals[slices[1]];
    s.resize(s.size() / 3);
    DecodeRun r = DecodeBuffer(hevctest::Cat(nals), 8, IH265D_DISPLAY_ORDER, true);
    // On the worker pool the rows past the cut fail at once, while the rows
    // above them still decode: the same result, plus one stage line.
    EXPECT_EQ(1, ExpectSameRun(r, DecodeBuffer(hevctest::Cat(nals), 8, IH265D_DISPLAY_ORDER, true, 1 << 20, 1920,
                                                1088, 1)));

    ASSERT_EQ(r.pics.size(), 3u);
    ASSERT_FALSE(r.codes.empty());
    EXPECT_EQ(r.codes[0], IHW265D_ERR_NAL);
    EXPECT_TRUE(std::any_of(r.errors.begin(), r.errors.end(), [](const std::string &s) {
        return s.rfind("IHW265D_Decode : the Curcent iCtbAddrTs is ", 0) == 0;
    }));
    EXPECT_EQ(r.pics[0].md5, m_clean.pics[0].md5);
    EXPECT_EQ(r.pics[0].uiError, 0u);
    EXPECT_NE(r.pics[1].uiError, 0u);
    EXPECT_NE(r.pics[1].md5, m_clean.pics[1].md5);
    // Roughly the lower two thirds never decoded: mid-grey.
    EXPECT_GT(GreyRows(r.pics[1]), 288 / 3);
    EXPECT_EQ(GreyRows(r.pics[0]), 0);
    EXPECT_EQ(r.pics[2].md5, m_clean.pics[2].md5);
    EXPECT_EQ(r.pics[2].uiError, 0u);
}

TEST_F(IntraErrors, CorruptSliceBytesNeverHarmTheOtherPictures)
{
    auto clean = SplitNals(m_data);
    std::vector<size_t> slices = SliceIndexes(clean);
    ASSERT_EQ(slices.size(), 3u);
    std::mt19937 rng(1234);
    int iFlagged = 0, iStageLines = 0;
    for (int iTrial = 0; iTrial < 40; iTrial++) {
        auto nals = clean;
        std::vector<uint8_t> &s = nals[slices[1]];
        // Keep the start code and the slice header; damage the data.
        std::uniform_int_distribution<size_t> pos(16, s.size() - 1);
        int iHits = 1 + iTrial % 8;
        for (int k = 0; k < iHits; k++)
            s[pos(rng)] ^= (uint8_t)(1 + rng() % 255);
        DecodeRun r = DecodeBuffer(hevctest::Cat(nals), 8, IH265D_DISPLAY_ORDER, false, 777);
        SCOPED_TRACE("trial " + std::to_string(iTrial));
        // Wavefront rows on the worker pool: the same damage, the same result,
        // plus the failing stage's line.
        iStageLines +=
            ExpectSameRun(r, DecodeBuffer(hevctest::Cat(nals), 8, IH265D_DISPLAY_ORDER, false, 777, 1920, 1088, 1));
        ASSERT_EQ(r.pics.size(), 3u);
        EXPECT_EQ(r.pics[0].md5, m_clean.pics[0].md5);
        EXPECT_EQ(r.pics[2].md5, m_clean.pics[2].md5);
        EXPECT_EQ(r.pics[2].uiError, 0u);
        for (unsigned c : r.codes)
            EXPECT_TRUE(c == IHW265D_ERR_NAL || c == IHW265D_ERR_SLICEHEADER) << std::hex << c;
        // A code always comes with a flagged picture.
        if (!r.codes.empty()) {
            EXPECT_NE(r.pics[1].uiError, 0u);
        }
        iFlagged += r.pics[1].uiError != 0;
    }
    // Most damage is detected (the rest decodes to wrong but legal samples).
    EXPECT_GT(iFlagged, 20);
    EXPECT_GT(iStageLines, 10) << "\"ProcessLcusInThreads check  err, ret = 0x...\" for failing rows";
}

// Without wavefront rows the worker pool reconstructs behind the parsing
// thread: damaged P pictures (cut short, bytes flipped) come out exactly as
// single-threaded decoding gives them, with no stage line.
TEST(SplitErrors, DamagedPicturesMatchSingleThreaded)
{
    std::string path = X265Stream("inter_err_nowpp", 352, 288, 6, 8,
                                  "--preset ultrafast --no-wpp --bframes 0 --keyint 3 --no-info --ctu 32");
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available";
    const auto clean = SplitNals(ReadFile(path));
    std::vector<size_t> slices = SliceIndexes(clean);
    ASSERT_EQ(slices.size(), 6u);
    {
        // Every picture goes through the reconstruction task, also with a
        // command ring so small that the parser keeps waiting for room and
        // commands wrap around its end all the time. Pictures 0 to 4 end
        // with the next picture's slice, so with two cores the task finishes
        // each of them while the next one is parsed; the last ends at the
        // stream's end.
        IHW265D_INIT_PARAM p = hevctest::DefaultParams(352, 288);
        p.eThreadType = 1;
        hevctest::Decoder d(p, false);
        ASSERT_NE(d.Handle(), nullptr);
        d.Handle()->pstReconTask->uiSize = 8192;
        std::vector<std::string> md5;
        d.onPicture = [&](const IHW265D_OUTARGS &o) { md5.push_back(DigestPicture(o, false).md5); };
        d.Feed(ReadFile(path), 1000);
        EXPECT_EQ(d.Handle()->pstReconTask->uiPictures, 6u);
        EXPECT_EQ(d.Handle()->pstReconTask->uiPicsDeferred, d.Handle()->pstThreads->iCpus > 1 ? 5u : 0u);
        DecodeRun ref = DecodeBuffer(ReadFile(path), 8, IH265D_DISPLAY_ORDER, false, 1000);
        ASSERT_EQ(md5.size(), ref.pics.size());
        for (size_t i = 0; i < md5.size(); i++)
            EXPECT_EQ(md5[i], ref.pics[i].md5) << "picture " << i;
    }
    // A handle deleted (or flushed) while the task may still be ending a
    // picture, at every unit boundary: no hang, and what came out matches.
    for (size_t uiCut = 1; uiCut < clean.size(); uiCut++) {
        SCOPED_TRACE("cut after unit " + std::to_string(uiCut));
        std::vector<std::vector<uint8_t>> head(clean.begin(), clean.begin() + (long)uiCut);
        const DecodeRun ref = DecodeBuffer(hevctest::Cat(head), 8, IH265D_DISPLAY_ORDER, false, 1000);
        for (int bFlush = 0; bFlush < 2; bFlush++) {
            IHW265D_INIT_PARAM p = hevctest::DefaultParams(352, 288);
            p.eThreadType = 1;
            hevctest::Decoder d(p, false);
            ASSERT_NE(d.Handle(), nullptr);
            std::vector<std::string> md5;
            d.onPicture = [&](const IHW265D_OUTARGS &o) { md5.push_back(DigestPicture(o, false).md5); };
            d.Feed(hevctest::Cat(head), 1000, bFlush != 0);
            EXPECT_EQ(d.Delete(), 0u);
            ASSERT_LE(md5.size(), ref.pics.size());
            if (bFlush) {
                EXPECT_EQ(md5.size(), ref.pics.size());
            }
            for (size_t i = 0; i < md5.size(); i++)
                EXPECT_EQ(md5[i], ref.pics[i].md5) << "picture " << i;
        }
    }
    std::mt19937 rng(99);
    int iFlagged = 0;
    for (int iTrial = 0; iTrial < 24; iTrial++) {
        SCOPED_TRACE("trial " + std::to_string(iTrial));
        auto nals = clean;
        std::vector<uint8_t> &s = nals[slices[1 + iTrial % 5]];
        if (iTrial < 5)
            s.resize(16 + (s.size() - 16) * (iTrial + 1) / 7);
        for (int k = iTrial < 5 ? 0 : 1 + iTrial % 4; k > 0; k--)
            s[16 + rng() % (s.size() - 16)] ^= (uint8_t)(1 + rng() % 255);
        DecodeRun r = DecodeBuffer(hevctest::Cat(nals), 8, IH265D_DISPLAY_ORDER, false, 1000);
        EXPECT_EQ(0, ExpectSameRun(r, DecodeBuffer(hevctest::Cat(nals), 8, IH265D_DISPLAY_ORDER, false, 1000, 352,
                                                   288, 1)));
        iFlagged += std::any_of(r.pics.begin(), r.pics.end(), [](const Pic &p) { return p.uiError != 0; });
    }
    EXPECT_GT(iFlagged, 12);
}

TEST_F(IntraErrors, MissingSliceLeavesItsAreaGreyAndFlagged)
{
    std::string path = X265Stream("intra_noinfo_err_slices", 352, 288, 2, 8,
                                  "-I 1 --keyint 1 --no-info --ctu 32 --slices 3 --no-deblock --no-sao");
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> data = ReadFile(path);
    DecodeRun clean = DecodeBuffer(data, 8, IH265D_DISPLAY_ORDER, true);
    auto nals = SplitNals(data);
    std::vector<size_t> slices = SliceIndexes(nals);
    ASSERT_EQ(slices.size(), 6u);
    nals.erase(nals.begin() + (long)slices[1]); // second slice of the first picture
    DecodeRun r = DecodeBuffer(hevctest::Cat(nals), 8, IH265D_DISPLAY_ORDER, true);
    ASSERT_EQ(r.pics.size(), 2u);
    EXPECT_NE(r.pics[0].uiError & HEVC_PIC_ERR_SLICE, 0u);
    EXPECT_GE(GreyRows(r.pics[0]), 32);
    // Rows of the first slice are exact (no in-loop filter in this stream).
    EXPECT_TRUE(std::equal(r.pics[0].luma.begin(), r.pics[0].luma.begin() + 32 * 352, clean.pics[0].luma.begin()));
    EXPECT_EQ(r.pics[1].md5, clean.pics[1].md5);
}

} // namespace
