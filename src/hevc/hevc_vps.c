/* Video parameter set (H.265 7.3.2.1) with the second-layer extension
 * (H.265 F.7.3.2.1.1) read as far as this decoder needs it: two layers at
 * most, layer 1 predicted from layer 0. */
#include <string.h>
#include "hevc_decoder.h"

#define VPS_FAIL IHW265D_ERR_VPS

static uint32_t CeilLog2(uint32_t v)
{
    uint32_t n = 0;
    while (((uint32_t)1 << n) < v)
        n++;
    return n;
}

static int ParseRepFormat(HevcBits *b, HevcRepFormat *r, const HevcRepFormat *prev)
{
    r->pic_width = HevcBitsRead(b, 16);
    r->pic_height = HevcBitsRead(b, 16);
    if (HevcBitsFlag(b)) {
        r->chroma_format_idc = (uint8_t)HevcBitsRead(b, 2);
        if (r->chroma_format_idc == 3)
            r->separate_colour_plane_flag = (uint8_t)HevcBitsFlag(b);
        r->bit_depth_luma = (uint8_t)(HevcBitsRead(b, 4) + 8);
        r->bit_depth_chroma = (uint8_t)(HevcBitsRead(b, 4) + 8);
    } else if (prev) {
        r->chroma_format_idc = prev->chroma_format_idc;
        r->separate_colour_plane_flag = prev->separate_colour_plane_flag;
        r->bit_depth_luma = prev->bit_depth_luma;
        r->bit_depth_chroma = prev->bit_depth_chroma;
    } else {
        return -1;
    }
    r->conformance_window_flag = (uint8_t)HevcBitsFlag(b);
    if (r->conformance_window_flag) {
        r->conf_win_left_offset = HevcBitsUe(b);
        r->conf_win_right_offset = HevcBitsUe(b);
        r->conf_win_top_offset = HevcBitsUe(b);
        r->conf_win_bottom_offset = HevcBitsUe(b);
    }
    return b->bOverrun ? -1 : 0;
}

static uint32_t ParseVpsExtension(HW265D_DEC *pstDec, HevcBits *b, HevcVps *v)
{
    HevcPtl stPtl;
    uint32_t uiMaxLayersMinus1 = v->vps_max_layers_minus1;
    if (uiMaxLayersMinus1 > 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : pstVPS->vps_max_layers_minus1 is %u, it should be in the range of 0~1!\n",
                 uiMaxLayersMinus1);
        return VPS_FAIL;
    }
    if (uiMaxLayersMinus1 > 0 && v->vps_base_layer_internal_flag)
        HevcParsePtl(pstDec, b, &stPtl, 0, v->vps_max_sub_layers_minus1);
    v->splitting_flag = (uint8_t)HevcBitsFlag(b);
    uint8_t aucMask[16];
    uint32_t uiTypes = 0;
    for (int i = 0; i < 16; i++) {
        aucMask[i] = (uint8_t)HevcBitsFlag(b);
        uiTypes += aucMask[i];
    }
    if (v->splitting_flag && uiTypes == 0) {
        HEVC_ERR(pstDec, "IHW265D_Decode : vps_splitting_flag is true, NumScalabilityTypes %u invalid!\n", uiTypes);
        return VPS_FAIL;
    }
    v->num_scalability_types = (uint8_t)uiTypes;
    uint32_t auiLen[16] = {0};
    for (uint32_t j = 0; j < uiTypes - v->splitting_flag; j++)
        auiLen[j] = HevcBitsRead(b, 3) + 1;
    if (v->splitting_flag) {
        /* The last dimension takes the bits left of the six. */
        uint32_t uiSum = 0;
        for (uint32_t j = 0; j + 1 < uiTypes; j++)
            uiSum += auiLen[j];
        /* The dimensions split the six bits of nuh_layer_id (F.7.4.3.1.1). */
        if (uiSum > 6) {
            HEVC_ERR(pstDec, "IHW265D_Decode : vps_splitting_flag is true, NumScalabilityTypes %u invalid!\n", uiTypes);
            return VPS_FAIL;
        }
        auiLen[uiTypes - 1] = 6 - uiSum;
    }
    int bLayerIdPresent = (int)HevcBitsFlag(b);
    v->layer_id_in_nuh[0] = 0;
    uint32_t uiViewOrderIdx1 = 0;
    for (uint32_t i = 1; i <= uiMaxLayersMinus1; i++) {
        v->layer_id_in_nuh[i] = (uint8_t)(bLayerIdPresent ? HevcBitsRead(b, 6) : i);
        uint32_t uiShift = 0;
        for (uint32_t j = 0, k = 0; j < 16; j++) {
            if (!aucMask[j])
                continue;
            uint32_t uiDim;
            if (!v->splitting_flag) {
                uiDim = HevcBitsRead(b, (int)auiLen[k]);
            } else {
                uiDim = (v->layer_id_in_nuh[i] >> uiShift) & ((1u << auiLen[k]) - 1);
                uiShift += auiLen[k];
            }
            if (j == 1) /* multiview dimension: ViewOrderIdx */
                uiViewOrderIdx1 = uiDim;
            k++;
        }
    }
    v->num_views = (uint8_t)(uiMaxLayersMinus1 > 0 && uiViewOrderIdx1 != 0 ? 2 : 1);
    if (v->num_views > 2) {
        HEVC_ERR(pstDec, "IHW265D_Decode : uiNumViews is %u, it should be in the range of 0~2!\n", (unsigned)v->num_views);
        return VPS_FAIL;
    }
    uint32_t uiViewIdLen = HevcBitsRead(b, 4);
    if (uiViewIdLen > 0)
        for (uint32_t i = 0; i < v->num_views; i++)
            HevcBitsRead(b, (int)uiViewIdLen);
    v->direct_dependency_flag = 0;
    if (uiMaxLayersMinus1 > 0)
        v->direct_dependency_flag = (uint8_t)HevcBitsFlag(b);
    uint32_t uiIndependent = 1 + (uiMaxLayersMinus1 > 0 && !v->direct_dependency_flag ? 1 : 0);
    if (uiIndependent > 1) {
        uint32_t uiAdd = HevcBitsUe(b);
        if (uiAdd != 0) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_num_add_layer_sets is %u, it should be equal to 0!\n", uiAdd);
            return VPS_FAIL;
        }
    }
    uint32_t auiSubMax[2] = {v->vps_max_sub_layers_minus1, v->vps_max_sub_layers_minus1};
    if (HevcBitsFlag(b)) {
        for (uint32_t i = 0; i <= uiMaxLayersMinus1; i++) {
            int iSub = (int)HevcBitsRead(b, 3);
            if (iSub > v->vps_max_sub_layers_minus1) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of sub_layers_vps_max_minus1 is %d, it should be in the range of 0~max_sub_layers_minus1!\n",
                         iSub);
                return VPS_FAIL;
            }
            auiSubMax[i] = (uint32_t)iSub;
        }
    }
    if (HevcBitsFlag(b) && uiMaxLayersMinus1 > 0 && v->direct_dependency_flag)
        HevcBitsRead(b, 3); /* max_tid_il_ref_pics_plus1 */
    v->default_ref_layers_active_flag = (uint8_t)HevcBitsFlag(b);
    uint32_t uiNumPtlMinus1 = HevcBitsUe(b);
    if (uiNumPtlMinus1 > 63) {
        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeVPS", VPS_FAIL);
        return VPS_FAIL;
    }
    for (uint32_t i = v->vps_base_layer_internal_flag ? 2 : 1; i <= uiNumPtlMinus1 && !b->bOverrun; i++) {
        int bPresent = (int)HevcBitsFlag(b);
        HevcParsePtl(pstDec, b, &stPtl, bPresent, v->vps_max_sub_layers_minus1);
    }
    /* Layer sets: 0 holds layer 0; 1 (when present) the layers flagged. */
    uint32_t uiNumLayerSets = v->vps_num_layer_sets_minus1 + 1;
    uint32_t auiLsLayers[2] = {1, 0};
    int abLsHasLayer1[2] = {0, 0};
    if (uiNumLayerSets > 1) {
        for (int j = 0; j <= v->vps_max_layer_id && j < 64; j++)
            auiLsLayers[1] += v->layer_id_included_flag[1][j];
        abLsHasLayer1[1] = uiMaxLayersMinus1 > 0 && v->layer_id_included_flag[1][v->layer_id_in_nuh[1]];
    }
    uint32_t uiAddOlss = 0, uiDefaultIdc = 0;
    if (uiNumLayerSets > 1) {
        uiAddOlss = HevcBitsUe(b);
        uiDefaultIdc = HevcBitsRead(b, 2);
    }
    v->num_output_layer_sets = uiAddOlss + uiNumLayerSets;
    if (v->num_output_layer_sets > 3) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of NumOutputLayerSets is %u, now it supposed to be 3\n",
                 v->num_output_layer_sets);
        return VPS_FAIL;
    }
    uint32_t auiOlsLs[3] = {0, 0, 0};
    uint32_t uiPtlIdxBits = CeilLog2(uiNumPtlMinus1 + 1);
    for (uint32_t i = 1; i < v->num_output_layer_sets; i++) {
        uint32_t ls = i < uiNumLayerSets ? i : 1;
        auiOlsLs[i] = ls;
        uint32_t uiLayers = auiLsLayers[ls];
        uint8_t aucOut[2] = {1, 1};
        if (i > v->vps_num_layer_sets_minus1 || uiDefaultIdc == 2) {
            for (uint32_t j = 0; j < uiLayers && j < 2; j++)
                aucOut[j] = (uint8_t)HevcBitsFlag(b);
        } else if (uiDefaultIdc == 1) {
            aucOut[0] = uiLayers > 1 ? 0 : 1;
        }
        uint32_t uiNumOut = 0;
        for (uint32_t j = 0; j < uiLayers && j < 2; j++)
            uiNumOut += aucOut[j];
        for (uint32_t j = 0; j < uiLayers && j < 2; j++) {
            /* Layer 0 is needed when output or referenced by an output layer. */
            int bNecessary = aucOut[j] || (j == 0 && v->direct_dependency_flag && abLsHasLayer1[ls]);
            if (bNecessary && uiNumPtlMinus1 > 0)
                HevcBitsRead(b, (int)uiPtlIdxBits);
        }
        int iHighest = uiLayers > 1 && aucOut[1] ? 1 : 0;
        if (uiNumOut == 1 && iHighest == 1 && v->direct_dependency_flag)
            HevcBitsFlag(b); /* alt_output_layer_flag */
    }
    v->vps_num_rep_formats_minus1 = HevcBitsUe(b);
    if (v->vps_num_rep_formats_minus1 > 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_num_rep_formats_minus1 is %u, it should not be larger than 1!\n",
                 v->vps_num_rep_formats_minus1);
        return VPS_FAIL;
    }
    for (uint32_t i = 0; i <= v->vps_num_rep_formats_minus1; i++) {
        if (ParseRepFormat(b, &v->rep_format[i], i ? &v->rep_format[i - 1] : NULL)) {
            HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeVPS", VPS_FAIL);
            return VPS_FAIL;
        }
    }
    int bIdxPresent = v->vps_num_rep_formats_minus1 > 0 ? (int)HevcBitsFlag(b) : 0;
    for (uint32_t i = 0; i <= uiMaxLayersMinus1; i++)
        v->vps_rep_format_idx[i] = (uint8_t)(i < v->vps_num_rep_formats_minus1 ? i : v->vps_num_rep_formats_minus1);
    if (bIdxPresent)
        for (uint32_t i = v->vps_base_layer_internal_flag ? 1 : 0; i <= uiMaxLayersMinus1; i++)
            v->vps_rep_format_idx[i] = (uint8_t)HevcBitsRead(b, (int)CeilLog2(v->vps_num_rep_formats_minus1 + 1));
    v->max_one_active_ref_layer_flag = (uint8_t)HevcBitsFlag(b);
    HevcBitsFlag(b); /* vps_poc_lsb_aligned_flag */
    if (uiMaxLayersMinus1 > 0 && !v->direct_dependency_flag)
        v->poc_lsb_not_present_flag[1] = (uint8_t)HevcBitsFlag(b);
    /* dpb_size() */
    for (uint32_t i = 1; i < v->num_output_layer_sets; i++) {
        uint32_t ls = auiOlsLs[i];
        uint32_t uiMaxSub = auiSubMax[0];
        if (abLsHasLayer1[ls] && auiSubMax[1] > uiMaxSub)
            uiMaxSub = auiSubMax[1];
        int bInfoPresent = (int)HevcBitsFlag(b);
        for (uint32_t j = 0; j <= uiMaxSub; j++) {
            int bDpbInfo = j == 0 ? 1 : (bInfoPresent ? (int)HevcBitsFlag(b) : 0);
            if (!bDpbInfo)
                continue;
            for (uint32_t k = 0; k < auiLsLayers[ls] && k < 2; k++)
                if (v->vps_base_layer_internal_flag || k != 0)
                    HevcBitsUe(b);
            HevcBitsUe(b);
            HevcBitsUe(b);
        }
    }
    v->direct_dep_type_len_minus2 = HevcBitsUe(b);
    if (v->direct_dep_type_len_minus2 > 30) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_direct_dep_type_len_minus2 is %u, it should be in the range of 0~30!\n",
                 v->direct_dep_type_len_minus2);
        return VPS_FAIL;
    }
    return b->bOverrun ? VPS_FAIL : 0;
}

uint32_t HevcParseVps(HW265D_DEC *pstDec, HevcBits *b, int iTemporalId)
{
    HevcVps *v = pstDec->pstVpsTmp;
    memset(v, 0, sizeof(*v));
    uint32_t uiId = HevcBitsRead(b, 4);
    if (uiId >= (uint32_t)pstDec->stParam.iMaxVPSNum) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_video_parameter_set_id is %u, which is more than the value of iMaxVPSNumMinus1,Please enlarge the parameter of iMaxVPSNum !\n",
                 uiId);
        return VPS_FAIL;
    }
    v->vps_video_parameter_set_id = (uint8_t)uiId;
    /* Whatever the slot held is replaced: a set that fails leaves it invalid. */
    pstDec->pstVps[uiId].bValid = 0;
    v->vps_base_layer_internal_flag = (uint8_t)HevcBitsFlag(b);
    v->vps_base_layer_available_flag = (uint8_t)HevcBitsFlag(b);
    v->vps_max_layers_minus1 = (uint8_t)HevcBitsRead(b, 6);
    if (v->vps_max_layers_minus1 > 2) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_max_layers_minus1 is %u, current H265Dec only support the range of 0~2!\n",
                 (unsigned)v->vps_max_layers_minus1);
        return VPS_FAIL;
    }
    if (v->vps_max_layers_minus1 > 1)
        HEVC_WARN(pstDec, "IHW265D_Decode : The value of vps_max_layers_minus1 is %u, should be equal to 0 or 1!\n",
                  (unsigned)v->vps_max_layers_minus1);
    v->vps_max_sub_layers_minus1 = (uint8_t)HevcBitsRead(b, 3);
    if (v->vps_max_sub_layers_minus1 > 6) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_max_sub_layers_minus1 is %u, which should be in the range of 0~6!\n",
                 (unsigned)v->vps_max_sub_layers_minus1);
        return VPS_FAIL;
    }
    if (iTemporalId > v->vps_max_sub_layers_minus1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of iNalTemporalID is %d, which should not be bigger than vps_max_sub_layers_minus1\n",
                 iTemporalId);
        return VPS_FAIL;
    }
    v->vps_temporal_id_nesting_flag = (uint8_t)HevcBitsFlag(b);
    if (v->vps_max_sub_layers_minus1 == 0 && !v->vps_temporal_id_nesting_flag)
        HEVC_WARN(pstDec, "IHW265D_Decode : when vps_max_sub_layers_minus1 is equal to 0,The value of vps_temporal_id_nesting_flag should be equal to 1, but now it is %d!\n",
                  (int)v->vps_temporal_id_nesting_flag);
    HevcBitsSkip(b, 16); /* vps_reserved_0xffff_16bits */
    if (HevcParsePtl(pstDec, b, &v->ptl, 1, v->vps_max_sub_layers_minus1))
        return VPS_FAIL;
    v->vps_sub_layer_ordering_info_present_flag = (uint8_t)HevcBitsFlag(b);
    for (int i = v->vps_sub_layer_ordering_info_present_flag ? 0 : v->vps_max_sub_layers_minus1;
         i <= v->vps_max_sub_layers_minus1; i++) {
        uint32_t uiDec = HevcBitsUe(b);
        if (uiDec >= HEVC_MAX_DPB_SIZE) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_max_dec_pic_buffering[%u] is %u, should be in the range of 1 ~ %d!\n",
                     (unsigned)i, uiDec + 1, HEVC_MAX_DPB_SIZE);
            return VPS_FAIL;
        }
        v->vps_max_dec_pic_buffering_minus1[i] = uiDec;
        v->vps_max_num_reorder_pics[i] = HevcBitsUe(b);
        if (v->vps_max_num_reorder_pics[i] > uiDec) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_num_reorder_pics[%u] is bigger than  vps_max_dec_pic_buffering[%u]-1!\n",
                     (unsigned)i, (unsigned)i);
            return VPS_FAIL;
        }
        v->vps_max_latency_increase_plus1[i] = HevcBitsUe(b);
        if (v->vps_max_latency_increase_plus1[i] == 0xFFFFFFFFu) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_max_latency_increase_plus1[%u] is out of the range of 0~2^32-1!\n",
                     (unsigned)i);
            return VPS_FAIL;
        }
    }
    if (!v->vps_sub_layer_ordering_info_present_flag) {
        for (int i = 0; i < v->vps_max_sub_layers_minus1; i++) {
            v->vps_max_dec_pic_buffering_minus1[i] = v->vps_max_dec_pic_buffering_minus1[v->vps_max_sub_layers_minus1];
            v->vps_max_num_reorder_pics[i] = v->vps_max_num_reorder_pics[v->vps_max_sub_layers_minus1];
            v->vps_max_latency_increase_plus1[i] = v->vps_max_latency_increase_plus1[v->vps_max_sub_layers_minus1];
        }
    }
    v->vps_max_layer_id = (uint8_t)HevcBitsRead(b, 6);
    if (v->vps_max_layer_id > 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_max_layer_id is %u, now it supposed to be 1!\n",
                 (unsigned)v->vps_max_layer_id);
        return VPS_FAIL;
    }
    v->vps_num_layer_sets_minus1 = HevcBitsUe(b);
    if (v->vps_num_layer_sets_minus1 > 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_num_layer_sets_minus1 is %u, now it supposed to be in the range of 0~1!\n",
                 v->vps_num_layer_sets_minus1);
        return VPS_FAIL;
    }
    for (uint32_t i = 1; i <= v->vps_num_layer_sets_minus1; i++)
        for (int j = 0; j <= v->vps_max_layer_id; j++)
            v->layer_id_included_flag[i][j] = (uint8_t)HevcBitsFlag(b);
    v->vps_timing_info_present_flag = (uint8_t)HevcBitsFlag(b);
    if (v->vps_timing_info_present_flag) {
        v->vps_num_units_in_tick = HevcBitsRead(b, 32);
        if (v->vps_num_units_in_tick == 0)
            HEVC_WARN(pstDec, "IHW265D_Decode : The value of vps_num_units_in_tick is %u, should be bigger than 0!\n",
                      v->vps_num_units_in_tick);
        v->vps_time_scale = HevcBitsRead(b, 32);
        if (v->vps_time_scale == 0)
            HEVC_WARN(pstDec, "IHW265D_Decode : The value of vps_time_scale is %u, should be bigger than 0!\n",
                      v->vps_time_scale);
        v->vps_poc_proportional_to_timing_flag = (uint8_t)HevcBitsFlag(b);
        if (v->vps_poc_proportional_to_timing_flag) {
            v->vps_num_ticks_poc_diff_one_minus1 = HevcBitsUe(b);
            if (v->vps_num_ticks_poc_diff_one_minus1 == 0xFFFFFFFFu) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_num_ticks_poc_diff_one_minus1 is out of the range of 0~2^32-1!\n");
                return VPS_FAIL;
            }
        }
        v->vps_num_hrd_parameters = HevcBitsUe(b);
        if (v->vps_num_hrd_parameters > 1024) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of vps_num_hrd_parameters is %u, it should be in the range of 0~1024!\n",
                     v->vps_num_hrd_parameters);
            return VPS_FAIL;
        }
        if (v->vps_num_hrd_parameters > 1)
            HEVC_WARN(pstDec, "IHW265D_Decode : The value of vps_num_hrd_parameters is %u, it should not be bigger than 1!\n",
                      v->vps_num_hrd_parameters);
        for (uint32_t i = 0; i < v->vps_num_hrd_parameters; i++) {
            uint32_t uiIdx = HevcBitsUe(b);
            if (uiIdx > 1023) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of hrd_layer_set_idx is %u, it should be in the range of 0~1023!\n",
                         uiIdx);
                return VPS_FAIL;
            }
            if (uiIdx != 0)
                HEVC_WARN(pstDec, "IHW265D_Decode : The value of hrd_layer_set_idx is %u, it should be equal to 0!\n", uiIdx);
            int bCprms = 1;
            if (i > 0)
                bCprms = (int)HevcBitsFlag(b);
            HevcHrd stHrd;
            if (HevcParseHrd(pstDec, b, &stHrd, bCprms, v->vps_max_sub_layers_minus1))
                return VPS_FAIL;
        }
    }
    v->vps_extension_flag = (uint8_t)HevcBitsFlag(b);
    if (v->vps_extension_flag && v->vps_max_layers_minus1 > 0) {
        while (!HevcBitsAligned(b) && !b->bOverrun)
            HevcBitsFlag(b);
        uint32_t uiRet = ParseVpsExtension(pstDec, b, v);
        if (uiRet)
            return uiRet;
    }
    if (b->bOverrun) {
        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeVPS", VPS_FAIL);
        return VPS_FAIL;
    }
    v->bValid = 1;
    memcpy(&pstDec->pstVps[uiId], v, sizeof(*v));
    return 0;
}
