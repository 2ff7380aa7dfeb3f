"""reconnect=True: a camera that closes its connection, or is down at the
open, plays on by itself; state and health() follow it."""

import time

import pytest

from conftest import read_first, standard_clip

ipcamera = pytest.importorskip("ipcamera", reason="the ipcamera module was not built")


def wait_for(pred, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.05)
    return False


def test_http_camera_closing_comes_back(server):
    s = server("http", "--video", standard_clip(), "--loop", "--close-after", "100")
    with ipcamera.Camera(s.url, connect_type=2, reconnect=True) as cam:
        read_first(cam)
        assert wait_for(lambda: cam.health()["reconnects"] >= 2, 16)
        # Pictures of the new connections arrive through the same reads.
        before = cam.health()["pictures"]
        assert wait_for(lambda: cam.health()["pictures"] > before + 5, 6)
        assert cam.read(timeout=1) is not None
        h = cam.health()
        assert h["decode_path"] == "ffmpeg"
        assert h["last_error"] == "connection closed"
        assert h["bytes"] > 10000
        assert cam.state in ("connecting", "streaming", "lost", "reconnecting")


def test_down_at_open_keeps_trying(server):
    url = server("rtsp").url
    refused = url.replace(url.split(":")[2].split("/")[0], "1")
    t0 = time.monotonic()
    cam = ipcamera.Camera(refused, reconnect=True)
    assert time.monotonic() - t0 < 0.5, "the open does not wait for the camera"
    assert wait_for(lambda: cam.state == "reconnecting", 3)
    h = cam.health()
    assert (h["pictures"], h["reconnects"], h["seconds_since_last_picture"]) == (0, 0, -1)
    assert h["last_error"] == "connection refused"
    assert cam.read(timeout=0.2) is None
    t0 = time.monotonic()
    cam.close()
    assert time.monotonic() - t0 < 0.5
    with pytest.raises(ipcamera.Error, match="closed"):
        cam.health()
