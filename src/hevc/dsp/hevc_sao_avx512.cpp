/* SAO for AVX-512: whole 64-sample rows in one or two steps, row tails by
 * masked loads and stores (no overlapping steps); each sample's offset comes
 * from a register table by vpermb / vpermw. See hevc_avx512.h for what the
 * file's flags forbid. */
#if defined(__x86_64__) || defined(__i386__)
#include "hevc_avx512.h"

namespace {

/* What differs between the sample types: 64 bytes or 32 words per step, and
 * how an offset from a 32-entry table (indexed by band or edge class) is
 * applied: 8-bit as a saturating add of its positive and a saturating
 * subtract of its negative part, which is exactly Clip1 of the sum. */
template <int BitDepth> struct Lanes;

template <> struct Lanes<8> {
    typedef uint8_t Pixel;
    typedef __mmask64 Mask;
    static constexpr int kStep = 64;
    static Mask StepMask(int n) { return n >= 64 ? ~0ull : (1ull << n) - 1; }
    static __m512i Load(Mask m, const Pixel *p) { return _mm512_maskz_loadu_epi8(m, p); }
    static void Store(Pixel *p, Mask m, __m512i v) { _mm512_mask_storeu_epi8(p, m, v); }
    static __m512i Band(__m512i s) { return _mm512_and_si512(_mm512_srli_epi16(s, 3), _mm512_set1_epi8(31)); }
    static __m512i Set(int v) { return _mm512_set1_epi8((char)v); }
    static Mask Gt(__m512i a, __m512i b) { return _mm512_cmpgt_epu8_mask(a, b); }
    static __m512i AddIf(__m512i v, Mask m, __m512i d) { return _mm512_mask_add_epi8(v, m, v, d); }
    struct Offsets {
        __m512i vPos, vNeg;
        explicit Offsets(const int16_t *psTable)
        {
            const __m512i v = _mm512_zextsi256_si512(_mm512_cvtepi16_epi8(_mm512_loadu_si512(psTable)));
            vPos = _mm512_max_epi8(v, _mm512_setzero_si512());
            vNeg = _mm512_max_epi8(_mm512_sub_epi8(_mm512_setzero_si512(), v), _mm512_setzero_si512());
        }
        __m512i Apply(__m512i s, __m512i vIdx) const
        {
            return _mm512_subs_epu8(_mm512_adds_epu8(s, _mm512_permutexvar_epi8(vIdx, vPos)),
                                    _mm512_permutexvar_epi8(vIdx, vNeg));
        }
    };
};

template <> struct Lanes<10> {
    typedef uint16_t Pixel;
    typedef __mmask32 Mask;
    static constexpr int kStep = 32;
    static Mask StepMask(int n) { return n >= 32 ? ~0u : (1u << n) - 1; }
    static __m512i Load(Mask m, const Pixel *p) { return _mm512_maskz_loadu_epi16(m, p); }
    static void Store(Pixel *p, Mask m, __m512i v) { _mm512_mask_storeu_epi16(p, m, v); }
    static __m512i Band(__m512i s) { return _mm512_srli_epi16(s, 5); }
    static __m512i Set(int v) { return _mm512_set1_epi16((short)v); }
    static Mask Gt(__m512i a, __m512i b) { return _mm512_cmpgt_epu16_mask(a, b); }
    static __m512i AddIf(__m512i v, Mask m, __m512i d) { return _mm512_mask_add_epi16(v, m, v, d); }
    struct Offsets {
        __m512i vTable;
        explicit Offsets(const int16_t *psTable) : vTable(_mm512_loadu_si512(psTable)) {}
        __m512i Apply(__m512i s, __m512i vIdx) const
        {
            const __m512i v = _mm512_add_epi16(s, _mm512_permutexvar_epi16(vIdx, vTable));
            return _mm512_min_epi16(_mm512_max_epi16(v, _mm512_setzero_si512()), _mm512_set1_epi16(1023));
        }
    };
};

/* Edge class 2 + sign(c - a) + sign(c - b). */
template <typename L> inline __m512i EdgeClass(__m512i c, __m512i a, __m512i b)
{
    const __m512i vOne = L::Set(1), vMinusOne = L::Set(-1);
    __m512i v = L::AddIf(L::Set(2), L::Gt(c, a), vOne);
    v = L::AddIf(v, L::Gt(a, c), vMinusOne);
    v = L::AddIf(v, L::Gt(c, b), vOne);
    return L::AddIf(v, L::Gt(b, c), vMinusOne);
}

/* Band offset: the table is indexed by the band itself. */
template <int BitDepth>
void SaoBand(typename Lanes<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride, const typename Lanes<BitDepth>::Pixel *pSrc,
             ptrdiff_t iSrcStride, int iWidth, int iHeight, const int16_t *psOffset, int iBandPos)
{
    typedef Lanes<BitDepth> L;
    alignas(64) int16_t asTable[32] = {0};
    for (int k = 0; k < 4; k++)
        asTable[(iBandPos + k) & 31] = psOffset[k + 1];
    const typename L::Offsets t(asTable);
    for (int y = 0; y < iHeight; y++, pDst += iDstStride, pSrc += iSrcStride)
        for (int x = 0; x < iWidth; x += L::kStep) {
            const typename L::Mask m = L::StepMask(iWidth - x);
            const __m512i s = L::Load(m, pSrc + x);
            L::Store(pDst + x, m, t.Apply(s, L::Band(s)));
        }
}

/* Edge offset: table entries by 2 + signs are edgeIdx 1, 2, 0, 3, 4. */
template <int BitDepth>
void SaoEdge(typename Lanes<BitDepth>::Pixel *pDst, ptrdiff_t iDstStride, const typename Lanes<BitDepth>::Pixel *pSrc,
             ptrdiff_t iSrcStride, int iWidth, int iHeight, const int16_t *psOffset, int iEoClass, unsigned uiAvail)
{
    typedef Lanes<BitDepth> L;
    const ptrdiff_t iOff0 = g_aacHevcSaoEoDy[iEoClass][0] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][0];
    const ptrdiff_t iOff1 = g_aacHevcSaoEoDy[iEoClass][1] * iSrcStride + g_aacHevcSaoEoDx[iEoClass][1];
    alignas(64) int16_t asTable[32] = {psOffset[1], psOffset[2], 0, psOffset[3], psOffset[4]};
    const typename L::Offsets t(asTable);
    auto fnRow = [&](const typename L::Pixel *s, typename L::Pixel *d, int x0, int x1) {
        for (int x = x0; x < x1; x += L::kStep) {
            const typename L::Mask m = L::StepMask(x1 - x);
            const __m512i c = L::Load(m, s + x);
            L::Store(d + x, m, t.Apply(c, EdgeClass<L>(c, L::Load(m, s + x + iOff0), L::Load(m, s + x + iOff1))));
        }
    };
    HevcSaoEdgeRows<BitDepth>(pDst, iDstStride, pSrc, iSrcStride, iWidth, iHeight, psOffset, iEoClass, uiAvail, fnRow);
}

} /* namespace */

template <int BitDepth> void HevcSaoInitAvx512(typename HevcDspTraits<BitDepth>::Table *pstDsp)
{
    pstDsp->pfnSaoBand = SaoBand<BitDepth>;
    pstDsp->pfnSaoEdge = SaoEdge<BitDepth>;
}
template void HevcSaoInitAvx512<8>(HevcDsp8 *);
template void HevcSaoInitAvx512<10>(HevcDsp10 *);

#endif
