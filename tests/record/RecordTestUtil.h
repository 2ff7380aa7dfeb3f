#ifndef IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H
#define IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H

// Helpers of the recorder tests: ffprobe as the judge of the recorded
// files. Shell commands, the RTSP test camera, the host callbacks and
// waiting come from the end-to-end tests' support.

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "record/AviRecorder.h"
#include "stream/FFMpegContext.h"
#include "support/Platform.h"
#include "support/Thread.h"

namespace {

// This process's scratch directory (IPCAMERA_KEEP_TEST_FILES=1 keeps it
// for a look after a failure).
inline std::string TestDir()
{
    std::string dir = std::string(IPCAMERA_BINARY_DIR) + "/record_test_" + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    return dir;
}

// ffprobe's entries for a file, one map of key to value per stream or
// packet, e.g. Probe(f, "-select_streams v:0 -show_entries packet=dts").
typedef std::map<std::string, std::string> Entry;
inline std::vector<Entry> Probe(const std::string &path, const std::string &query)
{
    std::vector<Entry> out;
    std::istringstream lines(E2eRun("ffprobe -v error " + query + " -of compact=p=0 '" + path + "' 2>/dev/null"));
    std::string line, kv;
    while (std::getline(lines, line)) {
        Entry e;
        std::istringstream fields(line);
        while (std::getline(fields, kv, '|'))
            e[kv.substr(0, kv.find('='))] = kv.substr(kv.find('=') + 1);
        if (!e.empty())
            out.push_back(e);
    }
    return out;
}

inline std::vector<unsigned char> ReadAll(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Chunks of the 'movi' list with no payload. The AVI muxer writes one for
// every timestamp step it finds missing, so any means the recording's
// timestamps do not match its time bases.
inline int CountEmptyChunks(const std::vector<unsigned char> &f)
{
    auto le32 = [&](size_t i) { return (uint32_t)f[i] | f[i + 1] << 8 | f[i + 2] << 16 | (uint32_t)f[i + 3] << 24; };
    size_t i = 0;
    while (i + 4 <= f.size() && memcmp(&f[i], "movi", 4) != 0)
        i++;
    int n = 0;
    for (i += 4; i + 8 <= f.size() && memcmp(&f[i], "idx1", 4) != 0;) {
        bool bList = memcmp(&f[i], "LIST", 4) == 0;
        n += !bList && le32(i + 4) == 0;
        i += bList ? 12 : 8 + le32(i + 4) + (le32(i + 4) & 1);
    }
    return n;
}

// A finished recording: nStreams streams, video first and beginning with a
// key frame, nVideo decodable video frames (not checked when negative), not
// one decode error (ffprobe decodes every frame; no muxer, so any frame rate
// will do) and no padding chunk. ffprobe's view of the streams in *pStreams.
inline void CheckRecording(const std::string &path, size_t nStreams, long nVideo,
                           std::vector<Entry> *pStreams = nullptr)
{
    std::vector<Entry> st = Probe(path, "-count_frames -show_entries stream=codec_type,codec_name,codec_tag,"
                                        "sample_rate,bit_rate,channels,nb_read_frames,duration,width,height");
    ASSERT_EQ(nStreams, st.size()) << path;
    EXPECT_EQ("video", st[0]["codec_type"]);
    if (nVideo >= 0) {
        EXPECT_EQ(std::to_string(nVideo), st[0]["nb_read_frames"]) << "video frames lost or undecodable";
    }
    std::vector<Entry> pk = Probe(path, "-select_streams v:0 -read_intervals %+#1 -show_entries packet=flags");
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ('K', pk[0]["flags"][0]) << "the recording does not begin with a key frame";
    int status = -1;
    EXPECT_EQ("", E2eRun("ffprobe -v error -show_frames '" + path + "' 2>&1 >/dev/null", &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ(0, CountEmptyChunks(ReadAll(path))) << "padding chunks: timestamps off their time base";
    if (pStreams)
        *pStreams = st;
}

// Recorder tests on generated media: skipped when the ffmpeg/ffprobe CLI that
// makes and judges it is missing; the media goes with the suite.
class RecorderMediaTest : public testing::Test {
protected:
    void SetUp() override
    {
        FFMpegRegister();
        int status = -1;
        E2eRun("command -v ffmpeg && command -v ffprobe", &status);
        if (status != 0)
            GTEST_SKIP() << "ffmpeg/ffprobe CLI not found: cannot generate or judge test media";
    }
    static void TearDownTestSuite()
    {
        if (!getenv("IPCAMERA_KEEP_TEST_FILES"))
            E2eRun("rm -rf '" + TestDir() + "'");
    }
};

}  // namespace

#endif
