/* CABAC engine round trips against an arithmetic encoder written here from
 * the standard's encoder description (flush, outstanding bits, bypass), plus
 * context initialisation, entry points, pcm-style restarts, emulation
 * prevention and truncated data. */
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "cabac.h"
#include "dsp/dsp_test_util.h"

namespace {

/* Table 9-47 transIdxLps, kept apart from the decoder's expanded tables. */
const int kTransIdxLps[64] = {0,  0,  1,  2,  2,  4,  4,  5,  6,  7,  8,  9,  9,  11, 11, 12,
                              13, 13, 15, 15, 16, 16, 18, 18, 19, 19, 21, 21, 22, 22, 23, 24,
                              24, 25, 26, 26, 27, 27, 28, 29, 29, 30, 30, 30, 31, 32, 32, 33,
                              33, 33, 34, 34, 35, 35, 35, 36, 36, 36, 37, 37, 37, 38, 38, 63};

struct EncCtx {
    int iState, iMps;
};

struct Encoder {
    uint32_t uiLow = 0, uiRange = 510;
    bool bFirstBit = true;
    int iOutstanding = 0;
    std::vector<int> aBits;

    void PutBit(int b)
    {
        if (bFirstBit)
            bFirstBit = false;
        else
            aBits.push_back(b);
        for (; iOutstanding > 0; iOutstanding--)
            aBits.push_back(1 - b);
    }
    void Renorm()
    {
        while (uiRange < 256) {
            if (uiLow < 256) {
                PutBit(0);
            } else if (uiLow >= 512) {
                uiLow -= 512;
                PutBit(1);
            } else {
                uiLow -= 256;
                iOutstanding++;
            }
            uiRange <<= 1;
            uiLow <<= 1;
        }
    }
    void Decision(EncCtx &c, int bin)
    {
        uint32_t uiLps = g_aaucHevcCabacLps[c.iState][(uiRange >> 6) & 3];
        uiRange -= uiLps;
        if (bin != c.iMps) {
            uiLow += uiRange;
            uiRange = uiLps;
            if (c.iState == 0)
                c.iMps = 1 - c.iMps;
            c.iState = kTransIdxLps[c.iState];
        } else if (c.iState < 62) {
            c.iState++;
        }
        Renorm();
    }
    void Bypass(int bin)
    {
        uiLow <<= 1;
        if (bin)
            uiLow += uiRange;
        if (uiLow >= 1024) {
            PutBit(1);
            uiLow -= 1024;
        } else if (uiLow < 512) {
            PutBit(0);
        } else {
            uiLow -= 512;
            iOutstanding++;
        }
    }
    void Terminate(int bin)
    {
        uiRange -= 2;
        if (bin) {
            uiLow += uiRange;
            /* flush: the last written bit is 1 and serves as the stop /
             * alignment bit */
            uiRange = 2;
            Renorm();
            PutBit((uiLow >> 9) & 1);
            aBits.push_back((uiLow >> 8) & 1);
            aBits.push_back(1);
        } else {
            Renorm();
        }
    }
    /* Byte-aligned bytes of everything written so far; starts a new run. */
    std::vector<uint8_t> Finish()
    {
        while (aBits.size() % 8)
            aBits.push_back(0);
        std::vector<uint8_t> out;
        for (size_t i = 0; i < aBits.size(); i += 8) {
            int v = 0;
            for (int k = 0; k < 8; k++)
                v = v << 1 | aBits[i + k];
            out.push_back((uint8_t)v);
        }
        *this = Encoder();
        return out;
    }
};

/* Inserts emulation prevention bytes as a NAL unit writer would. */
void AppendEscaped(std::vector<uint8_t> &nal, const std::vector<uint8_t> &rbsp)
{
    int iZeros = 0;
    for (size_t i = 0; i < nal.size(); i++)
        iZeros = nal[i] ? 0 : iZeros + 1;
    for (uint8_t b : rbsp) {
        if (iZeros >= 2 && b <= 3) {
            nal.push_back(3);
            iZeros = 0;
        }
        nal.push_back(b);
        iZeros = b ? 0 : iZeros + 1;
    }
}

enum OpKind { kDecision, kBypass, kBypassBits, kTerminate0 };
struct Op {
    OpKind eKind;
    int iCtx;
    uint32_t uiValue;
    int iNum;
};

/* A random bin sequence. Contexts get their own skew so that states run
 * through the whole table; bZeroRuns adds long runs of zero bypass bins,
 * which make zero bytes and so emulation prevention. */
std::vector<Op> MakeOps(TestRng &rng, int iCount, bool bZeroRuns)
{
    std::vector<Op> ops;
    for (int i = 0; i < iCount; i++) {
        Op op = {kDecision, 0, 0, 1};
        uint32_t r = rng.Next() % 100;
        if (bZeroRuns && r < 3) {
            for (int k = 0; k < 40; k++)
                ops.push_back({kBypass, 0, 0, 1});
            continue;
        }
        if (r < 70) {
            op.iCtx = (int)(rng.Next() % HEVC_CTX_COUNT);
            /* probability of a 1 depends on the context: 1/64 .. 63/64 */
            uint32_t uiP = 1 + (uint32_t)op.iCtx * 62 / HEVC_CTX_COUNT;
            op.uiValue = (rng.Next() % 64) < uiP;
        } else if (r < 85) {
            op.eKind = kBypass;
            op.uiValue = rng.Next() & 1;
        } else if (r < 97) {
            op.eKind = kBypassBits;
            op.iNum = 1 + (int)(rng.Next() % 32);
            op.uiValue = (rng.Next() << 12 ^ rng.Next()) & (op.iNum == 32 ? 0xFFFFFFFFu : (1u << op.iNum) - 1);
        } else {
            op.eKind = kTerminate0;
        }
        ops.push_back(op);
    }
    return ops;
}

void Encode(Encoder &enc, std::vector<EncCtx> &ctx, const std::vector<Op> &ops)
{
    for (const Op &op : ops) {
        switch (op.eKind) {
        case kDecision:
            enc.Decision(ctx[op.iCtx], (int)op.uiValue);
            break;
        case kBypass:
            enc.Bypass((int)op.uiValue);
            break;
        case kBypassBits:
            for (int k = op.iNum - 1; k >= 0; k--)
                enc.Bypass((op.uiValue >> k) & 1);
            break;
        case kTerminate0:
            enc.Terminate(0);
            break;
        }
    }
}

/* Decodes ops and checks each bin; returns false on the first mismatch
 * (or, with bRunOn, after decoding all of them anyway). */
bool Decode(HevcCabac &dec, HevcCabacCtx &ctx, const std::vector<Op> &ops, size_t *puiFailAt,
            bool bRunOn = false)
{
    bool bOk = true;
    for (size_t i = 0; i < ops.size(); i++) {
        const Op &op = ops[i];
        uint32_t v = 0;
        switch (op.eKind) {
        case kDecision:
            v = (uint32_t)HevcCabacDecodeBin(&dec, &ctx.aucState[op.iCtx]);
            break;
        case kBypass:
            v = (uint32_t)HevcCabacDecodeBypass(&dec);
            break;
        case kBypassBits:
            v = HevcCabacDecodeBypassBits(&dec, op.iNum);
            break;
        case kTerminate0:
            v = (uint32_t)HevcCabacDecodeTerminate(&dec);
            break;
        }
        if (v != op.uiValue && bOk) {
            *puiFailAt = i;
            bOk = false;
            if (!bRunOn)
                return false;
        }
    }
    return bOk;
}

std::vector<EncCtx> EncoderContexts(int iInitType, int iQp)
{
    HevcCabacCtx c;
    HevcCabacInitContexts(&c, iInitType, iQp);
    std::vector<EncCtx> v(HEVC_CTX_COUNT);
    for (int i = 0; i < HEVC_CTX_COUNT; i++)
        v[i] = {c.aucState[i] >> 1, c.aucState[i] & 1};
    return v;
}

TEST(HevcCabac, RandomBinsRoundTripAndEndPosition)
{
    for (int iSeed = 1; iSeed <= 40; iSeed++) {
        TestRng rng(iSeed);
        const int iInitType = iSeed % 3, iQp = (iSeed * 7) % 52;
        std::vector<Op> ops = MakeOps(rng, 200 + (int)(rng.Next() % 3000), iSeed % 2 == 0);
        Encoder enc;
        std::vector<EncCtx> ectx = EncoderContexts(iInitType, iQp);
        Encode(enc, ectx, ops);
        enc.Terminate(1);
        std::vector<uint8_t> nal = {0x26, 0x01}; /* something in front, as a header */
        const uint32_t uiStart = (uint32_t)nal.size();
        AppendEscaped(nal, enc.Finish());
        const uint32_t uiEnd = (uint32_t)nal.size();
        nal.push_back(0xA5); /* the next structure, outside the run */

        HevcCabac dec;
        HevcCabacCtx ctx;
        HevcCabacInitContexts(&ctx, iInitType, iQp);
        ASSERT_EQ(0, HevcCabacStart(&dec, nal.data(), uiStart, uiEnd));
        size_t uiFail = 0;
        ASSERT_TRUE(Decode(dec, ctx, ops, &uiFail)) << "seed " << iSeed << " op " << uiFail;
        ASSERT_EQ(1, HevcCabacDecodeTerminate(&dec));
        EXPECT_FALSE(HevcCabacFailed(&dec)) << "seed " << iSeed;
        EXPECT_EQ(uiEnd, HevcCabacAlignedPos(&dec, nal.data())) << "seed " << iSeed;
        /* the contexts ended where the encoder's did */
        for (int i = 0; i < HEVC_CTX_COUNT; i++)
            ASSERT_EQ(ectx[i].iState << 1 | ectx[i].iMps, ctx.aucState[i]);
    }
}

/* The zero runs above must really have produced emulation prevention. */
TEST(HevcCabac, ZeroRunsNeedEmulationPrevention)
{
    TestRng rng(2);
    std::vector<Op> ops = MakeOps(rng, 2000, true);
    Encoder enc;
    std::vector<EncCtx> ectx = EncoderContexts(0, 30);
    Encode(enc, ectx, ops);
    enc.Terminate(1);
    std::vector<uint8_t> rbsp = enc.Finish(), nal;
    AppendEscaped(nal, rbsp);
    EXPECT_GT(nal.size(), rbsp.size());
}

/* Wavefront-style substreams: the second starts at the first's aligned end,
 * with contexts restored from a copy taken mid-way through the first. */
TEST(HevcCabac, SubstreamsWithSavedContexts)
{
    for (int iSeed = 1; iSeed <= 10; iSeed++) {
        TestRng rng(100 + iSeed);
        std::vector<Op> a1 = MakeOps(rng, 300, true), a2 = MakeOps(rng, 300, false);
        std::vector<Op> b = MakeOps(rng, 500, iSeed & 1);
        Encoder enc;
        std::vector<EncCtx> ectx = EncoderContexts(1, 26);
        Encode(enc, ectx, a1);
        std::vector<EncCtx> saved = ectx;
        Encode(enc, ectx, a2);
        enc.Terminate(1); /* end_of_subset_one_bit + byte_alignment */
        std::vector<uint8_t> nal;
        AppendEscaped(nal, enc.Finish());
        const uint32_t uiEntry = (uint32_t)nal.size();
        Encode(enc, saved, b);
        enc.Terminate(1);
        AppendEscaped(nal, enc.Finish());

        HevcCabac dec;
        HevcCabacCtx ctx, ctxSaved;
        HevcCabacInitContexts(&ctx, 1, 26);
        ASSERT_EQ(0, HevcCabacStart(&dec, nal.data(), 0, uiEntry));
        size_t uiFail = 0;
        ASSERT_TRUE(Decode(dec, ctx, a1, &uiFail));
        HevcCabacCtxCopy(&ctxSaved, &ctx);
        ASSERT_TRUE(Decode(dec, ctx, a2, &uiFail));
        ASSERT_EQ(1, HevcCabacDecodeTerminate(&dec));
        ASSERT_EQ(uiEntry, HevcCabacAlignedPos(&dec, nal.data()));
        ASSERT_FALSE(HevcCabacFailed(&dec));

        ASSERT_EQ(0, HevcCabacStart(&dec, nal.data(), uiEntry, (uint32_t)nal.size()));
        HevcCabacCtxCopy(&ctx, &ctxSaved);
        ASSERT_TRUE(Decode(dec, ctx, b, &uiFail)) << "seed " << iSeed << " op " << uiFail;
        ASSERT_EQ(1, HevcCabacDecodeTerminate(&dec));
        EXPECT_EQ(nal.size(), HevcCabacAlignedPos(&dec, nal.data()));
        EXPECT_FALSE(HevcCabacFailed(&dec));
    }
}

/* pcm_flag: the arithmetic code ends, raw aligned samples follow (with
 * emulation prevention of their own), then the engine starts again. */
TEST(HevcCabac, RestartAfterRawSamples)
{
    TestRng rng(9);
    std::vector<Op> a = MakeOps(rng, 400, false), b = MakeOps(rng, 400, false);
    Encoder enc;
    std::vector<EncCtx> ectx = EncoderContexts(0, 32);
    Encode(enc, ectx, a);
    enc.Terminate(1);
    std::vector<uint8_t> nal;
    AppendEscaped(nal, enc.Finish());
    const uint32_t uiPcm = (uint32_t)nal.size();
    const std::vector<uint8_t> pcm = {0x00, 0x00, 0x01, 0x80, 0x00, 0x00, 0x00, 0x7F};
    AppendEscaped(nal, pcm);
    const uint32_t uiResume = (uint32_t)nal.size();
    Encode(enc, ectx, b);
    enc.Terminate(1);
    AppendEscaped(nal, enc.Finish());

    HevcCabac dec;
    HevcCabacCtx ctx;
    HevcCabacInitContexts(&ctx, 0, 32);
    ASSERT_EQ(0, HevcCabacStart(&dec, nal.data(), 0, (uint32_t)nal.size()));
    size_t uiFail = 0;
    ASSERT_TRUE(Decode(dec, ctx, a, &uiFail));
    ASSERT_EQ(1, HevcCabacDecodeTerminate(&dec));
    ASSERT_EQ(uiPcm, HevcCabacAlignedPos(&dec, nal.data()));
    EXPECT_EQ(uiPcm + pcm.size() + 2, uiResume); /* two prevention bytes in the samples */
    ASSERT_EQ(0, HevcCabacStart(&dec, nal.data(), uiResume, (uint32_t)nal.size()));
    ASSERT_TRUE(Decode(dec, ctx, b, &uiFail)) << uiFail;
    ASSERT_EQ(1, HevcCabacDecodeTerminate(&dec));
    EXPECT_FALSE(HevcCabacFailed(&dec));
}

/* Bypass bins consume one bit each, so the failure must appear exactly when
 * the 9 start bits plus the bins pass the data's bits (emulation prevention
 * bytes not counted). */
TEST(HevcCabac, FailureIsReportedExactlyAtTheEndOfData)
{
    TestRng rng(3);
    for (int iLen = 2; iLen < 40; iLen += 3) {
        std::vector<uint8_t> rbsp, nal;
        for (int i = 0; i < iLen; i++)
            rbsp.push_back(i % 5 < 2 ? 0 : (uint8_t)(rng.Next() & 0x7F)); /* zeros: prevention bytes */
        rbsp[0] = 0x40; /* keeps ivlOffset legal */
        AppendEscaped(nal, rbsp);
        /* exactly sized copy: a sanitizer build sees any read past it */
        std::vector<uint8_t> exact(nal);
        HevcCabac dec;
        ASSERT_EQ(0, HevcCabacStart(&dec, exact.data(), 0, (uint32_t)exact.size()));
        for (int k = 1; k <= iLen * 8; k++) {
            HevcCabacDecodeBypass(&dec);
            ASSERT_EQ(9 + k > iLen * 8, HevcCabacFailed(&dec) != 0) << "len " << iLen << " bin " << k;
        }
        /* once failed, bins come from a zero offset without new reads */
        for (int i = 0; i < 200; i++)
            HevcCabacDecodeBypass(&dec);
        EXPECT_EQ(0u, HevcCabacDecodeBypassBits(&dec, 32));
        EXPECT_TRUE(HevcCabacFailed(&dec));
    }
}

/* A cut stream: decoding runs to the end of the bins without touching memory
 * past the data and reports the failure. */
TEST(HevcCabac, TruncatedStreamFails)
{
    TestRng rng(5);
    std::vector<Op> ops = MakeOps(rng, 1500, false);
    Encoder enc;
    std::vector<EncCtx> ectx = EncoderContexts(2, 40);
    Encode(enc, ectx, ops);
    enc.Terminate(1);
    std::vector<uint8_t> full;
    AppendEscaped(full, enc.Finish());
    for (size_t uiCut : {(size_t)1, (size_t)2, (size_t)7, full.size() / 2}) {
        const size_t uiLen = full.size() - uiCut;
        std::vector<uint8_t> part(full.begin(), full.begin() + uiLen);
        HevcCabac dec;
        HevcCabacCtx ctx;
        HevcCabacInitContexts(&ctx, 2, 40);
        ASSERT_EQ(0, HevcCabacStart(&dec, part.data(), 0, (uint32_t)uiLen));
        size_t uiFail = 0;
        Decode(dec, ctx, ops, &uiFail, true);
        HevcCabacDecodeTerminate(&dec);
        HevcCabacDecodeBypassBits(&dec, 32); /* whatever was decoded, the data is short */
        EXPECT_TRUE(HevcCabacFailed(&dec)) << "cut " << uiCut;
    }
}

TEST(HevcCabac, StartRejectsShortDataAndReservedOffsets)
{
    HevcCabac dec;
    const uint8_t one[1] = {0x12};
    EXPECT_EQ(-1, HevcCabacStart(&dec, one, 0, 1));
    EXPECT_TRUE(HevcCabacFailed(&dec));
    const uint8_t ff[3] = {0xFF, 0x80, 0x00}; /* ivlOffset 511 */
    EXPECT_EQ(-1, HevcCabacStart(&dec, ff, 0, 3));
    const uint8_t fe[3] = {0xFF, 0x00, 0x00}; /* 510 */
    EXPECT_EQ(-1, HevcCabacStart(&dec, fe, 0, 3));
    const uint8_t ok[3] = {0xFE, 0x80, 0x00}; /* 509 */
    EXPECT_EQ(0, HevcCabacStart(&dec, ok, 0, 3));
    /* empty range */
    EXPECT_EQ(-1, HevcCabacStart(&dec, ok, 2, 1));
}

/* initValue -> state (H.265 9.3.2.2) for a few contexts, worked out by hand. */
TEST(HevcCabac, ContextInitialisationValues)
{
    HevcCabacCtx c;
    auto state = [&](int i) { return c.aucState[i] >> 1; };
    auto mps = [&](int i) { return c.aucState[i] & 1; };

    /* split_cu_flag ctx 0, I: 139 -> m = -5, n = 72 */
    HevcCabacInitContexts(&c, 0, 26); /* (-130 >> 4) + 72 = 63 */
    EXPECT_EQ(0, mps(HEVC_CTX_SPLIT_CU_FLAG));
    EXPECT_EQ(0, state(HEVC_CTX_SPLIT_CU_FLAG));
    /* sao_type_idx, I: 200 -> m = 15, n = 48: (390 >> 4) + 48 = 72 */
    EXPECT_EQ(1, mps(HEVC_CTX_SAO_TYPE_IDX));
    EXPECT_EQ(8, state(HEVC_CTX_SAO_TYPE_IDX));
    /* 154 is QP-independent: 64 -> MPS 1, state 0 */
    EXPECT_EQ(1, mps(HEVC_CTX_CU_TRANSQUANT_BYPASS_FLAG));
    EXPECT_EQ(0, state(HEVC_CTX_CU_TRANSQUANT_BYPASS_FLAG));
    /* intra_chroma_pred_mode, I: 63 -> m = -30, n = 104: (-780 >> 4) + 104 = 55 */
    EXPECT_EQ(0, mps(HEVC_CTX_INTRA_CHROMA_PRED_MODE));
    EXPECT_EQ(8, state(HEVC_CTX_INTRA_CHROMA_PRED_MODE));

    HevcCabacInitContexts(&c, 0, 51); /* (-255 >> 4) + 72 = 56 */
    EXPECT_EQ(0, mps(HEVC_CTX_SPLIT_CU_FLAG));
    EXPECT_EQ(7, state(HEVC_CTX_SPLIT_CU_FLAG));
    HevcCabacInitContexts(&c, 0, 0); /* 72 */
    EXPECT_EQ(1, mps(HEVC_CTX_SPLIT_CU_FLAG));
    EXPECT_EQ(8, state(HEVC_CTX_SPLIT_CU_FLAG));
    /* negative slice QP (10-bit) clips to 0 */
    HevcCabacCtx c2;
    HevcCabacInitContexts(&c2, 0, -12);
    EXPECT_EQ(0, memcmp(&c, &c2, sizeof(c)));

    /* last_sig_coeff_x_prefix ctx 5, I: 153 -> m = 0... 153 = 9 << 4 | 9: m = 0, n = 56 */
    EXPECT_EQ(0, mps(HEVC_CTX_LAST_X_PREFIX + 5));
    EXPECT_EQ(7, state(HEVC_CTX_LAST_X_PREFIX + 5));
    /* sig_coeff_flag ctx 12, I: 179 -> m = 10, n = 8: QP 0 -> 8 */
    EXPECT_EQ(0, mps(HEVC_CTX_SIG_COEFF_FLAG + 12));
    EXPECT_EQ(55, state(HEVC_CTX_SIG_COEFF_FLAG + 12));
    /* coeff_abs_level_greater1_flag ctx 21, I: 227 -> m = 25, n = 8: QP 40 ->
     * (1000 >> 4) + 8 = 70 */
    HevcCabacInitContexts(&c, 0, 40);
    EXPECT_EQ(1, mps(HEVC_CTX_GREATER1_FLAG + 21));
    EXPECT_EQ(6, state(HEVC_CTX_GREATER1_FLAG + 21));
    /* split_transform_flag ctx 0 differs per initType: 153 / 124 / 224 */
    HevcCabacInitContexts(&c, 2, 22); /* 224: m = 25, n = -16: (550 >> 4) - 16 = 18 */
    EXPECT_EQ(0, mps(HEVC_CTX_SPLIT_TRANSFORM_FLAG));
    EXPECT_EQ(45, state(HEVC_CTX_SPLIT_TRANSFORM_FLAG));
    HevcCabacInitContexts(&c, 1, 22); /* 124: m = -10, n = 80: (-220 >> 4) + 80 = 66 */
    EXPECT_EQ(1, mps(HEVC_CTX_SPLIT_TRANSFORM_FLAG));
    EXPECT_EQ(2, state(HEVC_CTX_SPLIT_TRANSFORM_FLAG));

    EXPECT_EQ(0, HevcCabacInitType(2, 0));
    EXPECT_EQ(0, HevcCabacInitType(2, 1));
    EXPECT_EQ(1, HevcCabacInitType(1, 0));
    EXPECT_EQ(2, HevcCabacInitType(1, 1));
    EXPECT_EQ(2, HevcCabacInitType(0, 0));
    EXPECT_EQ(1, HevcCabacInitType(0, 1));
}

/* coeff_abs_level_remaining written as the binarization of 9.3.3.11 (TR
 * prefix with cMax 4 << rice, then EGk with k = rice + 1) decodes back. */
void EncodeRemaining(Encoder &enc, uint32_t uiValue, int iRice)
{
    const uint32_t uiCMax = 4u << iRice;
    uint32_t uiPrefixVal = uiValue < uiCMax ? uiValue : uiCMax;
    uint32_t uiUnary = uiPrefixVal >> iRice;
    for (uint32_t i = 0; i < uiUnary; i++)
        enc.Bypass(1);
    if (uiUnary < 4) {
        enc.Bypass(0);
        for (int b = iRice - 1; b >= 0; b--)
            enc.Bypass((uiPrefixVal >> b) & 1);
        return;
    }
    uint32_t uiAbs = uiValue - uiCMax;
    int k = iRice + 1;
    for (;;) {
        if (uiAbs >= (1u << k)) {
            enc.Bypass(1);
            uiAbs -= 1u << k;
            k++;
        } else {
            enc.Bypass(0);
            while (k--)
                enc.Bypass((uiAbs >> k) & 1);
            break;
        }
    }
}

TEST(HevcCabac, CoeffAbsLevelRemainingRoundTrip)
{
    TestRng rng(77);
    std::vector<std::pair<uint32_t, int>> vals;
    for (int iRice = 0; iRice <= 4; iRice++) {
        for (uint32_t v = 0; v < 300; v++)
            vals.push_back({v, iRice});
        for (int i = 0; i < 200; i++)
            vals.push_back({rng.Next() % (1u << (1 + rng.Next() % 17)), iRice});
        vals.push_back({32768u + 4000u, iRice});
    }
    Encoder enc;
    for (auto &v : vals)
        EncodeRemaining(enc, v.first, v.second);
    enc.Terminate(1);
    std::vector<uint8_t> nal;
    AppendEscaped(nal, enc.Finish());
    HevcCabac dec;
    ASSERT_EQ(0, HevcCabacStart(&dec, nal.data(), 0, (uint32_t)nal.size()));
    for (auto &v : vals)
        ASSERT_EQ(v.first, HevcCabacDecodeCoeffAbsLevelRemaining(&dec, v.second)) << "rice " << v.second;
    EXPECT_EQ(1, HevcCabacDecodeTerminate(&dec));
    EXPECT_FALSE(HevcCabacFailed(&dec));

    /* 32 ones: not from any conforming stream */
    Encoder bad;
    for (int i = 0; i < 40; i++)
        bad.Bypass(1);
    bad.Terminate(1);
    nal.clear();
    AppendEscaped(nal, bad.Finish());
    ASSERT_EQ(0, HevcCabacStart(&dec, nal.data(), 0, (uint32_t)nal.size()));
    EXPECT_EQ(0u, HevcCabacDecodeCoeffAbsLevelRemaining(&dec, 0));
    EXPECT_TRUE(HevcCabacFailed(&dec));
}

TEST(HevcCabac, ResidualContextIncrements)
{
    /* last prefix: luma 4x4 bins 0..2 -> 0..2, 32x32 bin 8 -> 14, chroma 8x8 */
    EXPECT_EQ(2, HevcLastPrefixCtxInc(2, 0, 2));
    EXPECT_EQ(4, HevcLastPrefixCtxInc(3, 0, 2));
    EXPECT_EQ(9, HevcLastPrefixCtxInc(4, 0, 6));
    EXPECT_EQ(10, HevcLastPrefixCtxInc(5, 0, 0));
    EXPECT_EQ(14, HevcLastPrefixCtxInc(5, 0, 8));
    EXPECT_EQ(17, HevcLastPrefixCtxInc(2, 1, 2));
    EXPECT_EQ(16, HevcLastPrefixCtxInc(3, 1, 3));
    EXPECT_EQ(16, HevcLastPrefixCtxInc(4, 1, 6));
    /* sig_coeff_flag */
    EXPECT_EQ(0, HevcSigCoeffCtxInc(2, 0, 0, 0, 0, 0));
    EXPECT_EQ(2, HevcSigCoeffCtxInc(2, 0, 0, 0, 1, 0));
    EXPECT_EQ(8, HevcSigCoeffCtxInc(2, 0, 0, 2, 3, 0));
    EXPECT_EQ(27 + 6, HevcSigCoeffCtxInc(2, 1, 0, 1, 2, 0));
    EXPECT_EQ(0, HevcSigCoeffCtxInc(3, 0, 0, 0, 0, 0));
    EXPECT_EQ(1 + 9, HevcSigCoeffCtxInc(3, 0, 0, 1, 0, 0));
    EXPECT_EQ(1 + 15, HevcSigCoeffCtxInc(3, 0, 1, 1, 0, 0));
    EXPECT_EQ(2 + 3 + 9, HevcSigCoeffCtxInc(3, 0, 0, 4, 0, 0));
    EXPECT_EQ(0 + 3 + 21, HevcSigCoeffCtxInc(4, 0, 0, 7, 7, 0));
    EXPECT_EQ(2 + 3 + 21, HevcSigCoeffCtxInc(5, 0, 0, 9, 8, 1)); /* yP 0 with right coded */
    EXPECT_EQ(1 + 3 + 21, HevcSigCoeffCtxInc(5, 0, 0, 9, 9, 2)); /* xP 1 with below coded */
    EXPECT_EQ(2 + 21, HevcSigCoeffCtxInc(5, 0, 0, 3, 3, 3));
    EXPECT_EQ(27 + 2 + 12, HevcSigCoeffCtxInc(4, 2, 0, 3, 3, 3));
    EXPECT_EQ(27 + 1 + 9, HevcSigCoeffCtxInc(3, 1, 2, 5, 4, 2));
    /* every position stays inside its element's contexts */
    for (int iLog2 = 2; iLog2 <= 5; iLog2++)
        for (int cIdx = 0; cIdx < 2; cIdx++)
            for (int iScan = 0; iScan < 3; iScan++)
                for (int y = 0; y < (1 << iLog2); y++)
                    for (int x = 0; x < (1 << iLog2); x++)
                        for (int iCsbf = 0; iCsbf < 4; iCsbf++) {
                            int c = HevcSigCoeffCtxInc(iLog2, cIdx, iScan, x, y, iCsbf);
                            ASSERT_TRUE(cIdx ? c >= 27 && c < 42 : c >= 0 && c < 27) << c;
                        }
    for (int iLog2 = 2; iLog2 <= 5; iLog2++)
        for (int iBin = 0; iBin < 2 * iLog2 - 1; iBin++) {
            EXPECT_LT(HevcLastPrefixCtxInc(iLog2, 0, iBin), 15);
            if (iLog2 < 5) {
                EXPECT_GE(HevcLastPrefixCtxInc(iLog2, 1, iBin), 15);
                EXPECT_LT(HevcLastPrefixCtxInc(iLog2, 1, iBin), 18);
            }
        }
}

/* The expanded state-byte transitions agree with Table 9-47. */
TEST(HevcCabac, StateTransitionsFollowTheTable)
{
    for (int s = 0; s < 128; s++) {
        int st = s >> 1, m = s & 1;
        EXPECT_EQ((st < 62 ? st + 1 : st) << 1 | m, g_aucHevcCabacNextMps[s]);
        EXPECT_EQ(kTransIdxLps[st] << 1 | (st == 0 ? 1 - m : m), g_aucHevcCabacNextLps[s]);
    }
    for (int s = 0; s < 128; s++)
        for (int q = 0; q < 4; q++)
            ASSERT_EQ(g_aaucHevcCabacLps[s >> 1][q], g_aucHevcCabacLpsByRange[q << 7 | s]);
    /* rangeTabLps falls with the state and rises with the range quarter */
    for (int st = 0; st < 63; st++)
        for (int q = 0; q < 4; q++) {
            if (q) {
                EXPECT_GT(g_aaucHevcCabacLps[st][q], g_aaucHevcCabacLps[st][q - 1]) << st;
            }
            if (st) {
                EXPECT_LE(g_aaucHevcCabacLps[st][q], g_aaucHevcCabacLps[st - 1][q]) << st;
            }
        }
}

} /* namespace */
