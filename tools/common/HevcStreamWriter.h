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


// A PPS with everything off but what these fields ask for: one reference
// per list by default, no scaling lists, no wavefronts.
struct PpsFields {
    uint32_t id = 0, spsId = 0;
    int initQp = 26;
    bool weighted = false;
    uint32_t tileCols = 1, tileRows = 1; // tiles (uniform) when either is above 1
    bool lfAcrossTiles = true, lfAcrossSlices = false;
    bool deblockingOff = false;
};

inline Bytes MakePps(const PpsFields &p, int layer)
{
    Writer w;
    w.Ue(p.id);     // pps_pic_parameter_set_id
    w.Ue(p.spsId);  // pps_seq_parameter_set_id
    w.U(0, 1);      // dependent_slice_segments_enabled_flag
    w.U(0, 1);      // output_flag_present_flag
    w.U(0, 3);      // num_extra_slice_header_bits
    w.U(0, 1);      // sign_data_hiding_enabled_flag
    w.U(0, 1);      // cabac_init_present_flag
    w.Ue(0);        // num_ref_idx_l0_default_active_minus1
    w.Ue(0);
    w.Se(p.initQp - 26);
    w.U(0, 1);      // constrained_intra_pred_flag
    w.U(0, 1);      // transform_skip_enabled_flag
    w.U(0, 1);      // cu_qp_delta_enabled_flag
    w.Se(0);        // pps_cb_qp_offset
    w.Se(0);        // pps_cr_qp_offset
    w.U(0, 1);      // pps_slice_chroma_qp_offsets_present_flag
    w.U(p.weighted, 1);
    w.U(0, 1);      // weighted_bipred_flag
    w.U(0, 1);      // transquant_bypass_enabled_flag
    const bool tiles = p.tileCols > 1 || p.tileRows > 1;
    w.U(tiles, 1);  // tiles_enabled_flag
    w.U(0, 1);      // entropy_coding_sync_enabled_flag
    if (tiles) {
        w.Ue(p.tileCols - 1);
        w.Ue(p.tileRows - 1);
        w.U(1, 1);  // uniform_spacing_flag
        w.U(p.lfAcrossTiles, 1);
    }
    w.U(p.lfAcrossSlices, 1);
    w.U(p.deblockingOff, 1); // deblocking_filter_control_present_flag
    if (p.deblockingOff) {
        w.U(0, 1);  // deblocking_filter_override_enabled_flag
        w.U(1, 1);  // pps_deblocking_filter_disabled_flag
    }
    w.U(0, 1);      // pps_scaling_list_data_present_flag
    w.U(0, 1);      // lists_modification_present_flag
    w.Ue(0);        // log2_parallel_merge_level_minus2
    w.U(0, 1);      // slice_segment_header_extension_present_flag
    w.U(0, 1);      // pps_extension_present_flag
    w.Trailing();
    return w.Nal(34, layer, 0);
}

// The SPS from log2_min_luma_coding_block_size_minus3 to its end: transforms
// 4..16 never split, no scaling lists or AMP, SAO when asked, pcm of one
// block size at 8 bits with deblocking when pcmLog2 is non-zero, no sets of
// reference pictures, long-term pictures, temporal motion prediction or VUI.
inline void WriteSpsTools(Writer &w, uint32_t log2MinCb, uint32_t log2CtbDiff, uint32_t pcmLog2, bool sao = false)
{
    w.Ue(log2MinCb - 3);
    w.Ue(log2CtbDiff);
    w.Ue(0);        // log2_min_luma_transform_block_size_minus2
    w.Ue(2);        // log2_diff_max_min_luma_transform_block_size
    w.Ue(0);        // max_transform_hierarchy_depth_inter
    w.Ue(0);        // max_transform_hierarchy_depth_intra
    w.U(0, 1);      // scaling_list_enabled_flag
    w.U(0, 1);      // amp_enabled_flag
    w.U(sao, 1);    // sample_adaptive_offset_enabled_flag
    w.U(pcmLog2 != 0, 1);
    if (pcmLog2) {
        w.U(7, 4);  // pcm_sample_bit_depth_luma_minus1
        w.U(7, 4);  // pcm_sample_bit_depth_chroma_minus1
        w.Ue(pcmLog2 - 3);
        w.Ue(0);    // log2_diff_max_min_pcm_luma_coding_block_size
        w.U(0, 1);  // pcm_loop_filter_disabled_flag
    }
    w.Ue(0);        // num_short_term_ref_pic_sets
    w.U(0, 1);      // long_term_ref_pics_present_flag
    w.U(0, 1);      // sps_temporal_mvp_enabled_flag
    w.U(0, 1);      // strong_intra_smoothing_enabled_flag
    w.U(0, 1);      // vui_parameters_present_flag
    w.U(0, 1);      // sps_extension_present_flag
    w.Trailing();
}

} // namespace hevcgen

#endif
