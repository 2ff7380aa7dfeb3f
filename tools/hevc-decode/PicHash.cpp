// Decoded picture hash SEI (H.265 D.2.20, D.3.19) for hevc-decode --verify.
#include "PicHash.h"

#include <cstdio>

#include "Md5.h"

namespace {

// NAL unit payload without emulation prevention bytes, header included.
std::vector<uint8_t> Unescape(const unsigned char *p, size_t n)
{
    std::vector<uint8_t> out;
    out.reserve(n);
    int iZeros = 0;
    for (size_t i = 0; i < n; i++) {
        if (iZeros >= 2 && p[i] == 3) {
            iZeros = 0;
            continue;
        }
        iZeros = p[i] == 0 ? iZeros + 1 : 0;
        out.push_back(p[i]);
    }
    return out;
}

bool IsVcl(int t) { return (t >= 0 && t <= 9) || (t >= 16 && t <= 21); }

// Reads the SEI messages of one unescaped SEI NAL unit; fills *pHash from a
// payload 132 and returns true when there was one.
bool ParseSei(const std::vector<uint8_t> &r, PicHash *pHash)
{
    size_t i = 2;
    bool bFound = false;
    while (i + 2 <= r.size() && r[i] != 0x80) {
        uint32_t uiType = 0, uiSize = 0;
        while (i < r.size() && r[i] == 0xFF)
            uiType += r[i++];
        if (i >= r.size())
            break;
        uiType += r[i++];
        while (i < r.size() && r[i] == 0xFF)
            uiSize += r[i++];
        if (i >= r.size())
            break;
        uiSize += r[i++];
        if (i + uiSize > r.size())
            break;
        if (uiType == 132 && uiSize >= 1) {
            const uint8_t *p = &r[i];
            PicHash h;
            h.iType = p[0];
            size_t uiPer = h.iType == 0 ? 16 : h.iType == 1 ? 2 : h.iType == 2 ? 4 : 0;
            if (uiPer && uiSize >= 1 + 3 * uiPer) {
                for (int c = 0; c < 3; c++) {
                    const uint8_t *q = p + 1 + c * uiPer;
                    if (h.iType == 0)
                        for (int k = 0; k < 16; k++)
                            h.aaucMd5[c][k] = q[k];
                    else if (h.iType == 1)
                        h.auiValue[c] = (uint32_t)q[0] << 8 | q[1];
                    else
                        h.auiValue[c] = (uint32_t)q[0] << 24 | (uint32_t)q[1] << 16 | (uint32_t)q[2] << 8 | q[3];
                }
                *pHash = h;
                bFound = true;
            }
        }
        i += uiSize;
    }
    return bFound;
}

} // namespace

std::vector<PicHash> CollectPictureHashes(const std::vector<unsigned char> &d)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < d.size(); i++)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    std::vector<PicHash> out;
    PicHash stPending;
    bool bPending = false, bFirst = true, bSkipRasl = false, bAfterEos = true, bInSkipped = false;
    for (size_t k = 0; k < starts.size(); k++) {
        size_t b = starts[k], e = k + 1 < starts.size() ? starts[k + 1] - 3 : d.size();
        while (e > b && d[e - 1] == 0)
            e--;
        if (e < b + 2)
            continue;
        int iType = (d[b] >> 1) & 63, iLayer = (d[b] & 1) << 5 | d[b + 1] >> 3;
        if (iLayer != 0)
            continue;
        if (iType == 36 || iType == 37)
            bAfterEos = true;
        if (IsVcl(iType) && e > b + 2 && (d[b + 2] & 0x80)) {
            if (iType >= 16 && iType <= 21) {
                /* RASL pictures after a CRA that starts decoding, or after a
                 * BLA, are not decoded. */
                bSkipRasl = (iType == 21 && (bFirst || bAfterEos)) || iType <= 18;
                bAfterEos = false;
            }
            bFirst = false;
            bInSkipped = bSkipRasl && (iType == 8 || iType == 9);
            if (!bInSkipped) {
                out.push_back(bPending ? stPending : PicHash());
                bPending = false;
            }
        } else if (iType == 39 || iType == 40) {
            PicHash h;
            if (!ParseSei(Unescape(&d[b], e - b), &h))
                continue;
            if (iType == 40 && !out.empty() && !bInSkipped)
                out.back() = h;
            else if (iType == 39) {
                stPending = h;
                bPending = true;
            }
        }
    }
    return out;
}

namespace {

uint32_t Sample(const unsigned char *p, size_t i, int iBps)
{
    return iBps == 2 ? (uint32_t)p[2 * i] | (uint32_t)p[2 * i + 1] << 8 : p[i];
}

void CrcByte(uint32_t *pCrc, uint32_t uiByte)
{
    for (int b = 0; b < 8; b++) {
        uint32_t uiMsb = (*pCrc >> 15) & 1, uiBit = (uiByte >> (7 - b)) & 1;
        *pCrc = (((*pCrc << 1) + uiBit) & 0xFFFF) ^ (uiMsb * 0x1021);
    }
}

} // namespace

std::string VerifyPicture(const PicHash &h, const IHW265D_OUTARGS &o)
{
    if (h.iType < 0 || h.iType > 2)
        return "";
    static const char *s_apszKind[3] = {"MD5", "CRC", "checksum"};
    const int iBps = o.uiDecBitDepthLuma > 8 || o.uiDecBitDepthChroma > 8 ? 2 : 1;
    std::string res;
    for (int c = 0; c < 3; c++) {
        const int iSh = c ? 1 : 0;
        const uint32_t w = o.uiCodedWidth >> iSh, hgt = o.uiCodedHeight >> iSh;
        const size_t uiStride = c ? o.uiUVStride : o.uiYStride;
        /* The hash covers the whole decoded picture, not the cropped window. */
        const unsigned char *pBase = o.pucOutYUV[c] -
                                     ((size_t)(o.uiCropTop >> iSh) * uiStride + (o.uiCropLeft >> iSh)) * iBps;
        bool bOk;
        if (h.iType == 0) {
            Md5 m;
            Md5Init(&m);
            for (uint32_t y = 0; y < hgt; y++)
                Md5Update(&m, pBase + (size_t)y * uiStride * iBps, (size_t)w * iBps);
            char szHex[33], szWant[33];
            Md5Final(&m, szHex);
            for (int k = 0; k < 16; k++)
                snprintf(szWant + 2 * k, 3, "%02x", h.aaucMd5[c][k]);
            bOk = std::string(szHex) == szWant;
        } else if (h.iType == 1) {
            uint32_t uiCrc = 0xFFFF;
            for (uint32_t y = 0; y < hgt; y++)
                for (uint32_t x = 0; x < w; x++) {
                    uint32_t v = Sample(pBase + (size_t)y * uiStride * iBps, x, iBps);
                    CrcByte(&uiCrc, v & 0xFF);
                    if (iBps == 2)
                        CrcByte(&uiCrc, v >> 8);
                }
            for (int b = 0; b < 16; b++) {
                uint32_t uiMsb = (uiCrc >> 15) & 1;
                uiCrc = ((uiCrc << 1) & 0xFFFF) ^ (uiMsb * 0x1021);
            }
            bOk = uiCrc == h.auiValue[c];
        } else {
            uint32_t uiSum = 0;
            for (uint32_t y = 0; y < hgt; y++)
                for (uint32_t x = 0; x < w; x++) {
                    uint32_t uiMask = (x & 0xFF) ^ (y & 0xFF) ^ (x >> 8) ^ (y >> 8);
                    uint32_t v = Sample(pBase + (size_t)y * uiStride * iBps, x, iBps);
                    uiSum = uiSum + ((v & 0xFF) ^ uiMask);
                    if (iBps == 2)
                        uiSum = uiSum + ((v >> 8) ^ uiMask);
                }
            bOk = uiSum == h.auiValue[c];
        }
        if (!bOk)
            res += std::string(res.empty() ? "" : ", ") + "plane " + std::to_string(c) + " " + s_apszKind[h.iType];
    }
    return res;
}
