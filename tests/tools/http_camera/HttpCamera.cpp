// ipcam-test-http: a camera that sends the raw framed stream over HTTP, for
// tests and the demo. It listens on 127.0.0.1 only; each HTTP GET is
// answered with a reply header and then frames of an 88-byte header (start
// code 33 22 11 00, little-endian fields) and a payload: the access units of
// an H.264/H.265 clip (Annex B, parameter sets in band) and the audio of the
// clip or of a raw G.711/G.722/G.726/ADTS AAC file, interleaved by time.
//
// Faults a camera or network can show are options: garbage between frames,
// frames split over many small TCP writes, headers announcing huge lengths,
// stalls and a closed connection.
//
// When it is ready it prints one line on stdout:
//   ipcam-test-http: ready http://127.0.0.1:PORT/video
// and serves (one thread per connection) until SIGINT/SIGTERM, or until the
// first connection ends when --once is given.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

namespace {

struct Options {
    int nPort = 0;
    std::string sVideo;        // clip (MP4/MKV/...) or Annex B .h264/.hevc file
    std::string sAudio;        // raw audio file; empty: the clip's audio
    std::string sAudioCodec;   // mulaw | alaw | g722 | g726 | aac (ADTS)
    int bNoAudio = 0;
    int nAudioTypeOverride = 0;  // 0: by codec
    double fFps = 0;           // 0: the clip's rate (25 when unknown)
    int bBurst = 0;            // no pacing
    int bLoop = 0;             // repeat the clip; otherwise close after one pass
    int nCloseAfter = 0;       // close after this many frames (0: never)
    int nGarbageEvery = 0;     // garbage before every Nth frame
    int nGarbageBytes = 37;
    int nSplit = 0;            // max bytes per TCP write (0: whole frames)
    int nOversizeEvery = 0;    // every Nth frame announces a huge length
    int nCorruptEvery = 0;     // every Nth frame has bytes of its second half inverted
    int nStallAfter = 0;       // stall after this many frames
    int nStallMs = 0;          // stall length; negative: forever
    int nDataEvery = 0;        // a data frame (type 3) after every Nth frame
    int nWidth = 0, nHeight = 0;  // header size override
    int bMarkerSei = 0;        // H.265: marker SEI in front of every key frame
    int bOnce = 0;
};

struct Frame {
    uint32_t nType;   // 1 video, 2 audio, 3 data
    uint32_t nKind;   // 0 key
    int64_t nTimeMs;  // presentation time within one pass
    std::vector<uint8_t> data;
};

struct Clip {
    std::vector<Frame> frames;  // in sending order
    int64_t nDurationMs = 0;
    uint32_t nVideoType = 1;    // 3 H.265, 1 H.264
    uint32_t nAudioType = 0xFFFFFFFFu;
    uint32_t nAudioRate = 0;
    uint32_t nWidth = 0, nHeight = 0;
};

std::atomic<int> g_bStop(0);

// Prefix SEI NAL unit (type 39) after a 4-byte start code, payload type 229,
// one payload byte, then the RBSP stop bit.
const uint8_t kMarkerSei[] = {0x00, 0x00, 0x00, 0x01, 0x4E, 0x01, 0xE5, 0x01, 0x00, 0x80};

void Usage(FILE *f)
{
    fprintf(f,
            "usage: ipcam-test-http --video CLIP [options]\n"
            "  --port N            listen port on 127.0.0.1 (0 = pick one; default 0)\n"
            "  --video FILE        H.264/H.265 clip or Annex B elementary stream\n"
            "  --audio FILE        raw audio file (default: the clip's audio track)\n"
            "  --audio-codec C     mulaw | alaw | g722 | g726 (16 kbit/s) | aac (ADTS)\n"
            "  --no-audio          send video only (audio type -1)\n"
            "  --audio-type N      audio type written in the headers\n"
            "  --fps F             pacing (default: the clip's rate)\n"
            "  --burst             send as fast as the socket takes it\n"
            "  --loop              repeat the clip forever\n"
            "  --close-after N     close the connection after N frames\n"
            "  --garbage-every N   garbage bytes before every Nth frame\n"
            "  --garbage-bytes N   how many (default 37)\n"
            "  --split N           write frames in pieces of at most N bytes\n"
            "  --oversize-every N  every Nth frame's header announces 0x7FFFFF00 bytes\n"
            "  --corrupt-every N   every Nth frame's payload has bytes of its second half inverted\n"
            "  --stall-after N     stop sending after N frames ...\n"
            "  --stall-ms MS       ... for MS ms (negative: forever)\n"
            "  --data-every N      a data frame after every Nth frame\n"
            "  --size WxH          picture size written in the headers\n"
            "  --marker-sei        H.265: put a prefix SEI of payload type 229 at the start\n"
            "                      of every key frame (selects the built-in decoder)\n"
            "  --once              exit when the first connection ends\n");
}

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void AddAdtsHeader(std::vector<uint8_t> *out, const uint8_t *asc, int nAsc, const uint8_t *p, int n)
{
    int obj = nAsc >= 2 ? (asc[0] >> 3) : 2;
    int sr = nAsc >= 2 ? (((asc[0] & 7) << 1) | (asc[1] >> 7)) : 8;
    int ch = nAsc >= 2 ? ((asc[1] >> 3) & 0xF) : 1;
    int len = n + 7;
    uint8_t h[7] = {0xFF, 0xF1, (uint8_t)(((obj - 1) << 6) | (sr << 2) | (ch >> 2)),
                    (uint8_t)(((ch & 3) << 6) | (len >> 11)), (uint8_t)((len >> 3) & 0xFF),
                    (uint8_t)(((len & 7) << 5) | 0x1F), 0xFC};
    out->assign(h, h + 7);
    out->insert(out->end(), p, p + n);
}

uint32_t AudioTypeOf(enum AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_AAC: return 1;
    case AV_CODEC_ID_PCM_MULAW: return 2;
    case AV_CODEC_ID_PCM_ALAW: return 3;
    case AV_CODEC_ID_ADPCM_G722: return 4;
    case AV_CODEC_ID_ADPCM_G726: return 5;
    default: return 0xFFFFFFFFu;
    }
}

// Video (and, unless told otherwise, audio) of a clip, video in Annex B with
// the parameter sets in front of every key frame.
int LoadClip(const Options &o, Clip *clip)
{
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, o.sVideo.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(fmt, nullptr) < 0) {
        fprintf(stderr, "ipcam-test-http: cannot read %s\n", o.sVideo.c_str());
        return -1;
    }
    int vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    int ai = (o.bNoAudio || !o.sAudio.empty()) ? -1 : av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (vi < 0) {
        fprintf(stderr, "ipcam-test-http: no video in %s\n", o.sVideo.c_str());
        avformat_close_input(&fmt);
        return -1;
    }
    AVStream *vs = fmt->streams[vi];
    enum AVCodecID vid = vs->codecpar->codec_id;
    if (vid != AV_CODEC_ID_H264 && vid != AV_CODEC_ID_HEVC) {
        fprintf(stderr, "ipcam-test-http: video must be H.264 or H.265\n");
        avformat_close_input(&fmt);
        return -1;
    }
    clip->nVideoType = vid == AV_CODEC_ID_HEVC ? 3 : 1;
    clip->nWidth = (uint32_t)vs->codecpar->width;
    clip->nHeight = (uint32_t)vs->codecpar->height;
    double fps = o.fFps;
    if (fps <= 0 && vs->avg_frame_rate.num > 0 && vs->avg_frame_rate.den > 0)
        fps = av_q2d(vs->avg_frame_rate);
    if (fps <= 0 || fps > 1000)
        fps = 25;

    const AVBitStreamFilter *f = av_bsf_get_by_name(vid == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : "h264_mp4toannexb");
    AVBSFContext *bsf = nullptr;
    if (!f || av_bsf_alloc(f, &bsf) < 0 || avcodec_parameters_copy(bsf->par_in, vs->codecpar) < 0 ||
        av_bsf_init(bsf) < 0) {
        fprintf(stderr, "ipcam-test-http: no Annex B filter\n");
        av_bsf_free(&bsf);
        avformat_close_input(&fmt);
        return -1;
    }
    AVStream *as = ai >= 0 ? fmt->streams[ai] : nullptr;
    if (as) {
        clip->nAudioType = AudioTypeOf(as->codecpar->codec_id);
        clip->nAudioRate = (uint32_t)as->codecpar->sample_rate;
        if (clip->nAudioType == 0xFFFFFFFFu)
            as = nullptr;
    }

    AVPacket *pkt = av_packet_alloc();
    int64_t nVideo = 0;
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == vi) {
            if (av_bsf_send_packet(bsf, pkt) == 0) {
                while (av_bsf_receive_packet(bsf, pkt) == 0) {
                    Frame fr;
                    fr.nType = 1;
                    fr.nKind = (pkt->flags & AV_PKT_FLAG_KEY) ? 0 : 1;
                    fr.nTimeMs = (int64_t)(nVideo * 1000 / fps);
                    if (o.bMarkerSei && vid == AV_CODEC_ID_HEVC && fr.nKind == 0)
                        fr.data.assign(kMarkerSei, kMarkerSei + sizeof(kMarkerSei));
                    fr.data.insert(fr.data.end(), pkt->data, pkt->data + pkt->size);
                    clip->frames.push_back(std::move(fr));
                    nVideo++;
                    av_packet_unref(pkt);
                }
            }
        } else if (as && pkt->stream_index == ai) {
            Frame fr;
            fr.nType = 2;
            fr.nKind = 0;
            int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts - (as->start_time != AV_NOPTS_VALUE ? as->start_time : 0) : 0;
            fr.nTimeMs = av_rescale_q(t, as->time_base, AVRational{1, 1000});
            if (as->codecpar->codec_id == AV_CODEC_ID_AAC && !(pkt->size >= 2 && pkt->data[0] == 0xFF && (pkt->data[1] & 0xF0) == 0xF0))
                AddAdtsHeader(&fr.data, as->codecpar->extradata, as->codecpar->extradata_size, pkt->data, pkt->size);
            else
                fr.data.assign(pkt->data, pkt->data + pkt->size);
            clip->frames.push_back(std::move(fr));
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    av_bsf_free(&bsf);
    avformat_close_input(&fmt);
    clip->nDurationMs = (int64_t)(nVideo * 1000 / fps);
    return nVideo > 0 ? 0 : -1;
}

// A raw audio file cut into 40 ms frames (ADTS: one frame per AAC frame).
int LoadRawAudio(const Options &o, Clip *clip)
{
    FILE *f = fopen(o.sAudio.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "ipcam-test-http: cannot read %s\n", o.sAudio.c_str());
        return -1;
    }
    std::vector<uint8_t> all;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        all.insert(all.end(), buf, buf + n);
    fclose(f);

    std::vector<Frame> audio;
    const std::string &c = o.sAudioCodec;
    if (c == "aac") {
        static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
        size_t pos = 0;
        int64_t nSamples = 0;
        while (pos + 7 <= all.size() && all[pos] == 0xFF && (all[pos + 1] & 0xF0) == 0xF0) {
            size_t len = ((size_t)(all[pos + 3] & 3) << 11) | ((size_t)all[pos + 4] << 3) | (all[pos + 5] >> 5);
            int sr = (all[pos + 2] >> 2) & 0xF;
            if (len < 7 || pos + len > all.size() || sr > 12)
                break;
            clip->nAudioRate = (uint32_t)kRates[sr];
            Frame fr;
            fr.nType = 2;
            fr.nKind = 0;
            fr.nTimeMs = nSamples * 1000 / kRates[sr];
            fr.data.assign(all.begin() + (long)pos, all.begin() + (long)(pos + len));
            audio.push_back(std::move(fr));
            nSamples += 1024;
            pos += len;
        }
        clip->nAudioType = 1;
    } else {
        int nBytes40ms, nRate;
        if (c == "mulaw" || c == "alaw") {
            nBytes40ms = 320;
            nRate = 8000;
            clip->nAudioType = c == "mulaw" ? 2 : 3;
        } else if (c == "g722") {
            nBytes40ms = 320;
            nRate = 16000;
            clip->nAudioType = 4;
        } else if (c == "g726") {
            nBytes40ms = 80;
            nRate = 8000;
            clip->nAudioType = 5;
        } else {
            fprintf(stderr, "ipcam-test-http: unknown audio codec %s\n", c.c_str());
            return -1;
        }
        clip->nAudioRate = (uint32_t)nRate;
        for (size_t pos = 0, i = 0; pos + (size_t)nBytes40ms <= all.size(); pos += (size_t)nBytes40ms, i++) {
            Frame fr;
            fr.nType = 2;
            fr.nKind = 0;
            fr.nTimeMs = (int64_t)i * 40;
            fr.data.assign(all.begin() + (long)pos, all.begin() + (long)pos + nBytes40ms);
            audio.push_back(std::move(fr));
        }
    }
    // Merge by time; video first on a tie.
    std::vector<Frame> merged;
    size_t a = 0;
    for (auto &v : clip->frames) {
        while (a < audio.size() && audio[a].nTimeMs < v.nTimeMs && audio[a].nTimeMs < clip->nDurationMs)
            merged.push_back(std::move(audio[a++]));
        merged.push_back(std::move(v));
    }
    clip->frames.swap(merged);
    return 0;
}

void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

// Sends everything; 0, or -1 when the peer is gone or we are stopping.
int SendAll(int fd, const uint8_t *p, size_t n, int nSplit)
{
    while (n > 0) {
        if (g_bStop)
            return -1;
        size_t chunk = nSplit > 0 && (size_t)nSplit < n ? (size_t)nSplit : n;
        ssize_t w = send(fd, p, chunk, MSG_NOSIGNAL);
        // The send time-out only brings us back to look at g_bStop: a
        // client that stops reading must not keep a stopping camera alive.
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= (size_t)w;
        if (nSplit > 0 && n > 0)
            usleep(200);
    }
    return 0;
}

void SleepUntil(int64_t tMs)
{
    for (;;) {
        int64_t d = tMs - NowMs();
        if (d <= 0 || g_bStop)
            return;
        usleep((useconds_t)(d > 50 ? 50000 : d * 1000));
    }
}

void Serve(int fd, const Options *o, const Clip *clip)
{
    // Read the request up to its blank line (or give up after 5 s).
    std::string req;
    struct timeval tv = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    struct timeval stv = {0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stv, sizeof(stv));
    char buf[1024];
    while (req.find("\r\n\r\n") == std::string::npos && req.size() < 16384) {
        ssize_t r = recv(fd, buf, sizeof(buf), 0);
        if (r <= 0) {
            close(fd);
            return;
        }
        req.append(buf, (size_t)r);
    }
    if (o->nSplit > 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    const char *reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n";
    if (SendAll(fd, (const uint8_t *)reply, strlen(reply), 0) != 0) {
        close(fd);
        return;
    }

    uint32_t nAudioType = o->nAudioTypeOverride ? (uint32_t)o->nAudioTypeOverride : clip->nAudioType;
    uint32_t w = o->nWidth ? (uint32_t)o->nWidth : clip->nWidth;
    uint32_t h = o->nHeight ? (uint32_t)o->nHeight : clip->nHeight;
    int64_t t0 = NowMs();
    int64_t nSent = 0;
    uint32_t nGarbageSeed = 12345;
    std::vector<uint8_t> out;
    for (int64_t pass = 0; !g_bStop; pass++) {
        for (const Frame &fr : clip->frames) {
            int64_t tMs = pass * clip->nDurationMs + fr.nTimeMs;
            if (!o->bBurst)
                SleepUntil(t0 + tMs);
            if (g_bStop)
                break;
            nSent++;
            out.clear();
            if (o->nGarbageEvery > 0 && nSent % o->nGarbageEvery == 0) {
                // Bytes 0x40..0x7F never form a start code.
                for (int i = 0; i < o->nGarbageBytes; i++) {
                    nGarbageSeed = nGarbageSeed * 1103515245u + 12345u;
                    out.push_back((uint8_t)(0x40 + ((nGarbageSeed >> 16) & 0x3F)));
                }
            }
            size_t hp = out.size();
            out.resize(hp + 88, 0);
            uint8_t *hd = &out[hp];
            hd[0] = 0x33;
            hd[1] = 0x22;
            hd[2] = 0x11;
            hd[3] = 0x00;
            Put32(hd + 48, fr.nType);
            bool oversize = o->nOversizeEvery > 0 && nSent % o->nOversizeEvery == 0;
            Put32(hd + 52, oversize ? 0x7FFFFF00u : (uint32_t)fr.data.size());
            Put32(hd + 56, clip->nVideoType);
            Put32(hd + 60, fr.nKind);
            Put32(hd + 64, w);
            Put32(hd + 68, h);
            Put32(hd + 72, nAudioType);
            Put32(hd + 76, clip->nAudioRate);
            Put32(hd + 80, (uint32_t)tMs);
            Put32(hd + 84, (uint32_t)((uint64_t)tMs >> 32));
            out.insert(out.end(), fr.data.begin(), fr.data.end());
            if (o->nCorruptEvery > 0 && nSent % o->nCorruptEvery == 0) {
                // Damage as a lossy link would: the frame arrives whole, its
                // later bytes (slice data, not the headers in front) wrong.
                for (size_t i = out.size() - fr.data.size() / 2; i < out.size(); i += 7)
                    out[i] = (uint8_t)~out[i];
            }
            if (o->nDataEvery > 0 && nSent % o->nDataEvery == 0) {
                size_t dp = out.size();
                out.resize(dp + 88 + 8, 0);
                uint8_t *dh = &out[dp];
                dh[0] = 0x33, dh[1] = 0x22, dh[2] = 0x11, dh[3] = 0x00;
                Put32(dh + 48, 3);
                Put32(dh + 52, 8);
                Put32(dh + 80, (uint32_t)tMs);
                Put32(dh + 88, (uint32_t)nSent);
            }
            if (SendAll(fd, out.data(), out.size(), o->nSplit) != 0) {
                close(fd);
                return;
            }
            if (o->nStallAfter > 0 && nSent == o->nStallAfter) {
                if (o->nStallMs < 0) {
                    while (!g_bStop)
                        usleep(50000);
                } else {
                    int64_t until = NowMs() + o->nStallMs;
                    SleepUntil(until);
                    t0 += o->nStallMs;
                }
            }
            if (o->nCloseAfter > 0 && nSent >= o->nCloseAfter) {
                close(fd);
                return;
            }
        }
        if (!o->bLoop)
            break;
    }
    close(fd);
}

void OnSignal(int)
{
    g_bStop = 1;
}

int ParseArgs(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&](void) -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        auto nextInt = [&](int *p) -> bool {
            const char *v = next();
            if (!v)
                return false;
            *p = atoi(v);
            return true;
        };
        const char *v;
        if (a == "--port" && nextInt(&o->nPort)) {
        } else if (a == "--video" && (v = next())) {
            o->sVideo = v;
        } else if (a == "--audio" && (v = next())) {
            o->sAudio = v;
        } else if (a == "--audio-codec" && (v = next())) {
            o->sAudioCodec = v;
        } else if (a == "--no-audio") {
            o->bNoAudio = 1;
        } else if (a == "--audio-type" && nextInt(&o->nAudioTypeOverride)) {
        } else if (a == "--fps" && (v = next())) {
            o->fFps = atof(v);
        } else if (a == "--burst") {
            o->bBurst = 1;
        } else if (a == "--loop") {
            o->bLoop = 1;
        } else if (a == "--close-after" && nextInt(&o->nCloseAfter)) {
        } else if (a == "--garbage-every" && nextInt(&o->nGarbageEvery)) {
        } else if (a == "--garbage-bytes" && nextInt(&o->nGarbageBytes)) {
        } else if (a == "--split" && nextInt(&o->nSplit)) {
        } else if (a == "--oversize-every" && nextInt(&o->nOversizeEvery)) {
        } else if (a == "--corrupt-every" && nextInt(&o->nCorruptEvery)) {
        } else if (a == "--stall-after" && nextInt(&o->nStallAfter)) {
        } else if (a == "--stall-ms" && nextInt(&o->nStallMs)) {
        } else if (a == "--data-every" && nextInt(&o->nDataEvery)) {
        } else if (a == "--size" && (v = next()) && sscanf(v, "%dx%d", &o->nWidth, &o->nHeight) == 2) {
        } else if (a == "--marker-sei") {
            o->bMarkerSei = 1;
        } else if (a == "--once") {
            o->bOnce = 1;
        } else {
            return -1;
        }
    }
    if (o->sVideo.empty() || (!o->sAudio.empty() && o->sAudioCodec.empty()) || o->nGarbageBytes < 0 ||
        o->nGarbageBytes > 1 << 20)
        return -1;
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (ParseArgs(argc, argv, &o) != 0) {
        Usage(stderr);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    Clip clip;
    if (LoadClip(o, &clip) != 0)
        return 1;
    if (!o.sAudio.empty() && !o.bNoAudio && LoadRawAudio(o, &clip) != 0)
        return 1;

    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((uint16_t)o.nPort);
    socklen_t alen = sizeof(addr);
    if (ls < 0 || bind(ls, (struct sockaddr *)&addr, sizeof(addr)) != 0 || listen(ls, 8) != 0 ||
        getsockname(ls, (struct sockaddr *)&addr, &alen) != 0) {
        perror("ipcam-test-http: listen");
        return 1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    printf("ipcam-test-http: ready http://127.0.0.1:%d/video\n", ntohs(addr.sin_port));
    fflush(stdout);

    std::vector<std::thread> clients;
    while (!g_bStop) {
        // Poll the listening socket so a signal ends the loop promptly.
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(ls, &rs);
        struct timeval tv = {0, 100000};
        if (select(ls + 1, &rs, nullptr, nullptr, &tv) <= 0)
            continue;
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0)
            continue;
        if (o.bOnce) {
            Serve(fd, &o, &clip);
            break;
        }
        clients.emplace_back(Serve, fd, &o, &clip);
    }
    g_bStop = 1;
    for (auto &t : clients)
        t.join();
    close(ls);
    return 0;
}
