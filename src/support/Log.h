#ifndef IPCAMERA_SUPPORT_LOG_H
#define IPCAMERA_SUPPORT_LOG_H

// The library's two log functions. Both format into fixed stack buffers
// (longer text is cut) and always return 0.

#include <stddef.h>

// "[DEBUG PRINT] <time>  <message>=====...\n" to the diagnostic stream.
int DebugPrint(const char *pFormat, ...) __attribute__((format(printf, 1, 2)));

// "<time:ms>[debug] <file>:<line>  <message>=====\n" to the diagnostic stream
// and appended to wkd_new.log beside the executable; the first call of the
// process moves the previous wkd_new.log to wkd_old.log.
int DebugFileLog(const char *pFile, int nLine, const char *pFormat, ...)
    __attribute__((format(printf, 3, 4)));

// Directory the log files go to (null or empty: the executable's). The
// next DebugFileLog then prepares the log files again, as at process start.
void DebugSetLogDir(const char *pDir);

// Until DebugCaptureStop, every DebugPrint message of the calling thread is
// also appended to pBuf (without the time decoration, one per line, cut to
// nSize), so a caller can tell its own caller why an operation failed.
void DebugCaptureStart(char *pBuf, size_t nSize);
void DebugCaptureStop(void);

#endif
