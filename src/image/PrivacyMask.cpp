// Privacy-mask painting and the camera's mask members.

#include "image/PrivacyMask.h"

#include <math.h>
#include <string.h>

#include "ipcamera/IpCamera.h"

int MaskRect(const int *pMask, int nWidth, int nHeight, int *pX0, int *pY0, int *pX1, int *pY1)
{
    if (!pMask || nWidth < 1 || nHeight < 1 || pMask[MASK_FIELD_ENABLE] == 0)
        return 0;
    int nRefW = pMask[MASK_FIELD_REF_WIDTH], nRefH = pMask[MASK_FIELD_REF_HEIGHT];
    if (nRefW <= 0 || nRefH <= 0)
        return 0;  // no reference space: nothing to scale from
    double x = pMask[MASK_FIELD_X], y = pMask[MASK_FIELD_Y];
    double w = pMask[MASK_FIELD_WIDTH], h = pMask[MASK_FIELD_HEIGHT];

    // Start and count are truncated as the frame is stored bottom-up (the
    // first memory row is (refH - y - h) scaled, then 'rows' rows towards
    // higher addresses). Both edges are formed before anything is clipped:
    // clamping start and count separately would move an edge that lies off
    // the frame onto it and paint pixels the rectangle never covered.
    // Inputs are 32-bit, so every value here is exact in a double for any
    // real frame size, and far-off edges clip away whatever their rounding.
    double cols = trunc(w * nWidth / nRefW);
    double rows = trunc(h * nHeight / nRefH);
    if (rows < 1 || cols < 1)
        return 0;
    double c0 = trunc(x * nWidth / nRefW), c1 = c0 + cols;
    double m0 = trunc((nRefH - y - h) * nHeight / nRefH), m1 = m0 + rows;
    if (c0 < 0)
        c0 = 0;
    if (c1 > nWidth)
        c1 = nWidth;
    if (m0 < 0)
        m0 = 0;
    if (m1 > nHeight)
        m1 = nHeight;
    if (c0 >= c1 || m0 >= m1)
        return 0;
    *pX0 = (int)c0;
    *pX1 = (int)c1;
    // Memory rows [m0, m1) are picture rows [height - m1, height - m0).
    *pY0 = nHeight - (int)m1;
    *pY1 = nHeight - (int)m0;
    return 1;
}

int MaskPaintBgr(const int *pMask, unsigned char *pFrame, int nWidth, int nHeight)
{
    int x0, y0, x1, y1;
    if (!pFrame || !MaskRect(pMask, nWidth, nHeight, &x0, &y0, &x1, &y1))
        return 0;
    for (int py = y0; py < y1; py++) {
        unsigned char *pRow = pFrame + (size_t)(nHeight - 1 - py) * nWidth * 3;
        memset(pRow + (size_t)x0 * 3, 0, (size_t)(x1 - x0) * 3);
    }
    return 0;
}

int MaskPaintI420(const int *pMask, unsigned char *pFrame, int nWidth, int nHeight)
{
    int x0, y0, x1, y1;
    if (!pFrame || !MaskRect(pMask, nWidth, nHeight, &x0, &y0, &x1, &y1))
        return 0;
    for (int y = y0; y < y1; y++)
        memset(pFrame + (size_t)y * nWidth + x0, 16, (size_t)(x1 - x0));
    int nCw = nWidth / 2, nCh = nHeight / 2;
    if (nCw < 1 || nCh < 1)
        return 0;
    int cx0 = x0 / 2, cx1 = (x1 - 1) / 2 + 1, cy0 = y0 / 2, cy1 = (y1 - 1) / 2 + 1;
    if (cx1 > nCw)
        cx1 = nCw;
    if (cy1 > nCh)
        cy1 = nCh;
    unsigned char *pU = pFrame + (size_t)nWidth * nHeight;
    unsigned char *pV = pU + (size_t)nCw * nCh;
    for (int y = cy0; y < cy1; y++) {
        memset(pU + (size_t)y * nCw + cx0, 128, (size_t)(cx1 - cx0));
        memset(pV + (size_t)y * nCw + cx0, 128, (size_t)(cx1 - cx0));
    }
    return 0;
}

int CIpCamera::SetMaskAreaParam(MaskAreaParam *pParam)
{
    if (!pParam)
        return 0;
    // One record for all four slots; the host keeps its own memory.
    for (int i = 0; i < 4; i++)
        MaskCopyRelaxed((int *)&m_MaskArea[i], (const int *)pParam);
    return 0;
}

int MaskPaintSlots(const int *pSlots, int nSlots, int bPlanar, unsigned char *pFrame, int nWidth,
                   int nHeight)
{
    for (int i = 0; i < nSlots; i++) {
        int rec[MASK_FIELD_COUNT];
        MaskCopyRelaxed(rec, pSlots + (size_t)i * MASK_FIELD_COUNT);
        if (bPlanar)
            MaskPaintI420(rec, pFrame, nWidth, nHeight);
        else
            MaskPaintBgr(rec, pFrame, nWidth, nHeight);
    }
    return 0;
}

int CIpCamera::SetMaskArea(unsigned char *pFrame, int nWidth, int nHeight)
{
    static_assert(sizeof(MaskAreaParam) == MASK_FIELD_COUNT * sizeof(int), "mask record is nine ints");
    // Packed BGR only: the frame hook paints planar frames itself.
    return MaskPaintSlots((const int *)m_MaskArea, 4, 0, pFrame, nWidth, nHeight);
}
