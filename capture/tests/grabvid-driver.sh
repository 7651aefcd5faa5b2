# Driving the real Grabvid through a recording of a busy screen with sound,
# for the end-to-end tests (source it after scripts/e2e-lib.sh): the screen
# (a plain desktop, vardel_pattern, vardel_sync_source's flashing square),
# the sound (its clicks, and a listener on the null sink's monitor), the
# window (start it, place it, choose, start, restore, exit, read a message
# box), and the steady clock the player logs its clicks on.
#
# The caller sets $grabvid, $pattern and $player (the programs), $work (a
# scratch folder), and collects what went wrong with `problem` (below).

# Where the flashing square stands on screen, in every screen size the tests
# use (it must fit in 1280x720), and how far right the busy pattern reaches:
# all 24 blocks of its clock (960 pixels) and clear of the square.
square_x=1000 square_y=500 square_size=200
pattern_width=980

# problem TEXT: something the user would get wrong; the test goes on, so that
# one run tells every way the recording went wrong, and fails at the end.
problems=()
problem() {
  echo "e2e: FAIL: $*" >&2
  problems+=("$*")
}
# finish: the test's verdict.
finish() {
  if [ ${#problems[@]} -gt 0 ]; then
    echo "e2e: ${#problems[@]} problem(s):" >&2
    printf 'e2e:   %s\n' "${problems[@]}" >&2
    exit 1
  fi
  echo "e2e: PASS"
}

# The steady clock (CLOCK_MONOTONIC, as vardel_sync_source's log), in s.
monotonic() { python3 -c 'import time; print(f"{time.monotonic():.6f}")'; }
# sleep_until T: returns at steady time T (at once when it is past) and
# prints the time it returned at.
sleep_until() {
  python3 -c 'import sys, time
time.sleep(max(0.0, float(sys.argv[1]) - time.monotonic()))
print(f"{time.monotonic():.6f}")' "$1"
}

# --- The screen and the sound -------------------------------------------------

# start_busy_screen: a plain desktop, and the pattern redrawn every 20 ms (so
# every frame slot at 30 fps changes) on the screen's left; it also logs the
# stretches in which the X server stood still (no one could draw then).
start_busy_screen() {
  xsetroot -solid '#3a6ea5'
  "$pattern" --interval-ms 20 --width "$pattern_width" --stalls >"$work/pattern.out" 2>&1 &
  pids+=($!)
  poll 15 grep -q ready "$work/pattern.out" || fail "the busy pattern did not start"
}

# start_sound NAME: a listener on the null sink's monitor (it keeps the sink
# playing close to real time, as a desktop's sound does) and a player of
# clicks with flashes, its log in $work/NAME.log; waits for its first click
# and sets $player_pid and $listener_pid.
start_sound() {
  parec --latency-msec=20 --device=@DEFAULT_MONITOR@ --raw >/dev/null 2>"$work/$1.listener.log" &
  listener_pid=$!
  pids+=("$listener_pid")
  # A buffer long enough that the player never runs dry on a busy machine.
  "$player" --play --latency-ms 200 --flash "$square_x,$square_y,$square_size" 600 >"$work/$1.log" 2>&1 &
  player_pid=$!
  pids+=("$player_pid")
  poll 15 grep -q '^click 0 ' "$work/$1.log" || { cat "$work/$1.log" >&2; fail "the player's first click was not heard"; }
}

# end_process PID: asks it to end, then kills it; returns at once when it
# has gone already.
end_process() {
  kill "$1" 2>/dev/null || true
  poll 3 eval "! kill -0 $1" || kill -9 "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# next_click LOG AFTER: waits (up to 10 s) for a click of the player heard
# at or after steady time AFTER; prints when it was heard.
next_click() {
  local deadline=$((SECONDS + 10)) heard
  while :; do
    heard=$(awk -v t="$2" '$1 == "click" && $3 >= t { print $3; exit }' "$1")
    [ -n "$heard" ] && { echo "$heard"; return 0; }
    [ $SECONDS -lt $deadline ] || fail "no click heard after $2 in $1"
    sleep 0.05
  done
}

# between_clicks LOG AFTER: returns half-way between the first click heard
# after AFTER and the next one, and prints the steady time: the moment for a
# change, half a second away from any click and its flash. A busy machine
# may wake this late: past 0.15 s late, the half-way point after the next
# click is taken instead, five times at most.
between_clicks() {
  local after=$2 heard woke try
  for try in 1 2 3 4 5; do
    heard=$(next_click "$1" "$after") || return 1
    woke=$(sleep_until "$(awk -v h="$heard" 'BEGIN { printf "%.6f", h + 0.5 }')")
    if awk -v w="$woke" -v h="$heard" 'BEGIN { exit !(w <= h + 0.65) }'; then
      echo "$woke"
      return 0
    fi
    after=$(awk -v h="$heard" 'BEGIN { printf "%.6f", h + 0.1 }')
  done
  fail "the machine is so busy that the test woke more than 0.15 s late five times over"
}

# --- The window -----------------------------------------------------------------

click() {  # click WID X Y: positions inside the window, twips / 15
  timeout 10 xdotool mousemove --window "$1" "$2" "$3" click 1
}
start_capture() { click "$wid" $((360 + 133 / 2)) $((15 + 22 / 2)); }
exit_button() { click "$wid" $((363 + 130 / 2)) $((129 + 22 / 2)); }
chk_audio() { click "$wid" $((24 + 45 + 10)) $((66 + 18 + 19 / 2)); }
high_quality() { click "$wid" $((24 + 30 + 8)) $((15 + 21 + 13 / 2)); }  # Option1: 30 fps, 48 kHz

window_x() { xwininfo -id "$1" | awk '/Absolute upper-left X/ { print $4 }'; }
hidden() { xprop -id "$1" _NET_WM_STATE | grep -q _NET_WM_STATE_HIDDEN; }
shown() { xprop -id "$1" _NET_WM_STATE >/dev/null && ! hidden "$1"; }

# launch NAME: starts Grabvid with a home folder of its own ($work/NAME, so
# the default output is OutputFile.wmv there), sets $pid and $wid, and puts
# its window right of the busy pattern and clear of the square: the pattern
# is drawn above every managed window.
launch() {
  mkdir -p "$work/$1"
  HOME="$work/$1" "$grabvid" >"$work/$1.grabvid.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wid=""
  local deadline=$((SECONDS + 30))
  while [ -z "$wid" ]; do
    [ $SECONDS -lt $deadline ] || { cat "$work/$1.grabvid.log" >&2; fail "the window of $1 did not appear"; }
    wid=$(xdotool search --onlyvisible --pid "$pid" --name '^Capture Screen$' 2>/dev/null | head -1 || true)
    sleep 0.2
  done
  poll 10 shown "$wid" || fail "the window of $1 is not shown"
  timeout 10 xdotool windowmove --sync "$wid" 1300 40 || true
  poll 10 eval '[ "$(window_x "$wid")" -ge 1240 ]' || fail "the window of $1 could not be moved clear of the busy screen"
  timeout 10 xdotool windowactivate --sync "$wid" || true
}

# type_output PATH: replaces the output box's text through the clipboard; the
# clipboard's owner serves one paste and exits.
type_output() {
  printf '%s' "$1" >"$work/clip"
  xclip -selection clipboard -loops 1 -quiet -i "$work/clip" >/dev/null 2>&1 &
  local clip=$!
  pids+=("$clip")
  poll 10 xclip -selection clipboard -o -t TARGETS || fail "the clipboard was not taken"
  click "$wid" $((90 + 100)) $((132 + 9))
  timeout 10 xdotool key --window "$wid" ctrl+a ctrl+v
  poll 10 eval "! kill -0 $clip" || fail "the program did not paste '$1'"
}

# start_recording NAME LOG: presses the start button 0.3 s after a click of
# the player whose log is LOG, so that the first click recorded comes once
# the recording runs, whatever its first pictures do; sets $started_at
# (steady time just before the press) and $hidden_at (once the window has
# gone).
start_recording() {
  local heard
  heard=$(next_click "$2" "$(monotonic)") || exit 1
  started_at=$(sleep_until "$(awk -v h="$heard" 'BEGIN { printf "%.6f", h + 0.3 }')")
  start_capture
  # The pointer is recorded too: it waits where no check looks, in every
  # screen size.
  timeout 10 xdotool mousemove 400 600 || true
  local deadline=$((SECONDS + 30))
  until hidden "$wid"; do
    if [ $SECONDS -ge $deadline ]; then
      cat "$work/$1.grabvid.log" >&2
      message=$(message_box 1)
      fail "$1: the window was not minimised by the start${message:+ (it says: $message)}"
    fi
    sleep 0.05
  done
  hidden_at=$(monotonic)
}

# restore_window: brings the minimised window back, as from the task bar:
# the recording stops there. Sets $restored_at (steady time just before).
restore_window() {
  restored_at=$(monotonic)
  timeout 10 wmctrl -i -a "$wid"
  poll 10 shown "$wid" || problem "the window did not come back"
}

# message_box SECONDS: the text of the program's message box (its run-time
# error box is a window named "Grabvid"), if one shows within SECONDS; the
# box is then closed. The text is selected with the mouse, which puts it in
# the primary selection; the box is first moved clear of the busy pattern.
message_box() {
  local box="" deadline=$((SECONDS + $1)) text=""
  while [ -z "$box" ]; do
    box=$(xdotool search --onlyvisible --pid "$pid" --name '^Grabvid$' 2>/dev/null | grep -vx "$wid" | head -1 || true)
    [ -n "$box" ] || [ $SECONDS -lt $deadline ] || return 0
    [ -n "$box" ] || sleep 0.2
  done
  timeout 10 xdotool windowmove --sync "$box" 1100 300 2>/dev/null || true
  for _ in 1 2 3 4 5; do
    timeout 10 xdotool windowactivate --sync "$box" 2>/dev/null || true
    timeout 10 xdotool mousemove --window "$box" 62 12 mousedown 1 mousemove --window "$box" 495 88 mouseup 1
    text=$(timeout 5 xclip -selection primary -o 2>/dev/null || true)
    [ -n "$text" ] && break
    sleep 0.5
  done
  timeout 10 wmctrl -i -c "$box" || true
  echo "${text:-(a message box whose text could not be read)}" | tr '\n' ' '
}

# stop_and_exit NAME: after the restore: no message box may show; then the
# exit button, until the program ends; its status must be 0.
stop_and_exit() {
  local message status=0
  message=$(message_box 3)
  [ -z "$message" ] || problem "$1: Grabvid showed a message at the stop: $message"
  local deadline=$((SECONDS + 60))
  while kill -0 "$pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "$1: Grabvid did not end"
    if [ -z "$message" ] && shown "$wid"; then
      timeout 10 xdotool windowactivate --sync "$wid" 2>/dev/null || true
      exit_button
    fi
    poll 5 eval "! kill -0 $pid" && break
    message=$(message_box 1)
    [ -z "$message" ] || problem "$1: Grabvid showed a message: $message"
  done
  wait "$pid" || status=$?
  [ "$status" = 0 ] || { cat "$work/$1.grabvid.log" >&2; problem "$1: Grabvid ended with status $status"; }
}

# write_facts FILE NAME...: what the checker needs to know of the recording,
# as name=value lines: the moments every test has, and those NAMEd (shell
# variables of the caller).
write_facts() {
  local file=$1 name
  shift
  for name in started_at hidden_at "$@" restored_at real_minus_mono square_x square_y square_size pattern_width; do
    echo "$name=${!name}"
  done >"$file"
}
