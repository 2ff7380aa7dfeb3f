#!/usr/bin/env bash
# Writes small x265 P and B streams (8 and 10 bits) into $1, so the fuzzer
# starts from inter slice data, and a scrolling wavefront stream of 16x16
# CTBs whose first rows predict from the last rows of the picture before
# (which a worker may still be filtering). Skips quietly without x265 or
# ffmpeg.
set -u
out=$1
command -v x265 > /dev/null && command -v ffmpeg > /dev/null || exit 0
mkdir -p "$out"
while IFS=: read -r name fmt opts; do
  [ -s "$out/inter_$name.hevc" ] && continue
  ffmpeg -v error -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v 8 -pix_fmt "$fmt" -strict -1 \
      -f yuv4mpegpipe - < /dev/null 2> /dev/null |
    x265 --log-level error --y4m --input - --preset fast --no-info --keyint 8 $opts \
      --output "$out/inter_$name.hevc" > /dev/null 2>&1 || rm -f "$out/inter_$name.hevc"
done << 'LIST'
p8:yuv420p:--bframes 0 --ref 1
b8:yuv420p:--bframes 3 --ref 3 --b-adapt 0
p10:yuv420p10le:--bframes 0 --ref 2 --weightp --output-depth 10
b10:yuv420p10le:--bframes 2 --ref 2 --amp --rect --output-depth 10
LIST
if [ ! -s "$out/inter_p8_ctu16_scroll.hevc" ]; then
  ffmpeg -v error -f lavfi -i testsrc2=size=96x64:rate=25 -frames:v 5 -vf scroll=vertical=0.3 -pix_fmt yuv420p \
      -f yuv4mpegpipe - < /dev/null 2> /dev/null |
    x265 --log-level error --y4m --input - --preset fast --no-info --bframes 0 --ctu 16 --qp 45 \
      --output "$out/inter_p8_ctu16_scroll.hevc" > /dev/null 2>&1 || rm -f "$out/inter_p8_ctu16_scroll.hevc"
fi
