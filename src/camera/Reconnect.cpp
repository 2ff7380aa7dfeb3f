// Reconnect supervisor of a camera: opens the address on a thread of its
// own, watches the stream for loss, finishes a running recording when the
// stream is lost and opens the same address again with exponential backoff,
// raising the state events on the way.

#include "camera/Reconnect.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavutil/error.h>
}

#include "camera/CameraExt.h"
#include "ipcamera/IpCamera.h"
#include "stream/FFMpegContext.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"
#include "VideoSession/SessionInternal.h"

namespace {

const int kFirstBackoffMs = 1000;
const int kDefaultMaxBackoffMs = 30000;
const int kDefaultNoDataMs = 40000;  // the read thread's own limit
const int kStallMs = 2000;
const int kWatchPollMs = 100;
// A read error that lasts this long without any data in between means the
// connection is gone (a single corrupt packet is followed by good ones).
const int kClosedAfterMs = 500;

thread_local CameraExt *t_pSupervising = nullptr;

const char *StateName(int nState)
{
    static const char *const names[] = {"idle", "connecting", "streaming", "stalled",
                                        "lost", "reconnecting", "closed"};
    return nState >= 0 && nState <= IPC_STATE_CLOSED ? names[nState] : "?";
}

bool Stopping(CameraExt *x)
{
    return __atomic_load_n(&x->bStop, __ATOMIC_SEQ_CST) != 0;
}

// Raises one state event: no lock is held while the host's callback runs.
void Emit(CameraExt *x, int nState, int nReason, int nValue, const char *pText)
{
    AtomicSet(&x->nState, nState);
    CIpCamera *cam = x->pCamera;
    DebugPrint("Camera(id:%d  name:%s) state %s (%d) %s", cam->m_nId, cam->m_szName, StateName(nState), nValue,
               pText);
    pthread_mutex_lock(&x->hLock);
    StateCallBack pfn = x->pfnState;
    void *pUser = x->pStateUser;
    pthread_mutex_unlock(&x->hLock);
    if (pfn)
        pfn(cam, pUser, nState, nReason, nValue, pText);
}

void SetLastError(CameraExt *x, const char *pText)
{
    pthread_mutex_lock(&x->hLock);
    snprintf(x->szLastError, sizeof(x->szLastError), "%s", pText);
    pthread_mutex_unlock(&x->hLock);
}

// Waits up to nMs or until the supervisor is stopped; true when stopped.
bool WaitStop(CameraExt *x, int nMs)
{
    if (!Stopping(x))
        SemaphoreWait(x->pWake, nMs);
    return Stopping(x);
}

// The reason behind a failed open, from the error code its log line
// carries ("... error ret:-111").
int OpenFailure(const char *pLog, char *pText, size_t nSize)
{
    const char *p = nullptr;
    for (const char *q = strstr(pLog, "ret:"); q; q = strstr(q + 1, "ret:"))
        p = q;
    int nCode = p ? atoi(p + 4) : 0;
    if (nCode == AVERROR(ECONNREFUSED)) {
        snprintf(pText, nSize, "connection refused");
        return nCode;
    }
    if (nCode == AVERROR(ETIMEDOUT)) {
        snprintf(pText, nSize, "connection timed out");
        return nCode;
    }
    if (nCode < 0) {
        char szErr[96];
        av_strerror(nCode, szErr, sizeof(szErr));
        snprintf(pText, nSize, "open failed: %s", szErr);
        return nCode;
    }
    snprintf(pText, nSize, "open failed");
    return 0;
}

// One open of the address. 0, or -1 with the reason in pText / *pCode.
int OpenOnce(CameraExt *x, char *pText, size_t nSize, int *pCode)
{
    CIpCamera *cam = x->pCamera;
    CVideoSession *s = &cam->m_VideoSession;
    // Arm first, then look at the stop flag: a stop that comes after the
    // arm sets the cancel flag after it and so still interrupts the open.
    if (!VideoSessionArmOpen(s, x->nTicket) || Stopping(x))
        return -1;
    s->SetSmoothStream(AtomicGet(&cam->m_bSmoothStream));
    s->SetD3DDisplay(AtomicGet(&cam->m_bD3DDisplay));
    static thread_local char szLog[2048];
    szLog[0] = '\0';
    DebugCaptureStart(szLog, sizeof(szLog));
    // With the connect type the host's open took (CameraReconnectStart).
    int r = VideoSessionReopen(s, cam, x->szUrl);
    DebugCaptureStop();
    if (r == 0) {
        // The host may change a switch meanwhile (it stores, then applies
        // to the open stream): apply until the stored value stands still.
        int nDecode, nPause;
        do {
            nDecode = AtomicGet(&x->bDecodeWanted);
            s->SetDecodeEnbale(nDecode);
        } while (nDecode != AtomicGet(&x->bDecodeWanted));
        do {
            nPause = AtomicGet(&x->nPauseWanted);
            s->SetPauseReadFrame(nPause);
        } while (nPause != AtomicGet(&x->nPauseWanted));
        return 0;
    }
    *pCode = OpenFailure(szLog, pText, nSize);
    return -1;
}

bool IsClosedError(int nErr)
{
    return nErr == AVERROR_EOF || nErr == AVERROR(ECONNRESET) || nErr == AVERROR(EPIPE) ||
           nErr == AVERROR(ECONNABORTED) || nErr == AVERROR(ENOTCONN) || nErr == -3;
}

// Watches the open stream until it is lost (returns the reason, with its
// text and code) or the supervisor is stopped (returns IPC_REASON_HOST).
int Watch(CameraExt *x, char *pText, size_t nSize, int *pCode)
{
    CVideoSession *s = &x->pCamera->m_VideoSession;
    *pCode = 0;
    while (!WaitStop(x, kWatchPollMs)) {
        FFMpegContext *ctx = VideoSessionBorrow(s);
        if (!ctx) {
            snprintf(pText, nSize, "stream ended");
            return IPC_REASON_STREAM_ENDED;
        }
        int bFinish = AtomicGet(&ctx->bFinish);
        int nErr = StreamHealthGet(&ctx->health.nReadError);
        uint32_t nIdle = TickCount() - (uint32_t)StreamHealthGet(&ctx->health.nLastDataTick);
        int bPaused = AtomicGet(&ctx->bPauseRead);
        VideoSessionRelease(s);
        int nNoData = AtomicGet(&x->nNoDataMs);
        *pCode = nErr;
        if (bFinish || (nErr < 0 && IsClosedError(nErr) && nIdle >= (uint32_t)kClosedAfterMs)) {
            if (nErr < 0 && IsClosedError(nErr)) {
                snprintf(pText, nSize, "connection closed");
                return IPC_REASON_CONNECTION_CLOSED;
            }
            snprintf(pText, nSize, "stream ended");
            return IPC_REASON_STREAM_ENDED;
        }
        if (bPaused)
            continue;
        if (nIdle >= (uint32_t)nNoData) {
            snprintf(pText, nSize, "no data for %d s", (nNoData + 999) / 1000);
            return IPC_REASON_NO_DATA;
        }
        int nState = AtomicGet(&x->nState);
        if (nIdle >= (uint32_t)kStallMs && nState == IPC_STATE_STREAMING)
            Emit(x, IPC_STATE_STALLED, IPC_REASON_NO_DATA, 0, "no data for 2 s");
        else if (nIdle < (uint32_t)kStallMs && nState == IPC_STATE_STALLED)
            Emit(x, IPC_STATE_STREAMING, IPC_REASON_DATA_RESUMED, 0, "data resumed");
    }
    return IPC_REASON_HOST;
}

// A recording that runs when the stream is lost is finished and renamed
// now (it would otherwise stay open on a dead stream); it is not restarted.
int FinishRecording(CIpCamera *cam, char *pPath, size_t nSize)
{
    cam->IpcLock();
    int bRunning = cam->m_bRecording;
    snprintf(pPath, nSize, "%s", cam->m_szRecordPath);
    if (bRunning)
        cam->StopSaveAvi(cam->m_nRecordType);
    cam->IpcUnLock();
    return bRunning;
}

void FreeStream(CameraExt *x)
{
    CameraHealthFold(x->pCamera);
    x->pCamera->m_VideoSession.VideoFree();
}

// Next delay: the backoff less up to a quarter, so cameras that went down
// together do not all come back in the same instant.
int Jitter(int nBackoffMs, unsigned *pSeed)
{
    return nBackoffMs - (int)(rand_r(pSeed) % (unsigned)(nBackoffMs / 4 + 1));
}

void *Supervise(void *p)
{
    CameraExt *x = (CameraExt *)p;
    t_pSupervising = x;
    unsigned nSeed = (unsigned)TickCount() ^ (unsigned)(uintptr_t)x;
    int nBackoff = kFirstBackoffMs;
    int bStreamed = 0;
    int bFirst = 1;
    char szText[512], szWhy[128];
    while (!Stopping(x)) {
        Emit(x, IPC_STATE_CONNECTING, bFirst ? IPC_REASON_HOST : IPC_REASON_NONE, 0, x->szUrl);
        if (Stopping(x))
            break;
        int nCode = 0;
        int nReason;
        if (OpenOnce(x, szWhy, sizeof(szWhy), &nCode) == 0) {
            bFirst = 0;
            if (bStreamed)
                AtomicAdd(&x->nReconnects, 1);
            bStreamed = 1;
            nBackoff = kFirstBackoffMs;
            Emit(x, IPC_STATE_STREAMING, IPC_REASON_NONE, 0, x->szUrl);
            nReason = Watch(x, szWhy, sizeof(szWhy), &nCode);
            if (nReason == IPC_REASON_HOST)
                break;
            SetLastError(x, szWhy);
            char szPath[256];
            int bRecorded = FinishRecording(x->pCamera, szPath, sizeof(szPath));
            FreeStream(x);
            if (bRecorded)
                snprintf(szText, sizeof(szText), "%s; recording %s finished", szWhy, szPath);
            else
                snprintf(szText, sizeof(szText), "%s", szWhy);
            Emit(x, IPC_STATE_LOST, nReason, bRecorded, szText);
        } else {
            bFirst = 0;
            if (Stopping(x))
                break;
            SetLastError(x, szWhy);
            nReason = nCode == AVERROR(ECONNREFUSED) ? IPC_REASON_REFUSED : IPC_REASON_OPEN_FAILED;
        }
        if (Stopping(x))
            break;
        int nDelay = Jitter(nBackoff, &nSeed);
        int nMax = AtomicGet(&x->nMaxBackoffMs);
        nBackoff = nBackoff >= nMax / 2 ? nMax : nBackoff * 2;
        Emit(x, IPC_STATE_RECONNECTING, nReason, nDelay, szWhy);
        if (WaitStop(x, nDelay))
            break;
    }
    // Destroyed from one of its own events: the camera is gone, and so is
    // its stream (the session's destructor freed it). Only this record is
    // left, and nobody joins this thread.
    if (__atomic_load_n(&x->bOrphan, __ATOMIC_SEQ_CST)) {
        SemaphoreDestroy(x->pWake);
        pthread_mutex_destroy(&x->hLock);
        MemFree(x);
        return nullptr;
    }
    FreeStream(x);
    Emit(x, IPC_STATE_CLOSED, IPC_REASON_HOST, 0, "closed by the host");
    return nullptr;
}

}  // namespace

CameraExt *CameraExtOf(const CIpCamera *pCam)
{
    void **slot = VideoSessionCameraExt(const_cast<CVideoSession *>(&pCam->m_VideoSession));
    return slot ? (CameraExt *)*slot : nullptr;
}

void CameraExtCreate(CIpCamera *pCam)
{
    void **slot = VideoSessionCameraExt(&pCam->m_VideoSession);
    if (!slot)
        return;
    CameraExt *x = (CameraExt *)MemAllocZero(sizeof(CameraExt));
    if (!x)
        return;
    x->pWake = SemaphoreCreate(0);
    if (!x->pWake) {
        MemFree(x);
        return;
    }
    x->pCamera = pCam;
    pthread_mutex_init(&x->hLock, nullptr);
    x->nMaxBackoffMs = kDefaultMaxBackoffMs;
    x->nNoDataMs = kDefaultNoDataMs;
    *slot = x;
}

void CameraExtDestroy(CIpCamera *pCam)
{
    CameraExt *x = CameraExtOf(pCam);
    if (!x)
        return;
    *VideoSessionCameraExt(&pCam->m_VideoSession) = nullptr;
    if (t_pSupervising == x) {
        // Inside a state callback on the supervisor's own thread: it cannot
        // be joined here; it ends when the callback returns and frees x.
        pthread_detach(x->hThread);
        __atomic_store_n(&x->bOrphan, 1, __ATOMIC_SEQ_CST);
        __atomic_store_n(&x->bStop, 1, __ATOMIC_SEQ_CST);
        return;
    }
    CameraReconnectStop(pCam);
    SemaphoreDestroy(x->pWake);
    pthread_mutex_destroy(&x->hLock);
    MemFree(x);
}

int CameraReconnectStart(CIpCamera *pCam, const char *pUrl, uint32_t nTicket)
{
    CameraExt *x = CameraExtOf(pCam);
    if (!x || !AtomicGet(&x->bEnable) || !pUrl)
        return 0;
    snprintf(x->szUrl, sizeof(x->szUrl), "%s", pUrl);
    x->nTicket = nTicket;
    // The connect type is taken now, as a host open takes it, not when the
    // thread gets to connect (another camera may set one meanwhile).
    pCam->m_VideoSession.m_nConnectType = VideoSessionLastConnectType();
    __atomic_store_n(&x->bStop, 0, __ATOMIC_SEQ_CST);
    // A wake-up left by the previous stop would cut the first wait short.
    while (SemaphoreWait(x->pWake, 0) == 0) {
    }
    AtomicSet(&x->nReconnects, 0);
    if (pthread_create(&x->hThread, nullptr, Supervise, x) != 0) {
        DebugPrint("Camera(id:%d  name:%s) no thread for reconnecting: opened without", pCam->m_nId,
                   pCam->m_szName);
        return 0;
    }
    AtomicSet(&x->bThread, 1);
    return 1;
}

void CameraReconnectStop(CIpCamera *pCam)
{
    CameraExt *x = CameraExtOf(pCam);
    if (!x || !AtomicGet(&x->bThread))
        return;
    __atomic_store_n(&x->bStop, 1, __ATOMIC_SEQ_CST);
    SemaphorePost(x->pWake);
    VideoSessionInterruptOpen(&pCam->m_VideoSession);
    pthread_join(x->hThread, nullptr);
    AtomicSet(&x->bThread, 0);
}

int CameraReconnectOnOwnThread(CIpCamera *pCam)
{
    CameraExt *x = CameraExtOf(pCam);
    return x && t_pSupervising == x;
}

int CameraReconnectActive(CIpCamera *pCam)
{
    CameraExt *x = CameraExtOf(pCam);
    return x && AtomicGet(&x->bThread) && !Stopping(x);
}

void CameraRememberDecode(CIpCamera *pCam, int bEnable)
{
    if (CameraExt *x = CameraExtOf(pCam))
        AtomicSet(&x->bDecodeWanted, bEnable);
}

void CameraRememberPause(CIpCamera *pCam, int nPause)
{
    if (CameraExt *x = CameraExtOf(pCam))
        AtomicSet(&x->nPauseWanted, nPause);
}

void CameraReconnectCopySettings(CIpCamera *pDst, const CIpCamera *pSrc)
{
    CameraExt *d = CameraExtOf(pDst);
    CameraExt *s = CameraExtOf(pSrc);
    if (!d || !s)
        return;
    AtomicSet(&d->bEnable, AtomicGet(&s->bEnable));
    AtomicSet(&d->nMaxBackoffMs, AtomicGet(&s->nMaxBackoffMs));
    AtomicSet(&d->nNoDataMs, AtomicGet(&s->nNoDataMs));
    pthread_mutex_lock(&s->hLock);
    StateCallBack pfn = s->pfnState;
    void *pUser = s->pStateUser;
    pthread_mutex_unlock(&s->hLock);
    pDst->SetStateCallBack(pfn, pUser);
}

int CIpCamera::SetAutoReconnect(bool bEnable, int nMaxBackoffMs)
{
    CameraExt *x = CameraExtOf(this);
    if (!x || (bEnable && nMaxBackoffMs < kFirstBackoffMs))
        return -1;
    if (bEnable)
        AtomicSet(&x->nMaxBackoffMs, nMaxBackoffMs);
    AtomicSet(&x->bEnable, bEnable ? 1 : 0);
    return 0;
}

int CIpCamera::SetNoDataLimit(int nMs)
{
    CameraExt *x = CameraExtOf(this);
    if (!x || nMs < kStallMs)
        return -1;
    AtomicSet(&x->nNoDataMs, nMs);
    return 0;
}

void CIpCamera::SetStateCallBack(StateCallBack pfn, void *pUser)
{
    CameraExt *x = CameraExtOf(this);
    if (!x)
        return;
    pthread_mutex_lock(&x->hLock);
    x->pfnState = pfn;
    x->pStateUser = pUser;
    pthread_mutex_unlock(&x->hLock);
}

int CIpCamera::GetState()
{
    CameraExt *x = CameraExtOf(this);
    return x ? AtomicGet(&x->nState) : IPC_STATE_IDLE;
}
