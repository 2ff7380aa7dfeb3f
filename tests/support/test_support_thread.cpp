// Thread, lock and counted-signal wrappers.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/Platform.h"
#include "support/Thread.h"

namespace {

// Whether another thread gets the mutex within nWaitMs; the thread is left
// waiting (and joined by the destructor) otherwise.
struct Contender {
    Mutex *m;
    std::atomic<int> bLocked{0};
    std::thread t;
    explicit Contender(Mutex *pm) : m(pm), t([this] {
        MutexLock(m);
        bLocked = 1;
        MutexUnlock(m);
    }) {}
    bool GotItWithin(int nWaitMs)
    {
        for (uint32_t t0 = TickCount(); !bLocked && (uint32_t)(TickCount() - t0) < (uint32_t)nWaitMs;)
            SleepMs(5);
        return bLocked != 0;
    }
    ~Contender() { t.join(); }
};

}  // namespace

// Held twice, released once: still owned. A foreign unlock and a CondWait
// with a null Cond change nothing either.
TEST(SupportMutex, OwnershipIsCountedAndOnlyTheOwnerReleases)
{
    Mutex *m = MutexCreate();
    Cond *c = CondCreate();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(MutexLock(m), 0);
    EXPECT_EQ(MutexLock(m), 0);
    EXPECT_EQ(MutexUnlock(m), 0);
    int nForeign = -2;
    std::thread([&] { nForeign = MutexUnlock(m); }).join();
    EXPECT_EQ(nForeign, 0);
    EXPECT_EQ(CondWait(nullptr, m, 10), -1);
    {
        Contender k(m);
        EXPECT_FALSE(k.GotItWithin(150)) << "still owned once";
        EXPECT_EQ(MutexUnlock(m), 0);
        EXPECT_TRUE(k.GotItWithin(2000));
    }
    EXPECT_EQ(CondWait(c, nullptr, 10), -1);
    CondDestroy(c);
    MutexDestroy(m);
}

TEST(SupportMutex, NestedLockingKeepsThreadsExclusive)
{
    Mutex *m = MutexCreate();
    long nCounter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            MutexLock(m);
            MutexLock(m);
            long v = nCounter;
            MutexUnlock(m);
            nCounter = v + 1;
            MutexUnlock(m);
            MutexUnlock(m);  // one too many: no effect on the next owner
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(nCounter, 40000);
    MutexDestroy(m);
}

// A thread that ends holding the mutex: the next locker (here a thread
// started after it, which may reuse its thread handle) hears -1, owns it at
// depth 1, and the mutex works as before afterwards.
TEST(SupportMutex, LockOfAnEndedOwnerIsTakenOverOnce)
{
    Mutex *m = MutexCreate();
    std::thread([&] { EXPECT_EQ(MutexLock(m), 0); }).join();
    int nFirst = 0, nSecond = 0;
    std::thread([&] {
        nFirst = MutexLock(m);
        nSecond = MutexLock(m);
        MutexUnlock(m);
        MutexUnlock(m);
    }).join();
    EXPECT_EQ(nFirst, -1);
    EXPECT_EQ(nSecond, 0);
    EXPECT_EQ(MutexLock(m), 0);
    Contender k(m);
    EXPECT_FALSE(k.GotItWithin(100));
    MutexUnlock(m);
    EXPECT_TRUE(k.GotItWithin(2000));
    MutexDestroy(m);
}

TEST(SupportNull, EveryOperationAcceptsNull)
{
    EXPECT_EQ(MutexLock(nullptr) + MutexUnlock(nullptr), -2);
    EXPECT_EQ(SemaphorePost(nullptr) + SemaphoreWait(nullptr, 0), -2);
    EXPECT_EQ(SemaphoreDestroy(nullptr), 0);
    EXPECT_EQ(ThreadJoin(nullptr) + CondSignal(nullptr), -2);
    EXPECT_EQ(ThreadCreate(nullptr, nullptr), nullptr);
    EXPECT_EQ(ThreadRunDetached(nullptr, nullptr), -1);
    MutexDestroy(nullptr);
    CondDestroy(nullptr);
    MemFree(nullptr);
}

TEST(SupportCond, SignalsAreCountedWaitTimesOutAndWakesAcrossThreads)
{
    Cond *c = CondCreate();
    Mutex *m = MutexCreate();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(CondSignal(c) + CondSignal(c), 0);
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
    std::thread t([c] {
        SleepMs(50);
        CondSignal(c);
    });
    t0 = TickCount();
    EXPECT_EQ(CondWait(c, m, 5000), 0);
    EXPECT_LT((uint32_t)(TickCount() - t0), 2000u);
    MutexUnlock(m);
    t.join();
    CondDestroy(c);
    MutexDestroy(m);
}

TEST(SupportThread, JoinOnceAfterTheRoutineDetachedRunsAndSemaphoreLimits)
{
    static std::atomic<int> s_nDone{0};
    Thread *t = ThreadCreate(
        [](void *) -> int {
            SleepMs(60);
            s_nDone++;
            return 7;
        },
        nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(ThreadJoin(t), 0);
    EXPECT_EQ(s_nDone.load(), 1);
    EXPECT_EQ(ThreadJoin(t), -1) << "a joined thread cannot be joined again";
    MemFree(t);
    ASSERT_EQ(ThreadRunDetached([](void *) -> int { return s_nDone++; }, nullptr), 0);
    for (int i = 0; i < 200 && s_nDone < 2; i++)
        SleepMs(5);
    EXPECT_EQ(s_nDone.load(), 2);

    Semaphore *s = SemaphoreCreate(2);
    EXPECT_EQ(SemaphoreWait(s, 0) + SemaphoreWait(s, 0), 0);
    EXPECT_EQ(SemaphoreWait(s, 0), 1);
    SemaphoreDestroy(s);
    s = SemaphoreCreate(0x7FFFFFFF);
    EXPECT_EQ(SemaphorePost(s), 0) << "a post beyond the maximum is dropped, not an error";
    SemaphoreDestroy(s);
    EXPECT_EQ(SemaphoreCreate(-1), nullptr);
}
