// The Python module `ipcamera`: one Camera object per CIpCamera.
//
// Threads: the library's callbacks (decode thread) only copy into the
// camera's CameraBuffers and never touch Python. Every call that can block
// (open, close, waits, recording, snapshots) runs without the GIL; waits
// go in short slices and check for signals in between, so Ctrl-C ends a
// waiting read. Lock order: the GIL is always released before ctlLock or
// readLock is taken, and nothing holding either ever asks for the GIL.

#include <glob.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <ipcamera/IpCamera.h>

#include "CameraBuffers.h"
#include "support/Log.h"

extern "C" {
#include <libavutil/error.h>
}

namespace py = pybind11;

namespace {

struct CameraError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Slice of every wait between two signal checks.
const double kWaitSlice = 0.05;
// reconnect=True: lost after 5 s without data, retries capped at 10 s.
const int kReconnectMaxBackoffMs = 10000;
const int kReconnectNoDataMs = 5000;

const char *StateName(int nState)
{
    static const char *const names[] = {"idle", "connecting", "streaming", "stalled",
                                        "lost", "reconnecting", "closed"};
    return nState >= 0 && nState <= IPC_STATE_CLOSED ? names[nState] : "idle";
}

py::dict HealthDict(const IpCameraHealth &h)
{
    static const char *const paths[] = {"none", "builtin", "ffmpeg", "hardware"};
    py::dict d;
    d["pictures"] = h.nPictures;
    d["withheld"] = h.nWithheld;
    d["decode_errors"] = h.nDecodeErrors;
    d["corrupt_packets"] = h.nCorruptPackets;
    d["bytes"] = h.nBytes;
    d["bit_rate"] = h.fBitRate;
    d["frame_rate"] = h.nFrameRate;
    d["seconds_since_last_picture"] = h.nSecondsSinceLastPicture;
    d["reconnects"] = h.nReconnects;
    d["decode_path"] = paths[h.nDecodePath & 3];
    d["state"] = StateName(h.nState);
    d["last_error"] = std::string(h.szLastError);
    return d;
}

struct FrameInfo {
    long long nIndex;
    double fTime;
    long long nDropped;
};

struct PyCamera {
    CameraBuffers buf;
    // Guards pCam and sRecordPath; held across library calls (never for
    // long: the library's open/close bound), never together with the GIL.
    std::mutex ctlLock;
    CIpCamera *pCam = nullptr;
    std::string sRecordPath;
    // Set at construction, then read only.
    std::string sUrl;
    int bPlanar = 0;
    // Written and read with the GIL held.
    FrameInfo info = {-1, 0, 0};
    bool bHaveInfo = false;
};

// Collects the library's log lines of the calling thread while an operation
// runs and turns them into the reason an exception gives.
class LogCapture {
public:
    LogCapture() { DebugCaptureStart(m_szLines, sizeof(m_szLines)); }
    ~LogCapture() { DebugCaptureStop(); }
    // The last line that names an error, with FFmpeg's text for a "ret:N"
    // code; pFallback when none does.
    std::string Reason(const char *pFallback)
    {
        DebugCaptureStop();
        std::string lines = m_szLines, best;
        size_t at = 0;
        while (at < lines.size()) {
            size_t end = lines.find('\n', at);
            std::string line = lines.substr(at, end - at);
            at = end == std::string::npos ? lines.size() : end + 1;
            // The camera's own summary lines carry no cause.
            if (line.rfind("OpenMainStreamVideo", 0) == 0 || line.rfind("Video Init", 0) == 0 ||
                line.rfind("Camera(id:", 0) == 0)
                continue;
            if (line.find("error") != std::string::npos || line.find("fail") != std::string::npos ||
                line.find("cannot") != std::string::npos || line.find("too long") != std::string::npos)
                best = line;
        }
        if (best.empty())
            return pFallback;
        size_t ret = best.find("ret:");
        if (ret != std::string::npos) {
            int code = atoi(best.c_str() + ret + 4);
            char text[AV_ERROR_MAX_STRING_SIZE];
            if (code < 0 && av_strerror(code, text, sizeof(text)) == 0)
                best += std::string(" (") + text + ")";
        }
        return best;
    }

private:
    char m_szLines[4096];
};

double TimeoutToDeadline(const py::object &timeout)
{
    if (timeout.is_none())
        return std::numeric_limits<double>::infinity();
    double t = timeout.cast<double>();
    if (t != t)
        throw py::value_error("timeout must be a number of seconds or None");
    return CameraNow() + (t > 0 ? t : 0);
}

// Runs fTry(sliceDeadline) without the GIL in slices until it gives 1 (item)
// or -1 (closed), or the deadline passes (0); raises on a pending signal
// (KeyboardInterrupt for Ctrl-C).
template <typename Try>
int WaitSliced(double fDeadline, Try fTry)
{
    for (;;) {
        double fSlice = CameraNow() + kWaitSlice;
        if (fSlice > fDeadline)
            fSlice = fDeadline;
        int r;
        {
            py::gil_scoped_release nogil;
            r = fTry(fSlice);
        }
        if (r != 0)
            return r;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (CameraNow() >= fDeadline)
            return 0;
    }
}

// Runs fCall(pCam) under ctlLock without the GIL; raises when closed.
template <typename Call>
auto WithCamera(PyCamera *c, Call fCall) -> decltype(fCall((CIpCamera *)nullptr))
{
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> g(c->ctlLock);
    if (!c->pCam)
        throw CameraError("camera is closed");
    return fCall(c->pCam);
}

void CheckOpen(PyCamera *c)
{
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> g(c->ctlLock);
    if (!c->pCam)
        throw CameraError("camera is closed");
}

void CloseCamera(PyCamera *c)
{
    std::lock_guard<std::mutex> g(c->ctlLock);
    if (!c->pCam)
        return;
    CameraBuffersClose(&c->buf);
    // Finish and name a running recording while the stream still measures
    // its length; the close then joins the stream's threads, after which no
    // callback of it runs.
    c->pCam->StopSaveAvi(7);
    c->pCam->CloseMainStreamVideo();
    delete c->pCam;
    c->pCam = nullptr;
}

struct PyCameraDeleter {
    void operator()(PyCamera *c) const
    {
        // The callbacks never need the GIL, so closing with it held cannot
        // deadlock; it only keeps other Python threads waiting that long.
        CloseCamera(c);
        delete c;
    }
};

std::unique_ptr<PyCamera, PyCameraDeleter> OpenCamera(const std::string &url, bool bPlanar,
                                                      int nConnectType, bool bAudio, bool bReconnect)
{
    if (nConnectType < 0)
        throw py::value_error("connect_type must be 0 or more");
    if (url.empty() || url.size() > 255 || url.find('\0') != std::string::npos)
        throw py::value_error("url must be 1 to 255 characters without NUL");
    static std::atomic<int> s_nNextId(1);
    std::unique_ptr<PyCamera, PyCameraDeleter> c(new PyCamera());
    CameraBuffersInit(&c->buf);
    c->sUrl = url;
    c->bPlanar = bPlanar;
    std::string reason;
    {
        py::gil_scoped_release nogil;
        CIpCamera *pCam = new CIpCamera(s_nNextId.fetch_add(1), "python", url.c_str());
        pCam->SetD3DDisplay(bPlanar);
        // The library keeps one connect type for the process: the last one
        // set before an open applies to it.
        pCam->SetConnectType(nConnectType);
        pCam->SetVideoBufCallBack(bPlanar ? CameraBuffersOnVideoPlanar : CameraBuffersOnVideo, &c->buf);
        pCam->SetAudioBufCallBack(CameraBuffersOnAudio, &c->buf);
        pCam->SetDataBufCallBack(CameraBuffersOnData, &c->buf);
        __atomic_store_n(&pCam->m_bAudioEnable, bAudio ? 1 : 0, __ATOMIC_RELAXED);
        if (bReconnect) {
            pCam->SetAutoReconnect(true, kReconnectMaxBackoffMs);
            pCam->SetNoDataLimit(kReconnectNoDataMs);
        }
        LogCapture log;
        if (pCam->OpenMainStreamVideo(url.c_str()) != 0) {
            reason = log.Reason("the library could not open it");
            delete pCam;
        } else {
            pCam->SetDecodeEnable(false, true);
            std::lock_guard<std::mutex> g(c->ctlLock);
            c->pCam = pCam;
        }
    }
    if (!c->pCam)
        throw CameraError("cannot open " + url + ": " + reason);
    return c;
}

py::object Read(PyCamera *c, const py::object &timeout)
{
    CheckOpen(c);
    double fDeadline = TimeoutToDeadline(timeout);
    CameraBuffers *b = &c->buf;
    int r = WaitSliced(fDeadline, [b](double fSlice) {
        // One picture reader at a time: readLock guards pOut until the copy
        // below is done.
        if (!b->readLock.try_lock_until(std::chrono::steady_clock::now() +
                                        std::chrono::microseconds((long long)((fSlice - CameraNow()) * 1e6))))
            return 0;
        int n = CameraTakeFrame(b, fSlice);
        if (n != 1)
            b->readLock.unlock();
        return n;
    });
    if (r != 1)
        return py::none();
    std::unique_lock<std::timed_mutex> held(b->readLock, std::adopt_lock);
    const FrameSlot *s = b->pOut;
    py::array_t<uint8_t> a = c->bPlanar
        ? py::array_t<uint8_t>({(py::ssize_t)(s->nHeight * 3 / 2), (py::ssize_t)s->nWidth})
        : py::array_t<uint8_t>({(py::ssize_t)s->nHeight, (py::ssize_t)s->nWidth, (py::ssize_t)3});
    uint8_t *pDst = a.mutable_data();
    {
        py::gil_scoped_release nogil;
        memcpy(pDst, s->data.data(), s->data.size());
    }
    c->info.nIndex = s->nIndex;
    c->info.fTime = s->fTime;
    c->info.nDropped = s->nIndex - b->nLastIndex - 1;
    c->bHaveInfo = true;
    b->nDropped += c->info.nDropped;
    b->nLastIndex = s->nIndex;
    return a;
}

py::object ReadChunk(PyCamera *c, ChunkRing *pRing, const py::object &timeout, bool bAudio)
{
    CheckOpen(c);
    std::vector<unsigned char> out;
    int nRate = 0;
    CameraBuffers *b = &c->buf;
    int r = WaitSliced(TimeoutToDeadline(timeout), [&](double fSlice) {
        return CameraTakeChunk(b, pRing, fSlice, &out, &nRate);
    });
    if (r != 1)
        return py::none();
    if (!bAudio)
        return py::bytes((const char *)out.data(), out.size());
    py::array_t<int16_t> pcm((py::ssize_t)(out.size() / 2));
    memcpy(pcm.mutable_data(), out.data(), out.size() / 2 * 2);
    return py::make_tuple(pcm, nRate);
}

void Record(PyCamera *c, const std::string &path)
{
    // The library names the finished file after the path minus its last
    // four characters, so anything but ".avi" would lose part of the name.
    if (path.size() < 5 || path.compare(path.size() - 4, 4, ".avi") != 0 || path.size() > 200)
        throw py::value_error("record path must end in .avi and be at most 200 characters");
    std::string reason;
    int r = WithCamera(c, [&](CIpCamera *pCam) {
        LogCapture log;
        pCam->SetSaveRecordPath(path.c_str());
        int n = pCam->StartSaveAvi(1);
        if (n != 0)
            reason = log.Reason("the recording did not start");
        else
            c->sRecordPath = path;
        return n;
    });
    if (r != 0)
        throw CameraError("cannot record to " + path + ": " + reason);
}

// Path of the finished recording: the newest PATH-minus-".avi"_N.avi, or the
// path itself where the library had to keep the name.
std::string FinishedRecording(const std::string &path)
{
    struct stat st;
    std::string best;
    time_t bestTime = 0;
    glob_t g;
    std::string pattern = path.substr(0, path.size() - 4) + "_*.avi";
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; i++)
            if (stat(g.gl_pathv[i], &st) == 0 && st.st_mtime >= bestTime) {
                bestTime = st.st_mtime;
                best = g.gl_pathv[i];
            }
        globfree(&g);
    }
    if (stat(path.c_str(), &st) == 0)
        return path;
    return best;
}

py::object StopRecord(PyCamera *c)
{
    std::string done = WithCamera(c, [&](CIpCamera *pCam) {
        pCam->StopSaveAvi(1);
        std::string path;
        if (!c->sRecordPath.empty())
            path = FinishedRecording(c->sRecordPath);
        c->sRecordPath.clear();
        return path;
    });
    if (done.empty())
        return py::none();
    return py::str(done);
}

void Snapshot(PyCamera *c, const std::string &path, const py::object &timeout)
{
    if (path.empty() || path.size() > 255)
        throw py::value_error("snapshot path must be 1 to 255 characters");
    WithCamera(c, [&](CIpCamera *pCam) {
        unlink(path.c_str());
        pCam->SetSaveImagePath(path.c_str());
        return pCam->SaveImage(0, 1);
    });
    // The next picture takes the request and writes the file before it is
    // published: once the request is gone, one more published picture
    // proves the writer has finished.
    CameraBuffers *b = &c->buf;
    long long nAfter = -1;
    int r = WaitSliced(TimeoutToDeadline(timeout), [&](double fSlice) {
        int bPending;
        {
            std::lock_guard<std::mutex> g(c->ctlLock);
            if (!c->pCam)
                return -1;
            bPending = __atomic_load_n(&c->pCam->m_bSaveImgNow, __ATOMIC_ACQUIRE);
        }
        std::unique_lock<std::mutex> g(b->lock);
        if (!bPending && nAfter < 0)
            nAfter = b->nPublished;
        auto until = std::chrono::steady_clock::now() +
                     std::chrono::microseconds((long long)((fSlice - CameraNow()) * 1e6));
        b->cond.wait_until(g, until, [&] { return b->bClosed || (nAfter >= 0 && b->nPublished > nAfter); });
        if (b->bClosed)
            return -1;
        return nAfter >= 0 && b->nPublished > nAfter ? 1 : 0;
    });
    if (r == -1)
        throw CameraError("camera closed before the snapshot was taken");
    if (r == 0)
        throw CameraError("no picture arrived in time for the snapshot (the request stays pending)");
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size == 0)
        throw CameraError("the snapshot could not be written to " + path);
}

void SetMask(PyCamera *c, int x, int y, int w, int h, int nRefW, int nRefH, bool bEnable)
{
    if (nRefW <= 0 || nRefH <= 0)
        throw py::value_error("ref_w and ref_h must be positive");
    MaskAreaParam m = {0, bEnable ? 1 : 0, x, y, w, h, nRefW, nRefH, 0};
    WithCamera(c, [&](CIpCamera *pCam) { return pCam->SetMaskAreaParam(&m); });
}

// The library keeps its log files beside the executable, which for Python
// is the interpreter's directory (/usr/bin): not a place to write to. They
// go to $XDG_CACHE_HOME/ipcamera (~/.cache/ipcamera) unless set_log_dir
// says otherwise.
void SetDefaultLogDir()
{
    std::string dir;
    if (const char *pCache = getenv("XDG_CACHE_HOME"); pCache && pCache[0] == '/')
        dir = pCache;
    else if (const char *pHome = getenv("HOME"); pHome && pHome[0] == '/')
        dir = std::string(pHome) + "/.cache";
    else
        dir = "/tmp";
    mkdir(dir.c_str(), 0700);
    dir += "/ipcamera";
    mkdir(dir.c_str(), 0700);
    DebugSetLogDir(dir.c_str());
}

}  // namespace

PYBIND11_MODULE(ipcamera, m)
{
    m.doc() = "IP cameras (RTSP, media files, raw HTTP) with newest-frame reads that never hang";
    py::register_exception<CameraError>(m, "Error");
    SetDefaultLogDir();
    m.def("set_log_dir", [](const std::string &dir) { DebugSetLogDir(dir.c_str()); }, py::arg("path"),
          "Directory of the library's log files wkd_new.log and wkd_old.log (default\n"
          "~/.cache/ipcamera); they take a few lines per recording.");

    py::class_<FrameInfo>(m, "FrameInfo", "What the last read returned.")
        .def_readonly("index", &FrameInfo::nIndex, "picture number since the camera opened (0 first)")
        .def_readonly("time", &FrameInfo::fTime, "arrival time, on time.monotonic()'s clock")
        .def_readonly("dropped", &FrameInfo::nDropped, "newer pictures replaced these many unread ones")
        .def("__repr__", [](const FrameInfo &f) {
            return "FrameInfo(index=" + std::to_string(f.nIndex) + ", time=" + std::to_string(f.fTime) +
                   ", dropped=" + std::to_string(f.nDropped) + ")";
        });

    py::class_<PyCamera, std::unique_ptr<PyCamera, PyCameraDeleter>>(m, "Camera",
        "Camera(url, planar=False, connect_type=0, audio=False, reconnect=False)\n\n"
        "Opens an rtsp:// address, a media file or an http:// raw framed camera and\n"
        "starts decoding; raises ipcamera.Error with the library's reason when it\n"
        "cannot. connect_type: 0 RTSP over UDP with TCP fallback, 1 RTSP over TCP\n"
        "(process-wide in the library: the last camera opened sets it). reconnect=True:\n"
        "the open returns at once and the library keeps the camera playing by itself\n"
        "(lost after 5 s without data or when the connection closes, reopened after\n"
        "1 s, 2 s, 4 s ... up to 10 s); see state and health().")
        .def(py::init(&OpenCamera), py::arg("url"), py::arg("planar") = false,
             py::arg("connect_type") = 0, py::arg("audio") = false, py::arg("reconnect") = false)
        .def("read", &Read, py::arg("timeout") = 1.0,
             "Newest picture not returned before: (h, w, 3) uint8 BGR, top row first, or\n"
             "(h*3//2, w) uint8 I420 when planar; None when none arrives within timeout\n"
             "seconds (None: wait until one does) or the camera is closed meanwhile. Older\n"
             "unread pictures are dropped (frame_info.dropped).")
        .def_property_readonly("frame_info", [](PyCamera &c) -> py::object {
            return c.bHaveInfo ? py::cast(c.info) : py::none();
        }, "FrameInfo of the last picture read, None before the first")
        .def_property_readonly("dropped", [](PyCamera &c) {
            return c.buf.nDropped;
        }, "pictures dropped unread since the camera opened, up to the last read")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](PyCamera &c) {
            // Ends when the camera is closed or its stream has finished.
            for (;;) {
                py::object f = Read(&c, py::float_(1.0));
                if (!f.is_none())
                    return f;
                bool bDone = true;
                {
                    py::gil_scoped_release nogil;
                    std::lock_guard<std::mutex> g(c.ctlLock);
                    bDone = !c.pCam || c.pCam->IsMainVideoFinish();
                }
                if (bDone)
                    throw py::stop_iteration();
            }
        })
        .def("audio", [](PyCamera &c, const py::object &timeout) {
            return ReadChunk(&c, &c.buf.audio, timeout, true);
        }, py::arg("timeout") = 1.0,
           "Next decoded audio chunk as (int16 array, sample rate), None on time-out;\n"
           "needs audio=True. Channels are interleaved as the decoder gives them.")
        .def("data", [](PyCamera &c, const py::object &timeout) {
            return ReadChunk(&c, &c.buf.data, timeout, false);
        }, py::arg("timeout") = 1.0, "Next payload of the stream's data track as bytes, None on time-out.")
        .def("record", &Record, py::arg("path"),
             "Records into path (must end in .avi) until stop_record() or close().")
        .def("stop_record", &StopRecord,
             "Finishes the recording; returns the finished file's path, whose name\n"
             "carries the length in seconds (cam.avi -> cam_37.avi), or None.")
        .def("snapshot", &Snapshot, py::arg("path"), py::arg("timeout") = 2.0,
             "Writes the next picture (without masks) as a JPEG file and returns once\n"
             "it is written; raises ipcamera.Error when no picture came in time.")
        .def("set_mask", [](PyCamera &c, int x, int y, int w, int h, int rw, int rh) {
            SetMask(&c, x, y, w, h, rw, rh, true);
        }, py::arg("x"), py::arg("y"), py::arg("w"), py::arg("h"), py::arg("ref_w"), py::arg("ref_h"),
           "Blacks out a rectangle, given in a ref_w x ref_h space, y from the top.")
        .def("clear_mask", [](PyCamera &c) { SetMask(&c, 0, 0, 0, 0, 1, 1, false); })
        .def_property_readonly("url", [](PyCamera &c) { return c.sUrl; })
        .def_property_readonly("planar", [](PyCamera &c) { return c.bPlanar != 0; })
        .def_property_readonly("closed", [](PyCamera &c) {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> g(c.ctlLock);
            return c.pCam == nullptr;
        })
        .def_property_readonly("finished", [](PyCamera &c) {
            py::gil_scoped_release nogil;
            std::lock_guard<std::mutex> g(c.ctlLock);
            return c.pCam != nullptr && c.pCam->IsMainVideoFinish();
        }, "the stream delivered nothing for 40 s, or a file was read to its end")
        .def("health", [](PyCamera &c) {
            IpCameraHealth h;
            WithCamera(&c, [&h](CIpCamera *p) { return p->GetHealth(&h); });
            return HealthDict(h);
        }, "Counters since the open, over every reconnect: pictures, withheld, decode_errors,\n"
           "corrupt_packets, bytes, bit_rate (kbit/s), frame_rate, seconds_since_last_picture\n"
           "(-1 before the first), reconnects, decode_path, state and last_error.")
        .def_property_readonly("state", [](PyCamera &c) {
            return std::string(StateName(WithCamera(&c, [](CIpCamera *p) { return p->GetState(); })));
        }, "idle (reconnect off), connecting, streaming, stalled, lost or reconnecting")
        .def("close", [](PyCamera &c) {
            py::gil_scoped_release nogil;
            CloseCamera(&c);
        }, "Stops the stream (and a recording); returns within a short bound. Safe to repeat.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](PyCamera &c, py::args) {
            py::gil_scoped_release nogil;
            CloseCamera(&c);
            return false;
        });
}
