#include "E2eSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

double E2eNow()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::string E2eRun(const std::string &cmd, int *pStatus)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    if (pStatus)
        *pStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

long E2eRssKb()
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, "VmRSS:", 6) == 0)
            kb = strtol(line + 6, nullptr, 10);
    fclose(f);
    return kb;
}

std::string E2eClip(const char *pName, const std::vector<std::string> &args)
{
    std::string dir = std::string(IPCAMERA_BINARY_DIR) + "/e2e-media";
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + pName;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0)
        return path;
    // Several test programs may ask for the same clip at once: each writes
    // its own temporary file and renames it into place.
    char tmp[64];
    snprintf(tmp, sizeof tmp, ".tmp%d", (int)getpid());
    std::string tmpPath = path;
    size_t dot = tmpPath.rfind('.');
    tmpPath.insert(dot, tmp);
    std::string cmd = std::string("bash '") + IPCAMERA_SOURCE_DIR + "/tests/tools/make_test_clip.sh' '" +
                      tmpPath + "'";
    for (const std::string &a : args)
        cmd += " '" + a + "'";
    if (system(cmd.c_str()) != 0 || rename(tmpPath.c_str(), path.c_str()) != 0) {
        unlink(tmpPath.c_str());
        return "";
    }
    return path;
}

std::string E2eStandardClip()
{
    return E2eClip("h264_aac_6s.mp4", {"--video", "h264", "--audio", "aac", "--seconds", "6", "--gop", "25"});
}

ClipMarkers E2eMarkers(int w, int h)
{
    int mx = w / 16, my = h / 16, mw = w / 8, mh = h / 8;
    ClipMarkers m;
    m.nRedX = mx + mw / 2;
    m.nRedY = my + mh / 2;
    m.nBlueX = w - mx - mw + mw / 2;
    m.nBlueY = h - my - mh + mh / 2;
    m.nCountX = mx + mw / 2;
    m.nCountY = m.nBlueY;
    return m;
}

const unsigned char *E2eBgrAt(const std::vector<unsigned char> &frame, int x, int y)
{
    return &frame[((size_t)(kE2eH - 1 - y) * kE2eW + x) * 3];
}

// Frame number (mod 50) shown by the counter box, from its luma.
static int CounterFromLuma(int nLuma)
{
    int n = (nLuma - 16 + 2) / 4;
    return std::min(49, std::max(0, n));
}

bool E2eHaveRtspCamera()
{
#ifdef IPCAMERA_TEST_RTSP_CAMERA
    return access(IPCAMERA_TEST_RTSP_CAMERA, X_OK) == 0;
#else
    return false;
#endif
}


int RtspServerStart(RtspServer *pServer, const std::vector<std::string> &args)
{
#ifdef IPCAMERA_TEST_RTSP_CAMERA
    return E2eServerStart(IPCAMERA_TEST_RTSP_CAMERA, pServer, args);
#else
    pServer->nPid = -1;
    return -1;
#endif
}

int HttpCameraStart(RtspServer *pServer, const std::vector<std::string> &args)
{
    return E2eServerStart(IPCAMERA_TEST_HTTP_CAMERA, pServer, args);
}

int E2eServerStart(const char *pProgram, RtspServer *pServer, const std::vector<std::string> &args)
{
    pServer->nPid = -1;
    pServer->sUrl.clear();
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        // The camera goes away with the test, however the test ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0 && !getenv("IPCAM_E2E_SERVER_LOG"))
            dup2(devnull, 2);
        std::vector<char *> argv;
        argv.push_back((char *)pProgram);
        for (const std::string &a : args)
            argv.push_back((char *)a.c_str());
        argv.push_back(nullptr);
        execv(pProgram, argv.data());
        _exit(127);
    }
    close(fds[1]);
    pServer->nPid = pid;
    // Wait up to 10 s for "<program>: ready <url>".
    std::string out;
    double end = E2eNow() + 10;
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    while (E2eNow() < end && out.find('\n') == std::string::npos) {
        char buf[256];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            out.append(buf, n);
        else if (n == 0)
            break;
        else
            usleep(10000);
    }
    close(fds[0]);
    size_t at = out.find("ready ");
    if (at == std::string::npos) {
        RtspServerKill(pServer);
        return -1;
    }
    pServer->sUrl = out.substr(at + 6, out.find('\n', at) - at - 6);
    return 0;
}

static void ReapServer(RtspServer *pServer, int nSignal, double timeout)
{
    if (pServer->nPid <= 0)
        return;
    kill(pServer->nPid, nSignal);
    double end = E2eNow() + timeout;
    while (E2eNow() < end) {
        if (waitpid(pServer->nPid, nullptr, WNOHANG) == pServer->nPid) {
            pServer->nPid = -1;
            return;
        }
        usleep(10000);
    }
    kill(pServer->nPid, SIGKILL);
    waitpid(pServer->nPid, nullptr, 0);
    pServer->nPid = -1;
}

void RtspServerStop(RtspServer *pServer) { ReapServer(pServer, SIGTERM, 3); }
void RtspServerKill(RtspServer *pServer) { ReapServer(pServer, SIGKILL, 3); }

int E2eThreadCount()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/task")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

int E2eSilentListener(int *pPort)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, (struct sockaddr *)&a, sizeof a) != 0 || listen(s, 16) != 0 ||
        getsockname(s, (struct sockaddr *)&a, &len) != 0) {
        close(s);
        return -1;
    }
    *pPort = ntohs(a.sin_port);
    return s;
}

std::string E2eRefusedUrl()
{
    // A port that just listened: nothing listens there once it is closed.
    int port = -1;
    int s = E2eSilentListener(&port);
    if (s >= 0)
        close(s);
    return "rtsp://127.0.0.1:" + std::to_string(port) + "/cam";
}

static int RecorderAudio(void *pCamera, void *pUser, unsigned short *pSamples, int nCount, int nRate);
static int RecorderData(void *pCamera, void *pUser, unsigned char *pData, int nLength);
static int RecorderDisplay(void *pCamera, void *pUser);

void RecorderAttach(Recorder *pRec, CIpCamera *pCamera, int bPlanar)
{
    {
        std::lock_guard<std::mutex> g(pRec->lock);
        pRec->pCamera = pCamera;
        pRec->bWrongCamera = pRec->nFrames = pRec->nNullFrames = pRec->nWidth = pRec->nHeight = 0;
        pRec->first.clear();
        pRec->nFirstCounter = -1;
        pRec->nAudioEvents = pRec->nAudioRate = 0;
        pRec->nAudioUnits = 0;
        pRec->pcm.clear();
        pRec->nDataEvents = 0;
        pRec->data.clear();
        pRec->nDisplay = pRec->nVideoAfterDisplay = pRec->bLastWasDisplay = 0;
        pRec->bPlanar = bPlanar;
    }
    pCamera->SetVideoBufCallBack(RecorderVideo, pRec);
    pCamera->SetAudioBufCallBack(RecorderAudio, pRec);
    pCamera->SetDataBufCallBack(RecorderData, pRec);
    pCamera->SetDisplayBufCallBack(RecorderDisplay, pRec);
}

int E2ePlay(CIpCamera *pCamera, Recorder *pRec, const std::string &url, int bPlanar, int nConnectType)
{
    RecorderAttach(pRec, pCamera, bPlanar);
    pCamera->SetD3DDisplay(bPlanar);
    pCamera->SetConnectType(nConnectType);
    if (pCamera->OpenMainStreamVideo(url.c_str()) != 0 || !pCamera->IsMainVideoOpenSuc())
        return -1;
    return pCamera->SetDecodeEnable(false, true);
}

int E2eCounterOf(const unsigned char *pFrame, int w, int h, int bPlanar)
{
    ClipMarkers m = E2eMarkers(w, h);
    if (bPlanar)
        return CounterFromLuma(pFrame[m.nCountY * w + m.nCountX]);
    // BGR bottom-up: the grey box has equal channels; take BT.601 luma.
    const unsigned char *p = pFrame + ((size_t)(h - 1 - m.nCountY) * w + m.nCountX) * 3;
    double y = 16 + (65.481 * p[2] + 128.553 * p[1] + 24.966 * p[0]) / 255.0;
    return CounterFromLuma((int)(y + 0.5));
}

int RecorderVideo(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth, int nHeight)
{
    Recorder *r = (Recorder *)pUser;
    std::lock_guard<std::mutex> g(r->lock);
    if (pCamera != r->pCamera)
        r->bWrongCamera = 1;
    if (r->bLastWasDisplay)
        r->nVideoAfterDisplay++;
    r->bLastWasDisplay = 0;
    if (!pFrame) {
        r->nNullFrames++;
        return 0;
    }
    r->nFrames++;
    r->nWidth = nWidth;
    r->nHeight = nHeight;
    if (r->first.empty() && nWidth > 0 && nHeight > 0) {
        size_t size = r->bPlanar ? (size_t)nWidth * nHeight * 3 / 2 : (size_t)nWidth * nHeight * 3;
        r->first.assign(pFrame, pFrame + size);
        r->nFirstCounter = E2eCounterOf(pFrame, nWidth, nHeight, r->bPlanar);
    }
    return 0;
}

static int RecorderAudio(void *pCamera, void *pUser, unsigned short *pSamples, int nCount, int nRate)
{
    Recorder *r = (Recorder *)pUser;
    std::lock_guard<std::mutex> g(r->lock);
    if (pCamera != r->pCamera)
        r->bWrongCamera = 1;
    r->nAudioEvents++;
    r->nAudioUnits += nCount;
    for (int i = 0; i < nCount && r->pcm.size() < 32000; i++)
        r->pcm.push_back((short)pSamples[i]);
    r->nAudioRate = nRate;
    return 0;
}

static int RecorderData(void *pCamera, void *pUser, unsigned char *pData, int nLength)
{
    Recorder *r = (Recorder *)pUser;
    std::lock_guard<std::mutex> g(r->lock);
    if (pCamera != r->pCamera)
        r->bWrongCamera = 1;
    r->nDataEvents++;
    if (r->data.size() < 64 && nLength >= 0)
        r->data.emplace_back(pData, pData + nLength);
    return 0;
}

static int RecorderDisplay(void *pCamera, void *pUser)
{
    Recorder *r = (Recorder *)pUser;
    std::lock_guard<std::mutex> g(r->lock);
    if (pCamera != r->pCamera)
        r->bWrongCamera = 1;
    r->nDisplay++;
    r->bLastWasDisplay = 1;
    return 0;
}

int RecorderCount(Recorder *pRec, int Recorder::*pField)
{
    std::lock_guard<std::mutex> g(pRec->lock);
    return pRec->*pField;
}

int RecorderFrames(Recorder *pRec) { return RecorderCount(pRec, &Recorder::nFrames); }
