#!/usr/bin/env bash
# Soak: one long recording at 1920x1080, high profile with audio, of the
# moving pattern (vardel_pattern) and of a sound card with a clock of its own
# (vardel_sync_source feeding PulseAudio's pipe source: a click at every
# second of the steady clock, and a square of the screen flashing white at
# that moment), to show that nothing grows and nothing drifts over a
# lesson's length. Prints the recorder's resident memory every 10 s, then:
# memory growth after the first minute, CPU seconds per recorded second,
# frames dropped, the offset of the clicks from their flashes in the first
# and in the last minute (vardel_sync_probe: sound minus the first picture
# showing the flash, ms, min / median / max; the picture comes up to a frame
# after the flash), gaps in the sound, the file's duration against the
# recording's, and whether a seek to the last minute lands there.
#
#   bench/recorder/soak.sh [--minutes N] [--card-speed S] [BUILD_DIR]
#     --minutes N      length (default 10; 60 for an hour)
#     --card-speed S   the sound card's speed (default 1.0001: 100 ppm fast)
#
# Baseline: the recording's own first minute (memory, offset). Runs inside
# scripts/test-session.sh unless DISPLAY is set.
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
tools="$build/tools"
for t in vardel_record vardel_pattern vardel_sync_source vardel_sync_probe; do
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
# A reader keeps the pipe source running before the recording, as a card runs.
parec --device=vardel_soak --raw >/dev/null &
pids+=($!)
"$tools/vardel_sync_source" --fifo "$work/card.fifo" --speed "$speed" --flash 1600,700,200 $((seconds + 60)) \
  >"$work/card.out" &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/card.out" && break; sleep 0.1; done
sleep 1

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
# The pictures' span: FFmpeg's format duration adds the first picture's
# start (the sound's lead-in) to the file's play duration.
duration=$(ffprobe -v error -select_streams v -show_entries format=duration:stream=start_time -of csv=p=0 \
           "$work/soak.wmv" | paste -sd' ' | awk '{ print $2 - $1 }')
# The clicks against their flashes, in the first and the last minute.
"$tools/vardel_sync_probe" "$work/soak.wmv" >"$work/sync"
seek_at=$((seconds - 30))
seek=$(ffprobe -v error -read_intervals "${seek_at}%+1" -select_streams v -show_entries packet=pts_time \
       -of csv=p=0 "$work/soak.wmv" | sed -n 1p)
awk -v u="$user" -v s="$sys" -v sec="$seconds" -v d="$duration" -v dropped="$(field frames_dropped)" \
    -v captured="$(field frames_captured)" -v seek="$seek" -v at="$seek_at" \
    -v first="$(sed -n 's/^first_minute_ms=//p' "$work/sync")" -v last="$(sed -n 's/^last_minute_ms=//p' "$work/sync")" \
    -v holes="$(sed -n 's/^holes=//p' "$work/sync")" -v silence="$(field audio_silence)" '
  BEGIN {
    printf "\nCPU s / recorded s   %.3f\n", (u + s) / sec
    printf "frames sent/dropped  %d / %d\n", captured, dropped
    printf "duration (pictures)  %.3f s for %d s recorded\n", d, sec
    printf "sound - picture ms   first minute %s, last minute %s (min/median/max)\n", first, last
    printf "gaps in the sound    %s of 6 ms or more; silence put in: %s samples\n", holes, silence
    printf "seek to %d s         first picture at %s s\n", at, seek
  }'
awk 'NR == 1 { next } $1 >= 60 { if (!n++ || $2 < lo) lo = $2; if ($2 > hi) hi = $2 }
     END { printf "RSS after 1 min      %.1f .. %.1f MB (growth %.1f MB)\n", lo / 1024, hi / 1024, (hi - lo) / 1024 }' \
  "$work/rss"
