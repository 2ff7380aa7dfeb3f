// CIpCamera recording control: reason bits, start time, renaming the
// finished file to carry its duration, and the save directory.
//
// Lock order: open/close lock (OpenMainStreamVideo, destructor), camera lock
// (here), then the recorder's process-wide lock and the stream's recording
// write lock inside the session calls.

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "camera/CameraInternal.h"
#include "ipcamera/IpCamera.h"
#include "support/Log.h"

// Reason bit that every start and stop clears unless the start passes it.
enum { RECORD_REASON_TRANSIENT = 2 };
// Record paths this short are never renamed.
enum { RECORD_MIN_RENAME_PATH = 8 };
// Durations above this are logged as implausible (the name is built anyway).
enum { RECORD_MAX_PLAUSIBLE_SEC = 10000 };

int RecordFinalName(const char *pPath, int nDurationSec, char *pOut, int nSize)
{
    if (!pPath || !pOut || nSize <= 0)
        return -1;
    size_t nLen = strlen(pPath);
    if (nLen < 4)
        return -1;
    int n = snprintf(pOut, (size_t)nSize, "%.*s_%d.avi", (int)(nLen - 4), pPath, nDurationSec);
    if (n < 0 || n >= nSize) {
        pOut[0] = '\0';
        return -1;
    }
    return 0;
}

int RenameNoReplace(const char *pFrom, const char *pTo)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, pFrom, AT_FDCWD, pTo, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
#endif
    // File systems without the flag: a hard link fails on an existing target,
    // and only after it succeeded is the old name dropped.
    if (link(pFrom, pTo) != 0)
        return -1;
    unlink(pFrom);
    return 0;
}

int CIpCamera::SetSaveRecordPath(const char *pPath)
{
    snprintf(m_szRecordPath, sizeof(m_szRecordPath), "%s", pPath ? pPath : "");
    return 0;
}

int CIpCamera::StartSaveAvi(int nType)
{
    IpcLock();
    StopSaveAvi(nType);
    if (m_VideoSession.StartSaveAvi(m_szRecordPath) != 0) {
        DebugPrint("Camera(id:%d  name:%s) StartSaveAvi error ... ", m_nId, m_szName);
        IpcUnLock();
        return -1;
    }
    m_nRecordType = (m_nRecordType & ~RECORD_REASON_TRANSIENT) | nType;
    m_nRecordStartTime = (int)(uint32_t)time(nullptr);
    m_bRecording = 1;
    m_nRecordCounter = 0;
    IpcUnLock();
    return 0;
}

int CIpCamera::StopSaveAvi(int nType)
{
    IpcLock();
    m_VideoSession.StopSaveAvi();
    // The flag, not the start time: from 2038 on the time's low 32 bits read
    // as negative, and a running recording would never be renamed.
    if (strlen(m_szRecordPath) > RECORD_MIN_RENAME_PATH && m_bRecording) {
        m_bRecording = 0;
        int nDuration = m_VideoSession.GetSaveAviDurationSec();
        if (nDuration > RECORD_MAX_PLAUSIBLE_SEC)
            DebugPrint("Duration(%d) is wrong..", nDuration);
        char szFinal[256];
        if (RecordFinalName(m_szRecordPath, nDuration, szFinal, sizeof(szFinal)) != 0) {
            // A cut name would lose the extension: keep the file as it is.
            DebugPrint("Camera(id:%d  name:%s) record file %s kept: name with duration too long",
                       m_nId, m_szName, m_szRecordPath);
        } else if (RenameNoReplace(m_szRecordPath, szFinal) != 0 && errno == EEXIST) {
            // Never overwrite an earlier recording that has the same name.
            DebugPrint("Camera(id:%d  name:%s) record file %s kept: %s exists", m_nId, m_szName,
                       m_szRecordPath, szFinal);
        }
        memset(m_szRecordPath, 0, sizeof(m_szRecordPath));
    }
    m_nRecordStartTime = 0;
    m_bRecording = 0;
    m_nRecordCounter = 0;
    m_nRecordType &= ~(nType | RECORD_REASON_TRANSIENT);
    IpcUnLock();
    return 0;
}

int CIpCamera::SetSaveDir(const char *pDir)
{
    const char *pText = pDir ? pDir : "";
    DebugPrint("Camera(id:%d  name:%s) SetSaveDir:%s start ... ", m_nId, m_szName, pText);
    snprintf(m_szSaveDir, sizeof(m_szSaveDir), "%s", pText);
    struct stat st;
    if (stat(m_szSaveDir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        // One level only; the host asks again to learn that it now exists.
        if (mkdir(m_szSaveDir, 0777) != 0)
            DebugPrint("Camera(id:%d  name:%s) SetSaveDir:%s break ... ", m_nId, m_szName, pText);
        return -1;
    }
    size_t nLen = strlen(m_szSaveDir);
    if (nLen > 1 && (m_szSaveDir[nLen - 1] == '/' || m_szSaveDir[nLen - 1] == '\\'))
        m_szSaveDir[nLen - 1] = '\0';
    DebugPrint("Camera(id:%d  name:%s) SetSaveDir end succ... ", m_nId, m_szName);
    return 0;
}
