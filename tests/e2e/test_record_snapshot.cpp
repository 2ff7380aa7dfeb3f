// Recording and snapshots end to end: a camera served by the RTSP test
// camera is recorded into an AVI file that ffprobe and ffmpeg read back,
// and its snapshot is upright with the right colours.

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "E2eSupport.h"

namespace {

const int kW = kE2eW, kH = kE2eH;

struct RecordCase {
    const char *pVideo;  // clip and camera video codec
    const char *pAudio;  // camera audio codec
    const char *pProbeVideo;  // ffprobe's codec names
    const char *pProbeAudio;
    int bPlanar;  // picture layout, so each snapshot encoder is covered
};

const RecordCase kCases[] = {
    {"h264", "aac", "h264", "aac", 0},
    {"h265", "pcmu", "hevc", "pcm_mulaw", 1},
    {"mpeg4", "g722", "mpeg4", "adpcm_g722", 0},
    // FFmpeg's RTSP client presents G.726-16 as the little-endian packing.
    {"h264", "g726", "h264", "adpcm_g726", 1},
};

std::string TempDir()
{
    char dir[] = "/tmp/ipcam-e2e-rec-XXXXXX";
    return mkdtemp(dir) ? dir : "";
}

// Decodes a JPEG with ffmpeg into packed RGB, top row first.
std::vector<unsigned char> DecodeJpeg(const std::string &path, int w, int h)
{
    std::string raw = E2eRun("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
    if (raw.size() != (size_t)w * h * 3)
        return {};
    return std::vector<unsigned char>(raw.begin(), raw.end());
}

class RecordSnapshot : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordSnapshot, RecordingPlaysBackAndSnapshotIsUpright)
{
    E2E_REQUIRE_RTSP_CAMERA();
    const RecordCase &c = GetParam();
    std::string name = std::string("rec_") + c.pVideo + "_8s.mp4";
    std::string clip = E2eClip(name.c_str(), {"--video", c.pVideo, "--audio", "aac", "--seconds", "8",
                                              "--gop", "25", "--no-counter"});
    ASSERT_FALSE(clip.empty());
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--video", c.pVideo, "--audio", c.pAudio}));
    std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());

    CIpCamera cam(70, "rec", "");
    Recorder rec;
    ASSERT_EQ(0, E2ePlay(&cam, &rec, server.sUrl, c.bPlanar, 1));
    ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 3; }, 5000));

    std::string base = dir + "/rec";
    std::string avi = base + ".avi", jpg = base + ".jpg";
    cam.SetSaveRecordPath(avi.c_str());
    ASSERT_EQ(0, cam.StartSaveAvi(1));
    cam.SetSaveImagePath(jpg.c_str());
    cam.SaveImage(1, 1);
    usleep(3000 * 1000);
    EXPECT_EQ(0, cam.StopSaveAvi(1));
    cam.CloseMainStreamVideo();

    // The stop names the file after its length: base_<seconds>.avi, counted
    // from the first packet written (a key frame: up to one 25-picture GOP,
    // a second, after the start) plus one.
    std::string found = E2eRun("ls '" + base + "'_*.avi 2>/dev/null");
    ASSERT_FALSE(found.empty()) << "no finished recording " << base << "_N.avi";
    found = found.substr(0, found.find('\n'));
    int seconds = atoi(found.c_str() + base.size() + 1);
    EXPECT_GE(seconds, 2);
    EXPECT_LE(seconds, 5);

    std::string probe = E2eRun("ffprobe -v error -show_entries stream=codec_name,r_frame_rate "
                            "-of csv=p=0 '" + found + "'");
    EXPECT_NE(std::string::npos, probe.find(c.pProbeVideo)) << probe;
    EXPECT_NE(std::string::npos, probe.find(c.pProbeAudio)) << probe;
    // The stop corrects the rate to what was recorded: about 25 per second.
    int num = 0, den = 1;
    sscanf(probe.c_str() + probe.find(',') + 1, "%d/%d", &num, &den);
    EXPECT_NEAR(25.0, den ? (double)num / den : 0, 4.0) << probe;
    // Every stored frame must decode without an error. The frames keep the
    // file's own time base: the file's rate is the measured one, and letting
    // the tool retime an MPEG-4 stream whose own headers say 25/s onto that
    // grid makes two frames collide and the tool complain, however sound the
    // file.
    std::string errors =
        E2eRun("ffmpeg -v error -i '" + found + "' -enc_time_base:v -1 -f null - 2>&1");
    EXPECT_TRUE(errors.empty()) << errors;
    std::string frames = E2eRun("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
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
    E2eRun("rm -rf '" + dir + "'");
    RtspServerStop(&server);
}

INSTANTIATE_TEST_SUITE_P(Sources, RecordSnapshot, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RecordCase> &i) {
                             return std::string(i.param.pVideo) + "_" + i.param.pAudio;
                         });

}  // namespace
