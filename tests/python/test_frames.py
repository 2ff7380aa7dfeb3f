"""Pictures through ipcamera.Camera: layout and colour for each test camera,
newest-frame semantics, masks, snapshots and recordings."""

import os
import re
import subprocess
import time

import numpy as np
import pytest

from conftest import H, W, counter_of, markers, read_first, standard_clip

ipcamera = pytest.importorskip("ipcamera", reason="the ipcamera module was not built")

# BT.601 limited-range Y, U, V of the pure red and blue boxes.
RED_YUV, BLUE_YUV = (81, 90, 240), (41, 240, 110)


def yuv_at(frame, x, y):
    u = frame[H:H + H // 4].reshape(H // 2, W // 2)
    v = frame[H + H // 4:].reshape(H // 2, W // 2)
    return int(frame[y, x]), int(u[y // 2, x // 2]), int(v[y // 2, x // 2])


@pytest.mark.parametrize("kind", ["rtsp", "http"])
@pytest.mark.parametrize("planar", [False, True])
def test_layout_and_colour(server, kind, planar):
    if kind == "rtsp":
        url = server("rtsp", "--file", standard_clip()).url
    else:
        url = server("http", "--video", standard_clip(), "--loop", "--no-audio").url
    with ipcamera.Camera(url, planar=planar, connect_type=1) as cam:
        f = read_first(cam)
        assert f.dtype == np.uint8
        (rx, ry), (bx, by), _ = markers()
        if planar:
            assert f.shape == (H * 3 // 2, W)
            assert np.allclose(yuv_at(f, rx, ry), RED_YUV, atol=12), "red box at the top left"
            assert np.allclose(yuv_at(f, bx, by), BLUE_YUV, atol=12), "blue box at the bottom right"
        else:
            assert f.shape == (H, W, 3)
            assert np.allclose(f[ry, rx], (0, 0, 255), atol=30), "red box at the top left (BGR)"
            assert np.allclose(f[by, bx], (255, 0, 0), atol=30), "blue box at the bottom right (BGR)"
        first = cam.frame_info.index
        read_first(cam)
        assert cam.frame_info.index > first


def test_newest_frame_after_a_slow_consumer(server):
    url = server("rtsp", "--file", standard_clip()).url
    with ipcamera.Camera(url, connect_type=1) as cam:
        f = read_first(cam)
        before = counter_of(f, False)
        for _ in range(2):
            time.sleep(1.0)
            f = cam.read(timeout=1.0)
            now = time.monotonic()
            info = cam.frame_info
            # The picture handed out is the newest: it arrived at most one
            # frame interval (40 ms at 25 fps) before the read, plus slack.
            assert now - info.time < 0.04 + 0.06, info
            # About 25 pictures came during the sleep; all but the newest were
            # dropped, and the clip's own counter agrees with the count.
            assert 18 <= info.dropped <= 32, info
            after = counter_of(f, False)
            assert (after - before) % 50 == (info.dropped + 1) % 50, (before, after, info)
            before = after


def jpeg_bgr(path):
    """Decodes a JPEG with ffmpeg (the oracle) into an (h, w, 3) BGR array."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "bgr24", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(H, W, 3)


def test_mask_snapshot_and_recording(server, tmp_path):
    url = server("rtsp", "--file", standard_clip()).url
    (rx, ry), (bx, by), _ = markers()
    with ipcamera.Camera(url, connect_type=1) as cam:
        read_first(cam)
        cam.set_mask(0, 0, W // 2, H // 2, W, H)
        cam.read(timeout=1.0)
        f = cam.read(timeout=1.0)
        assert not f[:H // 2, :W // 2].any(), "the top-left quarter is masked"
        assert np.allclose(f[by, bx], (255, 0, 0), atol=30), "the rest is untouched"

        snap = str(tmp_path / "snap.jpg")
        cam.snapshot(snap)
        s = jpeg_bgr(snap)
        assert np.allclose(s[ry, rx], (0, 0, 255), atol=40), "snapshots are taken before the mask"
        cam.clear_mask()

        cam.record(str(tmp_path / "rec.avi"))
        end = time.monotonic() + 2.2
        while time.monotonic() < end:
            cam.read(timeout=1.0)
        done = cam.stop_record()
        # A recording still running at close() is finished and named too.
        cam.record(str(tmp_path / "open.avi"))
        time.sleep(1.5)  # past the next key frame, where the file starts
        t = time.monotonic()
    assert time.monotonic() - t < 0.5, "close() with a recording running (0.2 s on an idle machine)"
    assert [p.name for p in tmp_path.glob("open_*.avi")] in (["open_1.avi"], ["open_2.avi"])
    assert done and re.search(r"/rec_[234]\.avi$", done), done
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0", done],
                           check=True, capture_output=True, text=True).stdout.strip().split(",")
    assert probe[:3] == ["h264", str(W), str(H)], probe
    assert 28 <= int(probe[3]) <= 60, "2.2 s at 25 fps, from the first key frame (1 s apart) on"
    assert not os.path.exists(str(tmp_path / "rec.avi"))


def test_iteration_ends_with_the_stream(server):
    # The raw HTTP camera closes the connection after one pass of the clip.
    url = server("http", "--video", standard_clip(), "--no-audio").url
    t = time.monotonic()
    with ipcamera.Camera(url) as cam:
        indices = [cam.frame_info.index for _ in cam]
        assert cam.finished
    assert time.monotonic() - t < 10, "six seconds of clip, then the end"
    assert len(indices) >= 100 and indices == sorted(set(indices))
    assert indices[-1] + 1 - len(indices) == cam.dropped
