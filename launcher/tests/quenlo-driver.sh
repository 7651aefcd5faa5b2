# Driving the real Quenlo on an X display, for the end-to-end tests and the
# launch benchmarks (source it after scripts/e2e-lib.sh): start it and find
# its window, type into the path box, press its buttons, wait for its end,
# and find the office processes of a private profile.
#
# The caller sets $quenlo (the program), $work (a scratch folder) and
# $profile (the office profile folder, which it exports as UserInstallation).

quenlo_title='Vardel课件制作系统'
quenlo_caption='Vardel课件快速制作系统'

# start_quenlo: starts the launcher and waits for its start window; sets
# $pid and $wid.
start_quenlo() {
  local deadline=$((SECONDS + 60))
  "$quenlo" >"$work/quenlo.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  # Looked for often: the timings below start when the window shows.
  until wid=$(xdotool search --all --onlyvisible --pid "$pid" --name "^$quenlo_title\$" 2>/dev/null | head -n1) &&
    [ -n "$wid" ]; do
    [ $SECONDS -lt $deadline ] || fail "the start window did not appear"
    sleep 0.005
  done
}

# The controls, at their twips / 15 within the window.
click_ok() { xdotool mousemove --window "$wid" 327 218 click 1; }
click_exit() { xdotool mousemove --window "$wid" 389 218 click 1; }
click_exit_label() { xdotool mousemove --window "$wid" 390 205 click 1; }
click_browse() { xdotool mousemove --window "$wid" 443 167 click 1; }

# type_path TEXT: puts TEXT into Text1 through the clipboard. xclip keeps
# serving the clipboard until another owner takes over or the caller's
# cleanup ends it; the launcher fetches the text while it handles ctrl+v,
# before it takes the next click from the queue.
type_path() {
  printf '%s' "$1" >"$work/clip"
  xclip -quiet -selection clipboard -i "$work/clip" >/dev/null 2>&1 &
  pids+=("$!")
  poll 30 bash -c "[ \"\$(xclip -o -selection clipboard)\" = \"\$(cat '$work/clip')\" ]" ||
    fail "the clipboard did not take the path"
  xdotool mousemove --window "$wid" 320 167 click 1
  xdotool key --clearmodifiers ctrl+a ctrl+v
}

# type_ascii TEXT: types a plain ASCII TEXT into Text1 straight from the
# keyboard: no clipboard to wait for, so OK can follow at once.
type_ascii() {
  xdotool mousemove --window "$wid" 320 167 click 1
  xdotool key --clearmodifiers ctrl+a
  xdotool type --clearmodifiers --delay 1 -- "$1"
}

# quenlo_windows: how many windows the launcher shows (its start window, and
# a dialog or message box above it).
quenlo_windows() { { xdotool search --all --onlyvisible --pid "$pid" --name '.' 2>/dev/null || true; } | wc -l; }

# ended_with STATUS [SECONDS]: the launcher has gone, with that exit status.
ended_with() {
  poll "${2:-60}" bash -c "! kill -0 $pid" || fail "the launcher did not end (a message box?)"
  local status=0
  wait "$pid" || status=$?
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# office_processes: the office's own processes in the private profile (the
# launcher and the test's tools carry the variable too).
office_processes() {
  local p
  for p in $(pids_with_env "UserInstallation=file://$profile"); do
    case "$(readlink "/proc/$p/exe" 2>/dev/null)" in /usr/lib/libreoffice/*) echo "$p" ;; esac
  done
}

# office_instances: how many offices run in the profile.
office_instances() {
  local p n=0
  for p in $(office_processes); do
    [ "$(readlink "/proc/$p/exe" 2>/dev/null)" = /usr/lib/libreoffice/program/soffice.bin ] && n=$((n + 1))
  done
  echo "$n"
}

# office_gone [SECONDS]: no office process of the profile is left.
office_gone() {
  poll "${1:-5}" bash -c "$(declare -f office_processes pids_with_env); profile='$profile'; [ -z \"\$(office_processes)\" ]"
}

# office_windows: the visible windows of the profile's office.
office_windows() {
  local p
  for p in $(office_processes); do xdotool search --all --onlyvisible --pid "$p" --name '.' 2>/dev/null; done
}

# captioned: how many windows carry the kit's caption.
captioned() { { xdotool search --onlyvisible --name "^$quenlo_caption\$" 2>/dev/null || true; } | wc -l; }

# --- Timing what the user gets ---------------------------------------------------
# Each writes the milliseconds it measured to $work/t.
now_ns() { date +%s%N; }
took() { echo $((($(now_ns) - $1) / 1000000)) >"$work/t"; }

# until_window REGEX: waits (two minutes at most) for a visible window with
# that title.
until_window() {
  local deadline=$((SECONDS + 120))
  until xdotool search --onlyvisible --name "$1" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || fail "no window titled '$1'"
    sleep 0.01
  done
}

# open_alone FILE: the office alone opens FILE, in $profile: from its start
# to the file's window.
open_alone() {
  local start name
  name=$(basename "$1")
  start=$(now_ns)
  /usr/lib/libreoffice/program/soffice -env:UserInstallation="file://$profile" --impress "$1" >/dev/null 2>&1 &
  pids+=("$!")
  until_window "^${name//./\\.} - LibreOffice Impress\$"
  took "$start"
}

# launch_after SECONDS FILE: Quenlo with FILE (a plain ASCII path) typed into
# the path box, OK pressed SECONDS after the start window showed (0: as soon
# as the path is in): from OK to the window under the caption (the
# milliseconds from the window to OK go to $work/pressed).
launch_after() {
  local shown start left
  start_quenlo
  shown=$(now_ns)
  type_ascii "$2"
  left=$((($1 * 1000000000 - ($(now_ns) - shown)) / 1000000))
  [ "$left" -le 0 ] || sleep "$(awk -v m="$left" 'BEGIN {print m / 1000}')"
  start=$(now_ns)
  click_ok
  echo $(((start - shown) / 1000000)) >"$work/pressed"
  until_window "^$quenlo_caption\$"
  took "$start"
  ended_with 0
}

