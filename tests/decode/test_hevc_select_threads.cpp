// Decoder selection inside the running decode threads: x265 clips with and
// without the marker SEI, decoded by a scripted stand-in for the built-in
// decoder (exact pictures, chosen return codes) and by the real one.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DecodeHarness.h"
#include "HevcClips.h"
#include "HevcStandIn.h"
#include "decode/HevcSelect.h"

namespace {

using mediagen::StderrCapture;
using standin::g_script;

bool Has(const std::string &log, const char *text)
{
    return log.find(text) != std::string::npos;
}

class SelectThread : public ::testing::Test {
protected:
    harness::HandStream s;
    std::vector<AVPacket *> pkts;

    void Open(bool marker, int planar, int frames = 6, int keyint = 3)
    {
        std::string path = hevcclips::Clip(160, 120, frames, keyint);
        ASSERT_FALSE(path.empty()) << "ffmpeg/libx265 could not make the clip";
        ASSERT_TRUE(s.Open(path, planar));
        pkts = s.ReadVideo();
        ASSERT_EQ((int)pkts.size(), frames);
        if (marker)
            hevcclips::MarkKeyPackets(pkts);
        AtomicSet(&s.ctx.bDecodeEnable, 1);
    }
    // Runs every packet through the thread; returns the log.
    std::string Run()
    {
        StderrCapture cap;
        s.Queue(pkts);
        s.Start();
        s.Drain();
        s.Stop();
        HevcDeleteDecoder(&s.ctx);
        return cap.Stop();
    }
    void TearDown() override { harness::FreePackets(pkts); }
};

// The stand-in's picture as the planar thread hands it over.
std::vector<unsigned char> StandInI420(int w, int h)
{
    std::vector<unsigned char> v;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            v.push_back(standin::Y(x, y));
    for (int c = 1; c < 3; c++)
        for (int y = 0; y < h / 2; y++)
            for (int x = 0; x < w / 2; x++)
                v.push_back(c == 1 ? standin::U(x, y) : standin::V(x, y));
    return v;
}

TEST_F(SelectThread, ClassicWithholdsBadPicturesAndTheNextKeyPicture)
{
    standin::Installed in;
    Open(true, 0);
    // Packet 0: four "need more bits" answers, a bad picture; its key
    // packet also withholds the picture of the next key packet (3).
    g_script.steps = {standin::Code(1, 1), standin::Code(1, 1), standin::Code(1, 1), standin::Code(1, 1)};
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "IHW265D_Create===success====0x0===="));
    EXPECT_TRUE(Has(log, "is bad frame"));
    EXPECT_EQ(g_script.Calls(), 4 + 5);
    EXPECT_EQ(s.Frames(), 4);
    EXPECT_EQ(s.sink.lastW, 160);
    EXPECT_EQ(s.sink.lastH, 120);
    EXPECT_EQ(g_script.deletes, 1);
}

TEST_F(SelectThread, ClassicStopsWhenThePictureOutgrowsTheDecoder)
{
    standin::Installed in;
    Open(true, 0);
    g_script.steps = {standin::Picture(160, 120), standin::Picture(160, 120),
                      standin::Code(IHW265D_ERR_WIDTH, IH265D_DECODING)};
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "maybe resolution change to big one====="));
    EXPECT_EQ(g_script.Calls(), 3) << "nothing is decoded after the stop";
    EXPECT_EQ(s.Frames(), 2);
    EXPECT_EQ(s.ctx.bRunning, 0);
}

TEST_F(SelectThread, PlanarProbesSizeThenDeliversBuiltInPictures)
{
    standin::Installed in;
    Open(true, 1);
    s.ctx.nWidth = s.ctx.nHeight = 0;
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "sei:1"));
    EXPECT_TRUE(Has(log, "get hevc frame resolution 160*120"));
    EXPECT_TRUE(Has(log, "hsDecoder:1"));
    EXPECT_EQ(g_script.param.iMaxWidth, 160);
    EXPECT_EQ(g_script.param.eThreadType, 1);
    EXPECT_EQ(g_script.Calls(), 6);
    ASSERT_EQ(s.Frames(), 6);
    EXPECT_TRUE(s.sink.last == StandInI420(160, 120));
}

TEST_F(SelectThread, PlanarNeedMoreBitsHandsOverToFfmpeg)
{
    standin::Installed in;
    Open(true, 1);
    g_script.steps = {standin::Code(1, 1)};
    g_script.dflt = standin::Picture(160, 120);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "change to ffmpeg decoder. 0 0"));
    EXPECT_TRUE(Has(log, "BadFrame iframe:1"));
    EXPECT_EQ(g_script.Calls(), 1);
    // FFmpeg from the next key packet (3) on: pictures 3, 4 and 5.
    EXPECT_EQ(s.Frames(), 3);
    ASSERT_FALSE(s.sink.last.empty());
    EXPECT_FALSE(s.sink.last == StandInI420(160, 120));
}

// NAL units of an Annex B packet, without start codes or trailing zeros.
std::vector<std::vector<uint8_t>> Nals(const AVPacket *p)
{
    std::vector<int> starts;
    for (int i = 0; i + 2 < p->size; i++)
        if (p->data[i] == 0 && p->data[i + 1] == 0 && p->data[i + 2] == 1)
            starts.push_back(i + 3);
    std::vector<std::vector<uint8_t>> v;
    for (size_t k = 0; k < starts.size(); k++) {
        int end = k + 1 < starts.size() ? starts[k + 1] - 3 : p->size;
        while (end > starts[k] && p->data[end - 1] == 0)
            end--;
        v.emplace_back(p->data + starts[k], p->data + end);
    }
    return v;
}

AVPacket *Packet(const std::vector<uint8_t> &bytes, int flags)
{
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, (int)bytes.size());
    memcpy(p->data, bytes.data(), bytes.size());
    p->flags = flags;
    return p;
}

// A camera that sends parameter sets and pictures in separate packets (3-byte
// start codes, the parameter-set packet ending in two zero bytes): once the
// built-in decoder asks for more bits on a bare IDR packet, FFmpeg decodes,
// with the held parameter sets spliced in front of the next picture.
TEST_F(SelectThread, PlanarSplicesParameterSetsAfterTheBuiltInDecoder)
{
    standin::Installed in;
    Open(true, 1);
    // A decoder that knows no parameter sets but those it is given.
    FFCompatFreeContext(&s.ctx.pVideoCodecCtx);
    const AVCodec *dec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    s.ctx.pVideoCodecCtx = avcodec_alloc_context3(dec);
    s.ctx.pVideoCodecCtx->thread_count = 1;
    ASSERT_EQ(avcodec_open2(s.ctx.pVideoCodecCtx, dec, nullptr), 0);
    std::vector<std::vector<uint8_t>> au3 = Nals(pkts[3]);
    ASSERT_EQ(au3.size(), 5u) << "marker, VPS, SPS, PPS, IDR";
    ASSERT_EQ(au3[1][0], 0x40);
    // x265 writes IDR_N_LP; the cameras' IDR_W_RADL has the same slice
    // syntax, so only the NAL type changes.
    ASSERT_EQ(au3[4][0], 0x28);
    au3[4][0] = 0x26;
    std::vector<uint8_t> params, idr = {0, 0, 1};
    for (int i = 1; i <= 3; i++) {
        params.insert(params.end(), {0, 0, 1});
        params.insert(params.end(), au3[i].begin(), au3[i].end());
    }
    params.insert(params.end(), {0, 0});
    idr.insert(idr.end(), au3[4].begin(), au3[4].end());

    std::vector<AVPacket *> v = {pkts[0], pkts[1], pkts[2]};
    std::vector<AVPacket *> own = {Packet(idr, 1), Packet({0, 0, 1, 0x0A, 1, 0x55}, 0), Packet(params, 1),
                                   Packet(idr, 1)};
    v.insert(v.end(), own.begin(), own.end());
    v.push_back(pkts[4]);
    v.push_back(pkts[5]);
    g_script.steps = {standin::Picture(160, 120), standin::Picture(160, 120), standin::Picture(160, 120),
                      standin::Code(1, 1)};
    StderrCapture cap;
    s.Queue(v);
    s.Start();
    s.Drain();
    s.Stop();
    HevcDeleteDecoder(&s.ctx);
    std::string log = cap.Stop();
    EXPECT_TRUE(Has(log, "need more bits, change to ffmpeg decoder."));
    EXPECT_FALSE(Has(log, "BadFrame"));
    EXPECT_FALSE(Has(log, "retry:"));
    EXPECT_EQ(g_script.Calls(), 4);
    // Three built-in pictures, then FFmpeg's of pictures 3, 4 and 5.
    EXPECT_EQ(s.Frames(), 6);
    ASSERT_FALSE(s.sink.last.empty());
    EXPECT_FALSE(s.sink.last == StandInI420(160, 120));
    for (AVPacket *&p : own)
        av_packet_free(&p);
}

TEST_F(SelectThread, PlanarStopsOnCodecChange)
{
    standin::Installed in;
    Open(true, 1);
    g_script.steps = {standin::Picture(160, 120), standin::Code(IHW265D_ERR_NAL, IH265D_DECODING)};
    std::string log = Run();
    EXPECT_TRUE(Has(log, "maybe codec changed"));
    EXPECT_EQ(s.Frames(), 1);
    EXPECT_EQ(g_script.Calls(), 2);
}

TEST_F(SelectThread, UnmarkedStreamsNeverReachTheBuiltInDecoderClassic)
{
    standin::Installed in;
    Open(false, 0);
    Run();
    EXPECT_EQ(g_script.creates, 0);
    EXPECT_EQ(g_script.Calls(), 0);
    EXPECT_EQ(s.Frames(), 6);
}

TEST_F(SelectThread, UnmarkedStreamsNeverReachTheBuiltInDecoderPlanar)
{
    standin::Installed in;
    Open(false, 1);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "sei:0"));
    EXPECT_FALSE(Has(log, "hsDecoder:"));
    EXPECT_EQ(g_script.creates, 0);
    EXPECT_EQ(g_script.Calls(), 0);
    EXPECT_EQ(s.Frames(), 6);
}

// The real decoder: created with the stream's parameters in both threads.
// As described by its interface it completes a picture only when the next
// one begins, so the first key packet answers "need more bits": the planar
// thread then hands the stream to FFmpeg, the classic one waits a packet.
TEST_F(SelectThread, RealDecoderPlanarSwitchesToFfmpeg)
{
    HevcSetDecoderApi(nullptr);
    Open(true, 1);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "sei:1"));
    EXPECT_TRUE(Has(log, "IHW265D_Create===success====0x0===="));
    EXPECT_TRUE(Has(log, "hsDecoder:1"));
    EXPECT_TRUE(Has(log, "ret:0x1, error:0, decodeStatus:1 size:"));
    EXPECT_TRUE(Has(log, "change to ffmpeg decoder."));
    EXPECT_EQ(s.Frames(), 3);
    EXPECT_EQ(s.ctx.hHevcDecoder, nullptr);
}

TEST_F(SelectThread, RealDecoderClassicTakesTheMarkedStream)
{
    HevcSetDecoderApi(nullptr);
    Open(true, 0, 6, 2);
    std::string log = Run();
    EXPECT_TRUE(Has(log, "IHW265D_Create===success====0x0===="));
    EXPECT_TRUE(Has(log, "ret:0x1, error:0, decodeStatus:1, cnt:4"));
    EXPECT_FALSE(Has(log, "maybe resolution change"));
    // Pictures come out once the decoder completes them; each is 160x120.
    if (s.Frames() > 0) {
        EXPECT_EQ(s.sink.lastW, 160);
        EXPECT_EQ(s.sink.lastH, 120);
    }
}

}  // namespace
