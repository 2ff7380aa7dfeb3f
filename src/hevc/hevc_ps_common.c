/* Syntax structures shared by the parameter sets: profile/tier/level, HRD,
 * scaling lists, short-term reference picture sets, VUI and the tile grid. */
#include "hevc_ps.h"

#include <string.h>
#include "hevc_decoder.h"

int HevcParsePtl(HW265D_DEC *pstDec, HevcBits *b, HevcPtl *p, int bProfilePresent, int iMaxSubLayersMinus1)
{
    memset(p, 0, sizeof(*p));
    if (bProfilePresent) {
        p->profile_space = (uint8_t)HevcBitsRead(b, 2);
        p->tier_flag = (uint8_t)HevcBitsFlag(b);
        p->profile_idc = (uint8_t)HevcBitsRead(b, 5);
        p->profile_compatibility_flags = HevcBitsRead(b, 32);
        p->progressive_source_flag = (uint8_t)HevcBitsFlag(b);
        p->interlaced_source_flag = (uint8_t)HevcBitsFlag(b);
        p->non_packed_constraint_flag = (uint8_t)HevcBitsFlag(b);
        p->frame_only_constraint_flag = (uint8_t)HevcBitsFlag(b);
        HevcBitsSkip(b, 44); /* constraint flags and reserved bits, inbld */
        if (p->profile_space != 0)
            HEVC_WARN(pstDec, "IHW265D_Decode : The value of general_profile_space is %u, should be equal to 0!\n",
                      (unsigned)p->profile_space);
        if (p->profile_idc >= 186)
            HEVC_WARN(pstDec, "IHW265D_Decode : The value of general_profile_idc is %u, it should be less than 186!\n",
                      (unsigned)p->profile_idc);
    }
    p->level_idc = (uint8_t)HevcBitsRead(b, 8);
    for (int i = 0; i < iMaxSubLayersMinus1; i++) {
        p->sub_layer_profile_present_flag[i] = (uint8_t)HevcBitsFlag(b);
        p->sub_layer_level_present_flag[i] = (uint8_t)HevcBitsFlag(b);
    }
    if (iMaxSubLayersMinus1 > 0)
        HevcBitsSkip(b, (uint32_t)(8 - iMaxSubLayersMinus1) * 2);
    for (int i = 0; i < iMaxSubLayersMinus1; i++) {
        if (p->sub_layer_profile_present_flag[i])
            HevcBitsSkip(b, 88);
        if (p->sub_layer_level_present_flag[i])
            p->sub_layer_level_idc[i] = (uint8_t)HevcBitsRead(b, 8);
    }
    return b->bOverrun ? -1 : 0;
}

static int ParseSubLayerHrd(HW265D_DEC *pstDec, HevcBits *b, uint32_t uiCpbCnt, int bSubPic)
{
    uint32_t uiPrevRate = 0, uiPrevSize = 0, uiPrevSizeDu = 0, uiPrevRateDu = 0;
    for (uint32_t j = 0; j <= uiCpbCnt; j++) {
        uint32_t uiRate = HevcBitsUe(b);
        if (uiRate == 0xFFFFFFFFu) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_rate_value_minus1 is out of the range of 0~2^32-2!\n");
            return -1;
        }
        if (j > 0 && uiRate < uiPrevRate) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_rate_value_minus1[i] is less than bit_rate_value_minus1[i-1]!\n");
            return -1;
        }
        uint32_t uiSize = HevcBitsUe(b);
        if (uiSize == 0xFFFFFFFFu) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of cpb_size_value_minus1 is out of the range of 0~2^32-2!\n");
            return -1;
        }
        if (j > 0 && uiSize > uiPrevSize) {
            HEVC_ERR(pstDec, "IHW265D_Decode : The value of cpb_size_value_minus1[i] is greater than cpb_size_value_minus1[i-1]!\n");
            return -1;
        }
        if (bSubPic) {
            uint32_t uiSizeDu = HevcBitsUe(b);
            if (uiSizeDu == 0xFFFFFFFFu) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of cpb_size_du_value_minus1 is out of the range of 0~2^32-2!\n");
                return -1;
            }
            if (j > 0 && uiSizeDu > uiPrevSizeDu) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of cpb_size_du_value_minus1[i] is greater than cpb_size_du_value_minus1[i-1]!\n");
                return -1;
            }
            uint32_t uiRateDu = HevcBitsUe(b);
            if (uiRateDu == 0xFFFFFFFFu) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_rate_du_value_minus1 is out of the range of 0~2^32-2!\n");
                return -1;
            }
            if (j > 0 && uiRateDu <= uiPrevRateDu) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of bit_rate_du_value_minus1[i] is not bigger than bit_rate_du_value_minus1[i-1]!\n");
                return -1;
            }
            uiPrevSizeDu = uiSizeDu;
            uiPrevRateDu = uiRateDu;
        }
        HevcBitsFlag(b); /* cbr_flag */
        uiPrevRate = uiRate;
        uiPrevSize = uiSize;
    }
    return b->bOverrun ? -1 : 0;
}

int HevcParseHrd(HW265D_DEC *pstDec, HevcBits *b, HevcHrd *h, int bCommonInf, int iMaxSubLayersMinus1)
{
    memset(h, 0, sizeof(*h));
    if (bCommonInf) {
        h->nal_hrd_parameters_present_flag = (uint8_t)HevcBitsFlag(b);
        h->vcl_hrd_parameters_present_flag = (uint8_t)HevcBitsFlag(b);
        if (h->nal_hrd_parameters_present_flag || h->vcl_hrd_parameters_present_flag) {
            h->sub_pic_hrd_params_present_flag = (uint8_t)HevcBitsFlag(b);
            if (h->sub_pic_hrd_params_present_flag)
                HevcBitsSkip(b, 8 + 5 + 1 + 5);
            HevcBitsSkip(b, 4 + 4);
            if (h->sub_pic_hrd_params_present_flag)
                HevcBitsSkip(b, 4);
            HevcBitsSkip(b, 5 + 5 + 5);
        }
    }
    for (int i = 0; i <= iMaxSubLayersMinus1; i++) {
        h->fixed_pic_rate_general_flag[i] = (uint8_t)HevcBitsFlag(b);
        h->fixed_pic_rate_within_cvs_flag[i] = 1;
        if (!h->fixed_pic_rate_general_flag[i])
            h->fixed_pic_rate_within_cvs_flag[i] = (uint8_t)HevcBitsFlag(b);
        if (h->fixed_pic_rate_within_cvs_flag[i]) {
            uint32_t v = HevcBitsUe(b);
            if (v >= 2048) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of elemental_duration_in_tc_minus1[%u] is %u, should be less than 2048!\n",
                         (unsigned)i, v);
                return -1;
            }
            h->elemental_duration_in_tc_minus1[i] = (uint16_t)v;
        } else {
            h->low_delay_hrd_flag[i] = (uint8_t)HevcBitsFlag(b);
        }
        if (!h->low_delay_hrd_flag[i]) {
            uint32_t v = HevcBitsUe(b);
            if (v >= 32) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of cpb_cnt_minus1[%d] is %u, should be less than 32!\n", i, v);
                return -1;
            }
            h->cpb_cnt_minus1[i] = (uint8_t)v;
        }
        if (h->nal_hrd_parameters_present_flag &&
            ParseSubLayerHrd(pstDec, b, h->cpb_cnt_minus1[i], h->sub_pic_hrd_params_present_flag))
            return -1;
        if (h->vcl_hrd_parameters_present_flag &&
            ParseSubLayerHrd(pstDec, b, h->cpb_cnt_minus1[i], h->sub_pic_hrd_params_present_flag))
            return -1;
    }
    return b->bOverrun ? -1 : 0;
}

/* Table 7-6: default 8x8 lists in up-right diagonal order. */
static const uint8_t kDefaultIntra[64] = {
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 17, 16, 17, 16, 17, 18, 17, 18, 18, 17, 18, 21,
    19, 20, 21, 20, 19, 21, 24, 22, 22, 24, 24, 22, 22, 24, 25, 25, 27, 30, 27, 25, 25, 29,
    31, 35, 35, 31, 29, 36, 41, 44, 41, 36, 47, 54, 54, 47, 65, 70, 65, 88, 88, 115};
static const uint8_t kDefaultInter[64] = {
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 17, 17, 17, 17, 17, 18, 18, 18, 18, 18, 18, 20,
    20, 20, 20, 20, 20, 20, 24, 24, 24, 24, 24, 24, 24, 24, 25, 25, 25, 25, 25, 25, 25, 28,
    28, 28, 28, 28, 28, 33, 33, 33, 33, 33, 41, 41, 41, 41, 54, 54, 54, 71, 71, 91};

static void SetDefaultMatrix(HevcScalingList *l, int iSizeId, int iMatrixId)
{
    if (iSizeId == 0)
        memset(l->aucList[0][iMatrixId], 16, 16);
    else
        memcpy(l->aucList[iSizeId][iMatrixId], iMatrixId < 3 ? kDefaultIntra : kDefaultInter, 64);
    l->aucDc[iSizeId][iMatrixId] = 16;
}

void HevcDefaultScalingList(HevcScalingList *l)
{
    for (int s = 0; s < 4; s++)
        for (int m = 0; m < 6; m++)
            SetDefaultMatrix(l, s, m);
}

int HevcParseScalingList(HW265D_DEC *pstDec, HevcBits *b, HevcScalingList *l)
{
    for (int iSizeId = 0; iSizeId < 4; iSizeId++) {
        int iStep = iSizeId == 3 ? 3 : 1;
        for (int iMatrixId = 0; iMatrixId < 6; iMatrixId += iStep) {
            int iCoefNum = iSizeId == 0 ? 16 : 64;
            if (!HevcBitsFlag(b)) {
                uint32_t uiDelta = HevcBitsUe(b);
                if (b->bOverrun || uiDelta > (uint32_t)(iMatrixId / iStep)) {
                    HEVC_ERR(pstDec, "IHW265D_Decode : the value of scaling_list_pred_matrix_id_delta should be in the range of 0~iMatrixId !\n");
                    return -1;
                }
                if (uiDelta == 0) {
                    SetDefaultMatrix(l, iSizeId, iMatrixId);
                } else {
                    int iRef = iMatrixId - (int)uiDelta * iStep;
                    memcpy(l->aucList[iSizeId][iMatrixId], l->aucList[iSizeId][iRef], (size_t)iCoefNum);
                    l->aucDc[iSizeId][iMatrixId] = l->aucDc[iSizeId][iRef];
                }
            } else {
                int iNext = 8;
                if (iSizeId > 1) {
                    int64_t iDc = HevcBitsSe(b) + 8;
                    if (iDc < 1 || iDc > 255) {
                        HEVC_ERR(pstDec, "IHW265D_Decode : the value of scaling_list_dc_coef should be in the range of 1~255 !\n");
                        return -1;
                    }
                    iNext = (int)iDc;
                    l->aucDc[iSizeId][iMatrixId] = (uint8_t)iDc;
                }
                for (int i = 0; i < iCoefNum; i++) {
                    int64_t iDelta = HevcBitsSe(b);
                    if (iDelta < -128 || iDelta > 127) {
                        HEVC_ERR(pstDec, "IHW265D_Decode : the value of scaling_list_delta_coef should be in the range of -128~127 !\n");
                        return -1;
                    }
                    iNext = (iNext + (int)iDelta + 256) % 256;
                    if (iNext == 0) {
                        HEVC_ERR(pstDec, "IHW265D_Decode : the value of ScalingList should be bigger than 0 !\n");
                        return -1;
                    }
                    l->aucList[iSizeId][iMatrixId][i] = (uint8_t)iNext;
                }
                if (iSizeId <= 1)
                    l->aucDc[iSizeId][iMatrixId] = l->aucList[iSizeId][iMatrixId][0];
            }
        }
    }
    /* 32x32 chroma matrices follow the 16x16 ones (H.265 7.3.4, ChromaArrayType 3). */
    for (int m = 1; m < 6; m++) {
        if (m == 3)
            continue;
        memcpy(l->aucList[3][m], l->aucList[2][m], 64);
        l->aucDc[3][m] = l->aucDc[2][m];
    }
    return b->bOverrun ? -1 : 0;
}

int HevcParseStRps(HW265D_DEC *pstDec, HevcBits *b, const HevcSps *pstSps, uint32_t uiIdx, HevcStRps *r,
                   int bInSliceHeader)
{
    uint32_t uiMaxDec = pstSps->sps_max_dec_pic_buffering_minus1[pstSps->sps_max_sub_layers_minus1] + 1;
    memset(r, 0, sizeof(*r));
    if (uiIdx != 0)
        r->inter_ref_pic_set_prediction_flag = (uint8_t)HevcBitsFlag(b);
    if (r->inter_ref_pic_set_prediction_flag) {
        if (bInSliceHeader) {
            r->delta_idx_minus1 = HevcBitsUe(b);
            if (r->delta_idx_minus1 >= uiIdx) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of delta_idx_minus1 is %u,it should be less than %u !\n",
                         r->delta_idx_minus1, uiIdx);
                return -1;
            }
        }
        r->delta_rps_sign = (uint8_t)HevcBitsFlag(b);
        r->abs_delta_rps_minus1 = HevcBitsUe(b);
        if (r->abs_delta_rps_minus1 > 32767) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of abs_delta_rps_minus1 is %u,it should be in the range of 0~32767 !\n",
                     r->abs_delta_rps_minus1);
            return -1;
        }
        const HevcStRps *ref = &pstSps->st_rps[uiIdx - (r->delta_idx_minus1 + 1)];
        int32_t iDeltaRps = (1 - 2 * (int32_t)r->delta_rps_sign) * (int32_t)(r->abs_delta_rps_minus1 + 1);
        uint8_t aucUsed[2 * HEVC_MAX_DPB_SIZE + 1], aucUseDelta[2 * HEVC_MAX_DPB_SIZE + 1];
        for (int j = 0; j <= ref->num_delta_pocs; j++) {
            aucUsed[j] = (uint8_t)HevcBitsFlag(b);
            aucUseDelta[j] = 1;
            if (!aucUsed[j])
                aucUseDelta[j] = (uint8_t)HevcBitsFlag(b);
        }
        /* H.265 (7-61) and (7-62); a set that would not fit is refused. */
        int i = 0, bBad = 0;
#define PUSH(side, d, u)                                         \
    do {                                                         \
        if (i >= HEVC_MAX_DPB_SIZE) { bBad = 1; break; }         \
        r->aiDeltaPoc##side[i] = (d);                            \
        r->aucUsed##side[i++] = (u);                             \
    } while (0)
        for (int j = ref->num_positive_pics - 1; j >= 0 && !bBad; j--) {
            int32_t d = ref->aiDeltaPocS1[j] + iDeltaRps;
            if (d < 0 && aucUseDelta[ref->num_negative_pics + j])
                PUSH(S0, d, aucUsed[ref->num_negative_pics + j]);
        }
        if (!bBad && iDeltaRps < 0 && aucUseDelta[ref->num_delta_pocs])
            PUSH(S0, iDeltaRps, aucUsed[ref->num_delta_pocs]);
        for (int j = 0; j < ref->num_negative_pics && !bBad; j++) {
            int32_t d = ref->aiDeltaPocS0[j] + iDeltaRps;
            if (d < 0 && aucUseDelta[j])
                PUSH(S0, d, aucUsed[j]);
        }
        r->num_negative_pics = (uint8_t)i;
        i = 0;
        for (int j = ref->num_negative_pics - 1; j >= 0 && !bBad; j--) {
            int32_t d = ref->aiDeltaPocS0[j] + iDeltaRps;
            if (d > 0 && aucUseDelta[j])
                PUSH(S1, d, aucUsed[j]);
        }
        if (!bBad && iDeltaRps > 0 && aucUseDelta[ref->num_delta_pocs])
            PUSH(S1, iDeltaRps, aucUsed[ref->num_delta_pocs]);
        for (int j = 0; j < ref->num_positive_pics && !bBad; j++) {
            int32_t d = ref->aiDeltaPocS1[j] + iDeltaRps;
            if (d > 0 && aucUseDelta[ref->num_negative_pics + j])
                PUSH(S1, d, aucUsed[ref->num_negative_pics + j]);
        }
#undef PUSH
        r->num_positive_pics = (uint8_t)i;
        if (bBad || b->bOverrun || (uint32_t)r->num_negative_pics + r->num_positive_pics > uiMaxDec) {
            HEVC_ERR(pstDec, "IHW265D_Decode :  the %u-th candidate short-term RPS is not valid!\n", uiIdx);
            return -1;
        }
    } else {
        uint32_t uiNeg = HevcBitsUe(b);
        if (uiNeg >= uiMaxDec || uiNeg > HEVC_MAX_DPB_SIZE) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_negative_pics is %u,it should be less than sps_max_dec_pic_buffering !\n",
                     uiNeg);
            return -1;
        }
        uint32_t uiPos = HevcBitsUe(b);
        if (uiPos > uiMaxDec - 1 - uiNeg || uiPos > HEVC_MAX_DPB_SIZE) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_positive_pics is out of the range!\n");
            return -1;
        }
        r->num_negative_pics = (uint8_t)uiNeg;
        r->num_positive_pics = (uint8_t)uiPos;
        int32_t iPoc = 0;
        for (uint32_t i = 0; i < uiNeg; i++) {
            uint32_t d = HevcBitsUe(b);
            if (d >= 32768) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of delta_poc_s0_minus1 is %d,it should be less than 32768 !\n",
                         (int)d);
                return -1;
            }
            iPoc -= (int32_t)d + 1;
            r->aiDeltaPocS0[i] = iPoc;
            r->aucUsedS0[i] = (uint8_t)HevcBitsFlag(b);
        }
        iPoc = 0;
        for (uint32_t i = 0; i < uiPos; i++) {
            uint32_t d = HevcBitsUe(b);
            if (d >= 32768) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of delta_poc_s1_minus1 is %d,it should be less than 32768 !\n",
                         (int)d);
                return -1;
            }
            iPoc += (int32_t)d + 1;
            r->aiDeltaPocS1[i] = iPoc;
            r->aucUsedS1[i] = (uint8_t)HevcBitsFlag(b);
        }
    }
    r->num_delta_pocs = (uint8_t)(r->num_negative_pics + r->num_positive_pics);
    return b->bOverrun ? -1 : 0;
}

int HevcParseVui(HW265D_DEC *pstDec, HevcBits *b, HevcSps *s)
{
    HevcVui *v = &s->vui;
    memset(v, 0, sizeof(*v));
    v->aspect_ratio_info_present_flag = (uint8_t)HevcBitsFlag(b);
    if (v->aspect_ratio_info_present_flag) {
        v->aspect_ratio_idc = (uint8_t)HevcBitsRead(b, 8);
        if (v->aspect_ratio_idc == 255) {
            v->sar_width = (uint16_t)HevcBitsRead(b, 16);
            v->sar_height = (uint16_t)HevcBitsRead(b, 16);
        }
    }
    v->overscan_info_present_flag = (uint8_t)HevcBitsFlag(b);
    if (v->overscan_info_present_flag)
        v->overscan_appropriate_flag = (uint8_t)HevcBitsFlag(b);
    v->video_signal_type_present_flag = (uint8_t)HevcBitsFlag(b);
    v->video_format = 5;
    v->colour_primaries = v->transfer_characteristics = v->matrix_coeffs = 2;
    if (v->video_signal_type_present_flag) {
        v->video_format = (uint8_t)HevcBitsRead(b, 3);
        v->video_full_range_flag = (uint8_t)HevcBitsFlag(b);
        v->colour_description_present_flag = (uint8_t)HevcBitsFlag(b);
        if (v->colour_description_present_flag) {
            v->colour_primaries = (uint8_t)HevcBitsRead(b, 8);
            v->transfer_characteristics = (uint8_t)HevcBitsRead(b, 8);
            v->matrix_coeffs = (uint8_t)HevcBitsRead(b, 8);
            /* RGB coefficients need all three planes at full resolution. */
            if (v->matrix_coeffs == 0 && s->ChromaArrayType != 3) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of matrix_coeffs is error !\n");
                return -1;
            }
        }
    }
    v->chroma_loc_info_present_flag = (uint8_t)HevcBitsFlag(b);
    if (v->chroma_loc_info_present_flag) {
        if (s->ChromaArrayType != 1) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of chroma_loc_info_present_flag is error !\n");
            return -1;
        }
        v->chroma_sample_loc_type_top_field = HevcBitsUe(b);
        if (v->chroma_sample_loc_type_top_field > 5) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of chroma_sample_loc_type_top_field is error !\n");
            return -1;
        }
        v->chroma_sample_loc_type_bottom_field = HevcBitsUe(b);
        if (v->chroma_sample_loc_type_bottom_field > 5) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of chroma_sample_loc_type_bottom_field is error !\n");
            return -1;
        }
    }
    v->neutral_chroma_indication_flag = (uint8_t)HevcBitsFlag(b);
    v->field_seq_flag = (uint8_t)HevcBitsFlag(b);
    v->frame_field_info_present_flag = (uint8_t)HevcBitsFlag(b);
    /* Field coding needs picture timing SEI to tell the fields apart (E.3.1). */
    if (v->field_seq_flag && !v->frame_field_info_present_flag) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of field_seq_flag is error !\n");
        return -1;
    }
    if (!v->frame_field_info_present_flag && s->ptl.progressive_source_flag && s->ptl.interlaced_source_flag) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of frame_field_info_present_flag is error !\n");
        return -1;
    }
    v->default_display_window_flag = (uint8_t)HevcBitsFlag(b);
    if (v->default_display_window_flag) {
        v->def_disp_win_left_offset = HevcBitsUe(b);
        v->def_disp_win_right_offset = HevcBitsUe(b);
        v->def_disp_win_top_offset = HevcBitsUe(b);
        v->def_disp_win_bottom_offset = HevcBitsUe(b);
    }
    v->vui_timing_info_present_flag = (uint8_t)HevcBitsFlag(b);
    if (v->vui_timing_info_present_flag) {
        v->vui_num_units_in_tick = HevcBitsRead(b, 32);
        if (v->vui_num_units_in_tick == 0) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of vui_num_units_in_tick is error !\n");
            return -1;
        }
        v->vui_time_scale = HevcBitsRead(b, 32);
        if (v->vui_time_scale == 0) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of vui_time_scale is error !\n");
            return -1;
        }
        const HevcVps *vps = &pstDec->pstVps[s->sps_video_parameter_set_id];
        v->vui_poc_proportional_to_timing_flag = (uint8_t)HevcBitsFlag(b);
        if (vps->vps_timing_info_present_flag &&
            v->vui_poc_proportional_to_timing_flag != vps->vps_poc_proportional_to_timing_flag) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of vui_poc_proportional_to_timing_flag should be equal to vps_poc_proportional_to_timing_flag!\n");
            return -1;
        }
        if (v->vui_poc_proportional_to_timing_flag) {
            v->vui_num_ticks_poc_diff_one_minus1 = HevcBitsUe(b);
            if (v->vui_num_ticks_poc_diff_one_minus1 == 0xFFFFFFFFu) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of vui_num_ticks_poc_diff_one_minus1 is out of the range of 0~2^32-2!\n");
                return -1;
            }
            if (vps->vps_timing_info_present_flag && vps->vps_poc_proportional_to_timing_flag &&
                v->vui_num_ticks_poc_diff_one_minus1 != vps->vps_num_ticks_poc_diff_one_minus1) {
                HEVC_ERR(pstDec, "IHW265D_Decode : The value of vui_num_ticks_poc_diff_one_minus1 is not equal to vps_num_ticks_poc_diff_one_minus1!\n");
                return -1;
            }
        }
        v->vui_hrd_parameters_present_flag = (uint8_t)HevcBitsFlag(b);
        if (v->vui_hrd_parameters_present_flag &&
            HevcParseHrd(pstDec, b, &v->hrd, 1, s->sps_max_sub_layers_minus1)) {
            HEVC_ERR(pstDec, "IHW265D_Decode : DecodeHRD is error !\n");
            return -1;
        }
    }
    v->bitstream_restriction_flag = (uint8_t)HevcBitsFlag(b);
    if (v->bitstream_restriction_flag) {
        v->tiles_fixed_structure_flag = (uint8_t)HevcBitsFlag(b);
        v->motion_vectors_over_pic_boundaries_flag = (uint8_t)HevcBitsFlag(b);
        v->restricted_ref_pic_lists_flag = (uint8_t)HevcBitsFlag(b);
        v->min_spatial_segmentation_idc = HevcBitsUe(b);
        if (v->min_spatial_segmentation_idc > 4095) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of min_spatial_segmentation_idc is %u,it should be in the range of 0~4095!\n",
                     v->min_spatial_segmentation_idc);
            return -1;
        }
        v->max_bytes_per_pic_denom = HevcBitsUe(b);
        if (v->max_bytes_per_pic_denom > 16) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of max_bytes_per_pic_denom is %u,it should be less than 17!\n",
                     v->max_bytes_per_pic_denom);
            return -1;
        }
        v->max_bits_per_min_cu_denom = HevcBitsUe(b);
        if (v->max_bits_per_min_cu_denom > 16) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of max_bits_per_min_cu_denom is %u,it should be less than 17!\n",
                     v->max_bits_per_min_cu_denom);
            return -1;
        }
        v->log2_max_mv_length_horizontal = HevcBitsUe(b);
        if (v->log2_max_mv_length_horizontal > 16) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of log2_max_mv_length_horizontal is %u,it should be less than 17!\n",
                     v->log2_max_mv_length_horizontal);
            return -1;
        }
        v->log2_max_mv_length_vertical = HevcBitsUe(b);
        if (v->log2_max_mv_length_vertical > 15) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of log2_max_mv_length_vertical is %u,it should be less than 16!\n",
                     v->log2_max_mv_length_vertical);
            return -1;
        }
    }
    return b->bOverrun ? -1 : 0;
}

int HevcDeriveTiles(HevcPps *p, uint32_t uiW, uint32_t uiH)
{
    uint32_t uiCols = p->tiles_enabled_flag ? p->num_tile_columns : 1;
    uint32_t uiRows = p->tiles_enabled_flag ? p->num_tile_rows : 1;
    /* Column and row sizes are kept in 16 bits: no picture reaches that. */
    if (uiW > 0xFFFF || uiH > 0xFFFF)
        return -1;
    if (uiCols == 0 || uiRows == 0 || uiCols > uiW || uiRows > uiH || uiCols > HEVC_MAX_TILE_COLS ||
        uiRows > HEVC_MAX_TILE_ROWS)
        return -1;
    if (!p->tiles_enabled_flag || p->uniform_spacing_flag) {
        for (uint32_t i = 0; i < uiCols; i++)
            p->column_width[i] = (uint16_t)(((i + 1) * (uint64_t)uiW) / uiCols - (i * (uint64_t)uiW) / uiCols);
        for (uint32_t j = 0; j < uiRows; j++)
            p->row_height[j] = (uint16_t)(((j + 1) * (uint64_t)uiH) / uiRows - (j * (uint64_t)uiH) / uiRows);
    } else {
        uint32_t uiSum = 0;
        for (uint32_t i = 0; i + 1 < uiCols; i++)
            uiSum += p->column_width[i];
        if (uiSum >= uiW)
            return -1;
        p->column_width[uiCols - 1] = (uint16_t)(uiW - uiSum);
        uiSum = 0;
        for (uint32_t j = 0; j + 1 < uiRows; j++)
            uiSum += p->row_height[j];
        if (uiSum >= uiH)
            return -1;
        p->row_height[uiRows - 1] = (uint16_t)(uiH - uiSum);
    }
    p->col_bd[0] = 0;
    for (uint32_t i = 0; i < uiCols; i++)
        p->col_bd[i + 1] = (uint16_t)(p->col_bd[i] + p->column_width[i]);
    p->row_bd[0] = 0;
    for (uint32_t j = 0; j < uiRows; j++)
        p->row_bd[j + 1] = (uint16_t)(p->row_bd[j] + p->row_height[j]);
    p->uiSpsPicWidthInCtbs = uiW;
    p->uiSpsPicHeightInCtbs = uiH;
    /* Process-wide, so that no two grids share a stamp whatever decoder
     * derived them; 0 is never given. */
    static uint32_t s_uiStamp;
    uint32_t v;
    while (!(v = __atomic_add_fetch(&s_uiStamp, 1, __ATOMIC_RELAXED)))
        ;
    p->uiGridStamp = v;
    return 0;
}
