// The AVI recorder driven on a stream context filled from a generated file,
// with packets written the way the read thread writes them: every codec a
// camera sends, sources in awkward shapes, bad paths and a stop racing the
// writer.

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include "RecordTestUtil.h"

namespace {

// Generates seconds of test video (320x240 unless told) at 25 frames per
// second (a key frame every 12 frames, no B-frames) with an optional mono
// sine tone. vcodec: libx264, libx265 or mpeg4; acodec: "" for none, or an
// ffmpeg audio encoder. The container follows the extension.
bool MakeSource(const std::string &path, const std::string &vcodec, const std::string &acodec,
                double seconds = 2.0, const char *size = "320x240")
{
    std::string cmd = std::string("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=") + size + ":rate=25";
    if (!acodec.empty()) {
        int rate = acodec == "aac" ? 44100 : acodec == "g722" ? 16000 : acodec == "libopus" ? 48000 : 8000;
        cmd += " -f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(rate);
    }
    cmd += " -t " + std::to_string(seconds) + " -c:v " + vcodec + " -g 12 -bf 0 -pix_fmt yuv420p";
    if (vcodec == "libx265")
        cmd += " -x265-params log-level=none:bframes=0:keyint=12";
    if (vcodec == "mpeg4")
        cmd += " -q:v 4";
    if (!acodec.empty())
        cmd += " -c:a " + acodec + " -ac 1" +
               (acodec == "g726" ? " -b:a 16k -af asetnsamples=n=320" : acodec == "aac" ? " -b:a 64k" : "");
    int status = -1;
    E2eRun(cmd + " '" + path + "' >/dev/null 2>&1", &status);
    return status == 0;
}

// A stream context as FFMpegContextCreate leaves it, without the threads:
// the test reads the source and writes its packets itself.
struct Source {
    AVFormatContext *pFmt = nullptr;
    FFMpegContext c = {};
    FFMpegContext *ctx = &c;

    bool Open(const std::string &path)
    {
        if (avformat_open_input(&pFmt, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(pFmt, nullptr) < 0)
            return false;
        c.hSaveMutex = MutexCreate();
        c.pFormatCtx = pFmt;
        c.nDataIndex = -1;
        c.nVideoIndex = av_find_best_stream(pFmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        c.nAudioIndex = std::max(-1, av_find_best_stream(pFmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0));
        if (c.nVideoIndex < 0)
            return false;
        AVCodecParameters *par = pFmt->streams[c.nVideoIndex]->codecpar;
        c.pVideoCodecCtx = avcodec_alloc_context3(nullptr);
        avcodec_parameters_to_context(c.pVideoCodecCtx, par);
        c.nInVideoCodecId = par->codec_id;
        c.nWidth = par->width;
        c.nHeight = par->height;
        if (c.nAudioIndex >= 0) {
            c.pAudioCodecCtx = avcodec_alloc_context3(nullptr);
            avcodec_parameters_to_context(c.pAudioCodecCtx, pFmt->streams[c.nAudioIndex]->codecpar);
            c.nInAudioCodecId = c.pAudioCodecCtx->codec_id;
        }
        return true;
    }

    ~Source()
    {
        FFMpegStopSaveAvi(ctx);
        avcodec_free_context(&c.pVideoCodecCtx);
        avcodec_free_context(&c.pAudioCodecCtx);
        MutexDestroy(c.hSaveMutex);
        avformat_close_input(&pFmt);
    }

    // Reads and writes packets until maxVideo video packets have been read
    // (or the end); the number of video packets written.
    // bSplitKey: an H.264 key frame's units before its slice (delimiter,
    // parameter sets, SEI) come as a packet of their own, as some cameras
    // send them.
    int Pump(int maxVideo = 1 << 30, bool bSplitKey = false)
    {
        AVPacket *pkt = av_packet_alloc();
        int nVideoWritten = 0, nVideoRead = 0;
        while (nVideoRead < maxVideo && av_read_frame(pFmt, pkt) >= 0) {
            bool isVideo = pkt->stream_index == c.nVideoIndex;
            nVideoRead += isVideo;
            int n = 0;  // where the key frame's slice begins (its start code); 0: not split
            for (int i = 1; bSplitKey && isVideo && (pkt->flags & AV_PKT_FLAG_KEY) && !n && i + 3 < pkt->size; i++)
                if (memcmp(pkt->data + i, "\0\0\1", 3) == 0 && (pkt->data[i + 3] & 0x1f) == 5)
                    n = pkt->data[i - 1] == 0 ? i - 1 : i;
            if (n > 0) {
                AVPacket *head = av_packet_clone(pkt);
                head->size = n;
                EXPECT_EQ(0, FFMpegSaveAviWritePacket(ctx, head)) << "a packet without a picture is held";
                av_packet_free(&head);
                pkt->data += n;
                pkt->size -= n;
            }
            nVideoWritten += FFMpegSaveAviWritePacket(ctx, pkt) == 1 && isVideo;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        return nVideoWritten;
    }
};

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

// How the stream context describes the source when the recording starts:
// as probed; unprobed with no picture decoded yet (size 0x0); unprobed with
// the classic decode thread's 320x240 stand-in (the stream is 352x288); with
// audio whose sample rate is 0, so that the muxer refuses its header; key
// frames whose parameter sets come in a packet of their own.
enum Shape { kProbed, kNoSize, kStandIn, kNoAudioRate, kSplitKey };

// Every camera codec pairing and source shape gives a real AVI whose every
// video packet decodes without an error, in the stream's own picture size.
// The first frame sits at index 0: no padding chunk, a picture per index,
// timestamps reading back 0, 1, 2.... Audio the container cannot hold costs
// the recording its sound, never its pictures.
TEST_F(AviRecorderTest, RecordsEveryCodecAndSourceShapeIntoPlayableAvi)
{
    const struct {
        const char *vcodec, *acodec, *container;
        Shape shape;
        const char *vname, *aname;  // ffprobe's codec names; aname "": no audio in the file
        const char *aformat;        // ffprobe's "codec_tag sample_rate bit_rate", "" not checked
    } cases[] = {
        {"libx264", "", "ts", kProbed, "h264", "", ""},
        {"libx264", "aac", "mp4", kProbed, "h264", "aac", "0x00ff 44100 320000"},
        {"libx265", "aac", "mp4", kProbed, "hevc", "aac", ""},
        {"libx264", "pcm_mulaw", "nut", kProbed, "h264", "pcm_mulaw", "0x0007 8000 64000"},
        {"libx264", "pcm_alaw", "nut", kProbed, "h264", "pcm_alaw", ""},
        {"libx264", "g726", "nut", kProbed, "h264", "adpcm_g726", "0x0045 8000 16000"},
        {"libx264", "g722", "nut", kProbed, "h264", "adpcm_g722", "0x028f 16000 64000"},
        {"libx265", "", "nut", kProbed, "hevc", "", ""},
        {"libx265", "", "ts", kProbed, "hevc", "", ""},
        {"mpeg4", "", "ts", kProbed, "mpeg4", "", ""},
        {"mpeg4", "", "nut", kProbed, "mpeg4", "", ""},
        {"mpeg4", "g726", "nut", kProbed, "mpeg4", "adpcm_g726", ""},
        {"libx264", "libopus", "nut", kProbed, "h264", "", ""},
        {"libx264", "pcm_mulaw", "nut", kNoAudioRate, "h264", "", ""},
        {"libx264", "", "ts", kNoSize, "h264", "", ""},  // parameter sets in band only
        {"libx264", "pcm_mulaw", "nut", kNoSize, "h264", "pcm_mulaw", ""},  // in the extradata
        {"libx265", "", "ts", kNoSize, "hevc", "", ""},
        {"mpeg4", "", "ts", kNoSize, "mpeg4", "", ""},
        {"mpeg4", "g722", "nut", kNoSize, "mpeg4", "adpcm_g722", ""},
        {"libx264", "", "ts", kStandIn, "h264", "", ""},
        {"libx264", "", "ts", kSplitKey, "h264", "", ""},
    };
    for (const auto &c : cases) {
        std::string tag = std::string(c.vcodec) + "+" + c.acodec + std::to_string(c.shape) + "." + c.container;
        std::string size = c.shape == kStandIn ? "352x288" : "320x240";
        SCOPED_TRACE(tag);
        std::string src = TestDir() + "/src_" + tag, dst = TestDir() + "/rec_" + tag + ".avi";
        if (!MakeSource(src, c.vcodec, c.acodec, 1.0, size.c_str())) {
            ASSERT_STREQ("libopus", c.acodec) << "could not generate " << src;
            continue;  // this ffmpeg has no Opus encoder
        }
        Source s;
        ASSERT_TRUE(s.Open(src));
        if (c.shape == kNoSize || c.shape == kStandIn) {
            s.c.nWidth = c.shape == kStandIn ? 320 : 0;
            s.c.nHeight = c.shape == kStandIn ? 240 : 0;
            s.pFmt->streams[s.c.nVideoIndex]->codecpar->width = 0;
        }
        if (c.shape == kNoAudioRate)
            s.c.pAudioCodecCtx->sample_rate = 0;
        // As the stream context sets up its ADPCM decoders.
        if (s.c.nInAudioCodecId == AV_CODEC_ID_ADPCM_G726 || s.c.nInAudioCodecId == AV_CODEC_ID_ADPCM_G722) {
            bool bG726 = s.c.nInAudioCodecId == AV_CODEC_ID_ADPCM_G726;
            s.c.pAudioCodecCtx->bits_per_coded_sample = bG726 ? 2 : 4;
            s.c.pAudioCodecCtx->sample_rate = bG726 ? 8000 : 16000;
        }
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        ASSERT_EQ(25, s.Pump(1 << 30, c.shape == kSplitKey));
        ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
        EXPECT_EQ(nullptr, s.c.pSaveFormatCtx);

        std::vector<Entry> st;
        ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, c.aname[0] ? 2 : 1, 25, &st));
        EXPECT_EQ(c.vname, st[0]["codec_name"]);
        EXPECT_EQ(size, st[0]["width"] + "x" + st[0]["height"]);
        if (c.aname[0]) {
            EXPECT_EQ(c.aname, st[1]["codec_name"]);
            EXPECT_EQ("1", st[1]["channels"]);
            EXPECT_GT(atoi(st[1]["nb_read_frames"].c_str()), 0);
            if (c.aformat[0]) {
                EXPECT_EQ(c.aformat, st[1]["codec_tag"] + " " + st[1]["sample_rate"] + " " + st[1]["bit_rate"]);
            }
        }
        std::vector<Entry> pk = Probe(dst, "-select_streams v:0 -show_entries packet=dts,size");
        ASSERT_EQ(25u, pk.size());
        for (size_t i = 0; i < pk.size(); i++) {
            EXPECT_EQ(std::to_string(i), pk[i]["dts"]) << "packet " << i;
            EXPECT_NE("0", pk[i]["size"]) << "packet " << i;
        }
    }
}

// G.726 as FFmpeg's RTSP client delivers it (little-endian packing, which
// AVI cannot tag) is recorded as G.726 and decodes to exactly the sound the
// source decodes to, at every code word size.
TEST_F(AviRecorderTest, LittleEndianG726IsRecordedAsG726)
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
        AVCodecContext *ac = s.c.pAudioCodecCtx = avcodec_alloc_context3(nullptr);
        ac->codec_id = s.c.nInAudioCodecId = AV_CODEC_ID_ADPCM_G726LE;
        ac->sample_rate = 8000;
        ac->bits_per_coded_sample = bits;
        ac->pkt_timebase = AVRational{1, 8000};
        s.c.nAudioIndex = 1;
        ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
        ASSERT_NE(nullptr, s.c.pSaveAudioStream);

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
        ASSERT_NO_FATAL_FAILURE(CheckRecording(dst, 2, 25, &st));
        EXPECT_EQ("adpcm_g726 0x0045 8000 " + std::to_string(bits * 8000),
                  st[1]["codec_name"] + " " + st[1]["codec_tag"] + " " + st[1]["sample_rate"] + " " + st[1]["bit_rate"]);
        std::string want = E2eRun("ffmpeg -nostdin -v error -f g726le -code_size " + std::to_string(bits) +
                                  " -sample_rate 8000 -i '" + raw + "' -f s16le -");
        std::string got = E2eRun("ffmpeg -nostdin -v error -i '" + dst + "' -map 0:a -f s16le -");
        EXPECT_EQ(16000u, want.size());
        EXPECT_TRUE(want == got) << "recorded G.726 decodes differently (" << got.size() << " bytes)";
    }
}

// Starts that fail leave nothing behind and the host process goes on; so
// does a recording whose key frames carry no picture size the parser can
// read. The next recording of the same stream then works.
TEST_F(AviRecorderTest, FailuresLeaveNothingBehind)
{
    std::string src = TestDir() + "/fail.ts";
    ASSERT_TRUE(MakeSource(src, "libx264", "aac", 1.0));
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
        EXPECT_EQ(nullptr, s.c.pSaveFormatCtx);
    }
    EXPECT_EQ(-1, FFMpegStopSaveAvi(s.ctx));
    EXPECT_EQ(-1, FFMpegStopSaveAvi(nullptr));
    EXPECT_EQ(-1, FFMpegStartSaveAvi(nullptr, "x.avi"));

    // A stream that cannot be set up (memory for the codec extradata runs out).
    std::string nomem = TestDir() + "/nomem.avi";
    AVCodecContext *vc = s.c.pVideoCodecCtx;
    int nSize = 4 << 20;
    uint8_t *big = (uint8_t *)av_mallocz(nSize + AV_INPUT_BUFFER_PADDING_SIZE);
    ASSERT_NE(nullptr, big);
    std::swap(vc->extradata, big);
    std::swap(vc->extradata_size, nSize);
    av_max_alloc(1 << 20);
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, nomem.c_str()));
    av_max_alloc(INT_MAX);
    std::swap(vc->extradata, big);
    std::swap(vc->extradata_size, nSize);
    av_free(big);
    EXPECT_NE(0, access(nomem.c_str(), F_OK));

    // Random key frames of an unprobed stream: nothing is written and the
    // stop leaves no headerless file.
    std::string nosize = TestDir() + "/nosize.avi";
    s.c.nWidth = s.c.nHeight = 0;
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, nosize.c_str()));
    AVPacket *pkt = av_packet_alloc();
    unsigned seed = 7;
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(0, av_new_packet(pkt, 2000));
        for (int k = 0; k < pkt->size; k++)
            pkt->data[k] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
        pkt->stream_index = i % 2 ? s.c.nAudioIndex : s.c.nVideoIndex;
        pkt->flags = AV_PKT_FLAG_KEY;
        pkt->duration = 1;
        EXPECT_EQ(0, FFMpegSaveAviWritePacket(s.ctx, pkt)) << "packet " << i;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    EXPECT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    EXPECT_NE(0, access(nosize.c_str(), F_OK)) << "a file without a header was left behind";

    // The picture size became known (as after a decoded picture).
    s.c.nWidth = 320;
    s.c.nHeight = 240;
    std::string good = TestDir() + "/after_fail.avi";
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, good.c_str()));
    EXPECT_EQ(25, s.Pump());
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    std::vector<Entry> st;
    ASSERT_NO_FATAL_FAILURE(CheckRecording(good, 2, 25, &st));
    EXPECT_EQ("320x240", st[0]["width"] + "x" + st[0]["height"]);
}

// The writer keeps going past the stop at a camera's pace, like a read
// thread does; a packet is either in the file or was refused after the
// stop. The recording starts mid-GOP and begins at the next key frame; a
// second start meanwhile is refused, a stop after the stop touches nothing.
TEST_F(AviRecorderTest, StopWhileTheWriterRunsLosesNoWrittenPacket)
{
    std::string src = TestDir() + "/race.nut", dst = TestDir() + "/race.avi", other = TestDir() + "/other.avi";
    ASSERT_TRUE(MakeSource(src, "libx264", "pcm_mulaw", 4.0));
    Source s;
    ASSERT_TRUE(s.Open(src));
    s.Pump(5);
    ASSERT_EQ(0, FFMpegStartSaveAvi(s.ctx, dst.c_str()));
    EXPECT_EQ(-1, FFMpegStartSaveAvi(s.ctx, other.c_str()));
    EXPECT_NE(0, access(other.c_str(), F_OK));

    std::atomic<int> videoWritten{0}, videoRead{0};
    std::thread writer([&]() {
        AVPacket *pkt = av_packet_alloc();
        while (av_read_frame(s.pFmt, pkt) >= 0) {
            bool isVideo = pkt->stream_index == s.c.nVideoIndex;
            videoRead += isVideo;
            videoWritten += FFMpegSaveAviWritePacket(s.ctx, pkt) == 1 && isVideo;
            av_packet_unref(pkt);
            SleepMs(isVideo ? 40 : 1);
        }
        av_packet_free(&pkt);
    });
    EXPECT_TRUE(E2eWaitFor([&] { return videoWritten >= 20; }, 20000));
    ASSERT_EQ(0, FFMpegStopSaveAvi(s.ctx));
    writer.join();
    // Every write the writer saw succeed happened before the stop took the
    // lock, so all of them are in the finished file, and none came later.
    EXPECT_EQ(videoWritten.load(), s.c.nSaveVideoFrames);
    EXPECT_GT(videoRead.load(), videoWritten.load() + 7) << "the writer went on past the stop";
    CheckRecording(dst, 2, videoWritten.load());
    std::vector<unsigned char> before = ReadAll(dst);
    EXPECT_EQ(-1, FFMpegStopSaveAvi(s.ctx));
    EXPECT_TRUE(before == ReadAll(dst));
    EXPECT_STREQ(dst.c_str(), s.c.szSavePath) << "the name stays after the stop";

    // The rate correction rewrites its four bytes and nothing else; another
    // container, a short file or no file is left alone.
    ASSERT_EQ(0, FFMpegSaveAviPatchRate(dst.c_str(), 0x01020304u));
    for (int i = 0; i < 4; i++)
        before[AVI_RATE_OFFSET + i] = (unsigned char)(4 - i);
    EXPECT_TRUE(before == ReadAll(dst));
    std::string shortFile = TestDir() + "/short.avi";
    E2eRun("printf RIFF > '" + shortFile + "'");
    for (const std::string &p : {src, shortFile, TestDir() + "/missing.avi"}) {
        std::vector<unsigned char> keep = ReadAll(p);
        EXPECT_EQ(-1, FFMpegSaveAviPatchRate(p.c_str(), 2500)) << p;
        EXPECT_TRUE(keep == ReadAll(p)) << p;
    }
}

}  // namespace
