// libipcamera.so is linked from the ipcamera_core archive (whole archive);
// this unit only gives the shared library target a source of its own.
// Symbols are hidden by default: only classes marked IPCAMERA_API are exported.
