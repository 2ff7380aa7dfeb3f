/* Slice data: CTU loop, coding tree, intra and inter prediction, residuals,
 * reconstruction and the picture-level in-loop filters (H.265 7.3.8, 8.4,
 * 8.6, 8.7, 9.3).
 *
 * One HevcSliceDec per decoder handle, allocated at creation with every
 * per-picture array sized for the largest picture; nothing is allocated per
 * picture or per block. All of it is touched only by the thread that calls
 * IHW265D_DecodeFrame.
 *
 * Flow: each slice segment is parsed and reconstructed as it arrives, which
 * records per 4x4 block the QP, intra mode, depth, filter exclusions and the
 * deblocking edges, and per CTB its slice's filter parameters and SAO. When
 * the picture completes, deblocking runs over the whole picture (vertical
 * edges, then horizontal) and SAO from a copy of the deblocked samples.
 * Concealment: CTBs that no slice reached (a corrupt, truncated or missing
 * slice) take the co-located samples of the closest decoded picture (mid-grey
 * when there is none) and the picture carries HEVC_PIC_ERR_SLICE. */
#ifndef HEVC_SLICEDATA_H
#define HEVC_SLICEDATA_H

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
#define HEVC_BLK_MV 0x40u      /* its prediction unit's motion is set (inter only) */

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
    uint16_t usTileId;
    HevcSaoParams stSao;
} HevcCtbInfo;

/* Everything one slice segment's decoding works with. */
typedef struct HevcSliceDec {
    /* Per-picture metadata, sized at creation for the largest picture. */
    uint32_t uiMaxW4, uiMaxH4;   /* 4x4 grid of the largest picture */
    uint32_t uiMaxCtbs;          /* CTB 16 of the largest picture */
    int8_t *pcQpY;               /* QpY per 4x4 */
    uint8_t *pucIntraMode;       /* IntraPredModeY per 4x4 */
    uint8_t *pucCtDepth;         /* CtDepth per 4x4 */
    uint8_t *pucBlkFlags;        /* HEVC_BLK_* per 4x4 */
    uint8_t *pucBsV, *pucBsH;    /* deblocking bS of the left / top edge of each 4x4 */
    HevcMvField *pstMv;          /* PU motion per 4x4 */
    HevcCtbInfo *pstCtb;         /* per CTB in raster scan */
    uint8_t *pucSaoCopy;         /* deblocked copy of a picture, same layout as a DPB slot */
    size_t uiSaoCopySize;

    /* Picture being decoded. */
    HevcPic *pstPic;
    const HevcSps *pstSps;
    const HevcPps *pstPps;
    uint32_t uiW4, uiH4;         /* 4x4 grid of this picture */
    uint32_t uiCtbsDone;         /* CTBs parsed so far */
    int bHighDepth;              /* 16-bit samples (HevcDsp10) */
    int bUnsupported;            /* bit depths the tables do not cover */
    int bAnySao, bAnyDeblock;
    /* ScalingFactor m[x][y] per sizeId and matrixId (cIdx, plus 3 for
     * inter blocks), row-major. */
    int bScaling;
    uint8_t aaucScale[4][6][32 * 32];

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
    int16_t *psPred[2];          /* 14-bit intermediates, 64 x 64 per list */
    uint8_t *pucEdge;            /* edge-extended reference block, (64 + 7)^2 samples of 16 bits */
    /* Residual scratch, 32-byte aligned; bDcOnly: the last residual_coding()
     * coded only the DC coefficient. */
    int16_t *psCoeff;
    int bDcOnly;
    uint32_t uiSubEnd;           /* end of the current substream in pucNal */
    /* Per DPB slot: decode order + 1 of the picture whose plane borders are
     * filled (HevcPadPicture), 0 for none. */
    uint32_t auiPadded[HEVC_MAX_DPB_SLOTS];
    /* Kernel tables, filled once at creation; the picture's depth picks one. */
    HevcDsp8 stDsp8;
    HevcDsp10 stDsp10;
} HevcSliceDec;

/* Allocation at creation (from the decoder's memory table); -1 on failure. */
int HevcSliceDecCreate(struct HW265D_DEC *pstDec);
/* First slice segment of a picture: reset the per-picture metadata. */
void HevcSliceDecStartPicture(struct HW265D_DEC *pstDec);
/* Decodes the data of the slice segment in pstDec->stSh from the raw NAL
 * bytes. Returns 0 or IHW265D_ERR_NAL / IHW265D_ERR_SLICEHEADER after the
 * message; the picture keeps what was decoded and gets HEVC_PIC_ERR_SLICE. */
uint32_t HevcDecodeSliceData(struct HW265D_DEC *pstDec, const uint8_t *pucNal, uint32_t uiSize);
/* Picture complete: deblocking and SAO over the decoded picture; CTBs that
 * were never decoded stay mid-grey and flag the picture. */
void HevcSliceDecFinishPicture(struct HW265D_DEC *pstDec);

/* ---- between the stage files (hevc_cu.c, hevc_residual.c, hevc_recon.c, hevc_filter.c) ---- */

/* Coding quadtree of one CTB (hevc_cu.c); 0 or -1 after logging. */
int HevcDecodeCtu(struct HW265D_DEC *pstDec, HevcSliceDec *s);
/* residual_coding() into s->psCoeff (N x N, row-major); returns -1 on a
 * corrupt element (logged). *pbTransformSkip receives transform_skip_flag. */
int HevcResidualCoding(struct HW265D_DEC *pstDec, HevcSliceDec *s, int iLog2Size, int cIdx, int iScanIdx,
                       int *pbTransformSkip);
/* Availability of luma location (x, y) for the current block (H.265 6.4.1):
 * inside the picture, in the current slice and tile, and already decoded in
 * the sense of every bit of uiFlag (HEVC_BLK_CU, HEVC_BLK_REC, HEVC_BLK_MV...). */
int HevcAvailable(const HevcSliceDec *s, int x, int y, unsigned uiFlag);
/* Intra prediction and residual of one transform block (hevc_recon.c). */
void HevcPredIntra(struct HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode);
void HevcAddCoeffs(struct HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iQp,
                   int bTransformSkip, int bIdst);
/* Inter prediction (hevc_mvpred.c): the merge candidate merge_idx and the
 * AMVP predictor of one prediction block, and motion storage for the picture
 * (per 4x4) and for later pictures' temporal prediction (per 16x16). */
void HevcSliceInterSetup(struct HW265D_DEC *pstDec, HevcSliceDec *s);
void HevcMergeMotion(struct HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, int iPartIdx,
                     int iMergeIdx, HevcMvField *pstOut);
void HevcAmvpPredictor(struct HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, int X,
                       int iRefIdx, int iMvpFlag, int16_t *piMvp);
void HevcStoreMotion(HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH, const HevcMvField *pstMv);
void HevcStoreColMotion(struct HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iSize);
/* Motion-compensated prediction of one prediction block (hevc_inter.c). */
void HevcPredInter(struct HW265D_DEC *pstDec, HevcSliceDec *s, int xPb, int yPb, int nPbW, int nPbH,
                   const HevcMvField *pstMv);
/* Fills the plane borders of the finished current picture (DPB slot iSlot)
 * so motion compensation reads blocks near the edges in place. */
void HevcPadPicture(HevcSliceDec *s, int iSlot);
/* PCM samples written to the picture. */
void HevcPutPcm(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, const uint16_t *pusSamples, int iShift);
/* In-loop filters over the whole picture (hevc_filter.c). */
void HevcDeblockPicture(struct HW265D_DEC *pstDec, HevcSliceDec *s);
void HevcSaoPicture(struct HW265D_DEC *pstDec, HevcSliceDec *s);

#ifdef __cplusplus
}
#endif
#endif
