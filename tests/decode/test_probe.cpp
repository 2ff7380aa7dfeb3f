// H.265 probes: the marker-SEI scan, the parameter-set scan and SPS parse on
// real x265 output (size checked against FFmpeg's decoder), and hostile
// packets placed right before an unreadable page so that any read past the
// packet faults. (fuzz/probe_fuzz drives the probes with cut and random
// packets at length.)

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "MediaGen.h"
#include "decode/HevcProbe.h"

namespace {

// Bytes copied to the very end of a readable mapping; the page after it is
// PROT_NONE, so reading one byte too far crashes the test.
struct GuardedBytes {
    uint8_t *pBase = nullptr;
    size_t nMap = 0;
    uint8_t *pData = nullptr;

    explicit GuardedBytes(const std::vector<uint8_t> &v)
    {
        size_t nPage = (size_t)sysconf(_SC_PAGESIZE);
        size_t nPages = (v.size() + nPage - 1) / nPage + 1;
        nMap = (nPages + 1) * nPage;
        void *p = mmap(nullptr, nMap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            abort();
        pBase = (uint8_t *)p;
        mprotect(pBase + nPages * nPage, nPage, PROT_NONE);
        pData = pBase + nPages * nPage - v.size();
        if (!v.empty())
            memcpy(pData, v.data(), v.size());
    }
    ~GuardedBytes() { munmap(pBase, nMap); }
    AVPacket Packet(int nSize)
    {
        AVPacket pkt;
        memset(&pkt, 0, sizeof(pkt));
        pkt.data = pData;
        pkt.size = nSize;
        return pkt;
    }
};

// Prefix SEI (type 39), payload type 229, one byte of payload.
const std::vector<uint8_t> kMarkerSei = {0, 0, 0, 1, 0x4E, 0x01, 0xE5, 0x01, 0x00, 0x80};

// The first access unit of an Annex B file (its key picture), as FFmpeg's
// parser cuts it; empty on failure.
std::vector<uint8_t> FirstUnit(const std::string &path)
{
    std::vector<uint8_t> v;
    AVFormatContext *fmt = nullptr;
    if (path.empty() || avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0)
        return v;
    AVPacket *pkt = av_packet_alloc();
    if (av_read_frame(fmt, pkt) >= 0 && (pkt->flags & AV_PKT_FLAG_KEY))
        v.assign(pkt->data, pkt->data + pkt->size);
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return v;
}

// Coded size (before the conformance window) as FFmpeg's decoder sees it.
bool FfmpegCodedSize(const std::vector<uint8_t> &au, int *w, int *h)
{
    const AVCodec *dec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    AVCodecContext *c = avcodec_alloc_context3(dec);
    bool ok = false;
    if (c && avcodec_open2(c, dec, nullptr) == 0) {
        AVPacket *pkt = av_packet_alloc();
        av_new_packet(pkt, (int)au.size());
        memcpy(pkt->data, au.data(), au.size());
        AVFrame *f = av_frame_alloc();
        // Drain: with B-frames the first picture leaves only at the end.
        if (avcodec_send_packet(c, pkt) == 0 && avcodec_send_packet(c, nullptr) == 0 &&
            avcodec_receive_frame(c, f) == 0) {
            *w = c->coded_width;
            *h = c->coded_height;
            ok = true;
        }
        av_frame_free(&f);
        av_packet_free(&pkt);
    }
    avcodec_free_context(&c);
    return ok;
}

std::vector<uint8_t> WithMarker(const std::vector<uint8_t> &au)
{
    std::vector<uint8_t> v = kMarkerSei;
    v.insert(v.end(), au.begin(), au.end());
    return v;
}

class X265Stream : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (system("x265 --version > /dev/null 2>&1") != 0 || !mediagen::HaveFfmpeg())
            GTEST_SKIP() << "x265 or ffmpeg command-line tool not installed";
    }
    std::vector<uint8_t> Encode(const char *tag, int w, int h, const std::string &extra = "",
                                const char *pixFmt = "yuv420p")
    {
        return FirstUnit(mediagen::HevcClip(std::string("probe_") + tag, w, h, 1, "--keyint 4 " + extra, pixFmt));
    }
};

}  // namespace

TEST_F(X265Stream, SpsSizeMatchesFfmpegCodedSize)
{
    // 1918x1078 is padded to 1920x1080 and cropped by the conformance window:
    // the probe reports the coded size, like FFmpeg's coded_width/height.
    // The size fields come before the bit depth: a Main 10 SPS parses alike.
    const std::string main10 = "--input-depth 10 --output-depth 10 --profile main10";
    const struct {
        int w, h;
        const char *tag;
        std::string opts;
        const char *pixFmt;
    } sizes[] = {
        {352, 288, "plain", "", "yuv420p"},   {1920, 1080, "plain", "", "yuv420p"},
        {1918, 1078, "plain", "", "yuv420p"}, {64, 64, "plain", "", "yuv420p"},
        {720, 576, "plain", "", "yuv420p"},   {1366, 768, "main10", main10, "yuv420p10le"},
    };
    for (auto &s : sizes) {
        SCOPED_TRACE(std::string(s.tag) + " " + std::to_string(s.w) + "x" + std::to_string(s.h));
        std::vector<uint8_t> key = Encode(s.tag, s.w, s.h, s.opts, s.pixFmt);
        int cw = 0, ch = 0;
        ASSERT_TRUE(FfmpegCodedSize(key, &cw, &ch)) << "x265 or ffmpeg could not make the stream";

        std::vector<uint8_t> au = WithMarker(key);
        GuardedBytes g(au);
        AVPacket pkt = g.Packet((int)au.size());
        EXPECT_EQ(1, probe_sei(&pkt));
        HevcSpsProbe probe;
        ASSERT_EQ(0, find_hevc_sps(&pkt, &probe));
        EXPECT_EQ((uint32_t)cw, probe.info.nWidth);
        EXPECT_EQ((uint32_t)ch, probe.info.nHeight);
        if (s.w % 8 != 0) {
            EXPECT_GT(probe.info.nWidth, (uint32_t)s.w);  // padded to whole coding blocks
        }

        // Without the marker neither probe accepts the stream for the
        // built-in decoder, though the parameter sets are found.
        GuardedBytes g2(key);
        AVPacket raw = g2.Packet((int)key.size());
        EXPECT_EQ(0, probe_sei(&raw));
        EXPECT_EQ(-1, find_hevc_sps(&raw, &probe));
        EXPECT_EQ(0, probe.bSei);
        EXPECT_GT(probe.nSpsPos, 0);
        EXPECT_GT(probe.nPpsPos, probe.nSpsPos);
    }
}

TEST(ProbeHostile, RandomZeroAndEmulationHeavyPackets)
{
    srand(1234);
    for (int iter = 0; iter < 2000; iter++) {
        int n = rand() % 700;
        std::vector<uint8_t> v((size_t)n);
        int mode = iter % 4;
        for (int i = 0; i < n; i++) {
            if (mode == 0)
                v[(size_t)i] = (uint8_t)rand();
            else if (mode == 1)
                v[(size_t)i] = 0;
            else  // start codes, parameter-set headers and 00 00 03 runs
                v[(size_t)i] = (uint8_t)((const int[]){0, 0, 0, 1, 3, 0x42, 0x44, 0x4E, 0xE5, 0xFF})[rand() % 10];
        }
        if (mode == 3 && n > 40) {
            // A plausible layout: junk, SEI, SPS made of zeros, PPS.
            std::vector<uint8_t> s = {0, 0, 0, 1, 0x4E, 1, 0xE5, 0, 0, 0, 1, 0x42, 1};
            std::copy(s.begin(), s.end(), v.begin() + 1);
            std::vector<uint8_t> q = {0, 0, 0, 1, 0x44, 1};
            std::copy(q.begin(), q.end(), v.end() - 6);
        }
        GuardedBytes g(v);
        AVPacket pkt = g.Packet(n);
        probe_sei(&pkt);
        HevcSpsProbe probe;
        find_hevc_sps(&pkt, &probe);
        EXPECT_LE(probe.nSpsPos, std::max(n - 5, -1));
        EXPECT_LE(probe.nPpsPos, std::max(n - 5, -1));
    }
}
