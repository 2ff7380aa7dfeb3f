// CVideoSession: one stream context, its settings, statistics, recording
// and smooth-stream pacing.

#include "ipcamera/VideoSession.h"

#include <stdio.h>
#include <string.h>

#include "VideoSession/SessionInternal.h"
#include "ipcamera/IpCamera.h"
#include "record/AviRecorder.h"
#include "stream/FFMpegContext.h"
#include "stream/PacketQueue.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

// Process-wide: registration done, and the connect type most recently set on
// any session (relaxed atomics; the first session is expected to be built
// before other threads use the library).
static int s_bRegistered;
static int s_nLastConnectType;

int VideoSessionFrameWait(FFMpegContext *ctx)
{
    if (!ctx || !ctx->pSession)
        return 0;
    CVideoSession *pSession = (CVideoSession *)ctx->pSession;
    // Only the decode thread uses the session mutex: take it just around the
    // wait, so it is never held while the thread decodes.
    MutexLock(pSession->m_hSessionLock);
    CondWait(pSession->m_pFrameCond, pSession->m_hSessionLock, SESSION_FRAME_WAIT_MS);
    MutexUnlock(pSession->m_hSessionLock);
    return 0;
}

int VideoSessionPacingStep(int nSmoothStream, int nQueued, int nCondAdjust)
{
    int nHigh = nSmoothStream == 1 ? 10 : 20;
    int nLow = nSmoothStream == 1 ? 5 : 10;
    if (nQueued > nHigh)
        return nCondAdjust - 1;
    if (nQueued < nLow)
        return nCondAdjust + 1;
    return 0;
}

CVideoSession::CVideoSession()
{
    if (!AtomicGet(&s_bRegistered)) {
        FFMpegRegister();
        AtomicSet(&s_bRegistered, 1);
    }
    m_VideoContext = nullptr;
    m_bInit = 0;
    m_bD3DDisplay = 0;
    m_pOwner = nullptr;
    m_nReserved1 = 0;
    m_nReserved2 = 0;
    m_nConnectType = 0;
    m_pFrameCond = CondCreate();
    m_hSessionLock = MutexCreate();
    m_nCondCount = 0;
    m_nSmoothStream = 0;
    m_nCondAdjust = 0;
    memset(m_szName, 0, sizeof(m_szName));
    memset(m_szReserved, 0, sizeof(m_szReserved));
}

CVideoSession::~CVideoSession()
{
    CondDestroy(m_pFrameCond);
    m_pFrameCond = nullptr;
    MutexDestroy(m_hSessionLock);
    m_hSessionLock = nullptr;
}

CVideoSession::CVideoSession(const CVideoSession &other) : CVideoSession()
{
    *this = other;
}

CVideoSession &CVideoSession::operator=(const CVideoSession &other)
{
    if (this == &other)
        return *this;
    // Settings only: the stream, the owner, the signal and the mutex stay
    // this object's own, so no two sessions ever free the same context.
    m_bD3DDisplay = other.m_bD3DDisplay;
    m_nConnectType = other.m_nConnectType;
    m_nSmoothStream = other.m_nSmoothStream;
    memcpy(m_szName, other.m_szName, sizeof(m_szName));
    return *this;
}

int CVideoSession::VideoInit(void *pOwner, const char *pUrl)
{
    if (m_bInit)
        return -1;
    int nLast = AtomicGet(&s_nLastConnectType);
    if (m_nConnectType != nLast)
        m_nConnectType = nLast;
    if (!pUrl) {
        DebugPrint("Video Init failed m_VideoContext is NULL");
        return -1;
    }
    // The owner is set before the stream threads start, so the decode
    // thread's forwards see it without a race; a failed open clears it.
    m_pOwner = (CIpCamera *)pOwner;
    m_nCondCount = 0;
    m_nCondAdjust = 0;
    m_VideoContext = FFMpegContextCreate(this, pUrl, m_nConnectType, VideoSessionFrameWait,
                                         m_nSmoothStream, m_bD3DDisplay);
    if (!m_VideoContext) {
        m_pOwner = nullptr;
        DebugPrint("Video Init failed m_VideoContext is NULL");
        return -1;
    }
    m_bInit = 1;
    return 0;
}

int CVideoSession::VideoFree()
{
    if (!m_bInit)
        return -1;
    // A decode thread waiting for the next release wakes at once.
    CondSignal(m_pFrameCond);
    FFMpegContextDestroy(m_VideoContext);
    m_VideoContext = nullptr;
    m_bInit = 0;
    m_pOwner = nullptr;
    m_bD3DDisplay = 0;
    return 0;
}

void CVideoSession::SetConnectType(int nType)
{
    if (nType < 0)
        nType = 0;
    m_nConnectType = nType;
    AtomicSet(&s_nLastConnectType, nType);
}

int CVideoSession::SetD3DDisplay(int bD3DDisplay)
{
    m_bD3DDisplay = bD3DDisplay;
    return 0;
}

int CVideoSession::SetSmoothStream(int nSmoothStream)
{
    m_nSmoothStream = nSmoothStream;
    return 0;
}

int CVideoSession::SetName(const char *pName)
{
    snprintf(m_szName, sizeof(m_szName), "%s", pName ? pName : "");
    return 0;
}

int CVideoSession::SetDecodeEnbale(int bEnable)
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    AtomicSet(&m_VideoContext->bDecodeEnable, bEnable);
    return 0;
}

int CVideoSession::SetPauseReadFrame(int nPause)
{
    if (!m_bInit || !m_VideoContext || nPause < 0)
        return -1;
    AtomicSet(&m_VideoContext->bPauseRead, nPause);
    return 0;
}

int CVideoSession::SendVideoCond()
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    if (m_nSmoothStream == 0 || !AtomicGet(&m_VideoContext->bDecodeEnable))
        return 0;
    int nQueued = GetAVPktListElmCount(m_VideoContext);
    m_nCondCount++;
    if (m_nCondCount < AtomicGet(&m_VideoContext->nFrameInterval) + m_nCondAdjust)
        return 0;
    m_nCondAdjust = VideoSessionPacingStep(m_nSmoothStream, nQueued, m_nCondAdjust);
    CondSignal(m_pFrameCond);
    m_nCondCount = 0;
    return 0;
}

int CVideoSession::GetVideoWidth()
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    return AtomicGet(&m_VideoContext->nWidth);
}

int CVideoSession::GetVideoHeight()
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    return AtomicGet(&m_VideoContext->nHeight);
}

int CVideoSession::GetFrequency()
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    // A stream without a nominal rate (raw HTTP) has denominator 0: answer 0
    // ("unknown") instead of dividing by it.
    if (m_VideoContext->nFrameRateDen == 0)
        return 0;
    return (int)(m_VideoContext->nFrameRateNum / m_VideoContext->nFrameRateDen);
}

int CVideoSession::GetSaveAviDurationSec()
{
    if (!m_bInit || !m_VideoContext)
        return 0;
    MutexLock(m_VideoContext->hSaveMutex);
    int64_t nStart = m_VideoContext->nSaveTickCount;
    MutexUnlock(m_VideoContext->hSaveMutex);
    return VideoSessionDurationSec(TickCount(), nStart);
}

int VideoSessionDurationSec(uint32_t nNowTick, int64_t nStartTick)
{
    // Both are 32-bit tick values: their wrapping difference stays right
    // across the 49.7-day wrap of the tick count.
    uint32_t nElapsed = nNowTick - (uint32_t)nStartTick;
    return (int)((int64_t)nElapsed / 1000 + 1);
}

bool CVideoSession::IsPlayFinish()
{
    if (!m_bInit || !m_VideoContext)
        return false;
    return AtomicGet(&m_VideoContext->bFinish) != 0;
}

int CVideoSession::GetFinishStatus()
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    return AtomicGet(&m_VideoContext->bFinish);
}

float CVideoSession::getBitRateInfo()
{
    if (!m_VideoContext)
        return -1.0f;
    return AtomicGetFloat(&m_VideoContext->fBitRate);
}

int CVideoSession::getFrameRateInfo()
{
    if (!m_VideoContext)
        return -1;
    return AtomicGet(&m_VideoContext->nFrameRate);
}

int CVideoSession::StartSaveAvi(const char *pPath)
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    StopSaveAvi();
    DebugPrint("==FFMpegStartSaveAvi before==\n");
    return FFMpegStartSaveAvi(m_VideoContext, pPath);
}

int CVideoSession::StopSaveAvi()
{
    if (!m_bInit || !m_VideoContext)
        return -1;
    DebugFileLog(__FILE__, __LINE__, "CUrlVideoSession::StopSaveAvi start ...");
    FFMpegStopSaveAvi(m_VideoContext);
    DebugFileLog(__FILE__, __LINE__, "CUrlVideoSession::StopSaveAvi end ...");
    return 0;
}

int CVideoSession::DoVideoBuffer(unsigned char *pFrame, int nWidth, int nHeight)
{
    if (!m_pOwner)
        return -1;
    m_pOwner->DoVideoBuffer(this, pFrame, nWidth, nHeight);
    return 0;
}

int CVideoSession::DoAudioBuffer(unsigned short *pSamples, int nCount, int nRate)
{
    if (!m_pOwner)
        return -1;
    m_pOwner->DoAudioBuffer(this, pSamples, nCount, nRate);
    return 0;
}

int CVideoSession::DoDataBuffer(unsigned char *pData, int nLength)
{
    if (!m_pOwner)
        return -1;
    m_pOwner->DoDataBuffer(this, pData, nLength);
    return 0;
}

int CVideoSession::DoDisplayRefresh()
{
    if (!m_pOwner)
        return -1;
    m_pOwner->DoDisplayRefresh(this);
    return 0;
}
