#include "stream/PacketQueue.h"

#include <string.h>

#include "support/List.h"
#include "support/Log.h"
#include "support/Thread.h"

int PutAVPktList(FFMpegContext *ctx, const AVPacket *pkt)
{
    if (ctx == NULL || pkt == NULL)
        return -1;
    AVPacket *elm = (AVPacket *)MemAllocZero(sizeof(AVPacket));
    if (elm == NULL) {
        DebugPrint("vorn debug ====packet NULL");
        return -1;
    }
    // Only the plain fields travel; the payload gets its own copy below and
    // the element carries neither a buffer reference nor side data.
    elm->pts = pkt->pts;
    elm->dts = pkt->dts;
    elm->size = pkt->size;
    elm->stream_index = pkt->stream_index;
    elm->flags = pkt->flags;
    elm->duration = pkt->duration;
    elm->pos = pkt->pos;

    int size = pkt->size > 0 ? pkt->size : 0;
    uint8_t *data = (uint8_t *)MemAllocZero((size_t)size + PKT_QUEUE_PADDING);
    if (data == NULL) {
        DebugPrint("vorn debug ====packet data NULL");
        MemFree(elm);
        return -1;
    }
    if (size > 0 && pkt->data != NULL)
        memcpy(data, pkt->data, (size_t)size);
    elm->data = data;
    elm->size = size;

    MutexLock(ctx->hPktListMutex);
    int n = ListInsert(ctx->pPktList, elm, -1);
    MutexUnlock(ctx->hPktListMutex);
    if (n < 0)
        FreeAVPkt(elm);
    return 0;
}

AVPacket *GetAVPktList(FFMpegContext *ctx)
{
    if (ctx == NULL)
        return NULL;
    MutexLock(ctx->hPktListMutex);
    AVPacket *elm = (AVPacket *)ListGetAt(ctx->pPktList, 0);
    ListRemoveAt(ctx->pPktList, 0);
    MutexUnlock(ctx->hPktListMutex);
    return elm;
}

int GetAVPktListElmCount(FFMpegContext *ctx)
{
    if (ctx == NULL)
        return 0;
    MutexLock(ctx->hPktListMutex);
    int n = ListCount(ctx->pPktList);
    MutexUnlock(ctx->hPktListMutex);
    return n < 0 ? 0 : n;
}

int ClearAVPktList(FFMpegContext *ctx)
{
    if (ctx == NULL)
        return 0;
    MutexLock(ctx->hPktListMutex);
    ListClear(ctx->pPktList, FreeAVPkt);
    MutexUnlock(ctx->hPktListMutex);
    return 0;
}

void FreeAVPkt(void *p)
{
    AVPacket *elm = (AVPacket *)p;
    if (elm == NULL)
        return;
    MemFree(elm->data);
    MemFree(elm);
}
