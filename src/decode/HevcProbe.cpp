// Marker-SEI and parameter-set probes on the first key packet of an H.265
// stream. The scans only look at the start of the packet and never past its
// end: every loop bound is derived from the packet size first, so a short or
// truncated packet simply finds nothing.

#include "decode/HevcProbe.h"

#include <string.h>

#include "stream/FFMpegContext.h"
#include "stream/FFmpegCompat.h"
#include "support/Log.h"
#include "support/Platform.h"

int probe_sei_data(const uint8_t *pData, int nSize)
{
    if (!pData || nSize <= 6)
        return 0;
    // Bytes i .. i + 6 are read, so i + 6 < nSize.
    int nEnd = nSize - 6;
    if (nEnd > HEVC_SEI_SCAN_LIMIT)
        nEnd = HEVC_SEI_SCAN_LIMIT;
    for (int i = 0; i < nEnd; i++) {
        const uint8_t *p = pData + i;
        // Only a 4-byte start code counts; the second NAL header byte is
        // not examined.
        if (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1 && (p[4] & 0x7E) == 0x4E &&
            p[6] == HEVC_MARKER_SEI_TYPE)
            return 1;
    }
    return 0;
}

int probe_sei(const AVPacket *pkt)
{
    if (!pkt)
        return 0;
    return probe_sei_data(pkt->data, pkt->size);
}

int find_hevc_sps_data(const uint8_t *pData, int nSize, HevcSpsProbe *pProbe)
{
    if (!pProbe)
        return -1;
    memset(pProbe, 0, sizeof(*pProbe));
    pProbe->nSpsPos = -1;
    pProbe->nPpsPos = -1;
    if (!pData || nSize <= 4)
        return -1;

    // Bytes i .. i + 4 are read, so i + 4 < nSize.
    int nEnd = nSize - 4;
    if (nEnd > HEVC_SPS_SCAN_LIMIT)
        nEnd = HEVC_SPS_SCAN_LIMIT;
    for (int i = 0; i < nEnd; i++) {
        const uint8_t *p = pData + i;
        int bLongStart = p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1;
        int nType = p[4] & 0x7E;
        if (bLongStart && nType == 0x4E)
            pProbe->bSei = 1;
        else if (p[1] == 0 && p[2] == 0 && p[3] == 1 && nType == 0x42)
            pProbe->nSpsPos = i;  // the byte before a 3-byte start code
        else if (bLongStart && nType == 0x44)
            pProbe->nPpsPos = i;
    }

    if (!pProbe->bSei || pProbe->nSpsPos <= 0 || pProbe->nPpsPos <= pProbe->nSpsPos)
        return -1;

    // The SPS from its 3-byte start code up to the PPS start code, at most
    // 255 bytes; both positions lie within the scanned part of the packet.
    uint8_t aBuf[HEVC_SPS_BUF_SIZE];
    memset(aBuf, 0, sizeof(aBuf));
    int nGap = pProbe->nPpsPos - pProbe->nSpsPos;
    if (nGap > HEVC_SPS_BUF_SIZE)
        nGap = HEVC_SPS_BUF_SIZE;
    int nLen = nGap - 1;
    memcpy(aBuf, pData + pProbe->nSpsPos + 1, (size_t)nLen);
    if (parse_hevc_sps(aBuf, nLen, &pProbe->info) != 0)
        return -1;
    pProbe->bUsable = 1;
    return 0;
}

int find_hevc_sps(const AVPacket *pkt, HevcSpsProbe *pProbe)
{
    return find_hevc_sps_data(pkt ? pkt->data : NULL, pkt ? pkt->size : 0, pProbe);
}

int parse_hevc_sps(uint8_t *pBuf, int nLen, HevcSpsInfo *pInfo)
{
    if (!pBuf || !pInfo)
        return -1;
    memset(pInfo, 0, sizeof(*pInfo));
    if (nLen < 0)
        nLen = 0;
    if (nLen > HEVC_SPS_BUF_SIZE)
        nLen = HEVC_SPS_BUF_SIZE;
    remove_emulation_prevention(pBuf, &nLen);

    BitReader br;
    br.pData = pBuf;
    br.nPos = 0;
    br.nLimit = nLen * 8;

    // Start code and NAL header, then (H.265 7.3.2.2) the VPS id, sub-layer
    // count and nesting flag, then profile_tier_level with no sub-layers.
    read_bits(&br, 32);
    read_bits(&br, 8);
    read_bits(&br, 8);
    read_bits(&br, 8);
    for (int i = 0; i < 80; i++)
        read_bit(&br);
    read_bits(&br, 8);  // general_level_idc
    read_ue(&br);       // sps_seq_parameter_set_id
    read_ue(&br);       // chroma_format_idc (not 3: no separate_colour_plane_flag)
    pInfo->nWidth = read_ue(&br);
    pInfo->nHeight = read_ue(&br);
    return 0;
}

void remove_emulation_prevention(uint8_t *pBuf, int *pLen)
{
    if (!pBuf || !pLen)
        return;
    int nLen = *pLen;
    if (nLen - 2 <= 0)
        return;
    for (int i = 2; i < nLen; i++) {
        if (pBuf[i - 2] == 0 && pBuf[i - 1] == 0 && pBuf[i] == 3) {
            memmove(pBuf + i, pBuf + i + 1, (size_t)(nLen - i - 1));
            nLen--;
        }
    }
    *pLen = nLen;
}

int read_bit(BitReader *br)
{
    if (!br || !br->pData || br->nPos < 0 || (int64_t)br->nPos + 1 > br->nLimit)
        return -1;
    int nMask = 0x80 >> (br->nPos & 7);
    int nBit = br->pData[br->nPos >> 3] & nMask;
    br->nPos++;
    return nBit;
}

uint32_t read_bits(BitReader *br, int nCount)
{
    if (!br || (unsigned)nCount > 32u)
        return 0xFFFFFFFFu;
    int64_t nLeft = (int64_t)br->nLimit - br->nPos;
    int64_t k = nCount;
    if (k > nLeft)
        k = nLeft;
    if (k <= 0 || !br->pData || br->nPos < 0)
        return 0;
    uint32_t nValue = 0;
    for (int64_t i = 0; i < k; i++) {
        int32_t nPos = br->nPos + (int32_t)i;
        int nBit = (br->pData[nPos >> 3] >> (7 - (nPos & 7))) & 1;
        nValue = (nValue << 1) | (uint32_t)nBit;
    }
    br->nPos += (int32_t)k;
    return nValue;
}

uint32_t read_ue(BitReader *br)
{
    // The count of leading zero bits is kept in 8 bits; a -1 at the end of
    // the data ends the count like a set bit. Unsigned arithmetic wraps, so
    // hostile runs of zeros give a defined (meaningless) value.
    uint8_t nZeros = 0;
    while (read_bit(br) == 0)
        nZeros++;
    uint32_t nPow = nZeros < 32 ? (1u << nZeros) : 0u;
    return read_bits(br, nZeros) - 1u + nPow;
}

int get_hevc_frame_resolution(FFMpegContext *ctx, AVFrame *pFrame, AVPacket *pkt)
{
    if (!ctx || !ctx->pVideoCodecCtx || !pFrame || !pkt)
        return -1;
    int got = 0;
    int r = FFCompatDecode(ctx->pVideoCodecCtx, pFrame, &got, pkt);
    if (r >= 0 && got) {
        DebugPrint("get hevc frame resolution %d*%d", pFrame->width, pFrame->height);
        AtomicSet(&ctx->nWidth, pFrame->width);
        AtomicSet(&ctx->nHeight, pFrame->height);
        return 0;
    }
    return -1;
}
