/* Slice data of intra pictures: CTU loop, coding tree, residuals,
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
 * Concealment: a slot starts mid-grey, so CTBs that no slice reached (a
 * corrupt, truncated or missing slice) stay mid-grey and the picture carries
 * HEVC_PIC_ERR_SLICE. P and B slices are not reconstructed here: such
 * pictures keep mid-grey and HEVC_PIC_ERR_NOT_DECODED. */
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
    /* ScalingFactor m[x][y] per sizeId and intra matrixId (cIdx), row-major. */
    int bScaling;
    uint8_t aaucScale[4][3][32 * 32];

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
    /* Residual scratch, 32-byte aligned. */
    int16_t *psCoeff;
    uint32_t uiSubEnd;           /* end of the current substream in pucNal */
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
 * the sense of uiFlag (HEVC_BLK_CU or HEVC_BLK_REC). */
int HevcAvailable(const HevcSliceDec *s, int x, int y, unsigned uiFlag);
/* Intra prediction and residual of one transform block (hevc_recon.c). */
void HevcPredIntra(struct HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode);
void HevcAddCoeffs(struct HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iQp,
                   int bTransformSkip, int bIdst);
/* PCM samples written to the picture. */
void HevcPutPcm(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, const uint16_t *pusSamples, int iShift);
/* In-loop filters over the whole picture (hevc_filter.c). */
void HevcDeblockPicture(struct HW265D_DEC *pstDec, HevcSliceDec *s);
void HevcSaoPicture(struct HW265D_DEC *pstDec, HevcSliceDec *s);

#ifdef __cplusplus
}
#endif
#endif
