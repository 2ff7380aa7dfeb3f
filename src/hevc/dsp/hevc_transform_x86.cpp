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

/* ---- inverse DCT 8/16/32 (SSE4.1) ----
 * One pass transforms 8 columns at a time: row k of the input pairs with row
 * k + 2, so pmaddwd against (M[k][y], M[k+2][y]) gives 4 column sums of two
 * inputs of the same parity. Even rows of the matrix are symmetric and odd
 * rows antisymmetric about the middle, so E + O is output y and E - O output
 * N-1-y. The vertical pass runs on the coefficients, the horizontal one on
 * the transposed intermediate; rows past the last non-zero one are skipped in
 * both (the horizontal pass sees the last non-zero column as a row). */

/* Broadcast (M[k][y], M[k+2][y]) pairs: [y][p] even rows k = 4p, [y][H/2+p]
 * odd rows k = 4p+1, for y < N/2. */
struct SymPairTables {
    __m128i av8[4][4];
    __m128i av16[8][8];
    __m128i av32[16][16];
};

SymPairTables BuildSymPairs()
{
    SymPairTables t;
    auto pair = [](int N, int k, int y) {
        const int iStep = 32 / N;
        return _mm_set1_epi32((int32_t)((uint16_t)(int16_t)g_acHevcDctMatrix[k * iStep][y] |
                                        ((uint32_t)(uint16_t)(int16_t)g_acHevcDctMatrix[(k + 2) * iStep][y] << 16)));
    };
    for (int y = 0; y < 16; y++)
        for (int p = 0; p < 8; p++) {
            if (y < 4 && p < 2) {
                t.av8[y][p] = pair(8, 4 * p, y);
                t.av8[y][2 + p] = pair(8, 4 * p + 1, y);
            }
            if (y < 8 && p < 4) {
                t.av16[y][p] = pair(16, 4 * p, y);
                t.av16[y][4 + p] = pair(16, 4 * p + 1, y);
            }
            t.av32[y][p] = pair(32, 4 * p, y);
            t.av32[y][8 + p] = pair(32, 4 * p + 1, y);
        }
    return t;
}

const SymPairTables s_stSymPairs = BuildSymPairs();

} /* namespace */

static HevcIdct32Pairs BuildIdct32Pairs()
{
    HevcIdct32Pairs t;
    for (int p = 0; p < 16; p++) {
        const int k = p < 8 ? 4 * p : 4 * (p - 8) + 1;
        for (int x = 0; x < 16; x++)
            t.aai[p][x] = (int32_t)((uint16_t)(int16_t)g_acHevcDctMatrix[k][x] |
                                    ((uint32_t)(uint16_t)(int16_t)g_acHevcDctMatrix[k + 2][x] << 16));
    }
    return t;
}
const HevcIdct32Pairs g_stHevcIdct32Pairs = BuildIdct32Pairs();

namespace {

template <int N> inline const __m128i *SymPairRow(int y)
{
    if constexpr (N == 8)
        return s_stSymPairs.av8[y];
    else if constexpr (N == 16)
        return s_stSymPairs.av16[y];
    else
        return s_stSymPairs.av32[y];
}

/* dst[y][x] = sat16((sum_k M[k][y] src[k][x] + rnd) >> Shift) for the column
 * groups g < iGroups (8 columns each); only rows k < iRows of src are read
 * (rounded up to a multiple of 4). */
template <int N, int Shift>
HEVC_SSE41 void IdctColumnsSse41(const int16_t *pSrc, int16_t *pDst, int iRows, int iGroups)
{
    constexpr int H = N / 2, P = N / 4;
    const int iEven = (iRows + 3) >> 2, iOdd = (iRows + 2) >> 2;
    const __m128i vRound = _mm_set1_epi32(1 << (Shift - 1));
    for (int g = 0; g < iGroups; g++) {
        /* (row k, row k+2) interleaved: [p] k = 4p, [P + p] k = 4p + 1 */
        __m128i avIn[2 * P][2];
        auto fnPair = [&](int i, int k) {
            const __m128i r0 = _mm_loadu_si128((const __m128i *)(pSrc + k * N + 8 * g));
            const __m128i r1 = _mm_loadu_si128((const __m128i *)(pSrc + (k + 2) * N + 8 * g));
            avIn[i][0] = _mm_unpacklo_epi16(r0, r1);
            avIn[i][1] = _mm_unpackhi_epi16(r0, r1);
        };
        for (int p = 0; p < iEven; p++)
            fnPair(p, 4 * p);
        for (int p = 0; p < iOdd; p++)
            fnPair(P + p, 4 * p + 1);
        for (int y = 0; y < H; y++) {
            const __m128i *pvM = SymPairRow<N>(y);
            __m128i e0 = vRound, e1 = vRound, o0 = _mm_setzero_si128(), o1 = _mm_setzero_si128();
            for (int p = 0; p < iEven; p++) {
                e0 = _mm_add_epi32(e0, _mm_madd_epi16(avIn[p][0], pvM[p]));
                e1 = _mm_add_epi32(e1, _mm_madd_epi16(avIn[p][1], pvM[p]));
            }
            for (int p = 0; p < iOdd; p++) {
                o0 = _mm_add_epi32(o0, _mm_madd_epi16(avIn[P + p][0], pvM[P + p]));
                o1 = _mm_add_epi32(o1, _mm_madd_epi16(avIn[P + p][1], pvM[P + p]));
            }
            _mm_storeu_si128((__m128i *)(pDst + y * N + 8 * g),
                             _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(e0, o0), Shift),
                                             _mm_srai_epi32(_mm_add_epi32(e1, o1), Shift)));
            _mm_storeu_si128((__m128i *)(pDst + (N - 1 - y) * N + 8 * g),
                             _mm_packs_epi32(_mm_srai_epi32(_mm_sub_epi32(e0, o0), Shift),
                                             _mm_srai_epi32(_mm_sub_epi32(e1, o1), Shift)));
        }
    }
}

/* Transposes the 8x8 blocks (by, bx) with bx < iColGroups of an N x N block:
 * dst[x][y] = src[y][x]. */
template <int N> HEVC_SSE41 void Transpose8Sse41(const int16_t *pSrc, int16_t *pDst, int iColGroups)
{
    for (int by = 0; by < N / 8; by++)
        for (int bx = 0; bx < iColGroups; bx++) {
            const int16_t *s = pSrc + 8 * by * N + 8 * bx;
            __m128i a[8], b[8];
            for (int i = 0; i < 8; i++)
                a[i] = _mm_loadu_si128((const __m128i *)(s + i * N));
            for (int i = 0; i < 4; i++) {
                b[2 * i] = _mm_unpacklo_epi16(a[2 * i], a[2 * i + 1]);
                b[2 * i + 1] = _mm_unpackhi_epi16(a[2 * i], a[2 * i + 1]);
            }
            /* b[0] = 00 10 01 11 02 12 03 13, b[2] = 20 30 21 31 ..., b[1] = 04 14 ... */
            for (int i = 0; i < 2; i++) {
                a[4 * i + 0] = _mm_unpacklo_epi32(b[4 * i], b[4 * i + 2]);
                a[4 * i + 1] = _mm_unpackhi_epi32(b[4 * i], b[4 * i + 2]);
                a[4 * i + 2] = _mm_unpacklo_epi32(b[4 * i + 1], b[4 * i + 3]);
                a[4 * i + 3] = _mm_unpackhi_epi32(b[4 * i + 1], b[4 * i + 3]);
            }
            /* a[j] (rows 0-3) and a[4+j] (rows 4-7) hold columns 2j, 2j+1 */
            int16_t *d = pDst + 8 * bx * N + 8 * by;
            for (int j = 0; j < 4; j++) {
                _mm_storeu_si128((__m128i *)(d + 2 * j * N), _mm_unpacklo_epi64(a[j], a[4 + j]));
                _mm_storeu_si128((__m128i *)(d + (2 * j + 1) * N), _mm_unpackhi_epi64(a[j], a[4 + j]));
            }
        }
}

template <int N> HEVC_SSE41 inline void LastNonZeroSse41(const int16_t *psCoeffs, int *piLastRow, int *piLastCol)
{
    const __m128i vZero = _mm_setzero_si128();
    __m128i avCols[N / 8];
    for (int g = 0; g < N / 8; g++)
        avCols[g] = vZero;
    int iLastRow = -1;
    for (int y = 0; y < N; y++) {
        __m128i vRow = vZero;
        for (int g = 0; g < N / 8; g++) {
            const __m128i v = _mm_loadu_si128((const __m128i *)(psCoeffs + y * N + 8 * g));
            avCols[g] = _mm_or_si128(avCols[g], v);
            vRow = _mm_or_si128(vRow, v);
        }
        if (!_mm_testz_si128(vRow, vRow))
            iLastRow = y;
    }
    int iLastCol = -1;
    for (int g = N / 8 - 1; g >= 0 && iLastCol < 0; g--) {
        const unsigned uiZero = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi16(avCols[g], vZero));
        if (uiZero != 0xFFFFu)
            iLastCol = 8 * g + (31 - __builtin_clz(~uiZero & 0xFFFFu)) / 2;
    }
    *piLastRow = iLastRow;
    *piLastCol = iLastCol;
}

template <int BitDepth, int Log2> HEVC_SSE41 void IdctSse41(int16_t *psCoeffs)
{
    constexpr int N = 1 << Log2;
    int iLastRow, iLastCol;
    LastNonZeroSse41<N>(psCoeffs, &iLastRow, &iLastCol);
    if (iLastRow < 0)
        return;
    const int iColGroups = (iLastCol >> 3) + 1;
    alignas(16) int16_t asTmp[N * N], asTmpT[N * N];
    IdctColumnsSse41<N, 7>(psCoeffs, asTmp, iLastRow + 1, iColGroups);
    Transpose8Sse41<N>(asTmp, asTmpT, iColGroups);
    IdctColumnsSse41<N, 20 - BitDepth>(asTmpT, asTmp, iLastCol + 1, N / 8);
    Transpose8Sse41<N>(asTmp, psCoeffs, N / 8);
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

/* 10-bit 8x8: two rows per register. (8-bit 8x8 and both 4x4 sizes measured
 * no faster than SSE4.1: the loads and stores of short rows dominate.) */
HEVC_AVX2 void AddResidual8x8Avx2_10(uint16_t *pDst, ptrdiff_t iStride, const int16_t *psRes)
{
    const __m256i vZero = _mm256_setzero_si256(), vMax = _mm256_set1_epi16(1023);
    for (int y = 0; y < 8; y += 2, pDst += 2 * iStride, psRes += 16) {
        uint16_t *p1 = pDst + iStride;
        __m256i v = _mm256_setr_m128i(_mm_loadu_si128((const __m128i *)pDst), _mm_loadu_si128((const __m128i *)p1));
        v = _mm256_min_epi16(_mm256_max_epi16(_mm256_adds_epi16(v, _mm256_loadu_si256((const __m256i *)psRes)), vZero), vMax);
        _mm_storeu_si128((__m128i *)pDst, _mm256_castsi256_si128(v));
        _mm_storeu_si128((__m128i *)p1, _mm256_extracti128_si256(v, 1));
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
    pstDsp->pfnIdct[1] = IdctSse41<BitDepth, 3>;
    pstDsp->pfnIdct[2] = IdctSse41<BitDepth, 4>;
    pstDsp->pfnIdct[3] = IdctSse41<BitDepth, 5>;
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
    if constexpr (BitDepth == 10)
        pstDsp->pfnAddResidual[1] = AddResidual8x8Avx2_10;
    pstDsp->pfnAddResidual[2] = AddResidualAvx2<BitDepth, 4>;
    pstDsp->pfnAddResidual[3] = AddResidualAvx2<BitDepth, 5>;
    pstDsp->pfnDequant = DequantAvx2<BitDepth>;
}
template void HevcTransformInitAvx2<8>(HevcDsp8 *);
template void HevcTransformInitAvx2<10>(HevcDsp10 *);

#endif
