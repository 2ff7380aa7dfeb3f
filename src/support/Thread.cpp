// Thread, lock and signal wrappers on POSIX threads.

#include "support/Thread.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

// Re-entrant mutex with explicit ownership, so an unlock by a thread that
// does not own it is recognised and ignored without touching the lock.
struct Mutex {
    pthread_mutex_t hMutex;  // plain (non-recursive)
    pthread_t hOwner;        // atomic: written by the owner before bOwned
    int bOwned;              // atomic (release/acquire): hOwner is valid
    int nDepth;              // owner thread only
};

static bool MutexOwnedBySelf(Mutex *m)
{
    return __atomic_load_n(&m->bOwned, __ATOMIC_ACQUIRE) &&
           pthread_equal(__atomic_load_n(&m->hOwner, __ATOMIC_RELAXED), pthread_self());
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
    if (pthread_mutex_init(&m->hMutex, nullptr) != 0) {
        MemFree(m);
        return nullptr;
    }
    return m;
}

int MutexLock(Mutex *m)
{
    if (!m)
        return -1;
    // Only this thread makes itself the owner, so a yes cannot be stale; a
    // no from another owner's fields just means the lock must be waited for.
    if (MutexOwnedBySelf(m)) {
        m->nDepth++;
        return 0;
    }
    if (pthread_mutex_lock(&m->hMutex) != 0)
        return -1;
    __atomic_store_n(&m->hOwner, pthread_self(), __ATOMIC_RELAXED);
    __atomic_store_n(&m->bOwned, 1, __ATOMIC_RELEASE);
    m->nDepth = 1;
    return 0;
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
    __atomic_store_n(&m->bOwned, 0, __ATOMIC_RELEASE);
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
