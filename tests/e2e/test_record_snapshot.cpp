// Recording, snapshots and masks end to end: a camera served by the RTSP
// test camera is recorded into an AVI file that ffprobe and ffmpeg read
// back, its snapshot is upright with the right colours, and a mask blacks
// out its rectangle in both layouts.

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "E2eSupport.h"

namespace {

const int kW = 320, kH = 240;

struct RecordCase {
    const char *pVideo;  // clip and camera video codec
    const char *pAudio;  // camera audio codec
    const char *pProbeVideo;  // ffprobe's codec names
    const char *pProbeAudio;
};

const RecordCase kCases[] = {
    {"h264", "aac", "h264", "aac"},
    {"h265", "pcmu", "hevc", "pcm_mulaw"},
    {"mpeg4", "g722", "mpeg4", "adpcm_g722"},
    // FFmpeg's RTSP client presents G.726-16 as the little-endian packing.
    {"h264", "g726", "h264", "adpcm_g726"},
};

std::string RunCommand(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string TempDir()
{
    char dir[] = "/tmp/ipcam-e2e-rec-XXXXXX";
    return mkdtemp(dir) ? dir : "";
}

// Decodes a JPEG with ffmpeg into packed RGB, top row first.
std::vector<unsigned char> DecodeJpeg(const std::string &path, int w, int h)
{
    std::string raw = RunCommand("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
    if (raw.size() != (size_t)w * h * 3)
        return {};
    return std::vector<unsigned char>(raw.begin(), raw.end());
}

class RecordSnapshot : public ::testing::TestWithParam<RecordCase> {
protected:
    void SetUp() override
    {
        if (!E2eHaveRtspCamera())
            GTEST_SKIP() << "ipcam-test-rtsp was not built (gst-rtsp-server missing)";
    }
};

TEST_P(RecordSnapshot, RecordingPlaysBackAndSnapshotIsUpright)
{
    const RecordCase &c = GetParam();
    std::string name = std::string("rec_") + c.pVideo + "_8s.mp4";
    std::string clip = E2eClip(name.c_str(), {"--video", c.pVideo, "--audio", "aac", "--seconds", "8",
                                              "--gop", "25", "--no-counter"});
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--video", c.pVideo, "--audio", c.pAudio}));
    std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());

    for (int planar = 0; planar <= 1; planar++) {
        SCOPED_TRACE(planar ? "planar" : "classic");
        CIpCamera cam(70, "rec", "");
        Recorder rec;
        RecorderInit(&rec, &cam, planar);
        RecorderAttach(&rec, &cam);
        cam.SetD3DDisplay(planar);
        cam.SetConnectType(1);
        ASSERT_EQ(0, cam.OpenMainStreamVideo(server.sUrl.c_str()));
        ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 3; }, 5000));

        std::string base = dir + (planar ? "/planar" : "/classic");
        std::string avi = base + ".avi", jpg = base + ".jpg";
        cam.SetSaveRecordPath(avi.c_str());
        ASSERT_EQ(0, cam.StartSaveAvi(1));
        cam.SetSaveImagePath(jpg.c_str());
        cam.SaveImage(1, 1);
        usleep(3000 * 1000);
        EXPECT_EQ(0, cam.StopSaveAvi(1));
        cam.CloseMainStreamVideo();

        // The stop names the file after its length: base_<seconds>.avi.
        std::string found = RunCommand("ls '" + base + "'_*.avi 2>/dev/null");
        ASSERT_FALSE(found.empty()) << "no finished recording " << base << "_N.avi";
        found = found.substr(0, found.find('\n'));
        int seconds = atoi(found.c_str() + base.size() + 1);
        EXPECT_GE(seconds, 3);
        EXPECT_LE(seconds, 5);

        std::string probe = RunCommand("ffprobe -v error -show_entries stream=codec_name,r_frame_rate "
                                "-of csv=p=0 '" + found + "'");
        EXPECT_NE(std::string::npos, probe.find(c.pProbeVideo)) << probe;
        EXPECT_NE(std::string::npos, probe.find(c.pProbeAudio)) << probe;
        // The stop corrects the rate to what was recorded: about 25 per second.
        int num = 0, den = 1;
        sscanf(probe.c_str() + probe.find(',') + 1, "%d/%d", &num, &den);
        EXPECT_NEAR(25.0, den ? (double)num / den : 0, 4.0) << probe;
        std::string errors = RunCommand("ffmpeg -v error -i '" + found + "' -f null - 2>&1");
        EXPECT_TRUE(errors.empty()) << errors;
        std::string frames = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                 "stream=nb_read_frames -of csv=p=0 '" + found + "'");
        // Three seconds at 25 per second, less the wait for the first key
        // frame (one a second).
        int nPictures = atoi(frames.c_str());
        EXPECT_GE(nPictures, 45);
        EXPECT_LE(nPictures, 85);

        // One snapshot per request; top of the JPEG is the top of the picture.
        std::vector<unsigned char> rgb = DecodeJpeg(jpg, kW, kH);
        ASSERT_FALSE(rgb.empty()) << "snapshot missing or not " << kW << "x" << kH;
        ClipMarkers m = E2eMarkers(kW, kH);
        const unsigned char *red = &rgb[((size_t)m.nRedY * kW + m.nRedX) * 3];
        const unsigned char *blue = &rgb[((size_t)m.nBlueY * kW + m.nBlueX) * 3];
        EXPECT_GT(red[0], 180);
        EXPECT_LT(red[2], 70);
        EXPECT_GT(blue[2], 180);
        EXPECT_LT(blue[0], 70);
        EXPECT_EQ('\0', cam.m_szSaveImgPath[0]) << "the request was not consumed";
    }
    RunCommand("rm -rf '" + dir + "'");
    RtspServerStop(&server);
}

INSTANTIATE_TEST_SUITE_P(Sources, RecordSnapshot, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RecordCase> &i) {
                             return std::string(i.param.pVideo) + "_" + i.param.pAudio;
                         });

// A mask over the red box, given in a 640x480 reference space, blacks it out
// at its top-based position in both layouts and leaves the blue box alone.
TEST(Masks, PaintBlackAtTheirTopBasedPositionInBothLayouts)
{
    if (!E2eHaveRtspCamera())
        GTEST_SKIP() << "ipcam-test-rtsp was not built (gst-rtsp-server missing)";
    std::string clip = E2eClip("h264_aac_6s.mp4",
                               {"--video", "h264", "--audio", "aac", "--seconds", "6", "--gop", "25"});
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip}));
    ClipMarkers m = E2eMarkers(kW, kH);
    for (int planar = 0; planar <= 1; planar++) {
        SCOPED_TRACE(planar ? "planar" : "classic");
        CIpCamera cam(71, "mask", "");
        MaskAreaParam mask = {0, 1, 2 * (m.nRedX - 8), 2 * (m.nRedY - 6), 32, 24, 2 * kW, 2 * kH, 0};
        ASSERT_EQ(0, cam.SetMaskAreaParam(&mask));
        Recorder rec;
        RecorderInit(&rec, &cam, planar);
        RecorderAttach(&rec, &cam);
        cam.SetD3DDisplay(planar);
        cam.SetConnectType(1);
        ASSERT_EQ(0, cam.OpenMainStreamVideo(server.sUrl.c_str()));
        ASSERT_EQ(0, cam.SetDecodeEnable(false, true));
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 1; }, 5000));
        cam.CloseMainStreamVideo();
        std::lock_guard<std::mutex> g(rec.lock);
        const unsigned char *f = rec.first.data();
        if (planar) {
            EXPECT_EQ(16, f[m.nRedY * kW + m.nRedX]);
            EXPECT_EQ(128, f[kW * kH + (m.nRedY / 2) * (kW / 2) + m.nRedX / 2]);
            EXPECT_NEAR(41, f[m.nBlueY * kW + m.nBlueX], 12) << "blue box touched";
            // Just outside the 16x12 rectangle the red box is still red.
            EXPECT_NEAR(81, f[m.nRedY * kW + m.nRedX + 10], 14);
        } else {
            const unsigned char *p = &f[((size_t)(kH - 1 - m.nRedY) * kW + m.nRedX) * 3];
            EXPECT_EQ(0, p[0] | p[1] | p[2]) << "masked pixel not black";
            const unsigned char *q = &f[((size_t)(kH - 1 - m.nRedY) * kW + m.nRedX + 10) * 3];
            EXPECT_GT(q[2], 180) << "pixel right of the mask changed";
            const unsigned char *b = &f[((size_t)(kH - 1 - m.nBlueY) * kW + m.nBlueX) * 3];
            EXPECT_GT(b[0], 180) << "blue box touched";
        }
    }
    RtspServerStop(&server);
}

}  // namespace
