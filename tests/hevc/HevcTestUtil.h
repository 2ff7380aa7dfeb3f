// Helpers of the decoder tests: a decoder harness that records messages,
// outputs and parsed headers; stream generation with the x265 CLI; the
// trace_headers oracle; a bit writer for hand-made NAL units.
#ifndef TESTS_HEVC_HEVC_TEST_UTIL_H
#define TESTS_HEVC_HEVC_TEST_UTIL_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "IHW265D.h"
#include "hevc_decoder.h"

namespace hevctest {

struct LogLine {
    int iLevel;
    std::string text;
};

// Values of one decoded slice segment header as the hook saw them.
struct SliceRec {
    HevcSliceHeader sh;
    std::vector<uint32_t> entryPoints;
    int32_t iPoc;
    int iNumRef[2];
    int32_t aiRefPoc[2][16];
    bool bSkipped;
};

struct UnitRec {
    int eKind; // HEVC_TRACE_*
    HevcVps vps;
    HevcSps sps;
    HevcPps pps;
    SliceRec slice;
};

struct OutPic {
    IHW265D_OUTARGS out;
    std::vector<uint8_t> y; // first luma row, to check the planes are readable
};

// Counts blocks handed out and returned, so leaks and bad frees show.
struct AllocStats {
    int64_t llLive = 0;
    int64_t llCalls = 0, llFailAt = -1; // the allocation numbered llFailAt fails
};

IHW265D_INIT_PARAM DefaultParams(int w = 1920, int h = 1088);

class Decoder {
public:
    explicit Decoder(const IHW265D_INIT_PARAM &params, bool bTrace = true, int64_t llFailAt = -1);
    ~Decoder();
    unsigned int CreateResult() const { return m_uiCreate; }
    IH265DEC_HANDLE Handle() const { return m_h; }
    // Deletes the decoder now (the destructor then has nothing to do).
    unsigned int Delete();

    // Feeds data in chunks of uiChunk bytes, stamped with their index, then
    // flushes when bFlush. Every non-zero, non-1 return code is recorded.
    void Feed(const std::vector<uint8_t> &data, size_t uiChunk, bool bFlush = true);
    // One call's worth of data, repeated until all of it is taken.
    void FeedUnit(const uint8_t *p, uint32_t n, uint64_t ullTs);
    unsigned int Call(const uint8_t *p, uint32_t n, int iMode, uint64_t ullTs, IHW265D_OUTARGS *out);
    void FlushAll();

    bool HasLog(const std::string &needle) const;

    std::vector<LogLine> logs;
    std::vector<unsigned int> codes;
    std::vector<OutPic> pictures;
    std::vector<UnitRec> units;
    AllocStats alloc;
    // Called with every output picture while its planes are valid.
    std::function<void(const IHW265D_OUTARGS &)> onPicture;

private:
    static void OnTrace(void *pUser, int eKind, const void *pRecord);
    void Emit(const IHW265D_OUTARGS &out);
    IH265DEC_HANDLE m_h = nullptr;
    unsigned int m_uiCreate = 0;
    unsigned int m_uiChannel = 0;
};

// The log/alloc callbacks find their Decoder through the channel id.
Decoder *DecoderForChannel(unsigned int uiChannel);
void *TestMalloc(unsigned int uiChannel, unsigned int uiSize);
void TestFree(unsigned int uiChannel, void *p);
void TestLog(unsigned int uiChannel, int eLevel, const char *pszFormat, ...);

// True when IPCAMERA_HEVC_SWEEP is set (CTest label slow): the stream tables
// then take every stream and every feeding variant.
bool SweepRun();
// A log line equal to text (at that level unless iLevel < 0).
bool HasLine(const std::vector<LogLine> &logs, const std::string &text, int iLevel = -1);
// The type of a NAL unit that starts with a 3- or 4-byte start code.
int NalType(const std::vector<uint8_t> &nal);
std::vector<uint8_t> ReadFile(const std::string &path);
bool HaveTool(const char *pszName);
std::string TempDir();
// The hevc-decode tool built next to the tests, or "" when it is not built.
std::string HevcDecodeTool();
// Runs a shell command; returns its exit status; stdout+stderr into *pOut.
int Run(const std::string &cmd, std::string *pOut = nullptr);

// Encodes a testsrc clip with the x265 CLI (cached per arguments in the build
// tree). Returns the path, or "" when x265/ffmpeg are missing or failed.
std::string X265Stream(const std::string &name, int w, int h, int frames, int depth, const std::string &args,
                       std::string *pCsv = nullptr);

// A testsrc clip written by tools/hevc-tilegen with COLUMNS x ROWS tiles and
// its options (made anew each time, the tool may have changed). Returns the
// path, or "" when ffmpeg or the tool is missing or failed.
std::string TilegenStream(const std::string &name, int w, int h, int frames, int cols, int rows,
                          const std::string &args);

// One unit of `ffmpeg -bsf:v trace_headers` output: element name -> values in
// order of appearance.
struct TraceUnit {
    std::string kind; // "VPS", "SPS", "PPS", "SLICE", or other
    std::map<std::string, std::vector<int64_t>> values;
    int64_t Get(const std::string &name, int64_t def = -1, size_t i = 0) const;
};
std::vector<TraceUnit> FfmpegTrace(const std::string &path);

// x265 CSV: per picture in encode order.
struct CsvPic {
    char cType;
    int iPoc;
    std::vector<int> list0, list1;
};
std::vector<CsvPic> ReadX265Csv(const std::string &path);

std::vector<std::vector<uint8_t>> SplitNals(const std::vector<uint8_t> &data);
std::vector<uint8_t> Cat(const std::vector<std::vector<uint8_t>> &parts);

// MSB-first bit writer producing an RBSP, then a NAL unit with emulation
// prevention and a start code.
class BitWriter {
public:
    void U(uint32_t v, int n);
    void Ue(uint32_t v);
    void Se(int32_t v);
    void Trailing();
    std::vector<uint8_t> Nal(int iType, int iLayer = 0, int iTidPlus1 = 1, int iForbidden = 0) const;
    std::vector<uint8_t> bytes;

private:
    int m_iBit = 0;
};

struct SpsSpec {
    int iVps = 0, iId = 0, iChroma = 1, iWidth = 64, iHeight = 64, iDepth = 8, iLog2MaxPocLsb = 8;
    int iMaxDecMinus1 = 4, iReorder = 0, iLatencyPlus1 = 1;
    int iLog2MinCb = 3, iLog2DiffCb = 1; // CTB 16
    int iNumStRps = 0;
};
std::vector<uint8_t> MakeVps(int iId = 0, int iMaxDecMinus1 = 4);
std::vector<uint8_t> MakeSps(const SpsSpec &s);
struct PpsSpec {
    int iId = 0, iSps = 0, bTiles = 0, bWpp = 0, iCols = 2, iRows = 1, iInitQpMinus26 = 0;
    int bOutputFlagPresent = 0;
};
std::vector<uint8_t> MakePps(const PpsSpec &p);
// One I slice (IDR_W_RADL) header for a picture of one CTB row, no data.
std::vector<uint8_t> MakeIdrSlice(int iPps = 0, int iQpDelta = 0, int iOutputFlag = -1); // -1: flag absent
std::vector<uint8_t> MakeSei(int iType, const std::vector<uint8_t> &payload, bool bPrefix = true);

} // namespace hevctest

#endif
