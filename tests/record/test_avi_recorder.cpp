// The AVI recorder driven on a stream context filled from a generated file,
// with packets written the way the read thread writes them.

#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
}

#include "RecordTestUtil.h"

namespace {

class AviRecorderTest : public RecorderMediaTest {};

// Picture intervals over milliseconds, as frames per second x 100.
TEST(AviRecorderRate, MeasuredRateAndItsLimits)
{
    EXPECT_EQ(2500, FFMpegSaveAviFrameRate(249, 9960));     // 25 per second
    EXPECT_EQ(3000, FFMpegSaveAviFrameRate(10, 2000000));   // 0 is out of range
    EXPECT_EQ(24, FFMpegSaveAviFrameRate(100, 0));
    EXPECT_EQ(3000, FFMpegSaveAviFrameRate(400000, 1000));  // 40000 per second
    EXPECT_EQ(300000, FFMpegSaveAviFrameRate(3000, 1000));
    EXPECT_EQ(1, FFMpegSaveAviFrameRate(1, 100000));
}

// Every camera codec pairing gives a real AVI whose every video packet
// decodes without an error. The first frame sits at index 0: no padding
// chunk, a picture per index, timestamps reading back 0, 1, 2...; the
// audio stream format has the codec's block size and rates.
TEST_F(AviRecorderTest, RecordsEveryCodecPairingIntoPlayableAvi)
{
    const struct {
        const char *vcodec, *acodec, *container;
        const char *vname, *aname;  // ffprobe's codec names
        int nSampleRate;
        // WAVEFORMATEX written; nFormatTag 0: not checked. nBits -1: not checked.
        int nFormatTag, nByteRate, nBits;
    } combos[] = {
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
    for (const auto &c : combos) {
        std::string tag = std::string(c.vcodec) + "+" + (c.acodec[0] ? c.acodec : "none") + "." + c.container;
        SCOPED_TRACE(tag);
        std::string src = TestDir() + "/src_" + tag, dst = TestDir() + "/rec_" + tag + ".avi";
        ASSERT_TRUE(MakeSource(src, c.vcodec, c.acodec)) << "could not generate " << src;

        Source s;
        ASSERT_TRUE(s.Open(src));
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        EXPECT_EQ(c.acodec[0] ? 2u : 1u, s.ctx->pSaveFormatCtx->nb_streams);
        int written = s.Pump();
        ASSERT_EQ(50, written);
        ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
        EXPECT_EQ(0, s.ctx->bSaving);
        EXPECT_EQ(nullptr, s.ctx->pSaveFormatCtx);

        std::vector<Entry> st;
        ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, c.acodec[0] ? 2 : 1, written, &st));
        EXPECT_EQ(c.vname, st[0]["codec_name"]);
        if (c.acodec[0]) {
            EXPECT_EQ(c.aname, st[1]["codec_name"]);
            EXPECT_EQ(std::to_string(c.nSampleRate), st[1]["sample_rate"]);
            EXPECT_GT(atoi(st[1]["nb_read_frames"].c_str()), 0);
        }
        std::vector<unsigned char> f = ReadAll(dst);
        EXPECT_EQ(100u, Le32(f, AVI_SCALE_OFFSET));
        EXPECT_EQ(0, CountEmptyChunks(f)) << "padding chunks: timestamps off their time base";
        std::vector<Entry> pk = Probe(dst, "-select_streams v:0 -show_entries packet=dts,size");
        ASSERT_EQ((size_t)written, pk.size());
        for (size_t i = 0; i < pk.size(); i++) {
            EXPECT_EQ(std::to_string(i), pk[i]["dts"]) << "packet " << i;
            EXPECT_NE("0", pk[i]["size"]) << "packet " << i;
        }
        if (c.nFormatTag) {
            ASSERT_NO_FATAL_FAILURE(CheckAudioFormat(f, c.nFormatTag, c.nSampleRate, c.nByteRate, c.nBits));
        }
    }
}

TEST_F(AviRecorderTest, StartFailuresLeaveNothingBehind)
{
    std::string src = TestDir() + "/fail.nut";
    ASSERT_TRUE(MakeSource(src, "libx264", "g722", 1.0));
    Source s;
    ASSERT_TRUE(s.Open(src));
    // No directory, no format for the extension, no path, a path that does
    // not fit the record name (refused, not cut), and a container that
    // cannot hold the source's audio (the header fails).
    const std::string bad[] = {"/nonexistent-dir-ipcam/rec.avi", TestDir() + "/rec.notaformat", "",
                               TestDir() + "/" + std::string(300, 'a') + ".avi", TestDir() + "/rec.gif"};
    for (const std::string &p : bad) {
        EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, p.empty() ? nullptr : p.c_str())) << p;
        EXPECT_NE(0, access(p.c_str(), F_OK)) << p;
        EXPECT_EQ(0, s.ctx->bSaving);
        EXPECT_EQ(nullptr, s.ctx->pSaveFormatCtx);
    }

    // A stream that cannot be set up (here: memory for the codec extradata
    // runs out) fails the start only; the host process goes on.
    std::string nomem = TestDir() + "/nomem.avi";
    AVCodecContext *vc = s.ctx->pVideoCodecCtx;
    const int kBig = 4 << 20;
    uint8_t *big = (uint8_t *)av_mallocz(kBig + AV_INPUT_BUFFER_PADDING_SIZE);
    ASSERT_NE(nullptr, big);
    std::swap(vc->extradata, big);
    int oldSize = vc->extradata_size;
    vc->extradata_size = kBig;
    av_max_alloc(1 << 20);
    int r = FFMpegStartSaveAvi(s.ctx, nomem.c_str());
    av_max_alloc(INT_MAX);
    std::swap(vc->extradata, big);
    vc->extradata_size = oldSize;
    av_free(big);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(nullptr, s.ctx->pSaveFormatCtx);
    EXPECT_NE(0, access(nomem.c_str(), F_OK));

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
    int b = s.Pump();  // the first recording goes on
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    ASSERT_NO_FATAL_FAILURE(CheckRecording(first, 1, a + b));
    EXPECT_STREQ(first.c_str(), s.ctx->szSavePath) << "the name stays after the stop";

    // Stop on an idle stream: -1, and the file named in the context keeps
    // every byte.
    std::vector<unsigned char> before = ReadAll(first);
    EXPECT_EQ(-1, FFMpegStopSaveAvi(s.ctx));
    ASSERT_EQ(before, ReadAll(first));

    // The rate correction rewrites its four bytes and nothing else.
    ASSERT_EQ(0, FFMpegSaveAviPatchRate(first.c_str(), 0x01020304u));
    for (int i = 0; i < 4; i++)
        before[AVI_RATE_OFFSET + i] = (unsigned char)(4 - i);
    EXPECT_TRUE(before == ReadAll(first));

    // Another container, a short file or no file is left alone.
    std::string shortFile = TestDir() + "/short.avi";
    E2eRun("printf RIFF > '" + shortFile + "'");
    for (const std::string &p : {src, shortFile, TestDir() + "/missing.avi"}) {
        std::vector<unsigned char> keep = ReadAll(p);
        EXPECT_EQ(-1, FFMpegSaveAviPatchRate(p.c_str(), 2500)) << p;
        EXPECT_TRUE(keep == ReadAll(p)) << p;
    }
}

// The writer keeps going past the stop, like a read thread does; a packet
// is either in the file or was refused after the stop. The recording starts
// mid-GOP and begins at the next key frame.
TEST_F(AviRecorderTest, StopWhileTheWriterRunsLosesNoWrittenPacket)
{
    std::string src = TestDir() + "/race.nut", dst = TestDir() + "/race.avi";
    ASSERT_TRUE(MakeSource(src, "libx264", "pcm_mulaw", 4.0));
    Source s;
    ASSERT_TRUE(s.Open(src));
    s.Pump(5);
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));

    std::atomic<int> videoWritten{0}, videoRead{0};
    std::thread writer([&]() {
        AVPacket *pkt = av_packet_alloc();
        while (av_read_frame(s.pFmt, pkt) >= 0) {
            bool isVideo = pkt->stream_index == s.ctx->nVideoIndex;
            videoRead += isVideo;
            videoWritten += FFMpegSaveAviWritePacket(s.ctx, pkt) == 1 && isVideo;
            av_packet_unref(pkt);
            SleepMs(isVideo ? 40 : 1);  // a camera's pace
        }
        av_packet_free(&pkt);
    });
    EXPECT_TRUE(E2eWaitFor([&] { return videoWritten >= 20; }, 20000));
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    writer.join();
    // Every write the writer saw succeed happened before the stop took the
    // lock, so all of them are in the finished file, and none came later.
    EXPECT_EQ(videoWritten.load(), s.ctx->nSaveVideoFrames);
    EXPECT_GT(videoRead.load(), videoWritten.load() + 7) << "the writer went on past the stop";
    CheckRecording(dst, 2, videoWritten.load());
}

}  // namespace
