// The FFmpeg compatibility layer: old-style decode results over
// send/receive, decoder contexts owned by the caller, channel counts; and
// the read thread's statistics arithmetic.

#include <gtest/gtest.h>

#include <string.h>

#include <vector>

#include "MediaGen.h"
#include "decode/AudioDecode.h"
#include "stream/FFmpegCompat.h"
#include "stream/ReadThread.h"

namespace {

struct Demuxed {
    AVFormatContext *fmt = nullptr;
    AVCodecContext *dec = nullptr;
    int index = -1;
    ~Demuxed()
    {
        FFCompatFreeContext(&dec);
        avformat_close_input(&fmt);
    }
    bool Open(const std::string &path, AVMediaType type)
    {
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
            return false;
        if (avformat_find_stream_info(fmt, nullptr) < 0)
            return false;
        const AVCodec *codec = nullptr;
        index = av_find_best_stream(fmt, type, -1, -1, &codec, 0);
        if (index < 0)
            return false;
        dec = FFCompatAllocStreamContext(fmt->streams[index], codec);
        return dec != nullptr && avcodec_open2(dec, codec, nullptr) == 0;
    }
};

TEST(Compat, VideoDecodeReportsConsumedLengthAndPictures)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    std::string clip = mediagen::Video("compat_h264.mp4", 160, 120, 10, "yuv420p", "-c:v libx264 -g 5");
    ASSERT_FALSE(clip.empty());
    Demuxed d;
    ASSERT_TRUE(d.Open(clip, AVMEDIA_TYPE_VIDEO));
    // The context is a copy of the stream's parameters, not shared with it.
    AVCodecParameters *par = d.fmt->streams[d.index]->codecpar;
    ASSERT_GT(d.dec->extradata_size, 0);
    EXPECT_NE(d.dec->extradata, par->extradata);
    EXPECT_EQ(d.dec->width, 160);

    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    int pictures = 0, packets = 0;
    while (av_read_frame(d.fmt, pkt) >= 0) {
        if (pkt->stream_index == d.index) {
            int got = -1;
            int ret = FFCompatDecode(d.dec, frame, &got, pkt);
            EXPECT_EQ(ret, pkt->size);
            EXPECT_TRUE(got == 0 || got == 1);
            if (got) {
                EXPECT_EQ(frame->width, 160);
                EXPECT_EQ(frame->height, 120);
                pictures++;
            }
            packets++;
        }
        av_packet_unref(pkt);
    }
    EXPECT_EQ(packets, 10);
    // B-frame reordering holds back a few pictures; no packet yields two.
    EXPECT_GE(pictures, 6);
    EXPECT_LE(pictures, 10);

    // An empty packet only collects; it must not switch the decoder into
    // draining, after which it would refuse all input.
    AVPacket empty = {};
    int got = 0;
    EXPECT_GE(FFCompatDecode(d.dec, frame, &got, &empty), 0);
    av_packet_free(&pkt);
    av_frame_free(&frame);
}

TEST(Compat, GarbageGivesInvalidData)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
    ASSERT_NE(codec, nullptr);
    AVCodecContext *c = avcodec_alloc_context3(codec);
    c->width = 160;
    c->height = 120;
    ASSERT_EQ(avcodec_open2(c, codec, nullptr), 0);
    std::vector<uint8_t> junk(4096 + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    unsigned seed = 7;
    for (size_t i = 0; i < 4096; i++)
        junk[i] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
    AVPacket *pkt = av_packet_alloc();
    pkt->data = junk.data();
    pkt->size = 4096;
    AVFrame *frame = av_frame_alloc();
    int got = 1;
    int ret = FFCompatDecode(c, frame, &got, pkt);
    EXPECT_EQ(ret, AVERROR_INVALIDDATA);
    EXPECT_EQ(got, 0);
    // A decoder that is not open is refused rather than used.
    AVCodecContext *closed = avcodec_alloc_context3(codec);
    EXPECT_LT(FFCompatDecode(closed, frame, &got, pkt), 0);
    avcodec_free_context(&closed);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&c);
}

// pcm_s16le_planar: a decoder with a planar 16-bit output.
AVCodecContext *OpenPcm(AVCodecID id, int channels, int rate)
{
    const AVCodec *codec = avcodec_find_decoder(id);
    if (codec == nullptr)
        return nullptr;
    AVCodecContext *c = avcodec_alloc_context3(codec);
    FFCompatSetChannels(c, channels);
    c->sample_rate = rate;
    if (avcodec_open2(c, codec, nullptr) < 0)
        avcodec_free_context(&c);
    return c;
}

TEST(Compat, AudioFrameLayoutAndCapacity)
{
    AVCodecContext *c = OpenPcm(AV_CODEC_ID_PCM_S16LE_PLANAR, 2, 8000);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(FFCompatChannels(c), 2);
    // 100 samples of the left channel (value 1000+i), then 100 of the right
    // (value -i): the input of this codec is planar as well.
    std::vector<uint8_t> in(400 + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    int16_t *s = (int16_t *)in.data();
    for (int i = 0; i < 100; i++) {
        s[i] = (int16_t)(1000 + i);
        s[100 + i] = (int16_t)-i;
    }
    AVPacket *pkt = av_packet_alloc();
    pkt->data = in.data();
    pkt->size = 400;

    uint8_t out[16000];
    int size = 16000;
    ASSERT_GE(decode_audio_frame(c, out, &size, pkt), 0);
    ASSERT_EQ(size, 400);  // 200 units: left block, then right block
    const int16_t *o = (const int16_t *)out;
    EXPECT_EQ(o[0], 1000);
    EXPECT_EQ(o[99], 1099);
    EXPECT_EQ(o[100], 0);
    EXPECT_EQ(o[199], -99);

    int small = 100;
    EXPECT_EQ(decode_audio_frame(c, out, &small, pkt), AVERROR(EINVAL));
    EXPECT_EQ(small, 100);
    EXPECT_EQ(decode_audio_frame(nullptr, out, &small, pkt), -1);
    av_packet_free(&pkt);
    avcodec_free_context(&c);
}

TEST(Compat, G711DecodesOneUnitPerByte)
{
    for (AVCodecID id : {AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_PCM_ALAW}) {
        AVCodecContext *c = OpenPcm(id, 1, 8000);
        ASSERT_NE(c, nullptr);
        std::vector<uint8_t> in(160 + AV_INPUT_BUFFER_PADDING_SIZE, 0xD5);
        AVPacket *pkt = av_packet_alloc();
        pkt->data = in.data();
        pkt->size = 160;
        uint8_t out[16000];
        int size = 16000;
        EXPECT_EQ(decode_audio_frame(c, out, &size, pkt), 160);
        EXPECT_EQ(size, 320);
        av_packet_free(&pkt);
        avcodec_free_context(&c);
    }
}

TEST(ReadStats, WindowArithmetic)
{
    // 300 video packets of 1000 bytes.
    EXPECT_FLOAT_EQ(ReadStatsBitRate(300000.0f, 3000), 800.0f);
    EXPECT_FLOAT_EQ(ReadStatsBitRate(300000.0f, 4000), 600.0f);
    EXPECT_EQ(ReadStatsFrameRate(300), 100);
    EXPECT_EQ(ReadStatsFrameRate(2), 0);
    EXPECT_FLOAT_EQ(ReadStatsBitRate(1000.0f, 0), 0.0f);
    // 20 packets 40 ms apart: half the mean interval.
    EXPECT_EQ(ReadStatsFrameInterval(800), 20);
    EXPECT_EQ(ReadStatsFrameInterval(819), 20);
    EXPECT_EQ(ReadStatsFrameInterval(820), 21);
}

}  // namespace
