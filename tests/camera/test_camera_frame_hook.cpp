// CIpCamera::DoVideoBuffer: frame size, snapshot, masks, text and callback,
// in that order. Both layouts' masks and snapshots on a live stream are
// checked end to end (tests/e2e).

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../image/JpegTestUtil.h"
#include "CameraTestUtil.h"

namespace {

// The snapshot file decoded to RGB, top row first; false if it is no JPEG.
bool DecodeJpegFile(const std::string &path, int *pW, int *pH, std::vector<unsigned char> *pRgb)
{
    std::vector<unsigned char> data;
    DecodedJpeg d;
    if (!ReadWholeFile(path, &data) || !DecodeJpeg(data.data(), data.size(), JCS_RGB, &d))
        return false;
    *pW = d.nWidth;
    *pH = d.nHeight;
    pRgb->swap(d.pixels);
    return true;
}

struct Delivered {
    int n = 0;
    std::vector<unsigned char> frame;
    int w = 0, h = 0;
};

int OnVideo(void *, void *user, unsigned char *p, int w, int h)
{
    Delivered *d = (Delivered *)user;
    d->n++;
    d->w = w;
    d->h = h;
    if (p)
        d->frame.assign(p, p + (size_t)w * h * 3);
    return 0;
}

// Mid grey BGR frame, bottom row first.
std::vector<unsigned char> GreyBgr(int w, int h)
{
    return std::vector<unsigned char>((size_t)w * h * 3, 128);
}

const unsigned char *BgrPixel(const std::vector<unsigned char> &f, int w, int h, int x, int yFromTop)
{
    return &f[((size_t)(h - 1 - yFromTop) * w + x) * 3];
}

class FrameHook : public CameraWithStream {
protected:
    FrameHook() : CameraWithStream(8, "yard") {}
    void Deliver(std::vector<unsigned char> &frame, int w, int h)
    {
        cam.m_VideoSession.DoVideoBuffer(frame.data(), w, h);
    }
    // Requests one snapshot into dir/name and delivers the frame; the path.
    std::string SnapshotOfNext(std::vector<unsigned char> &frame, int w, int h, const char *name)
    {
        std::string path = dir + "/" + name;
        cam.SetSaveImagePath(path.c_str());
        cam.SaveImage(0, 1);
        Deliver(frame, w, h);
        return path;
    }
};

}  // namespace

TEST_F(FrameHook, OneSnapshotPerRequestAndThePathIsConsumed)
{
    const int w = 64, h = 48;
    std::vector<unsigned char> frame = GreyBgr(w, h);
    // A request without a path is consumed with a log line.
    testing::internal::CaptureStderr();
    cam.SaveImage(0, 1);
    Deliver(frame, w, h);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("can't open"), std::string::npos);
    EXPECT_EQ(cam.m_bSaveImgNow, 0);

    std::string path = dir + "/snap.jpg";
    cam.SetSaveImagePath(path.c_str());
    testing::internal::CaptureStderr();
    cam.SaveImage(0, 1);
    cam.SaveImage(3, 5);  // collapses into the same snapshot
    Deliver(frame, w, h);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(cam.m_nWidth, w);
    EXPECT_EQ(cam.m_nHeight, h);
    EXPECT_NE(log.find("0000 Camera(id:8  name:yard)  SaveBmp  Path:" + path + " start ... "), std::string::npos);
    EXPECT_EQ(cam.m_nSaveImgType, 3);
    EXPECT_EQ(cam.m_nSaveImgCount, 4);
    int jw = 0, jh = 0;
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(DecodeJpegFile(path, &jw, &jh, &rgb));
    EXPECT_EQ(jw, w);
    EXPECT_EQ(jh, h);
    EXPECT_STREQ(cam.m_szSaveImgPath, "");
    EXPECT_EQ(cam.m_bSaveImgNow, 0);

    unlink(path.c_str());
    Deliver(frame, w, h);
    EXPECT_FALSE(Exists(path)) << "a second frame writes nothing";

    // A paused repeat without a picture keeps the request for the next one.
    Delivered d;
    cam.SetVideoBufCallBack(OnVideo, &d);
    cam.SetSaveImagePath(path.c_str());
    cam.SaveImage(0, 1);
    cam.m_VideoSession.DoVideoBuffer(nullptr, 0, 0);
    EXPECT_EQ(d.n, 1);
    EXPECT_EQ(cam.m_bSaveImgNow, 1);
    Deliver(frame, w, h);
    EXPECT_TRUE(Exists(path));
}

TEST_F(FrameHook, SnapshotIsUnmaskedWhileTheHostGetsTheMaskedFrame)
{
    const int w = 64, h = 48;
    MaskAreaParam m = {0, 1, 0, 0, 50, 50, 100, 100, 0};
    cam.SetMaskAreaParam(&m);
    std::vector<unsigned char> frame = GreyBgr(w, h);
    std::string path = SnapshotOfNext(frame, w, h, "nocb.jpg");
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(frame, GreyBgr(w, h)) << "without a callback the frame is left alone";

    Delivered d;
    cam.SetVideoBufCallBack(OnVideo, &d);
    path = SnapshotOfNext(frame, w, h, "masked.jpg");
    ASSERT_EQ(d.n, 1);
    EXPECT_EQ(d.w, w);
    // The host's copy is masked (where exactly is the mask's own test).
    EXPECT_EQ(BgrPixel(d.frame, w, h, 0, 0)[0], 0);
    int jw, jh;
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(DecodeJpegFile(path, &jw, &jh, &rgb));
    EXPECT_GT(rgb[0], 100) << "the snapshot is taken before the masks";
}

TEST_F(FrameHook, WriterFollowsTheStreamNotALaterSettingChange)
{
    const int w = 40, h = 30;
    cam.SetD3DDisplay(1);  // takes effect at the next open only
    cam.m_VideoSession.SetD3DDisplay(1);
    std::vector<unsigned char> frame = GreyBgr(w, h);
    std::string path = SnapshotOfNext(frame, w, h, "bgr.jpg");
    int jw, jh;
    std::vector<unsigned char> rgb;
    ASSERT_TRUE(DecodeJpegFile(path, &jw, &jh, &rgb));
    // Decoded as BGR grey: all three channels alike.
    EXPECT_NEAR(rgb[0], 128, 3);
    EXPECT_NEAR(rgb[1], 128, 3);
    EXPECT_NEAR(rgb[2], 128, 3);
}

TEST_F(FrameHook, OnScreenTextIsStampedAfterTheMasksAndOnlyWhenSet)
{
    const int w = 64, h = 48;
    Delivered d;
    cam.SetVideoBufCallBack(OnVideo, &d);
    MaskAreaParam m = {0, 1, 0, 0, 100, 100, 100, 100, 0};  // whole frame black
    cam.SetMaskAreaParam(&m);
    std::vector<unsigned char> frame = GreyBgr(w, h);
    Deliver(frame, w, h);
    ASSERT_EQ(d.n, 1);
    for (unsigned char b : d.frame)
        ASSERT_EQ(b, 0) << "no text unless the host sets one";

    // Cell placement and clipping are the overlay's own tests; here the
    // text lands on top of the mask and goes again when cleared.
    cam.SetOsdText("HI", 4, 2);
    frame = GreyBgr(w, h);
    Deliver(frame, w, h);
    int nWhite = 0;
    for (size_t i = 0; i + 2 < d.frame.size(); i += 3)
        nWhite += d.frame[i] == 255 && d.frame[i + 1] == 255 && d.frame[i + 2] == 255;
    EXPECT_GT(nWhite, 10) << "the text shows on top of the mask";
    cam.SetOsdText("XYZ", w - 3, h - 2);  // at the edge: never outside the frame
    frame = GreyBgr(w, h);
    Deliver(frame, w, h);
    cam.SetOsdText(nullptr, 0, 0);
    frame = GreyBgr(w, h);
    Deliver(frame, w, h);
    for (unsigned char b : d.frame)
        ASSERT_EQ(b, 0);
}
