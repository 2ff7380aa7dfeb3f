#ifndef IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H
#define IPCAMERA_TESTS_RECORD_RECORDTESTUTIL_H

// Helpers of the recorder tests: test media generated with the ffmpeg CLI,
// and ffprobe/ffmpeg as the judges of the recorded files.

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

inline bool HaveTool(const char *name)
{
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

// Runs a shell command; its stdout (and stderr when bErr) in *pOut; the exit
// status as result.
inline int RunCapture(const std::string &cmd, std::string *pOut, bool bErr = false)
{
    std::string full = cmd + (bErr ? " 2>&1" : " 2>/dev/null");
    FILE *p = popen(full.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    pOut->clear();
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        pOut->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A helper process started by a test (a paced sender, the RTSP test
// camera); ended and reaped when the test is done with it.
struct ChildProcess {
    pid_t pid = -1;

    // Waits for the process to end on its own; true if it ended cleanly.
    bool Wait()
    {
        if (pid <= 0)
            return false;
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }

    ~ChildProcess()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// This process's scratch directory; made again after a suite removed it.
inline std::string TestDir()
{
    std::string dir = std::string(IPCAMERA_BINARY_DIR) + "/record_test_" + std::to_string(getpid());
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return "/tmp";
    return dir;
}

// IPCAMERA_KEEP_TEST_FILES=1 keeps the files for a look after a failure.
inline void RemoveTestDir()
{
    if (getenv("IPCAMERA_KEEP_TEST_FILES"))
        return;
    std::string cmd = "rm -rf '" + TestDir() + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", TestDir().c_str());
}

// Generates seconds of test video (320x240 unless told) at 25 frames per second (a key
// frame every 12 frames, no B-frames) with an optional mono sine tone.
// vcodec: libx264, libx265 or mpeg4; acodec: "" for none, or aac,
// pcm_mulaw, pcm_alaw, g726, g722. The container is chosen by the caller's
// extension (NUT and MPEG-TS carry all of them).
inline bool MakeSource(const std::string &path, const std::string &vcodec, const std::string &acodec,
                       double seconds = 2.0, const char *size = "320x240")
{
    std::string cmd = std::string("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=") + size + ":rate=25";
    if (!acodec.empty()) {
        int rate = acodec == "aac" ? 44100 : acodec == "g722" ? 16000 : 8000;
        cmd += " -f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(rate);
    }
    cmd += " -t " + std::to_string(seconds) + " -c:v " + vcodec + " -g 12 -bf 0 -pix_fmt yuv420p";
    if (vcodec == "libx265")
        cmd += " -x265-params log-level=none:bframes=0:keyint=12";
    if (vcodec == "mpeg4")
        cmd += " -q:v 4";
    if (!acodec.empty()) {
        cmd += " -c:a " + acodec + " -ac 1";
        if (acodec == "g726")
            cmd += " -b:a 16k -af asetnsamples=n=320";  // 40 ms packets, as cameras send
        if (acodec == "aac")
            cmd += " -b:a 64k";
    }
    cmd += " '" + path + "' >/dev/null 2>&1";
    return system(cmd.c_str()) == 0;
}

struct ProbedStream {
    std::string codecType;
    std::string codecName;
    std::string rFrameRate;
    int nSampleRate = 0;
    int nReadFrames = -1;
};

// ffprobe's view of a file, counting the frames it can decode.
inline std::vector<ProbedStream> Probe(const std::string &path)
{
    std::vector<ProbedStream> out;
    std::string text;
    std::string cmd = "ffprobe -v error -count_frames -show_entries "
                      "stream=codec_type,codec_name,r_frame_rate,sample_rate,nb_read_frames "
                      "-of compact=p=0:nk=0 '" + path + "'";
    if (RunCapture(cmd, &text) != 0)
        return out;
    // One line per stream of "key=value|key=value...".
    std::istringstream lines(text);
    std::string line, kv;
    while (std::getline(lines, line)) {
        if (line.empty())
            continue;
        ProbedStream s;
        std::istringstream fields(line);
        while (std::getline(fields, kv, '|')) {
            size_t eq = kv.find('=');
            std::string k = kv.substr(0, eq), v = eq == std::string::npos ? "" : kv.substr(eq + 1);
            if (k == "codec_type")
                s.codecType = v;
            else if (k == "codec_name")
                s.codecName = v;
            else if (k == "r_frame_rate")
                s.rFrameRate = v;
            else if (k == "sample_rate")
                s.nSampleRate = atoi(v.c_str());
            else if (k == "nb_read_frames")
                s.nReadFrames = v == "N/A" ? -1 : atoi(v.c_str());
        }
        out.push_back(s);
    }
    return out;
}

// Decodes the whole file with the ffmpeg CLI; its error output (empty when
// every frame decoded cleanly) in *pErrors. true when ffmpeg succeeded.
inline bool DecodesCleanly(const std::string &path, std::string *pErrors)
{
    std::string cmd = "ffmpeg -nostdin -v error -i '" + path + "' -f null -";
    return RunCapture(cmd, pErrors, true) == 0;
}

// A finished recording: nStreams streams, video first, nVideo decodable video
// frames (not checked when negative), and not one decode error. ffprobe's
// view of the streams in *pStreams.
inline void CheckRecording(const std::string &path, size_t nStreams, long nVideo,
                           std::vector<ProbedStream> *pStreams = nullptr)
{
    std::vector<ProbedStream> st = Probe(path);
    ASSERT_EQ(nStreams, st.size());
    EXPECT_EQ("video", st[0].codecType);
    if (nVideo >= 0) {
        EXPECT_EQ(nVideo, st[0].nReadFrames) << "video frames lost or undecodable";
    }
    std::string errors;
    EXPECT_TRUE(DecodesCleanly(path, &errors)) << errors;
    EXPECT_EQ("", errors);
    if (pStreams)
        *pStreams = st;
}

// The video picture size ffprobe reads from a file, as "WxH".
inline std::string VideoSize(const std::string &path)
{
    std::string text;
    RunCapture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0:s=x '" + path + "'",
               &text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// ffprobe's video packets of a file: "dts,size" per line.
inline std::vector<std::pair<long, long>> VideoPackets(const std::string &path)
{
    std::vector<std::pair<long, long>> out;
    std::string text;
    if (RunCapture("ffprobe -v error -select_streams v:0 -show_entries packet=dts,size -of csv=p=0 '" + path + "'",
                   &text) != 0)
        return out;
    size_t pos = 0;
    while (pos < text.size()) {
        long pts = -1, size = -1;
        if (sscanf(text.c_str() + pos, "%ld,%ld", &pts, &size) == 2)
            out.push_back({pts, size});
        size_t eol = text.find('\n', pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
    }
    return out;
}

inline std::vector<unsigned char> ReadAll(const std::string &path)
{
    std::vector<unsigned char> v;
    FILE *fp = fopen(path.c_str(), "rb");
    if (!fp)
        return v;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0)
        v.insert(v.end(), buf, buf + n);
    fclose(fp);
    return v;
}

inline uint32_t ReadLe32At(const std::string &path, size_t off)
{
    std::vector<unsigned char> f = ReadAll(path);
    if (f.size() < off + 4)
        return 0xFFFFFFFFu;
    return (uint32_t)f[off] | (uint32_t)f[off + 1] << 8 | (uint32_t)f[off + 2] << 16 | (uint32_t)f[off + 3] << 24;
}

// The audio stream format (WAVEFORMATEX after the second 'strf') of an AVI
// written here: mono, with this tag, sample rate and byte rate, and nBits
// bits per sample (not checked when negative).
inline void CheckAudioFormat(const std::vector<unsigned char> &f, int nTag, int nRate, int nByteRate, int nBits)
{
    size_t pos = 0;
    for (size_t i = 0, nStrf = 0; i + 8 < f.size() && i < 65536 && !pos; i++)
        if (memcmp(&f[i], "strf", 4) == 0 && ++nStrf == 2)
            pos = i + 8;
    ASSERT_TRUE(pos != 0 && pos + 16 <= f.size()) << "no audio stream format";
    auto le16 = [&](size_t o) { return (int)(f[pos + o] | f[pos + o + 1] << 8); };
    auto le32 = [&](size_t o) { return (int)(le16(o) | le16(o + 2) << 16); };
    EXPECT_EQ(nTag, le16(0));
    EXPECT_EQ(1, le16(2));  // mono
    EXPECT_EQ(nRate, le32(4));
    EXPECT_EQ(nByteRate, le32(8));
    if (nBits >= 0) {
        EXPECT_EQ(nBits, le16(14));
    }
}

// Chunks of the 'movi' list with no payload. The AVI muxer writes one for
// every timestamp step it finds missing, so a count beyond one per stream
// means the recording's timestamps do not match its time bases.
inline int CountEmptyChunks(const std::vector<unsigned char> &f)
{
    size_t i = 0;
    for (; i + 4 <= f.size(); i++)
        if (memcmp(&f[i], "movi", 4) == 0)
            break;
    i += 4;
    int n = 0;
    while (i + 8 <= f.size()) {
        const unsigned char *p = &f[i];
        uint32_t sz = (uint32_t)p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16 | (uint32_t)p[7] << 24;
        if (memcmp(p, "LIST", 4) == 0) {
            i += 12;
            continue;
        }
        if (memcmp(p, "idx1", 4) == 0)
            break;
        n += sz == 0;
        i += 8 + sz + (sz & 1);
    }
    return n;
}

#endif
