/* Sample-processing kernels of the H.265 decoder behind per-bit-depth tables.
 *
 * HevcDsp8 works on uint8_t samples (BitDepth 8), HevcDsp10 on uint16_t
 * samples (BitDepth 10). HevcDspInit8/10 fill every entry with the C
 * reference and then let each instruction-set tier the CPU supports (and the
 * mask allows) replace entries; the table is plain data afterwards and may be
 * shared by any number of threads.
 *
 * Conventions shared by all entries:
 * - log2 sizes are 2..5 (4x4..32x32); arrays indexed [iLog2Size - 2].
 * - coefficient / residual blocks are int16_t, row-major, row stride equal to
 *   the block width (coeff[y * nTbS + x], x horizontal frequency/position),
 *   32-byte aligned, 32*32 entries of storage.
 * - picture pointers are sample pointers with a stride in samples (not
 *   bytes); no alignment is required of them.
 * - nothing allocates; temporaries live on the stack (at most 10 KB: the 2-D
 *   interpolation of a 64-wide block keeps its 71 intermediate rows).
 *
 * The tables are C-compatible so C and C++ callers use the same record. */
#ifndef HEVC_DSP_H
#define HEVC_DSP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Instruction-set tiers; a mask of these gates the overrides (also the bits
 * of IPCAMERA_HEVC_CPUMASK): 0x1 SSE4.1, 0x2 AVX2, 0x4 AVX-512 (F, BW, DQ, VL
 * and VBMI, with the OS saving the ZMM state). */
#define HEVC_CPU_SSE41 0x1u
#define HEVC_CPU_AVX2 0x2u
#define HEVC_CPU_AVX512 0x4u
#define HEVC_CPU_ALL (HEVC_CPU_SSE41 | HEVC_CPU_AVX2 | HEVC_CPU_AVX512)

/* Intra reference line: p[x][-1] and p[-1][y] of H.265 8.4.4.2 stored as one
 * line, bottom-left sample first. For a block of size N:
 *   line[0]          = p[-1][2N-1]  ...  line[2N-1] = p[-1][0]
 *   line[2N]         = p[-1][-1]    (corner)
 *   line[2N+1+x]     = p[x][-1]     for x = 0..2N-1
 * Kernels take ref = line + 2N, so ref[1+x] = p[x][-1], ref[-1-y] = p[-1][y].
 * Buffers should be HEVC_INTRA_LINE_ALLOC samples with the line starting
 * HEVC_INTRA_LINE_PAD samples in, which leaves SIMD variants room to read
 * (never write) up to 32 samples beyond either end. */
#define HEVC_INTRA_LINE_PAD 32
#define HEVC_INTRA_LINE_ALLOC (4 * 32 + 1 + 2 * HEVC_INTRA_LINE_PAD)

/* Neighbour availability bits for SAO edge offset (sao_edge's uiAvail): the
 * CTB's deblocked neighbour on that side may be used. */
#define HEVC_SAO_LEFT 0x01u
#define HEVC_SAO_RIGHT 0x02u
#define HEVC_SAO_TOP 0x04u
#define HEVC_SAO_BOTTOM 0x08u
#define HEVC_SAO_TOP_LEFT 0x10u
#define HEVC_SAO_TOP_RIGHT 0x20u
#define HEVC_SAO_BOTTOM_LEFT 0x40u
#define HEVC_SAO_BOTTOM_RIGHT 0x80u
#define HEVC_SAO_ALL 0xFFu

/* Motion compensation block widths: 2, 4, 6, 8, 12, 16, 24, 32, 48, 64 (chroma
 * of 4:2:0 prediction blocks and luma, AMP widths included), and the row
 * stride of the 14-bit intermediate blocks. */
#define HEVC_MC_WIDTHS 10
#define HEVC_MC_STRIDE 64
extern const uint8_t g_aucHevcMcWidths[HEVC_MC_WIDTHS];
static inline int HevcMcWidthIdx(int iWidth)
{
    /* 2 4 6 8 -> 0..3, 12 16 -> 4 5, 24 32 -> 6 7, 48 64 -> 8 9 */
    return iWidth <= 8 ? (iWidth >> 1) - 1 : iWidth <= 16 ? 4 + (iWidth > 12) : iWidth <= 32 ? 6 + (iWidth > 24)
                                                                                      : 8 + (iWidth > 48);
}

/* The entries, once per sample type. Contracts are stated here once. */
#define HEVC_DSP_FIELDS(pixel)                                                                    \
    int iBitDepth;                                                                                \
    /* Inverse DST 4x4 (luma intra 4x4), H.265 8.6.4.2: in place, coefficients in, residual   \
     * out; first (vertical) stage clipped to 16 bits after >> 7, second stage >> (20-BitDepth). \
     * Reads and writes exactly 16 entries. */                                                    \
    void (*pfnIdst4)(int16_t *psCoeffs);                                                          \
    /* Inverse DCT N x N, [log2-2]: as pfnIdst4 with the DCT matrix. Exactly N*N entries. */     \
    void (*pfnIdct[4])(int16_t *psCoeffs);                                                        \
    /* DC-only inverse DCT added to the prediction: the whole N x N block of dst gets the        \
     * residual that a lone DC coefficient sCoeff gives, with Clip1. */                           \
    void (*pfnIdctDcAdd[4])(pixel * pDst, ptrdiff_t iStride, int sCoeff);                        \
    /* Transform skip, [log2-2]: residual = ((c << (5 + log2)) + rnd) >> (20 - BitDepth), in     \
     * place. Only 4x4 occurs in Main/Main 10; larger sizes follow the same rule. */              \
    void (*pfnTransformSkip[4])(int16_t *psCoeffs);                                               \
    /* Reconstruction, [log2-2]: dst = Clip1(dst + res) over N x N. Also the whole residual path \
     * of cu_transquant_bypass blocks (res = the parsed coefficient levels). */                   \
    void (*pfnAddResidual[4])(pixel * pDst, ptrdiff_t iStride, const int16_t *psRes);            \
    /* Scaling (H.265 8.6.3) in place over the N x N levels: iQp is qP (QpBdOffset included,     \
     * 0..51+6*(BitDepth-8)); pucScale is m[x][y] stored row-major (m[y*N + x], see            \
     * HevcScalingFactor) or NULL for the flat 16. Results clipped to 16 bits. */                 \
    void (*pfnDequant)(int16_t *psCoeffs, int iLog2Size, int iQp, const uint8_t *pucScale);       \
    /* Reference sample substitution (H.265 8.4.4.2.2). pSrc points at the block's top-left      \
     * sample in the picture; line gets 4N+1 samples in the layout above. pucAvail holds one    \
     * flag per unit of (1 << iLog2Unit) samples in line order: 2N>>iLog2Unit left units        \
     * (bottom first), one corner flag, 2N>>iLog2Unit top units. Only available samples are     \
     * read from the picture, so units outside the picture may be flagged 0 without their       \
     * memory existing. Constrained intra prediction is the caller's marking of inter units as  \
     * unavailable. iLog2Unit: 2 for luma, 1 for 4:2:0 chroma; N >= 1 << iLog2Unit. */          \
    void (*pfnIntraRefFill)(pixel * pLine, const pixel *pSrc, ptrdiff_t iStride, int iLog2Size,   \
                            const uint8_t *pucAvail, int iLog2Unit);                              \
    /* Reference filtering (H.265 8.4.4.2.3) in place on ref[-2N..2N]: the bi-linear strong      \
     * smoothing when bStrongAllowed (strong_intra_smoothing_enabled_flag, luma, N == 32) and    \
     * both flatness tests pass, else [1 2 1]. Call only when filterFlag is 1                    \
     * (HevcIntraFilterFlag). */                                                                  \
    void (*pfnIntraSmooth)(pixel * pRef, int iLog2Size, int bStrongAllowed);                      \
    /* Planar / DC / angular 2..34 predictions, [log2-2], into dst (N x N). ref as above; only   \
     * ref[-2N..2N] is used (SIMD versions may load from the line padding and drop those lanes).  \
     * bEdgeFilter enables the DC edge and mode 10/26 boundary filters:                          \
     * pass cIdx == 0 && N < 32 && !disableIntraBoundaryFilter. */                                \
    void (*pfnPredPlanar[4])(pixel * pDst, ptrdiff_t iStride, const pixel *pRef);                 \
    void (*pfnPredDc[4])(pixel * pDst, ptrdiff_t iStride, const pixel *pRef, int bEdgeFilter);    \
    void (*pfnPredAngular[4])(pixel * pDst, ptrdiff_t iStride, const pixel *pRef, int iMode,      \
                              int bEdgeFilter);                                                   \
    /* Luma deblocking of one 4-line edge segment (H.265 8.7.2.5.3/8.7.2.5.6/8.7.2.5.7),         \
     * [0] vertical edge, [1] horizontal edge. pPix points at q0 of the first line; the filter   \
     * reads p3..q3 (4 samples each side) and changes at most p2..q2 (a vertical-edge variant may \
     * store p3/q3 back unchanged, so edges 8 apart may run in parallel). iBeta and iTc are the  \
     * final values (HevcDeblockBeta/Tc, bit-depth scaled). bNoP/bNoQ leave that side           \
     * untouched (pcm with pcm_loop_filter_disabled_flag, cu_transquant_bypass). */               \
    void (*pfnDeblockLuma[2])(pixel * pPix, ptrdiff_t iStride, int iBeta, int iTc, int bNoP,      \
                              int bNoQ);                                                          \
    /* Two consecutive 4-line segments of one luma edge (8 lines; the second starts 4 lines     \
     * further along the edge), each as pfnDeblockLuma with its own thresholds: iBeta0/iTc0 and   \
     * uiNo bits 0 (bNoP) and 1 (bNoQ) for the first, iBeta1/iTc1 and bits 2, 3 for the second.  \
     * A segment with iTc 0 is left as it is (pass 0 for a bS 0 segment). Reads the samples of   \
     * the two single calls and changes no others; it may store unchanged ones back. */          \
    void (*pfnDeblockLuma2[2])(pixel * pPix, ptrdiff_t iStride, int iBeta0, int iTc0, int iBeta1, \
                               int iTc1, unsigned uiNo);                                          \
    /* Chroma deblocking of one 4-line edge segment (H.265 8.7.2.5.5), [0] vertical, [1]         \
     * horizontal; reads p1..q1, writes p0 and q0. Call for bS == 2 edges on the chroma 8x8 grid.*/ \
    void (*pfnDeblockChroma[2])(pixel * pPix, ptrdiff_t iStride, int iTc, int bNoP, int bNoQ);    \
    /* SAO band offset (H.265 8.7.3): w x h (1..64) samples from src to dst (may be the same    \
     * memory). psOffset[1..4] are SaoOffsetVal for bands bandPos..bandPos+3 (mod 32). */         \
    void (*pfnSaoBand)(pixel * pDst, ptrdiff_t iDstStride, const pixel *pSrc, ptrdiff_t iSrcStride, \
                       int iWidth, int iHeight, const int16_t *psOffset, int iBandPos);           \
    /* SAO edge offset, class iEoClass 0..3 (0: horizontal, 1: vertical, 2: 135 deg, 3: 45 deg) \
     * over a w x h CTB (1..64). src holds the deblocked samples and must have one readable     \
     * sample around the block on every side (used only where uiAvail allows); dst must not    \
     * overlap src.                                                                            \
     * A sample whose neighbour falls in an unavailable CTB (each side and corner has its bit) \
     * is copied unchanged; pcm/bypass samples are the caller's to restore.                 \
     * psOffset[1..4] are SaoOffsetVal for edgeIdx 1..4. */                                       \
    void (*pfnSaoEdge)(pixel * pDst, ptrdiff_t iDstStride, const pixel *pSrc, ptrdiff_t iSrcStride, \
                       int iWidth, int iHeight, const int16_t *psOffset, int iEoClass,             \
                       unsigned uiAvail);                                                          \
    /* Motion compensation, [HevcMcWidthIdx(width)] for widths 2..64 (HEVC_MC_WIDTHS).          \
     * pfnMcLuma / pfnMcChroma: fractional interpolation (H.265 8.5.3.3.3) of a width x        \
     * iHeight block whose integer position is pSrc, xFrac/yFrac 0..3 (luma) or 0..7 (chroma), \
     * into 14-bit intermediates at pDst with row stride HEVC_MC_STRIDE. Luma reads 3 samples  \
     * before and 4 after the block in a filtered direction, chroma 1 before and 2 after; the  \
     * caller guarantees that memory (the picture or an edge-extended copy) and 12 samples    \
     * more after each row's window, which SIMD versions may load without using. iHeight 1..64.\
     * pfnPut*: the weighted sample prediction (8.5.3.3.4) from those intermediates to pixels:  \
     * default uni / bi, explicit uni (log2WD, w, o) and bi (log2WD, w0, w1, o0, o1), offsets   \
     * already scaled to the bit depth. */                                                      \
    void (*pfnMcLuma[HEVC_MC_WIDTHS])(int16_t * pDst, const pixel *pSrc, ptrdiff_t iSrcStride,     \
                                      int iHeight, int iFracX, int iFracY);                       \
    void (*pfnMcChroma[HEVC_MC_WIDTHS])(int16_t * pDst, const pixel *pSrc, ptrdiff_t iSrcStride,   \
                                        int iHeight, int iFracX, int iFracY);                     \
    void (*pfnPutUni[HEVC_MC_WIDTHS])(pixel * pDst, ptrdiff_t iStride, const int16_t *pSrc,        \
                                      int iHeight);                                               \
    void (*pfnPutBi[HEVC_MC_WIDTHS])(pixel * pDst, ptrdiff_t iStride, const int16_t *pSrc0,        \
                                     const int16_t *pSrc1, int iHeight);                          \
    void (*pfnPutWeighted[HEVC_MC_WIDTHS])(pixel * pDst, ptrdiff_t iStride, const int16_t *pSrc,   \
                                           int iHeight, int iLog2Wd, int iW, int iO);             \
    void (*pfnPutWeightedBi[HEVC_MC_WIDTHS])(pixel * pDst, ptrdiff_t iStride, const int16_t *pSrc0, \
                                             const int16_t *pSrc1, int iHeight, int iLog2Wd,      \
                                             int iW0, int iW1, int iO0, int iO1);                 \
    /* Border padding: each of iRows rows from pRow (iStride apart) gets iPad copies of its     \
     * first sample before it and of its last (pRow[iWidth - 1]) after it; nothing else is      \
     * written. */                                                                              \
    void (*pfnPadRows)(pixel * pRow, ptrdiff_t iStride, int iWidth, int iRows, int iPad);

typedef struct HevcDsp8 {
    HEVC_DSP_FIELDS(uint8_t)
} HevcDsp8;

typedef struct HevcDsp10 {
    HEVC_DSP_FIELDS(uint16_t)
} HevcDsp10;

/* CPU tiers present, ANDed with the value of the environment variable
 * IPCAMERA_HEVC_CPUMASK when it is set (hex or decimal; 0 forces plain C). */
unsigned HevcDspCpuFlags(void);

/* Fill a table: C references, then the tiers in uiCpuMask & HevcDspCpuFlags(). */
void HevcDspInit8(HevcDsp8 *pstDsp, unsigned uiCpuMask);
void HevcDspInit10(HevcDsp10 *pstDsp, unsigned uiCpuMask);

/* ---- helpers around the kernels (plain functions, no per-tier variants) ---- */

/* filterFlag of H.265 8.4.4.2.3 for a luma block (chroma of 4:2:0 is never
 * filtered). */
static inline int HevcIntraFilterFlag(int iMode, int iLog2Size)
{
    int iDist, iV, iH;
    if (iMode == 1 || iLog2Size == 2)
        return 0;
    iV = iMode - 26 < 0 ? 26 - iMode : iMode - 26;
    iH = iMode - 10 < 0 ? 10 - iMode : iMode - 10;
    iDist = iV < iH ? iV : iH;
    return iDist > (iLog2Size == 3 ? 7 : iLog2Size == 4 ? 1 : 0);
}

/* Deblocking thresholds (H.265 8.7.2.5.3, Tables 8-12): iQpL the averaged
 * QpY (or QpC for chroma tc), offsets the slice_*_offset_div2 values, iBs the
 * boundary strength (2 for chroma). */
int HevcDeblockBeta(int iQpL, int iBetaOffsetDiv2, int iBitDepth);
int HevcDeblockTc(int iQpL, int iBs, int iTcOffsetDiv2, int iBitDepth);

/* QpC from qPi for ChromaArrayType 1 (H.265 Table 8-10). */
int HevcChromaQp(int iQpi);

/* ScalingFactor m[x][y] (H.265 7.4.5) of one list: iSizeId 0..3, pucList the
 * 16 (size 0) or 64 coefficients in up-right diagonal order, iDc the DC value
 * (scaling_list_dc_coef_minus8 + 8) for sizes 2 and 3 (ignored otherwise).
 * pucOut receives N*N entries, m[x][y] at pucOut[y*N + x]. */
void HevcScalingFactor(int iSizeId, const uint8_t *pucList, int iDc, uint8_t *pucOut);

/* SaoOffsetVal[1..4] from sao_offset_abs and signs (H.265 7.4.9.3.2):
 * band offsets take their coded signs, edge offsets are + + - -; the values are
 * scaled by << (BitDepth - Min(BitDepth, 10)). psOut[0] is set to 0. */
void HevcSaoOffsets(const int *piAbs, const int *piSign, int bEdge, int iBitDepth, int16_t *psOut);

/* ---- constant tables (H.265) ---- */
extern const int8_t g_acHevcDctMatrix[32][32];     /* transMatrix: row k = basis k */
extern const int8_t g_acHevcDstMatrix[4][4];
extern const int8_t g_acHevcIntraPredAngle[35];    /* modes 2..34, 0 elsewhere */
extern const int16_t g_asHevcInvAngle[35];         /* modes 11..25, 0 elsewhere */
extern const uint8_t g_aucHevcBetaTable[52];
extern const uint8_t g_aucHevcTcTable[54];
extern const uint8_t g_aucHevcLevelScale[6];
extern const uint8_t g_aucHevcDefaultScalingIntra[64]; /* Table 7-6, diagonal order */
extern const uint8_t g_aucHevcDefaultScalingInter[64];
/* Up-right diagonal scans: [i] = (x, y) as x | y << 4. */
extern const uint8_t g_aucHevcDiagScan4x4[16];
extern const uint8_t g_aucHevcDiagScan8x8[64];

#ifdef __cplusplus
}
#endif
#endif
