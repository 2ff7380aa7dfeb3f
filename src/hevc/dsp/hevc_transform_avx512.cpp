/* Reconstruction for AVX-512: 8-bit 32x32 residual add, two rows per
 * register (10-bit rows measured no faster than AVX2's two halves). Built
 * with the AVX-512 flags (see hevc_dsp_internal.h for what that forbids). */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

/* GCC 12 takes the deliberately undefined pass-through operand inside the
 * AVX-512 intrinsics for an uninitialised read. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "hevc_dsp_internal.h"

namespace {

/* 8-bit: two rows widened, added and packed at once; the in-lane packing
 * leaves quadwords row0 row1 row0 row1 ..., which one permute sorts. */
void AddResidual32Avx512_8(uint8_t *pDst, ptrdiff_t iStride, const int16_t *psRes)
{
    const __m512i vOrder = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    for (int y = 0; y < 32; y += 2, pDst += 2 * iStride, psRes += 64) {
        const __m512i a = _mm512_adds_epi16(_mm512_cvtepu8_epi16(_mm256_loadu_si256((const __m256i *)pDst)),
                                            _mm512_loadu_si512(psRes));
        const __m512i b = _mm512_adds_epi16(_mm512_cvtepu8_epi16(_mm256_loadu_si256((const __m256i *)(pDst + iStride))),
                                            _mm512_loadu_si512(psRes + 32));
        const __m512i v = _mm512_permutexvar_epi64(vOrder, _mm512_packus_epi16(a, b));
        _mm256_storeu_si256((__m256i *)pDst, _mm512_castsi512_si256(v));
        _mm256_storeu_si256((__m256i *)(pDst + iStride), _mm512_extracti64x4_epi64(v, 1));
    }
}

} /* namespace */

template <> void HevcTransformInitAvx512<8>(HevcDsp8 *pstDsp)
{
    pstDsp->pfnAddResidual[3] = AddResidual32Avx512_8;
}

#endif
