// The AVI recorder driven on a stream context filled from a generated file,
// with packets written the way the read thread writes them.

#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
}

#include "RecordSource.h"

namespace {

class AviRecorderTest : public RecorderMediaTest {};

TEST(AviRecorderRate, MeasuredRateAndItsLimits)
{
    EXPECT_EQ(2500, FFMpegSaveAviFrameRate(250, 10000));
    EXPECT_EQ(3000, FFMpegSaveAviFrameRate(10, 2000000));  // 0 is out of range
    EXPECT_EQ(24, FFMpegSaveAviFrameRate(100, 0));
    EXPECT_EQ(3000, FFMpegSaveAviFrameRate(400000, 1000));  // 40000 fps
    EXPECT_EQ(300000, FFMpegSaveAviFrameRate(3000, 1000));
    EXPECT_EQ(1, FFMpegSaveAviFrameRate(1, 100000));
}

struct Combo {
    const char *vcodec;
    const char *acodec;
    const char *container;
    const char *vname;  // ffprobe's codec names
    const char *aname;
    int nSampleRate;
    // The audio stream format written (WAVEFORMATEX after the second
    // 'strf'); nFormatTag 0: not checked. nBits -1: not checked.
    int nFormatTag, nByteRate, nBits;
};

// Every camera codec pairing: the file is a real AVI with the corrected
// rate, and every video packet written decodes without an error. The first
// frame sits at index 0: no padding chunk, a picture per index, timestamps
// reading back 0, 1, 2... while the frame counter (and with it the
// corrected rate) still counts every frame from 1.
TEST_F(AviRecorderTest, RecordsEveryCodecPairingIntoPlayableAvi)
{
    const Combo combos[] = {
        {"libx264", "", "ts", "h264", "", 0, 0, 0, -1},
        {"libx264", "aac", "mp4", "h264", "aac", 44100, 0xFF, 320000 / 8, -1},
        {"libx265", "aac", "mp4", "hevc", "aac", 44100, 0, 0, -1},
        {"libx264", "pcm_mulaw", "nut", "h264", "pcm_mulaw", 8000, 0x07, 8000, 8},
        {"libx264", "pcm_alaw", "nut", "h264", "pcm_alaw", 8000, 0, 0, -1},
        {"libx264", "g726", "nut", "h264", "adpcm_g726", 8000, 0x45, 16000 / 8, 2},
        {"libx264", "g722", "nut", "h264", "adpcm_g722", 16000, 0x28F, 64000 / 8, 4},
        {"libx265", "", "nut", "hevc", "", 0, 0, 0, -1},
        {"libx265", "", "ts", "hevc", "", 0, 0, 0, -1},
        {"mpeg4", "", "ts", "mpeg4", "", 0, 0, 0, -1},
        {"mpeg4", "", "nut", "mpeg4", "", 0, 0, 0, -1},
        {"mpeg4", "g726", "nut", "mpeg4", "adpcm_g726", 8000, 0, 0, -1},
    };
    for (const Combo &c : combos) {
        std::string tag = std::string(c.vcodec) + "+" + (c.acodec[0] ? c.acodec : "none") + "." + c.container;
        SCOPED_TRACE(tag);
        std::string src = TestDir() + "/src_" + tag;
        std::string dst = TestDir() + "/rec_" + tag + ".avi";
        ASSERT_TRUE(MakeSource(src, c.vcodec, c.acodec)) << "could not generate " << src;

        Source s;
        ASSERT_TRUE(s.Open(src));
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        EXPECT_EQ(1, s.ctx->bSaving);
        EXPECT_EQ(c.acodec[0] ? 2u : 1u, s.ctx->pSaveFormatCtx->nb_streams);
        EXPECT_EQ(0, s.ctx->nSaveVideoIndex);
        if (c.acodec[0]) {
            EXPECT_EQ(1, s.ctx->nSaveAudioIndex);
            EXPECT_EQ(s.ctx->pSaveAudioStream, s.ctx->pSaveFormatCtx->streams[1]);
        }
        int written = s.Pump();
        ASSERT_EQ(50, written);
        EXPECT_EQ(written, s.ctx->nSaveVideoFrames);
        s.BackdateStart((uint32_t)written * 40);  // 25 frames per second
        ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
        EXPECT_EQ(0, s.ctx->bSaving);
        EXPECT_EQ(nullptr, s.ctx->pSaveFormatCtx);

        EXPECT_EQ(100u, ReadLe32At(dst, AVI_SCALE_OFFSET));
        uint32_t rate = ReadLe32At(dst, AVI_RATE_OFFSET);
        EXPECT_GE(rate, 2490u);
        EXPECT_LE(rate, 2500u);

        std::vector<ProbedStream> st;
        ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, c.acodec[0] ? 2 : 1, written, &st));
        EXPECT_EQ(c.vname, st[0].codecName);
        EXPECT_EQ(rate == 2500 ? "25/1" : std::to_string(rate) + "/100", st[0].rFrameRate);
        if (c.acodec[0]) {
            EXPECT_EQ("audio", st[1].codecType);
            EXPECT_EQ(c.aname, st[1].codecName);
            EXPECT_EQ(c.nSampleRate, st[1].nSampleRate);
            EXPECT_GT(st[1].nReadFrames, 0);
        }
        std::vector<unsigned char> f = ReadAll(dst);
        EXPECT_EQ(0, CountEmptyChunks(f)) << "padding chunks: timestamps off their time base";
        std::vector<std::pair<long, long>> pk = VideoPackets(dst);
        ASSERT_EQ((size_t)written, pk.size());
        for (size_t i = 0; i < pk.size(); i++) {
            EXPECT_EQ((long)i, pk[i].first) << "packet " << i;
            EXPECT_GT(pk[i].second, 0) << "packet " << i;
        }
        if (c.nFormatTag) {
            ASSERT_NO_FATAL_FAILURE(CheckAudioFormat(f, c.nFormatTag, c.nSampleRate, c.nByteRate, c.nBits));
        }
    }
}

TEST_F(AviRecorderTest, RecordingBeginsWithAKeyFrameAndCountsFromOne)
{
    std::string src = TestDir() + "/key.nut", dst = TestDir() + "/key.avi";
    ASSERT_TRUE(MakeSource(src, "libx264", "pcm_mulaw", 2.0));
    Source s;
    ASSERT_TRUE(s.Open(src));
    // Read past the first key frame so that the recording starts mid-GOP.
    s.Pump(5);
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
    int written = s.Pump();
    // Frames 6..12 are skipped until the key frame at 13.
    EXPECT_EQ(s.nSourceVideoPackets - 12, written);
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, 2, written));

    // The first recorded frame is a key frame.
    std::string text;
    ASSERT_EQ(0, RunCapture("ffprobe -v error -select_streams v -show_entries packet=flags -of csv=p=0 '" + dst +
                                "'", &text));
    EXPECT_EQ('K', text[0]) << text.substr(0, 20);
}

TEST_F(AviRecorderTest, StartFailuresLeaveNothingBehind)
{
    std::string src = TestDir() + "/fail.nut";
    ASSERT_TRUE(MakeSource(src, "libx264", "g722", 1.0));
    Source s;
    ASSERT_TRUE(s.Open(src));

    const char *bad = "/nonexistent-dir-ipcam/rec.avi";
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, bad));
    EXPECT_EQ(0, s.ctx->bSaving);
    EXPECT_EQ(nullptr, s.ctx->pSaveFormatCtx);

    std::string unknown = TestDir() + "/rec.notaformat";
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, unknown.c_str()));
    EXPECT_NE(0, access(unknown.c_str(), F_OK));
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, nullptr));

    // A path that does not fit the record name is refused, not cut.
    std::string longPath = TestDir() + "/" + std::string(300, 'a') + ".avi";
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, longPath.c_str()));
    EXPECT_EQ(0, s.ctx->bSaving);

    // A container that cannot hold the source's audio: the header fails,
    // the start fails and removes the file it created.
    std::string gif = TestDir() + "/rec.gif";
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, gif.c_str()));
    EXPECT_NE(0, access(gif.c_str(), F_OK));
    EXPECT_EQ(0, s.ctx->bSaving);

    // A stream that cannot be set up (here: memory for the codec extradata
    // runs out) fails the start only; the host process goes on.
    std::string nomem = TestDir() + "/nomem.avi";
    AVCodecContext *vc = s.ctx->pVideoCodecCtx;
    const int kBig = 4 << 20;
    uint8_t *big = (uint8_t *)av_mallocz(kBig + AV_INPUT_BUFFER_PADDING_SIZE);
    ASSERT_NE(nullptr, big);
    uint8_t *oldData = vc->extradata;
    int oldSize = vc->extradata_size;
    vc->extradata = big;
    vc->extradata_size = kBig;
    av_max_alloc(1 << 20);
    int r = FFMpegStartSaveAvi(s.ctx, nomem.c_str());
    av_max_alloc(INT_MAX);
    vc->extradata = oldData;
    vc->extradata_size = oldSize;
    av_free(big);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(nullptr, s.ctx->pSaveFormatCtx);
    EXPECT_NE(0, access(nomem.c_str(), F_OK));

    EXPECT_EQ(0, s.ctx->bSaving);
    EXPECT_EQ(-1, FFMpegStopSaveAvi(s.ctx));
    EXPECT_EQ(-1, FFMpegStopSaveAvi(nullptr));
    EXPECT_EQ(-1, FFMpegStartSaveAvi(nullptr, "x.avi"));

    // After all that a good start works.
    std::string good = TestDir() + "/after_fail.avi";
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, good.c_str()));
    EXPECT_GT(s.Pump(), 0);
    EXPECT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    CheckRecording(good, 2, -1);
}

TEST_F(AviRecorderTest, SecondStartRefusedIdleStopTouchesNothingAndRatePatchOnlyItsBytes)
{
    std::string src = TestDir() + "/twice.nut";
    std::string first = TestDir() + "/first.avi", second = TestDir() + "/second.avi";
    ASSERT_TRUE(MakeSource(src, "libx264", "", 2.0));
    Source s;
    ASSERT_TRUE(s.Open(src));
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, first.c_str()));
    int a = s.Pump(20);
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, second.c_str()));
    EXPECT_NE(0, access(second.c_str(), F_OK));
    EXPECT_EQ(1, s.ctx->bSaving);
    EXPECT_STREQ(first.c_str(), s.ctx->szSavePath);
    int b = s.Pump();  // the first recording goes on
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    ASSERT_NO_FATAL_FAILURE(CheckRecording(first, 1, a + b));
    EXPECT_STREQ(first.c_str(), s.ctx->szSavePath) << "the name stays after the stop";

    // Stop on an idle stream: -1, and the file named in the context keeps
    // every byte.
    std::vector<unsigned char> before = ReadAll(first);
    EXPECT_EQ(-1, FFMpegStopSaveAvi(s.ctx));
    EXPECT_EQ(before, ReadAll(first));

    // The rate correction rewrites only its four bytes.
    const std::string &dst = first;
    ASSERT_GT(before.size(), 1000u);
    ASSERT_EQ(0, FFMpegSaveAviPatchRate(dst.c_str(), 0x01020304u));
    std::vector<unsigned char> after = ReadAll(dst);
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < after.size(); i++) {
        if (i >= AVI_RATE_OFFSET && i < AVI_RATE_OFFSET + 4)
            continue;
        ASSERT_EQ(before[i], after[i]) << "byte " << i << " changed";
    }
    EXPECT_EQ(0x01020304u, ReadLe32At(dst, AVI_RATE_OFFSET));

    // Another container or a short file is left alone.
    std::vector<unsigned char> nut = ReadAll(src);
    EXPECT_EQ(-1, FFMpegSaveAviPatchRate(src.c_str(), 2500));
    EXPECT_EQ(nut, ReadAll(src));
    std::string shortFile = TestDir() + "/short.avi";
    FILE *fp = fopen(shortFile.c_str(), "wb");
    ASSERT_NE(nullptr, fp);
    fwrite("RIFF", 1, 4, fp);
    fclose(fp);
    EXPECT_EQ(-1, FFMpegSaveAviPatchRate(shortFile.c_str(), 2500));
    EXPECT_EQ(4u, ReadAll(shortFile).size());
    EXPECT_EQ(-1, FFMpegSaveAviPatchRate((TestDir() + "/missing.avi").c_str(), 2500));
}

TEST_F(AviRecorderTest, StopWhileTheWriterRunsLosesNoWrittenPacket)
{
    std::string src = TestDir() + "/race.nut", dst = TestDir() + "/race.avi";
    ASSERT_TRUE(MakeSource(src, "libx264", "pcm_mulaw", 4.0));
    Source s;
    ASSERT_TRUE(s.Open(src));
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));

    // The writer keeps going past the stop, like a read thread does; a
    // packet is either in the file or was refused after the stop.
    std::atomic<int> videoWritten{0}, videoRead{0};
    std::atomic<bool> started{false};
    std::thread writer([&]() {
        AVPacket *pkt = av_packet_alloc();
        while (av_read_frame(s.pFmt, pkt) >= 0) {
            bool isVideo = pkt->stream_index == s.ctx->nVideoIndex;
            videoRead += isVideo;
            if (s.Write(pkt) && isVideo) {
                videoWritten++;
                started = true;
            }
            av_packet_unref(pkt);
            SleepMs(1);
        }
        av_packet_free(&pkt);
    });
    for (int waited = 0; (!started || videoWritten < 20) && waited < 10000; waited++)
        SleepMs(1);
    EXPECT_GE(videoWritten.load(), 20);
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    writer.join();
    // Every write the writer saw succeed happened before the stop took the
    // lock, so all of them are in the finished file, and none came later.
    EXPECT_EQ(videoWritten.load(), s.ctx->nSaveVideoFrames);
    EXPECT_GT(videoRead.load(), videoWritten.load()) << "the writer went on past the stop";

    std::vector<ProbedStream> st = Probe(dst);
    ASSERT_EQ(2u, st.size());
    EXPECT_EQ(videoWritten.load(), st[0].nReadFrames);
    std::string errors;
    EXPECT_TRUE(DecodesCleanly(dst, &errors)) << errors;
}

}  // namespace
