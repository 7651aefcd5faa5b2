#!/usr/bin/env bash
# Runs a command inside a private desktop session for the end-to-end tests:
#   - Xvfb at 1920x1080x24 on a free display (-displayfd, never a fixed number)
#   - openbox, so minimise, restore and close requests behave as on a desktop
#   - a private PulseAudio with a null sink whose monitor is the default source
#   - a scratch folder for office profiles (VARDEL_TEST_OFFICE_PROFILE)
# Everything started here is stopped again by process id when the command ends.
#
#   scripts/test-session.sh COMMAND [ARG...]
set -euo pipefail

source "$(dirname "$0")/e2e-lib.sh"
session=$(mktemp -d /tmp/vardel-session.XXXXXX)
cleanup() {
  stop_pids
  if [ -x "$session/pulse-restart.sh" ]; then "$session/pulse-restart.sh" stop; fi
  rm -rf "$session"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() {  # wait_for SECONDS DESCRIPTION COMMAND...
  local seconds=$1 what=$2
  shift 2
  poll "$seconds" "$@" || { echo "test-session: $what did not come up" >&2; return 1; }
}

# X server: it writes its display number to the pipe once it accepts clients.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset >"$session/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 30 display <&3 || { echo "test-session: Xvfb did not start" >&2; cat "$session/xvfb.log" >&2; exit 1; }
exec 3<&-
export DISPLAY=":$display"
# An X session: the recorder must not take it for a Wayland desktop.
unset WAYLAND_DISPLAY
export XDG_SESSION_TYPE=x11

openbox --sm-disable >"$session/openbox.log" 2>&1 &
pids+=($!)
wait_for 30 "the window manager" wmctrl -m

# Audio: a server of our own on a socket of our own. A test may stop it and
# start it again, as a desktop's sound server restarts: the script that
# VARDEL_TEST_PULSE_RESTART names stops it ("stop", or no argument) by the id
# in $session/pulse.pid and starts it again ("start") with the same sink and
# defaults. The session's end stops whichever server that file names.
mkdir -p "$session/pulse" "$session/home"
chmod 700 "$session/pulse"
export XDG_RUNTIME_DIR="$session/pulse"
export PULSE_SERVER="unix:$session/pulse/native"
export VARDEL_TEST_PULSE_RESTART="$session/pulse-restart.sh"
{
  echo '#!/usr/bin/env bash'
  echo "# The private PulseAudio of scripts/test-session.sh: stop | start."
  echo 'set -euo pipefail'
  printf 'session=%q\n' "$session"
  printf 'export XDG_RUNTIME_DIR=%q PULSE_SERVER=%q\n' "$XDG_RUNTIME_DIR" "$PULSE_SERVER"
  cat <<'SCRIPT'
pidfile="$session/pulse.pid"
# A server started by an earlier "start" has no parent left to collect it
# once it ends: a zombie counts as gone.
alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}
case "${1:-stop}" in
  stop)
    pid=$(cat "$pidfile" 2>/dev/null || true)
    [ -n "$pid" ] || exit 0
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
    if alive "$pid"; then
      kill -9 "$pid" 2>/dev/null || true
      for _ in $(seq 50); do alive "$pid" || break; sleep 0.1; done
    fi
    rm -f "$pidfile"
    ;;
  start)
    HOME="$session/home" pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit \
      --use-pid-file=no --log-target=file:"$session/pulse.log" \
      --load="module-native-protocol-unix socket=$session/pulse/native auth-anonymous=1" \
      --load="module-null-sink sink_name=vardel_null rate=48000 channels=2" \
      </dev/null >/dev/null 2>&1 &
    echo $! >"$pidfile"
    deadline=$((SECONDS + 30))
    until pactl info >/dev/null 2>&1; do
      [ $SECONDS -lt $deadline ] || { echo "test-session: PulseAudio did not come up" >&2; exit 1; }
      sleep 0.2
    done
    pactl set-default-sink vardel_null
    pactl set-default-source vardel_null.monitor
    ;;
  *)
    echo "usage: $0 [stop|start]" >&2
    exit 2
    ;;
esac
SCRIPT
} >"$VARDEL_TEST_PULSE_RESTART"
chmod +x "$VARDEL_TEST_PULSE_RESTART"
"$VARDEL_TEST_PULSE_RESTART" start

mkdir -p "$session/office"
export VARDEL_TEST_OFFICE_PROFILE="$session/office"
export QT_QPA_PLATFORM=xcb

"$@"
