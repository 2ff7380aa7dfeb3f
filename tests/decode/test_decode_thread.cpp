// The decode threads on a hand-fed stream: the test fills the queue itself,
// so what goes in is exact, and events travel the real chain (session
// forward, camera dispatch, callbacks): corrupt packets, and the built-in
// H.265 decoder going on after each packet's flush. (Pictures of every
// layout and format, data, the decode switch, pause, smooth stream, audio,
// stopping with packets in flight and the choice of H.265 decoder are
// played end to end in tests/e2e.)

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "MediaGen.h"
#include "decode/DecodeThread.h"
#include "decode/HevcSelect.h"
#include "decode/PictureOut.h"
#include "ipcamera/IpCamera.h"
#include "ipcamera/VideoSession.h"
#include "stream/FFmpegCompat.h"
#include "stream/PacketQueue.h"
#include "support/List.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

// Pictures the camera's video callback received.
int OnVideo(void *, void *user, unsigned char *frame, int w, int h)
{
    if (frame != nullptr && w > 0 && h > 0)
        ++*(std::atomic<int> *)user;
    return 0;
}

// A file's best video stream, its decoder opened with one thread (every
// packet yields its picture at once), and a decode thread of the camera's
// own session on a queue the test fills.
class HandStream {
public:
    FFMpegContext ctx;
    CIpCamera cam;
    CVideoSession &session = cam.m_VideoSession;
    std::atomic<int> frames{0};
    int planar = 0;
    AVFormatContext *fmt = nullptr;
    Thread *thread = nullptr;

    HandStream() { memset(&ctx, 0, sizeof(ctx)); }
    ~HandStream()
    {
        Stop();
        ListDestroy(ctx.pPktList, FreeAVPkt);
        MutexDestroy(ctx.hPktListMutex);
        MutexDestroy(ctx.hSaveMutex);
        FFCompatFreeContext(&ctx.pVideoCodecCtx);
        avformat_close_input(&fmt);
        session.m_pOwner = nullptr;
        session.m_bD3DDisplay = 0;
    }
    bool Open(const std::string &path, int planar)
    {
        const AVCodec *codec = nullptr;
        int vi = -1;
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(fmt, nullptr) < 0 ||
            (vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0)) < 0)
            return false;
        ctx.pVideoCodecCtx = FFCompatAllocStreamContext(fmt->streams[vi], codec);
        AVDictionary *o = nullptr;
        av_dict_set(&o, "threads", "1", 0);
        int r = avcodec_open2(ctx.pVideoCodecCtx, codec, &o);
        av_dict_free(&o);
        if (r < 0)
            return false;
        ctx.pSession = &session;
        ctx.bRunning = 1;
        ctx.nVideoIndex = vi;
        ctx.nAudioIndex = ctx.nDataIndex = -1;
        ctx.nInVideoCodecId = codec->id;
        ctx.nWidth = fmt->streams[vi]->codecpar->width;
        ctx.nHeight = fmt->streams[vi]->codecpar->height;
        snprintf(ctx.szName, sizeof(ctx.szName), "%s", path.c_str());
        ctx.pPktList = (List *)MemAllocZero(sizeof(List));
        ctx.hPktListMutex = MutexCreate();
        ctx.hSaveMutex = MutexCreate();
        session.m_pOwner = &cam;
        session.m_bD3DDisplay = planar;
        this->planar = planar;
        cam.SetVideoBufCallBack(OnVideo, &frames);
        return true;
    }
    // Every video packet of the file, in order (copies the caller frees).
    std::vector<AVPacket *> ReadVideo()
    {
        std::vector<AVPacket *> v;
        AVPacket *p = av_packet_alloc();
        while (av_read_frame(fmt, p) >= 0) {
            if (p->stream_index == ctx.nVideoIndex)
                v.push_back(av_packet_clone(p));
            av_packet_unref(p);
        }
        av_packet_free(&p);
        return v;
    }
    void Queue(const AVPacket *p) { PutAVPktList(&ctx, p); }
    void Queue(const std::vector<AVPacket *> &v)
    {
        for (AVPacket *p : v)
            Queue(p);
    }
    void Start()
    {
        thread = ThreadCreate(planar ? ThreadFFmpegDecodeD3D : ThreadFFmpegDecode, &ctx);
        ASSERT_NE(thread, nullptr);
    }
    void Stop()
    {
        if (thread == nullptr)
            return;
        AtomicSet(&ctx.bRunning, 0);
        ThreadJoin(thread);
        MemFree(thread);
        thread = nullptr;
    }
    // Until the thread has taken and handled every queued packet.
    void Drain()
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (GetAVPktListElmCount(&ctx) > 0 && AtomicGet(&ctx.bRunning) && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    int Frames() { return frames.load(); }
};

void FreePackets(std::vector<AVPacket *> &v)
{
    for (AVPacket *&p : v)
        av_packet_free(&p);
    v.clear();
}

AVPacket *Junk(int flags, unsigned seed)
{
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, 2048);
    for (int i = 0; i < 2048; i++)
        p->data[i] = (uint8_t)((seed = seed * 1103515245u + 12345u) >> 16);
    p->flags = flags;
    return p;
}

TEST(DecodeBehaviour, ClassicWithholdsPicturesAfterAnErrorUntilAKeyPacket)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    HandStream s;
    // Key frames at packets 0 and 10.
    ASSERT_TRUE(s.Open(mediagen::Video("behave_h264.mp4", 160, 120, 20, "yuv420p", "-c:v libx264 -bf 0 -g 10"), 0));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    ::testing::internal::CaptureStderr();
    s.Start();
    for (int i = 0; i < 3; i++)
        s.Queue(pkts[i]);
    // An empty-looking packet that the decoder rejects.
    AVPacket *bad = av_packet_alloc();
    av_new_packet(bad, 16);
    memset(bad->data, 0, 16);
    bad->data[3] = 1;
    bad->data[4] = 0x67;  // an SPS that is all zeros: invalid
    s.Queue(bad);
    for (int i = 3; i < 20; i++)
        s.Queue(pkts[i]);
    s.Drain();
    s.Stop();
    std::string log = ::testing::internal::GetCapturedStderr();
    // Packets 0-2 show; after the error 3-9 are withheld; 10-19 show again.
    EXPECT_NE(log.find("error while decoding frame"), std::string::npos) << log;
    EXPECT_EQ(s.Frames(), 13);
    av_packet_free(&bad);
    FreePackets(pkts);
}

TEST(DecodeBehaviour, PlanarSurvivesTenCorruptPacketsAndStopsAtTheEleventh)
{
    if (!mediagen::HaveFfmpeg())
        GTEST_SKIP() << "ffmpeg command-line tool not installed";
    HandStream s;
    ASSERT_TRUE(s.Open(mediagen::Video("behave_mpeg4.avi", 160, 120, 10, "yuv420p", "-c:v mpeg4 -g 5 -bf 0"), 1));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    AtomicSet(&s.ctx.bDecodeEnable, 1);
    ::testing::internal::CaptureStderr();
    s.Start();
    std::vector<AVPacket *> junk;
    for (int i = 0; i < 10; i++)
        junk.push_back(Junk(AV_PKT_FLAG_KEY, 100 + i));
    s.Queue(junk);
    s.Queue(pkts[0]);  // a good key packet resets the count
    s.Drain();
    EXPECT_EQ(AtomicGet(&s.ctx.bRunning), 1);
    EXPECT_EQ(s.Frames(), 1);
    s.Queue(junk);
    s.Drain();
    EXPECT_EQ(AtomicGet(&s.ctx.bRunning), 1);
    AVPacket *eleventh = Junk(AV_PKT_FLAG_KEY, 999);
    s.Queue(eleventh);
    s.Queue(pkts[0]);
    s.Drain();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(AtomicGet(&s.ctx.bRunning), 0);
    EXPECT_NE(log.find("got_picture:0 retry:11"), std::string::npos) << log;
    // The thread has ended on its own; Stop only joins it.
    s.Stop();
    EXPECT_EQ(s.Frames(), 1);
    av_packet_free(&eleventh);
    FreePackets(junk);
    FreePackets(pkts);
}

// The planar thread flushes the real decoder after every packet; the next
// packet must go on from the same stream. P pictures well past the point
// where the picture order count needs the previous picture (128 with x265's
// 8-bit order count) keep their order count and references.
TEST(HevcPlanar, DecodeGoesOnAfterEachPacketsFlush)
{
    const int kFrames = 140;
    std::string path = mediagen::HevcClip("longgop", 64, 64, kFrames,
                                          "--keyint 300 --min-keyint 300 --no-scenecut --bframes 0 --ref 1");
    if (path.empty())
        GTEST_SKIP() << "x265 or ffmpeg command-line tool not installed";
    HandStream s;
    ASSERT_TRUE(s.Open(path, 1));
    std::vector<AVPacket *> pkts = s.ReadVideo();
    ASSERT_EQ((int)pkts.size(), kFrames);

    // As the planar thread makes it, but with room for the two references
    // x265 keeps in every P picture's set even with --ref 1.
    HevcSetDecoderApi(nullptr);
    IHW265D_INIT_PARAM param;
    HevcFillInitParam(&param, 64, 64, 1);
    param.iMaxRefNum = 2;
    IH265DEC_HANDLE h = nullptr;
    ASSERT_EQ(IHW265D_Create(&h, &param), 0u);
    s.ctx.hHevcDecoder = h;
    HevcPlanar hp;
    HevcPlanarInit(&hp);
    hp.hsDecoder = 1;
    hp.hasSei = 1;
    AVFrame *frame = av_frame_alloc();
    int wait = 0, pictures = 0;
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < kFrames; i++) {
        int r = HevcPlanarDecode(&hp, &s.ctx, pkts[i], frame, &wait);
        if (r != HEVC_DEC_PICTURE || hp.drain.stOut.iPicOrderCnt != i) {
            ADD_FAILURE() << "packet " << i << ": result " << r << ", order count " << hp.drain.stOut.iPicOrderCnt;
            break;
        }
        pictures++;
    }
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(pictures, kFrames) << log;
    EXPECT_EQ(hp.hsDecoder, 1);
    EXPECT_EQ(s.ctx.bRunning, 1);
    av_frame_free(&frame);
    HevcPlanarFree(&hp);
    HevcDeleteDecoder(&s.ctx);
    FreePackets(pkts);
}

}  // namespace
