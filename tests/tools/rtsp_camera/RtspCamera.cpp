// ipcam-test-rtsp: a small RTSP camera for tests and the demo, built on
// gst-rtsp-server. It listens on 127.0.0.1 only and serves one mount with
// a video track (from a clip file or a generated test pattern), an optional
// audio track and an optional KLV data track, over UDP and TCP or TCP only.
//
// When it is ready it prints one line on stdout:
//   ipcam-test-rtsp: ready rtsp://127.0.0.1:PORT/MOUNT
// and keeps serving until SIGINT/SIGTERM (clean stop) or --exit-after
// seconds have passed, where it ends abruptly without a TEARDOWN or RTCP
// BYE, as a camera that loses power would.

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <glib-unix.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

struct CameraOptions {
    int nPort;              // 0: let the system pick a free one
    std::string sMount;     // "/cam"
    std::string sFile;      // clip to serve; empty: live test pattern
    std::string sVideo;     // h264, h265, mpeg4
    std::string sAudio;     // none, aac, pcmu, pcma, g722, g726
    int bData;              // add a KLV data track
    int nDataRate;          // data packets per second
    int bTcpOnly;
    int nExitAfter;         // seconds; 0: serve until a signal
    int nWidth, nHeight, nFps;  // test pattern only
};

// The KLV data track: every payload is one complete KLV unit (16-byte
// universal key, short-form length, value) whose value carries a running
// counter, so a receiver can check order and completeness.
const unsigned char kKlvKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x0B, 0x01, 0x01,
                                   0x0E, 0x01, 0x03, 0x01, 0x01, 0x00, 0x00, 0x00};
const int kKlvValueLen = 12;

struct DataSource {
    guint64 nCounter;       // only touched on the appsrc's streaming thread
    GstClockTime nPeriod;
};

GMainLoop *g_pLoop = nullptr;

void PrintUsage(FILE *pOut)
{
    fprintf(pOut,
            "usage: ipcam-test-rtsp [options]\n"
            "  --port N          listen port on 127.0.0.1 (0 = pick a free one; default 0)\n"
            "  --mount PATH      mount point (default /cam)\n"
            "  --file CLIP       serve this MP4/MKV clip (its video track, and its AAC\n"
            "                    track when audio is asked for); default: test pattern\n"
            "  --video CODEC     h264 | h265 | mpeg4 (default h264; must match the clip)\n"
            "  --audio CODEC     none | aac | pcmu | pcma | g722 | g726 (default none)\n"
            "  --data            add a KLV data track (--data-rate per second, default 5)\n"
            "  --data-rate N\n"
            "  --tcp-only        refuse UDP transport\n"
            "  --size WxH        test pattern size (default 320x240)\n"
            "  --fps N           test pattern rate (default 25)\n"
            "  --exit-after SEC  end abruptly after SEC seconds (no teardown)\n");
}

int ParseInt(const char *pText, int nMin, int nMax, int *pValue)
{
    char *pEnd = nullptr;
    long n = strtol(pText, &pEnd, 10);
    if (pEnd == pText || *pEnd != '\0' || n < nMin || n > nMax)
        return -1;
    *pValue = (int)n;
    return 0;
}

int ParseOptions(int argc, char **argv, CameraOptions *pOpt)
{
    pOpt->nPort = 0;
    pOpt->sMount = "/cam";
    pOpt->sVideo = "h264";
    pOpt->sAudio = "none";
    pOpt->bData = 0;
    pOpt->nDataRate = 5;
    pOpt->bTcpOnly = 0;
    pOpt->nExitAfter = 0;
    pOpt->nWidth = 320;
    pOpt->nHeight = 240;
    pOpt->nFps = 25;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *pNext = i + 1 < argc ? argv[i + 1] : nullptr;
        bool bNeedsValue = a == "--port" || a == "--mount" || a == "--file" || a == "--video" ||
                           a == "--audio" || a == "--data-rate" || a == "--size" ||
                           a == "--fps" || a == "--exit-after";
        if (bNeedsValue && !pNext) {
            fprintf(stderr, "ipcam-test-rtsp: %s needs a value\n", a.c_str());
            return -1;
        }
        int bad = 0;
        if (a == "--port") {
            bad = ParseInt(pNext, 0, 65535, &pOpt->nPort);
        } else if (a == "--mount") {
            pOpt->sMount = pNext[0] == '/' ? pNext : std::string("/") + pNext;
        } else if (a == "--file") {
            pOpt->sFile = pNext;
        } else if (a == "--video") {
            pOpt->sVideo = pNext;
            bad = pOpt->sVideo != "h264" && pOpt->sVideo != "h265" && pOpt->sVideo != "mpeg4";
        } else if (a == "--audio") {
            pOpt->sAudio = pNext;
            bad = pOpt->sAudio != "none" && pOpt->sAudio != "aac" && pOpt->sAudio != "pcmu" &&
                  pOpt->sAudio != "pcma" && pOpt->sAudio != "g722" && pOpt->sAudio != "g726";
        } else if (a == "--data") {
            pOpt->bData = 1;
        } else if (a == "--data-rate") {
            bad = ParseInt(pNext, 1, 100, &pOpt->nDataRate);
        } else if (a == "--tcp-only") {
            pOpt->bTcpOnly = 1;
        } else if (a == "--size") {
            bad = sscanf(pNext, "%dx%d", &pOpt->nWidth, &pOpt->nHeight) != 2 ||
                  pOpt->nWidth < 16 || pOpt->nHeight < 16 || pOpt->nWidth > 4096 ||
                  pOpt->nHeight > 4096 || (pOpt->nWidth & 1) || (pOpt->nHeight & 1);
        } else if (a == "--fps") {
            bad = ParseInt(pNext, 1, 120, &pOpt->nFps);
        } else if (a == "--exit-after") {
            bad = ParseInt(pNext, 1, 86400, &pOpt->nExitAfter);
        } else if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            exit(0);
        } else {
            fprintf(stderr, "ipcam-test-rtsp: unknown option %s\n", a.c_str());
            return -1;
        }
        if (bad) {
            fprintf(stderr, "ipcam-test-rtsp: bad value for %s\n", a.c_str());
            return -1;
        }
        if (bNeedsValue)
            i++;
    }
    // FFmpeg's MPEG-4 encoder rejects the timestamps that restart when the
    // server prerolls a generated pattern, so MPEG-4 is served from clips.
    if (pOpt->sFile.empty() && pOpt->sVideo == "mpeg4") {
        fprintf(stderr, "ipcam-test-rtsp: MPEG-4 video needs --file (the test pattern is H.264/H.265)\n");
        return -1;
    }
    if (!pOpt->sFile.empty() && access(pOpt->sFile.c_str(), R_OK) != 0) {
        fprintf(stderr, "ipcam-test-rtsp: cannot read %s\n", pOpt->sFile.c_str());
        return -1;
    }
    return 0;
}

// Parser and payloader for the compressed video, element pay0.
std::string VideoPayload(const CameraOptions &o)
{
    if (o.sVideo == "h265")
        return "h265parse config-interval=-1 ! rtph265pay name=pay0 pt=96";
    if (o.sVideo == "mpeg4")
        return "mpeg4videoparse config-interval=-1 ! rtpmp4vpay name=pay0 pt=96 config-interval=-1";
    return "h264parse config-interval=-1 ! rtph264pay name=pay0 pt=96";
}

// Test pattern encoders: H.264 or H.265 (ParseOptions refuses MPEG-4).
std::string LiveVideoEncoder(const CameraOptions &o)
{
    int gop = o.nFps;  // one key frame per second
    char text[256];
    if (o.sVideo == "h265")
        snprintf(text, sizeof text,
                 "x265enc speed-preset=ultrafast tune=zerolatency key-int-max=%d "
                 "option-string=bframes=0",
                 gop);
    else
        snprintf(text, sizeof text,
                 "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=%d bframes=0", gop);
    return text;
}

// Raw audio (any rate) → the requested codec → its payloader, element pay1.
std::string AudioEncodePayload(const std::string &codec)
{
    if (codec == "aac")
        return "audioconvert ! audioresample ! audio/x-raw,rate=16000,channels=1 ! "
               "avenc_aac ! aacparse ! rtpmp4gpay name=pay1 pt=97";
    if (codec == "pcmu")
        return "audioconvert ! audioresample ! audio/x-raw,rate=8000,channels=1 ! "
               "mulawenc ! rtppcmupay name=pay1";
    if (codec == "pcma")
        return "audioconvert ! audioresample ! audio/x-raw,rate=8000,channels=1 ! "
               "alawenc ! rtppcmapay name=pay1";
    if (codec == "g722")
        return "audioconvert ! audioresample ! audio/x-raw,rate=16000,channels=1 ! "
               "avenc_g722 ! rtpg722pay name=pay1";
    // G.726 at 16 kbit/s (2 bits per sample), AAL2 packing.
    return "audioconvert ! audioresample ! audio/x-raw,format=S16LE,rate=8000,channels=1 ! "
           "avenc_g726 bitrate=16000 ! rtpg726pay name=pay1 pt=97 force-aal2=false";
}

std::string BuildLaunch(const CameraOptions &o)
{
    std::string s = "( ";
    bool bAudio = o.sAudio != "none";
    if (!o.sFile.empty()) {
        bool bMkv = o.sFile.size() > 4 && o.sFile.compare(o.sFile.size() - 4, 4, ".mkv") == 0;
        s += "filesrc location=\"" + o.sFile + "\" ! " +
             (bMkv ? "matroskademux" : "qtdemux") + " name=demux ";
        s += "demux.video_0 ! queue ! " + VideoPayload(o) + " ";
        if (bAudio) {
            if (o.sAudio == "aac")
                s += "demux.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97 ";
            else
                s += "demux.audio_0 ! queue ! aacparse ! avdec_aac ! " + AudioEncodePayload(o.sAudio) +
                     " ";
        }
    } else {
        char caps[128];
        snprintf(caps, sizeof caps, "video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1",
                 o.nWidth, o.nHeight, o.nFps);
        s += "videotestsrc pattern=smpte ! " + std::string(caps) + " ! " +
             LiveVideoEncoder(o) + " ! " + VideoPayload(o) + " ";
        if (bAudio)
            s += "audiotestsrc wave=sine freq=440 samplesperbuffer=320 ! " +
                 AudioEncodePayload(o.sAudio) + " ";
    }
    if (o.bData) {
        const char *pPay = bAudio ? "pay2" : "pay1";
        s += "appsrc name=klvsrc format=time caps=meta/x-klv,parsed=true ! rtpklvpay name=" +
             std::string(pPay) + " pt=98 ";
    }
    s += ")";
    return s;
}

void OnDataNeeded(GstAppSrc *pSrc, guint nLength, gpointer pUser)
{
    DataSource *pData = (DataSource *)pUser;
    unsigned char unit[16 + 1 + kKlvValueLen];
    memcpy(unit, kKlvKey, 16);
    unit[16] = (unsigned char)kKlvValueLen;
    // Value: "IPCD", then the counter, big-endian.
    unit[17] = 'I';
    unit[18] = 'P';
    unit[19] = 'C';
    unit[20] = 'D';
    for (int i = 0; i < 8; i++)
        unit[21 + i] = (unsigned char)(pData->nCounter >> (56 - 8 * i));
    GstBuffer *pBuf = gst_buffer_new_memdup(unit, sizeof unit);
    GST_BUFFER_PTS(pBuf) = pData->nCounter * pData->nPeriod;
    GST_BUFFER_DURATION(pBuf) = pData->nPeriod;
    pData->nCounter++;
    gst_app_src_push_buffer(pSrc, pBuf);
}

struct ServerState {
    CameraOptions opt;
};

void OnMediaConfigure(GstRTSPMediaFactory *pFactory, GstRTSPMedia *pMedia, gpointer pUser)
{
    ServerState *pState = (ServerState *)pUser;
    GstElement *pBin = gst_rtsp_media_get_element(pMedia);
    if (!pBin)
        return;
    if (pState->opt.bData) {
        GstElement *pSrc = gst_bin_get_by_name_recurse_up(GST_BIN(pBin), "klvsrc");
        if (pSrc) {
            DataSource *pData = g_new0(DataSource, 1);
            pData->nPeriod = GST_SECOND / pState->opt.nDataRate;
            // The data source lives as long as the media's pipeline.
            g_object_set_data_full(G_OBJECT(pMedia), "ipcam-klv", pData, g_free);
            GstAppSrcCallbacks cb;
            memset(&cb, 0, sizeof cb);
            cb.need_data = OnDataNeeded;
            gst_app_src_set_callbacks(GST_APP_SRC(pSrc), &cb, pData, nullptr);
            gst_object_unref(pSrc);
        }
    }
    gst_object_unref(pBin);
}

gboolean OnQuitSignal(gpointer pUser)
{
    fprintf(stderr, "ipcam-test-rtsp: stopping\n");
    g_main_loop_quit(g_pLoop);
    return G_SOURCE_REMOVE;
}

gboolean OnExitTimer(gpointer pUser)
{
    // Die like a camera that loses power: no TEARDOWN reply, no RTCP BYE.
    fprintf(stderr, "ipcam-test-rtsp: exiting abruptly\n");
    fflush(stderr);
    _exit(0);
}

gboolean OnSessionCleanup(gpointer pUser)
{
    GstRTSPServer *pServer = (GstRTSPServer *)pUser;
    GstRTSPSessionPool *pPool = gst_rtsp_server_get_session_pool(pServer);
    gst_rtsp_session_pool_cleanup(pPool);
    g_object_unref(pPool);
    return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char **argv)
{
    gst_init(&argc, &argv);
    ServerState state;
    if (ParseOptions(argc, argv, &state.opt) != 0) {
        PrintUsage(stderr);
        return 2;
    }
    const CameraOptions &o = state.opt;
    std::string launch = BuildLaunch(o);

    GstRTSPServer *pServer = gst_rtsp_server_new();
    gst_rtsp_server_set_address(pServer, "127.0.0.1");
    char service[16];
    snprintf(service, sizeof service, "%d", o.nPort);
    gst_rtsp_server_set_service(pServer, service);

    GstRTSPMediaFactory *pFactory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(pFactory, launch.c_str());
    // Every client gets its own pipeline, so each starts at the clip's start.
    gst_rtsp_media_factory_set_shared(pFactory, FALSE);
    gst_rtsp_media_factory_set_protocols(
        pFactory, o.bTcpOnly ? GST_RTSP_LOWER_TRANS_TCP
                             : (GstRTSPLowerTrans)(GST_RTSP_LOWER_TRANS_UDP | GST_RTSP_LOWER_TRANS_TCP));
    // Unicast UDP ports are bound on the loopback address only.
    GstRTSPAddressPool *pPool = gst_rtsp_address_pool_new();
    gst_rtsp_address_pool_add_range(pPool, "127.0.0.1", "127.0.0.1", 20000, 60000, 0);
    gst_rtsp_media_factory_set_address_pool(pFactory, pPool);
    g_object_unref(pPool);
    g_signal_connect(pFactory, "media-configure", G_CALLBACK(OnMediaConfigure), &state);

    GstRTSPMountPoints *pMounts = gst_rtsp_server_get_mount_points(pServer);
    gst_rtsp_mount_points_add_factory(pMounts, o.sMount.c_str(), pFactory);
    g_object_unref(pMounts);

    g_pLoop = g_main_loop_new(nullptr, FALSE);
    if (gst_rtsp_server_attach(pServer, nullptr) == 0) {
        fprintf(stderr, "ipcam-test-rtsp: cannot listen on 127.0.0.1:%d\n", o.nPort);
        return 1;
    }
    g_timeout_add_seconds(2, OnSessionCleanup, pServer);
    g_unix_signal_add(SIGINT, OnQuitSignal, nullptr);
    g_unix_signal_add(SIGTERM, OnQuitSignal, nullptr);
    if (o.nExitAfter > 0)
        g_timeout_add_seconds(o.nExitAfter, OnExitTimer, nullptr);

    fprintf(stderr, "ipcam-test-rtsp: pipeline %s\n", launch.c_str());
    printf("ipcam-test-rtsp: ready rtsp://127.0.0.1:%d%s\n", gst_rtsp_server_get_bound_port(pServer),
           o.sMount.c_str());
    fflush(stdout);
    g_main_loop_run(g_pLoop);

    g_main_loop_unref(g_pLoop);
    g_object_unref(pServer);
    return 0;
}
