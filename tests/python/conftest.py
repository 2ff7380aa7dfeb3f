"""Shared pieces of the Python binding tests: the test cameras as child
processes on 127.0.0.1, generated clips and the clip's marker geometry."""

import os
import signal
import subprocess
import time

import pytest

W, H = 320, 240  # every generated clip
RTSP_CAMERA = os.environ.get("IPCAM_TEST_RTSP", "")
HTTP_CAMERA = os.environ.get("IPCAM_TEST_HTTP", "")
SOURCE_DIR = os.environ.get("IPCAM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
MEDIA_DIR = os.environ.get("IPCAM_MEDIA_DIR", "/tmp/ipcam-python-media")


def markers(w=W, h=H):
    """Centres (x, y from the top) of the red, blue and counter boxes that
    tests/tools/make_test_clip.sh draws."""
    mx, my, mw, mh = w // 16, h // 16, w // 8, h // 8
    red = (mx + mw // 2, my + mh // 2)
    blue = (w - mx - mw + mw // 2, h - my - mh + mh // 2)
    counter = (mx + mw // 2, blue[1])
    return red, blue, counter


def counter_of(frame, planar):
    """Frame number mod 50 shown by the counter box (luma 16 + 4 * n)."""
    _, _, (x, y) = markers(frame.shape[1], frame.shape[0] * 2 // 3 if planar else frame.shape[0])
    if planar:
        luma = float(frame[y, x])
    else:
        b, g, r = (float(v) for v in frame[y, x])
        luma = 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255
    return min(49, max(0, int((luma - 16 + 2) // 4)))


def clip(name, *args):
    """A clip made by make_test_clip.sh, cached by name."""
    os.makedirs(MEDIA_DIR, exist_ok=True)
    path = os.path.join(MEDIA_DIR, name)
    if not os.path.exists(path):
        tmp = path.replace(".", ".tmp%d." % os.getpid(), 1)
        subprocess.run(["bash", os.path.join(SOURCE_DIR, "tests/tools/make_test_clip.sh"), tmp, *args],
                       check=True)
        os.replace(tmp, path)
    return path


def standard_clip():
    """Six seconds of H.264 + AAC (440 Hz at 16 kHz), a key frame a second."""
    return clip("h264_aac_6s.mp4", "--video", "h264", "--audio", "aac", "--seconds", "6", "--gop", "25")


class Server:
    def __init__(self, program, args):
        if not program or not os.access(program, os.X_OK):
            pytest.skip("test camera %s was not built" % (program or "(unknown)"))
        self.proc = subprocess.Popen([program, *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if "ready " not in line:
            self.kill()
            pytest.fail("test camera did not start: %r" % line)
        self.url = line.split("ready ", 1)[1].strip()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()


@pytest.fixture
def server():
    """server(kind, *args) starts the RTSP ("rtsp") or raw HTTP ("http")
    test camera; all are killed when the test ends."""
    started = []

    def start(kind, *args):
        s = Server(RTSP_CAMERA if kind == "rtsp" else HTTP_CAMERA, args)
        started.append(s)
        return s
    yield start
    for s in started:
        s.kill()


def read_first(cam, timeout=5.0):
    """The first picture; fails when none comes within timeout seconds."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        f = cam.read(timeout=0.5)
        if f is not None:
            return f
    pytest.fail("no picture within %.1f s" % timeout)
