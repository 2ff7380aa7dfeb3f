/* Multi-threaded decoding: worker records, the filter task that follows
 * the caller's reconstruction one CTB row behind, wavefront row and tile
 * tasks (run by the workers and by the caller's thread while it waits)
 * with row progress waits and the filter turn, and the merge that makes the
 * result equal single-threaded decoding (H.265 9.3.2.4 for the wavefront
 * context hand-over). */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* sched_getaffinity */
#endif
#include "hevc_threads.h"

#include <sched.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "hevc_decoder.h"
#include "hevc_recon_task.h"
#include "hevc_slice_tasks.h"

#define HEVC_BAND_ROWS 4 /* rows ready at once from which their deblocking is shared */


static __thread int t_iWorker = -1;          /* index of the worker running this thread */
static __thread HevcLogBuf *t_pstLog;        /* messages of the running task */

void *HevcLogCapturing(void)
{
    return t_pstLog;
}

void HevcLogCaptureV(void *pBuf, int iLevel, const char *pszFormat, ...)
{
    HevcLogBuf *b = (HevcLogBuf *)pBuf;
    if (b->iNum >= HEVC_LOG_KEEP) {
        b->iDropped++;
        return;
    }
    b->astMsg[b->iNum].iLevel = iLevel;
    b->astMsg[b->iNum].pszFormat = pszFormat;
    int *piArg = b->astMsg[b->iNum].aiArg, n = 0;
    memset(b->astMsg[b->iNum].aiArg, 0, sizeof(b->astMsg[b->iNum].aiArg));
    va_list ap;
    va_start(ap, pszFormat);
    for (const char *p = pszFormat; *p; p++) {
        if (*p != '%')
            continue;
        if (p[1] == '%') {
            p++;
            continue;
        }
        if (n < 4)
            piArg[n++] = va_arg(ap, int);
    }
    va_end(ap);
    b->iNum++;
}

void HevcThreadsCaptureLog(HevcLogBuf *b)
{
    t_pstLog = b;
}

void HevcThreadsReplayLog(HW265D_DEC *d, const HevcLogBuf *b, int iCtbCount)
{
    for (int i = 0; i < b->iNum; i++) {
        const int *a = b->astMsg[i].aiArg;
        const int a1 = iCtbCount && !strcmp(b->astMsg[i].pszFormat, HEVC_CTB_FAIL_FORMAT) ? a[1] + iCtbCount : a[1];
        d->stParam.LogFxn(d->stParam.uiChannelID, b->astMsg[i].iLevel, b->astMsg[i].pszFormat, a[0], a1, a[2], a[3]);
    }
}

enum { JOB_IDLE = 1u << 30 }; /* uiJobNext with no deblocking jobs out */

/* Worker records come from the process heap, 64-byte aligned, with the raw
 * address and the size in the two words below the aligned address. */
static void *HeapAlloc(size_t uiSize)
{
    uint8_t *pucRaw = (uint8_t *)malloc(uiSize + 64 + 2 * sizeof(size_t));
    if (!pucRaw)
        return NULL;
    uintptr_t a = ((uintptr_t)pucRaw + 2 * sizeof(size_t) + 63) & ~(uintptr_t)63;
    ((void **)a)[-1] = pucRaw;
    ((size_t *)a)[-2] = uiSize;
    memset((void *)a, 0, uiSize);
    return (void *)a;
}

static void HeapFree(void *p)
{
    if (p)
        free(((void **)p)[-1]);
}

static void StartHook(void *pArg, int iIndex)
{
    (void)pArg;
    t_iWorker = iIndex;
}

uint32_t HevcThreadsCreate(HW265D_DEC *d)
{
    HevcThreadSupportInit();
    /* The line buffers of a worker's SAO band share the record's block. */
    const HevcPicMaps *mp = d->pstMaps;
    size_t uiBytes = (sizeof(HevcThreads) + 63) & ~(size_t)63;
    for (int c = 0; c < 3; c++)
        uiBytes += HevcFilterLineBytes(d->uiMaxWidth, c) + 2 * (size_t)mp->auiSaoStride[c];
    HevcThreads *t = (HevcThreads *)HevcMemAlloc(&d->stMem, d->stParam.MallocFxn, d->stParam.uiChannelID, uiBytes, 64);
    if (!t) {
        HEVC_ERR(d, "init memory buffer err, ret = 0x%x\n", IHW265D_ERR_THREAD);
        return IHW265D_ERR_THREAD;
    }
    d->pstThreads = t;
    t->pstDec = d;
    uint8_t *p = (uint8_t *)t + ((sizeof(HevcThreads) + 63) & ~(size_t)63);
    for (int c = 0; c < 3; c++) {
        /* Every size is a multiple of 64 bytes. */
        t->stSaoLower.apucLines[c] = p;
        p += HevcFilterLineBytes(d->uiMaxWidth, c);
        t->stSaoLower.apucPrev[c] = p;
        p += mp->auiSaoStride[c];
        t->apucSaoBelow[c] = p;
        p += mp->auiSaoStride[c];
    }
    for (int i = 0; i <= HEVC_POOL_THREADS; i++) {
        t->apstWorker[i] = (HevcSliceDec *)HeapAlloc(HevcSliceDecBytes());
        if (!t->apstWorker[i]) {
            HEVC_ERR(d, "init memory buffer err, ret = 0x%x\n", IHW265D_ERR_THREAD);
            return IHW265D_ERR_THREAD;
        }
        HevcSliceDecInitThread(t->apstWorker[i], d->pstMaps);
        t->apstWorker[i]->bTask = 1;
    }
    for (int i = 0; i < 2; i++) {
        HevcPicMaps *m = d->apstMaps[i];
        if (!m)
            continue;
        if (HevcLockAndCondsInit(&m->stProgLock, &m->stProgCond, &m->stFilterCond))
            return IHW265D_ERR_THREAD;
        m->bProgInit = 1;
        m->uiCommitRows = ~0u;
    }
    t->iTailSlot = -1;
    t->uiJobNext = JOB_IDLE;
    const char *psz = getenv("IPCAMERA_HEVC_OVERLAP");
    t->bOverlap = !(psz && psz[0] == '0');
    if (HevcLockAndCondsInit(&t->stTailLock, &t->stTailCond, NULL))
        return IHW265D_ERR_THREAD;
    t->bTailInit = 1;
    if (HevcPoolCreate(&t->stPool, HEVC_POOL_THREADS, HEVC_POOL_THREADS, StartHook, t, t->apstQueueMem,
                       d->stParam.LogFxn, d->stParam.uiChannelID))
        return IHW265D_ERR_THREAD;
    /* The caller's thread decodes too: with it, no more busy threads than
     * cores. Beyond the tasks running, two more wait queued: a worker that
     * is still filtering after its row must find one left when the
     * caller's thread, done with its own row, has taken the other. */
    long lCpus = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t stSet;
    /* A process pinned to fewer cores gets no more busy threads than those. */
    if (!sched_getaffinity(0, sizeof(stSet), &stSet) && CPU_COUNT(&stSet) < lCpus)
        lCpus = CPU_COUNT(&stSet);
    const int iCpus = lCpus < 1 ? 1 : lCpus > HEVC_POOL_THREADS ? HEVC_POOL_THREADS : (int)lCpus;
    HevcPoolSetRunMax(&t->stPool, iCpus - 1);
    t->iCpus = iCpus;
    t->iWindow = iCpus + 2 < HEVC_POOL_THREADS ? iCpus + 2 : HEVC_POOL_THREADS;
    if (HevcSliceTasksCreate(d)) {
        HEVC_ERR(d, "init memory buffer err, ret = 0x%x\n", IHW265D_ERR_THREAD);
        return IHW265D_ERR_THREAD;
    }
    return 0;
}

enum { WAKE_FILTER_STOP, WAKE_ROW_ERROR, WAKE_COMMIT };

/* Changes one of the words progress waiters look at and wakes them all. */
static void Wake(HevcPicMaps *m, int iWhat, uint32_t uiValue)
{
    pthread_mutex_lock(&m->stProgLock);
    if (iWhat == WAKE_FILTER_STOP) {
        m->bFilterStop = (int)uiValue;
    } else if (iWhat == WAKE_ROW_ERROR) {
        /* The first failing row counts; a later failure further down
         * leaves it (and never moves the confirmed rows). */
        if (!m->iRowError || (uint32_t)m->iRowError > uiValue)
            __atomic_store_n(&m->iRowError, (int32_t)uiValue, __ATOMIC_RELEASE);
    } else {
        __atomic_store_n(&m->uiCommitRows, uiValue, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&m->stProgLock);
    pthread_cond_broadcast(&m->stProgCond);
    pthread_cond_signal(&m->stFilterCond);
}

/* Takes the tail task's record back once it has ended (the reconstruction
 * task's deferred end is left running). */
static void SettleTail(HevcThreads *t)
{
    if (t->iTailSlot < 0)
        return;
    HevcPoolWait(&t->stPool, &t->pstTailMaps);
    t->iTailSlot = -1;
}

void HevcThreadsStopFilter(HW265D_DEC *d)
{
    HevcThreads *t = d->pstThreads;
    Wake(d->pstMaps, WAKE_FILTER_STOP, 1);
    HevcPoolWait(&t->stPool, t);
    t->bFilterRunning = 0;
}

void HevcThreadsDestroy(HW265D_DEC *d)
{
    HevcThreads *t = d->pstThreads;
    if (!t)
        return;
    HevcThreadsFinishPicture(d); /* a picture in progress: its filter task ends first */
    HevcReconTaskStopLive(d);    /* and a reconstruction task left running past a picture */
    HevcThreadsSettle(d);        /* and the last rows of a picture that ended */
    HevcPoolStop(&t->stPool);
    for (int i = 0; i <= HEVC_POOL_THREADS; i++)
        HeapFree(t->apstWorker[i]);
    for (int i = 0; i < 2; i++) {
        HevcPicMaps *m = d->apstMaps[i];
        if (m && m->bProgInit) {
            pthread_cond_destroy(&m->stFilterCond);
            pthread_cond_destroy(&m->stProgCond);
            pthread_mutex_destroy(&m->stProgLock);
            m->bProgInit = 0;
        }
    }
    if (t->bTailInit) {
        pthread_cond_destroy(&t->stTailCond);
        pthread_mutex_destroy(&t->stTailLock);
        t->bTailInit = 0;
    }
    d->pstThreads = NULL;
}

/* Whether the filter task has a row to take; stProgLock is held. */
static int RowReady(const HevcPicMaps *m)
{
    const HevcSps *sps = m->pstSps;
    uint32_t r = m->uiRowsRecon;
    return r < sps->PicHeightInCtbsY && r < __atomic_load_n(&m->uiCommitRows, __ATOMIC_ACQUIRE) &&
           __atomic_load_n(HevcRowCtbs(m, r), __ATOMIC_SEQ_CST) == sps->PicWidthInCtbsY;
}

void HevcThreadsFilterRows(HW265D_DEC *d, HevcSliceDec *s)
{
    HevcPicMaps *m = s->pstMaps; /* the reconstruction task may still be on the picture before d's */
    /* Sequentially consistent: either the holder sees this request after
     * letting go, or this thread gets the turn. */
    __atomic_fetch_add(&m->uiFilterReq, 1, __ATOMIC_SEQ_CST);
    while (!__atomic_exchange_n(&m->iFilterBusy, 1, __ATOMIC_SEQ_CST)) {
        uint32_t uiReq = __atomic_load_n(&m->uiFilterReq, __ATOMIC_SEQ_CST);
        HevcFilterAdvance(d, s, 0);
        __atomic_store_n(&m->iFilterBusy, 0, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(&m->uiFilterReq, __ATOMIC_SEQ_CST) == uiReq)
            break;
    }
}

/* The lower band of rows HevcThreadsFilterShared hands to a worker. */
static uint32_t DeblockBandTask(void *pArg)
{
    HevcThreads *t = (HevcThreads *)((uint8_t *)pArg - offsetof(HevcThreads, auiBand));
    HevcSliceDec *s = t->apstWorker[t_iWorker];
    HevcSliceDecAttach(s, t->pstDec->pstMaps);
    HevcFilterDeblockBand(s, t->auiBand[0], t->auiBand[1], 0);
    HevcFilterDeblockBand(s, t->auiBand[0] + 1, t->auiBand[1], 1);
    return 0;
}

/* The lower band of rows whose SAO and padding HevcThreadsFilterShared
 * hands to a worker. */
static uint32_t SaoBandTask(void *pArg)
{
    HevcThreads *t = (HevcThreads *)((uint8_t *)pArg - offsetof(HevcThreads, auiSaoBand));
    HevcSliceDec *s = t->apstWorker[t_iWorker];
    HevcSliceDecAttach(s, t->pstDec->pstMaps);
    HevcFilterSaoRows(t->pstDec, s, t->auiSaoBand[0], t->auiSaoBand[1], &t->stSaoLower);
    return 0;
}

/* After the segment's last task: when many rows became ready at once (the
 * last row of tiles is confirmed only when its last tile is done), a worker
 * deblocks the lower half of them while the caller's thread does the upper
 * half, then the lower band's top boundary; then the same for their SAO and
 * padding, each band from the lines at its boundary as deblocking left
 * them. Only the caller's thread, with no task queued. */
void HevcThreadsFilterShared(HW265D_DEC *d, HevcSliceDec *s)
{
    HevcThreads *t = d->pstThreads;
    HevcPicMaps *m = d->pstMaps;
    SettleTail(t); /* a tile tail reads the lower band's lines */
    if (t->iCpus > 1 && !__atomic_exchange_n(&m->iFilterBusy, 1, __ATOMIC_SEQ_CST)) {
        uint32_t r0, r1 = HevcFilterDeblockDue(s, &r0);
        if (r1 - r0 >= HEVC_BAND_ROWS) {
            const uint32_t uiMid = r0 + (r1 - r0) / 2;
            t->auiBand[0] = uiMid;
            t->auiBand[1] = r1;
            HevcPoolSubmit(&t->stPool, DeblockBandTask, t->auiBand);
            HevcFilterDeblockBand(s, r0, uiMid, 0);
            HevcFilterDeblockBand(s, r0, uiMid, 1);
            HevcPoolWait(&t->stPool, t->auiBand);
            HevcFilterDeblockBand(s, uiMid, uiMid + 1, 1);
            HevcFilterDeblocked(s, r1);
        }
        uint32_t s0, s1 = HevcFilterSaoDue(s, &s0);
        if (s1 - s0 >= HEVC_BAND_ROWS) {
            const uint32_t uiMid = s0 + (s1 - s0) / 2;
            HevcFilterSaoSplit(s, uiMid, &t->stSaoLower, t->apucSaoBelow);
            t->auiSaoBand[0] = uiMid;
            t->auiSaoBand[1] = s1;
            HevcPoolSubmit(&t->stPool, SaoBandTask, t->auiSaoBand);
            HevcFilterSaoRows(d, s, s0, uiMid, &m->stSao);
            HevcPoolWait(&t->stPool, t->auiSaoBand);
            HevcFilterSaoJoin(s, s0, s1, &t->stSaoLower);
        }
        __atomic_store_n(&m->iFilterBusy, 0, __ATOMIC_SEQ_CST);
    }
    HevcThreadsFilterRows(d, s);
}

/* Deblocking, SAO and padding of the picture's rows as they complete, on a
 * worker, while the caller's thread decodes a segment itself, until it
 * stops the task. */
static uint32_t FilterTask(void *pArg)
{
    HevcThreads *t = (HevcThreads *)pArg;
    HW265D_DEC *d = t->pstDec;
    HevcPicMaps *m = d->pstMaps;
    HevcSliceDec *s = t->apstWorker[t_iWorker];
    HevcSliceDecAttach(s, m);
    for (;;) {
        pthread_mutex_lock(&m->stProgLock);
        __atomic_store_n(&m->bFilterWaiting, 1, __ATOMIC_SEQ_CST);
        while (!m->bFilterStop && !RowReady(m))
            pthread_cond_wait(&m->stFilterCond, &m->stProgLock);
        __atomic_store_n(&m->bFilterWaiting, 0, __ATOMIC_RELAXED);
        int bStop = m->bFilterStop;
        pthread_mutex_unlock(&m->stProgLock);
        HevcThreadsFilterRows(d, s);
        if (bStop)
            return 0;
    }
}

void HevcThreadsStartPicture(HW265D_DEC *d)
{
    HevcThreads *t = d->pstThreads;
    HevcPicMaps *m = d->pstMaps;
    m->bThreaded = 0;
    HevcSliceTasksClear(d);
    if (t) {
        t->bTailDue = 0;
        /* Only wavefront row and tile tasks run beside the tail task (they
         * are the ones that leave one, and the pool's records suffice for
         * them). */
        if (t->bOff || !(m->pstPps->entropy_coding_sync_enabled_flag || m->pstPps->tiles_enabled_flag))
            SettleTail(t);
    }
    if (!t || t->bOff) {
        HevcReconTaskStopLive(d); /* this thread reads the picture before */
        return;
    }
    m->bThreaded = 1;
    m->bFilterStop = 0;
    m->iRowError = 0;
    m->uiCommitRows = ~0u;
    m->iFilterBusy = 0;
    /* A picture the reconstruction task takes is filtered behind that task;
     * otherwise the filter task starts with the first segment decoded on
     * this thread (HevcThreadsTaskMode). */
    HevcReconTaskStart(d);
}

void HevcThreadsFinishPicture(HW265D_DEC *d)
{
    HevcThreads *t = d->pstThreads;
    if (!t)
        return;
    HevcSliceTasksClear(d);
    HevcReconTaskFinish(d); /* the filter task waits for the rows it reconstructs */
    if (t->bFilterRunning)
        HevcThreadsStopFilter(d);
    if (d->pstMaps)
        d->pstMaps->bThreaded = 0;
    /* Several slices over two or more tile rows: this handle decodes on the
     * caller's thread from now on. */
    if (d->iSliceNalNum > 1 && d->pstActPps && d->pstActPps->tiles_enabled_flag && d->pstActPps->num_tile_rows > 1)
        t->bOff = 1;
}

void HevcThreadsCtbDone(HevcPicMaps *m, uint32_t ry)
{
    /* The lock is taken only to wake a sleeper: a row waiter when its count
     * is reached, the filter task when a row completes. The count and the
     * sleepers' marks are sequentially consistent, so either this thread
     * sees the mark or the sleeper sees the new count before it sleeps. */
    const uint32_t n = __atomic_add_fetch(HevcRowCtbs(m, ry), 1, __ATOMIC_SEQ_CST);
    const uint32_t uiWake = __atomic_load_n(&m->puiRowWake[ry], __ATOMIC_SEQ_CST);
    const int bRow = uiWake && n >= uiWake;
    const int bFilter = n == m->pstSps->PicWidthInCtbsY && __atomic_load_n(&m->bFilterWaiting, __ATOMIC_SEQ_CST);
    if (!bRow && !bFilter)
        return;
    /* Taking the lock makes sure a sleeper that marked is inside its wait;
     * the wake-up comes after letting go, so the sleeper does not wake into
     * a lock still held. */
    pthread_mutex_lock(&m->stProgLock);
    if (bRow)
        __atomic_store_n(&m->puiRowWake[ry], 0, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&m->stProgLock);
    if (bRow)
        pthread_cond_broadcast(&m->stProgCond);
    if (bFilter)
        pthread_cond_signal(&m->stFilterCond);
}

/* Whether row ry or a row above it failed: its waiters give up. Rows above
 * the failure go on, as single-threaded decoding would decode them. */
static int RowFailed(const HevcPicMaps *m, uint32_t ry)
{
    int32_t e = __atomic_load_n(&m->iRowError, __ATOMIC_ACQUIRE);
    return e && (uint32_t)e - 1 <= ry;
}

int HevcThreadsWaitRow(HW265D_DEC *d, HevcSliceDec *s, uint32_t ry, uint32_t uiCount)
{
    HevcPicMaps *m = s->pstMaps;
    if (RowFailed(m, ry))
        return -1;
    if (__atomic_load_n(HevcRowCtbs(m, ry), __ATOMIC_ACQUIRE) >= uiCount)
        return 0;
    /* Instead of sleeping, this thread takes the filter work that is ready
     * (unless another thread is at it): the filters then run while a row
     * waits anyway, not on the path of the row the other thread decodes. */
    if (!__atomic_load_n(&m->iFilterBusy, __ATOMIC_ACQUIRE)) {
        HevcThreadsFilterRows(d, s);
        if (RowFailed(m, ry))
            return -1;
        if (__atomic_load_n(HevcRowCtbs(m, ry), __ATOMIC_ACQUIRE) >= uiCount)
            return 0;
    }
    /* Woken as soon as the row above has the CTB it needs: letting that row
     * get further ahead first measured slower and saved no wake-ups. */
    const uint32_t uiWake = uiCount;
    pthread_mutex_lock(&m->stProgLock);
    m->iWaiters++;
    while (!RowFailed(m, ry)) {
        /* Mark first, then look again (see HevcThreadsCtbDone). */
        __atomic_store_n(&m->puiRowWake[ry], uiWake, __ATOMIC_SEQ_CST);
        if (__atomic_load_n(HevcRowCtbs(m, ry), __ATOMIC_SEQ_CST) >= uiCount)
            break;
        pthread_cond_wait(&m->stProgCond, &m->stProgLock);
    }
    __atomic_store_n(&m->puiRowWake[ry], 0, __ATOMIC_RELAXED);
    m->iWaiters--;
    int r = RowFailed(m, ry) ? -1 : 0;
    pthread_mutex_unlock(&m->stProgLock);
    return r;
}

void HevcThreadsFail(HevcPicMaps *m, uint32_t ry)
{
    Wake(m, WAKE_ROW_ERROR, ry + 1);
}

void HevcThreadsSetCommit(HevcPicMaps *m, uint32_t uiRows)
{
    Wake(m, WAKE_COMMIT, uiRows);
}

/* The segment's tasks: wavefront rows, or tiles (the two never meet in one
 * picture). 0: decode it on the caller's thread. */
static int TaskMode(const HW265D_DEC *d, int bUntouched)
{
    const HevcThreads *t = d->pstThreads;
    const HevcPicMaps *m = d->pstMaps;
    if (!t || !m->bThreaded)
        return 0;
    const HevcSliceHeader *sh = &d->stSh;
    const HevcPps *pps = d->pstActPps;
    const HevcSps *sps = d->pstActSps;
    const uint32_t W = sps->PicWidthInCtbsY;
    if (pps->dependent_slice_segments_enabled_flag || sh->num_entry_point_offsets == 0)
        return 0;
    /* A second slice over two or more tile rows: this picture's remaining
     * slices and every later picture go to the caller's thread. */
    if (d->iSliceNalNum > 1 && pps->tiles_enabled_flag && pps->num_tile_rows > 1)
        return 0;
    if (pps->entropy_coding_sync_enabled_flag) {
        if (pps->tiles_enabled_flag || W < 2 || sh->slice_segment_address % W)
            return 0;
        /* Rows below the segment's start must be untouched, so no CTB the
         * rows would decode was decoded before. */
        for (uint32_t r = sh->slice_segment_address / W; r < sps->PicHeightInCtbsY; r++)
            if (*HevcRowCtbs(m, r))
                return 0;
        return HEVC_TASK_ROWS;
    }
    /* Likewise every CTB from the segment's start on, in tile scan. */
    return pps->tiles_enabled_flag && bUntouched ? HEVC_TASK_TILES : 0;
}

HevcSliceDec *HevcThreadsWorkerRecord(HW265D_DEC *d)
{
    return d->pstThreads->apstWorker[t_iWorker];
}

int HevcThreadsTaskMode(HW265D_DEC *d, int bUntouched)
{
    int iMode = TaskMode(d, bUntouched);
    HevcThreads *t = d->pstThreads;
    /* The reconstruction task filters its picture itself: a filter task
     * would only hold a worker the task needs. */
    const int bSplit = d->pstReconTask && d->pstReconTask->bRunning;
    if (t && iMode != HEVC_TASK_ROWS && iMode != HEVC_TASK_TILES)
        SettleTail(t);
    if (!iMode && t && d->pstMaps->bThreaded && !t->bFilterRunning && !bSplit) {
        /* The caller's thread decodes: the filtering follows on a worker. */
        d->pstMaps->bFilterStop = 0;
        t->bFilterRunning = 1;
        HevcPoolSubmit(&t->stPool, FilterTask, t);
    }
    return iMode;
}

/* Wavefront substream k ended cleanly: once every substream before it did
 * too, the rows up to it are final and go to the filters. 1 when rows were
 * confirmed. */
static int ConfirmRow(HevcThreads *t, HevcPicMaps *m, uint32_t k)
{
    int bMore = 0;
    pthread_mutex_lock(&m->stProgLock);
    if (t->bRowCommit && k >= t->uiCleanK && k - t->uiCleanK < 32) {
        t->uiCleanMask |= 1u << (k - t->uiCleanK);
        for (; t->uiCleanMask & 1; t->uiCleanMask >>= 1, t->uiCleanK++)
            bMore = 1;
        if (bMore)
            __atomic_store_n(&m->uiCommitRows, t->uiCleanUnit0 + t->uiCleanK, __ATOMIC_SEQ_CST);
    }
    pthread_mutex_unlock(&m->stProgLock);
    return bMore;
}

/* ---- deblocking jobs ---- */

static int DeblockJobsLeft(HevcThreads *t)
{
    return __atomic_load_n(&t->uiJobNext, __ATOMIC_SEQ_CST) < 2 * __atomic_load_n(&t->uiJobChunks, __ATOMIC_RELAXED);
}

/* Shares the deblocking of the rows due out as jobs; 0 when they are too
 * few, or another thread filters (it takes them then). */
static int StartDeblockJobs(HW265D_DEC *d, HevcSliceDec *s)
{
    HevcThreads *t = d->pstThreads;
    HevcPicMaps *m = d->pstMaps;
    if (__atomic_exchange_n(&m->iFilterBusy, 1, __ATOMIC_SEQ_CST))
        return 0;
    uint32_t r0, r1 = HevcFilterDeblockDue(s, &r0);
    if (r1 - r0 < 4) {
        __atomic_store_n(&m->iFilterBusy, 0, __ATOMIC_SEQ_CST);
        return 0;
    }
    /* Chunks of two rows or more: a job is short, and there are few. */
    uint32_t uiRows = (r1 - r0 + 63) / 64;
    if (uiRows < 2)
        uiRows = 2;
    t->pstJobMaps = m;
    t->uiJobRow0 = r0;
    t->uiJobRow1 = r1;
    t->uiJobRows = uiRows;
    __atomic_store_n(&t->uiJobChunks, (r1 - r0 + uiRows - 1) / uiRows, __ATOMIC_RELAXED);
    t->uiJobRounds++;
    __atomic_store_n(&t->uiJobsDone, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&t->ullJobVDone, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&t->uiJobNext, 0, __ATOMIC_SEQ_CST); /* publishes the fields above */
    return 1;
}

/* Takes jobs until none is left; the thread that ends the last one
 * finishes the rows (SAO, padding, publication). s is attached to the
 * jobs' maps. */
static void TakeDeblockJobs(HW265D_DEC *d, HevcSliceDec *s)
{
    HevcThreads *t = d->pstThreads;
    for (;;) {
        const uint32_t j = __atomic_fetch_add(&t->uiJobNext, 1, __ATOMIC_SEQ_CST);
        const uint32_t N = __atomic_load_n(&t->uiJobChunks, __ATOMIC_RELAXED);
        if (j >= 2 * N)
            return;
        HevcPicMaps *m = t->pstJobMaps;
        const uint32_t c = j < N ? j : j - N, a = t->uiJobRow0 + c * t->uiJobRows;
        const uint32_t b = a + t->uiJobRows < t->uiJobRow1 ? a + t->uiJobRows : t->uiJobRow1;
        if (j < N) {
            HevcFilterDeblockBand(s, a, b, 0);
            __atomic_or_fetch(&t->ullJobVDone, 1ull << c, __ATOMIC_SEQ_CST);
            pthread_mutex_lock(&m->stProgLock);
            pthread_mutex_unlock(&m->stProgLock);
            pthread_cond_broadcast(&m->stProgCond);
        } else {
            /* The top edges of the chunk's first row change the last lines
             * of the chunk above. */
            const uint64_t ullNeed = (1ull << c) | (c ? 1ull << (c - 1) : 0);
            if ((__atomic_load_n(&t->ullJobVDone, __ATOMIC_SEQ_CST) & ullNeed) != ullNeed) {
                pthread_mutex_lock(&m->stProgLock);
                while ((__atomic_load_n(&t->ullJobVDone, __ATOMIC_SEQ_CST) & ullNeed) != ullNeed)
                    pthread_cond_wait(&m->stProgCond, &m->stProgLock);
                pthread_mutex_unlock(&m->stProgLock);
            }
            HevcFilterDeblockBand(s, a, b, 1);
        }
        if (__atomic_add_fetch(&t->uiJobsDone, 1, __ATOMIC_SEQ_CST) == 2 * N) {
            HevcFilterDeblocked(s, t->uiJobRow1);
            __atomic_store_n(&t->uiJobNext, JOB_IDLE, __ATOMIC_SEQ_CST);
            __atomic_store_n(&m->iFilterBusy, 0, __ATOMIC_SEQ_CST);
            HevcThreadsFilterRows(d, s);
            return;
        }
    }
}

static uint32_t RowTask(void *pArg)
{
    HevcRowTask *rt = (HevcRowTask *)pArg;
    HW265D_DEC *d = rt->pstDec;
    HevcPicMaps *m = d->pstMaps;
    HevcSliceDec *s = d->pstThreads->apstWorker[t_iWorker];
    const HevcSliceDec *c = d->pstSliceDec; /* the segment as the caller set it up */
    HevcSliceDecAttach(s, m);
    s->pstSh = c->pstSh;
    s->pucNal = c->pucNal;
    s->uiNalSize = c->uiNalSize;
    s->uiCntBase = c->uiCntBase;
    s->uiTs0 = c->uiTs0;
    if (s->pstSh->slice_type != HEVC_SLICE_I)
        HevcSliceInterSetup(d, s);
    rt->stLog.iNum = 0;
    t_pstLog = &rt->stLog;
    uint32_t r = HevcDecodeCtbs(d, s, rt->uiTs, rt->uiSub, rt->bLast ? 2 : 1, &rt->uiStopTs, &rt->bEnd, &rt->iStopState);
    t_pstLog = NULL;
    rt->bAborted = r == HEVC_NAL_FAIL;
    rt->uiRet = rt->bAborted ? 0 : r;
    /* Rows below wait on this one: after an early end they must give up. */
    if (r || (rt->bEnd && !rt->bLast))
        HevcThreadsFail(m, d->puiCtbAddrTsToRs[rt->uiTs] / m->pstSps->PicWidthInCtbsY);
    else if (!rt->bEnd && ConfirmRow(d->pstThreads, m, rt->uiSub) &&
             (d->pstThreads->iCpus == 1 || !HevcPoolPending(&d->pstThreads->stPool)))
        HevcThreadsFilterRows(d, s); /* alone, or with no row left to take: filter now */
    else if (DeblockJobsLeft(d->pstThreads) && !HevcPoolPending(&d->pstThreads->stPool))
        TakeDeblockJobs(d, s); /* no tile left to take */
    return r;
}

/* Takes back the CTB at tile-scan address ts, which single-threaded
 * decoding would not have decoded in this segment: counts, maps and
 * temporal motion as before. */
void HevcThreadsUndoCtb(HW265D_DEC *d, uint32_t ts)
{
    HevcPicMaps *m = d->pstMaps;
    const HevcSps *sps = m->pstSps;
    const uint32_t W = sps->PicWidthInCtbsY, rs = d->puiCtbAddrTsToRs[ts];
    HevcCtbInfo *c = &m->pstCtb[rs];
    if (c->bCounted) {
        /* The filter task may be reading the count (it never takes an
         * unconfirmed row, but reads how far it is). */
        __atomic_fetch_sub(HevcRowCtbs(m, rs / W), 1, __ATOMIC_RELEASE);
    }
    memset(c, 0, sizeof(*c));
    const uint32_t iCtb = sps->CtbSizeY, x0 = (rs % W) * iCtb, y0 = (rs / W) * iCtb;
    const uint32_t x1 = x0 + iCtb < sps->pic_width_in_luma_samples ? x0 + iCtb : sps->pic_width_in_luma_samples;
    const uint32_t y1 = y0 + iCtb < sps->pic_height_in_luma_samples ? y0 + iCtb : sps->pic_height_in_luma_samples;
    for (uint32_t y = y0 >> 2; y < (y1 + 3) >> 2; y++) {
        size_t o = (size_t)y * m->uiW4 + (x0 >> 2), n = ((x1 + 3) >> 2) - (x0 >> 2);
        memset(m->pucBlkFlags + o, 0, n);
        memset(m->pucMvSet + o, 0, n);
        memset(m->pucBsV + o, 0, n);
        memset(m->pucBsH + o, 0, n);
    }
    const size_t uiStride16 = d->uiMaxWidth >> 4;
    for (uint32_t y = y0; y < y1; y += 16)
        memset(&m->pstPic->pstMotion[(y >> 4) * uiStride16 + (x0 >> 4)], 0,
               sizeof(HevcMotion16) * (((x1 + 15) >> 4) - (x0 >> 4)));
}

/* Tile-scan address of the first CTB of tile iTile. */
static uint32_t TileStart(const HW265D_DEC *d, uint32_t uiTile)
{
    const HevcPps *pps = d->pstActPps;
    const uint32_t tx = uiTile % pps->num_tile_columns, ty = uiTile / pps->num_tile_columns;
    return d->puiCtbAddrRsToTs[pps->row_bd[ty] * d->pstActSps->PicWidthInCtbsY + pps->col_bd[tx]];
}

/* The edges of tile uiTile towards the tiles left of and above it, from
 * tile-scan address uiTs0 on: only its first CTB row and column have
 * neighbours outside it. */
static void MarkTileEdges(HW265D_DEC *d, HevcSliceDec *s, uint32_t uiTile, uint32_t uiTs0)
{
    const HevcPps *pps = d->pstActPps;
    const uint32_t W = d->pstActSps->PicWidthInCtbsY;
    const uint32_t tx = uiTile % pps->num_tile_columns, ty = uiTile / pps->num_tile_columns;
    const uint32_t x0 = pps->col_bd[tx], x1 = pps->col_bd[tx + 1], y0 = pps->row_bd[ty], y1 = pps->row_bd[ty + 1];
    for (uint32_t y = y0; y < y1; y++)
        for (uint32_t x = x0; x < (y == y0 ? x1 : x0 + 1); x++) {
            const uint32_t rs = y * W + x;
            if (d->puiCtbAddrRsToTs[rs] >= uiTs0)
                HevcMarkUnitBoundaryEdges(s, rs, 0);
        }
}

/* The caller's side of the segment's tasks: substream k of the segment
 * starts a CTB row (wavefront) or a tile. Results are taken in substream
 * order, so messages, codes and maps end up as single-threaded decoding
 * leaves them; rows go to the filter task as soon as every CTB in them is
 * confirmed. */
uint32_t HevcThreadsDecodeTasks(HW265D_DEC *d, uint32_t uiTs0, int iMode)
{
    HevcThreads *t = d->pstThreads;
    HevcPicMaps *m = d->pstMaps;
    HevcSliceDec *s = d->pstSliceDec;
    const HevcSps *sps = m->pstSps;
    const HevcPps *pps = m->pstPps;
    const int bTiles = iMode == HEVC_TASK_TILES;
    const char *pszStage = bTiles ? "MultTileThreads" : "ProcessLcusInThreads";
    const uint32_t W = sps->PicWidthInCtbsY, H = sps->PicHeightInCtbsY, uiCtbs = sps->PicSizeInCtbsY;
    const uint32_t uiUnit0 = bTiles ? d->pusTileId[uiTs0] : uiTs0 / W; /* no tiles: tile scan is raster scan */
    const uint32_t uiUnits = bTiles ? pps->num_tile_columns * pps->num_tile_rows : H;
    uint32_t uiSubs = d->stSh.num_entry_point_offsets + 1;
    if (uiSubs > uiUnits - uiUnit0)
        uiSubs = uiUnits - uiUnit0;
    /* The tasks' rows are filtered by the threads that decode them (the
     * filter task would be one busy thread too many). */
    if (t->bFilterRunning)
        HevcThreadsStopFilter(d);
    /* First CTB row a task may touch: the filters stay above it. */
    pthread_mutex_lock(&m->stProgLock);
    t->bRowCommit = !bTiles;
    t->uiCleanUnit0 = uiUnit0;
    t->uiCleanK = 0;
    t->uiCleanMask = 0;
    pthread_mutex_unlock(&m->stProgLock);
    HevcThreadsSetCommit(m, bTiles ? pps->row_bd[uiUnit0 / pps->num_tile_columns] : uiUnit0);
    const int iMaxInFlight = t->iWindow;
    uint32_t k = 0, uiWaitK = 0, uiRet = 0, uiStop = 0, uiStopFrom = 0;
    int bStopped = 0, bFilterDue = 0, iStopState = HEVC_STOP_UNTOUCHED;
    for (;;) {
        /* A tail task holds one of the pool's records until it is taken
         * back: as soon as it has ended. */
        if (t->iTailSlot >= 0 && !__atomic_load_n(&t->pstTailPic, __ATOMIC_ACQUIRE))
            SettleTail(t);
        const uint32_t uiWindow = (uint32_t)iMaxInFlight - (t->iTailSlot >= 0 && t->iWindow == HEVC_POOL_THREADS);
        int bSubmit = !bStopped && k < uiSubs && k - uiWaitK < uiWindow;
        if (bSubmit) {
            HevcRowTask *rt = &t->astRow[k % HEVC_POOL_THREADS];
            rt->pstDec = d;
            rt->uiSub = k;
            rt->uiTs = !k ? uiTs0 : bTiles ? TileStart(d, uiUnit0 + k) : (uiUnit0 + k) * W;
            rt->bLast = k == uiSubs - 1;
            HevcPoolSubmit(&t->stPool, RowTask, rt);
            k++;
            continue;
        }
        if (bFilterDue) {
            bFilterDue = 0;
            /* Once the last tiles are queued, the deblocking of the
             * confirmed rows goes out in jobs that fill the time a thread
             * would wait for the other's last tile; earlier, this thread
             * filters them here, with the next tiles queued for the
             * workers. */
            if (!((bStopped || k == uiSubs) && StartDeblockJobs(d, s)))
                HevcThreadsFilterRows(d, s);
        }
        if (uiWaitK == k) {
            /* Every task has ended: nobody else takes a job now. */
            if (DeblockJobsLeft(t))
                TakeDeblockJobs(d, s);
            break;
        }
        /* Nothing left to take: rather than sleep, deblock. */
        if (DeblockJobsLeft(t) && !HevcPoolPending(&t->stPool))
            TakeDeblockJobs(d, s);
        /* Results in substream order: messages as single-threaded decoding
         * would log them, up to the CTB where it would have stopped. */
        HevcRowTask *rt = &t->astRow[uiWaitK % HEVC_POOL_THREADS];
        HevcPoolWait(&t->stPool, rt);
        if (!bStopped) {
            HevcThreadsReplayLog(d, &rt->stLog, 0);
            if (rt->uiRet || rt->bEnd || rt->bAborted) {
                bStopped = 1;
                uiStopFrom = rt->uiTs;
                uiRet = rt->bAborted ? IHW265D_ERR_NAL : rt->uiRet;
                uiStop = rt->uiStopTs;
                iStopState = rt->iStopState;
                if (uiRet)
                    HEVC_ERR(d, "%s check  err, ret = 0x%x\n", pszStage, uiRet);
            } else if (bTiles) {
                /* A tile's edges towards the tiles left and above, now that
                 * both sides are final; a finished tile row is confirmed. */
                const uint32_t uiTile = uiUnit0 + uiWaitK;
                MarkTileEdges(d, s, uiTile, rt->uiTs);
                if (uiTile % pps->num_tile_columns == pps->num_tile_columns - 1) {
                    HevcThreadsSetCommit(m, pps->row_bd[uiTile / pps->num_tile_columns + 1]);
                    bFilterDue = 1;
                }
            }
        }
        uiWaitK++;
    }
    if (bStopped) {
        uint32_t uiEnd = uiCtbs;
        if (bTiles && uiUnit0 + k < uiUnits)
            uiEnd = TileStart(d, uiUnit0 + k);
        else if (!bTiles && (uiUnit0 + k) * W < uiCtbs)
            uiEnd = (uiUnit0 + k) * W;
        for (uint32_t ts = uiStop + (iStopState == HEVC_STOP_AS_IS); ts < uiEnd; ts++)
            HevcThreadsUndoCtb(d, ts);
        if (iStopState == HEVC_STOP_INFO && uiStop < uiEnd) {
            /* Its slice information as single-threaded decoding leaves it. */
            HevcSetCtbInfo(d, s, d->puiCtbAddrTsToRs[uiStop], uiStop);
            m->pstCtb[d->puiCtbAddrTsToRs[uiStop]].bDecoded = 0;
        }
        /* The task it stopped in keeps what came before the stop (a CTB
         * taken back or left undecoded is skipped). */
        for (uint32_t ts = uiStopFrom; bTiles && ts <= uiStop && ts < uiEnd; ts++)
            HevcMarkUnitBoundaryEdges(s, d->puiCtbAddrTsToRs[ts], 0);
        if (uiRet)
            m->pstPic->uiErrorFlag |= HEVC_PIC_ERR_SLICE;
    }
    __atomic_store_n(&m->iRowError, 0, __ATOMIC_RELEASE);
    pthread_mutex_lock(&m->stProgLock);
    t->bRowCommit = 0;
    pthread_mutex_unlock(&m->stProgLock);
    HevcThreadsSetCommit(m, ~0u);
    /* A picture every row of which is decoded cleanly leaves its last
     * filter rows for its end, where the tail task may take them while
     * this thread starts the next picture. */
    const uint32_t uiErr = __atomic_load_n(&m->pstPic->uiErrorFlag, __ATOMIC_RELAXED);
    if (!uiRet && t->bOverlap && t->iCpus > 1 && d->apstMaps[1] && m->pstPic->iLayerId == 0 &&
        !(uiErr & (HEVC_PIC_ERR_SLICE | HEVC_PIC_ERR_NOT_DECODED)) && HevcCtbsDone(m) == uiCtbs) {
        t->bTailDue = 1;
        t->bTailTiles = bTiles;
        return uiRet;
    }
    HevcThreadsFilterShared(d, s);
    return uiRet;
}

/* ---- the tail task: the last rows of a picture that has ended ---- */

/* Hands the picture of maps m to pfnTask on a worker: from here the next
 * picture's prediction waits for the bands it reads until TailEnd. */
static void TailStart(HW265D_DEC *d, HevcPicMaps *m, HevcTaskFxn pfnTask)
{
    HevcThreads *t = d->pstThreads;
    t->pstTailMaps = m;
    t->iTailSlot = d->iCurPic;
    t->uiTails++;
    pthread_mutex_lock(&t->stTailLock);
    __atomic_store_n(&t->pstTailPic, m->pstPic, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&t->stTailLock);
    HevcPoolSubmit(&t->stPool, pfnTask, &t->pstTailMaps); /* the argument SettleTail waits for */
}

static void TailEnd(HevcThreads *t, HevcPicMaps *m)
{
    m->pstPic = NULL;
    pthread_mutex_lock(&t->stTailLock);
    __atomic_store_n(&t->pstTailPic, NULL, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&t->stTailLock);
    pthread_cond_broadcast(&t->stTailCond);
}

static uint32_t TailTask(void *pArg)
{
    HevcThreads *t = (HevcThreads *)((uint8_t *)pArg - offsetof(HevcThreads, pstTailMaps));
    HevcPicMaps *m = t->pstTailMaps;
    HevcSliceDec *s = t->apstWorker[t_iWorker];
    HevcSliceDecAttach(s, m);
    HevcFilterAdvance(t->pstDec, s, 1);
    TailEnd(t, m);
    return 0;
}

/* The lower rows of a tile picture: their deblocking beside the caller's
 * thread's upper rows, then, once those are deblocked, the edges between
 * the two, and SAO, padding and publication from the row above them on
 * (from the lines HevcFilterSaoSplit kept). */
static uint32_t TileTailTask(void *pArg)
{
    HevcThreads *t = (HevcThreads *)((uint8_t *)pArg - offsetof(HevcThreads, pstTailMaps));
    HevcPicMaps *m = t->pstTailMaps;
    HevcSliceDec *s = t->apstWorker[t_iWorker];
    const uint32_t uiMid = t->auiTailBand[0], r1 = t->auiTailBand[1], uiSao = t->auiTailBand[2];
    HevcSliceDecAttach(s, m);
    HevcFilterDeblockBand(s, uiMid, r1, 0);
    HevcFilterDeblockBand(s, uiMid + 1, r1, 1);
    pthread_mutex_lock(&t->stTailLock);
    while (!t->bTailGo)
        pthread_cond_wait(&t->stTailCond, &t->stTailLock);
    pthread_mutex_unlock(&t->stTailLock);
    HevcFilterDeblockBand(s, uiMid, uiMid + 1, 1);
    const uint32_t H = m->pstSps->PicHeightInCtbsY;
    HevcFilterSaoRows(t->pstDec, s, uiSao, H, &t->stSaoLower);
    HevcFilterPublish(s, uiSao, H);
    HevcThreadsRowsPublished(t->pstDec);
    TailEnd(t, m);
    return 0;
}

/* A tile picture's last rows are all ready at once: the caller's thread
 * deblocks the upper part of them, the tail task the lower part (more of
 * them, as this thread goes on with the next picture's start meanwhile).
 * 0 when there are too few rows to share. */
static int DeferTileTail(HW265D_DEC *d, HevcPicMaps *m)
{
    HevcThreads *t = d->pstThreads;
    HevcSliceDec *s = d->pstSliceDec;
    HevcSliceDecAttach(s, m);
    uint32_t r0, r1 = HevcFilterDeblockDue(s, &r0), uiSao0;
    HevcFilterSaoDue(s, &uiSao0);
    const uint32_t H = m->pstSps->PicHeightInCtbsY;
    const uint32_t uiMid = r0 + (r1 - r0) / 4;
    if (r1 != H || uiMid < r0 + 2 || uiMid + 2 > r1 || uiSao0 + 1 >= uiMid)
        return 0;
    t->auiTailBand[0] = uiMid;
    t->auiTailBand[1] = r1;
    t->auiTailBand[2] = uiMid - 1;
    t->bTailGo = 0;
    TailStart(d, m, TileTailTask);
    HevcFilterDeblockBand(s, r0, uiMid, 0);
    HevcFilterDeblockBand(s, r0, uiMid, 1);
    /* The row above the task's SAO is finished by it (the edges below it
     * are the task's); this thread's last SAO row reads that row's first
     * line from a copy. */
    HevcFilterSaoSplit(s, uiMid - 1, &t->stSaoLower, t->apucSaoBelow);
    pthread_mutex_lock(&t->stTailLock);
    t->bTailGo = 1;
    pthread_mutex_unlock(&t->stTailLock);
    pthread_cond_broadcast(&t->stTailCond);
    HevcFilterSaoRows(d, s, uiSao0, uiMid - 1, &m->stSao);
    HevcFilterPublish(s, uiSao0, uiMid - 1);
    HevcThreadsRowsPublished(d);
    return 1;
}

int HevcThreadsDeferTail(HW265D_DEC *d)
{
    HevcThreads *t = d->pstThreads;
    HevcPicMaps *m = d->pstMaps;
    if (!t || !t->bTailDue || t->bFilterRunning || !m->pstPic || d->iCurPic < 0 ||
        m->pstPic != &d->stDpb.astPic[d->iCurPic])
        return 0;
    t->bTailDue = 0;
    /* A later unit of the picture may have failed. */
    const uint32_t uiErr = __atomic_load_n(&m->pstPic->uiErrorFlag, __ATOMIC_RELAXED);
    if ((uiErr & (HEVC_PIC_ERR_SLICE | HEVC_PIC_ERR_NOT_DECODED)) || HevcCtbsDone(m) != m->pstSps->PicSizeInCtbsY)
        return 0;
    HevcThreadsSettle(d); /* one picture left to a task at a time */
    if (!t->bTailTiles) {
        TailStart(d, m, TailTask);
    } else if (!DeferTileTail(d, m)) {
        HevcThreadsFilterShared(d, d->pstSliceDec);
        return 0;
    }
    /* The task reads these maps until it ends; the next picture takes the
     * other set. */
    d->pstMaps = d->apstMaps[m == d->apstMaps[0] ? 1 : 0];
    return 1;
}

void HevcThreadsSettle(HW265D_DEC *d)
{
    HevcReconTaskSettle(d);
    if (d->pstThreads)
        SettleTail(d->pstThreads);
}

int HevcThreadsTailSlot(const HW265D_DEC *d)
{
    return d->pstThreads ? d->pstThreads->iTailSlot : -1;
}

void HevcThreadsWaitRef(HW265D_DEC *d, const HevcPic *r, uint32_t uiBand)
{
    HevcThreads *t = d->pstThreads;
    pthread_mutex_lock(&t->stTailLock);
    if (t->pstTailPic == r) {
        /* Counted first, then the band looked at (see HevcThreadsRowsPublished). */
        __atomic_add_fetch(&t->iTailWaiters, 1, __ATOMIC_SEQ_CST);
        t->uiTailWaits += __atomic_load_n(&r->piRowProgress[uiBand], __ATOMIC_SEQ_CST) != HEVC_ROW_DONE;
        while (t->pstTailPic == r && __atomic_load_n(&r->piRowProgress[uiBand], __ATOMIC_SEQ_CST) != HEVC_ROW_DONE)
            pthread_cond_wait(&t->stTailCond, &t->stTailLock);
        __atomic_sub_fetch(&t->iTailWaiters, 1, __ATOMIC_RELAXED);
    }
    pthread_mutex_unlock(&t->stTailLock);
}

void HevcThreadsRowsPublished(HW265D_DEC *d)
{
    HevcThreads *t = d->pstThreads;
    /* The bands were stored sequentially consistent before this load:
     * either a waiter's count is seen here or it sees the bands. */
    if (!t || !__atomic_load_n(&t->iTailWaiters, __ATOMIC_SEQ_CST))
        return;
    pthread_mutex_lock(&t->stTailLock);
    pthread_mutex_unlock(&t->stTailLock);
    pthread_cond_broadcast(&t->stTailCond);
}
