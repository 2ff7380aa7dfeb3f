// CIpCamera::GetHealth: the counters of the camera's streams since the
// host's last open - the totals of the streams already freed (reconnects)
// plus the open stream's own. Reading takes no lock the decode path uses:
// the stream is borrowed under the session's short lock and its counters
// are relaxed atomics.

#include <stdio.h>
#include <string.h>

#include "camera/CameraExt.h"
#include "camera/Reconnect.h"
#include "ipcamera/IpCamera.h"
#include "stream/FFMpegContext.h"
#include "support/Platform.h"
#include "VideoSession/SessionInternal.h"

static void Add64(int64_t *p, int64_t n)
{
    __atomic_add_fetch(p, n, __ATOMIC_RELAXED);
}

void CameraHealthReset(CIpCamera *pCam)
{
    CameraExt *x = CameraExtOf(pCam);
    if (!x)
        return;
    AtomicSet64(&x->nPictures, 0);
    AtomicSet64(&x->nWithheld, 0);
    AtomicSet64(&x->nDecodeErrors, 0);
    AtomicSet64(&x->nCorruptPackets, 0);
    AtomicSet64(&x->nBytes, 0);
    AtomicSet(&x->bHavePicture, 0);
    AtomicSet(&x->nDecodePath, IPC_DECODE_NONE);
    AtomicSet(&x->nReconnects, 0);
    AtomicSet(&x->nState, IPC_STATE_IDLE);
    pthread_mutex_lock(&x->hLock);
    x->szLastError[0] = '\0';
    pthread_mutex_unlock(&x->hLock);
}

void CameraHealthFold(CIpCamera *pCam)
{
    CameraExt *x = CameraExtOf(pCam);
    FFMpegContext *ctx = x ? VideoSessionBorrow(&pCam->m_VideoSession) : nullptr;
    if (!ctx)
        return;
    const StreamHealth *h = &ctx->health;
    int64_t nPictures = StreamHealthGet64(&h->nPictures);
    Add64(&x->nPictures, nPictures);
    Add64(&x->nWithheld, StreamHealthGet64(&h->nWithheld));
    Add64(&x->nDecodeErrors, StreamHealthGet64(&h->nDecodeErrors));
    Add64(&x->nCorruptPackets, StreamHealthGet64(&h->nCorruptPackets));
    Add64(&x->nBytes, StreamHealthGet64(&h->nBytes));
    if (nPictures > 0) {
        AtomicSet(&x->nLastPictureTick, StreamHealthGet(&h->nLastPictureTick));
        AtomicSet(&x->nDecodePath, StreamHealthGet(&h->nDecodePath));
        AtomicSet(&x->bHavePicture, 1);
    }
    VideoSessionRelease(&pCam->m_VideoSession);
}

int CIpCamera::GetHealth(IpCameraHealth *pHealth)
{
    CameraExt *x = CameraExtOf(this);
    if (!pHealth || !x)
        return -1;
    memset(pHealth, 0, sizeof(*pHealth));
    pHealth->nPictures = AtomicGet64(&x->nPictures);
    pHealth->nWithheld = AtomicGet64(&x->nWithheld);
    pHealth->nDecodeErrors = AtomicGet64(&x->nDecodeErrors);
    pHealth->nCorruptPackets = AtomicGet64(&x->nCorruptPackets);
    pHealth->nBytes = AtomicGet64(&x->nBytes);
    pHealth->nReconnects = AtomicGet(&x->nReconnects);
    pHealth->nState = AtomicGet(&x->nState);
    int bHave = AtomicGet(&x->bHavePicture);
    uint32_t nLastTick = (uint32_t)AtomicGet(&x->nLastPictureTick);
    pHealth->nDecodePath = AtomicGet(&x->nDecodePath);
    FFMpegContext *ctx = VideoSessionBorrow(&m_VideoSession);
    if (ctx) {
        const StreamHealth *h = &ctx->health;
        pHealth->nPictures += StreamHealthGet64(&h->nPictures);
        pHealth->nWithheld += StreamHealthGet64(&h->nWithheld);
        pHealth->nDecodeErrors += StreamHealthGet64(&h->nDecodeErrors);
        pHealth->nCorruptPackets += StreamHealthGet64(&h->nCorruptPackets);
        pHealth->nBytes += StreamHealthGet64(&h->nBytes);
        pHealth->fBitRate = AtomicGetFloat(&ctx->fBitRate);
        pHealth->nFrameRate = AtomicGet(&ctx->nFrameRate);
        if (StreamHealthGet64(&h->nPictures) > 0) {
            bHave = 1;
            nLastTick = (uint32_t)StreamHealthGet(&h->nLastPictureTick);
            pHealth->nDecodePath = StreamHealthGet(&h->nDecodePath);
        }
        VideoSessionRelease(&m_VideoSession);
    }
    pHealth->nSecondsSinceLastPicture = bHave ? (int)((uint32_t)(TickCount() - nLastTick) / 1000u) : -1;
    pthread_mutex_lock(&x->hLock);
    snprintf(pHealth->szLastError, sizeof(pHealth->szLastError), "%s", x->szLastError);
    pthread_mutex_unlock(&x->hLock);
    return 0;
}
