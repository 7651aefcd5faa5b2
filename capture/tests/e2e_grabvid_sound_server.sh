#!/usr/bin/env bash
# End to end: a recording with sound survives the sound server restarting.
# The real Grabvid on the X server, window manager and PulseAudio of
# scripts/test-session.sh, whose VARDEL_TEST_PULSE_RESTART stops the server
# and starts it again.
#
# On screen a busy pattern and a square that flashes at every click of the
# sound. "高质量" (30 fps, 48 kHz), "Capture Audio", start; half-way between
# two clicks, about 3 s in, PulseAudio is stopped, 1 s later started again
# with the same null sink as the default input; Grabvid records from it
# again within 1.5 s (it tries every half second); then a new player plays
# clicks with flashes; about 5 s later the window is restored (the stop),
# then exit. Once into OutputFile.wmv (the default),
# once into an .mp4 typed into the output box. Grabvid ends with status 0
# and shows no message. The file:
#   - lasts the recording (from its first moment, told by the sound, to the
#     restore) within 0.2 s, pictures and sound;
#   - has the tone before and after, with one hole only: from where the
#     server was stopped to where the new player's sound began (its first
#     sample, a second before its first click), each within 0.1 s;
#   - every click the players played is in it, with its flash within
#     -45..+60 ms (a frame more for the picture), before the stop and after
#     the return.
#
#   e2e_grabvid_sound_server.sh PATH/TO/Grabvid PATH/TO/vardel_pattern PATH/TO/vardel_sync_source PATH/TO/vardel_sync_probe
set -euo pipefail

[ $# = 4 ] || { echo "usage: $0 GRABVID PATTERN SYNC_SOURCE SYNC_PROBE" >&2; exit 2; }
grabvid=$1 pattern=$2 player=$3 probe=$4
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/e2e-lib.sh"

[ -n "${DISPLAY:-}" ] || fail "no DISPLAY; run inside scripts/test-session.sh"
[ -n "${PULSE_SERVER:-}" ] || fail "no PULSE_SERVER; run inside scripts/test-session.sh"
[ -x "${VARDEL_TEST_PULSE_RESTART:-}" ] || fail "no VARDEL_TEST_PULSE_RESTART; run inside scripts/test-session.sh"
for tool in xdotool wmctrl xclip xprop xwininfo xsetroot parec pactl ffprobe ffmpeg python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing"
done
source "$here/grabvid-driver.sh"

work=$(mktemp -d /tmp/grabvid-sound-e2e.XXXXXX)
cleanup() {
  stop_pids
  # A server left stopped by a failure is started again for the next test.
  pactl info >/dev/null 2>&1 || "$VARDEL_TEST_PULSE_RESTART" start || true
  rm -rf "$work"
}
trap cleanup EXIT

# recording_stream: Grabvid records from the sound server (the server lists
# a record stream of its process).
recording_stream() {
  LC_ALL=C pactl list source-outputs 2>/dev/null | grep -q "application.process.id = \"$pid\""
}

# record NAME [OUTPUT]: one recording through a restart of the server, into
# OUTPUT (typed into the output box) or the default file; then its checks.
record() {
  local name=$1 out=${2:-$work/$1/OutputFile.wmv}
  start_sound "$name-before"
  local before_pid=$player_pid before_listener=$listener_pid
  launch "$name"
  [ -z "${2:-}" ] || type_output "$out"
  high_quality
  chk_audio
  start_recording "$name" "$work/$name-before.log"
  poll 10 recording_stream || problem "$name: the sound server lists no record stream of Grabvid"

  # The server goes, and a second later comes back. The player and the
  # listener lose it too: the listener ends, the player may wait for an
  # answer for ever; whichever still runs half a second later is killed.
  local killed_at restarted_at p
  killed_at=$(between_clicks "$work/$name-before.log" "$(awk -v t="$started_at" 'BEGIN { print t + 2.5 }')")
  "$VARDEL_TEST_PULSE_RESTART" stop
  sleep_until "$(awk -v t="$killed_at" 'BEGIN { printf "%.6f", t + 0.5 }')" >/dev/null
  for p in "$before_pid" "$before_listener"; do
    kill -KILL "$p" 2>/dev/null && echo "e2e: $name: process $p still ran without its sound server" >&2
    wait "$p" 2>/dev/null || true
  done
  restarted_at=$(sleep_until "$(awk -v t="$killed_at" 'BEGIN { printf "%.6f", t + 1.0 }')")
  "$VARDEL_TEST_PULSE_RESTART" start
  # It answers: Grabvid tries again every half second. Clicks are played
  # only once it records again, so that its file can have them from the
  # first.
  local back_at again
  back_at=$(monotonic)
  if poll 5 recording_stream; then
    again=$(awk -v a="$(monotonic)" -v b="$back_at" 'BEGIN { printf "%.3f", a - b }')
    echo "e2e: $name: Grabvid records again, seen $again s after the server answered"
    awk -v a="$again" 'BEGIN { exit !(a <= 1.5) }' ||
      problem "$name: Grabvid recorded from the sound server again only $again s after it answered"
  else
    problem "$name: Grabvid did not record from the sound server again within 5 s"
  fi
  start_sound "$name-after"
  between_clicks "$work/$name-after.log" "$(awk -v t="$restarted_at" 'BEGIN { print t + 4.5 }')" >/dev/null
  restore_window
  stop_and_exit "$name"
  end_process "$player_pid"
  end_process "$listener_pid"

  if [ ! -s "$out" ]; then
    problem "$name: $out was not written"
    return
  fi
  write_facts "$work/$name.facts" killed_at restarted_at
  echo "e2e: --- $name: $(basename "$out")"
  python3 "$here/recording_check.py" sound-server "$out" "$probe" "$work/$name.facts" \
    "$work/$name-before.log" "$work/$name-after.log" ||
    problem "$name: the recording is not what the user recorded (above)"
}

# The pattern shows the wall clock; the players log the steady one.
real_minus_mono=$(python3 -c 'import time; print(time.time() - time.monotonic())')
start_busy_screen
record wmv
record mp4 "$work/mp4/课堂录像.mp4"
finish
