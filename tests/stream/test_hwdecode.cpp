// Hardware decoding set-up: the device table rows and driver-build rule, the
// adapter walk with fake adapters (listed adapter stops the walk, a failed
// creation moves on), render-node listing from a fake sysfs tree, format
// negotiation, and the software fallback of this machine's real VA-API path.

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/hwcontext.h>
}

#include "stream/HwDecode.h"

namespace {

HwAdapter Adapter(uint32_t vendor, uint32_t device, uint64_t version = 0, int identified = 1)
{
    HwAdapter a;
    memset(&a, 0, sizeof(a));
    a.bIdentified = identified;
    a.nVendorId = vendor;
    a.nDeviceId = device;
    a.nDriverVersion = version;
    return a;
}

HwAdapterList List(std::initializer_list<HwAdapter> l)
{
    HwAdapterList list;
    memset(&list, 0, sizeof(list));
    for (const HwAdapter &a : l) {
        list.aAdapter[list.nCount] = a;
        snprintf(list.aAdapter[list.nCount].szDevice, sizeof(a.szDevice), "/dev/dri/renderD%d", 128 + list.nCount);
        list.nCount++;
    }
    return list;
}

// Fake adapter table: lists the given adapters and fails creation where asked.
struct FakeGpu {
    int bNoDriver = 0;
    HwAdapterList list;
    std::vector<int> failOn;          // adapter indexes whose creation fails
    std::vector<std::string> tried;   // device names creation was asked for
    std::vector<uint8_t *> created;   // data of each reference handed out

    static int ListAdapters(void *u, HwAdapterList *out)
    {
        FakeGpu *g = (FakeGpu *)u;
        if (g->bNoDriver)
            return -1;
        *out = g->list;
        return 0;
    }
    static int Create(void *u, const HwAdapter *a, AVBufferRef **pp)
    {
        FakeGpu *g = (FakeGpu *)u;
        g->tried.push_back(a->szDevice);
        int idx = a->szDevice[strlen(a->szDevice) - 1] - '8';
        for (int f : g->failOn)
            if (f == idx)
                return AVERROR(ENODEV);
        // Stands for a device reference: only owned and released here.
        *pp = av_buffer_alloc(16);
        if (!*pp)
            return AVERROR(ENOMEM);
        g->created.push_back((*pp)->data);
        return 0;
    }
    HwDeviceOps Ops() { return HwDeviceOps{ListAdapters, Create, this}; }
};

AVCodecContext *HevcContext()
{
    return avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_HEVC));
}

}  // namespace

TEST(GpuCanDecode, DeviceTableRows)
{
    HwAdapterList l = List({Adapter(0x8086, 0x0412), Adapter(0x8086, 0x2E12), Adapter(0x10DE, 0x0412),
                            Adapter(0x8086, 0x1234), Adapter(0x8086, 0x0412, 0, 0)});
    EXPECT_EQ(0, gpu_can_decode(&l, 0, AV_CODEC_ID_HEVC));
    EXPECT_EQ(1, gpu_can_decode(&l, 0, AV_CODEC_ID_H264));  // its row lists H.265 only
    EXPECT_EQ(0, gpu_can_decode(&l, 1, AV_CODEC_ID_H264));
    EXPECT_EQ(0, gpu_can_decode(&l, 1, AV_CODEC_ID_HEVC));
    EXPECT_EQ(0, gpu_can_decode(&l, 1, AV_CODEC_ID_MJPEG));
    EXPECT_EQ(1, gpu_can_decode(&l, 1, AV_CODEC_ID_MPEG4));
    for (int codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_MJPEG}) {
        EXPECT_EQ(1, gpu_can_decode(&l, 2, codec));  // not Intel
        EXPECT_EQ(1, gpu_can_decode(&l, 3, codec));  // Intel, not in the table
        EXPECT_EQ(0, gpu_can_decode(&l, 4, codec));  // not identified
    }
    EXPECT_EQ(0, gpu_can_decode(&l, 5, AV_CODEC_ID_HEVC));   // no such adapter
    EXPECT_EQ(0, gpu_can_decode(&l, -1, AV_CODEC_ID_HEVC));
    EXPECT_EQ(0, gpu_can_decode(nullptr, 0, AV_CODEC_ID_HEVC));

    // Rows of the table: the ends of the H.265-only run and of the
    // all-codecs run, and ids just outside them.
    for (uint32_t id : {0x1606u, 0x0412u, 0x0D26u}) {
        HwAdapterList one = List({Adapter(0x8086, id)});
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_HEVC)) << std::hex << id;
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_H264)) << std::hex << id;
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_MJPEG)) << std::hex << id;
    }
    for (uint32_t id : {0x2A42u, 0x2E92u, 0x27AEu}) {
        HwAdapterList one = List({Adapter(0x8086, id, 0x0014001300640000ull)});
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_HEVC)) << std::hex << id;
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_H264)) << std::hex << id;
        EXPECT_EQ(0, gpu_can_decode(&one, 0, AV_CODEC_ID_MJPEG)) << std::hex << id;
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_VP9)) << std::hex << id;
    }
    for (uint32_t id : {0x1605u, 0x0D27u, 0x2A41u, 0x27AFu, 0u}) {
        HwAdapterList one = List({Adapter(0x8086, id)});
        EXPECT_EQ(1, gpu_can_decode(&one, 0, AV_CODEC_ID_HEVC)) << std::hex << id;
    }
}

TEST(GpuCanDecode, DriverBuild)
{
    // a.b.c.d in four 16-bit parts; the build comes from c and d.
    auto ver = [](uint64_t a, uint64_t b, uint64_t c, uint64_t d) { return a << 48 | b << 32 | c << 16 | d; };
    EXPECT_EQ(4835u, hw_driver_build(0x8086, ver(20, 19, 15, 4835)));
    EXPECT_EQ(7870u, hw_driver_build(0x8086, ver(26, 20, 100, 7870)));
    EXPECT_EQ(1002u, hw_driver_build(0x8086, ver(27, 20, 101, 2)));
    EXPECT_EQ(99001u, hw_driver_build(0x8086, ver(0, 0, 199, 1)));
    EXPECT_EQ(2u, hw_driver_build(0x10DE, ver(27, 20, 101, 2)));  // the rule is Intel's only
    EXPECT_EQ(0u, hw_driver_build(0x8086, 0));
}

TEST(SetHwDeviceCtx, ListedFirstAdapterStopsTheWalk)
{
    FakeGpu gpu;
    gpu.list = List({Adapter(0x8086, 0x0412), Adapter(0x10DE, 0x1C82)});
    HwDeviceOps ops = gpu.Ops();
    AVCodecContext *c = HevcContext();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(c, &ops));
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("This gpu doesn't have ability to decode " +
                                          std::to_string((int)AV_CODEC_ID_HEVC) + " properly."));
    EXPECT_TRUE(gpu.tried.empty());  // adapter 1 is not tried
    EXPECT_EQ(nullptr, c->hw_device_ctx);
    EXPECT_NE(get_hw_format, c->get_format);
    avcodec_free_context(&c);

    // The same adapter for H.264: its row lists H.265 only.
    c = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    EXPECT_EQ(0, set_hwdevice_ctx_ops(c, &ops));
    ASSERT_EQ(1u, gpu.tried.size());
    EXPECT_EQ("/dev/dri/renderD128", gpu.tried[0]);
    avcodec_free_context(&c);
}

TEST(SetHwDeviceCtx, FailedCreationMovesToTheNextAdapter)
{
    FakeGpu gpu;
    gpu.list = List({Adapter(0x1002, 0x67DF), Adapter(0x8086, 0x3E92)});
    gpu.failOn = {0};
    HwDeviceOps ops = gpu.Ops();
    AVCodecContext *c = HevcContext();
    AVBufferRef *old = av_buffer_alloc(4);
    c->hw_device_ctx = old;  // a previous reference is released first
    EXPECT_EQ(0, set_hwdevice_ctx_ops(c, &ops));
    ASSERT_EQ(2u, gpu.tried.size());
    EXPECT_EQ("/dev/dri/renderD129", gpu.tried[1]);
    ASSERT_NE(nullptr, c->hw_device_ctx);
    ASSERT_EQ(1u, gpu.created.size());
    EXPECT_EQ(gpu.created[0], c->hw_device_ctx->data);  // adapter 1's device
    EXPECT_NE(old, c->hw_device_ctx);
    EXPECT_EQ(get_hw_format, c->get_format);
    avcodec_free_context(&c);  // releases the installed reference

    // Every creation failing: software decoding, nothing installed.
    gpu.tried.clear();
    gpu.failOn = {0, 1};
    c = HevcContext();
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(c, &ops));
    EXPECT_EQ(2u, gpu.tried.size());
    EXPECT_EQ(nullptr, c->hw_device_ctx);
    EXPECT_NE(get_hw_format, c->get_format);
    avcodec_free_context(&c);
}

TEST(SetHwDeviceCtx, NoAdapterListAtAll)
{
    FakeGpu gpu;
    gpu.bNoDriver = 1;
    HwDeviceOps ops = gpu.Ops();
    AVCodecContext *c = HevcContext();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(c, &ops));
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("This pc do not have d3d9.dll."));
    EXPECT_EQ(nullptr, c->hw_device_ctx);
    avcodec_free_context(&c);
    EXPECT_EQ(-1, set_hwdevice_ctx_ops(nullptr, &ops));
    EXPECT_EQ(-1, set_hwdevice_ctx(nullptr));
}

TEST(SetHwDeviceCtx, RealPathFallsBackToSoftwareWithoutGpu)
{
    AVCodecContext *c = HevcContext();
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

TEST(RenderNodes, ListedFromSysfsInNumberOrder)
{
    char tmpl[] = "/tmp/ipcam_dri_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    std::string root = tmpl, dev = root + "/dev", sys = root + "/sys";
    auto write = [](const std::string &path, const char *text) {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(nullptr, f) << path;
        fputs(text, f);
        fclose(f);
    };
    mkdir(dev.c_str(), 0755);
    mkdir(sys.c_str(), 0755);
    // card0 and a misnamed node are ignored; renderD130 has no readable ids.
    for (const char *n : {"renderD129", "renderD128", "renderD130", "card0", "renderD12x"})
        write(dev + "/" + n, "");
    for (const char *n : {"renderD128", "renderD129", "renderD130"}) {
        std::string d = sys + "/" + n;
        mkdir(d.c_str(), 0755);
        mkdir((d + "/device").c_str(), 0755);
    }
    write(sys + "/renderD128/device/vendor", "0x8086\n");
    write(sys + "/renderD128/device/device", "0x0412\n");
    mkdir((sys + "/renderD128/device/driver").c_str(), 0755);
    mkdir((sys + "/renderD128/device/driver/module").c_str(), 0755);
    write(sys + "/renderD128/device/driver/module/version", "26.20.100.7870\n");
    write(sys + "/renderD129/device/vendor", "0x1002\n");
    write(sys + "/renderD129/device/device", "0x67df\n");

    HwAdapterList l;
    ASSERT_EQ(0, hw_list_render_nodes(dev.c_str(), sys.c_str(), &l));
    ASSERT_EQ(3, l.nCount);
    EXPECT_EQ(dev + "/renderD128", l.aAdapter[0].szDevice);
    EXPECT_EQ(1, l.aAdapter[0].bIdentified);
    EXPECT_EQ(0x8086u, l.aAdapter[0].nVendorId);
    EXPECT_EQ(0x0412u, l.aAdapter[0].nDeviceId);
    EXPECT_EQ(7870u, hw_driver_build(0x8086, l.aAdapter[0].nDriverVersion));
    EXPECT_EQ(dev + "/renderD129", l.aAdapter[1].szDevice);
    EXPECT_EQ(0x67DFu, l.aAdapter[1].nDeviceId);
    EXPECT_EQ(0u, l.aAdapter[1].nDriverVersion);
    EXPECT_EQ(0, l.aAdapter[2].bIdentified);
    EXPECT_EQ(0, gpu_can_decode(&l, 0, AV_CODEC_ID_HEVC));
    EXPECT_EQ(1, gpu_can_decode(&l, 1, AV_CODEC_ID_HEVC));
    EXPECT_EQ(0, gpu_can_decode(&l, 2, AV_CODEC_ID_HEVC));

    EXPECT_EQ(-1, hw_list_render_nodes((root + "/missing").c_str(), sys.c_str(), &l));
    EXPECT_EQ(-1, hw_list_render_nodes(root.c_str(), sys.c_str(), &l));  // no render node there
    system(("rm -rf " + root).c_str());
}

TEST(GetHwFormat, ChoosesSurfaceOrSoftwareFormat)
{
    struct Case {
        std::vector<AVPixelFormat> offered;
        AVPixelFormat want;
    } cases[] = {
        {{AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV420P}, AV_PIX_FMT_YUV420P},
        {{AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P}, AV_PIX_FMT_YUVJ420P},
        {{AV_PIX_FMT_YUV420P, AV_PIX_FMT_VAAPI}, AV_PIX_FMT_VAAPI},
        {{AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P}, AV_PIX_FMT_VAAPI},
        {{AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P, AV_PIX_FMT_GRAY8}, AV_PIX_FMT_YUV420P},
        // Main 10 without a usable surface: the decoder's own format rather
        // than none at all.
        {{AV_PIX_FMT_CUDA, AV_PIX_FMT_YUV420P10LE}, AV_PIX_FMT_YUV420P10LE},
        {{}, AV_PIX_FMT_NONE},
    };
    for (auto &c : cases) {
        std::vector<AVPixelFormat> l = c.offered;
        l.push_back(AV_PIX_FMT_NONE);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(c.want, get_hw_format(nullptr, l.data()));
        ::testing::internal::GetCapturedStderr();
    }
}

TEST(HwDownload, SoftwareFramesAreNotSurfaces)
{
    AVFrame *f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = 16;
    f->height = 16;
    ASSERT_EQ(0, av_frame_get_buffer(f, 0));
    EXPECT_EQ(0, hw_frame_is_hardware(f));
    AVFrame *hw = nullptr;
    EXPECT_EQ(nullptr, hw_download_frame(&hw, f));  // nothing to transfer from
    // A surface format without a frames context is refused too.
    f->format = AV_PIX_FMT_VAAPI;
    EXPECT_EQ(nullptr, hw_download_frame(&hw, f));
    EXPECT_EQ(1, hw_frame_is_hardware(f));
    f->format = AV_PIX_FMT_YUV420P;
    EXPECT_EQ(0, hw_frame_is_hardware(nullptr));
    av_frame_free(&hw);
    av_frame_free(&f);
}
