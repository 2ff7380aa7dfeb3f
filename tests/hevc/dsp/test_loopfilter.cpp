/* Deblocking and SAO kernels: decisions exactly at their thresholds, the
 * filters against the H.265 8.7 equations, SAO classes on built inputs. */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "dsp_test_util.h"

namespace {

/* A vertical edge segment: 4 lines of p3 p2 p1 p0 | q0 q1 q2 q3 at columns
 * 4..11 of a 16-wide buffer. */
template <typename Pixel> struct Segment {
    Pixel a[4][16];
    void Fill(int iP, int iQ)
    {
        for (int l = 0; l < 4; l++)
            for (int x = 0; x < 16; x++)
                a[l][x] = (Pixel)(x < 8 ? iP : iQ);
    }
    /* k = 0 is p0 / q0 */
    Pixel &P(int l, int k) { return a[l][7 - k]; }
    Pixel &Q(int l, int k) { return a[l][8 + k]; }
};

/* H.265 8.7.2.5.3, .6, .7 per line in the standard's form. */
void RefLuma(int s[4][8], int iBeta, int iTc, bool bNoP, bool bNoQ, int iBitDepth)
{
    auto p = [&](int l, int k) { return s[l][3 - k]; };
    auto q = [&](int l, int k) { return s[l][4 + k]; };
    int dp0 = abs(p(0, 2) - 2 * p(0, 1) + p(0, 0)), dp3 = abs(p(3, 2) - 2 * p(3, 1) + p(3, 0));
    int dq0 = abs(q(0, 2) - 2 * q(0, 1) + q(0, 0)), dq3 = abs(q(3, 2) - 2 * q(3, 1) + q(3, 0));
    int d = dp0 + dq0 + dp3 + dq3;
    if (d >= iBeta)
        return;
    auto dSam = [&](int l, int dpq) {
        return dpq < (iBeta >> 2) && abs(p(l, 3) - p(l, 0)) + abs(q(l, 0) - q(l, 3)) < (iBeta >> 3) &&
               abs(p(l, 0) - q(l, 0)) < ((5 * iTc + 1) >> 1);
    };
    int dE = dSam(0, 2 * (dp0 + dq0)) && dSam(3, 2 * (dp3 + dq3)) ? 2 : 1;
    bool dEp = dp0 + dp3 < ((iBeta + (iBeta >> 1)) >> 3);
    bool dEq = dq0 + dq3 < ((iBeta + (iBeta >> 1)) >> 3);
    const int iMax = (1 << iBitDepth) - 1;
    auto clip1 = [&](int v) { return v < 0 ? 0 : v > iMax ? iMax : v; };
    auto clip3 = [](int lo, int hi, int v) { return v < lo ? lo : v > hi ? hi : v; };
    for (int l = 0; l < 4; l++) {
        int p0 = p(l, 0), p1 = p(l, 1), p2 = p(l, 2), p3 = p(l, 3);
        int q0 = q(l, 0), q1 = q(l, 1), q2 = q(l, 2), q3 = q(l, 3);
        int np[3] = {p0, p1, p2}, nq[3] = {q0, q1, q2};
        if (dE == 2) {
            np[0] = clip3(p0 - 2 * iTc, p0 + 2 * iTc, (p2 + 2 * p1 + 2 * p0 + 2 * q0 + q1 + 4) >> 3);
            np[1] = clip3(p1 - 2 * iTc, p1 + 2 * iTc, (p2 + p1 + p0 + q0 + 2) >> 2);
            np[2] = clip3(p2 - 2 * iTc, p2 + 2 * iTc, (2 * p3 + 3 * p2 + p1 + p0 + q0 + 4) >> 3);
            nq[0] = clip3(q0 - 2 * iTc, q0 + 2 * iTc, (p1 + 2 * p0 + 2 * q0 + 2 * q1 + q2 + 4) >> 3);
            nq[1] = clip3(q1 - 2 * iTc, q1 + 2 * iTc, (p0 + q0 + q1 + q2 + 2) >> 2);
            nq[2] = clip3(q2 - 2 * iTc, q2 + 2 * iTc, (p0 + q0 + q1 + 3 * q2 + 2 * q3 + 4) >> 3);
        } else {
            int delta = (9 * (q0 - p0) - 3 * (q1 - p1) + 8) >> 4;
            if (abs(delta) < iTc * 10) {
                delta = clip3(-iTc, iTc, delta);
                np[0] = clip1(p0 + delta);
                nq[0] = clip1(q0 - delta);
                if (dEp)
                    np[1] = clip1(p1 + clip3(-(iTc >> 1), iTc >> 1, (((p2 + p0 + 1) >> 1) - p1 + delta) >> 1));
                if (dEq)
                    nq[1] = clip1(q1 + clip3(-(iTc >> 1), iTc >> 1, (((q2 + q0 + 1) >> 1) - q1 - delta) >> 1));
            }
        }
        for (int k = 0; k < 3; k++) {
            if (!bNoP)
                s[l][3 - k] = np[k];
            if (!bNoQ)
                s[l][4 + k] = nq[k];
        }
    }
}

/* Runs the kernel on a segment in both orientations (the horizontal one on
 * the transposed copy) and checks both against the reference. */
template <int BitDepth>
void RunLuma(const typename DspOf<BitDepth>::Table &dsp, Segment<typename DspOf<BitDepth>::Pixel> &seg,
             int iBeta, int iTc, int bNoP, int bNoQ)
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    int s[4][8];
    for (int l = 0; l < 4; l++)
        for (int k = 0; k < 8; k++)
            s[l][k] = seg.a[l][4 + k];
    RefLuma(s, iBeta, iTc, bNoP, bNoQ, BitDepth);

    Pixel t[16][4];
    for (int l = 0; l < 4; l++)
        for (int x = 0; x < 16; x++)
            t[x][l] = seg.a[l][x];
    dsp.pfnDeblockLuma[0](&seg.a[0][8], 16, iBeta, iTc, bNoP, bNoQ);
    dsp.pfnDeblockLuma[1](&t[8][0], 4, iBeta, iTc, bNoP, bNoQ);
    for (int l = 0; l < 4; l++)
        for (int x = 0; x < 16; x++) {
            int iExpect = x >= 4 && x < 12 ? s[l][x - 4] : seg.a[l][x];
            ASSERT_EQ(iExpect, seg.a[l][x]) << "vertical line " << l << " col " << x;
            ASSERT_EQ(iExpect, t[x][l]) << "horizontal line " << l << " row " << x;
        }
}

template <int BitDepth> void CheckLumaThresholds()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    const int S = 1 << (BitDepth - 8); /* keep the shapes, scale the values */
    const int B = 100 * S;
    Segment<Pixel> seg;

    /* d against beta: line 0 has a p-side bump of k, so d == k. */
    for (int iBeta : {12 * S, 12 * S + 1}) {
        seg.Fill(B, B + 10 * S);
        seg.P(0, 2) = (Pixel)(B + 12 * S);
        Segment<Pixel> before = seg;
        RunLuma<BitDepth>(dsp, seg, iBeta, 2 * S, 0, 0);
        bool bChanged = memcmp(&before, &seg, sizeof(seg)) != 0;
        EXPECT_EQ(iBeta > 12 * S, bChanged) << "beta " << iBeta;
    }

    /* strong against normal: step s against (5 tc + 1) >> 1 = 10 (tc 4) */
    for (int s : {9, 10}) {
        seg.Fill(B, B + s * S);
        int iTc = 4 * S;
        int iStep = s * S, iLimit = (5 * iTc + 1) >> 1;
        RunLuma<BitDepth>(dsp, seg, 64 * S, iTc, 0, 0);
        bool bP2Changed = seg.P(1, 2) != B;
        EXPECT_EQ(iStep < iLimit, bP2Changed) << "step " << s;
    }

    /* normal filter off when |delta| reaches 10 tc (tc 1: steps 25 / 26) */
    if (BitDepth == 8)
        for (int s : {25, 26}) {
            seg.Fill(B, B + s);
            RunLuma<BitDepth>(dsp, seg, 64, 1, 0, 0);
            EXPECT_EQ(s == 25, seg.P(2, 0) != B) << "step " << s;
        }

    /* dEp: dp against (beta + beta / 2) >> 3 = 3 for beta 16 */
    if (BitDepth == 8)
        for (int iDp3 : {1, 2}) {
            seg.Fill(B, B + 10);
            seg.P(0, 2) = (Pixel)(B + 1);
            seg.P(3, 2) = (Pixel)(B + iDp3);
            RunLuma<BitDepth>(dsp, seg, 16, 2, 0, 0);
            EXPECT_EQ(iDp3 == 1, seg.P(1, 1) != B) << "dp3 " << iDp3;
        }

    /* pcm / bypass sides stay untouched */
    for (int iSide = 0; iSide < 3; iSide++) {
        seg.Fill(B, B + 6 * S);
        RunLuma<BitDepth>(dsp, seg, 64 * S, 3 * S, iSide == 0, iSide == 1);
        EXPECT_EQ(iSide == 0, seg.P(1, 0) == B);
        EXPECT_EQ(iSide == 1, seg.Q(1, 0) == B + 6 * S);
    }
}

TEST(HevcDeblock, LumaDecisionsSwitchExactlyAtThresholds)
{
    CheckLumaThresholds<8>();
    CheckLumaThresholds<10>();
}

/* Structured random segments (smooth ramps with a step and some noise) reach
 * all paths; the kernel must equal the per-line reference on each. */
template <int BitDepth> void CheckLumaRandom()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(BitDepth);
    const int iMax = (1 << BitDepth) - 1;
    int aiPaths[3] = {0, 0, 0};
    for (int iter = 0; iter < 4000; iter++) {
        Segment<Pixel> seg;
        int iBase = rng.Range(0, iMax), iSlope = rng.Range(-3, 3), iStep = rng.Range(-40, 40);
        int iNoise = rng.Range(0, 3);
        for (int l = 0; l < 4; l++)
            for (int x = 0; x < 16; x++) {
                int v = iBase + iSlope * x + (x >= 8 ? iStep : 0) + rng.Range(-iNoise, iNoise);
                seg.a[l][x] = (Pixel)(v < 0 ? 0 : v > iMax ? iMax : v);
            }
        int iQp = rng.Range(10, 51), iBs = rng.Range(1, 2);
        int iBeta = HevcDeblockBeta(iQp, rng.Range(-6, 6), BitDepth);
        int iTc = HevcDeblockTc(iQp, iBs, rng.Range(-6, 6), BitDepth);
        Segment<Pixel> before = seg;
        RunLuma<BitDepth>(dsp, seg, iBeta, iTc, rng.Range(0, 7) == 0, rng.Range(0, 7) == 0);
        if (::testing::Test::HasFatalFailure())
            return;
        bool bChanged = memcmp(&before, &seg, sizeof(seg)) != 0;
        aiPaths[!bChanged ? 0 : seg.P(0, 2) != before.P(0, 2) || seg.Q(0, 2) != before.Q(0, 2) ? 2 : 1]++;
    }
    /* every path was taken often enough to mean something */
    EXPECT_GT(aiPaths[0], 100);
    EXPECT_GT(aiPaths[1], 100);
    EXPECT_GT(aiPaths[2], 100);
}

TEST(HevcDeblock, LumaFiltersMatchTheEquations)
{
    CheckLumaRandom<8>();
    CheckLumaRandom<10>();
}

template <int BitDepth> void CheckChroma()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(BitDepth + 40);
    const int iMax = (1 << BitDepth) - 1;
    for (int iter = 0; iter < 500; iter++) {
        Pixel a[4][8], t[8][4];
        for (int l = 0; l < 4; l++)
            for (int x = 0; x < 8; x++)
                t[x][l] = a[l][x] = (Pixel)rng.Range(0, iMax);
        int iTc = rng.Range(0, 25) << (BitDepth - 8);
        int bNoP = iter % 5 == 1, bNoQ = iter % 5 == 2;
        int expect[4][8];
        for (int l = 0; l < 4; l++) {
            for (int x = 0; x < 8; x++)
                expect[l][x] = a[l][x];
            int p1 = a[l][2], p0 = a[l][3], q0 = a[l][4], q1 = a[l][5];
            int d = (((q0 - p0) * 4 + p1 - q1 + 4) >> 3);
            d = d < -iTc ? -iTc : d > iTc ? iTc : d;
            if (!bNoP)
                expect[l][3] = p0 + d < 0 ? 0 : p0 + d > iMax ? iMax : p0 + d;
            if (!bNoQ)
                expect[l][4] = q0 - d < 0 ? 0 : q0 - d > iMax ? iMax : q0 - d;
        }
        dsp.pfnDeblockChroma[0](&a[0][4], 8, iTc, bNoP, bNoQ);
        dsp.pfnDeblockChroma[1](&t[4][0], 4, iTc, bNoP, bNoQ);
        for (int l = 0; l < 4; l++)
            for (int x = 0; x < 8; x++) {
                ASSERT_EQ(expect[l][x], a[l][x]);
                ASSERT_EQ(expect[l][x], t[x][l]);
            }
    }
}

TEST(HevcDeblock, ChromaFilter)
{
    CheckChroma<8>();
    CheckChroma<10>();
}

TEST(HevcDeblock, ThresholdTables)
{
    EXPECT_EQ(0, HevcDeblockBeta(15, 0, 8));
    EXPECT_EQ(6, HevcDeblockBeta(16, 0, 8));
    EXPECT_EQ(18, HevcDeblockBeta(28, 0, 8));
    EXPECT_EQ(20, HevcDeblockBeta(29, 0, 8));
    EXPECT_EQ(64, HevcDeblockBeta(51, 6, 8)); /* clipped to 51 */
    EXPECT_EQ(256, HevcDeblockBeta(51, 0, 10));
    EXPECT_EQ(0, HevcDeblockTc(17, 1, 0, 8));
    EXPECT_EQ(1, HevcDeblockTc(16, 2, 0, 8)); /* bS 2 adds 2 */
    EXPECT_EQ(24, HevcDeblockTc(53, 2, 6, 8));
    EXPECT_EQ(4 * 13, HevcDeblockTc(47, 1, 0, 10));
    EXPECT_EQ(29, HevcChromaQp(30));
    EXPECT_EQ(33, HevcChromaQp(35));
    EXPECT_EQ(37, HevcChromaQp(43));
    EXPECT_EQ(38, HevcChromaQp(44));
    EXPECT_EQ(-5, HevcChromaQp(-5));
}

/* ---- SAO ---- */

template <int BitDepth> void CheckSaoBand()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    const int iShift = BitDepth - 5, iMax = (1 << BitDepth) - 1;
    /* every band appears, at its lowest and highest sample value */
    Pixel src[4][64], dst[4][64];
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 64; x++)
            src[y][x] = (Pixel)(((x >> 1) << iShift) + ((x & 1) ? (1 << iShift) - 1 : 0));
    const int16_t asOffset[5] = {0, 7, -3, 31, -31};
    for (int iBandPos : {0, 5, 29, 31}) {
        dsp.pfnSaoBand(&dst[0][0], 64, &src[0][0], 64, 64, 4, asOffset, iBandPos);
        for (int y = 0; y < 4; y++)
            for (int x = 0; x < 64; x++) {
                int iBand = src[y][x] >> iShift, k = (iBand - iBandPos) & 31;
                int v = src[y][x] + (k < 4 ? asOffset[k + 1] : 0);
                v = v < 0 ? 0 : v > iMax ? iMax : v;
                ASSERT_EQ(v, dst[y][x]) << "band pos " << iBandPos << " x " << x;
            }
    }
    /* in place, partial width */
    memcpy(dst, src, sizeof(src));
    dsp.pfnSaoBand(&dst[0][0], 64, &dst[0][0], 64, 3, 2, asOffset, 0);
    EXPECT_EQ(src[0][0] + 7, dst[0][0]);
    EXPECT_EQ(src[1][1] + 7, dst[1][1]);
    EXPECT_EQ(src[1][2] - 3, dst[1][2]);
    EXPECT_EQ(src[0][3], dst[0][3]);
    EXPECT_EQ(src[2][0], dst[2][0]);
}

TEST(HevcSao, BandOffsetCoversTheFourBandsWithWrap)
{
    CheckSaoBand<8>();
    CheckSaoBand<10>();
}

/* Edge categories on built 3-sample patterns, per class. */
TEST(HevcSao, EdgeCategoriesOnBuiltPatterns)
{
    HevcDsp8 dsp;
    HevcDspInit8(&dsp, 0);
    static const int aaiDx[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}};
    static const int aaiDy[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};
    /* neighbour values around a centre of 100 and the category they give */
    static const struct { int a, b, cat; } s_ast[] = {
        {110, 120, 1}, {100, 120, 2}, {120, 100, 2}, {90, 100, 3},
        {100, 80, 3},  {90, 80, 4},   {90, 110, 0},  {100, 100, 0},
    };
    const int16_t asOffset[5] = {0, 11, 5, -4, -9};
    for (int c = 0; c < 4; c++)
        for (const auto &t : s_ast) {
            uint8_t src[5][5], dst[3][3];
            memset(src, 50, sizeof(src));
            src[2][2] = 100;
            src[2 + aaiDy[c][0]][2 + aaiDx[c][0]] = (uint8_t)t.a;
            src[2 + aaiDy[c][1]][2 + aaiDx[c][1]] = (uint8_t)t.b;
            dsp.pfnSaoEdge(&dst[0][0], 3, &src[1][1], 5, 3, 3, asOffset, c, HEVC_SAO_ALL);
            EXPECT_EQ(100 + asOffset[t.cat], dst[1][1]) << "class " << c << " " << t.a << "/" << t.b;
        }
}

/* Random CTBs against a per-sample reference that asks, for every
 * neighbour outside the CTB, whether the CTB it falls in is available. */
template <int BitDepth> void CheckSaoEdgeAvailability()
{
    typedef typename DspOf<BitDepth>::Pixel Pixel;
    typename DspOf<BitDepth>::Table dsp;
    DspOf<BitDepth>::Init(&dsp, 0);
    TestRng rng(BitDepth * 3);
    const int iMax = (1 << BitDepth) - 1;
    static Pixel src[66 * 66], dst[66 * 66];
    for (int iter = 0; iter < 400; iter++) {
        int w = iter < 8 ? 1 + iter % 2 : rng.Range(1, 64), h = iter < 8 ? 1 + iter / 4 : rng.Range(1, 64);
        int c = iter % 4;
        unsigned uiAvail = rng.Next() & 0xFF;
        if (iter % 7 == 0)
            uiAvail = HEVC_SAO_ALL;
        int16_t asOffset[5] = {0, (int16_t)rng.Range(0, 31), (int16_t)rng.Range(0, 31),
                               (int16_t)-rng.Range(0, 31), (int16_t)-rng.Range(0, 31)};
        for (int i = 0; i < 66 * 66; i++) {
            src[i] = (Pixel)(rng.Next() % 4 ? rng.Range(0, iMax) : iMax / 2); /* some ties */
            dst[i] = (Pixel)0x77;
        }
        const Pixel *s = src + 66 + 1;
        Pixel *d = dst + 66 + 1;
        dsp.pfnSaoEdge(d, 66, s, 66, w, h, asOffset, c, uiAvail);
        static const int aaiDx[4][2] = {{-1, 1}, {0, 0}, {-1, 1}, {1, -1}};
        static const int aaiDy[4][2] = {{0, 0}, {-1, 1}, {-1, 1}, {-1, 1}};
        for (int y = -1; y <= h; y++)
            for (int x = -1; x <= w; x++) {
                if (x < 0 || y < 0 || x >= w || y >= h) {
                    ASSERT_EQ((Pixel)0x77, d[y * 66 + x]) << "wrote outside the CTB";
                    continue;
                }
                bool bUse = true;
                int iSum = 0;
                for (int k = 0; k < 2; k++) {
                    int nx = x + aaiDx[c][k], ny = y + aaiDy[c][k];
                    int cx = nx < 0 ? 0 : nx >= w ? 2 : 1, cy = ny < 0 ? 0 : ny >= h ? 2 : 1;
                    static const unsigned s_auiBit[3][3] = {
                        {HEVC_SAO_TOP_LEFT, HEVC_SAO_TOP, HEVC_SAO_TOP_RIGHT},
                        {HEVC_SAO_LEFT, 0, HEVC_SAO_RIGHT},
                        {HEVC_SAO_BOTTOM_LEFT, HEVC_SAO_BOTTOM, HEVC_SAO_BOTTOM_RIGHT}};
                    unsigned uiBit = s_auiBit[cy][cx];
                    if (uiBit && !(uiAvail & uiBit))
                        bUse = false;
                    int diff = s[y * 66 + x] - s[ny * 66 + nx];
                    iSum += (diff > 0) - (diff < 0);
                }
                int v = s[y * 66 + x];
                if (bUse) {
                    static const int s_aiRemap[5] = {1, 2, 0, 3, 4};
                    v += asOffset[s_aiRemap[iSum + 2]];
                    v = v < 0 ? 0 : v > iMax ? iMax : v;
                }
                ASSERT_EQ(v, d[y * 66 + x]) << "class " << c << " avail " << uiAvail << " " << w
                                            << "x" << h << " at " << x << "," << y;
            }
    }
}

TEST(HevcSao, EdgeOffsetHonoursNeighbourAvailability)
{
    CheckSaoEdgeAvailability<8>();
    CheckSaoEdgeAvailability<10>();
}

TEST(HevcSao, OffsetsTakeSignsAndBitDepthShift)
{
    const int aiAbs[4] = {1, 2, 3, 4}, aiSign[4] = {1, 0, 1, 0};
    int16_t as[5];
    HevcSaoOffsets(aiAbs, aiSign, 0, 10, as);
    EXPECT_EQ(0, as[0]);
    EXPECT_EQ(-1, as[1]);
    EXPECT_EQ(2, as[2]);
    EXPECT_EQ(-3, as[3]);
    EXPECT_EQ(4, as[4]);
    HevcSaoOffsets(aiAbs, aiSign, 1, 8, as);
    EXPECT_EQ(1, as[1]);
    EXPECT_EQ(2, as[2]);
    EXPECT_EQ(-3, as[3]);
    EXPECT_EQ(-4, as[4]);
    HevcSaoOffsets(aiAbs, aiSign, 1, 12, as); /* beyond 10 bits the offsets scale */
    EXPECT_EQ(4, as[1]);
    EXPECT_EQ(-16, as[4]);
}

} /* namespace */
