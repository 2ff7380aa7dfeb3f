/* Slice segment header (H.265 7.3.6) and the per-slice reference state. */
#ifndef HEVC_SLICE_H
#define HEVC_SLICE_H

#include <stdint.h>
#include "hevc_bits.h"
#include "hevc_ps.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HW265D_DEC;

enum { HEVC_SLICE_B = 0, HEVC_SLICE_P = 1, HEVC_SLICE_I = 2 };

#define HEVC_MAX_REFS 16      /* entries of a reference picture list */
#define HEVC_MAX_LT_PICS 32

typedef struct {
    uint8_t luma_log2_weight_denom, chroma_log2_weight_denom;
    uint8_t luma_weight_flag[2][HEVC_MAX_REFS], chroma_weight_flag[2][HEVC_MAX_REFS];
    int16_t LumaWeight[2][HEVC_MAX_REFS], LumaOffset[2][HEVC_MAX_REFS];
    int16_t ChromaWeight[2][HEVC_MAX_REFS][2], ChromaOffset[2][HEVC_MAX_REFS][2];
} HevcPredWeight;

/* Reference picture lists of a slice: DPB slot (-1 missing), POC and
 * long-term state of each entry. */
typedef struct {
    int aiRefList[2][HEVC_MAX_REFS];
    int32_t aiRefPoc[2][HEVC_MAX_REFS];
    uint8_t aucRefIsLt[2][HEVC_MAX_REFS];
} HevcRefLists;

typedef struct {
    /* NAL unit that carried the segment. */
    uint8_t nal_unit_type, nuh_layer_id, temporal_id;
    uint8_t first_slice_segment_in_pic_flag, no_output_of_prior_pics_flag;
    uint32_t slice_pic_parameter_set_id;
    uint8_t dependent_slice_segment_flag;
    uint32_t slice_segment_address;
    /* Fields below belong to the independent segment; a dependent segment
     * carries a copy of its independent segment's values. */
    uint8_t discardable_flag, cross_layer_bla_flag;
    uint32_t slice_type;
    uint8_t pic_output_flag;
    uint32_t colour_plane_id;
    uint32_t slice_pic_order_cnt_lsb;
    uint8_t short_term_ref_pic_set_sps_flag;
    uint32_t short_term_ref_pic_set_idx;
    HevcStRps st_rps;          /* the active set (own or the SPS's) */
    uint32_t st_rps_bits;      /* bits of a slice-coded set */
    uint32_t num_long_term_sps, num_long_term_pics;
    uint32_t lt_idx_sps[HEVC_MAX_LT_PICS];
    uint32_t PocLsbLt[HEVC_MAX_LT_PICS];
    uint8_t UsedByCurrPicLt[HEVC_MAX_LT_PICS];
    uint8_t delta_poc_msb_present_flag[HEVC_MAX_LT_PICS];
    uint32_t DeltaPocMsbCycleLt[HEVC_MAX_LT_PICS]; /* accumulated (7-52) */
    uint32_t delta_poc_msb_cycle_lt[HEVC_MAX_LT_PICS];
    uint8_t slice_temporal_mvp_enabled_flag;
    uint8_t inter_layer_pred_enabled_flag;
    int32_t NumActiveRefLayerPics;
    uint8_t slice_sao_luma_flag, slice_sao_chroma_flag;
    uint8_t num_ref_idx_active_override_flag;
    uint32_t num_ref_idx_active[2];   /* minus1 + 1; 0 for unused lists */
    uint8_t ref_pic_list_modification_flag[2];
    uint32_t list_entry[2][HEVC_MAX_REFS];
    uint8_t mvd_l1_zero_flag, cabac_init_flag, collocated_from_l0_flag;
    uint32_t collocated_ref_idx;
    HevcPredWeight pwt;
    uint32_t max_num_merge_cand;
    int32_t slice_qp_delta, SliceQpY;
    int32_t slice_cb_qp_offset, slice_cr_qp_offset;
    uint8_t cu_chroma_qp_offset_enabled_flag;
    uint8_t deblocking_filter_override_flag, slice_deblocking_filter_disabled_flag;
    int32_t slice_beta_offset, slice_tc_offset; /* _div2 times two */
    uint8_t slice_loop_filter_across_slices_enabled_flag;
    uint32_t num_entry_point_offsets;
    uint32_t offset_len;                        /* offset_len_minus1 + 1 */
    const uint32_t *puiEntryPointOffset;        /* minus1 values, in the decoder's pool */
    uint32_t slice_segment_header_extension_length;
    /* Derived. */
    int32_t NumPicTotalCurr;
    uint32_t uiHeaderBits;       /* RBSP bits up to and including byte_alignment() */
    uint32_t uiDataOffset;       /* raw bytes from NAL start to slice data */
    uint32_t SliceAddrRs;        /* address of the independent segment's first CTB */
} HevcSliceHeader;

/* Parses one slice segment header into pstSh (which holds the previous
 * independent header for dependent segments). Returns 0 or a code. */
uint32_t HevcParseSliceHeader(struct HW265D_DEC *pstDec, HevcBits *pstBits, HevcSliceHeader *pstSh);

#ifdef __cplusplus
}
#endif
#endif
