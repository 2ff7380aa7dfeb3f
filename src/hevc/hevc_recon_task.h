/* Entropy decoding split from reconstruction (eThreadType 1, pictures
 * without wavefront rows or tiles): the caller's thread parses every CTB as
 * in single-threaded decoding, but the work it never reads back (intra
 * prediction of a block with its reference availability, residual add with
 * the coefficients copied out, a prediction unit's motion derivation,
 * storage and prediction, the motion kept for later pictures, deblocking
 * bS, PCM samples) goes as commands into a ring buffer allocated at
 * creation. A reconstruction task on one worker runs them in parsing order,
 * counts each CTB in its row once its commands are done and filters the
 * rows as they complete. Parsing never reads reconstructed samples or
 * motion, so only the order of the commands matters; reference pictures
 * are complete before a picture starts.
 *
 * The ring is bounded: the parser waits (on a condition variable) while it
 * is full; the task sleeps while it is empty and is woken once a few CTBs
 * are ready, at the end of each slice segment and at the end of the
 * picture, when every command still queued is run before concealment and
 * the last filter rows. Each CTB is published and freed with atomic
 * stores; the lock is taken only to sleep or to wake the other thread.
 * stLock is never held together with another lock (the task takes the
 * picture's progress lock only after releasing it).
 *
 * A picture whose next unit is the next picture's first slice segment may
 * end without waiting for the task: the parser queues a picture end (the
 * task then runs the last filter rows and counts the picture complete) and
 * goes on with the next picture in the other set of maps, its commands
 * following in the same ring behind a picture start. Until the task has
 * passed that end, the finished picture is not output, not read by this
 * thread, and neither its slot nor those its commands read are taken for
 * a new picture (HevcReconTaskSettle waits for it). */
#ifndef HEVC_RECON_TASK_H
#define HEVC_RECON_TASK_H

#include <pthread.h>
#include <stdint.h>
#include "hevc_slice.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HW265D_DEC;
struct HevcSliceDec;

/* What the task's motion derivation and weighted prediction read of a
 * slice: header fields, lists, and the parser record's inter set-up. */
typedef struct {
    uint32_t uiSliceType, uiMaxMergeCand;
    uint32_t auiNumRefIdx[2];
    uint8_t bTmvp, bColFromL0, bValid, ucPad;
    int32_t iColSlot, bNoBackwardPred, iFallbackSlot;
    HevcRefLists stRefs;
    HevcPredWeight stPwt;
} HevcReconSlice;

/* Where a CTB row's commands start in the ring, with the slice set-up in
 * force there. */
typedef struct {
    uint64_t ullStart;
    HevcReconSlice stSlice;
} HevcReconRowStart;

/* Rows whose starts are kept: how far back a picture's end can share the
 * rows the task has not reached. */
#define HEVC_RECON_TAIL_ROWS 8

/* A thread running commands: the slice state they set up for it. */
typedef struct {
    HevcSliceHeader stSh;
    HevcRefLists stRefs;
} HevcReconSide;

typedef struct HevcReconTask {
    struct HW265D_DEC *pstDec;
    uint8_t *pucRing;            /* uiSize bytes, 64-byte aligned */
    uint32_t uiSize;             /* a power of two, at least 8 KB (commands take up to 2 KB) */
    int bInit;                   /* lock and conditions were created */
    int bRunning;                /* caller's thread only: the picture's sample work goes through the ring */
    int bSubmitted;              /* caller's thread only: the task is on the pool (from the first sample work on) */
    int bSampleWork;             /* caller's thread only: the ring holds sample work of this picture */
    int bEnabled;                /* the mode may be used (IPCAMERA_HEVC_SPLIT=0 turns it off) */
    int bCounted;                /* caller's thread only: this picture is counted in uiPictures */
    struct HevcPicMaps *pstStartMaps; /* the maps the task starts on (set when it is submitted) */
    /* Caller's thread only: DPB slots (bit per slot) this picture's commands
     * write or read, and those of the picture left to the task (0: none). */
    uint32_t uiSliceSlots;
    uint32_t uiBusySlots;
    uint32_t uiPicsDeferred;     /* pictures whose end was left to the task */
    /* Parser side (caller's thread only). Positions count bytes since the
     * handle was created; the ring offset is position & (uiSize - 1). */
    uint64_t ullWrite;           /* end of the commands written */
    uint64_t ullReadSeen;        /* ullRead as last seen: free space known without the lock */
    uint32_t uiCtbsWritten;      /* CTB ends written */
    /* Where the picture's last CTB rows start in the ring, so that at the
     * picture's end the caller's thread can reconstruct every other row the
     * task has not reached while the task does the rest (rows written
     * whole, in order). */
    HevcReconSlice stSliceCur;   /* the slice set-up last written */
    HevcReconRowStart astRowStart[HEVC_RECON_TAIL_ROWS]; /* by row % HEVC_RECON_TAIL_ROWS */
    uint32_t uiRowCur;           /* row of the last CTB written (~0u: none yet) */
    uint32_t uiRowCurCtbs;       /* CTBs of it written */
    uint32_t uiWholeRun;         /* rows right above it written whole, in order */
    uint64_t ullCtbEnd;          /* position after the last CTB end */
    /* Shared. The fields marked (atomic) are written and read with
     * sequentially consistent atomics, so each CTB passes between the
     * threads without the lock; they are written under stLock as well
     * wherever a sleeper may be woken. The two positions written per CTB
     * have cache lines of their own; the rest changes only when a thread
     * sleeps, wakes or ends. */
    pthread_mutex_t stLock;
    pthread_cond_t stData;       /* the task: commands published, or stop */
    pthread_cond_t stSpace;      /* the parser: room in the ring, or a picture left to the task completed */
    uint64_t ullUrgent;          /* (stLock) run up to here without waiting for more CTBs */
    uint64_t ullParserNeed;      /* (stLock) the parser sleeps until ullRead reaches this */
    uint64_t ullLimit;           /* (atomic) the task runs nothing from here on (the caller's thread does) */
    uint32_t uiWakeCtbs;         /* (atomic) the sleeping task wants waking at this many */
    uint32_t uiWakeBatch;        /* CTBs it lets the parser queue meanwhile (set before the task starts) */
    int bTaskWaiting;            /* (atomic) the task sleeps on stData */
    int bParserWaiting;          /* (atomic) the parser sleeps on stSpace */
    int bStop;                   /* (stLock) the picture is complete: run what is queued, then end */
    int bTaskRunning;            /* (stLock) the task is on a worker (not still queued) */
    uint32_t uiTaskRows;         /* (stLock) after the limit, the task runs every other row from this one (~0u: none) */
    uint32_t uiPicsDone;         /* (stLock) pictures left to the task that it completed */
    /* Written by the parser per CTB. */
    uint64_t ullPub __attribute__((aligned(64))); /* (atomic) commands up to here may be run */
    uint32_t uiCtbsPub;          /* (atomic) CTB ends published */
    /* Written by the task per CTB. */
    uint64_t ullRead __attribute__((aligned(64))); /* (atomic) commands up to here are done; their bytes are free */
    /* The slice state of the task [0] and of the caller's thread [1]. */
    HevcReconSide astSide[2] __attribute__((aligned(64)));
    uint32_t uiPictures;         /* pictures whose sample work the task ran (for tests and tools) */
} HevcReconTask;

/* Creation: with eThreadType 1, the task record and its ring from the
 * decoder's memory table; 0 or -1. */
int HevcReconTaskCreate(struct HW265D_DEC *pstDec);
/* Destroys the lock and conditions (the memory goes with the table). */
void HevcReconTaskDestroy(struct HW265D_DEC *pstDec);
/* Picture start on the worker pool: chooses the mode for the picture and,
 * when it applies, starts the task and points the caller's sample work at
 * the ring; returns 1 then. The task also deblocks, applies SAO to and pads
 * each CTB row as soon as the row below is reconstructed (in place of the
 * filter task), so two threads share the picture, not three. */
int HevcReconTaskStart(struct HW265D_DEC *pstDec);
/* Picture end (or handle deletion): runs every queued command, ends the
 * task and gives the caller's thread its own sample work back. */
void HevcReconTaskFinish(struct HW265D_DEC *pstDec);
/* Picture end when the next unit is the next picture's first slice
 * segment: with the whole picture parsed cleanly into the ring, its last
 * rows and filters are left to the task and the next picture takes the
 * other set of maps; 1 then, else 0 (finish it with HevcReconTaskFinish). */
int HevcReconTaskDefer(struct HW265D_DEC *pstDec);
/* Waits until the picture left to the task is complete (at once when there
 * is none). */
void HevcReconTaskSettle(struct HW265D_DEC *pstDec);
/* DPB slots a new picture must not take before HevcReconTaskSettle. */
uint32_t HevcReconTaskBusySlots(const struct HW265D_DEC *pstDec);
/* Ends a task left running with no picture on the ring (stream end,
 * deletion, a picture in another mode). */
void HevcReconTaskStopLive(struct HW265D_DEC *pstDec);
/* Start of a slice segment's data in the parser's record s (its header,
 * lists and inter set-up): what the task's motion derivation needs. */
void HevcReconTaskSlice(HevcReconTask *rt, const struct HevcSliceDec *s);
/* CTB rs is parsed: the task counts it in CTB row ry once its commands ran. */
void HevcReconTaskCtbDone(HevcReconTask *rt, uint32_t ry);
/* End of a slice segment's data (also after an error): whatever is queued
 * runs without waiting for more. */
void HevcReconTaskFlush(HevcReconTask *rt);

#ifdef __cplusplus
}
#endif
#endif
