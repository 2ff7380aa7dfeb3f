// ipcam-bench-multi-camera: can this machine play eight camera-like 1080p25
// H.265 streams at once, through the library as a host would, without
// losing a picture? Once through the built-in decoder, once through FFmpeg.
//
// The stream is made at run time with ffmpeg and x265 in a temporary
// directory: 10 s of a still, detailed scene with light sensor noise and a
// moving window, low-delay P, one reference, a key picture every 2 s,
// about 3 Mbit/s. Every picture shows its frame number within the clip as
// eight black/white blocks at the top left, so the host callback knows
// which frame each delivered picture is: a gap in the numbers is a lost
// picture, whatever the delay in between.
//
// Each path: N ipcam-test-http cameras on 127.0.0.1 send the clip in a loop
// at 25 fps real time (for the built-in path with --marker-sei: the marker
// SEI in front of every key picture; for the FFmpeg path without). N
// CIpCamera objects play them in planar (I420) mode, where the library
// gives marked streams to the built-in decoder with its worker threads.
// Once every camera shows pictures, the count runs for SECONDS: pictures
// seen by the host callback, frame numbers skipped (lost), and the process
// CPU time (getrusage: library, decoders and their workers; the cameras
// are other processes).
//
// usage: ipcam-bench-multi-camera [SECONDS [CAMERAS]]   (default 20 8)

#include <ipcamera/IpCamera.h>

#include "../BenchSupport.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const int kW = 1920, kH = 1080, kFps = 25;
const int kClipFrames = 250;  // frame numbers repeat with this period
const int kBits = 8;          // blocks carrying the frame number
const int kMaxBehind = 12;    // pictures still on their way at the end (0.5 s) that count as real time

std::string LoadAverage()
{
    char buf[64] = "";
    FILE *f = fopen("/proc/loadavg", "r");
    if (f != nullptr) {
        if (fgets(buf, sizeof buf, f) == nullptr)
            buf[0] = 0;
        fclose(f);
    }
    std::string s = buf;
    size_t third = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return s.substr(0, third);
}

// What one camera's host callback saw. Written on the camera's decode
// thread, read by the main thread; all under lock.
struct Tally {
    std::mutex lock;
    int bCounting = 0;     // inside the measured window
    long nLast = -1;       // frame number of the latest picture, unwrapped (clip passes added)
    long nPictures = 0;    // pictures in the window
    long nLost = 0;        // frame numbers skipped in the window
    long nRepeats = 0;     // a picture with the previous one's number again
    long nWrongSize = 0;   // pictures not kW x kH
};

// Frame number of an I420 picture: bit k is the block at x = 16 + 64k,
// y = 16, 48 x 48, white or black.
int FrameNumber(const unsigned char *pY)
{
    int n = 0;
    for (int k = 0; k < kBits; k++)
        if (pY[(size_t)40 * kW + 40 + 64 * k] > 128)
            n |= 1 << k;
    return n;
}

int OnVideo(void *, void *pUser, unsigned char *pFrame, int nWidth, int nHeight)
{
    Tally *t = (Tally *)pUser;
    if (pFrame == nullptr)
        return 0;
    std::lock_guard<std::mutex> g(t->lock);
    if (nWidth != kW || nHeight != kH) {
        t->nWrongSize++;
        return 0;
    }
    long n = FrameNumber(pFrame);
    if (t->nLast < 0) {
        // Each connection starts the clip at frame 0, and the first picture
        // comes well within the first pass.
        t->nLast = n;
        return 0;
    }
    long step = ((n - t->nLast) % kClipFrames + kClipFrames) % kClipFrames;
    if (step == 0) {
        t->nRepeats++;
        return 0;
    }
    if (t->bCounting) {
        t->nPictures++;
        t->nLost += step - 1;
    }
    t->nLast += step;
    return 0;
}

// The clip, made with ffmpeg (scene and frame numbers) and x265.
int MakeClip(const std::string &path)
{
    std::string bits;
    for (int k = 0; k < kBits; k++)
        bits += ",drawbox=x=" + std::to_string(16 + 64 * k) +
                ":y=16:w=48:h=48:color=white:t=fill:enable='eq(mod(floor(n/" + std::to_string(1 << k) + "),2),1)'";
    std::string n = std::to_string(kClipFrames);
    std::string cmd =
        "ffmpeg -v error -f lavfi -i \"mandelbrot=s=1920x1080,trim=end_frame=1,loop=loop=" +
        std::to_string(kClipFrames - 1) + ":size=1,setpts=N/25/TB,noise=alls=3:allf=t[bg];"
        "testsrc2=s=320x240:r=25[m];[bg][m]overlay=x='mod(t*150,1600)':y=500:shortest=1,"
        "drawbox=x=0:y=0:w=544:h=80:color=black:t=fill" + bits + "\" -frames:v " + n +
        " -pix_fmt yuv420p -f yuv4mpegpipe - < /dev/null 2>/dev/null | "
        "x265 --log-level error --no-progress --y4m --input - --preset veryfast --no-info --repeat-headers "
        "--bframes 0 --ref 1 --keyint 50 --min-keyint 50 --bitrate 3000 --vbv-maxrate 3000 --vbv-bufsize 3000 "
        "--output '" + path + "' > /dev/null 2>&1";
    return system(cmd.c_str()) == 0 && access(path.c_str(), R_OK) == 0 ? 0 : -1;
}

struct TestCamera {
    pid_t nPid = -1;
    std::string sUrl;
    std::string sSendLog;  // one line per video frame sent
};

int StartCamera(TestCamera *c, const std::string &clip, int bMarked)
{
    const char *argv[] = {IPCAMERA_TEST_HTTP_CAMERA, "--video", clip.c_str(), "--fps", "25", "--loop", "--no-audio",
                          "--send-log", c->sSendLog.c_str(), bMarked ? "--marker-sei" : nullptr, nullptr};
    c->sUrl = BenchStartCamera(argv, &c->nPid);
    return c->sUrl.empty() ? -1 : 0;
}

void StopCamera(TestCamera *c)
{
    if (c->nPid > 0) {
        kill(c->nPid, SIGTERM);
        waitpid(c->nPid, nullptr, 0);
        c->nPid = -1;
    }
}

long LinesIn(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return 0;
    long n = 0;
    for (int ch; (ch = fgetc(f)) != EOF;)
        n += ch == '\n';
    fclose(f);
    return n;
}

const char *PathName(int nPath)
{
    switch (nPath) {
    case IPC_DECODE_BUILTIN: return "built-in";
    case IPC_DECODE_FFMPEG: return "ffmpeg";
    case IPC_DECODE_HARDWARE: return "hardware";
    default: return "none";
    }
}

// One path: nCameras cameras for nSeconds. Prints its rows; 0 when every
// camera played the window without a lost picture and kept up.
int RunPath(const char *pName, const std::string &clip, const std::string &dir, int bMarked, int nCameras,
            int nSeconds)
{
    std::vector<TestCamera> servers(nCameras);
    std::vector<Tally> tallies(nCameras);
    std::vector<std::unique_ptr<CIpCamera>> cams;
    int ok = 1;
    for (int i = 0; i < nCameras && ok; i++) {
        servers[i].sSendLog = dir + "/sent_" + pName + "_" + std::to_string(i) + ".log";
        if (StartCamera(&servers[i], clip, bMarked) != 0) {
            printf("%s: test camera %d did not start\n", pName, i);
            ok = 0;
            break;
        }
        cams.emplace_back(new CIpCamera(i + 1, pName, ""));
        CIpCamera *cam = cams.back().get();
        cam->SetVideoBufCallBack(OnVideo, &tallies[i]);
        cam->SetD3DDisplay(1);
        if (cam->OpenMainStreamVideo(servers[i].sUrl.c_str()) != 0 || cam->SetDecodeEnable(false, true) != 0) {
            printf("%s: camera %d did not open %s\n", pName, i, servers[i].sUrl.c_str());
            ok = 0;
        }
    }
    // Settled: every camera has shown a picture (decoding starts at a key
    // picture), and one more second has passed.
    double until = BenchNow() + 30;
    for (int i = 0; ok && i < nCameras && BenchNow() < until; usleep(50000)) {
        std::lock_guard<std::mutex> g(tallies[i].lock);
        if (tallies[i].nLast >= 0)
            i++;
    }
    usleep(1000000);
    std::string loadBefore = LoadAverage();
    double cpu0 = BenchCpuSeconds(), t0 = BenchNow();
    for (Tally &t : tallies) {
        std::lock_guard<std::mutex> g(t.lock);
        t.bCounting = 1;
    }
    usleep((useconds_t)nSeconds * 1000000);
    double cpu = BenchCpuSeconds() - cpu0, wall = BenchNow() - t0;
    for (Tally &t : tallies) {
        std::lock_guard<std::mutex> g(t.lock);
        t.bCounting = 0;
    }
    long total = 0, lost = 0, expected = 0, maxBehind = 0;
    for (int i = 0; i < nCameras; i++) {
        IpCameraHealth h;
        memset(&h, 0, sizeof h);
        if (i < (int)cams.size())
            cams[i]->GetHealth(&h);
        // Latest frame sent, against the latest shown: still on its way.
        long sent = LinesIn(servers[i].sSendLog) - 1;
        std::lock_guard<std::mutex> g(tallies[i].lock);
        const Tally &t = tallies[i];
        long behind = t.nLast < 0 ? sent + 1 : sent - t.nLast;
        printf("%-8s %3d  %-8s %8ld %9ld %5ld %6ld %7ld %6ld %7ld\n", pName, i + 1, PathName(h.nDecodePath),
               t.nPictures + t.nLost, t.nPictures, t.nLost, behind, t.nRepeats + t.nWrongSize, (long)h.nWithheld,
               (long)h.nDecodeErrors);
        total += t.nPictures;
        lost += t.nLost;
        expected += t.nPictures + t.nLost;
        maxBehind = behind > maxBehind ? behind : maxBehind;
        int pathOk = bMarked ? h.nDecodePath == IPC_DECODE_BUILTIN
                             : h.nDecodePath == IPC_DECODE_FFMPEG || h.nDecodePath == IPC_DECODE_HARDWARE;
        if (!pathOk || t.nPictures == 0 || t.nLost > 0 || behind > kMaxBehind || t.nRepeats + t.nWrongSize > 0)
            ok = 0;
    }
    printf("%-8s all  per camera: expected %.1f delivered %.1f lost %.1f (max behind %ld) | CPU %.2f ms/picture, "
           "%.1f%% of a core per camera | wall %.1f s | load %s -> %s | %s\n",
           pName, (double)expected / nCameras, (double)total / nCameras, (double)lost / nCameras, maxBehind,
           total > 0 ? cpu * 1000 / total : 0.0, cpu / wall / nCameras * 100, wall, loadBefore.c_str(),
           LoadAverage().c_str(), ok ? "no lost picture" : "LOST OR LATE PICTURES");
    fflush(stdout);
    cams.clear();  // closes every stream before its camera goes
    for (TestCamera &s : servers)
        StopCamera(&s);
    return ok ? 0 : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    int nSeconds = argc > 1 ? atoi(argv[1]) : 20;
    int nCameras = argc > 2 ? atoi(argv[2]) : 8;
    if (nSeconds <= 0 || nCameras <= 0 || nCameras > 64) {
        fprintf(stderr, "usage: ipcam-bench-multi-camera [SECONDS [CAMERAS]]\n");
        return 2;
    }
    if (system("x265 --version > /dev/null 2>&1") != 0 || system("ffmpeg -version > /dev/null 2>&1") != 0) {
        fprintf(stderr, "ipcam-bench-multi-camera: needs the ffmpeg and x265 command-line tools\n");
        return 1;
    }
    char dirTemplate[] = "/tmp/ipcam-multi-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr)
        return 1;
    std::string dir = dirTemplate, clip = dir + "/clip.hevc";
    fprintf(stderr, "ipcam-bench-multi-camera: encoding the 1080p25 clip with x265 ...\n");
    if (MakeClip(clip) != 0) {
        fprintf(stderr, "ipcam-bench-multi-camera: the clip could not be made\n");
        system(("rm -rf '" + dir + "'").c_str());
        return 1;
    }
    FILE *f = fopen(clip.c_str(), "rb");
    long bytes = 0;
    if (f != nullptr) {
        fseek(f, 0, SEEK_END);
        bytes = ftell(f);
        fclose(f);
    }
    // The library's log lines would drown the table.
    if (!getenv("IPCAM_BENCH_LOG") && !freopen("/dev/null", "w", stderr))
        return 1;

    printf("%d cameras, %d s each path, 1920x1080 %d fps H.265, %.2f Mbit/s, key picture every 2 s, "
           "raw HTTP test cameras, planar (I420) output; %ld CPUs online\n",
           nCameras, nSeconds, kFps, bytes * 8.0 / (kClipFrames / (double)kFps) / 1e6, sysconf(_SC_NPROCESSORS_ONLN));
    printf("expected: frames sent from the last picture before the window to the last one in it; lost: their\n"
           "frame numbers never shown; behind: frames sent but not yet shown at the end; odd: repeated or\n"
           "wrong-size pictures; withheld/errors: the camera's own health counters\n");
    printf("path     cam  decoder  expected delivered  lost behind     odd withheld errors\n");
    int builtIn = RunPath("marked", clip, dir, 1, nCameras, nSeconds);
    int ffmpeg = RunPath("unmarked", clip, dir, 0, nCameras, nSeconds);
    system(("rm -rf '" + dir + "'").c_str());
    return builtIn == 0 && ffmpeg == 0 ? 0 : 1;
}
