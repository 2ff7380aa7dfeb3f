/* CABAC: the arithmetic decoding engine and the context variables of slice
 * data (H.265 9.3).
 *
 * The engine reads the raw bytes of a slice segment NAL unit and drops the
 * emulation prevention bytes itself, so entry point offsets (which count
 * those bytes) index the same buffer. It never reads at or beyond the end it
 * was given: past the end it feeds zero bits, and once more bits have been
 * consumed than the data holds, HevcCabacFailed() reports it (sticky).
 *
 * Representation: ullValue holds ivlOffset followed by iBits look-ahead
 * bits, so a renormalisation by n only lowers iBits, and comparisons scale
 * the range by 2^iBits. */
#ifndef HEVC_CABAC_H
#define HEVC_CABAC_H

#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Context variables of all slice data syntax elements, offsets into
 * HevcCabacCtx.aucState (counts in comments; ctxInc is added by the caller). */
enum {
    HEVC_CTX_SAO_MERGE_FLAG = 0,           /* 1: sao_merge_left_flag, sao_merge_up_flag */
    HEVC_CTX_SAO_TYPE_IDX = 1,             /* 1: luma and chroma */
    HEVC_CTX_SPLIT_CU_FLAG = 2,            /* 3 */
    HEVC_CTX_CU_TRANSQUANT_BYPASS_FLAG = 5, /* 1 */
    HEVC_CTX_CU_SKIP_FLAG = 6,             /* 3 */
    HEVC_CTX_PRED_MODE_FLAG = 9,           /* 1 */
    HEVC_CTX_PART_MODE = 10,               /* 4 */
    HEVC_CTX_PREV_INTRA_LUMA_PRED_FLAG = 14, /* 1 */
    HEVC_CTX_INTRA_CHROMA_PRED_MODE = 15,  /* 1 */
    HEVC_CTX_RQT_ROOT_CBF = 16,            /* 1 */
    HEVC_CTX_MERGE_FLAG = 17,              /* 1 */
    HEVC_CTX_MERGE_IDX = 18,               /* 1 */
    HEVC_CTX_INTER_PRED_IDC = 19,          /* 5 */
    HEVC_CTX_REF_IDX = 24,                 /* 2: ref_idx_l0, ref_idx_l1 */
    HEVC_CTX_MVP_FLAG = 26,                /* 1: mvp_l0_flag, mvp_l1_flag */
    HEVC_CTX_SPLIT_TRANSFORM_FLAG = 27,    /* 3 */
    HEVC_CTX_CBF_LUMA = 30,                /* 2 */
    HEVC_CTX_CBF_CHROMA = 32,              /* 5: cbf_cb, cbf_cr */
    HEVC_CTX_ABS_MVD_GREATER0 = 37,        /* 1 */
    HEVC_CTX_ABS_MVD_GREATER1 = 38,        /* 1 */
    HEVC_CTX_CU_QP_DELTA_ABS = 39,         /* 2 */
    HEVC_CTX_TRANSFORM_SKIP_FLAG = 41,     /* 2: luma, chroma */
    HEVC_CTX_LAST_X_PREFIX = 43,           /* 18: 15 luma, 3 chroma */
    HEVC_CTX_LAST_Y_PREFIX = 61,           /* 18 */
    HEVC_CTX_CODED_SUB_BLOCK_FLAG = 79,    /* 4: 2 luma, 2 chroma */
    HEVC_CTX_SIG_COEFF_FLAG = 83,          /* 44: 27 luma, 15 chroma, 2 transform-skip */
    HEVC_CTX_GREATER1_FLAG = 127,          /* 24: 16 luma, 8 chroma */
    HEVC_CTX_GREATER2_FLAG = 151,          /* 6: 4 luma, 2 chroma */
    HEVC_CTX_CU_CHROMA_QP_OFFSET_FLAG = 157, /* 1 */
    HEVC_CTX_CU_CHROMA_QP_OFFSET_IDX = 158,  /* 1 */
    HEVC_CTX_COUNT = 159
};

/* One context variable per byte: pStateIdx << 1 | valMps. Saving and
 * restoring for wavefront rows and dependent slice segments (H.265 9.3.2.3,
 * 9.3.2.4) is a plain copy of this record. */
typedef struct {
    uint8_t aucState[HEVC_CTX_COUNT];
} HevcCabacCtx;

typedef struct {
    uint64_t ullValue;         /* ivlOffset << iBits | look-ahead bits */
    uint32_t uiRange;          /* ivlCurrRange, 256..510 between bins */
    int iBits;                 /* look-ahead bits held below the offset */
    const uint8_t *pucCur;     /* next raw byte to load */
    const uint8_t *pucStart;   /* first raw byte of this CABAC run */
    const uint8_t *pucEnd;     /* one past the last raw byte it may read */
    uint32_t uiZeros;          /* zero bytes just loaded (emulation prevention) */
    uint32_t uiPadBytes;       /* zero bytes fed after pucEnd */
    int bError;                /* sticky: bad start or data ran out */
} HevcCabac;

extern const uint8_t g_aaucHevcCabacLps[64][4];  /* rangeTabLps */
extern const uint8_t g_aucHevcCabacLpsByRange[512]; /* [qRangeIdx << 7 | state byte] */
extern const uint8_t g_aucHevcCabacNextMps[128]; /* state byte after an MPS */
extern const uint8_t g_aucHevcCabacNextLps[128]; /* state byte after an LPS */
/* initValue per initType (0: I, 1: P / B with cabac_init_flag, 2: B / P with it) */
extern const uint8_t g_aaucHevcCabacInitValue[3][HEVC_CTX_COUNT];

/* H.265 9.3.2.5: start decoding at pucBuf[uiStart], reading no further than
 * pucBuf[uiEnd - 1] (the end of the slice data, or of the substream). Bytes
 * before uiStart are looked at only to carry the emulation prevention state.
 * Returns 0, or -1 (and bError) when ivlOffset is 510 / 511 or the data is
 * shorter than the 9 bits the start needs. */
int HevcCabacStart(HevcCabac *pstCabac, const uint8_t *pucBuf, uint32_t uiStart, uint32_t uiEnd);

/* After a terminate bin equal to 1 (end_of_slice_segment_flag,
 * end_of_subset_one_bit, pcm_flag): offset in pucBuf of the first byte
 * after the byte-aligned end of the arithmetic code, i.e. where pcm_sample
 * data or the next substream begins. Emulation prevention bytes are counted. */
uint32_t HevcCabacAlignedPos(const HevcCabac *pstCabac, const uint8_t *pucBuf);

/* H.265 9.3.2.2: every context for initType (0..2) and SliceQpY. */
void HevcCabacInitContexts(HevcCabacCtx *pstCtx, int iInitType, int iSliceQp);
/* initType of H.265 9.3.2.2 from slice_type (0 B, 1 P, 2 I) and cabac_init_flag. */
int HevcCabacInitType(int iSliceType, int bCabacInitFlag);

void HevcCabacRefill(HevcCabac *pstCabac);

static inline void HevcCabacCtxCopy(HevcCabacCtx *pstDst, const HevcCabacCtx *pstSrc)
{
    memcpy(pstDst, pstSrc, sizeof(*pstDst));
}

/* True once more bits were consumed than the data holds, or the start was bad. */
static inline int HevcCabacFailed(const HevcCabac *pstCabac)
{
    return pstCabac->bError || (int)(pstCabac->uiPadBytes * 8) > pstCabac->iBits;
}

/* The engine's arithmetic state as a caller's local for loops of context
 * bins: a context byte store may alias any memory, so the state held in
 * HevcCabac would be stored and reloaded around every bin. Load with
 * HevcCabacRegsLoad, decode with HevcCabacDecodeBinRegs, store back with
 * HevcCabacRegsStore before any other call on the engine. */
typedef struct {
    uint64_t ullValue;
    uint32_t uiRange;
    int iBits;
} HevcCabacRegs;

static inline HevcCabacRegs HevcCabacRegsLoad(const HevcCabac *pstCabac)
{
    HevcCabacRegs r = {pstCabac->ullValue, pstCabac->uiRange, pstCabac->iBits};
    return r;
}

static inline void HevcCabacRegsStore(HevcCabac *pstCabac, const HevcCabacRegs *r)
{
    pstCabac->ullValue = r->ullValue;
    pstCabac->uiRange = r->uiRange;
    pstCabac->iBits = r->iBits;
}

/* H.265 9.3.4.3.2 on the caller's copy of the state. */
static inline int HevcCabacDecodeBinRegs(HevcCabac *pstCabac, HevcCabacRegs *r, uint8_t *pucCtx)
{
    const uint32_t uiState = *pucCtx;
    uint32_t uiRange = r->uiRange;
    int iBits = r->iBits;
    const uint32_t uiLps = g_aucHevcCabacLpsByRange[((uiRange & 0xC0) << 1) | uiState];
    uint64_t ullScaled;
    int iBin;
    uiRange -= uiLps;
    ullScaled = (uint64_t)uiRange << iBits;
    if (r->ullValue < ullScaled) {
        const int iShift = uiRange < 256;
        iBin = (int)(uiState & 1);
        *pucCtx = g_aucHevcCabacNextMps[uiState];
        uiRange <<= iShift;
        iBits -= iShift;
    } else {
        const int iShift = __builtin_clz(uiLps) - 23;
        r->ullValue -= ullScaled;
        iBin = (int)(uiState & 1) ^ 1;
        *pucCtx = g_aucHevcCabacNextLps[uiState];
        uiRange = uiLps << iShift;
        iBits -= iShift;
    }
    r->uiRange = uiRange;
    r->iBits = iBits;
    if (iBits < 16) {
        HevcCabacRegsStore(pstCabac, r);
        HevcCabacRefill(pstCabac);
        *r = HevcCabacRegsLoad(pstCabac);
    }
    return iBin;
}

/* H.265 9.3.4.3.2 */
static inline int HevcCabacDecodeBin(HevcCabac *pstCabac, uint8_t *pucCtx)
{
    HevcCabacRegs r = HevcCabacRegsLoad(pstCabac);
    const int iBin = HevcCabacDecodeBinRegs(pstCabac, &r, pucCtx);
    HevcCabacRegsStore(pstCabac, &r);
    return iBin;
}

/* H.265 9.3.4.3.4 */
static inline int HevcCabacDecodeBypass(HevcCabac *pstCabac)
{
    uint64_t ullScaled;
    int iBin = 0;
    pstCabac->iBits--;
    ullScaled = (uint64_t)pstCabac->uiRange << pstCabac->iBits;
    if (pstCabac->ullValue >= ullScaled) {
        pstCabac->ullValue -= ullScaled;
        iBin = 1;
    }
    if (pstCabac->iBits < 16)
        HevcCabacRefill(pstCabac);
    return iBin;
}

/* iNum (0..32) bypass bins, first one in the most significant position.
 * Bypass bins are the binary digits of ivlOffset / ivlCurrRange, so up to 22
 * of them come from one division: q = (offset with n more bits) / range,
 * and the offset keeps the remainder. */
static inline uint32_t HevcCabacDecodeBypassBits(HevcCabac *pstCabac, int iNum)
{
    uint32_t uiBins = 0;
    if (pstCabac->iBits < 16 + iNum)
        HevcCabacRefill(pstCabac);
    if (iNum >= 3 && iNum <= 22) {
        const int k = pstCabac->iBits - iNum;
        uiBins = (uint32_t)(pstCabac->ullValue >> k) / pstCabac->uiRange;
        pstCabac->ullValue -= (uint64_t)(uiBins * pstCabac->uiRange) << k;
        pstCabac->iBits = k;
        if (k < 16)
            HevcCabacRefill(pstCabac);
        return uiBins;
    }
    while (iNum-- > 0) {
        uint64_t ullScaled;
        pstCabac->iBits--;
        ullScaled = (uint64_t)pstCabac->uiRange << pstCabac->iBits;
        uiBins <<= 1;
        if (pstCabac->ullValue >= ullScaled) {
            pstCabac->ullValue -= ullScaled;
            uiBins |= 1;
        }
    }
    if (pstCabac->iBits < 16)
        HevcCabacRefill(pstCabac);
    return uiBins;
}

/* H.265 9.3.4.3.5: a 1 ends the arithmetic code without renormalisation;
 * HevcCabacAlignedPos then tells where the byte-aligned data goes on. */
static inline int HevcCabacDecodeTerminate(HevcCabac *pstCabac)
{
    uint64_t ullScaled;
    pstCabac->uiRange -= 2;
    ullScaled = (uint64_t)pstCabac->uiRange << pstCabac->iBits;
    if (pstCabac->ullValue >= ullScaled)
        return 1;
    if (pstCabac->uiRange < 256) {
        pstCabac->uiRange <<= 1;
        pstCabac->iBits--;
    }
    if (pstCabac->iBits < 16)
        HevcCabacRefill(pstCabac);
    return 0;
}

/* ---- residual coding helpers (H.265 9.3.3.11, 9.3.4.2.3 - 9.3.4.2.5) ---- */

/* coeff_abs_level_remaining: a prefix of up to four ones read as TR with
 * cRiceParam, continued as EGk with k = cRiceParam + 1. No conforming stream
 * needs a prefix of 32 ones; such a prefix sets the sticky error and gives 0.
 * Values are capped at 0x7FFFFFFF (the caller range-checks the level). */
static inline uint32_t HevcCabacDecodeCoeffAbsLevelRemaining(HevcCabac *pstCabac, int iRice)
{
    int iPrefix = 0;
    uint64_t ullValue;
    while (iPrefix < 32 && HevcCabacDecodeBypass(pstCabac))
        iPrefix++;
    if (iPrefix >= 32) {
        pstCabac->bError = 1;
        pstCabac->ullValue = 0;
        return 0;
    }
    if (iPrefix < 4)
        return ((uint32_t)iPrefix << iRice) + HevcCabacDecodeBypassBits(pstCabac, iRice);
    ullValue = ((((uint64_t)1 << (iPrefix - 3)) + 2) << iRice) +
               HevcCabacDecodeBypassBits(pstCabac, iPrefix - 3 + iRice);
    return ullValue > 0x7FFFFFFF ? 0x7FFFFFFFu : (uint32_t)ullValue;
}

/* last_sig_coeff_x_prefix / _y_prefix: context of bin iBin, relative to
 * HEVC_CTX_LAST_X_PREFIX / HEVC_CTX_LAST_Y_PREFIX. */
static inline int HevcLastPrefixCtxInc(int iLog2Size, int cIdx, int iBin)
{
    if (cIdx == 0)
        return 3 * (iLog2Size - 2) + ((iLog2Size - 1) >> 2) + (iBin >> ((iLog2Size + 1) >> 2));
    return 15 + (iBin >> (iLog2Size - 2));
}

/* sig_coeff_flag at (xC, yC) of the transform block, relative to
 * HEVC_CTX_SIG_COEFF_FLAG (transform_skip_context_enabled_flag 0).
 * iPrevCsbf: bit 0 the sub-block to the right is coded, bit 1 the one below.
 * iScanIdx: 0 diagonal, 1 horizontal, 2 vertical. */
extern const uint8_t g_aucHevcSigCtxIdxMap4x4[16];
static inline int HevcSigCoeffCtxInc(int iLog2Size, int cIdx, int iScanIdx, int xC, int yC, int iPrevCsbf)
{
    int iSig;
    if (iLog2Size == 2) {
        iSig = g_aucHevcSigCtxIdxMap4x4[(yC << 2) + xC];
    } else if (xC + yC == 0) {
        iSig = 0;
    } else {
        const int xP = xC & 3, yP = yC & 3;
        if (iPrevCsbf == 0)
            iSig = xP + yP == 0 ? 2 : xP + yP < 3 ? 1 : 0;
        else if (iPrevCsbf == 1)
            iSig = yP == 0 ? 2 : yP == 1 ? 1 : 0;
        else if (iPrevCsbf == 2)
            iSig = xP == 0 ? 2 : xP == 1 ? 1 : 0;
        else
            iSig = 2;
        if (cIdx == 0) {
            if ((xC >> 2) + (yC >> 2) > 0)
                iSig += 3;
            iSig += iLog2Size == 3 ? (iScanIdx == 0 ? 9 : 15) : 21;
        } else {
            iSig += iLog2Size == 3 ? 9 : 12;
        }
    }
    return cIdx == 0 ? iSig : 27 + iSig;
}

#ifdef __cplusplus
}
#endif
#endif
