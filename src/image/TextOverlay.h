#ifndef IPCAMERA_IMAGE_TEXTOVERLAY_H
#define IPCAMERA_IMAGE_TEXTOVERLAY_H

// Built-in bitmap fonts and white text stamping into packed BGR frames stored
// bottom row first. Both fonts cover the 95 printable ASCII codes 0x20..0x7E
// in code order; glyph rows are stored top first, the leftmost pixel in the
// most significant bit of a row's first byte.

enum {
    TEXT_FONT_FIRST = 0x20,
    TEXT_FONT_LAST = 0x7E,
    TEXT_FONT_GLYPHS = 95,
    TEXT_SMALL_WIDTH = 8,
    TEXT_SMALL_HEIGHT = 16,
    TEXT_SMALL_GLYPH_BYTES = 16,
    TEXT_LARGE_WIDTH = 16,
    TEXT_LARGE_HEIGHT = 32,
    TEXT_LARGE_GLYPH_BYTES = 64,
    // Frames at least this wide get the large font.
    TEXT_LARGE_MIN_FRAME_WIDTH = 720
};

// 8x16 cells, 16 bytes per glyph; glyph of code c at (c - 0x20) * 16.
extern const unsigned char (&g_TextFontSmall)[TEXT_FONT_GLYPHS * TEXT_SMALL_GLYPH_BYTES];
// 16x32 cells, 64 bytes per glyph; glyph of code c at (c - 0x20) * 64.
extern const unsigned char (&g_TextFontLarge)[TEXT_FONT_GLYPHS * TEXT_LARGE_GLYPH_BYTES];

// Draws one glyph (nGlyphWidth a multiple of 8) with its top-left pixel at
// column x, picture row y (from the top). Set bits become white, clear bits
// leave the frame; pixels outside the frame are dropped. Returns 0.
int TextDrawGlyphBgr(const unsigned char *pGlyph, int nGlyphWidth, int nGlyphHeight,
                     unsigned char *pFrame, int nWidth, int nHeight, int x, int y);

// Stamps the zero-terminated text with its first cell at (x, y): the small
// font below 720 pixels of frame width, the large one from 720 on. A byte
// outside 0x20..0x7E draws nothing but keeps its cell. Clipped at every
// frame edge. Returns 0.
int TextDrawStringBgr(const char *pText, unsigned char *pFrame, int nWidth, int nHeight, int x, int y);

#endif
