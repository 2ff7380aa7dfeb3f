// The hevc-decode tool's check of a stream's own picture hashes, which the
// intra stream tests take as the oracle where FFmpeg deviates.
#include <gtest/gtest.h>

#include <fstream>

#include "HevcTestUtil.h"

using namespace hevctest;

namespace {

// hevc-decode --verify: the stream's own picture hashes as a second oracle
// (MD5 and checksum from x265, CRC from an HM-encoded stream of the shared
// collection: x265's chroma CRCs disagree with HM's and libde265's reading of
// the CRC rule), and a tampered hash is reported.
TEST(HevcDecodeTool, VerifyChecksEveryPictureHashKind)
{
    std::string tool = HevcDecodeTool();
    if (tool.empty())
        GTEST_SKIP() << "hevc-decode is not built";
    for (int iHash : {1, 3})
        for (int iDepth : {8, 10}) {
            std::string path = X265Stream("intra_noinfo_hash" + std::to_string(iHash) + "_" + std::to_string(iDepth),
                                          208, 120, 3, iDepth,
                                          "-I 1 --keyint 1 --no-info --ctu 16 --hash " + std::to_string(iHash));
            if (path.empty())
                GTEST_SKIP() << "x265 or ffmpeg not available";
            std::string out;
            EXPECT_EQ(hevctest::Run("'" + tool + "' --quiet --verify '" + path + "'", &out), 0) << out;
            EXPECT_NE(out.find("verified=3 mismatches=0"), std::string::npos) << out;
        }
    std::string crc = std::string(IPCAMERA_TESTDATA_DIR) + "/hevc-conformance/libde265.js/paris-ra-wpp.bin";
    if (!ReadFile(crc).empty()) {
        std::string out;
        hevctest::Run("'" + tool + "' --quiet --relax 1 --verify --frames 40 '" + crc + "'", &out);
        // The first 40 pictures, intra and inter.
        EXPECT_NE(out.find("verified=40 mismatches=0"), std::string::npos) << out;
    }
    // Flip one byte of the last picture's hash.
    std::string path = X265Stream("intra_noinfo_hash1_8", 208, 120, 3, 8, "-I 1 --keyint 1 --no-info --ctu 16 --hash 1");
    std::vector<uint8_t> data = ReadFile(path);
    ASSERT_GT(data.size(), 8u);
    data[data.size() - 2] ^= 0x40;
    std::string bad = TempDir() + "/intra_tampered_hash.hevc";
    ASSERT_TRUE(std::ofstream(bad, std::ios::binary).write((const char *)data.data(), (std::streamsize)data.size()));
    std::string out;
    EXPECT_EQ(hevctest::Run("'" + tool + "' --quiet --verify '" + bad + "'", &out) != 0, true);
    EXPECT_NE(out.find("VERIFY 2 decode=2 mismatch: plane 2 MD5"), std::string::npos) << out;
    EXPECT_NE(out.find("mismatches=1"), std::string::npos) << out;
}

} // namespace
