#ifndef IPCAMERA_VIDEOSESSION_H
#define IPCAMERA_VIDEOSESSION_H

#include <stdint.h>

#include "ipcamera/Export.h"

// Internal records, opaque to the host.
struct FFMpegContext;
struct Mutex;
struct Cond;
struct SessionState;
class CIpCamera;

// One stream session: creates and frees the stream context, passes settings
// into it, reads its statistics, controls recording on it, paces frame
// delivery in smooth-stream mode and forwards the stream's events to the
// owning camera. Logs under the name "CUrlVideoSession".
//
// Locking: m_hSessionLock is used only inside the frame-ready wait. Open and
// close are serialised by the owning camera's open/close lock, recording
// start/stop by its camera lock; the stream pointer itself is published
// under the session's own state lock (see m_VideoContext).
class IPCAMERA_API CVideoSession {
public:
    CVideoSession();
    // Closes a stream that is still open (VideoFree) before it goes.
    ~CVideoSession();
    // Copies only the settings (connect type, smooth-stream and display
    // modes, name); the target keeps its own stream, signal and lock, so two
    // sessions never share what one of them destroys.
    CVideoSession(const CVideoSession &other);
    CVideoSession &operator=(const CVideoSession &other);

    int VideoInit(void *pOwner, const char *pUrl);
    int VideoFree();

    void SetConnectType(int nType);
    int SetD3DDisplay(int bD3DDisplay);
    int SetSmoothStream(int nSmoothStream);
    int SetName(const char *pName);
    int SetDecodeEnbale(int bEnable);  // exported name spelled so
    int SetPauseReadFrame(int nPause);
    int SendVideoCond();

    int GetVideoWidth();
    int GetVideoHeight();
    int GetFrequency();
    int GetSaveAviDurationSec();
    bool IsPlayFinish();
    int GetFinishStatus();
    float getBitRateInfo();
    int getFrameRateInfo();

    int StartSaveAvi(const char *pPath);
    int StopSaveAvi();

    // Event forwards from the stream's decode thread to the owner.
    int DoVideoBuffer(unsigned char *pFrame, int nWidth, int nHeight);
    int DoAudioBuffer(unsigned short *pSamples, int nCount, int nRate);
    int DoDataBuffer(unsigned char *pData, int nLength);
    int DoDisplayRefresh();

    // The open stream, null when none. Written by VideoInit/VideoFree (which
    // the camera serialises with its open/close lock) under the lock in
    // m_pState; host-thread operations borrow the stream under that lock and
    // VideoFree waits for them before it destroys it.
    FFMpegContext *m_VideoContext;
    int m_bInit;          // 1 while a stream is open; same guard (also a relaxed atomic)
    int m_bD3DDisplay;    // mode for the next VideoInit; reset by VideoFree
    CIpCamera *m_pOwner;  // forward target; set by VideoInit, null after VideoFree
    // Layout the open stream delivers (its D3D display mode at VideoInit):
    // the frame hook goes by it, whatever m_bD3DDisplay says meanwhile.
    // Occupies the interface's first reserved int; written only while no
    // stream thread runs.
    int m_bOpenD3DDisplay;
    int m_nReserved2;
    int m_nConnectType;   // 0 udp+tcp, 2 http, other tcp; never negative
    Cond *m_pFrameCond;   // frame-ready signal of smooth-stream mode
    Mutex *m_hSessionLock;  // used only by the frame-ready wait
    // Pacing state: written and read only by the host thread that calls
    // SendVideoCond (one ticker per camera), no lock.
    int m_nCondCount;
    int m_nSmoothStream;  // 0 off, 1 first variant, other second variant
    int m_nCondAdjust;
    char m_szName[256];
    char m_szReserved[256];
    // After the interface's members: the session's own lock, the count of
    // operations using the open stream and the open-cancel flag.
    SessionState *m_pState;
};

#endif
