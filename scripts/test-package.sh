#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, checks the installed menu
# entries and metadata, starts both installed programs and checks their
# windows, lets the installed launcher open its demonstration presentation in
# LibreOffice, and removes the package again. Runs inside test-session.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${DISPLAY:-}" ] || { echo "test-package: no DISPLAY; run inside scripts/test-session.sh" >&2; exit 1; }

cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/vardel-courseware_*.deb | head -n1)
echo "test-package: built $deb"

export DEBIAN_FRONTEND=noninteractive
apt-get install -y "./$deb" >/dev/null
source scripts/e2e-lib.sh
profile=""
cleanup() {
  # The office runs in a session of its own; find it by the profile it was given.
  [ -z "$profile" ] || pids+=($(pids_with_env "UserInstallation=file://$profile"))
  stop_pids
  rm -rf "${profile:-/nonexistent}"
  # An office ended by a signal leaves its lock file beside the presentation
  # (as root it may write there); it would make the next open fail as locked.
  rm -f /usr/share/vardel/*/*/.~lock.*#
  apt-get remove -y vardel-courseware >/dev/null || true
}
trap cleanup EXIT
failures=0
wait_window() {  # wait_window SECONDS TITLE -> prints the window id
  poll "$1" xdotool search --onlyvisible --name "^$2\$" || return 1
  xdotool search --onlyvisible --name "^$2\$" | head -n1
}
pass=0
result() {  # result OK? DESCRIPTION
  if [ "$1" = 0 ]; then echo "PASS: $2"; pass=$((pass + 1)); else echo "FAIL: $2"; failures=$((failures + 1)); fi
}

rc=0; desktop-file-validate /usr/share/applications/com.example.vardel.{Quenlo,Grabvid}.desktop || rc=$?
result $rc "installed desktop entries validate"
rc=0
for f in /usr/share/metainfo/com.example.vardel.{Quenlo,Grabvid}.metainfo.xml; do
  appstreamcli validate --no-net "$f" >/dev/null || rc=$?
done
result $rc "installed AppStream metainfo validates"
rc=0
for app in Quenlo Grabvid; do
  for size in 16 24 32 48 64 128 256; do
    [ -s "/usr/share/icons/hicolor/${size}x${size}/apps/com.example.vardel.$app.png" ] || rc=1
  done
done
result $rc "menu icons installed at every size"

Grabvid >/dev/null 2>&1 &
pids+=($!)
rc=0; wait_window 30 "Capture Screen" >/dev/null || rc=$?
result $rc "installed Grabvid shows its window"

profile=$(mktemp -d /tmp/vardel-package-test.XXXXXX)
UserInstallation="file://$profile" Quenlo >/dev/null 2>&1 &
quenlo=$!
pids+=($quenlo)
rc=0; wid=$(wait_window 30 "Vardel课件制作系统") || rc=$?
result $rc "installed Quenlo shows its start window"
if [ $rc = 0 ]; then
  # "确定" at its place in the start window, in pixels at 96 dpi.
  xdotool mousemove --window "$wid" 327 218 click 1
  rc=0; wait_window 120 "Vardel课件快速制作系统" >/dev/null || rc=$?
  result $rc "installed Quenlo opens the demonstration presentation at the installed path"
  [ $rc = 0 ] || { echo "windows on the screen:"; wmctrl -l; }
  for _ in $(seq 100); do kill -0 "$quenlo" 2>/dev/null || break; sleep 0.1; done
  rc=0; ! kill -0 "$quenlo" 2>/dev/null || rc=1
  result $rc "the launcher ended after the launch"
fi
echo "$pass passed, $failures failed"
[ $failures = 0 ]
