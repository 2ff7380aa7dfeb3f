// Comparison of what the decoder parsed with FFmpeg's trace_headers output
// and with the x265 encoder's own per-picture log.
#ifndef TESTS_HEVC_HEVC_COMPARE_H
#define TESTS_HEVC_HEVC_COMPARE_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HevcTestUtil.h"

namespace hevctest {

// Syntax element values of a parsed unit, named as trace_headers names them.
std::map<std::string, std::vector<int64_t>> NamedValues(const UnitRec &u);

// Compares the decoder's units with FFmpeg's, in order (second-layer units
// left out); every mismatch is one line of the result.
std::vector<std::string> CompareWithTrace(const std::vector<UnitRec> &mine, const std::vector<TraceUnit> &ff,
                                          int *piCompared);

// Checks POC, slice type and reference list POCs of every picture against the
// x265 log (encode order = decode order).
std::vector<std::string> CompareWithCsv(const std::vector<UnitRec> &mine, const std::vector<CsvPic> &csv);

struct StreamResult {
    std::vector<UnitRec> units;
    std::vector<OutPic> pictures;
    std::vector<unsigned int> codes;
    std::vector<LogLine> logs;
};
StreamResult DecodeFile(const std::string &path, size_t uiChunk, int iOrder = IH265D_DISPLAY_ORDER,
                        int w = 640, int h = 480, int iRefs = 15, uint32_t uiRelax = 0);

// Rows of the shared test bitstream collection (empty when it is absent).
struct ManifestRow {
    std::string file, category;
    long bytes;
    int chroma, depth, width, height, frames;
};
std::string ConformanceDir();
std::vector<ManifestRow> ReadManifest();
// Rows of at most maxBytes and maxFrames (0: no limit). When there are none,
// one empty row, so the parameterised test still runs and says it skipped.
std::vector<ManifestRow> ManifestRowsUpTo(long maxBytes, int maxFrames);
// Test name of a row: its file with all but letters and digits as '_'.
std::string ManifestRowName(const ::testing::TestParamInfo<ManifestRow> &i);
// Display order: POC ascends except where a coded video sequence (IDR, BLA)
// restarts it; decode order: decode numbers ascend.
void ExpectOutputOrder(const StreamResult &r, int iOrder);
// Runs the decoder over one stream and checks it against FFmpeg's parse.
void CheckConformanceStream(const ManifestRow &row, size_t uiChunk, int iOrder);

} // namespace hevctest

#endif
