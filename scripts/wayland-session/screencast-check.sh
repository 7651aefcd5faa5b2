#!/usr/bin/env bash
# End to end: the headless Wayland session of scripts/wayland-session.sh
# itself. With a terminal changing its text on screen, the ScreenCast portal
# must grant the monitor (CreateSession, SelectSources and Start all answer
# 0, Start with one PipeWire node of the output's size) and the node must
# deliver pictures that are not black. Tells a fault of the session apart
# from a fault of the recorder in e2e_grabvid_wayland.sh.
#
#   scripts/wayland-session/screencast-check.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${WAYLAND_DISPLAY:-}" ]; then
  work=$(mktemp -d /tmp/vardel-wl-check.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  # shellcheck disable=SC2046
  cc -O2 -Wall -Werror -o "$work/screencast-consumer" "$here/screencast-consumer.c" \
    $(pkg-config --cflags --libs libpipewire-0.3)
  VARDEL_SCREENCAST_CONSUMER="$work/screencast-consumer" "$here/../wayland-session.sh" "$0"
  exit
fi

source "$here/../e2e-lib.sh"
trap stop_pids EXIT
foot --log-no-syslog sh -c 'while :; do date +%T.%N; sleep 0.05; done' >/dev/null 2>&1 &
pids+=($!)
poll 20 eval '[ "$(swaymsg -t get_tree | grep -c "\"app_id\": \"foot\"")" -ge 1 ]' ||
  fail "the terminal did not appear"
/usr/bin/python3 "$here/screencast-check.py" "$VARDEL_SCREENCAST_CONSUMER" 10 || fail "the ScreenCast check failed"
echo "screencast-check: PASS"
