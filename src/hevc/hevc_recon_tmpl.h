/* Sample work of intra and inter blocks written once per sample type:
 * hevc_recon.c includes this file twice, with PIXEL uint8_t / FN(x) x##_8 /
 * DSP stDsp8 / DEPTH 8 and with PIXEL uint16_t / FN(x) x##_10 / DSP stDsp10 /
 * DEPTH 10 (the kernel table's depth). HevcSliceDecAttach picks one set per
 * picture, so no call below asks for the bit depth. */

static PIXEL *FN(SampleAt)(const HevcSliceDec *s, int cIdx, int x, int y)
{
    const HevcPic *p = s->pstPic;
    return (PIXEL *)p->apucPlane[cIdx] + (size_t)y * p->auiStride[cIdx] + (size_t)x;
}

static void FN(PredIntra)(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode, const uint8_t *pucAvail)
{
    const int N = 1 << iLog2Size;
    const ptrdiff_t iStride = (ptrdiff_t)s->pstPic->auiStride[cIdx];
    const int bEdge = cIdx == 0 && N < 32;
    PIXEL *pDst = FN(SampleAt)(s, cIdx, x0, y0);
    PIXEL aLine[HEVC_INTRA_LINE_ALLOC];
    PIXEL *pRef = aLine + HEVC_INTRA_LINE_PAD + 2 * N;
    s->DSP.pfnIntraRefFill(aLine + HEVC_INTRA_LINE_PAD, pDst, iStride, iLog2Size, pucAvail, cIdx ? 1 : 2);
    if (cIdx == 0 && HevcIntraFilterFlag(iMode, iLog2Size))
        s->DSP.pfnIntraSmooth(pRef, iLog2Size, s->pstSps->strong_intra_smoothing_enabled_flag);
    if (iMode == 0)
        s->DSP.pfnPredPlanar[iLog2Size - 2](pDst, iStride, pRef);
    else if (iMode == 1)
        s->DSP.pfnPredDc[iLog2Size - 2](pDst, iStride, pRef, bEdge);
    else
        s->DSP.pfnPredAngular[iLog2Size - 2](pDst, iStride, pRef, iMode, bEdge);
}

static void FN(AddCoeffs)(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iQp, int bTransformSkip,
                          int bIdst)
{
    int16_t *psCoeff = s->psCoeff;
    const int iSize = iLog2Size - 2;
    const ptrdiff_t iStride = (ptrdiff_t)s->pstPic->auiStride[cIdx];
    PIXEL *pDst = FN(SampleAt)(s, cIdx, x0, y0);
    if (!s->bTransquantBypass) {
        /* Flat scaling for transform-skipped blocks above 4x4 (H.265 8.6.4.1). */
        const uint8_t *pucScale = NULL;
        if (s->bScaling && !(bTransformSkip && iLog2Size > 2))
            pucScale = s->aaucScale[iSize][cIdx + (s->bCuIntra ? 0 : 3)];
        if (s->bDcOnly && !bTransformSkip && !bIdst) {
            /* A lone DC coefficient: scaled here (H.265 8.6.3), and its flat
             * residual added without the inverse transform. */
            const int iBdShift = DEPTH + iLog2Size - 5; /* the table's depth, as pfnDequant */
            const int64_t m = pucScale ? pucScale[0] : 16;
            int64_t v = ((int64_t)psCoeff[0] * m * ((int64_t)g_aucHevcLevelScale[iQp % 6] << (iQp / 6)) +
                         ((int64_t)1 << (iBdShift - 1))) >> iBdShift;
            v = v < -32768 ? -32768 : v > 32767 ? 32767 : v;
            psCoeff[0] = 0; /* the block is all zero again */
            s->iCoeffDirty = 0;
            s->DSP.pfnIdctDcAdd[iSize](pDst, iStride, (int)v);
            return;
        }
        s->DSP.pfnDequant(psCoeff, iLog2Size, iQp, pucScale);
        if (bTransformSkip)
            s->DSP.pfnTransformSkip[iSize](psCoeff);
        else if (bIdst)
            s->DSP.pfnIdst4(psCoeff);
        else
            s->DSP.pfnIdct[iSize](psCoeff);
    }
    s->DSP.pfnAddResidual[iSize](pDst, iStride, psCoeff);
}

static void FN(PutPcm)(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, const uint16_t *pusSamples, int iShift)
{
    const int N = 1 << iLog2Size;
    for (int y = 0; y < N; y++) {
        PIXEL *pRow = FN(SampleAt)(s, cIdx, x0, y0 + y);
        for (int x = 0; x < N; x++)
            pRow[x] = (PIXEL)((unsigned)pusSamples[y * N + x] << iShift);
    }
}

/* Pointer to the reference block whose top-left integer sample is (x, y) for
 * a w x h block filtered with taps reaching iBefore samples before and
 * iAfter after (plus the kernels' tail loads): into the picture when it
 * lies inside the picture or its filled border, otherwise into the edge
 * buffer holding the clamped samples (H.265 8-228/8-229). */
static const PIXEL *FN(RefBlock)(HevcSliceDec *s, const HevcPic *ref, int cIdx, int x, int y, int w, int h,
                                 int iBefore, int iAfter, ptrdiff_t *piStride)
{
    const int iPw = (int)(cIdx ? ref->uiWidth / 2 : ref->uiWidth), iPh = (int)(cIdx ? ref->uiHeight / 2 : ref->uiHeight);
    const ptrdiff_t iStride = (ptrdiff_t)ref->auiStride[cIdx];
    const PIXEL *pPlane = (const PIXEL *)ref->apucPlane[cIdx];
    /* A finished picture's border holds its edge samples (hevc_filter.c). */
    const int bPadded = __atomic_load_n(&ref->bPadded, __ATOMIC_ACQUIRE); /* the tail task may be at it */
    const int iPadX = bPadded ? HEVC_PAD_X >> (cIdx ? 1 : 0) : 0;
    const int iPadY = bPadded ? HEVC_PAD_Y >> (cIdx ? 1 : 0) : 0;
    const int iTail = bPadded ? 12 : 0; /* SIMD tail loads stay inside the border */
    if (x - iBefore >= -iPadX && y - iBefore >= -iPadY && x + w + iAfter + iTail <= iPw + iPadX &&
        y + h + iAfter <= iPh + iPadY) {
        *piStride = iStride;
        return pPlane + (ptrdiff_t)y * iStride + x;
    }
    const int bw = w + iBefore + iAfter, bh = h + iBefore + iAfter;
    const int x0 = x - iBefore;
    PIXEL *pEdge = (PIXEL *)s->pucEdge;
    for (int r = 0; r < bh; r++) {
        int yy = y - iBefore + r;
        yy = yy < 0 ? 0 : yy >= iPh ? iPh - 1 : yy;
        const PIXEL *pRow = pPlane + (ptrdiff_t)yy * iStride;
        for (int c = 0; c < bw; c++) {
            int xx = x0 + c;
            xx = xx < 0 ? 0 : xx >= iPw ? iPw - 1 : xx;
            pEdge[r * bw + c] = pRow[xx];
        }
    }
    *piStride = bw;
    return pEdge + (ptrdiff_t)iBefore * bw + iBefore;
}

/* Interpolates component cIdx from ref into psDst. */
static void FN(Interpolate)(HevcSliceDec *s, const HevcPic *ref, int cIdx, int xPb, int yPb, int w, int h,
                            const int16_t *piMv, int16_t *psDst)
{
    ptrdiff_t iStride;
    const int iW = HevcMcWidthIdx(w);
    if (cIdx == 0) {
        const PIXEL *p = FN(RefBlock)(s, ref, 0, xPb + (piMv[0] >> 2), yPb + (piMv[1] >> 2), w, h, 3, 4, &iStride);
        s->DSP.pfnMcLuma[iW](psDst, p, iStride, h, piMv[0] & 3, piMv[1] & 3);
    } else {
        const PIXEL *p =
            FN(RefBlock)(s, ref, cIdx, xPb / 2 + (piMv[0] >> 3), yPb / 2 + (piMv[1] >> 3), w, h, 1, 2, &iStride);
        s->DSP.pfnMcChroma[iW](psDst, p, iStride, h, piMv[0] & 7, piMv[1] & 7);
    }
}

/* Samples of one prediction block from its references (apRef[l] NULL for
 * an unused list) with the weights of HevcInterWeights. */
static void FN(PredInter)(HevcSliceDec *s, const HevcPic *const *apRef, int xPb, int yPb, int nPbW, int nPbH,
                          const HevcMvField *pstMv)
{
    const int bBi = pstMv->ucPredFlags == 3;
    const int l0 = apRef[0] ? 0 : 1;
    /* Without explicit weights in the slice, the default prediction. */
    const int bExplicit = s->pstSh->slice_type == HEVC_SLICE_P ? s->pstPps->weighted_pred_flag
                                                               : s->pstPps->weighted_bipred_flag;
    for (int c = 0; c < 3; c++) {
        const int w = c ? nPbW / 2 : nPbW, h = c ? nPbH / 2 : nPbH;
        const int iW = HevcMcWidthIdx(w);
        for (int l = 0; l < 2; l++)
            if (apRef[l])
                FN(Interpolate)(s, apRef[l], c, xPb, yPb, w, h, pstMv->aiMv[l], s->psPred[l]);
        const ptrdiff_t iStride = (ptrdiff_t)s->pstPic->auiStride[c];
        PIXEL *pDst = FN(SampleAt)(s, c, c ? xPb / 2 : xPb, c ? yPb / 2 : yPb);
        int aiW[2], aiO[2], iLog2Wd;
        if (!bExplicit || HevcInterWeights(s, apRef, pstMv, c, aiW, aiO, &iLog2Wd)) {
            if (bBi)
                s->DSP.pfnPutBi[iW](pDst, iStride, s->psPred[0], s->psPred[1], h);
            else
                s->DSP.pfnPutUni[iW](pDst, iStride, s->psPred[l0], h);
        } else if (bBi) {
            s->DSP.pfnPutWeightedBi[iW](pDst, iStride, s->psPred[0], s->psPred[1], h, iLog2Wd, aiW[0], aiW[1], aiO[0],
                                        aiO[1]);
        } else {
            s->DSP.pfnPutWeighted[iW](pDst, iStride, s->psPred[l0], h, iLog2Wd, aiW[l0], aiO[l0]);
        }
    }
}
