#ifndef IPCAMERA_CAMERA_CAMERAEXT_H
#define IPCAMERA_CAMERA_CAMERAEXT_H

// The record behind camera/Reconnect.h, shared by the supervisor
// (Reconnect.cpp) and the health record (CameraHealth.cpp).

#include <pthread.h>
#include <stdint.h>

#include "ipcamera/CameraHealth.h"

class CIpCamera;
struct Semaphore;

struct CameraExt {
    CIpCamera *pCamera;        // set at creation, then read-only
    pthread_mutex_t hLock;     // guards the fields marked "hLock"; held only for copies
    Semaphore *pWake;          // posted by a stop: ends the supervisor's timed waits at once
    StateCallBack pfnState;    // hLock: the pair changes as one unit
    void *pStateUser;          // hLock
    char szLastError[128];     // hLock
    char szUrl[256];           // written before the supervisor starts, then its own
    // Host settings, relaxed atomics.
    int32_t bEnable;           // reconnect on
    int32_t nMaxBackoffMs;     // backoff cap
    int32_t nNoDataMs;         // no data this long: the stream is lost
    int32_t bDecodeWanted;     // the host's decode switch for every stream
    int32_t nPauseWanted;      // the host's pause switch for every stream
    // Supervisor. hThread is written under the camera's open/close lock;
    // bThread too, and it is also polled as a relaxed atomic.
    pthread_t hThread;
    int32_t bThread;
    int32_t bStop;             // seq_cst atomic: the supervisor ends (set by stop before the wake)
    int32_t bOrphan;           // the camera was destroyed from a state callback: the thread frees this record
    uint32_t nTicket;          // the host open's cancel ticket
    int32_t nState;            // relaxed atomic: IpcCameraState
    int32_t nReconnects;       // relaxed atomic
    // Totals of the streams already freed since the host's open (relaxed
    // atomics; the supervisor or the closing host thread adds, hosts poll).
    int64_t nPictures, nWithheld, nDecodeErrors, nCorruptPackets, nBytes;
    int32_t nLastPictureTick;  // of the freed streams' last picture
    int32_t bHavePicture;      // some picture was delivered since the open
    int32_t nDecodePath;       // of the last picture of a freed stream
};

// The camera's record (null only if it could not be allocated).
CameraExt *CameraExtOf(const CIpCamera *pCam);

#endif
