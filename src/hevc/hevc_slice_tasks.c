/* One task per slice: the batch of slices the caller's thread finds in the
 * stream buffer, their tasks, the merge in slice order and the replay of
 * each held slice when its unit's turn comes (see hevc_slice_tasks.h). */
#include "hevc_slice_tasks.h"

#include <string.h>
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_slicedata.h"

int HevcSliceTasksCreate(HW265D_DEC *d)
{
    HevcSliceTasks *st = (HevcSliceTasks *)HevcMemAlloc(&d->stMem, d->stParam.MallocFxn, d->stParam.uiChannelID,
                                                        sizeof(HevcSliceTasks), 64);
    if (!st)
        return -1;
    d->pstSliceTasks = st;
    return 0;
}

void HevcSliceTasksClear(HW265D_DEC *d)
{
    HevcSliceTasks *st = d->pstSliceTasks;
    if (st)
        st->iJobs = st->iNext = 0;
}

/* The reference lists the tasks read (the decoder's, as the first slice of
 * the batch built them). */
typedef struct {
    HevcRefLists stRefs;
    int iNumInterLayer;
} RefLists;

static void SaveLists(const HW265D_DEC *d, RefLists *l)
{
    l->stRefs = d->stRefs;
    l->iNumInterLayer = d->iNumInterLayer;
}

static void RestoreLists(HW265D_DEC *d, const RefLists *l)
{
    d->stRefs = l->stRefs;
    d->iNumInterLayer = l->iNumInterLayer;
}

/* Whether every entry the slice in d->stSh uses equals the saved lists. */
static int SameLists(const HW265D_DEC *d, const RefLists *l)
{
    const HevcSliceHeader *sh = &d->stSh;
    if (d->iNumInterLayer != l->iNumInterLayer)
        return 0;
    const int iLists = sh->slice_type == HEVC_SLICE_B ? 2 : sh->slice_type == HEVC_SLICE_P ? 1 : 0;
    for (int k = 0; k < iLists; k++)
        for (uint32_t i = 0; i < sh->num_ref_idx_active[k] && i < HEVC_MAX_REFS; i++)
            if (d->stRefs.aiRefList[k][i] != l->stRefs.aiRefList[k][i] ||
                d->stRefs.aiRefPoc[k][i] != l->stRefs.aiRefPoc[k][i] ||
                d->stRefs.aucRefIsLt[k][i] != l->stRefs.aucRefIsLt[k][i])
                return 0;
    return 1;
}

/* Keeps the header in d->stSh, with its entry points, in job j. */
static void KeepHeader(const HW265D_DEC *d, HevcSliceJob *j)
{
    j->stSh = d->stSh;
    j->uiEntryNum = d->stSh.num_entry_point_offsets;
    memcpy(j->auiEntry, d->puiEntryPoints, j->uiEntryNum * sizeof(uint32_t));
    j->stSh.puiEntryPointOffset = j->auiEntry;
}

/* Puts job j's header back as the decoder's current one. */
static void PutHeader(HW265D_DEC *d, const HevcSliceJob *j)
{
    d->stSh = j->stSh;
    memcpy(d->puiEntryPoints, j->auiEntry, j->uiEntryNum * sizeof(uint32_t));
    d->stSh.puiEntryPointOffset = d->puiEntryPoints;
    d->uiEntryPointNum = j->uiEntryNum;
    d->bShValid = 1;
}

/* First CTB row that may hold a CTB at or after tile-scan address ts: the
 * rows above it are final once every slice before ts is. With one row of
 * tiles, a tile left of the last one still has the tiles right of it to
 * come, from the top row. */
static uint32_t CommitRow(const HW265D_DEC *d, uint32_t ts)
{
    const HevcPps *pps = d->pstActPps;
    if (ts >= d->pstActSps->PicSizeInCtbsY)
        return ~0u;
    if (pps->tiles_enabled_flag && d->pusTileId[ts] != pps->num_tile_columns - 1)
        return 0;
    return d->puiCtbAddrTsToRs[ts] / d->pstActSps->PicWidthInCtbsY;
}

/* The slices of the same picture that follow the current one in the
 * stream buffer, as many as decode exactly as they would in order: their
 * units complete, their headers identical in the NAL unit header, parsed
 * and listed without a message, with lists equal to the first slice's, and
 * starting after the slice before them. Returns the jobs filled (the
 * current slice is job 0). The decoder's header and lists are the current
 * slice's again afterwards. */
static int Collect(HW265D_DEC *d, HevcSliceTasks *st, const uint8_t *pucNal, uint32_t uiSize, uint32_t ts)
{
    HevcSliceJob *j0 = &st->astJob[0];
    KeepHeader(d, j0);
    j0->pucNal = pucNal;
    j0->uiSize = uiSize;
    j0->uiTs0 = ts;
    RefLists stLists;
    SaveLists(d, &stLists);
    int n = 1;
    uint32_t uiPos = d->uiUnitEnd, uiStart, uiUnitSize, uiNext;
    while (n < HEVC_SLICE_JOBS && d->iNalNum + n < HEVC_MAX_NAL_PER_PIC &&
           d->iSliceNalNum + n - 1 < HEVC_THREAD_MAX_SLICES && !HevcPeekUnit(d, uiPos, &uiStart, &uiUnitSize, &uiNext)) {
        const uint8_t *p = d->pucStream + uiStart;
        /* Same type, layer and temporal id, not a picture's first segment. */
        if (uiUnitSize < 3 || p[0] != pucNal[0] || p[1] != pucNal[1] || (p[2] & 0x80))
            break;
        HevcBits stBits;
        HevcBitsInit(&stBits, p, uiUnitSize);
        HevcBitsSkip(&stBits, 16);
        HevcSliceHeader *sh = &d->stSh;
        sh->nal_unit_type = j0->stSh.nal_unit_type;
        sh->nuh_layer_id = j0->stSh.nuh_layer_id;
        sh->temporal_id = j0->stSh.temporal_id;
        /* Anything logged would come out of order: such a slice is left to
         * its turn. */
        HevcLogBuf stQuiet;
        stQuiet.iNum = HEVC_LOG_KEEP;
        stQuiet.iDropped = 0;
        HevcThreadsCaptureLog(&stQuiet);
        uint32_t r = HevcParseSliceHeader(d, &stBits, sh);
        if (!r)
            r = HevcBuildRefLists(d);
        HevcThreadsCaptureLog(NULL);
        if (r || stQuiet.iDropped || sh->dependent_slice_segment_flag ||
            sh->num_entry_point_offsets > HEVC_SLICE_JOB_ENTRIES || !SameLists(d, &stLists))
            break;
        const uint32_t uiTs = d->puiCtbAddrRsToTs[sh->slice_segment_address];
        if (uiTs <= st->astJob[n - 1].uiTs0)
            break;
        HevcSliceJob *j = &st->astJob[n];
        KeepHeader(d, j);
        j->pucNal = p;
        j->uiSize = uiUnitSize;
        j->ullPos = d->ullAbsBase + uiStart;
        j->uiTs0 = uiTs;
        st->astJob[n - 1].uiTsLimit = uiTs;
        n++;
        uiPos = uiNext;
    }
    st->astJob[n - 1].uiTsLimit = ~0u;
    PutHeader(d, j0);
    RestoreLists(d, &stLists);
    return n;
}

/* End (tile scan) of the CTBs job j may have touched: up to the one it
 * stopped in, never into the next slice's. */
static uint32_t JobEnd(const HevcSliceJob *j, uint32_t uiCtbs)
{
    const uint32_t uiEnd = j->uiStop + 1 < j->uiTsLimit ? j->uiStop + 1 : j->uiTsLimit;
    return uiEnd < uiCtbs ? uiEnd : uiCtbs;
}

/* Confirms the jobs whose tasks have finished, in slice order, as far as
 * every job before them is confirmed: their edges towards earlier slices
 * and other tiles are marked (both sides are decoded now) and the rows
 * above the next job's first CTB go to the filters. Run by every task as it
 * ends, so the last one to finish confirms what is left; stops at a job
 * that ran on into the next one (the caller's thread takes it back). */
static void ConfirmReady(HW265D_DEC *d, HevcSliceTasks *st, const HevcSliceJob *j, HevcSliceDec *s)
{
    HevcPicMaps *m = d->pstMaps;
    const uint32_t uiCtbs = m->pstSps->PicSizeInCtbsY;
    int bMore = 0;
    pthread_mutex_lock(&m->stProgLock);
    st->uiDone |= 1u << (j - st->astJob);
    while (!st->bHalt && st->iConfirmed < st->iBatch && (st->uiDone >> st->iConfirmed & 1)) {
        const HevcSliceJob *c = &st->astJob[st->iConfirmed];
        if (c->bOverrun) {
            st->bHalt = 1;
            break;
        }
        for (uint32_t ts = c->uiTs0, uiEnd = JobEnd(c, uiCtbs); ts < uiEnd; ts++)
            HevcMarkUnitBoundaryEdges(s, d->puiCtbAddrTsToRs[ts], c->uiTs0);
        st->iConfirmed++;
        const uint32_t uiRows = st->iConfirmed < st->iBatch ? CommitRow(d, st->astJob[st->iConfirmed].uiTs0) : ~0u;
        __atomic_store_n(&m->uiCommitRows, uiRows, __ATOMIC_SEQ_CST);
        bMore = 1;
    }
    const int bLast = st->iConfirmed == st->iBatch;
    pthread_mutex_unlock(&m->stProgLock);
    /* Rows that became ready with the batch's last job are left to the
     * caller's thread, which shares them with a worker once every task is
     * done (with a row of tiles that is the whole picture). While slices
     * wait for a thread, this one takes the next slice first: the rows
     * stay ready for whichever thread runs out of slices. */
    if (bMore && !bLast && !HevcPoolPending(&d->pstThreads->stPool))
        HevcThreadsFilterRows(d, s);
}

static uint32_t SliceTask(void *pArg)
{
    HevcSliceJob *j = (HevcSliceJob *)pArg;
    HW265D_DEC *d = j->pstDec;
    HevcSliceDec *s = HevcThreadsWorkerRecord(d);
    HevcSliceDecAttach(s, d->pstMaps);
    s->pstSh = &j->stSh;
    s->pucNal = j->pucNal;
    s->uiNalSize = j->uiSize;
    s->uiCntBase = 0; /* the caller adds the CTBs of the slices before */
    s->uiTs0 = j->uiTs0;
    s->uiUnitTs0 = j->uiTs0;
    s->uiTsLimit = j->uiTsLimit;
    if (j->stSh.slice_type != HEVC_SLICE_I)
        HevcSliceInterSetup(d, s);
    j->stLog.iNum = 0;
    j->stLog.iDropped = 0;
    HevcThreadsCaptureLog(&j->stLog);
    int bEnd, iState;
    uint32_t r = HevcDecodeCtbs(d, s, j->uiTs0, 0, 0, &j->uiStop, &bEnd, &iState);
    HevcThreadsCaptureLog(NULL);
    j->bOverrun = r == HEVC_SLICE_OVERRUN;
    j->uiRet = j->bOverrun ? 0 : r;
    /* The record goes back to row and tile tasks. */
    s->uiUnitTs0 = 0;
    s->uiTsLimit = ~0u;
    ConfirmReady(d, d->pstSliceTasks, j, s);
    return 0;
}

/* Job j's slice, confirmed: the CTBs it decoded are counted for the next
 * slice's messages, a failure flags the picture. */
static void Count(HW265D_DEC *d, HevcSliceJob *j, uint32_t *puiCount)
{
    HevcPicMaps *m = d->pstMaps;
    const uint32_t uiCtbs = m->pstSps->PicSizeInCtbsY;
    j->iCtbCount = (int)*puiCount;
    for (uint32_t ts = j->uiTs0, uiEnd = JobEnd(j, uiCtbs); ts < uiEnd; ts++)
        if (m->pstCtb[d->puiCtbAddrTsToRs[ts]].bCounted)
            (*puiCount)++;
    if (j->uiRet)
        m->pstPic->uiErrorFlag |= HEVC_PIC_ERR_SLICE;
}

int HevcSliceTasksRun(HW265D_DEC *d, const uint8_t *pucNal, uint32_t uiSize, uint32_t ts, uint32_t *puiRet)
{
    HevcSliceTasks *st = d->pstSliceTasks;
    HevcThreads *t = d->pstThreads;
    HevcPicMaps *m = d->pstMaps;
    if (!st || !t || t->bOff || !m->bThreaded)
        return 0;
    const HevcPps *pps = d->pstActPps;
    const HevcSps *sps = d->pstActSps;
    if (pps->dependent_slice_segments_enabled_flag ||
        (pps->tiles_enabled_flag && pps->num_tile_rows > 1) || d->stSh.num_entry_point_offsets > HEVC_SLICE_JOB_ENTRIES ||
        uiSize < 2)
        return 0;
    /* The caller saw every CTB from ts on untouched, so no task meets a CTB
     * an earlier unit decoded. */
    const int n = Collect(d, st, pucNal, uiSize, ts);
    if (n < 2)
        return 0;

    /* The tasks decode and reconstruct: the picture's reconstruction task
     * runs what it has and ends, the filter task stops (the tasks filter
     * the confirmed rows themselves). */
    HevcReconTaskFinish(d);
    HevcThreadsSettle(d); /* the window takes every record of the pool */
    if (t->bFilterRunning)
        HevcThreadsStopFilter(d);
    HevcThreadsSetCommit(m, CommitRow(d, ts));
    pthread_mutex_lock(&m->stProgLock);
    st->iBatch = n;
    st->uiDone = 0;
    st->iConfirmed = 0;
    st->bHalt = 0;
    pthread_mutex_unlock(&m->stProgLock);
    uint32_t uiCount = d->pstSliceDec->uiCntBase;
    /* When the whole batch fits in the window, the largest slices (by
     * bytes, which follow the parsing time) are queued first, so the
     * longest task does not start last and end the batch alone. The tasks
     * do not depend on each other; they are still waited for in slice
     * order. */
    int aiOrder[HEVC_SLICE_JOBS];
    for (int i = 0; i < n; i++) {
        int p = i;
        if (n <= t->iWindow)
            for (; p > 0 && st->astJob[aiOrder[p - 1]].uiSize < st->astJob[i].uiSize; p--)
                aiOrder[p] = aiOrder[p - 1];
        aiOrder[p] = i;
    }
    int k = 0, w = 0, iBack = n; /* iBack: the first job taken back */
    for (;;) {
        if (k < n && k - w < t->iWindow && iBack == n) {
            HevcSliceJob *j = &st->astJob[aiOrder[k++]];
            j->pstDec = d;
            HevcPoolSubmit(&t->stPool, SliceTask, j);
            continue;
        }
        if (w == k)
            break;
        /* In slice order; every submitted task is waited for. */
        HevcSliceJob *j = &st->astJob[w];
        HevcPoolWait(&t->stPool, j);
        if (iBack == n && j->bOverrun)
            iBack = w;
        if (iBack == n)
            Count(d, j, &uiCount);
        w++;
    }
    /* A slice ran on into the next one's CTBs: from that slice on, what the
     * tasks decoded is taken back, and the slices decode in order. */
    if (iBack < n)
        for (uint32_t x = st->astJob[iBack].uiTs0; x < sps->PicSizeInCtbsY; x++)
            HevcThreadsUndoCtb(d, x);
    HevcThreadsSetCommit(m, ~0u);
    HevcThreadsFilterShared(d, d->pstSliceDec);
    st->iJobs = iBack;
    st->iNext = 1;
    st->uiSlices += (uint32_t)iBack;
    if (iBack == 0) {
        st->iNext = 0;
        return 0;
    }
    *puiRet = HevcSliceTasksReplay(d, &st->astJob[0]);
    return 1;
}

const HevcSliceJob *HevcSliceTasksHeld(HW265D_DEC *d)
{
    HevcSliceTasks *st = d->pstSliceTasks;
    if (!st || st->iNext >= st->iJobs)
        return NULL;
    const HevcSliceJob *j = &st->astJob[st->iNext];
    if (j->ullPos != d->ullAbsBase + d->uiCurNalOffset) {
        st->iNext = st->iJobs;
        return NULL;
    }
    st->iNext++;
    PutHeader(d, j);
    return j;
}

uint32_t HevcSliceTasksReplay(HW265D_DEC *d, const HevcSliceJob *j)
{
    HevcThreadsReplayLog(d, &j->stLog, j->iCtbCount);
    if (j->uiRet)
        HEVC_ERR(d, "%s check  err, ret = 0x%x\n",
                 d->pstActPps->tiles_enabled_flag ? "TileSliceParseLcuRow" : "MultSliceParseDecodeLCU", j->uiRet);
    return j->uiRet;
}
