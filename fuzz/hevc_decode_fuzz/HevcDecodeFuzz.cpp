// Arbitrary bytes through IHW265D_Create / DecodeFrame / flush / Delete.
//
// The first bytes pick the creation parameters (output order, thread mode,
// bit depth, reference count), the chunk size of the decode calls and,
// sometimes, an allocation that fails; the rest is the stream. Every call
// must return, every block must come back to FreeFxn, and no access may
// leave its buffer (ASan/UBSan).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "IHW265D.h"

namespace {

int64_t g_llLive = 0;
int64_t g_llCalls = 0;
int64_t g_llFailAt = -1;

void *FuzzMalloc(unsigned int, unsigned int uiSize)
{
    if (g_llFailAt >= 0 && g_llCalls++ == g_llFailAt)
        return nullptr;
    g_llLive++;
    return malloc(uiSize);
}

void FuzzFree(unsigned int, void *p)
{
    if (p)
        g_llLive--;
    free(p);
}

void FuzzLog(unsigned int, int, const char *, ...) {}

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
    // Seeds are plain streams starting with a start code: use defaults then.
    bool bPlain = c0 == 0 && c1 == 0;
    if (!bPlain) {
        data += 4;
        size -= 4;
    }
    IHW265D_INIT_PARAM p;
    memset(&p, 0, sizeof(p));
    p.iMaxWidth = 256;
    p.iMaxHeight = 256;
    p.iMaxRefNum = bPlain ? 4 : c0 & 7;
    p.iMaxVPSNum = bPlain ? 16 : 1 + (c1 & 15);
    p.iMaxSPSNum = bPlain ? 16 : 1 + ((c1 >> 4) & 15);
    p.iMaxPPSNum = bPlain ? 64 : 1 + (c2 & 63);
    p.iBitDepth = !bPlain && (c0 & 8) ? 8 : 10;
    p.eThreadType = !bPlain && (c0 & 16) ? 1 : 0;
    p.eOutputOrder = !bPlain && (c0 & 32) ? 0 : 1;
    p.MallocFxn = FuzzMalloc;
    p.FreeFxn = FuzzFree;
    p.LogFxn = FuzzLog;
    g_llLive = 0;
    g_llCalls = 0;
    g_llFailAt = !bPlain && (c0 & 64) ? (c3 & 63) : -1;
    size_t uiChunk = bPlain ? 4096 : 1 + (size_t)c3 * 37;

    IH265DEC_HANDLE h = nullptr;
    unsigned int r = IHW265D_Create(&h, &p);
    if (r != 0) {
        if (g_llLive != 0)
            abort(); // a failed creation must give everything back
        return 0;
    }
    IHW265D_OUTARGS out;
    size_t pos = 0;
    uint8_t ucEmpty = 0;
    while (pos < size) {
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        size_t n = size - pos < uiChunk ? size - pos : uiChunk;
        in.pStream = const_cast<uint8_t *>(data + pos);
        in.uiStreamLen = (unsigned int)n;
        in.uiTimeStamp = pos;
        int iCalls = 0;
        for (;;) {
            IHW265D_DecodeFrame(h, &in, &out);
            if (++iCalls > 1000000)
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
    for (int i = 0; i < 64; i++) {
        IHW265D_INARGS in;
        memset(&in, 0, sizeof(in));
        in.pStream = &ucEmpty;
        in.eDecodeMode = IH265D_DECODE_END;
        IHW265D_DecodeFrame(h, &in, &out);
        if (out.eDecodeStatus != IH265D_GETDISPLAY)
            break;
    }
    IHW265D_Delete(h);
    if (g_llLive != 0)
        abort();
    return 0;
}
