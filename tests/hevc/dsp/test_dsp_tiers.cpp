/* Every entry an instruction-set tier overrides is run against the C
 * reference on random and built inputs, for every size and both bit depths,
 * comparing whole buffers so writes into the guard band around a block show
 * up. */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "dsp/hevc_dsp.h"

namespace {

struct TestRng {
    uint64_t ullState;
    explicit TestRng(uint64_t seed) : ullState(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t Next()
    {
        ullState ^= ullState << 13;
        ullState ^= ullState >> 7;
        ullState ^= ullState << 17;
        return (uint32_t)(ullState >> 16);
    }
    /* uniform in [lo, hi] */
    int Range(int lo, int hi) { return lo + (int)(Next() % (uint32_t)(hi - lo + 1)); }
};

template <int BitDepth> struct DspOf;
template <> struct DspOf<8> {
    typedef uint8_t Pixel;
    typedef HevcDsp8 Table;
    static void Init(Table *t, unsigned m) { HevcDspInit8(t, m); }
};
template <> struct DspOf<10> {
    typedef uint16_t Pixel;
    typedef HevcDsp10 Table;
    static void Init(Table *t, unsigned m) { HevcDspInit10(t, m); }
};

enum CoeffShape { kSparse, kLowFreq, kFull, kExtreme, kShapes };

/* Coefficient blocks of the shapes real residuals take, plus all-extreme
 * values that saturate the intermediate stage of the inverse transform. */
inline void FillCoeffs(TestRng &rng, int N, int eShape, int16_t *c)
{
    memset(c, 0, sizeof(int16_t) * N * N);
    if (eShape == kSparse) {
        for (int i = rng.Range(1, 3); i > 0; i--)
            c[rng.Range(0, N * N - 1)] = (int16_t)rng.Range(-500, 500);
    } else if (eShape == kLowFreq) {
        /* half of them within the top-left 8x8, where transforms skip most
         * rows and columns; some with saturating values */
        int iLim = rng.Range(1, rng.Next() & 1 && N > 8 ? 8 : N), iAmp = rng.Next() & 3 ? 3000 : 32767;
        for (int y = 0; y < iLim; y++)
            for (int x = 0; x < iLim - y; x++)
                c[y * N + x] = (int16_t)rng.Range(-iAmp, iAmp);
    } else {
        for (int i = 0; i < N * N; i++)
            c[i] = (int16_t)(eShape == kFull ? rng.Range(-32768, 32767) : (rng.Next() & 1) ? 32767 : -32768);
    }
}

const int kGuard = 64;

/* iCompared counts the entries the tier replaced. */
template <int BitDepth> void CompareTier(unsigned uiMask, int &iCompared)
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table ref, opt;
    DspOf<BitDepth>::Init(&ref, 0);
    DspOf<BitDepth>::Init(&opt, uiMask);
    TestRng rng(BitDepth * 1000 + uiMask);
    const int iMax = (1 << BitDepth) - 1;
    const std::string tag = std::to_string(BitDepth) + "-bit mask " + std::to_string(uiMask) + " ";

    /* coefficient-buffer entries: in place, guard on both sides */
    auto fnCoeffs = [&](const char *name, int N, void (*fnRef)(int16_t *), void (*fnOpt)(int16_t *)) {
        if (fnRef == fnOpt)
            return;
        iCompared++;
        alignas(32) int16_t a[32 * 32 + 2 * kGuard], b[32 * 32 + 2 * kGuard];
        for (int iter = 0; iter < 400; iter++) {
            for (int i = 0; i < 32 * 32 + 2 * kGuard; i++)
                a[i] = b[i] = (int16_t)rng.Next();
            FillCoeffs(rng, N, iter % kShapes, a + kGuard);
            memcpy(b + kGuard, a + kGuard, sizeof(int16_t) * N * N);
            fnRef(a + kGuard);
            fnOpt(b + kGuard);
            ASSERT_EQ(0, memcmp(a, b, sizeof(a))) << tag << name << " N=" << N << " shape " << iter % kShapes;
        }
    };
    for (int l = 0; l < 4; l++) {
        fnCoeffs("idct", 4 << l, ref.pfnIdct[l], opt.pfnIdct[l]);
        fnCoeffs("transform skip", 4 << l, ref.pfnTransformSkip[l], opt.pfnTransformSkip[l]);
    }
    fnCoeffs("idst", 4, ref.pfnIdst4, opt.pfnIdst4);

    /* picture entries: a block inside a larger plane */
    const int iStride = 32 + 2 * 16;
    static Pixel picA[(32 + 2 * 16) * (32 + 8)], picB[(32 + 2 * 16) * (32 + 8)];
    auto fnFillPic = [&] {
        for (size_t i = 0; i < sizeof(picA) / sizeof(Pixel); i++)
            picA[i] = picB[i] = (Pixel)(rng.Next() % 3 ? rng.Range(0, iMax) : (rng.Next() & 1) * iMax);
    };
    Pixel *pBlkA = picA + 4 * iStride + 16, *pBlkB = picB + 4 * iStride + 16;
    for (int l = 0; l < 4; l++) {
        const int N = 4 << l;
        if (ref.pfnAddResidual[l] != opt.pfnAddResidual[l]) {
            iCompared++;
            alignas(32) int16_t res[32 * 32];
            for (int iter = 0; iter < 300; iter++) {
                fnFillPic();
                for (int i = 0; i < N * N; i++)
                    res[i] = (int16_t)(iter % 4 == 0 ? rng.Range(-32768, 32767) : rng.Range(-iMax, iMax));
                ref.pfnAddResidual[l](pBlkA, iStride, res);
                opt.pfnAddResidual[l](pBlkB, iStride, res);
                ASSERT_EQ(0, memcmp(picA, picB, sizeof(picA))) << tag << "add residual N=" << N;
            }
        }
        if (ref.pfnIdctDcAdd[l] != opt.pfnIdctDcAdd[l]) {
            iCompared++;
            for (int iter = 0; iter < 300; iter++) {
                fnFillPic();
                int c = iter % 3 ? rng.Range(-2000, 2000) : rng.Range(-32768, 32767);
                ref.pfnIdctDcAdd[l](pBlkA, iStride, c);
                opt.pfnIdctDcAdd[l](pBlkB, iStride, c);
                ASSERT_EQ(0, memcmp(picA, picB, sizeof(picA))) << tag << "dc add N=" << N;
            }
        }
        if (ref.pfnPredPlanar[l] != opt.pfnPredPlanar[l] || ref.pfnPredDc[l] != opt.pfnPredDc[l] ||
            ref.pfnPredAngular[l] != opt.pfnPredAngular[l]) {
            iCompared++;
            Pixel line[HEVC_INTRA_LINE_ALLOC];
            for (int iter = 0; iter < 20; iter++) {
                for (int i = 0; i < HEVC_INTRA_LINE_ALLOC; i++) /* all-white lines give the largest sums */
                    line[i] = (Pixel)(iter == 0 ? iMax : iter == 1 ? (rng.Next() & 1) * iMax : rng.Range(0, iMax));
                const Pixel *pRef = line + HEVC_INTRA_LINE_PAD + 2 * N;
                for (int iMode = 0; iMode <= 34; iMode++)
                    for (int bEdge = 0; bEdge <= 1; bEdge++) {
                        fnFillPic();
                        if (iMode == 0) {
                            ref.pfnPredPlanar[l](pBlkA, iStride, pRef);
                            opt.pfnPredPlanar[l](pBlkB, iStride, pRef);
                        } else if (iMode == 1) {
                            ref.pfnPredDc[l](pBlkA, iStride, pRef, bEdge);
                            opt.pfnPredDc[l](pBlkB, iStride, pRef, bEdge);
                        } else {
                            ref.pfnPredAngular[l](pBlkA, iStride, pRef, iMode, bEdge);
                            opt.pfnPredAngular[l](pBlkB, iStride, pRef, iMode, bEdge);
                        }
                        ASSERT_EQ(0, memcmp(picA, picB, sizeof(picA))) << tag << "intra N=" << N << " mode " << iMode;
                    }
            }
        }
    }
    /* reference substitution: every unit available, one run of available units
     * (ends missing, none at all) and random holes; units are 4 or 2 samples */
    if (ref.pfnIntraRefFill != opt.pfnIntraRefFill) {
        iCompared++;
        static Pixel plane[72 * 160];
        for (Pixel &v : plane)
            v = (Pixel)rng.Range(0, iMax);
        Pixel a[HEVC_INTRA_LINE_ALLOC], b[HEVC_INTRA_LINE_ALLOC];
        uint8_t avail[2 * 32 + 1];
        for (int iter = 0; iter < 3000; iter++) {
            const int iLog2 = 2 + iter % 4, iLog2Unit = 1 + (iter >> 2) % 2, iUnits = 2 * (2 << iLog2 >> iLog2Unit) + 1;
            const int u0 = rng.Range(0, iUnits), u1 = rng.Range(u0, iUnits);
            for (int u = 0; u < iUnits; u++)
                avail[u] = (uint8_t)(iter % 3 == 0 || (iter % 3 == 1 && u >= u0 && u < u1) || (iter % 3 == 2 && rng.Range(0, 1)));
            for (int i = 0; i < HEVC_INTRA_LINE_ALLOC; i++)
                a[i] = b[i] = (Pixel)rng.Next();
            ref.pfnIntraRefFill(a + HEVC_INTRA_LINE_PAD, plane + 2 * 160 + 8, 160, iLog2, avail, iLog2Unit);
            opt.pfnIntraRefFill(b + HEVC_INTRA_LINE_PAD, plane + 2 * 160 + 8, 160, iLog2, avail, iLog2Unit);
            ASSERT_EQ(0, memcmp(a, b, sizeof(a))) << tag << "reference fill N=" << (1 << iLog2) << " unit " << iLog2Unit;
        }
    }
    /* reference smoothing on random lines and on lines whose side midpoints sit
     * near the straight corner-to-end line, so the strong smoothing's flatness
     * test both passes and fails */
    if (ref.pfnIntraSmooth != opt.pfnIntraSmooth) {
        iCompared++;
        Pixel a[HEVC_INTRA_LINE_ALLOC], b[HEVC_INTRA_LINE_ALLOC];
        for (int iter = 0; iter < 800; iter++) {
            const int iLog2 = 2 + iter % 4, N = 1 << iLog2, bStrong = (iter >> 3) & 1;
            for (int i = 0; i < HEVC_INTRA_LINE_ALLOC; i++)
                a[i] = (Pixel)rng.Range(0, iMax);
            Pixel *pA = a + HEVC_INTRA_LINE_PAD + 2 * N;
            for (int s = -1; s <= 1 && (iter & 4); s += 2) {
                const int iMid = (pA[0] + pA[2 * s * N]) / 2 + rng.Range(-(1 << (BitDepth - 5)), 1 << (BitDepth - 5));
                pA[s * N] = (Pixel)(iMid < 0 ? 0 : iMid > iMax ? iMax : iMid);
            }
            memcpy(b, a, sizeof(a));
            ref.pfnIntraSmooth(pA, iLog2, bStrong);
            opt.pfnIntraSmooth(b + (pA - a), iLog2, bStrong);
            ASSERT_EQ(0, memcmp(a, b, sizeof(a))) << tag << "intra smoothing N=" << N << " strong " << bStrong;
        }
    }
    if (ref.pfnDequant != opt.pfnDequant) {
        iCompared++;
        int16_t a[32 * 32], b[32 * 32];
        uint8_t m[32 * 32];
        for (int iter = 0; iter < 400; iter++) {
            int iLog2 = 2 + iter % 4, N = 1 << iLog2, iQp = rng.Range(0, 51 + 6 * (BitDepth - 8));
            FillCoeffs(rng, N, iter % kShapes, a);
            memcpy(b, a, sizeof(a));
            for (int i = 0; i < N * N; i++)
                m[i] = (uint8_t)rng.Range(1, 255);
            ref.pfnDequant(a, iLog2, iQp, iter & 1 ? m : NULL);
            opt.pfnDequant(b, iLog2, iQp, iter & 1 ? m : NULL);
            ASSERT_EQ(0, memcmp(a, b, sizeof(int16_t) * N * N)) << tag << "dequant";
        }
    }
    /* loop filters: structured edges so every decision path is reached */
    for (int iDir = 0; iDir < 2; iDir++) {
        if (ref.pfnDeblockLuma[iDir] == opt.pfnDeblockLuma[iDir] && ref.pfnDeblockChroma[iDir] == opt.pfnDeblockChroma[iDir] &&
            ref.pfnDeblockLuma2[iDir] == opt.pfnDeblockLuma2[iDir])
            continue;
        iCompared++;
        for (int iter = 0; iter < 3000; iter++) {
            int iBase = rng.Range(0, iMax), iSlope = rng.Range(-3, 3), iStep = rng.Range(-40, 40), iNoise = rng.Range(0, 3);
            for (int y = 0; y < 40; y++)
                for (int x = 0; x < iStride; x++) {
                    int t = iDir ? y : x, v = iBase + iSlope * t + (t >= 20 ? iStep : 0) + rng.Range(-iNoise, iNoise);
                    picA[y * iStride + x] = picB[y * iStride + x] = (Pixel)(v < 0 ? 0 : v > iMax ? iMax : v);
                }
            Pixel *pA = picA + 20 * iStride + 20, *pB = picB + 20 * iStride + 20;
            int iQp = rng.Range(10, 51);
            int iBeta = HevcDeblockBeta(iQp, rng.Range(-6, 6), BitDepth);
            int iTc = HevcDeblockTc(iQp, rng.Range(1, 2), rng.Range(-6, 6), BitDepth);
            int bNoP = rng.Range(0, 7) == 0, bNoQ = rng.Range(0, 7) == 0;
            ref.pfnDeblockLuma[iDir](pA, iStride, iBeta, iTc, bNoP, bNoQ);
            opt.pfnDeblockLuma[iDir](pB, iStride, iBeta, iTc, bNoP, bNoQ);
            ref.pfnDeblockChroma[iDir](pA + 8 * (iDir ? 1 : iStride), iStride, iTc, bNoP, bNoQ);
            opt.pfnDeblockChroma[iDir](pB + 8 * (iDir ? 1 : iStride), iStride, iTc, bNoP, bNoQ);
            ASSERT_EQ(0, memcmp(picA, picB, sizeof(picA))) << tag << "deblock dir " << iDir;
            /* two segments with thresholds of their own (bS 0 for one now and then) */
            int iBeta1 = HevcDeblockBeta(iQp + rng.Range(-3, 3), rng.Range(-6, 6), BitDepth);
            int iTc1 = rng.Range(0, 5) ? HevcDeblockTc(iQp, rng.Range(1, 2), rng.Range(-6, 6), BitDepth) : 0;
            unsigned uiNo = (unsigned)(bNoP | bNoQ << 1 | (rng.Range(0, 7) == 0) << 2 | (rng.Range(0, 7) == 0) << 3);
            Pixel *pA2 = pA + 8 * (iDir ? 1 : iStride), *pB2 = pB + 8 * (iDir ? 1 : iStride);
            ref.pfnDeblockLuma2[iDir](pA2, iStride, iBeta, iTc, iBeta1, iTc1, uiNo);
            opt.pfnDeblockLuma2[iDir](pB2, iStride, iBeta, iTc, iBeta1, iTc1, uiNo);
            ASSERT_EQ(0, memcmp(picA, picB, sizeof(picA))) << tag << "deblock pair dir " << iDir;
        }
    }
    /* motion compensation: every width, fraction pair and random heights; the
     * source plane leaves room for the taps and the tail loads */
    for (int iW = 0; iW < HEVC_MC_WIDTHS; iW++) {
        if (ref.pfnMcLuma[iW] == opt.pfnMcLuma[iW] && ref.pfnMcChroma[iW] == opt.pfnMcChroma[iW] &&
            ref.pfnPutUni[iW] == opt.pfnPutUni[iW] && ref.pfnPutWeightedBi[iW] == opt.pfnPutWeightedBi[iW])
            continue;
        iCompared++;
        const int W = g_aucHevcMcWidths[iW], kS = 96;
        static Pixel src[kS * 80], dA[kS * 66], dB[kS * 66];
        alignas(32) static int16_t tA[HEVC_MC_STRIDE * 66], tB[HEVC_MC_STRIDE * 66], t1[HEVC_MC_STRIDE * 64];
        for (int iter = 0; iter < 12; iter++) {
            const int h = iter < 2 ? 64 - iter : rng.Range(1, 64);
            for (int i = 0; i < kS * 80; i++)
                src[i] = (Pixel)(iter % 3 ? rng.Range(0, iMax) : (rng.Next() & 1) * iMax);
            const Pixel *s = src + 4 * kS + 8;
            for (int f = 0; f < 64 + 16; f++) {
                for (int i = 0; i < HEVC_MC_STRIDE * 66; i++)
                    tA[i] = tB[i] = (int16_t)0x5A5A;
                if (f < 64) {
                    ref.pfnMcChroma[iW](tA + HEVC_MC_STRIDE, s, kS, h, f & 7, f >> 3);
                    opt.pfnMcChroma[iW](tB + HEVC_MC_STRIDE, s, kS, h, f & 7, f >> 3);
                } else {
                    ref.pfnMcLuma[iW](tA + HEVC_MC_STRIDE, s, kS, h, f & 3, (f >> 2) & 3);
                    opt.pfnMcLuma[iW](tB + HEVC_MC_STRIDE, s, kS, h, f & 3, (f >> 2) & 3);
                }
                ASSERT_EQ(0, memcmp(tA, tB, sizeof(tA))) << tag << "mc W=" << W << " h=" << h << " frac " << f;
            }
            /* sample prediction from random intermediates, extremes included */
            for (int i = 0; i < HEVC_MC_STRIDE * 64; i++) {
                tA[i] = (int16_t)(iter % 3 ? rng.Range(-4000, 30000) : rng.Next());
                t1[i] = (int16_t)(iter % 3 ? rng.Range(-4000, 30000) : rng.Next());
            }
            const int iLog2Wd = 14 - BitDepth + rng.Range(0, 7), w0 = rng.Range(-128, 127), w1 = rng.Range(-128, 127);
            const int o0 = rng.Range(-128, 127) * (1 << (BitDepth - 8)), o1 = rng.Range(-128, 127) * (1 << (BitDepth - 8));
            for (int k = 0; k < 4; k++) {
                for (int i = 0; i < kS * 66; i++)
                    dA[i] = dB[i] = (Pixel)i;
                Pixel *pA = dA + kS + 8, *pB = dB + kS + 8;
                if (k == 0) {
                    ref.pfnPutUni[iW](pA, kS, tA, h);
                    opt.pfnPutUni[iW](pB, kS, tA, h);
                } else if (k == 1) {
                    ref.pfnPutBi[iW](pA, kS, tA, t1, h);
                    opt.pfnPutBi[iW](pB, kS, tA, t1, h);
                } else if (k == 2) {
                    ref.pfnPutWeighted[iW](pA, kS, tA, h, iLog2Wd, w0, o0);
                    opt.pfnPutWeighted[iW](pB, kS, tA, h, iLog2Wd, w0, o0);
                } else {
                    ref.pfnPutWeightedBi[iW](pA, kS, tA, t1, h, iLog2Wd, w0, w1, o0, o1);
                    opt.pfnPutWeightedBi[iW](pB, kS, tA, t1, h, iLog2Wd, w0, w1, o0, o1);
                }
                ASSERT_EQ(0, memcmp(dA, dB, sizeof(dA))) << tag << "put " << k << " W=" << W << " h=" << h;
            }
        }
    }
    if (ref.pfnSaoBand != opt.pfnSaoBand || ref.pfnSaoEdge != opt.pfnSaoEdge) {
        iCompared++;
        static Pixel src[70 * 70], dA[70 * 70], dB[70 * 70];
        for (int iter = 0; iter < 400; iter++) {
            int w = rng.Range(1, 64), h = rng.Range(1, 64), c = iter % 4;
            unsigned uiAvail = iter % 3 ? HEVC_SAO_ALL : rng.Next() & 0xFF;
            int16_t off[5] = {0, (int16_t)rng.Range(-31, 31), (int16_t)rng.Range(-31, 31), (int16_t)rng.Range(-31, 31),
                              (int16_t)rng.Range(-31, 31)};
            for (int i = 0; i < 70 * 70; i++) {
                src[i] = (Pixel)(rng.Next() % 4 ? rng.Range(0, iMax) : iMax / 2);
                dA[i] = dB[i] = (Pixel)i;
            }
            const Pixel *s = src + 3 * 70 + 3;
            ref.pfnSaoEdge(dA + 3 * 70 + 3, 70, s, 70, w, h, off, c, uiAvail);
            opt.pfnSaoEdge(dB + 3 * 70 + 3, 70, s, 70, w, h, off, c, uiAvail);
            ASSERT_EQ(0, memcmp(dA, dB, sizeof(dA))) << tag << "sao edge";
            int iBandPos = rng.Range(0, 31);
            ref.pfnSaoBand(dA + 3 * 70 + 3, 70, s, 70, w, h, off, iBandPos);
            opt.pfnSaoBand(dB + 3 * 70 + 3, 70, s, 70, w, h, off, iBandPos);
            ASSERT_EQ(0, memcmp(dA, dB, sizeof(dA))) << tag << "sao band";
            /* in place */
            ref.pfnSaoBand(dA + 3 * 70 + 3, 70, dA + 3 * 70 + 3, 70, w, h, off, iBandPos);
            opt.pfnSaoBand(dB + 3 * 70 + 3, 70, dB + 3 * 70 + 3, 70, w, h, off, iBandPos);
            ASSERT_EQ(0, memcmp(dA, dB, sizeof(dA))) << tag << "sao band in place";
        }
    }
    /* border padding: any width and pad; the row's own samples and the
     * memory past the borders keep their values */
    if (ref.pfnPadRows != opt.pfnPadRows) {
        iCompared++;
        static Pixel pA[200 * 6], pB[200 * 6];
        for (int iter = 0; iter < 400; iter++) {
            const int iPad = iter < 64 ? iter + 1 : rng.Range(1, 64), w = rng.Range(1, 200 - 2 * iPad - 2);
            for (int i = 0; i < 200 * 6; i++)
                pA[i] = pB[i] = (Pixel)rng.Range(0, iMax);
            ref.pfnPadRows(pA + 200 + iPad + 1, 200, w, 4, iPad);
            opt.pfnPadRows(pB + 200 + iPad + 1, 200, w, 4, iPad);
            ASSERT_EQ(0, memcmp(pA, pB, sizeof(pA))) << tag << "pad " << iPad << " width " << w;
        }
    }
}

TEST(HevcDspTiers, OverriddenEntriesMatchTheCReference)
{
    int iCompared = 0;
    const unsigned uiFlags = HevcDspCpuFlags();
    for (unsigned uiMask : {HEVC_CPU_SSE41, HEVC_CPU_SSE41 | HEVC_CPU_AVX2, HEVC_CPU_AVX2, HEVC_CPU_ALL}) {
        if ((uiMask & uiFlags) != uiMask)
            continue;
        CompareTier<8>(uiMask, iCompared);
        CompareTier<10>(uiMask, iCompared);
        if (HasFatalFailure())
            return;
    }
    if (uiFlags & HEVC_CPU_AVX2) {
        EXPECT_GT(iCompared, 0) << "the AVX2 tier should replace entries on this machine";
    }
    // The environment mask lowers the tiers, down to plain C.
    const char *pszOld = getenv("IPCAMERA_HEVC_CPUMASK");
    std::string old = pszOld ? pszOld : "";
    unsetenv("IPCAMERA_HEVC_CPUMASK");
    const unsigned uiAll = HevcDspCpuFlags();
    setenv("IPCAMERA_HEVC_CPUMASK", "0x1", 1);
    EXPECT_EQ(uiAll & HEVC_CPU_SSE41, HevcDspCpuFlags());
    setenv("IPCAMERA_HEVC_CPUMASK", "3", 1); /* AVX-512 off */
    EXPECT_EQ(uiAll & (HEVC_CPU_SSE41 | HEVC_CPU_AVX2), HevcDspCpuFlags());
    setenv("IPCAMERA_HEVC_CPUMASK", "0", 1);
    EXPECT_EQ(0u, HevcDspCpuFlags());
    pszOld ? setenv("IPCAMERA_HEVC_CPUMASK", old.c_str(), 1) : unsetenv("IPCAMERA_HEVC_CPUMASK");
    if (!uiFlags)
        GTEST_SKIP() << "no SIMD tier on this CPU (or IPCAMERA_HEVC_CPUMASK=0): nothing to compare";
}

} /* namespace */
