#ifndef IPCAMERA_DECODE_HEVCPROBE_H
#define IPCAMERA_DECODE_HEVCPROBE_H

// Looks into the first key packet of an H.265 stream (Annex B byte stream)
// before it is given to a decoder: for the marker SEI that selects the
// built-in decoder and for the picture size the decoder is created for.
// Every probe stays inside the packet it is given and inside its own
// 256-byte parameter-set buffer, whatever the packet holds.

#include <stdint.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

struct FFMpegContext;

// Marker SEI: prefix SEI NAL unit (type 39) after a 4-byte start code whose
// first payload type byte is 229.
#define HEVC_MARKER_SEI_TYPE 0xE5
// Bytes scanned for the marker SEI and for the parameter sets.
#define HEVC_SEI_SCAN_LIMIT 255
#define HEVC_SPS_SCAN_LIMIT 512
#define HEVC_SPS_BUF_SIZE 256

// Bits are taken most significant first: bit p is bit 7 - p % 8 of byte p / 8.
struct BitReader {
    const uint8_t *pData;
    int32_t nPos;    // bits read so far
    int32_t nLimit;  // buffer length in bytes * 8
};

// Result of parse_hevc_sps: coded luma size (no conformance window).
struct HevcSpsInfo {
    uint32_t nWidth;
    uint32_t nHeight;
};

// Result of find_hevc_sps.
struct HevcSpsProbe {
    int bSei;       // 1 when any prefix SEI follows a 4-byte start code
    int nSpsPos;    // position of the SPS start code, -1 none
    int nPpsPos;    // position of the PPS start code, -1 none
    int bUsable;    // SEI, SPS > 0, PPS > SPS and the SPS parsed
    HevcSpsInfo info;  // valid when bUsable
};

// 1 when the packet starts (within its first 255 bytes) with the marker SEI.
int probe_sei(const AVPacket *pkt);
int probe_sei_data(const uint8_t *pData, int nSize);

// Scans the first 512 bytes for SEI, SPS and PPS; when usable, copies the
// SPS into a 256-byte buffer and parses it. 0 when usable, -1 otherwise;
// *pProbe is filled either way.
int find_hevc_sps(const AVPacket *pkt, HevcSpsProbe *pProbe);
int find_hevc_sps_data(const uint8_t *pData, int nSize, HevcSpsProbe *pProbe);

// Parses the SPS in pBuf (starting 00 00 01 42 ..., nLen <= HEVC_SPS_BUF_SIZE
// bytes; emulation prevention bytes are removed in place). 0 with the size
// filled; -1 for a null argument. Runs out of data without failing.
int parse_hevc_sps(uint8_t *pBuf, int nLen, HevcSpsInfo *pInfo);

// Removes the 03 of every 00 00 03 in place, shortening *pLen.
void remove_emulation_prevention(uint8_t *pBuf, int *pLen);

// 0 or the bit's mask (0x80 .. 0x01); -1 at the end or for a null reader.
int read_bit(BitReader *br);
// Up to 32 bits, first most significant, cut at the end of the data;
// 0xFFFFFFFF for a null reader or nCount > 32 (unsigned).
uint32_t read_bits(BitReader *br, int nCount);
// Unsigned Exp-Golomb code.
uint32_t read_ue(BitReader *br);

// Decodes pkt with the stream's FFmpeg decoder into pFrame; when a picture
// comes out, logs its size and stores it in nWidth/nHeight. 0, or -1.
int get_hevc_frame_resolution(FFMpegContext *ctx, AVFrame *pFrame, AVPacket *pkt);

#endif
