#ifndef IPCAMERA_TESTS_IMAGE_JPEGTESTUTIL_H
#define IPCAMERA_TESTS_IMAGE_JPEGTESTUTIL_H

// Helpers shared by the image tests: libjpeg-turbo decoding as the reference
// decoder, deterministic test pictures and PSNR.

#include <math.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <jpeglib.h>

struct DecodedJpeg {
    int nWidth = 0;
    int nHeight = 0;
    int nComponents = 0;
    std::vector<unsigned char> pixels;  // top row first, interleaved
};

struct TestJpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

inline void TestJpegErrorExit(j_common_ptr cinfo)
{
    longjmp(((TestJpegError *)cinfo->err)->jump, 1);
}

// Decodes with libjpeg into the given colour space (JCS_YCbCr keeps the
// coded samples, JCS_RGB converts). false when libjpeg rejects the data.
inline bool DecodeJpeg(const unsigned char *pData, size_t nLen, J_COLOR_SPACE space,
                       DecodedJpeg *pOut)
{
    jpeg_decompress_struct cinfo;
    TestJpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = TestJpegErrorExit;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, pData, (unsigned long)nLen);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = space;
    jpeg_start_decompress(&cinfo);
    pOut->nWidth = (int)cinfo.output_width;
    pOut->nHeight = (int)cinfo.output_height;
    pOut->nComponents = cinfo.output_components;
    size_t nPitch = (size_t)pOut->nWidth * pOut->nComponents;
    pOut->pixels.assign(nPitch * pOut->nHeight, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &pOut->pixels[cinfo.output_scanline * nPitch];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// A per-process file name in the build tree.
inline std::string TempJpegPath(const char *name)
{
    return std::string(IPCAMERA_BINARY_DIR) + "/test_jpeg_" + std::to_string(getpid()) + "_" + name;
}

inline bool ReadWholeFile(const std::string &path, std::vector<unsigned char> *pOut)
{
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp)
        return false;
    pOut->clear();
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0)
        pOut->insert(pOut->end(), buf, buf + n);
    fclose(fp);
    return true;
}

// A camera-like picture: smooth lighting, a few edges, fine texture and a
// little sensor noise. Deterministic. I420, no padding.
inline std::vector<unsigned char> MakeNaturalI420(int w, int h, uint32_t seed = 1)
{
    std::vector<unsigned char> f((size_t)w * h + 2 * (size_t)(w / 2) * (h / 2));
    uint32_t s = seed * 2654435761u + 12345;
    auto noise = [&s]() {
        s = s * 1664525u + 1013904223u;
        return (int)((s >> 24) & 7) - 3;
    };
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            double v = 90 + 60.0 * x / w + 30.0 * sin(y * 0.05) * cos(x * 0.03);
            if ((x - w / 3) * (x - w / 3) + (y - h / 2) * (y - h / 2) < (h / 4) * (h / 4))
                v += 50;  // a bright disc with a hard edge
            if (x > w * 2 / 3 && ((x / 4 + y / 4) & 1))
                v -= 25;  // fine checker texture
            int iv = (int)v + noise();
            f[(size_t)y * w + x] = (unsigned char)(iv < 0 ? 0 : iv > 255 ? 255 : iv);
        }
    unsigned char *u = &f[(size_t)w * h];
    unsigned char *vv = u + (size_t)(w / 2) * (h / 2);
    for (int y = 0; y < h / 2; y++)
        for (int x = 0; x < w / 2; x++) {
            u[(size_t)y * (w / 2) + x] = (unsigned char)(128 + 40 * sin(x * 0.02) + noise());
            vv[(size_t)y * (w / 2) + x] = (unsigned char)(128 + 30 * cos(y * 0.03) + noise());
        }
    return f;
}

// Deterministic noise bytes: pictures that compress badly and make FF bytes
// in the entropy-coded data likely.
inline std::vector<unsigned char> MakeNoise(size_t n, uint32_t seed)
{
    std::vector<unsigned char> v(n);
    uint32_t s = seed;
    for (unsigned char &b : v) {
        s = s * 1103515245u + 12345u;
        b = (unsigned char)(s >> 16);
    }
    return v;
}

inline double Psnr(const unsigned char *a, size_t nStrideA, const unsigned char *b,
                   size_t nStrideB, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; i++) {
        double d = (double)a[i * nStrideA] - (double)b[i * nStrideB];
        sum += d * d;
    }
    if (sum == 0)
        return 99.0;
    return 10.0 * log10(255.0 * 255.0 * n / sum);
}

#endif
