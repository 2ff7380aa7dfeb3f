// Hand-off buffers between the library's decode thread and Python readers;
// see CameraBuffers.h.

#include "CameraBuffers.h"

#include <string.h>
#include <time.h>

#include <chrono>
#include <utility>

double CameraNow()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static void RingInit(ChunkRing *r)
{
    r->nHead = 0;
    r->nCount = 0;
    r->nDropped = 0;
    memset(r->nRate, 0, sizeof(r->nRate));
}

void CameraBuffersInit(CameraBuffers *b)
{
    for (FrameSlot &s : b->slots) {
        s.nWidth = s.nHeight = s.bPlanar = 0;
        s.nIndex = -1;
        s.fTime = 0;
    }
    b->pBack = &b->slots[0];
    b->pNewest = &b->slots[1];
    b->pOut = &b->slots[2];
    b->nPictures = 0;
    b->bFresh = 0;
    b->nPublished = 0;
    b->bClosed = 0;
    RingInit(&b->audio);
    RingInit(&b->data);
    b->nLastIndex = -1;
    b->nDropped = 0;
}

void CameraBuffersClose(CameraBuffers *b)
{
    {
        std::lock_guard<std::mutex> g(b->lock);
        b->bClosed = 1;
    }
    b->cond.notify_all();
}

size_t CameraFrameBytes(int nWidth, int nHeight, int bPlanar)
{
    if (nWidth <= 0 || nHeight <= 0)
        return 0;
    return bPlanar ? (size_t)nWidth * (size_t)(nHeight * 3 / 2) : (size_t)nWidth * nHeight * 3;
}

// Publishes the filled back slot as the newest picture.
static void PublishFrame(CameraBuffers *b)
{
    {
        std::lock_guard<std::mutex> g(b->lock);
        std::swap(b->pBack, b->pNewest);
        b->bFresh = 1;
        b->nPublished++;
    }
    b->cond.notify_all();
}

static FrameSlot *PrepareBack(CameraBuffers *b, int nWidth, int nHeight, int bPlanar)
{
    FrameSlot *s = b->pBack;
    // Resizing allocates only when the picture size first appears or changes.
    s->data.resize(CameraFrameBytes(nWidth, nHeight, bPlanar));
    s->nWidth = nWidth;
    s->nHeight = nHeight;
    s->bPlanar = bPlanar;
    s->nIndex = b->nPictures++;
    s->fTime = CameraNow();
    return s;
}

// Copies one delivered picture into the back slot and publishes it.
static int OnPicture(void *pUser, const unsigned char *pFrame, int nWidth, int nHeight, int bPlanar)
{
    CameraBuffers *b = (CameraBuffers *)pUser;
    // A paused stream repeats its picture, before the first one with none.
    if (!pFrame || nWidth <= 0 || nHeight <= 0)
        return 0;
    FrameSlot *s = PrepareBack(b, nWidth, nHeight, bPlanar);
    if (bPlanar) {
        // The library's I420 has (w/2) x (h/2) chroma planes; for odd sizes
        // that is less than the (h * 3 / 2) x w array, whose tail is zeroed.
        size_t nSource = (size_t)nWidth * nHeight + 2 * (size_t)(nWidth / 2) * (nHeight / 2);
        size_t nCopy = nSource < s->data.size() ? nSource : s->data.size();
        memcpy(s->data.data(), pFrame, nCopy);
        memset(s->data.data() + nCopy, 0, s->data.size() - nCopy);
    } else {
        // The library stores the bottom row first; Python gets the top row
        // first, turned over here in the one copy.
        size_t nRow = (size_t)nWidth * 3;
        for (int y = 0; y < nHeight; y++)
            memcpy(&s->data[(size_t)y * nRow], pFrame + (size_t)(nHeight - 1 - y) * nRow, nRow);
    }
    PublishFrame(b);
    return 0;
}

int CameraBuffersOnVideo(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth,
                         int nHeight)
{
    return OnPicture(pUser, pFrame, nWidth, nHeight, 0);
}

int CameraBuffersOnVideoPlanar(void *pCamera, void *pUser, unsigned char *pFrame, int nWidth,
                               int nHeight)
{
    return OnPicture(pUser, pFrame, nWidth, nHeight, 1);
}

static void RingPush(CameraBuffers *b, ChunkRing *r, const unsigned char *p, size_t n, int nRate)
{
    {
        std::lock_guard<std::mutex> g(b->lock);
        if (r->nCount == CHUNK_RING_SIZE) {
            r->nHead = (r->nHead + 1) % CHUNK_RING_SIZE;
            r->nCount--;
            r->nDropped++;
        }
        int i = (r->nHead + r->nCount) % CHUNK_RING_SIZE;
        // Entries keep their capacity: a steady stream allocates nothing.
        r->chunks[i].assign(p, p + n);
        r->nRate[i] = nRate;
        r->nCount++;
    }
    b->cond.notify_all();
}

int CameraBuffersOnAudio(void *pCamera, void *pUser, unsigned short *pSamples, int nCount,
                         int nRate)
{
    if (!pSamples || nCount <= 0)
        return 0;
    CameraBuffers *b = (CameraBuffers *)pUser;
    RingPush(b, &b->audio, (const unsigned char *)pSamples, (size_t)nCount * 2, nRate);
    return 0;
}

int CameraBuffersOnData(void *pCamera, void *pUser, unsigned char *pData, int nLength)
{
    if (!pData || nLength < 0)
        return 0;
    CameraBuffers *b = (CameraBuffers *)pUser;
    RingPush(b, &b->data, pData, (size_t)nLength, 0);
    return 0;
}

static std::chrono::steady_clock::time_point Deadline(double fDeadline)
{
    double fLeft = fDeadline - CameraNow();
    if (fLeft < 0)
        fLeft = 0;
    return std::chrono::steady_clock::now() +
           std::chrono::microseconds((long long)(fLeft * 1e6));
}

int CameraTakeFrame(CameraBuffers *b, double fDeadline)
{
    std::unique_lock<std::mutex> g(b->lock);
    b->cond.wait_until(g, Deadline(fDeadline), [b] { return b->bFresh || b->bClosed; });
    if (b->bFresh) {
        std::swap(b->pNewest, b->pOut);
        b->bFresh = 0;
        return 1;
    }
    return b->bClosed ? -1 : 0;
}

int CameraTakeChunk(CameraBuffers *b, ChunkRing *r, double fDeadline,
                    std::vector<unsigned char> *pOut, int *pRate)
{
    std::unique_lock<std::mutex> g(b->lock);
    b->cond.wait_until(g, Deadline(fDeadline), [b, r] { return r->nCount > 0 || b->bClosed; });
    if (r->nCount > 0) {
        pOut->assign(r->chunks[r->nHead].begin(), r->chunks[r->nHead].end());
        *pRate = r->nRate[r->nHead];
        r->nHead = (r->nHead + 1) % CHUNK_RING_SIZE;
        r->nCount--;
        return 1;
    }
    return b->bClosed ? -1 : 0;
}
