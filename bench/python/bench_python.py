#!/usr/bin/env python3
"""ipcamera.Camera against OpenCV's cv2.VideoCapture (FFmpeg back end) on
the same 1080p25 RTSP test camera, in one run, with a consumer that spends
100 ms on every picture it gets.

Measured per reader: open time, time to the first picture, age of the
pictures handed out, CPU time of this process per delivered picture (the
library's or OpenCV's decoding included), and how long read blocks once the
camera is killed. The clip carries its frame number as a 16-bit bar code in
its top rows, so a picture's age is its read time minus its due time
(frame number / 25), less the smallest such difference seen by that reader
(its freshest picture counts as age 0).

  PYTHONPATH=build/python /usr/bin/python3 bench/python/bench_python.py \
      --camera build/tests/tools/rtsp_camera/ipcam-test-rtsp [--seconds 12]
"""

import argparse
import os
import resource
import signal
import statistics
import subprocess
import threading
import time

FPS, W, H = 25, 1920, 1080
BITS, BAR = 16, 64  # bar code: BITS blocks of BAR x BAR pixels from the top left


def make_clip(path, seconds):
    if os.path.exists(path):
        return path
    os.makedirs(os.path.dirname(path), exist_ok=True)
    bit = "bitand(floor(N/pow(2,floor(X/%d))),1)" % BAR
    graph = ("[0]split[a][b];[b]crop=%d:%d:0:0,geq=lum='if(%s,235,16)':cb=128:cr=128[c];"
             "[a][c]overlay=0:0,format=yuv420p" % (BITS * BAR, BAR, bit))
    tmp = path + ".tmp.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=%dx%d:rate=%d:duration=%d" % (W, H, FPS, seconds),
                    "-filter_complex", graph, "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
                    "-bf", "0", "-g", str(FPS), tmp], check=True)
    os.replace(tmp, path)
    return path


def frame_number(bgr):
    row = bgr[BAR // 2]
    return sum(1 << k for k in range(BITS) if int(row[k * BAR + BAR // 2].mean()) > 127)


class Camera:
    def __init__(self, program, clip):
        self.proc = subprocess.Popen([program, "--file", clip], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.url = self.proc.stdout.readline().split("ready ", 1)[1].strip()

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def freeze(self):
        # A camera that loses power or network: no data and no FIN either.
        self.proc.send_signal(signal.SIGSTOP)


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def run(name, open_reader, read, close, program, clip, seconds):
    cam = Camera(program, clip)
    t = time.monotonic()
    reader = open_reader(cam.url)
    opened = time.monotonic() - t
    frame = None
    while frame is None and time.monotonic() - t < 20:
        frame = read(reader)
    first = time.monotonic() - t
    seen, cpu0, end = [], cpu(), time.monotonic() + seconds
    while time.monotonic() < end:
        if frame is not None:
            seen.append((time.monotonic(), frame_number(frame)))
            time.sleep(0.1)  # the consumer's work on the picture
        frame = read(reader)
    cpu_used = cpu() - cpu0
    zero = min(t - n / FPS for t, n in seen)
    ages = [1000 * (t - n / FPS - zero) for t, n in seen]

    blocked, longest = until_empty(reader, read, cam.kill)
    if blocked != float("inf"):  # never close under a read that still runs
        close(reader)
    # The same against a camera that goes silent without closing anything.
    cam = Camera(program, clip)
    reader = open_reader(cam.url)
    t = time.monotonic()
    while time.monotonic() - t < 3:
        if read(reader) is not None:
            time.sleep(0.1)
    silent, silent_longest = until_empty(reader, read, cam.freeze)
    t = time.monotonic()
    if silent != float("inf"):
        close(reader)
    closed = time.monotonic() - t
    cam.kill()
    return {"reader": name, "open": opened, "first": first, "frames": len(seen),
            "age_med": statistics.median(ages), "age_max": max(ages), "age_last": ages[-1],
            "cpu": 1000 * cpu_used / max(1, len(seen)), "cpu_s": 1000 * cpu_used / seconds,
            "blocked": blocked, "longest": longest, "silent": silent, "silent_longest": silent_longest,
            "close": closed}


def until_empty(reader, read, stop_camera):
    """Stops the camera, then reads until the reader says there is nothing
    (pictures already buffered may still come first): seconds until then,
    and the longest single read call. Gives up after 120 s."""
    stop_camera()
    killed = time.monotonic()
    done = threading.Event()
    longest = [0.0]

    def drain():
        while True:
            t0 = time.monotonic()
            f = read(reader)
            longest[0] = max(longest[0], time.monotonic() - t0)
            if f is None:
                break
        done.set()
    threading.Thread(target=drain, daemon=True).start()
    blocked = time.monotonic() - killed if done.wait(120) else float("inf")
    return blocked, longest[0]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--camera", required=True, help="ipcam-test-rtsp")
    p.add_argument("--media", default="build/bench-media")
    p.add_argument("--seconds", type=int, default=12)
    a = p.parse_args()
    clip = make_clip(os.path.join(a.media, "bench_1080p_barcode.mp4"), 40)

    import cv2
    import ipcamera
    # Both over RTSP/TCP, so no picture is lost on the way.
    os.environ["OPENCV_FFMPEG_CAPTURE_OPTIONS"] = "rtsp_transport;tcp"
    results = [
        run("ipcamera.Camera", lambda url: ipcamera.Camera(url, connect_type=1),
            lambda c: c.read(timeout=1.0), lambda c: c.close(), a.camera, clip, a.seconds),
        run("cv2.VideoCapture", lambda url: cv2.VideoCapture(url, cv2.CAP_FFMPEG),
            lambda c: (lambda ok, f: f if ok else None)(*c.read()), lambda c: c.release(),
            a.camera, clip, a.seconds),
    ]
    rows = [("open (s)", "open", "%.2f"), ("first picture after open starts (s)", "first", "%.2f"),
            ("pictures delivered in %d s" % a.seconds, "frames", "%d"),
            ("age of picture handed out, median (ms)", "age_med", "%.0f"),
            ("age, worst (ms)", "age_max", "%.0f"), ("age of the last picture (ms)", "age_last", "%.0f"),
            ("CPU per delivered picture (ms)", "cpu", "%.1f"),
            ("CPU per second (ms)", "cpu_s", "%.0f"),
            ("camera killed: read says 'none' after (s)", "blocked", "%.2f"),
            ("  longest single read call (s)", "longest", "%.2f"),
            ("camera silent (SIGSTOP): 'none' after (s)", "silent", "%.2f"),
            ("  longest single read call (s)", "silent_longest", "%.2f"),
            ("  close / release of the silent camera (s)", "close", "%.2f")]
    print("1080p25 H.264 RTSP/TCP, consumer 100 ms per picture\n")
    print("| %-45s | %16s | %16s |" % ("", results[0]["reader"], results[1]["reader"]))
    print("|%s|%s|%s|" % ("-" * 47, "-" * 18, "-" * 18))
    for label, key, fmt in rows:
        print("| %-45s | %16s | %16s |" % (label, fmt % results[0][key], fmt % results[1][key]))


if __name__ == "__main__":
    main()
