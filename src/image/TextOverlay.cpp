// White text stamping into bottom-up BGR frames, and the camera's two text
// members over it.

#include "image/TextOverlay.h"

#include <stddef.h>

#include "ipcamera/IpCamera.h"

int TextDrawGlyphBgr(const unsigned char *pGlyph, int nGlyphWidth, int nGlyphHeight,
                     unsigned char *pFrame, int nWidth, int nHeight, int x, int y)
{
    if (!pGlyph || !pFrame || nGlyphHeight < 1 || nGlyphWidth < 8 || nWidth < 1 || nHeight < 1)
        return 0;
    int nRowBytes = nGlyphWidth / 8;
    for (int r = 0; r < nGlyphHeight; r++) {
        long long py = (long long)y + r;  // picture row from the top
        if (py < 0)
            continue;
        if (py >= nHeight)
            break;
        // Bottom-up storage: picture row py is memory row height-1-py.
        unsigned char *pRow = pFrame + (size_t)(nHeight - 1 - py) * nWidth * 3;
        const unsigned char *pBits = pGlyph + (size_t)r * nRowBytes;
        for (int i = 0; i < nRowBytes * 8; i++) {
            if (!(pBits[i >> 3] & (0x80 >> (i & 7))))
                continue;
            long long px = (long long)x + i;
            if (px < 0 || px >= nWidth)
                continue;
            unsigned char *p = pRow + (size_t)px * 3;
            p[0] = p[1] = p[2] = 0xFF;
        }
    }
    return 0;
}

int TextDrawStringBgr(const char *pText, unsigned char *pFrame, int nWidth, int nHeight, int x, int y)
{
    if (!pText || !pText[0] || !pFrame || nWidth < 1 || nHeight < 1)
        return 0;
    bool bLarge = nWidth >= TEXT_LARGE_MIN_FRAME_WIDTH;
    const unsigned char *pFont = bLarge ? g_TextFontLarge : g_TextFontSmall;
    int nCellW = bLarge ? TEXT_LARGE_WIDTH : TEXT_SMALL_WIDTH;
    int nCellH = bLarge ? TEXT_LARGE_HEIGHT : TEXT_SMALL_HEIGHT;
    int nGlyphBytes = bLarge ? TEXT_LARGE_GLYPH_BYTES : TEXT_SMALL_GLYPH_BYTES;
    for (size_t i = 0; pText[i]; i++) {
        long long cx = (long long)x + (long long)i * nCellW;
        if (cx >= nWidth)
            break;  // this and every later cell lie right of the frame
        if (cx + nCellW <= 0)
            continue;
        unsigned char c = (unsigned char)pText[i];
        // Other bytes draw nothing but keep their cell.
        if (c < TEXT_FONT_FIRST || c > TEXT_FONT_LAST)
            continue;
        TextDrawGlyphBgr(pFont + (size_t)(c - TEXT_FONT_FIRST) * nGlyphBytes, nCellW, nCellH, pFrame,
                         nWidth, nHeight, (int)cx, y);
    }
    return 0;
}

int CIpCamera::ConvertToBmp(const char *pText, unsigned char *pFrame, int nWidth, int nHeight, int nX,
                            int nY)
{
    return TextDrawStringBgr(pText, pFrame, nWidth, nHeight, nX, nY);
}

int CIpCamera::MakeTextBmp(const unsigned char *pBits, int nGlyphWidth, int nGlyphHeight,
                           unsigned char *pFrame, int nWidth, int nHeight, int nX, int nY, int nFlag)
{
    // The flag is part of the interface but does not change the drawing.
    (void)nFlag;
    return TextDrawGlyphBgr(pBits, nGlyphWidth, nGlyphHeight, pFrame, nWidth, nHeight, nX, nY);
}
