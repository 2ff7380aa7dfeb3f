// Packet queue between the read and the decode thread: deep copies, order,
// count, clearing and release.

#include <gtest/gtest.h>

#include <string.h>

#include <thread>

#include "stream/PacketQueue.h"
#include "support/List.h"
#include "support/Thread.h"

namespace {

struct QueueFixture : ::testing::Test {
    FFMpegContext ctx;
    void SetUp() override
    {
        memset(&ctx, 0, sizeof(ctx));
        ctx.pPktList = (List *)MemAllocZero(sizeof(List));
        ctx.hPktListMutex = MutexCreate();
        ASSERT_NE(ctx.pPktList, nullptr);
        ASSERT_NE(ctx.hPktListMutex, nullptr);
    }
    void TearDown() override
    {
        ListDestroy(ctx.pPktList, FreeAVPkt);
        MutexDestroy(ctx.hPktListMutex);
    }
};

// A refcounted source packet with the given payload bytes.
AVPacket *MakePacket(const uint8_t *data, int size, int stream, int flags, int64_t pts)
{
    AVPacket *p = av_packet_alloc();
    EXPECT_EQ(av_new_packet(p, size), 0);
    if (size > 0)
        memcpy(p->data, data, (size_t)size);
    p->stream_index = stream;
    p->flags = flags;
    p->pts = pts;
    p->dts = pts - 1;
    p->duration = 40;
    p->pos = 1234;
    uint8_t *sd = av_packet_new_side_data(p, AV_PKT_DATA_NEW_EXTRADATA, 8);
    EXPECT_NE(sd, nullptr);
    return p;
}

TEST_F(QueueFixture, DeepCopyKeepsFieldsOrderAndPadding)
{
    uint8_t a[5] = {1, 2, 3, 4, 5};
    uint8_t b[3] = {9, 8, 7};
    AVPacket *pa = MakePacket(a, 5, 0, AV_PKT_FLAG_KEY, 100);
    AVPacket *pb = MakePacket(b, 3, 1, 0, 200);
    ASSERT_EQ(PutAVPktList(&ctx, pa), 0);
    ASSERT_EQ(PutAVPktList(&ctx, pb), 0);
    // The producer drops and scribbles over its own packets right away.
    memset(pa->data, 0xEE, 5);
    av_packet_free(&pa);
    av_packet_free(&pb);
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 2);

    AVPacket *e = GetAVPktList(&ctx);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 5);
    EXPECT_EQ(memcmp(e->data, a, 5), 0);
    for (int i = 0; i < PKT_QUEUE_PADDING; i++)
        ASSERT_EQ(e->data[5 + i], 0) << "padding byte " << i;
    EXPECT_GE(PKT_QUEUE_PADDING, 32);
    EXPECT_EQ(e->stream_index, 0);
    EXPECT_EQ(e->flags, AV_PKT_FLAG_KEY);
    EXPECT_EQ(e->pts, 100);
    EXPECT_EQ(e->dts, 99);
    EXPECT_EQ(e->duration, 40);
    EXPECT_EQ(e->pos, 1234);
    EXPECT_EQ(e->buf, nullptr);
    EXPECT_EQ(e->side_data, nullptr);
    EXPECT_EQ(e->side_data_elems, 0);
    FreeAVPkt(e);

    e = GetAVPktList(&ctx);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 3);
    EXPECT_EQ(memcmp(e->data, b, 3), 0);
    EXPECT_EQ(e->stream_index, 1);
    FreeAVPkt(e);

    EXPECT_EQ(GetAVPktList(&ctx), nullptr);
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 0);
}

TEST_F(QueueFixture, ZeroSizePacketGetsZeroPayload)
{
    AVPacket *p = av_packet_alloc();
    p->stream_index = 2;
    ASSERT_EQ(PutAVPktList(&ctx, p), 0);
    av_packet_free(&p);
    AVPacket *e = GetAVPktList(&ctx);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 0);
    ASSERT_NE(e->data, nullptr);
    for (int i = 0; i < 32; i++)
        ASSERT_EQ(e->data[i], 0);
    FreeAVPkt(e);
}

TEST_F(QueueFixture, ClearEmptiesAndReleases)
{
    uint8_t d[100] = {0};
    for (int i = 0; i < 150; i++) {
        AVPacket *p = MakePacket(d, 100, 0, 0, i);
        ASSERT_EQ(PutAVPktList(&ctx, p), 0);
        av_packet_free(&p);
    }
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 150);
    EXPECT_EQ(ClearAVPktList(&ctx), 0);
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 0);
    EXPECT_EQ(GetAVPktList(&ctx), nullptr);
    // Leaks of the released elements show under the sanitizer build.
    FreeAVPkt(nullptr);
}

TEST_F(QueueFixture, ProducerAndConsumerThreadsKeepOrder)
{
    const int N = 2000;
    std::thread producer([&] {
        for (int i = 0; i < N; i++) {
            uint8_t d[4];
            memcpy(d, &i, 4);
            AVPacket *p = MakePacket(d, 4, 0, 0, i);
            PutAVPktList(&ctx, p);
            av_packet_free(&p);
        }
    });
    int next = 0;
    while (next < N) {
        AVPacket *e = GetAVPktList(&ctx);
        if (e == nullptr) {
            std::this_thread::yield();
            continue;
        }
        int v;
        memcpy(&v, e->data, 4);
        ASSERT_EQ(v, next);
        ASSERT_EQ(e->pts, next);
        FreeAVPkt(e);
        next++;
    }
    producer.join();
    EXPECT_EQ(GetAVPktListElmCount(&ctx), 0);
}

}  // namespace
