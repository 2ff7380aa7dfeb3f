"""Audio chunks and data-track payloads through ipcamera.Camera."""

import time

import numpy as np
import pytest

from conftest import read_first, standard_clip

ipcamera = pytest.importorskip("ipcamera", reason="the ipcamera module was not built")

KLV_KEY = bytes([0x06, 0x0E, 0x2B, 0x34, 0x02, 0x0B, 0x01, 0x01, 0x0E, 0x01, 0x03, 0x01, 0x01, 0x00, 0x00, 0x00])


# The clip's 440 Hz tone, transcoded by the camera where the codec asks for it.
@pytest.mark.parametrize("codec,rate", [("aac", 16000), ("pcmu", 8000), ("g722", 16000)])
def test_audio_rate_and_tone(server, codec, rate):
    url = server("rtsp", "--file", standard_clip(), "--audio", codec).url
    with ipcamera.Camera(url, connect_type=1, audio=True) as cam:
        chunks, rates = [], set()
        end = time.monotonic() + 5
        while sum(len(c) for c in chunks) < 2 * rate and time.monotonic() < end:
            got = cam.audio(timeout=1.0)
            if got is not None:
                assert got[0].dtype == np.int16
                chunks.append(got[0])
                rates.add(got[1])
    assert rates == {rate}
    pcm = np.concatenate(chunks)[rate // 4:].astype(np.float64)  # past the codec's start-up
    assert len(pcm) >= rate, "at least a second of sound"
    assert np.sqrt(np.mean(pcm ** 2)) > 1000, "a tone, not silence"
    crossings = np.count_nonzero(np.diff(np.signbit(pcm)))
    assert abs(crossings / 2 / (len(pcm) / rate) - 440) < 15


def test_data_payloads_in_order(server):
    url = server("rtsp", "--data").url
    with ipcamera.Camera(url, connect_type=1) as cam:
        assert cam.audio(timeout=0.2) is None, "audio is off unless asked for"
        payloads = []
        end = time.monotonic() + 5
        while len(payloads) < 5 and time.monotonic() < end:
            p = cam.data(timeout=1.0)
            if p is not None:
                payloads.append(p)
        read_first(cam)
    assert len(payloads) == 5
    counters = []
    for p in payloads:
        # One KLV unit: 16-byte key, length 12, "IPCD" and a big-endian counter.
        assert isinstance(p, bytes) and len(p) == 29
        assert p[:16] == KLV_KEY and p[16] == 12 and p[17:21] == b"IPCD"
        counters.append(int.from_bytes(p[21:], "big"))
    assert counters == list(range(counters[0], counters[0] + 5))
