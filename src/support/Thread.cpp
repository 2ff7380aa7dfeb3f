// Thread, lock and signal wrappers on POSIX threads.

#include "support/Thread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

// Re-entrant mutex with explicit ownership, so an unlock by a thread that
// does not own it is recognised and ignored without touching the lock. The
// kernel lock is robust: when its owner thread ends without unlocking, the
// next locker is told so and takes it over.
struct Mutex {
    pthread_mutex_t hMutex;  // robust, not recursive
    uint64_t nOwner;         // atomic: token of the owning thread, 0 when free
    int nDepth;              // owner thread only
};

// Ownership goes by a per-thread token that is never reused: a pthread_t
// is, and a thread started after the owner ended would otherwise take the
// dead owner's lock for its own without ever acquiring it.
static uint64_t s_nNextToken = 1;
static thread_local uint64_t t_nToken;

static uint64_t ThreadToken(void)
{
    if (t_nToken == 0)
        t_nToken = __atomic_fetch_add(&s_nNextToken, 1, __ATOMIC_RELAXED);
    return t_nToken;
}

// Only this thread writes its own token, so a yes cannot be stale.
static bool MutexOwnedBySelf(Mutex *m)
{
    return __atomic_load_n(&m->nOwner, __ATOMIC_RELAXED) == ThreadToken();
}

// A counting semaphore built from a mutex and a condition variable on the
// monotonic clock, so time-outs are not disturbed by wall-clock changes.
struct Semaphore {
    pthread_mutex_t hLock;
    pthread_cond_t hCond;
    int nCount;  // guarded by hLock
};

struct Thread {
    pthread_t hThread;
    uint32_t nThreadId;
    int bJoinable;  // creator/joiner thread only
    ThreadRoutine pfnRoutine;
    void *pArg;
};

struct Cond {
    Mutex *pMutex;  // created with the record; not used by the wait
    Semaphore *pSemaphore;
};

enum { SEMAPHORE_MAX = 0x7FFFFFFF };

void *MemAllocZero(size_t nSize)
{
    return calloc(1, nSize ? nSize : 1);
}

void MemFree(void *p)
{
    free(p);
}

Mutex *MutexCreate(void)
{
    Mutex *m = (Mutex *)MemAllocZero(sizeof(Mutex));
    if (!m)
        return nullptr;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int r = pthread_mutex_init(&m->hMutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (r != 0) {
        MemFree(m);
        return nullptr;
    }
    return m;
}

int MutexLock(Mutex *m)
{
    if (!m)
        return -1;
    if (MutexOwnedBySelf(m)) {
        m->nDepth++;
        return 0;
    }
    int r = pthread_mutex_lock(&m->hMutex);
    if (r == EOWNERDEAD) {
        // The owner ended holding it: the caller owns it now, at depth 1,
        // and hears -1 so it knows the guarded state may be half-changed.
        pthread_mutex_consistent(&m->hMutex);
    } else if (r != 0) {
        return -1;
    }
    __atomic_store_n(&m->nOwner, ThreadToken(), __ATOMIC_RELAXED);
    m->nDepth = 1;
    return r == 0 ? 0 : -1;
}

int MutexUnlock(Mutex *m)
{
    if (!m)
        return -1;
    // An unlock by a thread that does not own the mutex has no effect and
    // is still answered with 0.
    if (!MutexOwnedBySelf(m))
        return 0;
    if (--m->nDepth > 0)
        return 0;
    __atomic_store_n(&m->nOwner, 0, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&m->hMutex);
    return 0;
}

void MutexDestroy(Mutex *m)
{
    if (!m)
        return;
    pthread_mutex_destroy(&m->hMutex);
    MemFree(m);
}

Semaphore *SemaphoreCreate(int nInitialCount)
{
    if (nInitialCount < 0)
        return nullptr;
    Semaphore *s = (Semaphore *)MemAllocZero(sizeof(Semaphore));
    if (!s)
        return nullptr;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int r1 = pthread_mutex_init(&s->hLock, nullptr);
    int r2 = pthread_cond_init(&s->hCond, &attr);
    pthread_condattr_destroy(&attr);
    if (r1 != 0 || r2 != 0) {
        if (r1 == 0)
            pthread_mutex_destroy(&s->hLock);
        if (r2 == 0)
            pthread_cond_destroy(&s->hCond);
        MemFree(s);
        return nullptr;
    }
    s->nCount = nInitialCount;
    return s;
}

int SemaphorePost(Semaphore *s)
{
    if (!s)
        return -1;
    pthread_mutex_lock(&s->hLock);
    if (s->nCount < SEMAPHORE_MAX)
        s->nCount++;
    pthread_cond_signal(&s->hCond);
    pthread_mutex_unlock(&s->hLock);
    return 0;
}

int SemaphoreWait(Semaphore *s, int nTimeoutMs)
{
    if (!s)
        return -1;
    struct timespec deadline;
    if (nTimeoutMs >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += nTimeoutMs / 1000;
        deadline.tv_nsec += (long)(nTimeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    int nResult = 0;
    pthread_mutex_lock(&s->hLock);
    while (s->nCount == 0) {
        int r = nTimeoutMs >= 0 ? pthread_cond_timedwait(&s->hCond, &s->hLock, &deadline)
                                : pthread_cond_wait(&s->hCond, &s->hLock);
        if (r == ETIMEDOUT) {
            nResult = 1;
            break;
        }
        if (r != 0) {
            nResult = -1;
            break;
        }
    }
    if (nResult == 0)
        s->nCount--;
    pthread_mutex_unlock(&s->hLock);
    return nResult;
}

int SemaphoreDestroy(Semaphore *s)
{
    if (!s)
        return 0;
    pthread_cond_destroy(&s->hCond);
    pthread_mutex_destroy(&s->hLock);
    MemFree(s);
    return 0;
}

static void *ThreadTrampoline(void *p)
{
    Thread *t = (Thread *)p;
    t->pfnRoutine(t->pArg);
    return nullptr;
}

static uint32_t s_nNextThreadId = 1;

Thread *ThreadCreate(ThreadRoutine pfnRoutine, void *pArg)
{
    if (!pfnRoutine)
        return nullptr;
    Thread *t = (Thread *)MemAllocZero(sizeof(Thread));
    if (!t)
        return nullptr;
    t->pfnRoutine = pfnRoutine;
    t->pArg = pArg;
    t->nThreadId = __atomic_fetch_add(&s_nNextThreadId, 1, __ATOMIC_RELAXED);
    if (pthread_create(&t->hThread, nullptr, ThreadTrampoline, t) != 0) {
        MemFree(t);
        return nullptr;
    }
    t->bJoinable = 1;
    return t;
}

struct DetachedRun {
    ThreadRoutine pfnRoutine;
    void *pArg;
};

static void *DetachedTrampoline(void *p)
{
    DetachedRun run = *(DetachedRun *)p;
    MemFree(p);
    run.pfnRoutine(run.pArg);
    return nullptr;
}

int ThreadRunDetached(ThreadRoutine pfnRoutine, void *pArg)
{
    DetachedRun *run = (DetachedRun *)MemAllocZero(sizeof(DetachedRun));
    if (!pfnRoutine || !run) {
        MemFree(run);
        return -1;
    }
    run->pfnRoutine = pfnRoutine;
    run->pArg = pArg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t h;
    int r = pthread_create(&h, &attr, DetachedTrampoline, run);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        MemFree(run);
        return -1;
    }
    return 0;
}

int ThreadJoin(Thread *t)
{
    if (!t || !t->bJoinable)
        return -1;
    if (pthread_join(t->hThread, nullptr) != 0)
        return -1;
    t->bJoinable = 0;
    return 0;
}

Cond *CondCreate(void)
{
    Cond *c = (Cond *)MemAllocZero(sizeof(Cond));
    if (!c)
        return nullptr;
    c->pMutex = MutexCreate();
    c->pSemaphore = SemaphoreCreate(0);
    if (!c->pMutex || !c->pSemaphore) {
        CondDestroy(c);
        return nullptr;
    }
    return c;
}

int CondSignal(Cond *c)
{
    if (!c)
        return -1;
    return SemaphorePost(c->pSemaphore);
}

int CondWait(Cond *c, Mutex *m, int nTimeoutMs)
{
    if (!c || !c->pSemaphore)
        return -1;
    if (MutexUnlock(m) != 0)
        return -1;
    int r = SemaphoreWait(c->pSemaphore, nTimeoutMs);
    if (MutexLock(m) != 0)
        return -1;
    return r;
}

void CondDestroy(Cond *c)
{
    if (!c)
        return;
    SemaphoreDestroy(c->pSemaphore);
    MutexDestroy(c->pMutex);
    MemFree(c);
}
