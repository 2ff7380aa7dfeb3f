// Audio of every codec the library takes from an RTSP camera reaches the
// host as 16-bit units at the stream's sample rate, in both decode threads.

#include <gtest/gtest.h>

#include "E2eSupport.h"

namespace {

// Frequency of a sine in 16-bit samples taken every nStep units, from its
// upward zero crossings (with a little hysteresis against codec noise).
double SineFrequency(const std::vector<short> &pcm, int nStep, int nRate)
{
    int crossings = 0, first = -1, last = -1;
    bool below = false;
    for (size_t i = 0; i < pcm.size(); i += nStep) {
        if (pcm[i] < -800) {
            below = true;
        } else if (below && pcm[i] > 800) {
            below = false;
            crossings++;
            if (first < 0)
                first = (int)(i / nStep);
            last = (int)(i / nStep);
        }
    }
    if (crossings < 3 || last <= first)
        return 0;
    return (crossings - 1) * (double)nRate / (last - first);
}

struct AudioCase {
    const char *pCodec;  // ipcam-test-rtsp --audio value
    int nRate;           // sample rate the host must be told
    int nMaxChannels;    // units per sample the decoder may deliver
};

// FAAD2 may present mono AAC as two interleaved channels.
const AudioCase kCases[] = {
    {"aac", 16000, 2}, {"pcmu", 8000, 1}, {"pcma", 8000, 1}, {"g722", 16000, 1}, {"g726", 8000, 1},
};

class RtspAudio : public ::testing::TestWithParam<AudioCase> {};

TEST_P(RtspAudio, CountRateAndToneMatchTheStream)
{
    E2E_REQUIRE_RTSP_CAMERA();
    std::string clip = E2eStandardClip();
    ASSERT_FALSE(clip.empty());
    const AudioCase &c = GetParam();
    RtspServer server;
    ASSERT_EQ(0, RtspServerStart(&server, {"--file", clip, "--audio", c.pCodec}));
    for (int planar = 0; planar <= 1; planar++) {
        SCOPED_TRACE(planar ? "planar thread" : "classic thread");
        CIpCamera cam(20, c.pCodec, "");
        Recorder rec;
        cam.m_bAudioEnable = 1;
        ASSERT_EQ(0, E2ePlay(&cam, &rec, server.sUrl, planar, 1));
        // Start counting once sound flows, then take two seconds of it.
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderCount(&rec, &Recorder::nAudioEvents) > 0; }, 5000))
            << "no audio event";
        long long u0;
        {
            std::lock_guard<std::mutex> g(rec.lock);
            u0 = rec.nAudioUnits;
        }
        double t0 = E2eNow();
        usleep(2000 * 1000);
        long long u1;
        int rate;
        {
            std::lock_guard<std::mutex> g(rec.lock);
            u1 = rec.nAudioUnits;
            rate = rec.nAudioRate;
        }
        double seconds = E2eNow() - t0;
        cam.CloseMainStreamVideo();
        EXPECT_EQ(c.nRate, rate);
        double perSecond = (u1 - u0) / seconds;
        // Network jitter moves a packet or two across the window's edges.
        EXPECT_GT(perSecond, c.nRate * 0.75);
        EXPECT_LT(perSecond, c.nRate * c.nMaxChannels * 1.25);
        EXPECT_GT(RecorderFrames(&rec), 0) << "video stopped with audio present";
        // The clip's tone is 440 Hz; a wrong sample format, byte order or
        // channel count shows as another frequency or as noise.
        int channels = perSecond > c.nRate * 1.5 ? 2 : 1;
        {
            std::lock_guard<std::mutex> g(rec.lock);
            EXPECT_NEAR(440.0, SineFrequency(rec.pcm, channels, c.nRate), 15.0);
        }
    }
    RtspServerStop(&server);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RtspAudio, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<AudioCase> &i) {
                             return std::string(i.param.pCodec);
                         });

}  // namespace
