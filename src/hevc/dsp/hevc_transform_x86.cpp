/* Inverse DCT and reconstruction for SSE4.1 and AVX2. Each routine carries
 * its target attribute, so the file builds without per-file flags and the
 * code only runs where HevcDspCpuFlags() found the instructions. Results
 * equal the C references bit for bit (same shifts, same 16-bit saturation). */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <string.h>

#include "hevc_dsp_internal.h"
#include "hevc_x86_lines.h"

#define HEVC_SSE41 __attribute__((target("sse4.1")))
#define HEVC_AVX2 __attribute__((target("avx2")))

namespace {

/* ---- reconstruction (SSE4.1) ---- */

template <int BitDepth, int Log2>
HEVC_SSE41 void AddResidualSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                 const int16_t *psRes)
{
    constexpr int N = 1 << Log2;
    if constexpr (BitDepth == 8) {
        const __m128i vZero = _mm_setzero_si128();
        for (int y = 0; y < N; y++, pDst += iStride, psRes += N) {
            if constexpr (N == 4) {
                int32_t iPix;
                memcpy(&iPix, pDst, 4);
                __m128i p = _mm_unpacklo_epi8(_mm_cvtsi32_si128(iPix), vZero);
                __m128i r = _mm_loadl_epi64((const __m128i *)psRes);
                iPix = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_adds_epi16(p, r), vZero));
                memcpy(pDst, &iPix, 4);
            } else if constexpr (N == 8) {
                __m128i p = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)pDst), vZero);
                __m128i r = _mm_loadu_si128((const __m128i *)psRes);
                _mm_storel_epi64((__m128i *)pDst, _mm_packus_epi16(_mm_adds_epi16(p, r), vZero));
            } else {
                for (int x = 0; x < N; x += 16) {
                    __m128i p = _mm_loadu_si128((const __m128i *)(pDst + x));
                    __m128i r0 = _mm_loadu_si128((const __m128i *)(psRes + x));
                    __m128i r1 = _mm_loadu_si128((const __m128i *)(psRes + x + 8));
                    __m128i lo = _mm_adds_epi16(_mm_unpacklo_epi8(p, vZero), r0);
                    __m128i hi = _mm_adds_epi16(_mm_unpackhi_epi8(p, vZero), r1);
                    _mm_storeu_si128((__m128i *)(pDst + x), _mm_packus_epi16(lo, hi));
                }
            }
        }
    } else {
        const __m128i vMax = _mm_set1_epi16((1 << BitDepth) - 1), vZero = _mm_setzero_si128();
        for (int y = 0; y < N; y++, pDst += iStride, psRes += N) {
            if constexpr (N == 4) {
                __m128i p = _mm_loadl_epi64((const __m128i *)pDst);
                __m128i r = _mm_loadl_epi64((const __m128i *)psRes);
                __m128i v = _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(p, r), vZero), vMax);
                _mm_storel_epi64((__m128i *)pDst, v);
            } else {
                for (int x = 0; x < N; x += 8) {
                    __m128i p = _mm_loadu_si128((const __m128i *)(pDst + x));
                    __m128i r = _mm_loadu_si128((const __m128i *)(psRes + x));
                    __m128i v = _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(p, r), vZero), vMax);
                    _mm_storeu_si128((__m128i *)(pDst + x), v);
                }
            }
        }
    }
}

/* DC-only block: the one residual value of a lone DC coefficient (as
 * IdctDcAdd in hevc_transform.cpp) added to every sample. */
template <int BitDepth, int Log2>
HEVC_SSE41 void IdctDcAddSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride, int sCoeff)
{
    constexpr int N = 1 << Log2, iShift = 20 - BitDepth;
    int iMid = (64 * sCoeff + 64) >> 7;
    iMid = iMid < -32768 ? -32768 : iMid > 32767 ? 32767 : iMid;
    const __m128i vRes = _mm_set1_epi16((short)((64 * iMid + (1 << (iShift - 1))) >> iShift));
    const __m128i vZero = _mm_setzero_si128(), vMax = _mm_set1_epi16((1 << BitDepth) - 1);
    for (int y = 0; y < N; y++, pDst += iStride) {
        if constexpr (N == 4) {
            HevcStoreLine<4>(pDst, _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(HevcLoadLine<4>(pDst), vRes), vZero), vMax));
        } else {
            for (int x = 0; x < N; x += 8)
                HevcStoreLine<8>(pDst + x,
                                 _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(HevcLoadLine<8>(pDst + x), vRes), vZero), vMax));
        }
    }
}

/* ---- scaling (SSE4.1) ----
 * 32-bit lanes are exact while |level| * m * levelScale << (qP / 6) stays
 * below 2^31; the block's largest level decides, and blocks that could
 * overflow go to the C reference (rare: very large levels at high qP). */
/* Whether the SIMD scaling goes on, from the 16-bit lanes of the block's
 * |level| maxima (abs(-32768) reads as 32768): not for an all-zero block,
 * nor for one the C reference had to do because a product could pass 31
 * bits. */
template <int BitDepth>
HEVC_SSE41 inline bool DequantInRange(__m128i vMax, int16_t *psCoeffs, int iLog2Size, int iQp, const uint8_t *pucScale)
{
    vMax = _mm_max_epu16(vMax, _mm_srli_si128(vMax, 8));
    vMax = _mm_max_epu16(vMax, _mm_srli_si128(vMax, 4));
    vMax = _mm_max_epu16(vMax, _mm_srli_si128(vMax, 2));
    const int64_t llMaxAbs = (uint16_t)_mm_cvtsi128_si32(vMax);
    const int64_t llScale = (int64_t)g_aucHevcLevelScale[iQp % 6] << (iQp / 6);
    if (llMaxAbs == 0)
        return false;
    if (llMaxAbs * 255 * llScale < ((int64_t)1 << 31) - ((int64_t)1 << (BitDepth + iLog2Size - 5)))
        return true;
    HevcDequantC<BitDepth>(psCoeffs, iLog2Size, iQp, pucScale);
    return false;
}

template <int BitDepth>
HEVC_SSE41 void DequantSse41(int16_t *psCoeffs, int iLog2Size, int iQp, const uint8_t *pucScale)
{
    const int iCount = 1 << (2 * iLog2Size);
    const int iBdShift = BitDepth + iLog2Size - 5;
    const int64_t llScale = (int64_t)g_aucHevcLevelScale[iQp % 6] << (iQp / 6);
    __m128i vMax = _mm_setzero_si128();
    for (int i = 0; i < iCount; i += 8)
        vMax = _mm_max_epu16(vMax, _mm_abs_epi16(_mm_loadu_si128((const __m128i *)(psCoeffs + i))));
    if (!DequantInRange<BitDepth>(vMax, psCoeffs, iLog2Size, iQp, pucScale))
        return;
    const __m128i vRound = _mm_set1_epi32(1 << (iBdShift - 1));
    const __m128i vShift = _mm_cvtsi32_si128(iBdShift);
    const __m128i vScale = _mm_set1_epi32((int)llScale);
    const __m128i vFlat = _mm_set1_epi32((int)(llScale * 16));
    for (int i = 0; i < iCount; i += 4) {
        __m128i c = _mm_cvtepi16_epi32(_mm_loadl_epi64((const __m128i *)(psCoeffs + i)));
        __m128i f = vFlat;
        if (pucScale) {
            int32_t iM;
            memcpy(&iM, pucScale + i, 4);
            f = _mm_mullo_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(iM)), vScale);
        }
        __m128i v = _mm_sra_epi32(_mm_add_epi32(_mm_mullo_epi32(c, f), vRound), vShift);
        _mm_storel_epi64((__m128i *)(psCoeffs + i), _mm_packs_epi32(v, v));
    }
}

/* Transform skip: with k = shift - tsShift = 15 - BitDepth - log2 >= 0,
 * ((c << tsShift) + rnd) >> shift is (c + (1 << (k - 1))) >> k, which
 * _mm_mulhrs_epi16 by 1 << (15 - k) computes exactly; k == 0 leaves c. */
template <int BitDepth, int Log2> HEVC_SSE41 void TransformSkipSse41(int16_t *psCoeffs)
{
    constexpr int N = 1 << Log2, k = 15 - BitDepth - Log2;
    static_assert(k >= 0 && k < 15, "shift within 16 bits");
    if constexpr (k > 0) {
        const __m128i vMul = _mm_set1_epi16((short)(1 << (15 - k)));
        for (int i = 0; i < N * N; i += 8)
            _mm_storeu_si128((__m128i *)(psCoeffs + i),
                             _mm_mulhrs_epi16(_mm_loadu_si128((const __m128i *)(psCoeffs + i)), vMul));
    }
}

/* ---- 4x4 inverse DST / DCT (SSE4.1) ----
 * Stage 1 takes coefficient rows in pairs, (c[k][x], c[k+1][x]), against
 * (M[k][y], M[k+1][y]); stage 2 takes (g[y][k], g[y][k+1]) against
 * (M[k][x], M[k+1][x]). */
template <int BitDepth, bool Dst> HEVC_SSE41 void Inv4x4Sse41(int16_t *psCoeffs)
{
    auto M = [](int k, int n) -> int { return Dst ? g_acHevcDstMatrix[k][n] : g_acHevcDctMatrix[k * 8][n]; };
    const __m128i r01 = _mm_loadu_si128((const __m128i *)psCoeffs);
    const __m128i r23 = _mm_loadu_si128((const __m128i *)(psCoeffs + 8));
    if (_mm_testz_si128(_mm_or_si128(r01, r23), _mm_or_si128(r01, r23)))
        return;
    const __m128i p01 = _mm_unpacklo_epi16(r01, _mm_srli_si128(r01, 8)); /* (c0[x], c1[x]) */
    const __m128i p23 = _mm_unpacklo_epi16(r23, _mm_srli_si128(r23, 8));
    const __m128i v64 = _mm_set1_epi32(64);
    __m128i g[4];
    for (int y = 0; y < 4; y++) {
        __m128i a = _mm_madd_epi16(p01, _mm_set1_epi32((int)((uint16_t)M(0, y) | (uint32_t)(uint16_t)M(1, y) << 16)));
        __m128i b = _mm_madd_epi16(p23, _mm_set1_epi32((int)((uint16_t)M(2, y) | (uint32_t)(uint16_t)M(3, y) << 16)));
        g[y] = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(a, b), v64), 7);
    }
    /* rows of g, saturated to 16 bits */
    const __m128i g01 = _mm_packs_epi32(g[0], g[1]), g23 = _mm_packs_epi32(g[2], g[3]);
    const __m128i vM01 = _mm_setr_epi16((short)M(0, 0), (short)M(1, 0), (short)M(0, 1), (short)M(1, 1),
                                        (short)M(0, 2), (short)M(1, 2), (short)M(0, 3), (short)M(1, 3));
    const __m128i vM23 = _mm_setr_epi16((short)M(2, 0), (short)M(3, 0), (short)M(2, 1), (short)M(3, 1),
                                        (short)M(2, 2), (short)M(3, 2), (short)M(2, 3), (short)M(3, 3));
    constexpr int iShift = 20 - BitDepth;
    const __m128i vRound = _mm_set1_epi32(1 << (iShift - 1));
    __m128i r[4];
    for (int y = 0; y < 4; y++) {
        const __m128i gRow = y < 2 ? g01 : g23;
        const int iLane = (y & 1) * 2; /* 32-bit lane of (g[y][0], g[y][1]) */
        __m128i vPair01, vPair23;
        if (iLane == 0) {
            vPair01 = _mm_shuffle_epi32(gRow, 0x00);
            vPair23 = _mm_shuffle_epi32(gRow, 0x55);
        } else {
            vPair01 = _mm_shuffle_epi32(gRow, 0xAA);
            vPair23 = _mm_shuffle_epi32(gRow, 0xFF);
        }
        __m128i v = _mm_add_epi32(_mm_madd_epi16(vPair01, vM01), _mm_madd_epi16(vPair23, vM23));
        r[y] = _mm_srai_epi32(_mm_add_epi32(v, vRound), iShift);
    }
    _mm_storeu_si128((__m128i *)psCoeffs, _mm_packs_epi32(r[0], r[1]));
    _mm_storeu_si128((__m128i *)(psCoeffs + 8), _mm_packs_epi32(r[2], r[3]));
}

/* ---- reconstruction and scaling (AVX2), 16 samples / 8 levels per step ---- */

template <int BitDepth, int Log2>
HEVC_AVX2 void AddResidualAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                               const int16_t *psRes)
{
    constexpr int N = 1 << Log2;
    const __m256i vZero = _mm256_setzero_si256(), vMax = _mm256_set1_epi16((1 << BitDepth) - 1);
    for (int y = 0; y < N; y++, pDst += iStride, psRes += N) {
        if constexpr (BitDepth == 8 && N == 32) {
            /* packus works per 128-bit lane: quadwords come out as lo0 hi0 lo1 hi1 */
            const __m256i p = _mm256_loadu_si256((const __m256i *)pDst);
            __m256i lo = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(p));
            __m256i hi = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(p, 1));
            lo = _mm256_adds_epi16(lo, _mm256_loadu_si256((const __m256i *)psRes));
            hi = _mm256_adds_epi16(hi, _mm256_loadu_si256((const __m256i *)(psRes + 16)));
            _mm256_storeu_si256((__m256i *)pDst, _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8));
        } else if constexpr (BitDepth == 8) {
            __m256i v = _mm256_cvtepu8_epi16(_mm_loadu_si128((const __m128i *)pDst));
            v = _mm256_adds_epi16(v, _mm256_loadu_si256((const __m256i *)psRes));
            _mm_storeu_si128((__m128i *)pDst, _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
        } else {
            for (int x = 0; x < N; x += 16) {
                __m256i v = _mm256_adds_epi16(_mm256_loadu_si256((const __m256i *)(pDst + x)),
                                              _mm256_loadu_si256((const __m256i *)(psRes + x)));
                _mm256_storeu_si256((__m256i *)(pDst + x), _mm256_min_epi16(_mm256_max_epi16(v, vZero), vMax));
            }
        }
    }
}

template <int BitDepth>
HEVC_AVX2 void DequantAvx2(int16_t *psCoeffs, int iLog2Size, int iQp, const uint8_t *pucScale)
{
    const int iCount = 1 << (2 * iLog2Size);
    const int iBdShift = BitDepth + iLog2Size - 5;
    const int64_t llScale = (int64_t)g_aucHevcLevelScale[iQp % 6] << (iQp / 6);
    __m256i vMax = _mm256_setzero_si256();
    for (int i = 0; i < iCount; i += 16)
        vMax = _mm256_max_epu16(vMax, _mm256_abs_epi16(_mm256_loadu_si256((const __m256i *)(psCoeffs + i))));
    if (!DequantInRange<BitDepth>(_mm_max_epu16(_mm256_castsi256_si128(vMax), _mm256_extracti128_si256(vMax, 1)),
                                  psCoeffs, iLog2Size, iQp, pucScale))
        return;
    const __m256i vRound = _mm256_set1_epi32(1 << (iBdShift - 1)), vScale = _mm256_set1_epi32((int)llScale);
    const __m128i vShift = _mm_cvtsi32_si128(iBdShift);
    const __m256i vFlat = _mm256_set1_epi32((int)(llScale * 16));
    for (int i = 0; i < iCount; i += 8) {
        const __m256i c = _mm256_cvtepi16_epi32(_mm_loadu_si128((const __m128i *)(psCoeffs + i)));
        const __m256i f = pucScale ? _mm256_mullo_epi32(_mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *)(pucScale + i))), vScale) : vFlat;
        const __m256i v = _mm256_sra_epi32(_mm256_add_epi32(_mm256_mullo_epi32(c, f), vRound), vShift);
        _mm_storeu_si128((__m128i *)(psCoeffs + i), _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
    }
}

/* ---- inverse DCT 8/16/32 (AVX2) ----
 * Both stages are sums of products of coefficient pairs: vpmaddwd on
 * (a[k], a[k+1]) against (M[k][i], M[k+1][i]) gives 8 column sums per
 * instruction. Rows beyond the last non-zero coefficient row and columns
 * beyond the last non-zero column contribute nothing and are skipped. */

/* s_aaiPair[N][k/2][i] = M_N[k][i] | M_N[k+1][i] << 16 */
struct PairTables {
    int32_t ai8[4][8];
    int32_t ai16[8][16];
    int32_t ai32[16][32];
};

PairTables BuildPairs()
{
    PairTables t;
    for (int k = 0; k < 32; k += 2)
        for (int i = 0; i < 32; i++) {
            auto pair = [&](int iStep) {
                return (int32_t)((uint16_t)(int16_t)g_acHevcDctMatrix[k * iStep][i] |
                                 ((uint32_t)(uint16_t)(int16_t)g_acHevcDctMatrix[(k + 1) * iStep][i] << 16));
            };
            if (k < 8 && i < 8)
                t.ai8[k / 2][i] = pair(4);
            if (k < 16 && i < 16)
                t.ai16[k / 2][i] = pair(2);
            t.ai32[k / 2][i] = pair(1);
        }
    return t;
}

const PairTables s_stPairs = BuildPairs();

template <int N> inline const int32_t *PairRow(int iPair)
{
    if constexpr (N == 8)
        return s_stPairs.ai8[iPair];
    else if constexpr (N == 16)
        return s_stPairs.ai16[iPair];
    else
        return s_stPairs.ai32[iPair];
}

/* Last row and column holding a non-zero coefficient (row -1 when none),
 * found 16 coefficients per step; the transform then skips the empty rows
 * and columns (residuals mostly sit in the top-left 4x4 or 8x8). */
template <int N> HEVC_AVX2 inline void LastNonZeroAvx2(const int16_t *psCoeffs, int *piLastRow, int *piLastCol)
{
    const __m256i vZero = _mm256_setzero_si256();
    __m256i vLo = vZero, vHi = vZero; /* OR of columns 0..15 and 16..31 */
    int iLastRow = -1;
    for (int y = 0; y < N; y++) {
        const int16_t *pRow = psCoeffs + y * N;
        __m256i a, b = vZero;
        if constexpr (N == 8)
            a = _mm256_inserti128_si256(vZero, _mm_loadu_si128((const __m128i *)pRow), 0);
        else
            a = _mm256_loadu_si256((const __m256i *)pRow);
        if constexpr (N == 32)
            b = _mm256_loadu_si256((const __m256i *)(pRow + 16));
        const __m256i v = _mm256_or_si256(a, b);
        vLo = _mm256_or_si256(vLo, a);
        vHi = _mm256_or_si256(vHi, b);
        if (!_mm256_testz_si256(v, v))
            iLastRow = y;
    }
    /* two mask bits per 16-bit lane; the highest non-zero lane wins */
    const unsigned uiHi = (unsigned)_mm256_movemask_epi8(_mm256_cmpeq_epi16(vHi, vZero));
    const unsigned uiLo = (unsigned)_mm256_movemask_epi8(_mm256_cmpeq_epi16(vLo, vZero));
    *piLastRow = iLastRow;
    if (uiHi != 0xFFFFFFFFu)
        *piLastCol = 16 + (31 - __builtin_clz(~uiHi)) / 2;
    else
        *piLastCol = uiLo == 0xFFFFFFFFu ? -1 : (31 - __builtin_clz(~uiLo)) / 2;
}

template <int BitDepth, int Log2> HEVC_AVX2 void IdctAvx2(int16_t *psCoeffs)
{
    constexpr int N = 1 << Log2, iGroups = N / 8;
    int iLastRow, iLastCol;
    LastNonZeroAvx2<N>(psCoeffs, &iLastRow, &iLastCol);
    if (iLastRow < 0)
        return;
    const int iRowPairs = (iLastRow + 2) >> 1, iColPairs = (iLastCol + 2) >> 1;
    const int iColGroups = (iLastCol >> 3) + 1;

    /* Stage 1: g[y][x] = sat16((sum_k M[k][y] c[k][x] + 64) >> 7), x in
     * groups of 8 (only groups holding non-zero columns). */
    alignas(32) int16_t asTmp[N * N];
    alignas(32) __m256i avPairs[N / 2][iGroups];
    for (int kp = 0; kp < iRowPairs; kp++) {
        const int16_t *pRow0 = psCoeffs + 2 * kp * N;
        for (int g = 0; g < iColGroups; g++) {
            __m128i r0 = _mm_loadu_si128((const __m128i *)(pRow0 + 8 * g));
            __m128i r1 = _mm_loadu_si128((const __m128i *)(pRow0 + N + 8 * g));
            avPairs[kp][g] = _mm256_set_m128i(_mm_unpackhi_epi16(r0, r1), _mm_unpacklo_epi16(r0, r1));
        }
    }
    const __m256i vRound1 = _mm256_set1_epi32(64);
    for (int y = 0; y < N; y++) {
        for (int g = 0; g < iColGroups; g++) {
            __m256i vAcc = vRound1;
            for (int kp = 0; kp < iRowPairs; kp++) {
                __m256i vCoef = _mm256_set1_epi32(PairRow<N>(kp)[y]);
                vAcc = _mm256_add_epi32(vAcc, _mm256_madd_epi16(avPairs[kp][g], vCoef));
            }
            vAcc = _mm256_srai_epi32(vAcc, 7);
            __m128i vPacked = _mm_packs_epi32(_mm256_castsi256_si128(vAcc), _mm256_extracti128_si256(vAcc, 1));
            _mm_storeu_si128((__m128i *)(asTmp + y * N + 8 * g), vPacked);
        }
    }

    /* Stage 2: r[y][x] = sat16((sum_k g[y][k] M[k][x] + rnd) >> shift). The
     * pair (g[y][k], g[y][k+1]) is one 32-bit load. */
    constexpr int iShift = 20 - BitDepth;
    const __m256i vRound2 = _mm256_set1_epi32(1 << (iShift - 1));
    for (int y = 0; y < N; y++) {
        const int16_t *pRow = asTmp + y * N;
        for (int g = 0; g < iGroups; g++) {
            __m256i vAcc = vRound2;
            for (int kp = 0; kp < iColPairs; kp++) {
                int32_t iPair;
                memcpy(&iPair, pRow + 2 * kp, 4);
                __m256i vM = _mm256_loadu_si256((const __m256i *)(PairRow<N>(kp) + 8 * g));
                vAcc = _mm256_add_epi32(vAcc, _mm256_madd_epi16(_mm256_set1_epi32(iPair), vM));
            }
            vAcc = _mm256_srai_epi32(vAcc, iShift);
            __m128i vPacked = _mm_packs_epi32(_mm256_castsi256_si128(vAcc), _mm256_extracti128_si256(vAcc, 1));
            _mm_storeu_si128((__m128i *)(psCoeffs + y * N + 8 * g), vPacked);
        }
    }
}

} /* namespace */

template <int BitDepth> void HevcTransformInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnDequant = DequantSse41<BitDepth>;
    pstDsp->pfnIdst4 = Inv4x4Sse41<BitDepth, true>;
    pstDsp->pfnIdct[0] = Inv4x4Sse41<BitDepth, false>;
    pstDsp->pfnTransformSkip[0] = TransformSkipSse41<BitDepth, 2>;
    pstDsp->pfnTransformSkip[1] = TransformSkipSse41<BitDepth, 3>;
    pstDsp->pfnTransformSkip[2] = TransformSkipSse41<BitDepth, 4>;
    pstDsp->pfnTransformSkip[3] = TransformSkipSse41<BitDepth, 5>;
    pstDsp->pfnAddResidual[0] = AddResidualSse41<BitDepth, 2>;
    pstDsp->pfnAddResidual[1] = AddResidualSse41<BitDepth, 3>;
    pstDsp->pfnAddResidual[2] = AddResidualSse41<BitDepth, 4>;
    pstDsp->pfnAddResidual[3] = AddResidualSse41<BitDepth, 5>;
    pstDsp->pfnIdctDcAdd[0] = IdctDcAddSse41<BitDepth, 2>;
    pstDsp->pfnIdctDcAdd[1] = IdctDcAddSse41<BitDepth, 3>;
    pstDsp->pfnIdctDcAdd[2] = IdctDcAddSse41<BitDepth, 4>;
    pstDsp->pfnIdctDcAdd[3] = IdctDcAddSse41<BitDepth, 5>;
}
template void HevcTransformInitSse41<8>(HevcDsp8 *);
template void HevcTransformInitSse41<10>(HevcDsp10 *);

template <int BitDepth> void HevcTransformInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnIdct[1] = IdctAvx2<BitDepth, 3>;
    pstDsp->pfnIdct[2] = IdctAvx2<BitDepth, 4>;
    pstDsp->pfnIdct[3] = IdctAvx2<BitDepth, 5>;
    pstDsp->pfnAddResidual[2] = AddResidualAvx2<BitDepth, 4>;
    pstDsp->pfnAddResidual[3] = AddResidualAvx2<BitDepth, 5>;
    pstDsp->pfnDequant = DequantAvx2<BitDepth>;
}
template void HevcTransformInitAvx2<8>(HevcDsp8 *);
template void HevcTransformInitAvx2<10>(HevcDsp10 *);

#endif
