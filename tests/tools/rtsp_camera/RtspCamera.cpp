// ipcam-test-rtsp: a small RTSP camera for tests and the demo, built on
// gst-rtsp-server. It listens on 127.0.0.1 only and serves one mount, /cam,
// with a video track (from a clip file, or a generated 25 fps H.264/H.265
// test pattern), an optional audio track and an optional KLV data track
// (5 units a second), over UDP and TCP or TCP only.
//
// When it is ready it prints one line on stdout:
//   ipcam-test-rtsp: ready rtsp://127.0.0.1:PORT/cam
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

#include <atomic>
#include <string>

namespace {

struct CameraOptions {
    int nPort = 0;               // 0: let the system pick a free one
    std::string sFile;           // clip to serve; empty: test pattern
    int nWidth = 320, nHeight = 240;  // test pattern size
    std::string sVideo = "h264"; // h264, h265, mpeg4
    std::string sAudio = "none"; // none, aac, pcmu, pcma, g722, g726
    int bData = 0;               // add a KLV data track
    int bTcpOnly = 0;
    int nExitAfter = 0;          // seconds; 0: serve until a signal
    int bExitMidFrame = 0;       // the exit falls inside a key frame, after its parameter sets
};

const int kDataRate = 5;  // KLV units per second

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
    fprintf(pOut, "usage: ipcam-test-rtsp [--file CLIP | --size WxH] [--port N] [--video h264|h265|mpeg4]\n"
                  "  [--audio none|aac|pcmu|pcma|g722|g726] [--data] [--tcp-only] [--exit-after S [--exit-mid-frame]]\n"
                  "--exit-after dies like a camera losing power; --exit-mid-frame: after key frame parameter sets.\n");
}

int ParseOptions(int argc, char **argv, CameraOptions *pOpt)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *pNext = i + 1 < argc ? argv[i + 1] : "";
        bool bValue = true;
        int bad = 0;
        if (a == "--port") {
            pOpt->nPort = atoi(pNext);
            bad = pOpt->nPort < 0 || pOpt->nPort > 65535;
        } else if (a == "--file") {
            pOpt->sFile = pNext;
        } else if (a == "--video") {
            pOpt->sVideo = pNext;
            bad = pOpt->sVideo != "h264" && pOpt->sVideo != "h265" && pOpt->sVideo != "mpeg4";
        } else if (a == "--audio") {
            pOpt->sAudio = pNext;
            bad = std::string(" none aac pcmu pcma g722 g726 ").find(" " + pOpt->sAudio + " ") == std::string::npos;
        } else if (a == "--size") {
            bad = sscanf(pNext, "%dx%d", &pOpt->nWidth, &pOpt->nHeight) != 2 || pOpt->nWidth < 16 ||
                  pOpt->nHeight < 16 || pOpt->nWidth > 4096 || pOpt->nHeight > 4096 || (pOpt->nWidth & 1) ||
                  (pOpt->nHeight & 1);
        } else if (a == "--exit-after") {
            pOpt->nExitAfter = atoi(pNext);
            bad = pOpt->nExitAfter < 1;
        } else {
            bValue = false;
            if (a == "--data")
                pOpt->bData = 1;
            else if (a == "--tcp-only")
                pOpt->bTcpOnly = 1;
            else if (a == "--exit-mid-frame")
                pOpt->bExitMidFrame = 1;
            else
                bad = 1;
        }
        if (bad) {
            fprintf(stderr, "ipcam-test-rtsp: bad option or value: %s\n", a.c_str());
            return -1;
        }
        i += bValue;
    }
    // FFmpeg's MPEG-4 encoder rejects the timestamps that restart when the
    // server prerolls a generated pattern, so MPEG-4 is served from clips.
    if (pOpt->sFile.empty() ? pOpt->sVideo == "mpeg4" : access(pOpt->sFile.c_str(), R_OK) != 0) {
        fprintf(stderr, "ipcam-test-rtsp: no readable clip (MPEG-4 video needs one)\n");
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

// Raw audio (any rate) -> the requested codec -> its payloader, element pay1.
// G.726 at 16 kbit/s (2 bits per sample), AAL2 packing.
std::string AudioEncodePayload(const std::string &codec)
{
    const char *enc = codec == "aac"    ? "16000,channels=1 ! avenc_aac ! aacparse ! rtpmp4gpay name=pay1 pt=97"
                      : codec == "pcmu" ? "8000,channels=1 ! mulawenc ! rtppcmupay name=pay1"
                      : codec == "pcma" ? "8000,channels=1 ! alawenc ! rtppcmapay name=pay1"
                      : codec == "g722" ? "16000,channels=1 ! avenc_g722 ! rtpg722pay name=pay1"
                                        : "8000,channels=1,format=S16LE ! avenc_g726 bitrate=16000 ! "
                                          "rtpg726pay name=pay1 pt=97 force-aal2=false";
    return std::string("audioconvert ! audioresample ! audio/x-raw,rate=") + enc;
}

std::string BuildLaunch(const CameraOptions &o)
{
    bool bAudio = o.sAudio != "none";
    std::string s = "( ";
    if (o.sFile.empty()) {
        // One key frame a second.
        char src[320];
        snprintf(src, sizeof src,
                 "videotestsrc pattern=smpte%s ! video/x-raw,format=I420,width=%d,height=%d,framerate=25/1 ! %s ",
                 // Live: nothing is made ahead of its time, so what the video
                 // probe let pass is on the wire when the camera dies.
                 o.bExitMidFrame ? " is-live=true" : "", o.nWidth, o.nHeight,
                 o.sVideo == "h265" ? "x265enc speed-preset=ultrafast tune=zerolatency key-int-max=25 "
                                      "option-string=bframes=0"
                                    : "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=25 bframes=0");
        s += std::string(src) + "! " + VideoPayload(o) + " ";
        if (bAudio)
            s += "audiotestsrc wave=sine freq=440 samplesperbuffer=320 ! " + AudioEncodePayload(o.sAudio) + " ";
    } else {
        bool bMkv = o.sFile.size() > 4 && o.sFile.compare(o.sFile.size() - 4, 4, ".mkv") == 0;
        s += "filesrc location=\"" + o.sFile + "\" ! " + (bMkv ? "matroskademux" : "qtdemux") +
             " name=demux demux.video_0 ! queue ! " + VideoPayload(o) + " ";
        // The clip's AAC track, as it is or re-encoded.
        if (o.sAudio == "aac")
            s += "demux.audio_0 ! queue ! aacparse ! rtpmp4gpay name=pay1 pt=97 ";
        else if (bAudio)
            s += "demux.audio_0 ! queue ! aacparse ! avdec_aac ! " + AudioEncodePayload(o.sAudio) + " ";
    }
    if (o.bData)
        s += "appsrc name=klvsrc format=time caps=meta/x-klv,parsed=true ! rtpklvpay name=" +
             std::string(bAudio ? "pay2" : "pay1") + " pt=98 ";
    return s + ")";
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

// --exit-mid-frame: 0 before the exit time, 1 after, 2 parameter sets sent, 3 dead.
std::atomic<int> g_nMidFrame(0);

gboolean OnExitTimer(gpointer pUser);

// H.264/H.265 RTP payload whose (first) NAL unit is a parameter set.
bool IsParameterSetPayload(const guint8 *p, gsize n, bool bHevc)
{
    if (n < 12 || n < 12u + 4u * (p[0] & 0x0f) + 3u)
        return false;
    const guint8 *q = p + 12 + 4 * (p[0] & 0x0f);
    int t = bHevc ? (q[0] >> 1) & 0x3f : q[0] & 0x1f;
    if (bHevc ? t == 48 : t == 24)  // an aggregate: its first unit
        t = bHevc ? (q[4] >> 1) & 0x3f : q[3] & 0x1f;
    return bHevc ? t >= 32 && t <= 34 : t == 7 || t == 8;
}

// Whether the camera dies before this RTP packet: the first one after the
// parameter sets of the first key frame past the exit time.
bool DiesBefore(GstBuffer *pBuf, bool bHevc)
{
    GstMapInfo map;
    if (g_nMidFrame.load() == 0 || !gst_buffer_map(pBuf, &map, GST_MAP_READ))
        return false;
    bool bParams = IsParameterSetPayload(map.data, map.size, bHevc);
    gst_buffer_unmap(pBuf, &map);
    if (bParams)
        g_nMidFrame = 2;
    else if (g_nMidFrame.load() == 2) {
        // What went before has time to leave; nothing more does.
        g_nMidFrame = 3;
        g_timeout_add(300, OnExitTimer, nullptr);
    }
    return g_nMidFrame.load() == 3;
}

// The payloader sends single packets and lists (a frame's fragments).
GstPadProbeReturn OnVideoRtp(GstPad *, GstPadProbeInfo *pInfo, gpointer pUser)
{
    bool bHevc = pUser != nullptr;
    if (g_nMidFrame.load() == 3)
        return GST_PAD_PROBE_DROP;
    if (pInfo->type & GST_PAD_PROBE_TYPE_BUFFER)
        return DiesBefore(GST_PAD_PROBE_INFO_BUFFER(pInfo), bHevc) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
    GstBufferList *pList = GST_PAD_PROBE_INFO_BUFFER_LIST(pInfo);
    guint n = pList ? gst_buffer_list_length(pList) : 0, i = 0;
    while (i < n && !DiesBefore(gst_buffer_list_get(pList, i), bHevc))
        i++;
    if (i == n)
        return GST_PAD_PROBE_OK;
    if (i == 0)
        return GST_PAD_PROBE_DROP;
    pList = gst_buffer_list_make_writable(pList);
    gst_buffer_list_remove(pList, i, n - i);
    GST_PAD_PROBE_INFO_DATA(pInfo) = pList;
    return GST_PAD_PROBE_OK;
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
            pData->nPeriod = GST_SECOND / kDataRate;
            // The data source lives as long as the media's pipeline.
            g_object_set_data_full(G_OBJECT(pMedia), "ipcam-klv", pData, g_free);
            GstAppSrcCallbacks cb;
            memset(&cb, 0, sizeof cb);
            cb.need_data = OnDataNeeded;
            gst_app_src_set_callbacks(GST_APP_SRC(pSrc), &cb, pData, nullptr);
            gst_object_unref(pSrc);
        }
    }
    GstElement *pPay = pState->opt.bExitMidFrame ? gst_bin_get_by_name_recurse_up(GST_BIN(pBin), "pay0") : nullptr;
    if (pPay) {
        GstPad *pPad = gst_element_get_static_pad(pPay, "src");
        gst_pad_add_probe(pPad, (GstPadProbeType)(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          OnVideoRtp, pState->opt.sVideo == "h265" ? (gpointer)1 : nullptr, nullptr);
        gst_object_unref(pPad);
        gst_object_unref(pPay);
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
    if (pUser != nullptr) {
        g_nMidFrame = 1;  // the video probe ends it
        return G_SOURCE_REMOVE;
    }
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
    gst_rtsp_mount_points_add_factory(pMounts, "/cam", pFactory);
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
        g_timeout_add_seconds(o.nExitAfter, OnExitTimer, o.bExitMidFrame ? (gpointer)1 : nullptr);

    fprintf(stderr, "ipcam-test-rtsp: pipeline %s\n", launch.c_str());
    printf("ipcam-test-rtsp: ready rtsp://127.0.0.1:%d/cam\n", gst_rtsp_server_get_bound_port(pServer));
    fflush(stdout);
    g_main_loop_run(g_pLoop);

    g_main_loop_unref(g_pLoop);
    g_object_unref(pServer);
    return 0;
}
