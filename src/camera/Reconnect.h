#ifndef IPCAMERA_CAMERA_RECONNECT_H
#define IPCAMERA_CAMERA_RECONNECT_H

// A camera's reconnect supervisor and health totals. With reconnect on,
// OpenMainStreamVideo hands the address to a supervisor thread of the
// camera, which opens it, watches the stream, and after a loss finishes a
// running recording, frees the stream and opens the same address again
// with exponential backoff, until the host closes the camera. The state
// record hangs off the camera's session (VideoSessionCameraExt), so the
// camera's exported layout is unchanged.
//
// Lock order: the camera's open/close lock, then CameraExt::hLock (held only
// to copy a callback pair or a text, never across I/O or a callback). The
// supervisor itself takes no camera lock except the camera lock around a
// recording stop, and never holds one while it raises an event.

#include <stdint.h>

class CIpCamera;

// Constructor / destructor hooks. Destroy stops the supervisor (or, when
// called on the supervisor's own thread from a state callback, leaves it to
// end by itself without touching the camera again).
void CameraExtCreate(CIpCamera *pCam);
void CameraExtDestroy(CIpCamera *pCam);

// Under the open/close lock, after the previous stream is freed: starts the
// supervisor for pUrl when reconnect is on (1: the open is done), else 0.
// nTicket is the open's cancel ticket.
int CameraReconnectStart(CIpCamera *pCam, const char *pUrl, uint32_t nTicket);
// Under the open/close lock: stops the supervisor, which frees its stream
// and raises "closed"; returns within the bound of one interrupted connect.
void CameraReconnectStop(CIpCamera *pCam);
// 1 on the camera's supervisor thread (where a close would join itself).
int CameraReconnectOnOwnThread(CIpCamera *pCam);
// 1 while a supervisor runs for the camera.
int CameraReconnectActive(CIpCamera *pCam);

// The host's decode and pause switches, kept for every stream the
// supervisor opens.
void CameraRememberDecode(CIpCamera *pCam, int bEnable);
void CameraRememberPause(CIpCamera *pCam, int nPause);

// Health totals: reset at a host open; Fold adds the open stream's counters
// to them just before the stream is freed.
void CameraHealthReset(CIpCamera *pCam);
void CameraHealthFold(CIpCamera *pCam);

// Copies the reconnect settings and the state callback (operator=).
void CameraReconnectCopySettings(CIpCamera *pDst, const CIpCamera *pSrc);

#endif
