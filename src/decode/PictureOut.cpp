#include "decode/PictureOut.h"

#include <string.h>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

AVFrame *alloc_picture(enum AVPixelFormat fmt, int width, int height)
{
    AVFrame *f = av_frame_alloc();
    if (f == NULL)
        return NULL;
    int size = av_image_get_buffer_size(fmt, width, height, 1);
    uint8_t *buf = size > 0 ? (uint8_t *)av_malloc((size_t)size) : NULL;
    if (buf == NULL) {
        av_frame_free(&f);
        return NULL;
    }
    av_image_fill_arrays(f->data, f->linesize, buf, fmt, width, height, 1);
    f->format = fmt;
    f->width = width;
    f->height = height;
    return f;
}

void free_picture(AVFrame **ppFrame, uint8_t *pBuf)
{
    if (ppFrame == NULL || *ppFrame == NULL)
        return;
    av_free(pBuf != NULL ? pBuf : (*ppFrame)->data[0]);
    av_frame_free(ppFrame);
}

int BgrOutputSetup(BgrOutput *o, int width, int height)
{
    free_picture(&o->pOutPic, o->pOutBuf);
    o->pOutBuf = NULL;
    o->nWidth = width;
    o->nHeight = height;
    o->pOutPic = alloc_picture(AV_PIX_FMT_BGR24, width, height);
    if (o->pOutPic == NULL)
        return -1;
    // The converter writes top-down into a picture whose first row is the
    // buffer's last: the host gets the bottom row first.
    o->pOutBuf = o->pOutPic->data[0];
    o->pOutPic->linesize[0] = -o->pOutPic->linesize[0];
    o->pOutPic->data[0] = o->pOutBuf + (size_t)(3 * height - 3) * (size_t)width;
    return 0;
}

int BgrOutputConvert(BgrOutput *o, const AVFrame *src)
{
    if (o->pOutPic == NULL)
        return -1;
    o->pSws = sws_getCachedContext(o->pSws, o->nWidth, o->nHeight, (enum AVPixelFormat)src->format,
                                   o->nWidth, o->nHeight, AV_PIX_FMT_BGR24, SWS_BILINEAR, NULL, NULL, NULL);
    if (o->pSws == NULL)
        return -1;
    sws_scale(o->pSws, src->data, src->linesize, 0, o->nHeight, o->pOutPic->data, o->pOutPic->linesize);
    return 0;
}

void BgrOutputFree(BgrOutput *o)
{
    sws_freeContext(o->pSws);
    o->pSws = NULL;
    free_picture(&o->pOutPic, o->pOutBuf);
    o->pOutBuf = NULL;
}

int I420Size(int width, int height)
{
    return width * height * 3 / 2;
}

static void CopyPlane(uint8_t *dst, const uint8_t *src, int srcStride, int rowBytes, int rows)
{
    for (int r = 0; r < rows; r++) {
        memcpy(dst, src + (ptrdiff_t)r * srcStride, (size_t)rowBytes);
        dst += rowBytes;
    }
}

static void CopyPlanar420(const AVFrame *f, uint8_t *dst)
{
    int w = f->width, h = f->height;
    CopyPlane(dst, f->data[0], f->linesize[0], w, h);
    dst += (size_t)w * h;
    CopyPlane(dst, f->data[1], f->linesize[1], w >> 1, h >> 1);
    dst += (size_t)(w >> 1) * (h >> 1);
    CopyPlane(dst, f->data[2], f->linesize[2], w >> 1, h >> 1);
}

static void CopyNv12(const AVFrame *f, uint8_t *dst)
{
    int w = f->width, h = f->height;
    CopyPlane(dst, f->data[0], f->linesize[0], w, h);
    uint8_t *u = dst + (size_t)w * h;
    uint8_t *v = u + (size_t)(w / 2) * (h / 2);
    for (int r = 0; r < h / 2; r++) {
        const uint8_t *s = f->data[1] + (ptrdiff_t)r * f->linesize[1];
        for (int x = 0; x < w / 2; x++) {
            *u++ = s[2 * x];
            *v++ = s[2 * x + 1];
        }
    }
}

int I420OutputCopy(I420Output *o, const AVFrame *src, uint8_t *dst)
{
    switch (src->format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        CopyPlanar420(src, dst);
        return 0;
    case AV_PIX_FMT_NV12:
        CopyNv12(src, dst);
        return 0;
    default:
        break;
    }
    int w = src->width, h = src->height;
    if (o->pTmp == NULL || o->pTmp->width != w || o->pTmp->height != h) {
        av_frame_free(&o->pTmp);
        o->pTmp = av_frame_alloc();
        if (o->pTmp == NULL)
            return -1;
        o->pTmp->format = AV_PIX_FMT_YUV420P;
        o->pTmp->width = w;
        o->pTmp->height = h;
        if (av_frame_get_buffer(o->pTmp, 0) < 0) {
            av_frame_free(&o->pTmp);
            return -1;
        }
    }
    o->pSws = sws_getCachedContext(o->pSws, w, h, (enum AVPixelFormat)src->format, w, h, AV_PIX_FMT_YUV420P,
                                   SWS_BILINEAR, NULL, NULL, NULL);
    if (o->pSws == NULL)
        return -1;
    sws_scale(o->pSws, src->data, src->linesize, 0, h, o->pTmp->data, o->pTmp->linesize);
    CopyPlanar420(o->pTmp, dst);
    return 0;
}

void I420OutputFree(I420Output *o)
{
    sws_freeContext(o->pSws);
    o->pSws = NULL;
    av_frame_free(&o->pTmp);
}
