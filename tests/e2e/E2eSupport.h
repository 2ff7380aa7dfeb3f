#ifndef IPCAMERA_TESTS_E2E_SUPPORT_H
#define IPCAMERA_TESTS_E2E_SUPPORT_H

// Shared helpers of the end-to-end tests: generated media (cached in the
// build tree so all test programs share it), the RTSP test camera as a
// child process and a recorder of what the host callbacks saw.

#include <gtest/gtest.h>
#include <ipcamera/IpCamera.h>
#include <sys/types.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

const int kE2eW = 320, kE2eH = 240;  // picture size of every generated clip

// Path of a clip made by tests/tools/make_test_clip.sh with the given
// arguments, generated on first use; "" when it cannot be made. pName is
// the cached file's name (its extension picks the container).
std::string E2eClip(const char *pName, const std::vector<std::string> &args);
// Six seconds of H.264 and AAC with a key frame every 25 pictures: the
// clip most tests serve.
std::string E2eStandardClip();

// Marker geometry of make_test_clip.sh for a w x h picture.
struct ClipMarkers {
    int nRedX, nRedY;      // centre of the red box (top left), y from the top
    int nBlueX, nBlueY;    // centre of the blue box (bottom right)
    int nCountX, nCountY;  // centre of the frame counter box (bottom left)
};
ClipMarkers E2eMarkers(int nWidth, int nHeight);
// Frame number mod 50 shown by the counter box of a picture in either layout.
int E2eCounterOf(const unsigned char *pFrame, int nWidth, int nHeight, int bPlanar);
// Pixel (x, y from the top) of a classic picture: BGR, bottom row first.
const unsigned char *E2eBgrAt(const std::vector<unsigned char> &frame, int x, int y);

// A test camera, started as a child of the test process.
struct RtspServer {
    pid_t nPid;
    std::string sUrl;
};
bool E2eHaveRtspCamera();
#define E2E_REQUIRE_RTSP_CAMERA()                                                  \
    do {                                                                           \
        if (!E2eHaveRtspCamera())                                                  \
            GTEST_SKIP() << "ipcam-test-rtsp was not built (gst-rtsp-server missing)"; \
    } while (0)
// Start ipcam-test-rtsp / ipcam-test-http with the arguments and wait for
// its ready line.
int RtspServerStart(RtspServer *pServer, const std::vector<std::string> &args);
int HttpCameraStart(RtspServer *pServer, const std::vector<std::string> &args);
// Starts a test camera program (any that prints "ready <url>" when ready).
int E2eServerStart(const char *pProgram, RtspServer *pServer, const std::vector<std::string> &args);
void RtspServerStop(RtspServer *pServer);   // SIGTERM, then SIGKILL
void RtspServerKill(RtspServer *pServer);   // SIGKILL at once
// "rtsp://127.0.0.1:PORT/cam" on a port nothing listens on (just released).
std::string E2eRefusedUrl();

// Everything the four callbacks saw. Callbacks run on the decode thread;
// tests read under the lock.
struct Recorder {
    std::mutex lock;
    void *pCamera;                 // the camera the callbacks were registered on
    int bWrongCamera;              // a callback got another first argument
    int nFrames;                   // video events with a picture
    int nNullFrames;               // video events without one (paused, no picture yet)
    int nWidth, nHeight;           // of the last picture
    std::vector<unsigned char> first;  // copy of the first picture
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
// Resets the recorder and registers all four callbacks on the camera.
void RecorderAttach(Recorder *pRec, CIpCamera *pCamera, int bPlanar);
int RecorderVideo(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth, int nHeight);
int RecorderFrames(Recorder *pRec);
int RecorderCount(Recorder *pRec, int Recorder::*pField);  // any counter, under the lock
// Attaches the recorder, picks the layout and connect type, opens pUrl and
// switches decoding on; 0 or -1.
int E2ePlay(CIpCamera *pCamera, Recorder *pRec, const std::string &url, int bPlanar, int nConnectType);

// Runs a shell command; its standard output, and its exit status in *pStatus.
std::string E2eRun(const std::string &cmd, int *pStatus = nullptr);
long E2eRssKb();   // resident set size of this process in KiB
int E2eThreadCount();  // threads of this process
// A socket on 127.0.0.1 that accepts connections (the kernel completes
// them) and never reads or sends: a camera that hangs. Its port in *pPort;
// close the returned descriptor when done.
int E2eSilentListener(int *pPort);
double E2eNow();   // monotonic seconds

// Polls pred every 20 ms for up to nTimeoutMs; true when it held.
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
