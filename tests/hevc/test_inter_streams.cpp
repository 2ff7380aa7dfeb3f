// P and B pictures decoded bit-exactly: x265 streams made at test time, one
// per inter coding-tool class, compared frame by frame with FFmpeg's
// framemd5. Where FFmpeg deviates (its chroma deblocking at some CTB 16
// corners) the stream's own MD5 picture hashes decide, as checked by
// hevc-decode --verify.
#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

#include "IntraTestUtil.h"

using namespace hevctest;
using namespace intratest;

namespace {

struct InterCase {
    const char *pszName;
    int iWidth, iHeight, iDepth, iMaxRefNum;
    const char *pszFilter; // ffmpeg filter on the source ("" for none)
    const char *pszArgs;
    int iThreadedPasses = 0; // multi-threaded decodings (0: one), for races that show now and then
};

const InterCase kCases[] = {
    // The library's own creation (iMaxRefNum 1) with x265's one-reference
    // low-delay P, whose reference set keeps a second picture.
    {"lowdelay_p_ref1", 352, 288, 8, 1, "", "--preset ultrafast --bframes 0 --ref 1 --keyint 10"},
    {"lowdelay_p_ref4_no_tmvp", 352, 288, 8, 4, "", "--preset medium --bframes 0 --ref 4 --no-temporal-mvp"},
    {"ra_b_pyramid", 352, 288, 8, 15, "", "--preset medium --bframes 4 --b-pyramid --ref 3"},
    {"open_gop_cra", 352, 288, 8, 15, "", "--preset fast --bframes 3 --keyint 8 --open-gop --no-scenecut"},
    {"amp_rect_merge5", 352, 288, 8, 15, "", "--preset slow --rect --amp --max-merge 5 --bframes 2"},
    {"ctu16_mincu8_sao", 352, 288, 8, 15, "", "--preset medium --sao --ctu 16 --min-cu-size 8 --bframes 2"},
    {"ctu64_deep_inter_tu", 352, 288, 8, 15, "", "--ctu 64 --tu-inter-depth 3 --limit-tu 0 --bframes 3"},
    {"no_wpp", 352, 288, 8, 15, "", "--no-wpp --bframes 2"},
    {"slices3", 352, 288, 8, 15, "", "--slices 3 --bframes 2"},
    // 18 CTB rows in 4 slices with SAO: the last slice's rows are filtered
    // after the slice tasks, their deblocking and SAO shared by two threads.
    {"slices4_ctu16_sao", 352, 288, 8, 15, "", "--preset medium --sao --ctu 16 --slices 4 --bframes 2"},
    // Four wavefront CTB rows scrolling by 29 lines a picture: the first rows
    // predict from the last rows of the picture before while a worker may
    // still filter them.
    {"wpp_ctu16_scroll", 128, 64, 8, 15, "scroll=vertical=0.45", "--preset fast --ctu 16 --bframes 0 --merange 64", 8},
    {"weighted_fade", 352, 288, 8, 15, "fade=out:4:14", "--preset medium --weightp --weightb --bframes 3"},
    {"lossless", 352, 288, 8, 15, "", "--lossless --bframes 2"},
    {"tskip_signhide_scaling", 352, 288, 8, 15, "", "--tskip --signhide --scaling-list default --bframes 2"},
    {"constrained_intra_aq", 352, 288, 8, 15, "", "--constrained-intra --aq-mode 2 --qg-size 16 --bframes 2"},
    {"odd_size_346x282", 346, 282, 8, 15, "", "--bframes 3 --ref 2"},
    {"main10_ra", 352, 288, 10, 15, "", "--preset medium --bframes 3 --ref 3"},
    {"main10_weighted_ctu16", 346, 282, 10, 15, "fade=in:0:12", "--preset fast --weightp --ctu 16 --bframes 0"},
    {"main10_amp_slices", 352, 288, 10, 15, "", "--preset slow --rect --amp --ctu 64 --slices 2 --bframes 2"},
};

const int kFrames = 20;

// testsrc2 through an optional filter (fades for weighted prediction), then
// x265; cached in the test directory under the case name.
std::string EncodeCase(const InterCase &c)
{
    if (!*c.pszFilter)
        return X265Stream(std::string("inter_") + c.pszName, c.iWidth, c.iHeight, kFrames, c.iDepth,
                          std::string("--no-info --hash 1 ") + c.pszArgs);
    if (!HaveTool("x265") || !HaveTool("ffmpeg"))
        return "";
    std::string out = TempDir() + "/inter_" + c.pszName + ".hevc";
    struct stat st;
    if (stat(out.c_str(), &st) == 0)
        return out;
    std::string tmp = out + ".tmp" + std::to_string(getpid());
    std::string cmd = "ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc2=size=" + std::to_string(c.iWidth) +
                      "x" + std::to_string(c.iHeight) + ":rate=25 -vf " + c.pszFilter + " -frames:v " +
                      std::to_string(kFrames) + " -pix_fmt " + (c.iDepth > 8 ? "yuv420p10le -strict -1" : "yuv420p") +
                      " -f yuv4mpegpipe - | x265 --input - --y4m --log-level error " +
                      (c.iDepth > 8 ? "--output-depth 10 --profile main10 " : "") + "--no-info --hash 1 " +
                      c.pszArgs + " -o " + tmp;
    if (Run(cmd) != 0)
        return "";
    rename(tmp.c_str(), out.c_str());
    return out;
}

// A cut or altered stream in the test directory, for FFmpeg to decode.
std::string WriteTemp(const std::string &name, const std::vector<uint8_t> &data)
{
    std::string file = TempDir() + "/" + name;
    FILE *f = fopen(file.c_str(), "wb");
    bool bOk = f && fwrite(data.data(), 1, data.size(), f) == data.size();
    return f && fclose(f) == 0 && bOk ? file : "";
}

class InterStream : public ::testing::TestWithParam<InterCase> {};

TEST_P(InterStream, MatchesReferenceFrameByFrame)
{
    const InterCase &c = GetParam();
    std::string path = EncodeCase(c);
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available";
    std::vector<uint8_t> data = ReadFile(path);
    std::vector<std::string> ff = FfmpegFrameMd5(path, c.iDepth);
    ASSERT_EQ(ff.size(), (size_t)kFrames);
    int iHash = -2; // the stream's own hashes, looked up once when needed
    for (int iPass = 0; iPass <= std::max(c.iThreadedPasses, 1); iPass++) {
        const int iThreads = iPass > 0;
        SCOPED_TRACE(iThreads ? "multi-threaded creation, pass " + std::to_string(iPass) : "single-threaded");
        IHW265D_INIT_PARAM p = DefaultParams(c.iWidth, c.iHeight);
        p.iMaxRefNum = c.iMaxRefNum;
        p.iBitDepth = 10;
        p.eThreadType = iThreads;
        Decoder d(p, false);
        ASSERT_EQ(d.CreateResult(), 0u);
        std::vector<Pic> pics;
        d.onPicture = [&](const IHW265D_OUTARGS &o) { pics.push_back(DigestPicture(o, false)); };
        const int64_t llCreated = d.alloc.llCalls;
        d.Feed(data, 1 << 16);
        EXPECT_TRUE(d.codes.empty()) << std::hex << (d.codes.empty() ? 0 : d.codes[0]);
        EXPECT_EQ(d.alloc.llCalls, llCreated) << "nothing is allocated after creation";
        ASSERT_EQ(pics.size(), ff.size());
        for (size_t i = 0; i < ff.size(); i++) {
            EXPECT_EQ(pics[i].uiError, 0u) << "picture " << i;
            if (pics[i].md5 == ff[i])
                continue;
            if (iHash == -2)
                iHash = VerifiedByPictureHash(path, kFrames);
            ASSERT_GE(iHash, 0) << "picture " << i << " differs from FFmpeg and hevc-decode is not built";
            EXPECT_EQ(iHash, 1) << "picture " << i << " differs from FFmpeg and from the stream's hash";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(X265Inter, InterStream, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<InterCase> &i) { return std::string(i.param.pszName); });

// Joining an open-GOP stream at a CRA picture, or its second CRA picture
// turned into a BLA picture: the RASL pictures reference pictures before it
// and are neither decoded nor output; the pictures its reference set names
// are generated (H.265 8.3.3); the rest equals FFmpeg's decoding of the same
// stream.
TEST(InterRandomAccess, StartAtCraDropsItsRaslPictures)
{
    const InterCase &c = kCases[3];
    ASSERT_EQ(std::string(c.pszName), "open_gop_cra");
    std::string path = EncodeCase(c);
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available";
    std::vector<std::vector<uint8_t>> nals = SplitNals(ReadFile(path));
    auto type = [](const std::vector<uint8_t> &n) {
        size_t k = n.size() > 3 && n[2] == 1 ? 3 : 4;
        return n.size() > k ? (n[k] >> 1) & 63 : -1;
    };
    ASSERT_GT(nals.size(), 3u);
    ASSERT_EQ(type(nals[1]), HEVC_NAL_SPS);
    std::vector<size_t> cras;
    for (size_t i = 3; i < nals.size(); i++)
        if (type(nals[i]) == HEVC_NAL_CRA)
            cras.push_back(i);
    ASSERT_GE(cras.size(), 2u);
    for (bool bBla : {false, true}) {
        SCOPED_TRACE(bBla ? "second CRA made a BLA" : "joined at the first CRA");
        std::vector<std::vector<uint8_t>> cut(nals.begin(), nals.begin() + 3); // VPS, SPS, PPS
        cut.insert(cut.end(), nals.begin() + (long)(bBla ? 3 : cras[0]), nals.end());
        if (bBla) {
            std::vector<uint8_t> &n = cut[cras[1]];
            n[n[2] == 1 ? 3 : 4] = (uint8_t)(HEVC_NAL_BLA_W_LP << 1);
        }
        int iRasl = 0;
        for (const std::vector<uint8_t> &n : cut)
            iRasl += type(n) == HEVC_NAL_RASL_N || type(n) == HEVC_NAL_RASL_R;
        ASSERT_GT(iRasl, 0);
        std::vector<uint8_t> data = Cat(cut);
        std::string file = WriteTemp(bBla ? "inter_bla.hevc" : "inter_cra_join.hevc", data);
        std::vector<std::string> ff = FfmpegFrameMd5(file, 8);
        DecodeRun run = DecodeBuffer(data, 8, IH265D_DISPLAY_ORDER, false, 1 << 16, c.iWidth, c.iHeight);
        EXPECT_TRUE(run.codes.empty());
        ASSERT_EQ(run.pics.size(), ff.size());
        for (size_t i = 0; i < ff.size(); i++)
            EXPECT_EQ(run.pics[i].md5, ff[i]) << "picture " << i;
    }
}

// Damage on the one-reference camera-like stream (an IDR every 10 pictures):
// picture 4's slice cut in half, or dropped so that picture 5 misses its
// reference. The damaged picture is output with its error indicator, the
// lost area shows the previous picture's samples, and from the next IDR on
// every picture equals FFmpeg's decoding of the intact stream.
TEST(InterDamage, CutSliceAndMissingReferenceAreConcealed)
{
    const InterCase &c = kCases[0];
    std::string path = EncodeCase(c);
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available";
    std::vector<std::string> ff = FfmpegFrameMd5(path, c.iDepth);
    std::vector<std::vector<uint8_t>> nals = SplitNals(ReadFile(path));
    std::vector<size_t> vcl;
    for (size_t i = 0; i < nals.size(); i++) {
        size_t k = nals[i].size() > 3 && nals[i][2] == 1 ? 3 : 4;
        if (nals[i].size() > k && ((nals[i][k] >> 1) & 63) < 32)
            vcl.push_back(i);
    }
    ASSERT_EQ(vcl.size(), (size_t)kFrames);
    for (bool bDrop : {false, true}) {
        SCOPED_TRACE(bDrop ? "picture 4 dropped" : "picture 4 cut short");
        std::vector<std::vector<uint8_t>> damaged = nals;
        damaged[vcl[4]].resize(bDrop ? 0 : damaged[vcl[4]].size() / 2);
        IHW265D_INIT_PARAM p = DefaultParams(c.iWidth, c.iHeight);
        p.iMaxRefNum = c.iMaxRefNum;
        Decoder d(p, false);
        std::vector<Pic> pics;
        d.onPicture = [&](const IHW265D_OUTARGS &o) { pics.push_back(DigestPicture(o, true)); };
        d.Feed(Cat(damaged), 1 << 16);
        const size_t uiLost = bDrop ? 1 : 0;
        ASSERT_EQ(pics.size(), kFrames - uiLost);
        // Picture 5 and 6 both name the dropped picture in their sets.
        EXPECT_EQ(d.codes, std::vector<unsigned>(bDrop ? 2 : 1, bDrop ? IHW265D_ERR_SLICEHEADER : IHW265D_ERR_NAL));
        EXPECT_EQ(d.HasLog("IHW265D_Decode : some of the refrence frames is not exist!\n"), bDrop);
        for (size_t i = 0; i < 4; i++)
            EXPECT_EQ(pics[i].md5, ff[i]) << "picture " << i;
        EXPECT_NE(pics[4].uiError, 0u);
        // The bottom luma row of the cut picture is picture 3's; a picture
        // predicted from a substitute is close to the intact one, not grey.
        const size_t w = (size_t)c.iWidth, uiLast = w * (c.iHeight - 1);
        if (!bDrop) {
            EXPECT_TRUE(std::equal(pics[4].luma.begin() + (long)uiLast, pics[4].luma.end(),
                                   pics[3].luma.begin() + (long)uiLast));
        } else {
            EXPECT_NE(pics[4].luma[uiLast + w / 2], 128);
        }
        for (size_t i = 10; i < (size_t)kFrames; i++) {
            EXPECT_EQ(pics[i - uiLost].md5, ff[i]) << "picture " << i;
            EXPECT_EQ(pics[i - uiLost].uiError, 0u) << "picture " << i;
        }
    }
}

} // namespace

// The camera-like stream cut before its first IDR (it starts at picture 3):
// the references of the first pictures are generated mid-grey pictures
// (H.265 8.3.3.2), as FFmpeg generates them, so every picture equals
// FFmpeg's decoding of the cut stream; the first one is reported and
// flagged, and from the IDR (picture 10) on nothing is flagged.
TEST(InterDamage, CutBeforeTheFirstIdr)
{
    const InterCase &c = kCases[0];
    std::string path = EncodeCase(c);
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg not available";
    std::vector<std::vector<uint8_t>> nals = SplitNals(ReadFile(path)), cut(nals.begin(), nals.begin() + 3);
    int iVcl = 0;
    for (size_t i = 3; i < nals.size(); i++) {
        size_t k = nals[i].size() > 3 && nals[i][2] == 1 ? 3 : 4;
        iVcl += nals[i].size() > k && ((nals[i][k] >> 1) & 63) < 32;
        if (iVcl > 3)
            cut.push_back(nals[i]);
    }
    std::vector<uint8_t> data = Cat(cut);
    std::vector<std::string> ff = FfmpegFrameMd5(WriteTemp("inter_cut_before_idr.hevc", data), 8);
    ASSERT_EQ(ff.size(), (size_t)kFrames - 3);
    IHW265D_INIT_PARAM p = DefaultParams(c.iWidth, c.iHeight);
    p.iMaxRefNum = c.iMaxRefNum;
    Decoder d(p, false);
    std::vector<Pic> pics;
    d.onPicture = [&](const IHW265D_OUTARGS &o) { pics.push_back(DigestPicture(o, false)); };
    d.Feed(data, 1 << 16);
    ASSERT_FALSE(d.codes.empty());
    EXPECT_EQ(d.codes[0], IHW265D_ERR_SLICEHEADER);
    EXPECT_TRUE(d.HasLog("IHW265D_Decode : some of the refrence frames is not exist!\n"));
    ASSERT_EQ(pics.size(), ff.size());
    EXPECT_NE(pics[0].uiError, 0u);
    for (size_t i = 0; i < ff.size(); i++) {
        EXPECT_EQ(pics[i].md5, ff[i]) << "picture " << i + 3;
        EXPECT_TRUE(i + 3 < 10 || pics[i].uiError == 0) << "picture " << i + 3;
    }
}
