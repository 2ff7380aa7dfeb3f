/* Decoded picture buffer: slots allocated once at creation, reference
 * marking state, and the choice of the picture to output. */
#ifndef HEVC_DPB_H
#define HEVC_DPB_H

#include <stdint.h>
#include "IHW265D.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HW265D_DEC;

/* iMaxRefNum 15 + current + one waiting for output, + the second layer's
 * current picture when multi-layer decoding is enabled. */
#define HEVC_MAX_DPB_SLOTS 18

/* Padding around every plane, in samples, as the slot sizes prescribe.
 * Rows add 160 in total (80 above, 80 below), columns 256 (128 left, 128
 * right); chroma planes have half of each. The border is filled with the
 * edge samples as each row of the picture is finished (hevc_filter.c), so
 * motion compensation reads blocks within it directly; motion vectors reach
 * far beyond it, and blocks that leave the padded area are read through
 * clamped coordinates (hevc_inter.c). */
#define HEVC_PAD_X 128
#define HEVC_PAD_Y 80

/* Row progress values (HevcPic.piRowProgress). */
#define HEVC_ROW_DONE 1
#define HEVC_ROW_ERROR (-1)

enum { HEVC_REF_UNUSED = 0, HEVC_REF_SHORT = 1, HEVC_REF_LONG = 2 };

#define HEVC_PIC_NEEDED_FOR_OUTPUT 0x1u

/* Bits of a picture's error indicator (word 55 of the output record). */
#define HEVC_PIC_ERR_MISSING_REF 0x1u   /* a reference picture was not in the DPB */
#define HEVC_PIC_ERR_SLICE 0x2u         /* a slice of the picture failed */
#define HEVC_PIC_ERR_NOT_DECODED 0x4u   /* slice data not reconstructed (mid-grey) */

/* Motion information kept per 16x16 block of a picture for temporal motion
 * vector prediction (H.265 8.5.3.2.8): two vectors, two reference indexes
 * and the POCs/long-term state of the referenced pictures, 28 bytes. */
typedef struct {
    int16_t aiMv[2][2];
    int8_t aiRefIdx[2];
    uint8_t ucPredFlags;
    uint8_t ucLongTermMask;
    int32_t aiRefPoc[2];
    int32_t iReserved[2];
} HevcMotion16;

typedef struct {
    /* Storage, fixed at creation. */
    uint8_t *pucSamples;      /* sample block: luma then two chroma planes */
    HevcMotion16 *pstMotion;  /* W*H/256 entries of the maximum picture */
    uint8_t *pucInfo72;       /* per-picture scratch (slice bookkeeping) */
    uint8_t *pucInfo2048;     /* per-picture scratch (ref POC tables of slices) */
    int32_t *piRowProgress;   /* per 16 luma rows: HEVC_ROW_DONE once those rows are
                               * filtered and padded, HEVC_ROW_ERROR when they never
                               * will be (atomics: release store, acquire load) */
    /* Current picture geometry (set when the slot is taken). */
    uint8_t *apucPlane[3];    /* sample (0,0) of each plane */
    uint32_t auiStride[3];    /* in samples */
    uint32_t uiWidth, uiHeight; /* coded size in luma samples */
    uint32_t uiBitDepthY, uiBitDepthC;
    uint32_t uiCropLeft, uiCropRight, uiCropTop, uiCropBottom; /* luma samples */
    uint32_t uiFullRange;     /* VUI video_full_range_flag: samples span 0..max */
    /* State; touched only by the thread that calls IHW265D_DecodeFrame. */
    int bInUse;
    int bDecoded;             /* all slices seen, picture complete */
    uint32_t uiFlags;         /* HEVC_PIC_NEEDED_FOR_OUTPUT */
    int bPadded;              /* every row finished and its border filled */
    int eRefMark;             /* HEVC_REF_* */
    int32_t iPoc;
    uint32_t uiCvsId;         /* coded video sequence counter: output order key */
    int iLayerId;
    int iTemporalId;
    uint64_t ullTimeStamp;
    uint32_t uiDecodeOrder;
    uint32_t uiErrorFlag;
    uint32_t uiNalUnitType, uiSliceType;
    uint32_t uiReorderLimit;  /* sps_max_num_reorder_pics[HighestTid] of its SPS */
    int bGenerated;           /* made up for a reference the stream lacks (H.265 8.3.3.2) */
    uint32_t uiFreedAt;       /* HevcDpb.uiFrees when the slot was last freed (0: never used) */
} HevcPic;

typedef struct {
    HevcPic astPic[HEVC_MAX_DPB_SLOTS];
    int iSlotNum;             /* iMaxRefNum + 2 */
    uint32_t uiLumaRowBytes;  /* R */
    uint32_t uiLumaRows;      /* H + 160 */
    uint32_t uiBytesPerSample;
    uint32_t uiFrees;         /* slots freed so far */
} HevcDpb;

/* Allocates every slot from the decoder's memory table. */
int HevcDpbCreate(struct HW265D_DEC *pstDec);
/* A free slot prepared for a picture of the active SPS, or -1: the one
 * freed longest ago, so the pictures just let go (which the picture before
 * may still be predicting from, hevc_recon_task.h) are taken last. Its samples
 * are left as they are: reconstruction or concealment writes every CTB of
 * the picture before it completes; HevcDpbFillGrey makes the slot mid-grey
 * where nothing will (generated pictures, pictures that are not decoded). */
int HevcDpbTakeSlot(struct HW265D_DEC *pstDec);
void HevcDpbFillGrey(const struct HW265D_DEC *pstDec, HevcPic *pstPic);
void HevcDpbReleaseIfUnused(HevcDpb *pstDpb, HevcPic *pstPic);
/* Empties the buffer without output (no_output_of_prior_pics). */
void HevcDpbDropAll(struct HW265D_DEC *pstDec, int iLayerId);
int HevcDpbCountWaiting(const struct HW265D_DEC *pstDec);
/* Picks the picture to output: with bFlush any waiting picture, otherwise
 * only when the output rule says so. Fills pstOut and returns 1 when one
 * was output, 0 otherwise. */
int HevcDpbOutput(struct HW265D_DEC *pstDec, IHW265D_OUTARGS *pstOut, int bFlush);

#ifdef __cplusplus
}
#endif
#endif
