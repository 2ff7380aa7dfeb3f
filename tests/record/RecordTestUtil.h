#ifndef IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H
#define IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H

// Helpers of the recorder tests: test media generated with the ffmpeg CLI,
// ffprobe and ffmpeg as the judges of the recorded files, and a stream
// context opened on a generated file whose packets the test writes itself,
// the way the read thread does. Shell commands, the RTSP test camera and
// waiting come from the end-to-end tests' support.

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "E2eSupport.h"
#include "record/AviRecorder.h"
#include "stream/FFMpegContext.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

// This process's scratch directory; made again after a suite removed it.
// IPCAMERA_KEEP_TEST_FILES=1 keeps it for a look after a failure.
inline std::string TestDir(bool bRemove = false)
{
    std::string dir = std::string(IPCAMERA_BINARY_DIR) + "/record_test_" + std::to_string(getpid());
    if (bRemove) {
        if (!getenv("IPCAMERA_KEEP_TEST_FILES"))
            E2eRun("rm -rf '" + dir + "'");
        return dir;
    }
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return "/tmp";
    return dir;
}

// Generates seconds of test video (320x240 unless told) at 25 frames per
// second (a key frame every 12 frames, no B-frames) with an optional mono
// sine tone. vcodec: libx264, libx265 or mpeg4; acodec: "" for none, or
// aac, pcm_mulaw, pcm_alaw, g726, g722, libopus. The container follows the
// extension (NUT and MPEG-TS carry all of them).
inline bool MakeSource(const std::string &path, const std::string &vcodec, const std::string &acodec,
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

// ffprobe's entries for a file, one map of key to value per stream or
// packet, e.g. Probe(f, "-select_streams v:0 -show_entries packet=dts").
typedef std::map<std::string, std::string> Entry;
inline std::vector<Entry> Probe(const std::string &path, const std::string &query)
{
    std::vector<Entry> out;
    std::istringstream lines(E2eRun("ffprobe -v error " + query + " -of compact=p=0 '" + path + "' 2>/dev/null"));
    std::string line, kv;
    while (std::getline(lines, line)) {
        Entry e;
        std::istringstream fields(line);
        while (std::getline(fields, kv, '|'))
            e[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
        if (!e.empty())
            out.push_back(e);
    }
    return out;
}

inline std::vector<Entry> ProbeStreams(const std::string &path)
{
    return Probe(path, "-count_frames -show_entries stream=codec_type,codec_name,r_frame_rate,sample_rate,"
                       "nb_read_frames,duration,width,height");
}

// Decodes every frame of the file with ffprobe (no muxer, so any frame
// rate will do): its error output, empty when every frame decoded cleanly
// (and "failed" when ffprobe did).
inline std::string DecodeErrors(const std::string &path)
{
    int status = -1;
    std::string errors = E2eRun("ffprobe -v error -show_frames '" + path + "' 2>&1 >/dev/null", &status);
    return status == 0 ? errors : "failed: " + errors;
}

// A finished recording: nStreams streams, video first and beginning with a
// key frame, nVideo decodable video frames (not checked when negative), and
// not one decode error. ffprobe's view of the streams in *pStreams.
inline void CheckRecording(const std::string &path, size_t nStreams, long nVideo,
                           std::vector<Entry> *pStreams = nullptr)
{
    std::vector<Entry> st = ProbeStreams(path);
    ASSERT_EQ(nStreams, st.size()) << path;
    EXPECT_EQ("video", st[0]["codec_type"]);
    if (nVideo >= 0) {
        EXPECT_EQ(std::to_string(nVideo), st[0]["nb_read_frames"]) << "video frames lost or undecodable";
    }
    std::vector<Entry> pk = Probe(path, "-select_streams v:0 -read_intervals %+#1 -show_entries packet=flags");
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ('K', pk[0]["flags"][0]) << "the recording does not begin with a key frame";
    EXPECT_EQ("", DecodeErrors(path));
    if (pStreams)
        *pStreams = st;
}

inline std::vector<unsigned char> ReadAll(const std::string &path)
{
    std::vector<unsigned char> v;
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp)
        return v;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0)
        v.insert(v.end(), buf, buf + n);
    fclose(fp);
    return v;
}

inline uint32_t Le32(const std::vector<unsigned char> &f, size_t off)
{
    if (f.size() < off + 4)
        return 0xFFFFFFFFu;
    return (uint32_t)f[off] | (uint32_t)f[off + 1] << 8 | (uint32_t)f[off + 2] << 16 | (uint32_t)f[off + 3] << 24;
}

// The audio stream format (WAVEFORMATEX after the second 'strf') of an AVI
// written here: mono, with this tag, sample rate and byte rate, and nBits
// bits per sample (not checked when negative).
inline void CheckAudioFormat(const std::vector<unsigned char> &f, int nTag, int nRate, int nByteRate, int nBits)
{
    size_t pos = 0;
    for (size_t i = 0, nStrf = 0; i + 8 < f.size() && i < 65536 && !pos; i++)
        if (memcmp(&f[i], "strf", 4) == 0 && ++nStrf == 2)
            pos = i + 8;
    ASSERT_TRUE(pos != 0 && pos + 16 <= f.size()) << "no audio stream format";
    EXPECT_EQ(nTag, (int)(Le32(f, pos) & 0xFFFF));
    EXPECT_EQ(1, (int)(Le32(f, pos) >> 16));  // mono
    EXPECT_EQ(nRate, (int)Le32(f, pos + 4));
    EXPECT_EQ(nByteRate, (int)Le32(f, pos + 8));
    if (nBits >= 0) {
        EXPECT_EQ(nBits, (int)(Le32(f, pos + 12) >> 16));
    }
}

// Chunks of the 'movi' list with no payload. The AVI muxer writes one for
// every timestamp step it finds missing, so any means the recording's
// timestamps do not match its time bases.
inline int CountEmptyChunks(const std::vector<unsigned char> &f)
{
    size_t i = 0;
    while (i + 4 <= f.size() && memcmp(&f[i], "movi", 4) != 0)
        i++;
    int n = 0;
    for (i += 4; i + 8 <= f.size() && memcmp(&f[i], "idx1", 4) != 0;) {
        uint32_t sz = Le32(f, i + 4);
        if (memcmp(&f[i], "LIST", 4) == 0) {
            i += 12;
            continue;
        }
        n += sz == 0;
        i += 8 + sz + (sz & 1);
    }
    return n;
}

// A stream context as FFMpegContextCreate leaves it, without the threads:
// the source is read by the test itself.
struct Source {
    AVFormatContext *pFmt = nullptr;
    FFMpegContext *ctx = nullptr;
    int nSourceVideoPackets = 0;

    bool Open(const std::string &path)
    {
        if (avformat_open_input(&pFmt, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(pFmt, nullptr) < 0)
            return false;
        ctx = new FFMpegContext();
        ctx->bRunning = 1;
        ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
        ctx->hSaveMutex = MutexCreate();
        ctx->pFormatCtx = pFmt;
        for (unsigned i = 0; i < pFmt->nb_streams; i++) {
            AVCodecParameters *par = pFmt->streams[i]->codecpar;
            AVCodecContext *cc = avcodec_alloc_context3(nullptr);
            avcodec_parameters_to_context(cc, par);
            if (par->codec_type == AVMEDIA_TYPE_VIDEO && ctx->nVideoIndex < 0) {
                ctx->nVideoIndex = (int)i;
                ctx->pVideoCodecCtx = cc;
                ctx->nInVideoCodecId = par->codec_id;
                ctx->nWidth = par->width;
                ctx->nHeight = par->height;
            } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && ctx->nAudioIndex < 0) {
                ctx->nAudioIndex = (int)i;
                ctx->pAudioCodecCtx = cc;
                ctx->nInAudioCodecId = par->codec_id;
                // As the stream context sets up its ADPCM decoders.
                if (par->codec_id == AV_CODEC_ID_ADPCM_G726 || par->codec_id == AV_CODEC_ID_ADPCM_G722) {
                    bool bG726 = par->codec_id == AV_CODEC_ID_ADPCM_G726;
                    cc->bits_per_coded_sample = bG726 ? 2 : 4;
                    cc->sample_rate = bG726 ? 8000 : 16000;
                }
            } else {
                avcodec_free_context(&cc);
            }
        }
        return ctx->nVideoIndex >= 0;
    }

    ~Source()
    {
        if (ctx) {
            FFMpegStopSaveAvi(ctx);
            avcodec_free_context(&ctx->pVideoCodecCtx);
            avcodec_free_context(&ctx->pAudioCodecCtx);
            MutexDestroy(ctx->hSaveMutex);
            delete ctx;
        }
        avformat_close_input(&pFmt);
    }

    // Reads and writes packets until maxVideo video packets have been read
    // (or the end); the number of video packets written.
    int Pump(int maxVideo = 1 << 30)
    {
        AVPacket *pkt = av_packet_alloc();
        int nVideoWritten = 0, nVideoRead = 0;
        while (nVideoRead < maxVideo && av_read_frame(pFmt, pkt) >= 0) {
            bool isVideo = pkt->stream_index == ctx->nVideoIndex;
            nVideoRead += isVideo;
            nVideoWritten += FFMpegSaveAviWritePacket(ctx, pkt) == 1 && isVideo;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        nSourceVideoPackets += nVideoRead;
        return nVideoWritten;
    }
};

// Recorder tests on generated media: skipped when the ffmpeg/ffprobe CLI that
// makes and judges it is missing; the media goes with the suite.
class RecorderMediaTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FFMpegRegister();
        int status = -1;
        E2eRun("command -v ffmpeg && command -v ffprobe", &status);
        s_bTools = status == 0;
    }
    static void TearDownTestSuite() { TestDir(true); }
    void SetUp() override
    {
        if (!s_bTools)
            GTEST_SKIP() << "ffmpeg/ffprobe CLI not found: cannot generate or judge test media";
    }
    inline static bool s_bTools = false;
};

}  // namespace

#endif
