// Finishing an AVI file whose writes failed part way (a full disk): the
// muxer could neither write its index nor go back to fill in its sizes, so
// the file stops inside a chunk and still claims open-ended lists and no
// frames. Cutting it back to its last whole chunk and setting those fields
// in place needs no new disk space and gives players a short, complete file.

#include "record/AviRecorder.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Log.h"

namespace {

// RIFF sizes still at the muxer's placeholder: the list runs to the end.
const uint32_t kOpenSize = 0xFFFFFFFFu;
// The main header's total frames; a stream header's length and sample size.
enum { kTotalFramesOffset = 48, kStrhLength = 32, kStrhSampleSize = 44, kStrhSize = 48 };

uint32_t Le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

bool ReadAt(FILE *fp, int64_t nOff, unsigned char *p, size_t n)
{
    return fseeko(fp, (off_t)nOff, SEEK_SET) == 0 && fread(p, 1, n, fp) == n;
}

bool WriteLe32At(FILE *fp, int64_t nOff, uint32_t v)
{
    unsigned char le[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                           (unsigned char)(v >> 24)};
    return fseeko(fp, (off_t)nOff, SEEK_SET) == 0 && fwrite(le, 1, 4, fp) == 4;
}

// End of a chunk whose header sits at nPos with size field n, pad included.
int64_t ChunkEnd(int64_t nPos, uint32_t n)
{
    return nPos + 8 + (int64_t)n + (n & 1);
}

// Offset of the 'movi' list among the chunks of the RIFF at nRiff, or -1.
int64_t FindMovi(FILE *fp, int64_t nRiff, int64_t nFileSize)
{
    unsigned char h[12];
    for (int64_t nPos = nRiff + 12; nPos + 12 <= nFileSize;) {
        if (!ReadAt(fp, nPos, h, 12))
            return -1;
        if (memcmp(h, "LIST", 4) == 0 && memcmp(h + 8, "movi", 4) == 0)
            return nPos;
        uint32_t n = Le32(h + 4);
        if (n == kOpenSize)
            return -1;
        nPos = ChunkEnd(nPos, n);
    }
    return -1;
}

// Offset of the data of stream nStream's header (the 'strh' chunk of the
// nStream-th 'strl' list of 'hdrl'), or -1.
int64_t FindStreamHeader(FILE *fp, int nStream)
{
    unsigned char h[12];
    if (!ReadAt(fp, 12, h, 12) || memcmp(h, "LIST", 4) != 0 || memcmp(h + 8, "hdrl", 4) != 0)
        return -1;
    int64_t nHdrlEnd = ChunkEnd(12, Le32(h + 4));
    for (int64_t nPos = 24; nPos + 12 <= nHdrlEnd;) {
        if (!ReadAt(fp, nPos, h, 12))
            return -1;
        if (memcmp(h, "LIST", 4) == 0 && memcmp(h + 8, "strl", 4) == 0 && nStream-- == 0)
            return ReadAt(fp, nPos + 12, h, 8) && memcmp(h, "strh", 4) == 0 && Le32(h + 4) >= kStrhSize
                       ? nPos + 20
                       : -1;
        nPos = ChunkEnd(nPos, Le32(h + 4));
    }
    return -1;
}

}  // namespace

int FFMpegSaveAviFinishCut(const char *pPath)
{
    struct stat st;
    // Only a regular file can be trimmed; a FIFO would block the read-back.
    if (!pPath || stat(pPath, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    FILE *fp = fopen(pPath, "rb+");
    if (!fp)
        return -1;
    unsigned char h[12];
    if (fstat(fileno(fp), &st) != 0) {
        fclose(fp);
        return -1;
    }
    int64_t nFileSize = st.st_size;
    // Past 1 GiB the muxer closes each RIFF and opens an 'AVIX' one: the
    // cut is in the last, still open one.
    int64_t nRiff = 0;
    for (;;) {
        if (!ReadAt(fp, nRiff, h, 12) || memcmp(h, "RIFF", 4) != 0) {
            fclose(fp);
            return -1;
        }
        uint32_t n = Le32(h + 4);
        if (n == kOpenSize || ChunkEnd(nRiff, n) >= nFileSize)
            break;
        nRiff = ChunkEnd(nRiff, n);
    }
    int64_t nMovi = FindMovi(fp, nRiff, nFileSize);
    if (nMovi < 0) {
        fclose(fp);
        return -1;
    }
    // The chunks of the movi list that reached the file whole.
    int64_t nEnd = nMovi + 12;
    int nFrames = 0, nAudioChunks = 0;
    int64_t nAudioBytes = 0;
    while (nEnd + 8 <= nFileSize) {
        if (!ReadAt(fp, nEnd, h, 8))
            break;
        uint32_t n = Le32(h + 4);
        if (n == kOpenSize || nEnd + 8 + (int64_t)n > nFileSize)
            break;
        // Video is the first stream ("00dc" chunks), audio the second ("01wb").
        if (memcmp(h, "00d", 3) == 0)
            nFrames++;
        if (memcmp(h, "01wb", 4) == 0) {
            nAudioChunks++;
            nAudioBytes += n;
        }
        nEnd = ChunkEnd(nEnd, n);
    }
    bool bOk = fflush(fp) == 0 && ftruncate(fileno(fp), (off_t)nEnd) == 0 &&
               WriteLe32At(fp, nRiff + 4, (uint32_t)(nEnd - nRiff - 8)) &&
               WriteLe32At(fp, nMovi + 4, (uint32_t)(nEnd - nMovi - 8));
    // The lengths in the headers count the first RIFF only: the video's in
    // frames, the audio's in chunks or, for a fixed sample size, in samples.
    int64_t nVideo = FindStreamHeader(fp, 0), nAudio = FindStreamHeader(fp, 1);
    unsigned char sh[kStrhSize];
    if (bOk && nRiff == 0 && nVideo >= 0 && ReadAt(fp, nVideo, sh, 4) && memcmp(sh, "vids", 4) == 0)
        bOk = WriteLe32At(fp, kTotalFramesOffset, (uint32_t)nFrames) &&
              WriteLe32At(fp, nVideo + kStrhLength, (uint32_t)nFrames);
    if (bOk && nRiff == 0 && nAudio >= 0 && ReadAt(fp, nAudio, sh, kStrhSize) && memcmp(sh, "auds", 4) == 0) {
        uint32_t nSampleSize = Le32(sh + kStrhSampleSize);
        int64_t nLength = nSampleSize ? nAudioBytes / nSampleSize : nAudioChunks;
        bOk = WriteLe32At(fp, nAudio + kStrhLength, (uint32_t)nLength);
    }
    if (fclose(fp) != 0)
        bOk = false;
    if (!bOk) {
        DebugPrint("FFMpegSaveAviFinishCut %s: the cut file could not be finished", pPath);
        return -1;
    }
    return nFrames;
}
