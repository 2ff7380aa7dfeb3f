// Arbitrary bytes through IHW265D_Create / DecodeFrame / flush / Delete. The
// first four bytes pick a decoder (size class, output order, thread mode, bit
// depth, references), the chunk size and whether the decoder is made afresh,
// perhaps with a failing allocation; the rest is the stream. Creation fills
// the whole picture buffer, so one decoder per setting lives across inputs
// (flushed after each) and must cope with any stream after any other. Every
// call must return, every block come back, no access leave its buffer. A
// finding that depends on earlier inputs reproduces by running them in order.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "IHW265D.h"

namespace {

// Picture sizes stay small so a picture decodes in well under a millisecond;
// the last class fits the 416x240 streams of the shared collection.
const int kSizes[4][2] = {{64, 64}, {128, 128}, {256, 256}, {416, 240}};
const int kSlots = 64; // size class x order x threads x depth x 2 ref counts

struct Slot {
    IH265DEC_HANDLE h = nullptr;
    int64_t llLive = 0; // blocks handed out and not yet freed
};
Slot g_aSlots[kSlots];
int64_t g_llCalls = 0, g_llFailAt = -1;

void *FuzzMalloc(unsigned int uiChannel, unsigned int uiSize)
{
    if (g_llFailAt >= 0 && g_llCalls++ == g_llFailAt)
        return nullptr;
    g_aSlots[uiChannel].llLive++;
    return malloc(uiSize);
}

void FuzzFree(unsigned int uiChannel, void *p)
{
    if (p)
        g_aSlots[uiChannel].llLive--;
    free(p);
}

void FuzzLog(unsigned int, int, const char *, ...) {}

void DeleteSlot(Slot &s)
{
    if (!s.h)
        return;
    IHW265D_Delete(s.h);
    s.h = nullptr;
    if (s.llLive != 0)
        abort(); // every block given back
}

// Offsets of the VCL NAL units' payloads (past a few header bytes) in a
// plain stream: where slice data lies.
size_t SlicePayloads(const uint8_t *d, size_t n, size_t *puiStart, size_t *puiEnd, size_t uiMax)
{
    size_t k = 0;
    for (size_t i = 0; i + 3 < n && k < uiMax; i++) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1)
            continue;
        size_t j = i + 3;
        while (j + 2 < n && !(d[j] == 0 && d[j + 1] == 0 && d[j + 2] <= 1))
            j++;
        if (j + 2 >= n)
            j = n;
        // NAL types 0..31 are slices; keep their header's first bytes.
        if (((d[i + 3] >> 1) & 0x3F) < 32 && i + 8 < j) {
            puiStart[k] = i + 8;
            puiEnd[k++] = j;
        }
        i = j - 1;
    }
    return k;
}

} // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

// Half of the time only one slice's payload changes (the parameter sets and
// slice headers stay readable, so P and B slice data is reached); otherwise
// libFuzzer's own mutation of the whole input.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    size_t auiStart[64], auiEnd[64];
    size_t k = (seed & 1) ? SlicePayloads(data, size, auiStart, auiEnd, 64) : 0;
    if (k == 0)
        return LLVMFuzzerMutate(data, size, maxSize);
    size_t s = (seed >> 1) % k;
    size_t uiLen = auiEnd[s] - auiStart[s];
    size_t uiNew = LLVMFuzzerMutate(data + auiStart[s], uiLen, uiLen);
    // A shorter payload leaves the rest of the slice as it was.
    (void)uiNew;
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint8_t c0 = data[0], c1 = data[1], c2 = data[2], c3 = data[3];
    // Seeds are plain streams starting with a start code: defaults then.
    bool bPlain = c0 == 0 && c1 == 0;
    if (!bPlain) {
        data += 4;
        size -= 4;
    }
    unsigned uiSlot = bPlain ? 3 : (c0 & 63);
    IHW265D_INIT_PARAM p;
    memset(&p, 0, sizeof(p));
    p.uiChannelID = uiSlot;
    p.iMaxWidth = kSizes[uiSlot & 3][0];
    p.iMaxHeight = kSizes[uiSlot & 3][1];
    p.eOutputOrder = (uiSlot & 4) ? 0 : 1;
    p.eThreadType = (uiSlot & 8) ? 1 : 0;
    p.iBitDepth = (uiSlot & 16) ? 8 : 10;
    p.iMaxRefNum = (uiSlot & 32) ? 1 : 4;
    // Second-layer decoding in half of the slots (plain seeds: on, layer 1
    // output when the stream has one).
    p.uiMvcEnable = bPlain || (uiSlot & 1) ? 1u : 0u;
    p.uiOutputLayer = p.uiMvcEnable && (bPlain || (uiSlot & 2)) ? 1u : 0u;
    // Parameter-set store sizes only matter on a fresh decoder.
    p.iMaxVPSNum = bPlain ? 16 : 1 + (c1 & 15);
    p.iMaxSPSNum = bPlain ? 16 : 1 + ((c1 >> 4) & 15);
    p.iMaxPPSNum = bPlain ? 64 : 1 + (c2 & 63);
    p.MallocFxn = FuzzMalloc;
    p.FreeFxn = FuzzFree;
    p.LogFxn = FuzzLog;
    size_t uiChunk = bPlain ? 4096 : 1 + (size_t)(c3 & 127) * 37;
    Slot &s = g_aSlots[uiSlot];
    // One input in 16 asks for a fresh decoder (a creation costs far more than
    // a short stream), half of those with an early allocation failing.
    bool bFresh = !bPlain && (c0 & 0xC0) == 0xC0 && (c2 & 0xC0) == 0xC0;
    g_llFailAt = -1;
    if (bFresh) {
        DeleteSlot(s);
        if (c3 & 128) {
            g_llCalls = 0;
            g_llFailAt = c1 & 63;
        }
    }
    if (!s.h) {
        unsigned int r = IHW265D_Create(&s.h, &p);
        if (r != 0) {
            if (s.llLive != 0 || s.h)
                abort(); // a failed creation gives everything back
            s.h = nullptr;
            return 0;
        }
    }
    IHW265D_OUTARGS out;
    size_t pos = 0;
    while (pos < size) {
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        size_t n = size - pos < uiChunk ? size - pos : uiChunk;
        in.pStream = const_cast<uint8_t *>(data + pos);
        in.uiStreamLen = (unsigned int)n;
        in.uiTimeStamp = pos;
        for (int iCalls = 0;; iCalls++) {
            IHW265D_DecodeFrame(s.h, &in, &out);
            if (iCalls > 1000000)
                abort(); // every call makes progress: this cannot be reached
            if (out.eDecodeStatus == IH265D_GETDISPLAY && out.pucOutYUV[0]) {
                volatile uint8_t v = out.pucOutYUV[0][0];
                (void)v;
            }
            in.pStream += out.uiBytsConsumed;
            in.uiStreamLen -= out.uiBytsConsumed;
            if (in.uiStreamLen == 0 && out.eDecodeStatus == IH265D_NEED_MORE_BITS)
                break;
        }
        pos += n;
    }
    uint8_t ucEmpty = 0;
    IHW265D_INARGS in;
    memset(&in, 0, sizeof(in));
    in.pStream = &ucEmpty;
    in.eDecodeMode = IH265D_DECODE_END;
    for (int i = 0; i < 64; i++) {
        IHW265D_DecodeFrame(s.h, &in, &out);
        if (out.eDecodeStatus != IH265D_GETDISPLAY)
            break;
    }
    // A decoder that met a failed allocation is not kept for other inputs.
    if (g_llFailAt >= 0)
        DeleteSlot(s);
    return 0;
}
