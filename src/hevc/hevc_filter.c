/* Picture-level in-loop filters: deblocking of the edges
 * marked while decoding (all vertical edges of the picture, then all
 * horizontal ones, H.265 8.7.2) and SAO from a copy of the deblocked
 * picture (H.265 8.7.3). The kernels come from the per-depth tables. */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"

static uint8_t *PlaneAt(const HevcPic *p, uint8_t *pucPlane, int cIdx, int x, int y, int bHigh)
{
    size_t uiOff = (size_t)y * p->auiStride[cIdx] + (size_t)x;
    return pucPlane + (bHigh ? 2 * uiOff : uiOff);
}

static void ChromaEdge(HevcSliceDec *s, uint8_t *pC, ptrdiff_t iStride, int iDir, int iTc, int bNoP, int bNoQ)
{
    if (s->bHighDepth)
        s->stDsp10.pfnDeblockChroma[iDir]((uint16_t *)pC, iStride, iTc, bNoP, bNoQ);
    else
        s->stDsp8.pfnDeblockChroma[iDir](pC, iStride, iTc, bNoP, bNoQ);
}

/* Two chroma lines across the edge at pC: the 4-line kernel runs on a copy
 * of p1..q1 of those lines, and the two are copied back. */
static void ChromaHalfEdge(HevcSliceDec *s, uint8_t *pC, ptrdiff_t iStride, int iDir, int iTc, int bNoP, int bNoQ)
{
    const int iBps = s->bHighDepth ? 2 : 1;
    uint8_t aucTmp[4 * 4 * 2];
    memset(aucTmp, 0, sizeof(aucTmp));
    /* Sample k (0..3 = p1 p0 q0 q1) of line l, in the picture and in the
     * copy laid out as the kernel's direction expects with stride 4. */
    for (int l = 0; l < 2; l++)
        for (int k = 0; k < 4; k++) {
            ptrdiff_t iPic = iDir ? (ptrdiff_t)(k - 2) * iStride + l : (ptrdiff_t)l * iStride + (k - 2);
            int iCopy = iDir ? k * 4 + l : l * 4 + k;
            memcpy(aucTmp + iCopy * iBps, pC + iPic * iBps, (size_t)iBps);
        }
    ChromaEdge(s, aucTmp + (iDir ? 8 : 2) * iBps, 4, iDir, iTc, bNoP, bNoQ);
    for (int l = 0; l < 2; l++)
        for (int k = 1; k < 3; k++) {
            ptrdiff_t iPic = iDir ? (ptrdiff_t)(k - 2) * iStride + l : (ptrdiff_t)l * iStride + (k - 2);
            int iCopy = iDir ? k * 4 + l : l * 4 + k;
            memcpy(pC + iPic * iBps, aucTmp + iCopy * iBps, (size_t)iBps);
        }
}

static void DeblockDir(HevcSliceDec *s, int iDir)
{
    const HevcSps *sps = s->pstSps;
    const HevcPps *pps = s->pstPps;
    HevcPic *pic = s->pstPic;
    const int bHigh = s->bHighDepth;
    const uint8_t *pucBs = iDir ? s->pucBsH : s->pucBsV;
    const uint32_t W4 = s->uiW4;
    const ptrdiff_t iStrideY = (ptrdiff_t)pic->auiStride[0];
    /* Thresholds change only with the QP pair and the slice: keep the last. */
    int iLastQpL = -1000, iLastBs = 0, iBeta = 0, iTc = 0, aiTcC[3] = {0, 0, 0};
    const HevcCtbInfo *pstLastCtb = NULL;
    /* Edges lie on the 8x8 grid only: every other 4x4 column (vertical
     * edges) or row (horizontal edges). */
    for (uint32_t y4 = 0; y4 < s->uiH4; y4 += iDir ? 2 : 1) {
        const uint8_t *pucRow = pucBs + (size_t)y4 * W4;
        for (uint32_t x4 = 0; x4 < W4; x4 += iDir ? 1 : 2) {
            int iBs = pucRow[x4];
            if (!iBs)
                continue;
            const int x = (int)x4 * 4, y = (int)y4 * 4;
            const size_t q = (size_t)y4 * W4 + x4, p = iDir ? q - W4 : q - 1;
            const int iQpQ = s->pcQpY[q], iQpP = s->pcQpY[p];
            const int iQpL = (iQpQ + iQpP + 1) >> 1;
            const uint32_t rs = ((uint32_t)y >> sps->CtbLog2SizeY) * sps->PicWidthInCtbsY + ((uint32_t)x >> sps->CtbLog2SizeY);
            const HevcCtbInfo *ctb = &s->pstCtb[rs];
            if (iQpL != iLastQpL || ctb != pstLastCtb || iBs != iLastBs) {
                iBeta = HevcDeblockBeta(iQpL, ctb->cBetaOffsetDiv2, sps->bit_depth_luma);
                iTc = HevcDeblockTc(iQpL, iBs, ctb->cTcOffsetDiv2, sps->bit_depth_luma);
                for (int c = 1; c <= 2; c++) {
                    int iQpi = iQpL + (c == 1 ? pps->pps_cb_qp_offset : pps->pps_cr_qp_offset);
                    aiTcC[c] = HevcDeblockTc(HevcChromaQp(iQpi), 2, ctb->cTcOffsetDiv2, sps->bit_depth_chroma);
                }
                iLastQpL = iQpL;
                iLastBs = iBs;
                pstLastCtb = ctb;
            }
            const int bNoP = (s->pucBlkFlags[p] & HEVC_BLK_NOFILT) != 0;
            const int bNoQ = (s->pucBlkFlags[q] & HEVC_BLK_NOFILT) != 0;
            uint8_t *pY = PlaneAt(pic, pic->apucPlane[0], 0, x, y, bHigh);
            if (bHigh)
                s->stDsp10.pfnDeblockLuma[iDir]((uint16_t *)pY, iStrideY, iBeta, iTc, bNoP, bNoQ);
            else
                s->stDsp8.pfnDeblockLuma[iDir](pY, iStrideY, iBeta, iTc, bNoP, bNoQ);
            /* Chroma: bS 2 edges on the 8x8 chroma grid; each luma segment
             * governs 2 chroma lines with its own bS and QP. Two halves that
             * agree go to the kernel as one 4-line segment. */
            if (iBs != 2 || ((iDir ? y : x) & 15))
                continue;
            const int bSecond = ((iDir ? x : y) & 7) != 0;
            const size_t uiStep = iDir ? 1 : W4;
            const size_t o = bSecond ? q - uiStep : q + uiStep; /* the other half */
            const int bOtherInPic = bSecond || (iDir ? x4 + 1 < W4 : y4 + 1 < s->uiH4);
            const int bPair = bOtherInPic && pucBs[o] == 2 &&
                              ((s->pcQpY[o] + s->pcQpY[iDir ? o - W4 : o - 1] + 1) >> 1) == iQpL &&
                              (s->pucBlkFlags[o] & HEVC_BLK_NOFILT) == (s->pucBlkFlags[q] & HEVC_BLK_NOFILT) &&
                              (s->pucBlkFlags[iDir ? o - W4 : o - 1] & HEVC_BLK_NOFILT) ==
                                  (s->pucBlkFlags[p] & HEVC_BLK_NOFILT);
            if (bPair && bSecond)
                continue; /* filtered with the first half */
            for (int c = 1; c <= 2; c++) {
                const ptrdiff_t iStrideC = (ptrdiff_t)pic->auiStride[c];
                uint8_t *pC = PlaneAt(pic, pic->apucPlane[c], c, x >> 1, y >> 1, bHigh);
                if (bPair)
                    ChromaEdge(s, pC, iStrideC, iDir, aiTcC[c], bNoP, bNoQ);
                else
                    ChromaHalfEdge(s, pC, iStrideC, iDir, aiTcC[c], bNoP, bNoQ);
            }
        }
    }
}

void HevcDeblockPicture(HW265D_DEC *pstDec, HevcSliceDec *s)
{
    (void)pstDec;
    DeblockDir(s, 0);
    DeblockDir(s, 1);
}

/* Whether CTB n's deblocked samples may serve as SAO neighbours of CTB c
 * (H.265 8.7.3: slice and tile boundaries). */
static int SaoNeighbour(const HW265D_DEC *pstDec, const HevcSliceDec *s, uint32_t c, int nx, int ny)
{
    const HevcSps *sps = s->pstSps;
    if (nx < 0 || ny < 0 || nx >= (int)sps->PicWidthInCtbsY || ny >= (int)sps->PicHeightInCtbsY)
        return 0;
    uint32_t n = (uint32_t)ny * sps->PicWidthInCtbsY + (uint32_t)nx;
    const HevcCtbInfo *pc = &s->pstCtb[c], *pn = &s->pstCtb[n];
    if (!pn->bDecoded)
        return 0;
    if (pc->uiSliceAddrRs != pn->uiSliceAddrRs) {
        /* The later slice's flag governs the boundary. */
        int bNeighbourFirst = pstDec->puiCtbAddrRsToTs[n] < pstDec->puiCtbAddrRsToTs[c];
        if (!(bNeighbourFirst ? pc->bLfAcrossSlices : pn->bLfAcrossSlices))
            return 0;
    }
    if (pc->usTileId != pn->usTileId && !s->pstPps->loop_filter_across_tiles_enabled_flag)
        return 0;
    return 1;
}

static void CopyPlanes(HevcSliceDec *s)
{
    const HevcPic *p = s->pstPic;
    const int iBps = s->bHighDepth ? 2 : 1;
    for (int c = 0; c < 3; c++) {
        int w = (int)(c ? p->uiWidth / 2 : p->uiWidth), h = (int)(c ? p->uiHeight / 2 : p->uiHeight);
        uint8_t *pucDst = s->pucSaoCopy + (p->apucPlane[c] - p->pucSamples);
        for (int y = 0; y < h; y++) {
            size_t uiOff = (size_t)y * p->auiStride[c] * iBps;
            memcpy(pucDst + uiOff, p->apucPlane[c] + uiOff, (size_t)w * iBps);
        }
    }
}

/* Samples that SAO must leave alone: pcm with pcm_loop_filter_disabled_flag
 * and transquant-bypass blocks get their deblocked (= unfiltered) values back. */
static void RestoreNoFilter(HevcSliceDec *s, int c, int xCtb, int yCtb, int iCtbSize)
{
    const HevcSps *sps = s->pstSps;
    const HevcPic *p = s->pstPic;
    const int iBps = s->bHighDepth ? 2 : 1, iSh = c ? 1 : 0;
    int xEnd = xCtb + iCtbSize, yEnd = yCtb + iCtbSize;
    if (xEnd > (int)sps->pic_width_in_luma_samples)
        xEnd = (int)sps->pic_width_in_luma_samples;
    if (yEnd > (int)sps->pic_height_in_luma_samples)
        yEnd = (int)sps->pic_height_in_luma_samples;
    for (int y = yCtb; y < yEnd; y += 4)
        for (int x = xCtb; x < xEnd; x += 4) {
            if (!(s->pucBlkFlags[(size_t)(y >> 2) * s->uiW4 + (x >> 2)] & HEVC_BLK_NOFILT))
                continue;
            int n = 4 >> iSh;
            for (int k = 0; k < n; k++) {
                size_t uiOff = ((size_t)((y >> iSh) + k) * p->auiStride[c] + (size_t)(x >> iSh)) * iBps;
                uint8_t *pucCopy = s->pucSaoCopy + (p->apucPlane[c] - p->pucSamples);
                memcpy(p->apucPlane[c] + uiOff, pucCopy + uiOff, (size_t)n * iBps);
            }
        }
}

void HevcSaoPicture(HW265D_DEC *pstDec, HevcSliceDec *s)
{
    const HevcSps *sps = s->pstSps;
    HevcPic *pic = s->pstPic;
    const int bHigh = s->bHighDepth;
    const int bRestore = sps->pcm_loop_filter_disabled_flag || s->pstPps->transquant_bypass_enabled_flag;
    CopyPlanes(s);
    const uint32_t W = sps->PicWidthInCtbsY;
    const int iCtb = (int)sps->CtbSizeY;
    for (uint32_t rs = 0; rs < sps->PicSizeInCtbsY; rs++) {
        const HevcCtbInfo *ctb = &s->pstCtb[rs];
        if (!ctb->bDecoded)
            continue;
        const int rx = (int)(rs % W), ry = (int)(rs / W);
        unsigned uiAvail = 0;
        static const int s_aiDx[8] = {-1, 1, 0, 0, -1, 1, -1, 1};
        static const int s_aiDy[8] = {0, 0, -1, 1, -1, -1, 1, 1};
        static const unsigned s_auiBit[8] = {HEVC_SAO_LEFT, HEVC_SAO_RIGHT, HEVC_SAO_TOP, HEVC_SAO_BOTTOM,
                                             HEVC_SAO_TOP_LEFT, HEVC_SAO_TOP_RIGHT, HEVC_SAO_BOTTOM_LEFT,
                                             HEVC_SAO_BOTTOM_RIGHT};
        int bAvailDone = 0;
        for (int c = 0; c < 3; c++) {
            int iType = ctb->stSao.aucType[c];
            if (!iType || !(c ? ctb->bSaoChroma : ctb->bSaoLuma))
                continue;
            const int iSh = c ? 1 : 0;
            const int x0 = (rx * iCtb) >> iSh, y0 = (ry * iCtb) >> iSh;
            const int iPw = (int)(sps->pic_width_in_luma_samples >> iSh), iPh = (int)(sps->pic_height_in_luma_samples >> iSh);
            int w = (iCtb >> iSh), h = (iCtb >> iSh);
            if (x0 + w > iPw)
                w = iPw - x0;
            if (y0 + h > iPh)
                h = iPh - y0;
            const ptrdiff_t iStride = (ptrdiff_t)pic->auiStride[c];
            uint8_t *pDst = PlaneAt(pic, pic->apucPlane[c], c, x0, y0, bHigh);
            const uint8_t *pSrc = PlaneAt(pic, s->pucSaoCopy + (pic->apucPlane[c] - pic->pucSamples), c, x0, y0, bHigh);
            if (iType == 1) {
                if (bHigh)
                    s->stDsp10.pfnSaoBand((uint16_t *)pDst, iStride, (const uint16_t *)pSrc, iStride, w, h,
                                          ctb->stSao.asOffset[c], ctb->stSao.aucBandPos[c]);
                else
                    s->stDsp8.pfnSaoBand(pDst, iStride, pSrc, iStride, w, h, ctb->stSao.asOffset[c],
                                         ctb->stSao.aucBandPos[c]);
            } else {
                if (!bAvailDone) {
                    for (int k = 0; k < 8; k++)
                        if (SaoNeighbour(pstDec, s, rs, rx + s_aiDx[k], ry + s_aiDy[k]))
                            uiAvail |= s_auiBit[k];
                    bAvailDone = 1;
                }
                if (bHigh)
                    s->stDsp10.pfnSaoEdge((uint16_t *)pDst, iStride, (const uint16_t *)pSrc, iStride, w, h,
                                          ctb->stSao.asOffset[c], ctb->stSao.aucEoClass[c], uiAvail);
                else
                    s->stDsp8.pfnSaoEdge(pDst, iStride, pSrc, iStride, w, h, ctb->stSao.asOffset[c],
                                         ctb->stSao.aucEoClass[c], uiAvail);
            }
            if (bRestore)
                RestoreNoFilter(s, c, rx * iCtb, ry * iCtb, iCtb);
        }
    }
}
