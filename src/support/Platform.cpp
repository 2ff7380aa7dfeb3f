// Operating-system services on Linux.

#include "support/Platform.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

uint32_t TickCount(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = (uint64_t)ts.tv_sec * 1000u + (uint64_t)(ts.tv_nsec / 1000000);
    return (uint32_t)ms;
}

void SleepMs(int nMs)
{
    if (nMs <= 0) {
        sched_yield();
        return;
    }
    struct timespec ts;
    ts.tv_sec = nMs / 1000;
    ts.tv_nsec = (long)(nMs % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void GetLocalTimeMs(LocalTime *pTime)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t t = tv.tv_sec;
    struct tm tmLocal;
    localtime_r(&t, &tmLocal);
    pTime->nYear = tmLocal.tm_year + 1900;
    pTime->nMonth = tmLocal.tm_mon + 1;
    pTime->nDay = tmLocal.tm_mday;
    pTime->nHour = tmLocal.tm_hour;
    pTime->nMinute = tmLocal.tm_min;
    pTime->nSecond = tmLocal.tm_sec;
    pTime->nMilliseconds = (int)(tv.tv_usec / 1000);
}

int GetExeDir(char *pDir, size_t nSize)
{
    if (!pDir || nSize == 0)
        return -1;
    pDir[0] = '\0';
    char szExe[256];
    // Like the classic module-name call: at most 255 characters are kept.
    ssize_t n = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (n <= 0)
        return -1;
    szExe[n] = '\0';
    char *pSlash = strrchr(szExe, '/');
    if (pSlash)
        *pSlash = '\0';
    snprintf(pDir, nSize, "%s", szExe);
    return 0;
}

int FileExists(const char *pPath)
{
    if (!pPath)
        return 0;
    FILE *f = fopen(pPath, "rb");
    if (!f)
        return 0;
    fclose(f);
    return 1;
}

int FileDelete(const char *pPath)
{
    if (!pPath)
        return -1;
    return unlink(pPath) == 0 ? 0 : -1;
}

int FileDeleteRegular(const char *pPath)
{
    struct stat st;
    if (!pPath || lstat(pPath, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return unlink(pPath) == 0 ? 0 : -1;
}

int DirCreate(const char *pPath)
{
    if (!pPath || !pPath[0])
        return -1;
    if (mkdir(pPath, 0777) == 0)
        return 0;
    struct stat st;
    if (errno == EEXIST && stat(pPath, &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    return -1;
}

void DebugOutput(const char *pLine)
{
    if (!pLine)
        return;
    // One write per line keeps lines from different threads whole.
    size_t n = strlen(pLine);
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, pLine, n);
        if (w <= 0) {
            if (w < 0 && errno == EINTR)
                continue;
            return;
        }
        pLine += w;
        n -= (size_t)w;
    }
}
