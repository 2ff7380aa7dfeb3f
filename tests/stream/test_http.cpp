// The raw HTTP frame reader through a scripted byte stream: oversized
// lengths and the buffer bound, and a long stream cut at random with
// garbage and time-outs between the pieces. (Opening, the end of a stream
// and every fault of the HTTP test camera run end to end in tests/e2e.)

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/mem.h>
}

#include "stream/FFMpegContext.h"
#include "stream/HttpRaw.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// One frame: header (start code, filler in the uninterpreted bytes, the
// fields little-endian) and payload. The length may be overridden.
Bytes Frame(uint32_t type, const Bytes &payload, uint32_t kind = 0, int64_t ts = 0, int64_t len = -1)
{
    Bytes f(HTTP_FRAME_HEADER_SIZE, 0);
    for (int i = 4; i < 48; i++)
        f[(size_t)i] = (uint8_t)(0xA0 + i);
    const uint64_t fields[] = {0x00112233u, type, len >= 0 ? (uint64_t)len : payload.size(), 3, kind, 1280, 720, 2,
                               8000};
    const int at[] = {0, 48, 52, 56, 60, 64, 68, 72, 76};
    for (int k = 0; k < 9; k++)
        for (int b = 0; b < 4; b++)
            f[(size_t)(at[k] + b)] = (uint8_t)(fields[k] >> (8 * b));
    for (int b = 0; b < 8; b++)
        f[(size_t)(80 + b)] = (uint8_t)((uint64_t)ts >> (8 * b));
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

// Scripted byte stream: each step is a chunk of data or an error code.
// Past the script the camera is idle: every read times out.
struct Script {
    struct Step {
        Bytes data;
        int err;  // 0 = data
    };
    std::deque<Step> steps;

    void Data(const Bytes &b) { steps.push_back({b, 0}); }
    void Error(int e) { steps.push_back({Bytes(), e}); }

    static int Read(void *opaque, uint8_t *buf, int size)
    {
        Script *s = (Script *)opaque;
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

TEST_F(HttpReader, OversizedLengthsResynchronise)
{
    // Lengths that would wrap a 32-bit sum, exceed the buffer, or just pass
    // the free space: each drops what is held; the next frame is found.
    const uint32_t lens[] = {0xFFFFFFFFu, 0x80000000u, HTTP_BUF_SIZE, HTTP_BUF_SIZE - 2000 + 1};
    for (uint32_t len : lens) {
        Bytes bad = Frame(1, Bytes(), 0, 0, len);
        bad.resize(2000, 0x21);  // filler up to the first read
        script.Data(bad);
        Bytes good = Payload(64, (uint8_t)len);
        Bytes next = Frame(1, good, 0, 9);
        next.insert(next.begin(), 7, 0x61);  // garbage first
        script.Data(next);
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
