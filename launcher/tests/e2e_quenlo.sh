#!/usr/bin/env bash
# End to end: the real Quenlo on the X server and window manager of
# scripts/test-session.sh. Closing the window from outside (the window
# manager, SIGTERM) and both exit controls end it quietly with status 0.
# With --office, also a real launch into LibreOffice Impress: the launcher
# ends, the office shows the presentation under the kit's caption, and a
# missing file gives the error message and leaves no office dialog.
#
#   e2e_quenlo.sh PATH/TO/Quenlo [--office PATH/TO/presentation.ppt]
set -euo pipefail

quenlo=$1
office=no
if [ "${2:-}" = "--office" ]; then office=yes; presentation=$3; fi

if [ -z "${DISPLAY:-}" ]; then
  echo "e2e: no DISPLAY; run inside scripts/test-session.sh" >&2
  exit 1
fi
for tool in xdotool wmctrl xclip; do
  command -v "$tool" >/dev/null || { echo "e2e: $tool is missing" >&2; exit 1; }
done

source "$(dirname "$0")/../../scripts/e2e-lib.sh"
work=$(mktemp -d /tmp/quenlo-e2e.XXXXXX)
# A private office profile: under the session's scratch folder where it has one.
profile="${VARDEL_TEST_OFFICE_PROFILE:-$work}/quenlo-e2e-$$"
cleanup() {
  local pid
  # The office was started by a launcher that has gone: find its processes
  # by the private profile in their environment, never by name.
  for pid in $(office_pids); do pids+=("$pid"); done
  stop_pids
  rm -rf "$work" "$profile"
}
trap cleanup EXIT

office_pids() { pids_with_env "UserInstallation=file://$profile"; }

title='Vardel课件制作系统'
caption='Vardel课件快速制作系统'

# start_quenlo: starts the launcher and waits for its start window; sets
# $pid and $wid.
start_quenlo() {
  "$quenlo" >"$work/quenlo.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  poll 60 xdotool search --all --onlyvisible --pid "$pid" --name "^$title\$" ||
    fail "the start window did not appear"
  wid=$(xdotool search --all --onlyvisible --pid "$pid" --name "^$title\$" | head -n1)
}

# ended_with STATUS [SECONDS]: the launcher has gone, with that exit status.
ended_with() {
  poll "${2:-60}" bash -c "! kill -0 $pid" || fail "the launcher did not end (a message box?)"
  local status=0
  wait "$pid" || status=$?
  [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

# --- The start window on a real screen ---------------------------------------
start_quenlo
eval "$(xdotool getwindowgeometry --shell "$wid")"
[ "$WIDTH" = 523 ] && [ "$HEIGHT" = 279 ] || fail "window is ${WIDTH}x$HEIGHT, expected 523x279"
read -r sw sh < <(xdotool getdisplaygeometry)
[ $((X - (sw - 523) / 2)) -ge -2 ] && [ $((X - (sw - 523) / 2)) -le 2 ] &&
  [ $((Y - (sh - 279) / 2)) -ge -2 ] && [ $((Y - (sh - 279) / 2)) -le 2 ] ||
  fail "window at $X,$Y is not centred on ${sw}x$sh"

# Closed by the window manager: the unload step runs, the program ends.
wmctrl -i -c "$wid"
ended_with 0
echo "e2e: window manager close ok"

start_quenlo
kill -TERM "$pid"
ended_with 0
echo "e2e: SIGTERM ok"

# The exit button, then the strip of the exit label above it.
start_quenlo
xdotool mousemove --window "$wid" 389 218 click 1
ended_with 0
echo "e2e: exit button ok"

start_quenlo
xdotool mousemove --window "$wid" 390 205 click 1
ended_with 0
echo "e2e: exit label ok"

[ "$office" = yes ] || exit 0

# --- A real launch ------------------------------------------------------------
export UserInstallation="file://$profile"
mkdir -p "$work/课件 一"
cp "$presentation" "$work/课件 一/演示 文稿.ppt"

# type_path TEXT: puts TEXT into Text1 through the clipboard. xclip keeps
# serving the clipboard until another owner takes over or cleanup ends it;
# the launcher fetches the text while it handles ctrl+v, before it takes the
# next click from the queue.
type_path() {
  printf '%s' "$1" >"$work/clip"
  xclip -quiet -selection clipboard -i "$work/clip" >/dev/null 2>&1 &
  pids+=("$!")
  poll 30 bash -c "[ \"\$(xclip -o -selection clipboard)\" = \"\$(cat '$work/clip')\" ]" ||
    fail "the clipboard did not take the path"
  xdotool mousemove --window "$wid" 320 167 click 1
  xdotool key --clearmodifiers ctrl+a ctrl+v
}

# A missing file: the office comes up, the open fails, the error is shown.
start_quenlo
type_path "$work/no such file.ppt"
xdotool mousemove --window "$wid" 327 218 click 1
poll 180 bash -c "[ \$(xdotool search --all --onlyvisible --pid $pid --name '^$title\$' | wc -l) -ge 2 ]" ||
  fail "no error message for a missing file"
for opid in $(office_pids); do
  [ "$opid" != "$pid" ] || continue  # the launcher carries the variable too
  if xdotool search --all --onlyvisible --pid "$opid" --name '.' >/dev/null 2>&1; then
    for w in $(xdotool search --all --onlyvisible --pid "$opid" --name '.'); do
      echo "office window $w: $(xdotool getwindowname "$w")"; xdotool getwindowgeometry "$w"
    done
    fail "the office shows a window (a dialog?) after a failed open"
  fi
done
[ -z "${E2E_SCREENSHOT:-}" ] || import -window root "$E2E_SCREENSHOT"
box=$(xdotool search --all --onlyvisible --pid "$pid" --name "^$title\$" | grep -v "^$wid\$" | head -n1)
xdotool windowactivate --sync "$box" key Return
ended_with 1
# The office the launch started holds no document: it must not stay behind,
# hidden and windowless, once the launcher has gone.
office_running() {
  local p
  for p in $(office_pids); do
    case "$(readlink "/proc/$p/exe" 2>/dev/null)" in /usr/lib/libreoffice/*) return 0 ;; esac
  done
  return 1
}
poll 30 bash -c "$(declare -f office_pids office_running pids_with_env); profile='$profile'; ! office_running" ||
  fail "the office started for a failed launch is still running:" \
    "$(for p in $(office_pids); do echo "$p $(readlink "/proc/$p/exe")"; done)"
echo "e2e: missing file ok"

# The presentation: the launcher ends and the office window has the caption.
start_quenlo
type_path "$work/课件 一/演示 文稿.ppt"
xdotool mousemove --window "$wid" 327 218 click 1
ended_with 0 180  # the office may still be starting
poll 180 xdotool search --onlyvisible --name "^$caption\$" || fail "no office window titled $caption"
echo "e2e: launch ok"
