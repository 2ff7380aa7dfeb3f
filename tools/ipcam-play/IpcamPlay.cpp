// ipcam-play: plays one or more camera addresses through the library's
// public interface, exactly as a host would, and prints one status line per
// camera per second. It includes nothing of the library but its public
// header, so it also proves that header and the exported symbols complete.

#include <ipcamera/IpCamera.h>

#include <glob.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct PlayOptions {
    int nConnectType;
    int bD3D;
    int nSmooth;        // 0 off, else the smooth-stream mode handed to the camera
    int nTickMs;        // SendVideoCond period of the ticker thread
    int bAudio;
    int nDuration;      // seconds; 0 until interrupted
    std::string sRecord;
    int nRecordSeconds; // 0: record for the whole run
    std::string sSnapshot;
    int bMask;
    MaskAreaParam mask;
    int bReconnect;
    std::vector<std::string> urls;
};

// Counters written by the camera's decode thread (callbacks) and read by
// the main thread once a second; relaxed atomics, no lock.
struct PlayCamera {
    CIpCamera *pCam;
    int nIndex;
    std::string sUrl;
    std::string sSnapshot;
    int bOpen;
    std::atomic<long long> nFrames;
    std::atomic<long long> nAudioUnits;
    std::atomic<long long> nDataPackets;
    std::atomic<int> nWidth;
    std::atomic<int> nHeight;
    std::atomic<int> nAudioRate;
    // Main thread only.
    long long nLastFrames;
    long long nLastAudio;
    int bRecording;
    int nRecordStarted;  // second of the run the recording started at, -1 none
    int bFinishReported;
};

std::atomic<int> g_bStop(0);

void OnSignal(int) { g_bStop.store(1); }

int OnVideo(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth, int nHeight)
{
    PlayCamera *p = (PlayCamera *)pUser;
    // A paused stream repeats its last picture; before the first one that
    // repeat carries no picture at all.
    if (!pFrame)
        return 0;
    p->nWidth.store(nWidth, std::memory_order_relaxed);
    p->nHeight.store(nHeight, std::memory_order_relaxed);
    p->nFrames.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int OnAudio(void *pCamera, void *pUser, unsigned short *pSamples, int nCount, int nRate)
{
    PlayCamera *p = (PlayCamera *)pUser;
    p->nAudioUnits.fetch_add(nCount, std::memory_order_relaxed);
    p->nAudioRate.store(nRate, std::memory_order_relaxed);
    return 0;
}

int OnData(void *pCamera, void *pUser, unsigned char *pData, int nLength)
{
    PlayCamera *p = (PlayCamera *)pUser;
    p->nDataPackets.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

const char *StateName(int nState)
{
    switch (nState) {
    case IPC_STATE_CONNECTING: return "connecting";
    case IPC_STATE_STREAMING: return "streaming";
    case IPC_STATE_STALLED: return "stalled";
    case IPC_STATE_LOST: return "lost";
    case IPC_STATE_RECONNECTING: return "reconnecting";
    case IPC_STATE_CLOSED: return "closed";
    default: return "idle";
    }
}

// Runs on the camera's reconnect thread; stdout is line-buffered, so each
// event is one whole line.
int OnState(void *pCamera, void *pUser, int nState, int nReason, int nValue, const char *pText)
{
    PlayCamera *p = (PlayCamera *)pUser;
    if (nState == IPC_STATE_RECONNECTING)
        printf("cam%d state: reconnecting in %d ms (%s)\n", p->nIndex, nValue, pText);
    else
        printf("cam%d state: %s (%s)\n", p->nIndex, StateName(nState), pText);
    return 0;
}

void PrintUsage(FILE *pOut)
{
    fprintf(pOut,
            "usage: ipcam-play [options] ADDRESS [ADDRESS...]\n"
            "  ADDRESS is rtsp://host[:port]/path, a local media file, or http://... for a\n"
            "  camera that sends the raw framed stream.\n"
            "  --connect-type N   0 RTSP over UDP with TCP fallback (default), 1 RTSP over\n"
            "                     TCP, 2 HTTP\n"
            "  --d3d              planar I420 pictures (D3D display mode) instead of BGR\n"
            "  --smooth [N]       smooth-stream mode N (default 1) with a SendVideoCond\n"
            "                     ticker every --tick-ms milliseconds (default 2)\n"
            "  --tick-ms MS\n"
            "  --audio / --no-audio   deliver decoded audio to the host (default on)\n"
            "  --duration SEC     play for SEC seconds (default 10; 0 until Ctrl-C)\n"
            "  --record PATH.avi  record each camera from its first picture on (camera N>1\n"
            "                     writes PATH-N.avi); the finished file is PATH_SECONDS.avi\n"
            "  --record-seconds N stop the recording after N seconds (default: whole run)\n"
            "  --snapshot PATH.jpg  write a JPEG of the first picture (PATH-N.jpg for N>1)\n"
            "  --mask x,y,w,h,refw,refh   black out a rectangle (reference coordinates,\n"
            "                     y from the top)\n"
            "  --reconnect        reopen a lost camera by itself (lost after 5 s without\n"
            "                     data or when its connection closes; retries back off\n"
            "                     from 1 s to 10 s); prints state changes and health\n");
}

int ParseInt(const char *pText, int nMin, int nMax, int *pValue)
{
    char *pEnd = nullptr;
    long n = strtol(pText, &pEnd, 10);
    if (pEnd == pText || *pEnd != '\0' || n < nMin || n > nMax)
        return -1;
    *pValue = (int)n;
    return 0;
}

bool EndsWith(const std::string &s, const char *pSuffix)
{
    size_t n = strlen(pSuffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, pSuffix) == 0;
}

int ParseOptions(int argc, char **argv, PlayOptions *pOpt)
{
    pOpt->nConnectType = 0;
    pOpt->bD3D = 0;
    pOpt->nSmooth = 0;
    pOpt->nTickMs = 2;
    pOpt->bAudio = 1;
    pOpt->nDuration = 10;
    pOpt->nRecordSeconds = 0;
    pOpt->bMask = 0;
    pOpt->bReconnect = 0;
    memset(&pOpt->mask, 0, sizeof pOpt->mask);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *pNext = i + 1 < argc ? argv[i + 1] : nullptr;
        int bad = 0;
        if (a == "--connect-type" || a == "--tick-ms" || a == "--duration" || a == "--record" ||
            a == "--record-seconds" || a == "--snapshot" || a == "--mask") {
            if (!pNext) {
                fprintf(stderr, "ipcam-play: %s needs a value\n", a.c_str());
                return -1;
            }
            i++;
            if (a == "--connect-type")
                bad = ParseInt(pNext, 0, 1000, &pOpt->nConnectType);
            else if (a == "--tick-ms")
                bad = ParseInt(pNext, 1, 1000, &pOpt->nTickMs);
            else if (a == "--duration")
                bad = ParseInt(pNext, 0, 86400, &pOpt->nDuration);
            else if (a == "--record-seconds")
                bad = ParseInt(pNext, 1, 86400, &pOpt->nRecordSeconds);
            else if (a == "--record") {
                pOpt->sRecord = pNext;
                // The library names the finished file PATH-minus-4-chars_SECONDS.avi.
                bad = !EndsWith(pOpt->sRecord, ".avi") || pOpt->sRecord.size() > 200;
            } else if (a == "--snapshot") {
                pOpt->sSnapshot = pNext;
                bad = pOpt->sSnapshot.size() > 200;
            } else {
                MaskAreaParam *m = &pOpt->mask;
                char tail = 0;
                bad = sscanf(pNext, "%d,%d,%d,%d,%d,%d%c", &m->nX, &m->nY, &m->nWidth, &m->nHeight,
                             &m->nRefWidth, &m->nRefHeight, &tail) != 6 ||
                      m->nRefWidth <= 0 || m->nRefHeight <= 0 || m->nWidth <= 0 || m->nHeight <= 0;
                m->bEnable = 1;
                pOpt->bMask = 1;
            }
        } else if (a == "--smooth") {
            pOpt->nSmooth = 1;
            if (pNext && ParseInt(pNext, 1, 1000, &pOpt->nSmooth) == 0)
                i++;
        } else if (a == "--reconnect") {
            pOpt->bReconnect = 1;
        } else if (a == "--d3d") {
            pOpt->bD3D = 1;
        } else if (a == "--audio") {
            pOpt->bAudio = 1;
        } else if (a == "--no-audio") {
            pOpt->bAudio = 0;
        } else if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            exit(0);
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "ipcam-play: unknown option %s\n", a.c_str());
            return -1;
        } else {
            if (a.size() > 255) {
                fprintf(stderr, "ipcam-play: address longer than 255 characters\n");
                return -1;
            }
            pOpt->urls.push_back(a);
        }
        if (bad) {
            fprintf(stderr, "ipcam-play: bad value for %s\n", a.c_str());
            return -1;
        }
    }
    if (pOpt->urls.empty()) {
        fprintf(stderr, "ipcam-play: no address given\n");
        return -1;
    }
    return 0;
}

// PATH.ext for camera 1, PATH-N.ext for camera N.
std::string NumberedPath(const std::string &path, int nIndex)
{
    if (path.empty() || nIndex == 1)
        return path;
    size_t dot = path.rfind('.');
    char suffix[16];
    snprintf(suffix, sizeof suffix, "-%d", nIndex);
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

// The finished recording carries its length in its name: find the newest
// PATH-minus-".avi"_N.avi.
std::string FindFinishedRecording(const std::string &path)
{
    std::string pattern = path.substr(0, path.size() - 4) + "_*.avi";
    glob_t g;
    std::string best;
    time_t bestTime = 0;
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; i++) {
            struct stat st;
            if (stat(g.gl_pathv[i], &st) == 0 && st.st_mtime >= bestTime) {
                bestTime = st.st_mtime;
                best = g.gl_pathv[i];
            }
        }
    }
    globfree(&g);
    return best;
}

void TickerThread(std::vector<PlayCamera *> *pCams, int nTickMs)
{
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!g_bStop.load()) {
        for (PlayCamera *p : *pCams)
            if (p->bOpen)
                p->pCam->SendVideoCond();
        next.tv_nsec += (long)nTickMs * 1000000L;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            next.tv_sec++;
        }
        // Absolute deadlines keep the rate steady however long a call took.
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
}

double Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

void StopRecording(PlayCamera *p, const std::string &path)
{
    if (!p->bRecording)
        return;
    p->pCam->StopSaveAvi(1);
    p->bRecording = 0;
    std::string done = FindFinishedRecording(path);
    if (!done.empty())
        printf("cam%d recording: %s\n", p->nIndex, done.c_str());
    else
        printf("cam%d recording: no file was written for %s\n", p->nIndex, path.c_str());
}

// A recording starts once pictures flow: an RTSP source's picture size is
// known only from its first decoded picture, and the AVI header needs it.
void StartRecording(PlayCamera *p, const std::string &path, int nSecond)
{
    p->nRecordStarted = nSecond;
    p->pCam->SetSaveRecordPath(path.c_str());
    if (p->pCam->StartSaveAvi(1) == 0) {
        p->bRecording = 1;
        printf("cam%d recording to %s\n", p->nIndex, path.c_str());
    } else {
        printf("cam%d recording did not start: %s\n", p->nIndex, path.c_str());
    }
}

void PrintStatus(PlayCamera *p, int nSecond, int bHealth)
{
    long long frames = p->nFrames.load(std::memory_order_relaxed);
    long long audio = p->nAudioUnits.load(std::memory_order_relaxed);
    char szHealth[256] = "";
    IpCameraHealth h;
    if (bHealth && p->pCam->GetHealth(&h) == 0) {
        static const char *const paths[] = {"none", "built-in", "ffmpeg", "hardware"};
        snprintf(szHealth, sizeof szHealth,
                 " | %s pictures=%lld withheld=%lld errors=%lld corrupt=%lld bytes=%lld last=%ds "
                 "reconnects=%d decode=%s%s%s",
                 StateName(h.nState), (long long)h.nPictures, (long long)h.nWithheld, (long long)h.nDecodeErrors,
                 (long long)h.nCorruptPackets, (long long)h.nBytes, h.nSecondsSinceLastPicture, h.nReconnects,
                 paths[h.nDecodePath & 3], h.szLastError[0] ? " error=" : "", h.szLastError);
    }
    printf("[%3ds] cam%d frames=%lld fps=%lld kbit/s=%.1f size=%dx%d audio=%lld units/s @%d Hz "
           "data=%lld%s%s\n",
           nSecond, p->nIndex, frames, frames - p->nLastFrames, p->pCam->getBitRate(),
           p->nWidth.load(std::memory_order_relaxed), p->nHeight.load(std::memory_order_relaxed),
           audio - p->nLastAudio, p->nAudioRate.load(std::memory_order_relaxed),
           p->nDataPackets.load(std::memory_order_relaxed),
           p->pCam->IsMainVideoFinish() ? " finished" : "", szHealth);
    p->nLastFrames = frames;
    p->nLastAudio = audio;
}

}  // namespace

int main(int argc, char **argv)
{
    PlayOptions opt;
    if (ParseOptions(argc, argv, &opt) != 0) {
        PrintUsage(stderr);
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    std::vector<PlayCamera *> cams;
    for (size_t i = 0; i < opt.urls.size(); i++) {
        PlayCamera *p = new PlayCamera();
        p->nIndex = (int)i + 1;
        p->sUrl = opt.urls[i];
        p->sSnapshot = NumberedPath(opt.sSnapshot, p->nIndex);
        p->nRecordStarted = -1;
        char name[32];
        snprintf(name, sizeof name, "cam%d", p->nIndex);
        p->pCam = new CIpCamera(p->nIndex, name, p->sUrl.c_str());
        cams.push_back(p);
    }

    // The connect type is process-wide: the last camera's setting wins,
    // so every camera gets the same one.
    int nOpened = 0;
    for (PlayCamera *p : cams) {
        CIpCamera *c = p->pCam;
        c->SetSmoothStream(opt.nSmooth);
        c->SetD3DDisplay(opt.bD3D);
        c->SetConnectType(opt.nConnectType);
        c->SetAudioBufCallBack(OnAudio, p);
        c->SetDataBufCallBack(OnData, p);
        c->m_bAudioEnable = opt.bAudio;
        if (opt.bMask)
            c->SetMaskAreaParam(&opt.mask);
        if (opt.bReconnect) {
            c->SetAutoReconnect(true, 10000);
            c->SetNoDataLimit(5000);
            c->SetStateCallBack(OnState, p);
        }
        // Video and display callbacks are cleared by every close, so they
        // are registered right before each open.
        c->SetVideoBufCallBack(OnVideo, p);
        if (c->OpenMainStreamVideo(p->sUrl.c_str()) != 0) {
            printf("cam%d open failed: %s\n", p->nIndex, p->sUrl.c_str());
            continue;
        }
        p->bOpen = 1;
        nOpened++;
        printf("cam%d opened: %s\n", p->nIndex, p->sUrl.c_str());
        c->SetDecodeEnable(false, true);
        if (!p->sSnapshot.empty()) {
            unlink(p->sSnapshot.c_str());
            c->SetSaveImagePath(p->sSnapshot.c_str());
            c->SaveImage(1, 1);
        }
    }

    std::thread ticker;
    if (opt.nSmooth && nOpened > 0)
        ticker = std::thread(TickerThread, &cams, opt.nTickMs);

    double start = Now();
    int nSecond = 0;
    while (!g_bStop.load() && nOpened > 0) {
        double wake = start + nSecond + 1;
        while (!g_bStop.load() && Now() < wake)
            usleep(20000);
        if (g_bStop.load())
            break;
        nSecond++;
        for (PlayCamera *p : cams) {
            if (!p->bOpen)
                continue;
            PrintStatus(p, nSecond, opt.bReconnect);
            std::string path = NumberedPath(opt.sRecord, p->nIndex);
            if (!path.empty() && p->nRecordStarted < 0 && p->nFrames.load() > 0)
                StartRecording(p, path, nSecond);
            else if (p->bRecording && opt.nRecordSeconds > 0 &&
                     nSecond - p->nRecordStarted >= opt.nRecordSeconds)
                StopRecording(p, path);
        }
        if (opt.nDuration > 0 && nSecond >= opt.nDuration)
            break;
    }
    g_bStop.store(1);
    if (ticker.joinable())
        ticker.join();

    int nPlayed = 0;
    for (PlayCamera *p : cams) {
        if (p->bOpen) {
            StopRecording(p, NumberedPath(opt.sRecord, p->nIndex));
            p->pCam->CloseMainStreamVideo();
            if (p->nFrames.load() > 0)
                nPlayed++;
            else
                printf("cam%d delivered no picture\n", p->nIndex);
            struct stat st;
            if (!p->sSnapshot.empty()) {
                if (stat(p->sSnapshot.c_str(), &st) == 0)
                    printf("cam%d snapshot: %s (%lld bytes)\n", p->nIndex, p->sSnapshot.c_str(),
                           (long long)st.st_size);
                else
                    printf("cam%d snapshot: none written\n", p->nIndex);
            }
        }
        delete p->pCam;
        delete p;
    }
    printf("ipcam-play: %d of %zu cameras played\n", nPlayed, opt.urls.size());
    return nPlayed == (int)opt.urls.size() ? 0 : 1;
}
