#include "Md5.h"

#include <cstdio>
#include <cstring>

static const uint32_t kK[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
static const int kS[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                           5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                           4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                           6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

static void Block(Md5 *m, const uint8_t *p)
{
    uint32_t w[16];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[i * 4] | (uint32_t)p[i * 4 + 1] << 8 | (uint32_t)p[i * 4 + 2] << 16 |
               (uint32_t)p[i * 4 + 3] << 24;
    uint32_t a = m->auState[0], b = m->auState[1], c = m->auState[2], d = m->auState[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t t = d;
        d = c;
        c = b;
        uint32_t x = a + f + kK[i] + w[g];
        b = b + ((x << kS[i]) | (x >> (32 - kS[i])));
        a = t;
    }
    m->auState[0] += a;
    m->auState[1] += b;
    m->auState[2] += c;
    m->auState[3] += d;
}

void Md5Init(Md5 *m)
{
    m->auState[0] = 0x67452301;
    m->auState[1] = 0xefcdab89;
    m->auState[2] = 0x98badcfe;
    m->auState[3] = 0x10325476;
    m->ullBytes = 0;
}

void Md5Update(Md5 *m, const void *pData, size_t size)
{
    const uint8_t *p = static_cast<const uint8_t *>(pData);
    size_t uiHave = m->ullBytes % 64;
    m->ullBytes += size;
    while (size > 0) {
        size_t n = 64 - uiHave < size ? 64 - uiHave : size;
        memcpy(m->aucBuf + uiHave, p, n);
        uiHave += n;
        p += n;
        size -= n;
        if (uiHave == 64) {
            Block(m, m->aucBuf);
            uiHave = 0;
        }
    }
}

void Md5Final(Md5 *m, char szHex[33])
{
    uint64_t ullBits = m->ullBytes * 8;
    uint8_t ucPad = 0x80;
    Md5Update(m, &ucPad, 1);
    uint8_t ucZero = 0;
    while (m->ullBytes % 64 != 56)
        Md5Update(m, &ucZero, 1);
    uint8_t aucLen[8];
    for (int i = 0; i < 8; i++)
        aucLen[i] = (uint8_t)(ullBits >> (8 * i));
    Md5Update(m, aucLen, 8);
    for (int i = 0; i < 16; i++)
        snprintf(szHex + 2 * i, 3, "%02x", (m->auState[i / 4] >> (8 * (i % 4))) & 0xff);
}
