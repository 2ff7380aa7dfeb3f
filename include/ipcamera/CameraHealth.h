#ifndef IPCAMERA_CAMERAHEALTH_H
#define IPCAMERA_CAMERAHEALTH_H

// Reconnect states, the state callback and the health record of a camera
// (CIpCamera::SetAutoReconnect, SetStateCallBack, GetHealth).

#include <stdint.h>

// States reported to the state callback and by CIpCamera::GetState.
enum IpcCameraState {
    IPC_STATE_IDLE = 0,          // never opened, or opened without reconnect
    IPC_STATE_CONNECTING = 1,    // opening the address
    IPC_STATE_STREAMING = 2,     // open, data arriving
    IPC_STATE_STALLED = 3,       // open, but no data for 2 s
    IPC_STATE_LOST = 4,          // the stream was given up (closed, read error, no data)
    IPC_STATE_RECONNECTING = 5,  // waiting nValue ms before the next attempt
    IPC_STATE_CLOSED = 6         // the host closed the camera; no further events
};

// Why a state was entered (nReason of the callback).
enum IpcStateReason {
    IPC_REASON_NONE = 0,
    IPC_REASON_HOST = 1,               // a host call (open, close)
    IPC_REASON_REFUSED = 2,            // the camera refused the connection
    IPC_REASON_OPEN_FAILED = 3,        // any other failed open (text says why)
    IPC_REASON_NO_DATA = 4,            // no data for the no-data limit
    IPC_REASON_CONNECTION_CLOSED = 5,  // the camera closed the connection / read error
    IPC_REASON_STREAM_ENDED = 6,       // the stream ended by itself (decoder stop, end of file)
    IPC_REASON_DATA_RESUMED = 7        // stalled stream delivers again
};

// Fifth host callback: a state change of a camera with reconnect on. Runs
// on the camera's reconnect thread, never while a camera lock is held.
// nValue: the delay in ms for IPC_STATE_RECONNECTING; for IPC_STATE_LOST 1
// when a running recording was finished and renamed, else 0; otherwise the
// error code behind the reason (negative) or 0. pText: a short reason
// ("connection refused", "no data for 5 s"), valid during the call only.
typedef int (*StateCallBack)(void *pCamera, void *pUser, int nState, int nReason, int nValue,
                             const char *pText);

// Decode path in use (IpCameraHealth::nDecodePath).
enum IpcDecodePath {
    IPC_DECODE_NONE = 0,      // no picture decoded yet
    IPC_DECODE_BUILTIN = 1,   // the library's own H.265 decoder
    IPC_DECODE_FFMPEG = 2,    // FFmpeg in software
    IPC_DECODE_HARDWARE = 3   // FFmpeg with hardware decoding (VA-API)
};

// Counters since the host's last OpenMainStreamVideo, over every reconnect.
struct IpCameraHealth {
    int64_t nPictures;         // pictures delivered to the video callback
    int64_t nWithheld;         // decoded pictures held back by the bad-picture rules
    int64_t nDecodeErrors;     // video packets the decoder rejected
    int64_t nCorruptPackets;   // packets the demuxer flagged corrupt (lost RTP packets)
    int64_t nBytes;            // bytes received (all tracks)
    float fBitRate;            // video kbit/s over the last window; 0 without a stream
    int nFrameRate;            // video packets per second; 0 without a stream
    int nSecondsSinceLastPicture;  // -1 before the first picture
    int nReconnects;           // reopens that succeeded after a loss
    int nDecodePath;           // IpcDecodePath of the last picture
    int nState;                // IpcCameraState
    char szLastError[128];     // last failure's short text, "" when none
};

#endif
