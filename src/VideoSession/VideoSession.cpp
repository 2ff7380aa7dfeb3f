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
// Set around VideoSessionReopen: VideoInit keeps the session's own type.
static thread_local int t_bReopen;

// Per-session state behind the stream pointer. Host-thread operations
// borrow the open stream (a count of users, taken and dropped under hLock)
// and use it without any lock held, so a recording start that blocks in
// file I/O delays no getter, no pacing call and no other camera. VideoFree
// takes the stream out under hLock and waits until the last borrower is
// done before destroying it, so none ever touches a freed stream.
struct SessionState {
    pthread_mutex_t hLock;  // guards m_VideoContext, m_bInit and nUsers; held only briefly
    pthread_cond_t hIdle;   // signalled when nUsers drops to 0
    int nUsers;             // borrowers of the open stream
    // Cancelling a connecting open: a close bumps nCancelSeq, then sets
    // bOpenCancel, which the open's interrupt callback polls (both seq_cst
    // atomics; see VideoSessionArmOpen for why the order matters).
    int32_t bOpenCancel;
    uint32_t nCancelSeq;
    // The owning camera's reconnect and health state (camera/Reconnect.h):
    // kept here so the camera's exported layout stays as it was. Set by the
    // camera's constructor, cleared by its destructor.
    void *pCameraExt;
};

// The open stream, borrowed (release it with ReleaseContext), or null when
// none is open.
static FFMpegContext *BorrowContext(CVideoSession *pSession)
{
    SessionState *st = pSession->m_pState;
    if (!st)
        return nullptr;
    pthread_mutex_lock(&st->hLock);
    FFMpegContext *ctx = pSession->m_bInit ? pSession->m_VideoContext : nullptr;
    if (ctx)
        st->nUsers++;
    pthread_mutex_unlock(&st->hLock);
    return ctx;
}

static void ReleaseContext(CVideoSession *pSession)
{
    SessionState *st = pSession->m_pState;
    pthread_mutex_lock(&st->hLock);
    if (--st->nUsers == 0)
        pthread_cond_broadcast(&st->hIdle);
    pthread_mutex_unlock(&st->hLock);
}

// Takes the open stream away from the session once no borrower uses it;
// null when none is open.
static FFMpegContext *TakeContext(CVideoSession *pSession)
{
    SessionState *st = pSession->m_pState;
    if (!st)
        return nullptr;
    pthread_mutex_lock(&st->hLock);
    FFMpegContext *ctx = pSession->m_bInit ? pSession->m_VideoContext : nullptr;
    pSession->m_VideoContext = nullptr;
    AtomicSet(&pSession->m_bInit, 0);
    while (st->nUsers > 0)
        pthread_cond_wait(&st->hIdle, &st->hLock);
    pthread_mutex_unlock(&st->hLock);
    return ctx;
}

// A relaxed 32-bit field of the open stream, -1 when none is open.
static int OpenStreamInt(CVideoSession *pSession, int32_t FFMpegContext::*pField)
{
    FFMpegContext *ctx = BorrowContext(pSession);
    if (!ctx)
        return -1;
    int n = AtomicGet(&(ctx->*pField));
    ReleaseContext(pSession);
    return n;
}

FFMpegContext *VideoSessionBorrow(CVideoSession *pSession)
{
    return BorrowContext(pSession);
}

void VideoSessionRelease(CVideoSession *pSession)
{
    ReleaseContext(pSession);
}

void **VideoSessionCameraExt(CVideoSession *pSession)
{
    return pSession->m_pState ? &pSession->m_pState->pCameraExt : nullptr;
}

int VideoSessionOnOwnThread(CVideoSession *pSession)
{
    FFMpegContext *ctx = FFMpegCurrentStream();
    return ctx && __atomic_load_n(&ctx->pSession, __ATOMIC_ACQUIRE) == pSession;
}

uint32_t VideoSessionCancelCount(CVideoSession *pSession)
{
    return pSession->m_pState ? __atomic_load_n(&pSession->m_pState->nCancelSeq, __ATOMIC_SEQ_CST) : 0;
}

void VideoSessionInterruptOpen(CVideoSession *pSession)
{
    if (pSession->m_pState)
        __atomic_store_n(&pSession->m_pState->bOpenCancel, 1, __ATOMIC_SEQ_CST);
}

void VideoSessionCancelOpen(CVideoSession *pSession)
{
    SessionState *st = pSession->m_pState;
    if (!st)
        return;
    __atomic_add_fetch(&st->nCancelSeq, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&st->bOpenCancel, 1, __ATOMIC_SEQ_CST);
}

int VideoSessionArmOpen(CVideoSession *pSession, uint32_t nTicket)
{
    SessionState *st = pSession->m_pState;
    if (!st)
        return 0;
    // Clear first, then compare: a close that bumped the count after the
    // comparison sets the flag after this clear, so it still interrupts.
    __atomic_store_n(&st->bOpenCancel, 0, __ATOMIC_SEQ_CST);
    return __atomic_load_n(&st->nCancelSeq, __ATOMIC_SEQ_CST) == nTicket;
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
    m_pState = (SessionState *)MemAllocZero(sizeof(SessionState));
    if (m_pState) {
        pthread_mutex_init(&m_pState->hLock, nullptr);
        pthread_cond_init(&m_pState->hIdle, nullptr);
    }
    m_nCondCount = 0;
    m_nSmoothStream = 0;
    m_nCondAdjust = 0;
    memset(m_szName, 0, sizeof(m_szName));
    memset(m_szReserved, 0, sizeof(m_szReserved));
}

CVideoSession::~CVideoSession()
{
    // A stream still open would run on freed memory: close it first. From
    // the stream's own decode thread (a host callback destroying its
    // camera) it cannot be joined there, so its teardown is handed over.
    if (VideoSessionOnOwnThread(this)) {
        DebugPrint("CUrlVideoSession destroyed from its own stream thread: the stream ends after this callback");
        FFMpegContextDestroyLater(TakeContext(this));
    } else {
        VideoFree();
    }
    if (m_pState) {
        pthread_cond_destroy(&m_pState->hIdle);
        pthread_mutex_destroy(&m_pState->hLock);
        MemFree(m_pState);
        m_pState = nullptr;
    }
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
    if (AtomicGet(&m_bInit) || !m_pState)
        return -1;
    int nLast = AtomicGet(&s_nLastConnectType);
    if (m_nConnectType != nLast && !t_bReopen)
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
                                             m_nSmoothStream, m_bD3DDisplay, &m_pState->bOpenCancel);
    if (!ctx) {
        m_pOwner = nullptr;
        m_bOpenD3DDisplay = 0;
        DebugPrint("Video Init failed m_VideoContext is NULL");
        return -1;
    }
    pthread_mutex_lock(&m_pState->hLock);
    m_VideoContext = ctx;
    AtomicSet(&m_bInit, 1);
    pthread_mutex_unlock(&m_pState->hLock);
    return 0;
}

int VideoSessionLastConnectType(void)
{
    return AtomicGet(&s_nLastConnectType);
}

int VideoSessionReopen(CVideoSession *pSession, void *pOwner, const char *pUrl)
{
    t_bReopen = 1;
    int r = pSession->VideoInit(pOwner, pUrl);
    t_bReopen = 0;
    return r;
}

int CVideoSession::VideoFree()
{
    if (VideoSessionOnOwnThread(this)) {
        // It would join the very thread it runs on.
        DebugPrint("CUrlVideoSession::VideoFree refused: called from the stream's own thread");
        return -1;
    }
    FFMpegContext *ctx = TakeContext(this);
    if (!ctx)
        return -1;
    // A decode thread waiting for the next release wakes at once. The stream
    // is marked stopping first: a release given before it could be taken
    // by the wait in progress, and the thread would then wait a full second
    // more before it saw the stop.
    AtomicSet(&ctx->bRunning, 0);
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
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return -1;
    AtomicSet(&ctx->bDecodeEnable, bEnable);
    ReleaseContext(this);
    return 0;
}

int CVideoSession::SetPauseReadFrame(int nPause)
{
    if (nPause < 0)
        return -1;
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return -1;
    AtomicSet(&ctx->bPauseRead, nPause);
    ReleaseContext(this);
    return 0;
}

int CVideoSession::SendVideoCond()
{
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return -1;
    if (m_nSmoothStream == 0 || !AtomicGet(&ctx->bDecodeEnable)) {
        ReleaseContext(this);
        return 0;
    }
    int nQueued = GetAVPktListElmCount(ctx);
    int nInterval = AtomicGet(&ctx->nFrameInterval);
    ReleaseContext(this);
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
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return -1;
    int64_t nNum = ctx->nFrameRateNum;
    int64_t nDen = ctx->nFrameRateDen;
    ReleaseContext(this);
    // A stream without a nominal rate (raw HTTP) has denominator 0: answer 0
    // ("unknown") instead of dividing by it.
    if (nDen == 0)
        return 0;
    return (int)(nNum / nDen);
}

int CVideoSession::GetSaveAviDurationSec()
{
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return 0;
    MutexLock(ctx->hSaveMutex);
    int64_t nStart = ctx->nSaveTickCount;
    MutexUnlock(ctx->hSaveMutex);
    ReleaseContext(this);
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
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return -1.0f;
    float f = AtomicGetFloat(&ctx->fBitRate);
    ReleaseContext(this);
    return f;
}

int CVideoSession::getFrameRateInfo()
{
    return OpenStreamInt(this, &FFMpegContext::nFrameRate);
}

// Recording start and stop borrow the stream throughout (no lock held across
// their file work): a close on another thread waits for them before it
// destroys the stream.
int CVideoSession::StartSaveAvi(const char *pPath)
{
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return -1;
    StopSaveAvi();
    DebugPrint("==FFMpegStartSaveAvi before==\n");
    int r = FFMpegStartSaveAvi(ctx, pPath);
    ReleaseContext(this);
    return r;
}

int CVideoSession::StopSaveAvi()
{
    FFMpegContext *ctx = BorrowContext(this);
    if (!ctx)
        return -1;
    DebugFileLog(__FILE__, __LINE__, "CUrlVideoSession::StopSaveAvi start ...");
    // Stopping when nothing records is harmless; a recording whose writes
    // failed is reported.
    int r = FFMpegStopSaveAvi(ctx) == SAVE_AVI_CUT_SHORT ? SAVE_AVI_CUT_SHORT : 0;
    DebugFileLog(__FILE__, __LINE__, "CUrlVideoSession::StopSaveAvi end ...");
    ReleaseContext(this);
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
