#!/usr/bin/env bash
# End to end: the real Grabvid with the real recording engine, on the X
# server, window manager and PulseAudio of scripts/test-session.sh.
#
#  1. Type a title and an author (Chinese, through the clipboard), tick
#     "Capture Audio", click "开始截屏": the window is minimised
#     (_NET_WM_STATE_HIDDEN). Two seconds later restore it from outside: the
#     recording stops there. Exit with "退出". The file is complete, about two
#     seconds long, with wmv2 video, wmav2 audio and the texts of the boxes.
#  2. Start a recording and send SIGTERM: the program ends and the file is
#     still complete.
#  3. An output name ending in .MP4 records an H.264/AAC MP4 with the title;
#     killed (SIGKILL) after 4 s, another still plays to 3 s or more.
#  4. Two windows, one file: while one recorder records into the default
#     file, a second one started on the same file is refused with its
#     message and ends; the first records on, and its file decodes without
#     an error for the whole recording.
#
#   e2e_grabvid.sh PATH/TO/Grabvid
set -euo pipefail

grabvid=$1

if [ -z "${DISPLAY:-}" ]; then
  echo "e2e: no DISPLAY; run inside scripts/test-session.sh" >&2
  exit 1
fi
[ -n "${PULSE_SERVER:-}" ] || { echo "e2e: no PULSE_SERVER; run inside scripts/test-session.sh" >&2; exit 1; }
for tool in xdotool wmctrl xclip xprop ffprobe ffmpeg; do
  command -v "$tool" >/dev/null || { echo "e2e: $tool is missing" >&2; exit 1; }
done

source "$(dirname "$0")/../../scripts/e2e-lib.sh"
work=$(mktemp -d /tmp/grabvid-e2e.XXXXXX)
cleanup() {
  stop_pids
  rm -rf "$work"
}
trap cleanup EXIT

# Positions inside the window: the control's twips / 15, at its middle.
click() {  # click WID X Y
  timeout 10 xdotool mousemove --window "$1" "$2" "$3" click 1
}
start_capture() { click "$1" $((360 + 133 / 2)) $((15 + 22 / 2)); }
exit_button() { click "$1" $((363 + 130 / 2)) $((129 + 22 / 2)); }
chk_audio() { click "$1" $((24 + 45 + 10)) $((66 + 18 + 19 / 2)); }

# type_into WID X Y TEXT: replaces a box's text by way of the clipboard. The
# clipboard's owner serves one paste and exits, so its exit tells that the
# text has reached the program.
type_into() {
  printf '%s' "$4" >"$work/clip"
  xclip -selection clipboard -loops 1 -quiet -i "$work/clip" >/dev/null 2>&1 &
  local clip=$!
  pids+=("$clip")
  poll 10 xclip -selection clipboard -o -t TARGETS || fail "the clipboard was not taken"
  click "$1" "$2" "$3"
  timeout 10 xdotool key --window "$1" ctrl+a ctrl+v
  poll 10 eval "! kill -0 $clip" || fail "the program did not paste '$4'"
}

hidden() { xprop -id "$1" _NET_WM_STATE | grep -q _NET_WM_STATE_HIDDEN; }
shown() { xprop -id "$1" _NET_WM_STATE >/dev/null && ! hidden "$1"; }

# launch NAME [HOME]: starts Grabvid with its own home folder, NAME or HOME
# (so its output file is OutputFile.wmv there), and sets $pid and $wid.
launch() {
  mkdir -p "$work/${2:-$1}"
  HOME="$work/${2:-$1}" "$grabvid" >"$work/$1.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wid=""
  local deadline=$((SECONDS + 30))
  while [ -z "$wid" ]; do
    [ $SECONDS -lt $deadline ] || fail "the window of $1 did not appear"
    wid=$(xdotool search --onlyvisible --pid "$pid" --name '^Capture Screen$' 2>/dev/null | head -1 || true)
    sleep 0.2
  done
  poll 10 shown "$wid" || fail "the window of $1 is not shown"
  timeout 10 xdotool windowactivate --sync "$wid" || true
}

# started: the window went to the task bar; otherwise show what it says.
wait_minimised() {
  if ! poll 30 hidden "$wid"; then
    xdotool search --pid "$pid" --name . getwindowname %@ 2>/dev/null >&2 || true
    cat "$work/$1.log" >&2
    fail "$1: the window was not minimised by the start"
  fi
}

wait_exit() {  # wait_exit SECONDS: the program ends; returns its status
  local deadline=$((SECONDS + $1))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "Grabvid did not end"
    sleep 0.2
  done
  wait "$pid"
}

restore_window() {  # brings the minimised window back, as from the task bar
  timeout 10 wmctrl -i -a "$wid"
  poll 10 shown "$wid" || fail "the window did not come back"
}

# A click may reach a window the manager is still bringing back: click the
# exit button until the program ends.
quit_window() {
  for _ in 1 2 3 4 5; do
    timeout 10 xdotool windowactivate --sync "$wid" 2>/dev/null || true
    exit_button "$wid"
    poll 5 eval "! kill -0 $pid" && break
  done
}

probe() {  # probe FILE ENTRY: one value from ffprobe
  timeout 30 ffprobe -v error -show_entries "$2" -of default=nw=1:nk=1 "$1" | head -1
}

# complete FILE MIN MAX: an ASF file whose header gives its length, and whose
# every packet decodes.
complete() {
  local f=$1 duration
  [ -s "$f" ] || fail "$f was not written"
  [ "$(probe "$f" format=format_name)" = asf ] || fail "$f is not an ASF file"
  duration=$(probe "$f" format=duration)
  awk -v d="$duration" -v lo="$2" -v hi="$3" 'BEGIN { exit !(d >= lo && d <= hi) }' ||
    fail "$f lasts ${duration}s, not between $2 and $3"
  errors=$(timeout 60 ffmpeg -nostdin -v error -i "$f" -f null - 2>&1 || echo "ffmpeg failed")
  [ -z "$errors" ] || fail "$f does not decode cleanly: $errors"
  echo "e2e: $f: ${duration}s"
}

# --- 1. Restore stops, the file carries the window's texts ---------------------
title='课程录像：第一讲'
author='王老师 (Wang)'
launch restore
type_into "$wid" $((180 + 100)) $((333 + 10)) "$title"
type_into "$wid" $((180 + 100)) $((195 + 9)) "$author"
chk_audio "$wid"
start_capture "$wid"
wait_minimised restore
sleep 2
restore_window
# The recording stopped at the restore: waiting longer does not lengthen it.
sleep 4
shown "$wid" || fail "the window did not stay restored"
exit_button "$wid"
status=$(wait_exit 60; echo $?) || true
[ "$status" = 0 ] || fail "Grabvid ended with status $status"

out="$work/restore/OutputFile.wmv"
complete "$out" 1.0 5.0
codecs=$(timeout 30 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$out" | sort | tr '\n' ' ')
[ "$codecs" = "wmav2 wmv2 " ] || fail "streams are '$codecs', not wmv2 video and wmav2 audio"
[ "$(probe "$out" format_tags=title)" = "$title" ] || fail "title: $(probe "$out" format_tags=title)"
# ffprobe names the content description's author "artist".
[ "$(probe "$out" format_tags=artist)" = "$author" ] || fail "author: $(probe "$out" format_tags=artist)"
[ "$(probe "$out" format_tags=copyright)" = "Copyright information" ] || fail "copyright"
[ "$(probe "$out" format_tags=comment)" = "Text description of encoded content" ] || fail "description"
[ "$(probe "$out" format_tags=URL)" = "IP address" ] || fail "the URL attribute"

# --- 2. SIGTERM during a recording leaves a complete file ----------------------
launch sigterm
start_capture "$wid"
wait_minimised sigterm
sleep 2
kill -TERM "$pid"
wait_exit 60 || true
complete "$work/sigterm/OutputFile.wmv" 1.0 10.0

# --- 3. An .mp4 name records an MP4, stopped or killed --------------------------
# Typed into the output box (the chooser's filter offers .wmv only); any case.
launch mp4
mp4="$work/mp4/课堂录像.MP4"
type_into "$wid" $((90 + 100)) $((132 + 9)) "$mp4"
type_into "$wid" $((180 + 100)) $((333 + 10)) "$title"
chk_audio "$wid"
start_capture "$wid"
wait_minimised mp4
sleep 2
restore_window
quit_window
status=$(wait_exit 60; echo $?) || true
[ "$status" = 0 ] || fail "Grabvid ended with status $status"
[ -s "$mp4" ] || fail "$mp4 was not written"
[ "$(probe "$mp4" format=format_name)" = "mov,mp4,m4a,3gp,3g2,mj2" ] || fail "$mp4 is not an MP4 file"
codecs=$(timeout 30 ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$mp4" | sort | tr '\n' ' ')
[ "$codecs" = "aac h264 " ] || fail "streams are '$codecs', not H.264 video and AAC audio"
[ "$(probe "$mp4" format_tags=title)" = "$title" ] || fail "MP4 title: $(probe "$mp4" format_tags=title)"
errors=$(timeout 60 ffmpeg -nostdin -v error -i "$mp4" -f null - 2>&1 || echo "ffmpeg failed")
[ -z "$errors" ] || fail "$mp4 does not decode cleanly: $errors"

launch mp4-killed
killed="$work/mp4-killed/killed.mp4"
type_into "$wid" $((90 + 100)) $((132 + 9)) "$killed"
chk_audio "$wid"
start_capture "$wid"
wait_minimised mp4-killed
sleep 4
kill -KILL "$pid"
wait_exit 30 || true
played=$(timeout 60 ffmpeg -nostdin -v error -i "$killed" -f null - 2>&1 | grep -v '^$' || true)
# A still screen sends pictures only at key frames; the sound runs on, so the
# last packet of either stream says how far the file plays.
duration=$(timeout 30 ffprobe -v error -show_entries packet=pts_time -of csv=p=0 "$killed" | sort -g | tail -n 1)
awk -v d="$duration" 'BEGIN { exit !(d >= 3.0) }' || fail "the killed MP4 plays ${duration:-0}s, not 3 s or more"
echo "e2e: killed MP4 plays to ${duration}s${played:+ (ffmpeg: $played)}"

# --- 4. Two windows, one file ------------------------------------------------------
launch first shared
first_pid=$pid first_wid=$wid
start_capture "$wid"
wait_minimised first
started=$SECONDS
launch second shared
start_capture "$wid"
# The refusal is the run-time error's message box. Its text can be selected
# with the mouse, which puts it in the primary selection.
box=""
deadline=$((SECONDS + 30))
while [ -z "$box" ]; do
  [ $SECONDS -lt $deadline ] || { cat "$work/second.log" >&2; fail "the second start showed no message"; }
  box=$(xdotool search --onlyvisible --pid "$pid" --name '^Grabvid$' 2>/dev/null | head -1 || true)
  sleep 0.2
done
message=""
for _ in 1 2 3 4 5; do
  timeout 10 xdotool mousemove --window "$box" 62 12 mousedown 1 mousemove --window "$box" 495 88 mouseup 1
  message=$(timeout 5 xclip -selection primary -o 2>/dev/null || true)
  case "$message" in *"another recording is being made into this file"*) break ;; esac
  sleep 0.5
done
case "$message" in
  *"OutputFile.wmv"*"another recording is being made into this file"*) ;;
  *) fail "the second start's message is not the refusal: $message" ;;
esac
echo "e2e: the second start was refused: $message"
timeout 10 wmctrl -i -c "$box"
poll 30 eval "! kill -0 $pid" || fail "the refused recorder did not end"
if wait "$pid"; then fail "the refused recorder ended as if nothing had failed"; fi
# The first recorder is still recording, into the same file.
pid=$first_pid wid=$first_wid
kill -0 "$pid" || fail "the first recorder ended"
hidden "$wid" || fail "the first recorder's window came back"
sleep 2
restore_window
recorded=$((SECONDS - started))
quit_window
status=$(wait_exit 60; echo $?) || true
[ "$status" = 0 ] || fail "the first recorder ended with status $status"
complete "$work/shared/OutputFile.wmv" $((recorded - 2)) $((recorded + 2))

echo "e2e: PASS"
