#include "HevcCompare.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace hevctest {

namespace {

using Values = std::map<std::string, std::vector<int64_t>>;
using Field = std::pair<std::string, int64_t>;
// A field whose name in the decoder's record is its trace_headers name.
#define F(rec, name) Field{#name, (int64_t)(rec).name}

template <class V> std::string Join(const V &v)
{
    std::string s;
    for (auto x : v)
        s += " " + std::to_string(x);
    return s;
}

std::string Idx(const char *psz, unsigned i) { return std::string(psz) + "[" + std::to_string(i) + "]"; }

void Put(Values &v, std::initializer_list<Field> fields)
{
    for (const Field &f : fields)
        v[f.first].push_back(f.second);
}

// Only names trace_headers printed for a unit are compared, so fields absent
// from the stream may be put; names repeating within a unit (reference
// picture sets) only where the stream holds them.
void AddRps(Values &v, const HevcStRps &r, bool bCanPredict)
{
    if (bCanPredict)
        Put(v, {F(r, inter_ref_pic_set_prediction_flag)});
    if (r.inter_ref_pic_set_prediction_flag) {
        Put(v, {F(r, delta_rps_sign), F(r, abs_delta_rps_minus1)});
        return;
    }
    Put(v, {F(r, num_negative_pics), F(r, num_positive_pics)});
    int64_t llPrev = 0;
    for (unsigned i = 0; i < r.num_negative_pics; llPrev = r.aiDeltaPocS0[i++])
        Put(v, {{Idx("delta_poc_s0_minus1", i), llPrev - r.aiDeltaPocS0[i] - 1},
                {Idx("used_by_curr_pic_s0_flag", i), r.aucUsedS0[i]}});
    llPrev = 0;
    for (unsigned i = 0; i < r.num_positive_pics; llPrev = r.aiDeltaPocS1[i++])
        Put(v, {{Idx("delta_poc_s1_minus1", i), r.aiDeltaPocS1[i] - llPrev - 1},
                {Idx("used_by_curr_pic_s1_flag", i), r.aucUsedS1[i]}});
}

void AddPtl(Values &v, const HevcPtl &p)
{
    Put(v, {{"general_profile_space", p.profile_space}, {"general_tier_flag", p.tier_flag},
            {"general_profile_idc", p.profile_idc}, {"general_progressive_source_flag", p.progressive_source_flag},
            {"general_interlaced_source_flag", p.interlaced_source_flag}, {"general_level_idc", p.level_idc}});
}

// Sub-layer ordering info of a VPS or SPS (names prefixed "vps_" or "sps_").
void AddSubLayerOrdering(Values &v, const std::string &prefix, unsigned uiMaxSubLayersMinus1, const uint32_t *puiDpb,
                         const uint32_t *puiReorder, const uint32_t *puiLatency)
{
    for (unsigned i = 0; i <= uiMaxSubLayersMinus1; i++)
        Put(v, {{Idx((prefix + "max_dec_pic_buffering_minus1").c_str(), i), puiDpb[i]},
                {Idx((prefix + "max_num_reorder_pics").c_str(), i), puiReorder[i]},
                {Idx((prefix + "max_latency_increase_plus1").c_str(), i), puiLatency[i]}});
}

void AddVps(Values &v, const HevcVps &s)
{
    Put(v, {F(s, vps_video_parameter_set_id), F(s, vps_base_layer_internal_flag), F(s, vps_max_layers_minus1),
            F(s, vps_max_sub_layers_minus1), F(s, vps_temporal_id_nesting_flag),
            F(s, vps_sub_layer_ordering_info_present_flag), F(s, vps_max_layer_id), F(s, vps_num_layer_sets_minus1),
            F(s, vps_timing_info_present_flag), F(s, vps_num_units_in_tick), F(s, vps_time_scale),
            F(s, vps_poc_proportional_to_timing_flag), F(s, vps_num_hrd_parameters), F(s, vps_extension_flag)});
    AddPtl(v, s.ptl);
    AddSubLayerOrdering(v, "vps_", s.vps_max_sub_layers_minus1, s.vps_max_dec_pic_buffering_minus1,
                        s.vps_max_num_reorder_pics, s.vps_max_latency_increase_plus1);
}

void AddSps(Values &v, const HevcSps &s)
{
    Put(v, {F(s, sps_video_parameter_set_id), F(s, sps_max_sub_layers_minus1), F(s, sps_temporal_id_nesting_flag),
            F(s, sps_seq_parameter_set_id), F(s, chroma_format_idc), F(s, pic_width_in_luma_samples),
            F(s, pic_height_in_luma_samples), F(s, conformance_window_flag), F(s, conf_win_left_offset),
            F(s, conf_win_right_offset), F(s, conf_win_top_offset), F(s, conf_win_bottom_offset),
            {"bit_depth_luma_minus8", s.bit_depth_luma - 8}, {"bit_depth_chroma_minus8", s.bit_depth_chroma - 8},
            {"log2_max_pic_order_cnt_lsb_minus4", s.log2_max_pic_order_cnt_lsb - 4},
            F(s, sps_sub_layer_ordering_info_present_flag),
            {"log2_min_luma_coding_block_size_minus3", s.log2_min_luma_coding_block_size - 3},
            F(s, log2_diff_max_min_luma_coding_block_size),
            {"log2_min_luma_transform_block_size_minus2", s.log2_min_luma_transform_block_size - 2},
            F(s, log2_diff_max_min_luma_transform_block_size), F(s, max_transform_hierarchy_depth_inter),
            F(s, max_transform_hierarchy_depth_intra), F(s, scaling_list_enabled_flag),
            F(s, sps_scaling_list_data_present_flag), F(s, amp_enabled_flag),
            F(s, sample_adaptive_offset_enabled_flag), F(s, pcm_enabled_flag),
            {"pcm_sample_bit_depth_luma_minus1", s.pcm_bit_depth_luma - 1},
            {"pcm_sample_bit_depth_chroma_minus1", s.pcm_bit_depth_chroma - 1},
            {"log2_min_pcm_luma_coding_block_size_minus3", s.log2_min_pcm_luma_coding_block_size - 3},
            F(s, log2_diff_max_min_pcm_luma_coding_block_size), F(s, pcm_loop_filter_disabled_flag),
            F(s, num_short_term_ref_pic_sets), F(s, long_term_ref_pics_present_flag), F(s, num_long_term_ref_pics_sps),
            F(s, sps_temporal_mvp_enabled_flag), F(s, strong_intra_smoothing_enabled_flag),
            F(s, vui_parameters_present_flag), F(s, sps_extension_present_flag)});
    AddPtl(v, s.ptl);
    AddSubLayerOrdering(v, "sps_", s.sps_max_sub_layers_minus1, s.sps_max_dec_pic_buffering_minus1,
                        s.sps_max_num_reorder_pics, s.sps_max_latency_increase_plus1);
    for (unsigned i = 0; i < s.num_short_term_ref_pic_sets; i++)
        AddRps(v, s.st_rps[i], i != 0);
    for (unsigned i = 0; s.long_term_ref_pics_present_flag && i < s.num_long_term_ref_pics_sps; i++)
        Put(v, {{Idx("lt_ref_pic_poc_lsb_sps", i), s.lt_ref_pic_poc_lsb_sps[i]},
                {Idx("used_by_curr_pic_lt_sps_flag", i), s.used_by_curr_pic_lt_sps_flag[i]}});
    const HevcVui &q = s.vui;
    if (s.vui_parameters_present_flag)
        Put(v, {F(q, aspect_ratio_info_present_flag), F(q, aspect_ratio_idc), F(q, video_signal_type_present_flag),
                F(q, video_format), F(q, video_full_range_flag), F(q, colour_description_present_flag),
                F(q, colour_primaries), F(q, transfer_characteristics), {"matrix_coefficients", q.matrix_coeffs},
                F(q, chroma_loc_info_present_flag), F(q, field_seq_flag), F(q, frame_field_info_present_flag),
                F(q, default_display_window_flag), F(q, vui_timing_info_present_flag), F(q, vui_num_units_in_tick),
                F(q, vui_time_scale), F(q, vui_poc_proportional_to_timing_flag),
                F(q, vui_hrd_parameters_present_flag), F(q, bitstream_restriction_flag),
                F(q, min_spatial_segmentation_idc), F(q, max_bytes_per_pic_denom), F(q, max_bits_per_min_cu_denom),
                F(q, log2_max_mv_length_horizontal), F(q, log2_max_mv_length_vertical)});
}

void AddPps(Values &v, const HevcPps &p)
{
    Put(v, {F(p, pps_pic_parameter_set_id), F(p, pps_seq_parameter_set_id), F(p, dependent_slice_segments_enabled_flag),
            F(p, output_flag_present_flag), F(p, num_extra_slice_header_bits), F(p, sign_data_hiding_enabled_flag),
            F(p, cabac_init_present_flag), F(p, num_ref_idx_l0_default_active_minus1),
            F(p, num_ref_idx_l1_default_active_minus1), F(p, init_qp_minus26), F(p, constrained_intra_pred_flag),
            F(p, transform_skip_enabled_flag), F(p, cu_qp_delta_enabled_flag), F(p, diff_cu_qp_delta_depth),
            F(p, pps_cb_qp_offset), F(p, pps_cr_qp_offset), F(p, pps_slice_chroma_qp_offsets_present_flag),
            F(p, weighted_pred_flag), F(p, weighted_bipred_flag), F(p, transquant_bypass_enabled_flag),
            F(p, tiles_enabled_flag), F(p, entropy_coding_sync_enabled_flag),
            {"num_tile_columns_minus1", p.num_tile_columns - 1}, {"num_tile_rows_minus1", p.num_tile_rows - 1},
            F(p, uniform_spacing_flag), F(p, loop_filter_across_tiles_enabled_flag),
            F(p, pps_loop_filter_across_slices_enabled_flag), F(p, deblocking_filter_control_present_flag),
            F(p, deblocking_filter_override_enabled_flag), F(p, pps_deblocking_filter_disabled_flag),
            {"pps_beta_offset_div2", p.pps_beta_offset / 2}, {"pps_tc_offset_div2", p.pps_tc_offset / 2},
            F(p, pps_scaling_list_data_present_flag), F(p, lists_modification_present_flag),
            {"log2_parallel_merge_level_minus2", p.log2_parallel_merge_level - 2},
            F(p, slice_segment_header_extension_present_flag), F(p, pps_extension_present_flag)});
    for (unsigned i = 0; p.tiles_enabled_flag && i + 1 < p.num_tile_columns; i++)
        Put(v, {{Idx("column_width_minus1", i), p.column_width[i] - 1}});
    for (unsigned i = 0; p.tiles_enabled_flag && i + 1 < p.num_tile_rows; i++)
        Put(v, {{Idx("row_height_minus1", i), p.row_height[i] - 1}});
}

void AddSlice(Values &v, const SliceRec &r)
{
    const HevcSliceHeader &s = r.sh;
    Put(v, {F(s, first_slice_segment_in_pic_flag), F(s, no_output_of_prior_pics_flag),
            F(s, slice_pic_parameter_set_id), F(s, slice_segment_address), F(s, num_entry_point_offsets),
            {"offset_len_minus1", s.offset_len - 1}, F(s, dependent_slice_segment_flag), F(s, slice_type),
            F(s, slice_pic_order_cnt_lsb), F(s, short_term_ref_pic_set_sps_flag), F(s, short_term_ref_pic_set_idx),
            F(s, num_long_term_pics), F(s, slice_sao_luma_flag), F(s, slice_sao_chroma_flag),
            F(s, num_ref_idx_active_override_flag), {"num_ref_idx_l0_active_minus1", s.num_ref_idx_active[0] - 1},
            {"num_ref_idx_l1_active_minus1", s.num_ref_idx_active[1] - 1}, F(s, mvd_l1_zero_flag),
            F(s, cabac_init_flag), F(s, collocated_from_l0_flag), F(s, collocated_ref_idx),
            {"luma_log2_weight_denom", s.pwt.luma_log2_weight_denom},
            {"delta_chroma_log2_weight_denom", s.pwt.chroma_log2_weight_denom - s.pwt.luma_log2_weight_denom},
            {"five_minus_max_num_merge_cand", 5 - s.max_num_merge_cand}, F(s, slice_qp_delta),
            F(s, slice_cb_qp_offset), F(s, slice_cr_qp_offset), F(s, deblocking_filter_override_flag),
            F(s, slice_deblocking_filter_disabled_flag), {"slice_beta_offset_div2", s.slice_beta_offset / 2},
            {"slice_tc_offset_div2", s.slice_tc_offset / 2}, F(s, slice_loop_filter_across_slices_enabled_flag)});
    for (unsigned i = 0; i < r.entryPoints.size(); i++)
        Put(v, {{Idx("entry_point_offset_minus1", i), r.entryPoints[i]}});
    if (s.dependent_slice_segment_flag)
        return; // the rest is the previous segment's
    if (!s.short_term_ref_pic_set_sps_flag && s.nal_unit_type != 19 && s.nal_unit_type != 20)
        AddRps(v, s.st_rps, false);
    for (unsigned i = 0; i < s.num_long_term_sps + s.num_long_term_pics; i++) {
        if (i < s.num_long_term_sps)
            Put(v, {{Idx("lt_idx_sps", i), s.lt_idx_sps[i]}});
        else
            Put(v, {{Idx("poc_lsb_lt", i), s.PocLsbLt[i]}, {Idx("used_by_curr_pic_lt_flag", i), s.UsedByCurrPicLt[i]}});
        Put(v, {{Idx("delta_poc_msb_present_flag", i), s.delta_poc_msb_present_flag[i]},
                {Idx("delta_poc_msb_cycle_lt", i), s.delta_poc_msb_cycle_lt[i]}});
    }
    for (int l = 0; l < 2; l++)
        for (unsigned i = 0; s.ref_pic_list_modification_flag[l] && i < s.num_ref_idx_active[l]; i++)
            Put(v, {{Idx(l ? "list_entry_l1" : "list_entry_l0", i), s.list_entry[l][i]}});
}
#undef F

} // namespace

std::map<std::string, std::vector<int64_t>> NamedValues(const UnitRec &u)
{
    Values v;
    if (u.eKind == HEVC_TRACE_VPS)
        AddVps(v, u.vps);
    else if (u.eKind == HEVC_TRACE_SPS)
        AddSps(v, u.sps);
    else if (u.eKind == HEVC_TRACE_PPS)
        AddPps(v, u.pps);
    else
        AddSlice(v, u.slice);
    return v;
}

static const char *const s_apszKind[] = {"VPS", "SPS", "PPS", "SLICE"}; // by HEVC_TRACE_*

std::vector<std::string> CompareWithTrace(const std::vector<UnitRec> &mine, const std::vector<TraceUnit> &ff,
                                          int *piCompared)
{
    std::vector<std::string> errs;
    size_t k = 0;
    int iCompared = 0;
    for (size_t j = 0; j < ff.size() && errs.size() < 20; j++) {
        const TraceUnit &f = ff[j];
        if (f.kind == "OTHER" || f.Get("nuh_layer_id", 0) != 0)
            continue; // the decoder traces only parameter sets and slices of the base layer
        if (k >= mine.size()) {
            errs.push_back("unit " + std::to_string(j) + " (" + f.kind + ") not reported by the decoder");
            break;
        }
        const UnitRec &m = mine[k++];
        if (s_apszKind[m.eKind] != f.kind) {
            errs.push_back("unit " + std::to_string(j) + ": decoder " + s_apszKind[m.eKind] + ", ffmpeg " + f.kind);
            break;
        }
        for (auto &kv : NamedValues(m)) {
            auto it = f.values.find(kv.first);
            if (it == f.values.end())
                continue;
            iCompared++;
            if (it->second != kv.second)
                errs.push_back("unit " + std::to_string(j) + " " + f.kind + " " + kv.first + ": decoder" +
                               Join(kv.second) + ", ffmpeg" + Join(it->second));
        }
    }
    if (k < mine.size() && errs.empty())
        errs.push_back("decoder reported " + std::to_string(mine.size() - k) + " units more than ffmpeg");
    if (piCompared)
        *piCompared = iCompared;
    return errs;
}

std::vector<std::string> CompareWithCsv(const std::vector<UnitRec> &mine, const std::vector<CsvPic> &csv)
{
    auto describe = [](int iPoc, char cType, const std::vector<int> &l0, const std::vector<int> &l1) {
        return "POC " + std::to_string(iPoc) + " " + cType + " L0" + Join(l0) + " L1" + Join(l1);
    };
    std::vector<std::string> errs;
    size_t k = 0;
    for (const UnitRec &u : mine) {
        if (u.eKind != HEVC_TRACE_SLICE || !u.slice.sh.first_slice_segment_in_pic_flag || k >= csv.size())
            continue;
        const CsvPic &c = csv[k++];
        std::vector<int> l[2];
        for (int i = 0; i < 2; i++)
            l[i].assign(u.slice.aiRefPoc[i], u.slice.aiRefPoc[i] + u.slice.iNumRef[i]);
        int t = (int)u.slice.sh.slice_type;
        std::string got = describe(u.slice.iPoc, t == 0 ? 'B' : t == 1 ? 'P' : 'I', l[0], l[1]);
        std::string want = describe(c.iPoc, c.cType, c.list0, c.list1);
        if (got != want)
            errs.push_back("picture " + std::to_string(k - 1) + ": " + got + " vs " + want);
    }
    size_t uiPics = std::count_if(mine.begin(), mine.end(), [](const UnitRec &u) {
        return u.eKind == HEVC_TRACE_SLICE && u.slice.sh.first_slice_segment_in_pic_flag;
    });
    if (uiPics != csv.size())
        errs.push_back("decoder saw " + std::to_string(uiPics) + " pictures, encoder wrote " + std::to_string(csv.size()));
    return errs;
}

StreamResult DecodeFile(const std::string &path, size_t uiChunk, int iOrder, int w, int h, int iRefs,
                        uint32_t uiRelax)
{
    IHW265D_INIT_PARAM p = DefaultParams(w, h);
    p.eOutputOrder = iOrder;
    p.iMaxRefNum = iRefs;
    Decoder d(p);
    if (d.CreateResult() != 0)
        return StreamResult();
    HevcSetRelaxedChecks(d.Handle(), uiRelax);
    d.Feed(ReadFile(path), uiChunk);
    return StreamResult{d.units, d.pictures, d.codes, d.logs};
}

std::string ConformanceDir() { return std::string(IPCAMERA_TESTDATA_DIR) + "/hevc-conformance"; }

std::vector<ManifestRow> ReadManifest()
{
    std::vector<ManifestRow> rows;
    std::ifstream f(ConformanceDir() + "/MANIFEST.tsv");
    std::string line;
    std::getline(f, line);
    while (std::getline(f, line)) {
        std::vector<std::string> c;
        std::stringstream ss(line);
        std::string x;
        while (std::getline(ss, x, '\t'))
            c.push_back(x);
        if (c.size() < 10)
            continue;
        auto num = [&c](int i) { return atoi(c[(size_t)i].c_str()); };
        rows.push_back({c[0], c[1], atol(c[2].c_str()), num(5), num(6), num(7), num(8), num(9)});
    }
    return rows;
}

std::vector<ManifestRow> ManifestRowsUpTo(long maxBytes, int maxFrames)
{
    std::vector<ManifestRow> out;
    for (const ManifestRow &r : ReadManifest())
        if ((maxBytes == 0 || r.bytes <= maxBytes) && (maxFrames == 0 || r.frames <= maxFrames))
            out.push_back(r);
    if (out.empty())
        out.push_back(ManifestRow{"", "", 0, 0, 0, 0, 0, 0});
    return out;
}

std::string ManifestRowName(const ::testing::TestParamInfo<ManifestRow> &i)
{
    std::string s = i.param.file.empty() ? "absent" : i.param.file;
    for (char &c : s)
        if (!isalnum((unsigned char)c))
            c = '_';
    return s;
}

void CheckConformanceStream(const ManifestRow &row, size_t uiChunk, int iOrder)
{
    std::string path = ConformanceDir() + "/" + row.file;
    bool bSupported = row.chroma == 1 && (row.depth == 8 || row.depth == 10);
    bool bFuzz = row.file.find("/fuzz_") != std::string::npos;
    // Latency check relaxed (many encoders write sps_max_latency_increase_plus1
    // 0); a decoder sized for the stream, as creation fills its whole buffer.
    StreamResult r = DecodeFile(path, uiChunk, iOrder, std::max(row.width, 64), std::max(row.height, 64), 15,
                                HEVC_RELAX_LATENCY_ZERO);
    if (!bSupported) {
        EXPECT_TRUE(r.pictures.empty());
        EXPECT_TRUE(std::any_of(r.logs.begin(), r.logs.end(), [](const LogLine &l) {
            return l.text.find("chroma_format_idc is") != std::string::npos ||
                   l.text.find("bit_depth_luma is 12") != std::string::npos;
        })) << "unsupported format refused with its message";
        return;
    }
    if (bFuzz)
        return; // malformed on purpose: reaching here without a crash is the test
    // The camera capture ends inside its last slice: that slice fails.
    bool bCut = row.file == "rtp-capture/video.h265";
    for (unsigned int c : r.codes)
        EXPECT_TRUE(c == IHW265D_ERR_USERDATA || (bCut && c == IHW265D_ERR_NAL))
            << std::hex << c << " " << (r.logs.empty() ? "" : r.logs[0].text);
    int iCompared = 0;
    for (const std::string &e : CompareWithTrace(r.units, FfmpegTrace(path), &iCompared))
        ADD_FAILURE() << e;
    EXPECT_GT(iCompared, 20);
    EXPECT_EQ((int)r.pictures.size(), row.frames);
    for (const OutPic &p : r.pictures) {
        EXPECT_EQ((int)p.out.uiDecWidth, row.width);
        EXPECT_EQ((int)p.out.uiDecBitDepthLuma, row.depth);
        EXPECT_EQ(p.out.uiErrorFlag & HEVC_PIC_ERR_MISSING_REF, 0u);
    }
    ExpectOutputOrder(r, iOrder);
}

void ExpectOutputOrder(const StreamResult &r, int iOrder)
{
    if (iOrder == IH265D_DISPLAY_ORDER) {
        // Decode numbers of the pictures that start a coded video sequence
        // (IDR, BLA): output order restarts there.
        std::vector<uint32_t> starts;
        uint32_t uiDecode = 0;
        for (const UnitRec &u : r.units) {
            if (u.eKind != HEVC_TRACE_SLICE || !u.slice.sh.first_slice_segment_in_pic_flag || u.slice.bSkipped)
                continue;
            if (u.slice.sh.nal_unit_type >= 16 && u.slice.sh.nal_unit_type <= 20)
                starts.push_back(uiDecode);
            uiDecode++;
        }
        for (size_t i = 1; i < r.pictures.size(); i++) {
            const IHW265D_OUTARGS &a = r.pictures[i - 1].out, &b = r.pictures[i].out;
            bool bNewSeq = std::any_of(starts.begin(), starts.end(),
                                       [&](uint32_t d) { return a.uiDecodeOrder < d && d <= b.uiDecodeOrder; });
            EXPECT_TRUE(bNewSeq || a.iPicOrderCnt < b.iPicOrderCnt) << "output " << i;
        }
    } else {
        for (size_t i = 1; i < r.pictures.size(); i++)
            EXPECT_LT(r.pictures[i - 1].out.uiDecodeOrder, r.pictures[i].out.uiDecodeOrder);
    }
}

} // namespace hevctest
