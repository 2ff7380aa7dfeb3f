/* Reconstruction task fed by the parser through a ring of commands; see
 * hevc_recon_task.h. */
#include "hevc_recon_task.h"

#include <stdlib.h>
#include <string.h>
#include "hevc_decoder.h"
#include "hevc_slicedata.h"
#include "hevc_threads.h"

/* Ring bytes per luma column of the largest picture: x265's 1080p at CRF 26
 * queues about 1 KB per 64x64 CTB (1.5 KB in intra pictures), so 256 bytes
 * per column (then rounded up to a power of two) hold eight CTB rows or
 * more of such pictures, and still a few dozen CTBs of intra pictures coded
 * near losslessly. */
#define RING_BYTES_PER_COLUMN 256u
#define RING_MIN_BYTES (64u << 10)
/* CTBs the sleeping task lets the parser queue before it is woken (half a
 * CTB row, at least this many), so the two threads do not trade a wake-up
 * per CTB; the filters follow a whole row behind anyway. */
#define WAKE_CTBS_MIN 4
/* CTBs the row above gets ahead of the caller's thread each time it has
 * to wait in the picture's last row. */
#define LAST_ROW_LEAD 6

enum { OP_WRAP = 0, OP_INTRA, OP_COEF, OP_PCM, OP_PU, OP_COL, OP_SLICE, OP_EDGES, OP_CTB, OP_PIC_END, OP_PIC_START };

/* Every command starts with this header and is a multiple of 8 bytes. */
typedef struct {
    uint8_t ucOp;
    uint8_t ucLog2;   /* block size; OP_INTER: width */
    uint8_t ucCIdx;   /* OP_INTER: height */
    uint8_t ucArg;    /* OP_INTRA: mode; OP_COEF: COEF_*; OP_PCM: shift */
    uint16_t usX, usY;
} Cmd;

typedef struct {
    Cmd h;
    uint64_t ullAvail; /* reference units, bit i = entry i in the kernels' line order */
} CmdIntra;

/* OP_EDGES: the header alone; ucLog2 is bHor, ucCIdx the segment count,
 * ucArg the flags below, (usX, usY) the first 4x4 unit. */
#define EDGES_TRANSFORM 1
#define EDGES_INTRA 2

#define COEF_TS 1
#define COEF_IDST 2
#define COEF_DC 4
#define COEF_BYPASS 8
#define COEF_INTRA 16

/* Followed by the top-left ucRows x ucCols coefficients (row-major; all
 * others are zero), padded to 8 bytes. */
typedef struct {
    Cmd h;
    int16_t sQp;
    uint8_t ucRows, ucCols;
    uint32_t uiPad;
} CmdCoef;
/* Coefficients and PCM samples follow these headers directly. */
_Static_assert(sizeof(Cmd) == 8 && sizeof(CmdCoef) == 16, "command headers are whole 8-byte words");

/* A prediction unit's syntax; its motion is derived by the task. */
typedef struct {
    Cmd h;
    HevcPuSyntax stPu;
} CmdPu;

/* OP_COL: the header alone; ucLog2 is the coding unit's size. */

typedef struct {
    Cmd h;
    HevcReconSlice stSlice;
} CmdSlice;

typedef struct {
    Cmd h;
    uint32_t uiRow;
    uint32_t uiPad;
} CmdCtb;

/* OP_PIC_END: the header alone. OP_PIC_START: the next picture's maps. */
typedef struct {
    Cmd h;
    HevcPicMaps *pstMaps;
} CmdPicStart;

#define ALIGN8(n) (((n) + 7u) & ~(size_t)7)
/* Bytes a command takes in the ring: every command starts 8-byte aligned,
 * and the end of the ring always has room for an OP_WRAP header. */
#define SIZE_OF(T) ALIGN8(sizeof(T))

/* ---- creation ---- */

int HevcReconTaskCreate(HW265D_DEC *d)
{
    if (d->stParam.eThreadType != 1)
        return 0;
    HevcMemTable *t = &d->stMem;
    HevcReconTask *rt = (HevcReconTask *)HevcMemAlloc(t, d->stParam.MallocFxn, d->stParam.uiChannelID,
                                                      sizeof(HevcReconTask), 64);
    if (!rt)
        return -1;
    d->pstReconTask = rt;
    rt->pstDec = d;
    /* A power of two, so positions map to offsets with a mask. */
    rt->uiSize = RING_MIN_BYTES;
    while (rt->uiSize < d->uiMaxWidth * RING_BYTES_PER_COLUMN)
        rt->uiSize <<= 1;
    rt->pucRing = (uint8_t *)HevcMemAlloc(t, d->stParam.MallocFxn, d->stParam.uiChannelID, rt->uiSize, 64);
    if (!rt->pucRing)
        return -1;
    if (HevcLockAndCondsInit(&rt->stLock, &rt->stData, &rt->stSpace))
        return -1;
    rt->bInit = 1;
    const char *psz = getenv("IPCAMERA_HEVC_SPLIT");
    rt->bEnabled = !(psz && psz[0] == '0');
    return 0;
}

void HevcReconTaskDestroy(HW265D_DEC *d)
{
    HevcReconTask *rt = d->pstReconTask;
    if (!rt)
        return;
    if (rt->bInit) {
        pthread_cond_destroy(&rt->stSpace);
        pthread_cond_destroy(&rt->stData);
        pthread_mutex_destroy(&rt->stLock);
        rt->bInit = 0;
    }
    d->pstReconTask = NULL;
}

static uint32_t ReconTask(void *pArg);
static void Submit(HevcReconTask *rt);
static void RunRows(HevcReconTask *rt, HevcReconSide *side, HevcSliceDec *r, uint32_t uiFirst);
static void SetHeader(Cmd *c, int iOp, int iLog2, int cIdx, int iArg, int x, int y);

/* ---- parser side ---- */

/* The positions and counts both threads read without the lock (see
 * hevc_recon_task.h) go through these. A thread that sleeps sets its flag,
 * then looks at the other's position again, before it waits; the other
 * stores its position, then looks at the flag. Both sequentially
 * consistent: either the sleeper sees the new position or the other sees
 * the flag and wakes it under the lock, which the sleeper holds from its
 * second look until it waits. */
#define LOAD(field) __atomic_load_n(&(field), __ATOMIC_SEQ_CST)
#define STORE(field, v) __atomic_store_n(&(field), (v), __ATOMIC_SEQ_CST)

/* Makes the commands written so far runnable; stLock is held. */
static void PublishLocked(HevcReconTask *rt, int bUrgent)
{
    STORE(rt->ullPub, rt->ullWrite);
    STORE(rt->uiCtbsPub, rt->uiCtbsWritten);
    if (bUrgent)
        rt->ullUrgent = rt->ullWrite;
    rt->ullReadSeen = LOAD(rt->ullRead);
    if (LOAD(rt->bTaskWaiting) && (bUrgent || (int32_t)(rt->uiCtbsWritten - LOAD(rt->uiWakeCtbs)) >= 0))
        pthread_cond_signal(&rt->stData);
}

/* Reserve() when the command does not fit before the ring's end or the
 * ring is full. */
static void *ReserveSlow(HevcReconTask *rt, size_t n)
{
    const uint64_t uiMask = rt->uiSize - 1;
    size_t uiTail = rt->uiSize - (size_t)(rt->ullWrite & uiMask);
    size_t uiNeed = n > uiTail ? uiTail + n : n;
    if (rt->ullWrite + uiNeed - rt->ullReadSeen > rt->uiSize)
        rt->ullReadSeen = LOAD(rt->ullRead);
    if (rt->ullWrite + uiNeed - rt->ullReadSeen > rt->uiSize) {
        Submit(rt);
        pthread_mutex_lock(&rt->stLock);
        PublishLocked(rt, 1);
        /* Woken once a quarter of the ring is free, not per command (the
         * ring is full, so this is never beyond what is published). */
        const uint64_t ullWant = rt->ullWrite + uiNeed - rt->uiSize / 4 * 3;
        rt->ullParserNeed = ullWant;
        while (LOAD(rt->ullRead) < ullWant) {
            STORE(rt->bParserWaiting, 1);
            if (LOAD(rt->ullRead) >= ullWant)
                break;
            pthread_cond_wait(&rt->stSpace, &rt->stLock);
        }
        STORE(rt->bParserWaiting, 0);
        rt->ullReadSeen = LOAD(rt->ullRead);
        pthread_mutex_unlock(&rt->stLock);
    }
    if (n > uiTail) {
        ((Cmd *)(rt->pucRing + (rt->ullWrite & uiMask)))->ucOp = OP_WRAP;
        rt->ullWrite += uiTail;
    }
    return rt->pucRing + (rt->ullWrite & uiMask);
}

/* Room for n contiguous bytes; returns where they go. A command never
 * wraps: the rest of the ring is skipped with OP_WRAP. Waits (after
 * publishing what is written, so the task can free it) while the ring
 * is full. Inline for the usual case, as every command of every block
 * comes here. */
static inline void *Reserve(HevcReconTask *rt, size_t n)
{
    const size_t uiOff = (size_t)(rt->ullWrite & (rt->uiSize - 1));
    if (n <= rt->uiSize - uiOff && rt->ullWrite + n - rt->ullReadSeen <= rt->uiSize)
        return rt->pucRing + uiOff;
    return ReserveSlow(rt, n);
}

static HevcReconTask *Ring(const HevcSliceDec *s)
{
    return s->pstMaps->pstSplit;
}

/* The task goes on the pool with the picture's first sample work, not at
 * the picture's start: a picture whose slices all go to slice tasks never
 * wakes a worker for it. */
static void Submit(HevcReconTask *rt)
{
    if (!rt->bCounted) {
        rt->bCounted = 1;
        rt->uiPictures++;
    }
    if (rt->bSubmitted)
        return;
    rt->bSubmitted = 1;
    rt->pstStartMaps = rt->pstDec->pstMaps;
    HevcPoolSubmit(&rt->pstDec->pstThreads->stPool, ReconTask, rt);
}

static void SetHeader(Cmd *c, int iOp, int iLog2, int cIdx, int iArg, int x, int y)
{
    c->ucOp = (uint8_t)iOp;
    c->ucLog2 = (uint8_t)iLog2;
    c->ucCIdx = (uint8_t)cIdx;
    c->ucArg = (uint8_t)iArg;
    c->usX = (uint16_t)x;
    c->usY = (uint16_t)y;
}

static void QueueIntra(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iMode, const uint8_t *pucAvail)
{
    HevcReconTask *rt = Ring(s);
    CmdIntra *c = (CmdIntra *)Reserve(rt, SIZE_OF(CmdIntra));
    SetHeader(&c->h, OP_INTRA, iLog2Size, cIdx, iMode, x0, y0);
    /* Luma size NL: NL/2 units on each side and the corner. */
    const int iEntries = (cIdx ? 2 << iLog2Size : 1 << iLog2Size) + 1;
    uint64_t u = 0;
    for (int i = 0; i < iEntries; i++)
        u |= (uint64_t)(pucAvail[i] & 1) << i;
    c->ullAvail = u;
    rt->ullWrite += SIZE_OF(CmdIntra);
    rt->bSampleWork = 1;
}

static void QueueCoeffs(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, int iQp, int bTransformSkip, int bIdst)
{
    HevcReconTask *rt = Ring(s);
    const int N = 1 << iLog2Size;
    int16_t *psCoeff = s->psCoeff;
    const int bDc = s->bDcOnly && !bTransformSkip && !bIdst && !s->bTransquantBypass;
    /* The rectangle holding every non-zero coefficient, as residual coding
     * found it: usually a small corner of the block. */
    const int iRows = bDc ? 1 : s->iCoefRows, iCols = bDc ? 1 : s->iCoefCols;
    const size_t uiData = ALIGN8((size_t)iRows * iCols * sizeof(int16_t));
    CmdCoef *c = (CmdCoef *)Reserve(rt, SIZE_OF(CmdCoef) + uiData);
    SetHeader(&c->h, OP_COEF, iLog2Size, cIdx,
              (bTransformSkip ? COEF_TS : 0) | (bIdst ? COEF_IDST : 0) | (s->bDcOnly ? COEF_DC : 0) |
                  (s->bTransquantBypass ? COEF_BYPASS : 0) | (s->bCuIntra ? COEF_INTRA : 0),
              x0, y0);
    c->sQp = (int16_t)iQp;
    c->ucRows = (uint8_t)iRows;
    c->ucCols = (uint8_t)iCols;
    int16_t *psOut = (int16_t *)(c + 1);
    /* Columns come in fours (one 64-bit word), or alone for a DC block:
     * fixed-size copies the compiler inlines, not a library call per row. */
    if (iCols == 1) {
        psOut[0] = psCoeff[0];
        psCoeff[0] = 0;
    } else {
        for (int y = 0; y < iRows; y++) {
            int16_t *psRow = psCoeff + y * N;
            for (int x = 0; x < iCols; x += 4) {
                uint64_t u;
                memcpy(&u, psRow + x, sizeof(u));
                memcpy(psOut + y * iCols + x, &u, sizeof(u));
                memset(psRow + x, 0, sizeof(u));
            }
        }
    }
    /* Nothing transforms the parser's block in place: with the rectangle
     * cleared it is all zero again, and the next residual_coding() clears
     * nothing. */
    s->iCoeffDirty = 0;
    rt->ullWrite += SIZE_OF(CmdCoef) + uiData;
    rt->bSampleWork = 1;
}

static void QueuePcm(HevcSliceDec *s, int x0, int y0, int iLog2Size, int cIdx, const uint16_t *pusSamples, int iShift)
{
    HevcReconTask *rt = Ring(s);
    const size_t uiData = ALIGN8(sizeof(uint16_t) << (2 * iLog2Size));
    Cmd *c = (Cmd *)Reserve(rt, SIZE_OF(Cmd) + uiData);
    SetHeader(c, OP_PCM, iLog2Size, cIdx, iShift, x0, y0);
    memcpy(c + 1, pusSamples, sizeof(uint16_t) << (2 * iLog2Size));
    rt->ullWrite += SIZE_OF(Cmd) + uiData;
    rt->bSampleWork = 1;
}

static void QueuePredUnit(HW265D_DEC *pstDec, HevcSliceDec *s, const HevcPuSyntax *pstPu)
{
    (void)pstDec;
    HevcReconTask *rt = Ring(s);
    CmdPu *c = (CmdPu *)Reserve(rt, SIZE_OF(CmdPu));
    SetHeader(&c->h, OP_PU, 0, 0, 0, 0, 0);
    c->stPu = *pstPu;
    rt->ullWrite += SIZE_OF(CmdPu);
    rt->bSampleWork = 1;
}

static void QueueColMotion(HW265D_DEC *pstDec, HevcSliceDec *s, int x0, int y0, int iSize)
{
    (void)pstDec;
    HevcReconTask *rt = Ring(s);
    Cmd *c = (Cmd *)Reserve(rt, SIZE_OF(Cmd));
    SetHeader(c, OP_COL, __builtin_ctz((unsigned)iSize), 0, 0, x0, y0);
    rt->ullWrite += SIZE_OF(Cmd);
    rt->bSampleWork = 1;
}

static void QueueEdges(HevcSliceDec *s, int bHor, int x4, int y4, int n, int bTransformEdge, int bIntra)
{
    HevcReconTask *rt = Ring(s);
    Cmd *c = (Cmd *)Reserve(rt, SIZE_OF(Cmd));
    SetHeader(c, OP_EDGES, bHor, n, (bTransformEdge ? EDGES_TRANSFORM : 0) | (bIntra ? EDGES_INTRA : 0), x4, y4);
    rt->ullWrite += SIZE_OF(Cmd);
    rt->bSampleWork = 1;
}

void HevcReconTaskSlice(HevcReconTask *rt, const HevcSliceDec *s)
{
    const HevcSliceHeader *sh = s->pstSh;
    if (sh->slice_type == HEVC_SLICE_I)
        return;
    /* Every picture the task's prediction may read: the lists, the
     * collocated picture and the stand-in for missing references. */
    for (int l = 0; l < 2; l++)
        for (uint32_t i = 0; i < sh->num_ref_idx_active[l] && i < 16; i++)
            if (s->pstRefs->aiRefList[l][i] >= 0)
                rt->uiSliceSlots |= 1u << s->pstRefs->aiRefList[l][i];
    if (s->iColSlot >= 0)
        rt->uiSliceSlots |= 1u << s->iColSlot;
    if (s->iFallbackSlot >= 0)
        rt->uiSliceSlots |= 1u << s->iFallbackSlot;
    HevcReconSlice *st = &rt->stSliceCur;
    st->uiSliceType = sh->slice_type;
    st->uiMaxMergeCand = sh->max_num_merge_cand;
    st->auiNumRefIdx[0] = sh->num_ref_idx_active[0];
    st->auiNumRefIdx[1] = sh->num_ref_idx_active[1];
    st->bTmvp = sh->slice_temporal_mvp_enabled_flag;
    st->bColFromL0 = sh->collocated_from_l0_flag;
    st->bValid = 1;
    st->iColSlot = s->iColSlot;
    st->bNoBackwardPred = s->bNoBackwardPred;
    st->iFallbackSlot = s->iFallbackSlot;
    st->stRefs = *s->pstRefs;
    st->stPwt = sh->pwt;
    CmdSlice *c = (CmdSlice *)Reserve(rt, SIZE_OF(CmdSlice));
    SetHeader(&c->h, OP_SLICE, 0, 0, 0, 0, 0);
    c->stSlice = *st;
    rt->ullWrite += SIZE_OF(CmdSlice);
}

void HevcReconTaskCtbDone(HevcReconTask *rt, uint32_t ry)
{
    if (ry != rt->uiRowCur) {
        /* A new row: its commands start after the last CTB's. */
        const int bWhole = rt->uiRowCur != ~0u && ry == rt->uiRowCur + 1 &&
                           rt->uiRowCurCtbs == rt->pstDec->pstMaps->pstSps->PicWidthInCtbsY;
        rt->uiWholeRun = bWhole ? rt->uiWholeRun + 1 : 0;
        rt->uiRowCur = ry;
        rt->uiRowCurCtbs = 0;
        HevcReconRowStart *st = &rt->astRowStart[ry % HEVC_RECON_TAIL_ROWS];
        st->ullStart = rt->ullCtbEnd;
        st->stSlice = rt->stSliceCur;
    }
    rt->uiRowCurCtbs++;
    CmdCtb *c = (CmdCtb *)Reserve(rt, SIZE_OF(CmdCtb));
    SetHeader(&c->h, OP_CTB, 0, 0, 0, 0, 0);
    c->uiRow = ry;
    rt->ullWrite += SIZE_OF(CmdCtb);
    rt->ullCtbEnd = rt->ullWrite;
    rt->uiCtbsWritten++;
    rt->bSampleWork = 1;
    /* Published without the lock, which is taken only when the sleeping
     * task wants waking now. */
    STORE(rt->ullPub, rt->ullWrite);
    STORE(rt->uiCtbsPub, rt->uiCtbsWritten);
    if (LOAD(rt->bTaskWaiting) && (int32_t)(rt->uiCtbsWritten - LOAD(rt->uiWakeCtbs)) >= 0) {
        pthread_mutex_lock(&rt->stLock);
        PublishLocked(rt, 0);
        pthread_mutex_unlock(&rt->stLock);
    }
    Submit(rt);
}

void HevcReconTaskFlush(HevcReconTask *rt)
{
    pthread_mutex_lock(&rt->stLock);
    PublishLocked(rt, 1);
    pthread_mutex_unlock(&rt->stLock);
    if (rt->bSampleWork)
        Submit(rt);
}

/* ---- the task ---- */

/* The slice set-up st for record r of the thread whose state is side. */
static void ApplySlice(HevcReconSide *side, HevcSliceDec *r, const HevcReconSlice *st)
{
    side->stSh.slice_type = st->uiSliceType;
    side->stSh.max_num_merge_cand = st->uiMaxMergeCand;
    side->stSh.num_ref_idx_active[0] = st->auiNumRefIdx[0];
    side->stSh.num_ref_idx_active[1] = st->auiNumRefIdx[1];
    side->stSh.slice_temporal_mvp_enabled_flag = st->bTmvp;
    side->stSh.collocated_from_l0_flag = st->bColFromL0;
    side->stSh.pwt = st->stPwt;
    side->stRefs = st->stRefs;
    r->pstSh = &side->stSh;
    r->pstRefs = &side->stRefs;
    r->iColSlot = st->iColSlot;
    r->bNoBackwardPred = st->bNoBackwardPred;
    r->iFallbackSlot = st->iFallbackSlot;
}

/* Runs the command at p (uiTail bytes before the ring's end) on record r
 * with the thread's slice state side; returns the bytes it takes. */
static void AttachSide(HevcSliceDec *r, HevcPicMaps *m, HevcReconSide *side);
static size_t RunCommand(HevcReconTask *rt, HevcReconSide *side, HevcSliceDec *r, HevcPicMaps **ppm, const uint8_t *p,
                         size_t uiTail)
{
    const Cmd *h = (const Cmd *)p;
    HevcPicMaps *m = *ppm;
    switch (h->ucOp) {
    case OP_WRAP: return uiTail;
    case OP_INTRA: {
        const CmdIntra *c = (const CmdIntra *)p;
        uint8_t aucAvail[2 * 16 + 1 + 8];
        const int iEntries = (h->ucCIdx ? 2 << h->ucLog2 : 1 << h->ucLog2) + 1;
        for (int i = 0; i < iEntries; i++)
            aucAvail[i] = (uint8_t)(c->ullAvail >> i & 1);
        r->pfnPredIntra(r, h->usX, h->usY, h->ucLog2, h->ucCIdx, h->ucArg, aucAvail);
        return SIZE_OF(CmdIntra);
    }
    case OP_COEF: {
        const CmdCoef *c = (const CmdCoef *)p;
        const int N = 1 << h->ucLog2;
        /* The scratch block is zero apart from what the last add left. */
        memset(r->psCoeff, 0, sizeof(int16_t) * (size_t)r->iCoeffDirty);
        const int16_t *psIn = (const int16_t *)(c + 1);
        const int iRows = c->ucRows, iCols = c->ucCols;
        /* Columns come in fours, or alone for a DC block (see QueueCoeffs):
         * word copies, as a string move per row costs more to start than
         * these few bytes take. */
        if (iCols == 1) {
            r->psCoeff[0] = psIn[0];
        } else {
            for (int y = 0; y < iRows; y++)
                for (int x = 0; x < iCols; x += 4) {
                    uint64_t u;
                    memcpy(&u, psIn + y * iCols + x, sizeof(u));
                    memcpy(r->psCoeff + y * N + x, &u, sizeof(u));
                }
        }
        r->iCoeffDirty = N * N;
        r->bDcOnly = (h->ucArg & COEF_DC) != 0;
        r->bTransquantBypass = (h->ucArg & COEF_BYPASS) != 0;
        r->bCuIntra = (h->ucArg & COEF_INTRA) != 0;
        r->pfnAddCoeffs(r, h->usX, h->usY, h->ucLog2, h->ucCIdx, c->sQp, (h->ucArg & COEF_TS) != 0,
                        (h->ucArg & COEF_IDST) != 0);
        return SIZE_OF(CmdCoef) + ALIGN8((size_t)c->ucRows * c->ucCols * sizeof(int16_t));
    }
    case OP_PCM:
        r->pfnPutPcm(r, h->usX, h->usY, h->ucLog2, h->ucCIdx, (const uint16_t *)(h + 1), h->ucArg);
        return SIZE_OF(Cmd) + ALIGN8(sizeof(uint16_t) << (2 * h->ucLog2));
    case OP_PU: {
        const HevcPuSyntax *pu = &((const CmdPu *)p)->stPu;
        /* Availability asks which CTB the unit lies in (no tiles here:
         * tile scan is raster scan). */
        const HevcSps *sps = m->pstSps;
        r->iCtbX = pu->xPb & ~((1 << sps->CtbLog2SizeY) - 1);
        r->iCtbY = pu->yPb & ~((1 << sps->CtbLog2SizeY) - 1);
        r->uiCtbAddrRs = (uint32_t)(r->iCtbY >> sps->CtbLog2SizeY) * sps->PicWidthInCtbsY +
                         (uint32_t)(r->iCtbX >> sps->CtbLog2SizeY);
        r->uiCtbAddrTs = r->uiCtbAddrRs;
        r->pfnPredUnit(rt->pstDec, r, pu);
        return SIZE_OF(CmdPu);
    }
    case OP_COL:
        r->pfnColMotion(rt->pstDec, r, h->usX, h->usY, 1 << h->ucLog2);
        return SIZE_OF(Cmd);
    case OP_EDGES:
        r->pfnMarkRun(r, h->ucLog2, h->usX, h->usY, h->ucCIdx, (h->ucArg & EDGES_TRANSFORM) != 0,
                      (h->ucArg & EDGES_INTRA) != 0);
        return SIZE_OF(Cmd);
    case OP_SLICE: {
        ApplySlice(side, r, &((const CmdSlice *)p)->stSlice);
        return SIZE_OF(CmdSlice);
    }
    case OP_PIC_END:
        /* Every row is reconstructed (only a clean picture ends this
         * way): the last filter rows and the padding, then the picture is
         * complete. No other thread filters it any more. */
        HevcFilterAdvance(rt->pstDec, r, 1);
        m->pstPic = NULL;
        pthread_mutex_lock(&rt->stLock);
        rt->uiPicsDone++;
        pthread_mutex_unlock(&rt->stLock);
        pthread_cond_signal(&rt->stSpace);
        return SIZE_OF(Cmd);
    case OP_PIC_START:
        *ppm = ((const CmdPicStart *)p)->pstMaps;
        AttachSide(r, *ppm, side);
        return SIZE_OF(CmdPicStart);
    default: {
        /* The CTB is complete; a completed row lets the filters move on
         * (under the filter turn: at the picture's end the caller's thread
         * completes rows too). */
        const CmdCtb *c = (const CmdCtb *)p;
        HevcThreadsCtbDone(m, c->uiRow);
        if (__atomic_load_n(HevcRowCtbs(m, c->uiRow), __ATOMIC_ACQUIRE) == m->pstSps->PicWidthInCtbsY)
            HevcThreadsFilterRows(rt->pstDec, r);
        return SIZE_OF(CmdCtb);
    }
    }
}

/* Record r of a thread running commands, with its slice state: one unit
 * (no tiles), the slice set-up as the commands give it. */
static void AttachSide(HevcSliceDec *r, HevcPicMaps *m, HevcReconSide *side)
{
    HevcSliceDecAttach(r, m);
    r->pstSh = &side->stSh;
    r->pstRefs = &side->stRefs;
    r->uiUnitTs0 = 0;
    r->uiTsLimit = ~0u;
}

/* End of what the task may run. */
static uint64_t RunEnd(HevcReconTask *rt)
{
    const uint64_t ullPub = LOAD(rt->ullPub), ullLimit = LOAD(rt->ullLimit);
    return ullPub < ullLimit ? ullPub : ullLimit;
}

/* The task has work from ullPos on, or must end; stLock is held. */
static int TaskMayRun(HevcReconTask *rt, uint64_t ullPos)
{
    return rt->bStop || (RunEnd(rt) > ullPos && ((int32_t)(LOAD(rt->uiCtbsPub) - rt->uiWakeCtbs) >= 0 ||
                                                 rt->ullUrgent > ullPos));
}

/* Frees the ring up to ullPos; wakes the parser when it waits for that. */
static void TaskRead(HevcReconTask *rt, uint64_t ullPos)
{
    STORE(rt->ullRead, ullPos);
    if (LOAD(rt->bParserWaiting)) {
        pthread_mutex_lock(&rt->stLock);
        if (rt->bParserWaiting && ullPos >= rt->ullParserNeed)
            pthread_cond_signal(&rt->stSpace);
        pthread_mutex_unlock(&rt->stLock);
    }
}

static uint32_t ReconTask(void *pArg)
{
    HevcReconTask *rt = (HevcReconTask *)pArg;
    HW265D_DEC *d = rt->pstDec;
    /* Not d's current maps: the caller's thread may be on the next picture
     * already. */
    HevcPicMaps *m = rt->pstStartMaps;
    HevcSliceDec *r = HevcThreadsWorkerRecord(d);
    HevcReconSide *side = &rt->astSide[0];
    AttachSide(r, m, side);
    const uint64_t uiMask = rt->uiSize - 1;
    pthread_mutex_lock(&rt->stLock);
    rt->bTaskRunning = 1;
    uint64_t ullPos = LOAD(rt->ullRead), ullEnd;
    for (;;) {
        STORE(rt->uiWakeCtbs, LOAD(rt->uiCtbsPub) + rt->uiWakeBatch);
        while (!TaskMayRun(rt, ullPos)) {
            STORE(rt->bTaskWaiting, 1);
            if (TaskMayRun(rt, ullPos))
                break;
            pthread_cond_wait(&rt->stData, &rt->stLock);
        }
        STORE(rt->bTaskWaiting, 0);
        ullEnd = RunEnd(rt);
        if (ullEnd <= ullPos)
            break; /* stopped with nothing left */
        pthread_mutex_unlock(&rt->stLock);
        while (ullPos < ullEnd) {
            const uint8_t *p = rt->pucRing + (ullPos & uiMask);
            const int bCtb = ((const Cmd *)p)->ucOp == OP_CTB;
            ullPos += RunCommand(rt, side, r, &m, p, (size_t)(rt->uiSize - (ullPos & uiMask)));
            if (bCtb) {
                /* Free the CTB's bytes and take what was queued meanwhile
                 * (or stop where the caller's thread took over: the limit
                 * is read after the position is stored). */
                TaskRead(rt, ullPos);
                ullEnd = RunEnd(rt);
            }
        }
        TaskRead(rt, ullPos);
        pthread_mutex_lock(&rt->stLock);
    }
    /* Stopped at the limit: the rows the picture's end left to the task. */
    const uint32_t uiRows = rt->uiTaskRows;
    pthread_mutex_unlock(&rt->stLock);
    if (uiRows != ~0u)
        RunRows(rt, side, r, uiRows);
    return 0;
}

/* ---- picture start and end ---- */

int HevcReconTaskStart(HW265D_DEC *d)
{
    HevcReconTask *rt = d->pstReconTask;
    HevcPicMaps *m = d->pstMaps;
    m->pstSplit = NULL;
    if (!rt)
        return 0;
    if (!rt->bEnabled || !m->bThreaded || m->bUnsupported || m->pstPps->tiles_enabled_flag ||
        m->pstPps->entropy_coding_sync_enabled_flag) {
        /* Other tasks take this picture; they read the picture before. */
        HevcReconTaskStopLive(d);
        return 0;
    }
    const uint32_t uiWakeBatch =
        m->pstSps->PicWidthInCtbsY / 2 > WAKE_CTBS_MIN ? m->pstSps->PicWidthInCtbsY / 2 : WAKE_CTBS_MIN;
    if (rt->bSubmitted) {
        /* The task is still on the picture before, whose end is queued:
         * this picture's commands follow it. */
        CmdPicStart *c = (CmdPicStart *)Reserve(rt, SIZE_OF(CmdPicStart));
        SetHeader(&c->h, OP_PIC_START, 0, 0, 0, 0, 0);
        c->pstMaps = m;
        rt->ullWrite += SIZE_OF(CmdPicStart);
        pthread_mutex_lock(&rt->stLock);
        rt->uiWakeBatch = uiWakeBatch;
        pthread_mutex_unlock(&rt->stLock);
    } else {
        /* Positions go on from the last picture (the ring is empty between
         * pictures), so the ring wraps wherever the stream takes it. */
        STORE(rt->bTaskWaiting, 0);
        STORE(rt->bParserWaiting, 0);
        rt->bStop = 0;
        rt->bTaskRunning = 0;
        STORE(rt->ullLimit, ~(uint64_t)0);
        rt->uiTaskRows = ~0u;
        rt->uiWakeBatch = uiWakeBatch;
    }
    rt->uiRowCur = ~0u;
    rt->uiRowCurCtbs = rt->uiWholeRun = 0;
    rt->ullCtbEnd = rt->ullWrite;
    rt->stSliceCur.bValid = 0;
    rt->uiSliceSlots = 1u << d->iCurPic;
    rt->bCounted = 0;
    m->pstSplit = rt;
    rt->bRunning = 1;
    rt->bSampleWork = 0;
    HevcSliceDec *s = d->pstSliceDec;
    s->pfnPredIntra = QueueIntra;
    s->pfnAddCoeffs = QueueCoeffs;
    s->pfnPutPcm = QueuePcm;
    s->pfnPredUnit = QueuePredUnit;
    s->pfnColMotion = QueueColMotion;
    s->pfnMarkRun = QueueEdges;
    return 1;
}

int HevcReconTaskDefer(HW265D_DEC *d)
{
    HevcReconTask *rt = d->pstReconTask;
    HevcPicMaps *m = d->pstMaps;
    if (!rt || !rt->bRunning || !d->pstThreads->bOverlap || !rt->bSubmitted || !d->apstMaps[1] || d->pstThreads->iCpus < 2 ||
        d->pstThreads->bFilterRunning || d->iSliceNalNum != 1 || m->pstPic->iLayerId != 0)
        return 0;
    /* Only a picture every CTB of which is queued, with nothing to conceal
     * (the caller's thread does that, reading other pictures). */
    const uint32_t uiErr = __atomic_load_n(&m->pstPic->uiErrorFlag, __ATOMIC_RELAXED);
    if (HevcCtbsDone(m) != m->pstSps->PicSizeInCtbsY || (uiErr & (HEVC_PIC_ERR_SLICE | HEVC_PIC_ERR_NOT_DECODED)) ||
        __atomic_load_n(&m->iRowError, __ATOMIC_ACQUIRE))
        return 0;
    HevcReconTaskSettle(d); /* one picture left to the task at a time */
    Cmd *c = (Cmd *)Reserve(rt, SIZE_OF(Cmd));
    SetHeader(c, OP_PIC_END, 0, 0, 0, 0, 0);
    rt->ullWrite += SIZE_OF(Cmd);
    rt->uiPicsDeferred++;
    rt->uiBusySlots = rt->uiSliceSlots;
    pthread_mutex_lock(&rt->stLock);
    PublishLocked(rt, 1);
    pthread_mutex_unlock(&rt->stLock);
    rt->bRunning = 0;
    m->pstSplit = NULL;
    HevcReconSelect(d->pstSliceDec);
    /* The task reads these maps until the end; the next picture takes the
     * other set. */
    d->pstMaps = d->apstMaps[m == d->apstMaps[0] ? 1 : 0];
    return 1;
}

void HevcReconTaskSettle(HW265D_DEC *d)
{
    HevcReconTask *rt = d->pstReconTask;
    if (!rt || !rt->uiBusySlots)
        return;
    pthread_mutex_lock(&rt->stLock);
    while (rt->uiPicsDone != rt->uiPicsDeferred)
        pthread_cond_wait(&rt->stSpace, &rt->stLock);
    pthread_mutex_unlock(&rt->stLock);
    rt->uiBusySlots = 0;
}

uint32_t HevcReconTaskBusySlots(const HW265D_DEC *d)
{
    return d->pstReconTask ? d->pstReconTask->uiBusySlots : 0;
}

void HevcReconTaskStopLive(HW265D_DEC *d)
{
    HevcReconTask *rt = d->pstReconTask;
    if (!rt || !rt->bSubmitted || rt->bRunning)
        return; /* no task, or a picture's own end stops it */
    HevcReconTaskSettle(d);
    pthread_mutex_lock(&rt->stLock);
    PublishLocked(rt, 1);
    rt->bStop = 1;
    pthread_cond_signal(&rt->stData);
    pthread_mutex_unlock(&rt->stLock);
    HevcPoolWait(&d->pstThreads->stPool, rt);
    rt->bSubmitted = 0;
}

/* Rows uiFirst, uiFirst + 2, ... up to the picture's last, on record r
 * with the thread's slice state side, while the other thread does the rows
 * in between: CTB x of a row starts once CTB x + 1 of the row above is
 * done, as far as intra prediction, motion neighbours and bS reach. Units
 * of the row above never see this row's motion: the below-left units they
 * look at lie at least one CTB ahead of this thread, not derived yet, as in
 * order. Short of the CTB it needs, a thread sleeps until the other is a
 * few CTBs further (a wake-up per CTB would cost more than the row). */
static void RunRows(HevcReconTask *rt, HevcReconSide *side, HevcSliceDec *r, uint32_t uiFirst)
{
    HW265D_DEC *d = rt->pstDec;
    HevcPicMaps *m = r->pstMaps;
    const uint32_t W = m->pstSps->PicWidthInCtbsY, uiLast = rt->uiRowCur;
    const uint64_t uiMask = rt->uiSize - 1;
    for (uint32_t ry = uiFirst; ry <= uiLast; ry += 2) {
        const HevcReconRowStart *st = &rt->astRowStart[ry % HEVC_RECON_TAIL_ROWS];
        if (st->stSlice.bValid)
            ApplySlice(side, r, &st->stSlice);
        const uint64_t ullEnd = ry == uiLast ? rt->ullWrite : rt->astRowStart[(ry + 1) % HEVC_RECON_TAIL_ROWS].ullStart;
        int bWait = 1;
        uint32_t x = 0;
        for (uint64_t ullPos = st->ullStart; ullPos < ullEnd;) {
            const uint32_t uiNeed = x + 2 < W ? x + 2 : W;
            /* No row fails in this mode (nothing sets the error): the wait
             * returns once the row above is far enough. */
            if (bWait && __atomic_load_n(HevcRowCtbs(m, ry - 1), __ATOMIC_ACQUIRE) < uiNeed)
                HevcThreadsWaitRow(d, r, ry - 1, uiNeed + LAST_ROW_LEAD < W ? uiNeed + LAST_ROW_LEAD : W);
            const uint8_t *p = rt->pucRing + (ullPos & uiMask);
            bWait = ((const Cmd *)p)->ucOp == OP_CTB;
            x += (uint32_t)bWait;
            ullPos += RunCommand(rt, side, r, &m, p, (size_t)(rt->uiSize - (ullPos & uiMask)));
        }
    }
}

void HevcReconTaskFinish(HW265D_DEC *d)
{
    HevcReconTask *rt = d->pstReconTask;
    if (!rt || !rt->bRunning)
        return;
    /* The rows this thread may take below read the picture before. */
    HevcReconTaskSettle(d);
    if (rt->bSampleWork)
        Submit(rt);
    if (rt->bSubmitted) {
        /* The rows the running task has not reached are shared when they
         * were written whole (every CTB, in order) and their starts are
         * kept: the task finishes the row it is in (or the first kept one)
         * and takes every other row after it, this thread the rows in
         * between, each behind the row above. */
        HevcPicMaps *m = d->pstMaps;
        const uint32_t W = m->pstSps->PicWidthInCtbsY, R = rt->uiRowCur;
        /* uiWholeRun > 0: R is a row below a whole one, so R >= 1. */
        const int bShare = d->pstThreads->iCpus > 1 && rt->uiWholeRun > 0 && rt->uiRowCurCtbs == W &&
                           !__atomic_load_n(&m->iRowError, __ATOMIC_ACQUIRE);
        const uint32_t uiLow = bShare ? R - (rt->uiWholeRun < HEVC_RECON_TAIL_ROWS - 1 ? rt->uiWholeRun
                                                                                       : HEVC_RECON_TAIL_ROWS - 1)
                                      : 0;
        uint32_t uiMine = ~0u; /* this thread's first row */
        pthread_mutex_lock(&rt->stLock);
        PublishLocked(rt, 1);
        if (bShare && rt->bTaskRunning) {
            /* The task's row: the last kept row starting at or before its
             * position (or the first kept one, when it is further back). */
            const uint64_t ullRead = LOAD(rt->ullRead);
            uint32_t uiTask = uiLow;
            while (uiTask < R && rt->astRowStart[(uiTask + 1) % HEVC_RECON_TAIL_ROWS].ullStart <= ullRead)
                uiTask++;
            if (uiTask < R) {
                /* The limit is stored before the task's position is read
                 * again (the task stores its position before it reads the
                 * limit): either the task has not passed the next row's
                 * start and stops there, or this thread sees that it has
                 * and takes the limit back. */
                const uint64_t ullNext = rt->astRowStart[(uiTask + 1) % HEVC_RECON_TAIL_ROWS].ullStart;
                STORE(rt->ullLimit, ullNext);
                if (LOAD(rt->ullRead) >= ullNext) {
                    STORE(rt->ullLimit, ~(uint64_t)0);
                } else {
                    uiMine = uiTask + 1;
                    rt->uiTaskRows = uiTask + 2 <= R ? uiTask + 2 : ~0u;
                }
            }
        }
        rt->bStop = 1;
        pthread_cond_signal(&rt->stData);
        pthread_mutex_unlock(&rt->stLock);
        if (uiMine != ~0u) {
            HevcThreads *t = d->pstThreads;
            HevcSliceDec *r = t->apstWorker[t->stPool.iThreads];
            AttachSide(r, m, &rt->astSide[1]);
            RunRows(rt, &rt->astSide[1], r, uiMine);
        }
        HevcPoolWait(&d->pstThreads->stPool, rt);
        rt->bSubmitted = 0;
        if (uiMine != ~0u) {
            STORE(rt->ullRead, rt->ullWrite);
            rt->ullReadSeen = rt->ullWrite;
        }
    } else {
        /* No task ever ran: what the ring holds is slice set-up only. */
        pthread_mutex_lock(&rt->stLock);
        STORE(rt->ullPub, rt->ullWrite);
        STORE(rt->ullRead, rt->ullWrite);
        rt->ullUrgent = rt->ullWrite;
        STORE(rt->uiCtbsPub, rt->uiCtbsWritten);
        pthread_mutex_unlock(&rt->stLock);
        rt->ullReadSeen = rt->ullWrite;
    }
    rt->bRunning = 0;
    d->pstMaps->pstSplit = NULL;
    HevcReconSelect(d->pstSliceDec);
}
