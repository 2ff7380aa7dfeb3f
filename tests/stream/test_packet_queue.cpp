// The packet queue between the read and the decode thread: a producer and
// a consumer thread; each queued packet a deep copy the producer may free
// at once. (Hardware set-up falling back to software is exercised by every
// H.265 stream the end-to-end tests play.)

#include <gtest/gtest.h>

#include <string.h>

#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "stream/FFMpegContext.h"
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
