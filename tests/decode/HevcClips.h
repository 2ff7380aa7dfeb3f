// H.265 test clips made with libx265 at test time, and the marker SEI that
// sends a stream to the built-in decoder when it leads a key packet.
#ifndef IPCAMERA_TESTS_HEVCCLIPS_H
#define IPCAMERA_TESTS_HEVCCLIPS_H

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "../stream/MediaGen.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace hevcclips {

// Prefix SEI (type 39), payload type 229, one byte of payload.
inline const std::vector<uint8_t> &MarkerSei()
{
    static const std::vector<uint8_t> v = {0, 0, 0, 1, 0x4E, 0x01, 0xE5, 0x01, 0x00, 0x80};
    return v;
}

// Raw Annex B clip: a key frame every keyint pictures, no B pictures, no
// x265 info SEI (so only an inserted marker makes a prefix SEI).
inline std::string Clip(int w, int h, int frames, int keyint = 3, const char *pixFmt = "yuv420p")
{
    std::string name = "hevcsel_" + std::to_string(w) + "x" + std::to_string(h) + "_" + std::to_string(frames) +
                       "_i" + std::to_string(keyint) + "_" + pixFmt + ".hevc";
    std::string k = std::to_string(keyint);
    return mediagen::Video(name, w, h, frames, pixFmt,
                           "-c:v libx265 -preset ultrafast -x265-params keyint=" + k + ":min-keyint=" + k +
                               ":bframes=0:ref=1:open-gop=0:info=0:log-level=error -f hevc");
}

// A stream as a camera sends it, made with the x265 CLI: parameter sets
// with every key picture and no encoder-info SEI (which would exceed the
// built-in decoder's SEI size limit). Made once per name; "" on failure.
inline std::string ClipCli(const std::string &tag, int w, int h, int frames, const std::string &opts,
                           const char *pixFmt = "yuv420p")
{
    std::string path = mediagen::Dir() + "/hevcsel_cli_" + tag + "_" + std::to_string(w) + "x" +
                       std::to_string(h) + "_" + std::to_string(frames) + ".hevc";
    if (access(path.c_str(), R_OK) == 0)
        return path;
    std::string tmp = path + ".tmp" + std::to_string(getpid()) + ".hevc";
    std::string cmd = "ffmpeg -v error -f lavfi -i \"" + mediagen::MarkerFilter(w, h, pixFmt) + "\" -frames:v " +
                      std::to_string(frames) +
                      " -strict -1 -f yuv4mpegpipe - 2>/dev/null < /dev/null | x265 --log-level error --y4m --input - "
                      "--preset ultrafast --no-info --repeat-headers " + opts + " --output \"" + tmp +
                      "\" > /dev/null 2>&1";
    if (system(cmd.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return "";
    }
    return path;
}

inline bool HaveX265AndFfmpeg()
{
    return system("x265 --version > /dev/null 2>&1") == 0 && mediagen::HaveFfmpeg();
}

// A copy of pkt with the marker SEI in front of its payload.
inline AVPacket *WithMarker(const AVPacket *pkt)
{
    const std::vector<uint8_t> &m = MarkerSei();
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, pkt->size + (int)m.size());
    memcpy(p->data, m.data(), m.size());
    memcpy(p->data + m.size(), pkt->data, (size_t)pkt->size);
    av_packet_copy_props(p, pkt);
    p->stream_index = pkt->stream_index;
    p->flags = pkt->flags;
    return p;
}

// Marker in front of every key packet of v (in place).
inline void MarkKeyPackets(std::vector<AVPacket *> &v)
{
    for (AVPacket *&p : v)
        if (p->flags & AV_PKT_FLAG_KEY) {
            AVPacket *m = WithMarker(p);
            av_packet_free(&p);
            p = m;
        }
}

inline AVPacket *Bytes(std::initializer_list<int> bytes, int flags, int streamIndex = 0)
{
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, (int)bytes.size());
    int i = 0;
    for (int b : bytes)
        p->data[i++] = (uint8_t)b;
    p->flags = flags;
    p->stream_index = streamIndex;
    return p;
}

}  // namespace hevcclips

#endif
