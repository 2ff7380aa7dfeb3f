/* In-loop filters one CTB row behind the reconstruction (H.265 8.7):
 * deblocking of row r once row r+1 is reconstructed (intra prediction of
 * row r+1 reads row r's unfiltered last line), SAO of row r once row r+1 is
 * deblocked (that deblocking still changes row r's last three lines), then
 * padding of row r and its publication in the slot's row progress. The
 * deblocking of a row filters its vertical edges, then its horizontal edges
 * including its top CTB boundary; on the 8x8 edge grid this gives exactly
 * the picture-wide order of H.265 8.7.2 (all vertical edges first). SAO
 * reads the deblocked samples from line buffers holding one CTB row plus
 * the line above and below, so no picture-sized copy is needed. */
#include <string.h>

#include "hevc_decoder.h"
#include "hevc_slicedata.h"
#include "hevc_threads.h"

size_t HevcFilterLineBytes(uint32_t uiMaxWidth, int iPlane)
{
    /* CTB 64 rows plus two, 16-bit samples, one margin column each side
     * (rounded up to keep lines 64-byte aligned). */
    uint32_t uiW = iPlane ? uiMaxWidth / 2 : uiMaxWidth;
    size_t uiStride = ((size_t)(uiW + 2) * 2 + 63) & ~(size_t)63;
    return uiStride * (iPlane ? 34 : 66);
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

/* Thresholds of the last luma edge segment, and the chroma tc of the last
 * chroma one: they change only with the averaged QP, bS and CTB (the
 * slice's offsets), so consecutive segments mostly reuse them. */
typedef struct {
    int iQpL, iBs, iBeta, iTc;
    const HevcCtbInfo *pstCtb;
    int iChromaQpL;
    const HevcCtbInfo *pstChromaCtb;
    int aiTcC[3];
} HevcDeblockParams;

static void HevcDeblockParamsReset(HevcDeblockParams *pd)
{
    memset(pd, 0, sizeof(*pd));
    pd->iQpL = pd->iChromaQpL = -1000;
}

/* One luma segment, q its 4x4 index: its beta, tc and averaged QP, and
 * its no-filter sides (bit 0 p, bit 1 q). */
static inline unsigned HevcDeblockLumaSegment(const HevcSliceDec *s, HevcDeblockParams *pd, size_t q, int iDir, int iBs,
                                              const HevcCtbInfo *ctb, unsigned uiNoFilt, int *piBeta, int *piTc,
                                              int *piQp)
{
    const size_t p = iDir ? q - s->uiW4 : q - 1;
    const int iQpL = (s->pcQpY[q] + s->pcQpY[p] + 1) >> 1;
    if (iQpL != pd->iQpL || ctb != pd->pstCtb || iBs != pd->iBs) {
        const int iBitDepth = (int)s->pstSps->bit_depth_luma;
        pd->iBeta = HevcDeblockBeta(iQpL, ctb->cBetaOffsetDiv2, iBitDepth);
        pd->iTc = HevcDeblockTc(iQpL, iBs, ctb->cTcOffsetDiv2, iBitDepth);
        pd->iQpL = iQpL;
        pd->iBs = iBs;
        pd->pstCtb = ctb;
    }
    *piQp = iQpL;
    *piBeta = pd->iBeta;
    *piTc = pd->iTc;
    if (!uiNoFilt)
        return 0;
    return (s->pucBlkFlags[p] & uiNoFilt ? 1u : 0u) | (s->pucBlkFlags[q] & uiNoFilt ? 2u : 0u);
}

static inline void HevcDeblockChromaParams(const HevcSliceDec *s, HevcDeblockParams *pd, int iQpL,
                                           const HevcCtbInfo *ctb)
{
    if (iQpL == pd->iChromaQpL && ctb == pd->pstChromaCtb)
        return;
    const HevcPps *pps = s->pstPps;
    for (int c = 1; c <= 2; c++) {
        const int iQpi = iQpL + (c == 1 ? pps->pps_cb_qp_offset : pps->pps_cr_qp_offset);
        pd->aiTcC[c] = HevcDeblockTc(HevcChromaQp(iQpi), 2, ctb->cTcOffsetDiv2, (int)s->pstSps->bit_depth_chroma);
    }
    pd->iChromaQpL = iQpL;
    pd->pstChromaCtb = ctb;
}

#define PIXEL uint8_t
#define FN(x) x##_8
#define DSP stDsp8
#include "hevc_filter_tmpl.h"
#undef PIXEL
#undef FN
#undef DSP
#define PIXEL uint16_t
#define FN(x) x##_10
#define DSP stDsp10
#include "hevc_filter_tmpl.h"
#undef PIXEL
#undef FN
#undef DSP

void HevcFilterDeblockBand(HevcSliceDec *s, uint32_t r0, uint32_t r1, int iDir)
{
    const HevcSps *sps = s->pstSps;
    const uint32_t y4Begin = (r0 << sps->CtbLog2SizeY) >> 2;
    uint32_t y4End = (r1 << sps->CtbLog2SizeY) >> 2;
    if (y4End > s->uiH4)
        y4End = s->uiH4;
    if (r0 >= r1)
        return;
    if (s->bHighDepth)
        DeblockRows_10(s, y4Begin, y4End, iDir);
    else
        DeblockRows_8(s, y4Begin, y4End, iDir);
}

static void DeblockRow(HevcSliceDec *s, uint32_t ry)
{
    HevcFilterDeblockBand(s, ry, ry + 1, 0);
    HevcFilterDeblockBand(s, ry, ry + 1, 1);
}

/* Counts the leading rows that are reconstructed and confirmed. */
static void CountReconRows(HevcPicMaps *m, const HevcSps *sps)
{
    const uint32_t H = sps->PicHeightInCtbsY, W = sps->PicWidthInCtbsY;
    while (m->uiRowsRecon < H && m->uiRowsRecon < __atomic_load_n(&m->uiCommitRows, __ATOMIC_ACQUIRE) &&
           __atomic_load_n(HevcRowCtbs(m, m->uiRowsRecon), __ATOMIC_ACQUIRE) == W)
        m->uiRowsRecon++;
}

/* Row r is deblocked once row r+1 is reconstructed (the last row once
 * every row is). */
static uint32_t DeblockEnd(const HevcPicMaps *m, uint32_t H)
{
    return m->uiRowsRecon == H ? H : m->uiRowsRecon ? m->uiRowsRecon - 1 : 0;
}

uint32_t HevcFilterDeblockDue(HevcSliceDec *s, uint32_t *puiFirst)
{
    HevcPicMaps *m = s->pstMaps;
    CountReconRows(m, s->pstSps);
    *puiFirst = m->uiRowsDeblocked;
    const uint32_t uiEnd = DeblockEnd(m, s->pstSps->PicHeightInCtbsY);
    return uiEnd > m->uiRowsDeblocked ? uiEnd : m->uiRowsDeblocked;
}

void HevcFilterDeblocked(HevcSliceDec *s, uint32_t uiRows)
{
    s->pstMaps->uiRowsDeblocked = uiRows;
}

/* Marks the 16-row bands of CTB rows [0, uiRows) finished. */
static void PublishRows(HevcSliceDec *s, uint32_t uiRows, int bLast)
{
    const HevcSps *sps = s->pstSps;
    uint32_t uiLuma = uiRows << sps->CtbLog2SizeY;
    uint32_t uiBands = bLast ? (sps->pic_height_in_luma_samples + 15) >> 4 : uiLuma >> 4;
    for (uint32_t b = uiLuma > (1u << sps->CtbLog2SizeY) ? (uiLuma - (1u << sps->CtbLog2SizeY)) >> 4 : 0; b < uiBands; b++)
        __atomic_store_n(&s->pstPic->piRowProgress[b], HEVC_ROW_DONE, __ATOMIC_SEQ_CST);
    if (bLast)
        __atomic_store_n(&s->pstPic->bPadded, 1, __ATOMIC_RELEASE);
}

void HevcFilterAdvance(HW265D_DEC *pstDec, HevcSliceDec *s, int bFinal)
{
    HevcPicMaps *m = s->pstMaps;
    const HevcSps *sps = s->pstSps;
    const uint32_t H = sps->PicHeightInCtbsY;
    if (bFinal)
        m->uiRowsRecon = H;
    CountReconRows(m, sps);
    while (m->uiRowsDeblocked < DeblockEnd(m, H))
        DeblockRow(s, m->uiRowsDeblocked++);
    uint32_t uiFirst;
    const uint32_t uiSaoEnd = HevcFilterSaoDue(s, &uiFirst);
    while (m->uiRowsDone < uiSaoEnd) {
        uint32_t ry = m->uiRowsDone++;
        HevcFilterSaoRows(pstDec, s, ry, ry + 1, &m->stSao);
        PublishRows(s, m->uiRowsDone, m->uiRowsDone == H);
        HevcThreadsRowsPublished(pstDec);
    }
}

void HevcFilterSaoRows(HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t r0, uint32_t r1, HevcSaoLines *L)
{
    for (uint32_t ry = r0; ry < r1; ry++) {
        if (s->bHighDepth) {
            SaoRow_10(pstDec, s, ry, L);
            PadRow_10(s, ry);
        } else {
            SaoRow_8(pstDec, s, ry, L);
            PadRow_8(s, ry);
        }
    }
}

uint32_t HevcFilterSaoDue(HevcSliceDec *s, uint32_t *puiFirst)
{
    const HevcPicMaps *m = s->pstMaps;
    const uint32_t H = s->pstSps->PicHeightInCtbsY;
    /* SAO of a row waits for the deblocking of the row below (the last row
     * for its own). */
    const uint32_t uiEnd = m->uiRowsDeblocked == H ? H : m->uiRowsDeblocked ? m->uiRowsDeblocked - 1 : 0;
    *puiFirst = m->uiRowsDone;
    return uiEnd > m->uiRowsDone ? uiEnd : m->uiRowsDone;
}

void HevcFilterSaoSplit(HevcSliceDec *s, uint32_t uiMid, HevcSaoLines *pstLower, uint8_t *const apucBelow[3])
{
    HevcPicMaps *m = s->pstMaps;
    const HevcSps *sps = s->pstSps;
    const HevcPic *pic = s->pstPic;
    const size_t uiBps = s->bHighDepth ? 2 : 1;
    for (int c = 0; c < 3; c++) {
        const int iSh = c ? 1 : 0;
        const size_t uiLine = (size_t)((sps->pic_width_in_luma_samples >> iSh) + 2) * uiBps;
        const ptrdiff_t iStride = (ptrdiff_t)pic->auiStride[c] * (ptrdiff_t)uiBps;
        /* Lines start one sample left of the picture, as in SaoRow. */
        const uint8_t *pMid = pic->apucPlane[c] + (ptrdiff_t)(uiMid * sps->CtbSizeY >> iSh) * iStride - uiBps;
        memcpy(pstLower->apucPrev[c], pMid - iStride, uiLine);
        memcpy(apucBelow[c], pMid, uiLine);
        m->stSao.apucBelow[c] = apucBelow[c];
        pstLower->apucBelow[c] = NULL;
    }
    pstLower->bPrevValid = 1;
    m->stSao.uiBelowRow = uiMid - 1;
}

void HevcFilterSaoJoin(HevcSliceDec *s, uint32_t r0, uint32_t r1, const HevcSaoLines *pstLower)
{
    HevcPicMaps *m = s->pstMaps;
    for (int c = 0; c < 3; c++) {
        memcpy(m->stSao.apucPrev[c], pstLower->apucPrev[c], m->auiSaoStride[c]);
        m->stSao.apucBelow[c] = NULL;
    }
    m->stSao.bPrevValid = pstLower->bPrevValid;
    HevcFilterPublish(s, r0, r1);
    m->uiRowsDone = r1;
}

void HevcFilterPublish(HevcSliceDec *s, uint32_t r0, uint32_t r1)
{
    const uint32_t H = s->pstSps->PicHeightInCtbsY;
    for (uint32_t ry = r0; ry < r1; ry++)
        PublishRows(s, ry + 1, ry + 1 == H);
}
