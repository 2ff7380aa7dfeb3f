#ifndef IPCAMERA_IPCAMERA_H
#define IPCAMERA_IPCAMERA_H

// Public interface of the camera library: one CIpCamera per camera channel.

#include <stdint.h>

#include "ipcamera/CameraHealth.h"
#include "ipcamera/Export.h"
#include "ipcamera/MotionNotify.h"
#include "ipcamera/VideoSession.h"

struct Mutex;

// Host callbacks. The first argument is the CIpCamera that raised the
// event, the second the user pointer registered with the callback; the
// result is ignored. All run on the stream's decode thread.
//
// Video: BGR24 bottom-up (rows of exactly 3*width bytes) or, in D3D display
// mode, I420 without row padding. The buffer is valid during the call only.
typedef int (*VideoBufCallBack)(void *pCamera, void *pUser, unsigned char *pFrame,
                                int nWidth, int nHeight);
// Audio: nCount 16-bit units (bytes / 2), nRate in Hz.
typedef int (*AudioBufCallBack)(void *pCamera, void *pUser, unsigned short *pSamples,
                                int nCount, int nRate);
// Data: the raw payload of one packet of the stream's data track.
typedef int (*DataBufCallBack)(void *pCamera, void *pUser, unsigned char *pData,
                               int nLength);
typedef int (*DisplayRefreshCallBack)(void *pCamera, void *pUser);

// Privacy-mask record, nine 32-bit ints. Coordinates are in a reference
// space of the host's choosing (nRefWidth x nRefHeight), y from the top.
struct MaskAreaParam {
    int nReserved0;
    int bEnable;
    int nX;
    int nY;
    int nWidth;
    int nHeight;
    int nRefWidth;
    int nRefHeight;
    int nReserved8;
};

// Test programs may define this to reach the private text routines.
struct IpCameraTestAccess;

class IPCAMERA_API CIpCamera {
public:
    CIpCamera();
    CIpCamera(int nId, const char *pName, const char *pInfo);
    ~CIpCamera();
    // Copies only the host's settings (id, name, info, modes, connect type,
    // switches, callbacks, masks, save directory); the target keeps its own
    // locks, session, stream, recording and snapshot state, so nothing is
    // ever released twice.
    CIpCamera(const CIpCamera &other);
    CIpCamera &operator=(const CIpCamera &other);

    int SetInfo(int nId, const char *pName, const char *pInfo);
    int IpcLock();
    int IpcUnLock();

    int OpenMainStreamVideo(const char *pUrl);
    int CloseMainStreamVideo();
    bool IsMainVideoOpenSuc();
    bool IsMainVideoFinish();
    int GetFinishStatus();

    void SetSmoothStream(int nSmoothStream);
    void SetD3DDisplay(int bD3DDisplay);
    void SetConnectType(int nType);
    int SetDecodeEnable(bool bUnused, bool bEnable);
    int SetPauseReadFrame(int nPause);
    void SendVideoCond();
    float getBitRate();
    int getFrameRate();

    // Callback registration; a null function switches the kind off.
    void SetVideoBufCallBack(VideoBufCallBack pfn, void *pUser);
    void SetAudioBufCallBack(AudioBufCallBack pfn, void *pUser);
    void SetDataBufCallBack(DataBufCallBack pfn, void *pUser);
    void SetDisplayBufCallBack(DisplayRefreshCallBack pfn, void *pUser);

    // Dispatch from the session (decode thread); always 0.
    int DoVideoBuffer(CVideoSession *pSession, unsigned char *pFrame, int nWidth, int nHeight);
    int DoAudioBuffer(CVideoSession *pSession, unsigned short *pSamples, int nCount, int nRate);
    int DoDataBuffer(CVideoSession *pSession, unsigned char *pData, int nLength);
    int DoDisplayRefresh(CVideoSession *pSession);

    // Recording control and save paths.
    int StartSaveAvi(int nType);
    // 0, or -1 when a write to the file failed (a full disk): what reached
    // the file is kept, named "<path less .avi>_<seconds>_cut.avi".
    int StopSaveAvi(int nType);
    int SetSaveDir(const char *pDir);
    int SetSaveRecordPath(const char *pPath);

    // Snapshots of the next delivered frame.
    int SaveImage(int nType, int nCount);
    int SetSaveImagePath(const char *pPath);

    // Privacy masks: the record is copied into all four slots.
    int SetMaskAreaParam(MaskAreaParam *pParam);
    int SetMaskArea(unsigned char *pFrame, int nWidth, int nHeight);

    // On-screen text: white text stamped into every delivered BGR frame after
    // the masks, its first character cell's top-left corner at column nX and
    // picture row nY (from the top); clipped at the frame edges. Null or
    // empty text switches it off (the default). Planar (D3D display) frames
    // and snapshots never carry the text. Always 0.
    int SetOsdText(const char *pText, int nX, int nY);

    // Reconnect (off by default; then nothing below changes how the camera
    // behaves). With it on, OpenMainStreamVideo returns 0 at once and a
    // thread of the camera opens the address, and after the stream is lost
    // (no data for the no-data limit, the connection closed, the stream
    // ended) or an open fails, opens it again after 1 s, 2 s, 4 s ... up to
    // nMaxBackoffMs (less a random part of up to a quarter), keeping the
    // callbacks, the decode switch, smooth-stream and display modes and the
    // masks. A recording running at a loss is finished and renamed, not
    // restarted. Takes effect at the next open. 0, or -1 for a maximum
    // below 1000 ms.
    int SetAutoReconnect(bool bEnable, int nMaxBackoffMs);
    // Milliseconds without data after which a stream counts as lost
    // (default 40000, at least 2000). 0 or -1.
    int SetNoDataLimit(int nMs);
    // Fifth callback: state changes while reconnect is on (see
    // ipcamera/CameraHealth.h). A null function switches it off.
    void SetStateCallBack(StateCallBack pfn, void *pUser);
    // IpcCameraState now.
    int GetState();
    // Fills the health record; cheap enough to poll every second. 0, or -1
    // for a null record.
    int GetHealth(IpCameraHealth *pHealth);

    // Members, in interface order. Unless stated, host-side members are
    // plain values the host sets between calls without a lock.
    int m_nWidth;         // size of the last delivered frame; written by the
    int m_nHeight;        // decode thread, read by the host (relaxed atomic)
    int m_bSmoothStream;
    int m_bD3DDisplay;
    CVideoSession m_VideoSession;
    Mutex *m_hIpcLock;    // camera lock: recording start and stop
    char m_szUrl[256];    // guarded by m_hOpenLock
    int m_nId;
    char m_szName[256];
    char m_szInfo[256];
    char m_szSaveDir[256];
    // Snapshot request: set by the host thread, taken by the decode thread;
    // the time (seconds since 1970 of the last request or snapshot) and the
    // four fields below are guarded by the library's snapshot hand-off lock
    // (process-wide, held only for the copy), the flag is also polled as a
    // relaxed atomic.
    int m_nSaveImgTime;
    int m_bSaveImgNow;
    int m_nSaveImgCount;
    char m_szSaveImgPath[256];
    int m_nSaveImgType;
    int m_bDisplayEnable;  // relaxed atomic, polled by the decode thread
    // Recording state, guarded by m_hIpcLock.
    int m_nRecordType;
    int m_nRecordStartTime;  // low 32 bits of the start's calendar time, for the host
    char m_szRecordPath[256];
    int m_nRecordCounter;
    // Callback registrations: each function + user pointer pair is written
    // and read as one unit under m_hCallbackLock (an event in flight may
    // still use the previous registration, whole).
    void *m_pVideoUser;
    VideoBufCallBack m_pfnVideoBuf;
    void *m_pAudioUser;
    AudioBufCallBack m_pfnAudioBuf;
    void *m_pDataUser;
    DataBufCallBack m_pfnDataBuf;
    int m_bAudioEnable;    // relaxed atomic, polled by the decode thread
    int m_nReserved;
    DisplayRefreshCallBack m_pfnDisplayRefresh;
    void *m_pDisplayUser;
    // Mask slots: written by the host, read by the decode thread without a
    // lock; a frame painted during an update may mix old and new fields.
    MaskAreaParam m_MaskArea[4];
    Mutex *m_hOpenLock;   // open/close lock; taken before m_hIpcLock
    // On-screen text (SetOsdText), after the interface's members. The text
    // and position are guarded by the snapshot hand-off lock; the switch is
    // also polled as a relaxed atomic so frames without text take no lock.
    int m_bOsdEnable;
    int m_nOsdX;
    int m_nOsdY;
    char m_szOsdText[256];
    // Guards the four callback registrations; held only to copy a pair,
    // never while a callback runs.
    Mutex *m_hCallbackLock;
    // 1 while a recording started here runs; guarded by m_hIpcLock. (The
    // start time cannot tell: its sign flips in 2038.)
    int m_bRecording;

private:
    friend struct IpCameraTestAccess;
    // Text stamping into a BGR bottom-up frame (white glyphs, clipped).
    int ConvertToBmp(const char *pText, unsigned char *pFrame, int nWidth, int nHeight,
                     int nX, int nY);
    int MakeTextBmp(const unsigned char *pBits, int nGlyphWidth, int nGlyphHeight,
                    unsigned char *pFrame, int nWidth, int nHeight, int nX, int nY,
                    int nFlag);
};

#endif
