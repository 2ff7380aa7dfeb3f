#ifndef IPCAMERA_TESTS_E2E_SUPPORT_H
#define IPCAMERA_TESTS_E2E_SUPPORT_H

// Shared helpers of the end-to-end tests: generated media (cached in the
// build tree so all test programs share it), the RTSP test camera as a
// child process, callback recorders and a stderr capture for log lines.

#include <ipcamera/IpCamera.h>
#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

// Path of a clip made by tests/tools/make_test_clip.sh with the given
// arguments, generated on first use; "" when it cannot be made. pName is
// the cached file's name (its extension picks the container).
std::string E2eClip(const char *pName, const std::vector<std::string> &args);

// Marker geometry of make_test_clip.sh for a w x h picture.
struct ClipMarkers {
    int nRedX, nRedY;      // centre of the red box (top left), y from the top
    int nBlueX, nBlueY;    // centre of the blue box (bottom right)
    int nCountX, nCountY;  // centre of the frame counter box (bottom left)
};
ClipMarkers E2eMarkers(int nWidth, int nHeight);
// Frame number (mod 50) shown by the counter box, from its luma.
int E2eCounterFromLuma(int nLuma);

// The RTSP test camera, started as a child of the test process.
struct RtspServer {
    pid_t nPid;
    std::string sUrl;
    int nPort;
};
bool E2eHaveRtspCamera();
// Starts ipcam-test-rtsp with the arguments and waits for its ready line.
int RtspServerStart(RtspServer *pServer, const std::vector<std::string> &args);
void RtspServerStop(RtspServer *pServer);   // SIGTERM, then SIGKILL
void RtspServerKill(RtspServer *pServer);   // SIGKILL at once
// A TCP port on 127.0.0.1 that nothing listens on (just released).
int E2eClosedPort();

// Everything the four callbacks saw. Callbacks run on the decode thread;
// tests read under the lock.
struct Recorder {
    std::mutex lock;
    void *pCamera;                 // the camera the callbacks were registered on
    int bWrongCamera;              // a callback got another first argument
    int nFrames;                   // video events with a picture
    int nNullFrames;               // video events without one (paused, no picture yet)
    int nWidth, nHeight;           // of the last picture
    int bKeepFirst;                // copy the first picture
    std::vector<unsigned char> first;
    int nFirstCounter;             // counter box of the first picture, -1 unknown
    int nAudioEvents;
    long long nAudioUnits;
    int nAudioRate;
    std::vector<short> pcm;        // the first 32,000 audio units, as delivered
    int nDataEvents;
    std::vector<std::vector<unsigned char>> data;  // the first 64 payloads
    int nDisplay;                  // display refresh events
    int nVideoAfterDisplay;        // video events right after a display refresh
    int bLastWasDisplay;
    int bPlanar;                   // pictures are I420 (for the counter box)
};
void RecorderInit(Recorder *pRec, CIpCamera *pCamera, int bPlanar);
// Registers all four callbacks on the camera.
void RecorderAttach(Recorder *pRec, CIpCamera *pCamera);
int RecorderVideo(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth, int nHeight);
int RecorderAudio(void *pCamera, void *pUser, unsigned short *pSamples, int nCount, int nRate);
int RecorderData(void *pCamera, void *pUser, unsigned char *pData, int nLength);
int RecorderDisplay(void *pCamera, void *pUser);
int RecorderFrames(Recorder *pRec);

// Polls pred every 20 ms for up to nTimeoutMs; true when it held.
template <typename Pred>
bool E2eWaitFor(Pred pred, int nTimeoutMs);

// Captures the process's stderr (the library's log lines) into a file.
struct LogCapture {
    int nSavedFd;
    std::string sPath;
};
void LogCaptureBegin(LogCapture *pCap);
std::string LogCaptureEnd(LogCapture *pCap);  // restores stderr, returns the text

// Resident set size of this process in KiB.
long E2eRssKb();
double E2eNow();  // monotonic seconds

#include <unistd.h>
template <typename Pred>
bool E2eWaitFor(Pred pred, int nTimeoutMs)
{
    double end = E2eNow() + nTimeoutMs / 1000.0;
    for (;;) {
        if (pred())
            return true;
        if (E2eNow() > end)
            return false;
        usleep(20000);
    }
}

#endif
