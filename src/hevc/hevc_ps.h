/* Parameter sets: records and parsers (H.265 7.3.2, 7.4.3, Annex E, Annex F).
 *
 * Records are plain and self-contained (no pointers) so a set can be parsed
 * into a scratch record and copied into its store slot only when every check
 * passed; a slot's bValid is the only thing slice decoding looks at. */
#ifndef HEVC_PS_H
#define HEVC_PS_H

#include <stdint.h>
#include "hevc_bits.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HW265D_DEC;

#define HEVC_MAX_SUB_LAYERS 7
#define HEVC_MAX_VPS 16
#define HEVC_MAX_SPS 16
#define HEVC_MAX_PPS 64
#define HEVC_MAX_ST_RPS 64          /* num_short_term_ref_pic_sets limit */
#define HEVC_MAX_DPB_SIZE 16        /* pictures in one RPS side */
#define HEVC_MAX_LT_SPS 32
#define HEVC_MAX_TILE_COLS 1024     /* PicWidthInCtbsY at 16384 samples, CTB 16 */
#define HEVC_MAX_TILE_ROWS 1024
#define HEVC_MAX_REP_FORMATS 2

typedef struct {
    uint8_t profile_space, tier_flag, profile_idc;
    uint32_t profile_compatibility_flags;
    uint8_t progressive_source_flag, interlaced_source_flag;
    uint8_t non_packed_constraint_flag, frame_only_constraint_flag;
    uint8_t level_idc;
    uint8_t sub_layer_profile_present_flag[HEVC_MAX_SUB_LAYERS];
    uint8_t sub_layer_level_present_flag[HEVC_MAX_SUB_LAYERS];
    uint8_t sub_layer_level_idc[HEVC_MAX_SUB_LAYERS];
} HevcPtl;

typedef struct {
    uint8_t nal_hrd_parameters_present_flag, vcl_hrd_parameters_present_flag;
    uint8_t sub_pic_hrd_params_present_flag;
    uint8_t fixed_pic_rate_general_flag[HEVC_MAX_SUB_LAYERS];
    uint8_t fixed_pic_rate_within_cvs_flag[HEVC_MAX_SUB_LAYERS];
    uint16_t elemental_duration_in_tc_minus1[HEVC_MAX_SUB_LAYERS];
    uint8_t low_delay_hrd_flag[HEVC_MAX_SUB_LAYERS];
    uint8_t cpb_cnt_minus1[HEVC_MAX_SUB_LAYERS];
} HevcHrd;

typedef struct {
    uint8_t aspect_ratio_info_present_flag, aspect_ratio_idc;
    uint16_t sar_width, sar_height;
    uint8_t overscan_info_present_flag, overscan_appropriate_flag;
    uint8_t video_signal_type_present_flag, video_format, video_full_range_flag;
    uint8_t colour_description_present_flag, colour_primaries, transfer_characteristics, matrix_coeffs;
    uint8_t chroma_loc_info_present_flag;
    uint32_t chroma_sample_loc_type_top_field, chroma_sample_loc_type_bottom_field;
    uint8_t neutral_chroma_indication_flag, field_seq_flag, frame_field_info_present_flag;
    uint8_t default_display_window_flag;
    uint32_t def_disp_win_left_offset, def_disp_win_right_offset;
    uint32_t def_disp_win_top_offset, def_disp_win_bottom_offset;
    uint8_t vui_timing_info_present_flag;
    uint32_t vui_num_units_in_tick, vui_time_scale;
    uint8_t vui_poc_proportional_to_timing_flag;
    uint32_t vui_num_ticks_poc_diff_one_minus1;
    uint8_t vui_hrd_parameters_present_flag;
    HevcHrd hrd;
    uint8_t bitstream_restriction_flag, tiles_fixed_structure_flag;
    uint8_t motion_vectors_over_pic_boundaries_flag, restricted_ref_pic_lists_flag;
    uint32_t min_spatial_segmentation_idc, max_bytes_per_pic_denom, max_bits_per_min_cu_denom;
    uint32_t log2_max_mv_length_horizontal, log2_max_mv_length_vertical;
} HevcVui;

/* Scaling lists as coded: ScalingList[sizeId][matrixId][i] in up-right
 * diagonal order, with the DC values of the 16x16 and 32x32 lists
 * (H.265 7.3.4, 7.4.5). Size 3 holds all six matrices (chroma 32x32 copied
 * from the 16x16 ones as for ChromaArrayType 3) so later stages index freely. */
typedef struct {
    uint8_t aucList[4][6][64];
    uint8_t aucDc[4][6]; /* sizeId 2 and 3 */
} HevcScalingList;

/* One short-term reference picture set (H.265 7.4.8), derived form. */
typedef struct {
    uint8_t num_negative_pics, num_positive_pics, num_delta_pocs;
    uint8_t inter_ref_pic_set_prediction_flag;
    int32_t aiDeltaPocS0[HEVC_MAX_DPB_SIZE];
    uint8_t aucUsedS0[HEVC_MAX_DPB_SIZE];
    int32_t aiDeltaPocS1[HEVC_MAX_DPB_SIZE];
    uint8_t aucUsedS1[HEVC_MAX_DPB_SIZE];
    /* As coded, for tracing. */
    uint32_t delta_idx_minus1, abs_delta_rps_minus1;
    uint8_t delta_rps_sign;
} HevcStRps;

typedef struct {
    uint8_t chroma_format_idc, separate_colour_plane_flag;
    uint8_t bit_depth_luma, bit_depth_chroma;
    uint32_t pic_width, pic_height;
    uint8_t conformance_window_flag;
    uint32_t conf_win_left_offset, conf_win_right_offset, conf_win_top_offset, conf_win_bottom_offset;
} HevcRepFormat;

typedef struct {
    uint8_t bValid;
    uint8_t vps_video_parameter_set_id;
    uint8_t vps_base_layer_internal_flag, vps_base_layer_available_flag;
    uint8_t vps_max_layers_minus1, vps_max_sub_layers_minus1, vps_temporal_id_nesting_flag;
    HevcPtl ptl;
    uint8_t vps_sub_layer_ordering_info_present_flag;
    uint32_t vps_max_dec_pic_buffering_minus1[HEVC_MAX_SUB_LAYERS];
    uint32_t vps_max_num_reorder_pics[HEVC_MAX_SUB_LAYERS];
    uint32_t vps_max_latency_increase_plus1[HEVC_MAX_SUB_LAYERS];
    uint8_t vps_max_layer_id;
    uint32_t vps_num_layer_sets_minus1;
    uint8_t layer_id_included_flag[2][64];
    uint8_t vps_timing_info_present_flag;
    uint32_t vps_num_units_in_tick, vps_time_scale;
    uint8_t vps_poc_proportional_to_timing_flag;
    uint32_t vps_num_ticks_poc_diff_one_minus1;
    uint32_t vps_num_hrd_parameters;
    uint8_t vps_extension_flag;
    /* Second-layer extension, as far as this decoder uses it. */
    uint8_t splitting_flag, num_scalability_types, num_views;
    uint8_t layer_id_in_nuh[2];
    uint8_t direct_dependency_flag; /* layer 1 on layer 0 */
    uint8_t default_ref_layers_active_flag, max_one_active_ref_layer_flag;
    uint8_t poc_lsb_not_present_flag[2];
    uint32_t num_output_layer_sets;
    uint32_t vps_num_rep_formats_minus1;
    HevcRepFormat rep_format[HEVC_MAX_REP_FORMATS];
    uint8_t vps_rep_format_idx[2];
    uint32_t direct_dep_type_len_minus2;
} HevcVps;

typedef struct {
    uint8_t bValid;
    uint8_t nuh_layer_id; /* layer of the NAL unit that carried it */
    uint8_t sps_video_parameter_set_id;
    uint8_t sps_max_sub_layers_minus1, sps_temporal_id_nesting_flag;
    uint8_t multi_layer_ext_sps_flag;
    HevcPtl ptl;
    uint8_t sps_seq_parameter_set_id;
    uint8_t chroma_format_idc, separate_colour_plane_flag, ChromaArrayType;
    uint32_t pic_width_in_luma_samples, pic_height_in_luma_samples;
    uint8_t conformance_window_flag;
    /* In chroma units as coded; the luma window is twice that for 4:2:0. */
    uint32_t conf_win_left_offset, conf_win_right_offset, conf_win_top_offset, conf_win_bottom_offset;
    uint8_t bit_depth_luma, bit_depth_chroma; /* BitDepthY, BitDepthC */
    uint8_t log2_max_pic_order_cnt_lsb;
    uint8_t sps_sub_layer_ordering_info_present_flag;
    uint32_t sps_max_dec_pic_buffering_minus1[HEVC_MAX_SUB_LAYERS];
    uint32_t sps_max_num_reorder_pics[HEVC_MAX_SUB_LAYERS];
    uint32_t sps_max_latency_increase_plus1[HEVC_MAX_SUB_LAYERS];
    uint8_t log2_min_luma_coding_block_size, log2_diff_max_min_luma_coding_block_size;
    uint8_t log2_min_luma_transform_block_size, log2_diff_max_min_luma_transform_block_size;
    uint8_t max_transform_hierarchy_depth_inter, max_transform_hierarchy_depth_intra;
    uint8_t scaling_list_enabled_flag, sps_infer_scaling_list_flag, sps_scaling_list_data_present_flag;
    HevcScalingList scaling_list; /* default lists when not coded */
    uint8_t amp_enabled_flag, sample_adaptive_offset_enabled_flag;
    uint8_t pcm_enabled_flag, pcm_bit_depth_luma, pcm_bit_depth_chroma;
    uint8_t log2_min_pcm_luma_coding_block_size, log2_diff_max_min_pcm_luma_coding_block_size;
    uint8_t pcm_loop_filter_disabled_flag;
    uint32_t num_short_term_ref_pic_sets;
    HevcStRps st_rps[HEVC_MAX_ST_RPS];
    uint8_t long_term_ref_pics_present_flag;
    uint32_t num_long_term_ref_pics_sps;
    uint32_t lt_ref_pic_poc_lsb_sps[HEVC_MAX_LT_SPS];
    uint8_t used_by_curr_pic_lt_sps_flag[HEVC_MAX_LT_SPS];
    uint8_t sps_temporal_mvp_enabled_flag, strong_intra_smoothing_enabled_flag;
    uint8_t vui_parameters_present_flag;
    HevcVui vui;
    uint8_t sps_extension_present_flag, sps_range_extension_flag, sps_multilayer_extension_flag;
    /* Range extension (all zero in Main and Main 10 streams). */
    uint8_t transform_skip_rotation_enabled_flag, transform_skip_context_enabled_flag;
    uint8_t implicit_rdpcm_enabled_flag, explicit_rdpcm_enabled_flag;
    uint8_t extended_precision_processing_flag, intra_smoothing_disabled_flag;
    uint8_t high_precision_offsets_enabled_flag, persistent_rice_adaptation_enabled_flag;
    uint8_t cabac_bypass_alignment_enabled_flag;
    uint8_t inter_view_mv_vert_constraint_flag;
    /* Derived (H.265 7.4.3.2.1). */
    uint8_t MinCbLog2SizeY, CtbLog2SizeY, Log2MinTrafoSize, Log2MaxTrafoSize;
    uint32_t MinCbSizeY, CtbSizeY, PicWidthInMinCbsY, PicHeightInMinCbsY;
    uint32_t PicWidthInCtbsY, PicHeightInCtbsY, PicSizeInCtbsY;
    int32_t QpBdOffsetY, QpBdOffsetC;
    uint32_t SubWidthC, SubHeightC;
} HevcSps;

typedef struct {
    uint8_t bValid;
    uint8_t pps_pic_parameter_set_id, pps_seq_parameter_set_id;
    uint8_t dependent_slice_segments_enabled_flag, output_flag_present_flag;
    uint8_t num_extra_slice_header_bits, sign_data_hiding_enabled_flag, cabac_init_present_flag;
    uint32_t num_ref_idx_l0_default_active_minus1, num_ref_idx_l1_default_active_minus1;
    int32_t init_qp_minus26;
    uint8_t constrained_intra_pred_flag, transform_skip_enabled_flag;
    uint8_t cu_qp_delta_enabled_flag;
    uint32_t diff_cu_qp_delta_depth;
    int32_t pps_cb_qp_offset, pps_cr_qp_offset;
    uint8_t pps_slice_chroma_qp_offsets_present_flag;
    uint8_t weighted_pred_flag, weighted_bipred_flag, transquant_bypass_enabled_flag;
    uint8_t tiles_enabled_flag, entropy_coding_sync_enabled_flag;
    uint32_t num_tile_columns, num_tile_rows; /* minus1 + 1 */
    uint8_t uniform_spacing_flag;
    uint8_t loop_filter_across_tiles_enabled_flag, pps_loop_filter_across_slices_enabled_flag;
    uint8_t deblocking_filter_control_present_flag, deblocking_filter_override_enabled_flag;
    uint8_t pps_deblocking_filter_disabled_flag;
    int32_t pps_beta_offset, pps_tc_offset; /* the _div2 values times two */
    uint8_t pps_scaling_list_data_present_flag;
    HevcScalingList scaling_list;
    uint8_t lists_modification_present_flag;
    uint32_t log2_parallel_merge_level;
    uint8_t slice_segment_header_extension_present_flag;
    uint8_t pps_extension_present_flag, pps_range_extension_flag;
    uint32_t log2_max_transform_skip_block_size;
    uint8_t cross_component_prediction_enabled_flag, chroma_qp_offset_list_enabled_flag;
    uint32_t diff_cu_chroma_qp_offset_depth, chroma_qp_offset_list_len;
    int8_t cb_qp_offset_list[6], cr_qp_offset_list[6];
    uint32_t log2_sao_offset_scale_luma, log2_sao_offset_scale_chroma;
    /* Tile grid in CTBs (H.265 6.5.1), derived with the SPS the set refers
     * to; recomputed when a picture activates the set. */
    uint16_t column_width[HEVC_MAX_TILE_COLS];
    uint16_t row_height[HEVC_MAX_TILE_ROWS];
    uint16_t col_bd[HEVC_MAX_TILE_COLS + 1];
    uint16_t row_bd[HEVC_MAX_TILE_ROWS + 1];
    uint32_t uiSpsPicWidthInCtbs, uiSpsPicHeightInCtbs; /* grid derived for these */
    uint32_t uiGridStamp; /* new with every derivation: the CTB tables built from it stay valid */
} HevcPps;

/* Parsers: pstBits is positioned after the two-byte NAL unit header. Each
 * returns 0, or the group's code after logging the failing element. */
uint32_t HevcParseVps(struct HW265D_DEC *pstDec, HevcBits *pstBits, int iTemporalId);
uint32_t HevcParseSps(struct HW265D_DEC *pstDec, HevcBits *pstBits, int iLayerId);
uint32_t HevcParsePps(struct HW265D_DEC *pstDec, HevcBits *pstBits);

/* Shared syntax structures (hevc_ps_common.c). */
int HevcParsePtl(struct HW265D_DEC *pstDec, HevcBits *pstBits, HevcPtl *pstPtl, int bProfilePresent,
                 int iMaxSubLayersMinus1);
int HevcParseHrd(struct HW265D_DEC *pstDec, HevcBits *pstBits, HevcHrd *pstHrd, int bCommonInf,
                 int iMaxSubLayersMinus1);
int HevcParseScalingList(struct HW265D_DEC *pstDec, HevcBits *pstBits, HevcScalingList *pstList);
void HevcDefaultScalingList(HevcScalingList *pstList);
/* st_ref_pic_set(stRpsIdx) of H.265 7.3.7; apstSets holds the SPS's sets. */
int HevcParseStRps(struct HW265D_DEC *pstDec, HevcBits *pstBits, const HevcSps *pstSps, uint32_t uiIdx,
                   HevcStRps *pstOut, int bInSliceHeader);
int HevcParseVui(struct HW265D_DEC *pstDec, HevcBits *pstBits, HevcSps *pstSps);
/* Tile column/row sizes and boundaries from the PPS syntax and picture size. */
int HevcDeriveTiles(HevcPps *pstPps, uint32_t uiWidthCtbs, uint32_t uiHeightCtbs);

#ifdef __cplusplus
}
#endif
#endif
