// Runs a decode thread routine on a hand-built stream context whose queue
// the test fills itself, so what goes in is exact. Events travel the real
// chain: session forward, camera dispatch, registered callbacks.
#ifndef IPCAMERA_TESTS_DECODEHARNESS_H
#define IPCAMERA_TESTS_DECODEHARNESS_H

#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../stream/MediaGen.h"
#include "decode/DecodeThread.h"
#include "ipcamera/IpCamera.h"
#include "ipcamera/VideoSession.h"
#include "stream/FFmpegCompat.h"
#include "stream/PacketQueue.h"
#include "support/List.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace harness {

struct Sink {
    std::mutex m;
    int frames = 0;
    int lastW = 0, lastH = 0;
    std::vector<unsigned char> first;  // copy of the first real picture
    int firstW = 0, firstH = 0;
    int planar = 0;

    size_t Bytes(int w, int h) const { return planar ? (size_t)w * h * 3 / 2 : (size_t)w * h * 3; }
};

inline int OnVideo(void *, void *user, unsigned char *frame, int w, int h)
{
    Sink *s = (Sink *)user;
    std::lock_guard<std::mutex> g(s->m);
    if (frame == nullptr || w == 0 || h == 0)
        return 0;
    s->frames++;
    s->lastW = w;
    s->lastH = h;
    if (s->first.empty()) {
        s->first.assign(frame, frame + s->Bytes(w, h));
        s->firstW = w;
        s->firstH = h;
    }
    return 0;
}

// Decoder opened from a file's best video stream with one thread, so
// every packet yields its picture at once.
class HandStream {
public:
    FFMpegContext ctx;
    CIpCamera cam;
    CVideoSession &session = cam.m_VideoSession;  // the camera's own, so events reach its callbacks
    Sink sink;
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
        FFCompatFreeContext(&ctx.pAudioCodecCtx);
        avformat_close_input(&fmt);
        session.m_pOwner = nullptr;
        session.m_bD3DDisplay = 0;
    }

    bool Open(const std::string &path, int planar)
    {
        if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(fmt, nullptr) < 0)
            return false;
        const AVCodec *codec = nullptr;
        int vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (vi < 0)
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
        ctx.nAudioIndex = -1;
        ctx.nDataIndex = -1;
        ctx.nInVideoCodecId = codec->id;
        ctx.nWidth = fmt->streams[vi]->codecpar->width;
        ctx.nHeight = fmt->streams[vi]->codecpar->height;
        snprintf(ctx.szName, sizeof(ctx.szName), "%s", path.c_str());
        ctx.pPktList = (List *)MemAllocZero(sizeof(List));
        ctx.hPktListMutex = MutexCreate();
        ctx.hSaveMutex = MutexCreate();
        session.m_pOwner = &cam;
        session.m_bD3DDisplay = planar;
        sink.planar = planar;
        cam.SetVideoBufCallBack(OnVideo, &sink);
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
        thread = ThreadCreate(sink.planar ? ThreadFFmpegDecodeD3D : ThreadFFmpegDecode, &ctx);
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

    // Waits until the decode thread has taken every queued packet and
    // handled it (a little grace after the queue ran empty).
    void Drain(int timeoutMs = 10000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (GetAVPktListElmCount(&ctx) > 0 && AtomicGet(&ctx.bRunning) &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    int Frames()
    {
        std::lock_guard<std::mutex> g(sink.m);
        return sink.frames;
    }
};

inline void FreePackets(std::vector<AVPacket *> &v)
{
    for (AVPacket *&p : v)
        av_packet_free(&p);
    v.clear();
}

}  // namespace harness

#endif
