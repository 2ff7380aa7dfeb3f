#ifndef IPCAMERA_STREAM_HWDECODE_H
#define IPCAMERA_STREAM_HWDECODE_H

// Hardware decoding for H.265 through VA-API. Before the decoder context is
// opened, set_hwdevice_ctx checks each graphics adapter (DRM render node)
// against gpu_codec_blacklist, creates a VA-API device on the first one that
// passes and installs get_hw_format. Pictures decoded in hardware arrive as
// AV_PIX_FMT_VAAPI surfaces; the decode thread downloads them with
// hw_download_frame. When anything fails the decoder stays a software one.
//
// Adapter listing and device creation go through HwDeviceOps so tests can
// present fake adapters; hw_vaapi_ops() is the real table.

#include <stdint.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#define HW_MAX_ADAPTERS 16

struct HwAdapter {
    int bIdentified;          // 0: ids unreadable, gpu_can_decode answers 0
    uint32_t nVendorId;       // PCI vendor id (0x8086 Intel)
    uint32_t nDeviceId;       // PCI device id
    // Driver version in four 16-bit parts, a.b.c.d -> a<<48|b<<32|c<<16|d;
    // 0 when the driver publishes none.
    uint64_t nDriverVersion;
    char szDevice[64];        // device name for av_hwdevice_ctx_create
};

struct HwAdapterList {
    int nCount;  // 0..HW_MAX_ADAPTERS
    HwAdapter aAdapter[HW_MAX_ADAPTERS];
};

struct HwDeviceOps {
    // Fills the adapter list in adapter order. -1 when no adapter list can be
    // opened at all (no DRM, or FFmpeg without VA-API).
    int (*pfnListAdapters)(void *pUser, HwAdapterList *pList);
    // av_hwdevice_ctx_create for one adapter; 0 with *ppDevice set, or < 0.
    int (*pfnCreateDevice)(void *pUser, const HwAdapter *pAdapter, AVBufferRef **ppDevice);
    void *pUser;
};

// The shipped table: render nodes /dev/dri/renderD*, ids from sysfs, VA-API
// devices.
const HwDeviceOps *hw_vaapi_ops(void);

// Lists the render nodes renderD128.. of szDevDir in number order, with PCI
// ids from <szSysDir>/<node>/device/{vendor,device} and the driver version
// from <szSysDir>/<node>/device/driver/module/version when present. 0, or
// -1 when the directory cannot be read or holds no render node.
int hw_list_render_nodes(const char *szDevDir, const char *szSysDir, HwAdapterList *pList);

// 0 when a VA-API device was installed into the (not yet opened) decoder
// context, -1 otherwise (software decoding).
int set_hwdevice_ctx(AVCodecContext *pCodecCtx);
// The same with another adapter table (tests).
int set_hwdevice_ctx_ops(AVCodecContext *pCodecCtx, const HwDeviceOps *pOps);

// 1 may decode, 0 must not (also when adapter nAdapter is out of range or
// could not be identified).
int gpu_can_decode(const HwAdapterList *pList, int nAdapter, int nCodecId);

// Driver build of the version rules: the low 16 bits of the low half; for
// Intel, when the high 16 bits of that half are >= 100,
// (high - 100) * 1000 + low.
uint32_t hw_driver_build(uint32_t nVendorId, uint64_t nDriverVersion);

// The decoder's format negotiation: AV_PIX_FMT_VAAPI when offered, else a
// software format (logged).
enum AVPixelFormat get_hw_format(AVCodecContext *pCodecCtx, const enum AVPixelFormat *pFormats);

// 1 when the frame holds a hardware surface rather than pixels.
int hw_frame_is_hardware(const AVFrame *pFrame);

// Copies a hardware picture into system memory (NV12 for 8-bit streams).
// *ppHwFrame is allocated on first use and reused afterwards; the decode
// thread unrefs it when the picture size changes. Returns the frame holding
// the pixels (*ppHwFrame), or null on failure (logged).
AVFrame *hw_download_frame(AVFrame **ppHwFrame, const AVFrame *pFrame);

#endif
