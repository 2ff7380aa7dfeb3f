/* Reconstruction of blocks: intra reference availability, and the sample
 * work of intra prediction, scaling, inverse transform and adding, PCM
 * samples and motion-compensated prediction (H.265 8.4.4.2, 8.5.3.3,
 * 8.6.2-8.6.7), instantiated from hevc_recon_tmpl.h for byte samples
 * (HevcDsp8) and 16-bit samples (HevcDsp10); each picture picks one set. */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"

/* Whether the CTB dx, dy (-1..1) CTBs away from the current one may be
 * referenced: decoded, same slice and tile (H.265 6.4.1). */
static int NeighbourCtbUsable(const HevcSliceDec *s, int dx, int dy)
{
    const HevcSps *sps = s->pstSps;
    const int xC = (s->iCtbX >> sps->CtbLog2SizeY) + dx, yC = (s->iCtbY >> sps->CtbLog2SizeY) + dy;
    if (xC < 0 || yC < 0 || xC >= (int)sps->PicWidthInCtbsY || yC >= (int)sps->PicHeightInCtbsY)
        return 0;
    if (!dx && !dy)
        return 1;
    const uint32_t rs = (uint32_t)yC * sps->PicWidthInCtbsY + (uint32_t)xC;
    const HevcCtbInfo *n = &s->pstCtb[rs], *c = &s->pstCtb[s->uiCtbAddrRs];
    return HevcSameUnit(s, rs) && n->bDecoded && n->uiSliceAddrRs == c->uiSliceAddrRs;
}

#define NB_LEFT 1
#define NB_UPLEFT 2
#define NB_UP 4
#define NB_UPRIGHT 8

/* Which of the CTBs left, above-left, above and above-right of the current
 * one may be referenced (NB_*), found at the CTB's first intra block (after
 * any wavefront wait) and kept for the CTB: none of it changes meanwhile. */
static int NeighbourCtbs(HevcSliceDec *s)
{
    if (s->iNbCtbs < 0)
        s->iNbCtbs = (NeighbourCtbUsable(s, -1, 0) ? NB_LEFT : 0) | (NeighbourCtbUsable(s, -1, -1) ? NB_UPLEFT : 0) |
                     (NeighbourCtbUsable(s, 0, -1) ? NB_UP : 0) | (NeighbourCtbUsable(s, 1, -1) ? NB_UPRIGHT : 0);
    return s->iNbCtbs;
}

/* Availability of the reference units of an intra block, luma position xL,
 * yL and size NL: 2NL/4 left units bottom-up, the corner, 2NL/4 top units
 * (the line order of the kernels), each written once. The slice, tile and
 * decoding order checks are made once per neighbouring CTB (CTBs below are
 * never decoded yet); each unit then reads its 4x4 flags, the top ones
 * eight at a time when only HEVC_BLK_REC is asked. pucAvail has room for
 * 8 entries past the line. */
static void IntraAvailability(HevcSliceDec *s, int xL, int yL, int NL, unsigned uiNeed, uint8_t *pucAvail)
{
    const HevcSps *sps = s->pstSps;
    const int iUnits = NL / 2, iCtb = 1 << sps->CtbLog2SizeY;
    const int iW = (int)sps->pic_width_in_luma_samples, iH = (int)sps->pic_height_in_luma_samples;
    const int bLeftEdge = xL == s->iCtbX, bTopEdge = yL == s->iCtbY;
    const int iNb = bLeftEdge || bTopEdge ? NeighbourCtbs(s) : 0;
    const int bLeft = !bLeftEdge || (iNb & NB_LEFT);
    const int bTop = !bTopEdge || (iNb & NB_UP);
    const int bCorner = bLeftEdge ? (iNb & (bTopEdge ? NB_UPLEFT : NB_LEFT)) : bTopEdge ? (iNb & NB_UP) : 1;
    const int bTopRight = bTopEdge && (iNb & NB_UPRIGHT);
    const int yLim = s->iCtbY + iCtb < iH ? s->iCtbY + iCtb : iH; /* left units below: next CTB row */
    const size_t uiW4 = s->uiW4;
    const uint8_t *pucRow = s->pucBlkFlags + (size_t)(yL >> 2) * uiW4;
    int k0 = 0, k1 = 0; /* units written from the flags, on each side */
    if (xL > 0 && bLeft) {
        const uint8_t *p = pucRow + ((xL - 1) >> 2);
        k1 = (yLim - yL) >> 2 < iUnits ? (yLim - yL) >> 2 : iUnits;
        int k = 0;
        if (uiNeed == HEVC_BLK_REC) {
            /* The units beside the block are decoded before it. */
            static const uint64_t s_ullOnes = 0x0101010101010101ull;
            k = NL >> 2;
            switch (k) {
            case 8: memcpy(pucAvail + iUnits - 8, &s_ullOnes, 8); break;
            case 4: memcpy(pucAvail + iUnits - 4, &s_ullOnes, 4); break;
            case 2: memcpy(pucAvail + iUnits - 2, &s_ullOnes, 2); break;
            default: pucAvail[iUnits - 1] = 1; k = 1; break;
            }
        }
        for (; k < k1; k++)
            pucAvail[iUnits - 1 - k] = (p[(size_t)k * uiW4] & uiNeed) == uiNeed;
    }
    if (k1 < iUnits)
        memset(pucAvail, 0, (size_t)(iUnits - k1));
    pucAvail[iUnits] = xL > 0 && yL > 0 && bCorner && ((pucRow - uiW4)[(xL - 1) >> 2] & uiNeed) == uiNeed;
    /* Top units: up to the picture's right edge, those right of the CTB
     * (xSplit) belonging to the above-right CTB. */
    uint8_t *pucTop = pucAvail + iUnits + 1;
    k0 = k1 = 0;
    if (yL > 0 && (bTop || bTopRight)) {
        const int kIn = (iW - xL + 3) >> 2 < iUnits ? (iW - xL + 3) >> 2 : iUnits;
        const int kSplit = (s->iCtbX + iCtb - xL) >> 2 < kIn ? (s->iCtbX + iCtb - xL) >> 2 : kIn;
        k0 = bTop ? 0 : kSplit;
        k1 = bTopRight ? kIn : kSplit;
        const uint8_t *p = pucRow - uiW4 + (xL >> 2);
        int k = k0;
        if (uiNeed == HEVC_BLK_REC) {
            /* Bit 1 of each flag byte to bit 0: eight 0/1 entries at once.
             * Never past k1: other threads may be writing the flags there. */
            for (; k + 8 <= k1; k += 8) {
                uint64_t u;
                memcpy(&u, p + k, sizeof(u));
                u = (u >> 1) & 0x0101010101010101ull;
                memcpy(pucTop + k, &u, sizeof(u));
            }
        }
        for (; k < k1; k++)
            pucTop[k] = (p[k] & uiNeed) == uiNeed;
    }
    if (k0)
        memset(pucTop, 0, (size_t)k0);
    if (k1 < iUnits)
        memset(pucTop + k1, 0, (size_t)(iUnits - k1));
}

#define PIXEL uint8_t
#define FN(x) x##_8
#define DSP stDsp8
#define DEPTH 8
#include "hevc_recon_tmpl.h"
#undef PIXEL
#undef FN
#undef DSP
#undef DEPTH
#define PIXEL uint16_t
#define FN(x) x##_10
#define DSP stDsp10
#define DEPTH 10
#include "hevc_recon_tmpl.h"
#undef PIXEL
#undef FN
#undef DSP
#undef DEPTH

void HevcReconSelect(HevcSliceDec *s)
{
    s->pfnPredIntra = s->bHighDepth ? PredIntra_10 : PredIntra_8;
    s->pfnAddCoeffs = s->bHighDepth ? AddCoeffs_10 : AddCoeffs_8;
    s->pfnPutPcm = s->bHighDepth ? PutPcm_10 : PutPcm_8;
    s->pfnPredInter = s->bHighDepth ? PredInter_10 : PredInter_8;
    s->pfnMarkRun = HevcMarkRun;
    s->pfnPredUnit = HevcPredictionUnit;
    s->pfnColMotion = HevcStoreColMotion;
}

void HevcPredIntra(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode)
{
    const int N = 1 << iLog2Size;
    const int xL = cIdx ? 2 * x0 : x0, yL = cIdx ? 2 * y0 : y0, NL = cIdx ? 2 * N : N;
    uint8_t aucAvail[2 * 16 + 1 + 8];
    /* Constrained intra prediction: only intra neighbours are references. */
    const unsigned uiNeed = HEVC_BLK_REC | (s->pstPps->constrained_intra_pred_flag ? HEVC_BLK_INTRA : 0);
    (void)pstDec;
    IntraAvailability(s, xL, yL, NL, uiNeed, aucAvail);
    s->pfnPredIntra(s, x0, y0, iLog2Size, cIdx, iMode, aucAvail);
}
