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
    return HevcSameTile(s, rs) && n->bDecoded && n->uiSliceAddrRs == c->uiSliceAddrRs;
}

/* Availability of the reference units of an intra block, luma position xL,
 * yL and size NL: 2NL/4 left units bottom-up, the corner, 2NL/4 top units
 * (the line order of the kernels). The slice, tile and decoding order checks
 * are made once per neighbouring CTB (left, above-left, above, above-right;
 * CTBs below are never decoded yet); each unit then reads its 4x4 flags. */
static void IntraAvailability(const HevcSliceDec *s, int xL, int yL, int NL, unsigned uiNeed, uint8_t *pucAvail)
{
    const HevcSps *sps = s->pstSps;
    const int iUnits = NL / 2, iCtb = 1 << sps->CtbLog2SizeY;
    const int iW = (int)sps->pic_width_in_luma_samples, iH = (int)sps->pic_height_in_luma_samples;
    const int bLeftEdge = xL == s->iCtbX, bTopEdge = yL == s->iCtbY;
    const int bLeft = !bLeftEdge || NeighbourCtbUsable(s, -1, 0);
    const int bTop = !bTopEdge || NeighbourCtbUsable(s, 0, -1);
    const int bCorner = bLeftEdge || bTopEdge ? NeighbourCtbUsable(s, -bLeftEdge, -bTopEdge) : 1;
    const int bTopRight = bTopEdge && NeighbourCtbUsable(s, 1, -1);
    const int yLim = s->iCtbY + iCtb < iH ? s->iCtbY + iCtb : iH; /* left units below: next CTB row */
    const int xSplit = s->iCtbX + iCtb;                              /* top units right of it: next CTB */
    const size_t uiW4 = s->uiW4;
    const uint8_t *pucRow = s->pucBlkFlags + (size_t)(yL >> 2) * uiW4;
    memset(pucAvail, 0, (size_t)(2 * iUnits + 1));
    if (bLeft) {
        const uint8_t *p = pucRow + ((xL - 1) >> 2);
        for (int k = 0; k < iUnits && yL + 4 * k < yLim; k++)
            pucAvail[iUnits - 1 - k] = (p[(size_t)k * uiW4] & uiNeed) == uiNeed;
    }
    if (xL > 0 && yL > 0 && bCorner)
        pucAvail[iUnits] = ((pucRow - uiW4)[(xL - 1) >> 2] & uiNeed) == uiNeed;
    if (yL > 0 && (bTop || bTopRight)) {
        const uint8_t *p = pucRow - uiW4 + (xL >> 2);
        for (int k = 0; k < iUnits; k++) {
            const int x = xL + 4 * k;
            if (x >= iW)
                break;
            pucAvail[iUnits + 1 + k] = (x < xSplit ? bTop : bTopRight) && (p[k] & uiNeed) == uiNeed;
        }
    }
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
}

void HevcPredIntra(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode)
{
    const int N = 1 << iLog2Size;
    const int xL = cIdx ? 2 * x0 : x0, yL = cIdx ? 2 * y0 : y0, NL = cIdx ? 2 * N : N;
    uint8_t aucAvail[2 * 16 + 1];
    /* Constrained intra prediction: only intra neighbours are references. */
    const unsigned uiNeed = HEVC_BLK_REC | (s->pstPps->constrained_intra_pred_flag ? HEVC_BLK_INTRA : 0);
    (void)pstDec;
    IntraAvailability(s, xL, yL, NL, uiNeed, aucAvail);
    s->pfnPredIntra(s, x0, y0, iLog2Size, cIdx, iMode, aucAvail);
}
