// Decoded picture hash SEI messages (payload type 132: MD5, CRC or checksum
// per colour component) collected from an Annex B stream, and the check of an
// output picture against them.
#ifndef HEVC_DECODE_PIC_HASH_H
#define HEVC_DECODE_PIC_HASH_H

#include <cstdint>
#include <string>
#include <vector>

#include "IHW265D.h"

struct PicHash {
    int iType = -1; // -1 none, 0 MD5, 1 CRC, 2 checksum
    uint8_t aaucMd5[3][16] = {};
    uint32_t auiValue[3] = {};
};

// One entry per coded picture that the decoder decodes, in decode order
// (RASL pictures of a random access point that starts decoding are left out,
// as the decoder leaves them out).
std::vector<PicHash> CollectPictureHashes(const std::vector<unsigned char> &stream);

// Compares the whole decoded picture (the planes around the cropped output)
// with the hash; returns an empty string when it matches, otherwise what
// differs.
std::string VerifyPicture(const PicHash &hash, const IHW265D_OUTARGS &out);

#endif
