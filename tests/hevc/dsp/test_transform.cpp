/* Inverse transforms, scaling and reconstruction against direct evaluation of
 * the H.265 8.6 equations. */
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include "dsp_test_util.h"

namespace {

int Clip16(int64_t v)
{
    return v < -32768 ? -32768 : v > 32767 ? 32767 : (int)v;
}

/* The two-stage transform as a plain matrix product (coefficient c[y][x],
 * x the horizontal frequency), with or without the intermediate clipping. */
void DirectInverse(const int16_t *c, int N, bool bDst, int iBitDepth, bool bClip, int *piOut)
{
    auto M = [&](int k, int n) -> int {
        return bDst ? g_acHevcDstMatrix[k][n] : g_acHevcDctMatrix[k * (32 / N)][n];
    };
    int64_t g[32][32];
    for (int x = 0; x < N; x++)
        for (int y = 0; y < N; y++) {
            int64_t e = 0;
            for (int k = 0; k < N; k++)
                e += (int64_t)M(k, y) * c[k * N + x];
            g[y][x] = (e + 64) >> 7;
            if (bClip)
                g[y][x] = Clip16(g[y][x]);
        }
    const int iShift = 20 - iBitDepth;
    for (int y = 0; y < N; y++)
        for (int x = 0; x < N; x++) {
            int64_t r = 0;
            for (int k = 0; k < N; k++)
                r += M(k, x) * g[y][k];
            piOut[y * N + x] = Clip16((r + (1 << (iShift - 1))) >> iShift);
        }
}

template <int BitDepth> void CheckTransforms()
{
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(BitDepth);
    alignas(32) int16_t c[32 * 32], work[32 * 32];
    int ref[32 * 32];
    for (int iLog2 = 2; iLog2 <= 5; iLog2++) {
        const int N = 1 << iLog2;
        for (int iDst = 0; iDst <= (iLog2 == 2); iDst++)
            for (int eShape = kSparse; eShape <= kExtreme; eShape++)
                for (int iter = 0; iter < 40; iter++) {
                    FillCoeffs(rng, N, eShape, c);
                    memcpy(work, c, sizeof(int16_t) * N * N);
                    if (iDst)
                        dsp.pfnIdst4(work);
                    else
                        dsp.pfnIdct[iLog2 - 2](work);
                    DirectInverse(c, N, iDst, BitDepth, true, ref);
                    for (int i = 0; i < N * N; i++)
                        ASSERT_EQ(ref[i], work[i]) << "N=" << N << " dst=" << iDst << " shape="
                                                   << eShape << " at " << i % N << "," << i / N;
                }
    }
}

TEST(HevcTransform, InverseMatchesDirectMatrixProduct)
{
    CheckTransforms<8>();
    CheckTransforms<10>();
}

/* The extreme inputs above only prove something if the clipping between
 * the stages matters for them. */
TEST(HevcTransform, ExtremeInputsReachTheIntermediateClipping)
{
    TestRng rng(7);
    int16_t c[32 * 32];
    int clipped[32 * 32], unclipped[32 * 32];
    FillCoeffs(rng, 32, kExtreme, c);
    DirectInverse(c, 32, false, 8, true, clipped);
    DirectInverse(c, 32, false, 8, false, unclipped);
    EXPECT_NE(0, memcmp(clipped, unclipped, sizeof(clipped)));
}

/* The matrix against rows printed in the standard, and its near-orthogonality
 * (every basis has squared norm within 0.5% of 64*64*32). */
TEST(HevcTransform, MatrixHoldsTheStandardBases)
{
    const int aiRow1[16] = {90, 90, 88, 85, 82, 78, 73, 67, 61, 54, 46, 38, 31, 22, 13, 4};
    for (int n = 0; n < 16; n++) {
        EXPECT_EQ(aiRow1[n], g_acHevcDctMatrix[1][n]);
        EXPECT_EQ(-aiRow1[n], g_acHevcDctMatrix[1][31 - n]);
    }
    const int aiRow4[8] = {89, 75, 50, 18, -18, -50, -75, -89};
    const int aiRow2[8] = {90, 87, 80, 70, 57, 43, 25, 9};
    for (int n = 0; n < 8; n++) {
        EXPECT_EQ(aiRow4[n], g_acHevcDctMatrix[4][n]);
        EXPECT_EQ(aiRow2[n], g_acHevcDctMatrix[2][n]);
    }
    const int aiRow8[4] = {83, 36, -36, -83}, aiRow16[4] = {64, -64, -64, 64};
    for (int n = 0; n < 4; n++) {
        EXPECT_EQ(aiRow8[n], g_acHevcDctMatrix[8][n]);
        EXPECT_EQ(aiRow16[n], g_acHevcDctMatrix[16][n]);
        EXPECT_EQ(64, g_acHevcDctMatrix[0][n]);
    }
    for (int i = 0; i < 32; i++)
        for (int j = 0; j < 32; j++) {
            int64_t d = 0;
            for (int n = 0; n < 32; n++)
                d += g_acHevcDctMatrix[i][n] * g_acHevcDctMatrix[j][n];
            if (i == j)
                EXPECT_NEAR(131072, d, 656) << i;
            else
                EXPECT_LT(llabs(d), 400) << i << "," << j;
        }
}

/* A residual pushed through a floating-point forward DCT with the scale the
 * inverse expects comes back within rounding: catches transposed stages and
 * wrong shifts, which a comparison against the same matrix cannot. */
template <int BitDepth> void CheckRoundTrip()
{
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(100 + BitDepth);
    for (int iLog2 = 2; iLog2 <= 5; iLog2++) {
        const int N = 1 << iLog2;
        double basis[32][32];
        for (int k = 0; k < N; k++)
            for (int n = 0; n < N; n++)
                basis[k][n] = (k ? sqrt(2.0 / N) : sqrt(1.0 / N)) * cos(M_PI * (2 * n + 1) * k / (2.0 * N));
        const double dScale = (double)(1 << (15 - BitDepth)) / N;
        for (int iter = 0; iter < 10; iter++) {
            int res[32 * 32];
            for (int y = 0; y < N; y++)
                for (int x = 0; x < N; x++) /* a ramp plus noise: not symmetric */
                    res[y * N + x] = (x * 7 - y * 3) % (1 << (BitDepth - 2)) + rng.Range(-20, 20);
            alignas(32) int16_t c[32 * 32];
            for (int v = 0; v < N; v++)
                for (int u = 0; u < N; u++) {
                    double s = 0;
                    for (int y = 0; y < N; y++)
                        for (int x = 0; x < N; x++)
                            s += basis[v][y] * basis[u][x] * res[y * N + x];
                    c[v * N + u] = (int16_t)lrint(s * dScale);
                }
            dsp.pfnIdct[iLog2 - 2](c);
            for (int i = 0; i < N * N; i++)
                ASSERT_NEAR(res[i], c[i], 2) << "N=" << N << " at " << i % N << "," << i / N;
        }
    }
}

TEST(HevcTransform, ForwardThenInverseRestoresTheResidual)
{
    CheckRoundTrip<8>();
    CheckRoundTrip<10>();
}

template <int BitDepth> void CheckReconstruction()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(300 + BitDepth);
    const int iMax = (1 << BitDepth) - 1;
    for (int iLog2 = 2; iLog2 <= 5; iLog2++) {
        const int N = 1 << iLog2, iStride = 40;
        Pixel pic[40 * 34], expect[40 * 34];
        alignas(32) int16_t res[32 * 32];
        for (int i = 0; i < 40 * 34; i++)
            pic[i] = expect[i] = (Pixel)rng.Range(0, iMax);
        for (int i = 0; i < N * N; i++)
            res[i] = (int16_t)rng.Range(-iMax - 50, iMax + 50);
        Pixel *pBlock = pic + iStride + 3; /* guard row above, 3 columns left */
        for (int y = 0; y < N; y++)
            for (int x = 0; x < N; x++) {
                int v = expect[(y + 1) * iStride + 3 + x] + res[y * N + x];
                expect[(y + 1) * iStride + 3 + x] = (Pixel)(v < 0 ? 0 : v > iMax ? iMax : v);
            }
        dsp.pfnAddResidual[iLog2 - 2](pBlock, iStride, res);
        ASSERT_EQ(0, memcmp(pic, expect, sizeof(pic))) << "add N=" << N;

        /* DC-only path equals the full transform of a lone DC coefficient. */
        for (int iCoeff : {-32768, -1000, -5, 1, 37, 4000, 32767}) {
            memset(res, 0, sizeof(res));
            res[0] = (int16_t)iCoeff;
            dsp.pfnIdct[iLog2 - 2](res);
            memcpy(expect, pic, sizeof(pic));
            dsp.pfnAddResidual[iLog2 - 2](expect + iStride + 3, iStride, res);
            dsp.pfnIdctDcAdd[iLog2 - 2](pBlock, iStride, iCoeff);
            ASSERT_EQ(0, memcmp(pic, expect, sizeof(pic))) << "dc N=" << N << " c=" << iCoeff;
        }
    }
}

TEST(HevcTransform, ReconstructionClipsAndLeavesTheSurroundings)
{
    CheckReconstruction<8>();
    CheckReconstruction<10>();
}

TEST(HevcTransform, TransformSkipScalesByTheBitDepthShift)
{
    HevcDsp8 d8;
    HevcDsp10 d10;
    HevcDspInit8(&d8, 0);
    HevcDspInit10(&d10, 0);
    int16_t a[16], b[16];
    for (int i = 0; i < 16; i++)
        a[i] = b[i] = (int16_t)(i * 37 - 300);
    d8.pfnTransformSkip[0](a);
    d10.pfnTransformSkip[0](b);
    for (int i = 0; i < 16; i++) {
        int c = i * 37 - 300;
        EXPECT_EQ((c * 128 + 2048) >> 12, a[i]);
        EXPECT_EQ((c * 128 + 512) >> 10, b[i]);
    }
}

/* H.265 8.6.3 written out per coefficient, including the 64-bit product. */
template <int BitDepth> void CheckDequant()
{
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(500 + BitDepth);
    const int iQpMax = 51 + 6 * (BitDepth - 8);
    uint8_t m[32 * 32];
    int16_t c[32 * 32], work[32 * 32];
    for (int iLog2 = 2; iLog2 <= 5; iLog2++) {
        const int N = 1 << iLog2;
        for (int iQp = 0; iQp <= iQpMax; iQp += 3)
            for (int bFlat = 0; bFlat <= 1; bFlat++) {
                for (int i = 0; i < N * N; i++) {
                    c[i] = (int16_t)(rng.Next() % 3 ? rng.Range(-40, 40) : rng.Range(-32768, 32767));
                    m[i] = (uint8_t)rng.Range(1, 255);
                }
                memcpy(work, c, sizeof(c));
                dsp.pfnDequant(work, iLog2, iQp, bFlat ? NULL : m);
                const int iBdShift = BitDepth + iLog2 - 5;
                for (int i = 0; i < N * N; i++) {
                    int64_t f = bFlat ? 16 : m[i];
                    int64_t v = c[i] * f * g_aucHevcLevelScale[iQp % 6] * ((int64_t)1 << (iQp / 6)) +
                                (1 << (iBdShift - 1));
                    ASSERT_EQ(Clip16(v >> iBdShift), work[i]) << "qp " << iQp << " N " << N;
                }
            }
    }
}

TEST(HevcTransform, DequantFollowsTheScalingEquation)
{
    CheckDequant<8>();
    CheckDequant<10>();
}

/* Scaling factors from lists: the 8x8 default intra list lands in raster
 * order through the diagonal scan, 16x16/32x32 replicate it and take the DC. */
TEST(HevcTransform, ScalingFactorsFromListsAndDc)
{
    uint8_t m4[16], m8[64], m16[256], m32[1024];
    uint8_t list4[16];
    for (int i = 0; i < 16; i++)
        list4[i] = (uint8_t)(i + 1);
    HevcScalingFactor(0, list4, 0, m4);
    /* diagonal order: (0,0) (0,1) (1,0) (0,2) ... */
    EXPECT_EQ(1, m4[0]);
    EXPECT_EQ(2, m4[1 * 4 + 0]);
    EXPECT_EQ(3, m4[0 * 4 + 1]);
    EXPECT_EQ(16, m4[15]);

    HevcScalingFactor(1, g_aucHevcDefaultScalingIntra, 0, m8);
    EXPECT_EQ(16, m8[0]);
    EXPECT_EQ(115, m8[63]);
    /* symmetric default list gives a symmetric matrix */
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            EXPECT_EQ(m8[y * 8 + x], m8[x * 8 + y]);
    HevcScalingFactor(2, g_aucHevcDefaultScalingInter, 77, m16);
    HevcScalingFactor(3, g_aucHevcDefaultScalingIntra, 99, m32);
    EXPECT_EQ(77, m16[0]);
    EXPECT_EQ(99, m32[0]);
    EXPECT_EQ(16, m16[1]);
    EXPECT_EQ(91, m16[15 * 16 + 15]);
    EXPECT_EQ(91, m16[14 * 16 + 14]);
    for (int y = 0; y < 32; y++) {
        for (int x = 0; x < 32; x++) {
            if (x || y) {
                ASSERT_EQ(m8[(y / 4) * 8 + x / 4], m32[y * 32 + x]);
            }
        }
    }
}

} /* namespace */
