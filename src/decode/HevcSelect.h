#ifndef IPCAMERA_DECODE_HEVCSELECT_H
#define IPCAMERA_DECODE_HEVCSELECT_H

// Which decoder an H.265 stream goes to, and how the built-in decoder's
// answers are judged, for both decode threads. Only streams whose key frames
// carry a marker SEI ever reach the built-in decoder; every other stream, and
// every stream the built-in decoder gives up on, decodes through FFmpeg.
//
// The thread-side records below live in the decode thread's own state and
// are touched by that thread only.

#include <stdint.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "hevc/IHW265D.h"

struct FFMpegContext;
struct I420Output;

// The built-in decoder's four calls, as the decode threads reach them.
struct HevcDecoderApi {
    unsigned int (*pfnCreate)(IH265DEC_HANDLE *phDecoder, IHW265D_INIT_PARAM *pParam);
    unsigned int (*pfnDecodeFrame)(IH265DEC_HANDLE hDecoder, IHW265D_INARGS *pIn, IHW265D_OUTARGS *pOut);
    unsigned int (*pfnDelete)(IH265DEC_HANDLE hDecoder);
    unsigned int (*pfnGetVersion)(IHW265D_VERSION *pVersion);
};

// The table in use; by default the real decoder. HevcSetDecoderApi (null:
// back to the real decoder) lets a test drive the decode threads against a
// scripted decoder. Change it only while no decode thread runs: the threads
// read the pointer without a lock.
const HevcDecoderApi *HevcGetDecoderApi(void);
void HevcSetDecoderApi(const HevcDecoderApi *pApi);

// Callbacks handed to the decoder: plain malloc/free, and every decoder
// message as "HW265D_Log:%s" with its format text unexpanded.
void *hevc_malloc(unsigned int uiUser, unsigned int uiSize);
void hevc_free(unsigned int uiUser, void *pMem);
void hevc_log(unsigned int uiUser, int iLevel, const char *pFormat, ...);

// Creation parameters: the planar thread's (multi-threaded, second layer
// enabled) or the classic thread's (single-threaded), for the given size.
void HevcFillInitParam(IHW265D_INIT_PARAM *p, int nWidth, int nHeight, int bPlanar);

// Planar creation for the context's nWidth x nHeight into hHevcDecoder.
// 0, or -1 (logged with the decoder's code).
int create_hevc_decoder(FFMpegContext *ctx);

// Deletes hHevcDecoder through the table in use and clears it.
void HevcDeleteDecoder(FFMpegContext *ctx);

// Copies the picture described by pOut (nWidth x nHeight luma, half-size
// chroma) into three 8-bit planes. Samples of a picture deeper than 8 bits
// (held as 16-bit words) are rounded to 8 bits. -1 when the record holds no
// picture (null plane, zero stride or size), else 0.
int HevcCopyPicture8(const IHW265D_OUTARGS *pOut, int nWidth, int nHeight, uint8_t *const apDst[3],
                     const int anDstStride[3]);

// A packet's way through the built-in decoder: each packet is drained (its
// own picture and any left in the decoder) before the next one is taken.
enum { HEVC_STEP_NORMAL, HEVC_STEP_MORE, HEVC_STEP_FLUSH, HEVC_STEP_DONE };

struct HevcDrain {
    IHW265D_INARGS stIn;      // what is left of the packet
    IHW265D_OUTARGS stOut;    // cleared once, then reused for every call
    int nStep;                // where the packet's decoding stands (HEVC_STEP_*)
    int nCalls;               // decoder calls for the packet
};

// ---- Classic (BGR) thread ----

struct HevcClassic {
    int hsDecoder;            // -1 undecided, 0 FFmpeg, 1 built-in decoder
    int nCountedPackets;      // built-in decodes since the last count line
    int bHavePicture;         // stOut holds the picture of the latest decode
    AVFrame *pTmpFrame;       // tmp_hevc_frame: 8-bit yuv420p copy of that picture
    HevcDrain drain;
};

void HevcClassicInit(HevcClassic *hc);
void HevcClassicFree(HevcClassic *hc);

// Decoder decision on a key video packet: on an H.265 stream not yet
// decided, the parameter-set probe picks the built-in decoder (created for
// the SPS size) or FFmpeg. Clears *pBadPending whenever FFmpeg decodes.
void HevcClassicDecide(HevcClassic *hc, FFMpegContext *ctx, const AVPacket *pkt, int *pBadPending);

// 1 when video packets go to the built-in decoder.
int HevcClassicInUse(const HevcClassic *hc, const FFMpegContext *ctx);

// One video packet through the built-in decoder, up to its first answer:
// a picture, a failed unit, or nothing. Sets *pGot, *pIsBad and the size of
// pFrame (the picture's size, or the stream's when it has none) and clears
// *pBadPending on a clean picture. 0, or -1 when the decoder refused the
// stream (too large, too many references, unsupported parameter sets):
// FFmpeg decodes from here on: the caller hands it this packet when it is
// a key packet, else waits for the next one.
int HevcClassicDecode(HevcClassic *hc, FFMpegContext *ctx, const AVPacket *pkt, AVFrame *pFrame, int *pGot,
                      int *pIsBad, int *pBadPending);

// The packet's next answer, once the previous picture has been shown: a
// packet is an access unit, so its picture is drained from the decoder
// before the next packet is taken, and a packet holding several pictures
// shows them all. 1 with the answer set as above, 0 when the packet is
// finished, -1 when the decoder refused the stream (as above).
int HevcClassicContinue(HevcClassic *hc, FFMpegContext *ctx, AVFrame *pFrame, int *pGot, int *pIsBad,
                        int *pBadPending);

// The latest built-in picture (tmp_hevc_frame, re-made only when the size
// or format changes) in the format FFmpeg reports for the same stream:
// yuv420p, yuvj420p for a full-range stream, yuv420p10 for 10 bits. Null
// when there is none.
const AVFrame *HevcClassicPicture(HevcClassic *hc);

// ---- Planar (I420) thread ----

struct HevcPlanar {
    int hsDecoder;            // -1 undecided, 0 FFmpeg, 1 built-in, 2 FFmpeg with parameter-set splicing
    int hasSei;               // marker SEI probe of the first key packet, -1 not yet probed
    uint8_t *pVpsBuf;         // vps_buf: held parameter-set packet
    int nVpsLen;
    AVPacket *pSplicePkt;     // held packet + the next packet, handed to FFmpeg
    uint8_t *pSpliceBuf;      // its zero-padded payload, grown only
    int nSpliceCap;
    HevcDrain drain;
    int nKeyFailures;         // key packets in a row refused with a NAL or slice header error
    int bShownClean;          // a clean picture was shown since the decoder was made
    AVFrame *pWrap;           // laid over the decoder's planes of a deeper-than-8-bit picture
};

enum {
    HEVC_PREP_DROP = -1,      // release the packet unprocessed
    HEVC_PREP_GO = 0,
    HEVC_PREP_RESIZED = 1     // size now known: re-make the picture buffer, then go on
};

enum {
    HEVC_DEC_FFMPEG = 0,      // not for the built-in decoder: decode with FFmpeg
    HEVC_DEC_PICTURE,         // new picture; pFrame carries its size
    HEVC_DEC_NO_PICTURE,      // handled, nothing new to show
    HEVC_DEC_BAD,             // bad packet: log it and drop it
    HEVC_DEC_STOP,            // bRunning cleared: drop the packet
    HEVC_DEC_CONCEALED,       // new picture with concealed damage, shown all the same
    HEVC_DEC_DONE             // HevcPlanarContinue: the packet is finished
};

void HevcPlanarInit(HevcPlanar *hp);
void HevcPlanarFree(HevcPlanar *hp);

// H.265 preparation of every packet: the marker probe of the first key video
// packet, and the size probe while the stream's size is unknown.
int HevcPlanarPrepare(HevcPlanar *hp, FFMpegContext *ctx, AVFrame *pFrame, AVPacket *pkt);

// Built-in decoder creation on the key video packet that decides it. 1 when
// it was created (the picture buffer must be re-made), else 0.
int HevcPlanarCreate(HevcPlanar *hp, FFMpegContext *ctx, const AVPacket *pkt);

// A video packet past the key-frame wait: the built-in decoder's first
// answer for it (HevcPlanarContinue gives the rest), or HEVC_DEC_FFMPEG when
// the packet is FFmpeg's. Damaged pictures are shown concealed once a clean
// picture has been shown (HevcSelect.cpp says what is withheld); *pWaitIframe
// is set when the stream must wait for the next key packet. Only key packets
// failing with a NAL or slice header error twice in a row stop the stream
// ("maybe codec changed"). A stream the decoder refuses goes to FFmpeg
// (hsDecoder 0) from this packet on when it is a key packet
// (HEVC_DEC_FFMPEG), else from the next key packet.
int HevcPlanarDecode(HevcPlanar *hp, FFMpegContext *ctx, const AVPacket *pkt, AVFrame *pFrame, int *pWaitIframe);

// The packet's next answer once the previous one has been handled (its
// picture shown): the packet's own picture comes out with the packet, and a
// packet holding several pictures shows them all. HEVC_DEC_DONE when the
// packet is finished.
int HevcPlanarContinue(HevcPlanar *hp, FFMpegContext *ctx, const AVPacket *pkt, AVFrame *pFrame, int *pWaitIframe);

// Before an FFmpeg decode: the packet to decode (pkt itself, or pkt with the
// held parameter sets in front), or null when pkt is held or dropped.
AVPacket *HevcPlanarFilter(HevcPlanar *hp, AVPacket *pkt);
// After an FFmpeg decode: the held parameter sets are spliced only once.
void HevcPlanarAfterFFmpeg(HevcPlanar *hp);

// Copies the latest built-in picture (nWidth x nHeight) into pYuv as I420:
// 8-bit samples as they are, deeper ones through pConv, the conversion
// FFmpeg's pictures of the same stream take (without pConv: rounded).
int HevcPlanarCopy(HevcPlanar *hp, uint8_t *pYuv, int nWidth, int nHeight, I420Output *pConv = NULL);

#endif
