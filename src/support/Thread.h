#ifndef IPCAMERA_SUPPORT_THREAD_H
#define IPCAMERA_SUPPORT_THREAD_H

// Thread, lock and signal wrappers. Each create function hands out a small
// heap record; every operation accepts a null record (answering -1, or doing
// nothing for the destroy functions), so tear-down paths need no checks.

#include <stddef.h>
#include <stdint.h>

// Re-entrant mutex: the owning thread may lock it again and must unlock it as
// often. Unlocking a mutex the caller does not own returns 0 and changes
// nothing. When the owning thread ends without unlocking, the next
// MutexLock takes the mutex over and reports -1.
struct Mutex;
// Counting semaphore, maximum count 0x7FFFFFFF; posts beyond it are dropped.
struct Semaphore;
// A running thread; ThreadJoin waits for it, the owner frees the record with
// MemFree afterwards.
struct Thread;
// Counted signal: each CondSignal adds one unit that a CondWait consumes,
// signals with nobody waiting are kept.
struct Cond;

typedef int (*ThreadRoutine)(void *pArg);

void *MemAllocZero(size_t nSize);
void MemFree(void *p);

Mutex *MutexCreate(void);
// 0 on acquisition; -1 for a null mutex, and when the previous owner thread
// ended without unlocking (the caller then owns the mutex all the same).
int MutexLock(Mutex *m);
// 0 (also when the caller does not own it), -1 for a null mutex.
int MutexUnlock(Mutex *m);
void MutexDestroy(Mutex *m);

Semaphore *SemaphoreCreate(int nInitialCount);
int SemaphorePost(Semaphore *s);
// Waits up to nTimeoutMs (negative: no limit). 0 obtained, 1 timed out,
// -1 null or failure.
int SemaphoreWait(Semaphore *s, int nTimeoutMs);
int SemaphoreDestroy(Semaphore *s);

// Starts pfnRoutine(pArg) on a new thread; null on failure.
Thread *ThreadCreate(ThreadRoutine pfnRoutine, void *pArg);
// Starts pfnRoutine(pArg) on a thread that nobody joins (it releases its
// own resources when the routine returns). 0, or -1 when it cannot start.
int ThreadRunDetached(ThreadRoutine pfnRoutine, void *pArg);
// Waits until the routine has returned; 0, or -1 for a null or already
// joined thread. Does not free the record.
int ThreadJoin(Thread *t);

Cond *CondCreate(void);
int CondSignal(Cond *c);
// Releases m (which the caller holds), waits up to nTimeoutMs for one unit,
// takes m again. 0 signalled, 1 timed out, -1 null cond/mutex or failure.
int CondWait(Cond *c, Mutex *m, int nTimeoutMs);
void CondDestroy(Cond *c);

#endif
