/* Inverse DCT 32x32 and reconstruction for AVX-512 (the 10-bit 32x32
 * residual add measured no faster than AVX2's two halves per row). See
 * hevc_avx512.h for what the file's flags forbid. */
#if defined(__x86_64__) || defined(__i386__)
#include "hevc_avx512.h"

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

/* Inverse DCT 32x32 with one 32-column row per register, by even/odd
 * halves: pair (M[k][.], M[k+2][.]) rows of the same parity; the even rows of
 * the matrix are symmetric and the odd rows antisymmetric about the middle,
 * so E + O gives output i and E - O output 31 - i. Only the pairs up to the
 * last non-zero row (vertical pass) or column (horizontal pass) are summed. */
template <int BitDepth> void Idct32Avx512(int16_t *psCoeffs)
{
    const __m512i vZero = _mm512_setzero_si512();
    __m512i vCols = vZero;
    int iLastRow = -1;
    for (int y = 0; y < 32; y++) {
        const __m512i v = _mm512_loadu_si512(psCoeffs + 32 * y);
        vCols = _mm512_or_si512(vCols, v);
        if (_mm512_test_epi16_mask(v, v))
            iLastRow = y;
    }
    if (iLastRow < 0)
        return;
    const int iLastCol = 31 - __builtin_clz((unsigned)_mm512_test_epi16_mask(vCols, vCols));
    const int32_t(*paiPairs)[16] = g_stHevcIdct32Pairs.aai;

    /* Vertical: (row k, row k+2) interleaved, 4 column sums per lane. */
    alignas(64) int16_t asTmp[32 * 32];
    {
        const int iEven = (iLastRow + 4) >> 2, iOdd = (iLastRow + 3) >> 2;
        __m512i avLo[16], avHi[16];
        auto fnPair = [&](int i, int k) {
            const __m512i r0 = _mm512_loadu_si512(psCoeffs + 32 * k), r1 = _mm512_loadu_si512(psCoeffs + 32 * (k + 2));
            avLo[i] = _mm512_unpacklo_epi16(r0, r1);
            avHi[i] = _mm512_unpackhi_epi16(r0, r1);
        };
        for (int p = 0; p < iEven; p++)
            fnPair(p, 4 * p);
        for (int p = 0; p < iOdd; p++)
            fnPair(8 + p, 4 * p + 1);
        const __m512i vRound = _mm512_set1_epi32(64);
        for (int y = 0; y < 16; y++) {
            __m512i e0 = vRound, e1 = vRound, o0 = vZero, o1 = vZero;
            for (int p = 0; p < iEven; p++) {
                const __m512i m = _mm512_set1_epi32(paiPairs[p][y]);
                e0 = _mm512_add_epi32(e0, _mm512_madd_epi16(avLo[p], m));
                e1 = _mm512_add_epi32(e1, _mm512_madd_epi16(avHi[p], m));
            }
            for (int p = 8; p < 8 + iOdd; p++) {
                const __m512i m = _mm512_set1_epi32(paiPairs[p][y]);
                o0 = _mm512_add_epi32(o0, _mm512_madd_epi16(avLo[p], m));
                o1 = _mm512_add_epi32(o1, _mm512_madd_epi16(avHi[p], m));
            }
            _mm512_store_si512(asTmp + 32 * y, _mm512_packs_epi32(_mm512_srai_epi32(_mm512_add_epi32(e0, o0), 7),
                                                                  _mm512_srai_epi32(_mm512_add_epi32(e1, o1), 7)));
            _mm512_store_si512(asTmp + 32 * (31 - y), _mm512_packs_epi32(_mm512_srai_epi32(_mm512_sub_epi32(e0, o0), 7),
                                                                         _mm512_srai_epi32(_mm512_sub_epi32(e1, o1), 7)));
        }
    }

    /* Horizontal: each row's (g[k], g[k+2]) pairs gathered by one vpermw
     * (even pairs in dwords 0-7, odd ones in 8-15), broadcast against the
     * matrix pairs of outputs 0..15. */
    constexpr int iShift = 20 - BitDepth;
    const int iEven = (iLastCol + 4) >> 2, iOdd = (iLastCol + 3) >> 2;
    alignas(64) static const uint16_t s_ausGather[32] = {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30,
                                                         1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31};
    const __m512i vGather = _mm512_load_si512(s_ausGather);
    const __m256i vReverse = _mm256_setr_epi16(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i vRound = _mm512_set1_epi32(1 << (iShift - 1));
    for (int y = 0; y < 32; y++) {
        alignas(64) int32_t aiPairs[16];
        _mm512_store_si512(aiPairs, _mm512_permutexvar_epi16(vGather, _mm512_load_si512(asTmp + 32 * y)));
        __m512i e = vRound, o = vZero;
        for (int p = 0; p < iEven; p++)
            e = _mm512_add_epi32(e, _mm512_madd_epi16(_mm512_set1_epi32(aiPairs[p]), _mm512_load_si512(paiPairs[p])));
        for (int p = 8; p < 8 + iOdd; p++)
            o = _mm512_add_epi32(o, _mm512_madd_epi16(_mm512_set1_epi32(aiPairs[p]), _mm512_load_si512(paiPairs[p])));
        const __m256i vLeft = _mm512_cvtsepi32_epi16(_mm512_srai_epi32(_mm512_add_epi32(e, o), iShift));
        const __m256i vRight = _mm512_cvtsepi32_epi16(_mm512_srai_epi32(_mm512_sub_epi32(e, o), iShift));
        _mm256_storeu_si256((__m256i *)(psCoeffs + 32 * y), vLeft);
        _mm256_storeu_si256((__m256i *)(psCoeffs + 32 * y + 16), _mm256_permutexvar_epi16(vReverse, vRight));
    }
}

} /* namespace */

template <> void HevcTransformInitAvx512<8>(HevcDsp8 *pstDsp)
{
    pstDsp->pfnIdct[3] = Idct32Avx512<8>;
    pstDsp->pfnAddResidual[3] = AddResidual32Avx512_8;
}

template <> void HevcTransformInitAvx512<10>(HevcDsp10 *pstDsp)
{
    pstDsp->pfnIdct[3] = Idct32Avx512<10>;
}

#endif
