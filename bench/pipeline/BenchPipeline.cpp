// ipcam-bench-pipeline: what the library costs over a bare decode loop.
//
// 1. Plays a local 1080p H.264 file through CIpCamera (classic BGR path,
//    decoding on, no pacing) and measures process CPU seconds per delivered
//    picture.
// 2. Runs a bare FFmpeg loop over the same file in the same process: read,
//    decode (threads "auto", as the library asks), convert to bottom-up
//    BGR24 with libswscale (bilinear, as the library does); CPU per picture.
// 3. Peak resident memory per open camera with 1, 4 and 8 cameras playing
//    at once, each count in its own child process. The cameras play the
//    clip from the RTSP test camera when it is built (a file is read faster
//    than it is decoded, so most of it would be skipped), else the file.
//
// usage: ipcam-bench-pipeline [CLIP.mp4]   (default: a generated 20 s clip)

#include <ipcamera/IpCamera.h>

#include "../BenchSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

long StatusKb(const char *pKey)
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(pKey);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, pKey, n) == 0)
            kb = strtol(line + n, nullptr, 10);
    fclose(f);
    return kb;
}

std::atomic<long> g_nFrames(0);  // pictures delivered, all cameras (relaxed)

int OnVideo(void *, void *, unsigned char *pFrame, int nWidth, int nHeight)
{
    if (pFrame)
        g_nFrames.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Waits until pictures have stopped arriving for a second and a half (the
// file has been read and the queue drained), at most nLimit seconds.
void WaitForQuiet(double nLimit)
{
    double start = BenchNow(), lastChange = BenchNow();
    long last = -1;
    while (BenchNow() - start < nLimit) {
        long n = g_nFrames.load();
        if (n != last) {
            last = n;
            lastChange = BenchNow();
        } else if (BenchNow() - lastChange > 1.5 && (n > 0 || BenchNow() - start > 3)) {
            return;
        }
        usleep(20000);
    }
}

// Plays the source until at least nMinFrames pictures have been delivered
// (a file is read far faster than it is decoded and the reader skips to the
// next key frame whenever more than 100 packets wait, so one play of a file
// delivers only part of it), at most 20 plays. CPU per delivered picture.
int LibraryRun(const char *pSource, int nConnectType, long nMinFrames, double *pCpuPerFrame,
               long *pFrames, int *pPlays)
{
    double cpu = 0;
    long frames = 0;
    int plays = 0;
    while (frames < nMinFrames && plays < 20) {
        g_nFrames.store(0);
        CIpCamera cam(1, "bench", "");
        cam.SetVideoBufCallBack(OnVideo, nullptr);
        cam.SetConnectType(nConnectType);
        double cpu0 = BenchCpuSeconds();
        if (cam.OpenMainStreamVideo(pSource) != 0)
            return -1;
        cam.SetDecodeEnable(false, true);
        WaitForQuiet(300);
        cam.CloseMainStreamVideo();
        cpu += BenchCpuSeconds() - cpu0;
        frames += g_nFrames.load();
        plays++;
    }
    *pFrames = frames;
    *pPlays = plays;
    *pCpuPerFrame = frames > 0 ? cpu / frames : 0;
    return frames > 0 ? 0 : -1;
}

int BareRun(const char *pClip, double *pCpuPerFrame, long *pFrames)
{
    double cpu0 = BenchCpuSeconds();
    AVFormatContext *fmt = nullptr;
    AVDictionary *inOpts = nullptr;
    if (strncmp(pClip, "rtsp://", 7) == 0) {
        av_dict_set(&inOpts, "rtsp_transport", "tcp", 0);
        av_dict_set(&inOpts, "timeout", "3000000", 0);  // the end of the clip
    }
    int nOpen = avformat_open_input(&fmt, pClip, nullptr, &inOpts);
    av_dict_free(&inOpts);
    if (nOpen < 0)
        return -1;
    avformat_find_stream_info(fmt, nullptr);
    const AVCodec *codec = nullptr;
    int vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (vi < 0) {
        avformat_close_input(&fmt);
        return -1;
    }
    AVCodecContext *dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, fmt->streams[vi]->codecpar);
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "threads", "auto", 0);
    int r = avcodec_open2(dec, codec, &opts);
    av_dict_free(&opts);
    if (r < 0) {
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
        return -1;
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    SwsContext *sws = nullptr;
    uint8_t *bgr = nullptr;
    int w = 0, h = 0;
    long frames = 0;
    bool draining = false;
    for (;;) {
        if (!draining) {
            r = av_read_frame(fmt, pkt);
            if (r < 0) {
                draining = true;
                avcodec_send_packet(dec, nullptr);
            } else {
                if (pkt->stream_index == vi)
                    avcodec_send_packet(dec, pkt);
                av_packet_unref(pkt);
            }
        }
        while (avcodec_receive_frame(dec, frame) == 0) {
            if (!sws || frame->width != w || frame->height != h) {
                sws_freeContext(sws);
                av_free(bgr);
                w = frame->width;
                h = frame->height;
                sws = sws_getContext(w, h, (AVPixelFormat)frame->format, w, h, AV_PIX_FMT_BGR24,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
                bgr = (uint8_t *)av_malloc((size_t)w * h * 3);
            }
            // Bottom row first, as the library delivers it.
            uint8_t *dst[1] = {bgr + (size_t)(h - 1) * w * 3};
            int stride[1] = {-3 * w};
            sws_scale(sws, frame->data, frame->linesize, 0, h, dst, stride);
            frames++;
        }
        if (draining)
            break;
    }
    sws_freeContext(sws);
    av_free(bgr);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    *pFrames = frames;
    *pCpuPerFrame = frames > 0 ? (BenchCpuSeconds() - cpu0) / frames : 0;
    return frames > 0 ? 0 : -1;
}

// Child process: N cameras at once for three seconds; prints the growth of
// the peak resident size over the size before the first open, per camera.
void RssChild(const char *pClip, int n)
{
    // Load the library's and FFmpeg's code and one-time state first, so the
    // baseline holds what any host pays once.
    {
        CIpCamera warm(0, "warm", "");
        warm.SetVideoBufCallBack(OnVideo, nullptr);
        if (warm.OpenMainStreamVideo(pClip) == 0)
            warm.CloseMainStreamVideo();
    }
    long base = StatusKb("VmRSS:");
    CIpCamera *cams = new CIpCamera[n];
    int opened = 0;
    g_nFrames.store(0);
    for (int i = 0; i < n; i++) {
        cams[i].SetConnectType(1);
        cams[i].SetVideoBufCallBack(OnVideo, nullptr);
        if (cams[i].OpenMainStreamVideo(pClip) == 0) {
            cams[i].SetDecodeEnable(false, true);
            opened++;
        }
    }
    usleep(3000 * 1000);
    long peak = StatusKb("VmHWM:");
    for (int i = 0; i < n; i++)
        cams[i].CloseMainStreamVideo();
    delete[] cams;
    printf("%d %ld %ld %ld\n", opened, base, peak, g_nFrames.load());
    fflush(stdout);
    _exit(opened == n ? 0 : 1);
}

int RssRun(const char *pClip, int n, double *pMbPerCamera, long *pFrames)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    fflush(stdout);
    // A fresh process, so that no heap left over from the CPU runs counts.
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        char count[16];
        snprintf(count, sizeof count, "%d", n);
        execl("/proc/self/exe", "ipcam-bench-pipeline", "--rss-child", count, pClip, (char *)nullptr);
        _exit(127);
    }
    close(fds[1]);
    char buf[128] = {0};
    ssize_t got = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    int opened = 0;
    long base = 0, peak = 0;
    if (got <= 0 || sscanf(buf, "%d %ld %ld %ld", &opened, &base, &peak, pFrames) != 4 || opened != n)
        return -1;
    *pMbPerCamera = (peak - base) / 1024.0 / n;
    return 0;
}

// Starts the RTSP test camera on the clip; its URL, or "" without it.
std::string StartCamera(const std::string &clip, pid_t *pPid)
{
#ifdef IPCAMERA_TEST_RTSP_CAMERA
    const char *argv[] = {IPCAMERA_TEST_RTSP_CAMERA, "--file", clip.c_str(), nullptr};
    return BenchStartCamera(argv, pPid);
#else
    (void)clip;
    *pPid = -1;
    return "";
#endif
}

std::string DefaultClip()
{
    std::string dir = std::string(IPCAMERA_BINARY_DIR) + "/bench-media";
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/h264_1080p_20s.mp4";
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0)
        return path;
    fprintf(stderr, "ipcam-bench-pipeline: generating %s ...\n", path.c_str());
    std::string cmd = std::string("bash '") + IPCAMERA_SOURCE_DIR +
                      "/tests/tools/make_test_clip.sh' '" + path +
                      "' --video h264 --audio none --size 1920x1080 --seconds 20 --gop 50 "
                      "--no-counter";
    if (system(cmd.c_str()) != 0)
        return "";
    return path;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "--rss-child") == 0) {
        if (!freopen("/dev/null", "w", stderr))
            return 1;
        RssChild(argv[3], atoi(argv[2]));
    }
    std::string clip = argc > 1 ? argv[1] : DefaultClip();
    if (clip.empty() || access(clip.c_str(), R_OK) != 0) {
        fprintf(stderr, "ipcam-bench-pipeline: no clip to play\n");
        return 1;
    }
    // The library's log lines would drown the report.
    if (!getenv("IPCAM_BENCH_LOG") && !freopen("/dev/null", "w", stderr))
        return 1;

    double libCpu = 0, bareCpu = 0;
    long libFrames = 0, bareFrames = 0;
    int plays = 0;
    if (BareRun(clip.c_str(), &bareCpu, &bareFrames) != 0 ||
        LibraryRun(clip.c_str(), 0, 200, &libCpu, &libFrames, &plays) != 0) {
        printf("ipcam-bench-pipeline: a run delivered no picture\n");
        return 1;
    }
    printf("clip: %s\n", clip.c_str());
    printf("bare FFmpeg decode + swscale BGR24:   %5ld pictures, %.3f ms CPU per picture\n", bareFrames,
           bareCpu * 1000);
    printf("library, file, classic BGR path:      %5ld pictures in %d plays, %.3f ms CPU per picture,"
           " ratio %.3f\n",
           libFrames, plays, libCpu * 1000, libCpu / bareCpu);
    pid_t server = -1;
    std::string url = StartCamera(clip, &server);
    if (!url.empty()) {
        double rtspCpu = 0;
        long rtspFrames = 0;
        double bareRtspCpu = 0;
        long bareRtspFrames = 0;
        if (LibraryRun(url.c_str(), 1, 1, &rtspCpu, &rtspFrames, &plays) == 0 &&
            BareRun(url.c_str(), &bareRtspCpu, &bareRtspFrames) == 0) {
            printf("bare loop, same clip over RTSP (TCP): %5ld pictures, %.3f ms CPU per picture\n",
                   bareRtspFrames, bareRtspCpu * 1000);
            printf("library, same clip over RTSP (TCP):   %5ld pictures, %.3f ms CPU per picture,"
                   " ratio %.3f\n",
                   rtspFrames, rtspCpu * 1000, rtspCpu / bareRtspCpu);
        }
    }
    std::string source = url;
    if (source.empty())
        source = clip;
    printf("memory runs play %s\n", source.c_str());
    for (int n : {1, 4, 8}) {
        double mb = 0;
        long frames = 0;
        if (RssRun(source.c_str(), n, &mb, &frames) == 0)
            printf("peak RSS per open camera, %d camera%s: %.1f MiB (%ld pictures in 3 s)\n", n,
                   n > 1 ? "s" : "", mb, frames);
        else
            printf("peak RSS with %d cameras: run failed\n", n);
    }
    if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
    return 0;
}
