#ifndef IPCAMERA_TESTS_IMAGE_JPEGTESTUTIL_H
#define IPCAMERA_TESTS_IMAGE_JPEGTESTUTIL_H

// Shared by the image and camera tests: libjpeg-turbo as the reference
// decoder, deterministic test pictures and PSNR.

#include <math.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>

struct DecodedJpeg {
    int nWidth = 0, nHeight = 0;
    std::vector<unsigned char> pixels;  // top row first, 3 components interleaved
};

struct TestJpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

// Decodes into JCS_YCbCr (the coded samples) or JCS_RGB; false when libjpeg
// rejects the data.
inline bool DecodeJpeg(const unsigned char *pData, size_t nLen, J_COLOR_SPACE space, DecodedJpeg *pOut)
{
    jpeg_decompress_struct cinfo;
    TestJpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) { longjmp(((TestJpegError *)c->err)->jump, 1); };
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
    size_t nPitch = (size_t)pOut->nWidth * 3;
    pOut->pixels.assign(nPitch * pOut->nHeight, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &pOut->pixels[cinfo.output_scanline * nPitch];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

inline std::string TempJpegPath(const char *name)
{
    return std::string(IPCAMERA_BINARY_DIR) + "/test_jpeg_" + std::to_string(getpid()) + "_" + name;
}

inline bool ReadWholeFile(const std::string &path, std::vector<unsigned char> *pOut)
{
    std::ifstream f(path, std::ios::binary);
    pOut->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return f.is_open();
}

// A JPEG file decoded to RGB; false when it cannot be read or decoded.
inline bool DecodeJpegFile(const std::string &path, DecodedJpeg *pOut)
{
    std::vector<unsigned char> j;
    return ReadWholeFile(path, &j) && DecodeJpeg(j.data(), j.size(), JCS_RGB, pOut);
}

// Deterministic noise bytes: they compress badly and make FF bytes in the
// entropy-coded data likely.
inline std::vector<unsigned char> MakeNoise(size_t n, uint32_t seed)
{
    std::vector<unsigned char> v(n);
    for (unsigned char &b : v)
        b = (unsigned char)((seed = seed * 1103515245u + 12345u) >> 16);
    return v;
}

// A camera-like I420 picture (no padding): a gradient, a bright disc with a
// hard edge, a fine checker and a little noise.
inline std::vector<unsigned char> MakeNaturalI420(int w, int h, uint32_t seed = 1)
{
    std::vector<unsigned char> f = MakeNoise((size_t)w * h + 2 * (size_t)(w / 2) * (h / 2), seed);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            int v = 90 + 60 * x / w + (int)(30 * sin(y * 0.05)) + (f[(size_t)y * w + x] & 7) - 3;
            v += (x - w / 3) * (x - w / 3) + (y - h / 2) * (y - h / 2) < h * h / 16 ? 50 : 0;
            v -= x > w * 2 / 3 && ((x / 4 + y / 4) & 1) ? 25 : 0;
            f[(size_t)y * w + x] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
        }
    for (size_t i = (size_t)w * h; i < f.size(); i++)
        f[i] = (unsigned char)(128 + 40 * sin(i * 0.02) + (f[i] & 7) - 3);
    return f;
}

inline double Psnr(const unsigned char *a, size_t nStrideA, const unsigned char *b, size_t nStrideB, size_t n)
{
    double sum = 0;
    for (size_t i = 0; i < n; i++) {
        double d = (double)a[i * nStrideA] - (double)b[i * nStrideB];
        sum += d * d;
    }
    return sum == 0 ? 99.0 : 10.0 * log10(255.0 * 255.0 * n / sum);
}

#endif
