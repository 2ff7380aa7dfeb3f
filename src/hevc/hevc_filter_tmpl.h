/* In-loop filter rows written once per sample type: hevc_filter.c includes
 * this file twice, with PIXEL uint8_t / FN(x) x##_8 / DSP stDsp8 and with
 * PIXEL uint16_t / FN(x) x##_10 / DSP stDsp10. */

static void FN(ChromaHalfEdge)(HevcSliceDec *s, PIXEL *pC, ptrdiff_t iStride, int iDir, int iTc, int bNoP, int bNoQ)
{
    /* Two chroma lines across the edge at pC: the 4-line kernel runs on a
     * copy of p1..q1 of those lines (sample k = p1 p0 q0 q1 of line l, laid
     * out as the kernel's direction expects with stride 4), and the two
     * lines are copied back. */
    PIXEL aTmp[4 * 4];
    memset(aTmp, 0, sizeof(aTmp));
    for (int l = 0; l < 2; l++)
        for (int k = 0; k < 4; k++) {
            ptrdiff_t iPic = iDir ? (ptrdiff_t)(k - 2) * iStride + l : (ptrdiff_t)l * iStride + (k - 2);
            aTmp[iDir ? k * 4 + l : l * 4 + k] = pC[iPic];
        }
    s->DSP.pfnDeblockChroma[iDir](aTmp + (iDir ? 8 : 2), 4, iTc, bNoP, bNoQ);
    for (int l = 0; l < 2; l++)
        for (int k = 1; k < 3; k++) {
            ptrdiff_t iPic = iDir ? (ptrdiff_t)(k - 2) * iStride + l : (ptrdiff_t)l * iStride + (k - 2);
            pC[iPic] = aTmp[iDir ? k * 4 + l : l * 4 + k];
        }
}

/* Chroma of the luma segment at 4x4 (x4, y4), q its index and p the one
 * across the edge: bS 2 edges on the 8x8 chroma grid; each luma segment
 * governs 2 chroma lines with its own bS and QP. Two halves that agree go
 * to the kernel as one 4-line segment. */
static void FN(ChromaSegment)(HevcSliceDec *s, HevcDeblockParams *pd, uint32_t x4, uint32_t y4, int iDir, int iQpL,
                              const HevcCtbInfo *ctb, unsigned uiNoFilt, int bNoP, int bNoQ)
{
    const int x = (int)x4 * 4, y = (int)y4 * 4;
    const uint32_t W4 = s->uiW4;
    const size_t q = (size_t)y4 * W4 + x4, p = iDir ? q - W4 : q - 1;
    const int bSecond = ((iDir ? x : y) & 7) != 0;
    const size_t uiStep = iDir ? 1 : W4;
    const size_t o = bSecond ? q - uiStep : q + uiStep; /* the other half */
    const uint8_t *pucBs = iDir ? s->pucBsH : s->pucBsV;
    const int bOtherInPic = bSecond || (iDir ? x4 + 1 < W4 : y4 + 1 < s->uiH4);
    const int bPair = bOtherInPic && pucBs[o] == 2 &&
                      ((s->pcQpY[o] + s->pcQpY[iDir ? o - W4 : o - 1] + 1) >> 1) == iQpL &&
                      (s->pucBlkFlags[o] & uiNoFilt) == (s->pucBlkFlags[q] & uiNoFilt) &&
                      (s->pucBlkFlags[iDir ? o - W4 : o - 1] & uiNoFilt) == (s->pucBlkFlags[p] & uiNoFilt);
    if (bPair && bSecond)
        return; /* filtered with the first half */
    HevcDeblockChromaParams(s, pd, iQpL, ctb);
    HevcPic *pic = s->pstPic;
    for (int c = 1; c <= 2; c++) {
        const ptrdiff_t iStrideC = (ptrdiff_t)pic->auiStride[c];
        PIXEL *pC = (PIXEL *)pic->apucPlane[c] + (ptrdiff_t)(y >> 1) * iStrideC + (x >> 1);
        if (bPair)
            s->DSP.pfnDeblockChroma[iDir](pC, iStrideC, pd->aiTcC[c], bNoP, bNoQ);
        else
            FN(ChromaHalfEdge)(s, pC, iStrideC, iDir, pd->aiTcC[c], bNoP, bNoQ);
    }
}

/* The edges of one direction whose q side lies in 4x4 rows [y4Begin, y4End).
 * Luma segments go to the kernel two at a time: a vertical edge's segments
 * of 4x4 rows y4 and y4 + 1, a horizontal edge's of columns x4 and x4 + 1. */
static void FN(DeblockRows)(HevcSliceDec *s, uint32_t y4Begin, uint32_t y4End, int iDir)
{
    const HevcSps *sps = s->pstSps;
    const HevcPps *pps = s->pstPps;
    HevcPic *pic = s->pstPic;
    const uint8_t *pucBs = iDir ? s->pucBsH : s->pucBsV;
    const uint32_t W4 = s->uiW4;
    const ptrdiff_t iStrideY = (ptrdiff_t)pic->auiStride[0];
    HevcDeblockParams stParams;
    HevcDeblockParamsReset(&stParams);
    /* Only pcm and transquant bypass blocks carry HEVC_BLK_NOFILT. */
    const unsigned uiNoFilt = sps->pcm_loop_filter_disabled_flag || pps->transquant_bypass_enabled_flag ? HEVC_BLK_NOFILT : 0;
    /* Edges lie on the 8x8 grid only: every other 4x4 column (vertical
     * edges) or row (horizontal edges). Rows start even (CTB rows are). */
    for (uint32_t y4 = y4Begin; y4 < y4End; y4 += 2) {
        const uint8_t *pucRow = pucBs + (size_t)y4 * W4;
        /* vertical edges: is there a second 4x4 row in the range */
        const int bRow2 = !iDir && y4 + 1 < y4End;
        const HevcCtbInfo *pstCtbRow = s->pstCtb + (size_t)((y4 * 4) >> sps->CtbLog2SizeY) * sps->PicWidthInCtbsY;
        PIXEL *pRowY = (PIXEL *)pic->apucPlane[0] + (ptrdiff_t)y4 * 4 * iStrideY;
        for (uint32_t x4 = 0; x4 < W4; x4 += 2) {
            /* Most segments have bS 0: skip eight 4x4 columns at once. */
            if (!(x4 & 7) && x4 + 8 <= W4) {
                uint64_t u, u2 = 0;
                memcpy(&u, pucRow + x4, sizeof(u));
                if (bRow2)
                    memcpy(&u2, pucRow + W4 + x4, sizeof(u2));
                if (!(u | u2)) {
                    x4 += 6;
                    continue;
                }
            }
            /* segment a at (x4, y4); b the next one along the edge */
            const int bHasB = iDir ? x4 + 1 < W4 : bRow2;
            const size_t qa = (size_t)y4 * W4 + x4, qb = iDir ? qa + 1 : qa + W4;
            const int iBsA = pucBs[qa], iBsB = bHasB ? pucBs[qb] : 0;
            if (!iBsA && !iBsB)
                continue;
            const HevcCtbInfo *ctb = pstCtbRow + ((x4 * 4) >> sps->CtbLog2SizeY);
            int aiBeta[2] = {0, 0}, aiTc[2] = {0, 0}, aiQp[2] = {0, 0};
            unsigned uiNo = 0;
            if (iBsA)
                uiNo = HevcDeblockLumaSegment(s, &stParams, qa, iDir, iBsA, ctb, uiNoFilt, &aiBeta[0], &aiTc[0], &aiQp[0]);
            if (iBsB)
                uiNo |= HevcDeblockLumaSegment(s, &stParams, qb, iDir, iBsB, ctb, uiNoFilt, &aiBeta[1], &aiTc[1], &aiQp[1])
                        << 2;
            PIXEL *pY = pRowY + x4 * 4;
            if (bHasB)
                s->DSP.pfnDeblockLuma2[iDir](pY, iStrideY, aiBeta[0], aiTc[0], aiBeta[1], aiTc[1], uiNo);
            else
                s->DSP.pfnDeblockLuma[iDir](pY, iStrideY, aiBeta[0], aiTc[0], uiNo & 1, (uiNo >> 1) & 1);
            /* chroma edges lie on the 16x16 luma grid */
            if ((iDir ? y4 : x4) & 3)
                continue;
            if (iBsA == 2 && iBsB == 2 && aiQp[0] == aiQp[1] && (uiNo & 3) == uiNo >> 2) {
                /* the two halves of one chroma segment agree */
                HevcDeblockChromaParams(s, &stParams, aiQp[0], ctb);
                for (int c = 1; c <= 2; c++) {
                    const ptrdiff_t iStrideC = (ptrdiff_t)pic->auiStride[c];
                    PIXEL *pC = (PIXEL *)pic->apucPlane[c] + (ptrdiff_t)y4 * 2 * iStrideC + x4 * 2;
                    s->DSP.pfnDeblockChroma[iDir](pC, iStrideC, stParams.aiTcC[c], uiNo & 1, (uiNo >> 1) & 1);
                }
                continue;
            }
            if (iBsA == 2)
                FN(ChromaSegment)(s, &stParams, x4, y4, iDir, aiQp[0], ctb, uiNoFilt, uiNo & 1, (uiNo >> 1) & 1);
            if (iBsB == 2)
                FN(ChromaSegment)(s, &stParams, iDir ? x4 + 1 : x4, iDir ? y4 : y4 + 1, iDir, aiQp[1], ctb, uiNoFilt,
                                  (uiNo >> 2) & 1, (uiNo >> 3) & 1);
        }
    }
}

/* SAO of CTB row ry from the line buffers: the row's deblocked lines with
 * one line above (saved before the row above was changed) and one below,
 * one column of margin each side. pcm / bypass samples that must stay
 * unfiltered get their deblocked values back. */
static void FN(SaoRow)(HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t ry, HevcSaoLines *L)
{
    HevcPicMaps *m = s->pstMaps;
    const HevcSps *sps = s->pstSps;
    HevcPic *pic = s->pstPic;
    const uint32_t W = sps->PicWidthInCtbsY;
    const int iCtb = (int)sps->CtbSizeY;
    const int bRestore = sps->pcm_loop_filter_disabled_flag || s->pstPps->transquant_bypass_enabled_flag;
    int bAny = 0;
    for (uint32_t rx = 0; rx < W && !bAny; rx++) {
        const HevcCtbInfo *ctb = &s->pstCtb[ry * W + rx];
        bAny = ctb->bDecoded && ((ctb->bSaoLuma && ctb->stSao.aucType[0]) ||
                                 (ctb->bSaoChroma && (ctb->stSao.aucType[1] || ctb->stSao.aucType[2])));
    }
    if (!bAny) {
        /* The picture keeps this row's deblocked lines for the next row. */
        L->bPrevValid = 0;
        return;
    }
    PIXEL *apBuf[3];
    ptrdiff_t aiBufStride[3];
    for (int c = 0; c < 3; c++) {
        const int iSh = c ? 1 : 0;
        const int iPw = (int)(sps->pic_width_in_luma_samples >> iSh), iPh = (int)(sps->pic_height_in_luma_samples >> iSh);
        const int y0 = (int)ry * (iCtb >> iSh);
        const int iRows = y0 + (iCtb >> iSh) > iPh ? iPh - y0 : iCtb >> iSh;
        const ptrdiff_t iStride = (ptrdiff_t)pic->auiStride[c];
        const PIXEL *pPlane = (const PIXEL *)pic->apucPlane[c];
        PIXEL *pBuf = (PIXEL *)L->apucLines[c];
        const ptrdiff_t iBs = (ptrdiff_t)(m->auiSaoStride[c] / sizeof(PIXEL));
        const size_t uiLine = (size_t)(iPw + 2) * sizeof(PIXEL);
        /* Lines y0 .. y0 + iRows (the first line of the row below, or the
         * bottom padding row) from the picture, in the columns of the CTBs
         * this plane applies SAO to and one more on each side: the only
         * samples SAO reads from the buffer. Runs of such CTBs go as one. */
        const int iCw = iCtb >> iSh;
        int iRun = -1; /* first column of the current run, buffer index (picture column + 1) */
        for (uint32_t rx = 0; rx <= W; rx++) {
            int bSao = 0;
            if (rx < W) {
                const HevcCtbInfo *ctb = &s->pstCtb[ry * W + rx];
                bSao = ctb->bDecoded && ctb->stSao.aucType[c] && (c ? ctb->bSaoChroma : ctb->bSaoLuma);
            }
            if (bSao && iRun < 0)
                iRun = (int)rx * iCw; /* picture column x0 - 1 */
            if (bSao || iRun < 0)
                continue;
            const int iEnd = (int)rx * iCw + 1 < iPw + 1 ? (int)rx * iCw + 1 : iPw + 1; /* column x1 (inclusive), +1 */
            const size_t uiRun = (size_t)(iEnd + 1 - iRun) * sizeof(PIXEL);
            for (int i = 1; i <= iRows; i++)
                memcpy(pBuf + i * iBs + iRun, pPlane + (ptrdiff_t)(y0 - 1 + i) * iStride - 1 + iRun, uiRun);
            /* The line below, as deblocking left it: kept aside when another
             * thread applies SAO to that row meanwhile. */
            const PIXEL *pBelow = L->apucBelow[c] && ry == L->uiBelowRow
                                      ? (const PIXEL *)L->apucBelow[c]
                                      : pPlane + (ptrdiff_t)(y0 + iRows) * iStride - 1;
            memcpy(pBuf + (iRows + 1) * iBs + iRun, pBelow + iRun, uiRun);
            iRun = -1;
        }
        if (L->bPrevValid)
            memcpy(pBuf, L->apucPrev[c], uiLine);
        else
            memcpy(pBuf, pPlane + (ptrdiff_t)(y0 - 1) * iStride - 1, uiLine);
        /* The row's last line as deblocking left it, for the row below. */
        memcpy(L->apucPrev[c], pPlane + (ptrdiff_t)(y0 + iRows - 1) * iStride - 1, uiLine);
        apBuf[c] = pBuf + iBs + 1; /* sample (0, y0) */
        aiBufStride[c] = iBs;
    }
    L->bPrevValid = 1;

    static const int s_aiDx[8] = {-1, 1, 0, 0, -1, 1, -1, 1};
    static const int s_aiDy[8] = {0, 0, -1, 1, -1, -1, 1, 1};
    static const unsigned s_auiBit[8] = {HEVC_SAO_LEFT,     HEVC_SAO_RIGHT,     HEVC_SAO_TOP,        HEVC_SAO_BOTTOM,
                                         HEVC_SAO_TOP_LEFT, HEVC_SAO_TOP_RIGHT, HEVC_SAO_BOTTOM_LEFT, HEVC_SAO_BOTTOM_RIGHT};
    for (uint32_t rx = 0; rx < W; rx++) {
        const uint32_t rs = ry * W + rx;
        const HevcCtbInfo *ctb = &s->pstCtb[rs];
        if (!ctb->bDecoded)
            continue;
        unsigned uiAvail = 0;
        int bAvailDone = 0;
        for (int c = 0; c < 3; c++) {
            int iType = ctb->stSao.aucType[c];
            if (!iType || !(c ? ctb->bSaoChroma : ctb->bSaoLuma))
                continue;
            const int iSh = c ? 1 : 0;
            const int x0 = ((int)rx * iCtb) >> iSh, y0 = ((int)ry * iCtb) >> iSh;
            const int iPw = (int)(sps->pic_width_in_luma_samples >> iSh), iPh = (int)(sps->pic_height_in_luma_samples >> iSh);
            const int w = x0 + (iCtb >> iSh) > iPw ? iPw - x0 : iCtb >> iSh;
            const int h = y0 + (iCtb >> iSh) > iPh ? iPh - y0 : iCtb >> iSh;
            const ptrdiff_t iStride = (ptrdiff_t)pic->auiStride[c];
            PIXEL *pDst = (PIXEL *)pic->apucPlane[c] + (ptrdiff_t)y0 * iStride + x0;
            const PIXEL *pSrc = apBuf[c] + x0;
            if (iType == 1) {
                s->DSP.pfnSaoBand(pDst, iStride, pSrc, aiBufStride[c], w, h, ctb->stSao.asOffset[c],
                                  ctb->stSao.aucBandPos[c]);
            } else {
                if (!bAvailDone) {
                    for (int k = 0; k < 8; k++)
                        if (SaoNeighbour(pstDec, s, rs, (int)rx + s_aiDx[k], (int)ry + s_aiDy[k]))
                            uiAvail |= s_auiBit[k];
                    bAvailDone = 1;
                }
                s->DSP.pfnSaoEdge(pDst, iStride, pSrc, aiBufStride[c], w, h, ctb->stSao.asOffset[c],
                                  ctb->stSao.aucEoClass[c], uiAvail);
            }
            if (!bRestore)
                continue;
            for (int y = 0; y < h << iSh; y += 4)
                for (int x = 0; x < w << iSh; x += 4) {
                    const int xl = (x0 << iSh) + x, yl = (y0 << iSh) + y;
                    if (!(s->pucBlkFlags[(size_t)(yl >> 2) * s->uiW4 + (xl >> 2)] & HEVC_BLK_NOFILT))
                        continue;
                    const int n = 4 >> iSh;
                    for (int k = 0; k < n; k++)
                        memcpy(pDst + (ptrdiff_t)((y >> iSh) + k) * iStride + (x >> iSh),
                               pSrc + (ptrdiff_t)((y >> iSh) + k) * aiBufStride[c] + (x >> iSh), (size_t)n * sizeof(PIXEL));
                }
        }
    }
}

/* Fills the plane borders beside CTB row ry with its edge samples, and the
 * borders above / below the picture at the first / last row, so motion
 * compensation reads blocks within the padding directly. */
static void FN(PadRow)(HevcSliceDec *s, uint32_t ry)
{
    const HevcSps *sps = s->pstSps;
    HevcPic *pic = s->pstPic;
    const int iCtb = (int)sps->CtbSizeY;
    for (int c = 0; c < 3; c++) {
        const int iSh = c ? 1 : 0, iPadX = HEVC_PAD_X >> iSh, iPadY = HEVC_PAD_Y >> iSh;
        const int iPw = (int)(sps->pic_width_in_luma_samples >> iSh), iPh = (int)(sps->pic_height_in_luma_samples >> iSh);
        const int y0 = (int)ry * (iCtb >> iSh);
        const int y1 = y0 + (iCtb >> iSh) > iPh ? iPh : y0 + (iCtb >> iSh);
        const ptrdiff_t iStride = (ptrdiff_t)pic->auiStride[c];
        PIXEL *pPlane = (PIXEL *)pic->apucPlane[c];
        s->DSP.pfnPadRows(pPlane + (ptrdiff_t)y0 * iStride, iStride, iPw, y1 - y0, iPadX);
        const size_t uiLine = (size_t)(iPw + 2 * iPadX) * sizeof(PIXEL);
        if (y0 == 0)
            for (int y = 1; y <= iPadY; y++)
                memcpy(pPlane - (ptrdiff_t)y * iStride - iPadX, pPlane - iPadX, uiLine);
        if (y1 == iPh)
            for (int y = 0; y < iPadY; y++)
                memcpy(pPlane + (ptrdiff_t)(iPh + y) * iStride - iPadX, pPlane + (ptrdiff_t)(iPh - 1) * iStride - iPadX,
                       uiLine);
    }
}
