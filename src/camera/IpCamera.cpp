// CIpCamera: one camera channel of the host - settings, open and close,
// status getters, callback registration and event dispatch.

#include "ipcamera/IpCamera.h"

#include <stdio.h>
#include <string.h>

#include "camera/CameraInternal.h"
#include "image/PrivacyMask.h"
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
    SetVideoBufCallBack(other.m_pfnVideoBuf, other.m_pVideoUser);
    SetAudioBufCallBack(other.m_pfnAudioBuf, other.m_pAudioUser);
    SetDataBufCallBack(other.m_pfnDataBuf, other.m_pDataUser);
    AtomicSet(&m_bAudioEnable, other.m_bAudioEnable);
    SetDisplayBufCallBack(other.m_pfnDisplayRefresh, other.m_pDisplayUser);
    for (int i = 0; i < 4; i++)
        MaskCopyRelaxed((int *)&m_MaskArea[i], (const int *)&other.m_MaskArea[i]);
    SetOsdText(other.m_bOsdEnable ? other.m_szOsdText : nullptr, other.m_nOsdX, other.m_nOsdY);
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

int CIpCamera::OpenMainStreamVideo(const char *pUrl)
{
    MutexLock(m_hOpenLock);
    DebugPrint("OpenMainStreamVideo start. id:%d sUrl:%s", m_nId, TextOrEmpty(pUrl));
    StopSaveAvi(7);
    m_VideoSession.VideoFree();
    m_VideoSession.SetSmoothStream(m_bSmoothStream);
    m_VideoSession.SetD3DDisplay(m_bD3DDisplay);
    if (pUrl && m_VideoSession.VideoInit(this, pUrl) == 0) {
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
    MutexLock(m_hOpenLock);
    DebugPrint("CloseMainStreamVideo start. id:%d name:%s", m_nId, m_szName);
    m_VideoSession.VideoFree();
    DebugPrint("CloseMainStreamVideo end. id:%d name:%s", m_nId, m_szName);
    // The stream's threads are joined: no callback of it can run any more.
    StoreRelaxed(&m_pfnVideoBuf, (VideoBufCallBack) nullptr);
    StoreRelaxed(&m_pfnDisplayRefresh, (DisplayRefreshCallBack) nullptr);
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
    if (!IsMainVideoOpenSuc())
        return -1;
    m_VideoSession.SetDecodeEnbale(bEnable ? 1 : 0);
    return 0;
}

int CIpCamera::SetPauseReadFrame(int nPause)
{
    if (nPause < 0)
        return -1;
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

void CIpCamera::SetVideoBufCallBack(VideoBufCallBack pfn, void *pUser)
{
    StoreRelaxed(&m_pfnVideoBuf, pfn);
    StoreRelaxed(&m_pVideoUser, pUser);
}

void CIpCamera::SetAudioBufCallBack(AudioBufCallBack pfn, void *pUser)
{
    StoreRelaxed(&m_pfnAudioBuf, pfn);
    StoreRelaxed(&m_pAudioUser, pUser);
}

void CIpCamera::SetDataBufCallBack(DataBufCallBack pfn, void *pUser)
{
    StoreRelaxed(&m_pfnDataBuf, pfn);
    StoreRelaxed(&m_pDataUser, pUser);
}

void CIpCamera::SetDisplayBufCallBack(DisplayRefreshCallBack pfn, void *pUser)
{
    StoreRelaxed(&m_pfnDisplayRefresh, pfn);
    StoreRelaxed(&m_pDisplayUser, pUser);
}

int CIpCamera::DoAudioBuffer(CVideoSession *pSession, unsigned short *pSamples, int nCount, int nRate)
{
    AudioBufCallBack pfn = LoadRelaxed(&m_pfnAudioBuf);
    if (pSession == &m_VideoSession && pfn && AtomicGet(&m_bAudioEnable))
        pfn(this, LoadRelaxed(&m_pAudioUser), pSamples, nCount, nRate);
    return 0;
}

int CIpCamera::DoDataBuffer(CVideoSession *pSession, unsigned char *pData, int nLength)
{
    DataBufCallBack pfn = LoadRelaxed(&m_pfnDataBuf);
    if (pfn)
        pfn(this, LoadRelaxed(&m_pDataUser), pData, nLength);
    return 0;
}

int CIpCamera::DoDisplayRefresh(CVideoSession *pSession)
{
    DisplayRefreshCallBack pfn = LoadRelaxed(&m_pfnDisplayRefresh);
    if (AtomicGet(&m_bDisplayEnable) && pfn)
        pfn(this, LoadRelaxed(&m_pDisplayUser));
    return 0;
}
