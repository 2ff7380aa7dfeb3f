// Helpers of the intra picture tests: a whole stream decoded into per-picture
// MD5s of the cropped planes, and the reference decoders' per-frame MD5s
// (FFmpeg's framemd5, libde265's raw output, the stream's own hashes).
#ifndef TESTS_HEVC_INTRA_TEST_UTIL_H
#define TESTS_HEVC_INTRA_TEST_UTIL_H

#include <cstdio>
#include <fstream>
#include <sstream>

#include "HevcCompare.h"
#include "hevc_slice_tasks.h"
#include "Md5.h"

namespace intratest {

// Picture digests through the hevc-decode tool's MD5, so the tests and the
// tool cannot disagree on a hash.
class Md5 {
public:
    Md5() { Md5Init(&m_st); }
    void Update(const void *pData, size_t n) { Md5Update(&m_st, pData, n); }
    std::string Hex() { char sz[33]; Md5Final(&m_st, sz); return sz; }

private:
    ::Md5 m_st;
};

struct Pic {
    std::string md5;
    uint32_t uiError;
    int iPoc;
    std::vector<uint8_t> luma; // cropped luma rows (only when asked for)
    uint32_t w, h, uiBps;
};

struct DecodeRun {
    std::vector<Pic> pics;
    std::vector<unsigned> codes;     // non-zero, non-1 return codes
    std::vector<std::string> errors; // log lines
    unsigned uiSliceTasks = 0;       // slices the worker pool decoded one task each
};

inline Pic DigestPicture(const IHW265D_OUTARGS &o, bool bKeepLuma)
{
    Pic p;
    p.uiBps = o.uiDecBitDepthLuma > 8 || o.uiDecBitDepthChroma > 8 ? 2 : 1;
    p.w = o.uiDecWidth;
    p.h = o.uiDecHeight;
    Md5 m;
    for (int c = 0; c < 3; c++) {
        uint32_t w = c ? o.uiDecWidth / 2 : o.uiDecWidth, h = c ? o.uiDecHeight / 2 : o.uiDecHeight;
        uint32_t uiStride = (c ? o.uiUVStride : o.uiYStride) * p.uiBps;
        for (uint32_t y = 0; y < h; y++) {
            const uint8_t *row = o.pucOutYUV[c] + (size_t)y * uiStride;
            m.Update(row, (size_t)w * p.uiBps);
            if (c == 0 && bKeepLuma)
                p.luma.insert(p.luma.end(), row, row + (size_t)w * p.uiBps);
        }
    }
    p.md5 = m.Hex();
    p.uiError = o.uiErrorFlag, p.iPoc = o.iPicOrderCnt;
    return p;
}

// Decodes a whole Annex B buffer in chunks, then flushes.
inline DecodeRun DecodeBuffer(const std::vector<uint8_t> &data, int iBitDepth, int iOrder = IH265D_DISPLAY_ORDER,
                              bool bKeepLuma = false, size_t uiChunk = 1 << 20, int iMaxW = 1920, int iMaxH = 1088,
                              int iThreadType = 0)
{
    DecodeRun run;
    IHW265D_INIT_PARAM p = hevctest::DefaultParams(iMaxW, iMaxH);
    p.iBitDepth = iBitDepth;
    p.eOutputOrder = iOrder;
    p.eThreadType = iThreadType;
    hevctest::Decoder d(p, false);
    if (d.CreateResult() != 0) {
        run.codes.push_back(0xFFFFFFFFu);
        return run;
    }
    HevcSetRelaxedChecks(d.Handle(), HEVC_RELAX_LATENCY_ZERO);
    d.onPicture = [&](const IHW265D_OUTARGS &o) { run.pics.push_back(DigestPicture(o, bKeepLuma)); };
    d.Feed(data, uiChunk);
    if (d.Handle()->pstSliceTasks)
        run.uiSliceTasks = d.Handle()->pstSliceTasks->uiSlices;
    run.codes = d.codes;
    for (const hevctest::LogLine &l : d.logs)
        run.errors.push_back(l.text);
    return run;
}

// Two decodings of the same input agree in everything a caller sees:
// pictures, their error words and POCs, return codes and messages, except
// the lines of b's failing worker stages ("<stage> check  err, ret = 0x..."),
// whose number is returned.
inline int ExpectSameRun(const DecodeRun &a, const DecodeRun &b)
{
    std::vector<std::string> bErrors;
    int iStageLines = 0;
    for (const std::string &s : b.errors)
        if (s.find(" check  err, ret = 0x") != std::string::npos)
            iStageLines++;
        else
            bErrors.push_back(s);
    EXPECT_EQ(a.codes, b.codes);
    EXPECT_EQ(a.errors, bErrors);
    EXPECT_EQ(a.pics.size(), b.pics.size());
    if (a.pics.size() != b.pics.size())
        return iStageLines;
    for (size_t i = 0; i < a.pics.size(); i++) {
        EXPECT_EQ(a.pics[i].md5, b.pics[i].md5) << "picture " << i;
        EXPECT_EQ(a.pics[i].uiError, b.pics[i].uiError) << "picture " << i;
        EXPECT_EQ(a.pics[i].iPoc, b.pics[i].iPoc) << "picture " << i;
    }
    return iStageLines;
}

// Last column of an FFmpeg framemd5 file (or of `ffmpeg -f framemd5` output).
inline std::vector<std::string> ParseFrameMd5(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t k = line.rfind(',');
        std::istringstream last(k == std::string::npos ? "" : line.substr(k + 1));
        std::string s;
        if (last >> s)
            out.push_back(s);
    }
    return out;
}

inline std::vector<std::string> FfmpegFrameMd5(const std::string &path, int iDepth)
{
    std::string out;
    hevctest::Run("ffmpeg -hide_banner -loglevel error -threads 1 -i '" + path +
                      "' -vsync passthrough -f framemd5 -pix_fmt " + (iDepth > 8 ? "yuv420p10le" : "yuv420p") + " -",
                  &out);
    return ParseFrameMd5(out);
}

// libde265's output split into frames of the given size, as MD5s.
inline std::vector<std::string> Libde265FrameMd5(const std::string &path, size_t uiFrameBytes, int iFrames = 0)
{
    std::vector<std::string> out;
    if (!hevctest::HaveTool("libde265-dec265"))
        return out;
    std::string raw = hevctest::TempDir() + "/intra_de265.yuv";
    hevctest::Run("libde265-dec265 -q " + (iFrames ? "-f " + std::to_string(iFrames) + " " : std::string()) + "-o '" +
                  raw + "' '" + path + "'");
    std::vector<uint8_t> data = hevctest::ReadFile(raw);
    std::remove(raw.c_str());
    for (size_t i = 0; uiFrameBytes && i + uiFrameBytes <= data.size(); i += uiFrameBytes) {
        Md5 m;
        m.Update(data.data() + i, uiFrameBytes);
        out.push_back(m.Hex());
    }
    return out;
}


// The stream's own decoded picture hashes checked by hevc-decode --verify:
// 1 when all iPictures were verified without mismatch, 0 when not, -1 when
// the tool is not built.
inline int VerifiedByPictureHash(const std::string &path, int iPictures)
{
    std::string tool = hevctest::HevcDecodeTool();
    if (tool.empty())
        return -1;
    std::string out;
    hevctest::Run("'" + tool + "' --quiet --relax 1 --verify '" + path + "'", &out);
    return out.find("verified=" + std::to_string(iPictures) + " mismatches=0 ") != std::string::npos ? 1 : 0;
}

// Every picture of a run against FFmpeg's framemd5 ff of the same stream;
// where FFmpeg deviates, the stream's own picture hashes decide (hevc-decode
// --verify, built with the tests).
inline void ExpectPicturesMatch(const std::string &path, const DecodeRun &run, const std::vector<std::string> &ff)
{
    EXPECT_TRUE(run.codes.empty()) << std::hex << (run.codes.empty() ? 0 : run.codes[0]);
    ASSERT_EQ(run.pics.size(), ff.size());
    for (size_t i = 0; i < ff.size(); i++) {
        EXPECT_EQ(run.pics[i].uiError, 0u) << "picture " << i;
        EXPECT_TRUE(run.pics[i].md5 == ff[i] || VerifiedByPictureHash(path, (int)ff.size()) == 1)
            << "picture " << i << " differs from FFmpeg and from the stream's hash";
    }
}

// Rows of MANIFEST.tsv that have a framemd5 list, 4:2:0 8/10-bit only.
inline std::vector<hevctest::ManifestRow> ConfStreams()
{
    std::vector<hevctest::ManifestRow> out;
    for (const hevctest::ManifestRow &r : hevctest::ReadManifest())
        if (r.chroma == 1 && (r.depth == 8 || r.depth == 10) &&
            std::ifstream(hevctest::ConformanceDir() + "/ffmpeg-framemd5/" + r.file + ".framemd5"))
            out.push_back(r);
    return out;
}

// Outcome of the leading intra pictures of one stream: the output pictures
// from the first on, up to the first one that is not fully decoded.
struct ConfResult {
    int iCompared = 0, iMatchedLibde265 = 0;
    std::vector<std::string> failures;
};

inline ConfResult CheckLeadingIntra(const hevctest::ManifestRow &c)
{
    ConfResult r;
    std::string path = hevctest::ConformanceDir() + "/" + c.file;
    std::vector<uint8_t> list = hevctest::ReadFile(hevctest::ConformanceDir() + "/ffmpeg-framemd5/" + c.file + ".framemd5");
    std::vector<std::string> ff = ParseFrameMd5(std::string(list.begin(), list.end()));
    DecodeRun run = DecodeBuffer(hevctest::ReadFile(path), c.depth > 8 ? 10 : 8, IH265D_DISPLAY_ORDER, false, 1 << 20,
                                 std::max(c.width, 64), std::max(c.height, 64));
    std::vector<std::string> de;
    for (size_t i = 0; i < run.pics.size() && i < ff.size(); i++) {
        const Pic &p = run.pics[i];
        if (p.uiError)
            break;
        r.iCompared++;
        if (p.md5 == ff[i])
            continue;
        if (de.empty())
            de = Libde265FrameMd5(path, (size_t)p.w * p.h * 3 / 2 * p.uiBps);
        if (de.size() > i && de[i] == p.md5) {
            r.iMatchedLibde265++;
            continue;
        }
        r.failures.push_back(c.file + " picture " + std::to_string(i) + " (poc " + std::to_string(p.iPoc) +
                             ") matches neither FFmpeg nor libde265");
    }
    return r;
}

} // namespace intratest

#endif
