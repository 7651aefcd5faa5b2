#!/usr/bin/env bash
# End to end: a recording survives the screen changing size under it. The
# real Grabvid on the private Xorg of scripts/xorg-session.sh (re-entered
# here when DISPLAY is not such a server), with the PulseAudio of
# scripts/test-session.sh.
#
# On screen a busy pattern and a square that flashes at every click of the
# sound. "高质量" (30 fps, 48 kHz), "Capture Audio", start; half-way between
# two clicks, about 3 s in, the screen goes to 1280x720 (xrandr -s), about
# 3 s later back to 1920x1080; 3 s later the window is restored (the stop),
# then exit. Grabvid ends with status 0 and shows no message. The file:
#   - lasts the recording (from its first moment, told by the sound, to the
#     restore) within 0.2 s, at 1920x1080 throughout;
#   - has a picture in every frame slot after the first second, but for one
#     slot at most at each change;
#   - shows the 1280x720 screen 1:1 in the middle, black around it, and the
#     1920x1080 one 1:1 before and after;
#   - every click the player played is in it, with its flash within
#     -45..+60 ms (a frame more for the picture), the square's place in the
#     file being (1000,500) or, centred, (1320,680);
#   - the tone never drops out (a hole right at a change is let pass).
#
#   e2e_grabvid_resize.sh PATH/TO/Grabvid PATH/TO/vardel_pattern PATH/TO/vardel_sync_source PATH/TO/vardel_sync_probe
set -euo pipefail

[ $# = 4 ] || { echo "usage: $0 GRABVID PATTERN SYNC_SOURCE SYNC_PROBE" >&2; exit 2; }
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
grabvid=$(absolute "$1") pattern=$(absolute "$2") player=$(absolute "$3") probe=$(absolute "$4")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/e2e-lib.sh"

# The dummy driver's output is the one that can change size here.
if ! { [ -n "${DISPLAY:-}" ] && xrandr --query 2>/dev/null | grep -q '^DUMMY0 connected'; }; then
  exec "$here/../../scripts/xorg-session.sh" "$here/$(basename "$0")" "$grabvid" "$pattern" "$player" "$probe"
fi
[ -n "${PULSE_SERVER:-}" ] || fail "no PULSE_SERVER; run inside scripts/test-session.sh"
for tool in xdotool wmctrl xclip xprop xwininfo xrandr xsetroot parec ffprobe ffmpeg python3; do
  command -v "$tool" >/dev/null || fail "$tool is missing"
done
source "$here/grabvid-driver.sh"

work=$(mktemp -d /tmp/grabvid-resize-e2e.XXXXXX)
cleanup() {
  stop_pids
  xrandr -s 1920x1080 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

root_size() { xwininfo -root | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'; }
# resize_screen SIZE: the screen changes size as a desktop's does.
resize_screen() {
  local size=$1
  timeout 10 xrandr -s "$size" || fail "xrandr -s $size failed"
  poll 10 eval '[ "$(root_size)" = "$size" ]' || fail "the screen did not become $size"
}
[ "$(root_size)" = 1920x1080 ] || resize_screen 1920x1080

# The pattern shows the wall clock; the player logs the steady one.
real_minus_mono=$(python3 -c 'import time; print(time.time() - time.monotonic())')
start_busy_screen
start_sound player
launch resize
high_quality
chk_audio
start_recording resize "$work/player.log"
change1_at=$(between_clicks "$work/player.log" "$(awk -v t="$started_at" 'BEGIN { print t + 2.5 }')")
resize_screen 1280x720
change2_at=$(between_clicks "$work/player.log" "$(awk -v t="$change1_at" 'BEGIN { print t + 2.5 }')")
resize_screen 1920x1080
between_clicks "$work/player.log" "$(awk -v t="$change2_at" 'BEGIN { print t + 2.5 }')" >/dev/null
restore_window
stop_and_exit resize
end_process "$player_pid"

out="$work/resize/OutputFile.wmv"
if [ -s "$out" ]; then
  write_facts "$work/facts" change1_at change2_at
  python3 "$here/recording_check.py" resize "$out" "$probe" "$work/facts" "$work/player.log" "$work/pattern.out" ||
    problem "the recording is not what the user recorded (above)"
else
  problem "$out was not written"
fi
finish
