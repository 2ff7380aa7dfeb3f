/* Coding quadtree, intra coding units, PCM, transform tree and
 * quantisation parameters of I slices (H.265 7.3.8.4-7.3.8.10, 8.4.2,
 * 8.4.3, 8.6.1). */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"

#define CTX(s, i) (&(s)->stCtx.aucState[(i)])

/* HevcAvailable for a location outside the current CTB (or the picture). */
int HevcAvailableOutside(const HevcSliceDec *s, int x, int y, unsigned uiFlag)
{
    const HevcSps *sps = s->pstSps;
    if (x < 0 || y < 0 || x >= (int)sps->pic_width_in_luma_samples || y >= (int)sps->pic_height_in_luma_samples)
        return 0;
    uint32_t rs = ((uint32_t)y >> sps->CtbLog2SizeY) * sps->PicWidthInCtbsY + ((uint32_t)x >> sps->CtbLog2SizeY);
    /* Inside the current CTB only the decoding order matters. */
    if (rs != s->uiCtbAddrRs) {
        const HevcCtbInfo *n = &s->pstCtb[rs], *c = &s->pstCtb[s->uiCtbAddrRs];
        if (!HevcSameUnit(s, rs) || !n->bDecoded || n->uiSliceAddrRs != c->uiSliceAddrRs)
            return 0;
    }
    return (s->pucBlkFlags[(size_t)(y >> 2) * s->uiW4 + (x >> 2)] & uiFlag) == uiFlag;
}

/* Writes (bOr: ORs) n bytes at q, n a power of two up to 16, a word at a
 * time; v8 holds the byte in every lane. */
#define PUT_WORD(T, q, v8, bOr)                                                                                       \
    do {                                                                                                               \
        T u_ = (T)(v8);                                                                                                \
        if (bOr) {                                                                                                     \
            memcpy(&u_, (q), sizeof(u_));                                                                              \
            u_ |= (T)(v8);                                                                                             \
        }                                                                                                              \
        memcpy((q), &u_, sizeof(u_));                                                                                  \
    } while (0)

static inline void PutRow(uint8_t *q, int n, uint64_t v8, int bOr)
{
    switch (n) {
    case 16: PUT_WORD(uint64_t, q + 8, v8, bOr); /* fall through */
    case 8: PUT_WORD(uint64_t, q, v8, bOr); break;
    case 4: PUT_WORD(uint32_t, q, v8, bOr); break;
    case 2: PUT_WORD(uint16_t, q, v8, bOr); break;
    default: PUT_WORD(uint8_t, q, v8, bOr); break;
    }
}

#define LANES(v) ((uint64_t)(uint8_t)(v) * 0x0101010101010101ull)

/* Sets one byte per 4x4 block over a w x h luma area (powers of two). */
static void Fill4(HevcSliceDec *s, uint8_t *puc, int x0, int y0, int w, int h, uint8_t v)
{
    uint8_t *p = puc + (size_t)(y0 >> 2) * s->uiW4 + (x0 >> 2);
    for (int y = 0; y < h >> 2; y++, p += s->uiW4)
        PutRow(p, w >> 2, LANES(v), 0);
}

static void Or4(HevcSliceDec *s, int x0, int y0, int w, int h, uint8_t v)
{
    uint8_t *p = s->pucBlkFlags + (size_t)(y0 >> 2) * s->uiW4 + (x0 >> 2);
    for (int y = 0; y < h >> 2; y++, p += s->uiW4)
        PutRow(p, w >> 2, LANES(v), 1);
}

/* What only later coding units and the filters read of a finished N x N
 * coding unit, in one pass: depth, QP, the intra mode (iMode < 0 leaves it)
 * and block flags ORed in. */
static void StoreCuMaps(HevcSliceDec *s, int x0, int y0, int N, int iDepth, int iMode, uint8_t ucFlags)
{
    const int n = N >> 2;
    const size_t W4 = s->uiW4;
    size_t o = (size_t)(y0 >> 2) * W4 + (x0 >> 2);
    for (int y = 0; y < n; y++, o += W4) {
        PutRow(s->pucCtDepth + o, n, LANES(iDepth), 0);
        PutRow((uint8_t *)s->pcQpY + o, n, LANES(s->iQpY), 0);
        if (iMode >= 0)
            PutRow(s->pucIntraMode + o, n, LANES(iMode), 0);
        if (ucFlags)
            PutRow(s->pucBlkFlags + o, n, LANES(ucFlags), 1);
    }
}

/* k-th order Exp-Golomb bypass bins (H.265 9.3.3.3); -1 when the prefix
 * reaches iMaxK, which no value in range needs. */
static int ExpGolomb(HevcCabac *c, int k, int iMaxK)
{
    int v = 0;
    while (k < iMaxK && HevcCabacDecodeBypass(c))
        v += 1 << k++;
    if (k >= iMaxK)
        return -1;
    return v + (int)HevcCabacDecodeBypassBits(c, k);
}

/* ---- quantisation parameters (H.265 8.6.1) ---- */

static int QpAt(const HevcSliceDec *s, int x, int y)
{
    return s->pcQpY[(size_t)(y >> 2) * s->uiW4 + (x >> 2)];
}

static void PredictQp(HevcSliceDec *s, int xQg, int yQg)
{
    int iMask = (1 << s->pstSps->CtbLog2SizeY) - 1;
    /* Neighbours count only inside the current CTB, where they always
     * precede the group. */
    int qA = (xQg & iMask) ? QpAt(s, xQg - 1, yQg) : s->iLastQpY;
    int qB = (yQg & iMask) ? QpAt(s, xQg, yQg - 1) : s->iLastQpY;
    s->iQpPredQg = (qA + qB + 1) >> 1;
}

static void UpdateQpY(HevcSliceDec *s)
{
    int iBd = s->pstSps->QpBdOffsetY;
    s->iQpY = ((s->iQpPredQg + s->iCuQpDeltaVal + 52 + 2 * iBd) % (52 + iBd)) - iBd;
}

static int DecodeCuQpDelta(HW265D_DEC *pstDec, HevcSliceDec *s)
{
    HevcCabac *c = &s->stCabac;
    int v = 0;
    while (v < 5 && HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CU_QP_DELTA_ABS + (v > 0))))
        v++;
    if (v == 5) {
        /* EG0 suffix; anything longer than 16 bits is out of range anyway. */
        int e = ExpGolomb(c, 0, 16);
        if (e < 0) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of cu_qp_delta is %d, it should be in the range of 0~26!\n",
                     v + 0xFFFF);
            return -1;
        }
        v += e;
    }
    int iBd = s->pstSps->QpBdOffsetY;
    if (v > 26 + iBd / 2) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of cu_qp_delta is %d, it should be in the range of 0~26!\n", v);
        return -1;
    }
    if (v && HevcCabacDecodeBypass(c))
        v = -v;
    if (v == 26 + iBd / 2) {
        HEVC_ERR(pstDec, "IHW265D_Decode : the value of cu_qp_delta is %d, it should be in the range of 0~26!\n", v);
        return -1;
    }
    s->bCuQpDeltaCoded = 1;
    s->iCuQpDeltaVal = v;
    UpdateQpY(s);
    return 0;
}

static void DecodeChromaQpOffset(HevcSliceDec *s)
{
    const HevcPps *pps = s->pstPps;
    HevcCabac *c = &s->stCabac;
    s->bCuChromaQpOffsetCoded = 1;
    if (!HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CU_CHROMA_QP_OFFSET_FLAG))) {
        s->iCuQpOffsetCb = s->iCuQpOffsetCr = 0;
        return;
    }
    int iIdx = 0, iMax = (int)pps->chroma_qp_offset_list_len - 1;
    while (iIdx < iMax && HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CU_CHROMA_QP_OFFSET_IDX)))
        iIdx++;
    if (iIdx > 5)
        iIdx = 5;
    s->iCuQpOffsetCb = pps->cb_qp_offset_list[iIdx];
    s->iCuQpOffsetCr = pps->cr_qp_offset_list[iIdx];
}

/* Qp'Cb / Qp'Cr (H.265 8.6.1, ChromaArrayType 1). */
static int ChromaQp(const HevcSliceDec *s, int cIdx)
{
    const HevcSps *sps = s->pstSps;
    const HevcPps *pps = s->pstPps;
    const HevcSliceHeader *sh = s->pstSh;
    int iOff = cIdx == 1 ? pps->pps_cb_qp_offset + sh->slice_cb_qp_offset + s->iCuQpOffsetCb
                         : pps->pps_cr_qp_offset + sh->slice_cr_qp_offset + s->iCuQpOffsetCr;
    int qPi = s->iQpY + iOff;
    if (qPi < -sps->QpBdOffsetC)
        qPi = -sps->QpBdOffsetC;
    if (qPi > 57)
        qPi = 57;
    return HevcChromaQp(qPi) + sps->QpBdOffsetC;
}

/* ---- transform units ---- */

/* scanIdx of H.265 7.4.9.11 for intra blocks. */
static int ScanIdx(int iLog2Size, int cIdx, int iMode)
{
    if (iLog2Size == 2 || (iLog2Size == 3 && cIdx == 0)) {
        if (iMode >= 6 && iMode <= 14)
            return 2;
        if (iMode >= 22 && iMode <= 30)
            return 1;
    }
    return 0;
}

static int MvDiff(const int16_t *a, const int16_t *b)
{
    return a[0] - b[0] >= 4 || b[0] - a[0] >= 4 || a[1] - b[1] >= 4 || b[1] - a[1] >= 4;
}

/* bS from the motion of two inter blocks (H.265 8.7.2.4): the pictures
 * referenced, not the lists or indexes, decide what is compared. */
static int MotionBs(const HevcMvField *p, const HevcMvField *q)
{
    int np = (p->ucPredFlags & 1) + (p->ucPredFlags >> 1), nq = (q->ucPredFlags & 1) + (q->ucPredFlags >> 1);
    if (np != nq)
        return 1;
    if (np == 1) {
        int lp = p->ucPredFlags & 1 ? 0 : 1, lq = q->ucPredFlags & 1 ? 0 : 1;
        return p->aiSlot[lp] != q->aiSlot[lq] || MvDiff(p->aiMv[lp], q->aiMv[lq]);
    }
    int p0 = p->aiSlot[0], p1 = p->aiSlot[1], q0 = q->aiSlot[0], q1 = q->aiSlot[1];
    if (!((p0 == q0 && p1 == q1) || (p0 == q1 && p1 == q0)))
        return 1;
    if (p0 != p1) {
        if (p0 == q0)
            return MvDiff(p->aiMv[0], q->aiMv[0]) || MvDiff(p->aiMv[1], q->aiMv[1]);
        return MvDiff(p->aiMv[0], q->aiMv[1]) || MvDiff(p->aiMv[1], q->aiMv[0]);
    }
    return (MvDiff(p->aiMv[0], q->aiMv[0]) || MvDiff(p->aiMv[1], q->aiMv[1])) &&
           (MvDiff(p->aiMv[0], q->aiMv[1]) || MvDiff(p->aiMv[1], q->aiMv[0]));
}

static inline uint8_t EdgeBs(const HevcSliceDec *s, size_t p, size_t q, int bTransformEdge)
{
    unsigned f = s->pucBlkFlags[p] | s->pucBlkFlags[q];
    if (f & HEVC_BLK_INTRA)
        return 2;
    if (bTransformEdge && (f & HEVC_BLK_CBF))
        return 1;
    /* Both sides of one prediction unit (or equal motion) give 0 at once. */
    uint64_t a[2], b[2];
    memcpy(a, &s->pstMv[p], sizeof(a));
    memcpy(b, &s->pstMv[q], sizeof(b));
    if (a[0] == b[0] && a[1] == b[1])
        return 0;
    return (uint8_t)MotionBs(&s->pstMv[p], &s->pstMv[q]);
}

/* bS of n edge segments of a coding unit, q at (x4, y4) and on, p before
 * each; a segment keeps the larger bS. */
void HevcMarkRun(HevcSliceDec *s, int bHor, int x4, int y4, int n, int bTransformEdge, int bIntra)
{
    uint8_t *pucBs = bHor ? s->pucBsH : s->pucBsV;
    const size_t uiP = bHor ? s->uiW4 : 1, uiStep = bHor ? 1 : s->uiW4;
    size_t q = (size_t)y4 * s->uiW4 + (size_t)x4;
    if (bIntra) {
        /* The q side is intra: every segment is bS 2, the largest. */
        for (int i = 0; i < n; i++, q += uiStep)
            pucBs[q] = 2;
        return;
    }
    for (int i = 0; i < n; i++, q += uiStep) {
        uint8_t bs = EdgeBs(s, q - uiP, q, bTransformEdge);
        if (bs > pucBs[q])
            pucBs[q] = bs;
    }
}

/* Whether the edge between the current CTB and its neighbour rn is filtered
 * as far as tiles and slices go. */
static int FilterAcross(const HevcSliceDec *s, uint32_t rn)
{
    const HevcCtbInfo *cur = &s->pstCtb[s->uiCtbAddrRs];
    if (!HevcSameUnit(s, rn) && (s->bTask || !s->pstPps->loop_filter_across_tiles_enabled_flag))
        return 0; /* a tile or slice task's are marked afterwards (HevcMarkUnitBoundaryEdges) */
    return cur->bLfAcrossSlices || s->pstCtb[rn].uiSliceAddrRs == cur->uiSliceAddrRs;
}

#define EDGE_LEFT 1
#define EDGE_TOP 2

/* Deblocking edges of a transform or prediction block of the current coding
 * unit: its left (EDGE_LEFT) and top (EDGE_TOP) edges on the 8x8 grid with
 * their bS, unless they lie on the picture edge, or on a tile or slice
 * boundary that the current slice does not filter across (H.265 8.7.2.3,
 * 8.7.2.4). An edge keeps the larger bS when it is both a transform and a
 * prediction edge. */
static void MarkEdges(HevcSliceDec *s, int x0, int y0, int w, int h, int bTransformEdge, int iEdges)
{
    const HevcSps *sps = s->pstSps;
    int iMask = (1 << sps->CtbLog2SizeY) - 1;
    if (s->pstCtb[s->uiCtbAddrRs].bDeblockOff)
        return;
    if ((iEdges & EDGE_LEFT) && !(x0 & 7) && x0 > 0 && ((x0 & iMask) || FilterAcross(s, s->uiCtbAddrRs - 1)))
        s->pfnMarkRun(s, 0, x0 >> 2, y0 >> 2, h >> 2, bTransformEdge, s->bCuIntra);
    if ((iEdges & EDGE_TOP) && !(y0 & 7) && y0 > 0 &&
        ((y0 & iMask) || FilterAcross(s, s->uiCtbAddrRs - sps->PicWidthInCtbsY)))
        s->pfnMarkRun(s, 1, x0 >> 2, y0 >> 2, w >> 2, bTransformEdge, s->bCuIntra);
}

void HevcMarkUnitBoundaryEdges(HevcSliceDec *s, uint32_t rs, uint32_t uiUnitTs0)
{
    const HevcSps *sps = s->pstSps;
    const HevcPps *pps = s->pstPps;
    const HevcCtbInfo *cur = &s->pstCtb[rs];
    const uint32_t W = sps->PicWidthInCtbsY, iCtb = sps->CtbSizeY;
    if (!cur->bDecoded || cur->bDeblockOff)
        return;
    const uint32_t x0 = (rs % W) * iCtb, y0 = (rs / W) * iCtb;
    const uint32_t x1 = x0 + iCtb < sps->pic_width_in_luma_samples ? x0 + iCtb : sps->pic_width_in_luma_samples;
    const uint32_t y1 = y0 + iCtb < sps->pic_height_in_luma_samples ? y0 + iCtb : sps->pic_height_in_luma_samples;
    const HevcPicMaps *m = s->pstMaps;
    /* Left (0) and top (1) neighbours: an edge the task left out is one
     * towards another tile or an earlier slice; it is filtered as the
     * current CTB's slice and the tile flag say. A CTB boundary is a coding
     * block edge and so a transform edge. */
    for (int iDir = 0; iDir < 2; iDir++) {
        if (iDir ? y0 == 0 : x0 == 0)
            continue;
        const uint32_t rn = iDir ? rs - W : rs - 1, tn = m->puiCtbAddrRsToTs[rn];
        const int bOtherTile = m->pusTileId[tn] != cur->usTileId;
        if (!bOtherTile && tn >= uiUnitTs0)
            continue;
        if ((bOtherTile && !pps->loop_filter_across_tiles_enabled_flag) ||
            !(cur->bLfAcrossSlices || s->pstCtb[rn].uiSliceAddrRs == cur->uiSliceAddrRs))
            continue;
        uint8_t *pucBs = iDir ? s->pucBsH : s->pucBsV;
        const size_t uiStep = iDir ? 1 : s->uiW4, uiP = iDir ? s->uiW4 : 1;
        const uint32_t n = iDir ? (x1 >> 2) - (x0 >> 2) : (y1 >> 2) - (y0 >> 2);
        size_t q = (size_t)(y0 >> 2) * s->uiW4 + (x0 >> 2);
        for (uint32_t i = 0; i < n; i++, q += uiStep) {
            uint8_t bs = EdgeBs(s, q - uiP, q, 1);
            if (bs > pucBs[q])
                pucBs[q] = bs;
        }
    }
}

static int DecodeBlock(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode,
                       int bCbf)
{
    const int bIntra = s->bCuIntra;
    if (bIntra)
        HevcPredIntra(pstDec, s, x0, y0, iLog2Size, cIdx, iMode);
    if (!bCbf)
        return 0;
    int bTs = 0;
    if (HevcResidualCoding(pstDec, s, iLog2Size, cIdx, bIntra ? ScanIdx(iLog2Size, cIdx, iMode) : 0, &bTs))
        return -1;
    int iQp = cIdx ? ChromaQp(s, cIdx) : s->iQpY + s->pstSps->QpBdOffsetY;
    s->pfnAddCoeffs(s, x0, y0, iLog2Size, cIdx, iQp, bTs, bIntra && cIdx == 0 && iLog2Size == 2);
    return 0;
}

static int TransformUnit(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int xBase, int yBase,
                         int iLog2Size, int iBlkIdx, int bCbfLuma, int bCbfCb, int bCbfCr)
{
    const HevcPps *pps = s->pstPps;
    int bCbfChroma = bCbfCb || bCbfCr;
    if (bCbfLuma || bCbfChroma) {
        if (pps->cu_qp_delta_enabled_flag && !s->bCuQpDeltaCoded && DecodeCuQpDelta(pstDec, s))
            return -1;
        if (s->pstSh->cu_chroma_qp_offset_enabled_flag && bCbfChroma && !s->bTransquantBypass &&
            !s->bCuChromaQpOffsetCoded)
            DecodeChromaQpOffset(s);
    }
    int N = 1 << iLog2Size;
    int iMode = s->pucIntraMode[(size_t)(y0 >> 2) * s->uiW4 + (x0 >> 2)];
    if (DecodeBlock(pstDec, s, x0, y0, iLog2Size, 0, iMode, bCbfLuma))
        return -1;
    Or4(s, x0, y0, N, N, (uint8_t)(HEVC_BLK_REC | (bCbfLuma ? HEVC_BLK_CBF : 0)));
    MarkEdges(s, x0, y0, N, N, 1, EDGE_LEFT | EDGE_TOP);
    if (iLog2Size > 2) {
        for (int c = 1; c <= 2; c++)
            if (DecodeBlock(pstDec, s, x0 >> 1, y0 >> 1, iLog2Size - 1, c, s->iIntraChromaMode, c == 1 ? bCbfCb : bCbfCr))
                return -1;
    } else if (iBlkIdx == 3) {
        for (int c = 1; c <= 2; c++)
            if (DecodeBlock(pstDec, s, xBase >> 1, yBase >> 1, 2, c, s->iIntraChromaMode, c == 1 ? bCbfCb : bCbfCr))
                return -1;
    }
    return 0;
}

static int TransformTree(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int xBase, int yBase, int iLog2Size,
                         int iDepth, int iBlkIdx, int iMaxDepth, int bIntraSplit, int bParentCb, int bParentCr)
{
    const HevcSps *sps = s->pstSps;
    HevcCabac *c = &s->stCabac;
    int bSplit;
    /* interSplitFlag: a split inter CU without a coded transform depth. */
    int bInterSplit = sps->max_transform_hierarchy_depth_inter == 0 && !s->bCuIntra &&
                      s->iPartMode != HEVC_PART_2Nx2N && iDepth == 0;
    if (iLog2Size <= sps->Log2MaxTrafoSize && iLog2Size > sps->Log2MinTrafoSize && iDepth < iMaxDepth &&
        !(bIntraSplit && iDepth == 0))
        bSplit = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_SPLIT_TRANSFORM_FLAG + 5 - iLog2Size));
    else
        bSplit = iLog2Size > sps->Log2MaxTrafoSize || (bIntraSplit && iDepth == 0) || bInterSplit;
    int bCb = bParentCb, bCr = bParentCr;
    if (iLog2Size > 2) {
        bCb = bCr = 0;
        if (iDepth == 0 || bParentCb)
            bCb = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CBF_CHROMA + iDepth));
        if (iDepth == 0 || bParentCr)
            bCr = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CBF_CHROMA + iDepth));
    }
    if (bSplit) {
        int h = 1 << (iLog2Size - 1);
        for (int i = 0; i < 4; i++)
            if (TransformTree(pstDec, s, x0 + (i & 1) * h, y0 + (i >> 1) * h, x0, y0, iLog2Size - 1, iDepth + 1, i,
                              iMaxDepth, bIntraSplit, bCb, bCr))
                return -1;
        return 0;
    }
    int bCbfLuma = 1;
    if (s->bCuIntra || iDepth != 0 || bCb || bCr)
        bCbfLuma = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CBF_LUMA + (iDepth == 0)));
    return TransformUnit(pstDec, s, x0, y0, xBase, yBase, iLog2Size, iBlkIdx, bCbfLuma, bCb, bCr);
}

/* ---- PCM (H.265 7.3.8.7) ---- */

/* Raw bit reader for pcm_sample(): drops emulation prevention bytes. */
typedef struct {
    const uint8_t *p;
    uint32_t uiPos, uiEnd, uiZeros;
    uint32_t uiCache;
    int iBits;
    int bOverrun;
} PcmReader;

static uint32_t PcmBits(PcmReader *r, int n)
{
    while (r->iBits < n) {
        if (r->uiPos >= r->uiEnd) {
            r->bOverrun = 1;
            r->uiCache <<= 8;
            r->iBits += 8;
            continue;
        }
        uint8_t b = r->p[r->uiPos++];
        if (r->uiZeros >= 2 && b == 3) {
            r->uiZeros = 0;
            continue;
        }
        r->uiZeros = b == 0 ? r->uiZeros + 1 : 0;
        r->uiCache = r->uiCache << 8 | b;
        r->iBits += 8;
    }
    r->iBits -= n;
    return (r->uiCache >> r->iBits) & ((1u << n) - 1);
}

static int DecodePcm(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size)
{
    const HevcSps *sps = s->pstSps;
    PcmReader r;
    memset(&r, 0, sizeof(r));
    r.p = s->pucNal;
    r.uiPos = HevcCabacAlignedPos(&s->stCabac, s->pucNal);
    r.uiEnd = s->uiSubEnd;
    /* Emulation prevention state carried over the bytes before. */
    for (uint32_t i = r.uiPos; i > 0 && r.uiPos - i < 2 && s->pucNal[i - 1] == 0; i--)
        r.uiZeros++;
    uint16_t ausBuf[32 * 32];
    int N = 1 << iLog2Size;
    for (int i = 0; i < N * N; i++)
        ausBuf[i] = (uint16_t)PcmBits(&r, sps->pcm_bit_depth_luma);
    s->pfnPutPcm(s, x0, y0, iLog2Size, 0, ausBuf, sps->bit_depth_luma - sps->pcm_bit_depth_luma);
    for (int cIdx = 1; cIdx <= 2; cIdx++) {
        for (int i = 0; i < N * N / 4; i++)
            ausBuf[i] = (uint16_t)PcmBits(&r, sps->pcm_bit_depth_chroma);
        s->pfnPutPcm(s, x0 >> 1, y0 >> 1, iLog2Size - 1, cIdx, ausBuf, sps->bit_depth_chroma - sps->pcm_bit_depth_chroma);
    }
    if (r.bOverrun || HevcCabacStart(&s->stCabac, s->pucNal, r.uiPos, s->uiSubEnd)) {
        HEVC_WARN(pstDec, "IHW265D_Decode : the pcm is enable but it is empty!\n");
        return -1;
    }
    return 0;
}

/* ---- intra modes (H.265 8.4.2, 8.4.3) ---- */

static int NeighbourMode(const HevcSliceDec *s, int x, int y)
{
    if (!HevcAvailable(s, x, y, HEVC_BLK_CU))
        return 1;
    return s->pucIntraMode[(size_t)(y >> 2) * s->uiW4 + (x >> 2)];
}

static int LumaMode(const HevcSliceDec *s, int xPb, int yPb, int bPrev, int iIdx)
{
    int iCtbMask = (1 << s->pstSps->CtbLog2SizeY) - 1;
    int a = NeighbourMode(s, xPb - 1, yPb);
    /* The row above another CTB is not kept: DC. */
    int b = (yPb & iCtbMask) ? NeighbourMode(s, xPb, yPb - 1) : 1;
    int aiList[3];
    if (a == b) {
        if (a < 2) {
            aiList[0] = 0;
            aiList[1] = 1;
            aiList[2] = 26;
        } else {
            aiList[0] = a;
            aiList[1] = 2 + ((a + 29) % 32);
            aiList[2] = 2 + ((a - 2 + 1) % 32);
        }
    } else {
        aiList[0] = a;
        aiList[1] = b;
        aiList[2] = (a != 0 && b != 0) ? 0 : (a != 1 && b != 1) ? 1 : 26;
    }
    if (bPrev)
        return aiList[iIdx];
    /* Ascending candidates; the remaining mode skips over them. */
    for (int i = 0; i < 2; i++)
        for (int j = i + 1; j < 3; j++)
            if (aiList[i] > aiList[j]) {
                int t = aiList[i];
                aiList[i] = aiList[j];
                aiList[j] = t;
            }
    int m = iIdx;
    for (int i = 0; i < 3; i++)
        if (m >= aiList[i])
            m++;
    return m;
}

static int ChromaMode(int iChroma, int iLuma)
{
    static const int s_aiModes[4] = {0, 26, 10, 1};
    if (iChroma == 4)
        return iLuma;
    return s_aiModes[iChroma] == iLuma ? 34 : s_aiModes[iChroma];
}

/* ---- inter prediction units (H.265 7.3.8.6, 7.3.8.9) ---- */

static int ParseMvd(HW265D_DEC *pstDec, HevcSliceDec *s, int *piMvd)
{
    HevcCabac *c = &s->stCabac;
    int g0[2], g1[2] = {0, 0};
    g0[0] = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_ABS_MVD_GREATER0));
    g0[1] = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_ABS_MVD_GREATER0));
    for (int k = 0; k < 2; k++)
        if (g0[k])
            g1[k] = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_ABS_MVD_GREATER1));
    for (int k = 0; k < 2; k++) {
        piMvd[k] = 0;
        if (!g0[k])
            continue;
        int v = 1;
        if (g1[k]) {
            /* abs_mvd_minus2: first-order Exp-Golomb; longer than 16 bits
             * is out of range. */
            int m = ExpGolomb(c, 1, 17);
            if (m < 0) {
                HEVC_ERR(pstDec, "IHW265D_Decode : the value of stMvd is %d,it should be in the c_range of 0~32767!\n",
                         0x1FFFE);
                return -1;
            }
            v = m + 2;
        }
        int bNeg = HevcCabacDecodeBypass(c);
        piMvd[k] = bNeg ? -v : v;
        if (piMvd[k] < -32768 || piMvd[k] > 32767) {
            HEVC_ERR(pstDec, "IHW265D_Decode : the value of stMvd is %d,it should be in the c_range of -32768~32767!\n",
                     piMvd[k]);
            return -1;
        }
    }
    return 0;
}

static int ParseRefIdx(HevcSliceDec *s, int iNumActive)
{
    int i = 0;
    while (i < iNumActive - 1) {
        int b = i < 2 ? HevcCabacDecodeBin(&s->stCabac, CTX(s, HEVC_CTX_REF_IDX + i)) : HevcCabacDecodeBypass(&s->stCabac);
        if (!b)
            break;
        i++;
    }
    return i;
}

static int PredictionUnit(HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, int iPartIdx,
                          int bSkip, int *pbMerge)
{
    const HevcSliceHeader *sh = s->pstSh;
    HevcCabac *c = &s->stCabac;
    HevcPuSyntax pu;
    memset(&pu, 0, sizeof(pu));
    pu.xPb = (int16_t)xPb;
    pu.yPb = (int16_t)yPb;
    pu.nPbW = (uint8_t)nPbW;
    pu.nPbH = (uint8_t)nPbH;
    pu.ucPartIdx = (uint8_t)iPartIdx;
    pu.ucPartMode = (uint8_t)s->iPartMode;
    pu.ucLog2CbSize = (uint8_t)s->iLog2CbSize;
    int bMerge = bSkip || HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_MERGE_FLAG));
    *pbMerge = bMerge;
    pu.bMerge = (uint8_t)bMerge;
    if (bMerge) {
        int iIdx = 0, iMax = (int)sh->max_num_merge_cand - 1;
        if (iMax > 0 && HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_MERGE_IDX)))
            for (iIdx = 1; iIdx < iMax && HevcCabacDecodeBypass(c);)
                iIdx++;
        pu.ucMergeIdx = (uint8_t)iIdx;
    } else {
        int iIdc = 0; /* PRED_L0, PRED_L1, PRED_BI */
        if (sh->slice_type == HEVC_SLICE_B) {
            if (nPbW + nPbH != 12 && HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_INTER_PRED_IDC + s->iCtDepth)))
                iIdc = 2;
            else
                iIdc = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_INTER_PRED_IDC + 4));
        }
        for (int l = 0; l < 2; l++) {
            if (iIdc == 1 - l)
                continue;
            pu.ucPredFlags |= (uint8_t)(1 << l);
            pu.aiRefIdx[l] = (int8_t)ParseRefIdx(s, (int)sh->num_ref_idx_active[l]);
            int aiMvd[2] = {0, 0};
            if (!(l == 1 && sh->mvd_l1_zero_flag && iIdc == 2) && ParseMvd(pstDec, s, aiMvd))
                return -1;
            pu.aaiMvd[l][0] = (int16_t)aiMvd[0];
            pu.aaiMvd[l][1] = (int16_t)aiMvd[1];
            pu.aucMvpFlag[l] = (uint8_t)HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_MVP_FLAG));
        }
    }
    s->pfnPredUnit(pstDec, s, &pu);
    return HevcCabacFailed(c) ? -1 : 0;
}

static int ParseInterPartMode(HevcSliceDec *s, int iLog2CbSize)
{
    const HevcSps *sps = s->pstSps;
    HevcCabac *c = &s->stCabac;
    if (HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_PART_MODE)))
        return HEVC_PART_2Nx2N;
    int bHor = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_PART_MODE + 1));
    if (iLog2CbSize == sps->MinCbLog2SizeY) {
        if (bHor)
            return HEVC_PART_2NxN;
        if (iLog2CbSize == 3)
            return HEVC_PART_Nx2N;
        return HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_PART_MODE + 2)) ? HEVC_PART_Nx2N : HEVC_PART_NxN;
    }
    if (!sps->amp_enabled_flag)
        return bHor ? HEVC_PART_2NxN : HEVC_PART_Nx2N;
    if (HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_PART_MODE + 3)))
        return bHor ? HEVC_PART_2NxN : HEVC_PART_Nx2N;
    if (bHor)
        return HevcCabacDecodeBypass(c) ? HEVC_PART_2NxnD : HEVC_PART_2NxnU;
    return HevcCabacDecodeBypass(c) ? HEVC_PART_nRx2N : HEVC_PART_nLx2N;
}

/* Prediction units of an inter coding unit, the residual tree, and the
 * deblocking edges of its prediction blocks. */
static int InterCodingUnit(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2CbSize, int bSkip)
{
    const HevcSps *sps = s->pstSps;
    const int N = 1 << iLog2CbSize, h = N / 2, q = N / 4;
    int iPm = bSkip ? HEVC_PART_2Nx2N : ParseInterPartMode(s, iLog2CbSize);
    s->iPartMode = iPm;
    int aiPb[4][4], iNum = 2; /* x, y, w, h relative to the CU */
    switch (iPm) {
    case HEVC_PART_2NxN: memcpy(aiPb, (int[2][4]){{0, 0, N, h}, {0, h, N, h}}, sizeof(int[2][4])); break;
    case HEVC_PART_Nx2N: memcpy(aiPb, (int[2][4]){{0, 0, h, N}, {h, 0, h, N}}, sizeof(int[2][4])); break;
    case HEVC_PART_2NxnU: memcpy(aiPb, (int[2][4]){{0, 0, N, q}, {0, q, N, N - q}}, sizeof(int[2][4])); break;
    case HEVC_PART_2NxnD: memcpy(aiPb, (int[2][4]){{0, 0, N, N - q}, {0, N - q, N, q}}, sizeof(int[2][4])); break;
    case HEVC_PART_nLx2N: memcpy(aiPb, (int[2][4]){{0, 0, q, N}, {q, 0, N - q, N}}, sizeof(int[2][4])); break;
    case HEVC_PART_nRx2N: memcpy(aiPb, (int[2][4]){{0, 0, N - q, N}, {N - q, 0, q, N}}, sizeof(int[2][4])); break;
    case HEVC_PART_NxN:
        memcpy(aiPb, (int[4][4]){{0, 0, h, h}, {h, 0, h, h}, {0, h, h, h}, {h, h, h, h}}, sizeof(aiPb));
        iNum = 4;
        break;
    default: memcpy(aiPb, (int[1][4]){{0, 0, N, N}}, sizeof(int[1][4])); iNum = 1; break;
    }
    int bMerge0 = 0;
    for (int i = 0; i < iNum; i++) {
        int bMerge;
        if (PredictionUnit(pstDec, s, x0 + aiPb[i][0], y0 + aiPb[i][1], aiPb[i][2], aiPb[i][3], i, bSkip, &bMerge))
            return -1;
        if (i == 0)
            bMerge0 = bMerge;
    }
    int bRoot = 0;
    if (!bSkip)
        bRoot = (iPm == HEVC_PART_2Nx2N && bMerge0) || HevcCabacDecodeBin(&s->stCabac, CTX(s, HEVC_CTX_RQT_ROOT_CBF));
    if (bRoot) {
        if (TransformTree(pstDec, s, x0, y0, x0, y0, iLog2CbSize, 0, 0, sps->max_transform_hierarchy_depth_inter, 0, 0, 0))
            return -1;
    } else {
        MarkEdges(s, x0, y0, N, N, 1, EDGE_LEFT | EDGE_TOP);
    }
    /* The coding unit's own edges are transform edges, marked above with a
     * bS no smaller than as prediction edges: only the inner ones remain. */
    for (int i = 1; i < iNum; i++)
        MarkEdges(s, x0 + aiPb[i][0], y0 + aiPb[i][1], aiPb[i][2], aiPb[i][3], 0,
                  (aiPb[i][0] ? EDGE_LEFT : 0) | (aiPb[i][1] ? EDGE_TOP : 0));
    return 0;
}

/* ---- coding units ---- */

static int CodingUnit(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2CbSize, int iDepth)
{
    const HevcSps *sps = s->pstSps;
    const HevcPps *pps = s->pstPps;
    HevcCabac *c = &s->stCabac;
    int N = 1 << iLog2CbSize;
    if (s->bNewQg) {
        int iQgMask = ~((1 << (sps->CtbLog2SizeY - pps->diff_cu_qp_delta_depth)) - 1);
        PredictQp(s, x0 & iQgMask, y0 & iQgMask);
        s->bNewQg = 0;
    }
    UpdateQpY(s);
    s->iCuX = x0;
    s->iCuY = y0;
    s->iLog2CbSize = iLog2CbSize;
    s->bTransquantBypass = 0;
    if (pps->transquant_bypass_enabled_flag)
        s->bTransquantBypass = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CU_TRANSQUANT_BYPASS_FLAG));
    s->iCtDepth = iDepth;
    s->iPartMode = HEVC_PART_2Nx2N;
    int bIntra = 1, bSkip = 0;
    if (s->pstSh->slice_type != HEVC_SLICE_I) {
        int iInc = 0;
        if (HevcAvailable(s, x0 - 1, y0, HEVC_BLK_CU) && (s->pucBlkFlags[(size_t)(y0 >> 2) * s->uiW4 + ((x0 - 1) >> 2)] & HEVC_BLK_SKIP))
            iInc++;
        if (HevcAvailable(s, x0, y0 - 1, HEVC_BLK_CU) && (s->pucBlkFlags[(size_t)((y0 - 1) >> 2) * s->uiW4 + (x0 >> 2)] & HEVC_BLK_SKIP))
            iInc++;
        bSkip = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_CU_SKIP_FLAG + iInc));
        bIntra = !bSkip && HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_PRED_MODE_FLAG));
    }
    s->bCuIntra = bIntra;
    if (!bIntra) {
        /* Nothing inside an inter coding unit reads its depth, intra mode,
         * QP or the CU / SKIP / REC flags: they are stored at its end. */
        if (InterCodingUnit(pstDec, s, x0, y0, iLog2CbSize, bSkip))
            return -1;
        goto done;
    }
    int bNxN = 0;
    if (iLog2CbSize == sps->MinCbLog2SizeY) {
        bNxN = !HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_PART_MODE));
        if (bNxN && iLog2CbSize - 1 < sps->Log2MinTrafoSize) {
            HEVC_ERR(pstDec, "iCbSize is %u, it should be less or equal than %u!\n", (unsigned)N,
                     1u << sps->Log2MinTrafoSize);
            return -1;
        }
    }
    int bPcm = 0;
    if (!bNxN && sps->pcm_enabled_flag && iLog2CbSize >= sps->log2_min_pcm_luma_coding_block_size &&
        iLog2CbSize <= sps->log2_min_pcm_luma_coding_block_size + sps->log2_diff_max_min_pcm_luma_coding_block_size)
        bPcm = HevcCabacDecodeTerminate(c);
    if (bPcm) {
        /* Neighbours see a pcm block as INTRA_DC (H.265 8.4.2). */
        Fill4(s, s->pucIntraMode, x0, y0, N, N, 1);
        Or4(s, x0, y0, N, N,
            (uint8_t)(HEVC_BLK_CU | HEVC_BLK_INTRA | (sps->pcm_loop_filter_disabled_flag ? HEVC_BLK_NOFILT : 0)));
        if (DecodePcm(pstDec, s, x0, y0, iLog2CbSize))
            return -1;
        Or4(s, x0, y0, N, N, HEVC_BLK_REC);
        MarkEdges(s, x0, y0, N, N, 1, EDGE_LEFT | EDGE_TOP);
    } else {
        int iParts = bNxN ? 4 : 1, h = bNxN ? N / 2 : N;
        int abPrev[4], aiMode[4];
        for (int i = 0; i < iParts; i++)
            abPrev[i] = HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_PREV_INTRA_LUMA_PRED_FLAG));
        Or4(s, x0, y0, N, N, HEVC_BLK_CU | HEVC_BLK_INTRA);
        for (int i = 0; i < iParts; i++) {
            int xPb = x0 + (i & 1) * h, yPb = y0 + (i >> 1) * h, v;
            if (abPrev[i]) {
                v = HevcCabacDecodeBypass(c);
                if (v)
                    v += HevcCabacDecodeBypass(c);
            } else {
                v = (int)HevcCabacDecodeBypassBits(c, 5);
            }
            aiMode[i] = LumaMode(s, xPb, yPb, abPrev[i], v);
            Fill4(s, s->pucIntraMode, xPb, yPb, h, h, (uint8_t)aiMode[i]);
        }
        int iChroma = 4;
        if (HevcCabacDecodeBin(c, CTX(s, HEVC_CTX_INTRA_CHROMA_PRED_MODE)))
            iChroma = (int)HevcCabacDecodeBypassBits(c, 2);
        s->iIntraChromaMode = ChromaMode(iChroma, aiMode[0]);
        if (TransformTree(pstDec, s, x0, y0, x0, y0, iLog2CbSize, 0, 0,
                          sps->max_transform_hierarchy_depth_intra + bNxN, bNxN, 0, 0))
            return -1;
    }
done:
    s->pfnColMotion(pstDec, s, x0, y0, N);
    /* Intra neighbours see an inter block as INTRA_DC (H.265 8.4.2). */
    StoreCuMaps(s, x0, y0, N, iDepth, bIntra ? -1 : 1,
                (uint8_t)((s->bTransquantBypass ? HEVC_BLK_NOFILT : 0) |
                          (bIntra ? 0 : HEVC_BLK_CU | HEVC_BLK_REC | (bSkip ? HEVC_BLK_SKIP : 0))));
    s->iLastQpY = s->iQpY;
    return HevcCabacFailed(c) ? -1 : 0;
}

static int CodingQuadtree(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2CbSize, int iDepth)
{
    const HevcSps *sps = s->pstSps;
    const HevcPps *pps = s->pstPps;
    int N = 1 << iLog2CbSize;
    int bSplit;
    if (x0 + N <= (int)sps->pic_width_in_luma_samples && y0 + N <= (int)sps->pic_height_in_luma_samples &&
        iLog2CbSize > sps->MinCbLog2SizeY) {
        int iInc = 0;
        if (HevcAvailable(s, x0 - 1, y0, HEVC_BLK_CU) && s->pucCtDepth[(size_t)(y0 >> 2) * s->uiW4 + ((x0 - 1) >> 2)] > iDepth)
            iInc++;
        if (HevcAvailable(s, x0, y0 - 1, HEVC_BLK_CU) && s->pucCtDepth[(size_t)((y0 - 1) >> 2) * s->uiW4 + (x0 >> 2)] > iDepth)
            iInc++;
        bSplit = HevcCabacDecodeBin(&s->stCabac, CTX(s, HEVC_CTX_SPLIT_CU_FLAG + iInc));
    } else {
        bSplit = iLog2CbSize > sps->MinCbLog2SizeY;
    }
    if (pps->cu_qp_delta_enabled_flag && iLog2CbSize >= (int)(sps->CtbLog2SizeY - pps->diff_cu_qp_delta_depth)) {
        s->bCuQpDeltaCoded = 0;
        s->iCuQpDeltaVal = 0;
    }
    if (iLog2CbSize >= (int)(sps->CtbLog2SizeY - pps->diff_cu_qp_delta_depth))
        s->bNewQg = 1;
    if (s->pstSh->cu_chroma_qp_offset_enabled_flag &&
        iLog2CbSize >= (int)(sps->CtbLog2SizeY - pps->diff_cu_chroma_qp_offset_depth))
        s->bCuChromaQpOffsetCoded = 0;
    if (bSplit) {
        int h = N / 2;
        for (int i = 0; i < 4; i++) {
            int x1 = x0 + (i & 1) * h, y1 = y0 + (i >> 1) * h;
            if (x1 < (int)sps->pic_width_in_luma_samples && y1 < (int)sps->pic_height_in_luma_samples)
                if (CodingQuadtree(pstDec, s, x1, y1, iLog2CbSize - 1, iDepth + 1))
                    return -1;
        }
        return 0;
    }
    return CodingUnit(pstDec, s, x0, y0, iLog2CbSize, iDepth);
}

int HevcDecodeCtu(HW265D_DEC *pstDec, HevcSliceDec *s)
{
    return CodingQuadtree(pstDec, s, s->iCtbX, s->iCtbY, s->pstSps->CtbLog2SizeY, 0);
}
