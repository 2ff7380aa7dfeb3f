// ipcam-test-http: a camera that sends the raw framed stream over HTTP, for
// tests and the demo. It listens on 127.0.0.1 only; each HTTP GET is
// answered with a reply header and then frames of an 88-byte header (start
// code 33 22 11 00, little-endian fields) and a payload: the access units of
// an H.264/H.265 clip (Annex B, parameter sets in band) and the audio of the
// clip or of a raw G.711/G.722/G.726/ADTS AAC file, interleaved by time.
//
// Faults a camera or network can show are options: garbage between frames,
// frames split over many small TCP writes, stalls, headers that misstate
// the audio.
//
// When it is ready it prints one line on stdout:
//   ipcam-test-http: ready http://127.0.0.1:PORT/video
// and serves (one thread per connection) until SIGINT/SIGTERM.

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
#include <memory>
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
    std::string sAudioCodec;   // mulaw | alaw | g722 | g726
    int bNoAudio = 0;
    int nAudioTypeOverride = 0;  // 0: by codec
    int nAudioRate = -1;       // header audio rate; -1: the audio's own
    std::string sSendLog;      // per video frame: index, CLOCK_MONOTONIC microseconds at its send
    int bLoop = 0;             // repeat the clip; otherwise close after one pass
    int nGarbageEvery = 0;     // garbage before every Nth frame
    int nGarbageBytes = 37;
    int nSplit = 0;            // max bytes per TCP write (0: whole frames)
    int nStallAfter = 0;       // stall after this many frames
    int nCloseAfter = 0;       // end the connection after this many frames (0: never)
    int nOversizeEvery = 0;    // every Nth frame announces a huge length (a lost frame)
    int nCorruptEvery = 0;     // every Nth frame has bytes of its second half inverted
    int nFps = 0;              // pacing (0: the clip's rate)
    int bOnce = 0;             // exit when the first connection ends
    int nStallMs = 0;          // stall length; negative: forever
    int nDataEvery = 0;        // a data frame (type 3) after every Nth frame
    int bMarkerSei = 0;        // H.265: marker SEI in front of every key frame
    int nHoldFirstMs = 0;      // the first frame's payload this long after its header
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
    fprintf(f, "usage: ipcam-test-http --video CLIP [--port N] [--audio FILE --audio-codec mulaw|alaw|g722|g726]\n"
               "  [--no-audio] [--audio-type N] [--audio-rate HZ] [--loop] [--garbage-every N] [--garbage-bytes N]\n"
               "  [--split N] [--stall-after N --stall-ms MS] [--close-after N] [--data-every N] [--marker-sei] [--send-log FILE]\n"
               "  [--oversize-every N] [--corrupt-every N] [--fps N] [--hold-first-ms MS] [--once]\n"
               "Garbage never forms a start code; --stall-ms -1 stalls for ever.\n");
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

// Header audio type of a codec: 1 AAC, 2 G.711 mu-law, 3 A-law, 4 G.722,
// 5 G.726; all bits set for none.
uint32_t AudioTypeOf(enum AVCodecID id)
{
    const enum AVCodecID ids[] = {AV_CODEC_ID_AAC, AV_CODEC_ID_PCM_MULAW, AV_CODEC_ID_PCM_ALAW, AV_CODEC_ID_ADPCM_G722,
                                  AV_CODEC_ID_ADPCM_G726};
    for (uint32_t i = 0; i < 5; i++)
        if (ids[i] == id)
            return i + 1;
    return 0xFFFFFFFFu;
}

// Video (and, unless told otherwise, audio) of a clip, video in Annex B with
// the parameter sets in front of every key frame.
int LoadClip(const Options &o, Clip *clip)
{
    AVFormatContext *fmt = nullptr;
    AVBSFContext *bsf = nullptr;
    int vi = -1;
    enum AVCodecID vid = AV_CODEC_ID_NONE;
    if (avformat_open_input(&fmt, o.sVideo.c_str(), nullptr, nullptr) == 0 &&
        avformat_find_stream_info(fmt, nullptr) >= 0 &&
        (vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0)) >= 0)
        vid = fmt->streams[vi]->codecpar->codec_id;
    const AVBitStreamFilter *f = av_bsf_get_by_name(vid == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : "h264_mp4toannexb");
    if ((vid != AV_CODEC_ID_H264 && vid != AV_CODEC_ID_HEVC) || !f || av_bsf_alloc(f, &bsf) < 0 ||
        avcodec_parameters_copy(bsf->par_in, fmt->streams[vi]->codecpar) < 0 || av_bsf_init(bsf) < 0) {
        fprintf(stderr, "ipcam-test-http: no H.264 or H.265 video to send in %s\n", o.sVideo.c_str());
        av_bsf_free(&bsf);
        avformat_close_input(&fmt);
        return -1;
    }
    int ai = (o.bNoAudio || !o.sAudio.empty()) ? -1 : av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    AVStream *vs = fmt->streams[vi];
    clip->nVideoType = vid == AV_CODEC_ID_HEVC ? 3 : 1;
    clip->nWidth = (uint32_t)vs->codecpar->width;
    clip->nHeight = (uint32_t)vs->codecpar->height;
    double fps = o.nFps > 0                                                      ? o.nFps
                 : vs->avg_frame_rate.num > 0 && vs->avg_frame_rate.den > 0 ? av_q2d(vs->avg_frame_rate)
                                                                            : 25;
    if (fps <= 0 || fps > 1000)
        fps = 25;
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

// A raw G.711/G.722/G.726 file cut into 40 ms frames.
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

    // Bytes per 40 ms, rate and header type of each codec (G.726 at 16 kbit/s).
    static const struct {
        const char *name;
        int nBytes40ms, nRate;
        uint32_t nType;
    } kCodecs[] = {{"mulaw", 320, 8000, 2}, {"alaw", 320, 8000, 3}, {"g722", 320, 16000, 4}, {"g726", 80, 8000, 5}};
    int k = 0;
    while (k < 4 && o.sAudioCodec != kCodecs[k].name)
        k++;
    if (k == 4) {
        fprintf(stderr, "ipcam-test-http: unknown audio codec %s\n", o.sAudioCodec.c_str());
        return -1;
    }
    size_t nChunk = (size_t)kCodecs[k].nBytes40ms;
    clip->nAudioType = kCodecs[k].nType;
    clip->nAudioRate = (uint32_t)kCodecs[k].nRate;
    std::vector<Frame> audio;
    for (size_t pos = 0; pos + nChunk <= all.size(); pos += nChunk) {
        Frame fr;
        fr.nType = 2;
        fr.nKind = 0;
        fr.nTimeMs = (int64_t)(pos / nChunk) * 40;
        fr.data.assign(all.begin() + (long)pos, all.begin() + (long)(pos + nChunk));
        audio.push_back(std::move(fr));
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

// Appends a frame: start code 33 22 11 00, nothing at bytes 4..47, the
// eight fields of h from byte 48 on and the 64-bit time stamp at 80, all
// little-endian, then the payload.
void AppendFrame(std::vector<uint8_t> *out, const uint32_t h[8], int64_t tMs, const std::vector<uint8_t> &payload)
{
    size_t at = out->size();
    out->resize(at + 88, 0);
    uint8_t *p = &(*out)[at];
    p[0] = 0x33, p[1] = 0x22, p[2] = 0x11;
    for (int i = 0; i < 32; i++)
        p[48 + i] = (uint8_t)(h[i / 4] >> (8 * (i % 4)));
    for (int i = 0; i < 8; i++)
        p[80 + i] = (uint8_t)((uint64_t)tMs >> (8 * i));
    out->insert(out->end(), payload.begin(), payload.end());
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
    int64_t t0 = NowMs();
    int64_t nSent = 0;
    uint32_t nGarbageSeed = 12345;
    std::vector<uint8_t> out;
    std::unique_ptr<FILE, int (*)(FILE *)> logFile(o->sSendLog.empty() ? nullptr : fopen(o->sSendLog.c_str(), "w"),
                                                   fclose);
    FILE *sendLog = logFile.get();
    int64_t nVideoSent = 0;
    for (int64_t pass = 0; !g_bStop; pass++) {
        for (const Frame &fr : clip->frames) {
            int64_t tMs = pass * clip->nDurationMs + fr.nTimeMs;
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
            uint32_t nRate = o->nAudioRate >= 0 ? (uint32_t)o->nAudioRate : clip->nAudioRate;
            const uint32_t hdr[] = {fr.nType, (uint32_t)fr.data.size(), clip->nVideoType, fr.nKind, clip->nWidth,
                                    clip->nHeight, nAudioType, nRate};
            AppendFrame(&out, hdr, tMs, fr.data);
            size_t nHead = out.size() - fr.data.size();
            if (o->nOversizeEvery > 0 && nSent % o->nOversizeEvery == 0) {
                // The length field announces more than any reader holds.
                size_t hp = out.size() - fr.data.size() - 88;
                out[hp + 52] = 0x00, out[hp + 53] = 0xFF, out[hp + 54] = 0xFF, out[hp + 55] = 0x7F;
            }
            if (o->nCorruptEvery > 0 && nSent % o->nCorruptEvery == 0) {
                // Damage as a lossy link would: the frame arrives whole, its
                // later bytes (slice data, not the headers in front) wrong.
                for (size_t i = out.size() - fr.data.size() / 2; i < out.size(); i += 7)
                    out[i] = (uint8_t)~out[i];
            }
            if (o->nDataEvery > 0 && nSent % o->nDataEvery == 0) {
                const uint32_t dhdr[] = {3, 8, 0, 0, 0, 0, 0, 0};  // data: the frame count, 8 bytes
                std::vector<uint8_t> count(8, 0);
                for (int i = 0; i < 4; i++)
                    count[(size_t)i] = (uint8_t)(nSent >> (8 * i));
                AppendFrame(&out, dhdr, tMs, count);
            }
            // Taken first: no receiver can see the frame before its send time.
            struct timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            size_t nFrom = 0;
            if (o->nHoldFirstMs > 0 && nSent == 1) {
                // A client that switches decoding on after its open still gets it.
                if (SendAll(fd, out.data(), nHead, o->nSplit) != 0) {
                    close(fd);
                    return;
                }
                SleepUntil(NowMs() + o->nHoldFirstMs);
                t0 += o->nHoldFirstMs;
                nFrom = nHead;
            }
            if (SendAll(fd, out.data() + nFrom, out.size() - nFrom, o->nSplit) != 0) {
                close(fd);
                return;
            }
            if (sendLog && fr.nType == 1) {
                fprintf(sendLog, "%lld %lld\n", (long long)nVideoSent++, (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000);
                fflush(sendLog);
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
    const struct {
        const char *name;
        int *pInt;
        std::string *pText;
    } kValued[] = {{"--port", &o->nPort, nullptr},           {"--video", nullptr, &o->sVideo},
                   {"--audio", nullptr, &o->sAudio},         {"--audio-codec", nullptr, &o->sAudioCodec},
                   {"--audio-type", &o->nAudioTypeOverride, nullptr}, {"--audio-rate", &o->nAudioRate, nullptr},
                   {"--send-log", nullptr, &o->sSendLog},    {"--garbage-every", &o->nGarbageEvery, nullptr},
                   {"--garbage-bytes", &o->nGarbageBytes, nullptr}, {"--split", &o->nSplit, nullptr},
                   {"--stall-after", &o->nStallAfter, nullptr}, {"--stall-ms", &o->nStallMs, nullptr},
                   {"--close-after", &o->nCloseAfter, nullptr}, {"--oversize-every", &o->nOversizeEvery, nullptr},
                   {"--corrupt-every", &o->nCorruptEvery, nullptr}, {"--fps", &o->nFps, nullptr},
                   {"--hold-first-ms", &o->nHoldFirstMs, nullptr},
                   {"--data-every", &o->nDataEvery, nullptr}};
    const struct {
        const char *name;
        int *pFlag;
    } kFlags[] = {{"--no-audio", &o->bNoAudio}, {"--loop", &o->bLoop}, {"--marker-sei", &o->bMarkerSei},
                  {"--once", &o->bOnce}};
    for (int i = 1; i < argc; i++) {
        bool ok = false;
        for (const auto &f : kFlags)
            if (strcmp(argv[i], f.name) == 0)
                ok = (*f.pFlag = 1);
        for (const auto &v : kValued) {
            if (ok || strcmp(argv[i], v.name) != 0 || i + 1 >= argc)
                continue;
            ok = true;
            if (v.pInt)
                *v.pInt = atoi(argv[++i]);
            else
                *v.pText = argv[++i];
        }
        if (!ok)
            return -1;
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
