/* residual_coding(): last position, coded sub-blocks, significance,
 * greater-than-1/2 flags, signs with sign data hiding, remaining levels with
 * Rice adaptation, transform_skip_flag (H.265 7.3.8.11, 9.3.4.2.4-9.3.4.2.7,
 * 9.3.3.11). */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"

#define CTX(s, i) (&(s)->stCtx.aucState[(i)])

/* Scan positions as x | y << 4 (H.265 6.5.3-6.5.5): [scanIdx] for a 4x4
 * grid (coefficients in a sub-block, or sub-blocks of a 16x16 block), and the
 * 2x2 grid of sub-blocks of an 8x8 block. Larger grids only use diagonal. */
static const uint8_t s_aaucScan4x4[3][16] = {
    {0x00, 0x10, 0x01, 0x20, 0x11, 0x02, 0x30, 0x21, 0x12, 0x03, 0x31, 0x22, 0x13, 0x32, 0x23, 0x33},
    {0x00, 0x01, 0x02, 0x03, 0x10, 0x11, 0x12, 0x13, 0x20, 0x21, 0x22, 0x23, 0x30, 0x31, 0x32, 0x33},
    {0x00, 0x10, 0x20, 0x30, 0x01, 0x11, 0x21, 0x31, 0x02, 0x12, 0x22, 0x32, 0x03, 0x13, 0x23, 0x33},
};
static const uint8_t s_aaucScan2x2[3][4] = {
    {0x00, 0x10, 0x01, 0x11},
    {0x00, 0x01, 0x10, 0x11},
    {0x00, 0x10, 0x01, 0x11},
};

/* sig_coeff_flag context (before the per-block offset) by scan position:
 * [scanIdx][prevCsbf][n] for blocks above 4x4, and [scanIdx][n] for 4x4
 * blocks (ctxIdxMap); H.265 9.3.4.2.5. */
static const uint8_t s_aaaucSigByScan[3][4][16] = {
    {
        {2, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {2, 1, 2, 0, 1, 2, 0, 0, 1, 2, 0, 0, 1, 0, 0, 0},
        {2, 2, 1, 2, 1, 0, 2, 1, 0, 0, 1, 0, 0, 0, 0, 0},
        {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2},
    },
    {
        {2, 1, 1, 0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
        {2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0},
        {2, 1, 0, 0, 2, 1, 0, 0, 2, 1, 0, 0, 2, 1, 0, 0},
        {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2},
    },
    {
        {2, 1, 1, 0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
        {2, 1, 0, 0, 2, 1, 0, 0, 2, 1, 0, 0, 2, 1, 0, 0},
        {2, 2, 2, 2, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0},
        {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2},
    },
};
static const uint8_t s_aaucSig4x4ByScan[3][16] = {
    {0, 2, 1, 6, 3, 4, 7, 6, 4, 5, 7, 8, 5, 8, 8, 8},
    {0, 1, 4, 5, 2, 3, 4, 5, 6, 6, 8, 8, 7, 7, 8, 8},
    {0, 2, 6, 7, 1, 3, 6, 7, 4, 4, 8, 8, 5, 5, 8, 8},
};
/* Inverse scans: [scanIdx][y * 4 + x] -> scan position; sub-block grids
 * of 8x8 blocks [scanIdx][y * 2 + x], of 32x32 blocks [y * 8 + x] (diagonal). */
static const uint8_t s_aaucScanPos4x4[3][16] = {
    {0, 2, 5, 9, 1, 4, 8, 12, 3, 7, 11, 14, 6, 10, 13, 15},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15},
};
static const uint8_t s_aaucScanPos2x2[3][4] = {
    {0, 2, 1, 3},
    {0, 1, 2, 3},
    {0, 2, 1, 3},
};
static const uint8_t s_aucScanPos8x8[64] = {
    0, 2, 5, 9, 14, 20, 27, 35,
    1, 4, 8, 13, 19, 26, 34, 42,
    3, 7, 12, 18, 25, 33, 41, 48,
    6, 11, 17, 24, 32, 40, 47, 53,
    10, 16, 23, 31, 39, 46, 52, 57,
    15, 22, 30, 38, 45, 51, 56, 60,
    21, 29, 37, 44, 50, 55, 59, 62,
    28, 36, 43, 49, 54, 58, 61, 63,
};

/* Offset in the coefficient block (row stride 1 << log2) of each scan
 * position of a 4x4 sub-block: [log2 - 2][scanIdx][n]. */
static const uint16_t s_aausRasterByScan[4][3][16] = {
    {
        {0, 4, 1, 8, 5, 2, 12, 9, 6, 3, 13, 10, 7, 14, 11, 15},
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
        {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15},
    },
    {
        {0, 8, 1, 16, 9, 2, 24, 17, 10, 3, 25, 18, 11, 26, 19, 27},
        {0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27},
        {0, 8, 16, 24, 1, 9, 17, 25, 2, 10, 18, 26, 3, 11, 19, 27},
    },
    {
        {0, 16, 1, 32, 17, 2, 48, 33, 18, 3, 49, 34, 19, 50, 35, 51},
        {0, 1, 2, 3, 16, 17, 18, 19, 32, 33, 34, 35, 48, 49, 50, 51},
        {0, 16, 32, 48, 1, 17, 33, 49, 2, 18, 34, 50, 3, 19, 35, 51},
    },
    {
        {0, 32, 1, 64, 33, 2, 96, 65, 34, 3, 97, 66, 35, 98, 67, 99},
        {0, 1, 2, 3, 32, 33, 34, 35, 64, 65, 66, 67, 96, 97, 98, 99},
        {0, 32, 64, 96, 1, 33, 65, 97, 2, 34, 66, 98, 3, 35, 67, 99},
    },
};

static const uint8_t *SubBlockScan(int iLog2Size, int iScanIdx)
{
    static const uint8_t s_aucOne[1] = {0};
    switch (iLog2Size) {
    case 2: return s_aucOne;
    case 3: return s_aaucScan2x2[iScanIdx];
    case 4: return s_aaucScan4x4[0];
    default: return g_aucHevcDiagScan8x8;
    }
}

/* last_sig_coeff_x_prefix or _y_prefix: pucCtx the first context of the
 * block size and component, iShift the bins per context. */
static inline int LastPrefix(HevcCabac *c, HevcCabacRegs *r, uint8_t *pucCtx, int iShift, int iMax)
{
    int v = 0;
    while (v < iMax && HevcCabacDecodeBinRegs(c, r, pucCtx + (v >> iShift)))
        v++;
    return v;
}

static int LastValue(HevcCabac *c, int iPrefix)
{
    if (iPrefix <= 3)
        return iPrefix;
    int n = (iPrefix >> 1) - 1;
    return (1 << n) * (2 + (iPrefix & 1)) + (int)HevcCabacDecodeBypassBits(c, n);
}

/* coeff_abs_level_remaining (H.265 9.3.3.11); -1 when the prefix runs away.
 * The common short codes (prefix below 4) are read from one look at the
 * next 12 bypass bins (see HevcCabacDecodeBypassBits): the prefix is their
 * leading ones, and only the bins of the code are consumed. */
static int AbsLevelRemaining(HevcCabac *c, int iRice)
{
    if (c->iBits < 16 + 12)
        HevcCabacRefill(c);
    {
        const uint32_t q = (uint32_t)(c->ullValue >> (c->iBits - 12)) / c->uiRange;
        const int iOnes = __builtin_clz(~(q << 20));
        const int n = iOnes + 1 + iRice;
        if (iOnes <= 3 && n <= 12) {
            const uint32_t uiBins = q >> (12 - n);
            c->ullValue -= (uint64_t)(uiBins * c->uiRange) << (c->iBits - n);
            c->iBits -= n;
            if (c->iBits < 16)
                HevcCabacRefill(c);
            return (iOnes << iRice) + (int)(uiBins & ((1u << iRice) - 1));
        }
    }
    int iPrefix = 0;
    while (iPrefix < 32 && HevcCabacDecodeBypass(c))
        iPrefix++;
    if (iPrefix <= 3)
        return (iPrefix << iRice) + (int)HevcCabacDecodeBypassBits(c, iRice);
    if (iPrefix > 3 + 22)
        return -1;
    int k = iPrefix - 3 + iRice;
    return (((1 << (iPrefix - 3)) + 3 - 1) << iRice) + (int)HevcCabacDecodeBypassBits(c, k);
}

int HevcResidualCoding(HW265D_DEC *pstDec, HevcSliceDec *s, int iLog2Size, int cIdx, int iScanIdx, int *pbTransformSkip)
{
    const HevcPps *pps = s->pstPps;
    HevcCabac *c = &s->stCabac;
    const int N = 1 << iLog2Size;
    int16_t *psCoeff = s->psCoeff;
    memset(psCoeff, 0, sizeof(int16_t) * (size_t)s->iCoeffDirty);
    s->iCoeffDirty = N * N;

    int bTs = 0;
    if (pps->transform_skip_enabled_flag && !s->bTransquantBypass &&
        iLog2Size <= (int)(pps->log2_max_transform_skip_block_size ? pps->log2_max_transform_skip_block_size : 2))
        bTs = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_TRANSFORM_SKIP_FLAG + (cIdx ? 1 : 0)));
    *pbTransformSkip = bTs;

    const int iLastOff = cIdx ? 15 : 3 * (iLog2Size - 2) + ((iLog2Size - 1) >> 2);
    const int iLastShift = cIdx ? iLog2Size - 2 : (iLog2Size + 1) >> 2;
    const int iLastMax = (iLog2Size << 1) - 1;
    HevcCabacRegs rLast = HevcCabacRegsLoad(c);
    int iPrefixX = LastPrefix(c, &rLast, CTX(s, HEVC_CTX_LAST_X_PREFIX + iLastOff), iLastShift, iLastMax);
    int iPrefixY = LastPrefix(c, &rLast, CTX(s, HEVC_CTX_LAST_Y_PREFIX + iLastOff), iLastShift, iLastMax);
    HevcCabacRegsStore(c, &rLast);
    if (iPrefixX > 9 || iPrefixY > 9) {
        if (iPrefixX > 9)
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of last_sig_coeff_x_prefix is %u, it should be in the c_range of 0~9!\n", (unsigned)iPrefixX);
        else
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of last_sig_coeff_y_prefix is %u, it should be in the c_range of 0~9!\n", (unsigned)iPrefixY);
        return -1;
    }
    int iLastX = LastValue(c, iPrefixX);
    int iLastY = LastValue(c, iPrefixY);
    if (iScanIdx == 2) {
        int t = iLastX;
        iLastX = iLastY;
        iLastY = t;
    }
    if (iLastX >= N || iLastY >= N) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of last_sig_coeff_x_prefix is %u, it should be in the c_range of 0~9!\n", (unsigned)iPrefixX);
        return -1;
    }

    const uint8_t *pucSbScan = SubBlockScan(iLog2Size, iScanIdx);
    const int iSbW = 1 << (iLog2Size - 2);
    /* Sub-block and position within it of the last coefficient. */
    const int xLastS = iLastX >> 2, yLastS = iLastY >> 2;
    const int iLastSb = iLog2Size == 2   ? 0
                        : iLog2Size == 3 ? s_aaucScanPos2x2[iScanIdx][yLastS * 2 + xLastS]
                        : iLog2Size == 4 ? s_aaucScanPos4x4[0][yLastS * 4 + xLastS]
                                         : s_aucScanPos8x8[yLastS * 8 + xLastS];
    const int iLastPos = s_aaucScanPos4x4[iScanIdx][(iLastY & 3) * 4 + (iLastX & 3)];
    s->bDcOnly = iLastSb == 0 && iLastPos == 0;

    uint8_t aucCsbf[64];
    memset(aucCsbf, 0, sizeof(aucCsbf));
    const int bSignHidingOn = pps->sign_data_hiding_enabled_flag && !s->bTransquantBypass;
    const int iSigBase = HEVC_CTX_SIG_COEFF_FLAG + (cIdx ? 27 : 0);
    const int iGt1Base = HEVC_CTX_GREATER1_FLAG + (cIdx ? 16 : 0);
    const int iGt2Base = HEVC_CTX_GREATER2_FLAG + (cIdx ? 4 : 0);
    int iPrevGt1Ctx = 1; /* greater1Ctx left by the previous sub-block */
    int iMaxXs = 0, iMaxYs = 0; /* sub-blocks holding coefficients reach this far */

    for (int i = iLastSb; i >= 0; i--) {
        const int xS = pucSbScan[i] & 15, yS = pucSbScan[i] >> 4;
        int bInferDc = 0;
        int bCsbf;
        if (i < iLastSb && i > 0) {
            int iCsbfCtx = 0;
            if (xS < iSbW - 1)
                iCsbfCtx += aucCsbf[yS * 8 + xS + 1];
            if (yS < iSbW - 1)
                iCsbfCtx += aucCsbf[(yS + 1) * 8 + xS];
            bCsbf = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CODED_SUB_BLOCK_FLAG + (iCsbfCtx ? 1 : 0) + (cIdx ? 2 : 0)));
            bInferDc = 1;
        } else {
            bCsbf = 1;
        }
        aucCsbf[yS * 8 + xS] = (uint8_t)bCsbf;

        /* Significance, in scan order from the last position down. */
        int aiPos[16], iNumSig = 0;
        int n = 15;
        if (i == iLastSb) {
            aiPos[iNumSig++] = iLastPos;
            n = iLastPos - 1;
        }
        if (bCsbf) {
            int iPrevCsbf = 0;
            if (xS < iSbW - 1)
                iPrevCsbf += aucCsbf[yS * 8 + xS + 1];
            if (yS < iSbW - 1)
                iPrevCsbf += aucCsbf[(yS + 1) * 8 + xS] << 1;
            /* contexts: a per-position pattern plus the block's offset;
             * the DC of a block above 4x4 has a context of its own */
            const uint8_t *pucCtx;
            int iCtxOff = 0;
            if (iLog2Size == 2) {
                pucCtx = s_aaucSig4x4ByScan[iScanIdx];
            } else {
                pucCtx = s_aaaucSigByScan[iScanIdx][iPrevCsbf];
                if (cIdx == 0)
                    iCtxOff = (i > 0 ? 3 : 0) + (iLog2Size == 3 ? (iScanIdx == 0 ? 9 : 15) : 21);
                else
                    iCtxOff = iLog2Size == 3 ? 9 : 12;
            }
            uint8_t *pucSig = CTX(s, iSigBase + iCtxOff);
            HevcCabacRegs r = HevcCabacRegsLoad(c);
            for (; n > 0; n--)
                if (HevcCabacDecodeBinRegs(c, &r, pucSig + pucCtx[n])) {
                    aiPos[iNumSig++] = n;
                    bInferDc = 0;
                }
            HevcCabacRegsStore(c, &r);
            if (n == 0) {
                if (bInferDc)
                    aiPos[iNumSig++] = 0;
                else if (HevcCabacDecodeBin(c, iLog2Size > 2 && i == 0 ? CTX(s, iSigBase) : pucSig + pucCtx[0]))
                    aiPos[iNumSig++] = 0;
            }
        }
        if (!iNumSig)
            continue;
        iMaxXs = xS > iMaxXs ? xS : iMaxXs;
        iMaxYs = yS > iMaxYs ? yS : iMaxYs;

        /* Greater-than-1 flags for the first 8, greater-than-2 for the first
         * of those that is set. Bit k of uiRem: coefficient k continues with
         * coeff_abs_level_remaining (its base level reached the threshold). */
        int iCtxSet = (i == 0 || cIdx > 0) ? 0 : 2;
        if (iPrevGt1Ctx == 0)
            iCtxSet++;
        int iGt1Ctx = 1, iFirstGt1 = -1;
        uint8_t aucAbs[16];
        const int iNumGt1 = iNumSig < 8 ? iNumSig : 8;
        uint32_t uiRem = (0xFFFFu << 8) & ((1u << iNumSig) - 1);
        memset(aucAbs, 1, sizeof(aucAbs));
        uint8_t *pucGt1 = CTX(s, iGt1Base + iCtxSet * 4);
        HevcCabacRegs r = HevcCabacRegsLoad(c);
        for (int k = 0; k < iNumGt1; k++) {
            const int b = HevcCabacDecodeBinRegs(c, &r, pucGt1 + iGt1Ctx);
            if (b) {
                aucAbs[k] = 2;
                uiRem |= 1u << k;
                if (iFirstGt1 < 0)
                    iFirstGt1 = k;
                iGt1Ctx = 0;
            } else if (iGt1Ctx > 0 && iGt1Ctx < 3) {
                iGt1Ctx++;
            }
        }
        iPrevGt1Ctx = iGt1Ctx;
        if (iFirstGt1 >= 0) {
            /* the first greater-than-1 continues only past 2 */
            uiRem &= ~(1u << iFirstGt1);
            if (HevcCabacDecodeBinRegs(c, &r, CTX(s, iGt2Base + iCtxSet))) {
                aucAbs[iFirstGt1] = 3;
                uiRem |= 1u << iFirstGt1;
            }
        }
        HevcCabacRegsStore(c, &r);

        const int bHidden = bSignHidingOn && aiPos[0] - aiPos[iNumSig - 1] > 3;
        const int iSignBits = bHidden ? iNumSig - 1 : iNumSig;
        uint32_t uiSigns = iSignBits ? HevcCabacDecodeBypassBits(c, iSignBits) << (32 - iSignBits) : 0;

        /* Remaining levels with Rice adaptation. A hidden sign (the last
         * coefficient's) reads as positive here and follows from the parity
         * of the sum once it is known. */
        int16_t *psSb = psCoeff + ((yS << 2) << iLog2Size) + (xS << 2);
        const uint16_t *pusOff = s_aausRasterByScan[iLog2Size - 2][iScanIdx];
        int iRice = 0, iSum = 0, k = 0;
        for (; k < iNumSig; k++) {
            int v = aucAbs[k];
            const int bNeg = (int)(uiSigns >> 31);
            uiSigns <<= 1;
            if (uiRem & (1u << k)) {
                const int r = AbsLevelRemaining(c, iRice);
                if (r < 0 || r > 32768) {
                    HEVC_ERR(pstDec, "IHW265D_Decode : the value of trans_coeff_level is %d, it should be in the c_range of -32768~32767!\n",
                             r < 0 ? 32768 : r + v);
                    return -1;
                }
                v += r;
                if (v > 3 * (1 << iRice))
                    iRice = iRice + 1 < 4 ? iRice + 1 : 4;
                if (v > 32767) {
                    const int bNegK = k == iNumSig - 1 && bHidden ? (iSum + v) & 1 : bNeg;
                    if (v > 32767 + bNegK) {
                        HEVC_ERR(pstDec, "IHW265D_Decode : the value of trans_coeff_level is %d, it should be in the c_range of -32768~32767!\n",
                                 bNegK ? -v : v);
                        return -1;
                    }
                }
            }
            iSum += v;
            psSb[pusOff[aiPos[k]]] = (int16_t)((v ^ -bNeg) + bNeg);
        }
        if (bHidden && (iSum & 1))
            psSb[pusOff[aiPos[iNumSig - 1]]] = (int16_t)-psSb[pusOff[aiPos[iNumSig - 1]]];
    }
    s->iCoefRows = 4 * (iMaxYs + 1);
    s->iCoefCols = 4 * (iMaxXs + 1);
    return HevcCabacFailed(c) ? -1 : 0;
}
