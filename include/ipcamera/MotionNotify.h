#ifndef IPCAMERA_MOTIONNOTIFY_H
#define IPCAMERA_MOTIONNOTIFY_H

#include "ipcamera/Export.h"

// Interface a host may implement to receive motion events. The library
// itself never creates, derives from or calls it; it is exported so hosts
// built against it keep linking.
class IPCAMERA_API CMotionNotify {
public:
    CMotionNotify();
    CMotionNotify(const CMotionNotify &other);
    CMotionNotify(CMotionNotify &&other);
    CMotionNotify &operator=(const CMotionNotify &other);
    CMotionNotify &operator=(CMotionNotify &&other);

    // nChannel: the host's camera id; nState: non-zero while motion lasts.
    virtual int OnMotionNotify(int nChannel, int nState) = 0;

protected:
    // Not virtual on purpose (one slot only in the table); objects are
    // deleted through the host's own class, never through this interface.
    ~CMotionNotify();
};

#endif
