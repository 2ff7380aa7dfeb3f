/* The worker pool: bounded queues, worker loop, submit / wait, stop. */
#include "hevc_pool.h"

#include <string.h>

/* Once-only set-up shared by every handle of the process. On Linux the
 * pthread condition variables are always present, so they stand in for the
 * run-time look-up of the system's condition-variable functions (and their
 * emulation when absent); what remains is the process-wide lock, created
 * by whichever handle wins the compare-and-swap. */
static int s_iSupportState;            /* 0 none, 1 being set up, 2 ready (atomic) */
static pthread_mutex_t s_stProcessLock = PTHREAD_MUTEX_INITIALIZER;

int HevcThreadSupportInit(void)
{
    int iExpected = 0;
    if (__atomic_compare_exchange_n(&s_iSupportState, &iExpected, 1, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        pthread_mutex_lock(&s_stProcessLock);
        pthread_mutex_unlock(&s_stProcessLock);
        __atomic_store_n(&s_iSupportState, 2, __ATOMIC_RELEASE);
        return 0;
    }
    /* Lost: the winner finishes in a few instructions; its lock orders us. */
    pthread_mutex_lock(&s_stProcessLock);
    pthread_mutex_unlock(&s_stProcessLock);
    return 0;
}

int HevcLockAndCondsInit(pthread_mutex_t *pstLock, pthread_cond_t *pstCondA, pthread_cond_t *pstCondB)
{
    if (pthread_mutex_init(pstLock, NULL))
        return -1;
    if (pthread_cond_init(pstCondA, NULL)) {
        pthread_mutex_destroy(pstLock);
        return -1;
    }
    if (pstCondB && pthread_cond_init(pstCondB, NULL)) {
        pthread_cond_destroy(pstCondA);
        pthread_mutex_destroy(pstLock);
        return -1;
    }
    return 0;
}

static int QueueInit(HevcQueue *q, HevcTask **ppstMem, int iCap)
{
    q->ppstEntry = ppstMem;
    q->iCap = iCap;
    q->iCount = 0;
    if (HevcLockAndCondsInit(&q->stLock, &q->stNotEmpty, &q->stNotFull))
        return -1;
    q->bInit = 1;
    return 0;
}

static void QueueDestroy(HevcQueue *q)
{
    if (!q->bInit)
        return;
    pthread_cond_destroy(&q->stNotFull);
    pthread_cond_destroy(&q->stNotEmpty);
    pthread_mutex_destroy(&q->stLock);
    q->bInit = 0;
}

/* Appends, waiting while the queue is full; the lock is held. */
static void QueueAppendLocked(HevcQueue *q, HevcTask *t)
{
    while (q->iCount == q->iCap)
        pthread_cond_wait(&q->stNotFull, &q->stLock);
    q->ppstEntry[q->iCount++] = t;
}

/* Appends under the queue's lock. The waiter is signalled after the lock is
 * let go, so it does not wake into a lock still held (it looks at the
 * queue again under the lock). */
static void QueuePush(HevcQueue *q, HevcTask *t)
{
    pthread_mutex_lock(&q->stLock);
    QueueAppendLocked(q, t);
    pthread_mutex_unlock(&q->stLock);
    pthread_cond_signal(&q->stNotEmpty);
}

/* Removes entry i (later entries move up); the lock is held. */
static HevcTask *QueueTakeLocked(HevcQueue *q, int i)
{
    HevcTask *t = q->ppstEntry[i];
    memmove(&q->ppstEntry[i], &q->ppstEntry[i + 1], sizeof(HevcTask *) * (size_t)(q->iCount - i - 1));
    q->iCount--;
    pthread_cond_signal(&q->stNotFull);
    return t;
}

static HevcTask *QueuePop(HevcQueue *q)
{
    pthread_mutex_lock(&q->stLock);
    while (q->iCount == 0)
        pthread_cond_wait(&q->stNotEmpty, &q->stLock);
    HevcTask *t = QueueTakeLocked(q, 0);
    pthread_mutex_unlock(&q->stLock);
    return t;
}

static void *WorkerMain(void *pArg)
{
    HevcPoolThread *pstSelf = (HevcPoolThread *)pArg;
    HevcPool *p = pstSelf->pstPool;
    if (p->pfnStartHook)
        p->pfnStartHook(p->pHookArg, pstSelf->iIndex);
    HevcQueue *q = &p->stPending;
    pthread_mutex_lock(&q->stLock);
    for (;;) {
        while ((q->iCount == 0 || p->iRunning >= p->iRunMax) && !p->bStop) {
            p->iIdle++;
            pthread_cond_wait(&q->stNotEmpty, &q->stLock);
            p->iIdle--;
            if (p->iSignalled > 0)
                p->iSignalled--;
        }
        if (p->bStop)
            break;
        HevcTask *t = QueueTakeLocked(q, 0);
        p->iRunning++;
        pthread_mutex_unlock(&q->stLock);
        t->uiResult = t->pfnTask(t->pArg);
        /* Counted as running until it is back under the lock, where it
         * takes the next pending task without sleeping. */
        QueuePush(&p->stDone, t);
        pthread_mutex_lock(&q->stLock);
        p->iRunning--;
    }
    pthread_mutex_unlock(&q->stLock);
    return NULL;
}

int HevcPoolCreate(HevcPool *p, int iThreads, int iMaxSize, void (*pfnHook)(void *, int), void *pHookArg,
                   HevcTask **ppstQueueMem, IHW265D_LOG_FXN pfnLog, unsigned int uiChannel)
{
    memset(p, 0, sizeof(*p));
    if (iThreads < 1 || iThreads > HEVC_POOL_THREADS) {
        pfnLog(uiChannel, IHW265D_LOG_ERROR, "iThreads %d is invalid\n", iThreads);
        return -1;
    }
    if (iMaxSize < 1 || iMaxSize > HEVC_POOL_THREADS) {
        pfnLog(uiChannel, IHW265D_LOG_ERROR, "iMaxSize %d is invalid\n", iMaxSize);
        return -1;
    }
    if (!ppstQueueMem)
        return -1;
    p->iThreads = iThreads;
    p->iRunMax = iThreads;
    p->pfnStartHook = pfnHook;
    p->pHookArg = pHookArg;
    if (QueueInit(&p->stFree, ppstQueueMem, iMaxSize) || QueueInit(&p->stPending, ppstQueueMem + iMaxSize, iMaxSize) ||
        QueueInit(&p->stDone, ppstQueueMem + 2 * iMaxSize, iMaxSize)) {
        HevcPoolStop(p);
        return -1;
    }
    for (int i = 0; i < iMaxSize; i++)
        p->stFree.ppstEntry[p->stFree.iCount++] = &p->astTask[i];
    for (int i = 0; i < iThreads; i++) {
        HevcPoolThread *t = &p->astThread[i];
        t->pfnRoutine = WorkerMain;
        t->pstPool = p;
        t->iIndex = i;
        if (pthread_create(&t->stThread, NULL, t->pfnRoutine, t)) {
            HevcPoolStop(p);
            return -1;
        }
        t->bStarted = 1;
    }
    return 0;
}

void HevcPoolSetRunMax(HevcPool *p, int iRunMax)
{
    pthread_mutex_lock(&p->stPending.stLock);
    p->iRunMax = iRunMax < 1 ? 1 : iRunMax > p->iThreads ? p->iThreads : iRunMax;
    pthread_mutex_unlock(&p->stPending.stLock);
}

void HevcPoolSubmit(HevcPool *p, HevcTaskFxn pfnTask, void *pArg)
{
    HevcTask *t = QueuePop(&p->stFree);
    t->pfnTask = pfnTask;
    t->pArg = pArg;
    t->uiResult = 0;
    HevcQueue *q = &p->stPending;
    pthread_mutex_lock(&q->stLock);
    QueueAppendLocked(q, t);
    /* A running worker takes it when it finishes; wake a sleeping one only
     * while the run limit leaves room for it (after letting go of the lock,
     * as in QueuePush). */
    int bWake = p->iIdle > p->iSignalled && p->iRunning + p->iSignalled < p->iRunMax;
    if (bWake)
        p->iSignalled++;
    pthread_mutex_unlock(&q->stLock);
    if (bWake)
        pthread_cond_signal(&q->stNotEmpty);
}

int HevcPoolPending(HevcPool *p)
{
    pthread_mutex_lock(&p->stPending.stLock);
    const int n = p->stPending.iCount;
    pthread_mutex_unlock(&p->stPending.stLock);
    return n;
}

/* Takes the completed record of pArg out of the done queue, or NULL. */
static HevcTask *TakeDone(HevcQueue *q, void *pArg)
{
    for (int i = 0; i < q->iCount; i++)
        if (q->ppstEntry[i]->pArg == pArg)
            return QueueTakeLocked(q, i);
    return NULL;
}

uint32_t HevcPoolWait(HevcPool *p, void *pArg)
{
    HevcQueue *pd = &p->stDone, *pp = &p->stPending;
    HevcTask *t;
    for (;;) {
        pthread_mutex_lock(&pd->stLock);
        t = TakeDone(pd, pArg);
        pthread_mutex_unlock(&pd->stLock);
        if (t)
            break;
        /* Not done: run the oldest task nobody has started here. Tasks run
         * in submission order, so whatever the waited-for task depends on
         * has started before it. */
        pthread_mutex_lock(&pp->stLock);
        HevcTask *r = pp->iCount ? QueueTakeLocked(pp, 0) : NULL;
        pthread_mutex_unlock(&pp->stLock);
        if (r) {
            if (p->pfnStartHook)
                p->pfnStartHook(p->pHookArg, p->iThreads);
            r->uiResult = r->pfnTask(r->pArg);
            if (r->pArg == pArg) {
                t = r;
                break;
            }
            QueuePush(pd, r);
            continue;
        }
        /* Every task is on a worker: sleep until this one completes. Only
         * this thread submits, so nothing can appear in the pending queue. */
        pthread_mutex_lock(&pd->stLock);
        while (!(t = TakeDone(pd, pArg)))
            pthread_cond_wait(&pd->stNotEmpty, &pd->stLock);
        pthread_mutex_unlock(&pd->stLock);
        break;
    }
    uint32_t uiResult = t->uiResult;
    QueuePush(&p->stFree, t);
    return uiResult;
}

void HevcPoolStop(HevcPool *p)
{
    if (!p)
        return;
    if (p->stPending.bInit) {
        pthread_mutex_lock(&p->stPending.stLock);
        p->bStop = 1;
        pthread_cond_broadcast(&p->stPending.stNotEmpty);
        pthread_mutex_unlock(&p->stPending.stLock);
    }
    for (int i = 0; i < HEVC_POOL_THREADS; i++)
        if (p->astThread[i].bStarted) {
            pthread_join(p->astThread[i].stThread, NULL);
            p->astThread[i].bStarted = 0;
        }
    QueueDestroy(&p->stFree);
    QueueDestroy(&p->stPending);
    QueueDestroy(&p->stDone);
}
