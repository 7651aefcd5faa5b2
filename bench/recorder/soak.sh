#!/usr/bin/env bash
# Soak: one long recording at 1920x1080, high profile with audio, of the
# moving pattern (vardel_pattern) and of a sound card fed by
# tools/drift_source.py (a click every second of the steady clock), to show
# that nothing grows and nothing drifts over a lesson's length. Prints the
# recorder's resident memory every 10 s, then: memory growth after the first
# minute, CPU seconds per recorded second, frames dropped, the drift of the
# clicks between the first and the last minute, and the file's duration
# against the recording's, and whether a seek to the last minute lands there.
#
#   bench/recorder/soak.sh [--minutes N] [--card-speed S] [BUILD_DIR]
#     --minutes N      length (default 10; 60 for an hour)
#     --card-speed S   the sound card's speed (default 1.0001: 100 ppm fast)
#
# Baseline: the recording's own first minute (memory) and the steady clock
# (clicks). Runs inside scripts/test-session.sh unless DISPLAY is set.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
minutes=10 speed=1.0001 build=$root/build/ci
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes=$2; shift 2 ;;
    --card-speed) speed=$2; shift 2 ;;
    *) build=$1; shift ;;
  esac
done
build=$(cd "$build" && pwd)
tools="$build/components/encoder"
for t in vardel_record vardel_pattern; do
  [ -x "$tools/$t" ] || { echo "missing $tools/$t: build it first" >&2; exit 1; }
done
if [ -z "${DISPLAY:-}" ]; then
  exec "$root/scripts/test-session.sh" "$0" --minutes "$minutes" --card-speed "$speed" "$build"
fi

work=$(mktemp -d /tmp/vardel-soak.XXXXXX)
pids=() module=
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "$module" ] && pactl unload-module "$module" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

seconds=$((minutes * 60))
"$tools/vardel_pattern" --interval-ms 33 >"$work/pattern.out" &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/pattern.out" && break; sleep 0.1; done
module=$(pactl load-module module-pipe-source source_name=vardel_soak file="$work/card.fifo" \
         format=s16le rate=48000 channels=2)
python3 "$root/components/encoder/tools/drift_source.py" "$work/card.fifo" "$speed" $((seconds + 30)) &
pids+=($!)

PULSE_SOURCE=vardel_soak /usr/bin/time -f "%U %S %M" -o "$work/time" \
  "$tools/vardel_record" --out "$work/soak.wmv" --audio --profile "屏幕视频/音频 - 高(CBR)" \
  --seconds "$seconds" --figures >"$work/figures" 2>"$work/stderr" &
timer=$!
sleep 1
rec=$(pgrep -P "$timer" vardel_record)
echo "Soak: $minutes min at 1920x1080, 30 fps, 8 Mbit/s, audio 48 kHz stereo; card $speed x real time"
echo "t_s rss_mb"
t=0
while kill -0 "$rec" 2>/dev/null; do
  rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$rec/status" 2>/dev/null || true)
  [ -n "$rss" ] && { echo "$t $(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')"; echo "$t $rss" >>"$work/rss"; }
  sleep 10
  t=$((t + 10))
done
wait "$timer" || { echo "the recording failed:" >&2; cat "$work/stderr" >&2; exit 1; }

field() { sed -n "s/^$1=//p" "$work/figures"; }
read -r user sys _ < "$work/time"
duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/soak.wmv")
ffmpeg -nostdin -v error -y -i "$work/soak.wmv" -map 0:a -ac 1 -ar 48000 -f s16le "$work/audio.raw"
# The clicks: onsets after half a second of quiet; drift = change of (time - index) from the first
# minute to the last.
drift=$(python3 - "$work/audio.raw" <<'PY'
import struct, sys, statistics
data = open(sys.argv[1], 'rb').read()
v = struct.unpack('<%dh' % (len(data) // 2), data)
clicks, last = [], -48000
for i, x in enumerate(v):
    if abs(x) < 4000: continue
    if i - last > 24000: clicks.append(i / 48000)
    last = i
if len(clicks) < 120: print('n/a'); sys.exit()
off = [c - j for j, c in enumerate(clicks)]
print('%.1f' % (1000 * (statistics.median(off[-60:]) - statistics.median(off[10:70]))))
PY
)
seek_at=$((seconds - 30))
seek=$(ffprobe -v error -read_intervals "${seek_at}%+1" -select_streams v -show_entries packet=pts_time \
       -of csv=p=0 "$work/soak.wmv" | sed -n 1p)
awk -v u="$user" -v s="$sys" -v sec="$seconds" -v d="$duration" -v dropped="$(field frames_dropped)" \
    -v captured="$(field frames_captured)" -v drift="$drift" -v seek="$seek" -v at="$seek_at" '
  BEGIN {
    printf "\nCPU s / recorded s   %.3f\n", (u + s) / sec
    printf "frames sent/dropped  %d / %d\n", captured, dropped
    printf "duration (header)    %.3f s for %d s recorded\n", d, sec
    printf "click drift          %s ms (last minute against the first)\n", drift
    printf "seek to %d s         first picture at %s s\n", at, seek
  }'
awk 'NR == 1 { next } $1 >= 60 { if (!n++ || $2 < lo) lo = $2; if ($2 > hi) hi = $2 }
     END { printf "RSS after 1 min      %.1f .. %.1f MB (growth %.1f MB)\n", lo / 1024, hi / 1024, (hi - lo) / 1024 }' \
  "$work/rss"
