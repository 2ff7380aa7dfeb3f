/* Slice segment header (H.265 7.3.6.1), checked as it is read. */
#include <string.h>
#include "hevc_decoder.h"

#define SH_FAIL IHW265D_ERR_SLICEHEADER
#define SD_FAIL IHW265D_ERR_NAL

static uint32_t CeilLog2(uint32_t v)
{
    uint32_t n = 0;
    while (n < 32 && ((uint64_t)1 << n) < v)
        n++;
    return n;
}

static int IsIrap(int t) { return t >= HEVC_NAL_BLA_W_LP && t <= HEVC_NAL_RSV_IRAP_23; }
static int IsIdr(int t) { return t == HEVC_NAL_IDR_W_RADL || t == HEVC_NAL_IDR_N_LP; }

/* pred_weight_table() (H.265 7.3.6.3). Its checks report the slice data code. */
static uint32_t ParsePredWeight(HW265D_DEC *pstDec, HevcBits *b, HevcSliceHeader *sh, const HevcSps *sps)
{
    HevcPredWeight *w = &sh->pwt;
    memset(w, 0, sizeof(*w));
    uint32_t uiDenom = HevcBitsUe(b);
    if (uiDenom > 7) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of luma_log2_weight_denom is %u, it should be in the range of 0~7!\n", uiDenom);
        return SD_FAIL;
    }
    w->luma_log2_weight_denom = (uint8_t)uiDenom;
    if (sps->ChromaArrayType) {
        int64_t iC = (int64_t)uiDenom + HevcBitsSe(b);
        if (iC < 0 || iC > 7) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of chroma_log2_weight_denom is %u, it should be in the range of 0~7!\n",
                     (unsigned)iC);
            return SD_FAIL;
        }
        w->chroma_log2_weight_denom = (uint8_t)iC;
    }
    int iLists = sh->slice_type == HEVC_SLICE_B ? 2 : 1;
    for (int l = 0; l < iLists; l++) {
        uint32_t n = sh->num_ref_idx_active[l];
        for (uint32_t i = 0; i < n; i++)
            w->luma_weight_flag[l][i] = (uint8_t)HevcBitsFlag(b);
        if (sps->ChromaArrayType)
            for (uint32_t i = 0; i < n; i++)
                w->chroma_weight_flag[l][i] = (uint8_t)HevcBitsFlag(b);
        for (uint32_t i = 0; i < n; i++) {
            w->LumaWeight[l][i] = (int16_t)(1 << w->luma_log2_weight_denom);
            if (w->luma_weight_flag[l][i]) {
                int64_t dw = HevcBitsSe(b);
                if (dw < -128 || dw > 127) {
                    HEVC_ERR(pstDec, l == 0 ? "IHW265D_Decode : the value of delta_luma_weight_l0 is %d, when luma_weight_l0_flag is 1, delta_luma_weight_l0 should be in the range of -128~127!\n"
                                            : "IHW265D_Decode : the value of delta_luma_weight_l1 is %d, when luma_weight_l1_flag is 1, delta_luma_weight_l1 should be in the range of -128~127!\n",
                             (int)dw);
                    return SD_FAIL;
                }
                w->LumaWeight[l][i] = (int16_t)(w->LumaWeight[l][i] + dw);
                int64_t off = HevcBitsSe(b);
                if (off < -128 || off > 127) {
                    HEVC_ERR(pstDec, l == 0 ? "IHW265D_Decode : the value of asLumaOffsetL0 is %d, when luma_weight_l0_flag is 1, asLumaOffsetL0 should be in the range of -128~127!\n"
                                            : "IHW265D_Decode : the value of asLumaOffsetL1 is %d, when luma_weight_l1_flag is 1, asLumaOffsetL1 should be in the range of -128~127!\n",
                             (int)off);
                    return SD_FAIL;
                }
                w->LumaOffset[l][i] = (int16_t)off;
            }
            for (int j = 0; j < 2; j++)
                w->ChromaWeight[l][i][j] = (int16_t)(1 << w->chroma_log2_weight_denom);
            if (w->chroma_weight_flag[l][i]) {
                for (int j = 0; j < 2; j++) {
                    int64_t dw = HevcBitsSe(b);
                    if (dw < -128 || dw > 127) {
                        HEVC_ERR(pstDec, l == 0 ? "IHW265D_Decode : the value of delta_chroma_weight_l0 is %d, when chroma_weight_l0_flag is 1, delta_chroma_weight_l0 should be in the range of -128~127!\n"
                                                : "IHW265D_Decode : the value of delta_chroma_weight_l1 is %d, when chroma_weight_l0_flag is 1, delta_chroma_weight_l1 should be in the range of -128~127!\n",
                                 (int)dw);
                        return SD_FAIL;
                    }
                    w->ChromaWeight[l][i][j] = (int16_t)(w->ChromaWeight[l][i][j] + dw);
                    int64_t doff = HevcBitsSe(b);
                    if (doff < -512 || doff > 511) {
                        HEVC_ERR(pstDec, l == 0 ? "IHW265D_Decode : the value of delta_chroma_offset_l0 is %d, delta_chroma_offset_l0 should be in the range of -512~511!\n"
                                                : "IHW265D_Decode : the value of delta_chroma_offset_l1 is %d, delta_chroma_offset_l1 should be in the range of -512~511!\n",
                                 (int)doff);
                        return SD_FAIL;
                    }
                    /* H.265 (7-56) with wpOffsetHalfRangeC 128. */
                    int32_t iOff = (int32_t)doff - ((128 * w->ChromaWeight[l][i][j]) >> w->chroma_log2_weight_denom) + 128;
                    if (iOff < -128)
                        iOff = -128;
                    if (iOff > 127)
                        iOff = 127;
                    w->ChromaOffset[l][i][j] = (int16_t)iOff;
                }
            }
        }
    }
    return b->bOverrun ? SD_FAIL : 0;
}

static uint32_t ParseLongTerm(HW265D_DEC *pstDec, HevcBits *b, HevcSliceHeader *sh, const HevcSps *sps)
{
    uint32_t uiMaxDecM1 = sps->sps_max_dec_pic_buffering_minus1[sps->sps_max_sub_layers_minus1];
    sh->num_long_term_sps = 0;
    if (sps->num_long_term_ref_pics_sps > 0) {
        sh->num_long_term_sps = HevcBitsUe(b);
        if (sh->num_long_term_sps > sps->num_long_term_ref_pics_sps) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_long_term_sps is %u, it should be in the range of 0~num_long_term_ref_pics_sps!\n",
                     sh->num_long_term_sps);
            return SH_FAIL;
        }
    }
    sh->num_long_term_pics = HevcBitsUe(b);
    if (sh->num_long_term_pics > uiMaxDecM1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_long_term_pics is %u, it should not be bigger than sps_max_dec_pic_buffering_minus1[sps_max_sub_layers_minus1]!\n",
                 sh->num_long_term_pics);
        return SH_FAIL;
    }
    uint32_t uiNum = sh->num_long_term_sps + sh->num_long_term_pics;
    if (uiNum > uiMaxDecM1 || uiNum > HEVC_MAX_LT_PICS) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of uiNumLtRps is %u, it should not be bigger than sps_max_dec_pic_buffering_minus1[sps_max_sub_layers_minus1]!\n",
                 uiNum);
        return SH_FAIL;
    }
    for (uint32_t i = 0; i < uiNum; i++) {
        if (i < sh->num_long_term_sps) {
            uint32_t uiIdx = 0;
            if (sps->num_long_term_ref_pics_sps > 1)
                uiIdx = HevcBitsRead(b, (int)CeilLog2(sps->num_long_term_ref_pics_sps));
            if (uiIdx >= sps->num_long_term_ref_pics_sps) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of lt_idx_sps is %u, it should be in the range of 0~num_long_term_ref_pics_sps-1!\n",
                         uiIdx);
                return SH_FAIL;
            }
            sh->lt_idx_sps[i] = uiIdx;
            sh->PocLsbLt[i] = sps->lt_ref_pic_poc_lsb_sps[uiIdx];
            sh->UsedByCurrPicLt[i] = sps->used_by_curr_pic_lt_sps_flag[uiIdx];
        } else {
            sh->PocLsbLt[i] = HevcBitsRead(b, sps->log2_max_pic_order_cnt_lsb);
            sh->UsedByCurrPicLt[i] = (uint8_t)HevcBitsFlag(b);
        }
        sh->delta_poc_msb_present_flag[i] = (uint8_t)HevcBitsFlag(b);
        sh->delta_poc_msb_cycle_lt[i] = 0;
        if (sh->delta_poc_msb_present_flag[i])
            sh->delta_poc_msb_cycle_lt[i] = HevcBitsUe(b);
        /* H.265 (7-52): the cycle accumulates within each of the two groups. */
        sh->DeltaPocMsbCycleLt[i] = sh->delta_poc_msb_cycle_lt[i];
        if (i != 0 && i != sh->num_long_term_sps)
            sh->DeltaPocMsbCycleLt[i] += sh->DeltaPocMsbCycleLt[i - 1];
    }
    return 0;
}

static uint32_t ParseListModification(HW265D_DEC *pstDec, HevcBits *b, HevcSliceHeader *sh)
{
    int iBits = (int)CeilLog2((uint32_t)sh->NumPicTotalCurr);
    int iLists = sh->slice_type == HEVC_SLICE_B ? 2 : 1;
    for (int l = 0; l < iLists; l++) {
        sh->ref_pic_list_modification_flag[l] = (uint8_t)HevcBitsFlag(b);
        if (!sh->ref_pic_list_modification_flag[l])
            continue;
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l]; i++) {
            uint32_t e = HevcBitsRead(b, iBits);
            if ((int32_t)e > sh->NumPicTotalCurr - 1) {
                HEVC_ERR(pstDec, l == 0 ? "IHW265D_Decode : the value of pstSliceHeader->list_entry_l0[i] is %d, it should be in the range of 0~iNumPocTotalCurr -1!\n"
                                        : "IHW265D_Decode : the value of pstSliceHeader->list_entry_l1[i] is %d, it should be in the range of 0~iNumPocTotalCurr -1!\n",
                         (int)e);
                return SH_FAIL;
            }
            sh->list_entry[l][i] = e;
        }
    }
    return 0;
}

static int32_t NumPicTotalCurr(const HevcSliceHeader *sh)
{
    int32_t n = 0;
    for (int i = 0; i < sh->st_rps.num_negative_pics; i++)
        n += sh->st_rps.aucUsedS0[i];
    for (int i = 0; i < sh->st_rps.num_positive_pics; i++)
        n += sh->st_rps.aucUsedS1[i];
    for (uint32_t i = 0; i < sh->num_long_term_sps + sh->num_long_term_pics; i++)
        n += sh->UsedByCurrPicLt[i];
    return n + sh->NumActiveRefLayerPics;
}

/* Fields of the independent segment that follow the address. */
static uint32_t ParseIndependent(HW265D_DEC *pstDec, HevcBits *b, HevcSliceHeader *sh, const HevcVps *vps,
                                 const HevcSps *sps, const HevcPps *pps)
{
    uint32_t uiRet;
    int i = 0;
    if (pps->num_extra_slice_header_bits > i) {
        i++;
        sh->discardable_flag = (uint8_t)HevcBitsFlag(b);
    }
    if (pps->num_extra_slice_header_bits > i) {
        i++;
        sh->cross_layer_bla_flag = (uint8_t)HevcBitsFlag(b);
    }
    for (; i < pps->num_extra_slice_header_bits; i++)
        HevcBitsFlag(b);
    sh->slice_type = HevcBitsUe(b);
    if (sh->slice_type > 2) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_type is %d, it should be in the range of 0~2!\n", (int)sh->slice_type);
        return SH_FAIL;
    }
    if (IsIrap(sh->nal_unit_type) && sh->nuh_layer_id == 0 && sh->slice_type != HEVC_SLICE_I) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_type is %d, it should be equal to 2!\n", (int)sh->slice_type);
        return SH_FAIL;
    }
    sh->pic_output_flag = 1;
    if (pps->output_flag_present_flag)
        sh->pic_output_flag = (uint8_t)HevcBitsFlag(b);
    sh->colour_plane_id = 0;
    if (sps->separate_colour_plane_flag) {
        sh->colour_plane_id = HevcBitsRead(b, 2);
        if (sh->colour_plane_id > 2) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of colour_plane_id is %u, it should be less than 3!\n", sh->colour_plane_id);
            return SH_FAIL;
        }
    }
    sh->slice_pic_order_cnt_lsb = 0;
    int bPocLsb = !IsIdr(sh->nal_unit_type) ||
                  (sh->nuh_layer_id > 0 && !vps->poc_lsb_not_present_flag[1]);
    if (bPocLsb)
        sh->slice_pic_order_cnt_lsb = HevcBitsRead(b, sps->log2_max_pic_order_cnt_lsb);
    memset(&sh->st_rps, 0, sizeof(sh->st_rps));
    sh->short_term_ref_pic_set_sps_flag = 0;
    sh->short_term_ref_pic_set_idx = 0;
    sh->st_rps_bits = 0;
    sh->num_long_term_sps = sh->num_long_term_pics = 0;
    sh->slice_temporal_mvp_enabled_flag = 0;
    if (!IsIdr(sh->nal_unit_type)) {
        sh->short_term_ref_pic_set_sps_flag = (uint8_t)HevcBitsFlag(b);
        if (!sh->short_term_ref_pic_set_sps_flag) {
            uint32_t uiStart = b->uiBitsRead;
            if (HevcParseStRps(pstDec, b, sps, sps->num_short_term_ref_pic_sets, &sh->st_rps, 1))
                return SH_FAIL;
            sh->st_rps_bits = b->uiBitsRead - uiStart;
        } else {
            if (sps->num_short_term_ref_pic_sets == 0) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of colour_plane_id is %d, it should be equal to 0 when num_short_term_ref_pic_sets is equal to 0!\n",
                         (int)sh->colour_plane_id);
                return SH_FAIL;
            }
            if (sps->num_short_term_ref_pic_sets > 1)
                sh->short_term_ref_pic_set_idx = HevcBitsRead(b, (int)CeilLog2(sps->num_short_term_ref_pic_sets));
            if (sh->short_term_ref_pic_set_idx >= sps->num_short_term_ref_pic_sets) {
                HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeMultSliceHeader", SH_FAIL);
                return SH_FAIL;
            }
            sh->st_rps = sps->st_rps[sh->short_term_ref_pic_set_idx];
        }
        if (sps->long_term_ref_pics_present_flag && (uiRet = ParseLongTerm(pstDec, b, sh, sps)) != 0)
            return uiRet;
        if (sps->sps_temporal_mvp_enabled_flag)
            sh->slice_temporal_mvp_enabled_flag = (uint8_t)HevcBitsFlag(b);
    }
    sh->inter_layer_pred_enabled_flag = 0;
    sh->NumActiveRefLayerPics = 0;
    if (sh->nuh_layer_id > 0 && vps->direct_dependency_flag) {
        if (vps->default_ref_layers_active_flag) {
            sh->NumActiveRefLayerPics = 1;
        } else {
            sh->inter_layer_pred_enabled_flag = (uint8_t)HevcBitsFlag(b);
            sh->NumActiveRefLayerPics = sh->inter_layer_pred_enabled_flag;
        }
        if (sh->NumActiveRefLayerPics > 63) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of numActiveRefLayerPics is %d, it should not be larger than 63\n",
                     sh->NumActiveRefLayerPics);
            return SH_FAIL;
        }
    }
    sh->slice_sao_luma_flag = sh->slice_sao_chroma_flag = 0;
    if (sps->sample_adaptive_offset_enabled_flag) {
        sh->slice_sao_luma_flag = (uint8_t)HevcBitsFlag(b);
        if (sps->ChromaArrayType)
            sh->slice_sao_chroma_flag = (uint8_t)HevcBitsFlag(b);
    }
    sh->NumPicTotalCurr = NumPicTotalCurr(sh);
    sh->num_ref_idx_active[0] = sh->num_ref_idx_active[1] = 0;
    memset(sh->ref_pic_list_modification_flag, 0, sizeof(sh->ref_pic_list_modification_flag));
    sh->mvd_l1_zero_flag = sh->cabac_init_flag = 0;
    sh->collocated_from_l0_flag = 1;
    sh->collocated_ref_idx = 0;
    sh->max_num_merge_cand = 5;
    if (sh->slice_type != HEVC_SLICE_I) {
        if (sh->NumPicTotalCurr < 1) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of NumPocTotalCurr is %d, it should be greater than or equal to 1!\n",
                     sh->NumPicTotalCurr);
            return SH_FAIL;
        }
        sh->num_ref_idx_active[0] = pps->num_ref_idx_l0_default_active_minus1 + 1;
        if (sh->slice_type == HEVC_SLICE_B)
            sh->num_ref_idx_active[1] = pps->num_ref_idx_l1_default_active_minus1 + 1;
        sh->num_ref_idx_active_override_flag = (uint8_t)HevcBitsFlag(b);
        if (sh->num_ref_idx_active_override_flag) {
            uint32_t n = HevcBitsUe(b);
            if (n > 14) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_ref_idx_l0_active is %u, it should be in the range of 1~15!\n",
                         n == 0xFFFFFFFFu ? n : n + 1);
                return SH_FAIL;
            }
            sh->num_ref_idx_active[0] = n + 1;
            if (sh->slice_type == HEVC_SLICE_B) {
                n = HevcBitsUe(b);
                if (n > 14) {
                    HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_ref_idx_l1_active is %u, it should be in the range of 1~15!\n",
                             n == 0xFFFFFFFFu ? n : n + 1);
                    return SH_FAIL;
                }
                sh->num_ref_idx_active[1] = n + 1;
            }
        }
        if (pps->lists_modification_present_flag && sh->NumPicTotalCurr > 1 &&
            (uiRet = ParseListModification(pstDec, b, sh)) != 0)
            return uiRet;
        if (sh->slice_type == HEVC_SLICE_B)
            sh->mvd_l1_zero_flag = (uint8_t)HevcBitsFlag(b);
        if (pps->cabac_init_present_flag)
            sh->cabac_init_flag = (uint8_t)HevcBitsFlag(b);
        if (sh->slice_temporal_mvp_enabled_flag) {
            if (sh->slice_type == HEVC_SLICE_B)
                sh->collocated_from_l0_flag = (uint8_t)HevcBitsFlag(b);
            uint32_t uiList = sh->collocated_from_l0_flag ? 0 : 1;
            if (sh->num_ref_idx_active[uiList] > 1) {
                sh->collocated_ref_idx = HevcBitsUe(b);
                if (sh->collocated_ref_idx > 14 || sh->collocated_ref_idx >= sh->num_ref_idx_active[uiList]) {
                    HEVC_ERR(pstDec, "IHW265D_Decode : the value of collocated_ref_idx is %u, it should be in the range of 0~14!\n",
                             sh->collocated_ref_idx);
                    return SH_FAIL;
                }
            }
        }
        if ((pps->weighted_pred_flag && sh->slice_type == HEVC_SLICE_P) ||
            (pps->weighted_bipred_flag && sh->slice_type == HEVC_SLICE_B)) {
            if ((uiRet = ParsePredWeight(pstDec, b, sh, sps)) != 0)
                return uiRet;
        }
        uint32_t uiFive = HevcBitsUe(b);
        if (uiFive > 4) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of max_num_merge_cand is %d, it should be in the range of 1~5!\n",
                     uiFive == 0xFFFFFFFFu ? -1 : 5 - (int)uiFive);
            return SH_FAIL;
        }
        sh->max_num_merge_cand = 5 - uiFive;
    }
    int64_t iDelta = HevcBitsSe(b);
    int64_t iQp = 26 + pps->init_qp_minus26 + iDelta;
    if (iQp < -sps->QpBdOffsetY || iQp > 51) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_qp is %d, it should be in the range of -12~51!\n",
                 iQp < -100000 ? -100000 : (iQp > 100000 ? 100000 : (int)iQp));
        return SH_FAIL;
    }
    sh->slice_qp_delta = (int32_t)iDelta;
    sh->SliceQpY = (int32_t)iQp;
    sh->slice_cb_qp_offset = sh->slice_cr_qp_offset = 0;
    if (pps->pps_slice_chroma_qp_offsets_present_flag) {
        int64_t o = HevcBitsSe(b);
        if (o < -12 || o > 12) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_cb_qp_offset is %d, it should be in the range of -12~12!\n", (int)o);
            return SH_FAIL;
        }
        sh->slice_cb_qp_offset = (int32_t)o;
        o = HevcBitsSe(b);
        if (o < -12 || o > 12) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_cr_qp_offset is %d, it should be in the range of -12~12!\n", (int)o);
            return SH_FAIL;
        }
        sh->slice_cr_qp_offset = (int32_t)o;
    }
    sh->cu_chroma_qp_offset_enabled_flag = 0;
    if (pps->chroma_qp_offset_list_enabled_flag)
        sh->cu_chroma_qp_offset_enabled_flag = (uint8_t)HevcBitsFlag(b);
    sh->deblocking_filter_override_flag = 0;
    if (pps->deblocking_filter_override_enabled_flag)
        sh->deblocking_filter_override_flag = (uint8_t)HevcBitsFlag(b);
    sh->slice_deblocking_filter_disabled_flag = pps->pps_deblocking_filter_disabled_flag;
    sh->slice_beta_offset = pps->pps_beta_offset;
    sh->slice_tc_offset = pps->pps_tc_offset;
    if (sh->deblocking_filter_override_flag) {
        sh->slice_deblocking_filter_disabled_flag = (uint8_t)HevcBitsFlag(b);
        if (!sh->slice_deblocking_filter_disabled_flag) {
            int64_t o = HevcBitsSe(b) * 2;
            if (o < -12 || o > 12) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_beta_offset is %d, it should be in the range of -12~12!\n", (int)o);
                return SH_FAIL;
            }
            sh->slice_beta_offset = (int32_t)o;
            o = HevcBitsSe(b) * 2;
            if (o < -12 || o > 12) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_tc_offset is %d, it should be in the range of -12~12!\n", (int)o);
                return SH_FAIL;
            }
            sh->slice_tc_offset = (int32_t)o;
        }
    }
    sh->slice_loop_filter_across_slices_enabled_flag = pps->pps_loop_filter_across_slices_enabled_flag;
    if (pps->pps_loop_filter_across_slices_enabled_flag &&
        (sh->slice_sao_luma_flag || sh->slice_sao_chroma_flag || !sh->slice_deblocking_filter_disabled_flag))
        sh->slice_loop_filter_across_slices_enabled_flag = (uint8_t)HevcBitsFlag(b);
    return 0;
}

uint32_t HevcParseSliceHeader(HW265D_DEC *pstDec, HevcBits *b, HevcSliceHeader *sh)
{
    uint32_t uiRet;
    /* Header fields were set by the caller: nal_unit_type, nuh_layer_id, temporal_id. */
    sh->first_slice_segment_in_pic_flag = (uint8_t)HevcBitsFlag(b);
    if (!sh->first_slice_segment_in_pic_flag && (pstDec->bPicStarted || pstDec->bSkipPic) &&
        sh->temporal_id != pstDec->ucFirstTemporalId) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of nuh_temporal_id is %d, it is not equal to firstSliceSegment nuh_temporal_id!\n",
                 (int)sh->temporal_id);
        return SH_FAIL;
    }
    sh->no_output_of_prior_pics_flag = 0;
    if (IsIrap(sh->nal_unit_type))
        sh->no_output_of_prior_pics_flag = (uint8_t)HevcBitsFlag(b);
    uint32_t uiPpsId = HevcBitsUe(b);
    if (uiPpsId >= (uint32_t)pstDec->stParam.iMaxPPSNum) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_pic_parameter_set_id is %u, it should be in the range of 0~(iMaxPPSNum - 1)!\n",
                 uiPpsId);
        return SH_FAIL;
    }
    const HevcPps *pps = &pstDec->pstPps[uiPpsId];
    if (!pps->bValid) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The ID of PPS that current SliceHeader refered is %u, which is not exist!\n", uiPpsId);
        return SH_FAIL;
    }
    if (!sh->first_slice_segment_in_pic_flag && pstDec->bPicStarted && pstDec->pstActPps &&
        pstDec->pstActPps->pps_pic_parameter_set_id != uiPpsId) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The ID of PPS that current Slice refered is %u, which is not exist!\n", uiPpsId);
        return SH_FAIL;
    }
    const HevcSps *sps = &pstDec->pstSps[pps->pps_seq_parameter_set_id];
    if (!sps->bValid) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The ID of SPS that current Slice refered is %u, which is not exist!\n",
                 (unsigned)pps->pps_seq_parameter_set_id);
        return SH_FAIL;
    }
    const HevcVps *vps = &pstDec->pstVps[sps->sps_video_parameter_set_id];
    if (!vps->bValid) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The ID of VPS that current Slice refered is %u, which is not exist!\n",
                 (unsigned)sps->sps_video_parameter_set_id);
        return SH_FAIL;
    }
    sh->slice_pic_parameter_set_id = uiPpsId;
    sh->dependent_slice_segment_flag = 0;
    sh->slice_segment_address = 0;
    if (!sh->first_slice_segment_in_pic_flag) {
        if (pps->dependent_slice_segments_enabled_flag)
            sh->dependent_slice_segment_flag = (uint8_t)HevcBitsFlag(b);
        sh->slice_segment_address = HevcBitsRead(b, (int)CeilLog2(sps->PicSizeInCtbsY));
        if (sh->slice_segment_address >= sps->PicSizeInCtbsY) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_segment_address is %u, it should be less than PicSizeInCtbsY,whose value is %u !\n",
                     sh->slice_segment_address, sps->PicSizeInCtbsY);
            return SH_FAIL;
        }
    }
    if (sh->dependent_slice_segment_flag) {
        if (!pstDec->bShValid || !(pstDec->bPicStarted || pstDec->bSkipPic)) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the independent slice segment header is invalid !\n");
            return SH_FAIL;
        }
    } else {
        pstDec->bShValid = 0;
        sh->SliceAddrRs = sh->slice_segment_address;
        if ((uiRet = ParseIndependent(pstDec, b, sh, vps, sps, pps)) != 0)
            return uiRet;
    }
    sh->num_entry_point_offsets = 0;
    sh->offset_len = 0;
    pstDec->uiEntryPointNum = 0;
    sh->puiEntryPointOffset = pstDec->puiEntryPoints;
    if (pps->tiles_enabled_flag || pps->entropy_coding_sync_enabled_flag) {
        uint32_t n = HevcBitsUe(b);
        if (pps->tiles_enabled_flag && n > pps->num_tile_columns * pps->num_tile_rows - 1) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_entry_point_offsets is error,it is bigger than pstCurPPS->num_tile_columns * pstCurPPS->num_tile_rows-1\n");
            return SH_FAIL;
        }
        if (pps->entropy_coding_sync_enabled_flag && n > sps->PicHeightInCtbsY - 1) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_entry_point_offsets is error,it is bigger than pstCurSPS->pic_height_in_ctbs-1\n");
            return SH_FAIL;
        }
        if (n > pstDec->uiEntryPointCap) {
            HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeMultSliceHeader", SH_FAIL);
            return SH_FAIL;
        }
        sh->num_entry_point_offsets = n;
        if (n > 0) {
            uint32_t uiLen = HevcBitsUe(b);
            if (uiLen > 31) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of offset_len is %u, it should be in the range of 1~32!\n",
                         uiLen == 0xFFFFFFFFu ? uiLen : uiLen + 1);
                return SH_FAIL;
            }
            sh->offset_len = uiLen + 1;
            for (uint32_t i = 0; i < n && !b->bOverrun; i++)
                pstDec->puiEntryPoints[i] = HevcBitsRead(b, (int)sh->offset_len);
            pstDec->uiEntryPointNum = n;
        }
    }
    sh->slice_segment_header_extension_length = 0;
    if (pps->slice_segment_header_extension_present_flag) {
        sh->slice_segment_header_extension_length = HevcBitsUe(b);
        if (sh->slice_segment_header_extension_length > 256) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of slice_segment_header_extension_length is %u, it should be in the range of 0~256!\n",
                     sh->slice_segment_header_extension_length);
            return SH_FAIL;
        }
        HevcBitsSkip(b, sh->slice_segment_header_extension_length * 8);
    }
    /* byte_alignment(): a one bit, then zeros up to the byte boundary. */
    HevcBitsFlag(b);
    while (!HevcBitsAligned(b) && !b->bOverrun)
        HevcBitsFlag(b);
    if (b->bOverrun) {
        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeMultSliceHeader", SH_FAIL);
        return SH_FAIL;
    }
    sh->uiHeaderBits = b->uiBitsRead;
    sh->uiDataOffset = HevcBitsRawOffset(b, b->uiBitsRead / 8);
    if (!sh->dependent_slice_segment_flag)
        pstDec->bShValid = 1;
    return 0;
}
