#!/usr/bin/env bash
# End to end: the real Quenlo on the X server and window manager of
# scripts/test-session.sh. Closing the window from outside (the window
# manager, SIGTERM) and both exit controls end it quietly with status 0, and
# leave no office behind. With --office, also real launches into LibreOffice
# Impress: the office is made ready invisibly while the start window shows,
# and ended again by every way out that leaves it showing nothing; the
# browse button and the path box work meanwhile; a missing file gives the
# error message and leaves no office dialog; ten launches in a row end with
# status 0 and leave ten presentations open under the kit's caption; an
# office the user started is used and never ended; and an office that
# stopped answering does not keep the launcher from ending.
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

here=$(dirname "$0")
source "$here/../../scripts/e2e-lib.sh"
source "$here/quenlo-driver.sh"
work=$(mktemp -d /tmp/quenlo-e2e.XXXXXX)
# A private office profile: under the session's scratch folder where it has one.
profile="${VARDEL_TEST_OFFICE_PROFILE:-$work}/quenlo-e2e-$$"
# Every start makes an office ready: never in the user's profile.
export UserInstallation="file://$profile"
cleanup() {
  local p
  # Offices started by launchers that have gone: found by the private
  # profile in their environment, never by name. A stopped one is let go on.
  for p in $(office_processes); do kill -CONT "$p" 2>/dev/null || true; pids+=("$p"); done
  stop_pids
  rm -rf "$work" "$profile"
}
trap cleanup EXIT

# left_nothing WHAT: no office process of ours outlived the launcher.
left_nothing() {
  office_gone 5 || fail "$1: an office is left:" \
    "$(for p in $(office_processes); do echo "$p $(readlink "/proc/$p/exe")"; done)"
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
left_nothing "window manager close"
echo "e2e: window manager close ok"

start_quenlo
kill -TERM "$pid"
ended_with 0
left_nothing "SIGTERM"
echo "e2e: SIGTERM ok"

# The exit button, then the strip of the exit label above it.
start_quenlo
click_exit
ended_with 0
left_nothing "exit button"
echo "e2e: exit button ok"

start_quenlo
click_exit_label
ended_with 0
left_nothing "exit label"
echo "e2e: exit label ok"

[ "$office" = yes ] || exit 0

# --- The office made ready while the start window shows -------------------------
# office_starting: waits until the start window has set an office going.
office_starting() {
  poll 30 bash -c "$(declare -f office_processes pids_with_env); profile='$profile'; [ -n \"\$(office_processes)\" ]" ||
    fail "no office was started while the start window showed"
}

# Exit after a few seconds: the ready office showed nothing, and goes.
start_quenlo
office_starting
sleep 3
[ -z "$(office_windows)" ] || fail "the office made ready shows a window: $(office_windows)"
click_exit
ended_with 0
left_nothing "exit after 3 s"
echo "e2e: exit after 3 s ok"

# SIGTERM while the office is still starting.
start_quenlo
office_starting
kill -TERM "$pid"
ended_with 0
left_nothing "SIGTERM while the office starts"
echo "e2e: SIGTERM while the office starts ok"

# The office stops answering: the launcher still ends, and the office it
# started (and that shows nothing) does not stay.
start_quenlo
office_starting
sleep 3
for p in $(office_processes); do kill -STOP "$p"; done
click_exit
ended_with 0 20
left_nothing "exit with the office stopped"
echo "e2e: exit with a stopped office of its own ok"

# A missing file: the office comes up, the open fails, the error is shown.
start_quenlo
type_path "$work/no such file.ppt"
click_ok
poll 180 bash -c "[ \$(xdotool search --all --onlyvisible --pid $pid --name '^$quenlo_title\$' | wc -l) -ge 2 ]" ||
  fail "no error message for a missing file"
if [ -n "$(office_windows)" ]; then
  for w in $(office_windows); do
    echo "office window $w: $(xdotool getwindowname "$w")"; xdotool getwindowgeometry "$w"
  done
  fail "the office shows a window (a dialog?) after a failed open"
fi
[ -z "${E2E_SCREENSHOT:-}" ] || import -window root "$E2E_SCREENSHOT"
box=$(xdotool search --all --onlyvisible --pid "$pid" --name "^$quenlo_title\$" | grep -v "^$wid\$" | head -n1)
xdotool windowactivate --sync "$box" key Return
ended_with 1
# The office the launch started holds no document: it must not stay behind,
# hidden and windowless, once the launcher has gone.
left_nothing "a failed launch"
echo "e2e: missing file ok"

# --- An office the user started beforehand ------------------------------------------
# It is used as it is: neither the exit nor a launch into it ends it.
cp "$presentation" "$work/own.ppt"
/usr/lib/libreoffice/program/soffice --impress "$work/own.ppt" >/dev/null 2>&1 &
pids+=("$!")
poll 120 xdotool search --onlyvisible --name '^own\.ppt - LibreOffice Impress$' ||
  fail "the user's office did not show its presentation"
users=$(office_processes | sort)
start_quenlo
sleep 3
click_exit
ended_with 0
[ "$(office_processes | sort)" = "$users" ] || fail "exit changed the user's office"
cp "$presentation" "$work/into.ppt"
start_quenlo
type_path "$work/into.ppt"
click_ok
ended_with 0 60
poll 60 bash -c "[ \$(xdotool search --onlyvisible --name '^$quenlo_caption\$' | wc -l) -ge 1 ]" ||
  fail "no window titled $quenlo_caption in the user's office"
[ "$(office_processes | sort)" = "$users" ] || fail "the launch changed the user's office"
xdotool search --onlyvisible --name '^own\.ppt - LibreOffice Impress$' >/dev/null ||
  fail "the user's own presentation went"
echo "e2e: the user's office ok"
# Ended as a desktop session ends it; the next one is started by launchers
# (with --norestore: nothing is offered for recovery).
for p in $users; do kill "$p" 2>/dev/null || true; done
office_gone 60 || fail "the user's office did not end"

# --- Ten launches in a row ----------------------------------------------------------
mkdir -p "$work/课件 一"
for i in $(seq 10); do cp "$presentation" "$work/课件 一/演示 文稿 $i.ppt"; done

# The first while the office is still being made ready: the browse button's
# dialog comes and goes, the path box takes a name, and OK waits for that
# office instead of starting a second. The others go into the running office.
for i in $(seq 10); do
  start_quenlo
  if [ "$i" = 1 ]; then
    click_browse
    poll 30 bash -c "[ \$(xdotool search --all --onlyvisible --pid $pid --name '.' | wc -l) -ge 2 ]" ||
      fail "the browse button shows no dialog while the office starts"
    xdotool key --clearmodifiers Escape
    poll 30 bash -c "[ \$(xdotool search --all --onlyvisible --pid $pid --name '.' | wc -l) -eq 1 ]" ||
      fail "the dialog did not go"
  fi
  type_path "$work/课件 一/演示 文稿 $i.ppt"
  click_ok
  ended_with 0 180  # the first waits for the office to start
  poll 60 bash -c "[ \$(xdotool search --onlyvisible --name '^$quenlo_caption\$' | wc -l) -ge $i ]" ||
    fail "launch $i: $(captioned) windows titled $quenlo_caption, expected $i"
  [ "$(office_instances)" -le 1 ] || fail "launch $i: a second office was started"
done
[ "$(captioned)" -eq 10 ] || fail "$(captioned) presentations open after ten launches, expected 10"
echo "e2e: ten launches ok"

# The office now shows presentations: the user's. A launcher that ends
# while it has stopped answering ends all the same, and leaves it be.
shown=$(office_processes | sort)
start_quenlo
sleep 3
for p in $shown; do kill -STOP "$p"; done
click_exit
ended_with 0 20
for p in $shown; do kill -CONT "$p"; done
[ "$(office_processes | sort)" = "$shown" ] || fail "the office showing the presentations changed"
[ "$(captioned)" -eq 10 ] || fail "presentations were closed"
echo "e2e: exit with the user's office stopped ok"
