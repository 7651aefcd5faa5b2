#!/usr/bin/env bash
# End to end on a Wayland desktop: the real Grabvid, through Xwayland, with
# the real engine taking the screen from the ScreenCast portal and PipeWire,
# on the private headless sway of scripts/wayland-session.sh (started here
# when this runs outside one).
#
# On screen: a terminal (a Wayland client) printing the time every 50 ms, a
# clock (an X client) and the Grabvid window. Tick "Capture Audio", click
# "开始截屏". sway does not minimise windows, so the window stays on screen
# with the stop button enabled and the recording goes on. Play a tone, open
# a red terminal, and once the file being written shows it, click the stop
# button, then "退出". The file has wmv2 video and wmav2 audio; its pictures
# are not black, change while the terminal prints, and end red where they
# began without red; the sound is not silence; the portal's restore token is
# kept private (mode 0600) under XDG_CONFIG_HOME.
#
#   e2e_grabvid_wayland.sh PATH/TO/Grabvid
set -euo pipefail

grabvid=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/e2e-lib.sh"

if [ -z "${WAYLAND_DISPLAY:-}" ]; then
  exec "$here/../../scripts/wayland-session.sh" "$0" "$grabvid"
fi
for tool in xdotool xprop swaymsg foot xclock paplay ffprobe ffmpeg; do
  command -v "$tool" >/dev/null || fail "$tool is missing"
done
[ -n "${DISPLAY:-}" ] || fail "no Xwayland DISPLAY in the session"

work=$(mktemp -d "${TMPDIR:-/tmp}/grabvid-wl-e2e.XXXXXX")
cleanup() {
  stop_pids
  rm -rf "$work"
}
trap cleanup EXIT

click() {  # click WID X Y: positions inside the window, twips / 15
  timeout 10 xdotool mousemove --window "$1" "$2" "$3" click 1
}
start_capture() { click "$1" $((360 + 133 / 2)) $((15 + 22 / 2)); }
stop_capture() { click "$1" $((360 + 133 / 2)) $((45 + 22 / 2)); }
exit_button() { click "$1" $((363 + 130 / 2)) $((129 + 22 / 2)); }
chk_audio() { click "$1" $((24 + 45 + 10)) $((66 + 18 + 19 / 2)); }

# on_screen APP_ID: sway shows a Wayland window of that application.
on_screen() {
  swaymsg -t get_tree | grep -q "\"app_id\": \"$1\""
}
shown() { xprop -id "$1" _NET_WM_STATE >/dev/null && ! xprop -id "$1" _NET_WM_STATE | grep -q _NET_WM_STATE_HIDDEN; }

# stat_of FILE SEEK FILTER KEY: a signalstats value of one picture; SEEK is
# "-ss T" from the start or "-sseof -T" from the end.
stat_of() {
  local file=$1 seek=$2 key=$4
  # shellcheck disable=SC2086
  timeout 30 ffmpeg -nostdin -v error $seek -i "$file" -frames:v 1 \
    -vf "$3,signalstats,metadata=print:key=lavfi.signalstats.$key:file=-" -f null - 2>/dev/null |
    sed -n "s/^lavfi.signalstats.$key=//p" | head -1
}
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 >= b + 0) }'; }

# --- The desktop: a Wayland terminal and an X clock ----------------------------
foot --app-id=vardel-clock sh -c 'while :; do date +%T.%N; sleep 0.05; done' \
  >"$work/foot.log" 2>&1 &
pids+=($!)
xclock -update 1 >"$work/xclock.log" 2>&1 &
pids+=($!)
poll 20 on_screen vardel-clock || fail "the terminal did not appear"
poll 20 xdotool search --onlyvisible --class xclock || fail "the X clock did not appear"

# --- Grabvid, on Xwayland ------------------------------------------------------
mkdir -p "$work/home"
HOME="$work/home" "$grabvid" >"$work/grabvid.log" 2>&1 &
pid=$!
pids+=("$pid")
wid=""
deadline=$((SECONDS + 30))
while [ -z "$wid" ]; do
  [ $SECONDS -lt $deadline ] || { cat "$work/grabvid.log" >&2; fail "the Grabvid window did not appear on Xwayland"; }
  kill -0 "$pid" 2>/dev/null || { cat "$work/grabvid.log" >&2; fail "Grabvid ended before showing its window"; }
  wid=$(xdotool search --onlyvisible --pid "$pid" --name '^Capture Screen$' 2>/dev/null | head -1 || true)
  sleep 0.2
done
poll 10 shown "$wid" || fail "the Grabvid window is not shown"
out="$work/home/OutputFile.wmv"
token="$XDG_CONFIG_HOME/vardel/grabvid-screencast-token"
rm -f "$token"

chk_audio "$wid"
start_capture "$wid"
# The engine opens the file once the portal, PipeWire and the sound are open.
if ! poll 30 test -s "$out"; then
  cat "$work/grabvid.log" >&2
  fail "the recording did not start (no $out)"
fi
shown "$wid" || fail "the window left the screen: sway cannot minimise, so it must stay"

# A tone through pipewire-pulse reaches the null sink's monitor, the default source.
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=880:duration=1.5" -ar 48000 -ac 2 "$work/tone.wav"
timeout 20 paplay "$work/tone.wav" || fail "paplay could not play the tone"

# A red screen change: the file being written must come to show it.
foot --app-id=vardel-red --override=colors.background=d00000 sh -c 'sleep 600' \
  >"$work/red.log" 2>&1 &
pids+=($!)
poll 20 on_screen vardel-red || fail "the red terminal did not appear"
red_in_file() {
  at_least "$(stat_of "$out" "-sseof -0.3" "null" VAVG)" 140
}
poll 30 red_in_file || fail "the file being written never showed the red terminal"

shown "$wid" || fail "the window left the screen during the recording"
stop_capture "$wid"
# The stop completes the file: it stops growing, and stays so while the
# window stays on screen.
size_now() { stat -c %s "$out"; }
steady() {
  local before
  before=$(size_now)
  sleep 0.5
  [ "$(size_now)" = "$before" ]
}
poll 20 steady || fail "the file kept growing after the stop button"
stopped_size=$(size_now)
sleep 2
[ "$(size_now)" = "$stopped_size" ] || fail "the recording went on after the stop button"
shown "$wid" || fail "the window left the screen after the stop"
exit_button "$wid"
deadline=$((SECONDS + 60))
while kill -0 "$pid" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || fail "Grabvid did not end"
  sleep 0.2
done
status=0
wait "$pid" || status=$?
[ "$status" = 0 ] || { cat "$work/grabvid.log" >&2; fail "Grabvid ended with status $status"; }

# --- The file ---------------------------------------------------------------------
[ "$(timeout 30 ffprobe -v error -show_entries format=format_name -of csv=p=0 "$out")" = asf ] ||
  fail "$out is not an ASF file"
codecs=$(timeout 30 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" | sort | tr '\n' ' ')
[ "$codecs" = "wmav2 wmv2 " ] || fail "streams are '$codecs', not wmv2 video and wmav2 audio"
errors=$(timeout 60 ffmpeg -nostdin -v error -i "$out" -f null - 2>&1 || echo "ffmpeg failed")
[ -z "$errors" ] || fail "the file does not decode cleanly: $errors"
duration=$(timeout 30 ffprobe -v error -show_entries format=duration -of csv=p=0 "$out")
at_least "$duration" 1.0 || fail "the recording lasts ${duration}s"

# The first second was recorded before the red terminal was started (that
# came after the file appeared and the tone's 1.5 s had played). The engine
# may begin with a black picture until the portal's first frame arrives;
# after that the pictures show the desktop: something bright, nothing red.
first_second() {  # first_second KEY: that signalstats value of every picture of the first second
  timeout 60 ffmpeg -nostdin -v error -t 1 -i "$out" -an \
    -vf "signalstats,metadata=print:key=lavfi.signalstats.$1:file=-" -f null - 2>/dev/null |
    sed -n "s/^lavfi.signalstats.$1=//p"
}
brightest=$(first_second YMAX | sort -n | tail -1)
reddest=$(first_second VAVG | sort -n | tail -1)
last_red=$(stat_of "$out" "-sseof -0.3" "null" VAVG)
echo "e2e: ${duration}s; first second: brightest luma ${brightest:-?}, highest mean V ${reddest:-?}; last picture: mean V $last_red"
at_least "${brightest:-0}" 180 || fail "the first second is black (brightest luma ${brightest:-none})"
at_least 132 "${reddest:-999}" || fail "the first second is red already (mean V $reddest)"
at_least "$last_red" 140 || fail "the last picture does not show the red terminal (mean V $last_red)"

# The terminal prints every 50 ms: the pictures of the first second differ.
distinct=$(timeout 60 ffmpeg -nostdin -v error -t 1 -i "$out" -an -f framemd5 - 2>/dev/null |
  grep -v '^#' | awk -F', *' '{ print $6 }' | sort -u | wc -l)
echo "e2e: $distinct distinct pictures in the first second"
[ "$distinct" -ge 4 ] || fail "only $distinct distinct pictures in the first second: the screen was not followed"

max_volume=$(timeout 60 ffmpeg -nostdin -i "$out" -vn -af volumedetect -f null - 2>&1 |
  sed -n 's/.*max_volume: \(-*[0-9.]*\) dB.*/\1/p')
echo "e2e: loudest sound ${max_volume} dB"
[ -n "$max_volume" ] && at_least "$max_volume" -30 || fail "the sound is silent (max ${max_volume:-?} dB)"

[ -f "$token" ] || fail "no restore token at $token"
mode=$(stat -c %a "$token")
[ "$mode" = 600 ] || fail "the restore token has mode $mode, not 600"

echo "e2e: PASS"
