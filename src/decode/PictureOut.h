#ifndef IPCAMERA_DECODE_PICTUREOUT_H
#define IPCAMERA_DECODE_PICTUREOUT_H

// Bringing decoded pictures into the host's two layouts. Whatever format the
// decoder produced (yuv420p, yuvj420p, 4:2:2, 10-bit, NV12 from hardware), the
// planes are read with their real sizes: conversions go through libswscale
// from the frame's own format, with cached contexts so a steady stream
// allocates nothing per picture.

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct SwsContext;

// A frame with its own buffer, planes laid out with alignment 1 (a BGR24 row
// is exactly 3 x width bytes). Null on failure. Release with free_picture.
AVFrame *alloc_picture(enum AVPixelFormat fmt, int width, int height);
// Frees the buffer at pBuf (the plane-0 start as allocated; null: the
// frame's plane 0) and the frame; sets *ppFrame to null.
void free_picture(AVFrame **ppFrame, uint8_t *pBuf);

// Bottom-up BGR24 output of the classic decode thread.
struct BgrOutput {
    SwsContext *pSws;   // from the source format to BGR24, same size
    AVFrame *pOutPic;   // plane 0 at the start of the last row, line size negated
    uint8_t *pOutBuf;   // buffer start: what the host receives
    int nWidth;
    int nHeight;
};

// (Re)creates the output picture for width x height. 0, or -1 when the
// picture cannot be allocated (the output then holds none).
int BgrOutputSetup(BgrOutput *o, int width, int height);
// Converts src (same size as the output) into pOutBuf. 0, or -1 when no
// converter can be had for the source format.
int BgrOutputConvert(BgrOutput *o, const AVFrame *src);
void BgrOutputFree(BgrOutput *o);

// I420 copy of the planar decode thread.
struct I420Output {
    SwsContext *pSws;   // for formats that are not 8-bit 4:2:0 or NV12
    AVFrame *pTmp;      // yuv420p picture those formats are converted into
};

// Bytes of an I420 picture as handed to the host: Y, then U and V of
// (width/2) x (height/2) each.
int I420Size(int width, int height);

// Writes src (width x height of the frame) into dst, which holds at least
// I420Size(width, height) bytes: yuv420p/yuvj420p planes row by row, NV12
// chroma de-interleaved, every other format converted. 0, or -1 when the
// conversion cannot be set up.
int I420OutputCopy(I420Output *o, const AVFrame *src, uint8_t *dst);
void I420OutputFree(I420Output *o);

#endif
