// H.265 test clips made with libx265 at test time, and the marker SEI that
// sends a stream to the built-in decoder when it leads a key packet.
#ifndef IPCAMERA_TESTS_HEVCCLIPS_H
#define IPCAMERA_TESTS_HEVCCLIPS_H

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "../stream/MediaGen.h"

namespace hevcclips {

// Prefix SEI (type 39), payload type 229, one byte of payload.
inline const std::vector<uint8_t> &MarkerSei()
{
    static const std::vector<uint8_t> v = {0, 0, 0, 1, 0x4E, 0x01, 0xE5, 0x01, 0x00, 0x80};
    return v;
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

}  // namespace hevcclips

#endif
