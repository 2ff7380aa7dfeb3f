#ifndef IPCAMERA_TESTS_CAMERA_CAMERATESTUTIL_H
#define IPCAMERA_TESTS_CAMERA_CAMERATESTUTIL_H

// Shared by the camera tests: a scratch directory and a camera whose session
// has a thread-less stream attached, so its own logic runs directly.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "../VideoSession/FakeStream.h"

inline bool Exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

class CameraWithStream : public ::testing::Test {
protected:
    CameraWithStream(int nId, const char *pName) : cam(nId, pName, "") {}
    std::string dir;
    CIpCamera cam;
    FakeStream f;
    void SetUp() override
    {
        char tmpl[] = "/tmp/ipcam_cam_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        f.Attach(&cam.m_VideoSession, &cam);
    }
    void TearDown() override
    {
        f.Detach();
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
};

#endif
