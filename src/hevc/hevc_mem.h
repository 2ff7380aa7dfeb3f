/* Memory blocks of one decoder handle.
 *
 * Every block comes from the caller's MallocFxn with room for the alignment,
 * is zero-filled, and is returned at the first aligned address strictly above
 * the raw one; the distance sits in the byte just below the returned address
 * so the raw pointer can be given back to FreeFxn. Alignments are powers of two
 * up to 128 so the distance fits in that byte. */
#ifndef HEVC_MEM_H
#define HEVC_MEM_H

#include <stddef.h>
#include <stdint.h>
#include "IHW265D.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HEVC_MAX_MEM_BLOCKS 512

typedef struct {
    void *apBlock[HEVC_MAX_MEM_BLOCKS]; /* aligned addresses, in allocation order */
    uint32_t auiSize[HEVC_MAX_MEM_BLOCKS];
    int iBlockNum;
    uint64_t ullTotalBytes;
} HevcMemTable;

/* One aligned, zero-filled block outside any table (the decoder object). */
void *HevcAlignedAlloc(IHW265D_MALLOC_FXN pfnMalloc, unsigned int uiChannel, size_t size,
                       unsigned int uiAlign);
void HevcAlignedFree(IHW265D_FREE_FXN pfnFree, unsigned int uiChannel, void *p);

/* A block recorded in the table; null when the table is full, the size does
 * not fit the 32-bit allocation interface or MallocFxn fails. */
void *HevcMemAlloc(HevcMemTable *pstTable, IHW265D_MALLOC_FXN pfnMalloc, unsigned int uiChannel,
                   size_t size, unsigned int uiAlign);

/* Releases every block of the table; returns -1 when the table is corrupt
 * (more than HEVC_MAX_MEM_BLOCKS blocks), in which case nothing is released. */
int HevcMemReleaseAll(HevcMemTable *pstTable, IHW265D_FREE_FXN pfnFree, unsigned int uiChannel);

#ifdef __cplusplus
}
#endif
#endif
