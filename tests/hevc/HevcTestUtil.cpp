#include "HevcTestUtil.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace hevctest {

namespace {
std::mutex g_lock;
std::map<unsigned int, Decoder *> g_decoders; // guarded by g_lock
unsigned int g_uiNextChannel = 100;           // guarded by g_lock
} // namespace

Decoder *DecoderForChannel(unsigned int uiChannel)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_decoders.find(uiChannel);
    return it == g_decoders.end() ? nullptr : it->second;
}

void *TestMalloc(unsigned int uiChannel, unsigned int uiSize)
{
    Decoder *d = DecoderForChannel(uiChannel);
    if (d && d->alloc.llCalls++ == d->alloc.llFailAt)
        return nullptr;
    if (d)
        d->alloc.llLive++;
    return malloc(uiSize);
}

void TestFree(unsigned int uiChannel, void *p)
{
    Decoder *d = DecoderForChannel(uiChannel);
    if (d && p)
        d->alloc.llLive--;
    free(p);
}

void TestLog(unsigned int uiChannel, int eLevel, const char *pszFormat, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, pszFormat);
    vsnprintf(buf, sizeof(buf), pszFormat, ap);
    va_end(ap);
    Decoder *d = DecoderForChannel(uiChannel);
    if (d)
        d->logs.push_back({eLevel, buf});
}

IHW265D_INIT_PARAM DefaultParams(int w, int h)
{
    IHW265D_INIT_PARAM p;
    memset(&p, 0, sizeof(p));
    p.iMaxWidth = w;
    p.iMaxHeight = h;
    p.iMaxRefNum = 15;
    p.iMaxVPSNum = p.iMaxSPSNum = 16;
    p.iMaxPPSNum = 64;
    p.iBitDepth = 10;
    p.eOutputOrder = IH265D_DISPLAY_ORDER;
    p.MallocFxn = TestMalloc;
    p.FreeFxn = TestFree;
    p.LogFxn = TestLog;
    return p;
}

Decoder::Decoder(const IHW265D_INIT_PARAM &params, bool bTrace, int64_t llFailAt)
{
    alloc.llFailAt = llFailAt;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        m_uiChannel = g_uiNextChannel++;
        g_decoders[m_uiChannel] = this;
    }
    IHW265D_INIT_PARAM p = params;
    p.uiChannelID = m_uiChannel;
    m_uiCreate = IHW265D_Create(&m_h, &p);
    if (m_h && bTrace)
        HevcSetTrace(m_h, OnTrace, this);
}

Decoder::~Decoder()
{
    if (m_h)
        IHW265D_Delete(m_h);
    std::lock_guard<std::mutex> lock(g_lock);
    g_decoders.erase(m_uiChannel);
}

unsigned int Decoder::Delete()
{
    unsigned int r = IHW265D_Delete(m_h);
    m_h = nullptr;
    return r;
}

void Decoder::OnTrace(void *pUser, int eKind, const void *pRecord)
{
    Decoder *d = static_cast<Decoder *>(pUser);
    // Value-initialised: a parameter-set record is copied whole, slice part
    // included, so nothing in it may be left indeterminate.
    UnitRec u{};
    u.eKind = eKind;
    if (eKind == HEVC_TRACE_VPS)
        u.vps = *static_cast<const HevcVps *>(pRecord);
    else if (eKind == HEVC_TRACE_SPS)
        u.sps = *static_cast<const HevcSps *>(pRecord);
    else if (eKind == HEVC_TRACE_PPS)
        u.pps = *static_cast<const HevcPps *>(pRecord);
    else {
        const HevcTraceSlice *t = static_cast<const HevcTraceSlice *>(pRecord);
        u.slice.sh = *static_cast<const HevcSliceHeader *>(t->pstSh);
        u.slice.entryPoints.assign(u.slice.sh.puiEntryPointOffset,
                                   u.slice.sh.puiEntryPointOffset + u.slice.sh.num_entry_point_offsets);
        u.slice.iPoc = t->iPoc;
        u.slice.bSkipped = t->bSkipped != 0;
        memcpy(u.slice.iNumRef, t->iNumRef, sizeof(u.slice.iNumRef));
        memcpy(u.slice.aiRefPoc, t->aiRefPoc, sizeof(u.slice.aiRefPoc));
    }
    d->units.push_back(u);
}

void Decoder::Emit(const IHW265D_OUTARGS &out)
{
    if (onPicture)
        onPicture(out);
    OutPic p;
    p.out = out;
    unsigned uiBps = out.uiDecBitDepthLuma > 8 ? 2 : 1;
    p.y.assign(out.pucOutYUV[0], out.pucOutYUV[0] + out.uiDecWidth * uiBps);
    pictures.push_back(p);
}

unsigned int Decoder::Call(const uint8_t *p, uint32_t n, int iMode, uint64_t ullTs, IHW265D_OUTARGS *out)
{
    IHW265D_INARGS in;
    memset(&in, 0, sizeof(in));
    in.pStream = const_cast<uint8_t *>(p);
    in.uiStreamLen = n;
    in.uiTimeStamp = ullTs;
    in.eDecodeMode = iMode;
    unsigned int r = IHW265D_DecodeFrame(m_h, &in, out);
    if (r != IHW265D_OK && r != IHW265D_NEED_MORE_BITS)
        codes.push_back(r);
    return r;
}

void Decoder::FlushAll()
{
    static uint8_t ucDummy;
    IHW265D_OUTARGS out;
    for (int i = 0; i < 100; i++) {
        Call(&ucDummy, 0, IH265D_DECODE_END, 0, &out);
        if (out.eDecodeStatus != IH265D_GETDISPLAY)
            return;
        Emit(out);
    }
}

void Decoder::FeedUnit(const uint8_t *p, uint32_t n, uint64_t ullTs)
{
    IHW265D_OUTARGS out;
    for (int guard = 0; guard < 100000; guard++) {
        Call(p, n, IH265D_DECODE_NORMAL, ullTs, &out);
        if (out.eDecodeStatus == IH265D_GETDISPLAY)
            Emit(out);
        p += out.uiBytsConsumed;
        n -= out.uiBytsConsumed;
        // Units may stay buffered after a picture or an error: call until
        // the decoder asks for more.
        if (n == 0 && out.eDecodeStatus == IH265D_NEED_MORE_BITS)
            break;
    }
}

void Decoder::Feed(const std::vector<uint8_t> &data, size_t uiChunk, bool bFlush)
{
    uint64_t ullTs = 0;
    for (size_t pos = 0; pos < data.size(); pos += uiChunk, ullTs++)
        FeedUnit(data.data() + pos, (uint32_t)std::min(uiChunk, data.size() - pos), ullTs);
    if (bFlush)
        FlushAll();
}

bool Decoder::HasLog(const std::string &needle) const
{
    return std::any_of(logs.begin(), logs.end(), [&](const LogLine &l) { return l.text.find(needle) != std::string::npos; });
}

bool HasLine(const std::vector<LogLine> &logs, const std::string &text, int iLevel)
{
    return std::any_of(logs.begin(), logs.end(),
                       [&](const LogLine &l) { return l.text == text && (iLevel < 0 || l.iLevel == iLevel); });
}

int NalType(const std::vector<uint8_t> &nal) { return (nal[nal[2] == 1 ? 3 : 4] >> 1) & 0x3f; }

std::vector<uint8_t> Cat(const std::vector<std::vector<uint8_t>> &parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

int Run(const std::string &cmd, std::string *pOut)
{
    FILE *p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    std::string s;
    char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;)
        s.append(buf, n);
    int st = pclose(p);
    if (pOut)
        pOut->swap(s);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool SweepRun() { return getenv("IPCAMERA_HEVC_SWEEP") != nullptr; }

bool HaveTool(const char *pszName)
{
    return Run(std::string("command -v ") + pszName + " >/dev/null") == 0;
}

std::string HevcDecodeTool()
{
    std::string path = std::string(IPCAMERA_BINARY_DIR) + "/tools/hevc-decode/hevc-decode";
    return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

std::string TempDir()
{
    std::string dir = std::string(IPCAMERA_BINARY_DIR) + "/hevc-test-streams";
    mkdir(dir.c_str(), 0755);
    return dir;
}

static bool Exists(const std::string &path) { return !ReadFile(path).empty(); }

std::string X265Stream(const std::string &name, int w, int h, int frames, int depth, const std::string &args,
                       std::string *pCsv)
{
    std::string base = TempDir() + "/" + name, out = base + ".hevc", csv = base + ".csv";
    if (pCsv)
        *pCsv = csv;
    if (Exists(out) && Exists(csv))
        return out;
    if (!HaveTool("x265") || !HaveTool("ffmpeg"))
        return "";
    // Tests run in parallel processes: encode under a private name and
    // rename into place, so nobody reads a half-written stream.
    std::string tmp = base + ".tmp" + std::to_string(getpid());
    std::ostringstream cmd;
    cmd << "ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc2=size=" << w << "x" << h << ":rate=25 -frames:v "
        << frames << " -pix_fmt " << (depth > 8 ? "yuv420p10le -strict -1" : "yuv420p")
        << " -f yuv4mpegpipe - | x265 --input - --y4m --log-level error "
        << (depth > 8 ? "--output-depth 10 --profile main10 " : "") << args << " --csv " << tmp
        << ".csv --csv-log-level 2 -o " << tmp << ".hevc";
    std::string log;
    if (Run(cmd.str(), &log) != 0 || !Exists(tmp + ".hevc")) {
        fprintf(stderr, "x265 failed: %s\n%s\n", cmd.str().c_str(), log.c_str());
        return "";
    }
    rename((tmp + ".csv").c_str(), csv.c_str());
    rename((tmp + ".hevc").c_str(), out.c_str());
    return out;
}

std::string TilegenStream(const std::string &name, int w, int h, int frames, int cols, int rows,
                          const std::string &args)
{
    const std::string pid = std::to_string(getpid()); // tests run in parallel processes
    std::string yuv = TempDir() + "/" + name + ".yuv" + pid, out = TempDir() + "/" + name + ".hevc";
    std::string tool = std::string(IPCAMERA_BINARY_DIR) + "/tools/hevc-tilegen/hevc-tilegen";
    std::ostringstream src, gen;
    src << "ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=" << w << "x" << h << ":rate=25 -frames:v " << frames
        << " -pix_fmt yuv420p -f rawvideo " << yuv;
    gen << tool << " " << yuv << " " << w << " " << h << " " << frames << " " << cols << " " << rows << " " << out
        << pid << " " << args;
    if (!HaveTool("ffmpeg") || access(tool.c_str(), X_OK) != 0 || Run(src.str()) != 0 || Run(gen.str()) != 0)
        return "";
    unlink(yuv.c_str());
    return rename((out + pid).c_str(), out.c_str()) == 0 ? out : "";
}

int64_t TraceUnit::Get(const std::string &name, int64_t def, size_t i) const
{
    auto it = values.find(name);
    if (it == values.end() || i >= it->second.size())
        return def;
    return it->second[i];
}

std::vector<TraceUnit> FfmpegTrace(const std::string &path)
{
    std::vector<TraceUnit> units;
    std::string out;
    Run("ffmpeg -hide_banner -nostats -i '" + path + "' -c:v copy -bsf:v trace_headers -f null -", &out);
    std::istringstream in(out);
    std::string line;
    bool bStarted = false;
    while (std::getline(in, line)) {
        size_t p = line.find("[trace_headers @ "), q = p == std::string::npos ? p : line.find("] ", p);
        if (q == std::string::npos)
            continue;
        std::string body = line.substr(q + 2);
        bool bPacket = body.rfind("Packet:", 0) == 0;
        bStarted |= bPacket; // what comes before is the extradata copy of the parameter sets
        if (bPacket || !bStarted)
            continue;
        // "<bit position> <name> <bits> = <value>"
        std::istringstream ls(body);
        std::vector<std::string> tok;
        std::string t;
        while (ls >> t)
            tok.push_back(t);
        if (tok.size() >= 5 && tok[tok.size() - 2] == "=" && isdigit((unsigned char)tok[0][0])) {
            if (!units.empty())
                units.back().values[tok[1]].push_back(std::stoll(tok.back()));
            continue;
        }
        static const char *const s_apszKinds[][2] = {
            {"Video Parameter Set", "VPS"}, {"Sequence Parameter Set", "SPS"}, {"Picture Parameter Set", "PPS"},
            {"Slice Segment Header", "SLICE"}, {"Supplemental Enhancement Information", "OTHER"},
            {"Delimiter", "OTHER"}, {"End of", "OTHER"}};
        for (const auto &k : s_apszKinds)
            if (body.find(k[0]) != std::string::npos) {
                units.push_back({k[1], {}});
                break;
            }
    }
    return units;
}

static std::vector<std::string> SplitCsv(const std::string &line)
{
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string c;
    while (std::getline(ss, c, ',')) {
        size_t b = c.find_first_not_of(' '), e = c.find_last_not_of(' ');
        cols.push_back(b == std::string::npos ? "" : c.substr(b, e - b + 1));
    }
    return cols;
}

std::vector<CsvPic> ReadX265Csv(const std::string &path)
{
    std::vector<CsvPic> pics;
    std::ifstream f(path);
    std::string line;
    std::getline(f, line);
    // Columns move with the options (--hrd adds some): find them by name.
    std::vector<std::string> head = SplitCsv(line);
    size_t col[4];
    const char *apszNames[4] = {"Type", "POC", "List 0", "List 1"};
    for (int i = 0; i < 4; i++)
        if ((col[i] = (size_t)(std::find(head.begin(), head.end(), apszNames[i]) - head.begin())) >= head.size())
            return pics;
    // Rows until the encoder's totals ("Summary").
    while (std::getline(f, line) && line.rfind("Summary", 0) != 0) {
        std::vector<std::string> cols = SplitCsv(line);
        if (cols.size() <= *std::max_element(col, col + 4))
            continue;
        CsvPic p{(char)toupper(cols[col[0]].empty() ? '?' : cols[col[0]][0]), atoi(cols[col[1]].c_str()), {}, {}};
        for (int l = 0; l < 2; l++) {
            std::stringstream ls(cols[col[2 + l]]);
            std::string tok;
            while (ls >> tok)
                if (tok != "-")
                    (l ? p.list1 : p.list0).push_back(atoi(tok.c_str()));
        }
        pics.push_back(p);
    }
    return pics;
}

std::vector<std::vector<uint8_t>> SplitNals(const std::vector<uint8_t> &d)
{
    std::vector<std::vector<uint8_t>> nals;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < d.size(); i++)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)
            starts.push_back(i);
    for (size_t k = 0; k < starts.size(); k++) {
        size_t b = k == 0 ? 0 : starts[k];
        if (k > 0 && b > 0 && d[b - 1] == 0)
            b--; // four-byte start code
        size_t e = k + 1 < starts.size() ? starts[k + 1] : d.size();
        if (k + 1 < starts.size() && e > 0 && d[e - 1] == 0)
            e--;
        nals.emplace_back(d.begin() + (long)b, d.begin() + (long)e);
    }
    return nals;
}

void BitWriter::U(uint32_t v, int n)
{
    for (int i = n - 1; i >= 0; i--) {
        if (m_iBit == 0)
            bytes.push_back(0);
        if ((v >> i) & 1)
            bytes.back() |= (uint8_t)(0x80 >> m_iBit);
        m_iBit = (m_iBit + 1) & 7;
    }
}

void BitWriter::Ue(uint32_t v)
{
    uint64_t x = (uint64_t)v + 1; // n zeros, then x in n + 1 bits
    int n = 0;
    while ((x >> n) > 1)
        n++;
    U(0, n);
    U((uint32_t)x, n + 1); // values below 2^31 (all a test writes)
}

void BitWriter::Se(int32_t v) { Ue(v > 0 ? (uint32_t)(2 * v - 1) : (uint32_t)(-2 * (int64_t)v)); }

void BitWriter::Trailing()
{
    U(1, 1);
    if (m_iBit)
        U(0, 8 - m_iBit);
}

std::vector<uint8_t> BitWriter::Nal(int iType, int iLayer, int iTidPlus1, int iForbidden) const
{
    std::vector<uint8_t> n = {0, 0, 0, 1};
    n.push_back((uint8_t)(iForbidden << 7 | iType << 1 | iLayer >> 5));
    n.push_back((uint8_t)((iLayer & 31) << 3 | iTidPlus1));
    int zeros = 0;
    for (uint8_t b : bytes) {
        if (zeros >= 2 && b <= 3) {
            n.push_back(3);
            zeros = 0;
        }
        n.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
    return n;
}

// Main profile (space 0, tier 0, idc 1, compatible with 1 and 2),
// progressive frames, level 3.1.
static void WritePtl(BitWriter &w)
{
    w.U(1, 8);
    w.U(0x60000000, 32);
    w.U(0x9, 4);
    w.U(0, 32); // 44 constraint and reserved bits
    w.U(0, 12);
    w.U(93, 8);
}

std::vector<uint8_t> MakeVps(int iId, int iMaxDecMinus1)
{
    BitWriter w;
    w.U((uint32_t)iId, 4);
    w.U(3, 2);  // base layer internal and available
    w.U(0, 9);  // max layers, max sub-layers
    w.U(1, 1);  // temporal id nesting
    w.U(0xFFFF, 16);
    WritePtl(w);
    w.U(1, 1);  // sub-layer ordering info present
    w.Ue((uint32_t)iMaxDecMinus1);
    w.Ue(0);
    w.Ue(0);
    w.U(0, 6);  // vps_max_layer_id
    w.Ue(0);    // vps_num_layer_sets_minus1
    w.U(0, 2);  // no timing info, no extension
    w.Trailing();
    return w.Nal(HEVC_NAL_VPS);
}

std::vector<uint8_t> MakeSps(const SpsSpec &s)
{
    BitWriter w;
    w.U((uint32_t)s.iVps << 4 | 1, 8); // no sub-layers, temporal id nesting
    WritePtl(w);
    w.Ue((uint32_t)s.iId);
    w.Ue((uint32_t)s.iChroma);
    if (s.iChroma == 3)
        w.U(0, 1);
    w.Ue((uint32_t)s.iWidth);
    w.Ue((uint32_t)s.iHeight);
    w.U(0, 1); // conformance window
    w.Ue((uint32_t)s.iDepth - 8);
    w.Ue((uint32_t)s.iDepth - 8);
    w.Ue((uint32_t)s.iLog2MaxPocLsb - 4);
    w.U(1, 1);
    w.Ue((uint32_t)s.iMaxDecMinus1);
    w.Ue((uint32_t)s.iReorder);
    w.Ue((uint32_t)s.iLatencyPlus1);
    w.Ue((uint32_t)s.iLog2MinCb - 3);
    w.Ue((uint32_t)s.iLog2DiffCb);
    w.Ue(0); // 4x4 transforms up to the CTB or 32x32
    w.Ue((uint32_t)(std::min(s.iLog2MinCb + s.iLog2DiffCb, 5) - 2));
    w.Ue(0);
    w.Ue(0);
    w.U(0, 4); // no scaling lists, amp, sao, pcm
    w.Ue((uint32_t)s.iNumStRps);
    for (int i = 0; i < s.iNumStRps; i++) {
        if (i)
            w.U(0, 1);
        w.Ue(1); // one negative picture, the previous one, used
        w.Ue(0);
        w.Ue(0);
        w.U(1, 1);
    }
    w.U(0, 5); // no long-term, tmvp, strong smoothing, vui, extension
    w.Trailing();
    return w.Nal(HEVC_NAL_SPS);
}

std::vector<uint8_t> MakePps(const PpsSpec &p)
{
    BitWriter w;
    w.Ue((uint32_t)p.iId);
    w.Ue((uint32_t)p.iSps);
    w.U(0, 1); // dependent slices
    w.U((uint32_t)p.bOutputFlagPresent, 1);
    w.U(0, 5); // extra bits, sign hiding, cabac init
    w.Ue(0);
    w.Ue(0);
    w.Se(p.iInitQpMinus26);
    w.U(0, 3); // constrained intra, transform skip, cu qp delta
    w.Se(0);
    w.Se(0);
    w.U(0, 4); // slice chroma offsets, weighted pred/bipred, transquant bypass
    w.U((uint32_t)p.bTiles, 1);
    w.U((uint32_t)p.bWpp, 1);
    if (p.bTiles) {
        w.Ue((uint32_t)p.iCols - 1);
        w.Ue((uint32_t)p.iRows - 1);
        w.U(3, 2); // uniform spacing, filter across tiles
    }
    w.U(0, 4); // filter across slices, deblocking control, scaling list, list modification
    w.Ue(0);
    w.U(0, 2);
    w.Trailing();
    return w.Nal(HEVC_NAL_PPS);
}

std::vector<uint8_t> MakeIdrSlice(int iPps, int iQpDelta, int iOutputFlag)
{
    BitWriter w;
    w.U(2, 2); // first slice segment, keep prior pictures
    w.Ue((uint32_t)iPps);
    w.Ue(2); // I
    if (iOutputFlag >= 0)
        w.U((uint32_t)iOutputFlag, 1);
    w.Se(iQpDelta);
    w.Trailing();
    w.U(0xA5, 8); // stands for slice data
    w.U(0x80, 8);
    return w.Nal(HEVC_NAL_IDR_W_RADL);
}

std::vector<uint8_t> MakeSei(int iType, const std::vector<uint8_t> &payload, bool bPrefix)
{
    BitWriter w;
    for (size_t v : {(size_t)iType, payload.size()}) {
        for (; v >= 255; v -= 255)
            w.U(0xFF, 8);
        w.U((uint32_t)v, 8);
    }
    for (uint8_t b : payload)
        w.U(b, 8);
    w.Trailing();
    return w.Nal(bPrefix ? HEVC_NAL_SEI_PREFIX : HEVC_NAL_SEI_SUFFIX);
}

} // namespace hevctest
