/* The decoder object behind an IH265DEC_HANDLE. Internal to src/hevc. */
#ifndef HEVC_DECODER_H
#define HEVC_DECODER_H

#include <stdint.h>
#include "IHW265D.h"
#include "hevc_mem.h"
#include "hevc_ps.h"
#include "hevc_slice.h"
#include "hevc_dpb.h"
#include "hevc_trace.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HEVC_VALID_WORD 0x11335577u
#define HEVC_SMALL_STREAM_BUF 3133440u
#define HEVC_SMALL_STREAM_AREA 2088960u /* 1920 x 1088 */
#define HEVC_MAX_NAL_PER_PIC 2176
#define HEVC_MAX_SEI_PAYLOAD 2048
#define HEVC_TS_RING 64

/* NAL decode results besides error codes. */
#define HEVC_NAL_CONSUMED 0u
#define HEVC_NAL_PIC_DONE 2u
#define HEVC_NAL_FAIL 0xFFFFFFFFu /* the -1 of the per-picture limits */

enum {
    HEVC_NAL_TRAIL_N = 0, HEVC_NAL_TRAIL_R = 1, HEVC_NAL_TSA_N = 2, HEVC_NAL_TSA_R = 3,
    HEVC_NAL_STSA_N = 4, HEVC_NAL_STSA_R = 5, HEVC_NAL_RADL_N = 6, HEVC_NAL_RADL_R = 7,
    HEVC_NAL_RASL_N = 8, HEVC_NAL_RASL_R = 9, HEVC_NAL_BLA_W_LP = 16, HEVC_NAL_BLA_W_RADL = 17,
    HEVC_NAL_BLA_N_LP = 18, HEVC_NAL_IDR_W_RADL = 19, HEVC_NAL_IDR_N_LP = 20, HEVC_NAL_CRA = 21,
    HEVC_NAL_RSV_IRAP_23 = 23, HEVC_NAL_VPS = 32, HEVC_NAL_SPS = 33, HEVC_NAL_PPS = 34,
    HEVC_NAL_AUD = 35, HEVC_NAL_EOS = 36, HEVC_NAL_EOB = 37, HEVC_NAL_FD = 38,
    HEVC_NAL_SEI_PREFIX = 39, HEVC_NAL_SEI_SUFFIX = 40
};

/* One NAL unit collected for the picture being assembled; its bytes stay in
 * the stream buffer until the picture is complete. */
typedef struct {
    uint8_t ucType, ucLayerId, ucTemporalId;
    uint32_t uiOffset;   /* of the first header byte, in the stream buffer */
    uint32_t uiSize;     /* raw bytes, header included */
} HevcNalInfo;

typedef struct {
    uint16_t ausPrimariesX[3], ausPrimariesY[3];
    uint16_t usWhitePointX, usWhitePointY;
    uint32_t uiMaxLuminance, uiMinLuminance;
    uint16_t usMaxCll, usMaxFall;
    uint8_t *pucUserData; /* HEVC_MAX_SEI_PAYLOAD bytes, from the memory table */
    uint32_t uiUserDataLen;
    uint32_t uiPrivateValue; /* payload type 229 */
} HevcSeiInfo;

/* State of picture order count and picture boundaries across pictures. */
typedef struct {
    int32_t iPrevTid0Poc;     /* PicOrderCntVal of prevTid0Pic */
    int bPrevTid0Valid;
    int bFirstPicture;        /* next IRAP is the first of the stream */
    int bAfterEos;            /* next picture starts a coded video sequence */
    int bNoRaslOutputFlag;    /* of the IRAP that leads the current CVS */
    uint32_t uiCvsId;
    uint32_t uiDecodeOrder;
} HevcPocState;

/* Every field is written only by the one thread that drives the handle
 * (calls on a handle are not concurrent). Worker tasks read the current
 * slice's fields (header, lists, CTB tables) while the caller's thread
 * waits for them, and share the DPB samples, the picture maps and the row
 * progress words, whose declarations say how. */
typedef struct HW265D_DEC {
    uint32_t uiValid; /* HEVC_VALID_WORD once creation succeeded */
    IHW265D_INIT_PARAM stParam;  /* copy; iMaxWidth/iMaxHeight as given */
    uint32_t uiMaxWidth, uiMaxHeight; /* rounded up to multiples of 64 */
    HevcMemTable stMem;

    /* Stream buffer: bytes [0, uiPos) are units already decoded that the
     * picture being assembled still refers to (its NAL list holds their
     * true offsets), [uiPos, uiFill) buffered input not yet decoded. The
     * front is dropped only when input needs the room. */
    uint8_t *pucStream;
    uint32_t uiStreamCap, uiFill, uiPos;
    uint32_t uiScanHint;   /* no start code begins at or after uiPos + 3 and before this offset */
    uint64_t ullAbsBase;   /* stream position of pucStream[0] */
    uint64_t ullAbsIn;     /* stream bytes appended so far */
    uint64_t aullTsPos[HEVC_TS_RING]; /* where each call's data starts */
    uint64_t aullTsVal[HEVC_TS_RING];
    uint32_t uiTsHead, uiTsCount;

    /* Parameter-set stores, indexed by id, sized by the creation limits. */
    HevcVps *pstVps;
    HevcSps *pstSps;
    HevcPps *pstPps;
    HevcVps *pstVpsTmp; /* parse targets, copied in when valid */
    HevcSps *pstSpsTmp;
    HevcPps *pstPpsTmp;
    HevcSeiInfo stSei;

    /* Picture being assembled. */
    HevcNalInfo *pstNalList;      /* HEVC_MAX_NAL_PER_PIC entries */
    int iNalNum;
    int iNalKept;                 /* first entry whose bytes are still in the stream buffer */
    int iSliceNalNum;
    uint32_t uiCurNalOffset;      /* offset of the unit being decoded */
    uint32_t uiUnitEnd;           /* where the bytes after it start (a start code, or the buffer's end) */
    int iCurPic;                  /* DPB slot of the current picture, -1 none */
    int bPicStarted;              /* first slice segment seen */
    int bPicFailed;               /* first segment failed: later ones are refused */
    int bSkipPic;                 /* RASL picture that is not decoded */
    int bPicReady;                /* completed, output attempt pending */
    HevcSliceHeader stSh;         /* current segment (with its independent fields) */
    int bShValid;                 /* stSh holds a valid independent header */
    uint8_t ucFirstTemporalId;
    const HevcVps *pstActVps;
    const HevcSps *pstActSps;
    const HevcPps *pstActPps;
    uint32_t *puiEntryPoints;     /* pool for the picture's entry points */
    uint32_t uiEntryPointCap, uiEntryPointNum;

    /* Reference state. */
    HevcPocState stPoc;
    HevcDpb stDpb;
    /* RPS of the current picture: slot indexes, -1 for a missing picture. */
    int aiStCurrBefore[HEVC_MAX_DPB_SIZE], aiStCurrAfter[HEVC_MAX_DPB_SIZE];
    int aiLtCurr[HEVC_MAX_DPB_SIZE];
    int iNumStCurrBefore, iNumStCurrAfter, iNumLtCurr;
    int iNumStFoll, iNumLtFoll;
    int32_t aiPocStCurrBefore[HEVC_MAX_DPB_SIZE], aiPocStCurrAfter[HEVC_MAX_DPB_SIZE];
    int32_t aiPocLtCurr[HEVC_MAX_DPB_SIZE];
    /* Reference picture lists of the current slice. */
    HevcRefLists stRefs;

    /* Tile and CTB address tables of the current picture (H.265 6.5.1),
     * uiMaxCtbs entries each, filled when a picture activates its PPS. */
    uint32_t uiMaxCtbs;
    uint32_t *puiCtbAddrRsToTs, *puiCtbAddrTsToRs;
    uint16_t *pusTileId;
    uint32_t uiCtbTablesStamp; /* uiGridStamp of the PPS grid they hold, 0: none */

    uint32_t uiRelaxedChecks; /* HEVC_RELAX_* */

    /* Slice data decoding (hevc_slicedata.h), allocated at creation: the
     * picture's shared maps and the caller thread's decoding state. */
    struct HevcPicMaps *pstMaps;      /* the set of the picture being decoded */
    struct HevcPicMaps *apstMaps[2];  /* both sets ([1] with eThreadType 1 only) */
    struct HevcSliceDec *pstSliceDec;
    /* Worker pool and its state with eThreadType 1, else NULL (hevc_threads.h). */
    struct HevcThreads *pstThreads;
    /* Reconstruction task of pictures without wavefront rows or tiles, with
     * eThreadType 1, else NULL (hevc_recon_task.h). */
    struct HevcReconTask *pstReconTask;
    /* One task per slice (hevc_slice_tasks.h), with eThreadType 1, else NULL. */
    struct HevcSliceTasks *pstSliceTasks;

    /* Observation hook for tools and tests (hevc_trace.h). */
    HevcTraceFxn pfnTrace;
    void *pTraceUser;

    /* Second layer (hevc_refs.c). Its picture order count has its own
     * prevTid0Pic; sequence ids and decode numbers stay those of stPoc. */
    HevcPocState stPocL1;
    int bL1Started;           /* a layer-1 picture was decoded in this CVS */
    int iInterLayerSlot;      /* base-layer picture of the access unit, -1 missing */
    int iNumInterLayer;       /* NumActiveRefLayerPics of the current picture (0, 1) */
    int32_t iInterLayerPoc;   /* its order count (that of the current picture) */
} HW265D_DEC;

/* A worker task's messages are kept (hevc_threads.c) and replayed by the
 * caller's thread in single-threaded order, or dropped when single-threaded
 * decoding would never have reached the CTB that logged them. */
struct HevcLogBuf_;
void *HevcLogCapturing(void);
void HevcLogCaptureV(void *pstBuf, int iLevel, const char *pszFormat, ...);
#define HEVC_LOG(dec, lvl, ...)                                                                  \
    (HevcLogCapturing() ? HevcLogCaptureV(HevcLogCapturing(), (lvl), __VA_ARGS__)                 \
                        : (dec)->stParam.LogFxn((dec)->stParam.uiChannelID, (lvl), __VA_ARGS__))
#define HEVC_ERR(dec, ...) HEVC_LOG(dec, IHW265D_LOG_ERROR, __VA_ARGS__)
#define HEVC_WARN(dec, ...) HEVC_LOG(dec, IHW265D_LOG_WARNING, __VA_ARGS__)

/* NAL unit decoding (hevc_nal.c): one unit without its start code, at
 * uiOffset in the stream buffer. Returns HEVC_NAL_CONSUMED, HEVC_NAL_PIC_DONE,
 * HEVC_NAL_FAIL or an error code. */
uint32_t HevcDecodeNal(HW265D_DEC *pstDec, const uint8_t *pucNal, uint32_t uiSize, uint32_t uiOffset);
/* The complete unit whose start code is at uiFrom in the stream buffer (one
 * followed by another start code): 0 with its bytes (without start code and
 * trailing zeros) at *puiStart, *puiSize, and the next start code at
 * *puiNext; -1 when no complete unit starts there (hevc_api.c). */
int HevcPeekUnit(const HW265D_DEC *pstDec, uint32_t uiFrom, uint32_t *puiStart, uint32_t *puiSize, uint32_t *puiNext);
/* Finishes the picture being assembled (next access unit or flush);
 * bMayDefer: the unit that ends it is the next picture's first slice
 * segment of the base layer, decoded right after in the same call. */
uint32_t HevcFinishPicture(HW265D_DEC *pstDec, int bMayDefer);
/* SEI (hevc_sei.c). */
uint32_t HevcParseSei(HW265D_DEC *pstDec, HevcBits *pstBits, int bPrefix);
/* Picture start and per-slice reference work (hevc_refs.c). */
uint32_t HevcStartPicture(HW265D_DEC *pstDec);
uint32_t HevcBuildRefLists(HW265D_DEC *pstDec);
/* Time stamp that came with the data at stream position ullAbs. */
uint64_t HevcTimeStampAt(const HW265D_DEC *pstDec, uint64_t ullAbs);

#ifdef __cplusplus
}
#endif
#endif
