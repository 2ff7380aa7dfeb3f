/* Picture parameter set (H.265 7.3.2.3). */
#include <string.h>
#include "hevc_decoder.h"

#define PPS_FAIL IHW265D_ERR_PPS

static uint32_t ParseTiles(HW265D_DEC *pstDec, HevcBits *b, HevcPps *p, const HevcSps *s)
{
    uint32_t uiCols = HevcBitsUe(b) + 1, uiRows = HevcBitsUe(b) + 1;
    if (uiCols == 0 || uiCols > s->PicWidthInCtbsY) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_tile_columns is %d,it should not be bigger than iPicWidthInCtbsY!\n",
                 (int)uiCols);
        return PPS_FAIL;
    }
    if (uiRows == 0 || uiRows > s->PicHeightInCtbsY) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_tile_rows is %d,it should not be bigger than iPicHeightInCtbsY!\n",
                 (int)uiRows);
        return PPS_FAIL;
    }
    if (uiCols == 1 && uiRows == 1) {
        HEVC_ERR(pstDec, "IHW265D_Decode : num_tile_columns and num_tile_rows should not be both equal to 1!\n");
        return PPS_FAIL;
    }
    if (uiCols > HEVC_MAX_TILE_COLS || uiRows > HEVC_MAX_TILE_ROWS)
        return PPS_FAIL;
    p->num_tile_columns = uiCols;
    p->num_tile_rows = uiRows;
    p->uniform_spacing_flag = (uint8_t)HevcBitsFlag(b);
    if (!p->uniform_spacing_flag) {
        for (uint32_t i = 0; i + 1 < uiCols; i++) {
            uint32_t w = HevcBitsUe(b) + 1;
            if (w == 0 || w > s->PicWidthInCtbsY) {
                HEVC_ERR(pstDec, "IHW265D_Decode : column_width[%d] of tile is %d, it should be bigger than 0!\n", (int)i, 0);
                return PPS_FAIL;
            }
            p->column_width[i] = (uint16_t)w;
        }
        for (uint32_t j = 0; j + 1 < uiRows; j++) {
            uint32_t h = HevcBitsUe(b) + 1;
            if (h == 0 || h > s->PicHeightInCtbsY) {
                HEVC_ERR(pstDec, "IHW265D_Decode : row_height[%d] of tile is %d, it should be bigger than 64!\n", (int)j, 0);
                return PPS_FAIL;
            }
            p->row_height[j] = (uint16_t)h;
        }
    }
    if (HevcDeriveTiles(p, s->PicWidthInCtbsY, s->PicHeightInCtbsY)) {
        HEVC_ERR(pstDec, "IHW265D_Decode : column_width[%d] of tile is %d, it should be bigger than 0!\n", (int)uiCols - 1, 0);
        return PPS_FAIL;
    }
    /* Tile sizes in luma samples against the level limits (H.265 A.4.1);
     * the picture's last column/row may be cut by the picture edge. */
    for (uint32_t i = 0; i < uiCols; i++) {
        uint32_t uiW = (uint32_t)p->column_width[i] << s->CtbLog2SizeY;
        if (i + 1 == uiCols && (uint32_t)p->col_bd[i] * s->CtbSizeY + uiW > s->pic_width_in_luma_samples)
            uiW = s->pic_width_in_luma_samples - (uint32_t)p->col_bd[i] * s->CtbSizeY;
        if (uiW < 256)
            HEVC_WARN(pstDec, "IHW265D_Decode : column_width[%d] of tile is %d, it should be bigger than 256!\n", (int)i, (int)uiW);
    }
    for (uint32_t j = 0; j < uiRows; j++) {
        uint32_t uiH = (uint32_t)p->row_height[j] << s->CtbLog2SizeY;
        if (j + 1 == uiRows && (uint32_t)p->row_bd[j] * s->CtbSizeY + uiH > s->pic_height_in_luma_samples)
            uiH = s->pic_height_in_luma_samples - (uint32_t)p->row_bd[j] * s->CtbSizeY;
        if (uiH < 64) {
            HEVC_ERR(pstDec, "IHW265D_Decode : row_height[%d] of tile is %d, it should be bigger than 64!\n", (int)j, (int)uiH);
            return PPS_FAIL;
        }
    }
    p->loop_filter_across_tiles_enabled_flag = (uint8_t)HevcBitsFlag(b);
    return 0;
}

uint32_t HevcParsePps(HW265D_DEC *pstDec, HevcBits *b)
{
    HevcPps *p = pstDec->pstPpsTmp;
    memset(p, 0, sizeof(*p));
    uint32_t uiId = HevcBitsUe(b);
    if (uiId >= HEVC_MAX_PPS) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of pps_pic_parameter_set_id is %d, it should be less than 64 !\n", (int)uiId);
        return PPS_FAIL;
    }
    if (uiId >= (uint32_t)pstDec->stParam.iMaxPPSNum) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The value of pps_pic_parameter_set_id is %d, which is more than the value of iMaxPPSNumMinus1,Please enlarge the parameter of iMaxPPSNum !\n",
                 (int)uiId);
        return PPS_FAIL;
    }
    p->pps_pic_parameter_set_id = (uint8_t)uiId;
    /* Whatever the slot held is replaced: a set that fails leaves it invalid. */
    pstDec->pstPps[uiId].bValid = 0;
    uint32_t uiSpsId = HevcBitsUe(b);
    if (uiSpsId >= HEVC_MAX_SPS || uiSpsId >= (uint32_t)pstDec->stParam.iMaxSPSNum) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of pps_seq_parameter_set_id is %u, it should be less than iMaxSPSNum - 1!\n", uiSpsId);
        return PPS_FAIL;
    }
    const HevcSps *s = &pstDec->pstSps[uiSpsId];
    if (!s->bValid) {
        HEVC_ERR(pstDec, "IHW265D_Decode : The ID of SPS that current PPS refered is %u, which is not exist!\n", uiSpsId);
        return PPS_FAIL;
    }
    p->pps_seq_parameter_set_id = (uint8_t)uiSpsId;
    p->dependent_slice_segments_enabled_flag = (uint8_t)HevcBitsFlag(b);
    p->output_flag_present_flag = (uint8_t)HevcBitsFlag(b);
    p->num_extra_slice_header_bits = (uint8_t)HevcBitsRead(b, 3);
    p->sign_data_hiding_enabled_flag = (uint8_t)HevcBitsFlag(b);
    p->cabac_init_present_flag = (uint8_t)HevcBitsFlag(b);
    p->num_ref_idx_l0_default_active_minus1 = HevcBitsUe(b);
    if (p->num_ref_idx_l0_default_active_minus1 > 14) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_ref_idx_l0_default_active_minus1 is %u, it should be less than 15!\n",
                 p->num_ref_idx_l0_default_active_minus1);
        return PPS_FAIL;
    }
    p->num_ref_idx_l1_default_active_minus1 = HevcBitsUe(b);
    if (p->num_ref_idx_l1_default_active_minus1 > 14) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of num_ref_idx_l1_default_active_minus1 is %u, it should be less than 15!\n",
                 p->num_ref_idx_l1_default_active_minus1);
        return PPS_FAIL;
    }
    int64_t iQp = HevcBitsSe(b);
    if (iQp < -26 || iQp > 25) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of init_qp_minus26 is %d, it should be in the range of -26 to 25!\n", (int)iQp);
        return PPS_FAIL;
    }
    p->init_qp_minus26 = (int32_t)iQp;
    p->constrained_intra_pred_flag = (uint8_t)HevcBitsFlag(b);
    p->transform_skip_enabled_flag = (uint8_t)HevcBitsFlag(b);
    p->cu_qp_delta_enabled_flag = (uint8_t)HevcBitsFlag(b);
    if (p->cu_qp_delta_enabled_flag) {
        p->diff_cu_qp_delta_depth = HevcBitsUe(b);
        if (p->diff_cu_qp_delta_depth > s->log2_diff_max_min_luma_coding_block_size) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of diff_cu_qp_delta_depth is %u, it should be in the range of 0 to %u!\n",
                     p->diff_cu_qp_delta_depth, (unsigned)s->log2_diff_max_min_luma_coding_block_size);
            return PPS_FAIL;
        }
    }
    int64_t iOff = HevcBitsSe(b);
    if (iOff < -12 || iOff > 12) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of pps_cb_qp_offset is %d, it should be in the range of -12 to 12!\n", (int)iOff);
        return PPS_FAIL;
    }
    p->pps_cb_qp_offset = (int32_t)iOff;
    iOff = HevcBitsSe(b);
    if (iOff < -12 || iOff > 12) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of pps_cr_qp_offset is %d, it should be in the range of -12 to 12!\n", (int)iOff);
        return PPS_FAIL;
    }
    p->pps_cr_qp_offset = (int32_t)iOff;
    p->pps_slice_chroma_qp_offsets_present_flag = (uint8_t)HevcBitsFlag(b);
    p->weighted_pred_flag = (uint8_t)HevcBitsFlag(b);
    p->weighted_bipred_flag = (uint8_t)HevcBitsFlag(b);
    p->transquant_bypass_enabled_flag = (uint8_t)HevcBitsFlag(b);
    p->tiles_enabled_flag = (uint8_t)HevcBitsFlag(b);
    p->entropy_coding_sync_enabled_flag = (uint8_t)HevcBitsFlag(b);
    if (p->tiles_enabled_flag && p->entropy_coding_sync_enabled_flag) {
        HEVC_ERR(pstDec, "IHW265D_Decode : tile and wpp can not be both open!\n");
        return PPS_FAIL;
    }
    p->num_tile_columns = p->num_tile_rows = 1;
    if (p->tiles_enabled_flag) {
        uint32_t uiRet = ParseTiles(pstDec, b, p, s);
        if (uiRet)
            return uiRet;
    } else if (HevcDeriveTiles(p, s->PicWidthInCtbsY, s->PicHeightInCtbsY)) {
        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodePPS", PPS_FAIL);
        return PPS_FAIL;
    }
    p->pps_loop_filter_across_slices_enabled_flag = (uint8_t)HevcBitsFlag(b);
    p->deblocking_filter_control_present_flag = (uint8_t)HevcBitsFlag(b);
    if (p->deblocking_filter_control_present_flag) {
        p->deblocking_filter_override_enabled_flag = (uint8_t)HevcBitsFlag(b);
        p->pps_deblocking_filter_disabled_flag = (uint8_t)HevcBitsFlag(b);
        if (!p->pps_deblocking_filter_disabled_flag) {
            int64_t iBeta = HevcBitsSe(b) * 2;
            if (iBeta < -12 || iBeta > 12) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of pps_beta_offset is %d,it should be in the range of -12~12!\n", (int)iBeta);
                return PPS_FAIL;
            }
            p->pps_beta_offset = (int32_t)iBeta;
            int64_t iTc = HevcBitsSe(b) * 2;
            if (iTc < -12 || iTc > 12) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of pps_tc_offset is %d,it should be in the range of -12~12!\n", (int)iTc);
                return PPS_FAIL;
            }
            p->pps_tc_offset = (int32_t)iTc;
        }
    }
    p->pps_scaling_list_data_present_flag = (uint8_t)HevcBitsFlag(b);
    if (p->pps_scaling_list_data_present_flag && !s->scaling_list_enabled_flag) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of pps_scaling_list_data_present_flag is %d,it should be equal to 0 when scaling_list_enabled_flag is equal to 0!\n",
                 (int)p->pps_scaling_list_data_present_flag);
        return PPS_FAIL;
    }
    /* Without its own lists the picture uses the SPS's. */
    p->scaling_list = s->scaling_list;
    if (p->pps_scaling_list_data_present_flag) {
        HevcDefaultScalingList(&p->scaling_list);
        if (HevcParseScalingList(pstDec, b, &p->scaling_list)) {
            HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodeScalingListData", PPS_FAIL);
            return PPS_FAIL;
        }
    }
    p->lists_modification_present_flag = (uint8_t)HevcBitsFlag(b);
    p->log2_parallel_merge_level = HevcBitsUe(b) + 2;
    if (p->log2_parallel_merge_level < 2 || p->log2_parallel_merge_level > s->CtbLog2SizeY) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of log2_parallel_merge_level is %u,it should not be bigger than CtbLog2SizeY!\n",
                 p->log2_parallel_merge_level);
        return PPS_FAIL;
    }
    p->slice_segment_header_extension_present_flag = (uint8_t)HevcBitsFlag(b);
    p->pps_extension_present_flag = (uint8_t)HevcBitsFlag(b);
    if (p->pps_extension_present_flag) {
        p->pps_range_extension_flag = (uint8_t)HevcBitsFlag(b);
        HevcBitsRead(b, 7); /* multilayer, 3D, SCC, 4 reserved: nothing this decoder uses */
        if (p->pps_range_extension_flag) {
            if (p->transform_skip_enabled_flag)
                p->log2_max_transform_skip_block_size = HevcBitsUe(b) + 2;
            p->cross_component_prediction_enabled_flag = (uint8_t)HevcBitsFlag(b);
            p->chroma_qp_offset_list_enabled_flag = (uint8_t)HevcBitsFlag(b);
            if (p->chroma_qp_offset_list_enabled_flag) {
                p->diff_cu_chroma_qp_offset_depth = HevcBitsUe(b);
                p->chroma_qp_offset_list_len = HevcBitsUe(b) + 1;
                if (p->chroma_qp_offset_list_len == 0 || p->chroma_qp_offset_list_len > 6) {
                    HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodePPS", PPS_FAIL);
                    return PPS_FAIL;
                }
                for (uint32_t i = 0; i < p->chroma_qp_offset_list_len; i++) {
                    int64_t cb = HevcBitsSe(b), cr = HevcBitsSe(b);
                    if (cb < -12 || cb > 12 || cr < -12 || cr > 12) {
                        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodePPS", PPS_FAIL);
                        return PPS_FAIL;
                    }
                    p->cb_qp_offset_list[i] = (int8_t)cb;
                    p->cr_qp_offset_list[i] = (int8_t)cr;
                }
            }
            p->log2_sao_offset_scale_luma = HevcBitsUe(b);
            p->log2_sao_offset_scale_chroma = HevcBitsUe(b);
            if (p->log2_sao_offset_scale_luma > 6 || p->log2_sao_offset_scale_chroma > 6) {
                HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodePPS", PPS_FAIL);
                return PPS_FAIL;
            }
        }
    }
    if (b->bOverrun) {
        HEVC_ERR(pstDec, "%s check  err, ret = 0x%x\n", "DecodePPS", PPS_FAIL);
        return PPS_FAIL;
    }
    p->bValid = 1;
    memcpy(&pstDec->pstPps[uiId], p, sizeof(*p));
    return 0;
}
