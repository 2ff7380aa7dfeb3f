/* SEI messages (H.265 7.3.5, D.2): mastering display colour volume (137),
 * content light level (144), a private 4-byte value (229) and user data
 * (240) are kept for the output record; the rest is skipped. */
#include <string.h>
#include "hevc_decoder.h"

static uint32_t ReadSumOfBytes(HevcBits *b)
{
    uint32_t v = 0, c;
    while ((c = HevcBitsRead(b, 8)) == 0xFF && !b->bOverrun)
        v += 255;
    return v + c;
}

/* Whole RBSP bytes left before the stop bit. */
static uint32_t BytesLeft(const HevcBits *b)
{
    if (b->bOverrun || b->uiBitsRead >= b->uiStopBit)
        return 0;
    return (b->uiStopBit - b->uiBitsRead) / 8 + 0;
}

uint32_t HevcParseSei(HW265D_DEC *pstDec, HevcBits *b, int bPrefix)
{
    HevcSeiInfo *s = &pstDec->stSei;
    HevcBitsFindStop(b);
    do {
        uint32_t uiType = ReadSumOfBytes(b);
        uint32_t uiSize = ReadSumOfBytes(b);
        if (b->bOverrun)
            break;
        if (uiSize > HEVC_MAX_SEI_PAYLOAD) {
            HEVC_ERR(pstDec, "IHW265D_Decode : Lens of user data is bigger than MAX user data lens!\n");
            return IHW265D_ERR_USERDATA;
        }
        uint32_t uiStart = b->uiBitsRead;
        if (uiType == 137 && bPrefix) {
            for (int i = 0; i < 3; i++) {
                s->ausPrimariesX[i] = (uint16_t)HevcBitsRead(b, 16);
                s->ausPrimariesY[i] = (uint16_t)HevcBitsRead(b, 16);
            }
            s->usWhitePointX = (uint16_t)HevcBitsRead(b, 16);
            s->usWhitePointY = (uint16_t)HevcBitsRead(b, 16);
            s->uiMaxLuminance = HevcBitsRead(b, 32);
            s->uiMinLuminance = HevcBitsRead(b, 32);
        } else if (uiType == 144 && bPrefix) {
            s->usMaxCll = (uint16_t)HevcBitsRead(b, 16);
            s->usMaxFall = (uint16_t)HevcBitsRead(b, 16);
        } else if (uiType == 229) {
            if (uiSize == 4) {
                if (BytesLeft(b) < 4) {
                    HEVC_ERR(pstDec, "IHW265D_Decode : Lens of user data is less than 4 !\n");
                    return IHW265D_ERR_USERDATA;
                }
                s->uiPrivateValue = HevcBitsRead(b, 32);
            }
        } else if (uiType == 240) {
            uint32_t n = 0;
            for (; n < uiSize && !b->bOverrun; n++)
                s->pucUserData[n] = (uint8_t)HevcBitsRead(b, 8);
            s->uiUserDataLen = b->bOverrun ? (n ? n - 1 : 0) : n;
        }
        /* Next message starts right after this payload whatever was read. */
        uint32_t uiEnd = uiStart + uiSize * 8;
        if (b->uiBitsRead < uiEnd)
            HevcBitsSkip(b, uiEnd - b->uiBitsRead);
        if (b->bOverrun)
            break;
    } while (HevcBitsMoreRbspData(b));
    return 0;
}
