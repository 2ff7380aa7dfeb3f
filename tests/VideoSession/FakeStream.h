#ifndef IPCAMERA_TESTS_FAKESTREAM_H
#define IPCAMERA_TESTS_FAKESTREAM_H

// A stream context without threads or source, attached to a session so the
// session's and camera's own logic can be driven directly. Detach it before
// the session closes (it was not made by FFMpegContextCreate).

#include "ipcamera/IpCamera.h"
#include "stream/FFMpegContext.h"
#include "support/List.h"
#include "support/Thread.h"

struct FakeStream {
    FFMpegContext *ctx = nullptr;
    CVideoSession *pSession = nullptr;
    int nDummy = 0;

    FakeStream()
    {
        ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
        ctx->pPktList = (List *)MemAllocZero(sizeof(List));
        ctx->hPktListMutex = MutexCreate();
        ctx->hSaveMutex = MutexCreate();
        ctx->bRunning = 1;
        ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
    }
    ~FakeStream()
    {
        Detach();
        ListDestroy(ctx->pPktList, nullptr);
        MutexDestroy(ctx->hPktListMutex);
        MutexDestroy(ctx->hSaveMutex);
        MemFree(ctx);
    }
    void Attach(CVideoSession *s, CIpCamera *pOwner)
    {
        pSession = s;
        ctx->pSession = s;
        s->m_VideoContext = ctx;
        s->m_bInit = 1;
        s->m_pOwner = pOwner;
    }
    void Detach()
    {
        if (!pSession)
            return;
        pSession->m_VideoContext = nullptr;
        pSession->m_bInit = 0;
        pSession->m_pOwner = nullptr;
        pSession = nullptr;
    }
    // Queue length as GetAVPktListElmCount sees it.
    void SetQueued(int n)
    {
        ListClear(ctx->pPktList, nullptr);
        for (int i = 0; i < n; i++)
            ListInsert(ctx->pPktList, &nDummy, -1);
    }
};

// 1 if the session's frame-ready signal holds a unit (and consumes it).
static inline int TakeFrameSignal(CVideoSession &s)
{
    Mutex *m = MutexCreate();
    MutexLock(m);
    int r = CondWait(s.m_pFrameCond, m, 0);
    MutexUnlock(m);
    MutexDestroy(m);
    return r == 0;
}

#endif
