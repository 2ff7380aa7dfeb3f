/* Intra reference substitution, smoothing and prediction for SSE4.1 (8
 * samples per step in 16-bit lanes, whose sums cannot overflow; 8-bit
 * angular rows 16 bytes a step), and the AVX2 DC fill of 32-byte rows.
 * Results equal the C references in hevc_intra.cpp. */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <string.h>

#include "hevc_dsp_internal.h"
#include "hevc_x86_lines.h"

#define HEVC_SSE41 __attribute__((target("sse4.1")))
#define HEVC_AVX2 __attribute__((target("avx2")))

namespace {

/* dst = the transpose of an N x N block (row stride N), in 16-bit lanes: one
 * 4x4 step for N = 4, else 8x8 tiles (unpacks of 16-, 32- and 64-bit
 * pairs). */
template <int N, typename Pixel> HEVC_SSE41 inline void StoreTransposed(Pixel *pDst, ptrdiff_t iStride, const Pixel *pBlk)
{
    if constexpr (N == 4) {
        const __m128i a0 = _mm_unpacklo_epi16(HevcLoadLine<4>(pBlk), HevcLoadLine<4>(pBlk + 4));
        const __m128i a1 = _mm_unpacklo_epi16(HevcLoadLine<4>(pBlk + 8), HevcLoadLine<4>(pBlk + 12));
        const __m128i b0 = _mm_unpacklo_epi32(a0, a1), b1 = _mm_unpackhi_epi32(a0, a1);
        HevcStoreLine<4>(pDst, b0);
        HevcStoreLine<4>(pDst + iStride, _mm_srli_si128(b0, 8));
        HevcStoreLine<4>(pDst + 2 * iStride, b1);
        HevcStoreLine<4>(pDst + 3 * iStride, _mm_srli_si128(b1, 8));
    } else {
        for (int ty = 0; ty < N; ty += 8)
            for (int tx = 0; tx < N; tx += 8) {
                const Pixel *s = pBlk + ty * N + tx;
                __m128i a[8], b[8];
                for (int k = 0; k < 4; k++) { /* rows 2k and 2k+1: columns 0..3, then 4..7 */
                    const __m128i r0 = HevcLoadLine<8>(s + 2 * k * N), r1 = HevcLoadLine<8>(s + (2 * k + 1) * N);
                    a[k] = _mm_unpacklo_epi16(r0, r1);
                    a[k + 4] = _mm_unpackhi_epi16(r0, r1);
                }
                for (int h = 0; h < 8; h += 4) { /* columns h.. h+3: pairs of columns over rows 0..3, 4..7 */
                    b[h] = _mm_unpacklo_epi32(a[h], a[h + 1]);
                    b[h + 1] = _mm_unpackhi_epi32(a[h], a[h + 1]);
                    b[h + 2] = _mm_unpacklo_epi32(a[h + 2], a[h + 3]);
                    b[h + 3] = _mm_unpackhi_epi32(a[h + 2], a[h + 3]);
                }
                Pixel *d = pDst + tx * iStride + ty;
                for (int c = 0; c < 8; c += 2) {
                    const int j = (c / 4) * 4 + (c % 4) / 2;
                    HevcStoreLine<8>(d + c * iStride, _mm_unpacklo_epi64(b[j], b[j + 2]));
                    HevcStoreLine<8>(d + (c + 1) * iStride, _mm_unpackhi_epi64(b[j], b[j + 2]));
                }
            }
    }
}

template <int BitDepth, int Log2>
HEVC_SSE41 void PredAngularSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                 const typename HevcDspTraits<BitDepth>::Pixel *pRef, int iMode,
                                 int bEdgeFilter)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2, W = N < 8 ? N : 8;
    const int iAngle = g_acHevcIntraPredAngle[iMode];
    const bool bVer = iMode >= 18;
    const int iMainDir = bVer ? 1 : -1;
    /* refMain[-N..2N] plus 16 copies of its last sample, room for the last
     * 16-byte loads. refMain[0..2N] is the top row as it lies or the left
     * column reversed, in 16-byte moves that may read into the line's
     * padding and write up to refMain[2N + 15] before the copies go there. */
    alignas(16) Pixel aBuf[3 * N + 1 + 16];
    Pixel *pMain = aBuf + N;
    constexpr int V = 16 / sizeof(Pixel);
    const __m128i vReverse = sizeof(Pixel) == 1 ? _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
                                                : _mm_setr_epi8(14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1);
    for (int k = 0; k <= 2 * N; k += V) {
        const __m128i v = bVer ? _mm_loadu_si128((const __m128i *)(pRef + k))
                               : _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(pRef - k - (V - 1))), vReverse);
        _mm_storeu_si128((__m128i *)(pMain + k), v);
    }
    const __m128i vLast = sizeof(Pixel) == 1 ? _mm_set1_epi8((char)pMain[2 * N]) : _mm_set1_epi16((short)pMain[2 * N]);
    for (int k = 2 * N + 1; k <= 2 * N + 16; k += V)
        _mm_storeu_si128((__m128i *)(pMain + k), vLast);
    HevcAngularProject<Pixel, N>(pMain, pRef, iMode, iMainDir);

    /* Rows of the vertical form go straight to dst; horizontal modes are
     * built the same way and transposed. */
    Pixel aBlk[N * N];
    Pixel *pOut = bVer ? pDst : aBlk;
    const ptrdiff_t iOutStride = bVer ? iStride : N;
    const __m128i vRound = _mm_set1_epi16(16);
    for (int j = 0; j < N; j++) {
        const int iPos = (j + 1) * iAngle, iIdx = iPos >> 5, iFact = iPos & 31;
        const Pixel *a = pMain + iIdx + 1;
        Pixel *o = pOut + j * iOutStride;
        if (iFact && sizeof(Pixel) == 1) {
            /* bytes: (a[i], a[i+1]) pairs against (32 - f, f), 16 samples a step */
            const __m128i vW = _mm_set1_epi16((short)((32 - iFact) | iFact << 8));
            for (int i = 0; i < N; i += 16) {
                const __m128i a0 = _mm_loadu_si128((const __m128i *)(a + i));
                const __m128i a1 = _mm_loadu_si128((const __m128i *)(a + i + 1));
                const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_unpacklo_epi8(a0, a1), vW), vRound), 5);
                if constexpr (N < 16) {
                    HevcStoreLine<W>(o, lo);
                } else {
                    const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_unpackhi_epi8(a0, a1), vW), vRound), 5);
                    _mm_storeu_si128((__m128i *)(o + i), _mm_packus_epi16(lo, hi));
                }
            }
        } else if (iFact) {
            const __m128i vF0 = _mm_set1_epi16((short)(32 - iFact)), vF1 = _mm_set1_epi16((short)iFact);
            for (int i = 0; i < N; i += W) {
                __m128i v0 = _mm_mullo_epi16(HevcLoadLine<W>(a + i), vF0);
                __m128i v1 = _mm_mullo_epi16(HevcLoadLine<W>(a + i + 1), vF1);
                HevcStoreLine<W>(o + i, _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(v0, v1), vRound), 5));
            }
        } else {
            memcpy(o, a, N * sizeof(Pixel));
        }
    }
    if (!bVer)
        StoreTransposed<N>(pDst, iStride, aBlk);

    if (bEdgeFilter && (iMode == 26 || iMode == 10))
        HevcAngularEdge<BitDepth, N>(pDst, iStride, pRef, bVer);
}

/* Planar: row y is
 *   (N-1-x) * L[y] + (x+1) * TR + (N-1-y) * T[x] + (y+1) * BL + N,
 * the weights of each pair summing to N, so every partial sum lies in
 * [0, 64 * 1023 + 32] and unsigned 16-bit lanes hold it at both depths (the
 * products too, wrapping mullo included). The terms without L[y] start as
 * row 0's and step by BL - T[x] a row. */
template <int BitDepth, int Log2>
HEVC_SSE41 void PredPlanarSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                                const typename HevcDspTraits<BitDepth>::Pixel *pRef)
{
    constexpr int N = 1 << Log2, W = N < 8 ? N : 8;
    const int iTopRight = pRef[1 + N], iBottomLeft = pRef[-1 - N];
    const __m128i vIdx1 = _mm_setr_epi16(1, 2, 3, 4, 5, 6, 7, 8), vBottom = _mm_set1_epi16((short)iBottomLeft);
    __m128i avRow[N / W], avStep[N / W], avLeftW[N / W];
    for (int g = 0; g < N / W; g++) {
        const __m128i vTop = HevcLoadLine<W>(pRef + 1 + g * W);
        const __m128i vX1 = _mm_add_epi16(_mm_set1_epi16((short)(g * W)), vIdx1); /* x + 1 */
        avLeftW[g] = _mm_sub_epi16(_mm_set1_epi16(N), vX1);
        avRow[g] = _mm_add_epi16(_mm_mullo_epi16(vX1, _mm_set1_epi16((short)iTopRight)),
                                 _mm_mullo_epi16(vTop, _mm_set1_epi16(N - 1)));
        avRow[g] = _mm_add_epi16(avRow[g], _mm_set1_epi16((short)(iBottomLeft + N)));
        avStep[g] = _mm_sub_epi16(vBottom, vTop);
    }
    for (int y = 0; y < N; y++, pDst += iStride) {
        const __m128i vLeft = _mm_set1_epi16(pRef[-1 - y]);
        for (int g = 0; g < N / W; g++) {
            const __m128i v = _mm_add_epi16(avRow[g], _mm_mullo_epi16(avLeftW[g], vLeft));
            HevcStoreLine<W>(pDst + g * W, _mm_srli_epi16(v, Log2 + 1));
            avRow[g] = _mm_add_epi16(avRow[g], avStep[g]);
        }
    }
}

/* DC: the left column pRef[-N..-1] and the top row pRef[1..N] are both
 * contiguous, so the sum is two line loads per 8 samples (16-bit lanes hold
 * at most 8 samples of 10 bits each). */
template <int BitDepth, int Log2>
HEVC_SSE41 inline int DcValue(const typename HevcDspTraits<BitDepth>::Pixel *pRef)
{
    constexpr int N = 1 << Log2, W = N < 8 ? N : 8;
    __m128i vSum = _mm_setzero_si128();
    for (int i = 0; i < N; i += W)
        vSum = _mm_add_epi16(vSum, _mm_add_epi16(HevcLoadLine<W>(pRef - N + i), HevcLoadLine<W>(pRef + 1 + i)));
    vSum = _mm_madd_epi16(vSum, _mm_set1_epi16(1));
    vSum = _mm_add_epi32(vSum, _mm_shuffle_epi32(vSum, 0x4E));
    vSum = _mm_add_epi32(vSum, _mm_shuffle_epi32(vSum, 0xB1));
    return (_mm_cvtsi128_si32(vSum) + N) >> (Log2 + 1);
}

/* The DC edge filter over the filled block: first row and column become
 * (ref + 3 * dc + 2) >> 2, the corner takes both neighbours. */
template <int BitDepth, int Log2>
HEVC_SSE41 inline void DcEdge(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                              const typename HevcDspTraits<BitDepth>::Pixel *pRef, int iDc)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2, W = N < 8 ? N : 8;
    const __m128i vDc3 = _mm_set1_epi16((short)(3 * iDc + 2));
    Pixel aCol[N];
    for (int i = 0; i < N; i += W) {
        HevcStoreLine<W>(pDst + i, _mm_srli_epi16(_mm_add_epi16(HevcLoadLine<W>(pRef + 1 + i), vDc3), 2));
        HevcStoreLine<W>(aCol + i, _mm_srli_epi16(_mm_add_epi16(HevcLoadLine<W>(pRef - N + i), vDc3), 2));
    }
    pDst[0] = (Pixel)((pRef[-1] + 2 * iDc + pRef[1] + 2) >> 2);
    for (int y = 1; y < N; y++)
        pDst[y * iStride] = aCol[N - 1 - y];
}

template <int BitDepth, int Log2>
HEVC_SSE41 void PredDcSse41(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                            const typename HevcDspTraits<BitDepth>::Pixel *pRef, int bEdgeFilter)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2, iRowBytes = N * (int)sizeof(Pixel);
    const int iDc = DcValue<BitDepth, Log2>(pRef);
    const __m128i vDc = sizeof(Pixel) == 1 ? _mm_set1_epi8((char)iDc) : _mm_set1_epi16((short)iDc);
    for (int y = 0; y < N; y++) {
        uint8_t *pRow = (uint8_t *)(pDst + y * iStride);
        if constexpr (iRowBytes == 4) {
            int32_t w = _mm_cvtsi128_si32(vDc);
            memcpy(pRow, &w, 4);
        } else if constexpr (iRowBytes == 8) {
            _mm_storel_epi64((__m128i *)pRow, vDc);
        } else {
            for (int b = 0; b < iRowBytes; b += 16)
                _mm_storeu_si128((__m128i *)(pRow + b), vDc);
        }
    }
    if (bEdgeFilter)
        DcEdge<BitDepth, Log2>(pDst, iStride, pRef, iDc);
}

/* 32x32 DC (and 16x16 at 10 bits): whole 32-byte stores. */
template <int BitDepth, int Log2>
HEVC_AVX2 void PredDcAvx2(typename HevcDspTraits<BitDepth>::Pixel *pDst, ptrdiff_t iStride,
                          const typename HevcDspTraits<BitDepth>::Pixel *pRef, int bEdgeFilter)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    constexpr int N = 1 << Log2, iRowBytes = N * (int)sizeof(Pixel);
    static_assert(iRowBytes % 32 == 0, "whole 32-byte rows");
    const int iDc = DcValue<BitDepth, Log2>(pRef);
    const __m256i vDc = sizeof(Pixel) == 1 ? _mm256_set1_epi8((char)iDc) : _mm256_set1_epi16((short)iDc);
    for (int y = 0; y < N; y++)
        for (int b = 0; b < iRowBytes; b += 32)
            _mm256_storeu_si256((__m256i *)((uint8_t *)(pDst + y * iStride) + b), vDc);
    if (bEdgeFilter)
        DcEdge<BitDepth, Log2>(pDst, iStride, pRef, iDc);
}

/* (a + 2b + c + 2) >> 2 without widening: it equals avg(b, (a + c) >> 1)
 * with avg rounding up, and (a + c) >> 1 is avg(a, c) less the rounding bit
 * (a ^ c) & 1. */
template <typename Pixel> HEVC_SSE41 inline __m128i Filter121(__m128i a, __m128i b, __m128i c)
{
    if constexpr (sizeof(Pixel) == 1) {
        __m128i m = _mm_sub_epi8(_mm_avg_epu8(a, c), _mm_and_si128(_mm_xor_si128(a, c), _mm_set1_epi8(1)));
        return _mm_avg_epu8(m, b);
    } else {
        __m128i m = _mm_sub_epi16(_mm_avg_epu16(a, c), _mm_and_si128(_mm_xor_si128(a, c), _mm_set1_epi16(1)));
        return _mm_avg_epu16(m, b);
    }
}

/* Reference smoothing in place on ref[-2N..2N]. [1 2 1]: 4N - 1 filtered
 * samples are a whole number of 16-byte steps less one, so the last step
 * also writes ref[2N], which is put back; each step loads the next step's
 * inputs before its store overwrites one of them. Strong smoothing: sample
 * k away from the corner is ((64 - k) * corner + k * end + 32) >> 6 for
 * k = 0..64 (ends included, they come out unchanged), which stays below
 * 2^16 for 10 bits, so unsigned 16-bit lanes hold it. */
template <int BitDepth>
HEVC_SSE41 void IntraSmoothSse41(typename HevcDspTraits<BitDepth>::Pixel *pRef, int iLog2Size, int bStrongAllowed)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int N = 1 << iLog2Size;
    if (bStrongAllowed && N == 32 && HevcIntraStrongFlat<BitDepth>(pRef)) {
        const __m128i vCorner = _mm_set1_epi16(pRef[0]), v64 = _mm_set1_epi16(64), v32 = _mm_set1_epi16(32);
        const __m128i vIdx = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
        const __m128i vLeft = _mm_set1_epi16(pRef[-64]), vTop = _mm_set1_epi16(pRef[64]);
        for (int p = -64; p <= 57; p += p == -8 ? 9 : 8) {
            const __m128i vK = p < 0 ? _mm_sub_epi16(_mm_set1_epi16((short)-p), vIdx) : _mm_add_epi16(_mm_set1_epi16((short)p), vIdx);
            __m128i v = _mm_mullo_epi16(_mm_sub_epi16(v64, vK), vCorner);
            v = _mm_add_epi16(v, _mm_add_epi16(_mm_mullo_epi16(vK, p < 0 ? vLeft : vTop), v32));
            HevcStoreLine<8>(pRef + p, _mm_srli_epi16(v, 6));
        }
        return;
    }
    constexpr int W = 16 / sizeof(Pixel);
    const Pixel uiEnd = pRef[2 * N];
    Pixel *p = pRef - 2 * N + 1;
    __m128i a = _mm_loadu_si128((const __m128i *)(p - 1)), b = _mm_loadu_si128((const __m128i *)p);
    __m128i c = _mm_loadu_si128((const __m128i *)(p + 1));
    for (;;) {
        const __m128i r = Filter121<Pixel>(a, b, c);
        Pixel *q = p + W;
        const bool bMore = q < pRef + 2 * N;
        if (bMore) {
            a = _mm_loadu_si128((const __m128i *)(q - 1));
            b = _mm_loadu_si128((const __m128i *)q);
            c = _mm_loadu_si128((const __m128i *)(q + 1));
        }
        _mm_storeu_si128((__m128i *)p, r);
        if (!bMore)
            break;
        p = q;
    }
    pRef[2 * N] = uiEnd;
}

/* ---- reference substitution ----
 * The usual availability shapes make one run of available units: all of
 * them, or the bottom-left and/or top-right units missing, or one side
 * outside the picture. The run is copied (left column sample by sample, the
 * corner and top row as one contiguous move), then the samples before it
 * take its first sample and those after it its last, as the unit-by-unit
 * rule gives. Other shapes (holes, from constrained intra prediction) go to
 * the C reference. */

/* Bit u set where flag u (of n, 4..63) is non-zero; loads overlap rather than
 * read past p[n - 1]. */
HEVC_SSE41 inline uint64_t FlagBits(const uint8_t *p, int n)
{
    auto fnBits = [](__m128i v) {
        return (uint64_t)(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) & 0xFFFF);
    };
    if (n >= 16) {
        uint64_t m = 0;
        for (int o = 0; o < n - 16; o += 16)
            m |= fnBits(_mm_loadu_si128((const __m128i *)(p + o))) << o;
        return m | fnBits(_mm_loadu_si128((const __m128i *)(p + n - 16))) << (n - 16);
    }
    if (n >= 8)
        return (fnBits(_mm_loadl_epi64((const __m128i *)p)) & 0xFF) |
               (fnBits(_mm_loadl_epi64((const __m128i *)(p + n - 8))) & 0xFF) << (n - 8);
    int32_t a, b;
    memcpy(&a, p, 4);
    memcpy(&b, p + n - 4, 4);
    return (fnBits(_mm_cvtsi32_si128(a)) & 0xF) | (fnBits(_mm_cvtsi32_si128(b)) & 0xF) << (n - 4);
}

/* The first and the last sizeof(T) of n bytes (n / 2 <= sizeof(T) <= n). */
template <typename T> inline void MoveEnds(uint8_t *d, const uint8_t *s, int iStep, int n)
{
    T a, b;
    memcpy(&a, s, sizeof(T));
    memcpy(&b, s + (n - (int)sizeof(T)) * iStep, sizeof(T));
    memcpy(d, &a, sizeof(T));
    memcpy(d + n - sizeof(T), &b, sizeof(T));
}

/* n bytes to d and nowhere else, in overlapping moves of 16, 8, 4, 2 or 1
 * bytes, from s (iStep 1) or, as a fill, all from the first 16 bytes at s
 * (iStep 0; n and the pattern's period a multiple of the sample size). */
HEVC_SSE41 inline void PutBytes(uint8_t *d, const uint8_t *s, int iStep, int n)
{
    if (n >= 16) {
        for (int o = 0; o < n - 16; o += 16)
            _mm_storeu_si128((__m128i *)(d + o), _mm_loadu_si128((const __m128i *)(s + o * iStep)));
        _mm_storeu_si128((__m128i *)(d + n - 16), _mm_loadu_si128((const __m128i *)(s + (n - 16) * iStep)));
    } else if (n >= 8) {
        MoveEnds<uint64_t>(d, s, iStep, n);
    } else if (n >= 4) {
        MoveEnds<uint32_t>(d, s, iStep, n);
    } else if (n >= 2) {
        MoveEnds<uint16_t>(d, s, iStep, n);
    } else if (n == 1) {
        *d = *s;
    }
}

template <int BitDepth>
HEVC_SSE41 void IntraRefFillSse41(typename HevcDspTraits<BitDepth>::Pixel *pLine,
                                  const typename HevcDspTraits<BitDepth>::Pixel *pSrc, ptrdiff_t iStride, int iLog2Size,
                                  const uint8_t *pucAvail, int iLog2Unit)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    const int N = 1 << iLog2Size, iSide = (2 * N) >> iLog2Unit, iUnits = 2 * iSide + 1;
    const uint64_t m = iUnits < 64 ? FlagBits(pucAvail, iUnits) : 0;
    const int u0 = m ? __builtin_ctzll(m) : 0, u1 = m ? 63 - __builtin_clzll(m) : 0;
    if (!m || m != (((2ull << u1) - 1) & ~((1ull << u0) - 1))) {
        HevcIntraRefFillC<BitDepth>(pLine, pSrc, iStride, iLog2Size, pucAvail, iLog2Unit);
        return;
    }
    /* line range [iStart, iEnd) of the run: left units, the corner, top units */
    const int iStart = u0 < iSide ? u0 << iLog2Unit : u0 == iSide ? 2 * N : 2 * N + 1 + ((u0 - iSide - 1) << iLog2Unit);
    const int iEnd = u1 < iSide ? (u1 + 1) << iLog2Unit : 2 * N + 1 + ((u1 - iSide) << iLog2Unit);
    /* left column, four samples a step and two at the end (unit boundaries
     * are even) */
    if (iStart < 2 * N) {
        const int iLeftEnd = iEnd < 2 * N ? iEnd : 2 * N;
        const Pixel *s = pSrc + (2 * N - 1 - iStart) * iStride - 1;
        int i = iStart;
        for (; i + 4 <= iLeftEnd; i += 4, s -= 4 * iStride) {
            pLine[i] = s[0];
            pLine[i + 1] = s[-iStride];
            pLine[i + 2] = s[-2 * iStride];
            pLine[i + 3] = s[-3 * iStride];
        }
        if (i < iLeftEnd) {
            pLine[i] = s[0];
            pLine[i + 1] = s[-iStride];
        }
    }
    const int iTop = iStart > 2 * N ? iStart : 2 * N; /* the corner and the top row follow each other */
    if (iEnd > iTop)
        PutBytes((uint8_t *)(pLine + iTop), (const uint8_t *)(pSrc - iStride - 1 + (iTop - 2 * N)), 1,
                 (iEnd - iTop) * (int)sizeof(Pixel));
    alignas(16) Pixel aFill[16 / sizeof(Pixel)];
    if (iStart > 0) {
        for (Pixel &v : aFill)
            v = pLine[iStart];
        PutBytes((uint8_t *)pLine, (const uint8_t *)aFill, 0, iStart * (int)sizeof(Pixel));
    }
    if (iEnd < 4 * N + 1) {
        for (Pixel &v : aFill)
            v = pLine[iEnd - 1];
        PutBytes((uint8_t *)(pLine + iEnd), (const uint8_t *)aFill, 0, (4 * N + 1 - iEnd) * (int)sizeof(Pixel));
    }
}

} /* namespace */

template <int BitDepth> void HevcIntraInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnPredAngular[0] = PredAngularSse41<BitDepth, 2>;
    pstDsp->pfnPredAngular[1] = PredAngularSse41<BitDepth, 3>;
    pstDsp->pfnPredAngular[2] = PredAngularSse41<BitDepth, 4>;
    pstDsp->pfnPredAngular[3] = PredAngularSse41<BitDepth, 5>;
    pstDsp->pfnPredPlanar[0] = PredPlanarSse41<BitDepth, 2>;
    pstDsp->pfnPredPlanar[1] = PredPlanarSse41<BitDepth, 3>;
    pstDsp->pfnPredPlanar[2] = PredPlanarSse41<BitDepth, 4>;
    pstDsp->pfnPredPlanar[3] = PredPlanarSse41<BitDepth, 5>;
    pstDsp->pfnPredDc[0] = PredDcSse41<BitDepth, 2>;
    pstDsp->pfnPredDc[1] = PredDcSse41<BitDepth, 3>;
    pstDsp->pfnPredDc[2] = PredDcSse41<BitDepth, 4>;
    pstDsp->pfnPredDc[3] = PredDcSse41<BitDepth, 5>;
    pstDsp->pfnIntraSmooth = IntraSmoothSse41<BitDepth>;
    pstDsp->pfnIntraRefFill = IntraRefFillSse41<BitDepth>;
}
template void HevcIntraInitSse41<8>(HevcDsp8 *);
template void HevcIntraInitSse41<10>(HevcDsp10 *);

template <int BitDepth> void HevcIntraInitAvx2(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    if constexpr (BitDepth > 8)
        pstDsp->pfnPredDc[2] = PredDcAvx2<BitDepth, 4>;
    pstDsp->pfnPredDc[3] = PredDcAvx2<BitDepth, 5>;
}
template void HevcIntraInitAvx2<8>(HevcDsp8 *);
template void HevcIntraInitAvx2<10>(HevcDsp10 *);

#endif
