// Milliseconds per 1920x1080 snapshot at quality 100: the library's own
// encoder (I420 in, 4:4:4 JFIF out) against libjpeg-turbo given the same
// picture as 4:4:4 YCbCr (the same output format) and as RGB with its
// default 4:2:0 (what the BGR snapshot writer produces).
//
// Usage: bench_snapshot [iterations]   (default 30)

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

#include <jpeglib.h>

#include "image/JpegEncoder.h"

namespace {

const int kWidth = 1920, kHeight = 1080;

double NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// A camera-like I420 picture: smooth lighting, edges, texture and noise.
std::vector<unsigned char> MakePicture()
{
    const int w = kWidth, h = kHeight;
    std::vector<unsigned char> f((size_t)w * h * 3 / 2);
    uint32_t s = 1;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            s = s * 1664525u + 1013904223u;
            double v = 90 + 60.0 * x / w + 30.0 * sin(y * 0.05) * cos(x * 0.03) + (int)((s >> 24) & 7) - 3;
            if ((x - w / 3) * (x - w / 3) + (y - h / 2) * (y - h / 2) < (h / 4) * (h / 4))
                v += 50;
            if (x > w * 2 / 3 && ((x / 4 + y / 4) & 1))
                v -= 25;
            f[(size_t)y * w + x] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    unsigned char *u = &f[(size_t)w * h], *v = u + (size_t)w * h / 4;
    for (int y = 0; y < h / 2; y++)
        for (int x = 0; x < w / 2; x++) {
            u[(size_t)y * (w / 2) + x] = (unsigned char)(128 + 40 * sin(x * 0.02));
            v[(size_t)y * (w / 2) + x] = (unsigned char)(128 + 30 * cos(y * 0.03));
        }
    return f;
}

// One libjpeg-turbo compression into memory from interleaved rows;
// returns the output size.
unsigned long LibjpegEncode(const unsigned char *pRows, J_COLOR_SPACE space, bool b444)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *mem = NULL;
    unsigned long len = 0;
    jpeg_mem_dest(&cinfo, &mem, &len);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 100, TRUE);
    if (b444)
        for (int c = 0; c < 3; c++)
            cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = (JSAMPROW)(pRows + (size_t)cinfo.next_scanline * kWidth * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    free(mem);
    return len;
}

}  // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 30;
    if (n < 1)
        n = 1;
    std::vector<unsigned char> pic = MakePicture();
    const unsigned char *y = pic.data(), *u = y + kWidth * kHeight, *v = u + kWidth * kHeight / 4;

    // The same picture as interleaved YCbCr 4:4:4 and as RGB (BT.601).
    std::vector<unsigned char> ycc((size_t)kWidth * kHeight * 3), rgb(ycc.size());
    for (int r = 0; r < kHeight; r++)
        for (int c = 0; c < kWidth; c++) {
            size_t i = (size_t)r * kWidth + c, k = (size_t)(r / 2) * (kWidth / 2) + c / 2;
            double Y = y[i], Cb = u[k] - 128.0, Cr = v[k] - 128.0;
            ycc[i * 3] = y[i];
            ycc[i * 3 + 1] = u[k];
            ycc[i * 3 + 2] = v[k];
            double px[3] = {Y + 1.402 * Cr, Y - 0.344136 * Cb - 0.714136 * Cr, Y + 1.772 * Cb};
            for (int j = 0; j < 3; j++)
                rgb[i * 3 + j] = (unsigned char)(px[j] < 0 ? 0 : px[j] > 255 ? 255 : px[j] + 0.5);
        }

    std::vector<unsigned char> out(JpegEncodeWorstCase(kWidth, kHeight));
    int ownLen = 0;
    JpegEncodeI420(y, u, v, kWidth, kHeight, 100, kWidth, out.data(), (int)out.size(), &ownLen);  // warm-up
    double t0 = NowMs();
    for (int i = 0; i < n; i++)
        JpegEncodeI420(y, u, v, kWidth, kHeight, 100, kWidth, out.data(), (int)out.size(), &ownLen);
    double own = (NowMs() - t0) / n;

    unsigned long lenYcc = LibjpegEncode(ycc.data(), JCS_YCbCr, true);
    t0 = NowMs();
    for (int i = 0; i < n; i++)
        lenYcc = LibjpegEncode(ycc.data(), JCS_YCbCr, true);
    double turbo444 = (NowMs() - t0) / n;

    unsigned long lenRgb = LibjpegEncode(rgb.data(), JCS_RGB, false);
    t0 = NowMs();
    for (int i = 0; i < n; i++)
        lenRgb = LibjpegEncode(rgb.data(), JCS_RGB, false);
    double turboRgb = (NowMs() - t0) / n;

    printf("snapshot 1920x1080 quality 100, %d iterations each\n", n);
    printf("  own encoder (I420 -> 4:4:4)            %8.2f ms/picture  %8d bytes\n", own, ownLen);
    printf("  libjpeg-turbo (YCbCr 4:4:4 -> 4:4:4)   %8.2f ms/picture  %8lu bytes\n", turbo444, lenYcc);
    printf("  libjpeg-turbo (RGB -> default 4:2:0)   %8.2f ms/picture  %8lu bytes\n", turboRgb, lenRgb);
    printf("  own / libjpeg-turbo 4:4:4: %.2fx\n", own / turbo444);
    return 0;
}
