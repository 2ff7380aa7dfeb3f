// MD5 (RFC 1321) for the per-picture digests printed by hevc-decode.
#ifndef HEVC_DECODE_MD5_H
#define HEVC_DECODE_MD5_H

#include <cstddef>
#include <cstdint>

struct Md5 {
    uint32_t auState[4];
    uint64_t ullBytes;
    uint8_t aucBuf[64];
};

void Md5Init(Md5 *pstMd5);
void Md5Update(Md5 *pstMd5, const void *pData, size_t size);
// Writes 32 lowercase hex digits and a terminating zero.
void Md5Final(Md5 *pstMd5, char szHex[33]);

#endif
