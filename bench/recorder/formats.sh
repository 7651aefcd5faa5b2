#!/usr/bin/env bash
# The two containers against each other: the same content recorded by our
# engine to .wmv (wmv2 + ASF) and to .mp4 (H.264 + MP4), runs alternated,
# at the high profile (1920x1080, 30 fps, 8 Mbit/s ceiling), no audio.
#
#   slide:  a still, detailed picture (lines of small text on white, drawn
#           with ffmpeg's drawtext, shown full screen by ffplay) - what most
#           screen recordings of courseware show. Its quality is measured
#           exactly: a lossless grab of the screen (x11grab, one frame) is the
#           reference, and every decoded frame of each recording is compared
#           with it (SSIM and PSNR on the luma of the picture a player
#           shows every 1/30 s, both sides converted to yuv420p alike;
#           bench/recorder/slide.sh).
#   moving: vardel_pattern (a moving square and a clock, redrawn every ms):
#           CPU and size under constant change. No exact reference exists
#           for it (the picture depends on the moment it was read), so its
#           quality is not scored.
# Per format: CPU seconds per recorded second (user + system of the whole
# process), file size per recorded second, and for the slide SSIM/PSNR.
# Then the MP4's finishing step (fragmented -> regular, index first) is timed
# on 10-minute files: the moving pattern's own MP4 looped, and a worst case
# at the profile's full 8 Mbit/s.
#
#   bench/recorder/formats.sh [BUILD_DIR]       (default build/ci)
#   RUNS=3 SECONDS_EACH=5 bench/recorder/formats.sh build/mp4
#
# Needs: cmake --build BUILD_DIR --target vardel_record vardel_pattern vardel_mp4_finish
# Runs inside scripts/test-session.sh unless DISPLAY is already set.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
tools="$build/tools"
for t in vardel_record vardel_pattern vardel_mp4_finish; do
  [ -x "$tools/$t" ] || { echo "missing $tools/$t: build it first" >&2; exit 1; }
done
if [ -z "${DISPLAY:-}" ]; then exec "$root/scripts/test-session.sh" "$0" "$build"; fi

runs=${RUNS:-3}
secs=${SECONDS_EACH:-5}
profile="屏幕视频 - 高(CBR)"
work=$(mktemp -d /tmp/vardel-formats.XXXXXX)
source "$root/bench/recorder/slide.sh"
shown_pid=
cleanup() {
  stop_slide
  [ -n "$shown_pid" ] && kill "$shown_pid" 2>/dev/null && wait "$shown_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

stop_shown() {
  if [ -n "$shown_pid" ]; then kill "$shown_pid" 2>/dev/null || true; wait "$shown_pid" 2>/dev/null || true; fi
  shown_pid=
}

# record CONTENT EXT: one recording; appends "content ext cpu_per_s bytes_per_s ssim psnr".
record() {
  local content=$1 ext=$2 out="$work/$1.$2" ssim=-1 psnr=-1
  rm -f "$out"
  /usr/bin/time -f "%U %S" -o "$work/time" \
    "$tools/vardel_record" --out "$out" --seconds "$secs" --profile "$profile" >/dev/null
  read -r user sys < <(tail -n 1 "$work/time")
  local bytes
  bytes=$(stat -c %s "$out")
  if [ "$content" = slide ]; then
    read -r _ psnr ssim < <(slide_quality "$out" "$work/reference.png")
  fi
  awk -v c="$content" -v e="$ext" -v u="$user" -v s="$sys" -v b="$bytes" -v d="$secs" -v q="$ssim" -v p="$psnr" \
    'BEGIN { printf "%s %s %.4f %.0f %s %s\n", c, e, (u + s) / d, b / d, q, p }' >>"$work/results"
}

alternate() {  # alternate CONTENT
  for i in $(seq "$runs"); do
    if [ $((i % 2)) = 1 ]; then order="wmv mp4"; else order="mp4 wmv"; fi
    for ext in $order; do record "$1" "$ext"; done
  done
}

# The slide: text on white, shown full screen; the reference grabbed losslessly.
make_slide "$work"
show_slide "$work/slide.png"
grab_reference "$work/reference.png"
alternate slide
stop_slide

"$tools/vardel_pattern" --interval-ms 1 >"$work/pattern.out" &
shown_pid=$!
for _ in $(seq 100); do grep -q ready "$work/pattern.out" && break; sleep 0.1; done
alternate moving
# A 10 s MP4 of the pattern, kept for the finishing measurement.
"$tools/vardel_record" --out "$work/pattern10.mp4" --seconds 10 --profile "$profile" >/dev/null
stop_shown

echo "Formats: $runs runs of ${secs} s each per format and content, 1920x1080 at 30 fps, alternated (means)"
awk '
  { k = $1 " " $2; n[k]++; cpu[k] += $3; bps[k] += $4; ss[k] += $5; ps[k] += $6 }
  END {
    split("slide moving", contents, " ")
    for (c = 1; c <= 2; c++) {
      f = contents[c]; w = f " wmv"; m = f " mp4"
      printf "\n%-20s %12s %12s %8s\n", f, "wmv", "mp4", "mp4/wmv"
      printf "%-20s %12.3f %12.3f %8.2f\n", "CPU s / rec. s", cpu[w] / n[w], cpu[m] / n[m], (cpu[m] / n[m]) / (cpu[w] / n[w])
      printf "%-20s %12.1f %12.1f %8.3f\n", "kbit / rec. s", bps[w] / n[w] * 8 / 1000, bps[m] / n[m] * 8 / 1000, bps[m] / bps[w]
      if (f == "slide") {
        printf "%-20s %12.4f %12.4f\n", "SSIM Y vs screen", ss[w] / n[w], ss[m] / n[m]
        printf "%-20s %12.2f %12.2f\n", "PSNR Y dB vs screen", ps[w] / n[w], ps[m] / n[m]
      }
    }
  }
' "$work/results"

# Finishing: 10-minute fragmented files, fragmented as the recorder writes them.
fragment() {  # fragment IN OUT: IN looped to 10 minutes
  local loops
  loops=$(awk -v d="$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1")" 'BEGIN { print int(600 / d + 0.999) - 1 }')
  ffmpeg -nostdin -v error -y -stream_loop "$loops" -i "$1" -t 600 -c copy \
    -movflags +frag_keyframe+empty_moov+default_base_moof+skip_trailer -frag_duration 500000 "$2"
}
finish() {  # finish LABEL FILE
  local packets bytes ms
  packets=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$2" | paste -sd+ | bc)
  sync
  "$tools/vardel_mp4_finish" "$2" "$packets" >"$work/finish"
  ms=$(sed -n 's/^finish_ms=//p' "$work/finish")
  bytes=$(sed -n 's/^bytes=//p' "$work/finish")
  head -c 16 "$2" | od -An -c | tr -d ' \n' | grep -q 'ftyp' || { echo "finishing left no MP4" >&2; exit 1; }
  awk -v l="$1" -v m="$ms" -v b="$bytes" -v p="$packets" \
    'BEGIN { printf "%-34s %8.0f MB %8d packets %8.0f ms (%.0f ms per recorded minute)\n", l, b / 1e6, p, m, m / 10 }'
}
echo
echo "Finishing step (fragmented -> regular MP4, index first), 10-minute recordings:"
fragment "$work/pattern10.mp4" "$work/long-pattern.mp4"
finish "moving pattern (as recorded)" "$work/long-pattern.mp4"
ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1920x1080:r=30 -t 10 -c:v libx264 -preset ultrafast \
  -b:v 8M -minrate 8M -maxrate 8M -bufsize 8M -g 60 "$work/full-rate.mp4"
fragment "$work/full-rate.mp4" "$work/long-full.mp4"
rm -f "$work/long-pattern.mp4"
finish "8 Mbit/s throughout (the ceiling)" "$work/long-full.mp4"
