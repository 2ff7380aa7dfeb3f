// CVideoSession: one stream context, its settings, statistics, recording
// and smooth-stream pacing.

#include "ipcamera/VideoSession.h"

#include <pthread.h>
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

// Guards every session's m_VideoContext and m_bInit (re-entrant). Host-thread
// operations hold it while they use the context, and VideoFree takes the
// context out under it before destroying it, so a getter, the pacing call or
// a recording start/stop on one host thread never touches a context that a
// close on another thread is freeing. Held only for short work, never across
// a stream's creation or destruction. Lock order: camera lock, this lock,
// then the recorder lock, the recording write lock and the queue lock.
static pthread_mutex_t s_hContextLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// The open stream with s_hContextLock held, or null (lock released) when
// none is open.
static FFMpegContext *LockOpenContext(CVideoSession *pSession)
{
    pthread_mutex_lock(&s_hContextLock);
    if (pSession->m_bInit && pSession->m_VideoContext)
        return pSession->m_VideoContext;
    pthread_mutex_unlock(&s_hContextLock);
    return nullptr;
}

static void UnlockContext(void)
{
    pthread_mutex_unlock(&s_hContextLock);
}

// A relaxed 32-bit field of the open stream, -1 when none is open.
static int OpenStreamInt(CVideoSession *pSession, int32_t FFMpegContext::*pField)
{
    FFMpegContext *ctx = LockOpenContext(pSession);
    if (!ctx)
        return -1;
    int n = AtomicGet(&(ctx->*pField));
    UnlockContext();
    return n;
}

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
    m_bOpenD3DDisplay = 0;
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
    if (AtomicGet(&m_bInit))
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
    m_bOpenD3DDisplay = m_bD3DDisplay;
    // Pacing starts afresh: no correction and no release left over from a
    // previous stream (or from the wake-up signal of its close).
    m_nCondCount = 0;
    m_nCondAdjust = 0;
    MutexLock(m_hSessionLock);
    while (CondWait(m_pFrameCond, m_hSessionLock, 0) == 0) {
    }
    MutexUnlock(m_hSessionLock);
    FFMpegContext *ctx = FFMpegContextCreate(this, pUrl, m_nConnectType, VideoSessionFrameWait,
                                             m_nSmoothStream, m_bD3DDisplay);
    if (!ctx) {
        m_pOwner = nullptr;
        m_bOpenD3DDisplay = 0;
        DebugPrint("Video Init failed m_VideoContext is NULL");
        return -1;
    }
    pthread_mutex_lock(&s_hContextLock);
    m_VideoContext = ctx;
    AtomicSet(&m_bInit, 1);
    pthread_mutex_unlock(&s_hContextLock);
    return 0;
}

int CVideoSession::VideoFree()
{
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1;
    m_VideoContext = nullptr;
    AtomicSet(&m_bInit, 0);
    UnlockContext();
    // A decode thread waiting for the next release wakes at once.
    CondSignal(m_pFrameCond);
    FFMpegContextDestroy(ctx);
    // The stream's threads are joined: no forward reads the owner any more.
    m_pOwner = nullptr;
    m_bOpenD3DDisplay = 0;
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
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1;
    AtomicSet(&ctx->bDecodeEnable, bEnable);
    UnlockContext();
    return 0;
}

int CVideoSession::SetPauseReadFrame(int nPause)
{
    if (nPause < 0)
        return -1;
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1;
    AtomicSet(&ctx->bPauseRead, nPause);
    UnlockContext();
    return 0;
}

int CVideoSession::SendVideoCond()
{
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1;
    if (m_nSmoothStream == 0 || !AtomicGet(&ctx->bDecodeEnable)) {
        UnlockContext();
        return 0;
    }
    int nQueued = GetAVPktListElmCount(ctx);
    int nInterval = AtomicGet(&ctx->nFrameInterval);
    UnlockContext();
    m_nCondCount++;
    if (m_nCondCount < nInterval + m_nCondAdjust)
        return 0;
    m_nCondAdjust = VideoSessionPacingStep(m_nSmoothStream, nQueued, m_nCondAdjust);
    CondSignal(m_pFrameCond);
    m_nCondCount = 0;
    return 0;
}

int CVideoSession::GetVideoWidth()
{
    return OpenStreamInt(this, &FFMpegContext::nWidth);
}

int CVideoSession::GetVideoHeight()
{
    return OpenStreamInt(this, &FFMpegContext::nHeight);
}

int CVideoSession::GetFrequency()
{
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1;
    int64_t nNum = ctx->nFrameRateNum;
    int64_t nDen = ctx->nFrameRateDen;
    UnlockContext();
    // A stream without a nominal rate (raw HTTP) has denominator 0: answer 0
    // ("unknown") instead of dividing by it.
    if (nDen == 0)
        return 0;
    return (int)(nNum / nDen);
}

int CVideoSession::GetSaveAviDurationSec()
{
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return 0;
    MutexLock(ctx->hSaveMutex);
    int64_t nStart = ctx->nSaveTickCount;
    MutexUnlock(ctx->hSaveMutex);
    UnlockContext();
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
    return GetFinishStatus() > 0;
}

int CVideoSession::GetFinishStatus()
{
    return OpenStreamInt(this, &FFMpegContext::bFinish);
}

float CVideoSession::getBitRateInfo()
{
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1.0f;
    float f = AtomicGetFloat(&ctx->fBitRate);
    UnlockContext();
    return f;
}

int CVideoSession::getFrameRateInfo()
{
    return OpenStreamInt(this, &FFMpegContext::nFrameRate);
}

// Recording start and stop hold the context lock throughout: a close on
// another thread waits for them before it destroys the stream.
int CVideoSession::StartSaveAvi(const char *pPath)
{
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1;
    StopSaveAvi();
    DebugPrint("==FFMpegStartSaveAvi before==\n");
    int r = FFMpegStartSaveAvi(ctx, pPath);
    UnlockContext();
    return r;
}

int CVideoSession::StopSaveAvi()
{
    FFMpegContext *ctx = LockOpenContext(this);
    if (!ctx)
        return -1;
    DebugFileLog(__FILE__, __LINE__, "CUrlVideoSession::StopSaveAvi start ...");
    // Stopping when nothing records is harmless; a recording whose writes
    // failed is reported.
    int r = FFMpegStopSaveAvi(ctx) == SAVE_AVI_CUT_SHORT ? SAVE_AVI_CUT_SHORT : 0;
    DebugFileLog(__FILE__, __LINE__, "CUrlVideoSession::StopSaveAvi end ...");
    UnlockContext();
    return r;
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
