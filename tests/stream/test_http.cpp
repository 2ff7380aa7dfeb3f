// The raw HTTP frame reader. First through a scripted byte stream that
// hands out the chunks, time-outs and errors a test lists, so start code
// search, resynchronisation after garbage or oversized lengths, short
// reads, the buffer bound and the packet fields are checked call by call.
// Then against the HTTP test camera (ipcam-test-http) over a real loopback
// connection: opening (codecs, decoders for each audio codec), every frame
// intact in order, the read time-out of a stalled camera, and a blocked
// read ended by clearing bRunning (so destroying a stream never hangs).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "decode/HevcProbe.h"
#include "stream/FFMpegContext.h"
#include "stream/FFmpegCompat.h"
#include "stream/HttpRaw.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

// One frame: header (with filler in the uninterpreted bytes) and payload.
Bytes Frame(uint32_t type, const Bytes &payload, uint32_t kind = 0, int64_t ts = 0, uint32_t lenOverride = 0,
            bool useOverride = false)
{
    Bytes f(HTTP_FRAME_HEADER_SIZE, 0);
    f[0] = 0x33;
    f[1] = 0x22;
    f[2] = 0x11;
    f[3] = 0x00;
    for (int i = 4; i < 48; i++)
        f[(size_t)i] = (uint8_t)(0xA0 + i);
    Put32(&f[48], type);
    Put32(&f[52], useOverride ? lenOverride : (uint32_t)payload.size());
    Put32(&f[56], 3);
    Put32(&f[60], kind);
    Put32(&f[64], 1280);
    Put32(&f[68], 720);
    Put32(&f[72], 2);
    Put32(&f[76], 8000);
    Put32(&f[80], (uint32_t)(uint64_t)ts);
    Put32(&f[84], (uint32_t)((uint64_t)ts >> 32));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes Payload(size_t n, uint8_t seed)
{
    Bytes p(n);
    for (size_t i = 0; i < n; i++)
        p[i] = (uint8_t)(seed + i * 7);  // never 33 22 11 00 in a row
    return p;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Scripted byte stream: each step is a chunk of data or an error code.
// Past the script the camera is idle: every read times out.
struct Script {
    struct Step {
        Bytes data;
        int err;  // 0 = data
    };
    std::deque<Step> steps;
    int nCalls = 0;

    void Data(const Bytes &b) { steps.push_back({b, 0}); }
    void Error(int e) { steps.push_back({Bytes(), e}); }

    static int Read(void *opaque, uint8_t *buf, int size)
    {
        Script *s = (Script *)opaque;
        s->nCalls++;
        if (s->steps.empty())
            return AVERROR(ETIMEDOUT);
        Step &st = s->steps.front();
        if (st.err) {
            int e = st.err;
            s->steps.pop_front();
            return e;
        }
        int n = (int)std::min<size_t>((size_t)size, st.data.size());
        memcpy(buf, st.data.data(), (size_t)n);
        st.data.erase(st.data.begin(), st.data.begin() + n);
        if (st.data.empty())
            s->steps.pop_front();
        return n;
    }
};

class HttpReader : public ::testing::Test {
protected:
    Script script;
    FFMpegContext *ctx = nullptr;
    AVPacket *pkt = nullptr;

    void SetUp() override
    {
        ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
        ctx->bRunning = 1;
        ctx->bHttpRaw = 1;
        ctx->nVideoIndex = 0;
        ctx->nAudioIndex = 1;
        ctx->nDataIndex = -1;
        snprintf(ctx->szName, sizeof(ctx->szName), "http://scripted/");
        ctx->pHTTPBuf = (uint8_t *)MemAllocZero(HTTP_BUF_SIZE);
        const int kIoBuf = 4096;
        uint8_t *io = (uint8_t *)av_malloc(kIoBuf);
        ctx->pHttpIoCtx = avio_alloc_context(io, kIoBuf, 0, &script, Script::Read, nullptr, nullptr);
        pkt = av_packet_alloc();
    }
    void TearDown() override
    {
        av_packet_free(&pkt);
        if (ctx->pHttpIoCtx) {
            av_freep(&ctx->pHttpIoCtx->buffer);
            avio_context_free(&ctx->pHttpIoCtx);
        }
        MemFree(ctx->pHTTPBuf);
        MemFree(ctx);
    }
    int Read()
    {
        av_packet_unref(pkt);
        return http_read_data(ctx, pkt);
    }
    // As the read thread does: a short read (-2) is retried.
    int ReadPacket()
    {
        int r;
        for (int i = 0; i < 100; i++)
            if ((r = Read()) != -2)
                return r;
        return r;
    }
    Bytes PacketBytes() const { return Bytes(pkt->data, pkt->data + pkt->size); }
};

}  // namespace

TEST(HttpStartCode, FindAndHeaderFields)
{
    Bytes b = Cat({Bytes{1, 2, 0x33, 0x22, 0x11}, Bytes{0x33, 0x22, 0x11, 0x00}});
    EXPECT_EQ(5, http_find_start_code(b.data(), (int)b.size()));
    EXPECT_EQ(-1, http_find_start_code(b.data(), (int)b.size() - 1));  // last byte outside
    EXPECT_EQ(-1, http_find_start_code(nullptr, 10));
    EXPECT_EQ(-1, http_find_start_code(b.data(), 3));

    Bytes f = Cat({Bytes{9, 9, 9}, Frame(1, Payload(5, 1), 2, -5)});
    HttpFrameHeader h;
    ASSERT_EQ(0, http_get_frame_header(f.data(), (int)f.size(), &h));
    EXPECT_EQ(1u, h.nFrameType);
    EXPECT_EQ(5u, h.nPayloadLen);
    EXPECT_EQ(3u, h.nVideoType);
    EXPECT_EQ(2u, h.nFrameKind);
    EXPECT_EQ(1280u, h.nWidth);
    EXPECT_EQ(720u, h.nHeight);
    EXPECT_EQ(2u, h.nAudioType);
    EXPECT_EQ(8000u, h.nAudioRate);
    EXPECT_EQ(-5, h.nTimestamp);

    // Header cut after the width: height and the rest read as 0.
    ASSERT_EQ(0, http_get_frame_header(f.data(), 3 + 68, &h));
    EXPECT_EQ(1280u, h.nWidth);
    EXPECT_EQ(0u, h.nHeight);
    EXPECT_EQ(0u, h.nAudioType);
    EXPECT_EQ(-1, http_get_frame_header(f.data(), 0, &h));
    EXPECT_EQ(-1, http_get_frame_header(f.data(), 6, &h));  // start code incomplete
    EXPECT_EQ(-1, http_get_frame_header(f.data(), (int)f.size(), nullptr));
}

TEST(HttpStartCode, CodecTables)
{
    // Video type 3 is H.265, anything else H.264; unknown audio types are
    // G.711 mu-law.
    EXPECT_EQ(AV_CODEC_ID_HEVC, http_video_codec_id(3));
    EXPECT_EQ(AV_CODEC_ID_H264, http_video_codec_id(0));
    EXPECT_EQ(AV_CODEC_ID_H264, http_video_codec_id(4));
    const AVCodecID audio[] = {AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_MULAW,
                               AV_CODEC_ID_PCM_ALAW, AV_CODEC_ID_ADPCM_G722, AV_CODEC_ID_ADPCM_G726};
    for (uint32_t t = 1; t < 6; t++)
        EXPECT_EQ(audio[t], http_audio_codec_id(t)) << t;
    EXPECT_EQ(AV_CODEC_ID_PCM_MULAW, http_audio_codec_id(9));
    EXPECT_EQ(AV_CODEC_ID_PCM_MULAW, http_audio_codec_id(0xFFFFFFFFu));
}

TEST_F(HttpReader, NoStartCodeKeepsLastThreeBytes)
{
    script.Data(Bytes{1, 2, 0x33, 0x22, 0x11});
    script.Error(AVERROR(ETIMEDOUT));  // the 2000-byte read comes back short
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-2, Read());
    EXPECT_EQ(-1, Read());
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("http://scripted/ not find start code. nHTTPBufLen:5"));
    EXPECT_EQ(3, ctx->nHTTPBufLen);
    EXPECT_EQ(0x33, ctx->pHTTPBuf[0]);

    // The frame's first byte 00 completes the start code kept.
    Bytes f = Frame(2, Payload(20, 9));
    script.Data(Bytes(f.begin() + 3, f.end()));
    EXPECT_EQ(20, ReadPacket());
    EXPECT_EQ(1, pkt->stream_index);
    EXPECT_EQ(AV_PKT_FLAG_KEY, pkt->flags);  // audio is always key
}

TEST_F(HttpReader, GarbageDroppedThenFlagsAndStreamIndexes)
{
    Bytes first = Payload(10, 1);
    script.Data(Cat({Bytes(10, 0x5A), Frame(1, first, 2, 1234), Frame(1, Payload(10, 2), 0),
                     Frame(2, Payload(10, 3), 5), Frame(7, Payload(10, 4), 0), Frame(1, Bytes(), 0, -5)}));
    EXPECT_EQ(10, ReadPacket());
    EXPECT_EQ(first, PacketBytes());
    EXPECT_EQ(0, pkt->stream_index);
    EXPECT_EQ(0, pkt->flags);
    EXPECT_EQ(1234, pkt->pts);
    EXPECT_EQ(1234, pkt->dts);
    EXPECT_EQ(10, Read());
    EXPECT_EQ(AV_PKT_FLAG_KEY, pkt->flags);
    EXPECT_EQ(10, Read());
    EXPECT_EQ(1, pkt->stream_index);
    EXPECT_EQ(AV_PKT_FLAG_KEY, pkt->flags);
    EXPECT_EQ(10, Read());
    EXPECT_EQ(-1, pkt->stream_index);
    EXPECT_EQ(0, pkt->flags);
    EXPECT_EQ(0, Read());  // empty payload
    EXPECT_EQ(0, pkt->size);
    EXPECT_EQ(-5, pkt->pts);
}

TEST_F(HttpReader, TwoFramesInOneReadNeedNoSecondRead)
{
    Bytes a = Payload(100, 1), b = Payload(200, 2);
    Bytes both = Cat({Frame(1, a), Frame(1, b, 1)});
    // Exactly the 2000 bytes of the first read, so the byte stream has
    // nothing left to hand out afterwards.
    Bytes tail(2000 - both.size(), 0x44);
    script.Data(Cat({both, tail}));
    EXPECT_EQ(100, Read());
    EXPECT_EQ(a, PacketBytes());
    int calls = script.nCalls;
    EXPECT_EQ(200, Read());
    EXPECT_EQ(b, PacketBytes());
    EXPECT_EQ(calls, script.nCalls);
}

TEST_F(HttpReader, ShortReadsKeepDataAndResume)
{
    Bytes payload = Payload(100000, 5);
    Bytes f = Frame(1, payload, 0, 77);
    // Header split, then the payload in pieces, with time-outs between.
    script.Data(Bytes(f.begin(), f.begin() + 40));
    script.Error(AVERROR(ETIMEDOUT));
    script.Data(Bytes(f.begin() + 40, f.begin() + 5000));
    script.Error(AVERROR(ETIMEDOUT));
    script.Error(AVERROR(ETIMEDOUT));
    script.Data(Bytes(f.begin() + 5000, f.end()));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-2, Read());  // 40 of 2000
    EXPECT_EQ(40, ctx->nHTTPBufLen);
    EXPECT_EQ(-2, Read());  // 48 of the header's missing bytes came, then payload short
    EXPECT_EQ(-2, Read());  // a bare time-out
    int r = Read();
    std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(100000, r) << log;
    EXPECT_EQ(payload, PacketBytes());
    EXPECT_EQ(77, pkt->pts);
    EXPECT_NE(std::string::npos, log.find("###### http://scripted/ -138 eof_reached:"));
}

TEST_F(HttpReader, EndOfStreamIsAnError)
{
    Bytes f = Frame(1, Payload(3000, 1));
    script.Data(Bytes(f.begin(), f.begin() + 500));
    script.Error(AVERROR_EOF);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-2, Read());  // 500 of 2000, then the end
    EXPECT_EQ(-3, Read());
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("http_read_data error. ret:"));
    EXPECT_EQ(0, ctx->nHTTPBufLen);
}

TEST_F(HttpReader, OversizedLengthsResynchronise)
{
    // Lengths that would wrap a 32-bit sum, exceed the buffer, or just pass
    // the free space: each drops what is held; the next frame is found.
    const uint32_t lens[] = {0xFFFFFFFFu, 0x80000000u, HTTP_BUF_SIZE, HTTP_BUF_SIZE - 2000 + 1};
    for (uint32_t len : lens) {
        Bytes bad = Frame(1, Bytes(), 0, 0, len, true);
        bad.resize(2000, 0x21);  // filler up to the first read
        script.Data(bad);
        Bytes good = Payload(64, (uint8_t)len);
        script.Data(Cat({Bytes(7, 0x61), Frame(1, good, 0, 9)}));
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(-1, Read()) << len;
        std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, log.find("header size " + std::to_string((int)len) + " over free size " +
                                              std::to_string(HTTP_BUF_SIZE - 2000) + "."))
            << log;
        EXPECT_EQ(0, ctx->nHTTPBufLen);
        EXPECT_EQ(64, ReadPacket()) << len;
        EXPECT_EQ(good, PacketBytes());
        ASSERT_TRUE(script.steps.empty());
        ctx->nHTTPBufLen = 0;
    }
    // Exactly the free space left after the 2000-byte first read fits.
    Bytes largest = Payload(HTTP_BUF_SIZE - 2000, 11);
    script.Data(Frame(1, largest));
    EXPECT_EQ((int)(HTTP_BUF_SIZE - 2000), ReadPacket());
    EXPECT_EQ(largest, PacketBytes());
}

TEST_F(HttpReader, RandomChunkingAndGarbageLoseOnlyGarbage)
{
    srand(42);
    std::vector<Bytes> sent;
    Bytes stream;
    for (int i = 0; i < 300; i++) {
        if (i % 7 == 3) {  // garbage without a start code between frames
            Bytes g(1 + rand() % 3000);
            for (auto &b : g)
                b = (uint8_t)(0x40 + rand() % 64);
            stream.insert(stream.end(), g.begin(), g.end());
        }
        size_t n = (size_t)(rand() % 4) == 0 ? (size_t)(rand() % 200000) : (size_t)(rand() % 3000);
        Bytes p = Payload(n, (uint8_t)i);
        sent.push_back(p);
        Bytes f = Frame(1 + (uint32_t)(i % 3), p, (uint32_t)(i % 2), i);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    size_t pos = 0;
    while (pos < stream.size()) {
        size_t n = std::min(stream.size() - pos, (size_t)(1 + rand() % 70000));
        script.Data(Bytes(stream.begin() + (long)pos, stream.begin() + (long)(pos + n)));
        if (rand() % 3 == 0)
            script.Error(AVERROR(ETIMEDOUT));
        pos += n;
    }
    ::testing::internal::CaptureStderr();
    size_t got = 0;
    int nErrors = 0;
    for (int guard = 0; guard < 100000 && got < sent.size(); guard++) {
        int r = Read();
        if (r >= 0) {
            ASSERT_EQ(sent[got], PacketBytes()) << got;
            EXPECT_EQ((int64_t)got, pkt->pts);
            got++;
        } else if (r == -3) {
            nErrors++;
            break;
        }
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(sent.size(), got);
    EXPECT_EQ(0, nErrors);
}

TEST_F(HttpReader, NullArgumentsAndMissingBuffer)
{
    EXPECT_EQ(-1, http_read_data(nullptr, pkt));
    EXPECT_EQ(-1, http_read_data(ctx, nullptr));
    uint8_t *buf = ctx->pHTTPBuf;
    ctx->pHTTPBuf = nullptr;
    EXPECT_EQ(-1, Read());
    ctx->pHTTPBuf = buf;
    // A fill level that cannot be right is reset rather than trusted.
    ctx->nHTTPBufLen = HTTP_BUF_SIZE + 5;
    script.Data(Frame(1, Payload(10, 1)));
    EXPECT_EQ(10, ReadPacket());
}

TEST(HttpOpen, UnreachableCameraLeavesNothingAllocated)
{
    FFMpegContext *ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
    ctx->bRunning = 1;
    ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
    ::testing::internal::CaptureStderr();
    // Port 1 on the loopback refuses the connection at once.
    EXPECT_EQ(-1, http_open_stream(ctx, "http://127.0.0.1:1/video", "tcp"));
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("tcp avio_open fail avio_open error ret:"));
    EXPECT_EQ(nullptr, ctx->pHTTPBuf);
    EXPECT_EQ(nullptr, ctx->pHttpIoCtx);
    EXPECT_EQ(nullptr, ctx->pVideoCodecCtx);
    http_close_stream(ctx);
    http_close_stream(nullptr);
    MemFree(ctx);
}

namespace {

const std::string kCamera = std::string(IPCAMERA_BINARY_DIR) + "/tests/tools/http_camera/ipcam-test-http";

int Shell(const std::string &cmd)
{
    return system(cmd.c_str());
}

// A camera child process; stopped with SIGTERM when the test ends.
struct Camera {
    pid_t pid = -1;
    std::string url;

    bool Start(const std::vector<std::string> &args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            std::vector<char *> argv;
            argv.push_back((char *)kCamera.c_str());
            for (auto &a : args)
                argv.push_back((char *)a.c_str());
            argv.push_back(nullptr);
            execv(kCamera.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(fds[0]);
        size_t p = line.find("http://");
        if (p == std::string::npos)
            return false;
        url = line.substr(p);
        return true;
    }
    ~Camera()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// Media made once per run with the ffmpeg command-line tool.
class HttpCamera : public ::testing::Test {
protected:
    static std::string s_dir;
    static bool s_ok;

    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/ipcam_httpcam_XXXXXX";
        s_dir = mkdtemp(tmpl) ? tmpl : "";
        const std::string f = "ffmpeg -v error -y ";
        const std::string video = "-f lavfi -i testsrc=size=320x240:rate=25 -t 2 -pix_fmt yuv420p ";
        const std::string tone = "-f lavfi -i sine=frequency=440:sample_rate=";
        s_ok = !s_dir.empty() &&
               Shell(f + video + "-c:v libx264 -g 25 -bf 0 -f h264 " + s_dir + "/v.h264") == 0 &&
               Shell(f + video + "-c:v libx265 -x265-params keyint=25:bframes=0:repeat-headers=1:log-level=error "
                                 "-f hevc " + s_dir + "/v.hevc") == 0 &&
               Shell(f + tone + "8000 -t 2 -c:a pcm_mulaw -f mulaw " + s_dir + "/a.mulaw") == 0 &&
               Shell(f + tone + "8000 -t 2 -c:a pcm_alaw -f alaw " + s_dir + "/a.alaw") == 0 &&
               Shell(f + tone + "16000 -t 2 -c:a g722 -f g722 " + s_dir + "/a.g722") == 0 &&
               Shell(f + tone + "8000 -t 2 -c:a g726 -b:a 16k -f g726 " + s_dir + "/a.g726") == 0 &&
               Shell(f + tone + "16000 -t 2 -c:a aac -f adts " + s_dir + "/a.aac") == 0;
    }
    static void TearDownTestSuite()
    {
        if (!s_dir.empty())
            Shell("rm -rf " + s_dir);
    }

    FFMpegContext *ctx = nullptr;
    AVPacket *pkt = nullptr;

    void SetUp() override
    {
        if (access(kCamera.c_str(), X_OK) != 0)
            GTEST_SKIP() << "ipcam-test-http not built at " << kCamera;
        ASSERT_TRUE(s_ok) << "ffmpeg could not make the test media";
        ctx = (FFMpegContext *)MemAllocZero(sizeof(FFMpegContext));
        ctx->bRunning = 1;
        ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
        pkt = av_packet_alloc();
    }
    void TearDown() override
    {
        av_packet_free(&pkt);
        if (ctx) {
            http_close_stream(ctx);
            MemFree(ctx);
        }
    }
    bool Open(const std::string &url)
    {
        snprintf(ctx->szName, sizeof(ctx->szName), "%s", url.c_str());
        return http_open_stream(ctx, url.c_str(), "http") == 0;
    }
    // Reads until the end of the stream (-3), collecting packets.
    void ReadAll(std::vector<Bytes> *video, std::vector<int> *flags, int *nAudio, int *nData = nullptr)
    {
        for (int guard = 0; guard < 100000; guard++) {
            av_packet_unref(pkt);
            int r = http_read_data(ctx, pkt);
            if (r == -3)
                return;
            if (r < 0)
                continue;
            if (pkt->stream_index == ctx->nVideoIndex) {
                video->emplace_back(pkt->data, pkt->data + pkt->size);
                flags->push_back(pkt->flags);
            } else if (pkt->stream_index == ctx->nAudioIndex) {
                (*nAudio)++;
            } else if (nData) {
                (*nData)++;
            }
        }
    }
    static std::vector<Bytes> SourceUnits(const std::string &path)
    {
        std::vector<Bytes> out;
        AVFormatContext *fmt = nullptr;
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
            return out;
        AVPacket *p = av_packet_alloc();
        while (av_read_frame(fmt, p) >= 0) {
            out.emplace_back(p->data, p->data + p->size);
            av_packet_unref(p);
        }
        av_packet_free(&p);
        avformat_close_input(&fmt);
        return out;
    }
};
std::string HttpCamera::s_dir;
bool HttpCamera::s_ok = false;

}  // namespace

TEST_F(HttpCamera, EveryFrameArrivesIntactAndDecodes)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--audio", s_dir + "/a.mulaw", "--audio-codec", "mulaw",
                           "--burst", "--once", "--data-every", "10"}));
    ASSERT_TRUE(Open(cam.url));
    EXPECT_EQ(320, ctx->nWidth);
    EXPECT_EQ(240, ctx->nHeight);
    EXPECT_EQ(AV_CODEC_ID_H264, ctx->nInVideoCodecId);
    EXPECT_EQ(AV_CODEC_ID_PCM_MULAW, ctx->nInAudioCodecId);
    EXPECT_EQ(0, ctx->nVideoIndex);
    EXPECT_EQ(1, ctx->nAudioIndex);
    EXPECT_EQ(-1, ctx->nDataIndex);
    ASSERT_NE(nullptr, ctx->pVideoCodecCtx);
    ASSERT_NE(nullptr, ctx->pAudioCodecCtx);
    EXPECT_TRUE(ctx->pVideoCodecCtx->flags & AV_CODEC_FLAG_LOW_DELAY);

    std::vector<Bytes> video;
    std::vector<int> flags;
    int nAudio = 0, nData = 0;
    ReadAll(&video, &flags, &nAudio, &nData);
    std::vector<Bytes> src = SourceUnits(s_dir + "/v.h264");
    ASSERT_EQ(src.size(), video.size());
    for (size_t i = 0; i < src.size(); i++)
        ASSERT_EQ(src[i], video[i]) << i;
    EXPECT_EQ(AV_PKT_FLAG_KEY, flags[0]);
    EXPECT_EQ(0, flags[1]);
    EXPECT_GE(nAudio, 45);  // 40 ms pieces of 2 s, cut at the video's end
    EXPECT_GE(nData, 8);  // after every 10th of ~100 frames
}

TEST_F(HttpCamera, AudioCodecsFromTheFirstHeader)
{
    // Type 9 is unknown to the reader and selects G.711 mu-law; "none"
    // is a camera without sound.
    struct Case {
        const char *codec;
        const char *type;
        enum AVCodecID id;
        int rate;
    } cases[] = {
        {"mulaw", nullptr, AV_CODEC_ID_PCM_MULAW, 8000}, {"alaw", nullptr, AV_CODEC_ID_PCM_ALAW, 8000},
        {"g722", nullptr, AV_CODEC_ID_ADPCM_G722, 16000}, {"g726", nullptr, AV_CODEC_ID_ADPCM_G726, 8000},
        {"aac", nullptr, AV_CODEC_ID_AAC, 16000},        {"alaw", "9", AV_CODEC_ID_PCM_MULAW, 8000},
        {"none", nullptr, AV_CODEC_ID_NONE, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.codec) + (c.type ? " as type 9" : ""));
        std::vector<std::string> args = {"--video", s_dir + "/v.hevc", "--once", "--close-after", "30", "--burst"};
        if (c.id == AV_CODEC_ID_NONE) {
            args.push_back("--no-audio");
        } else {
            args.insert(args.end(), {"--audio", s_dir + "/a." + c.codec, "--audio-codec", c.codec});
        }
        if (c.type)
            args.insert(args.end(), {"--audio-type", c.type});
        Camera cam;
        ASSERT_TRUE(cam.Start(args));
        ASSERT_TRUE(Open(cam.url));
        EXPECT_EQ(AV_CODEC_ID_HEVC, ctx->nInVideoCodecId);
        EXPECT_EQ(c.id, ctx->nInAudioCodecId);
        if (c.id == AV_CODEC_ID_NONE) {
            EXPECT_EQ(-1, ctx->nAudioIndex);
            EXPECT_EQ(nullptr, ctx->pAudioCodecCtx);
        } else {
            ASSERT_NE(nullptr, ctx->pAudioCodecCtx);
            EXPECT_EQ(c.rate, ctx->pAudioCodecCtx->sample_rate);
            if (c.id == AV_CODEC_ID_ADPCM_G726) {
                EXPECT_EQ(2, ctx->pAudioCodecCtx->bits_per_coded_sample);
            }
            // An audio packet decodes to sound with the opened context.
            AVFrame *f = av_frame_alloc();
            int samples = 0;
            for (int i = 0; i < 200 && samples == 0; i++) {
                av_packet_unref(pkt);
                int r = http_read_data(ctx, pkt);
                if (r == -3)
                    break;
                int got = 0;
                if (r > 0 && pkt->stream_index == 1 && FFCompatDecode(ctx->pAudioCodecCtx, f, &got, pkt) >= 0 &&
                    got)
                    samples = f->nb_samples;
            }
            EXPECT_GT(samples, 0);
            av_frame_free(&f);
        }
        http_close_stream(ctx);
        memset(ctx, 0, sizeof(*ctx));
        ctx->bRunning = 1;
        ctx->nVideoIndex = ctx->nAudioIndex = ctx->nDataIndex = -1;
    }
}

TEST_F(HttpCamera, StalledCameraTimesOutThenResumes)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.h264", "--no-audio", "--burst", "--once", "--stall-after", "5",
                           "--stall-ms", "6500", "--close-after", "12"}));
    ASSERT_TRUE(Open(cam.url));
    ::testing::internal::CaptureStderr();
    int nPackets = 0, nTimeouts = 0;
    for (int guard = 0; guard < 1000; guard++) {
        av_packet_unref(pkt);
        int r = http_read_data(ctx, pkt);
        if (r == -3)
            break;
        if (r == -2)
            nTimeouts++;
        if (r >= 0)
            nPackets++;
    }
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(12, nPackets);
    EXPECT_GE(nTimeouts, 1);
    // The time-out ends either a read that got nothing or one that got part.
    EXPECT_TRUE(log.find("-138 eof_reached:") != std::string::npos || log.find(" need:") != std::string::npos)
        << log;
}

TEST_F(HttpCamera, ContextCreateAndDestroyOnAStalledCamera)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.hevc", "--audio", s_dir + "/a.g726", "--audio-codec", "g726",
                           "--once", "--stall-after", "20", "--stall-ms", "-1"}));
    MemFree(ctx);
    ctx = nullptr;
    FFMpegContext *c = FFMpegContextCreate(nullptr, cam.url.c_str(), 2, nullptr, 0, 1);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(1, c->bHttpRaw);
    EXPECT_EQ(320, AtomicGet(&c->nWidth));
    EXPECT_EQ(AV_CODEC_ID_HEVC, c->nInVideoCodecId);
    EXPECT_EQ(AV_CODEC_ID_ADPCM_G726, c->nInAudioCodecId);
    SleepMs(1500);  // 20 frames at 25 fps, then silence
    uint32_t t0 = TickCount();
    FFMpegContextDestroy(c);
    EXPECT_LT((uint32_t)(TickCount() - t0), 2000u);
}

TEST_F(HttpCamera, MarkerSeiKeyFramesPassTheProbes)
{
    Camera cam;
    ASSERT_TRUE(cam.Start({"--video", s_dir + "/v.hevc", "--no-audio", "--burst", "--once", "--marker-sei"}));
    ASSERT_TRUE(Open(cam.url));
    std::vector<Bytes> video;
    std::vector<int> flags;
    int nAudio = 0;
    ReadAll(&video, &flags, &nAudio);
    ASSERT_EQ(50u, video.size());
    int nKeys = 0;
    for (size_t i = 0; i < video.size(); i++) {
        AVPacket p;
        memset(&p, 0, sizeof(p));
        p.data = video[i].data();
        p.size = (int)video[i].size();
        HevcSpsProbe probe;
        int key = flags[i] == AV_PKT_FLAG_KEY;
        nKeys += key;
        EXPECT_EQ(key, probe_sei(&p)) << i;
        EXPECT_EQ(key ? 0 : -1, find_hevc_sps(&p, &probe)) << i;
        if (key) {
            EXPECT_EQ(320u, probe.info.nWidth);
            EXPECT_EQ(240u, probe.info.nHeight);
        }
    }
    EXPECT_EQ(2, nKeys);  // 2 s with a key frame every 25
}
