// Bit writer and CABAC encoder shared by the test-stream generators
// (hevc-mvgen, hevc-tilegen): RBSP bits, Exp-Golomb codes, NAL units with
// emulation prevention, and the arithmetic coder run backwards.
#ifndef IPCAMERA_TOOLS_HEVC_STREAM_WRITER_H
#define IPCAMERA_TOOLS_HEVC_STREAM_WRITER_H

#include <cstdint>
#include <vector>

#include "cabac.h"

namespace hevcgen {

typedef std::vector<uint8_t> Bytes;

struct Writer {
    Bytes b;
    int bits = 0; // bits used in the last byte
    void U(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            if (bits == 0)
                b.push_back(0);
            b.back() |= (uint8_t)(((v >> i) & 1) << (7 - bits));
            bits = (bits + 1) & 7;
        }
    }
    void Ue(uint32_t v)
    {
        uint64_t x = (uint64_t)v + 1;
        int n = 0;
        while ((x >> n) > 1)
            n++;
        U(0, n);
        U((uint32_t)x, n + 1);
    }
    void Se(int v) { Ue(v > 0 ? (uint32_t)(2 * v - 1) : (uint32_t)(-2 * v)); }
    void AlignOnes() // alignment bits equal to one
    {
        while (bits)
            U(1, 1);
    }
    void Trailing()
    {
        U(1, 1);
        while (bits)
            U(0, 1);
    }
    // NAL unit with start code, header and emulation prevention.
    Bytes Nal(int iType, int iLayer, int iTid) const
    {
        Bytes out = {0, 0, 0, 1, (uint8_t)(iType << 1 | iLayer >> 5), (uint8_t)((iLayer & 31) << 3 | (iTid + 1))};
        int zeros = 0;
        for (uint8_t c : b) {
            if (zeros >= 2 && c <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(c);
            zeros = c == 0 ? zeros + 1 : 0;
        }
        return out;
    }
};

// CABAC encoder (the arithmetic coder of H.265 9.3.4.3 run backwards, as
// the informative encoder of H.264 9.3.4 describes it).
struct CabacEnc {
    Writer &w;
    uint32_t low = 0, range = 510, outstanding = 0;
    bool first = true;
    explicit CabacEnc(Writer &wr) : w(wr) {}
    // A fresh start after pcm samples or at a new substream.
    void Restart()
    {
        low = 0, range = 510, outstanding = 0;
        first = true;
    }
    void Bypass(int bin)
    {
        low <<= 1;
        if (bin)
            low += range;
        if (low >= 1024) {
            PutBit(1);
            low -= 1024;
        } else if (low < 512) {
            PutBit(0);
        } else {
            low -= 512;
            outstanding++;
        }
    }
    void PutBit(uint32_t bit)
    {
        if (first)
            first = false;
        else
            w.U(bit, 1);
        for (; outstanding > 0; outstanding--)
            w.U(1 - bit, 1);
    }
    void Renorm()
    {
        while (range < 256) {
            if (low < 256) {
                PutBit(0);
            } else if (low >= 512) {
                low -= 512;
                PutBit(1);
            } else {
                low -= 256;
                outstanding++;
            }
            range <<= 1;
            low <<= 1;
        }
    }
    void Bin(uint8_t *ctx, int bin)
    {
        int state = *ctx >> 1, mps = *ctx & 1;
        uint32_t lps = g_aaucHevcCabacLps[state][(range >> 6) & 3];
        range -= lps;
        if (bin != mps) {
            low += range;
            range = lps;
            *ctx = g_aucHevcCabacNextLps[*ctx];
        } else {
            *ctx = g_aucHevcCabacNextMps[*ctx];
        }
        Renorm();
    }
    // A terminating bin (end_of_slice_segment_flag, end_of_subset_one_bit,
    // pcm_flag); after a 1 the flush's last bit is the stop bit, the
    // alignment bit equal to one, or the bit before pcm_alignment_zero_bits.
    void Terminate(int bin)
    {
        range -= 2;
        if (!bin) {
            Renorm();
            return;
        }
        low += range;
        range = 2;
        Renorm();
        PutBit((low >> 9) & 1);
        w.U(((low >> 7) & 3) | 1, 2);
    }
};

} // namespace hevcgen

#endif
