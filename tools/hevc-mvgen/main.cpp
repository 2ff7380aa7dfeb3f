// hevc-mvgen: turns a single-layer H.265 stream into a two-layer (multiview)
// stream for testing the decoder's second layer. The input's pictures stay
// the base layer; every access unit gets one layer-1 picture whose slice is
// a P slice predicting only from the base picture of its access unit, every
// coding unit skipped (merge candidate 0, zero motion), no deblocking, no
// SAO. Layer 1 therefore equals layer 0 sample for sample; with --offset K
// its PPS enables weighted prediction and the slices carry luma offset K, so
// layer-1 luma is Clip(layer-0 luma + K << (bitDepth - 8)) and chroma equal.
//
// Written for the multiview syntax of ITU-T H.265 Annex F/G: a VPS with
// two layers and the multiview extension (layer 1 depends on layer 0), a
// layer-1 SPS (id 1) and PPS (id 1) sent with nuh_layer_id 1, layer-1
// pictures of type IDR_W_RADL in access units whose base picture is an IDR
// and TRAIL_R elsewhere, with the TemporalId and order count of the base.
// The input must have the single-layer syntax x265 writes (no temporal
// sub-layers beyond what the SPS says, first slice segments only carry what
// the PPS flags say).
//
// Usage: hevc-mvgen IN OUT [--offset K]
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

// RBSP reader over a NAL unit (emulation prevention removed first).
struct Reader {
    Bytes b;
    size_t pos = 0;
    explicit Reader(const Bytes &nal)
    {
        int zeros = 0;
        for (uint8_t c : nal) {
            if (zeros >= 2 && c == 3) {
                zeros = 0;
                continue;
            }
            b.push_back(c);
            zeros = c == 0 ? zeros + 1 : 0;
        }
    }
    uint32_t U(int n)
    {
        uint32_t v = 0;
        for (int i = 0; i < n; i++, pos++)
            v = v << 1 | (pos / 8 < b.size() ? (b[pos / 8] >> (7 - pos % 8)) & 1 : 0);
        return v;
    }
    uint32_t Ue()
    {
        int z = 0;
        while (z < 32 && U(1) == 0)
            z++;
        return (uint32_t)((1ull << z) - 1 + U(z));
    }
};

struct SpsInfo {
    uint32_t maxSubLayersMinus1 = 0, width = 0, height = 0, depthY = 8, depthC = 8, log2PocLsb = 8;
    uint32_t confWin[4] = {0, 0, 0, 0};
    bool confFlag = false;
    uint32_t profileIdc = 1, levelIdc = 93;
    std::vector<uint32_t> ordering; // dec_pic_buffering_minus1, reorder, latency per sub-layer
};

struct PpsInfo {
    bool dependent = false, outputFlag = false;
    uint32_t extraBits = 0;
};

bool ParseSps(const Bytes &nal, SpsInfo &s)
{
    Reader r(nal);
    r.U(16 + 4);
    s.maxSubLayersMinus1 = r.U(3);
    r.U(1);
    // profile_tier_level(1, maxSubLayersMinus1)
    r.U(3);
    s.profileIdc = r.U(5);
    r.U(32 + 48);
    s.levelIdc = r.U(8);
    std::vector<int> prof, lev;
    for (uint32_t i = 0; i < s.maxSubLayersMinus1; i++) {
        prof.push_back((int)r.U(1));
        lev.push_back((int)r.U(1));
    }
    if (s.maxSubLayersMinus1 > 0)
        for (uint32_t i = s.maxSubLayersMinus1; i < 8; i++)
            r.U(2);
    for (uint32_t i = 0; i < s.maxSubLayersMinus1; i++)
        r.U((prof[i] ? 88 : 0) + (lev[i] ? 8 : 0));
    r.Ue(); // sps id
    if (r.Ue() != 1)
        return false; // 4:2:0 only
    s.width = r.Ue();
    s.height = r.Ue();
    s.confFlag = r.U(1);
    if (s.confFlag)
        for (uint32_t &c : s.confWin)
            c = r.Ue();
    s.depthY = r.Ue() + 8;
    s.depthC = r.Ue() + 8;
    s.log2PocLsb = r.Ue() + 4;
    bool all = r.U(1);
    for (uint32_t i = all ? 0 : s.maxSubLayersMinus1; i <= s.maxSubLayersMinus1; i++)
        for (int k = 0; k < 3; k++)
            s.ordering.push_back(r.Ue());
    return s.width > 0 && s.height > 0 && r.pos <= r.b.size() * 8;
}

PpsInfo ParsePps(const Bytes &nal)
{
    Reader r(nal);
    r.U(16);
    r.Ue();
    r.Ue();
    PpsInfo p;
    p.dependent = r.U(1);
    p.outputFlag = r.U(1);
    p.extraBits = r.U(3);
    return p;
}

void WritePtlGeneral(Writer &w, const SpsInfo &s)
{
    w.U(0, 2);                         // general_profile_space
    w.U(0, 1);                         // general_tier_flag
    w.U(s.profileIdc, 5);
    w.U(s.profileIdc == 2 ? 0x20000000u : 0x60000000u, 32); // compatibility flags
    w.U(1, 1);                         // progressive_source
    w.U(0, 1);
    w.U(0, 1);
    w.U(1, 1);                         // frame_only_constraint
    w.U(0, 32);                        // 43 reserved bits and general_inbld_flag
    w.U(0, 12);
    w.U(s.levelIdc, 8);
}

// Sub-layer part of profile_tier_level with no sub-layer information.
void WritePtlSubLayers(Writer &w, uint32_t maxSubLayersMinus1)
{
    for (uint32_t i = 0; i < maxSubLayersMinus1; i++)
        w.U(0, 2);
    if (maxSubLayersMinus1 > 0)
        for (uint32_t i = maxSubLayersMinus1; i < 8; i++)
            w.U(0, 2);
}

void WriteOrdering(Writer &w, const SpsInfo &s, bool presentFlag)
{
    if (presentFlag)
        w.U(1, 1);
    for (uint32_t i = 0; i <= s.maxSubLayersMinus1; i++) {
        size_t k = 3 * (s.ordering.size() / 3 > i ? i : s.ordering.size() / 3 - 1);
        w.Ue(s.ordering[k] + 1); // room for the layer-1 picture
        w.Ue(s.ordering[k + 1]);
        w.Ue(s.ordering[k + 2]);
    }
}

// VPS with two layers: the base (layer set 0) and {0, 1} (layer set 1),
// multiview extension with layer 1 depending on layer 0.
Bytes MakeVps(const SpsInfo &s)
{
    Writer w;
    w.U(0, 4);  // vps_video_parameter_set_id
    w.U(1, 1);  // vps_base_layer_internal_flag
    w.U(1, 1);  // vps_base_layer_available_flag
    w.U(1, 6);  // vps_max_layers_minus1
    w.U(s.maxSubLayersMinus1, 3);
    w.U(s.maxSubLayersMinus1 == 0 ? 1 : 0, 1); // vps_temporal_id_nesting_flag
    w.U(0xFFFF, 16);
    WritePtlGeneral(w, s);
    WritePtlSubLayers(w, s.maxSubLayersMinus1);
    WriteOrdering(w, s, true);
    w.U(1, 6);  // vps_max_layer_id
    w.Ue(1);    // vps_num_layer_sets_minus1
    w.U(1, 1);  // layer_id_included_flag[1][0]
    w.U(1, 1);  // layer_id_included_flag[1][1]
    w.U(0, 1);  // vps_timing_info_present_flag
    w.U(1, 1);  // vps_extension_flag
    w.AlignOnes();
    // vps_extension()
    w.U(s.levelIdc, 8); // profile_tier_level(0, ...): level only
    WritePtlSubLayers(w, s.maxSubLayersMinus1);
    w.U(0, 1);          // splitting_flag
    for (int i = 0; i < 16; i++)
        w.U(i == 1, 1); // scalability_mask_flag: multiview only
    w.U(0, 3);          // dimension_id_len_minus1[0]: 1 bit
    w.U(0, 1);          // vps_nuh_layer_id_present_flag
    w.U(1, 1);          // dimension_id[1][0]: ViewOrderIdx 1
    w.U(0, 4);          // view_id_len
    w.U(1, 1);          // direct_dependency_flag[1][0]
    w.U(0, 1);          // vps_sub_layers_max_minus1_present_flag
    w.U(0, 1);          // max_tid_ref_present_flag
    w.U(0, 1);          // default_ref_layers_active_flag
    w.Ue(1);            // vps_num_profile_tier_level_minus1
    w.Ue(0);            // num_add_olss
    w.U(0, 2);          // default_output_layer_idc: all layers output
    w.U(0, 1);          // profile_tier_level_idx[1][0]
    w.U(1, 1);          // profile_tier_level_idx[1][1]
    w.Ue(0);            // vps_num_rep_formats_minus1
    w.U(s.width, 16);
    w.U(s.height, 16);
    w.U(1, 1);          // chroma_and_bit_depth_vps_present_flag
    w.U(1, 2);          // chroma_format_vps_idc
    w.U(s.depthY - 8, 4);
    w.U(s.depthC - 8, 4);
    w.U(s.confFlag, 1);
    if (s.confFlag)
        for (uint32_t c : s.confWin)
            w.Ue(c);
    w.U(0, 1);          // max_one_active_ref_layer_flag
    w.U(0, 1);          // vps_poc_lsb_aligned_flag
    // dpb_size() of output layer set 1
    w.U(0, 1);          // sub_layer_flag_info_present_flag
    for (uint32_t j = 0; j <= s.maxSubLayersMinus1; j++) {
        size_t k = 3 * (s.ordering.size() / 3 > j ? j : s.ordering.size() / 3 - 1);
        w.Ue(s.ordering[k] + 1);
        w.Ue(s.ordering[k] + 1);
        w.Ue(s.ordering[k + 1]);
        w.Ue(s.ordering[k + 2]);
        if (j == 0)
            break; // sub_layer_dpb_info_present_flag is 0 above sub-layer 0
    }
    w.Ue(0);            // direct_dep_type_len_minus2
    w.U(1, 1);          // direct_dependency_all_layers_flag
    w.U(2, 2);          // direct_dependency_all_layers_type: sample and motion
    w.Ue(0);            // vps_non_vui_extension_length
    w.U(0, 1);          // vps_vui_present_flag
    w.U(0, 1);          // vps_extension2_flag
    w.Trailing();
    return w.Nal(32, 0, 0);
}

// Layer-1 SPS (id 1): CTB 16, coding blocks 8..16, transforms 4..16, no
// SAO, no short-term sets in the SPS, no temporal motion prediction.
Bytes MakeSps1(const SpsInfo &s)
{
    Writer w;
    w.U(0, 4);                          // sps_video_parameter_set_id
    w.U(s.maxSubLayersMinus1, 3);       // sps_ext_or_max_sub_layers_minus1
    w.U(s.maxSubLayersMinus1 == 0 ? 1 : 0, 1);
    WritePtlGeneral(w, s);
    WritePtlSubLayers(w, s.maxSubLayersMinus1);
    w.Ue(1);                            // sps_seq_parameter_set_id
    w.Ue(1);                            // chroma_format_idc
    w.Ue(s.width);
    w.Ue(s.height);
    w.U(s.confFlag, 1);
    if (s.confFlag)
        for (uint32_t c : s.confWin)
            w.Ue(c);
    w.Ue(s.depthY - 8);
    w.Ue(s.depthC - 8);
    w.Ue(s.log2PocLsb - 4);
    WriteOrdering(w, s, true);
    hevcgen::WriteSpsTools(w, 3, 1, 0); // CTB 16, coding blocks 8..16
    return w.Nal(33, 1, 0);
}

Bytes MakePps1(bool weighted)
{
    hevcgen::PpsFields p;
    p.id = p.spsId = 1;
    p.weighted = weighted;
    p.deblockingOff = true;
    return hevcgen::MakePps(p, 1);
}

// One layer-1 picture: a single P slice, every CU skipped.
Bytes MakeSlice1(const SpsInfo &s, bool idr, uint32_t pocLsb, int tid, int offset)
{
    Writer w;
    w.U(1, 1);                 // first_slice_segment_in_pic_flag
    if (idr)
        w.U(0, 1);             // no_output_of_prior_pics_flag
    w.Ue(1);                   // slice_pic_parameter_set_id
    w.Ue(1);                   // slice_type P
    w.U(pocLsb, (int)s.log2PocLsb); // present for layer 1 also in an IDR
    if (!idr) {
        w.U(0, 1);             // short_term_ref_pic_set_sps_flag
        w.Ue(0);               // st_ref_pic_set(0): no negative
        w.Ue(0);               // and no positive pictures
    }
    w.U(1, 1);                 // inter_layer_pred_enabled_flag
    w.U(0, 1);                 // num_ref_idx_active_override_flag
    if (offset) {              // pred_weight_table()
        w.Ue(0);               // luma_log2_weight_denom
        w.Se(0);               // delta_chroma_log2_weight_denom
        w.U(1, 1);             // luma_weight_l0_flag[0]
        w.U(0, 1);             // chroma_weight_l0_flag[0]
        w.Se(0);               // delta_luma_weight_l0[0]
        w.Se(offset);          // luma_offset_l0[0]
    }
    w.Ue(4);                   // five_minus_max_num_merge_cand: one candidate
    w.Se(0);                   // slice_qp_delta
    w.Trailing();              // byte_alignment()

    HevcCabacCtx ctx;
    HevcCabacInitContexts(&ctx, HevcCabacInitType(1, 0), 26);
    CabacEnc e(w);
    const uint32_t w8 = (s.width + 7) / 8, h8 = (s.height + 7) / 8;
    std::vector<uint8_t> depth(w8 * h8, 0), coded(w8 * h8, 0);
    auto cond = [&](uint32_t x, uint32_t y, int d) { // neighbour at (x, y) in 8x8 units
        return x < w8 && y < h8 && coded[y * w8 + x] && (d < 0 || depth[y * w8 + x] > d);
    };
    auto cu = [&](uint32_t x8, uint32_t y8, uint32_t n8, int d) {
        int inc = (x8 > 0 && cond(x8 - 1, y8, -1)) + (y8 > 0 && cond(x8, y8 - 1, -1));
        e.Bin(&ctx.aucState[HEVC_CTX_CU_SKIP_FLAG + inc], 1);
        for (uint32_t y = y8; y < y8 + n8 && y < h8; y++)
            for (uint32_t x = x8; x < x8 + n8 && x < w8; x++)
                coded[y * w8 + x] = 1, depth[y * w8 + x] = (uint8_t)d;
    };
    const uint32_t ctbW = (s.width + 15) / 16, ctbH = (s.height + 15) / 16;
    for (uint32_t c = 0; c < ctbW * ctbH; c++) {
        uint32_t x8 = c % ctbW * 2, y8 = c / ctbW * 2;
        if (x8 * 8 + 16 <= s.width && y8 * 8 + 16 <= s.height) {
            int inc = (x8 > 0 && cond(x8 - 1, y8, 0)) + (y8 > 0 && cond(x8, y8 - 1, 0));
            e.Bin(&ctx.aucState[HEVC_CTX_SPLIT_CU_FLAG + inc], 0);
            cu(x8, y8, 2, 0);
        } else { // split inferred at the picture edge
            for (uint32_t k = 0; k < 4; k++)
                if ((x8 + k % 2) * 8 < s.width && (y8 + k / 2) * 8 < s.height)
                    cu(x8 + k % 2, y8 + k / 2, 1, 1);
        }
        e.Terminate(c + 1 == ctbW * ctbH);
    }
    while (w.bits)
        w.U(0, 1);
    return w.Nal(idr ? 19 : 1, 1, tid);
}

std::vector<Bytes> SplitNals(const Bytes &d)
{
    std::vector<Bytes> out;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < d.size(); i++)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    for (size_t k = 0; k < starts.size(); k++) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : d.size();
        while (end > starts[k] && d[end - 1] == 0)
            end--;
        out.emplace_back(d.begin() + (long)starts[k], d.begin() + (long)end);
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && !(argc == 5 && !strcmp(argv[3], "--offset"))) {
        fprintf(stderr, "usage: %s IN OUT [--offset K]\n", argv[0]);
        return 2;
    }
    int offset = argc == 5 ? atoi(argv[4]) : 0;
    if (offset < -128 || offset > 127) {
        fprintf(stderr, "offset must be in -128..127\n");
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    if (!f) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    Bytes in;
    for (int c; (c = fgetc(f)) != EOF;)
        in.push_back((uint8_t)c);
    fclose(f);
    std::vector<Bytes> nals = SplitNals(in);
    SpsInfo sps;
    PpsInfo pps;
    bool haveSps = false;
    Bytes out, pending; // pending: the layer-1 slice of the access unit in progress
    auto flush = [&]() {
        out.insert(out.end(), pending.begin(), pending.end());
        pending.clear();
    };
    for (const Bytes &n : nals) {
        if (n.size() < 3)
            continue;
        int type = n[0] >> 1, layer = (n[0] & 1) << 5 | n[1] >> 3, tid = (n[1] & 7) - 1;
        if (layer != 0) {
            fprintf(stderr, "input already has a second layer\n");
            return 1;
        }
        bool vcl = type < 32, first = vcl && (n[2] & 0x80);
        // A new access unit begins: the previous one's layer-1 picture goes last.
        if ((!vcl && type != 40 && type != 38) || first)
            flush();
        Bytes copy = {0, 0, 0, 1};
        copy.insert(copy.end(), n.begin(), n.end());
        if (type == 33) {
            if (!ParseSps(n, sps)) {
                fprintf(stderr, "unsupported SPS\n");
                return 1;
            }
            haveSps = true;
        }
        if (type == 32) { // replaced by the two-layer VPS (needs the SPS)
            continue;
        }
        if (type == 33) {
            Bytes vps = MakeVps(sps);
            out.insert(out.end(), vps.begin(), vps.end());
        }
        out.insert(out.end(), copy.begin(), copy.end());
        if (type == 34) {
            pps = ParsePps(n);
            Bytes s1 = MakeSps1(sps), p1 = MakePps1(offset != 0);
            out.insert(out.end(), s1.begin(), s1.end());
            out.insert(out.end(), p1.begin(), p1.end());
        }
        if (first) {
            if (!haveSps) {
                fprintf(stderr, "slice before SPS\n");
                return 1;
            }
            Reader r(n);
            r.U(16 + 1);
            if (type >= 16 && type <= 23)
                r.U(1);
            r.Ue();
            r.U((int)pps.extraBits);
            r.Ue(); // slice_type
            if (pps.outputFlag)
                r.U(1);
            bool idr = type == 19 || type == 20;
            uint32_t lsb = idr ? 0 : r.U((int)sps.log2PocLsb);
            pending = MakeSlice1(sps, idr, lsb, tid, offset);
        }
    }
    flush();
    f = fopen(argv[2], "wb");
    if (!f || fwrite(out.data(), 1, out.size(), f) != out.size()) {
        fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    fclose(f);
    return 0;
}
