/* Multi-threaded decoding of a handle created with eThreadType 1: the
 * worker pool, the workers' own decoding records (and one for the caller's
 * thread when it runs a task itself), the filter task and the wavefront
 * row and tile tasks (stage "ThreadDecodeSliceSegmentData").
 *
 * Return codes, messages and error indicators come out exactly as
 * single-threaded: the caller's thread submits a segment's tasks and waits
 * for every one before the unit counts as decoded (slices decoded ahead of
 * their turn keep theirs until then, hevc_slice_tasks.h). */
#ifndef HEVC_THREADS_H
#define HEVC_THREADS_H

#include <stdint.h>
#include "hevc_pool.h"
#include "hevc_slicedata.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HW265D_DEC;

#define HEVC_LOG_KEEP 8

/* Messages of a task kept until the caller knows whether single-threaded
 * decoding would have reached the CTB that logged them (slice data messages
 * carry int arguments only). */
typedef struct {
    int iNum;
    int iDropped;                /* messages that found the buffer full */
    struct {
        int iLevel;
        const char *pszFormat;
        int aiArg[4];
    } astMsg[HEVC_LOG_KEEP];
} HevcLogBuf;

/* One row or tile task: substream k of the current slice segment. */
typedef struct {
    struct HW265D_DEC *pstDec;
    uint32_t uiSub;              /* substream index */
    uint32_t uiTs;               /* first CTB */
    int bLast;                   /* last substream: goes on to the segment's end */
    /* Results. */
    uint32_t uiRet;              /* 0 or the error code */
    uint32_t uiStopTs;           /* CTB (tile scan) where single-threaded decoding would stop after this task */
    int bEnd;                    /* end_of_slice_segment_flag met */
    int iStopState;              /* HEVC_STOP_*: what the CTB at uiStopTs holds */
    int bAborted;                /* stopped because a row above failed */
    HevcLogBuf stLog;
} HevcRowTask;

typedef struct HevcThreads {
    HevcPool stPool;
    HevcTask *apstQueueMem[3 * HEVC_POOL_THREADS];
    /* Process heap, see HeapAlloc: one per worker, and the last for the
     * caller's thread when it runs a task itself. */
    HevcSliceDec *apstWorker[HEVC_POOL_THREADS + 1];
    struct HW265D_DEC *pstDec;
    int bOff;                    /* threading switched off for the handle's life */
    int bFilterRunning;          /* the filter task is submitted (caller's thread only) */
    int iWindow;                 /* row or tile tasks submitted and not yet taken back */
    int iCpus;                   /* cores the process may run on (1..4) */
    uint32_t auiBand[2];         /* rows [0], [1] a worker deblocks after the last tasks */
    uint32_t auiSaoBand[2];      /* rows [0], [1] a worker applies SAO to and pads after them */
    HevcSaoLines stSaoLower;     /* that worker's line buffers (in the record's block) */
    uint8_t *apucSaoBelow[3];    /* the first line of row auiSaoBand[0] before its SAO */
    HevcRowTask astRow[HEVC_POOL_THREADS];
    /* Deblocking shared out in small jobs: the rows of tile rows confirmed
     * once the last tiles are queued, taken by whichever thread has no tile
     * left (jobs 0..N-1 the vertical edges of chunk j, N..2N-1 the
     * horizontal ones, which wait for the vertical edges of their chunk and
     * the chunk above). The thread ending the last job lets go of the
     * maps' iFilterBusy, held from the start. */
    HevcPicMaps *pstJobMaps;     /* maps of the jobs */
    uint32_t uiJobRow0, uiJobRow1; /* CTB rows [0, 1) to deblock */
    uint32_t uiJobRows;          /* CTB rows per chunk */
    uint32_t uiJobChunks;        /* N, at most 64 */
    uint32_t uiJobRounds;        /* caller's thread: times the rows went out in jobs */
    uint32_t uiJobNext;          /* (atomic) next job to take; >= 2N: none */
    uint32_t uiJobsDone;         /* (atomic) jobs ended */
    uint64_t ullJobVDone;        /* (atomic; waited for under the maps' stProgLock) bit j: the
                                  * vertical edges of chunk j are done */
    /* Wavefront rows confirm themselves: a row task that ends cleanly, with
     * every substream before it clean, is final (the caller will not take
     * it back), so its rows go to the filters at once. Guarded by the
     * maps' stProgLock. */
    int bRowCommit;              /* the current segment runs row tasks */
    uint32_t uiCleanUnit0;       /* CTB row of its substream 0 */
    uint32_t uiCleanK;           /* leading substreams that ended cleanly */
    uint32_t uiCleanMask;        /* bit i: substream uiCleanK + i ended cleanly */
    /* The last filter rows of a complete wavefront picture, left to a
     * worker (the tail task) while the caller's thread goes on with the
     * next picture, whose inter prediction waits for the rows it reads. */
    int bOverlap;                /* a picture's end may be left to a worker (this one or the
                                  * reconstruction task); IPCAMERA_HEVC_OVERLAP=0 turns it off */
    uint32_t uiTails;            /* pictures whose last rows the tail task took */
    int bTailDue;                /* caller's thread: the current picture's last rows wait for its end */
    int bTailTiles;              /* caller's thread: of a tile picture (the tail shares them, see
                                  * HevcThreadsDeferTail) */
    uint32_t auiTailBand[3];     /* tile tail: its deblocking rows [0], [1], SAO rows from [2] on */
    int bTailGo;                 /* (stTailLock) the caller's thread has deblocked the rows above */
    int iTailSlot;               /* caller's thread: DPB slot the tail task finishes, -1 when none */
    HevcPicMaps *pstTailMaps;    /* maps of that picture, the task's argument */
    int bTailInit;
    pthread_mutex_t stTailLock;
    pthread_cond_t stTailCond;   /* a band of the picture was published, or the task ended */
    const HevcPic *pstTailPic;   /* (stTailLock) the picture while its task runs */
    int iTailWaiters;            /* threads waiting for its rows (atomic) */
    uint32_t uiTailWaits;        /* (stTailLock) predictions that waited for such rows */
} HevcThreads;

/* Creation with eThreadType 1: 0, or IHW265D_ERR_THREAD after the message. */
uint32_t HevcThreadsCreate(struct HW265D_DEC *pstDec);
/* Stops and joins the workers (also mid-picture) and frees their records. */
void HevcThreadsDestroy(struct HW265D_DEC *pstDec);
/* Picture start / end on the caller's thread: resets the progress words;
 * the end stops the filter task if a segment started it. */
void HevcThreadsStartPicture(struct HW265D_DEC *pstDec);
void HevcThreadsFinishPicture(struct HW265D_DEC *pstDec);
/* Publishes one more reconstructed CTB of row ry and wakes its waiters. */
void HevcThreadsCtbDone(HevcPicMaps *m, uint32_t ry);
/* Blocks until row ry holds at least uiCount CTBs (filtering the rows that
 * are ready with the thread's record s meanwhile); -1 once a row failed. */
int HevcThreadsWaitRow(struct HW265D_DEC *pstDec, HevcSliceDec *s, uint32_t ry, uint32_t uiCount);
/* Marks a failure of the task that decodes CTB row ry: every waiter wakes,
 * and those waiting on that row or one below give up. */
void HevcThreadsFail(HevcPicMaps *m, uint32_t ry);
/* How the current slice segment decodes: 0 on the caller's thread (the
 * filter task is then started to follow it), or HEVC_TASK_ROWS /
 * HEVC_TASK_TILES (one task per wavefront row or tile), run from CTB uiTs0
 * (tile scan) by HevcThreadsDecodeTasks. bUntouched: the caller found every
 * CTB from the segment's start on undecoded (tile tasks need that). */
enum { HEVC_TASK_ROWS = 1, HEVC_TASK_TILES = 2 };
int HevcThreadsTaskMode(struct HW265D_DEC *pstDec, int bUntouched);
/* Runs the in-loop filters over the rows that became ready, on the calling
 * thread with its own record s, unless another thread is filtering (that
 * one then takes these rows too). For tasks that complete rows while no
 * filter task follows the picture. */
void HevcThreadsFilterRows(struct HW265D_DEC *pstDec, HevcSliceDec *s);
uint32_t HevcThreadsDecodeTasks(struct HW265D_DEC *pstDec, uint32_t uiTs0, int iMode);
/* Leaves the last filter rows of the picture ending now to the tail task
 * (of a tile picture: shared with this thread, which does its part first)
 * and gives the caller's thread the other set of maps: 1, or 0 when the
 * picture is not one whose CTBs were all decoded cleanly in row or tile
 * tasks. */
int HevcThreadsDeferTail(struct HW265D_DEC *pstDec);
/* Waits until nothing runs on a picture that has ended (the tail task and
 * the reconstruction task's deferred end): before a unit, an output, the
 * next picture's end or set-up of a slot such a picture holds. */
void HevcThreadsSettle(struct HW265D_DEC *pstDec);
/* DPB slot the tail task still finishes, -1 when none. */
int HevcThreadsTailSlot(const struct HW265D_DEC *pstDec);
/* Blocks until 16-row band uiBand of reference r is published, when r is
 * the picture the tail task finishes (any other picture is complete). */
void HevcThreadsWaitRef(struct HW265D_DEC *pstDec, const HevcPic *r, uint32_t uiBand);
/* Wakes those waiting in HevcThreadsWaitRef after bands were published. */
void HevcThreadsRowsPublished(struct HW265D_DEC *pstDec);
/* Inside a task: the decoding record of the worker running it. */
HevcSliceDec *HevcThreadsWorkerRecord(struct HW265D_DEC *pstDec);

/* ---- for the slice tasks (hevc_slice_tasks.c) ---- */

/* Messages of the calling thread go to b from now on (NULL: to the log).
 * A buffer whose iNum is HEVC_LOG_KEEP only counts them in iDropped. */
void HevcThreadsCaptureLog(HevcLogBuf *b);
/* Logs a task's kept messages; iCtbCount is added to the CTB count of the
 * "last decode LcuCnt" message (a slice task counts from its own start). */
void HevcThreadsReplayLog(struct HW265D_DEC *pstDec, const HevcLogBuf *b, int iCtbCount);
/* Stops the filter task that follows the caller's reconstruction. */
void HevcThreadsStopFilter(struct HW265D_DEC *pstDec);
/* Rows the filters may take from now on (those below may still be undone). */
void HevcThreadsSetCommit(HevcPicMaps *m, uint32_t uiRows);
/* Takes back the CTB at tile-scan address ts: counts, maps and temporal
 * motion as before it was decoded. */
void HevcThreadsUndoCtb(struct HW265D_DEC *pstDec, uint32_t ts);
/* After a segment's tasks, on the caller's thread with no task queued: the
 * rows that became ready, their deblocking shared with a worker when many
 * became ready at once. */
void HevcThreadsFilterShared(struct HW265D_DEC *pstDec, HevcSliceDec *s);


#ifdef __cplusplus
}
#endif
#endif
