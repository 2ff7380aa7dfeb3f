#ifndef IPCAMERA_EXPORT_H
#define IPCAMERA_EXPORT_H

// Only what carries IPCAMERA_API is visible outside libipcamera.so; the
// library is built with hidden visibility by default.
#if defined(__GNUC__)
#define IPCAMERA_API __attribute__((visibility("default")))
#else
#define IPCAMERA_API
#endif

#endif
