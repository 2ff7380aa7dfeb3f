/* Intra prediction kernels against the H.265 8.4.4.2 equations written out
 * with p[x][y] indexing. */
#include <gtest/gtest.h>
#include <string.h>

#include "dsp_test_util.h"

namespace {

/* Neighbouring samples the way the standard indexes them. */
struct Neighbours {
    int aiTop[65];  /* p[x][-1] at aiTop[x + 1], x = -1..63 */
    int aiLeft[65]; /* p[-1][y] at aiLeft[y + 1], y = -1..63 */
    int P(int x, int y) const { return y == -1 ? aiTop[x + 1] : aiLeft[y + 1]; }
};

int Clip(int v, int iBitDepth)
{
    return v < 0 ? 0 : v > (1 << iBitDepth) - 1 ? (1 << iBitDepth) - 1 : v;
}

/* H.265 8.4.4.2.4 - 8.4.4.2.6, literally. */
int RefPredict(const Neighbours &p, int N, int iMode, bool bEdge, int iBitDepth, int x, int y)
{
    int k = 0;
    while ((1 << k) < N)
        k++;
    if (iMode == 0)
        return ((N - 1 - x) * p.P(-1, y) + (x + 1) * p.P(N, -1) + (N - 1 - y) * p.P(x, -1) +
                (y + 1) * p.P(-1, N) + N) >> (k + 1);
    if (iMode == 1) {
        int iSum = N;
        for (int i = 0; i < N; i++)
            iSum += p.P(i, -1) + p.P(-1, i);
        int dc = iSum >> (k + 1);
        if (bEdge) {
            if (x == 0 && y == 0)
                return (p.P(-1, 0) + 2 * dc + p.P(0, -1) + 2) >> 2;
            if (y == 0)
                return (p.P(x, -1) + 3 * dc + 2) >> 2;
            if (x == 0)
                return (p.P(-1, y) + 3 * dc + 2) >> 2;
        }
        return dc;
    }
    static const int aiAngle[35] = {0, 0, 32, 26, 21, 17, 13, 9, 5, 2, 0, -2, -5, -9, -13, -17, -21,
                                    -26, -32, -26, -21, -17, -13, -9, -5, -2, 0, 2, 5, 9, 13, 17,
                                    21, 26, 32};
    static const int aiInv[35] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -4096, -1638, -910, -630,
                                  -482, -390, -315, -256, -315, -390, -482, -630, -910, -1638,
                                  -4096, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const int iAngle = aiAngle[iMode];
    int ref[200];
    int *r = ref + 100; /* ref[x] for x = -N..2N */
    if (iMode >= 18) {
        for (int i = 0; i <= N; i++)
            r[i] = p.P(-1 + i, -1);
        if (iAngle < 0) {
            if ((N * iAngle) >> 5 < -1)
                for (int i = (N * iAngle) >> 5; i <= -1; i++)
                    r[i] = p.P(-1, -1 + ((i * aiInv[iMode] + 128) >> 8));
        } else {
            for (int i = N + 1; i <= 2 * N; i++)
                r[i] = p.P(-1 + i, -1);
        }
        int iIdx = ((y + 1) * iAngle) >> 5, iFact = ((y + 1) * iAngle) & 31;
        int v = iFact ? ((32 - iFact) * r[x + iIdx + 1] + iFact * r[x + iIdx + 2] + 16) >> 5
                      : r[x + iIdx + 1];
        if (iMode == 26 && bEdge && x == 0)
            v = Clip(p.P(x, -1) + ((p.P(-1, y) - p.P(-1, -1)) >> 1), iBitDepth);
        return v;
    }
    for (int i = 0; i <= N; i++)
        r[i] = p.P(-1, -1 + i);
    if (iAngle < 0) {
        if ((N * iAngle) >> 5 < -1)
            for (int i = (N * iAngle) >> 5; i <= -1; i++)
                r[i] = p.P(-1 + ((i * aiInv[iMode] + 128) >> 8), -1);
    } else {
        for (int i = N + 1; i <= 2 * N; i++)
            r[i] = p.P(-1, -1 + i);
    }
    int iIdx = ((x + 1) * iAngle) >> 5, iFact = ((x + 1) * iAngle) & 31;
    int v = iFact ? ((32 - iFact) * r[y + iIdx + 1] + iFact * r[y + iIdx + 2] + 16) >> 5
                  : r[y + iIdx + 1];
    if (iMode == 10 && bEdge && y == 0)
        v = Clip(p.P(-1, y) + ((p.P(x, -1) - p.P(-1, -1)) >> 1), iBitDepth);
    return v;
}

template <typename Pixel> void ToLine(const Neighbours &p, int N, Pixel *pRef)
{
    pRef[0] = (Pixel)p.P(-1, -1);
    for (int i = 0; i < 2 * N; i++) {
        pRef[1 + i] = (Pixel)p.P(i, -1);
        pRef[-1 - i] = (Pixel)p.P(-1, i);
    }
}

template <int BitDepth> void CheckPredictions()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(BitDepth * 11);
    const int iMax = (1 << BitDepth) - 1;
    for (int iLog2 = 2; iLog2 <= 5; iLog2++) {
        const int N = 1 << iLog2, iStride = 48;
        for (int iter = 0; iter < 6; iter++) {
            Neighbours p;
            /* alternate noise and near-extreme edges (the boundary filters must clip) */
            for (int i = 0; i < 65; i++) {
                p.aiTop[i] = iter & 1 ? rng.Range(0, iMax) : (i & 1 ? iMax - rng.Range(0, 3) : rng.Range(0, 3));
                p.aiLeft[i] = iter & 1 ? rng.Range(0, iMax) : (i & 2 ? iMax - rng.Range(0, 3) : rng.Range(0, 3));
            }
            p.aiLeft[0] = p.aiTop[0];
            Pixel line[HEVC_INTRA_LINE_ALLOC];
            Pixel *pRef = line + HEVC_INTRA_LINE_PAD + 2 * N;
            ToLine(p, N, pRef);
            for (int iMode = 0; iMode <= 34; iMode++)
                for (int bEdge = 0; bEdge <= 1; bEdge++) {
                    Pixel dst[48 * 34];
                    memset(dst, 0x5a, sizeof(dst));
                    Pixel *pBlk = dst + iStride + 8;
                    if (iMode == 0)
                        dsp.pfnPredPlanar[iLog2 - 2](pBlk, iStride, pRef);
                    else if (iMode == 1)
                        dsp.pfnPredDc[iLog2 - 2](pBlk, iStride, pRef, bEdge);
                    else
                        dsp.pfnPredAngular[iLog2 - 2](pBlk, iStride, pRef, iMode, bEdge);
                    for (int y = -1; y <= N; y++)
                        for (int x = -8; x < iStride - 8; x++) {
                            bool bInside = x >= 0 && x < N && y >= 0 && y < N;
                            Pixel v = pBlk[y * iStride + x];
                            if (!bInside) {
                                Pixel guard;
                                memset(&guard, 0x5a, sizeof(guard));
                                ASSERT_EQ(guard, v) << "write outside the block";
                                continue;
                            }
                            ASSERT_EQ(RefPredict(p, N, iMode, bEdge, BitDepth, x, y), v)
                                << "N=" << N << " mode=" << iMode << " edge=" << bEdge << " at "
                                << x << "," << y;
                        }
                }
        }
    }
}

TEST(HevcIntra, EveryModeAndSizeMatchesTheEquations)
{
    CheckPredictions<8>();
    CheckPredictions<10>();
}

/* Substitution (H.265 8.4.4.2.2) written as the standard's sequential search
 * over the samples, compared with the unit-based kernel. */
template <int BitDepth> void CheckRefFill(int iLog2Unit)
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(77 + iLog2Unit);
    const int iStride = 80;
    Pixel pic[80 * 80];
    for (int i = 0; i < 80 * 80; i++)
        pic[i] = (Pixel)rng.Range(0, (1 << BitDepth) - 1);
    for (int iLog2 = 2; iLog2 <= 5; iLog2++) {
        const int N = 1 << iLog2, iUnits = (2 * N) >> iLog2Unit;
        if (N < (1 << iLog2Unit))
            continue;
        for (int iter = 0; iter < 60; iter++) {
            uint8_t aucAvail[2 * 64 + 1];
            int iPattern = iter % 4;
            for (int u = 0; u < 2 * iUnits + 1; u++)
                aucAvail[u] = iPattern == 0 ? 0 : iPattern == 1 ? 1 : (uint8_t)(rng.Next() & 1);
            if (iPattern == 3) /* only the last top unit */
                for (int u = 0; u < 2 * iUnits; u++)
                    aucAvail[u] = 0;
            const Pixel *pSrc = pic + 8 * iStride + 8;
            /* the standard's order: p[-1][2N-1] up to p[-1][-1], then p[0..2N-1][-1] */
            int aiVal[129], aiAvail[129];
            for (int i = 0; i < 4 * N + 1; i++) {
                int u = i < 2 * N ? i >> iLog2Unit : i == 2 * N ? iUnits : iUnits + 1 + ((i - 2 * N - 1) >> iLog2Unit);
                aiAvail[i] = aucAvail[u];
                aiVal[i] = i < 2 * N ? pSrc[(2 * N - 1 - i) * iStride - 1]
                                     : i == 2 * N ? pSrc[-iStride - 1] : pSrc[-iStride + i - 2 * N - 1];
            }
            int iAny = 0;
            for (int i = 0; i < 4 * N + 1; i++)
                iAny |= aiAvail[i];
            if (!iAny) {
                for (int i = 0; i < 4 * N + 1; i++)
                    aiVal[i] = 1 << (BitDepth - 1);
            } else {
                if (!aiAvail[0]) {
                    int j = 1;
                    while (!aiAvail[j])
                        j++;
                    aiVal[0] = aiVal[j];
                }
                for (int i = 1; i < 4 * N + 1; i++)
                    if (!aiAvail[i])
                        aiVal[i] = aiVal[i - 1];
            }
            Pixel line[HEVC_INTRA_LINE_ALLOC];
            dsp.pfnIntraRefFill(line + HEVC_INTRA_LINE_PAD, pSrc, iStride, iLog2, aucAvail, iLog2Unit);
            for (int i = 0; i < 4 * N + 1; i++)
                ASSERT_EQ(aiVal[i], line[HEVC_INTRA_LINE_PAD + i]) << "N=" << N << " i=" << i << " iter=" << iter;
        }
    }
}

TEST(HevcIntra, SubstitutionFollowsTheSearchOrder)
{
    CheckRefFill<8>(2);
    CheckRefFill<8>(1);
    CheckRefFill<10>(2);
    CheckRefFill<10>(1);
}

/* [1 2 1] everywhere but the two ends; the strong filter only for flat 32x32
 * edges, decided exactly at 1 << (BitDepth - 5). */
template <int BitDepth> void CheckSmoothing()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(5);
    const int iThr = 1 << (BitDepth - 5);
    for (int iLog2 = 3; iLog2 <= 5; iLog2++) {
        const int N = 1 << iLog2;
        Pixel line[129], orig[129];
        for (int i = 0; i < 4 * N + 1; i++)
            orig[i] = line[i] = (Pixel)rng.Range(0, (1 << BitDepth) - 1);
        dsp.pfnIntraSmooth(line + 2 * N, iLog2, 1); /* noisy: never strong */
        EXPECT_EQ(orig[0], line[0]);
        EXPECT_EQ(orig[4 * N], line[4 * N]);
        for (int i = 1; i < 4 * N; i++)
            ASSERT_EQ((orig[i - 1] + 2 * orig[i] + orig[i + 1] + 2) >> 2, line[i]);
    }
    /* Flat edges except the far end of the top row, off by t: strong below the
     * threshold, [1 2 1] from it on. */
    for (int t = iThr - 1; t <= iThr; t++) {
        const int iBase = 1 << (BitDepth - 2);
        Pixel line[129], orig[129];
        for (int i = 0; i < 129; i++)
            orig[i] = line[i] = (Pixel)iBase;
        orig[128] = line[128] = (Pixel)(iBase + t);
        dsp.pfnIntraSmooth(line + 64, 5, 1);
        if (t < iThr) {
            for (int i = 0; i < 63; i++) {
                ASSERT_EQ(((63 - i) * iBase + (i + 1) * (iBase + t) + 32) >> 6, line[65 + i]) << i;
                ASSERT_EQ(iBase, line[63 - i]);
            }
            EXPECT_NE(iBase, line[64 + 60]);
        } else {
            for (int i = 1; i < 128; i++)
                ASSERT_EQ((orig[i - 1] + 2 * orig[i] + orig[i + 1] + 2) >> 2, line[i]) << i;
        }
        /* not allowed: always [1 2 1] */
        memcpy(line, orig, sizeof(line));
        dsp.pfnIntraSmooth(line + 64, 5, 0);
        EXPECT_EQ(iBase, line[64 + 60]);
    }
}

TEST(HevcIntra, SmoothingAndStrongDecision)
{
    CheckSmoothing<8>();
    CheckSmoothing<10>();
    EXPECT_FALSE(HevcIntraFilterFlag(1, 4));  /* DC */
    EXPECT_FALSE(HevcIntraFilterFlag(0, 2));  /* 4x4 */
    EXPECT_TRUE(HevcIntraFilterFlag(0, 3));   /* planar 8x8 */
    EXPECT_FALSE(HevcIntraFilterFlag(33, 3)); /* distance 7 is not above 7 */
    EXPECT_TRUE(HevcIntraFilterFlag(34, 3));
    EXPECT_FALSE(HevcIntraFilterFlag(11, 4));
    EXPECT_TRUE(HevcIntraFilterFlag(12, 4));
    EXPECT_FALSE(HevcIntraFilterFlag(26, 5));
    EXPECT_TRUE(HevcIntraFilterFlag(27, 5));
}

} /* namespace */
