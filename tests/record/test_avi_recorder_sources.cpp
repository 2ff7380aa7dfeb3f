// The recorder on sources that cameras deliver in awkward shapes: G.726 in
// the little-endian packing, audio the container cannot hold, and streams
// whose picture size is not known when the recording starts.

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "RecordTestUtil.h"

namespace {

class AviRecorderSourceTest : public RecorderMediaTest {};

// G.726 as FFmpeg's RTSP client delivers it (little-endian packing, which
// AVI cannot tag) is recorded as G.726 and decodes to exactly the sound the
// source decodes to, at every code word size.
TEST_F(AviRecorderSourceTest, LittleEndianG726IsRecordedAsG726)
{
    std::string video = TestDir() + "/g726le_v.nut";
    ASSERT_TRUE(MakeSource(video, "libx264", "", 1.0));
    for (int bits = 2; bits <= 5; bits++) {
        SCOPED_TRACE(bits);
        std::string raw = TestDir() + "/g726le_" + std::to_string(bits) + ".raw";
        std::string dst = TestDir() + "/g726le_" + std::to_string(bits) + ".avi";
        E2eRun("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000 -t 1 -ac 1 -c:a g726le "
               "-b:a " + std::to_string(bits * 8) + "k -f g726le '" + raw + "'");
        std::vector<unsigned char> words = ReadAll(raw);
        ASSERT_EQ((size_t)bits * 1000, words.size());

        Source s;
        ASSERT_TRUE(s.Open(video));
        // The audio of an RTSP camera, as the stream context describes it.
        AVCodecContext *ac = avcodec_alloc_context3(nullptr);
        ac->codec_type = AVMEDIA_TYPE_AUDIO;
        ac->codec_id = AV_CODEC_ID_ADPCM_G726LE;
        ac->sample_rate = 8000;
        ac->bits_per_coded_sample = bits;
        ac->pkt_timebase = AVRational{1, 8000};
        s.ctx->pAudioCodecCtx = ac;
        s.ctx->nInAudioCodecId = AV_CODEC_ID_ADPCM_G726LE;
        s.ctx->nAudioIndex = 1;
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        ASSERT_NE(nullptr, s.ctx->pSaveAudioStream);

        // One 40 ms audio packet after each video packet.
        AVPacket *pkt = av_packet_alloc();
        size_t off = 0, n = (size_t)bits * 40;
        int nAudioWritten = 0;
        while (av_read_frame(s.pFmt, pkt) >= 0) {
            EXPECT_EQ(1, FFMpegSaveAviWritePacket(s.ctx, pkt));
            av_packet_unref(pkt);
            if (off + n > words.size())
                continue;
            ASSERT_EQ(0, av_new_packet(pkt, (int)n));
            memcpy(pkt->data, &words[off], n);
            pkt->stream_index = 1;
            pkt->duration = 320;
            pkt->flags = AV_PKT_FLAG_KEY;
            nAudioWritten += FFMpegSaveAviWritePacket(s.ctx, pkt) == 1;
            EXPECT_TRUE(std::equal(pkt->data, pkt->data + n, &words[off])) << "source payload changed";
            av_packet_unref(pkt);
            off += n;
        }
        av_packet_free(&pkt);
        EXPECT_EQ(25, nAudioWritten);
        ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));

        std::vector<Entry> st;
        ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, 2, -1, &st));
        EXPECT_EQ("adpcm_g726", st[1]["codec_name"]);
        EXPECT_EQ("8000", st[1]["sample_rate"]);
        ASSERT_NO_FATAL_FAILURE(CheckAudioFormat(ReadAll(dst), 0x45, 8000, bits * 1000, bits));

        std::string want = E2eRun("ffmpeg -nostdin -v error -f g726le -code_size " + std::to_string(bits) +
                                  " -sample_rate 8000 -i '" + raw + "' -f s16le -");
        std::string got = E2eRun("ffmpeg -nostdin -v error -i '" + dst + "' -map 0:a -f s16le -");
        EXPECT_EQ(16000u, want.size());
        EXPECT_TRUE(want == got) << "recorded G.726 decodes differently (" << got.size() << " bytes)";
    }
}

// Audio the container cannot hold, or whose description the muxer refuses,
// costs the recording its sound, never its pictures.
TEST_F(AviRecorderSourceTest, UnstorableAudioLeavesAVideoOnlyRecording)
{
    struct Case {
        const char *acodec;
        bool bZeroRate;  // the header is refused: no sample rate
    } cases[] = {{"libopus", false}, {"pcm_mulaw", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.acodec);
        std::string src = TestDir() + "/drop_" + c.acodec + ".nut";
        std::string dst = TestDir() + "/drop_" + c.acodec + ".avi";
        if (!MakeSource(src, "libx264", c.acodec, 1.0)) {
            ASSERT_STRNE("pcm_mulaw", c.acodec);
            continue;  // this ffmpeg has no Opus encoder
        }
        Source s;
        ASSERT_TRUE(s.Open(src));
        ASSERT_NE(AV_CODEC_ID_NONE, s.ctx->nInAudioCodecId);
        if (c.bZeroRate)
            s.ctx->pAudioCodecCtx->sample_rate = 0;
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        EXPECT_EQ(1u, s.ctx->pSaveFormatCtx->nb_streams);
        EXPECT_EQ(nullptr, s.ctx->pSaveAudioStream);
        EXPECT_EQ(25, s.Pump());
        ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
        std::vector<Entry> st;
        ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, 1, 25, &st));
        EXPECT_EQ("h264", st[0]["codec_name"]);
    }
}

// A stream that was not probed and has not decoded a picture yet (size
// 0x0, or in the classic layout the decode thread's 320x240 stand-in while
// the stream is 352x288): the size comes from its parameter sets or its
// first key frame, and the recording is complete.
TEST_F(AviRecorderSourceTest, UnknownPictureSizeIsTakenFromTheStream)
{
    struct Case {
        const char *vcodec, *acodec, *container, *size;
        bool bStandIn;  // unprobed: no size in the codec parameters either
    } cases[] = {
        {"libx264", "", "ts", "320x240", false},            // parameter sets in band only
        {"libx264", "pcm_mulaw", "nut", "320x240", false},  // parameter sets in the extradata
        {"libx265", "", "ts", "320x240", false},
        {"mpeg4", "", "ts", "320x240", false},
        {"mpeg4", "g722", "nut", "320x240", false},         // size from the extradata at the start
        {"libx264", "", "ts", "352x288", true},
    };
    for (const Case &c : cases) {
        std::string tag = std::string(c.vcodec) + "_" + (c.acodec[0] ? c.acodec : "none") + "_" + c.size + "." +
                          c.container;
        SCOPED_TRACE(tag);
        std::string src = TestDir() + "/size_" + tag, dst = TestDir() + "/size_" + tag + ".avi";
        ASSERT_TRUE(MakeSource(src, c.vcodec, c.acodec, 1.0, c.size));
        Source s;
        ASSERT_TRUE(s.Open(src));
        s.ctx->nWidth = c.bStandIn ? 320 : 0;
        s.ctx->nHeight = c.bStandIn ? 240 : 0;
        if (c.bStandIn) {
            AVCodecParameters *par = s.pFmt->streams[s.ctx->nVideoIndex]->codecpar;
            par->width = 0;
            par->height = 0;
        }
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        EXPECT_EQ(25, s.Pump());
        ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
        std::vector<Entry> st;
        ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, c.acodec[0] ? 2 : 1, 25, &st));
        EXPECT_EQ(c.size, st[0]["width"] + "x" + st[0]["height"]);
    }
}

// Key frames that carry no parameter sets the parser can read: nothing is
// written, the stop leaves no headerless file behind, and the next
// recording of the same stream works.
TEST_F(AviRecorderSourceTest, NoPictureSizeAnywhereRecordsNothingCleanly)
{
    std::string src = TestDir() + "/nosize.ts", dst = TestDir() + "/nosize.avi";
    std::string good = TestDir() + "/nosize_after.avi";
    ASSERT_TRUE(MakeSource(src, "libx264", "aac", 1.0));
    Source s;
    ASSERT_TRUE(s.Open(src));
    s.ctx->nWidth = 0;
    s.ctx->nHeight = 0;
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
    AVPacket *pkt = av_packet_alloc();
    unsigned seed = 7;
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(0, av_new_packet(pkt, 2000));
        for (int k = 0; k < pkt->size; k++) {
            seed = seed * 1103515245u + 12345u;
            pkt->data[k] = (uint8_t)(seed >> 16);
        }
        pkt->stream_index = i % 2 ? s.ctx->nAudioIndex : s.ctx->nVideoIndex;
        pkt->flags = AV_PKT_FLAG_KEY;
        pkt->duration = 1;
        EXPECT_EQ(0, FFMpegSaveAviWritePacket(s.ctx, pkt)) << "packet " << i;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    EXPECT_EQ(0, s.ctx->nSaveVideoFrames);
    EXPECT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    EXPECT_NE(0, access(dst.c_str(), F_OK)) << "a file without a header was left behind";

    // The picture size became known (as after a decoded picture).
    s.ctx->nWidth = 320;
    s.ctx->nHeight = 240;
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, good.c_str()));
    EXPECT_EQ(25, s.Pump());
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    std::vector<Entry> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(good, 2, 25, &st));
    EXPECT_EQ("320x240", st[0]["width"] + "x" + st[0]["height"]);
}

}  // namespace
