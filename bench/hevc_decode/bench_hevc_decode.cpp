// The built-in H.265 decoder against FFmpeg (-threads 1, with and without
// -cpuflags 0) in the same run, on three streams made with x265: 1080p
// 8-bit `--preset medium --crf 28` with B pictures, the same at 10 bits,
// and a 720p low-delay P camera-like stream at 2 Mbit/s. For each: frames
// per second of CPU time (and wall clock), and with --callgrind the
// instructions per frame of each decoder under valgrind's callgrind.
//
// Instructions per frame are taken as (I(N) - I(1)) / (N - 1), so process
// start-up and the first picture's set-up cancel out for both sides.
//
//   bench_hevc_decode [--stream file.hevc] [--frames N] [--callgrind]
//   bench_hevc_decode --decode-only file.hevc N BITS   (one pass, for callgrind)
#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

std::string Capture(const std::string &cmd)
{
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    pclose(f);
    return out;
}

// Total instructions ("Collected") of a command under callgrind.
double CallgrindInstructions(const std::string &cmd)
{
    std::string out = Capture("valgrind --tool=callgrind --callgrind-out-file=/dev/null " + cmd + " 2>&1");
    size_t k = out.find("Collected : ");
    return k == std::string::npos ? -1.0 : atof(out.c_str() + k + 12);
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
    const char *pX265;
};

const BenchStream kStreams[] = {
    {"1080p 8-bit medium crf28 B", "1920x1080", 8, "--preset medium --crf 28"},
    {"1080p 10-bit medium crf28 B", "1920x1080", 10, "--preset medium --crf 28 --output-depth 10"},
    {"720p low-delay P 2 Mbit/s", "1280x720", 8,
     "--preset veryfast --bframes 0 --ref 1 --keyint 50 --bitrate 2000 --vbv-maxrate 2000 --vbv-bufsize 2000"},
};

// The stream's file in /tmp, made once; "" when ffmpeg or x265 fail.
std::string MakeStream(const BenchStream &b, int iFrames)
{
    std::string path = std::string("/tmp/bench_hevc_decode_") + b.pSize + "_" + std::to_string(b.iBits) + "_" +
                       (strstr(b.pX265, "bframes 0") ? "p" : "b") + "_" + std::to_string(iFrames) + ".hevc";
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
        double a = CallgrindInstructions(dec + std::to_string(iFrames) + bits) - CallgrindInstructions(dec + "1" + bits);
        double b = CallgrindInstructions(FfmpegCmd(path, iFrames, false)) -
                   CallgrindInstructions(FfmpegCmd(path, 1, false));
        double c = CallgrindInstructions(FfmpegCmd(path, iFrames, true)) -
                   CallgrindInstructions(FfmpegCmd(path, 1, true));
        double d = iFrames - 1;
        printf("instructions/frame  built-in %.0f   ffmpeg %.0f   ffmpeg -cpuflags 0 %.0f   (built-in / plain C %.2f)\n",
               a / d, b / d, c / d, a / c);
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
