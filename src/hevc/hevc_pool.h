/* Worker pool of a multi-threaded decoder handle: a fixed set of threads
 * fed through three bounded queues of task records (free, pending,
 * completed), each with its own lock and not-empty / not-full conditions.
 * Created once per handle; task records are reused through the free queue,
 * so decoding allocates nothing per picture. Only the thread that drives
 * the handle submits and waits; while it waits it runs tasks no worker has
 * started yet itself, so it sleeps only when every task is taken. At most
 * iRunMax workers run tasks at once (with the driving thread, no more busy
 * threads than cores). Lock order: a thread never holds two queue locks at
 * once. */
#ifndef HEVC_POOL_H
#define HEVC_POOL_H

#include <pthread.h>
#include <stdint.h>
#include "IHW265D.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HEVC_POOL_THREADS 4

typedef uint32_t (*HevcTaskFxn)(void *pArg);

/* Task record: function, argument, result. */
typedef struct {
    HevcTaskFxn pfnTask;
    void *pArg;
    uint32_t uiResult;
} HevcTask;

/* Bounded FIFO of task records; every field is guarded by stLock. */
typedef struct {
    HevcTask **ppstEntry;     /* iCap entries */
    int iCap, iCount;
    pthread_mutex_t stLock;
    pthread_cond_t stNotEmpty, stNotFull;
    int bInit;                /* lock and conditions were created */
} HevcQueue;

typedef struct HevcPool HevcPool;

typedef struct {
    pthread_t stThread;
    void *(*pfnRoutine)(void *);
    HevcPool *pstPool;
    int iIndex;
    int bStarted;
} HevcPoolThread;

struct HevcPool {
    int bStop;                /* guarded by stPending.stLock */
    /* Workers taking tasks: guarded by stPending.stLock. A submit signals a
     * worker only while fewer than iRunMax run or have been signalled, so no
     * worker wakes just to find the task taken. */
    int iRunMax;              /* workers that may run tasks at once (1..iThreads) */
    int iRunning;             /* workers running a task */
    int iIdle;                /* workers asleep on stPending.stNotEmpty */
    int iSignalled;           /* of those, signalled and not yet awake */
    int iThreads;
    /* Run once by each worker before its loop with its index, and by the
     * driving thread with index iThreads before each task it runs itself. */
    void (*pfnStartHook)(void *pArg, int iIndex);
    void *pHookArg;
    HevcPoolThread astThread[HEVC_POOL_THREADS];
    HevcTask astTask[HEVC_POOL_THREADS];
    HevcQueue stFree, stPending, stDone;
};

/* Process-wide once-only set-up (won by a compare-and-swap); 0 or -1. */
int HevcThreadSupportInit(void);
/* A lock and two condition variables (pstCondB NULL: one); on failure none
 * is left created. */
int HevcLockAndCondsInit(pthread_mutex_t *pstLock, pthread_cond_t *pstCondA, pthread_cond_t *pstCondB);
/* Starts iThreads workers with queues of capacity iMaxSize in the caller's
 * record (its memory comes from the decoder's table). Logs and returns -1
 * on failure, with everything already started stopped again. */
int HevcPoolCreate(HevcPool *pstPool, int iThreads, int iMaxSize, void (*pfnHook)(void *, int), void *pHookArg,
                   HevcTask **ppstQueueMem, IHW265D_LOG_FXN pfnLog, unsigned int uiChannel);
/* How many workers may run tasks at once (clamped to 1..iThreads). */
void HevcPoolSetRunMax(HevcPool *pstPool, int iRunMax);
/* Queues pfnTask(pArg); blocks while no record is free or the queue is full. */
void HevcPoolSubmit(HevcPool *pstPool, HevcTaskFxn pfnTask, void *pArg);
/* Tasks queued that no thread has started yet. */
int HevcPoolPending(HevcPool *pstPool);
/* Returns the result of the task submitted with pArg once it has completed.
 * Meanwhile the calling thread runs the pending tasks no worker has taken,
 * oldest first (that one, or the ones queued before it), and blocks only
 * when none is left. A task may therefore run on the driving thread; it
 * must not wait for a task queued after it. */
uint32_t HevcPoolWait(HevcPool *pstPool, void *pArg);
/* Sets the stop flag, wakes and joins every worker, destroys the queues.
 * Accepts a pool that was never (or only partly) created. */
void HevcPoolStop(HevcPool *pstPool);

#ifdef __cplusplus
}
#endif
#endif
