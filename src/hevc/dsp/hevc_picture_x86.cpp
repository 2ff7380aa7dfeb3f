/* Border padding for SSE4.1 and AVX2: each side of a row is filled with
 * whole-vector stores, the last one overlapping the one before so nothing
 * beyond the border is written. Results equal hevc_picture.cpp. */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "hevc_dsp_internal.h"

#define HEVC_SSE41 __attribute__((target("sse4.1")))
#define HEVC_AVX2 __attribute__((target("avx2")))

namespace {

/* iBytes bytes at p set to the vector's repeated value (iBytes >= 16). */
HEVC_SSE41 inline void Fill16(uint8_t *p, int iBytes, __m128i v)
{
    for (int i = 0; i + 16 < iBytes; i += 16)
        _mm_storeu_si128((__m128i *)(p + i), v);
    _mm_storeu_si128((__m128i *)(p + iBytes - 16), v);
}

HEVC_AVX2 inline void Fill32(uint8_t *p, int iBytes, __m256i v)
{
    if (iBytes < 32) {
        Fill16(p, iBytes, _mm256_castsi256_si128(v));
        return;
    }
    for (int i = 0; i + 32 < iBytes; i += 32)
        _mm256_storeu_si256((__m256i *)(p + i), v);
    _mm256_storeu_si256((__m256i *)(p + iBytes - 32), v);
}

template <typename Pixel> HEVC_SSE41 inline __m128i Splat16(Pixel v)
{
    return sizeof(Pixel) == 1 ? _mm_set1_epi8((char)v) : _mm_set1_epi16((short)v);
}

template <typename Pixel> HEVC_AVX2 inline __m256i Splat32(Pixel v)
{
    return sizeof(Pixel) == 1 ? _mm256_set1_epi8((char)v) : _mm256_set1_epi16((short)v);
}

/* Borders narrower than a vector go sample by sample. */
template <typename Pixel> inline void PadRowScalar(Pixel *pRow, int iWidth, int iPad)
{
    const Pixel l = pRow[0], r = pRow[iWidth - 1];
    for (int x = 1; x <= iPad; x++) {
        pRow[-x] = l;
        pRow[iWidth - 1 + x] = r;
    }
}

/* Both sides of one row, whole vectors (the pad is 16 bytes or more). */
template <typename Pixel> HEVC_SSE41 void SidesSse41(Pixel *pRow, int iWidth, int iPad)
{
    Fill16((uint8_t *)(pRow - iPad), iPad * (int)sizeof(Pixel), Splat16<Pixel>(pRow[0]));
    Fill16((uint8_t *)(pRow + iWidth), iPad * (int)sizeof(Pixel), Splat16<Pixel>(pRow[iWidth - 1]));
}

template <typename Pixel> HEVC_AVX2 void SidesAvx2(Pixel *pRow, int iWidth, int iPad)
{
    Fill32((uint8_t *)(pRow - iPad), iPad * (int)sizeof(Pixel), Splat32<Pixel>(pRow[0]));
    Fill32((uint8_t *)(pRow + iWidth), iPad * (int)sizeof(Pixel), Splat32<Pixel>(pRow[iWidth - 1]));
}

template <int BitDepth, void (*Sides)(typename HevcDspTraits<BitDepth>::Pixel *, int, int)>
void PadRows(typename HevcDspTraits<BitDepth>::Pixel *pRow, ptrdiff_t iStride, int iWidth, int iRows, int iPad)
{
    for (int y = 0; y < iRows; y++, pRow += iStride) {
        if (iPad * (int)sizeof(*pRow) < 16)
            PadRowScalar(pRow, iWidth, iPad);
        else
            Sides(pRow, iWidth, iPad);
    }
}

} /* namespace */

template <int BitDepth> void HevcPictureInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnPadRows = PadRows<BitDepth, SidesSse41<typename HevcDspTraits<BitDepth>::Pixel>>;
}
template void HevcPictureInitSse41<8>(HevcDsp8 *);
template void HevcPictureInitSse41<10>(HevcDsp10 *);

template <int BitDepth> void HevcPictureInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnPadRows = PadRows<BitDepth, SidesAvx2<typename HevcDspTraits<BitDepth>::Pixel>>;
}
template void HevcPictureInitAvx2<8>(HevcDsp8 *);
template void HevcPictureInitAvx2<10>(HevcDsp10 *);

#endif
