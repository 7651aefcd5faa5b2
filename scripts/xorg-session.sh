#!/usr/bin/env bash
# Runs a command inside a private X server whose screen can change size, for
# the tests and benchmarks of a recording while the desktop changes under it:
#   - Xorg with the dummy video driver, starting at 1920x1080, with the modes
#     1920x1080, 1280x720 and 1024x768 (xrandr -s WxH changes the root
#     window's size, as a laptop docking or a projector plugged in does),
#     on a free display (-displayfd, never a fixed number)
#   - openbox, so minimise, restore and close requests behave as on a desktop
# The caller's sound server (PULSE_SERVER) is left as it is: run this inside
# scripts/test-session.sh for its private PulseAudio. Everything started here
# is stopped again by process id when the command ends.
#
#   scripts/xorg-session.sh COMMAND [ARG...]
set -euo pipefail

source "$(dirname "$0")/e2e-lib.sh"
session=$(mktemp -d /tmp/vardel-xorg.XXXXXX)
cleanup() {
  stop_pids
  rm -rf "$session"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() {  # wait_for SECONDS DESCRIPTION COMMAND...
  local seconds=$1 what=$2
  shift 2
  poll "$seconds" "$@" || { echo "xorg-session: $what did not come up" >&2; return 1; }
}

xorg=/usr/lib/xorg/Xorg  # the server itself: /usr/bin/Xorg may be a set-uid wrapper
[ -x "$xorg" ] || xorg=$(command -v Xorg) || { echo "xorg-session: Xorg is not installed" >&2; exit 1; }
[ -f /usr/lib/xorg/modules/drivers/dummy_drv.so ] ||
  { echo "xorg-session: the dummy video driver (xserver-xorg-video-dummy) is not installed" >&2; exit 1; }

# The server's configuration. No input devices are looked for (there are
# none here, and no udev): the core pointer and keyboard of XTEST are what
# xdotool drives. The dummy card needs memory for the largest screen (1920 x
# 1080 x 4 bytes, 8 MB) and more for pixmaps; its screen starts at the first
# mode and may grow no larger than the virtual size.
mkdir -p "$session/xorg.conf.d"
cat >"$session/xorg.conf.d/00-serverflags.conf" <<'EOF'
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
  Option "AllowEmptyInput" "true"
  Option "DontVTSwitch" "true"
  Option "DontZap" "true"
  Option "BlankTime" "0"
  Option "StandbyTime" "0"
  Option "SuspendTime" "0"
  Option "OffTime" "0"
EndSection
EOF
cat >"$session/xorg.conf" <<'EOF'
Section "Device"
  Identifier "card"
  Driver "dummy"
  VideoRam 65536
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "1920x1080" 148.50 1920 2008 2052 2200 1080 1084 1089 1125 +hsync +vsync
  Modeline "1280x720" 74.25 1280 1390 1430 1650 720 725 730 750 +hsync +vsync
  Modeline "1024x768" 65.00 1024 1048 1184 1344 768 771 777 806 -hsync -vsync
EndSection
Section "Screen"
  Identifier "screen"
  Device "card"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "1920x1080" "1280x720" "1024x768"
    Virtual 1920 1080
  EndSubSection
EndSection
Section "ServerLayout"
  Identifier "layout"
  Screen "screen"
EndSection
EOF

# X server: it writes its display number to the pipe once it accepts
# clients. There is no console to take here: -sharevts leaves the virtual
# terminal as it is (no switch to a free one), -novtswitch keeps it there at
# the end, -keeptty leaves the controlling terminal alone.
exec 3<> <(:)
"$xorg" -displayfd 3 -config "$session/xorg.conf" -configdir "$session/xorg.conf.d" \
  -logfile "$session/xorg.log" -nolisten tcp -noreset -novtswitch -sharevts -keeptty \
  >"$session/xorg.out" 2>&1 </dev/null &
pids+=($!)
if ! read -r -t 30 display <&3; then
  echo "xorg-session: Xorg did not start" >&2
  cat "$session/xorg.out" "$session/xorg.log" >&2 2>/dev/null || true
  exit 1
fi
exec 3<&-
export DISPLAY=":$display"
# An X session: the recorder must not take it for a Wayland desktop.
unset WAYLAND_DISPLAY
export XDG_SESSION_TYPE=x11
export QT_QPA_PLATFORM=xcb

# The screen must follow RandR both ways before anything relies on it.
root_size() { xwininfo -root | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'; }
for size in 1280x720 1920x1080; do
  xrandr -s "$size" || { echo "xorg-session: xrandr -s $size failed" >&2; exit 1; }
  wait_for 10 "the $size screen" eval '[ "$(root_size)" = "$size" ]'
done

openbox --sm-disable >"$session/openbox.log" 2>&1 &
pids+=($!)
wait_for 30 "the window manager" wmctrl -m

"$@"
