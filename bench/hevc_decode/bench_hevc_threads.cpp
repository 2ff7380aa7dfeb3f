// Wall-clock speed-up of the built-in decoder's worker pool (eThreadType 1)
// over single-threaded decoding (eThreadType 0), and CPU time per picture
// of both, and the calling thread's share of eThreadType 1 with the
// speed-up it and the core count allow on an idle machine (a loaded
// machine's wall clock shows little), on 1080p streams: x265's with
// wavefront rows (WPP), one slice without WPP, and four slices with WPP
// (x265 3.5 refuses --slices without --wpp: "Multiple-Slices mode must be
// enable Wavefront Parallel Processing"), and from tools/hevc-tilegen
// (x265 cannot write tiles): 4x2 tiles, four slices without tiles or WPP,
// and one row of 4 tiles with a slice per tile. Tilegen's coding units are
// intra, pcm, skipped or motion-compensated without residual, so those
// streams weigh prediction and filtering more than entropy decoding. Each
// stream is decoded --runs times (default 3) per thread type, the two types
// in turn; the best wall time and the CPU time and context switches
// (voluntary + involuntary, from getrusage; involuntary ones grow with the
// machine's load) of that run are reported. "speed-up" is the ratio of the
// best times; "paired" is the median (and range) of the ratios run by run,
// which a noisy machine moves less, as one lucky or slow run pairs with its
// neighbour in time.
// "pair" is the machine's own ceiling for two threads: two single-threaded
// decoders run side by side on the same stream, and the figure is the
// pictures per second they reach together over one alone. Caches, memory
// and a virtual machine's host are shared, so this is below 2 and a pool
// of two threads cannot beat it.
// "ffmpeg" is the peer measured in the same run: FFmpeg's HEVC decoder
// (libavcodec, its default frame and slice threading) with two threads
// over one on the same packets, best times and paired median. It shows what
// this machine lets a mature pool reach, next to the pair ceiling.
// --callgrind replaces the clocks with instruction counts under valgrind's
// callgrind, over all threads and less the creation and deletion of the
// handle: the work per picture of each thread type, which a noisy machine
// does not move (callgrind runs one thread at a time, so only work counts,
// not waiting).
//
//   bench_hevc_threads [--frames N] [--only NAME] [--runs N] [--callgrind]
//   bench_hevc_threads --decode-only FILE TYPE     (one pass, for callgrind;
//                                                   FILE "-": creation only)
#include <sys/resource.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "../BenchSupport.h"
#include "IHW265D.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

double ThreadCpuSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Usage {
    double dCpu;       // user + system seconds of the process (all threads)
    double dVol, dInvol; // voluntary / involuntary context switches
};

Usage Now()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return {ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6,
            (double)ru.ru_nvcsw, (double)ru.ru_nivcsw};
}

std::vector<unsigned char> ReadAll(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void Quiet(unsigned int, int, const char *, ...) {}

// Pictures output; the whole stream, then a flush.
int Decode(const std::vector<unsigned char> &data, int iThreadType)
{
    IHW265D_INIT_PARAM p;
    memset(&p, 0, sizeof(p));
    p.iMaxWidth = 1920;
    p.iMaxHeight = 1088;
    p.iMaxRefNum = 4;
    p.iMaxVPSNum = p.iMaxSPSNum = p.iMaxPPSNum = 1;
    p.iBitDepth = 8;
    p.eThreadType = iThreadType;
    p.eOutputOrder = IH265D_DECODE_ORDER;
    p.MallocFxn = [](unsigned int, unsigned int n) -> void * { return malloc(n); };
    p.FreeFxn = [](unsigned int, void *pMem) { free(pMem); };
    p.LogFxn = Quiet;
    IH265DEC_HANDLE h = nullptr;
    if (IHW265D_Create(&h, &p) != IHW265D_OK)
        return -1;
    if (data.empty()) {
        IHW265D_Delete(h);
        return 0;
    }
    int n = 0;
    IHW265D_OUTARGS o;
    size_t pos = 0;
    for (int iMode = 0; iMode < 2;) {
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        in.pStream = const_cast<unsigned char *>(data.data()) + pos;
        in.uiStreamLen = iMode ? 0 : (unsigned)(data.size() - pos);
        in.eDecodeMode = iMode ? IH265D_DECODE_END : IH265D_DECODE_NORMAL;
        unsigned r = IHW265D_DecodeFrame(h, &in, &o);
        pos += o.uiBytsConsumed;
        n += o.eDecodeStatus == IH265D_GETDISPLAY;
        if (!iMode && r == IHW265D_NEED_MORE_BITS)
            iMode = 1;
        else if (iMode && o.eDecodeStatus == IH265D_NO_PICTURE)
            break;
    }
    IHW265D_Delete(h);
    return n;
}

// The stream cut into access units by FFmpeg's parser, outside the timing.
std::vector<AVPacket *> FfmpegPackets(const std::vector<unsigned char> &data)
{
    std::vector<AVPacket *> out;
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecParserContext *parser = codec ? av_parser_init(codec->id) : nullptr;
    AVCodecContext *ctx = parser ? avcodec_alloc_context3(codec) : nullptr;
    if (!ctx) {
        av_parser_close(parser);
        return out;
    }
    const uint8_t *p = data.data();
    int left = (int)data.size();
    for (bool bEnd = false; !bEnd;) {
        uint8_t *pkt = nullptr;
        int size = 0;
        bEnd = left == 0;
        int used = av_parser_parse2(parser, ctx, &pkt, &size, p, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0)
            break;
        p += used;
        left -= used;
        if (size > 0) {
            AVPacket *a = av_packet_alloc();
            if (!a || av_new_packet(a, size) < 0) {
                av_packet_free(&a);
                break;
            }
            memcpy(a->data, pkt, size);
            out.push_back(a);
        }
    }
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    return out;
}

// Pictures FFmpeg decodes from the packets with iThreads threads; -1 on failure.
int FfmpegDecode(const std::vector<AVPacket *> &packets, int iThreads)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    AVFrame *frame = av_frame_alloc();
    int n = -1;
    if (ctx && frame) {
        ctx->thread_count = iThreads;
        if (avcodec_open2(ctx, codec, nullptr) == 0) {
            n = 0;
            for (size_t i = 0; i <= packets.size(); i++) {
                if (avcodec_send_packet(ctx, i < packets.size() ? packets[i] : nullptr) < 0 && i < packets.size())
                    continue;
                while (avcodec_receive_frame(ctx, frame) == 0)
                    n++;
            }
        }
    }
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return n;
}

// x265 arguments, or (pszArgs null) hevc-tilegen's COLUMNS ROWS and its options.
struct Case {
    const char *pszName, *pszArgs, *pszTiles, *pszTilegenOpts;
};

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 4 && !strcmp(argv[1], "--decode-only")) {
        std::vector<unsigned char> data;
        if (strcmp(argv[2], "-") && (data = ReadAll(argv[2])).empty())
            return 1;
        printf("%d pictures\n", Decode(data, atoi(argv[3])));
        return 0;
    }
    int iFrames = 60, iRuns = 3;
    const char *pszOnly = nullptr;
    bool bCallgrind = false;
    for (int i = 1; i < argc; i++)
        if (!strcmp(argv[i], "--callgrind"))
            bCallgrind = true;
        else if (i + 1 == argc)
            break;
        else if (!strcmp(argv[i], "--frames"))
            iFrames = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--only"))
            pszOnly = argv[++i];
        else if (!strcmp(argv[i], "--runs"))
            iRuns = std::max(1, atoi(argv[++i]));
    const Case kCases[] = {
        {"1080p_wpp", "--preset fast --wpp --bframes 0", nullptr, nullptr},
        {"1080p_single_slice_no_wpp", "--preset fast --no-wpp --bframes 0", nullptr, nullptr},
        {"1080p_4_slices_wpp", "--preset fast --wpp --slices 4 --bframes 0", nullptr, nullptr},
        {"1080p_4x2_tiles", nullptr, "4 2", ""},
        // 1920x1080 is 120x68 CTBs of 16: 2040 CTBs are a quarter of the
        // picture, and one of its four tile columns.
        {"1080p_4_slices_tilegen", nullptr, "1 1", "--slice-ctbs 2040"},
        {"1080p_4x1_tiles_slices", nullptr, "4 1", "--slice-ctbs 2040"},
    };
    for (const Case &c : kCases) {
        if (pszOnly && !strstr(c.pszName, pszOnly))
            continue;
        std::string path = std::string("/tmp/bench_hevc_threads_") + c.pszName + "_" + std::to_string(iFrames) + ".hevc";
        const std::string src = "ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=1920x1080:rate=25 "
                                "-frames:v " + std::to_string(iFrames) + " -pix_fmt yuv420p ";
        std::string cmd = "test -s " + path + " || (" + src +
                          (c.pszArgs ? "-f yuv4mpegpipe - | x265 --input - --y4m --log-level error --no-progress "
                                       "--no-info --crf 26 " + std::string(c.pszArgs) + " -o " + path
                                     : "-f rawvideo - | " HEVC_TILEGEN " /dev/stdin 1920 1080 " + std::to_string(iFrames) +
                                           " " + c.pszTiles + " " + path + " " + c.pszTilegenOpts) + ")";
        std::vector<unsigned char> data;
        if (system(cmd.c_str()) == 0)
            data = ReadAll(path);
        if (data.empty()) {
            printf("%-28s skipped: ffmpeg, x265 or hevc-tilegen failed\n", c.pszName);
            continue;
        }
        if (bCallgrind) {
            const std::string self = std::string(argv[0]) + " --decode-only ";
            double adIns[2];
            for (int t = 0; t < 2; t++) {
                adIns[t] = CallgrindInstructions(self + path + " " + std::to_string(t)) -
                           CallgrindInstructions(self + "- " + std::to_string(t));
            }
            if (adIns[0] <= 0 || adIns[1] <= 0) {
                printf("%-28s callgrind failed\n", c.pszName);
                continue;
            }
            const int iPics = Decode(data, 0);
            printf("%-28s %d pictures  instructions/picture %.2f M -> %.2f M (%+.1f%%, all threads, callgrind)\n",
                   c.pszName, iPics, adIns[0] / iPics / 1e6, adIns[1] / iPics / 1e6, 100.0 * (adIns[1] / adIns[0] - 1));
            continue;
        }
        double adWall[2] = {1e30, 1e30}, adCpu[2] = {0, 0}, adVol[2] = {0, 0}, adInvol[2] = {0, 0}, dCaller = 1e30;
        int aiPics[2] = {0, 0}, aiPeerPics[2] = {0, 0};
        std::vector<double> ratios, peerRatios;
        std::vector<AVPacket *> packets = FfmpegPackets(data);
        double adPeerWall[2] = {1e30, 1e30};
        for (int iRun = 0; iRun < iRuns; iRun++) {
            double adPeerRun[2] = {0, 0};
            for (int t = 0; t < 2 && !packets.empty(); t++) {
                auto w0 = std::chrono::steady_clock::now();
                aiPeerPics[t] = FfmpegDecode(packets, t + 1);
                adPeerRun[t] = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
                adPeerWall[t] = std::min(adPeerWall[t], adPeerRun[t]);
            }
            if (!packets.empty())
                peerRatios.push_back(adPeerRun[0] / adPeerRun[1]);
            double adRunWall[2] = {0, 0};
            for (int t = 0; t < 2; t++) {
                Usage u0 = Now();
                double t0 = ThreadCpuSeconds();
                auto w0 = std::chrono::steady_clock::now();
                aiPics[t] = Decode(data, t);
                double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
                Usage u1 = Now();
                adRunWall[t] = w;
                if (t && ThreadCpuSeconds() - t0 < dCaller)
                    dCaller = ThreadCpuSeconds() - t0;
                if (w < adWall[t]) {
                    adWall[t] = w;
                    adCpu[t] = u1.dCpu - u0.dCpu;
                    adVol[t] = u1.dVol - u0.dVol;
                    adInvol[t] = u1.dInvol - u0.dInvol;
                }
            }
            ratios.push_back(adRunWall[0] / adRunWall[1]);
        }
        std::sort(ratios.begin(), ratios.end());
        std::sort(peerRatios.begin(), peerRatios.end());
        for (AVPacket *a : packets)
            av_packet_free(&a);
        char szPeer[96] = "ffmpeg failed";
        if (!peerRatios.empty() && aiPeerPics[0] > 0 && aiPeerPics[0] == aiPeerPics[1])
            snprintf(szPeer, sizeof(szPeer), "ffmpeg %.2fx paired %.2fx (%.2f-%.2f)", adPeerWall[0] / adPeerWall[1],
                     peerRatios[peerRatios.size() / 2], peerRatios.front(), peerRatios.back());
        if (aiPics[0] <= 0 || aiPics[0] != aiPics[1]) {
            printf("%-28s decode failed (%d / %d pictures)\n", c.pszName, aiPics[0], aiPics[1]);
            continue;
        }
        double dPairWall = 1e30;
        for (int iRun = 0; iRun < 2; iRun++) {
            auto w0 = std::chrono::steady_clock::now();
            std::thread other([&data] { Decode(data, 0); });
            Decode(data, 0);
            other.join();
            dPairWall = std::min(dPairWall, std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
        }
        printf("%-28s %d pictures  wall %.3f s -> %.3f s  speed-up %.2fx  cpu/picture %.2f ms -> %.2f ms (%+.0f%%)  "
               "switches/picture %.1f+%.1f -> %.1f+%.1f  caller %.2f ms (bound %.2fx)  pair %.2fx  "
               "paired %.2fx (%.2f-%.2f, %d runs)  %s\n",
               c.pszName, aiPics[0], adWall[0], adWall[1], adWall[0] / adWall[1], 1e3 * adCpu[0] / aiPics[0],
               1e3 * adCpu[1] / aiPics[1], 100.0 * (adCpu[1] / adCpu[0] - 1), adVol[0] / aiPics[0],
               adInvol[0] / aiPics[0], adVol[1] / aiPics[1], adInvol[1] / aiPics[1], 1e3 * dCaller / aiPics[1],
               adCpu[0] / std::max(dCaller, adCpu[1] / (double)std::max(1L, sysconf(_SC_NPROCESSORS_ONLN))),
               2 * adWall[0] / dPairWall, ratios[ratios.size() / 2], ratios.front(), ratios.back(), iRuns, szPeer);
    }
    return 0;
}
