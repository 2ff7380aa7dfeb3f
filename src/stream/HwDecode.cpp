// VA-API decoding set-up for H.265: adapter check against the table of
// devices known to decode badly, device creation on the first adapter that
// passes, surface format negotiation and download to system memory.

#include "stream/HwDecode.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

#include "support/Log.h"

// One row of a vendor's device table. Policy 0: the device must not decode
// the listed codecs; policy 1: only from nMinBuild on.
struct GpuDeviceRule {
    uint32_t nDeviceId;      // 0 ends the table
    const int *pCodecs;      // AVCodecID values, 0-terminated
    int nPolicy;
    uint32_t nMinBuild;
};

struct GpuVendorRules {
    uint32_t nVendorId;
    const GpuDeviceRule *pDevices;
};

static const int kHevcOnly[] = {AV_CODEC_ID_HEVC, 0};
static const int kH264HevcMjpeg[] = {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_MJPEG, 0};

#define HEVC_ROW(id) {id, kHevcOnly, 0, 0}
#define ALL_ROW(id) {id, kH264HevcMjpeg, 0, 0}

static const GpuDeviceRule kIntelDevices[] = {
    HEVC_ROW(0x1606), HEVC_ROW(0x160E), HEVC_ROW(0x1612), HEVC_ROW(0x1616), HEVC_ROW(0x161A),
    HEVC_ROW(0x161E), HEVC_ROW(0x1622), HEVC_ROW(0x1626), HEVC_ROW(0x162A), HEVC_ROW(0x162B),
    HEVC_ROW(0x0402), HEVC_ROW(0x0406), HEVC_ROW(0x040A), HEVC_ROW(0x0412), HEVC_ROW(0x0416),
    HEVC_ROW(0x041E), HEVC_ROW(0x041A), HEVC_ROW(0x0A06), HEVC_ROW(0x0A0E), HEVC_ROW(0x0A16),
    HEVC_ROW(0x0A1E), HEVC_ROW(0x0A26), HEVC_ROW(0x0A2E), HEVC_ROW(0x0D22), HEVC_ROW(0x0D26),
    ALL_ROW(0x2A42), ALL_ROW(0x2A43), ALL_ROW(0x2E02), ALL_ROW(0x2E03), ALL_ROW(0x2E12),
    ALL_ROW(0x2E13), ALL_ROW(0x2E22), ALL_ROW(0x2E23), ALL_ROW(0x2E32), ALL_ROW(0x2E33),
    ALL_ROW(0x2E42), ALL_ROW(0x2E43), ALL_ROW(0x2E92), ALL_ROW(0x2E93), ALL_ROW(0x29D3),
    ALL_ROW(0x29D2), ALL_ROW(0x29B3), ALL_ROW(0x29B2), ALL_ROW(0x29C3), ALL_ROW(0x29C2),
    ALL_ROW(0x2A13), ALL_ROW(0x2A12), ALL_ROW(0x2A03), ALL_ROW(0x2A02), ALL_ROW(0x2973),
    ALL_ROW(0x2972), ALL_ROW(0x29A3), ALL_ROW(0x29A2), ALL_ROW(0x2993), ALL_ROW(0x2992),
    ALL_ROW(0x2983), ALL_ROW(0x2982), ALL_ROW(0x2772), ALL_ROW(0x2776), ALL_ROW(0x27A2),
    ALL_ROW(0x27A6), ALL_ROW(0x27AE),
    {0, NULL, 0, 0},
};

// Only the first (and only) vendor entry is examined.
static const GpuVendorRules gpu_codec_blacklist[] = {
    {0x8086, kIntelDevices},
};

uint32_t hw_driver_build(uint32_t nVendorId, uint64_t nDriverVersion)
{
    uint32_t nLow = (uint32_t)nDriverVersion;
    uint32_t nHigh16 = nLow >> 16;
    uint32_t nBuild = nLow & 0xFFFF;
    if (nVendorId == 0x8086 && nHigh16 >= 100)
        nBuild = (nHigh16 - 100) * 1000 + nBuild;
    return nBuild;
}

int gpu_can_decode(const HwAdapterList *pList, int nAdapter, int nCodecId)
{
    if (!pList || nAdapter < 0 || nAdapter >= pList->nCount || nAdapter >= HW_MAX_ADAPTERS)
        return 0;
    const HwAdapter *a = &pList->aAdapter[nAdapter];
    if (!a->bIdentified)
        return 0;
    uint32_t nBuild = hw_driver_build(a->nVendorId, a->nDriverVersion);

    const GpuVendorRules *v = &gpu_codec_blacklist[0];
    if (v->nVendorId != a->nVendorId)
        return 1;
    const GpuDeviceRule *row = v->pDevices;
    while (row->nDeviceId != 0 && row->nDeviceId != a->nDeviceId)
        row++;
    if (row->nDeviceId == 0)
        return 1;
    const int *c = row->pCodecs;
    while (*c != 0 && *c != nCodecId)
        c++;
    if (*c == 0)
        return 1;
    if (row->nPolicy == 0)
        return 0;
    if (row->nPolicy == 1)
        return nBuild < row->nMinBuild ? 0 : 1;
    return 1;
}

// Reads a small sysfs text file; 0 with the text in pBuf, or -1.
static int ReadText(const char *szPath, char *pBuf, size_t nSize)
{
    FILE *f = fopen(szPath, "r");
    if (!f)
        return -1;
    size_t n = fread(pBuf, 1, nSize - 1, f);
    fclose(f);
    pBuf[n] = '\0';
    return n > 0 ? 0 : -1;
}

static int ReadHex(const char *szPath, uint32_t *pValue)
{
    char buf[32];
    if (ReadText(szPath, buf, sizeof(buf)) != 0)
        return -1;
    char *end = NULL;
    unsigned long v = strtoul(buf, &end, 16);
    if (end == buf || v > 0xFFFF)
        return -1;
    *pValue = (uint32_t)v;
    return 0;
}

// "a.b.c.d" (fewer parts allowed) into four 16-bit parts, a highest.
static uint64_t ParseVersion(const char *s)
{
    uint64_t v = 0;
    int nParts = 0;
    while (nParts < 4 && *s >= '0' && *s <= '9') {
        unsigned long part = strtoul(s, (char **)&s, 10);
        v = (v << 16) | (part & 0xFFFF);
        nParts++;
        if (*s != '.')
            break;
        s++;
    }
    if (nParts == 0)
        return 0;
    return v << (16 * (4 - nParts));
}

static int CompareAdapters(const void *a, const void *b)
{
    const HwAdapter *x = (const HwAdapter *)a;
    const HwAdapter *y = (const HwAdapter *)b;
    int nx = atoi(x->szDevice + strlen(x->szDevice) - 3);
    int ny = atoi(y->szDevice + strlen(y->szDevice) - 3);
    return nx - ny;
}

int hw_list_render_nodes(const char *szDevDir, const char *szSysDir, HwAdapterList *pList)
{
    if (!szDevDir || !szSysDir || !pList)
        return -1;
    memset(pList, 0, sizeof(*pList));
    DIR *d = opendir(szDevDir);
    if (!d)
        return -1;
    struct dirent *e;
    while ((e = readdir(d)) != NULL && pList->nCount < HW_MAX_ADAPTERS) {
        // Render nodes are renderD128 .. renderD255.
        const char *n = e->d_name;
        if (strncmp(n, "renderD", 7) != 0 || strlen(n) != 10 || strspn(n + 7, "0123456789") != 3)
            continue;
        HwAdapter *a = &pList->aAdapter[pList->nCount];
        if (snprintf(a->szDevice, sizeof(a->szDevice), "%s/%s", szDevDir, n) >= (int)sizeof(a->szDevice))
            continue;
        char path[512];
        snprintf(path, sizeof(path), "%s/%s/device/vendor", szSysDir, n);
        int ok = ReadHex(path, &a->nVendorId) == 0;
        snprintf(path, sizeof(path), "%s/%s/device/device", szSysDir, n);
        ok = ok && ReadHex(path, &a->nDeviceId) == 0;
        a->bIdentified = ok;
        char ver[64];
        snprintf(path, sizeof(path), "%s/%s/device/driver/module/version", szSysDir, n);
        if (ReadText(path, ver, sizeof(ver)) == 0)
            a->nDriverVersion = ParseVersion(ver);
        pList->nCount++;
    }
    closedir(d);
    qsort(pList->aAdapter, (size_t)pList->nCount, sizeof(HwAdapter), CompareAdapters);
    return pList->nCount > 0 ? 0 : -1;
}

static int VaapiListAdapters(void *pUser, HwAdapterList *pList)
{
    // An FFmpeg built without VA-API has no driver to offer.
    if (av_hwdevice_find_type_by_name("vaapi") != AV_HWDEVICE_TYPE_VAAPI)
        return -1;
    return hw_list_render_nodes("/dev/dri", "/sys/class/drm", pList);
}

static int VaapiCreateDevice(void *pUser, const HwAdapter *pAdapter, AVBufferRef **ppDevice)
{
    return av_hwdevice_ctx_create(ppDevice, AV_HWDEVICE_TYPE_VAAPI, pAdapter->szDevice, NULL, 0);
}

static const HwDeviceOps kVaapiOps = {VaapiListAdapters, VaapiCreateDevice, NULL};

const HwDeviceOps *hw_vaapi_ops(void)
{
    return &kVaapiOps;
}

int set_hwdevice_ctx_ops(AVCodecContext *pCodecCtx, const HwDeviceOps *pOps)
{
    if (!pCodecCtx || !pOps)
        return -1;
    av_buffer_unref(&pCodecCtx->hw_device_ctx);

    HwAdapterList list;
    if (pOps->pfnListAdapters(pOps->pUser, &list) != 0) {
        // No render node or no VA-API at all: the message keeps the meaning
        // it has on the platform with Direct3D.
        DebugPrint("This pc do not have d3d9.dll.");
        return -1;
    }
    for (int i = 0; i < list.nCount; i++) {
        if (!gpu_can_decode(&list, i, pCodecCtx->codec_id)) {
            DebugPrint("This gpu doesn't have ability to decode %d properly.", (int)pCodecCtx->codec_id);
            return -1;
        }
        AVBufferRef *pDevice = NULL;
        if (pOps->pfnCreateDevice(pOps->pUser, &list.aAdapter[i], &pDevice) >= 0 && pDevice) {
            pCodecCtx->get_format = get_hw_format;
            // The decoder context owns the reference from here on.
            pCodecCtx->hw_device_ctx = pDevice;
            return 0;
        }
        av_buffer_unref(&pDevice);
    }
    return -1;
}

int set_hwdevice_ctx(AVCodecContext *pCodecCtx)
{
    return set_hwdevice_ctx_ops(pCodecCtx, hw_vaapi_ops());
}

static int IsHardwareFormat(enum AVPixelFormat fmt)
{
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(fmt);
    return d && (d->flags & AV_PIX_FMT_FLAG_HWACCEL);
}

enum AVPixelFormat get_hw_format(AVCodecContext *pCodecCtx, const enum AVPixelFormat *pFormats)
{
    enum AVPixelFormat ans = AV_PIX_FMT_NONE;
    enum AVPixelFormat firstSoftware = AV_PIX_FMT_NONE;
    for (const enum AVPixelFormat *p = pFormats; p && *p != AV_PIX_FMT_NONE; p++) {
        if (*p == AV_PIX_FMT_VAAPI)
            return *p;
        if (*p == AV_PIX_FMT_YUV420P || *p == AV_PIX_FMT_YUVJ420P)
            ans = *p;
        if (firstSoftware == AV_PIX_FMT_NONE && !IsHardwareFormat(*p))
            firstSoftware = *p;
    }
    // A stream that is not 8-bit 4:2:0 (Main 10, for instance) offers neither;
    // refusing every format would stop decoding, so take the decoder's own.
    if (ans == AV_PIX_FMT_NONE)
        ans = firstSoftware;
    DebugPrint("sw_format%s - %d ## av_pix_fmt: %d,", "get_hw_format", 52, (int)ans);
    return ans;
}

int hw_frame_is_hardware(const AVFrame *pFrame)
{
    return pFrame && IsHardwareFormat((enum AVPixelFormat)pFrame->format);
}

AVFrame *hw_download_frame(AVFrame **ppHwFrame, const AVFrame *pFrame)
{
    // FFmpeg's transfer dereferences the source's frames context unchecked.
    if (!ppHwFrame || !pFrame || !pFrame->hw_frames_ctx)
        return NULL;
    if (!*ppHwFrame && !(*ppHwFrame = av_frame_alloc()))
        return NULL;
    AVFrame *dst = *ppHwFrame;
    // A frame of another size cannot take the transfer.
    if (dst->buf[0] && (dst->width != pFrame->width || dst->height != pFrame->height))
        av_frame_unref(dst);
    int r = av_hwframe_transfer_data(dst, pFrame, 0);
    if (r < 0) {
        DebugPrint("av_hwframe_transfer_data error. ret:%d", r);
        av_frame_unref(dst);
        return NULL;
    }
    return dst;
}
