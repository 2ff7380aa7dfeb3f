/* CABAC engine start-up, byte loading and context initialisation
 * (H.265 9.3.2). The per-bin routines are inline in cabac.h. */
#include <string.h>

#include "cabac.h"

/* Table 9-46 (rangeTabLps) by pStateIdx and qRangeIdx. */
const uint8_t g_aaucHevcCabacLps[64][4] = {
    {128, 176, 208, 240}, {128, 167, 197, 227}, {128, 158, 187, 216}, {123, 150, 178, 205},
    {116, 142, 169, 195}, {111, 135, 160, 185}, {105, 128, 152, 175}, {100, 122, 144, 166},
    {95, 116, 137, 158},  {90, 110, 130, 150},  {85, 104, 123, 142},  {81, 99, 117, 135},
    {77, 94, 111, 128},   {73, 89, 105, 122},   {69, 85, 100, 116},   {66, 80, 95, 110},
    {62, 76, 90, 104},    {59, 72, 86, 99},     {56, 69, 81, 94},     {53, 65, 77, 89},
    {51, 62, 73, 85},     {48, 59, 69, 80},     {46, 56, 66, 76},     {43, 53, 63, 72},
    {41, 50, 59, 69},     {39, 48, 56, 65},     {37, 45, 54, 62},     {35, 43, 51, 59},
    {33, 41, 48, 56},     {32, 39, 46, 53},     {30, 37, 43, 50},     {29, 35, 41, 48},
    {27, 33, 39, 45},     {26, 31, 37, 43},     {24, 30, 35, 41},     {23, 28, 33, 39},
    {22, 27, 32, 37},     {21, 26, 30, 35},     {20, 24, 29, 33},     {19, 23, 27, 31},
    {18, 22, 26, 30},     {17, 21, 25, 28},     {16, 20, 23, 27},     {15, 19, 22, 25},
    {14, 18, 21, 24},     {14, 17, 20, 23},     {13, 16, 19, 22},     {12, 15, 18, 21},
    {12, 14, 17, 20},     {11, 14, 16, 19},     {11, 13, 15, 18},     {10, 12, 15, 17},
    {10, 12, 14, 16},     {9, 11, 13, 15},      {9, 11, 12, 14},      {8, 10, 12, 14},
    {8, 9, 11, 13},       {7, 9, 11, 12},       {7, 9, 10, 12},       {7, 8, 10, 11},
    {6, 8, 9, 11},        {6, 7, 9, 10},        {6, 7, 8, 9},         {2, 2, 2, 2},
};

/* The same table indexed by qRangeIdx << 7 | state byte, so a bin needs one
 * lookup: g_aucHevcCabacLpsByRange[(ivlCurrRange & 0xC0) << 1 | state]. */
const uint8_t g_aucHevcCabacLpsByRange[512] = {
    128, 128, 128, 128, 128, 128, 123, 123, 116, 116, 111, 111, 105, 105, 100, 100,
    95, 95, 90, 90, 85, 85, 81, 81, 77, 77, 73, 73, 69, 69, 66, 66,
    62, 62, 59, 59, 56, 56, 53, 53, 51, 51, 48, 48, 46, 46, 43, 43,
    41, 41, 39, 39, 37, 37, 35, 35, 33, 33, 32, 32, 30, 30, 29, 29,
    27, 27, 26, 26, 24, 24, 23, 23, 22, 22, 21, 21, 20, 20, 19, 19,
    18, 18, 17, 17, 16, 16, 15, 15, 14, 14, 14, 14, 13, 13, 12, 12,
    12, 12, 11, 11, 11, 11, 10, 10, 10, 10, 9, 9, 9, 9, 8, 8,
    8, 8, 7, 7, 7, 7, 7, 7, 6, 6, 6, 6, 6, 6, 2, 2,
    176, 176, 167, 167, 158, 158, 150, 150, 142, 142, 135, 135, 128, 128, 122, 122,
    116, 116, 110, 110, 104, 104, 99, 99, 94, 94, 89, 89, 85, 85, 80, 80,
    76, 76, 72, 72, 69, 69, 65, 65, 62, 62, 59, 59, 56, 56, 53, 53,
    50, 50, 48, 48, 45, 45, 43, 43, 41, 41, 39, 39, 37, 37, 35, 35,
    33, 33, 31, 31, 30, 30, 28, 28, 27, 27, 26, 26, 24, 24, 23, 23,
    22, 22, 21, 21, 20, 20, 19, 19, 18, 18, 17, 17, 16, 16, 15, 15,
    14, 14, 14, 14, 13, 13, 12, 12, 12, 12, 11, 11, 11, 11, 10, 10,
    9, 9, 9, 9, 9, 9, 8, 8, 8, 8, 7, 7, 7, 7, 2, 2,
    208, 208, 197, 197, 187, 187, 178, 178, 169, 169, 160, 160, 152, 152, 144, 144,
    137, 137, 130, 130, 123, 123, 117, 117, 111, 111, 105, 105, 100, 100, 95, 95,
    90, 90, 86, 86, 81, 81, 77, 77, 73, 73, 69, 69, 66, 66, 63, 63,
    59, 59, 56, 56, 54, 54, 51, 51, 48, 48, 46, 46, 43, 43, 41, 41,
    39, 39, 37, 37, 35, 35, 33, 33, 32, 32, 30, 30, 29, 29, 27, 27,
    26, 26, 25, 25, 23, 23, 22, 22, 21, 21, 20, 20, 19, 19, 18, 18,
    17, 17, 16, 16, 15, 15, 15, 15, 14, 14, 13, 13, 12, 12, 12, 12,
    11, 11, 11, 11, 10, 10, 10, 10, 9, 9, 9, 9, 8, 8, 2, 2,
    240, 240, 227, 227, 216, 216, 205, 205, 195, 195, 185, 185, 175, 175, 166, 166,
    158, 158, 150, 150, 142, 142, 135, 135, 128, 128, 122, 122, 116, 116, 110, 110,
    104, 104, 99, 99, 94, 94, 89, 89, 85, 85, 80, 80, 76, 76, 72, 72,
    69, 69, 65, 65, 62, 62, 59, 59, 56, 56, 53, 53, 50, 50, 48, 48,
    45, 45, 43, 43, 41, 41, 39, 39, 37, 37, 35, 35, 33, 33, 31, 31,
    30, 30, 28, 28, 27, 27, 25, 25, 24, 24, 23, 23, 22, 22, 21, 21,
    20, 20, 19, 19, 18, 18, 17, 17, 16, 16, 15, 15, 14, 14, 14, 14,
    13, 13, 12, 12, 12, 12, 11, 11, 11, 11, 10, 10, 9, 9, 2, 2,
};

/* Next state byte (pStateIdx << 1 | valMps) after an MPS and after an LPS:
 * transIdxMps / transIdxLps of Table 9-47, with valMps flipping on an LPS in
 * state 0. */
const uint8_t g_aucHevcCabacNextMps[128] = {
    2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
    18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33,
    34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49,
    50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65,
    66, 67, 68, 69, 70, 71, 72, 73, 74, 75, 76, 77, 78, 79, 80, 81,
    82, 83, 84, 85, 86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 96, 97,
    98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113,
    114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 124, 125, 126, 127,
};
const uint8_t g_aucHevcCabacNextLps[128] = {
    1, 0, 0, 1, 2, 3, 4, 5, 4, 5, 8, 9, 8, 9, 10, 11,
    12, 13, 14, 15, 16, 17, 18, 19, 18, 19, 22, 23, 22, 23, 24, 25,
    26, 27, 26, 27, 30, 31, 30, 31, 32, 33, 32, 33, 36, 37, 36, 37,
    38, 39, 38, 39, 42, 43, 42, 43, 44, 45, 44, 45, 46, 47, 48, 49,
    48, 49, 50, 51, 52, 53, 52, 53, 54, 55, 54, 55, 56, 57, 58, 59,
    58, 59, 60, 61, 60, 61, 60, 61, 62, 63, 64, 65, 64, 65, 66, 67,
    66, 67, 66, 67, 68, 69, 68, 69, 70, 71, 70, 71, 70, 71, 72, 73,
    72, 73, 72, 73, 74, 75, 74, 75, 74, 75, 76, 77, 76, 77, 126, 127,
};

/* Tables 9-5 to 9-37: initValue of every context, per initType, in the
 * order of the HEVC_CTX_* offsets. Elements an initType never codes (the
 * inter ones for I slices) hold 154, which no slice reads. */
const uint8_t g_aaucHevcCabacInitValue[3][HEVC_CTX_COUNT] = {
    {
        /* sao_merge_flag */ 153,
        /* sao_type_idx */ 200,
        /* split_cu_flag */ 139, 141, 157,
        /* cu_transquant_bypass_flag */ 154,
        /* cu_skip_flag */ 154, 154, 154,
        /* pred_mode_flag */ 154,
        /* part_mode */ 184, 154, 154, 154,
        /* prev_intra_luma_pred_flag */ 184,
        /* intra_chroma_pred_mode */ 63,
        /* rqt_root_cbf */ 154,
        /* merge_flag */ 154,
        /* merge_idx */ 154,
        /* inter_pred_idc */ 154, 154, 154, 154, 154,
        /* ref_idx */ 154, 154,
        /* mvp_flag */ 154,
        /* split_transform_flag */ 153, 138, 138,
        /* cbf_luma */ 111, 141,
        /* cbf_chroma */ 94, 138, 182, 154, 154,
        /* abs_mvd_greater0 */ 154,
        /* abs_mvd_greater1 */ 154,
        /* cu_qp_delta_abs */ 154, 154,
        /* transform_skip_flag */ 139, 139,
        /* last_x_prefix */ 110, 110, 124, 125, 140, 153, 125, 127, 140, 109, 111, 143, 127, 111, 79, 108, 123, 63,
        /* last_y_prefix */ 110, 110, 124, 125, 140, 153, 125, 127, 140, 109, 111, 143, 127, 111, 79, 108, 123, 63,
        /* coded_sub_block_flag */ 91, 171, 134, 141,
        /* sig_coeff_flag */ 111, 111, 125, 110, 110, 94, 124, 108, 124, 107, 125, 141, 179, 153, 125, 107, 125, 141, 179, 153, 125, 107, 125, 141, 179, 153, 125, 140, 139, 182, 182, 152, 136, 152, 136, 153, 136, 139, 111, 136, 139, 111, 141, 111,
        /* greater1_flag */ 140, 92, 137, 138, 140, 152, 138, 139, 153, 74, 149, 92, 139, 107, 122, 152, 140, 179, 166, 182, 140, 227, 122, 197,
        /* greater2_flag */ 138, 153, 136, 167, 152, 152,
        /* cu_chroma_qp_offset_flag */ 154,
        /* cu_chroma_qp_offset_idx */ 154,
    },
    {
        /* sao_merge_flag */ 153,
        /* sao_type_idx */ 185,
        /* split_cu_flag */ 107, 139, 126,
        /* cu_transquant_bypass_flag */ 154,
        /* cu_skip_flag */ 197, 185, 201,
        /* pred_mode_flag */ 149,
        /* part_mode */ 154, 139, 154, 154,
        /* prev_intra_luma_pred_flag */ 154,
        /* intra_chroma_pred_mode */ 152,
        /* rqt_root_cbf */ 79,
        /* merge_flag */ 110,
        /* merge_idx */ 122,
        /* inter_pred_idc */ 95, 79, 63, 31, 31,
        /* ref_idx */ 153, 153,
        /* mvp_flag */ 168,
        /* split_transform_flag */ 124, 138, 94,
        /* cbf_luma */ 153, 111,
        /* cbf_chroma */ 149, 107, 167, 154, 154,
        /* abs_mvd_greater0 */ 140,
        /* abs_mvd_greater1 */ 198,
        /* cu_qp_delta_abs */ 154, 154,
        /* transform_skip_flag */ 139, 139,
        /* last_x_prefix */ 125, 110, 94, 110, 95, 79, 125, 111, 110, 78, 110, 111, 111, 95, 94, 108, 123, 108,
        /* last_y_prefix */ 125, 110, 94, 110, 95, 79, 125, 111, 110, 78, 110, 111, 111, 95, 94, 108, 123, 108,
        /* coded_sub_block_flag */ 121, 140, 61, 154,
        /* sig_coeff_flag */ 155, 154, 139, 153, 139, 123, 123, 63, 153, 166, 183, 140, 136, 153, 154, 166, 183, 140, 136, 153, 154, 166, 183, 140, 136, 153, 154, 170, 153, 123, 123, 107, 121, 107, 121, 167, 151, 183, 140, 151, 183, 140, 140, 140,
        /* greater1_flag */ 154, 196, 196, 167, 154, 152, 167, 182, 182, 134, 149, 136, 153, 121, 136, 137, 169, 194, 166, 167, 154, 167, 137, 182,
        /* greater2_flag */ 107, 167, 91, 122, 107, 167,
        /* cu_chroma_qp_offset_flag */ 154,
        /* cu_chroma_qp_offset_idx */ 154,
    },
    {
        /* sao_merge_flag */ 153,
        /* sao_type_idx */ 160,
        /* split_cu_flag */ 107, 139, 126,
        /* cu_transquant_bypass_flag */ 154,
        /* cu_skip_flag */ 197, 185, 201,
        /* pred_mode_flag */ 134,
        /* part_mode */ 154, 139, 154, 154,
        /* prev_intra_luma_pred_flag */ 183,
        /* intra_chroma_pred_mode */ 152,
        /* rqt_root_cbf */ 79,
        /* merge_flag */ 154,
        /* merge_idx */ 137,
        /* inter_pred_idc */ 95, 79, 63, 31, 31,
        /* ref_idx */ 153, 153,
        /* mvp_flag */ 168,
        /* split_transform_flag */ 224, 167, 122,
        /* cbf_luma */ 153, 111,
        /* cbf_chroma */ 149, 92, 167, 154, 154,
        /* abs_mvd_greater0 */ 169,
        /* abs_mvd_greater1 */ 198,
        /* cu_qp_delta_abs */ 154, 154,
        /* transform_skip_flag */ 139, 139,
        /* last_x_prefix */ 125, 110, 124, 110, 95, 94, 125, 111, 111, 79, 125, 126, 111, 111, 79, 108, 123, 93,
        /* last_y_prefix */ 125, 110, 124, 110, 95, 94, 125, 111, 111, 79, 125, 126, 111, 111, 79, 108, 123, 93,
        /* coded_sub_block_flag */ 121, 140, 61, 154,
        /* sig_coeff_flag */ 170, 154, 139, 153, 139, 123, 123, 63, 124, 166, 183, 140, 136, 153, 154, 166, 183, 140, 136, 153, 154, 166, 183, 140, 136, 153, 154, 170, 153, 138, 138, 122, 121, 122, 121, 167, 151, 183, 140, 151, 183, 140, 140, 140,
        /* greater1_flag */ 154, 196, 167, 167, 154, 152, 167, 182, 182, 134, 149, 136, 153, 121, 136, 122, 169, 208, 166, 167, 154, 152, 167, 182,
        /* greater2_flag */ 107, 167, 91, 107, 107, 167,
        /* cu_chroma_qp_offset_flag */ 154,
        /* cu_chroma_qp_offset_idx */ 154,
    },
};

/* ctxIdxMap of H.265 9.3.4.2.5 by (yC << 2) + xC; position 15 is never
 * coded (it is the last scan position of every 4x4 scan). */
const uint8_t g_aucHevcSigCtxIdxMap4x4[16] = {0, 1, 4, 5, 2, 3, 4, 5, 6, 6, 8, 8, 7, 7, 8, 8};

void HevcCabacInitContexts(HevcCabacCtx *pstCtx, int iInitType, int iSliceQp)
{
    const uint8_t *pucInit = g_aaucHevcCabacInitValue[iInitType];
    int iQp = iSliceQp < 0 ? 0 : iSliceQp > 51 ? 51 : iSliceQp;
    int i;
    for (i = 0; i < HEVC_CTX_COUNT; i++) {
        int iSlope = pucInit[i] >> 4, iOffset = pucInit[i] & 15;
        int m = iSlope * 5 - 45, n = (iOffset << 3) - 16;
        int iPre = ((m * iQp) >> 4) + n;
        iPre = iPre < 1 ? 1 : iPre > 126 ? 126 : iPre;
        pstCtx->aucState[i] = (uint8_t)(iPre <= 63 ? (63 - iPre) << 1 : ((iPre - 64) << 1) | 1);
    }
}

int HevcCabacInitType(int iSliceType, int bCabacInitFlag)
{
    if (iSliceType == 2)
        return 0;
    if (iSliceType == 1)
        return bCabacInitFlag ? 2 : 1;
    return bCabacInitFlag ? 1 : 2;
}

/* Loads raw bytes until at least 48 look-ahead bits are held, dropping
 * emulation prevention bytes (a 03 after two zero bytes) and feeding zeros
 * once the end is reached. */
void HevcCabacRefill(HevcCabac *pstCabac)
{
    /* Fast path: the bytes that fit, all non-zero (so no emulation
     * prevention byte can be among them), in one big-endian load. */
    const int iBytes = (55 - pstCabac->iBits) >> 3; /* the offset keeps its 9 bits on top */
    if (iBytes > 0 && pstCabac->uiZeros == 0 && pstCabac->pucEnd - pstCabac->pucCur >= 8) {
        uint64_t ullNext;
        memcpy(&ullNext, pstCabac->pucCur, 8);
        ullNext = __builtin_bswap64(ullNext) >> (64 - 8 * iBytes);
        /* a zero byte among the iBytes lowest: the classic has-zero test */
        const uint64_t ullMask = ((uint64_t)1 << (8 * iBytes)) - 1; /* iBytes <= 6 */
        const uint64_t ullLow = 0x0101010101010101ull & ullMask, ullHigh = 0x8080808080808080ull & ullMask;
        if (!((ullNext - ullLow) & ~ullNext & ullHigh)) {
            pstCabac->ullValue = pstCabac->ullValue << (8 * iBytes) | ullNext;
            pstCabac->iBits += 8 * iBytes;
            pstCabac->pucCur += iBytes;
            return;
        }
    }
    while (pstCabac->iBits <= 47) {
        uint32_t uiByte = 0;
        if (pstCabac->pucCur < pstCabac->pucEnd && pstCabac->uiZeros >= 2 && *pstCabac->pucCur == 3) {
            pstCabac->pucCur++;
            pstCabac->uiZeros = 0;
        }
        if (pstCabac->pucCur < pstCabac->pucEnd) {
            uiByte = *pstCabac->pucCur++;
            pstCabac->uiZeros = uiByte ? 0 : pstCabac->uiZeros + 1;
        } else {
            pstCabac->uiPadBytes++;
        }
        pstCabac->ullValue = pstCabac->ullValue << 8 | uiByte;
        pstCabac->iBits += 8;
    }
    if (HevcCabacFailed(pstCabac) && !pstCabac->bError) {
        /* Out of data: from here on every bin decodes from a zero offset, so
         * no syntax loop can run on; the caller sees the failure at its next
         * check. */
        pstCabac->bError = 1;
        pstCabac->ullValue = 0;
    }
}

int HevcCabacStart(HevcCabac *pstCabac, const uint8_t *pucBuf, uint32_t uiStart, uint32_t uiEnd)
{
    uint32_t uiOffset;
    memset(pstCabac, 0, sizeof(*pstCabac));
    if (uiEnd < uiStart)
        uiEnd = uiStart;
    pstCabac->pucStart = pucBuf + uiStart;
    pstCabac->pucCur = pucBuf + uiStart;
    pstCabac->pucEnd = pucBuf + uiEnd;
    /* a 03 right at the start may follow zeros of the bytes before it */
    if (uiStart >= 1 && pucBuf[uiStart - 1] == 0)
        pstCabac->uiZeros = (uiStart >= 2 && pucBuf[uiStart - 2] == 0) ? 2 : 1;
    pstCabac->uiRange = 510;
    /* ivlOffset = read_bits(9), then the look-ahead below it */
    HevcCabacRefill(pstCabac);
    pstCabac->iBits -= 9;
    uiOffset = (uint32_t)(pstCabac->ullValue >> pstCabac->iBits);
    if (uiOffset >= 510 || HevcCabacFailed(pstCabac)) {
        pstCabac->bError = 1;
        pstCabac->ullValue = 0;
        return -1;
    }
    return 0;
}

static int IsEmulationPrevention(const uint8_t *pucBuf, const uint8_t *p)
{
    return p - pucBuf >= 2 && p[0] == 3 && p[-1] == 0 && p[-2] == 0;
}

uint32_t HevcCabacAlignedPos(const HevcCabac *pstCabac, const uint8_t *pucBuf)
{
    /* Bits consumed = bits loaded - iBits, so the aligned end lies
     * iBits / 8 whole data bytes before the load position; step back over
     * those (zero padding first), skipping emulation prevention bytes. */
    int iGiveBack = pstCabac->iBits / 8 - (int)pstCabac->uiPadBytes;
    const uint8_t *p = pstCabac->pucCur;
    while (iGiveBack-- > 0 && p > pstCabac->pucStart) {
        if (p - 1 > pstCabac->pucStart && IsEmulationPrevention(pucBuf, p - 1))
            p--;
        p--;
    }
    return (uint32_t)(p - pucBuf);
}
