// hevc-tilegen: writes an H.265 Main stream with tiles, or with several
// slices, from raw I420 pictures, for testing tile and slice decoding (x265
// cannot write tiles, nor slices without wavefronts). Every coding unit is a
// 16x16 CTB and no residual is coded. The first picture is an IDR picture
// of intra coding units: one in eight pcm with the source samples, the
// others four 8x8 intra predictions with random modes. Each later one is a
// P picture predicting from the picture before it, its coding units chosen
// at random (seeded): skipped with a random merge candidate, coded with a
// random motion vector difference, intra as above, or pcm. So the stream has
// intra and inter edges on both sides of every tile and slice boundary,
// motion vectors reaching across them and out of the picture, and in-loop
// deblocking across them; SAO is off unless:
//   --sao                  every CTB has random SAO parameters (band or edge
//                          offsets, or merged with its left or upper
//                          neighbour in the same slice and tile).
//
// COLUMNS x ROWS uniform tiles; 1 1 is a picture without tiles (no entry
// points). One slice per picture, with one substream per tile and its entry
// point, unless:
//   --slices-per-tile-row  a new slice starts at each tile row;
//   --slice-ctbs N         a new independent slice starts every N CTBs in
//                          tile scan, so slices may start inside a tile and
//                          cover several tiles (a substream per tile part).
//                          A slice also starts where H.265 asks for it: at
//                          the next tile when a slice began inside a tile, or
//                          would end inside a later one;
//   --slices-across-tiles  leaves those out: slices then run across tile
//                          boundaries part-way (end_of_subset_one_bit and an
//                          entry point at the tile end), which H.265 does
//                          not allow, for testing robustness;
//   --odd-slices-unfiltered  the second, fourth... slice of a picture sets
//                          slice_loop_filter_across_slices_enabled_flag 0:
//                          no deblocking across its upper and left boundary;
//   --alternate-layout     the second, fourth... picture is one slice
//                          without tiles, through a second PPS (id 1) sent
//                          with the first, so the tile layout changes at
//                          every picture without a PPS in between.
//
// Usage: hevc-tilegen IN.yuv WIDTH HEIGHT FRAMES COLUMNS ROWS OUT [--seed N]
//        [--qp QP] [--slices-per-tile-row] [--slice-ctbs N [--slices-across-tiles]]
//        [--odd-slices-unfiltered] [--alternate-layout] [--sao]
// Tile columns must be 256 samples wide and rows 64 high at least.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "HevcStreamWriter.h"

namespace {

using hevcgen::Bytes;
using hevcgen::CabacEnc;
using hevcgen::Writer;

struct Options {
    uint32_t width = 0, height = 0, frames = 0, cols = 1, rows = 1;
    uint32_t seed = 1, qp = 32;
    uint32_t sliceCtbs = 0; // a slice every so many CTBs in tile scan (0: off)
    bool slicePerTileRow = false;
    bool acrossTiles = false; // slices may leave a tile they start inside
    bool oddSlicesUnfiltered = false; // odd slices not deblocked across their upper/left boundary
    bool sao = false;           // random SAO parameters in every CTB
    bool alternate = false; // odd pictures: one slice without tiles, PPS 1
};

struct Geometry {
    uint32_t codedW, codedH, ctbW, ctbH;
    std::vector<uint32_t> colBd, rowBd; // in CTBs, with the end
    std::vector<uint32_t> tsToRs, rsToTs; // tile scan <-> raster scan (H.265 6.5.1)
    std::vector<uint32_t> tileOfTs;       // tile index of each CTB in tile scan
    std::vector<uint32_t> tileStartTs;    // each tile's first CTB in tile scan, with the end
};

struct Rng {
    uint64_t s;
    uint32_t Next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (uint32_t)(s >> 11);
    }
    int Range(int lo, int hi) { return lo + (int)(Next() % (uint32_t)(hi - lo + 1)); }
};

void WriteProfileTierLevel(Writer &w)
{
    w.U(0, 2);           // general_profile_space
    w.U(0, 1);           // general_tier_flag
    w.U(1, 5);           // Main
    w.U(0x60000000u, 32); // compatible with Main and Main 10
    w.U(1, 1);           // progressive_source
    w.U(0, 1);
    w.U(0, 1);
    w.U(1, 1);           // frame_only_constraint
    w.U(0, 32);
    w.U(0, 12);
    w.U(123, 8);         // level 4.1
}

Bytes MakeVps()
{
    Writer w;
    w.U(0, 4);      // vps_video_parameter_set_id
    w.U(1, 1);      // vps_base_layer_internal_flag
    w.U(1, 1);      // vps_base_layer_available_flag
    w.U(0, 6);      // vps_max_layers_minus1
    w.U(0, 3);      // vps_max_sub_layers_minus1
    w.U(1, 1);      // vps_temporal_id_nesting_flag
    w.U(0xFFFF, 16);
    WriteProfileTierLevel(w);
    w.U(1, 1);      // vps_sub_layer_ordering_info_present_flag
    w.Ue(1);        // vps_max_dec_pic_buffering_minus1
    w.Ue(0);        // vps_max_num_reorder_pics
    w.Ue(0);        // vps_max_latency_increase_plus1
    w.U(0, 6);      // vps_max_layer_id
    w.Ue(0);        // vps_num_layer_sets_minus1
    w.U(0, 1);      // vps_timing_info_present_flag
    w.U(0, 1);      // vps_extension_flag
    w.Trailing();
    return w.Nal(32, 0, 0);
}

// CTB 16 = the only coding block size, transforms 4..16 (never coded), pcm
// 16x16 at 8 bits with deblocking, SAO with --sao, no temporal motion
// prediction.
Bytes MakeSps(const Options &o, const Geometry &g)
{
    Writer w;
    w.U(0, 4);      // sps_video_parameter_set_id
    w.U(0, 3);      // sps_max_sub_layers_minus1
    w.U(1, 1);      // sps_temporal_id_nesting_flag
    WriteProfileTierLevel(w);
    w.Ue(0);        // sps_seq_parameter_set_id
    w.Ue(1);        // chroma_format_idc 4:2:0
    w.Ue(g.codedW);
    w.Ue(g.codedH);
    const bool crop = g.codedW != o.width || g.codedH != o.height;
    w.U(crop, 1);   // conformance_window_flag
    if (crop) {
        w.Ue(0);
        w.Ue((g.codedW - o.width) / 2);
        w.Ue(0);
        w.Ue((g.codedH - o.height) / 2);
    }
    w.Ue(0);        // bit_depth_luma_minus8
    w.Ue(0);        // bit_depth_chroma_minus8
    w.Ue(4);        // log2_max_pic_order_cnt_lsb_minus4
    w.U(1, 1);      // sps_sub_layer_ordering_info_present_flag
    w.Ue(1);
    w.Ue(0);
    w.Ue(0);
    hevcgen::WriteSpsTools(w, 4, 0, 4, o.sao); // CTB 16 = the coding block, pcm 16x16
    return w.Nal(33, 0, 0);
}

Bytes MakePps(const Options &o, int id)
{
    hevcgen::PpsFields p;
    p.id = id;
    p.initQp = (int)o.qp;
    p.tileCols = o.cols;
    p.tileRows = o.rows;
    p.lfAcrossSlices = true;
    return hevcgen::MakePps(p, 0);
}

// Emulation prevention bytes the NAL unit gains over these RBSP bytes (a
// substream ends in a non-zero byte, so none falls on a boundary).
uint32_t EmulationBytes(const Bytes &b)
{
    uint32_t n = 0;
    int zeros = 0;
    for (uint8_t c : b) {
        if (zeros >= 2 && c <= 3) {
            n++;
            zeros = 0;
        }
        zeros = c == 0 ? zeros + 1 : 0;
    }
    return n;
}

class PictureCoder {
public:
    PictureCoder(const Options &o, const Geometry &g, Rng &rng, const std::vector<Bytes> &planes, uint32_t ppsId)
        : m_o(o), m_g(g), m_rng(rng), m_planes(planes), m_skip(g.ctbW * g.ctbH, 0), m_ppsId(ppsId)
    {
    }

    // Slice number k of the picture: the CTBs [ts0, ts1) in tile scan, a
    // substream per tile (part) it covers. Returns the NAL unit.
    Bytes Slice(uint32_t frame, uint32_t k, uint32_t ts0, uint32_t ts1)
    {
        const bool idr = frame == 0;
        m_sliceTs = ts0;
        std::vector<Bytes> subs;
        Writer w;
        CabacEnc e(w);
        HevcCabacInitContexts(&m_ctx, HevcCabacInitType(idr ? 2 : 1, 0), (int)m_o.qp);
        for (uint32_t ts = ts0; ts < ts1; ts++) {
            const uint32_t tile = m_g.tileOfTs[ts], rs = m_g.tsToRs[ts];
            const uint32_t x0 = m_g.colBd[tile % m_o.cols], y0 = m_g.rowBd[tile / m_o.cols];
            if (m_o.sao)
                Sao(e, rs % m_g.ctbW, rs / m_g.ctbW, x0, y0);
            CodingUnit(e, w, idr, rs % m_g.ctbW, rs / m_g.ctbW, x0, y0);
            e.Terminate(ts + 1 == ts1); // end_of_slice_segment_flag
            if (ts + 1 < ts1 && m_g.tileOfTs[ts + 1] != tile) {
                e.Terminate(1); // end_of_subset_one_bit, then byte_alignment()
                while (w.bits)
                    w.U(0, 1);
                subs.push_back(w.b);
                w.b.clear();
                e.Restart();
                HevcCabacInitContexts(&m_ctx, HevcCabacInitType(idr ? 2 : 1, 0), (int)m_o.qp);
            }
        }
        while (w.bits)
            w.U(0, 1);
        subs.push_back(w.b);
        Writer h;
        h.U(ts0 == 0, 1);   // first_slice_segment_in_pic_flag
        if (idr)
            h.U(0, 1);      // no_output_of_prior_pics_flag
        h.Ue(m_ppsId);      // slice_pic_parameter_set_id
        if (ts0 != 0) {
            uint32_t bits = 0;
            while ((1u << bits) < m_g.ctbW * m_g.ctbH)
                bits++;
            h.U(m_g.tsToRs[ts0], (int)bits); // slice_segment_address, in raster scan
        }
        h.Ue(idr ? 2 : 1);  // slice_type
        if (!idr) {
            h.U(frame & 255, 8); // slice_pic_order_cnt_lsb
            h.U(0, 1);      // short_term_ref_pic_set_sps_flag
            h.Ue(1);        // num_negative_pics
            h.Ue(0);        // num_positive_pics
            h.Ue(0);        // delta_poc_s0_minus1
            h.U(1, 1);      // used_by_curr_pic_s0_flag
        }
        if (m_o.sao) {
            h.U(1, 1);      // slice_sao_luma_flag
            h.U(1, 1);      // slice_sao_chroma_flag
        }
        if (!idr) {
            h.U(0, 1);      // num_ref_idx_active_override_flag
            h.Ue(2);        // five_minus_max_num_merge_cand: 3 candidates
        }
        h.Se(0);            // slice_qp_delta
        h.U(!(m_o.oddSlicesUnfiltered && k % 2), 1); // slice_loop_filter_across_slices_enabled_flag
        if (m_o.cols * m_o.rows > 1)
            h.Ue((uint32_t)subs.size() - 1); // num_entry_point_offsets
        if (subs.size() > 1) {
            uint32_t maxLen = 1, lenBits = 1;
            for (size_t i = 0; i + 1 < subs.size(); i++) {
                uint32_t n = (uint32_t)subs[i].size() + EmulationBytes(subs[i]);
                maxLen = n > maxLen ? n : maxLen;
            }
            while ((1ull << lenBits) < maxLen)
                lenBits++;
            h.Ue(lenBits - 1); // offset_len_minus1
            for (size_t i = 0; i + 1 < subs.size(); i++)
                h.U((uint32_t)subs[i].size() + EmulationBytes(subs[i]) - 1, (int)lenBits);
        }
        h.Trailing();       // byte_alignment()
        for (const Bytes &s : subs)
            h.b.insert(h.b.end(), s.begin(), s.end());
        return h.Nal(idr ? 19 : 1, 0, 0);
    }

private:
    void Pcm(CabacEnc &e, Writer &w, uint32_t x, uint32_t y)
    {
        e.Terminate(1); // pcm_flag
        while (w.bits)
            w.U(0, 1);  // pcm_alignment_zero_bit
        for (int c = 0; c < 3; c++) {
            const uint32_t n = c ? 8 : 16, stride = c ? m_g.codedW / 2 : m_g.codedW;
            for (uint32_t j = 0; j < n; j++)
                for (uint32_t i = 0; i < n; i++)
                    w.U(m_planes[c][(y * n + j) * stride + x * n + i], 8);
        }
        e.Restart();
    }

    // An intra CU of four 8x8 predictions, random luma modes, chroma as
    // luma or random, no residual (the NxN split makes the luma cbfs coded).
    void IntraNxN(CabacEnc &e)
    {
        uint8_t *ctx = m_ctx.aucState;
        e.Bin(&ctx[HEVC_CTX_PART_MODE], 0); // NxN
        int mpm[4];
        for (int &m : mpm) {
            m = (int)(m_rng.Next() % 2);
            e.Bin(&ctx[HEVC_CTX_PREV_INTRA_LUMA_PRED_FLAG], m); // prev_intra_luma_pred_flag
        }
        for (int m : mpm) {
            if (m) { // mpm_idx, truncated unary up to 2
                int idx = m_rng.Range(0, 2);
                e.Bypass(idx > 0);
                if (idx > 0)
                    e.Bypass(idx > 1);
            } else { // rem_intra_luma_pred_mode
                uint32_t rem = m_rng.Next() % 32;
                for (int b = 4; b >= 0; b--)
                    e.Bypass((rem >> b) & 1);
            }
        }
        const int chroma = m_rng.Range(0, 4); // intra_chroma_pred_mode: 4 is the luma mode
        e.Bin(&ctx[HEVC_CTX_INTRA_CHROMA_PRED_MODE], chroma != 4);
        if (chroma != 4) {
            e.Bypass(chroma >> 1);
            e.Bypass(chroma & 1);
        }
        e.Bin(&ctx[HEVC_CTX_CBF_CHROMA], 0); // cbf_cb, cbf_cr at depth 0
        e.Bin(&ctx[HEVC_CTX_CBF_CHROMA], 0);
        for (int i = 0; i < 4; i++)
            e.Bin(&ctx[HEVC_CTX_CBF_LUMA], 0); // cbf_luma at depth 1
    }

    // The CU of CTB (x, y); (x0, y0) is its tile's first CTB.
    // sao() of CTB (x, y) in the tile starting at CTB (x0, y0): merged with
    // a neighbour in the same slice and tile, or random offsets per plane
    // (Cr takes Cb's type and edge class), 8 bits: offsets up to 7.
    void Sao(CabacEnc &e, uint32_t x, uint32_t y, uint32_t x0, uint32_t y0)
    {
        const uint32_t rs = y * m_g.ctbW + x;
        uint8_t *ctx = m_ctx.aucState;
        const uint32_t r = m_rng.Next();
        if (x > x0 && m_g.rsToTs[rs - 1] >= m_sliceTs) {
            e.Bin(&ctx[HEVC_CTX_SAO_MERGE_FLAG], r % 4 == 0); // sao_merge_left_flag
            if (r % 4 == 0)
                return;
        }
        if (y > y0 && m_g.rsToTs[rs - m_g.ctbW] >= m_sliceTs) {
            e.Bin(&ctx[HEVC_CTX_SAO_MERGE_FLAG], r % 4 == 1); // sao_merge_up_flag
            if (r % 4 == 1)
                return;
        }
        uint32_t type = 0;
        for (int c = 0; c < 3; c++) {
            if (c < 2) {
                type = m_rng.Next() % 3; // sao_type_idx: 0 off, 1 band, 2 edge
                e.Bin(&ctx[HEVC_CTX_SAO_TYPE_IDX], type != 0);
                if (type)
                    e.Bypass(type == 2);
            }
            if (!type)
                continue;
            uint32_t offsetAbs[4];
            for (uint32_t &a : offsetAbs) {
                a = m_rng.Next() % 5; // sao_offset_abs, truncated unary up to 7
                for (uint32_t i = 0; i < a; i++)
                    e.Bypass(1);
                if (a < 7)
                    e.Bypass(0);
            }
            if (type == 1) {
                for (uint32_t a : offsetAbs)
                    if (a)
                        e.Bypass((int)(m_rng.Next() & 1)); // sao_offset_sign
                const uint32_t band = m_rng.Next() % 32;
                for (int b = 4; b >= 0; b--)
                    e.Bypass((int)((band >> b) & 1)); // sao_band_position
            } else if (c < 2) {
                const uint32_t cls = m_rng.Next() % 4;
                e.Bypass((int)(cls >> 1)); // sao_eo_class_luma / _chroma
                e.Bypass((int)(cls & 1));
            }
        }
    }

    void CodingUnit(CabacEnc &e, Writer &w, bool idr, uint32_t x, uint32_t y, uint32_t x0, uint32_t y0)
    {
        const uint32_t rs = y * m_g.ctbW + x;
        uint8_t *ctx = m_ctx.aucState;
        if (idr) {
            if (m_rng.Next() % 8 == 0) {
                e.Bin(&ctx[HEVC_CTX_PART_MODE], 1); // 2Nx2N
                Pcm(e, w, x, y);
            } else {
                IntraNxN(e);
            }
            return;
        }
        // 0..9 skip, 10..16 motion vector difference, 17..18 intra, 19 pcm
        const int kind = m_rng.Range(0, 19);
        // Neighbours count only in the same tile and slice (H.265 6.4.1).
        const int inc = (x > x0 && m_g.rsToTs[rs - 1] >= m_sliceTs && m_skip[rs - 1]) +
                        (y > y0 && m_g.rsToTs[rs - m_g.ctbW] >= m_sliceTs && m_skip[rs - m_g.ctbW]);
        m_skip[rs] = kind < 10;
        e.Bin(&ctx[HEVC_CTX_CU_SKIP_FLAG + inc], kind < 10);
        if (kind < 10) {
            const int idx = m_rng.Range(0, 2); // merge_idx, truncated unary up to 2
            e.Bin(&ctx[HEVC_CTX_MERGE_IDX], idx > 0);
            if (idx > 0)
                e.Bypass(idx > 1);
            return;
        }
        e.Bin(&ctx[HEVC_CTX_PRED_MODE_FLAG], kind >= 17);
        if (kind == 17 || kind == 18) {
            IntraNxN(e);
            return;
        }
        e.Bin(&ctx[HEVC_CTX_PART_MODE], 1); // 2Nx2N
        if (kind == 19) {
            Pcm(e, w, x, y);
            return;
        }
        e.Bin(&ctx[HEVC_CTX_MERGE_FLAG], 0);
        int mvd[2];
        for (int &v : mvd)
            v = m_rng.Next() % 4 == 0 ? 0 : m_rng.Range(-96, 96);
        for (int v : mvd)
            e.Bin(&ctx[HEVC_CTX_ABS_MVD_GREATER0], v != 0);
        for (int v : mvd)
            if (v)
                e.Bin(&ctx[HEVC_CTX_ABS_MVD_GREATER1], abs(v) > 1);
        for (int v : mvd) {
            if (!v)
                continue;
            if (abs(v) > 1) { // abs_mvd_minus2: first-order Exp-Golomb, bypass
                uint32_t k = 1, a = (uint32_t)abs(v) - 2;
                while (a >= (1u << k)) {
                    e.Bypass(1);
                    a -= 1u << k;
                    k++;
                }
                e.Bypass(0);
                while (k--)
                    e.Bypass((a >> k) & 1);
            }
            e.Bypass(v < 0); // mvd_sign_flag
        }
        e.Bin(&ctx[HEVC_CTX_MVP_FLAG], (int)(m_rng.Next() & 1));
        e.Bin(&ctx[HEVC_CTX_RQT_ROOT_CBF], 0);
    }

    const Options &m_o;
    const Geometry &m_g;
    Rng &m_rng;
    const std::vector<Bytes> &m_planes;
    std::vector<uint8_t> m_skip;
    uint32_t m_ppsId;
    uint32_t m_sliceTs = 0; // the current slice's first CTB in tile scan
    HevcCabacCtx m_ctx;
};

bool ParseArgs(int argc, char **argv, Options &o)
{
    if (argc < 8)
        return false;
    o.width = (uint32_t)atoi(argv[2]);
    o.height = (uint32_t)atoi(argv[3]);
    o.frames = (uint32_t)atoi(argv[4]);
    o.cols = (uint32_t)atoi(argv[5]);
    o.rows = (uint32_t)atoi(argv[6]);
    for (int i = 8; i < argc; i++) {
        if (!strcmp(argv[i], "--seed") && i + 1 < argc)
            o.seed = (uint32_t)atoi(argv[++i]);
        else if (!strcmp(argv[i], "--qp") && i + 1 < argc)
            o.qp = (uint32_t)atoi(argv[++i]);
        else if (!strcmp(argv[i], "--slices-per-tile-row"))
            o.slicePerTileRow = true;
        else if (!strcmp(argv[i], "--slice-ctbs") && i + 1 < argc && atoi(argv[i + 1]) > 0)
            o.sliceCtbs = (uint32_t)atoi(argv[++i]);
        else if (!strcmp(argv[i], "--slices-across-tiles"))
            o.acrossTiles = true;
        else if (!strcmp(argv[i], "--odd-slices-unfiltered"))
            o.oddSlicesUnfiltered = true;
        else if (!strcmp(argv[i], "--alternate-layout"))
            o.alternate = true;
        else if (!strcmp(argv[i], "--sao"))
            o.sao = true;
        else
            return false;
    }
    return o.width >= 16 && o.height >= 16 && o.width % 2 == 0 && o.height % 2 == 0 && o.frames > 0 && o.cols > 0 &&
           o.rows > 0 && o.qp <= 51;
}

// CTB scan conversion and tile map of H.265 6.5.1.
void MakeScan(Geometry &g, uint32_t cols, uint32_t rows)
{
    for (uint32_t ty = 0; ty < rows; ty++)
        for (uint32_t tx = 0; tx < cols; tx++) {
            g.tileStartTs.push_back((uint32_t)g.tsToRs.size());
            for (uint32_t y = g.rowBd[ty]; y < g.rowBd[ty + 1]; y++)
                for (uint32_t x = g.colBd[tx]; x < g.colBd[tx + 1]; x++) {
                    g.tsToRs.push_back(y * g.ctbW + x);
                    g.tileOfTs.push_back(ty * cols + tx);
                }
        }
    g.tileStartTs.push_back((uint32_t)g.tsToRs.size());
    g.rsToTs.assign(g.tsToRs.size(), 0);
    for (uint32_t ts = 0; ts < g.tsToRs.size(); ts++)
        g.rsToTs[g.tsToRs[ts]] = ts;
}

// First CTBs (tile scan) of the slices of a picture, with the end. Without
// options one slice; --slices-per-tile-row starts one at each tile row,
// --slice-ctbs every N CTBs. H.265 wants each slice inside one tile or made
// of whole tiles, so a slice also starts at a tile the slice before would
// leave part-way (a slice started inside a tile, or one that would end
// inside a later tile) unless --slices-across-tiles asks for such streams.
std::vector<uint32_t> SliceStarts(const Options &o, const Geometry &g)
{
    const uint32_t total = (uint32_t)g.tsToRs.size();
    std::vector<uint32_t> starts = {0};
    for (uint32_t ts = 1; ts < total; ts++) {
        const uint32_t tile = g.tileOfTs[ts], from = starts.back();
        const bool tileStart = g.tileOfTs[ts - 1] != tile;
        bool start = o.sliceCtbs && ts % o.sliceCtbs == 0;
        if (tileStart && o.slicePerTileRow && tile % o.cols == 0)
            start = true;
        if (tileStart && o.sliceCtbs && !o.acrossTiles) {
            const uint32_t next = (ts / o.sliceCtbs + 1) * o.sliceCtbs; // the next regular start
            if (g.tileStartTs[g.tileOfTs[from]] != from || next < g.tileStartTs[tile + 1])
                start = true;
        }
        if (start)
            starts.push_back(ts);
    }
    starts.push_back(total);
    return starts;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        fprintf(stderr, "usage: %s IN.yuv WIDTH HEIGHT FRAMES COLUMNS ROWS OUT [--seed N] [--qp QP] "
                        "[--slices-per-tile-row] [--slice-ctbs N [--slices-across-tiles]] "
                        "[--odd-slices-unfiltered] [--alternate-layout]\n", argv[0]);
        return 2;
    }
    Geometry g;
    g.codedW = (o.width + 15) & ~15u;
    g.codedH = (o.height + 15) & ~15u;
    g.ctbW = g.codedW / 16;
    g.ctbH = g.codedH / 16;
    for (uint32_t i = 0; i <= o.cols; i++)
        g.colBd.push_back(i * g.ctbW / o.cols);
    for (uint32_t j = 0; j <= o.rows; j++)
        g.rowBd.push_back(j * g.ctbH / o.rows);
    MakeScan(g, o.cols, o.rows);
    const std::vector<uint32_t> slices = SliceStarts(o, g);
    for (uint32_t i = 0; i < o.cols; i++)
        if ((g.colBd[i + 1] - g.colBd[i]) * 16 < 256 && o.cols > 1) {
            fprintf(stderr, "tile columns must be 256 samples wide at least\n");
            return 2;
        }
    for (uint32_t j = 0; j < o.rows; j++)
        if ((g.rowBd[j + 1] - g.rowBd[j]) * 16 < 64 && o.rows > 1) {
            fprintf(stderr, "tile rows must be 64 samples high at least\n");
            return 2;
        }
    FILE *in = fopen(argv[1], "rb");
    FILE *out = fopen(argv[7], "wb");
    if (!in || !out) {
        fprintf(stderr, "cannot open %s or %s\n", argv[1], argv[7]);
        return 1;
    }
    Rng rng{0x9E3779B97F4A7C15ull * (o.seed + 1)};
    Bytes head = MakeVps(), sps = MakeSps(o, g), pps = MakePps(o, 0);
    head.insert(head.end(), sps.begin(), sps.end());
    head.insert(head.end(), pps.begin(), pps.end());
    // The second layout: the whole picture one tile and one slice.
    Options flatOpts = o;
    flatOpts.cols = flatOpts.rows = 1;
    flatOpts.sliceCtbs = 0;
    flatOpts.slicePerTileRow = false;
    Geometry flat = g;
    flat.colBd = {0, g.ctbW};
    flat.rowBd = {0, g.ctbH};
    flat.tsToRs.clear();
    flat.tileOfTs.clear();
    flat.tileStartTs.clear();
    MakeScan(flat, 1, 1);
    if (o.alternate) {
        Bytes pps1 = MakePps(flatOpts, 1);
        head.insert(head.end(), pps1.begin(), pps1.end());
    }
    bool ok = fwrite(head.data(), 1, head.size(), out) == head.size();
    // Source pictures padded to whole CTBs by repeating the edge; values
    // 0..3 are avoided so pcm samples never form start code prefixes.
    std::vector<Bytes> planes(3);
    Bytes src((size_t)o.width * o.height * 3 / 2);
    PictureCoder coder(o, g, rng, planes, 0), flatCoder(flatOpts, flat, rng, planes, 1);
    const std::vector<uint32_t> flatSlices = {0, flat.ctbW * flat.ctbH};
    for (uint32_t f = 0; f < o.frames && ok; f++) {
        if (fread(src.data(), 1, src.size(), in) != src.size()) {
            fprintf(stderr, "%s holds only %u pictures\n", argv[1], f);
            ok = false;
            break;
        }
        const uint8_t *p = src.data();
        for (int c = 0; c < 3; c++) {
            const uint32_t w = c ? o.width / 2 : o.width, h = c ? o.height / 2 : o.height;
            const uint32_t cw = c ? g.codedW / 2 : g.codedW, ch = c ? g.codedH / 2 : g.codedH;
            planes[c].assign((size_t)cw * ch, 0);
            for (uint32_t y = 0; y < ch; y++)
                for (uint32_t x = 0; x < cw; x++) {
                    uint8_t v = p[(y < h ? y : h - 1) * w + (x < w ? x : w - 1)];
                    planes[c][(size_t)y * cw + x] = v < 4 ? 4 : v;
                }
            p += (size_t)w * h;
        }
        const bool bFlat = o.alternate && f % 2;
        const std::vector<uint32_t> &starts = bFlat ? flatSlices : slices;
        for (size_t k = 0; k + 1 < starts.size() && ok; k++) {
            Bytes nal = (bFlat ? flatCoder : coder).Slice(f, (uint32_t)k, starts[k], starts[k + 1]);
            ok = fwrite(nal.data(), 1, nal.size(), out) == nal.size();
        }
    }
    fclose(in);
    if (fclose(out) != 0 || !ok) {
        fprintf(stderr, "writing %s failed\n", argv[7]);
        return 1;
    }
    return 0;
}
