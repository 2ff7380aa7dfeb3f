// A host that knows only the installed headers and library.
#include <ipcamera/IpCamera.h>

#include <stdio.h>
#include <string.h>

// The motion interface is implemented by the host; its typeinfo and
// special members come from the library.
struct Motion : CMotionNotify {
    int OnMotionNotify(int, int) override { return 0; }
};

int main()
{
    CIpCamera camera(7, "door", "test");
    CVideoSession session;
    Motion notify;
    CIpCamera copy(camera);
    // Nothing is open: the closed answers, and the copied settings.
    if (camera.IsMainVideoOpenSuc() || session.GetVideoWidth() != -1 || copy.m_nId != 7 ||
        strcmp(copy.m_szName, "door") != 0) {
        fprintf(stderr, "unexpected state of a closed camera\n");
        return 1;
    }
    (void)notify;
    return 0;
}
