#!/usr/bin/env bash
# The demo: on a fresh Debian 12 machine installs what is needed, builds the
# library and its tools, generates a test clip, serves it from the RTSP test
# camera on 127.0.0.1 and plays it for ten seconds through the library with
# ipcam-play, writing a snapshot and a five-second recording on the way.
# Everything it starts is stopped again when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
BUILD=${BUILD_DIR:-build}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target ipcam-play ipcam-test-rtsp

OUT="$BUILD/demo"
mkdir -p "$OUT"
rm -f "$OUT"/recording*.avi "$OUT/snapshot.jpg"
CLIP="$OUT/clip.mp4"
[ -s "$CLIP" ] || bash tests/tools/make_test_clip.sh "$CLIP" --video h264 --audio aac \
  --seconds 15 --size 640x480 --gop 25 --no-counter
echo "demo: test clip $CLIP (H.264 640x480, AAC sine, red marker top left)"

"$BUILD/tests/tools/rtsp_camera/ipcam-test-rtsp" --file "$CLIP" --audio aac --data \
  >"$OUT/camera.out" 2>"$OUT/camera.log" &
CAMERA_PID=$!
trap 'kill "$CAMERA_PID" 2>/dev/null || true; wait "$CAMERA_PID" 2>/dev/null || true' EXIT
URL=""
for _ in $(seq 50); do
  URL=$(sed -n 's/^ipcam-test-rtsp: ready //p' "$OUT/camera.out")
  [ -n "$URL" ] && break
  kill -0 "$CAMERA_PID" 2>/dev/null || break
  sleep 0.2
done
if [ -z "$URL" ]; then
  echo "demo: the RTSP test camera did not start; see $OUT/camera.log" >&2
  exit 1
fi
echo "demo: test camera serving $URL (H.264 + AAC + KLV data)"
echo "demo: playing it for ten seconds; the library's own log lines go to $OUT/library.log"

status=0
"$BUILD/tools/ipcam-play/ipcam-play" --duration 10 --snapshot "$OUT/snapshot.jpg" \
  --record "$OUT/recording.avi" --record-seconds 5 "$URL" 2>"$OUT/library.log" || status=$?
echo "demo: snapshot  $OUT/snapshot.jpg"
ls "$OUT"/recording_*.avi 2>/dev/null | sed 's/^/demo: recording /' || true
exit "$status"
