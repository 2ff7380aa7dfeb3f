/* One task per slice (eThreadType 1): a picture of several slices without
 * dependent segments, with no tiles or with one row of tiles, whose slices
 * the caller hands over together (with wavefront rows, each task decodes
 * its slice's rows one after the other). When the caller's thread reaches such a
 * slice, it looks at the complete units that follow it in the stream
 * buffer: the slices of the same picture among them (up to
 * HEVC_SLICE_JOBS in all) get their headers parsed and reference lists
 * built at once, and every slice's data is decoded by its own task.
 *
 * Return codes and messages stay those of single-threaded decoding: a
 * later slice is taken only when its header and lists log nothing and its
 * lists equal the first one's; its task's messages are kept, and the
 * caller's thread replays them, with its code, when the decoding of units
 * reaches that slice (in the same call or a later one). A slice's task
 * stops where the next one starts; one that would have run on (a damaged
 * stream) makes the caller take back that slice and those after it, which
 * then decode in order. Edges towards earlier slices and other tiles are
 * marked by the caller's thread once both sides are decoded; rows go to
 * the filters as the slices in them are confirmed. */
#ifndef HEVC_SLICE_TASKS_H
#define HEVC_SLICE_TASKS_H

#include <stdint.h>
#include "hevc_slice.h"
#include "hevc_threads.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HW265D_DEC;

#define HEVC_SLICE_JOBS 8          /* slices taken at once */
#define HEVC_SLICE_JOB_ENTRIES 64  /* entry points a slice of such a picture may have */
#define HEVC_THREAD_MAX_SLICES 2175 /* slice units a picture may have in threaded mode */

typedef struct {
    struct HW265D_DEC *pstDec;
    HevcSliceHeader stSh;          /* its header; entry points in auiEntry */
    uint32_t auiEntry[HEVC_SLICE_JOB_ENTRIES];
    uint32_t uiEntryNum;
    const uint8_t *pucNal;         /* in the stream buffer, which stays put while the tasks run */
    uint32_t uiSize;
    uint64_t ullPos;               /* stream position of the unit, for the replay */
    uint32_t uiTs0, uiTsLimit;     /* first CTB, and the next slice's (tile scan) */
    /* Results. */
    uint32_t uiRet;                /* 0 or the slice's code */
    uint32_t uiStop;               /* CTB after the last one decoded, or the failing one */
    int bOverrun;                  /* reached uiTsLimit before its end */
    int iCtbCount;                 /* CTBs decoded before this slice, for its messages */
    HevcLogBuf stLog;
} HevcSliceJob;

typedef struct HevcSliceTasks {
    HevcSliceJob astJob[HEVC_SLICE_JOBS];
    /* Caller's thread only. */
    int iJobs;                     /* slices of the last batch */
    int iNext;                     /* the next one to replay; iJobs when none is held */
    uint32_t uiSlices;             /* slices decoded in tasks (for tests and tools) */
    /* Confirmation in slice order by whichever task finishes: guarded by
     * the picture maps' stProgLock while the batch's tasks run. */
    int iBatch;                    /* jobs submitted */
    uint32_t uiDone;               /* bit j: job j's task has finished */
    int iConfirmed;                /* leading jobs confirmed */
    int bHalt;                     /* a job ran on into the next: no more confirmations */
} HevcSliceTasks;

/* Creation with eThreadType 1 (from the decoder's memory table): 0 or -1. */
int HevcSliceTasksCreate(struct HW265D_DEC *pstDec);
/* Data of the slice segment in pstDec->stSh (its unit: pucNal, uiSize),
 * starting at CTB ts (tile scan; every CTB from there on undecoded), on the
 * worker pool with the slices after it: 1 with its code in *puiRet, or 0
 * when it decodes as usual. */
int HevcSliceTasksRun(struct HW265D_DEC *pstDec, const uint8_t *pucNal, uint32_t uiSize, uint32_t ts,
                      uint32_t *puiRet);
/* The slice segment whose unit is being decoded, when a task decoded it:
 * its header is put back in pstDec->stSh and the job returned (replay it
 * with HevcSliceTasksReplay), else NULL. */
const HevcSliceJob *HevcSliceTasksHeld(struct HW265D_DEC *pstDec);
/* Its messages and its stage's line on failure; returns its code. */
uint32_t HevcSliceTasksReplay(struct HW265D_DEC *pstDec, const HevcSliceJob *j);
/* Picture start and end: nothing held any more. */
void HevcSliceTasksClear(struct HW265D_DEC *pstDec);

#ifdef __cplusplus
}
#endif
#endif
