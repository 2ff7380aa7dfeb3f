#include "hevc_bits.h"

#include <string.h>

void HevcBitsInit(HevcBits *pstBits, const uint8_t *pucBuf, uint32_t uiSize)
{
    memset(pstBits, 0, sizeof(*pstBits));
    pstBits->pucBuf = pucBuf;
    pstBits->uiSize = pucBuf ? uiSize : 0;
}

static void Refill(HevcBits *b)
{
    while (b->iCacheBits <= 56 && b->uiPos < b->uiSize) {
        uint8_t c = b->pucBuf[b->uiPos++];
        if (b->uiZeros >= 2 && c == 3) {
            b->uiZeros = 0;
            continue;
        }
        b->uiZeros = c == 0 ? b->uiZeros + 1 : 0;
        b->ullCache |= (uint64_t)c << (56 - b->iCacheBits);
        b->iCacheBits += 8;
    }
}

void HevcBitsFindStop(HevcBits *pstBits)
{
    uint32_t uiZeros = 0, uiRbsp = 0, uiLastIdx = 0;
    uint8_t ucLast = 0;
    for (uint32_t i = 0; i < pstBits->uiSize; i++) {
        uint8_t c = pstBits->pucBuf[i];
        if (uiZeros >= 2 && c == 3) {
            uiZeros = 0;
            continue;
        }
        uiZeros = c == 0 ? uiZeros + 1 : 0;
        if (c) {
            ucLast = c;
            uiLastIdx = uiRbsp;
        }
        uiRbsp++;
    }
    if (!ucLast) {
        pstBits->uiStopBit = 0;
        return;
    }
    int iTrailing = 0;
    while (!((ucLast >> iTrailing) & 1))
        iTrailing++;
    pstBits->uiStopBit = uiLastIdx * 8 + (7 - iTrailing);
}

int HevcBitsMoreRbspData(const HevcBits *pstBits)
{
    return !pstBits->bOverrun && pstBits->uiBitsRead < pstBits->uiStopBit;
}

uint32_t HevcBitsPeek(HevcBits *pstBits, int iNum)
{
    if (iNum <= 0)
        return 0;
    if (pstBits->iCacheBits < iNum)
        Refill(pstBits);
    return (uint32_t)(pstBits->ullCache >> (64 - iNum));
}

uint32_t HevcBitsRead(HevcBits *pstBits, int iNum)
{
    if (iNum <= 0)
        return 0;
    if (pstBits->iCacheBits < iNum) {
        Refill(pstBits);
        if (pstBits->iCacheBits < iNum) {
            /* Past the end: hand out zeros from here on. */
            pstBits->bOverrun = 1;
            uint32_t v = (uint32_t)(pstBits->ullCache >> (64 - iNum));
            pstBits->ullCache = 0;
            pstBits->iCacheBits = 0;
            pstBits->uiBitsRead += (uint32_t)iNum;
            return v;
        }
    }
    uint32_t v = (uint32_t)(pstBits->ullCache >> (64 - iNum));
    pstBits->ullCache = iNum == 64 ? 0 : pstBits->ullCache << iNum;
    pstBits->iCacheBits -= iNum;
    pstBits->uiBitsRead += (uint32_t)iNum;
    return v;
}

void HevcBitsSkip(HevcBits *pstBits, uint32_t uiNum)
{
    while (uiNum > 0 && !pstBits->bOverrun) {
        int n = uiNum > 32 ? 32 : (int)uiNum;
        HevcBitsRead(pstBits, n);
        uiNum -= (uint32_t)n;
    }
}

uint32_t HevcBitsUe(HevcBits *pstBits)
{
    int iZeros = 0;
    while (!HevcBitsRead(pstBits, 1)) {
        if (pstBits->bOverrun || ++iZeros > 31) {
            pstBits->bOverrun = 1;
            return 0xFFFFFFFFu;
        }
    }
    if (iZeros == 0)
        return 0;
    uint64_t v = ((uint64_t)1 << iZeros) - 1 + HevcBitsRead(pstBits, iZeros);
    if (v > 0xFFFFFFFEu) {
        pstBits->bOverrun = 1;
        return 0xFFFFFFFFu;
    }
    return (uint32_t)v;
}

int64_t HevcBitsSe(HevcBits *pstBits)
{
    uint32_t k = HevcBitsUe(pstBits);
    if (k == 0xFFFFFFFFu)
        return 0;
    int64_t v = (int64_t)(((uint64_t)k + 1) >> 1);
    return (k & 1) ? v : -v;
}

uint32_t HevcBitsRawOffset(const HevcBits *pstBits, uint32_t uiRbspByte)
{
    uint32_t uiZeros = 0, uiRbsp = 0, i = 0;
    for (; i < pstBits->uiSize && uiRbsp < uiRbspByte; i++) {
        uint8_t c = pstBits->pucBuf[i];
        if (uiZeros >= 2 && c == 3) {
            uiZeros = 0;
            continue;
        }
        uiZeros = c == 0 ? uiZeros + 1 : 0;
        uiRbsp++;
    }
    /* An emulation prevention byte right at the boundary belongs to the data
     * before it. */
    if (i < pstBits->uiSize && uiZeros >= 2 && pstBits->pucBuf[i] == 3)
        i++;
    return i;
}
