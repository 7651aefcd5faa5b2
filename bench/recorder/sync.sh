#!/usr/bin/env bash
# Lip-sync benchmark: how far the sound lies from the picture in a recording,
# ours (vardel_record, high profile) against the ffmpeg command-line tool
# doing the same job (x11grab + pulse -> wmv2/wmav2 in ASF, 30 fps,
# 8 Mbit/s), on the same Xvfb display and PulseAudio null sink. The screen is
# busy (vardel_pattern); vardel_sync_source plays a tone with a click about
# every second into the null sink, whose monitor both record, and turns a
# square white the moment each click is heard. Runs alternate, RUNS of each,
# SECONDS long. Prints per tool the offset of each click from the first
# picture showing its flash (sound minus picture, ms: min / median / max;
# the picture comes up to one frame, 33 ms, after the flash, so a perfect
# recording reads -33..0), and the stretches of 6 ms or more without sound
# between the first picture and the last.
#
# Where the sound server is PipeWire (inside scripts/wayland-session.sh
# --x11) ours runs twice: through PipeWire's own stream ("ours") and through
# its pulse server ("ours-pulse", the path taken when PipeWire's socket
# cannot be reached: PIPEWIRE_REMOTE names none). DELAYED=1 puts a
# `pw-loopback --delay 0.2` in front of the null sink as the default sink (a
# device that delays the sound, as a Bluetooth headset does); a click is
# then heard when the null sink plays it.
#
#   bench/recorder/sync.sh [BUILD_DIR]              (default build/ci)
#   RUNS=3 SECONDS_EACH=60 bench/recorder/sync.sh
#   scripts/wayland-session.sh --x11 env RUNS=3 DELAYED=1 bench/recorder/sync.sh build/ci
#
# Needs the tools built: cmake --build BUILD_DIR --target vardel_record
#   vardel_pattern vardel_sync_source vardel_sync_probe
# Runs inside scripts/test-session.sh unless DISPLAY is already set.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
tools="$build/tools"
for t in vardel_record vardel_pattern vardel_sync_source vardel_sync_probe; do
  [ -x "$tools/$t" ] || { echo "missing $tools/$t: build it first" >&2; exit 1; }
done
if [ -z "${DISPLAY:-}" ]; then exec "$root/scripts/test-session.sh" "$0" "$build"; fi

runs=${RUNS:-1}
secs=${SECONDS_EACH:-60}
work=$(mktemp -d /tmp/vardel-sync-bench.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

tools_run="ours ffmpeg"
heard=()
if LC_ALL=C pactl info | grep -q 'Server Name: .*PipeWire'; then
  tools_run="ours ours-pulse ffmpeg"
  if [ "${DELAYED:-0}" = 1 ]; then
    pw-loopback --delay 0.2 --capture-props="media.class=Audio/Sink node.name=vardel_delay" -P vardel_null \
      >"$work/loopback.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do pactl list short sinks | grep -q vardel_delay && break; sleep 0.1; done
    pactl set-default-sink vardel_delay
    pactl set-default-source vardel_delay.monitor
    heard=(--heard-at vardel_null)
  fi
fi
n_tools=$(echo $tools_run | wc -w)

"$tools/vardel_pattern" --interval-ms 20 >"$work/pattern.out" &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/pattern.out" && break; sleep 0.1; done
"$tools/vardel_sync_source" --play --flash 1600,700,200 --latency-ms 300 "${heard[@]}" \
  $(((secs + 30) * runs * n_tools + 60)) >"$work/player.out" &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/player.out" && break; sleep 0.1; done
sleep 2  # the null sink's monitor carries the sound a moment after the player starts

field() { sed -n "s/^$1=//p" "$2"; }

record() {  # record TOOL RUN
  local tool=$1 out="$work/$1-$2.wmv"
  if [ "$tool" = ours ]; then
    "$tools/vardel_record" --out "$out" --audio --profile "屏幕视频/音频 - 高(CBR)" --seconds "$secs" >/dev/null
  elif [ "$tool" = ours-pulse ]; then
    PIPEWIRE_REMOTE=vardel-unreachable "$tools/vardel_record" --out "$out" --audio \
      --profile "屏幕视频/音频 - 高(CBR)" --seconds "$secs" --figures >"$work/figures"
    grep -qx 'audio_input=PulseAudio' "$work/figures" || { echo "ours-pulse did not record through the pulse server" >&2; exit 1; }
  else
    ffmpeg -nostdin -v error -y -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" \
      -f pulse -i default -t "$secs" -c:v wmv2 -b:v 8000000 -g 60 -bf 0 \
      -c:a wmav2 -b:a 128000 -ar 48000 -ac 2 -f asf "$out"
  fi
  "$tools/vardel_sync_probe" "$out" >"$work/probe"
  printf '%s %s %s %s %s %s\n' "$tool" "$(field offset_ms "$work/probe" | tr / ' ')" \
    "$(field holes "$work/probe")" "$(field longest_hole_ms "$work/probe")" "$(field paired "$work/probe")" \
    >>"$work/results"
  rm -f "$out"
}

# Each run turns the order one place on, so no tool always goes first.
for i in $(seq "$runs"); do
  set -- $tools_run
  for _ in $(seq $(((i - 1) % n_tools))); do set -- "${@:2}" "$1"; done
  for tool in "$@"; do record "$tool" "$i"; done
done

echo "Lip sync: $runs run(s) of $secs s each, 1920x1080 busy screen, 30 fps, 48 kHz; a click a second"
echo "sound minus picture, ms (a perfect recording reads -33..0: the picture comes up to a frame after the flash)"
printf '%-10s %8s %8s %8s %8s %12s %8s\n' tool min median max holes longest_ms clicks
awk '{ printf "%-10s %8.1f %8.1f %8.1f %8d %12.1f %8d\n", $1, $2, $3, $4, $5, $6, $7 }' "$work/results"
