// The built-in H.265 decoder against FFmpeg (-threads 1, with and without
// -cpuflags 0) in the same run, on four streams made with x265: 1080p
// all-intra, 1080p 8-bit `--preset medium --crf 28` with B pictures, the
// same at 10 bits, and a 720p low-delay P camera-like stream at 2 Mbit/s.
// For each: frames per second of CPU time (and wall clock), and with
// --callgrind the instructions per frame of each decoder under valgrind's
// callgrind plus the built-in decoder's per-stage split.
//
// Instructions per frame are taken as (I(N) - I(1)) / (N - 1), so process
// start-up and the first picture's set-up cancel out for both sides.
//
//   bench_hevc_decode [--stream file.hevc] [--frames N] [--callgrind]
//   bench_hevc_decode --decode-only file.hevc N BITS   (one pass, for callgrind)
#include <sys/resource.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../BenchSupport.h"
#include "IHW265D.h"
#include "hevc_trace.h"

namespace {

std::vector<unsigned char> ReadAll(const std::string &path)
{
    std::vector<unsigned char> d;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return d;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        d.insert(d.end(), buf, buf + n);
    fclose(f);
    return d;
}

void *OnMalloc(unsigned int, unsigned int n) { return malloc(n); }
void OnFree(unsigned int, void *p) { free(p); }
void OnLog(unsigned int, int, const char *, ...) {}

// Decodes up to iFrames pictures of the stream, single-threaded; returns the
// number output.
int DecodeBuiltIn(const std::vector<unsigned char> &data, int iFrames, int iBits)
{
    IHW265D_INIT_PARAM p;
    memset(&p, 0, sizeof(p));
    p.iMaxWidth = 1920;
    p.iMaxHeight = 1088;
    p.iMaxRefNum = 6;  // x265 medium: 3 references and a B pyramid
    p.iMaxVPSNum = p.iMaxSPSNum = p.iMaxPPSNum = 1;
    p.iBitDepth = iBits;
    p.eOutputOrder = IH265D_DECODE_ORDER;
    p.MallocFxn = OnMalloc;
    p.FreeFxn = OnFree;
    p.LogFxn = OnLog;
    IH265DEC_HANDLE h = nullptr;
    if (IHW265D_Create(&h, &p))
        return -1;
    int n = 0;
    size_t pos = 0;
    IHW265D_OUTARGS o;
    while (n < iFrames) {
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        in.pStream = const_cast<unsigned char *>(data.data()) + pos;
        in.uiStreamLen = (unsigned)(data.size() - pos);
        unsigned r = IHW265D_DecodeFrame(h, &in, &o);
        pos += o.uiBytsConsumed;
        n += o.eDecodeStatus == IH265D_GETDISPLAY;
        if (r == IHW265D_NEED_MORE_BITS)
            break;
    }
    unsigned char ucDummy = 0;
    while (n < iFrames) {
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        in.pStream = &ucDummy;
        in.eDecodeMode = IH265D_DECODE_END;
        IHW265D_DecodeFrame(h, &in, &o);
        if (o.eDecodeStatus != IH265D_GETDISPLAY)
            break;
        n++;
    }
    IHW265D_Delete(h);
    return n;
}

double Seconds(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// CPU seconds (user + system) of finished child processes so far.
double ChildCpu()
{
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

// Decoder stages and the functions whose inclusive cost makes them up.
// The in-loop filters run behind reconstruction, mostly from inside the
// slice data decoding and for the last rows when the picture is finished;
// entropy decoding is the slice data decoding less prediction, transform
// and the filter rows run inside it (CABAC, residual and syntax parsing,
// motion vector and deblocking edge derivation).
enum { kSlice, kPred, kTransform, kFilter, kFinish, kCosts };
const int kStages = kFinish;
const char *const kStageNames[kStages] = {"entropy+syntax", "prediction", "transform", "filters"};
struct StageFn {
    const char *pName;
    int iStage;
};
const StageFn kStageFns[] = {
    {"HevcDecodeSliceData", kSlice}, {"HevcPredIntra", kPred},          {"HevcPredInter", kPred},
    {"AddCoeffs_8", kTransform},     {"AddCoeffs_10", kTransform},      {"HevcFilterAdvance", kFilter},
    {"HevcSliceDecFinishPicture", kFinish},
};

// Inclusive instructions per stage from a callgrind profile.
std::vector<double> StageCosts(const std::string &profile)
{
    std::vector<double> v(kCosts, 0.0);
    std::string out = Capture("callgrind_annotate --inclusive=yes --threshold=100 '" + profile + "' 2>/dev/null");
    for (const StageFn &f : kStageFns) {
        /* the largest entry of the function: inlined code from headers shows
         * up as further, smaller entries of the same name */
        double dBest = 0;
        const std::string key = std::string(":") + f.pName + " ";
        for (size_t k = out.find(key); k != std::string::npos; k = out.find(key, k + 1)) {
            size_t b = out.rfind('\n', k);
            std::string line = out.substr(b == std::string::npos ? 0 : b + 1, k - b);
            line.erase(std::remove(line.begin(), line.end(), ','), line.end());
            dBest = std::max(dBest, atof(line.c_str()));
        }
        v[f.iStage] += dBest;
    }
    /* filter rows run when the picture is finished are outside the slice data */
    v[kSlice] -= v[kPred] + v[kTransform] + std::max(0.0, v[kFilter] - v[kFinish]);
    return v;
}

std::string FfmpegCmd(const std::string &path, int iFrames, bool bPlainC)
{
    return std::string("ffmpeg -nostdin -hide_banner -loglevel error -threads 1 ") + (bPlainC ? "-cpuflags 0 " : "") +
           "-i '" + path + "' -frames:v " + std::to_string(iFrames) + " -f null -";
}

struct BenchStream {
    const char *pName;
    const char *pSize;
    int iBits;
    const char *pKind; /* file name tag: i(ntra), b, p */
    const char *pX265;
};

const BenchStream kStreams[] = {
    {"1080p all-intra medium crf28", "1920x1080", 8, "i", "--preset medium --crf 28 --keyint 1"},
    {"1080p 8-bit medium crf28 B", "1920x1080", 8, "b", "--preset medium --crf 28"},
    {"1080p 10-bit medium crf28 B", "1920x1080", 10, "b", "--preset medium --crf 28 --output-depth 10"},
    {"720p low-delay P 2 Mbit/s", "1280x720", 8, "p",
     "--preset veryfast --bframes 0 --ref 1 --keyint 50 --bitrate 2000 --vbv-maxrate 2000 --vbv-bufsize 2000"},
};

// The stream's file in /tmp, made once; "" when ffmpeg or x265 fail.
std::string MakeStream(const BenchStream &b, int iFrames)
{
    std::string path = std::string("/tmp/bench_hevc_decode_") + b.pSize + "_" + std::to_string(b.iBits) + "_" +
                       b.pKind + "_" + std::to_string(iFrames) + ".hevc";
    if (!ReadAll(path).empty())
        return path;
    std::string cmd = std::string("ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=") +
                      b.pSize + ":rate=25 -frames:v " + std::to_string(iFrames) + " -pix_fmt " +
                      (b.iBits == 10 ? "yuv420p10le" : "yuv420p") +
                      " -strict -1 -f yuv4mpegpipe - | x265 --input - --y4m --log-level error --no-info " + b.pX265 +
                      " -o " + path + ".tmp 2>/dev/null && mv " + path + ".tmp " + path;
    return system(cmd.c_str()) == 0 ? path : "";
}

int Bench(const std::string &self, const std::string &path, const char *pName, int iBits, int iFrames,
          bool bCallgrind)
{
    std::vector<unsigned char> data = ReadAll(path);
    if (data.empty()) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    printf("\n%s: %s, %zu bytes, %d frames\n", pName, path.c_str(), data.size(), iFrames);

    /* Wall-clock and CPU-time rates: on a busy machine the CPU time is the
     * fairer comparison. */
    auto t0 = std::chrono::steady_clock::now();
    std::clock_t c0 = std::clock();
    int n = DecodeBuiltIn(data, iFrames, iBits);
    double dBuiltIn = Seconds(t0), dBuiltInCpu = (double)(std::clock() - c0) / CLOCKS_PER_SEC;
    if (n < iFrames) {
        fprintf(stderr, "built-in decoder gave %d pictures\n", n);
        return 1;
    }
    t0 = std::chrono::steady_clock::now();
    double dCpu0 = ChildCpu();
    int r1 = system(FfmpegCmd(path, iFrames, false).c_str());
    double dFf = Seconds(t0), dCpu1 = ChildCpu();
    t0 = std::chrono::steady_clock::now();
    int r2 = system(FfmpegCmd(path, iFrames, true).c_str());
    double dFfC = Seconds(t0), dCpu2 = ChildCpu();
    printf("fps (cpu)   built-in %.1f   ffmpeg %.1f   ffmpeg -cpuflags 0 %.1f%s\n", iFrames / dBuiltInCpu,
           iFrames / (dCpu1 - dCpu0), iFrames / (dCpu2 - dCpu1), r1 || r2 ? "   (ffmpeg failed)" : "");
    printf("fps (wall)  built-in %.1f   ffmpeg %.1f   ffmpeg -cpuflags 0 %.1f\n", iFrames / dBuiltIn, iFrames / dFf,
           iFrames / dFfC);

    if (bCallgrind) {
        std::string dec = "'" + self + "' --decode-only '" + path + "' ";
        std::string bits = " " + std::to_string(iBits);
        const std::string profN = "/tmp/bench_hevc_decode_" + std::to_string(getpid()) + "_n.out";
        const std::string prof1 = "/tmp/bench_hevc_decode_" + std::to_string(getpid()) + "_1.out";
        double a = CallgrindInstructions(dec + std::to_string(iFrames) + bits, profN.c_str()) -
                   CallgrindInstructions(dec + "1" + bits, prof1.c_str());
        std::vector<double> sN = StageCosts(profN), s1 = StageCosts(prof1);
        unlink(profN.c_str());
        unlink(prof1.c_str());
        double b = CallgrindInstructions(FfmpegCmd(path, iFrames, false)) -
                   CallgrindInstructions(FfmpegCmd(path, 1, false));
        double c = CallgrindInstructions(FfmpegCmd(path, iFrames, true)) -
                   CallgrindInstructions(FfmpegCmd(path, 1, true));
        double d = iFrames - 1;
        printf("instructions/frame  built-in %.1f M   ffmpeg %.1f M   ffmpeg -cpuflags 0 %.1f M   (built-in / SIMD %.2f, "
               "/ plain C %.2f)\n",
               a / d / 1e6, b / d / 1e6, c / d / 1e6, a / b, a / c);
        printf("built-in per stage (M instructions/frame):");
        double dStages = 0;
        for (int k = 0; k < kStages; k++) {
            printf("  %s %.1f", kStageNames[k], (sN[k] - s1[k]) / d / 1e6);
            dStages += sN[k] - s1[k];
        }
        printf("  other %.1f\n", (a - dStages) / d / 1e6);
    }
    fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string path, self = argv[0];
    int iFrames = 20, iBits = 8;
    bool bCallgrind = false;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--decode-only") && i + 3 < argc) {
            std::vector<unsigned char> d = ReadAll(argv[i + 1]);
            int n = DecodeBuiltIn(d, atoi(argv[i + 2]), atoi(argv[i + 3]));
            return n > 0 ? 0 : 1;
        } else if (!strcmp(argv[i], "--stream") && i + 1 < argc) {
            path = argv[++i];
        } else if (!strcmp(argv[i], "--bits") && i + 1 < argc) {
            iBits = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--frames") && i + 1 < argc) {
            iFrames = atoi(argv[++i]);
        } else if (!strcmp(argv[i], "--callgrind")) {
            bCallgrind = true;
        } else {
            fprintf(stderr, "usage: %s [--stream file.hevc [--bits 8|10]] [--frames N] [--callgrind]\n", argv[0]);
            return 2;
        }
    }
    if (iFrames < 2)
        iFrames = 2;
    if (!path.empty())
        return Bench(self, path, "given stream", iBits, iFrames, bCallgrind);
    int iFailed = 0;
    for (const BenchStream &b : kStreams) {
        std::string p = MakeStream(b, iFrames);
        if (p.empty()) {
            fprintf(stderr, "could not generate %s (ffmpeg, x265)\n", b.pName);
            iFailed = 1;
            continue;
        }
        iFailed |= Bench(self, p, b.pName, b.iBits, iFrames, bCallgrind);
    }
    return iFailed;
}
