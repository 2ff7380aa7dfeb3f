#ifndef IPCAMERA_CAMERA_CAMERAINTERNAL_H
#define IPCAMERA_CAMERA_CAMERAINTERNAL_H

// Helpers shared by the camera's source files (not part of the host API).

// Final name of a finished recording: pPath without its last 4 characters
// (the ".avi" extension), then "_<seconds>.avi". 0, or -1 when the path is
// too short to have an extension or the name does not fit nSize bytes.
int RecordFinalName(const char *pPath, int nDurationSec, char *pOut, int nSize);

// Renames without replacing an existing file: 0, or -1 (the source stays).
int RenameNoReplace(const char *pFrom, const char *pTo);

#endif
