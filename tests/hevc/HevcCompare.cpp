#include "HevcCompare.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace hevctest {

namespace {

using Values = std::map<std::string, std::vector<int64_t>>;

std::string Idx(const char *psz, unsigned i)
{
    return std::string(psz) + "[" + std::to_string(i) + "]";
}

void AddRps(Values &v, const HevcStRps &r, bool bCanPredict)
{
    if (bCanPredict)
        v["inter_ref_pic_set_prediction_flag"].push_back(r.inter_ref_pic_set_prediction_flag);
    if (r.inter_ref_pic_set_prediction_flag) {
        v["delta_rps_sign"].push_back(r.delta_rps_sign);
        v["abs_delta_rps_minus1"].push_back(r.abs_delta_rps_minus1);
        return;
    }
    v["num_negative_pics"].push_back(r.num_negative_pics);
    v["num_positive_pics"].push_back(r.num_positive_pics);
    int32_t iPrev = 0;
    for (unsigned i = 0; i < r.num_negative_pics; i++) {
        v[Idx("delta_poc_s0_minus1", i)].push_back(iPrev - r.aiDeltaPocS0[i] - 1);
        v[Idx("used_by_curr_pic_s0_flag", i)].push_back(r.aucUsedS0[i]);
        iPrev = r.aiDeltaPocS0[i];
    }
    iPrev = 0;
    for (unsigned i = 0; i < r.num_positive_pics; i++) {
        v[Idx("delta_poc_s1_minus1", i)].push_back(r.aiDeltaPocS1[i] - iPrev - 1);
        v[Idx("used_by_curr_pic_s1_flag", i)].push_back(r.aucUsedS1[i]);
        iPrev = r.aiDeltaPocS1[i];
    }
}

void AddPtl(Values &v, const HevcPtl &p)
{
    v["general_profile_space"].push_back(p.profile_space);
    v["general_tier_flag"].push_back(p.tier_flag);
    v["general_profile_idc"].push_back(p.profile_idc);
    v["general_progressive_source_flag"].push_back(p.progressive_source_flag);
    v["general_interlaced_source_flag"].push_back(p.interlaced_source_flag);
    v["general_level_idc"].push_back(p.level_idc);
}

// Sub-layer ordering info of a VPS or SPS (names prefixed "vps_" or
// "sps_"): every sub-layer when present for each, else only the highest.
void AddSubLayerOrdering(Values &v, const std::string &prefix, bool bEach, unsigned uiMaxSubLayersMinus1,
                         const uint32_t *puiDpb, const uint32_t *puiReorder, const uint32_t *puiLatency)
{
    for (unsigned i = bEach ? 0 : uiMaxSubLayersMinus1; i <= uiMaxSubLayersMinus1; i++) {
        v[Idx((prefix + "max_dec_pic_buffering_minus1").c_str(), i)].push_back(puiDpb[i]);
        v[Idx((prefix + "max_num_reorder_pics").c_str(), i)].push_back(puiReorder[i]);
        v[Idx((prefix + "max_latency_increase_plus1").c_str(), i)].push_back(puiLatency[i]);
    }
}

} // namespace

std::map<std::string, std::vector<int64_t>> NamedValues(const UnitRec &u)
{
    Values v;
    auto put = [&v](const std::string &n, int64_t x) { v[n].push_back(x); };
    if (u.eKind == HEVC_TRACE_VPS) {
        const HevcVps &s = u.vps;
        put("vps_video_parameter_set_id", s.vps_video_parameter_set_id);
        put("vps_base_layer_internal_flag", s.vps_base_layer_internal_flag);
        put("vps_max_layers_minus1", s.vps_max_layers_minus1);
        put("vps_max_sub_layers_minus1", s.vps_max_sub_layers_minus1);
        put("vps_temporal_id_nesting_flag", s.vps_temporal_id_nesting_flag);
        AddPtl(v, s.ptl);
        put("vps_sub_layer_ordering_info_present_flag", s.vps_sub_layer_ordering_info_present_flag);
        AddSubLayerOrdering(v, "vps_", s.vps_sub_layer_ordering_info_present_flag, s.vps_max_sub_layers_minus1,
                            s.vps_max_dec_pic_buffering_minus1, s.vps_max_num_reorder_pics,
                            s.vps_max_latency_increase_plus1);
        put("vps_max_layer_id", s.vps_max_layer_id);
        put("vps_num_layer_sets_minus1", s.vps_num_layer_sets_minus1);
        put("vps_timing_info_present_flag", s.vps_timing_info_present_flag);
        if (s.vps_timing_info_present_flag) {
            put("vps_num_units_in_tick", s.vps_num_units_in_tick);
            put("vps_time_scale", s.vps_time_scale);
            put("vps_poc_proportional_to_timing_flag", s.vps_poc_proportional_to_timing_flag);
            put("vps_num_hrd_parameters", s.vps_num_hrd_parameters);
        }
        put("vps_extension_flag", s.vps_extension_flag);
    } else if (u.eKind == HEVC_TRACE_SPS) {
        const HevcSps &s = u.sps;
        put("sps_video_parameter_set_id", s.sps_video_parameter_set_id);
        put("sps_max_sub_layers_minus1", s.sps_max_sub_layers_minus1);
        put("sps_temporal_id_nesting_flag", s.sps_temporal_id_nesting_flag);
        AddPtl(v, s.ptl);
        put("sps_seq_parameter_set_id", s.sps_seq_parameter_set_id);
        put("chroma_format_idc", s.chroma_format_idc);
        put("pic_width_in_luma_samples", s.pic_width_in_luma_samples);
        put("pic_height_in_luma_samples", s.pic_height_in_luma_samples);
        put("conformance_window_flag", s.conformance_window_flag);
        if (s.conformance_window_flag) {
            put("conf_win_left_offset", s.conf_win_left_offset);
            put("conf_win_right_offset", s.conf_win_right_offset);
            put("conf_win_top_offset", s.conf_win_top_offset);
            put("conf_win_bottom_offset", s.conf_win_bottom_offset);
        }
        put("bit_depth_luma_minus8", s.bit_depth_luma - 8);
        put("bit_depth_chroma_minus8", s.bit_depth_chroma - 8);
        put("log2_max_pic_order_cnt_lsb_minus4", s.log2_max_pic_order_cnt_lsb - 4);
        put("sps_sub_layer_ordering_info_present_flag", s.sps_sub_layer_ordering_info_present_flag);
        AddSubLayerOrdering(v, "sps_", s.sps_sub_layer_ordering_info_present_flag, s.sps_max_sub_layers_minus1,
                            s.sps_max_dec_pic_buffering_minus1, s.sps_max_num_reorder_pics,
                            s.sps_max_latency_increase_plus1);
        put("log2_min_luma_coding_block_size_minus3", s.log2_min_luma_coding_block_size - 3);
        put("log2_diff_max_min_luma_coding_block_size", s.log2_diff_max_min_luma_coding_block_size);
        put("log2_min_luma_transform_block_size_minus2", s.log2_min_luma_transform_block_size - 2);
        put("log2_diff_max_min_luma_transform_block_size", s.log2_diff_max_min_luma_transform_block_size);
        put("max_transform_hierarchy_depth_inter", s.max_transform_hierarchy_depth_inter);
        put("max_transform_hierarchy_depth_intra", s.max_transform_hierarchy_depth_intra);
        put("scaling_list_enabled_flag", s.scaling_list_enabled_flag);
        if (s.scaling_list_enabled_flag)
            put("sps_scaling_list_data_present_flag", s.sps_scaling_list_data_present_flag);
        put("amp_enabled_flag", s.amp_enabled_flag);
        put("sample_adaptive_offset_enabled_flag", s.sample_adaptive_offset_enabled_flag);
        put("pcm_enabled_flag", s.pcm_enabled_flag);
        if (s.pcm_enabled_flag) {
            put("pcm_sample_bit_depth_luma_minus1", s.pcm_bit_depth_luma - 1);
            put("pcm_sample_bit_depth_chroma_minus1", s.pcm_bit_depth_chroma - 1);
            put("log2_min_pcm_luma_coding_block_size_minus3", s.log2_min_pcm_luma_coding_block_size - 3);
            put("log2_diff_max_min_pcm_luma_coding_block_size", s.log2_diff_max_min_pcm_luma_coding_block_size);
            put("pcm_loop_filter_disabled_flag", s.pcm_loop_filter_disabled_flag);
        }
        put("num_short_term_ref_pic_sets", s.num_short_term_ref_pic_sets);
        for (unsigned i = 0; i < s.num_short_term_ref_pic_sets; i++)
            AddRps(v, s.st_rps[i], i != 0);
        put("long_term_ref_pics_present_flag", s.long_term_ref_pics_present_flag);
        if (s.long_term_ref_pics_present_flag) {
            put("num_long_term_ref_pics_sps", s.num_long_term_ref_pics_sps);
            for (unsigned i = 0; i < s.num_long_term_ref_pics_sps; i++) {
                put(Idx("lt_ref_pic_poc_lsb_sps", i), s.lt_ref_pic_poc_lsb_sps[i]);
                put(Idx("used_by_curr_pic_lt_sps_flag", i), s.used_by_curr_pic_lt_sps_flag[i]);
            }
        }
        put("sps_temporal_mvp_enabled_flag", s.sps_temporal_mvp_enabled_flag);
        put("strong_intra_smoothing_enabled_flag", s.strong_intra_smoothing_enabled_flag);
        put("vui_parameters_present_flag", s.vui_parameters_present_flag);
        if (s.vui_parameters_present_flag) {
            const HevcVui &q = s.vui;
            put("aspect_ratio_info_present_flag", q.aspect_ratio_info_present_flag);
            if (q.aspect_ratio_info_present_flag)
                put("aspect_ratio_idc", q.aspect_ratio_idc);
            put("video_signal_type_present_flag", q.video_signal_type_present_flag);
            if (q.video_signal_type_present_flag) {
                put("video_format", q.video_format);
                put("video_full_range_flag", q.video_full_range_flag);
                put("colour_description_present_flag", q.colour_description_present_flag);
                if (q.colour_description_present_flag) {
                    put("colour_primaries", q.colour_primaries);
                    put("transfer_characteristics", q.transfer_characteristics);
                    put("matrix_coefficients", q.matrix_coeffs);
                }
            }
            put("chroma_loc_info_present_flag", q.chroma_loc_info_present_flag);
            put("field_seq_flag", q.field_seq_flag);
            put("frame_field_info_present_flag", q.frame_field_info_present_flag);
            put("default_display_window_flag", q.default_display_window_flag);
            put("vui_timing_info_present_flag", q.vui_timing_info_present_flag);
            if (q.vui_timing_info_present_flag) {
                put("vui_num_units_in_tick", q.vui_num_units_in_tick);
                put("vui_time_scale", q.vui_time_scale);
                put("vui_poc_proportional_to_timing_flag", q.vui_poc_proportional_to_timing_flag);
                put("vui_hrd_parameters_present_flag", q.vui_hrd_parameters_present_flag);
            }
            put("bitstream_restriction_flag", q.bitstream_restriction_flag);
            if (q.bitstream_restriction_flag) {
                put("min_spatial_segmentation_idc", q.min_spatial_segmentation_idc);
                put("max_bytes_per_pic_denom", q.max_bytes_per_pic_denom);
                put("max_bits_per_min_cu_denom", q.max_bits_per_min_cu_denom);
                put("log2_max_mv_length_horizontal", q.log2_max_mv_length_horizontal);
                put("log2_max_mv_length_vertical", q.log2_max_mv_length_vertical);
            }
        }
        put("sps_extension_present_flag", s.sps_extension_present_flag);
    } else if (u.eKind == HEVC_TRACE_PPS) {
        const HevcPps &p = u.pps;
        put("pps_pic_parameter_set_id", p.pps_pic_parameter_set_id);
        put("pps_seq_parameter_set_id", p.pps_seq_parameter_set_id);
        put("dependent_slice_segments_enabled_flag", p.dependent_slice_segments_enabled_flag);
        put("output_flag_present_flag", p.output_flag_present_flag);
        put("num_extra_slice_header_bits", p.num_extra_slice_header_bits);
        put("sign_data_hiding_enabled_flag", p.sign_data_hiding_enabled_flag);
        put("cabac_init_present_flag", p.cabac_init_present_flag);
        put("num_ref_idx_l0_default_active_minus1", p.num_ref_idx_l0_default_active_minus1);
        put("num_ref_idx_l1_default_active_minus1", p.num_ref_idx_l1_default_active_minus1);
        put("init_qp_minus26", p.init_qp_minus26);
        put("constrained_intra_pred_flag", p.constrained_intra_pred_flag);
        put("transform_skip_enabled_flag", p.transform_skip_enabled_flag);
        put("cu_qp_delta_enabled_flag", p.cu_qp_delta_enabled_flag);
        if (p.cu_qp_delta_enabled_flag)
            put("diff_cu_qp_delta_depth", p.diff_cu_qp_delta_depth);
        put("pps_cb_qp_offset", p.pps_cb_qp_offset);
        put("pps_cr_qp_offset", p.pps_cr_qp_offset);
        put("pps_slice_chroma_qp_offsets_present_flag", p.pps_slice_chroma_qp_offsets_present_flag);
        put("weighted_pred_flag", p.weighted_pred_flag);
        put("weighted_bipred_flag", p.weighted_bipred_flag);
        put("transquant_bypass_enabled_flag", p.transquant_bypass_enabled_flag);
        put("tiles_enabled_flag", p.tiles_enabled_flag);
        put("entropy_coding_sync_enabled_flag", p.entropy_coding_sync_enabled_flag);
        if (p.tiles_enabled_flag) {
            put("num_tile_columns_minus1", p.num_tile_columns - 1);
            put("num_tile_rows_minus1", p.num_tile_rows - 1);
            put("uniform_spacing_flag", p.uniform_spacing_flag);
            if (!p.uniform_spacing_flag) {
                for (unsigned i = 0; i + 1 < p.num_tile_columns; i++)
                    put(Idx("column_width_minus1", i), p.column_width[i] - 1);
                for (unsigned i = 0; i + 1 < p.num_tile_rows; i++)
                    put(Idx("row_height_minus1", i), p.row_height[i] - 1);
            }
            put("loop_filter_across_tiles_enabled_flag", p.loop_filter_across_tiles_enabled_flag);
        }
        put("pps_loop_filter_across_slices_enabled_flag", p.pps_loop_filter_across_slices_enabled_flag);
        put("deblocking_filter_control_present_flag", p.deblocking_filter_control_present_flag);
        if (p.deblocking_filter_control_present_flag) {
            put("deblocking_filter_override_enabled_flag", p.deblocking_filter_override_enabled_flag);
            put("pps_deblocking_filter_disabled_flag", p.pps_deblocking_filter_disabled_flag);
            if (!p.pps_deblocking_filter_disabled_flag) {
                put("pps_beta_offset_div2", p.pps_beta_offset / 2);
                put("pps_tc_offset_div2", p.pps_tc_offset / 2);
            }
        }
        put("pps_scaling_list_data_present_flag", p.pps_scaling_list_data_present_flag);
        put("lists_modification_present_flag", p.lists_modification_present_flag);
        put("log2_parallel_merge_level_minus2", p.log2_parallel_merge_level - 2);
        put("slice_segment_header_extension_present_flag", p.slice_segment_header_extension_present_flag);
        put("pps_extension_present_flag", p.pps_extension_present_flag);
    } else {
        const HevcSliceHeader &s = u.slice.sh;
        bool bIrap = s.nal_unit_type >= 16 && s.nal_unit_type <= 23;
        bool bIdr = s.nal_unit_type == 19 || s.nal_unit_type == 20;
        put("first_slice_segment_in_pic_flag", s.first_slice_segment_in_pic_flag);
        if (bIrap)
            put("no_output_of_prior_pics_flag", s.no_output_of_prior_pics_flag);
        put("slice_pic_parameter_set_id", s.slice_pic_parameter_set_id);
        if (!s.first_slice_segment_in_pic_flag)
            put("slice_segment_address", s.slice_segment_address);
        put("num_entry_point_offsets", s.num_entry_point_offsets);
        if (s.num_entry_point_offsets) {
            put("offset_len_minus1", s.offset_len - 1);
            for (unsigned i = 0; i < u.slice.entryPoints.size(); i++)
                put(Idx("entry_point_offset_minus1", i), u.slice.entryPoints[i]);
        }
        if (s.dependent_slice_segment_flag) {
            put("dependent_slice_segment_flag", 1);
            return v;
        }
        put("slice_type", s.slice_type);
        if (!bIdr) {
            put("slice_pic_order_cnt_lsb", s.slice_pic_order_cnt_lsb);
            put("short_term_ref_pic_set_sps_flag", s.short_term_ref_pic_set_sps_flag);
            if (!s.short_term_ref_pic_set_sps_flag)
                AddRps(v, s.st_rps, false);
            else
                put("short_term_ref_pic_set_idx", s.short_term_ref_pic_set_idx);
            for (unsigned i = 0; i < s.num_long_term_sps + s.num_long_term_pics; i++) {
                if (i < s.num_long_term_sps) {
                    put(Idx("lt_idx_sps", i), s.lt_idx_sps[i]);
                } else {
                    put(Idx("poc_lsb_lt", i), s.PocLsbLt[i]);
                    put(Idx("used_by_curr_pic_lt_flag", i), s.UsedByCurrPicLt[i]);
                }
                put(Idx("delta_poc_msb_present_flag", i), s.delta_poc_msb_present_flag[i]);
                if (s.delta_poc_msb_present_flag[i])
                    put(Idx("delta_poc_msb_cycle_lt", i), s.delta_poc_msb_cycle_lt[i]);
            }
            put("num_long_term_pics", s.num_long_term_pics);
        }
        put("slice_sao_luma_flag", s.slice_sao_luma_flag);
        put("slice_sao_chroma_flag", s.slice_sao_chroma_flag);
        if (s.slice_type != HEVC_SLICE_I) {
            put("num_ref_idx_active_override_flag", s.num_ref_idx_active_override_flag);
            if (s.num_ref_idx_active_override_flag) {
                put("num_ref_idx_l0_active_minus1", s.num_ref_idx_active[0] - 1);
                if (s.slice_type == HEVC_SLICE_B)
                    put("num_ref_idx_l1_active_minus1", s.num_ref_idx_active[1] - 1);
            }
            for (int l = 0; l < 2; l++) {
                if (!s.ref_pic_list_modification_flag[l])
                    continue;
                for (unsigned i = 0; i < s.num_ref_idx_active[l]; i++)
                    put(Idx(l ? "list_entry_l1" : "list_entry_l0", i), s.list_entry[l][i]);
            }
            if (s.slice_type == HEVC_SLICE_B)
                put("mvd_l1_zero_flag", s.mvd_l1_zero_flag);
            put("cabac_init_flag", s.cabac_init_flag);
            if (s.slice_temporal_mvp_enabled_flag) {
                if (s.slice_type == HEVC_SLICE_B)
                    put("collocated_from_l0_flag", s.collocated_from_l0_flag);
                put("collocated_ref_idx", s.collocated_ref_idx);
            }
            put("luma_log2_weight_denom", s.pwt.luma_log2_weight_denom);
            put("delta_chroma_log2_weight_denom", s.pwt.chroma_log2_weight_denom - s.pwt.luma_log2_weight_denom);
            put("five_minus_max_num_merge_cand", 5 - s.max_num_merge_cand);
        }
        put("slice_qp_delta", s.slice_qp_delta);
        put("slice_cb_qp_offset", s.slice_cb_qp_offset);
        put("slice_cr_qp_offset", s.slice_cr_qp_offset);
        put("deblocking_filter_override_flag", s.deblocking_filter_override_flag);
        if (s.deblocking_filter_override_flag) {
            put("slice_deblocking_filter_disabled_flag", s.slice_deblocking_filter_disabled_flag);
            if (!s.slice_deblocking_filter_disabled_flag) {
                put("slice_beta_offset_div2", s.slice_beta_offset / 2);
                put("slice_tc_offset_div2", s.slice_tc_offset / 2);
            }
        }
        put("slice_loop_filter_across_slices_enabled_flag", s.slice_loop_filter_across_slices_enabled_flag);
    }
    return v;
}

static std::string KindOf(int eKind)
{
    switch (eKind) {
    case HEVC_TRACE_VPS: return "VPS";
    case HEVC_TRACE_SPS: return "SPS";
    case HEVC_TRACE_PPS: return "PPS";
    default: return "SLICE";
    }
}

std::vector<std::string> CompareWithTrace(const std::vector<UnitRec> &mine, const std::vector<TraceUnit> &ff,
                                          int *piCompared)
{
    std::vector<std::string> errs;
    size_t k = 0;
    int iCompared = 0;
    for (size_t j = 0; j < ff.size() && errs.size() < 20; j++) {
        const TraceUnit &f = ff[j];
        if (f.kind == "OTHER")
            continue;
        if (f.Get("nuh_layer_id", 0) != 0)
            continue; // the second layer's units are not traced by the decoder
        if (k >= mine.size()) {
            errs.push_back("unit " + std::to_string(j) + " (" + f.kind + ") not reported by the decoder");
            break;
        }
        const UnitRec &m = mine[k++];
        if (KindOf(m.eKind) != f.kind) {
            errs.push_back("unit " + std::to_string(j) + ": decoder " + KindOf(m.eKind) + ", ffmpeg " + f.kind);
            break;
        }
        Values v = NamedValues(m);
        for (auto &kv : v) {
            auto it = f.values.find(kv.first);
            if (it == f.values.end())
                continue;
            if (it->second != kv.second) {
                std::ostringstream os;
                os << "unit " << j << " " << f.kind << " " << kv.first << ": decoder";
                for (int64_t x : kv.second)
                    os << " " << x;
                os << ", ffmpeg";
                for (int64_t x : it->second)
                    os << " " << x;
                errs.push_back(os.str());
            }
            iCompared++;
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
    std::vector<std::string> errs;
    size_t k = 0;
    for (const UnitRec &u : mine) {
        if (u.eKind != HEVC_TRACE_SLICE || !u.slice.sh.first_slice_segment_in_pic_flag)
            continue;
        if (k >= csv.size()) {
            errs.push_back("more pictures than the encoder wrote");
            break;
        }
        const CsvPic &c = csv[k++];
        const HevcSliceHeader &s = u.slice.sh;
        char cType = s.slice_type == 0 ? 'B' : s.slice_type == 1 ? 'P' : 'I';
        std::ostringstream os;
        os << "picture " << k - 1 << ": ";
        if (u.slice.iPoc != c.iPoc)
            errs.push_back(os.str() + "POC " + std::to_string(u.slice.iPoc) + " vs " + std::to_string(c.iPoc));
        if (cType != c.cType)
            errs.push_back(os.str() + "type " + cType + " vs " + c.cType);
        for (int l = 0; l < 2; l++) {
            const std::vector<int> &want = l ? c.list1 : c.list0;
            std::vector<int> got;
            for (int i = 0; i < u.slice.iNumRef[l]; i++)
                got.push_back(u.slice.aiRefPoc[l][i]);
            if (got != want) {
                std::ostringstream e;
                e << os.str() << "L" << l << ":";
                for (int x : got)
                    e << " " << x;
                e << " vs";
                for (int x : want)
                    e << " " << x;
                errs.push_back(e.str());
            }
        }
    }
    if (k != csv.size())
        errs.push_back("decoder saw " + std::to_string(k) + " pictures, encoder wrote " + std::to_string(csv.size()));
    return errs;
}

StreamResult DecodeFile(const std::string &path, size_t uiChunk, int iOrder, int w, int h, int iRefs,
                        uint32_t uiRelax)
{
    IHW265D_INIT_PARAM p = DefaultParams(w, h);
    p.eOutputOrder = iOrder;
    p.iMaxRefNum = iRefs;
    StreamResult r;
    Decoder d(p);
    if (d.CreateResult() != 0)
        return r;
    HevcSetRelaxedChecks(d.Handle(), uiRelax);
    d.Feed(ReadFile(path), uiChunk);
    r.units = d.units;
    r.pictures = d.pictures;
    r.codes = d.codes;
    r.logs = d.logs;
    return r;
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
        ManifestRow r;
        r.file = c[0];
        r.category = c[1];
        r.bytes = atol(c[2].c_str());
        r.chroma = atoi(c[5].c_str());
        r.depth = atoi(c[6].c_str());
        r.width = atoi(c[7].c_str());
        r.height = atoi(c[8].c_str());
        r.frames = atoi(c[9].c_str());
        rows.push_back(r);
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
    // Parsing is compared with the latency check relaxed: many encoders write
    // sps_max_latency_increase_plus1 0, which the decoder refuses by default.
    // A decoder sized for the stream: the picture buffer is allocated (and
    // zero-filled) in full at creation.
    StreamResult r = DecodeFile(path, uiChunk, iOrder, std::max(row.width, 64), std::max(row.height, 64), 15,
                                HEVC_RELAX_LATENCY_ZERO);
    if (!bSupported) {
        EXPECT_TRUE(r.pictures.empty());
        bool bRefused = false;
        for (const LogLine &l : r.logs)
            bRefused |= l.text.find("chroma_format_idc is") != std::string::npos ||
                        l.text.find("bit_depth_luma is 12") != std::string::npos;
        EXPECT_TRUE(bRefused) << "unsupported format refused with its message";
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
            bool bNewSeq = false;
            for (uint32_t d : starts)
                bNewSeq |= a.uiDecodeOrder < d && d <= b.uiDecodeOrder;
            if (!bNewSeq) {
                EXPECT_LT(a.iPicOrderCnt, b.iPicOrderCnt) << "output " << i;
            }
        }
    } else {
        for (size_t i = 1; i < r.pictures.size(); i++)
            EXPECT_LT(r.pictures[i - 1].out.uiDecodeOrder, r.pictures[i].out.uiDecodeOrder);
    }
}

} // namespace hevctest
