// Audio through the whole chain: AAC through FAAD2 (ADTS and raw frames
// with a stream configuration), G.711 mu-law and A-law, G.722 and G.726
// through FFmpeg. Each event must carry the unit count of one packet and
// the stream's sample rate; both decode threads.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "../stream/MediaGen.h"
#include "../stream/PacedServer.h"
#include "decode/AudioDecode.h"
#include "ipcamera/IpCamera.h"
#include "stream/FFMpegContext.h"

namespace {

struct AudioSink {
    std::mutex m;
    int events = 0;
    std::set<int> counts;
    std::set<int> rates;
};

int OnAudio(void *, void *user, unsigned short *samples, int count, int rate)
{
    AudioSink *s = (AudioSink *)user;
    std::lock_guard<std::mutex> g(s->m);
    s->events++;
    s->counts.insert(count);
    s->rates.insert(rate);
    return 0;
}

// Per-packet unit counts (samples x channels) as plain FFmpeg decodes the
// file's audio packets.
std::set<int> ReferenceCounts(const std::string &path)
{
    std::set<int> out;
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return out;
    avformat_find_stream_info(fmt, nullptr);
    const AVCodec *codec = nullptr;
    int ai = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    AVCodecContext *c = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(c, fmt->streams[ai]->codecpar);
    avcodec_open2(c, codec, nullptr);
    AVPacket *p = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    while (av_read_frame(fmt, p) >= 0) {
        if (p->stream_index == ai && avcodec_send_packet(c, p) >= 0) {
            int units = 0;
            while (avcodec_receive_frame(c, f) == 0)
                units += f->nb_samples * f->ch_layout.nb_channels;
            if (units > 0)
                out.insert(units);
        }
        av_packet_unref(p);
    }
    av_frame_free(&f);
    av_packet_free(&p);
    avcodec_free_context(&c);
    avformat_close_input(&fmt);
    return out;
}

struct AudioCase {
    const char *file;
    const char *options;
    int rate;
    // FAAD2 hands mono AAC out as two identical channels (its parametric
    // stereo support), so such packets carry twice FFmpeg's unit count.
    int monoAac;
};

class Audio : public ::testing::TestWithParam<std::tuple<AudioCase, int>> {};

TEST_P(Audio, EventsCarryPacketCountAndRate)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    AudioCase ac = std::get<0>(GetParam());
    int planar = std::get<1>(GetParam());
    std::string clip = mediagen::VideoAudio(ac.file, 6, ac.options);
    if (clip.empty())
        GTEST_SKIP() << "ffmpeg cannot write " << ac.file;
    std::set<int> want = ReferenceCounts(clip);
    ASSERT_FALSE(want.empty());
    if (ac.monoAac) {
        std::set<int> doubled;
        for (int n : want)
            doubled.insert(2 * n);
        want = doubled;
    }

    FILE *f = fopen(clip.c_str(), "rb");
    fseek(f, 0, SEEK_END);
    size_t bps = (size_t)ftell(f) / 6;
    fclose(f);
    PacedServer server(clip, bps, bps * 2);
    CIpCamera cam(11, "audio", "");
    AudioSink sink;
    cam.SetConnectType(0);
    cam.SetD3DDisplay(planar);
    cam.SetAudioBufCallBack(OnAudio, &sink);
    cam.m_bAudioEnable = 1;
    ASSERT_EQ(cam.OpenMainStreamVideo(server.Url().c_str()), 0);
    cam.SetDecodeEnable(true, true);
    server.Release();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    for (;;) {
        {
            std::lock_guard<std::mutex> g(sink.m);
            if (sink.events >= 10 || std::chrono::steady_clock::now() > end)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    cam.CloseMainStreamVideo();
    std::lock_guard<std::mutex> g(sink.m);
    ASSERT_GE(sink.events, 10);
    EXPECT_EQ(sink.rates, std::set<int>{ac.rate});
    for (int n : sink.counts)
        EXPECT_TRUE(want.count(n)) << "count " << n << " is no packet's unit count";
}

const AudioCase kCases[] = {
    {"aud_aac_adts.ts", "-c:a aac -ar 16000 -ac 1", 16000, 1},
    {"aud_aac_raw.mkv", "-c:a aac -ar 16000 -ac 1", 16000, 1},
    {"aud_aac_stereo.mkv", "-c:a aac -ar 44100 -ac 2", 44100, 0},
    {"aud_pcmu.mkv", "-c:a pcm_mulaw -ar 8000 -ac 1", 8000, 0},
    {"aud_pcma.mkv", "-c:a pcm_alaw -ar 8000 -ac 1", 8000, 0},
    {"aud_g722.mkv", "-c:a g722 -ar 16000 -ac 1", 16000, 0},
    {"aud_g726.mkv", "-c:a g726 -ar 8000 -ac 1 -b:a 16k", 8000, 0},
};

INSTANTIATE_TEST_SUITE_P(Decode, Audio, ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Values(0, 1)),
                         [](const ::testing::TestParamInfo<Audio::ParamType> &i) {
                             std::string n = std::get<0>(i.param).file;
                             for (char &c : n)
                                 if (!isalnum((unsigned char)c))
                                     c = '_';
                             return n + (std::get<1>(i.param) ? "_planar" : "_bgr");
                         });

TEST(AudioDecoder, AacInitRetriesAndBoundedCopy)
{
    // No stream configuration: the decoder initialises from the packet,
    // and a packet that is not AAC yields nothing.
    FFMpegContext ctx = {};
    ctx.nInAudioCodecId = AV_CODEC_ID_AAC;
    AudioDecoder *a = new AudioDecoder;
    AudioDecoderOpen(a, &ctx);
    ASSERT_NE(a->hAac, nullptr);
    uint8_t junk[64 + AV_INPUT_BUFFER_PADDING_SIZE] = {0};
    AVPacket pkt = {};
    pkt.data = junk;
    pkt.size = 64;
    int bytes = -1, rate = -1;
    EXPECT_EQ(AudioDecodePacket(a, &ctx, &pkt, &bytes, &rate), AUDIO_DROP);
    EXPECT_EQ(bytes, 0);
    AudioDecoderClose(a);
    EXPECT_EQ(a->hAac, nullptr);
    AudioDecoderClose(a);

    // Without a decoder context a non-AAC packet is dropped.
    ctx.nInAudioCodecId = AV_CODEC_ID_PCM_MULAW;
    AudioDecoderOpen(a, &ctx);
    EXPECT_EQ(a->hAac, nullptr);
    EXPECT_EQ(AudioDecodePacket(a, &ctx, &pkt, &bytes, &rate), AUDIO_DROP);
    delete a;
}

}  // namespace
