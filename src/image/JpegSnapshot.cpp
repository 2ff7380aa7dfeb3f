// Snapshot writer for bottom-up BGR frames through the libjpeg compression
// API.

#include "image/JpegSnapshot.h"

#include <errno.h>
#include <setjmp.h>
#include <stdio.h>
#include <string.h>

#include <jpeglib.h>

#include "support/Log.h"
#include "support/Platform.h"

namespace {

// libjpeg's standard error manager ends the process on a fatal error (a full
// disk, say); this one jumps back into the writer instead, so a failed
// snapshot only fails the snapshot.
struct SnapshotError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    char szReason[JMSG_LENGTH_MAX];  // libjpeg's text for the fatal error
};

void SnapshotErrorExit(j_common_ptr cinfo)
{
    SnapshotError *err = (SnapshotError *)cinfo->err;
    (*cinfo->err->format_message)(cinfo, err->szReason);
    longjmp(err->jump, 1);
}

void SnapshotOutputMessage(j_common_ptr cinfo)
{
    char szMsg[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, szMsg);
    DebugPrint("JpegWriteBgrFile libjpeg: %s\n", szMsg);
}

}  // namespace

int JpegWriteBgrFile(const char *pPath, const unsigned char *pFrame, int nWidth, int nHeight,
                     int nBytesPerPixel)
{
    if (!pPath || !pFrame || nWidth < 1 || nHeight < 1 || nWidth > 65500 || nHeight > 65500 ||
        nBytesPerPixel < 3) {
        fprintf(stderr, "can't open %s\n", pPath ? pPath : "");
        return -1;
    }

    jpeg_compress_struct cinfo;
    SnapshotError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = SnapshotErrorExit;
    err.mgr.output_message = SnapshotOutputMessage;
    // Set before any jump can happen; volatile so its value survives one.
    FILE *volatile fp = NULL;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        if (fp)
            fclose(fp);
        FileDeleteRegular(pPath);
        DebugPrint("JpegWriteBgrFile %s failed (libjpeg: %s), partial file removed\n", pPath, err.szReason);
        return -1;
    }
    jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof(cinfo));

    fp = fopen(pPath, "wb");
    if (!fp) {
        fprintf(stderr, "can't open %s\n", pPath);
        jpeg_destroy_compress(&cinfo);
        return -1;
    }

    jpeg_stdio_dest(&cinfo, fp);
    cinfo.image_width = (JDIMENSION)nWidth;
    cinfo.image_height = (JDIMENSION)nHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 100, TRUE);
    jpeg_start_compress(&cinfo, TRUE);

    // One RGB row of our own (from libjpeg's image pool, released with the
    // compressor on every path): the caller's frame stays untouched.
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)((j_common_ptr)&cinfo, JPOOL_IMAGE,
                                                (JDIMENSION)nWidth * 3, 1);
    size_t nPitch = (size_t)nWidth * nBytesPerPixel;
    while (cinfo.next_scanline < cinfo.image_height) {
        // The frame is stored bottom row first: the JPEG's top row is the
        // last row in memory.
        const unsigned char *pSrc = pFrame + (size_t)(nHeight - 1 - (int)cinfo.next_scanline) * nPitch;
        JSAMPLE *pDst = row[0];
        for (int x = 0; x < nWidth; x++, pSrc += nBytesPerPixel, pDst += 3) {
            pDst[0] = pSrc[2];
            pDst[1] = pSrc[1];
            pDst[2] = pSrc[0];
        }
        jpeg_write_scanlines(&cinfo, row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);

    FILE *f = fp;
    fp = NULL;
    if (fclose(f) != 0) {
        int nErr = errno;
        FileDeleteRegular(pPath);
        DebugPrint("JpegWriteBgrFile %s: close failed (%s), partial file removed\n", pPath, strerror(nErr));
        return -1;
    }
    return 0;
}
