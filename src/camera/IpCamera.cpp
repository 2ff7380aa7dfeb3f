// CIpCamera: one camera channel of the host - settings, open and close,
// status getters, callback registration and event dispatch.

#include "ipcamera/IpCamera.h"

#include <stdio.h>
#include <string.h>

#include "camera/CameraInternal.h"
#include "camera/Reconnect.h"
#include "image/PrivacyMask.h"
#include "VideoSession/SessionInternal.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

static const char *TextOrEmpty(const char *p)
{
    return p ? p : "";
}

CIpCamera::CIpCamera()
{
    m_nWidth = 0;
    m_nHeight = 0;
    m_bSmoothStream = 0;
    m_bD3DDisplay = 0;
    m_hIpcLock = MutexCreate();
    memset(m_szUrl, 0, sizeof(m_szUrl));
    m_nId = -1;
    memset(m_szName, 0, sizeof(m_szName));
    memset(m_szInfo, 0, sizeof(m_szInfo));
    memset(m_szSaveDir, 0, sizeof(m_szSaveDir));
    snprintf(m_szSaveDir, sizeof(m_szSaveDir), "%s", "C:");
    m_nSaveImgTime = 0;
    m_bSaveImgNow = 0;
    m_nSaveImgCount = 0;
    memset(m_szSaveImgPath, 0, sizeof(m_szSaveImgPath));
    m_nSaveImgType = 0;
    m_bDisplayEnable = 1;
    m_nRecordType = 0;
    m_nRecordStartTime = 0;
    memset(m_szRecordPath, 0, sizeof(m_szRecordPath));
    m_nRecordCounter = 0;
    m_pVideoUser = nullptr;
    m_pfnVideoBuf = nullptr;
    m_pAudioUser = nullptr;
    m_pfnAudioBuf = nullptr;
    m_pDataUser = nullptr;
    m_pfnDataBuf = nullptr;
    m_bAudioEnable = 0;
    m_nReserved = 0;
    m_pfnDisplayRefresh = nullptr;
    m_pDisplayUser = nullptr;
    memset(m_MaskArea, 0, sizeof(m_MaskArea));
    m_hOpenLock = MutexCreate();
    m_bOsdEnable = 0;
    m_nOsdX = 0;
    m_nOsdY = 0;
    memset(m_szOsdText, 0, sizeof(m_szOsdText));
    m_hCallbackLock = MutexCreate();
    m_bRecording = 0;
    CameraExtCreate(this);
}

CIpCamera::CIpCamera(int nId, const char *pName, const char *pInfo) : CIpCamera()
{
    SetInfo(nId, pName, pInfo);
}

CIpCamera::CIpCamera(const CIpCamera &other) : CIpCamera()
{
    *this = other;
}

CIpCamera::~CIpCamera()
{
    AtomicSet(&m_bDisplayEnable, 0);
    StopSaveAvi(7);
    CloseMainStreamVideo();
    MutexDestroy(m_hIpcLock);
    m_hIpcLock = nullptr;
    MutexDestroy(m_hOpenLock);
    m_hOpenLock = nullptr;
    memset(m_MaskArea, 0, sizeof(m_MaskArea));
    // From the stream's own thread the close above was refused; the
    // session's destructor then hands the stream's teardown over, and
    // nothing here is touched by the callback that is returning.
    MutexDestroy(m_hCallbackLock);
    m_hCallbackLock = nullptr;
    CameraExtDestroy(this);
}

CIpCamera &CIpCamera::operator=(const CIpCamera &other)
{
    if (this == &other)
        return *this;
    // Settings only. Copying the locks, the session's stream or the
    // recording state would leave two objects that both release them.
    m_bSmoothStream = other.m_bSmoothStream;
    m_bD3DDisplay = other.m_bD3DDisplay;
    m_VideoSession = other.m_VideoSession;
    m_nId = other.m_nId;
    memcpy(m_szName, other.m_szName, sizeof(m_szName));
    memcpy(m_szInfo, other.m_szInfo, sizeof(m_szInfo));
    memcpy(m_szSaveDir, other.m_szSaveDir, sizeof(m_szSaveDir));
    // This camera's decode thread may be running: the fields it polls are
    // written the way their setters write them.
    AtomicSet(&m_bDisplayEnable, other.m_bDisplayEnable);
    MutexLock(other.m_hCallbackLock);
    VideoBufCallBack pfnVideo = other.m_pfnVideoBuf;
    void *pVideoUser = other.m_pVideoUser;
    AudioBufCallBack pfnAudio = other.m_pfnAudioBuf;
    void *pAudioUser = other.m_pAudioUser;
    DataBufCallBack pfnData = other.m_pfnDataBuf;
    void *pDataUser = other.m_pDataUser;
    DisplayRefreshCallBack pfnDisplay = other.m_pfnDisplayRefresh;
    void *pDisplayUser = other.m_pDisplayUser;
    MutexUnlock(other.m_hCallbackLock);
    SetVideoBufCallBack(pfnVideo, pVideoUser);
    SetAudioBufCallBack(pfnAudio, pAudioUser);
    SetDataBufCallBack(pfnData, pDataUser);
    AtomicSet(&m_bAudioEnable, other.m_bAudioEnable);
    SetDisplayBufCallBack(pfnDisplay, pDisplayUser);
    for (int i = 0; i < 4; i++)
        MaskCopyRelaxed((int *)&m_MaskArea[i], (const int *)&other.m_MaskArea[i]);
    SetOsdText(other.m_bOsdEnable ? other.m_szOsdText : nullptr, other.m_nOsdX, other.m_nOsdY);
    CameraReconnectCopySettings(this, &other);
    return *this;
}

int CIpCamera::SetInfo(int nId, const char *pName, const char *pInfo)
{
    m_nId = nId;
    snprintf(m_szName, sizeof(m_szName), "%s", TextOrEmpty(pName));
    snprintf(m_szInfo, sizeof(m_szInfo), "%s", TextOrEmpty(pInfo));
    return 0;
}

int CIpCamera::IpcLock()
{
    return MutexLock(m_hIpcLock);
}

int CIpCamera::IpcUnLock()
{
    return MutexUnlock(m_hIpcLock);
}

// Open, close and destroy from inside a callback would join the thread that
// runs them (and free what it uses): refused before any lock is taken, as a
// close on another thread may hold the open/close lock while it joins.
static int RefuseOnOwnThread(CIpCamera *pCamera, const char *pWhat)
{
    if (!VideoSessionOnOwnThread(&pCamera->m_VideoSession) && !CameraReconnectOnOwnThread(pCamera))
        return 0;
    DebugPrint("%s refused. id:%d name:%s: called from the camera's own stream thread", pWhat,
               pCamera->m_nId, pCamera->m_szName);
    return 1;
}

int CIpCamera::OpenMainStreamVideo(const char *pUrl)
{
    if (RefuseOnOwnThread(this, "OpenMainStreamVideo"))
        return -1;
    // Taken before waiting for the lock, so a close that comes meanwhile
    // makes this open fail instead of connecting after it.
    uint32_t nTicket = VideoSessionCancelCount(&m_VideoSession);
    MutexLock(m_hOpenLock);
    DebugPrint("OpenMainStreamVideo start. id:%d sUrl:%s", m_nId, TextOrEmpty(pUrl));
    StopSaveAvi(7);
    CameraReconnectStop(this);
    m_VideoSession.VideoFree();
    CameraHealthReset(this);
    CameraRememberDecode(this, 0);
    if (CameraReconnectStart(this, pUrl, nTicket)) {
        snprintf(m_szUrl, sizeof(m_szUrl), "%s", pUrl);
        DebugPrint("OpenMainStreamVideo end. id:%d sUrl:%s (reconnecting in the background)", m_nId, pUrl);
        MutexUnlock(m_hOpenLock);
        return 0;
    }
    m_VideoSession.SetSmoothStream(m_bSmoothStream);
    m_VideoSession.SetD3DDisplay(m_bD3DDisplay);
    if (pUrl && VideoSessionArmOpen(&m_VideoSession, nTicket) && m_VideoSession.VideoInit(this, pUrl) == 0) {
        snprintf(m_szUrl, sizeof(m_szUrl), "%s", pUrl);
        DebugPrint("OpenMainStreamVideo end. id:%d sUrl:%s", m_nId, pUrl);
        MutexUnlock(m_hOpenLock);
        return 0;
    }
    DebugPrint("OpenMainStreamVideo faild. id:%d sUrl:%s", m_nId, TextOrEmpty(pUrl));
    MutexUnlock(m_hOpenLock);
    return -1;
}

int CIpCamera::CloseMainStreamVideo()
{
    if (RefuseOnOwnThread(this, "CloseMainStreamVideo"))
        return -1;
    // An open still connecting holds the open/close lock: interrupt it.
    VideoSessionCancelOpen(&m_VideoSession);
    MutexLock(m_hOpenLock);
    DebugPrint("CloseMainStreamVideo start. id:%d name:%s", m_nId, m_szName);
    CameraReconnectStop(this);
    CameraHealthFold(this);
    m_VideoSession.VideoFree();
    DebugPrint("CloseMainStreamVideo end. id:%d name:%s", m_nId, m_szName);
    // The stream's threads are joined: no callback of it can run any more.
    MutexLock(m_hCallbackLock);
    m_pfnVideoBuf = nullptr;
    m_pfnDisplayRefresh = nullptr;
    MutexUnlock(m_hCallbackLock);
    MutexUnlock(m_hOpenLock);
    return 0;
}

bool CIpCamera::IsMainVideoOpenSuc()
{
    return AtomicGet(&m_VideoSession.m_bInit) != 0;
}

bool CIpCamera::IsMainVideoFinish()
{
    return m_VideoSession.IsPlayFinish();
}

int CIpCamera::GetFinishStatus()
{
    return m_VideoSession.GetFinishStatus();
}

void CIpCamera::SetSmoothStream(int nSmoothStream)
{
    m_bSmoothStream = nSmoothStream;
}

void CIpCamera::SetD3DDisplay(int bD3DDisplay)
{
    m_bD3DDisplay = bD3DDisplay;
}

void CIpCamera::SetConnectType(int nType)
{
    m_VideoSession.SetConnectType(nType);
}

int CIpCamera::SetDecodeEnable(bool bUnused, bool bEnable)
{
    // Kept for the streams a reconnecting camera opens later.
    CameraRememberDecode(this, bEnable ? 1 : 0);
    if (!IsMainVideoOpenSuc())
        return CameraReconnectActive(this) ? 0 : -1;
    m_VideoSession.SetDecodeEnbale(bEnable ? 1 : 0);
    return 0;
}

int CIpCamera::SetPauseReadFrame(int nPause)
{
    if (nPause < 0)
        return -1;
    CameraRememberPause(this, nPause);
    if (CameraReconnectActive(this) && !IsMainVideoOpenSuc())
        return 0;
    return m_VideoSession.SetPauseReadFrame(nPause);
}

void CIpCamera::SendVideoCond()
{
    if (m_bSmoothStream)
        m_VideoSession.SendVideoCond();
}

float CIpCamera::getBitRate()
{
    return m_VideoSession.getBitRateInfo();
}

int CIpCamera::getFrameRate()
{
    return m_VideoSession.getFrameRateInfo();
}

// Each registration is a pair that must travel whole: a user pointer paired
// with another registration's function hands the host the wrong object. A
// per-camera lock held only to store or copy the pair (never while the
// callback runs, so a callback may re-register) costs no allocation, unlike
// swapping immutable pairs, which would also need a safe point to free the
// old ones.
void CIpCamera::SetVideoBufCallBack(VideoBufCallBack pfn, void *pUser)
{
    MutexLock(m_hCallbackLock);
    m_pfnVideoBuf = pfn;
    m_pVideoUser = pUser;
    MutexUnlock(m_hCallbackLock);
}

void CIpCamera::SetAudioBufCallBack(AudioBufCallBack pfn, void *pUser)
{
    MutexLock(m_hCallbackLock);
    m_pfnAudioBuf = pfn;
    m_pAudioUser = pUser;
    MutexUnlock(m_hCallbackLock);
}

void CIpCamera::SetDataBufCallBack(DataBufCallBack pfn, void *pUser)
{
    MutexLock(m_hCallbackLock);
    m_pfnDataBuf = pfn;
    m_pDataUser = pUser;
    MutexUnlock(m_hCallbackLock);
}

void CIpCamera::SetDisplayBufCallBack(DisplayRefreshCallBack pfn, void *pUser)
{
    MutexLock(m_hCallbackLock);
    m_pfnDisplayRefresh = pfn;
    m_pDisplayUser = pUser;
    MutexUnlock(m_hCallbackLock);
}

int CIpCamera::DoAudioBuffer(CVideoSession *pSession, unsigned short *pSamples, int nCount, int nRate)
{
    MutexLock(m_hCallbackLock);
    AudioBufCallBack pfn = m_pfnAudioBuf;
    void *pUser = m_pAudioUser;
    MutexUnlock(m_hCallbackLock);
    if (pSession == &m_VideoSession && pfn && AtomicGet(&m_bAudioEnable))
        pfn(this, pUser, pSamples, nCount, nRate);
    return 0;
}

int CIpCamera::DoDataBuffer(CVideoSession *pSession, unsigned char *pData, int nLength)
{
    MutexLock(m_hCallbackLock);
    DataBufCallBack pfn = m_pfnDataBuf;
    void *pUser = m_pDataUser;
    MutexUnlock(m_hCallbackLock);
    if (pfn)
        pfn(this, pUser, pData, nLength);
    return 0;
}

int CIpCamera::DoDisplayRefresh(CVideoSession *pSession)
{
    MutexLock(m_hCallbackLock);
    DisplayRefreshCallBack pfn = m_pfnDisplayRefresh;
    void *pUser = m_pDisplayUser;
    MutexUnlock(m_hCallbackLock);
    if (AtomicGet(&m_bDisplayEnable) && pfn)
        pfn(this, pUser);
    return 0;
}
