// Playback through CIpCamera against the raw HTTP test camera, in both
// picture layouts: every picture of a stream reaches the host (access-unit
// delimiters, garbage between frames, frames in small writes), audio rules
// of the frame headers, marked H.265 streams the built-in decoder refuses,
// and the time from the camera's send to the host's callback.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "E2eSupport.h"

namespace {

std::string Clip(const std::string &name)
{
    if (name == "standard")
        return E2eStandardClip();
    if (name == "aud")
        return E2eClip("h264_aud_b2_4s.mp4", {"--audio", "none", "--params", "aud=1:bframes=2:b-adapt=0"});
    if (name == "tiny")  // a still scene: frames of 20 to 140 bytes after the first
        return E2eClip("h264_still_4s.mp4", {"--audio", "none", "--static", "--no-counter"});
    if (name == "h265_intra")
        return E2eClip("h265_intra_4s.mp4", {"--video", "h265", "--audio", "none", "--gop", "1", "--params", "info=0"});
    if (name == "h265_b3_ref4")
        return E2eClip("h265_b3_ref4_4s.mp4",
                       {"--video", "h265", "--audio", "none", "--params", "bframes=3:ref=4:rc-lookahead=10:info=0:open-gop=0"});
    return "";
}

// A looping HTTP camera serving clip, stopped when the test ends.
struct HttpCam {
    RtspServer s = {-1, ""};
    bool Start(const std::string &clip, const std::vector<std::string> &extra)
    {
        std::string path = Clip(clip);
        if (path.empty())
            return false;
        std::vector<std::string> args = {"--video", path, "--loop"};
        args.insert(args.end(), extra.begin(), extra.end());
        return HttpCameraStart(&s, args) == 0;
    }
    ~HttpCam() { RtspServerStop(&s); }
};

// Pictures in 2 s of steady playback, counted from nSettleMs after the first.
int SteadyPictures(Recorder *rec, int nSettleMs = 500)
{
    if (!E2eWaitFor([&] { return RecorderFrames(rec) > 0; }, 8000))
        return -1;
    usleep(nSettleMs * 1000);
    int n0 = RecorderFrames(rec);
    usleep(2000 * 1000);
    return RecorderFrames(rec) - n0;
}

struct RateCase {
    const char *name;
    const char *clip;
    std::vector<std::string> args;
};
const RateCase kRateCases[] = {
    {"AccessUnitDelimiters", "aud", {"--no-audio"}},
    {"GarbageEverySecondFrame", "standard", {"--no-audio", "--garbage-every", "2", "--garbage-bytes", "6000"}},
    {"SmallWrites", "standard", {"--no-audio", "--split", "300"}},
};

void PrintTo(const RateCase &c, std::ostream *os) { *os << c.name; }

class HttpRate : public ::testing::TestWithParam<std::tuple<RateCase, int>> {};

// Frame counters of the pictures, in delivery order.
struct Counters {
    std::mutex lock;
    int bPlanar;
    std::vector<int> seen;
};
int OnCounted(void *, void *pUser, unsigned char *pFrame, int w, int h)
{
    Counters *c = (Counters *)pUser;
    std::lock_guard<std::mutex> g(c->lock);
    if (pFrame && w == kE2eW && h == kE2eH)
        c->seen.push_back(E2eCounterOf(pFrame, w, h, c->bPlanar));
    return 0;
}

// 25 pictures a second sent: 50 in 2 s, whichever layout, and from the
// first picture on none missing (the counter box advances by one).
TEST_P(HttpRate, EveryPictureReachesTheHost)
{
    const RateCase &c = std::get<0>(GetParam());
    int planar = std::get<1>(GetParam());
    HttpCam cam;
    ASSERT_TRUE(cam.Start(c.clip, c.args));
    CIpCamera host(1, "http-rate", "");
    Recorder rec;
    Counters counters;
    counters.bPlanar = planar;
    ASSERT_EQ(0, E2ePlay(&host, &rec, cam.s.sUrl, planar, 2));
    host.SetVideoBufCallBack(OnCounted, &counters);
    auto count = [&] {
        std::lock_guard<std::mutex> g(counters.lock);
        return (int)counters.seen.size();
    };
    ASSERT_TRUE(E2eWaitFor([&] { return count() > 0; }, 8000));
    usleep(500 * 1000);
    int n0 = count();
    usleep(2000 * 1000);
    int n = count() - n0;
    host.CloseMainStreamVideo();
    EXPECT_GE(n, 46);
    EXPECT_LE(n, 54);
    // A box misread by one level (B pictures are coarser) comes back at the
    // next picture; only lost pictures leave the sum of steps behind.
    int nMissing = 0;
    for (size_t i = 1; i < counters.seen.size(); i++)
        nMissing += (counters.seen[i] - counters.seen[i - 1] + 50) % 50 - 1;
    EXPECT_LE(std::abs(nMissing), 1) << "of " << counters.seen.size() << " pictures";
}

INSTANTIATE_TEST_SUITE_P(Streams, HttpRate, ::testing::Combine(::testing::ValuesIn(kRateCases), ::testing::Values(0, 1)),
                         [](const ::testing::TestParamInfo<std::tuple<RateCase, int>> &i) {
                             return std::string(std::get<0>(i.param).name) + (std::get<1>(i.param) ? "_I420" : "_BGR");
                         });

// Raw sound for the camera's --audio, made once per run in the build tree.
std::string RawAudio(const std::string &codec)
{
    std::string path = std::string(IPCAMERA_BINARY_DIR) + "/e2e-media/tone." + codec;
    static const std::map<std::string, std::string> enc = {
        {"mulaw", "-ar 8000 -c:a pcm_mulaw -f mulaw"},  {"alaw", "-ar 8000 -c:a pcm_alaw -f alaw"},
        {"g722", "-ar 16000 -c:a g722 -f g722"},         {"g726", "-ar 8000 -c:a g726 -b:a 16k -f g726"}};
    if (access(path.c_str(), R_OK) != 0)
        E2eRun("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=6 -ac 1 " + enc.at(codec) + " " + path +
               ".tmp && mv " + path + ".tmp " + path);
    return path;
}

// The first header names the audio codec and rate; the standard clip's
// own sound is 16 kHz AAC.
TEST(HttpAudio, CodecAndRateFromTheHeadersDataApart)
{
    struct Case {
        const char *name;
        std::vector<std::string> args;
        int nRate;  // 0: no sound expected
    } cases[] = {
        {"G.711 mu-law", {"--audio", RawAudio("mulaw"), "--audio-codec", "mulaw"}, 8000},
        {"G.711 A-law", {"--audio", RawAudio("alaw"), "--audio-codec", "alaw"}, 8000},
        {"G.722", {"--audio", RawAudio("g722"), "--audio-codec", "g722"}, 16000},
        // 16 kbit/s G.726 plays at 8 kHz whatever the header says.
        {"G.726", {"--audio", RawAudio("g726"), "--audio-codec", "g726", "--audio-rate", "16000"}, 8000},
        // An unknown type is taken as G.711 mu-law.
        {"type 9", {"--audio", RawAudio("mulaw"), "--audio-codec", "mulaw", "--audio-type", "9"}, 8000},
        // Rate 0 in the headers: the AAC frames carry their own.
        {"AAC rate 0", {"--audio-rate", "0"}, 16000},
        // No audio in the first header: the audio frames that still come are
        // dropped, not handed out as data.
        {"audio type -1", {"--audio-type", "-1", "--data-every", "5"}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        HttpCam cam;
        ASSERT_TRUE(cam.Start("standard", c.args));
        CIpCamera host(2, "http-audio", "");
        host.m_bAudioEnable = 1;
        Recorder rec;
        ASSERT_EQ(0, E2ePlay(&host, &rec, cam.s.sUrl, 0, 2));
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) >= 50; }, 10000));
        host.CloseMainStreamVideo();
        std::lock_guard<std::mutex> g(rec.lock);
        if (c.nRate) {
            EXPECT_GT(rec.nAudioEvents, 20);
            EXPECT_EQ(c.nRate, rec.nAudioRate);
            // A 440 Hz tone: far from silence.
            int nLoud = 0;
            for (short v : rec.pcm)
                nLoud += v > 3000 || v < -3000;
            EXPECT_GT(nLoud, (int)rec.pcm.size() / 10);
        } else {
            EXPECT_EQ(0, rec.nAudioEvents);
            EXPECT_GE(rec.nDataEvents, 5);
        }
        int nNotData = 0;  // the camera's data frames carry 8 bytes
        for (const auto &d : rec.data)
            nNotData += d.size() != 8;
        EXPECT_EQ(0, nNotData) << "audio frames reached the data callback";
    }
}

// A camera that stalls (after its second key frame, so a picture has come
// whenever decoding was switched on): past the read time-out play resumes;
// a camera that never sends again still closes at once.
TEST(HttpStall, PlayResumesAfterAStallAndCloseNeverWaits)
{
    for (int forever = 0; forever < 2; forever++) {
        SCOPED_TRACE(forever ? "silent for ever" : "6.5 s stall");
        HttpCam cam;
        ASSERT_TRUE(cam.Start("standard", {"--no-audio", "--stall-after", "40", "--stall-ms", forever ? "-1" : "6500"}));
        CIpCamera host(5, "http-stall", "");
        Recorder rec;
        ASSERT_EQ(0, E2ePlay(&host, &rec, cam.s.sUrl, forever, 2));
        ASSERT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > 0; }, 5000));
        usleep(2000 * 1000);  // the camera has gone quiet
        int nStalled = RecorderFrames(&rec);
        if (!forever) {
            EXPECT_TRUE(E2eWaitFor([&] { return RecorderFrames(&rec) > nStalled + 25; }, 9000));
            EXPECT_FALSE(host.IsMainVideoFinish());
        }
        double t0 = E2eNow();
        host.CloseMainStreamVideo();
        EXPECT_LT(E2eNow() - t0, 1.0);
    }
}

// x265 with 3 B pictures and 4 references needs more than the one reference
// picture the built-in decoder is created with: FFmpeg takes the stream
// (from the next key picture: up to a second is lost once). A marked
// all-intra stream stays with the built-in decoder.
TEST(HttpMarkedHevc, RefusedStreamPlaysThroughFfmpegInBothLayouts)
{
    struct Case {
        const char *clip;
        bool bRefused;
    } cases[] = {{"h265_b3_ref4", true}, {"h265_intra", false}};
    for (const Case &c : cases) {
        for (int planar = 0; planar < 2; planar++) {
            SCOPED_TRACE(std::string(c.clip) + (planar ? " I420" : " BGR"));
            HttpCam cam;
            ASSERT_TRUE(cam.Start(c.clip, {"--no-audio", "--marker-sei"}));
            CIpCamera host(3, "http-hevc", "");
            Recorder rec;
            testing::internal::CaptureStderr();
            ASSERT_EQ(0, E2ePlay(&host, &rec, cam.s.sUrl, planar, 2));
            int n = SteadyPictures(&rec, 1500);
            host.CloseMainStreamVideo();
            std::string log = testing::internal::GetCapturedStderr();
            EXPECT_GE(n, 46);
            EXPECT_EQ(c.bRefused, log.find("built-in decoder refused the stream") != std::string::npos);
            EXPECT_NE(std::string::npos, log.find("IHW265D_Create===success"));
        }
    }
}

// Send-to-callback latency: one callback time per picture.
struct Arrivals {
    std::mutex lock;
    std::vector<double> times;
};
int OnPicture(void *, void *pUser, unsigned char *pFrame, int, int)
{
    Arrivals *a = (Arrivals *)pUser;
    std::lock_guard<std::mutex> g(a->lock);
    if (pFrame)
        a->times.push_back(E2eNow());
    return 0;
}

// Pictures come one per video frame, from a key frame (every 25th) on: the
// k whose frames k, k+1, ... were all sent before their callbacks, the
// largest such multiple of 25, pairs each callback with its frame (a wrong
// k would need every latency above a second).
std::vector<double> Latencies(const std::vector<double> &cb, const std::vector<double> &sent)
{
    std::vector<double> best;
    for (size_t k = 0; k + cb.size() <= sent.size(); k += 25) {
        std::vector<double> lat;
        for (size_t j = 0; j < cb.size() && cb[j] >= sent[k + j]; j++)
            lat.push_back(cb[j] - sent[k + j]);
        if (lat.size() == cb.size())
            best = lat;
    }
    return best;
}

TEST(HttpLatency, FrameReachesTheHostWhenItsLastByteArrived)
{
    for (const char *clip : {"tiny", "standard"}) {
        for (int planar = 0; planar < 2; planar++) {
            SCOPED_TRACE(std::string(clip) + (planar ? " I420" : " BGR"));
            char tmpl[] = "/tmp/ipcam_sendlog_XXXXXX";
            int fd = mkstemp(tmpl);
            ASSERT_GE(fd, 0);
            close(fd);
            Arrivals arr;
            {
                HttpCam cam;
                ASSERT_TRUE(cam.Start(clip, {"--no-audio", "--send-log", tmpl}));
                CIpCamera host(4, "http-latency", "");
                Recorder rec;
                ASSERT_EQ(0, E2ePlay(&host, &rec, cam.s.sUrl, planar, 2));
                host.SetVideoBufCallBack(OnPicture, &arr);
                usleep(3000 * 1000);
                host.CloseMainStreamVideo();
            }
            std::vector<double> sent;
            std::ifstream in(tmpl);
            long long idx, us;
            while (in >> idx >> us)
                sent.push_back(us / 1e6);
            unlink(tmpl);
            ASSERT_GE(arr.times.size(), 40u);
            std::vector<double> lat = Latencies(arr.times, sent);
            ASSERT_EQ(arr.times.size(), lat.size()) << "callbacks do not pair with the frames sent";
            std::sort(lat.begin(), lat.end());
            double median = lat[lat.size() / 2] * 1000, p90 = lat[lat.size() * 9 / 10] * 1000;
            printf("[ latency  ] %s %s: %zu pictures, median %.1f ms, 90%% %.1f ms, max %.1f ms\n", clip,
                   planar ? "I420" : "BGR", lat.size(), median, p90, lat.back() * 1000);
            EXPECT_LT(median, 40.0);
            EXPECT_LT(p90, 80.0);
        }
    }
}

}  // namespace
