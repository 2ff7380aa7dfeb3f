#ifndef IPCAMERA_IMAGE_JPEGSNAPSHOT_H
#define IPCAMERA_IMAGE_JPEGSNAPSHOT_H

// Snapshot writer for packed BGR frames stored bottom row first, through the
// libjpeg compression API: an upright baseline JFIF file, RGB order, quality
// 100. The frame is never modified.
//
// 0 on success. -1 when the file cannot be created ("can't open %s\n" on
// stderr) or libjpeg reports a fatal error (for instance a failed write): the
// error returns control here, is logged with libjpeg's reason, and the
// partial file is closed and removed.
// nBytesPerPixel must be at least 3 (the first three bytes are B, G, R).
int JpegWriteBgrFile(const char *pPath, const unsigned char *pFrame, int nWidth, int nHeight,
                     int nBytesPerPixel);

#endif
