// Pieces of the stream layer without a network: the packet queue between
// the read and the decode thread (a producer and a consumer thread; each
// queued packet a deep copy the producer may free at once), and the
// software fallback of this machine's real hardware set-up.

#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "stream/FFMpegContext.h"
#include "stream/HwDecode.h"
#include "stream/PacketQueue.h"
#include "support/List.h"
#include "support/Thread.h"

TEST(PacketQueue, ProducerAndConsumerThreadsKeepOrderAndPayload)
{
    FFMpegContext ctx;
    memset(&ctx, 0, sizeof(ctx));
    ctx.pPktList = (List *)MemAllocZero(sizeof(List));
    ctx.hPktListMutex = MutexCreate();
    ASSERT_NE(ctx.pPktList, nullptr);
    const int N = 2000;
    std::thread producer([&] {
        for (int i = 0; i < N; i++) {
            AVPacket *p = av_packet_alloc();
            av_new_packet(p, 4);
            memcpy(p->data, &i, 4);
            p->pts = i;
            p->flags = i & 1;
            PutAVPktList(&ctx, p);
            // The queue holds its own copy: scribble over and free ours.
            memset(p->data, 0xEE, 4);
            av_packet_free(&p);
        }
    });
    for (int next = 0; next < N;) {
        AVPacket *e = GetAVPktList(&ctx);
        if (e == nullptr) {
            std::this_thread::yield();
            continue;
        }
        int v;
        memcpy(&v, e->data, 4);
        ASSERT_EQ(v, next);
        ASSERT_EQ(e->pts, next);
        ASSERT_EQ(e->flags, next & 1);
        FreeAVPkt(e);
        next++;
    }
    producer.join();
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 0);
    ListDestroy(ctx.pPktList, FreeAVPkt);
    MutexDestroy(ctx.hPktListMutex);
}

TEST(SetHwDeviceCtx, RealPathFallsBackToSoftwareWithoutGpu)
{
    AVCodecContext *c = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_HEVC));
    ::testing::internal::CaptureStderr();
    int r = set_hwdevice_ctx(c);
    std::string log = ::testing::internal::GetCapturedStderr();
    struct stat st;
    if (stat("/dev/dri", &st) != 0) {
        EXPECT_EQ(-1, r);
        EXPECT_NE(std::string::npos, log.find("This pc do not have d3d9.dll."));
    }
    // Either way the context is consistent and still opens as a decoder.
    EXPECT_EQ(r == 0, c->hw_device_ctx != nullptr);
    EXPECT_EQ(0, avcodec_open2(c, avcodec_find_decoder(AV_CODEC_ID_HEVC), nullptr));
    avcodec_free_context(&c);
}
