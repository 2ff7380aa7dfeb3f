// A scripted stand-in for the built-in H.265 decoder, installed through the
// decoder table of decode/HevcSelect.h: each decode call takes the next
// scripted answer (return code, status, picture), records what it was given,
// and describes a picture with a known pattern in its own planes.
#ifndef IPCAMERA_TESTS_HEVCSTANDIN_H
#define IPCAMERA_TESTS_HEVCSTANDIN_H

#include <stdint.h>
#include <string.h>

#include <deque>
#include <mutex>
#include <vector>

#include "decode/HevcSelect.h"

namespace standin {

struct Step {
    unsigned int ret = IHW265D_NEED_MORE_BITS;
    unsigned int status = IH265D_NEED_MORE_BITS;
    unsigned int w = 0, h = 0;   // picture size; 0 x 0: no picture planes
    unsigned int picState = 0;
    unsigned int err = 0;
    unsigned int depth = 8;
    int consumed = -1;           // bytes taken; -1 all
};

inline Step Picture(unsigned int w, unsigned int h, unsigned int depth = 8, unsigned int picState = 0)
{
    Step s;
    s.ret = IHW265D_OK;
    s.status = IH265D_GETDISPLAY;
    s.w = w;
    s.h = h;
    s.depth = depth;
    s.picState = picState;
    return s;
}

inline Step Code(unsigned int ret, unsigned int status)
{
    Step s;
    s.ret = ret;
    s.status = status;
    return s;
}

struct Call {
    std::vector<uint8_t> in;
    const unsigned char *ptr = nullptr;
};

// Expected 8-bit pattern of the stand-in's pictures.
inline uint8_t Y(int x, int y) { return (uint8_t)(x + 2 * y); }
inline uint8_t U(int x, int y) { return (uint8_t)(100 + x + y); }
inline uint8_t V(int x, int y) { return (uint8_t)(200 - x - y); }

struct Script {
    std::mutex m;
    unsigned int createRet = IHW265D_OK;
    int creates = 0, deletes = 0, versions = 0;
    IHW265D_INIT_PARAM param{};
    std::deque<Step> steps;
    Step dflt;                   // answer once the script ran out
    std::vector<Call> calls;
    std::vector<uint8_t> planes[3];

    void Reset()
    {
        std::lock_guard<std::mutex> g(m);
        createRet = IHW265D_OK;
        creates = deletes = versions = 0;
        param = IHW265D_INIT_PARAM{};
        steps.clear();
        dflt = Step();
        calls.clear();
    }
    int Calls()
    {
        std::lock_guard<std::mutex> g(m);
        return (int)calls.size();
    }
};

inline Script g_script;
inline int g_handleToken;

// Planes with a padded stride (in samples) and guard bytes in the padding.
inline void FillPlanes(IHW265D_OUTARGS *o, const Step &s)
{
    unsigned int bps = s.depth > 8 ? 2 : 1;
    unsigned int strideY = s.w + 16, strideC = s.w / 2 + 8;
    for (int c = 0; c < 3; c++) {
        unsigned int pw = c ? s.w / 2 : s.w, ph = c ? s.h / 2 : s.h, st = c ? strideC : strideY;
        std::vector<uint8_t> &p = g_script.planes[c];
        p.assign((size_t)st * (ph + 1) * bps, 0xEE);
        for (unsigned int y = 0; y < ph; y++)
            for (unsigned int x = 0; x < pw; x++) {
                uint8_t v = c == 0 ? Y(x, y) : c == 1 ? U(x, y) : V(x, y);
                if (bps == 1) {
                    p[(size_t)y * st + x] = v;
                } else {
                    // One below the rounding point: comes back as v.
                    uint16_t w16 = (uint16_t)((v << (s.depth - 8)) + 1);
                    memcpy(&p[((size_t)y * st + x) * 2], &w16, 2);
                }
            }
        o->pucOutYUV[c] = p.data();
    }
    o->uiYStride = strideY;
    o->uiUVStride = strideC;
}

inline unsigned int Create(IH265DEC_HANDLE *ph, IHW265D_INIT_PARAM *p)
{
    std::lock_guard<std::mutex> g(g_script.m);
    g_script.creates++;
    g_script.param = *p;
    *ph = g_script.createRet == IHW265D_OK ? (IH265DEC_HANDLE)&g_handleToken : nullptr;
    return g_script.createRet;
}

inline unsigned int Decode(IH265DEC_HANDLE h, IHW265D_INARGS *in, IHW265D_OUTARGS *o)
{
    if (h != (IH265DEC_HANDLE)&g_handleToken || in == nullptr || in->pStream == nullptr || o == nullptr)
        return IHW265D_ERR_NULL;
    std::lock_guard<std::mutex> g(g_script.m);
    Call c;
    c.in.assign(in->pStream, in->pStream + in->uiStreamLen);
    c.ptr = in->pStream;
    g_script.calls.push_back(c);
    Step s = g_script.dflt;
    if (!g_script.steps.empty()) {
        s = g_script.steps.front();
        g_script.steps.pop_front();
    }
    o->uiBytsConsumed = s.consumed < 0 ? in->uiStreamLen : (unsigned int)s.consumed;
    o->eDecodeStatus = s.status;
    o->uiPicState = s.picState;
    o->uiErrorFlag = s.err;
    o->uiDecWidth = s.w;
    o->uiDecHeight = s.h;
    o->uiDecBitDepthLuma = o->uiDecBitDepthChroma = s.depth;
    if (s.w && s.h)
        FillPlanes(o, s);
    else
        o->pucOutYUV[0] = o->pucOutYUV[1] = o->pucOutYUV[2] = nullptr;
    return s.ret;
}

inline unsigned int Delete(IH265DEC_HANDLE h)
{
    std::lock_guard<std::mutex> g(g_script.m);
    g_script.deletes++;
    return h == (IH265DEC_HANDLE)&g_handleToken ? IHW265D_OK : IHW265D_ERR_HANDLE;
}

inline unsigned int Version(IHW265D_VERSION *v)
{
    std::lock_guard<std::mutex> g(g_script.m);
    g_script.versions++;
    if (v != nullptr)
        memset(v, 0, sizeof(*v));
    return IHW265D_OK;
}

inline const HevcDecoderApi kTable = {Create, Decode, Delete, Version};

// Installs the stand-in for the life of the object, with a fresh script.
struct Installed {
    Installed()
    {
        g_script.Reset();
        HevcSetDecoderApi(&kTable);
    }
    ~Installed() { HevcSetDecoderApi(nullptr); }
};

}  // namespace standin

#endif
