/* Bit reader over the raw bytes of one NAL unit.
 *
 * Emulation prevention bytes (a 03 after two zero bytes, H.265 7.4.2) are
 * dropped while the cache is refilled, so parsers see the RBSP without a copy.
 * Reads past the end return zero bits and set bOverrun; parsers test it after
 * each syntax structure, so no read ever leaves the unit. */
#ifndef HEVC_BITS_H
#define HEVC_BITS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    const uint8_t *pucBuf;  /* raw NAL unit, header included */
    uint32_t uiSize;        /* raw bytes */
    uint32_t uiPos;         /* next raw byte to load */
    uint32_t uiZeros;       /* zero bytes just loaded, for emulation prevention */
    uint64_t ullCache;      /* unread bits, left-aligned */
    int iCacheBits;
    uint32_t uiBitsRead;    /* RBSP bits consumed */
    uint32_t uiStopBit;     /* RBSP index of rbsp_stop_one_bit, from HevcBitsFindStop */
    int bOverrun;
} HevcBits;

void HevcBitsInit(HevcBits *pstBits, const uint8_t *pucBuf, uint32_t uiSize);
/* Locates the rbsp_stop_one_bit so that HevcBitsMoreRbspData can answer. */
void HevcBitsFindStop(HevcBits *pstBits);
int HevcBitsMoreRbspData(const HevcBits *pstBits);

uint32_t HevcBitsRead(HevcBits *pstBits, int iNum); /* 0..32 bits */
uint32_t HevcBitsPeek(HevcBits *pstBits, int iNum); /* 1..32 bits */
void HevcBitsSkip(HevcBits *pstBits, uint32_t uiNum);
/* ue(v): values 0..2^32-2; a prefix longer than 31 zeros sets bOverrun and
 * returns 0xFFFFFFFF. */
uint32_t HevcBitsUe(HevcBits *pstBits);
/* se(v) widened so that every legal code fits. */
int64_t HevcBitsSe(HevcBits *pstBits);
static inline uint32_t HevcBitsFlag(HevcBits *pstBits) { return HevcBitsRead(pstBits, 1); }
static inline int HevcBitsAligned(const HevcBits *pstBits) { return (pstBits->uiBitsRead & 7) == 0; }
/* Raw byte offset (emulation prevention counted) of the RBSP byte uiRbspByte. */
uint32_t HevcBitsRawOffset(const HevcBits *pstBits, uint32_t uiRbspByte);

#ifdef __cplusplus
}
#endif
#endif
