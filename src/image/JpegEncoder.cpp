// Baseline JPEG encoder for planar 4:2:0 pictures (ITU-T T.81, JFIF).
//
// Layout of one encoded image: SOI, APP0 (JFIF 1.01), two DQT, SOF0 with
// three 1x1 components, four DHT, SOS, the entropy-coded MCUs (Y, Cb, Cr
// block each, no restart markers) and EOI. Chroma is replicated to full
// resolution, so the file is 4:4:4 and decodes with any baseline decoder.

#include "image/JpegEncoder.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "support/Log.h"
#include "support/Platform.h"

namespace {

// T.81 Annex K.1 and K.2, natural (row-major) order.
const unsigned char kLumaQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const unsigned char kChromaQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Zig-zag index of each natural position (T.81 figure A.6).
const unsigned char kZigzag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42,
    3,  8,  12, 17, 25, 30, 41, 43, 9,  11, 18, 24, 31, 40, 44, 53,
    10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38, 46, 51, 55, 60,
    21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

// Huffman tables K.3 to K.6: code-length counts for lengths 1..16, then the
// symbols in code order.
const unsigned char kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const unsigned char kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const unsigned char kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

const unsigned char kAcLumaBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const unsigned char kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

const unsigned char kAcChromaBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const unsigned char kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Scale factors of the AAN DCT outputs: cos(k*pi/16) * sqrt(2), k > 0.
const double kAanScale[8] = {1.0,         1.387039845, 1.306562965, 1.175875602,
                             1.0,         0.785694958, 0.541196100, 0.275899379};

// Header bytes before the entropy-coded data, and the EOI after it.
enum { kHeaderBytes = 2 + 18 + 2 * 69 + 19 + 2 * 33 + 2 * 183 + 14, kTrailerBytes = 2 };
// Longest possible block: DC code (11) + 11 value bits, 63 AC codes of 16
// bits with 10 value bits each; every byte may need a stuffed zero.
enum { kWorstBlockBytes = 2 * ((11 + 11 + 63 * (16 + 10) + 7) / 8) + 1 };

struct HuffTable {
    uint16_t code[256];
    uint8_t size[256];  // 0: symbol not in the table
};

// Output with a hard bound: once the buffer is full every further byte is
// dropped and the overflow flag set, so nothing lands past the end.
struct BitWriter {
    unsigned char *pOut;
    int nCap;
    int nPos;
    int bOverflow;
    uint64_t nAcc;  // pending bits, right-aligned
    int nBits;      // number of pending bits (< 32 between calls)
};

inline void PutByte(BitWriter *w, unsigned char b)
{
    if (w->nPos < w->nCap)
        w->pOut[w->nPos++] = b;
    else
        w->bOverflow = 1;
}

// Entropy-coded byte: an FF is followed by a stuffed 00 (T.81 F.1.2.3).
inline void PutCodedByte(BitWriter *w, unsigned char b)
{
    PutByte(w, b);
    if (b == 0xFF)
        PutByte(w, 0);
}

// Moves the oldest 32 pending bits to the output: four bytes at once when
// none of them needs stuffing and they fit, else byte by byte.
inline void FlushWord(BitWriter *w)
{
    w->nBits -= 32;
    uint32_t word = (uint32_t)(w->nAcc >> w->nBits);
    uint32_t inv = ~word;  // a byte FF becomes a zero byte here
    bool bHasFF = ((inv - 0x01010101u) & ~inv & 0x80808080u) != 0;
    if (!bHasFF && w->nPos + 4 <= w->nCap) {
        unsigned char *p = w->pOut + w->nPos;
        p[0] = (unsigned char)(word >> 24);
        p[1] = (unsigned char)(word >> 16);
        p[2] = (unsigned char)(word >> 8);
        p[3] = (unsigned char)word;
        w->nPos += 4;
        return;
    }
    for (int sh = 24; sh >= 0; sh -= 8)
        PutCodedByte(w, (unsigned char)(word >> sh));
}

// Appends the nLen low bits of nValue, most significant first (nLen <= 32).
inline void PutBits(BitWriter *w, uint32_t nValue, int nLen)
{
    w->nAcc = (w->nAcc << nLen) | (nValue & (uint32_t)((1ull << nLen) - 1));
    w->nBits += nLen;
    if (w->nBits >= 32)
        FlushWord(w);
}

// Completes a partial byte with 1-bits (T.81 F.1.2.3) and writes out every
// pending byte.
void FlushBits(BitWriter *w)
{
    if (w->nBits % 8)
        PutBits(w, 0x7F, 8 - w->nBits % 8);
    while (w->nBits >= 8) {
        w->nBits -= 8;
        PutCodedByte(w, (unsigned char)(w->nAcc >> w->nBits));
    }
    w->nAcc = 0;
}

void PutWord(BitWriter *w, int v)
{
    PutByte(w, (unsigned char)(v >> 8));
    PutByte(w, (unsigned char)v);
}

// Canonical code assignment of T.81 Annex C.
void BuildHuffTable(HuffTable *t, const unsigned char *pBits, const unsigned char *pValues)
{
    memset(t, 0, sizeof(*t));
    unsigned code = 0;
    int k = 0;
    for (int len = 1; len <= 16; len++) {
        for (int i = 0; i < pBits[len - 1]; i++) {
            t->code[pValues[k]] = (uint16_t)code;
            t->size[pValues[k]] = (uint8_t)len;
            k++;
            code++;
        }
        code <<= 1;
    }
}

// IJG quality scaling; the table comes out in zig-zag order.
void ScaleQuantTable(const unsigned char *pBase, int nQuality, unsigned char *pZigzagOut)
{
    if (nQuality <= 0)
        nQuality = 1;
    if (nQuality > 100)
        nQuality = 100;
    int scale = nQuality < 50 ? 5000 / nQuality : 200 - 2 * nQuality;
    for (int i = 0; i < 64; i++) {
        long v = ((long)pBase[i] * scale + 50) / 100;
        if (v < 1)
            v = 1;
        if (v > 255)
            v = 255;
        pZigzagOut[kZigzag[i]] = (unsigned char)v;
    }
}

// Divisors folding the AAN output scale into the quantiser.
void BuildDivisors(const unsigned char *pZigzagQuant, float *pDivisors)
{
    for (int r = 0; r < 8; r++)
        for (int c = 0; c < 8; c++) {
            int i = r * 8 + c;
            double q = pZigzagQuant[kZigzag[i]];
            pDivisors[i] = (float)(1.0 / (q * kAanScale[r] * kAanScale[c] * 8.0));
        }
}

// Number of magnitude bits of v (its JPEG category).
inline int Category(int v)
{
    unsigned a = (unsigned)(v < 0 ? -v : v);
    return a == 0 ? 0 : 32 - __builtin_clz(a);
}

// Floating-point AAN forward DCT of 8 values at stride s, in place.
inline void Fdct8(float *d, int s)
{
    float t0 = d[0] + d[7 * s], t7 = d[0] - d[7 * s];
    float t1 = d[s] + d[6 * s], t6 = d[s] - d[6 * s];
    float t2 = d[2 * s] + d[5 * s], t5 = d[2 * s] - d[5 * s];
    float t3 = d[3 * s] + d[4 * s], t4 = d[3 * s] - d[4 * s];

    float e10 = t0 + t3, e13 = t0 - t3;
    float e11 = t1 + t2, e12 = t1 - t2;
    d[0] = e10 + e11;
    d[4 * s] = e10 - e11;
    float z1 = (e12 + e13) * 0.707106781f;
    d[2 * s] = e13 + z1;
    d[6 * s] = e13 - z1;

    float o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
    float z5 = (o10 - o12) * 0.382683433f;
    float z2 = 0.541196100f * o10 + z5;
    float z4 = 1.306562965f * o12 + z5;
    float z3 = o11 * 0.707106781f;
    float z11 = t7 + z3, z13 = t7 - z3;
    d[5 * s] = z13 + z2;
    d[3 * s] = z13 - z2;
    d[s] = z11 + z4;
    d[7 * s] = z11 - z4;
}

// Transforms, quantises and Huffman-codes one level-shifted block.
void EncodeBlock(BitWriter *w, float *pBlock, const float *pDivisors, int *pPredictor,
                 const HuffTable *pDc, const HuffTable *pAc)
{
    for (int r = 0; r < 8; r++)
        Fdct8(pBlock + r * 8, 1);
    for (int c = 0; c < 8; c++)
        Fdct8(pBlock + c, 8);

    int coef[64];
    for (int i = 0; i < 64; i++) {
        double product = (double)(pBlock[i] * pDivisors[i]);
        int v = (int)(product + 16384.5 - 16384.0);
        // Baseline limits: DC within 11 bits, AC within 10 bits. An 8-bit
        // picture stays inside them; clamping keeps every symbol codable.
        int lim = i == 0 ? 2047 : 1023;
        if (v > lim)
            v = lim;
        if (v < -lim)
            v = -lim;
        coef[kZigzag[i]] = v;
    }

    int diff = (int16_t)(coef[0] - *pPredictor);
    int cat = Category(diff);
    if (cat > 11) {
        // A difference beyond 11 bits cannot be coded; the predictor follows
        // what the decoder will reconstruct.
        diff = diff > 0 ? 2047 : -2047;
        cat = 11;
    }
    *pPredictor += diff;
    uint32_t dcBits = cat ? (uint32_t)(diff < 0 ? diff + (1 << cat) - 1 : diff) & ((1u << cat) - 1) : 0;
    PutBits(w, ((uint32_t)pDc->code[cat] << cat) | dcBits, pDc->size[cat] + cat);

    int last = 63;
    while (last > 0 && coef[last] == 0)
        last--;
    int run = 0;
    for (int k = 1; k <= last; k++) {
        int v = coef[k];
        if (v == 0) {
            run++;
            if (run == 16) {
                PutBits(w, pAc->code[0xF0], pAc->size[0xF0]);
                run = 0;
            }
            continue;
        }
        int c = Category(v);
        int sym = (run << 4) | c;
        uint32_t bits = (uint32_t)(v < 0 ? v + (1 << c) - 1 : v) & ((1u << c) - 1);
        PutBits(w, ((uint32_t)pAc->code[sym] << c) | bits, pAc->size[sym] + c);
        run = 0;
    }
    if (last != 63)
        PutBits(w, pAc->code[0], pAc->size[0]);
}

void PutQuantSegment(BitWriter *w, int nId, const unsigned char *pZigzagQuant)
{
    PutWord(w, 0xFFDB);
    PutWord(w, 67);
    PutByte(w, (unsigned char)nId);
    for (int i = 0; i < 64; i++)
        PutByte(w, pZigzagQuant[i]);
}

void PutHuffSegment(BitWriter *w, int nClassId, const unsigned char *pBits,
                    const unsigned char *pValues, int nValues)
{
    PutWord(w, 0xFFC4);
    PutWord(w, 2 + 1 + 16 + nValues);
    PutByte(w, (unsigned char)nClassId);
    for (int i = 0; i < 16; i++)
        PutByte(w, pBits[i]);
    for (int i = 0; i < nValues; i++)
        PutByte(w, pValues[i]);
}

void PutHeaders(BitWriter *w, int nWidth, int nHeight, const unsigned char *pLumaQ,
                const unsigned char *pChromaQ)
{
    static const unsigned char kApp0[18] = {0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0x00,
                                            0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    PutWord(w, 0xFFD8);
    for (unsigned char b : kApp0)
        PutByte(w, b);
    PutQuantSegment(w, 0, pLumaQ);
    PutQuantSegment(w, 1, pChromaQ);

    // SOF0: precision, then height before width.
    PutWord(w, 0xFFC0);
    PutWord(w, 17);
    PutByte(w, 8);
    PutWord(w, nHeight);
    PutWord(w, nWidth);
    PutByte(w, 3);
    static const unsigned char kComponents[9] = {1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1};
    for (unsigned char b : kComponents)
        PutByte(w, b);

    PutHuffSegment(w, 0x00, kDcLumaBits, kDcValues, 12);
    PutHuffSegment(w, 0x01, kDcChromaBits, kDcValues, 12);
    PutHuffSegment(w, 0x10, kAcLumaBits, kAcLumaValues, 162);
    PutHuffSegment(w, 0x11, kAcChromaBits, kAcChromaValues, 162);

    static const unsigned char kSos[14] = {0xFF, 0xDA, 0x00, 0x0C, 3,    1,    0x00,
                                           2,    0x11, 3,    0x11, 0x00, 0x3F, 0x00};
    for (unsigned char b : kSos)
        PutByte(w, b);
}

// Fetches the 8x8 luma block at (bx, by) and the matching replicated chroma
// blocks, level-shifted. Samples past the right or bottom edge repeat the
// last column or row.
void FetchBlocks(const unsigned char *pY, const unsigned char *pU, const unsigned char *pV,
                 int nWidth, int nHeight, int nStride, int bx, int by, float *pYBlk,
                 float *pUBlk, float *pVBlk)
{
    int nCw = nWidth / 2, nCh = nHeight / 2, nCStride = nStride / 2;
    int x0 = bx * 8, y0 = by * 8;
    if (x0 + 8 <= nWidth && y0 + 8 <= nHeight && x0 + 8 <= 2 * nCw && y0 + 8 <= 2 * nCh) {
        // Whole block inside the picture and its chroma: no clamping.
        for (int r = 0; r < 8; r++) {
            const unsigned char *pRow = pY + (size_t)(y0 + r) * nStride + x0;
            const unsigned char *pURow = pU + (size_t)((y0 + r) / 2) * nCStride + x0 / 2;
            const unsigned char *pVRow = pV + (size_t)((y0 + r) / 2) * nCStride + x0 / 2;
            for (int c = 0; c < 8; c++) {
                pYBlk[r * 8 + c] = (float)pRow[c] - 128.0f;
                pUBlk[r * 8 + c] = (float)pURow[c / 2] - 128.0f;
                pVBlk[r * 8 + c] = (float)pVRow[c / 2] - 128.0f;
            }
        }
        return;
    }
    int xs[8];
    for (int c = 0; c < 8; c++)
        xs[c] = x0 + c < nWidth ? x0 + c : nWidth - 1;
    for (int r = 0; r < 8; r++) {
        int y = y0 + r < nHeight ? y0 + r : nHeight - 1;
        const unsigned char *pRow = pY + (size_t)y * nStride;
        for (int c = 0; c < 8; c++)
            pYBlk[r * 8 + c] = (float)pRow[xs[c]] - 128.0f;
        if (nCw == 0 || nCh == 0) {
            for (int c = 0; c < 8; c++)
                pUBlk[r * 8 + c] = pVBlk[r * 8 + c] = 0.0f;
            continue;
        }
        int cy = y / 2 < nCh ? y / 2 : nCh - 1;
        const unsigned char *pURow = pU + (size_t)cy * nCStride;
        const unsigned char *pVRow = pV + (size_t)cy * nCStride;
        for (int c = 0; c < 8; c++) {
            int cx = xs[c] / 2 < nCw ? xs[c] / 2 : nCw - 1;
            pUBlk[r * 8 + c] = (float)pURow[cx] - 128.0f;
            pVBlk[r * 8 + c] = (float)pVRow[cx] - 128.0f;
        }
    }
}

}  // namespace

size_t JpegEncodeWorstCase(int nWidth, int nHeight)
{
    if (nWidth < 1 || nHeight < 1 || nWidth > 65535 || nHeight > 65535)
        return 0;
    size_t nBlocks = (size_t)((nWidth + 7) / 8) * (size_t)((nHeight + 7) / 8);
    return kHeaderBytes + kTrailerBytes + nBlocks * 3 * kWorstBlockBytes + 1;
}

int JpegEncodeI420(const unsigned char *pY, const unsigned char *pU, const unsigned char *pV,
                   int nWidth, int nHeight, int nQuality, int nStride, unsigned char *pOut,
                   int nOutSize, int *pnOutLen)
{
    if (pnOutLen)
        *pnOutLen = 0;
    if (!pY || !pOut || !pnOutLen || nWidth < 1 || nHeight < 1 || nWidth > 65535 ||
        nHeight > 65535 || nStride < nWidth || nOutSize < 0)
        return -1;
    if (nWidth >= 2 && nHeight >= 2 && (!pU || !pV))
        return -1;

    unsigned char lumaQ[64], chromaQ[64];
    ScaleQuantTable(kLumaQuant, nQuality, lumaQ);
    ScaleQuantTable(kChromaQuant, nQuality, chromaQ);
    float lumaDiv[64], chromaDiv[64];
    BuildDivisors(lumaQ, lumaDiv);
    BuildDivisors(chromaQ, chromaDiv);
    HuffTable dcLuma, dcChroma, acLuma, acChroma;
    BuildHuffTable(&dcLuma, kDcLumaBits, kDcValues);
    BuildHuffTable(&dcChroma, kDcChromaBits, kDcValues);
    BuildHuffTable(&acLuma, kAcLumaBits, kAcLumaValues);
    BuildHuffTable(&acChroma, kAcChromaBits, kAcChromaValues);

    BitWriter w = {pOut, nOutSize, 0, 0, 0, 0};
    PutHeaders(&w, nWidth, nHeight, lumaQ, chromaQ);

    int nBlocksX = (nWidth + 7) / 8, nBlocksY = (nHeight + 7) / 8;
    int predY = 0, predU = 0, predV = 0;
    float yBlk[64], uBlk[64], vBlk[64];
    for (int by = 0; by < nBlocksY && !w.bOverflow; by++) {
        for (int bx = 0; bx < nBlocksX; bx++) {
            FetchBlocks(pY, pU, pV, nWidth, nHeight, nStride, bx, by, yBlk, uBlk, vBlk);
            EncodeBlock(&w, yBlk, lumaDiv, &predY, &dcLuma, &acLuma);
            EncodeBlock(&w, uBlk, chromaDiv, &predU, &dcChroma, &acChroma);
            EncodeBlock(&w, vBlk, chromaDiv, &predV, &dcChroma, &acChroma);
        }
    }
    FlushBits(&w);
    PutWord(&w, 0xFFD9);
    if (w.bOverflow)
        return -1;
    *pnOutLen = w.nPos;
    return 0;
}

int JpegWriteI420File(const char *pPath, const unsigned char *pFrame, int nWidth, int nHeight)
{
    const char *pName = pPath ? pPath : "";
    FILE *fp = pPath ? fopen(pPath, "wb") : NULL;
    if (!fp) {
        DebugPrint("can't open %s\n", pName);
        return -1;
    }
    size_t nWorst = JpegEncodeWorstCase(nWidth, nHeight);
    if (!pFrame || nWorst == 0 || nWorst > 0x7FFFFFFF) {
        DebugPrint("JpegWriteI420File %s: bad frame %dx%d\n", pName, nWidth, nHeight);
        fclose(fp);
        FileDeleteRegular(pPath);
        return -1;
    }
    const unsigned char *pY = pFrame;
    const unsigned char *pU = pFrame + (size_t)nWidth * nHeight;
    const unsigned char *pV = pU + (size_t)(nWidth / 2) * (nHeight / 2);

    // Natural pictures at quality 100 stay well below 3 bytes per pixel; only
    // a picture that does not fit is encoded again into the worst-case size.
    size_t nFirst = (size_t)nWidth * nHeight * 3 + kHeaderBytes + kTrailerBytes;
    if (nFirst > nWorst)
        nFirst = nWorst;
    int nLen = 0, ret = -1;
    unsigned char *pOut = (unsigned char *)malloc(nFirst);
    if (pOut)
        ret = JpegEncodeI420(pY, pU, pV, nWidth, nHeight, 100, nWidth, pOut, (int)nFirst, &nLen);
    if (ret != 0 && nFirst < nWorst) {
        free(pOut);
        pOut = (unsigned char *)malloc(nWorst);
        if (pOut)
            ret = JpegEncodeI420(pY, pU, pV, nWidth, nHeight, 100, nWidth, pOut, (int)nWorst,
                                 &nLen);
    }
    if (ret == 0 && fwrite(pOut, 1, (size_t)nLen, fp) != (size_t)nLen)
        ret = -1;
    free(pOut);
    if (fclose(fp) != 0)
        ret = -1;
    if (ret != 0) {
        DebugPrint("JpegWriteI420File %s: encode or write failed\n", pName);
        FileDeleteRegular(pPath);
        return -1;
    }
    return 0;
}
