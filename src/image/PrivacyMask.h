#ifndef IPCAMERA_IMAGE_PRIVACYMASK_H
#define IPCAMERA_IMAGE_PRIVACYMASK_H

// Privacy-mask painting. A mask record is nine 32-bit integers as the host
// passes them: reserved, enabled, x, y, width, height, reference width,
// reference height, reserved. The rectangle is given top-based in the
// reference space and scaled to the frame. Painting is clipped to the frame:
// rectangles partly or wholly outside, negative values and a reference size
// of 0 never write outside the frame (a zero reference size paints nothing).

enum {
    MASK_FIELD_ENABLE = 1,
    MASK_FIELD_X = 2,
    MASK_FIELD_Y = 3,
    MASK_FIELD_WIDTH = 4,
    MASK_FIELD_HEIGHT = 5,
    MASK_FIELD_REF_WIDTH = 6,
    MASK_FIELD_REF_HEIGHT = 7,
    MASK_FIELD_COUNT = 9
};

// Copies one record field by field as relaxed atomics: the camera's mask
// slots are written by the host and read by the decode thread without a
// lock, so a copy may mix old and new fields but never tears one.
static inline void MaskCopyRelaxed(int *pDst, const int *pSrc)
{
    for (int i = 0; i < MASK_FIELD_COUNT; i++)
        __atomic_store_n(&pDst[i], __atomic_load_n(&pSrc[i], __ATOMIC_RELAXED), __ATOMIC_RELAXED);
}

// The rectangle a record covers in an nWidth x nHeight frame, in picture
// coordinates (rows from the top), half-open: columns [*pX0, *pX1), rows
// [*pY0, *pY1). 1 when something is to be painted, 0 when the record is
// disabled or covers nothing after clipping.
int MaskRect(const int *pMask, int nWidth, int nHeight, int *pX0, int *pY0, int *pX1, int *pY1);

// Paints the record black into a packed BGR frame (3 bytes per pixel, rows
// of nWidth*3 bytes, bottom row first). Returns 0.
int MaskPaintBgr(const int *pMask, unsigned char *pFrame, int nWidth, int nHeight);

// Paints the record black into an I420 frame (Y plane, then U and V planes
// of (nWidth/2) x (nHeight/2), no padding): Y 16, and U and V 128 on every
// chroma sample that touches the rectangle, so no colour of the hidden area
// shows. Returns 0.
int MaskPaintI420(const int *pMask, unsigned char *pFrame, int nWidth, int nHeight);

// Paints nSlots consecutive records (the camera's mask slots, which the
// host may rewrite meanwhile: each is copied with MaskCopyRelaxed first)
// into a BGR frame, or an I420 frame when bPlanar. Returns 0.
int MaskPaintSlots(const int *pSlots, int nSlots, int bPlanar, unsigned char *pFrame, int nWidth,
                   int nHeight);

#endif
