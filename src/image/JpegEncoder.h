#ifndef IPCAMERA_IMAGE_JPEGENCODER_H
#define IPCAMERA_IMAGE_JPEGENCODER_H

// The library's own baseline JPEG encoder (ITU-T T.81 sequential DCT with
// Huffman coding, the example tables of Annex K, a floating-point AAN DCT and
// the IJG quality scaling). Input is planar YUV 4:2:0; the output is a JFIF
// image carrying Cb and Cr at full resolution (4:4:4, chroma replicated).
// Sizes that are not multiples of 8 are padded by repeating the last column
// and row. Nothing is allocated and nothing is kept between calls.

#include <stddef.h>

// Bytes an output buffer must offer so that JpegEncodeI420 can never run out,
// whatever the picture content (every coefficient at its longest code, every
// byte stuffed). 0 for sizes that are out of range.
size_t JpegEncodeWorstCase(int nWidth, int nHeight);

// Encodes the picture into pOut (nOutSize bytes). Y has nHeight rows of
// nStride bytes; U and V have nHeight/2 rows of nStride/2 bytes with
// nWidth/2 samples used, one sample per 2x2 luma block (an odd last luma
// row or column reuses the last chroma sample; a picture 1 pixel wide or
// high has no chroma and is coded neutral grey). nQuality is clamped to
// 1..100.
// 0 with *pnOutLen set to the length written; -1 for bad arguments (sizes
// outside 1..65535, stride below the width, null planes) or when the image
// does not fit in nOutSize bytes: nothing is written past pOut + nOutSize.
int JpegEncodeI420(const unsigned char *pY, const unsigned char *pU, const unsigned char *pV,
                   int nWidth, int nHeight, int nQuality, int nStride,
                   unsigned char *pOut, int nOutSize, int *pnOutLen);

// Snapshot writer for planar frames as the decode thread delivers them:
// Y (nWidth x nHeight), then U and V of (nWidth/2) x (nHeight/2), no padding
// (V starts right after U, which for even sizes is byte nWidth*nHeight*5/4).
// Encodes at quality 100 and writes the file at pPath. 0, or -1 with a log
// line when the file cannot be created or written (a partial file is
// removed).
int JpegWriteI420File(const char *pPath, const unsigned char *pFrame, int nWidth, int nHeight);

#endif
