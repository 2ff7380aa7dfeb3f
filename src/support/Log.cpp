// DebugPrint and DebugFileLog; see Log.h.

#include "support/Log.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "support/Platform.h"

// Log file path, empty until the first DebugFileLog of the process (or after
// DebugSetLogDir); guarded by s_hLogFileLock together with s_szLogDir.
static char s_szLogFile[256];
static char s_szLogDir[256];
static pthread_mutex_t s_hLogFileLock = PTHREAD_MUTEX_INITIALIZER;

// The calling thread's capture buffer (DebugCaptureStart); thread-local, so
// no lock.
static thread_local char *t_pCapture;
static thread_local size_t t_nCapture;

static void CaptureMessage(const char *pMsg)
{
    size_t nUsed = strlen(t_pCapture);
    size_t nLen = strlen(pMsg);
    while (nLen > 0 && pMsg[nLen - 1] == '\n')
        nLen--;
    if (nUsed + 2 > t_nCapture)
        return;
    size_t nCopy = nLen < t_nCapture - nUsed - 2 ? nLen : t_nCapture - nUsed - 2;
    memcpy(t_pCapture + nUsed, pMsg, nCopy);
    t_pCapture[nUsed + nCopy] = '\n';
    t_pCapture[nUsed + nCopy + 1] = '\0';
}

void DebugCaptureStart(char *pBuf, size_t nSize)
{
    t_pCapture = pBuf && nSize >= 2 ? pBuf : nullptr;
    t_nCapture = nSize;
    if (t_pCapture)
        t_pCapture[0] = '\0';
}

void DebugCaptureStop(void)
{
    t_pCapture = nullptr;
    t_nCapture = 0;
}

// The caller's message, cut to the buffer; empty for a null format.
static void FormatMessage(char *pMsg, size_t nSize, const char *pFormat, va_list args)
{
    pMsg[0] = '\0';
    if (pFormat)
        vsnprintf(pMsg, nSize, pFormat, args);
}

int DebugPrint(const char *pFormat, ...)
{
    time_t t = time(nullptr);
    struct tm tmLocal;
    localtime_r(&t, &tmLocal);
    char szTime[64];
    snprintf(szTime, sizeof(szTime), "%4d-%02d-%02d %02d:%02d:%02d", tmLocal.tm_year + 1900,
             tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec);

    char szMsg[1600];
    va_list args;
    va_start(args, pFormat);
    FormatMessage(szMsg, sizeof(szMsg), pFormat, args);
    va_end(args);
    char szLine[1600];
    snprintf(szLine, sizeof(szLine),
             "[DEBUG PRINT] %s  %s=================================================\n", szTime,
             szMsg);
    DebugOutput(szLine);
    if (t_pCapture)
        CaptureMessage(szMsg);
    return 0;
}

// Moves the previous current log aside; runs once per process (or per
// DebugSetLogDir), under s_hLogFileLock.
static int PrepareLogFiles(void)
{
    char szDir[256];
    if (s_szLogDir[0])
        snprintf(szDir, sizeof(szDir), "%s", s_szLogDir);
    else
        GetExeDir(szDir, sizeof(szDir));
    char szOld[256];
    // A directory too long for the names would give cut paths: the file
    // line is then dropped (logging never fails the caller).
    int nNew = snprintf(s_szLogFile, sizeof(s_szLogFile), "%s/wkd_new.log", szDir);
    int nOld = snprintf(szOld, sizeof(szOld), "%s/wkd_old.log", szDir);
    if (nNew >= (int)sizeof(s_szLogFile) || nOld >= (int)sizeof(szOld)) {
        s_szLogFile[0] = '\0';
        return -1;
    }
    if (FileExists(szOld))
        FileDelete(szOld);
    if (FileExists(s_szLogFile))
        rename(s_szLogFile, szOld);
    return 0;
}

int DebugFileLog(const char *pFile, int nLine, const char *pFormat, ...)
{
    LocalTime lt;
    GetLocalTimeMs(&lt);
    char szTime[64];
    snprintf(szTime, sizeof(szTime), "%d-%02d-%02d %02d:%02d:%02d:%03d", lt.nYear, lt.nMonth, lt.nDay,
             lt.nHour, lt.nMinute, lt.nSecond, lt.nMilliseconds);

    char szMsg[1024];
    va_list args;
    va_start(args, pFormat);
    FormatMessage(szMsg, sizeof(szMsg), pFormat, args);
    va_end(args);
    char szLine[1024];
    snprintf(szLine, sizeof(szLine), "%s[debug] %s:%d  %s=====\n", szTime, pFile ? pFile : "", nLine,
             szMsg);
    DebugOutput(szLine);

    pthread_mutex_lock(&s_hLogFileLock);
    FILE *f = nullptr;
    if (s_szLogFile[0] || PrepareLogFiles() == 0)
        f = fopen(s_szLogFile, "a+");
    if (f) {
        fwrite(szLine, 1, strlen(szLine), f);
        fclose(f);
    }
    pthread_mutex_unlock(&s_hLogFileLock);
    return 0;
}

void DebugSetLogDir(const char *pDir)
{
    pthread_mutex_lock(&s_hLogFileLock);
    snprintf(s_szLogDir, sizeof(s_szLogDir), "%s", pDir ? pDir : "");
    s_szLogFile[0] = '\0';
    pthread_mutex_unlock(&s_hLogFileLock);
}
