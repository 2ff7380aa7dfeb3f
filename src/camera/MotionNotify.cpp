// CMotionNotify: an interface for the host; it has no state to copy.

#include "ipcamera/MotionNotify.h"

CMotionNotify::CMotionNotify() {}

CMotionNotify::CMotionNotify(const CMotionNotify &) {}

CMotionNotify::CMotionNotify(CMotionNotify &&) {}

CMotionNotify &CMotionNotify::operator=(const CMotionNotify &)
{
    return *this;
}

CMotionNotify &CMotionNotify::operator=(CMotionNotify &&)
{
    return *this;
}

CMotionNotify::~CMotionNotify() {}
