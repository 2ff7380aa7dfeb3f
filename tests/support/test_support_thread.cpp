// Thread, lock and counted-signal wrappers.

#include <gtest/gtest.h>

#include <atomic>

#include "support/Platform.h"
#include "support/Thread.h"

namespace {

struct TryLockArg {
    Mutex *m;
    std::atomic<int> bLocked{0};
};

int LockAndRelease(void *p)
{
    TryLockArg *a = (TryLockArg *)p;
    MutexLock(a->m);
    a->bLocked = 1;
    MutexUnlock(a->m);
    return 0;
}

// Starts a thread that tries to take the mutex; reports whether it got it
// within nWaitMs, then joins (after the caller released it if need be).
struct Contender {
    TryLockArg arg;
    Thread *t = nullptr;
    explicit Contender(Mutex *m) { arg.m = m; t = ThreadCreate(LockAndRelease, &arg); }
    bool GotItWithin(int nWaitMs)
    {
        uint32_t t0 = TickCount();
        while ((uint32_t)(TickCount() - t0) < (uint32_t)nWaitMs) {
            if (arg.bLocked)
                return true;
            SleepMs(5);
        }
        return arg.bLocked != 0;
    }
    void Finish()
    {
        ThreadJoin(t);
        MemFree(t);
    }
};

}  // namespace

TEST(SupportMutex, ReentrantLockNeedsAsManyUnlocks)
{
    Mutex *m = MutexCreate();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(MutexLock(m), 0);
    EXPECT_EQ(MutexLock(m), 0);
    EXPECT_EQ(MutexUnlock(m), 0);

    Contender c(m);
    ASSERT_NE(c.t, nullptr);
    EXPECT_FALSE(c.GotItWithin(150)) << "one unlock of two must keep the mutex owned";
    EXPECT_EQ(MutexUnlock(m), 0);
    EXPECT_TRUE(c.GotItWithin(2000));
    c.Finish();
    MutexDestroy(m);
}

TEST(SupportMutex, UnlockByNonOwnerChangesNothing)
{
    Mutex *m = MutexCreate();
    ASSERT_NE(m, nullptr);
    struct Arg {
        Mutex *m;
        int nResult;
    } a{m, -2};
    EXPECT_EQ(MutexLock(m), 0);
    Thread *t = ThreadCreate(
        [](void *p) -> int {
            Arg *x = (Arg *)p;
            x->nResult = MutexUnlock(x->m);
            return 0;
        },
        &a);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ThreadJoin(t), 0);
    MemFree(t);
    EXPECT_EQ(a.nResult, 0);

    Contender c(m);
    EXPECT_FALSE(c.GotItWithin(150)) << "a foreign unlock must not release the owner's lock";
    MutexUnlock(m);
    EXPECT_TRUE(c.GotItWithin(2000));
    c.Finish();
    MutexDestroy(m);
}

TEST(SupportNull, EveryOperationAcceptsNull)
{
    EXPECT_EQ(MutexLock(nullptr), -1);
    EXPECT_EQ(MutexUnlock(nullptr), -1);
    MutexDestroy(nullptr);
    EXPECT_EQ(SemaphorePost(nullptr), -1);
    EXPECT_EQ(SemaphoreWait(nullptr, 0), -1);
    EXPECT_EQ(SemaphoreDestroy(nullptr), 0);
    EXPECT_EQ(ThreadJoin(nullptr), -1);
    EXPECT_EQ(CondSignal(nullptr), -1);
    CondDestroy(nullptr);
    MemFree(nullptr);
    EXPECT_EQ(ThreadCreate(nullptr, nullptr), nullptr);
}

TEST(SupportCond, SignalsAreCountedWaitTimesOutAndWakesAcrossThreads)
{
    Cond *c = CondCreate();
    Mutex *m = MutexCreate();
    ASSERT_NE(c, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(CondSignal(c), 0);
    EXPECT_EQ(CondSignal(c), 0);
    MutexLock(m);
    uint32_t t0 = TickCount();
    EXPECT_EQ(CondWait(c, m, 1000), 0);
    EXPECT_EQ(CondWait(c, m, 1000), 0);
    EXPECT_LT((uint32_t)(TickCount() - t0), 100u);
    t0 = TickCount();
    EXPECT_EQ(CondWait(c, m, 1000), 1);
    uint32_t nWaited = TickCount() - t0;
    EXPECT_GE(nWaited, 990u);
    EXPECT_LT(nWaited, 1500u);
    // A signal from another thread wakes the waiter.
    Thread *t = ThreadCreate(
        [](void *p) -> int {
            SleepMs(50);
            CondSignal((Cond *)p);
            return 0;
        },
        c);
    t0 = TickCount();
    EXPECT_EQ(CondWait(c, m, 5000), 0);
    EXPECT_LT((uint32_t)(TickCount() - t0), 2000u);
    MutexUnlock(m);
    ThreadJoin(t);
    MemFree(t);
    CondDestroy(c);
    MutexDestroy(m);
}

TEST(SupportCond, NullCondOrMutexFailsWithoutTouchingTheMutex)
{
    Cond *c = CondCreate();
    Mutex *m = MutexCreate();
    MutexLock(m);
    EXPECT_EQ(CondWait(nullptr, m, 10), -1);
    // Still held once: another thread must not get it.
    Contender k(m);
    EXPECT_FALSE(k.GotItWithin(100));
    MutexUnlock(m);
    EXPECT_TRUE(k.GotItWithin(2000));
    k.Finish();
    EXPECT_EQ(CondWait(c, nullptr, 10), -1);
    CondDestroy(c);
    MutexDestroy(m);
}

TEST(SupportThread, JoinReturnsAfterTheRoutineAndOnlyOnce)
{
    static std::atomic<int> s_bDone{0};
    Thread *t = ThreadCreate(
        [](void *) -> int {
            SleepMs(60);
            s_bDone = 1;
            return 7;
        },
        nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ThreadJoin(t), 0);
    EXPECT_EQ(s_bDone.load(), 1);
    EXPECT_EQ(ThreadJoin(t), -1) << "a joined thread cannot be joined again";
    MemFree(t);
}

TEST(SupportSemaphore, InitialCountAndMaximum)
{
    Semaphore *s = SemaphoreCreate(2);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SemaphoreWait(s, 0), 0);
    EXPECT_EQ(SemaphoreWait(s, 0), 0);
    EXPECT_EQ(SemaphoreWait(s, 0), 1);
    SemaphoreDestroy(s);

    s = SemaphoreCreate(0x7FFFFFFF);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SemaphorePost(s), 0) << "a post beyond the maximum is dropped, not an error";
    SemaphoreDestroy(s);
    EXPECT_EQ(SemaphoreCreate(-1), nullptr);
}

TEST(SupportMutex, NestedLockingKeepsThreadsExclusive)
{
    struct Shared {
        Mutex *m;
        long nCounter;
    } sh{MutexCreate(), 0};
    auto work = [](void *p) -> int {
        Shared *s = (Shared *)p;
        for (int i = 0; i < 20000; i++) {
            MutexLock(s->m);
            MutexLock(s->m);
            long v = s->nCounter;
            MutexUnlock(s->m);
            s->nCounter = v + 1;
            MutexUnlock(s->m);
            MutexUnlock(s->m);  // one too many: no effect on the next owner
        }
        return 0;
    };
    Thread *a = ThreadCreate(work, &sh);
    Thread *b = ThreadCreate(work, &sh);
    ThreadJoin(a);
    ThreadJoin(b);
    MemFree(a);
    MemFree(b);
    EXPECT_EQ(sh.nCounter, 40000);
    MutexDestroy(sh.m);
}
