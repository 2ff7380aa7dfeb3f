#include "hevc_mem.h"

#include <string.h>

void *HevcAlignedAlloc(IHW265D_MALLOC_FXN pfnMalloc, unsigned int uiChannel, size_t size,
                       unsigned int uiAlign)
{
    if (!pfnMalloc || uiAlign == 0 || uiAlign > 128 || (uiAlign & (uiAlign - 1)))
        return NULL;
    if (size > 0xFFFFFFFFu - uiAlign)
        return NULL;
    unsigned char *pRaw = (unsigned char *)pfnMalloc(uiChannel, (unsigned int)(size + uiAlign));
    if (!pRaw)
        return NULL;
    memset(pRaw, 0, size + uiAlign);
    /* Always step forward (a full step when already aligned) so the byte below
     * the returned address belongs to the allocation. */
    unsigned int uiOff = uiAlign - (unsigned int)((uintptr_t)pRaw & (uiAlign - 1));
    unsigned char *p = pRaw + uiOff;
    p[-1] = (unsigned char)uiOff;
    return p;
}

void HevcAlignedFree(IHW265D_FREE_FXN pfnFree, unsigned int uiChannel, void *p)
{
    if (!p || !pfnFree)
        return;
    unsigned char *pc = (unsigned char *)p;
    unsigned int uiOff = pc[-1];
    pfnFree(uiChannel, pc - uiOff);
}

void *HevcMemAlloc(HevcMemTable *pstTable, IHW265D_MALLOC_FXN pfnMalloc, unsigned int uiChannel,
                   size_t size, unsigned int uiAlign)
{
    if (pstTable->iBlockNum < 0 || pstTable->iBlockNum >= HEVC_MAX_MEM_BLOCKS)
        return NULL;
    void *p = HevcAlignedAlloc(pfnMalloc, uiChannel, size, uiAlign);
    if (!p)
        return NULL;
    pstTable->apBlock[pstTable->iBlockNum] = p;
    pstTable->auiSize[pstTable->iBlockNum] = (uint32_t)size;
    pstTable->iBlockNum++;
    pstTable->ullTotalBytes += size;
    return p;
}

int HevcMemReleaseAll(HevcMemTable *pstTable, IHW265D_FREE_FXN pfnFree, unsigned int uiChannel)
{
    if (pstTable->iBlockNum < 0 || pstTable->iBlockNum > HEVC_MAX_MEM_BLOCKS)
        return -1;
    for (int i = pstTable->iBlockNum - 1; i >= 0; i--) {
        HevcAlignedFree(pfnFree, uiChannel, pstTable->apBlock[i]);
        pstTable->apBlock[i] = NULL;
        pstTable->auiSize[i] = 0;
    }
    pstTable->iBlockNum = 0;
    pstTable->ullTotalBytes = 0;
    return 0;
}
