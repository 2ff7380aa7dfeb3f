/* Slice data: CTU loop, coding tree, intra and inter prediction, residuals,
 * reconstruction and the picture-level in-loop filters (H.265 7.3.8, 8.4,
 * 8.6, 8.7, 9.3).
 *
 * Per handle one HevcPicMaps (the picture's shared maps) and one
 * HevcSliceDec per decoding thread, all allocated at creation with every
 * array sized for the largest picture; nothing is allocated per picture or
 * per block.
 *
 * Flow: each slice segment is parsed and reconstructed as it arrives, which
 * records per 4x4 block the QP, intra mode, depth, filter exclusions and the
 * deblocking edges, and per CTB its slice's filter parameters and SAO. As
 * CTB rows complete, deblocking follows one row behind the reconstruction
 * and SAO (from line buffers) one row behind the deblocking; each finished
 * row is padded and published in the slot's row progress words.
 * Concealment: CTBs that no slice reached (a corrupt, truncated or missing
 * slice) take the co-located samples of the closest decoded picture (mid-grey
 * when there is none) and the picture carries HEVC_PIC_ERR_SLICE. */
#ifndef HEVC_SLICEDATA_H
#define HEVC_SLICEDATA_H

#include <pthread.h>
#include <stdint.h>
#include "cabac.h"
#include "dsp/hevc_dsp.h"
#include "hevc_dpb.h"
#include "hevc_ps.h"
#include "hevc_slice.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HW265D_DEC;

/* Per 4x4 luma block flags (pucBlkFlags). */
#define HEVC_BLK_CU 0x01u      /* its coding unit has been parsed */
#define HEVC_BLK_REC 0x02u     /* its luma samples are reconstructed */
#define HEVC_BLK_NOFILT 0x04u  /* pcm with pcm_loop_filter_disabled_flag, or transquant bypass */
#define HEVC_BLK_INTRA 0x08u   /* its coding unit is intra */
#define HEVC_BLK_SKIP 0x10u    /* cu_skip_flag */
#define HEVC_BLK_CBF 0x20u     /* its luma transform block has coded coefficients */

/* Motion of one prediction unit, kept per 4x4 for the current picture
 * (H.265 8.5.3.2): ucPredFlags bit 0 = predFlagL0, bit 1 = predFlagL1. */
typedef struct {
    int16_t aiMv[2][2];
    int8_t aiRefIdx[2];
    uint8_t ucPredFlags;
    uint8_t ucPad;
    int8_t aiSlot[2];   /* DPB slot of each reference: bS compares pictures */
    uint8_t aucPad[2];
} HevcMvField;

enum { HEVC_PART_2Nx2N = 0, HEVC_PART_2NxN, HEVC_PART_Nx2N, HEVC_PART_NxN, HEVC_PART_2NxnU, HEVC_PART_2NxnD,
       HEVC_PART_nLx2N, HEVC_PART_nRx2N };

/* Syntax of one prediction unit (H.265 7.3.8.6) with its coding unit's
 * partitioning: all that motion derivation takes besides the maps. */
typedef struct {
    int16_t xPb, yPb;
    uint8_t nPbW, nPbH;
    uint8_t ucPartIdx, ucPartMode, ucLog2CbSize;
    uint8_t bMerge, ucMergeIdx;
    uint8_t ucPredFlags;        /* AMVP: bit l, list l is used */
    int8_t aiRefIdx[2];
    uint8_t aucMvpFlag[2];
    int16_t aaiMvd[2][2];
} HevcPuSyntax;

/* SAO parameters of one CTB (H.265 7.4.9.3), per colour component. */
typedef struct {
    uint8_t aucType[3];      /* SaoTypeIdx: 0 off, 1 band, 2 edge */
    uint8_t aucBandPos[3];
    uint8_t aucEoClass[3];
    int16_t asOffset[3][5];  /* SaoOffsetVal[0..4] */
} HevcSaoParams;

/* What the in-loop filters need to know about each CTB's slice. */
typedef struct {
    uint32_t uiSliceAddrRs;  /* SliceAddrRs of its slice */
    int8_t cBetaOffsetDiv2, cTcOffsetDiv2;
    uint8_t bDeblockOff;     /* slice_deblocking_filter_disabled_flag */
    uint8_t bLfAcrossSlices; /* slice_loop_filter_across_slices_enabled_flag */
    uint8_t bSaoLuma, bSaoChroma;
    uint8_t bDecoded;        /* parsed in the current picture */
    uint8_t bCounted;        /* reconstructed and counted in its row */
    uint16_t usTileId;
    HevcSaoParams stSao;
} HevcCtbInfo;

/* The line buffers of one thread applying SAO to consecutive CTB rows. */
typedef struct {
    uint8_t *apucLines[3];       /* deblocked rows of one CTB row plus one line above and below */
    uint8_t *apucPrev[3];        /* deblocked last line of the row above, kept before its SAO */
    /* When set: the deblocked first line of the row below row uiBelowRow,
     * kept before another thread's SAO of that row changed it. */
    const uint8_t *apucBelow[3];
    uint32_t uiBelowRow;
    int bPrevValid;
} HevcSaoLines;

/* Per-picture state shared by every thread that decodes the picture: the
 * maps written per 4x4 block and per CTB while decoding and read by later
 * blocks, by the in-loop filters and by the concealment, and the row
 * bookkeeping of the lagging filters. One record per handle, sized at
 * creation for the largest picture. The maps are written only by the
 * thread decoding the CTB they describe and read by others only after that
 * CTB's row progress (puiRowCtbs) was published. */
typedef struct HevcPicMaps {
    uint32_t uiMaxW4, uiMaxH4;   /* 4x4 grid of the largest picture */
    uint32_t uiMaxCtbs;          /* CTB 8 of the largest picture */
    uint32_t uiMaxCtbRows;       /* CTB rows of the largest picture (CTB 8) */
    int8_t *pcQpY;               /* QpY per 4x4 */
    uint8_t *pucIntraMode;       /* IntraPredModeY per 4x4 */
    uint8_t *pucCtDepth;         /* CtDepth per 4x4 */
    uint8_t *pucBlkFlags;        /* HEVC_BLK_* per 4x4 */
    uint8_t *pucBsV, *pucBsH;    /* deblocking bS of the left / top edge of each 4x4 */
    HevcMvField *pstMv;          /* PU motion per 4x4 */
    /* 1 per 4x4 whose motion pstMv holds. Apart from pucBlkFlags: motion may
     * be derived behind parsing (the reconstruction task), by the thread
     * that alone writes and reads this map and pstMv then. */
    uint8_t *pucMvSet;
    HevcCtbInfo *pstCtb;         /* per CTB in raster scan */
    const HevcRefLists *pstDecRefs; /* the decoder's lists of the current slice */

    /* Picture being decoded (set at its first slice segment, constant until
     * it completes). */
    HevcPic *pstPic;
    const HevcSps *pstSps;
    const HevcPps *pstPps;
    const uint32_t *puiCtbAddrRsToTs; /* the decoder's scan tables for this PPS */
    const uint16_t *pusTileId;   /* tile of each CTB, in tile scan */
    uint32_t uiW4, uiH4;         /* 4x4 grid of this picture */
    int bHighDepth;              /* 16-bit samples (HevcDsp10) */
    int bUnsupported;            /* bit depths or tools the tables do not cover */
    /* ScalingFactor m[x][y] per sizeId and matrixId (cIdx, plus 3 for
     * inter blocks), row-major. */
    int bScaling;
    uint8_t aaucScale[4][6][32 * 32];

    /* Progress of the picture (atomics: written with release stores by the
     * thread that decoded or filtered, read with acquire loads). */
    uint32_t uiCtbsDone;         /* CTBs parsed while the reconstruction task runs (the parser only; HevcCtbsDone) */
    uint32_t *puiRowCtbs;        /* per CTB row: CTBs reconstructed (HevcRowCtbs) */
    /* Lagging in-loop filters (hevc_filter.c); run by one thread at a time
     * (the caller's thread, or whichever worker holds the filter turn). */
    uint32_t uiRowsRecon;        /* leading CTB rows completely reconstructed */
    uint32_t uiRowsDeblocked;    /* leading CTB rows deblocked */
    uint32_t uiRowsDone;         /* leading CTB rows with SAO and padding done */
    HevcSaoLines stSao;
    uint32_t auiSaoStride[3];    /* of stSao's buffers, in bytes; apucPrev holds one such line */

    /* Threaded decoding (hevc_threads.c). Row progress waits: a thread that
     * needs more CTBs of a row than puiRowCtbs shows marks puiRowWake and
     * waits on stProgCond; the lock guards bFilterStop and iWaiters and is
     * held for every wait and wake-up; the counts, the marks and
     * bFilterWaiting are atomics (a CTB is counted without the lock). */
    int bThreaded;               /* the pool works on this picture */
    pthread_mutex_t stProgLock;
    pthread_cond_t stProgCond;   /* row waiters: a CTB was done, or a row failed */
    pthread_cond_t stFilterCond; /* the filter task: a row completed, rows confirmed, or stop */
    int bProgInit;
    int bFilterWaiting;          /* the filter task sleeps on stFilterCond */
    int bFilterStop;             /* the picture's rows are all decoded: the filter task ends */
    uint32_t uiCommitRows;       /* atomic: rows the filters may take (those below may still be undone) */
    int iWaiters;
    /* Filter turn: the thread that swaps iFilterBusy from 0 to 1 runs the
     * filters; one that finds it taken only bumps uiFilterReq, which the
     * holder checks after letting go (both atomics). */
    int iFilterBusy;
    uint32_t uiFilterReq;
    int32_t iRowError;           /* atomic: 1 + the topmost CTB row whose task failed, 0 none */
    uint32_t *puiRowWake;        /* atomic, per CTB row: count at which its waiter wants waking, 0 none */
    HevcCabacCtx *pstRowCtx;     /* per CTB row: contexts after its 2nd CTB (wavefront) */
    /* The reconstruction task runs this picture's sample work, NULL when
     * the parsing thread does it (set and cleared by the caller's thread,
     * hevc_recon_task.h). */
    struct HevcReconTask *pstSplit;
} HevcPicMaps;

/* Rows are counted one per 64-byte line: threads counting different rows
 * (wavefront rows, the rows of a tile task) do not share a cache line. */
#define HEVC_ROW_STRIDE 16
static inline uint32_t *HevcRowCtbs(const HevcPicMaps *m, uint32_t ry)
{
    return &m->puiRowCtbs[(size_t)ry * HEVC_ROW_STRIDE];
}
/* CTBs of the picture decoded so far: the sum of its rows (threads count
 * only per row, as one shared count would be a cache line that every CTB
 * of every thread writes), or the parser's own count while the
 * reconstruction task runs behind it. */
uint32_t HevcCtbsDone(const HevcPicMaps *m);

/* Decoding state of one thread: CABAC engine and contexts, QP prediction,
 * the current coding and prediction unit, prediction, coefficient and edge
 * scratch. One for the caller's thread, one per worker, allocated at
 * creation. The map pointers and picture constants below are views of the
 * shared HevcPicMaps (the same arrays in every thread's record), copied in
 * when the thread starts on a picture, so the stage files reach them
 * directly. */
typedef struct HevcSliceDec {
    HevcPicMaps *pstMaps;        /* shared per-picture state */
    /* Views of pstMaps. */
    int8_t *pcQpY;
    uint8_t *pucIntraMode;
    uint8_t *pucCtDepth;
    uint8_t *pucBlkFlags;
    uint8_t *pucBsV, *pucBsH;
    HevcMvField *pstMv;
    uint8_t *pucMvSet;
    HevcCtbInfo *pstCtb;
    HevcPic *pstPic;
    const HevcSps *pstSps;
    const HevcPps *pstPps;
    uint32_t uiW4, uiH4;
    int bHighDepth;
    int bScaling;
    uint8_t (*aaucScale)[6][32 * 32];

    /* Slice segment state. */
    const HevcSliceHeader *pstSh;
    const uint8_t *pucNal;
    uint32_t uiNalSize;
    HevcCabac stCabac;
    HevcCabacCtx stCtx;
    HevcCabacCtx stCtxWpp;       /* after the 2nd CTB of the row above */
    HevcCabacCtx stCtxDs;        /* end of the previous slice segment */
    int bCtxDsValid;
    uint32_t uiCtbAddrRs, uiCtbAddrTs;
    int iCtbX, iCtbY;            /* luma position of the current CTB */
    /* Quantisation. */
    int iQpY;                    /* QpY of the current coding unit */
    int iLastQpY;                /* QpY of the previous coding unit (qPY_PREV) */
    int iQpPredQg;               /* qPY_PRED of the current quantisation group */
    int bNewQg;
    int bCuQpDeltaCoded;
    int iCuQpDeltaVal;
    int bCuChromaQpOffsetCoded;
    int iCuQpOffsetCb, iCuQpOffsetCr;
    /* Current coding unit. */
    int bTransquantBypass;
    int iIntraChromaMode;        /* IntraPredModeC */
    int iLog2CbSize, iCuX, iCuY;
    int iPartMode;               /* HEVC_PART_* of an inter coding unit */
    int bCuIntra;                /* CuPredMode is MODE_INTRA */
    int iCtDepth;
    /* Inter prediction of the current slice: the collocated picture (slot or
     * -1), NoBackwardPredFlag, and the substitute used for missing references. */
    int iColSlot;
    int bNoBackwardPred;
    int iFallbackSlot;
    const HevcRefLists *pstRefs; /* the slice's lists motion derivation reads (set when attached) */
    int iNbCtbs;                 /* intra neighbour CTBs usable (hevc_recon.c), -1: not found yet */
    int16_t *psPred[2];          /* 14-bit intermediates, 64 x 64 per list */
    uint8_t *pucEdge;            /* edge-extended reference block, (64 + 7)^2 samples of 16 bits */
    /* Residual scratch, 32-byte aligned; bDcOnly: the last residual_coding()
     * coded only the DC coefficient. Only the first iCoeffDirty entries may
     * be non-zero (what the last block wrote), so residual_coding() clears
     * those instead of its whole block. iCoefRows x iCoefCols: the
     * top-left rectangle holding every non-zero coefficient of the last
     * block (whole 4x4 sub-blocks). */
    int16_t *psCoeff;
    int bDcOnly;
    int iCoeffDirty;
    int iCoefRows, iCoefCols;
    uint32_t uiSubEnd;           /* end of the current substream in pucNal */
    /* Messages show the CTB count single-threaded decoding would have:
     * uiCntBase CTBs before the segment, which starts at uiTs0. */
    uint32_t uiCntBase, uiTs0;
    int bTask;                   /* a worker task: the caller applies error flags */
    /* A slice task (hevc_slice_tasks.c): CTBs before uiUnitTs0 (tile scan)
     * belong to slices other threads decode meanwhile, so they count as
     * unavailable without a look at their records (0 otherwise: no such
     * CTBs); the task stops at uiTsLimit, where the next slice's task
     * starts (~0u otherwise). */
    uint32_t uiUnitTs0, uiTsLimit;
    /* Sample work of the picture's sample type (hevc_recon_tmpl.h), set by
     * HevcReconSelect when a picture is attached. */
    void (*pfnPredIntra)(struct HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode,
                         const uint8_t *pucAvail);
    void (*pfnAddCoeffs)(struct HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iQp, int bTransformSkip,
                         int bIdst);
    void (*pfnPutPcm)(struct HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, const uint16_t *pusSamples,
                      int iShift);
    void (*pfnPredInter)(struct HevcSliceDec *s, const HevcPic *const *apRef, int xPb, int yPb, int nPbW, int nPbH,
                         const HevcMvField *pstMv);
    /* Deblocking bS of n edge segments from the 4x4 unit (x4, y4) on:
     * vertical edges down a column (bHor 0, p on the left) or horizontal
     * ones along a row (p above); bIntra: the q side's coding unit is
     * intra. It reads flags and motion of blocks parsed before, so it may
     * run behind parsing like the sample work. */
    void (*pfnMarkRun)(struct HevcSliceDec *s, int bHor, int x4, int y4, int n, int bTransformEdge, int bIntra);
    /* Motion of a prediction unit: derived, stored and predicted from; and
     * a coding unit's motion kept for later pictures. Parsing never reads
     * motion, so these may run behind it too. */
    void (*pfnPredUnit)(struct HW265D_DEC *pstDec, struct HevcSliceDec *s, const HevcPuSyntax *pstPu);
    void (*pfnColMotion)(struct HW265D_DEC *pstDec, struct HevcSliceDec *s, int x0, int y0, int iSize);
    /* Kernel tables, filled once at creation; the picture's depth picks one. */
    HevcDsp8 stDsp8;
    HevcDsp10 stDsp10;
} HevcSliceDec;

/* Allocation at creation (from the decoder's memory table): the shared maps
 * and the caller thread's record; -1 on failure. */
int HevcSliceDecCreate(struct HW265D_DEC *pstDec);
/* A thread's record with its scratch is one block of HevcSliceDecBytes(),
 * 64-byte aligned; HevcSliceDecInitThread prepares it for the maps. */
#define HEVC_THREAD_SCRATCH (2 * 64 * 64 * 2 + 71 * 71 * 2 + 94 + 32 * 32 * 2 + 64)
size_t HevcSliceDecBytes(void);
void HevcSliceDecInitThread(HevcSliceDec *s, HevcPicMaps *m);
/* First slice segment of a picture: reset the per-picture maps. */
void HevcSliceDecStartPicture(struct HW265D_DEC *pstDec);
/* Points a thread's record at the picture in its shared maps. */
void HevcSliceDecAttach(HevcSliceDec *s, HevcPicMaps *m);
/* The CTU loop of a slice segment from CTB ts (first of substream k); bRow
 * for a wavefront row task. See hevc_slicedata.c. */
enum { HEVC_STOP_UNTOUCHED = 0, HEVC_STOP_AS_IS = 1, HEVC_STOP_INFO = 2 };
/* A slice task reached s->uiTsLimit before its slice ended. */
#define HEVC_SLICE_OVERRUN 0xFFFFFFFEu
/* The message of a CTB where decoding stopped; its second value is the
 * count of CTBs decoded before, which a slice task cannot know. */
#define HEVC_CTB_FAIL_FORMAT "IHW265D_Decode : the Curcent iCtbAddrTs is %d,the last decode LcuCnt is %d!\n"
uint32_t HevcDecodeCtbs(struct HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t ts, uint32_t k, int iRowMode,
                        uint32_t *puiStop, int *pbEnd, int *piStopState);
/* Sets the CTB's slice information as its decoding starts. */
void HevcSetCtbInfo(struct HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t rs, uint32_t ts);
/* Decodes the data of the slice segment in pstDec->stSh from the raw NAL
 * bytes. Returns 0 or IHW265D_ERR_NAL / IHW265D_ERR_SLICEHEADER after the
 * message; the picture keeps what was decoded and gets HEVC_PIC_ERR_SLICE. */
uint32_t HevcDecodeSliceData(struct HW265D_DEC *pstDec, const uint8_t *pucNal, uint32_t uiSize);
/* Picture complete: concealment of CTBs no slice reached, then the in-loop
 * filters and padding of the rows still pending. bMayDefer: the next unit
 * is the next picture's first slice segment, so the reconstruction task may
 * be left to end the picture (hevc_recon_task.h). */
void HevcSliceDecFinishPicture(struct HW265D_DEC *pstDec, int bMayDefer);

/* ---- between the stage files (hevc_cu.c, hevc_residual.c, hevc_recon.c, hevc_filter.c) ---- */

/* Coding quadtree of one CTB (hevc_cu.c); 0 or -1 after logging. */
int HevcDecodeCtu(struct HW265D_DEC *pstDec, HevcSliceDec *s);
/* residual_coding() into s->psCoeff (N x N, row-major); returns -1 on a
 * corrupt element (logged). *pbTransformSkip receives transform_skip_flag. */
int HevcResidualCoding(struct HW265D_DEC *pstDec, HevcSliceDec *s, int iLog2Size, int cIdx, int iScanIdx,
                       int *pbTransformSkip);
/* Availability of luma location (x, y) for the current block (H.265 6.4.1):
 * inside the picture, in the current slice and tile, and already decoded in
 * the sense of every bit of uiFlag (HEVC_BLK_CU, HEVC_BLK_REC...). */
int HevcAvailableOutside(const HevcSliceDec *s, int x, int y, unsigned uiFlag);
static inline int HevcAvailable(const HevcSliceDec *s, int x, int y, unsigned uiFlag)
{
    /* Inside the current CTB only the decoding order matters: most
     * neighbours are, and need no CTB record. */
    const HevcSps *sps = s->pstSps;
    const unsigned uiCtb = 1u << sps->CtbLog2SizeY;
    if ((unsigned)(x - s->iCtbX) < uiCtb && (unsigned)(y - s->iCtbY) < uiCtb &&
        x < (int)sps->pic_width_in_luma_samples && y < (int)sps->pic_height_in_luma_samples)
        return (s->pucBlkFlags[(size_t)(y >> 2) * s->uiW4 + (x >> 2)] & uiFlag) == uiFlag;
    return HevcAvailableOutside(s, x, y, uiFlag);
}
/* Whether CTB rs lies in the current CTB's tile and, in a slice task,
 * within the task's slice. Taken from the static tile map and the task's
 * range and asked before a neighbour's CTB record is read: workers
 * decoding other tiles or slices write those records meanwhile. A CTB
 * before the slice's first one is in another slice anyway (a slice's CTBs
 * follow each other in tile scan), and one from the next slice's start on
 * (a below-left neighbour) is not decoded yet in decoding order, so this
 * never changes what is available. */
static inline int HevcSameUnit(const HevcSliceDec *s, uint32_t rs)
{
    const HevcPicMaps *m = s->pstMaps;
    const uint32_t ts = m->puiCtbAddrRsToTs[rs];
    return m->pusTileId[ts] == m->pusTileId[s->uiCtbAddrTs] && ts >= s->uiUnitTs0 && ts < s->uiTsLimit;
}
/* Deblocking edges on the left and top boundary of CTB rs where the
 * neighbour lies in another tile, or before uiUnitTs0 (tile scan) in
 * another slice: tile and slice tasks leave them to the caller's thread,
 * which marks them once the CTBs on both sides are decoded. */
void HevcMarkUnitBoundaryEdges(HevcSliceDec *s, uint32_t rs, uint32_t uiUnitTs0);
/* Picks the sample work of s->bHighDepth's sample type (hevc_recon.c):
 * s->pfnAddCoeffs adds the residual of one transform block in s->psCoeff,
 * s->pfnPutPcm writes PCM samples. */
void HevcReconSelect(HevcSliceDec *s);
/* The direct pfnMarkRun (hevc_cu.c). */
void HevcMarkRun(HevcSliceDec *s, int bHor, int x4, int y4, int n, int bTransformEdge, int bIntra);
/* Intra prediction of one transform block (hevc_recon.c). */
void HevcPredIntra(struct HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode);
/* Inter prediction (hevc_mvpred.c): the merge candidate merge_idx and the
 * AMVP predictor of one prediction block, and motion storage for the picture
 * (per 4x4) and for later pictures' temporal prediction (per 16x16). */
void HevcSliceInterSetup(struct HW265D_DEC *pstDec, HevcSliceDec *s);
void HevcMergeMotion(struct HW265D_DEC *pstDec, HevcSliceDec *s, const HevcPuSyntax *pstPu, HevcMvField *pstOut);
void HevcAmvpPredictor(struct HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, int X,
                       int iRefIdx, int iMvpFlag, int16_t *piMvp);
void HevcStoreMotion(HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, const HevcMvField *pstMv);
void HevcStoreColMotion(struct HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iSize);
/* The direct pfnPredUnit: merge or AMVP, storage, then HevcPredInter. */
void HevcPredictionUnit(struct HW265D_DEC *pstDec, HevcSliceDec *s, const HevcPuSyntax *pstPu);
/* Motion-compensated prediction of one prediction block (hevc_inter.c),
 * and the weights of component c: returns 1 for the default weighting,
 * otherwise fills the explicit weights, offsets and log2Wd. */
void HevcPredInter(struct HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH,
                   const HevcMvField *pstMv);
int HevcInterWeights(const HevcSliceDec *s, const HevcPic *const *apRef, const HevcMvField *pstMv, int c, int *piW,
                     int *piO, int *piLog2Wd);
/* Lagging in-loop filters (hevc_filter.c): deblocks every CTB row whose
 * row below is reconstructed, applies SAO to every row whose row below is
 * deblocked, pads each finished row into the plane borders and publishes it
 * in the slot's row progress. bFinal: the picture is complete (every row
 * counts as reconstructed). Called by one thread at a time per picture. */
void HevcFilterAdvance(struct HW265D_DEC *pstDec, HevcSliceDec *s, int bFinal);
/* The CTB rows [*puiFirst, return) that HevcFilterAdvance would deblock
 * now (it counts the reconstructed rows first); same caller rules. */
uint32_t HevcFilterDeblockDue(HevcSliceDec *s, uint32_t *puiFirst);
/* One direction of the deblocking of CTB rows [r0, r1): vertical edges
 * (iDir 0) only touch the rows' own lines; horizontal edges (iDir 1, each
 * row's top boundary included) need the vertical edges of the rows and of
 * the row above done. So two threads may deblock two bands of rows, the
 * lower band's top boundary last, and HevcFilterDeblocked then marks them. */
void HevcFilterDeblockBand(HevcSliceDec *s, uint32_t r0, uint32_t r1, int iDir);
void HevcFilterDeblocked(HevcSliceDec *s, uint32_t uiRows);
/* Bytes of the SAO line buffers for the largest picture. */
size_t HevcFilterLineBytes(uint32_t uiMaxWidth, int iPlane);
/* The CTB rows [*puiFirst, return) that HevcFilterAdvance would apply SAO
 * to and pad now (their deblocking is done); same caller rules. */
uint32_t HevcFilterSaoDue(HevcSliceDec *s, uint32_t *puiFirst);
/* SAO of rows [r0, r1) can go to two threads at uiMid: the lower band
 * (pstLower's buffers) starts from the deblocked last line of row
 * uiMid - 1 and the upper one (the maps' buffers) ends with the deblocked
 * first line of row uiMid, both kept here (in apucBelow, one line of
 * auiSaoStride bytes per plane) before either band changes them. */
void HevcFilterSaoSplit(HevcSliceDec *s, uint32_t uiMid, HevcSaoLines *pstLower, uint8_t *const apucBelow[3]);
/* SAO and padding of rows [r0, r1) with the line buffers L. */
void HevcFilterSaoRows(struct HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t r0, uint32_t r1, HevcSaoLines *L);
/* After both bands of rows [r0, r1): the maps' buffers go on from where
 * the lower band ended, and the rows are marked done and published. */
void HevcFilterSaoJoin(HevcSliceDec *s, uint32_t r0, uint32_t r1, const HevcSaoLines *pstLower);
/* Publishes CTB rows [r0, r1), filtered and padded, in the slot's row
 * progress (the picture counts as padded with its last row). */
void HevcFilterPublish(HevcSliceDec *s, uint32_t r0, uint32_t r1);

#ifdef __cplusplus
}
#endif
#endif
