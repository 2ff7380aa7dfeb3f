/* Observation hook for tools and tests: called with every parameter set that
 * became valid and every slice segment header once its reference lists are
 * built. Not part of the decoder's interface; it never changes decoding. */
#ifndef HEVC_TRACE_H
#define HEVC_TRACE_H

#include <stdint.h>
#include "IHW265D.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { HEVC_TRACE_VPS = 0, HEVC_TRACE_SPS = 1, HEVC_TRACE_PPS = 2, HEVC_TRACE_SLICE = 3 };

typedef struct {
    const void *pstSh;        /* const HevcSliceHeader * */
    int32_t iPoc;
    int iNumPocTotalCurr;
    int iNumStCurrBefore, iNumStCurrAfter, iNumLtCurr, iNumStFoll, iNumLtFoll;
    int iNumRef[2];
    int32_t aiRefPoc[2][16];
    uint8_t aucRefIsLt[2][16];
    int bSkipped;             /* RASL picture left undecoded */
} HevcTraceSlice;

/* pRecord: const HevcVps/HevcSps/HevcPps * or const HevcTraceSlice *. */
typedef void (*HevcTraceFxn)(void *pUser, int eKind, const void *pRecord);

/* Installs the hook on a created handle; returns 0, or -1 for a bad handle. */
int HevcSetTrace(IH265DEC_HANDLE hDecoder, HevcTraceFxn pfnTrace, void *pUser);

/* Checks that refuse streams H.265 allows can be relaxed one by one; by
 * default every check is applied. Returns 0, or -1 for a bad handle. */
/* sps_max_latency_increase_plus1 0 ("no limit") is accepted by default now;
 * the bit stays so callers that set it keep building. */
#define HEVC_RELAX_LATENCY_ZERO 0x1u
int HevcSetRelaxedChecks(IH265DEC_HANDLE hDecoder, uint32_t uiMask);

#ifdef __cplusplus
}
#endif
#endif
