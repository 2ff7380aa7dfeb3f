// Playback through CIpCamera against the raw HTTP test camera, in both
// picture layouts: every picture of a stream reaches the host, upright with
// its colours, soon after it was sent (access-unit delimiters, garbage
// between frames, small writes, tiny frames, 4:2:2 and 10-bit pictures,
// marked H.265 streams the built-in decoder keeps or refuses), audio rules
// of the frame headers, and a camera that stalls or hangs up.

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
    // name -> make_test_clip.sh arguments; a still scene makes frames of 20
    // to 140 bytes after the first.
    static const std::map<std::string, std::vector<std::string>> kArgs = {
        {"aud", {"--params", "aud=1:bframes=2:b-adapt=0"}},
        {"tiny", {"--static", "--no-counter"}},
        {"h264_422", {"--pixfmt", "yuv422p"}},
        {"h265_10bit", {"--video", "h265", "--pixfmt", "yuv420p10le", "--params", "info=0"}},
        {"h265_intra", {"--video", "h265", "--gop", "1", "--params", "info=0"}},
        {"h265_b3_ref4", {"--video", "h265", "--params", "bframes=3:ref=4:rc-lookahead=10:info=0:open-gop=0"}}};
    if (name == "standard")
        return E2eStandardClip();
    std::vector<std::string> args = kArgs.at(name);
    args.insert(args.end(), {"--audio", "none"});
    return E2eClip(("http_" + name + "_4s.mp4").c_str(), args);
}

// A looping HTTP camera serving clip, stopped when the test ends.
struct HttpCam {
    RtspServer s = {-1, ""};
    bool Start(const std::string &clip, const std::vector<std::string> &extra)
    {
        std::string path = Clip(clip);
        std::vector<std::string> args = {"--video", path, "--loop"};
        args.insert(args.end(), extra.begin(), extra.end());
        return !path.empty() && HttpCameraStart(&s, args) == 0;
    }
    ~HttpCam() { RtspServerStop(&s); }
};

// Arrival time and frame counter of every picture, in delivery order.
struct Arrivals {
    std::mutex lock;
    int bPlanar;
    std::vector<double> times;
    std::vector<int> counters;
    std::vector<unsigned char> first;  // the first picture
    int Count()
    {
        std::lock_guard<std::mutex> g(lock);
        return (int)times.size();
    }
};
int OnPicture(void *, void *pUser, unsigned char *pFrame, int w, int h)
{
    Arrivals *a = (Arrivals *)pUser;
    std::lock_guard<std::mutex> g(a->lock);
    if (pFrame && w == kE2eW && h == kE2eH) {
        if (a->times.empty())
            a->first.assign(pFrame, pFrame + (size_t)w * h * (a->bPlanar ? 3 : 6) / 2);
        a->times.push_back(E2eNow());
        a->counters.push_back(E2eCounterOf(pFrame, w, h, a->bPlanar));
    }
    return 0;
}

// The red (top left) and blue (bottom right) markers of make_test_clip.sh:
// BGR bytes, bottom row first, or limited-range BT.601 Y, U, V.
void ExpectMarkers(const std::vector<unsigned char> &pic, int planar)
{
    ClipMarkers m = E2eMarkers(kE2eW, kE2eH);
    const int xs[2] = {m.nRedX, m.nBlueX}, ys[2] = {m.nRedY, m.nBlueY};
    const int want[2][2][3] = {{{0, 0, 255}, {255, 0, 0}}, {{81, 90, 240}, {41, 240, 110}}};
    for (int k = 0; k < 2; k++) {
        size_t n = (size_t)kE2eW * kE2eH, c = (size_t)(ys[k] / 2) * (kE2eW / 2) + xs[k] / 2;
        const unsigned char *p = planar ? nullptr : E2eBgrAt(pic, xs[k], ys[k]);
        const int got[3] = {planar ? pic[(size_t)ys[k] * kE2eW + xs[k]] : p[0], planar ? pic[n + c] : p[1],
                            planar ? pic[n + n / 4 + c] : p[2]};
        for (int i = 0; i < 3; i++)
            EXPECT_NEAR(got[i], want[planar][k][i], 40) << (k ? "blue" : "red") << " marker, channel " << i;
    }
}

// Pictures come one per video frame, from a key frame (every 25th) on: the
// k whose frames k, k+1, ... were all sent before their callbacks, the
// largest such multiple of 25, pairs each callback with its frame (a wrong
// k would need every latency above a second). Empty when none pairs.
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

struct PlayCase {
    const char *name;
    const char *clip;
    std::vector<std::string> args;
    int nSettleMs;       // from the first picture to the counted 2 s
    bool bCounter;       // the clip numbers its pictures
    const char *pRefused;  // "y"/"n": the built-in decoder refuses the stream or keeps it; null: not H.265
    bool bLatency;       // the decoder hands each picture out at once (no reordering or lag)
};
const PlayCase kPlayCases[] = {
    {"NormalFrames", "standard", {}, 500, true, nullptr, true},
    {"TinyFrames", "tiny", {}, 500, false, nullptr, true},
    {"GarbageEverySecondFrame", "standard", {"--garbage-every", "2", "--garbage-bytes", "6000"}, 500, true, nullptr,
     true},
    {"SmallWrites", "standard", {"--split", "300"}, 500, true, nullptr, true},
    {"AccessUnitDelimitersBFrames", "aud", {}, 500, true, nullptr, false},
    // Decoders give other layouts than 8-bit 4:2:0; the host gets its own.
    {"H264In422", "h264_422", {}, 500, true, nullptr, true},
    {"Hevc10Bit", "h265_10bit", {}, 500, true, nullptr, false},
    // x265 with 3 B pictures and 4 references needs more than the one
    // reference picture the built-in decoder is created with: FFmpeg takes
    // the stream from the next key picture (up to a second is lost once).
    {"MarkedHevcRefused", "h265_b3_ref4", {"--marker-sei"}, 1500, true, "y", false},
    {"MarkedHevcIntra", "h265_intra", {"--marker-sei"}, 500, true, "n", false},
};

void PrintTo(const PlayCase &c, std::ostream *os) { *os << c.name; }

class HttpPlay : public ::testing::TestWithParam<std::tuple<PlayCase, int>> {};

// 25 pictures a second sent: about 50 in 2 s, whichever layout, none
// missing (the counter box advances by one), each picture at the host well
// within a frame interval of its send (a tiny frame used to wait for 2000
// bytes of the frames behind it: 167 ms and more).
TEST_P(HttpPlay, EveryPictureReachesTheHostAtOnce)
{
    const PlayCase &c = std::get<0>(GetParam());
    int planar = std::get<1>(GetParam());
    char sendLog[] = "/tmp/ipcam_sendlog_XXXXXX";
    int fd = mkstemp(sendLog);
    ASSERT_GE(fd, 0);
    close(fd);
    Arrivals arr;
    arr.bPlanar = planar;
    int n0 = 0, n1 = 0;
    std::string log;
    {
        HttpCam cam;
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--no-audio", "--send-log", sendLog});
        ASSERT_TRUE(cam.Start(c.clip, args));
        CIpCamera host(1, "http-play", "");
        Recorder rec;
        testing::internal::CaptureStderr();
        ASSERT_EQ(0, E2ePlay(&host, &rec, cam.s.sUrl, planar, 2));
        host.SetVideoBufCallBack(OnPicture, &arr);
        ASSERT_TRUE(E2eWaitFor([&] { return arr.Count() > 0; }, 8000));
        usleep(c.nSettleMs * 1000);
        n0 = arr.Count();
        usleep(2000 * 1000);
        n1 = arr.Count();
        host.CloseMainStreamVideo();
        log = testing::internal::GetCapturedStderr();
    }
    // A busy machine may hold a few pictures back for a while.
    EXPECT_GE(n1 - n0, 42);
    EXPECT_LE(n1 - n0, 58);
    ExpectMarkers(arr.first, planar);
    if (c.bCounter) {
        // From the first picture (after a decoder switch: from n0). A box
        // misread by one level (B pictures are coarser) comes back at the
        // next picture; only lost pictures leave the sum of steps behind.
        int nMissing = 0;
        for (int i = (c.nSettleMs > 500 ? n0 : 0) + 1; i < n1; i++)
            nMissing += (arr.counters[i] - arr.counters[i - 1] + 50) % 50 - 1;
        EXPECT_LE(std::abs(nMissing), 1);
    }
    if (c.pRefused) {
        EXPECT_NE(std::string::npos, log.find("IHW265D_Create===success"));
        EXPECT_EQ(*c.pRefused == 'y', log.find("built-in decoder refused the stream") != std::string::npos);
    }
    std::vector<double> sent;
    std::ifstream in(sendLog);
    long long idx, us;
    while (in >> idx >> us)
        sent.push_back(us / 1e6);
    unlink(sendLog);
    if (!c.bLatency)
        return;
    std::vector<double> lat = Latencies(std::vector<double>(arr.times.begin(), arr.times.begin() + n1), sent);
    ASSERT_EQ((size_t)n1, lat.size()) << "callbacks do not pair with the frames sent";
    std::sort(lat.begin(), lat.end());
    double median = lat[lat.size() / 2] * 1000, p90 = lat[lat.size() * 9 / 10] * 1000;
    printf("[ latency  ] %s %s: %zu pictures, median %.1f ms, 90%% %.1f ms, max %.1f ms\n", c.name,
           planar ? "I420" : "BGR", lat.size(), median, p90, lat.back() * 1000);
    EXPECT_LT(median, 40.0);
    EXPECT_LT(p90, 80.0);
}

INSTANTIATE_TEST_SUITE_P(Streams, HttpPlay, ::testing::Combine(::testing::ValuesIn(kPlayCases), ::testing::Values(0, 1)),
                         [](const ::testing::TestParamInfo<std::tuple<PlayCase, int>> &i) {
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
        // AAC by the header, G.711 bytes in the frames: FAAD2 refuses them.
        {"not AAC", {"--audio", RawAudio("mulaw"), "--audio-codec", "mulaw", "--audio-type", "1"}, 0},
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
            if (c.args.back() == "5") {
                EXPECT_GE(rec.nDataEvents, 5);
            }
        }
        int nNotData = 0;  // the camera's data frames carry 8 bytes
        for (const auto &d : rec.data)
            nNotData += d.size() != 8;
        EXPECT_EQ(0, nNotData) << "audio frames reached the data callback";
    }
}

// A camera that stalls (after its second key frame, so a picture has come
// whenever decoding was switched on): past the read time-out play resumes;
// a camera that never sends again still closes at once; a camera that
// hangs up ends the stream at once.
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
    HttpCam cam;  // one pass of the clip, then the connection closes
    ASSERT_EQ(0, HttpCameraStart(&cam.s, {"--video", Clip("standard"), "--no-audio"}));
    CIpCamera host(6, "http-hangup", "");
    Recorder rec;
    ASSERT_EQ(0, E2ePlay(&host, &rec, cam.s.sUrl, 0, 2));
    EXPECT_TRUE(E2eWaitFor([&] { return host.IsMainVideoFinish(); }, 9000));
    EXPECT_GT(RecorderFrames(&rec), 100);
}

}  // namespace
