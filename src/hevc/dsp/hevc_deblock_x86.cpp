/* Deblocking for SSE4.1: the luma decisions, the strong and normal filters
 * and the chroma filter run on the four lines at once in 16-bit lanes (the
 * two-segment luma variants on eight lines, one segment per half). Vertical edges are
 * transposed in and out. Results equal hevc_deblock.cpp. */
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <string.h>

#include "hevc_dsp_internal.h"
#include "hevc_x86_lines.h"

#define HEVC_SSE41 __attribute__((target("sse4.1")))

namespace {

/* H.265 8.7.2.5.3 / 8.7.2.5.6 from the sample vectors (s[0..3] = p0..p3,
 * s[4..7] = q0..q3, lines 0..3 in lanes 0..3; the decisions look at lines 0
 * and 3): 0 no filtering, 1 normal, 2 strong. */
HEVC_SSE41 inline int DecideLanes(const __m128i *s, int iBeta, int iTc, bool *pbDEp, bool *pbDEq)
{
    const __m128i vDp = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(s[2], _mm_slli_epi16(s[1], 1)), s[0]));
    const __m128i vDq = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(s[6], _mm_slli_epi16(s[5], 1)), s[4]));
    const int iDp = _mm_extract_epi16(vDp, 0) + _mm_extract_epi16(vDp, 3);
    const int iDq = _mm_extract_epi16(vDq, 0) + _mm_extract_epi16(vDq, 3);
    if (iDp + iDq >= iBeta)
        return 0;
    const int iSideThr = (iBeta + (iBeta >> 1)) >> 3;
    *pbDEp = iDp < iSideThr;
    *pbDEq = iDq < iSideThr;
    /* strong where 2 dpq < beta/4, |p3-p0| + |q0-q3| < beta/8, |p0-q0| < (5 tc + 1)/2 */
    const __m128i vDpq2 = _mm_slli_epi16(_mm_add_epi16(vDp, vDq), 1);
    const __m128i vFlat = _mm_add_epi16(_mm_abs_epi16(_mm_sub_epi16(s[3], s[0])), _mm_abs_epi16(_mm_sub_epi16(s[4], s[7])));
    __m128i vStrong = _mm_cmplt_epi16(vDpq2, _mm_set1_epi16((short)(iBeta >> 2)));
    vStrong = _mm_and_si128(vStrong, _mm_cmplt_epi16(vFlat, _mm_set1_epi16((short)(iBeta >> 3))));
    vStrong = _mm_and_si128(vStrong, _mm_cmplt_epi16(_mm_abs_epi16(_mm_sub_epi16(s[0], s[4])),
                                                     _mm_set1_epi16((short)((5 * iTc + 1) >> 1))));
    const int iMask = _mm_movemask_epi8(vStrong);
    return (iMask & 0x03) == 0x03 && (iMask & 0xC0) == 0xC0 ? 2 : 1;
}

HEVC_SSE41 inline __m128i Clamp(__m128i v, __m128i lo, __m128i hi)
{
    return _mm_min_epi16(_mm_max_epi16(v, lo), hi);
}

/* Strong filter of one side: x0..x3 that side's samples from the edge out,
 * y1 the other side's second sample; out[0..2] the new x0..x2. The p and q
 * sides are mirror images. */
HEVC_SSE41 inline void StrongSide(__m128i x0, __m128i x1, __m128i x2, __m128i x3, __m128i y1, __m128i vP0Q0,
                                  __m128i vTc2, __m128i *out)
{
    const __m128i v4 = _mm_set1_epi16(4), v2 = _mm_set1_epi16(2);
    __m128i a = _mm_add_epi16(_mm_add_epi16(x2, y1), _mm_slli_epi16(_mm_add_epi16(x1, vP0Q0), 1));
    out[0] = Clamp(_mm_srai_epi16(_mm_add_epi16(a, v4), 3), _mm_sub_epi16(x0, vTc2), _mm_add_epi16(x0, vTc2));
    __m128i b = _mm_add_epi16(_mm_add_epi16(x2, x1), vP0Q0);
    out[1] = Clamp(_mm_srai_epi16(_mm_add_epi16(b, v2), 2), _mm_sub_epi16(x1, vTc2), _mm_add_epi16(x1, vTc2));
    __m128i c = _mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(x3, 1), _mm_mullo_epi16(x2, _mm_set1_epi16(3))),
                              _mm_add_epi16(x1, vP0Q0));
    out[2] = Clamp(_mm_srai_epi16(_mm_add_epi16(c, v4), 3), _mm_sub_epi16(x2, vTc2), _mm_add_epi16(x2, vTc2));
}

/* s[0..3] = p0..p3, s[4..7] = q0..q3, one line per lane (lanes 0..3). */
template <int BitDepth>
HEVC_SSE41 void FilterLanes(__m128i *s, int iMode, int iTc, bool bDEp, bool bDEq, int bNoP, int bNoQ)
{
    const __m128i p0 = s[0], p1 = s[1], p2 = s[2], p3 = s[3];
    const __m128i q0 = s[4], q1 = s[5], q2 = s[6], q3 = s[7];
    const __m128i vTc = _mm_set1_epi16((short)iTc);
    if (iMode == 2) {
        const __m128i vTc2 = _mm_set1_epi16((short)(2 * iTc));
        const __m128i vP0Q0 = _mm_add_epi16(p0, q0);
        if (!bNoP)
            StrongSide(p0, p1, p2, p3, q1, vP0Q0, vTc2, s);
        if (!bNoQ)
            StrongSide(q0, q1, q2, q3, p1, vP0Q0, vTc2, s + 4);
        return;
    }
    const __m128i vZero = _mm_setzero_si128(), vMax = _mm_set1_epi16((1 << BitDepth) - 1);
    /* delta = (9 (q0 - p0) - 3 (q1 - p1) + 8) >> 4, used where |delta| < 10 tc */
    __m128i vD = _mm_sub_epi16(_mm_mullo_epi16(_mm_sub_epi16(q0, p0), _mm_set1_epi16(9)),
                               _mm_mullo_epi16(_mm_sub_epi16(q1, p1), _mm_set1_epi16(3)));
    vD = _mm_srai_epi16(_mm_add_epi16(vD, _mm_set1_epi16(8)), 4);
    const __m128i vOn = _mm_cmplt_epi16(_mm_abs_epi16(vD), _mm_set1_epi16((short)(10 * iTc)));
    vD = Clamp(vD, _mm_sub_epi16(vZero, vTc), vTc);
    const __m128i vTcHalf = _mm_set1_epi16((short)(iTc >> 1)), vOne = _mm_set1_epi16(1);
    const __m128i vTcHalfNeg = _mm_sub_epi16(vZero, vTcHalf);
    if (!bNoP) {
        s[0] = _mm_blendv_epi8(p0, Clamp(_mm_add_epi16(p0, vD), vZero, vMax), vOn);
        if (bDEp) {
            __m128i a = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p0), vOne), 1);
            __m128i dp = _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(a, p1), vD), 1);
            dp = Clamp(dp, vTcHalfNeg, vTcHalf);
            s[1] = _mm_blendv_epi8(p1, Clamp(_mm_add_epi16(p1, dp), vZero, vMax), vOn);
        }
    }
    if (!bNoQ) {
        s[4] = _mm_blendv_epi8(q0, Clamp(_mm_sub_epi16(q0, vD), vZero, vMax), vOn);
        if (bDEq) {
            __m128i a = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q0), vOne), 1);
            __m128i dq = _mm_srai_epi16(_mm_sub_epi16(_mm_sub_epi16(a, q1), vD), 1);
            dq = Clamp(dq, vTcHalfNeg, vTcHalf);
            s[5] = _mm_blendv_epi8(q1, Clamp(_mm_add_epi16(q1, dq), vZero, vMax), vOn);
        }
    }
}

/* Horizontal edge: each of p3..q3 is a row of 4 samples. */
template <int BitDepth>
HEVC_SSE41 void DeblockLumaHSse41(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta,
                                  int iTc, int bNoP, int bNoQ)
{
    bool bDEp = false, bDEq = false;
    if (iTc == 0 || (bNoP && bNoQ))
        return;
    __m128i s[8];
    for (int k = 0; k < 4; k++) {
        s[k] = HevcLoadLine<4>(pPix - (k + 1) * iStride);
        s[4 + k] = HevcLoadLine<4>(pPix + k * iStride);
    }
    const int iMode = DecideLanes(s, iBeta, iTc, &bDEp, &bDEq);
    if (!iMode)
        return;
    FilterLanes<BitDepth>(s, iMode, iTc, bDEp, bDEq, bNoP, bNoQ);
    for (int k = 0; k < 3; k++) {
        if (!bNoP)
            HevcStoreLine<4>(pPix - (k + 1) * iStride, s[k]);
        if (!bNoQ)
            HevcStoreLine<4>(pPix + k * iStride, s[4 + k]);
    }
}

/* Vertical edge: each line is p3 p2 p1 p0 q0 q1 q2 q3 in memory; transpose
 * the 4 x 8 block into sample vectors and back. */
template <int BitDepth>
HEVC_SSE41 void DeblockLumaVSse41(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta,
                                  int iTc, int bNoP, int bNoQ)
{
    bool bDEp = false, bDEq = false;
    if (iTc == 0 || (bNoP && bNoQ))
        return;
    __m128i r0 = HevcLoadLine<8>(pPix - 4), r1 = HevcLoadLine<8>(pPix - 4 + iStride);
    __m128i r2 = HevcLoadLine<8>(pPix - 4 + 2 * iStride), r3 = HevcLoadLine<8>(pPix - 4 + 3 * iStride);
    __m128i t0 = _mm_unpacklo_epi16(r0, r1), t1 = _mm_unpacklo_epi16(r2, r3);
    __m128i t2 = _mm_unpackhi_epi16(r0, r1), t3 = _mm_unpackhi_epi16(r2, r3);
    __m128i u0 = _mm_unpacklo_epi32(t0, t1), u1 = _mm_unpackhi_epi32(t0, t1);
    __m128i u2 = _mm_unpacklo_epi32(t2, t3), u3 = _mm_unpackhi_epi32(t2, t3);
    /* columns 0..7 are p3 p2 p1 p0 q0 q1 q2 q3 */
    __m128i s[8];
    s[3] = u0;
    s[2] = _mm_srli_si128(u0, 8);
    s[1] = u1;
    s[0] = _mm_srli_si128(u1, 8);
    s[4] = u2;
    s[5] = _mm_srli_si128(u2, 8);
    s[6] = u3;
    s[7] = _mm_srli_si128(u3, 8);
    const int iMode = DecideLanes(s, iBeta, iTc, &bDEp, &bDEq);
    if (!iMode)
        return;
    FilterLanes<BitDepth>(s, iMode, iTc, bDEp, bDEq, bNoP, bNoQ);
    __m128i a0 = _mm_unpacklo_epi16(s[3], s[2]), a1 = _mm_unpacklo_epi16(s[1], s[0]);
    __m128i a2 = _mm_unpacklo_epi16(s[4], s[5]), a3 = _mm_unpacklo_epi16(s[6], s[7]);
    __m128i b0 = _mm_unpacklo_epi32(a0, a1), b1 = _mm_unpackhi_epi32(a0, a1);
    __m128i b2 = _mm_unpacklo_epi32(a2, a3), b3 = _mm_unpackhi_epi32(a2, a3);
    HevcStoreLine<8>(pPix - 4, _mm_unpacklo_epi64(b0, b2));
    HevcStoreLine<8>(pPix - 4 + iStride, _mm_unpackhi_epi64(b0, b2));
    HevcStoreLine<8>(pPix - 4 + 2 * iStride, _mm_unpacklo_epi64(b1, b3));
    HevcStoreLine<8>(pPix - 4 + 3 * iStride, _mm_unpackhi_epi64(b1, b3));
}

/* ---- two segments at once: eight lines in the eight 16-bit lanes, lanes
 * 0..3 the first segment, 4..7 the second, each with its own thresholds ---- */

/* Lane 0 to lanes 0..3 and lane 4 to lanes 4..7: a segment's decision. */
HEVC_SSE41 inline __m128i Spread(__m128i v)
{
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0), 0);
}

/* Lines 0 and 3 of each segment combined into lanes 0 and 4 (and, or add). */
HEVC_SSE41 inline __m128i Ends(__m128i v)
{
    return _mm_srli_epi64(v, 48);
}

HEVC_SSE41 inline __m128i PerSegment(int a, int b)
{
    return _mm_unpacklo_epi64(_mm_set1_epi16((short)a), _mm_set1_epi16((short)b));
}

/* s[0..3] = p0..p3, s[4..7] = q0..q3 of eight lines; filters them in place
 * (H.265 8.7.2.5.3, 8.7.2.5.6, 8.7.2.5.7). False when no sample changes. */
template <int BitDepth>
HEVC_SSE41 __attribute__((always_inline)) inline bool FilterPair(__m128i *s, int iBeta0, int iTc0, int iBeta1, int iTc1, unsigned uiNo)
{
    const __m128i p0 = s[0], p1 = s[1], p2 = s[2], p3 = s[3];
    const __m128i q0 = s[4], q1 = s[5], q2 = s[6], q3 = s[7];
    const __m128i vBeta = PerSegment(iBeta0, iBeta1), vTc = PerSegment(iTc0, iTc1);
    const __m128i vZero = _mm_setzero_si128();
    const __m128i vDp = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(p2, _mm_slli_epi16(p1, 1)), p0));
    const __m128i vDq = _mm_abs_epi16(_mm_add_epi16(_mm_sub_epi16(q2, _mm_slli_epi16(q1, 1)), q0));
    const __m128i vDpq = _mm_add_epi16(vDp, vDq);
    const __m128i vDpS = _mm_add_epi16(vDp, Ends(vDp)), vDqS = _mm_add_epi16(vDq, Ends(vDq));
    /* dp + dq of lines 0 and 3 below beta, tc above 0 */
    __m128i vOn = _mm_andnot_si128(_mm_cmpeq_epi16(vTc, vZero),
                                   _mm_cmplt_epi16(_mm_add_epi16(vDpS, vDqS), vBeta));
    vOn = Spread(vOn);
    __m128i vNoP = vZero, vNoQ = vZero;
    if (uiNo) {
        vNoP = PerSegment(-(int)(uiNo & 1), -(int)((uiNo >> 2) & 1));
        vNoQ = PerSegment(-(int)((uiNo >> 1) & 1), -(int)((uiNo >> 3) & 1));
        vOn = _mm_andnot_si128(_mm_and_si128(vNoP, vNoQ), vOn);
    }
    if (_mm_testz_si128(vOn, vOn))
        return false;
    /* strong where both decision lines have 2 dpq < beta/4, |p3-p0| + |q0-q3| < beta/8
     * and |p0-q0| < (5 tc + 1)/2 */
    __m128i vStrong = _mm_cmplt_epi16(_mm_slli_epi16(vDpq, 1), _mm_srai_epi16(vBeta, 2));
    const __m128i vFlat = _mm_add_epi16(_mm_abs_epi16(_mm_sub_epi16(p3, p0)), _mm_abs_epi16(_mm_sub_epi16(q0, q3)));
    vStrong = _mm_and_si128(vStrong, _mm_cmplt_epi16(vFlat, _mm_srai_epi16(vBeta, 3)));
    const __m128i vTc5 = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_slli_epi16(vTc, 2), vTc), _mm_set1_epi16(1)), 1);
    vStrong = _mm_and_si128(vStrong, _mm_cmplt_epi16(_mm_abs_epi16(_mm_sub_epi16(p0, q0)), vTc5));
    vStrong = _mm_and_si128(Spread(_mm_and_si128(vStrong, Ends(vStrong))), vOn);
    const __m128i vNormal = _mm_andnot_si128(vStrong, vOn);
    const __m128i vDoP = _mm_andnot_si128(vNoP, vOn), vDoQ = _mm_andnot_si128(vNoQ, vOn);
    if (!_mm_testz_si128(vNormal, vNormal)) {
        const __m128i vMax = _mm_set1_epi16((1 << BitDepth) - 1), vOne = _mm_set1_epi16(1);
        /* dE of each side: dp (dq) of lines 0 and 3 below (beta + beta/2) / 8 */
        const __m128i vSideThr = _mm_srai_epi16(_mm_add_epi16(vBeta, _mm_srai_epi16(vBeta, 1)), 3);
        const __m128i vDEp = Spread(_mm_cmplt_epi16(vDpS, vSideThr));
        const __m128i vDEq = Spread(_mm_cmplt_epi16(vDqS, vSideThr));
        /* delta = (9 (q0 - p0) - 3 (q1 - p1) + 8) >> 4, used where |delta| < 10 tc */
        __m128i vD = _mm_sub_epi16(_mm_mullo_epi16(_mm_sub_epi16(q0, p0), _mm_set1_epi16(9)),
                                   _mm_mullo_epi16(_mm_sub_epi16(q1, p1), _mm_set1_epi16(3)));
        vD = _mm_srai_epi16(_mm_add_epi16(vD, _mm_set1_epi16(8)), 4);
        const __m128i vLine = _mm_and_si128(
            vNormal, _mm_cmplt_epi16(_mm_abs_epi16(vD), _mm_mullo_epi16(vTc, _mm_set1_epi16(10))));
        vD = Clamp(vD, _mm_sub_epi16(vZero, vTc), vTc);
        const __m128i vTcHalf = _mm_srai_epi16(vTc, 1), vTcHalfNeg = _mm_sub_epi16(vZero, vTcHalf);
        const __m128i vP = _mm_and_si128(vLine, vDoP), vQ = _mm_and_si128(vLine, vDoQ);
        s[0] = _mm_blendv_epi8(s[0], Clamp(_mm_add_epi16(p0, vD), vZero, vMax), vP);
        s[4] = _mm_blendv_epi8(s[4], Clamp(_mm_sub_epi16(q0, vD), vZero, vMax), vQ);
        __m128i a = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(p2, p0), vOne), 1);
        __m128i d = Clamp(_mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(a, p1), vD), 1), vTcHalfNeg, vTcHalf);
        s[1] = _mm_blendv_epi8(s[1], Clamp(_mm_add_epi16(p1, d), vZero, vMax), _mm_and_si128(vP, vDEp));
        a = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(q2, q0), vOne), 1);
        d = Clamp(_mm_srai_epi16(_mm_sub_epi16(_mm_sub_epi16(a, q1), vD), 1), vTcHalfNeg, vTcHalf);
        s[5] = _mm_blendv_epi8(s[5], Clamp(_mm_add_epi16(q1, d), vZero, vMax), _mm_and_si128(vQ, vDEq));
    }
    if (!_mm_testz_si128(vStrong, vStrong)) {
        const __m128i vTc2 = _mm_slli_epi16(vTc, 1), vP0Q0 = _mm_add_epi16(p0, q0);
        __m128i r[3];
        const __m128i vP = _mm_and_si128(vStrong, vDoP), vQ = _mm_and_si128(vStrong, vDoQ);
        StrongSide(p0, p1, p2, p3, q1, vP0Q0, vTc2, r);
        for (int k = 0; k < 3; k++)
            s[k] = _mm_blendv_epi8(s[k], r[k], vP);
        StrongSide(q0, q1, q2, q3, p1, vP0Q0, vTc2, r);
        for (int k = 0; k < 3; k++)
            s[4 + k] = _mm_blendv_epi8(s[4 + k], r[k], vQ);
    }
    return true;
}

/* 8x8 transpose of 16-bit lanes (its own inverse). */
HEVC_SSE41 inline void Transpose8(__m128i *v)
{
    const __m128i a0 = _mm_unpacklo_epi16(v[0], v[1]), a1 = _mm_unpackhi_epi16(v[0], v[1]);
    const __m128i a2 = _mm_unpacklo_epi16(v[2], v[3]), a3 = _mm_unpackhi_epi16(v[2], v[3]);
    const __m128i a4 = _mm_unpacklo_epi16(v[4], v[5]), a5 = _mm_unpackhi_epi16(v[4], v[5]);
    const __m128i a6 = _mm_unpacklo_epi16(v[6], v[7]), a7 = _mm_unpackhi_epi16(v[6], v[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    v[0] = _mm_unpacklo_epi64(b0, b4);
    v[1] = _mm_unpackhi_epi64(b0, b4);
    v[2] = _mm_unpacklo_epi64(b1, b5);
    v[3] = _mm_unpackhi_epi64(b1, b5);
    v[4] = _mm_unpacklo_epi64(b2, b6);
    v[5] = _mm_unpackhi_epi64(b2, b6);
    v[6] = _mm_unpacklo_epi64(b3, b7);
    v[7] = _mm_unpackhi_epi64(b3, b7);
}

/* Horizontal edge, 8 samples along it: rows p3..q3 of 8 samples. */
template <int BitDepth>
HEVC_SSE41 void DeblockLuma2HSse41(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta0,
                                   int iTc0, int iBeta1, int iTc1, unsigned uiNo)
{
    __m128i s[8];
    for (int k = 0; k < 4; k++) {
        s[k] = HevcLoadLine<8>(pPix - (k + 1) * iStride);
        s[4 + k] = HevcLoadLine<8>(pPix + k * iStride);
    }
    if (!FilterPair<BitDepth>(s, iBeta0, iTc0, iBeta1, iTc1, uiNo))
        return;
    for (int k = 0; k < 3; k++) {
        HevcStoreLine<8>(pPix - (k + 1) * iStride, s[k]);
        HevcStoreLine<8>(pPix + k * iStride, s[4 + k]);
    }
}

/* Vertical edge, 8 lines of p3 p2 p1 p0 q0 q1 q2 q3 transposed in and out. */
template <int BitDepth>
HEVC_SSE41 void DeblockLuma2VSse41(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iBeta0,
                                   int iTc0, int iBeta1, int iTc1, unsigned uiNo)
{
    __m128i v[8], s[8];
    for (int l = 0; l < 8; l++)
        v[l] = HevcLoadLine<8>(pPix - 4 + l * iStride);
    Transpose8(v);
    for (int k = 0; k < 4; k++) {
        s[k] = v[3 - k];
        s[4 + k] = v[4 + k];
    }
    if (!FilterPair<BitDepth>(s, iBeta0, iTc0, iBeta1, iTc1, uiNo))
        return;
    for (int k = 0; k < 4; k++) {
        v[3 - k] = s[k];
        v[4 + k] = s[4 + k];
    }
    Transpose8(v);
    for (int l = 0; l < 8; l++)
        HevcStoreLine<8>(pPix - 4 + l * iStride, v[l]);
}

/* Chroma (H.265 8.7.2.5.5) on the four lines at once: p1, p0, q0, q1 as
 * 4-lane vectors (a vertical edge's four 4-sample rows transposed), the
 * new p0 and q0 written back unless that side is excluded. */
template <int BitDepth>
HEVC_SSE41 inline void ChromaLanes(__m128i p1, __m128i p0, __m128i q0, __m128i q1, int iTc, int bNoP, int bNoQ,
                                   __m128i *pNewP0, __m128i *pNewQ0)
{
    const __m128i vTc = _mm_set1_epi16((short)iTc), vZero = _mm_setzero_si128();
    const __m128i vMax = _mm_set1_epi16((1 << BitDepth) - 1);
    __m128i d = _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(q0, p0), 2), _mm_sub_epi16(p1, q1));
    d = _mm_srai_epi16(_mm_add_epi16(d, _mm_set1_epi16(4)), 3);
    d = _mm_min_epi16(_mm_max_epi16(d, _mm_sub_epi16(vZero, vTc)), vTc);
    *pNewP0 = bNoP ? p0 : Clamp(_mm_add_epi16(p0, d), vZero, vMax);
    *pNewQ0 = bNoQ ? q0 : Clamp(_mm_sub_epi16(q0, d), vZero, vMax);
}

template <int BitDepth>
HEVC_SSE41 void DeblockChromaHSse41(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iTc,
                                    int bNoP, int bNoQ)
{
    if (iTc == 0)
        return;
    __m128i vP0, vQ0;
    ChromaLanes<BitDepth>(HevcLoadLine<4>(pPix - 2 * iStride), HevcLoadLine<4>(pPix - iStride),
                          HevcLoadLine<4>(pPix), HevcLoadLine<4>(pPix + iStride), iTc, bNoP, bNoQ, &vP0, &vQ0);
    HevcStoreLine<4>(pPix - iStride, vP0);
    HevcStoreLine<4>(pPix, vQ0);
}

template <int BitDepth>
HEVC_SSE41 void DeblockChromaVSse41(typename HevcDspTraits<BitDepth>::Pixel *pPix, ptrdiff_t iStride, int iTc,
                                    int bNoP, int bNoQ)
{
    typedef typename HevcDspTraits<BitDepth>::Pixel Pixel;
    if (iTc == 0)
        return;
    /* rows (p1 p0 q0 q1) of lines 0..3 -> p1|p0 and q0|q1 */
    const __m128i t0 = _mm_unpacklo_epi16(HevcLoadLine<4>(pPix - 2), HevcLoadLine<4>(pPix - 2 + iStride));
    const __m128i t1 = _mm_unpacklo_epi16(HevcLoadLine<4>(pPix - 2 + 2 * iStride),
                                          HevcLoadLine<4>(pPix - 2 + 3 * iStride));
    const __m128i vP = _mm_unpacklo_epi32(t0, t1), vQ = _mm_unpackhi_epi32(t0, t1);
    __m128i vP0, vQ0;
    ChromaLanes<BitDepth>(vP, _mm_srli_si128(vP, 8), vQ, _mm_srli_si128(vQ, 8), iTc, bNoP, bNoQ, &vP0, &vQ0);
    /* (p0, q0) of each line */
    const __m128i vPairs = _mm_unpacklo_epi16(vP0, vQ0);
    Pixel *p = pPix - 1;
    if constexpr (BitDepth == 8) {
        const __m128i b = _mm_packus_epi16(vPairs, vPairs);
        const uint32_t aui[4] = {(uint32_t)_mm_extract_epi16(b, 0), (uint32_t)_mm_extract_epi16(b, 1),
                                 (uint32_t)_mm_extract_epi16(b, 2), (uint32_t)_mm_extract_epi16(b, 3)};
        for (int l = 0; l < 4; l++, p += iStride) {
            const uint16_t us = (uint16_t)aui[l];
            memcpy(p, &us, 2);
        }
    } else {
        const uint32_t aui[4] = {(uint32_t)_mm_extract_epi32(vPairs, 0), (uint32_t)_mm_extract_epi32(vPairs, 1),
                                 (uint32_t)_mm_extract_epi32(vPairs, 2), (uint32_t)_mm_extract_epi32(vPairs, 3)};
        for (int l = 0; l < 4; l++, p += iStride)
            memcpy(p, &aui[l], 4);
    }
}

} /* namespace */

template <int BitDepth> void HevcDeblockInitSse41(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnDeblockLuma[0] = DeblockLumaVSse41<BitDepth>;
    pstDsp->pfnDeblockLuma[1] = DeblockLumaHSse41<BitDepth>;
    pstDsp->pfnDeblockLuma2[0] = DeblockLuma2VSse41<BitDepth>;
    pstDsp->pfnDeblockLuma2[1] = DeblockLuma2HSse41<BitDepth>;
    pstDsp->pfnDeblockChroma[0] = DeblockChromaVSse41<BitDepth>;
    pstDsp->pfnDeblockChroma[1] = DeblockChromaHSse41<BitDepth>;
}
template void HevcDeblockInitSse41<8>(HevcDsp8 *);
template void HevcDeblockInitSse41<10>(HevcDsp10 *);

#endif
