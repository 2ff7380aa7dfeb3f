// CIpCamera's video hook and snapshot requests: every delivered picture
// passes here in the order frame size, pending snapshot, privacy masks,
// on-screen text (only when the host set one), host callback.

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "camera/CameraInternal.h"
#include "image/JpegEncoder.h"
#include "image/JpegSnapshot.h"
#include "image/PrivacyMask.h"
#include "ipcamera/IpCamera.h"
#include "support/Log.h"
#include "support/Platform.h"
#include "support/Thread.h"

// Hands a snapshot request (flag, count, type, path) and the on-screen text
// from the host thread to the decode thread. One lock for all cameras: it is held only to copy a
// few fields, never around file work, and nests inside no other lock.
static pthread_mutex_t s_hSnapshotLock = PTHREAD_MUTEX_INITIALIZER;

int CIpCamera::SetSaveImagePath(const char *pPath)
{
    const char *pText = pPath ? pPath : "";
    DebugPrint("Camera(id:%d  name:%s) SetImageDir:%s start ... ", m_nId, m_szName, pText);
    pthread_mutex_lock(&s_hSnapshotLock);
    snprintf(m_szSaveImgPath, sizeof(m_szSaveImgPath), "%s", pText);
    pthread_mutex_unlock(&s_hSnapshotLock);
    DebugPrint("Camera(id:%d  name:%s) SetImageDir end succ... ", m_nId, m_szName);
    return 0;
}

int CIpCamera::SaveImage(int nType, int nCount)
{
    DebugPrint("Camera(id:%d  name:%s) SaveImage type:%d count:%d start ... ", m_nId, m_szName,
               nType, nCount);
    pthread_mutex_lock(&s_hSnapshotLock);
    AtomicSet(&m_bSaveImgNow, 1);
    if (nCount > m_nSaveImgCount)
        m_nSaveImgType = nType;
    m_nSaveImgCount = (nCount > m_nSaveImgCount ? nCount : m_nSaveImgCount) - 1;
    m_nSaveImgTime = (int)(uint32_t)time(nullptr);
    pthread_mutex_unlock(&s_hSnapshotLock);
    DebugPrint("Camera(id:%d  name:%s  m_bSaveImgNow:%d ) SaveImage end ... ", m_nId, m_szName, 1);
    return 0;
}

int CIpCamera::SetOsdText(const char *pText, int nX, int nY)
{
    pthread_mutex_lock(&s_hSnapshotLock);
    snprintf(m_szOsdText, sizeof(m_szOsdText), "%s", pText ? pText : "");
    m_nOsdX = nX;
    m_nOsdY = nY;
    AtomicSet(&m_bOsdEnable, m_szOsdText[0] != '\0');
    pthread_mutex_unlock(&s_hSnapshotLock);
    return 0;
}

// Takes a pending request: 1 with its path copied out (the camera's path is
// cleared, so a later snapshot needs a new path), 0 when none is pending.
static int TakeSnapshotRequest(CIpCamera *pCamera, char *pPath, size_t nSize)
{
    if (!AtomicGet(&pCamera->m_bSaveImgNow))
        return 0;
    pthread_mutex_lock(&s_hSnapshotLock);
    int bTaken = pCamera->m_bSaveImgNow != 0;
    if (bTaken) {
        AtomicSet(&pCamera->m_bSaveImgNow, 0);
        snprintf(pPath, nSize, "%s", pCamera->m_szSaveImgPath);
        memset(pCamera->m_szSaveImgPath, 0, sizeof(pCamera->m_szSaveImgPath));
        pCamera->m_nSaveImgTime = (int)(uint32_t)time(nullptr);
    }
    pthread_mutex_unlock(&s_hSnapshotLock);
    return bTaken;
}

int CIpCamera::DoVideoBuffer(CVideoSession *pSession, unsigned char *pFrame, int nWidth, int nHeight)
{
    AtomicSet(&m_nWidth, nWidth);
    AtomicSet(&m_nHeight, nHeight);

    // The layout of the frame is the one the running stream was opened with
    // (the session keeps it while open); the camera's own setting may have
    // changed since and only applies to the next open.
    int bPlanar = pSession ? pSession->m_bOpenD3DDisplay : m_bD3DDisplay;
    // The paused-idle repeat before any picture carries no frame at all.
    int bHasFrame = pFrame && nWidth > 0 && nHeight > 0;

    char szPath[256];
    if (bHasFrame && TakeSnapshotRequest(this, szPath, sizeof(szPath))) {
        DebugPrint("0000 Camera(id:%d  name:%s)  SaveBmp  Path:%s start ... ", m_nId, m_szName,
                   szPath);
        if (bPlanar)
            JpegWriteI420File(szPath, pFrame, nWidth, nHeight);
        else
            JpegWriteBgrFile(szPath, pFrame, nWidth, nHeight, 3);
        DebugPrint("1111 Camera(id:%d  name:%s)  SaveBmp  end ... ", m_nId, m_szName);
    }

    MutexLock(m_hCallbackLock);
    VideoBufCallBack pfn = m_pfnVideoBuf;
    void *pUser = m_pVideoUser;
    MutexUnlock(m_hCallbackLock);
    if (!pfn)
        return 0;
    if (bHasFrame) {
        // Painted for the layout the stream delivers (see bPlanar above).
        MaskPaintSlots((const int *)m_MaskArea, 4, bPlanar, pFrame, nWidth, nHeight);
        if (!bPlanar && AtomicGet(&m_bOsdEnable)) {
            char szText[256];
            pthread_mutex_lock(&s_hSnapshotLock);
            memcpy(szText, m_szOsdText, sizeof(szText));
            int nX = m_nOsdX;
            int nY = m_nOsdY;
            pthread_mutex_unlock(&s_hSnapshotLock);
            ConvertToBmp(szText, pFrame, nWidth, nHeight, nX, nY);
        }
    }
    // Nothing of the camera is touched after the call: the callback may
    // have destroyed it.
    pfn(this, pUser, pFrame, nWidth, nHeight);
    return 0;
}
