/* The CABAC engine on hostile data: where decoding of real streams is checked
 * bit-exactly by the stream tests, these cases check that short, cut and
 * reserved data are reported without a read past the buffer. */
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "HevcTestUtil.h"
#include "cabac.h"

namespace {

/* Bypass bins consume one bit each, so the failure must appear exactly when
 * the 9 start bits plus the bins pass the data's bits (emulation prevention
 * bytes not counted). */
TEST(HevcCabac, FailureIsReportedExactlyAtTheEndOfData)
{
    std::mt19937 rng(3);
    for (int iLen = 2; iLen < 40; iLen += 3) {
        hevctest::BitWriter w;
        for (int i = 0; i < iLen; i++) /* 0x40: a legal offset; zeros: prevention bytes */
            w.U(i == 0 ? 0x40 : i % 5 < 2 ? 0 : rng() & 0x7F, 8);
        std::vector<uint8_t> nal = w.Nal(HEVC_NAL_TRAIL_R);
        /* the escaped payload in an exactly sized copy: a sanitizer build
         * sees any read past it */
        std::vector<uint8_t> exact(nal.begin() + 6, nal.end());
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
    EXPECT_EQ(-1, HevcCabacStart(&dec, ok, 2, 1)); /* empty range */
}

/* Offset 509 in range 510 gives bypass bins of 1 for as long as the data is
 * all ones: a coeff_abs_level_remaining prefix longer than any conforming
 * stream writes (H.265 9.3.3.11 limits it to 32 bins) fails instead of
 * shifting past the value's width. */
TEST(HevcCabac, OverlongRemainingLevelPrefixFails)
{
    std::vector<uint8_t> data(12, 0xFF);
    data[0] = 0xFE;
    HevcCabac dec;
    ASSERT_EQ(0, HevcCabacStart(&dec, data.data(), 0, (uint32_t)data.size()));
    EXPECT_EQ(0u, HevcCabacDecodeCoeffAbsLevelRemaining(&dec, 0));
    EXPECT_TRUE(HevcCabacFailed(&dec));
}

} /* namespace */
