#!/usr/bin/env bash
# Writes a short test clip with the ffmpeg command-line tool: the testsrc2
# pattern with two solid markers drawn on it and a sine tone.
#
#   make_test_clip.sh OUT [--video h264|h265|mpeg4|mjpeg] [--audio aac|mulaw|alaw|none]
#                         [--seconds N] [--size WxH] [--fps N] [--rate HZ] [--gop N]
#                         [--no-counter] [--static] [--params X264_OR_X265_PARAMS]
#                         [--pixfmt yuv420p|yuv422p|yuv420p10le|...]
#
# Markers (tests and benchmarks rely on them):
#   red   box at x = W/16, y = H/16, size W/8 x H/8 (top left of the picture)
#   blue  box at x = W - W/16 - W/8, y = H - H/16 - H/8 (bottom right)
#   frame counter (unless --no-counter; it is slow to draw): grey box at
#         x = W/16, y = H - H/16 - H/8 (bottom left), size W/8 x H/8,
#         luma 16 + 4 * (frame number mod 50), chroma 128
# so a picture shown upside down or with swapped colour channels is easy to
# tell apart. --static draws them on plain grey instead of the moving
# pattern (with --no-counter the pictures after the first cost a few bytes). The container follows OUT's extension (mp4, mkv, avi, ts).
set -euo pipefail

if [ $# -lt 1 ]; then
  sed -n '2,18p' "$0" >&2
  exit 2
fi
out=$1; shift
video=h264 audio=aac seconds=4 size=320x240 fps=25 rate=16000 gop=25 counter=1 src=testsrc2= params= pixfmt=yuv420p
while [ $# -gt 0 ]; do
  case "$1" in
    --video) video=$2; shift 2 ;;
    --audio) audio=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --fps) fps=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --gop) gop=$2; shift 2 ;;
    --no-counter) counter=0; shift ;;
    --static) src=color=c=gray:; shift ;;
    --params) params=$2; shift 2 ;;
    --pixfmt) pixfmt=$2; shift 2 ;;
    *) echo "make_test_clip.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
w=${size%x*} h=${size#*x}
mx=$((w / 16)) my=$((h / 16)) mw=$((w / 8)) mh=$((h / 8))
bx=$((w - mx - mw)) by=$((h - my - mh))
draw="drawbox=x=$mx:y=$my:w=$mw:h=$mh:color=0xFF0000@1:t=fill"
draw="$draw,drawbox=x=$bx:y=$by:w=$mw:h=$mh:color=0x0000FF@1:t=fill,format=yuv420p"
# The counter box, in each plane's own coordinates (X, Y, W, H are per plane).
box="between(X,W/16,W/16+W/8-1)*between(Y,H-H/16-H/8,H-H/16-1)"
[ "$counter" = 0 ] || draw="$draw,geq=lum='if($box,16+4*mod(N,50),lum(X,Y))':cb='if($box,128,cb(X,Y))':cr='if($box,128,cr(X,Y))'"

case "$video" in
  h264) vopts=(-c:v libx264 -preset ultrafast -tune zerolatency -bf 0 -x264-params "$params")
        [ "$pixfmt" != yuv420p ] || vopts+=(-profile:v main) ;;
  h265) vopts=(-c:v libx265 -preset ultrafast -tune zerolatency -x265-params "log-level=error:bframes=0${params:+:$params}") ;;
  mpeg4) vopts=(-c:v mpeg4 -q:v 3 -bf 0) ;;
  mjpeg) vopts=(-c:v mjpeg -q:v 3) ;;
  *) echo "make_test_clip.sh: unknown video codec $video" >&2; exit 2 ;;
esac
vopts+=(-g "$gop" -pix_fmt "$pixfmt")
case "$audio" in
  none) aopts=(-an) ;;
  aac) aopts=(-c:a aac -b:a 48k) ;;
  mulaw) aopts=(-c:a pcm_mulaw) ;;
  alaw) aopts=(-c:a pcm_alaw) ;;
  *) echo "make_test_clip.sh: unknown audio codec $audio" >&2; exit 2 ;;
esac
ain=()
[ "$audio" = none ] || ain=(-f lavfi -i "sine=frequency=440:sample_rate=$rate:duration=$seconds")

ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i "${src}size=$size:rate=$fps:duration=$seconds,$draw" \
  "${ain[@]}" "${vopts[@]}" "${aopts[@]}" -ac 1 "$out"
