#ifndef IPCAMERA_SUPPORT_PLATFORM_H
#define IPCAMERA_SUPPORT_PLATFORM_H

// Small operating-system services the library needs: a monotonic
// millisecond tick, sleeping, local time, the executable's directory, file
// helpers and relaxed 32-bit atomics for flags one thread writes and others
// poll.

#include <stddef.h>
#include <stdint.h>

// Milliseconds from a monotonic clock, wrapping at 2^32 like the classic
// tick count: compute intervals as (uint32_t)(now - then).
uint32_t TickCount(void);

void SleepMs(int nMs);

struct LocalTime {
    int nYear;    // e.g. 2026
    int nMonth;   // 1..12
    int nDay;     // 1..31
    int nHour;
    int nMinute;
    int nSecond;
    int nMilliseconds;
};
void GetLocalTimeMs(LocalTime *pTime);

// Directory of the running executable (from /proc/self/exe) cut at its last
// '/'; a name without '/' is used whole. Bounded: at most nSize - 1 chars.
// 0, or -1 when it cannot be read (pDir is then empty).
int GetExeDir(char *pDir, size_t nSize);

// 1 if the path can be opened for reading, else 0.
int FileExists(const char *pPath);
// 0 on success, -1 on failure.
int FileDelete(const char *pPath);
// Removes what a failed write left behind: only ever a regular file, so a
// path naming a device, a directory or a link is left alone. 0, or -1.
int FileDeleteRegular(const char *pPath);
// Creates one directory level; 0 if created or already a directory.
int DirCreate(const char *pPath);

// Writes a line to the diagnostic stream (stderr) in one call.
void DebugOutput(const char *pLine);

// Relaxed 32-bit atomics: the fields stay plain ints, only the accesses are
// atomic, which is all a polled flag or statistic needs.
static inline int AtomicGet(const volatile int *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
static inline void AtomicSet(volatile int *p, int v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
static inline int AtomicAdd(volatile int *p, int v)
{
    return __atomic_add_fetch(p, v, __ATOMIC_RELAXED);
}
// 64-bit fields read by another thread outside their lock (tick counts).
static inline int64_t AtomicGet64(const volatile int64_t *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
static inline void AtomicSet64(volatile int64_t *p, int64_t v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
static inline float AtomicGetFloat(const volatile float *p)
{
    float f;
    __atomic_load((const float *)p, &f, __ATOMIC_RELAXED);
    return f;
}
static inline void AtomicSetFloat(volatile float *p, float v)
{
    __atomic_store((float *)p, &v, __ATOMIC_RELAXED);
}

#endif
