#ifndef IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H
#define IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H

// Helpers of the recorder tests: ffprobe as the judge of the recorded
// files. Shell commands, the RTSP test camera, the host callbacks and
// waiting come from the end-to-end tests' support.

#include <errno.h>
#include <stdint.h>
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

// This process's scratch directory; made again after a suite removed it.
// IPCAMERA_KEEP_TEST_FILES=1 keeps it for a look after a failure.
inline std::string TestDir(bool bRemove = false)
{
    std::string dir = std::string(IPCAMERA_BINARY_DIR) + "/record_test_" + std::to_string(getpid());
    if (bRemove) {
        if (!getenv("IPCAMERA_KEEP_TEST_FILES"))
            E2eRun("rm -rf '" + dir + "'");
        return dir;
    }
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return "/tmp";
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

inline std::vector<Entry> ProbeStreams(const std::string &path)
{
    return Probe(path, "-count_frames -show_entries stream=codec_type,codec_name,codec_tag,sample_rate,bit_rate,"
                       "channels,nb_read_frames,duration,width,height");
}

// Decodes every frame of the file with ffprobe (no muxer, so any frame
// rate will do): its error output, empty when every frame decoded cleanly
// (and "failed" when ffprobe did).
inline std::string DecodeErrors(const std::string &path)
{
    int status = -1;
    std::string errors = E2eRun("ffprobe -v error -show_frames '" + path + "' 2>&1 >/dev/null", &status);
    return status == 0 ? errors : "failed: " + errors;
}

// A finished recording: nStreams streams, video first and beginning with a
// key frame, nVideo decodable video frames (not checked when negative), and
// not one decode error. ffprobe's view of the streams in *pStreams.
inline void CheckRecording(const std::string &path, size_t nStreams, long nVideo,
                           std::vector<Entry> *pStreams = nullptr)
{
    std::vector<Entry> st = ProbeStreams(path);
    ASSERT_EQ(nStreams, st.size()) << path;
    EXPECT_EQ("video", st[0]["codec_type"]);
    if (nVideo >= 0) {
        EXPECT_EQ(std::to_string(nVideo), st[0]["nb_read_frames"]) << "video frames lost or undecodable";
    }
    std::vector<Entry> pk = Probe(path, "-select_streams v:0 -read_intervals %+#1 -show_entries packet=flags");
    ASSERT_FALSE(pk.empty());
    EXPECT_EQ('K', pk[0]["flags"][0]) << "the recording does not begin with a key frame";
    EXPECT_EQ("", DecodeErrors(path));
    if (pStreams)
        *pStreams = st;
}

inline std::vector<unsigned char> ReadAll(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline uint32_t Le32(const std::vector<unsigned char> &f, size_t off)
{
    if (f.size() < off + 4)
        return 0xFFFFFFFFu;
    return (uint32_t)f[off] | (uint32_t)f[off + 1] << 8 | (uint32_t)f[off + 2] << 16 | (uint32_t)f[off + 3] << 24;
}

// Chunks of the 'movi' list with no payload. The AVI muxer writes one for
// every timestamp step it finds missing, so any means the recording's
// timestamps do not match its time bases.
inline int CountEmptyChunks(const std::vector<unsigned char> &f)
{
    size_t i = 0;
    while (i + 4 <= f.size() && memcmp(&f[i], "movi", 4) != 0)
        i++;
    int n = 0;
    for (i += 4; i + 8 <= f.size() && memcmp(&f[i], "idx1", 4) != 0;) {
        uint32_t sz = Le32(f, i + 4);
        if (memcmp(&f[i], "LIST", 4) == 0) {
            i += 12;
            continue;
        }
        n += sz == 0;
        i += 8 + sz + (sz & 1);
    }
    return n;
}

// Recorder tests on generated media: skipped when the ffmpeg/ffprobe CLI that
// makes and judges it is missing; the media goes with the suite.
class RecorderMediaTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        FFMpegRegister();
        int status = -1;
        E2eRun("command -v ffmpeg && command -v ffprobe", &status);
        s_bTools = status == 0;
    }
    static void TearDownTestSuite() { TestDir(true); }
    void SetUp() override
    {
        if (!s_bTools)
            GTEST_SKIP() << "ffmpeg/ffprobe CLI not found: cannot generate or judge test media";
    }
    inline static bool s_bTools = false;
};

}  // namespace

#endif
