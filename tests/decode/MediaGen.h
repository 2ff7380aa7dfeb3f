// Test media made at test time with the ffmpeg and x265 command-line tools,
// cached in the build tree.
//
// Pictures: testsrc2 with two solid markers touching the left edge:
//   red  box, top-left corner,    W/4 x H/4
//   blue box, bottom-left corner, W/4 x H/4
// so orientation and channel order can be checked on any delivered frame.
#ifndef IPCAMERA_TESTS_MEDIAGEN_H
#define IPCAMERA_TESTS_MEDIAGEN_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace mediagen {

inline std::string Dir()
{
    std::string d = std::string(IPCAMERA_BINARY_DIR) + "/testmedia";
    mkdir(d.c_str(), 0755);
    return d;
}

inline bool HaveFfmpeg()
{
    return system("ffmpeg -hide_banner -version > /dev/null 2>&1") == 0;
}

inline std::string MarkerFilter(int w, int h, const char *pixFmt)
{
    char f[512];
    snprintf(f, sizeof(f),
             "testsrc2=size=%dx%d:rate=25,"
             "drawbox=x=0:y=0:w=%d:h=%d:color=0xFF0000@1:t=fill,"
             "drawbox=x=0:y=%d:w=%d:h=%d:color=0x0000FF@1:t=fill,format=%s",
             w, h, w / 4, h / 4, h - h / 4, w / 4, h / 4, pixFmt);
    return f;
}

// Runs "ffmpeg -y <args> <dir>/<name>" once; later calls reuse the file.
// Written under a temporary name first, so parallel tests never read half a
// file. Returns the path, or "" when ffmpeg failed.
inline std::string Make(const std::string &name, const std::string &args)
{
    std::string path = Dir() + "/" + name;
    if (access(path.c_str(), R_OK) == 0)
        return path;
    std::string ext = name.substr(name.rfind('.'));
    std::string tmp = path + ".tmp" + std::to_string(getpid()) + ext;
    std::string cmd = "ffmpeg -hide_banner -loglevel error -y " + args + " \"" + tmp + "\" < /dev/null";
    if (system(cmd.c_str()) != 0) {
        unlink(tmp.c_str());
        return "";
    }
    if (rename(tmp.c_str(), path.c_str()) != 0)
        return "";
    return path;
}

// A video clip of the marker pattern: frames at 25 fps, size w x h, in the
// given codec options (e.g. "-c:v libx264 -bf 0") and pixel format.
inline std::string Video(const std::string &name, int w, int h, int frames, const char *pixFmt,
                         const std::string &codec)
{
    return Make(name, "-f lavfi -i \"" + MarkerFilter(w, h, pixFmt) + "\" -frames:v " + std::to_string(frames) +
                          " " + codec);
}

// An H.265 stream as a camera sends it, made with the x265 CLI from the
// marker pattern: parameter sets with every key picture and no
// encoder-info SEI. "" on failure (also without x265).
inline std::string HevcClip(const std::string &tag, int w, int h, int frames, const std::string &opts,
                            const char *pixFmt = "yuv420p")
{
    std::string path = Dir() + "/x265_" + tag + "_" + std::to_string(w) + "x" + std::to_string(h) + "_" +
                       std::to_string(frames) + ".hevc";
    if (access(path.c_str(), R_OK) == 0)
        return path;
    std::string tmp = path + ".tmp" + std::to_string(getpid()) + ".hevc";
    std::string cmd = "ffmpeg -v error -f lavfi -i \"" + MarkerFilter(w, h, pixFmt) + "\" -frames:v " +
                      std::to_string(frames) + " -strict -1 -f yuv4mpegpipe - 2>/dev/null < /dev/null | " +
                      "x265 --log-level error --y4m --input - --preset ultrafast --no-info --repeat-headers " + opts +
                      " --output \"" + tmp + "\" > /dev/null 2>&1";
    if (system(cmd.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return "";
    }
    return path;
}

}  // namespace mediagen

#endif
