/* Sequence parameter set (H.265 7.3.2.2, F.7.3.2.2.1 for the second layer). */
#include <string.h>
#include "hevc_decoder.h"

#define SPS_FAIL IHW265D_ERR_SPS

static int CheckConfWindow(HW265D_DEC *pstDec, HevcSps *s)
{
    uint64_t w = s->pic_width_in_luma_samples, h = s->pic_height_in_luma_samples;
    if ((uint64_t)s->conf_win_left_offset * 2 >= w || (uint64_t)s->conf_win_right_offset * 2 >= w) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of conf_win_left_offset or conf_win_right_offset is error!\n");
        return -1;
    }
    if (((uint64_t)s->conf_win_left_offset + s->conf_win_right_offset) * 2 >= w) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of conf_win_left_offset and conf_win_right_offset is error!\n");
        return -1;
    }
    if (((uint64_t)s->conf_win_top_offset + s->conf_win_bottom_offset) * 2 >= h) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of conf_win_top_offset and conf_win_bottom_offset is error!\n");
        return -1;
    }
    return 0;
}

static uint32_t ParseFormat(HW265D_DEC *pstDec, HevcBits *b, HevcSps *s)
{
    uint32_t v = HevcBitsUe(b);
    if (v != 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of chroma_format_idc is %u, should be equal to 1!\n", v);
        return SPS_FAIL;
    }
    s->chroma_format_idc = (uint8_t)v;
    s->pic_width_in_luma_samples = HevcBitsUe(b);
    s->pic_height_in_luma_samples = HevcBitsUe(b);
    s->conformance_window_flag = (uint8_t)HevcBitsFlag(b);
    if (s->conformance_window_flag) {
        s->conf_win_left_offset = HevcBitsUe(b);
        s->conf_win_right_offset = HevcBitsUe(b);
        s->conf_win_top_offset = HevcBitsUe(b);
        s->conf_win_bottom_offset = HevcBitsUe(b);
        if (CheckConfWindow(pstDec, s))
            return SPS_FAIL;
    }
    v = HevcBitsUe(b);
    if (v != 0 && v != 2) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_depth_luma is %u, should be equal to 8 or 10!\n", v + 8);
        return SPS_FAIL;
    }
    s->bit_depth_luma = (uint8_t)(v + 8);
    v = HevcBitsUe(b);
    if (v != 0 && v != 2) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_depth_chroma is %u, should be equal to 8 or 10!\n", v + 8);
        return SPS_FAIL;
    }
    s->bit_depth_chroma = (uint8_t)(v + 8);
    return 0;
}

static uint32_t FormatFromVps(HW265D_DEC *pstDec, const HevcVps *vps, uint32_t uiIdx, HevcSps *s)
{
    const HevcRepFormat *r = &vps->rep_format[uiIdx];
    if (r->chroma_format_idc != 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of chroma_format_idc is %u, should be equal to 1!\n",
                 (unsigned)r->chroma_format_idc);
        return SPS_FAIL;
    }
    s->chroma_format_idc = r->chroma_format_idc;
    s->pic_width_in_luma_samples = r->pic_width;
    s->pic_height_in_luma_samples = r->pic_height;
    s->conformance_window_flag = r->conformance_window_flag;
    s->conf_win_left_offset = r->conf_win_left_offset;
    s->conf_win_right_offset = r->conf_win_right_offset;
    s->conf_win_top_offset = r->conf_win_top_offset;
    s->conf_win_bottom_offset = r->conf_win_bottom_offset;
    if (s->conformance_window_flag && CheckConfWindow(pstDec, s))
        return SPS_FAIL;
    if (r->bit_depth_luma != 8 && r->bit_depth_luma != 10) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_depth_luma is %u, should be equal to 8 or 10!\n",
                 (unsigned)r->bit_depth_luma);
        return SPS_FAIL;
    }
    if (r->bit_depth_chroma != 8 && r->bit_depth_chroma != 10) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_depth_chroma is %u, should be equal to 8 or 10!\n",
                 (unsigned)r->bit_depth_chroma);
        return SPS_FAIL;
    }
    s->bit_depth_luma = r->bit_depth_luma;
    s->bit_depth_chroma = r->bit_depth_chroma;
    return 0;
}

uint32_t HevcParseSps(HW265D_DEC *pstDec, HevcBits *b, int iLayerId)
{
    HevcSps *s = pstDec->pstSpsTmp;
    memset(s, 0, sizeof(*s));
    s->nuh_layer_id = (uint8_t)iLayerId;
    uint32_t uiVpsId = HevcBitsRead(b, 4);
    if (uiVpsId >= (uint32_t)pstDec->stParam.iMaxVPSNum) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of sps_video_parameter_set_id is %u, which is more than the value of iMaxVPSNumMinus1,Please enlarge the parameter of iMaxVPSNum !\n",
                 uiVpsId);
        return SPS_FAIL;
    }
    const HevcVps *vps = &pstDec->pstVps[uiVpsId];
    if (!vps->bValid) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The ID of VPS that current SPS refered is %u, which is not exist!\n", uiVpsId);
        return SPS_FAIL;
    }
    s->sps_video_parameter_set_id = (uint8_t)uiVpsId;
    uint32_t uiSub = HevcBitsRead(b, 3);
    s->multi_layer_ext_sps_flag = (uint8_t)(iLayerId != 0 && uiSub == 7);
    if (s->multi_layer_ext_sps_flag)
        uiSub = vps->vps_max_sub_layers_minus1;
    if (uiSub > 6) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of sps_max_sub_layers_minus1 is %u, should be less than 7 !\n", uiSub);
        return SPS_FAIL;
    }
    s->sps_max_sub_layers_minus1 = (uint8_t)uiSub;
    if (!s->multi_layer_ext_sps_flag) {
        s->sps_temporal_id_nesting_flag = (uint8_t)HevcBitsFlag(b);
        if ((uiSub == 0 || vps->vps_temporal_id_nesting_flag) && !s->sps_temporal_id_nesting_flag)
            HEVC_WARN(pstDec, "IHW265D_Decode : when sps_max_sub_layers_minus1 is equal to 0 or vps_temporal_id_nesting_flag is equal to 1,The value of sps_temporal_id_nesting_flag should be equal to 1, but now it is %d!\n",
                      (int)s->sps_temporal_id_nesting_flag);
        if (HevcParsePtl(pstDec, b, &s->ptl, 1, uiSub))
            return SPS_FAIL;
    } else {
        s->sps_temporal_id_nesting_flag = vps->vps_temporal_id_nesting_flag;
        s->ptl = vps->ptl;
    }
    uint32_t uiId = HevcBitsUe(b);
    if (uiId >= HEVC_MAX_SPS) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of sps_seq_parameter_set_id is %u, should be less than 16!\n", uiId);
        return SPS_FAIL;
    }
    if (uiId >= (uint32_t)pstDec->stParam.iMaxSPSNum) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of sps_seq_parameter_set_id is %u, which is more than the value of iMaxSPSNumMinus1,Please enlarge the parameter of iMaxSPSNum !\n",
                 uiId);
        return SPS_FAIL;
    }
    s->sps_seq_parameter_set_id = (uint8_t)uiId;
    /* Whatever the slot held is replaced: a set that fails leaves it invalid. */
    pstDec->pstSps[uiId].bValid = 0;
    uint32_t uiRet;
    if (s->multi_layer_ext_sps_flag) {
        uint32_t uiIdx = vps->vps_rep_format_idx[1];
        if (HevcBitsFlag(b)) { /* update_rep_format_flag */
            int iIdx = (int)HevcBitsRead(b, 8);
            if (iIdx > 1 || (uint32_t)iIdx > vps->vps_num_rep_formats_minus1) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of repFormatIdx is %d, now it should be larger than 1!\n", iIdx);
                return SPS_FAIL;
            }
            uiIdx = (uint32_t)iIdx;
        }
        uiRet = FormatFromVps(pstDec, vps, uiIdx, s);
    } else {
        uiRet = ParseFormat(pstDec, b, s);
    }
    if (uiRet)
        return uiRet;
    s->ChromaArrayType = s->chroma_format_idc;
    s->SubWidthC = s->SubHeightC = 2;
    if ((s->bit_depth_luma > 8 || s->bit_depth_chroma > 8) && pstDec->stParam.iBitDepth == 8) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_depth is 10, but the use input bitdepth is 8!\n");
        return SPS_FAIL;
    }
    uint32_t v = HevcBitsUe(b) + 4;
    if (v > 16) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of log2_max_pic_order_cnt_lsb is %u, should be less than 17!\n", v);
        return SPS_FAIL;
    }
    s->log2_max_pic_order_cnt_lsb = (uint8_t)v;
    s->sps_sub_layer_ordering_info_present_flag = (uint8_t)HevcBitsFlag(b);
    for (int i = s->sps_sub_layer_ordering_info_present_flag ? 0 : (int)uiSub; i <= (int)uiSub; i++) {
        uint32_t d = HevcBitsUe(b);
        if (d >= HEVC_MAX_DPB_SIZE) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of pstSPS->temporal_layer[%d].sps_max_dec_pic_buffering is %u, should be less than %u!\n",
                     i, d + 1, (unsigned)HEVC_MAX_DPB_SIZE + 1);
            return SPS_FAIL;
        }
        if (iLayerId == 0 && i <= vps->vps_max_sub_layers_minus1 && d > vps->vps_max_dec_pic_buffering_minus1[i]) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of pstSPS->temporal_layer[%u].sps_max_dec_pic_buffering is %u, should not be bigger than vps_max_dec_pic_buffering!\n",
                     (unsigned)i, d + 1);
            return SPS_FAIL;
        }
        if (i > 0 && s->sps_sub_layer_ordering_info_present_flag && d < s->sps_max_dec_pic_buffering_minus1[i - 1]) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of pstSPS->temporal_layer[%u].sps_max_dec_pic_buffering should not be less than The value of pstSPS->temporal_layer[%u].sps_max_dec_pic_buffering!\n",
                     (unsigned)i, (unsigned)i - 1);
            return SPS_FAIL;
        }
        s->sps_max_dec_pic_buffering_minus1[i] = d;
        uint32_t r = HevcBitsUe(b);
        if (r > 16) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of pstSPS->temporal_layer[%u].sps_max_num_reorder_pics is %u, should be less than 17!\n",
                     (unsigned)i, r);
            return SPS_FAIL;
        }
        if (i > 0 && s->sps_sub_layer_ordering_info_present_flag && r < s->sps_max_num_reorder_pics[i - 1]) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of pstSPS->temporal_layer[%u].sps_max_num_reorder_pics is %u should not be less than The value of pstSPS->temporal_layer[%u].sps_max_num_reorder_pics!\n",
                     (unsigned)i, r, (unsigned)i - 1);
            return SPS_FAIL;
        }
        s->sps_max_num_reorder_pics[i] = r;
        uint32_t l = HevcBitsUe(b);
        if (l == 0xFFFFFFFFu) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of sps_max_latency_increase_plus1 is %llu, out of the range of 0~2^32-2!\n",
                     (unsigned long long)l);
            return SPS_FAIL;
        }
        /* 0 means no latency limit (H.265 7.4.3.2.1). */
        s->sps_max_latency_increase_plus1[i] = l;
    }
    if (!s->sps_sub_layer_ordering_info_present_flag) {
        for (uint32_t i = 0; i < uiSub; i++) {
            s->sps_max_dec_pic_buffering_minus1[i] = s->sps_max_dec_pic_buffering_minus1[uiSub];
            s->sps_max_num_reorder_pics[i] = s->sps_max_num_reorder_pics[uiSub];
            s->sps_max_latency_increase_plus1[i] = s->sps_max_latency_increase_plus1[uiSub];
        }
    }
    v = HevcBitsUe(b) + 3;
    if (v < 3 || v > 6) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of log2_min_coding_block_size is %u, should be in the range of 3~6!\n", v);
        return SPS_FAIL;
    }
    s->log2_min_luma_coding_block_size = (uint8_t)v;
    s->MinCbLog2SizeY = (uint8_t)v;
    s->MinCbSizeY = 1u << v;
    if (s->pic_width_in_luma_samples == 0 || s->pic_width_in_luma_samples % s->MinCbSizeY) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of pic_width_in_luma_samples is %u, should be bigger than 0 and shall be an integer multiple of MinCbSizeY!\n",
                 s->pic_width_in_luma_samples);
        return SPS_FAIL;
    }
    if (s->pic_height_in_luma_samples == 0 || s->pic_height_in_luma_samples % s->MinCbSizeY) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of pic_height_in_luma_samples is %u, should be bigger than 0 and shall be an integer multiple of MinCbSizeY!\n",
                 s->pic_height_in_luma_samples);
        return SPS_FAIL;
    }
    uint32_t uiDiffCb = HevcBitsUe(b);
    v = HevcBitsUe(b) + 2;
    if (v < 2 || v > 5) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of log2_min_transform_block_size is %u, it should be in the range of 2~5!\n", v);
        return SPS_FAIL;
    }
    if (v >= s->MinCbLog2SizeY) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of log2_min_transform_block_size should less than log2_min_coding_block_size!\n");
        return SPS_FAIL;
    }
    s->log2_min_luma_transform_block_size = (uint8_t)v;
    s->Log2MinTrafoSize = (uint8_t)v;
    if (uiDiffCb > 3 || s->MinCbLog2SizeY + uiDiffCb > 6) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of log2_ctb_size is %u, it should be less than 7!\n",
                 uiDiffCb > 64 ? uiDiffCb : s->MinCbLog2SizeY + uiDiffCb);
        return SPS_FAIL;
    }
    s->log2_diff_max_min_luma_coding_block_size = (uint8_t)uiDiffCb;
    s->CtbLog2SizeY = (uint8_t)(s->MinCbLog2SizeY + uiDiffCb);
    s->CtbSizeY = 1u << s->CtbLog2SizeY;
    uint32_t uiDiffTb = HevcBitsUe(b);
    uint32_t uiMaxTb = s->CtbLog2SizeY < 5 ? s->CtbLog2SizeY : 5;
    if (uiDiffTb > 3 || s->Log2MinTrafoSize + uiDiffTb > uiMaxTb) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of iLog2MaxTrafoSize is error!\n");
        return SPS_FAIL;
    }
    s->log2_diff_max_min_luma_transform_block_size = (uint8_t)uiDiffTb;
    s->Log2MaxTrafoSize = (uint8_t)(s->Log2MinTrafoSize + uiDiffTb);
    v = HevcBitsUe(b);
    if (v > 4) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of max_transform_hierarchy_depth_inter is %u,it should be less than 5 !\n", v);
        return SPS_FAIL;
    }
    s->max_transform_hierarchy_depth_inter = (uint8_t)v;
    v = HevcBitsUe(b);
    if (v > 4) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of max_transform_hierarchy_depth_intra is %u,it should be less than 5 !\n", v);
        return SPS_FAIL;
    }
    s->max_transform_hierarchy_depth_intra = (uint8_t)v;
    HevcDefaultScalingList(&s->scaling_list);
    s->scaling_list_enabled_flag = (uint8_t)HevcBitsFlag(b);
    if (s->scaling_list_enabled_flag) {
        if (s->multi_layer_ext_sps_flag)
            s->sps_infer_scaling_list_flag = (uint8_t)HevcBitsFlag(b);
        if (s->sps_infer_scaling_list_flag) {
            HevcBitsRead(b, 6); /* sps_scaling_list_ref_layer_id */
        } else {
            s->sps_scaling_list_data_present_flag = (uint8_t)HevcBitsFlag(b);
            if (s->sps_scaling_list_data_present_flag && HevcParseScalingList(pstDec, b, &s->scaling_list)) {
                HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeScalingListData", SPS_FAIL);
                return SPS_FAIL;
            }
        }
    }
    s->amp_enabled_flag = (uint8_t)HevcBitsFlag(b);
    s->sample_adaptive_offset_enabled_flag = (uint8_t)HevcBitsFlag(b);
    s->pcm_enabled_flag = (uint8_t)HevcBitsFlag(b);
    if (s->pcm_enabled_flag) {
        s->pcm_bit_depth_luma = (uint8_t)(HevcBitsRead(b, 4) + 1);
        if (s->pcm_bit_depth_luma > s->bit_depth_luma) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of pcm_bit_depth_luma is error !\n");
            return SPS_FAIL;
        }
        s->pcm_bit_depth_chroma = (uint8_t)(HevcBitsRead(b, 4) + 1);
        if (s->pcm_bit_depth_chroma > s->bit_depth_chroma) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of pcm_sample_bit_depth_chroma is error !\n");
            return SPS_FAIL;
        }
        uint32_t uiLo = s->MinCbLog2SizeY > 3 ? s->MinCbLog2SizeY : 3;
        uint32_t uiHi = s->CtbLog2SizeY < 5 ? s->CtbLog2SizeY : 5;
        v = HevcBitsUe(b);
        if (v > 2 || v + 3 < uiLo || v + 3 > uiHi) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of log2_min_pcm_coding_block_size is error !\n");
            return SPS_FAIL;
        }
        s->log2_min_pcm_luma_coding_block_size = (uint8_t)(v + 3);
        v = HevcBitsUe(b);
        if (v > 2 || s->log2_min_pcm_luma_coding_block_size + v > uiHi) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of log2_diff_max_min_pcm_luma_coding_block_size is error !\n");
            return SPS_FAIL;
        }
        s->log2_diff_max_min_pcm_luma_coding_block_size = (uint8_t)v;
        s->pcm_loop_filter_disabled_flag = (uint8_t)HevcBitsFlag(b);
    }
    s->num_short_term_ref_pic_sets = HevcBitsUe(b);
    if (s->num_short_term_ref_pic_sets > HEVC_MAX_ST_RPS) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_short_term_ref_pic_sets is %u,it should be less than 65 !\n",
                 s->num_short_term_ref_pic_sets);
        return SPS_FAIL;
    }
    for (uint32_t i = 0; i < s->num_short_term_ref_pic_sets; i++)
        if (HevcParseStRps(pstDec, b, s, i, &s->st_rps[i], 0))
            return SPS_FAIL;
    s->long_term_ref_pics_present_flag = (uint8_t)HevcBitsFlag(b);
    if (s->long_term_ref_pics_present_flag) {
        s->num_long_term_ref_pics_sps = HevcBitsUe(b);
        if (s->num_long_term_ref_pics_sps > HEVC_MAX_LT_SPS) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_long_term_ref_pics_sps is %u,it should be in the range of 0~32 !\n",
                     s->num_long_term_ref_pics_sps);
            return SPS_FAIL;
        }
        for (uint32_t i = 0; i < s->num_long_term_ref_pics_sps; i++) {
            s->lt_ref_pic_poc_lsb_sps[i] = HevcBitsRead(b, s->log2_max_pic_order_cnt_lsb);
            s->used_by_curr_pic_lt_sps_flag[i] = (uint8_t)HevcBitsFlag(b);
            if (b->bOverrun) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of lt_ref_pic_poc_lsb_sps[%u] is error !\n", i);
                return SPS_FAIL;
            }
        }
    }
    s->sps_temporal_mvp_enabled_flag = (uint8_t)HevcBitsFlag(b);
    s->strong_intra_smoothing_enabled_flag = (uint8_t)HevcBitsFlag(b);
    s->vui_parameters_present_flag = (uint8_t)HevcBitsFlag(b);
    if (s->vui_parameters_present_flag && HevcParseVui(pstDec, b, s))
        return SPS_FAIL;
    s->sps_extension_present_flag = (uint8_t)HevcBitsFlag(b);
    if (s->sps_extension_present_flag) {
        s->sps_range_extension_flag = (uint8_t)HevcBitsFlag(b);
        s->sps_multilayer_extension_flag = (uint8_t)HevcBitsFlag(b);
        HevcBitsRead(b, 6); /* 3D, SCC and 4 reserved bits: not used by Main/Main 10 */
        if (s->sps_range_extension_flag) {
            s->transform_skip_rotation_enabled_flag = (uint8_t)HevcBitsFlag(b);
            s->transform_skip_context_enabled_flag = (uint8_t)HevcBitsFlag(b);
            s->implicit_rdpcm_enabled_flag = (uint8_t)HevcBitsFlag(b);
            s->explicit_rdpcm_enabled_flag = (uint8_t)HevcBitsFlag(b);
            s->extended_precision_processing_flag = (uint8_t)HevcBitsFlag(b);
            s->intra_smoothing_disabled_flag = (uint8_t)HevcBitsFlag(b);
            s->high_precision_offsets_enabled_flag = (uint8_t)HevcBitsFlag(b);
            s->persistent_rice_adaptation_enabled_flag = (uint8_t)HevcBitsFlag(b);
            s->cabac_bypass_alignment_enabled_flag = (uint8_t)HevcBitsFlag(b);
        }
        if (s->sps_multilayer_extension_flag)
            s->inter_view_mv_vert_constraint_flag = (uint8_t)HevcBitsFlag(b);
    }
    if (b->bOverrun) {
        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeSPS", SPS_FAIL);
        return SPS_FAIL;
    }
    /* Derived sizes (H.265 7.4.3.2.1). */
    s->PicWidthInMinCbsY = s->pic_width_in_luma_samples >> s->MinCbLog2SizeY;
    s->PicHeightInMinCbsY = s->pic_height_in_luma_samples >> s->MinCbLog2SizeY;
    s->PicWidthInCtbsY = (s->pic_width_in_luma_samples + s->CtbSizeY - 1) >> s->CtbLog2SizeY;
    s->PicHeightInCtbsY = (s->pic_height_in_luma_samples + s->CtbSizeY - 1) >> s->CtbLog2SizeY;
    s->PicSizeInCtbsY = s->PicWidthInCtbsY * s->PicHeightInCtbsY;
    s->QpBdOffsetY = 6 * (s->bit_depth_luma - 8);
    s->QpBdOffsetC = 6 * (s->bit_depth_chroma - 8);
    s->bValid = 1;
    memcpy(&pstDec->pstSps[uiId], s, sizeof(*s));
    return 0;
}
