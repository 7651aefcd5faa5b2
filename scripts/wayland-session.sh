#!/usr/bin/env bash
# Runs a command inside a private headless Wayland desktop for the end-to-end
# tests:
#   - sway (headless backend, pixman renderer, one 1920x1080 output
#     HEADLESS-1) with Xwayland; the command gets WAYLAND_DISPLAY, DISPLAY
#     (Xwayland's) and SWAYSOCK
#   - PipeWire, WirePlumber and pipewire-pulse, with a null sink whose monitor
#     is the default source, so a sound played is a sound recorded
#   - the ScreenCast portal: xdg-desktop-portal with xdg-desktop-portal-wlr
#     sharing HEADLESS-1 without asking (chooser_type=none)
# all on a session bus of its own (dbus-run-session) and a runtime folder of
# its own. With --x11 the desktop is an X session on PipeWire instead: Xvfb
# at 1920x1080 with openbox in place of sway and the portal, the same sound. sway refuses to run as root, so as root the session and the
# command run as the system user vardel-wl, created on first use. Everything
# started is stopped again by process id when the command ends; the logs are
# printed when the session fails to come up or the command fails.
#
#   scripts/wayland-session.sh [--x11] [--out DIR] COMMAND [ARG...]
#
# --out DIR: a folder the command may write to (created and given to the
# session's user); the command finds it in VARDEL_WL_OUT. The command also
# gets VARDEL_WL_SESSION (the session's private folder) and every VARDEL_*
# variable of the caller.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/e2e-lib.sh"
user_name=vardel-wl

say() { echo "wayland-session: $*" >&2; }

# --- Inside: the desktop itself, run as the session's user on its own bus. ----
if [ "${1:-}" = "--inside" ]; then
  shift
  session=$VARDEL_WL_SESSION
  logs=$session/log
  cleanup() { stop_pids; }
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  begin=$(date +%s%N)

  wait_for() {  # wait_for SECONDS DESCRIPTION COMMAND...
    local seconds=$1 what=$2
    shift 2
    poll "$seconds" "$@" || { say "$what did not come up"; return 1; }
  }
  has_name() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
  }

  unset DISPLAY WAYLAND_DISPLAY SWAYSOCK PULSE_SERVER
  if [ "$VARDEL_WL_X11" = 1 ]; then
    # An X session: its server writes its display number to the pipe once
    # it accepts clients.
    export XDG_SESSION_TYPE=x11
    exec 3<> <(:)
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset >"$logs/xvfb.log" 2>&1 &
    pids+=($!)
    read -r -t 30 display <&3 || { say "Xvfb did not start"; exit 1; }
    exec 3<&-
    export DISPLAY=":$display"
    openbox --sm-disable >"$logs/openbox.log" 2>&1 &
    pids+=($!)
    wait_for 30 "the window manager" wmctrl -m
  else
  export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland XDG_SESSION_DESKTOP=sway

  # The compositor. Xwayland starts on the first X client; sway picks its
  # display number and puts it in the environment of what it starts.
  mkdir -p "$XDG_CONFIG_HOME"
  cat >"$XDG_RUNTIME_DIR/sway.conf" <<'EOF'
xwayland enable
output HEADLESS-1 resolution 1920x1080 position 0 0
default_border normal
focus_follows_mouse no
EOF
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    sway --config "$XDG_RUNTIME_DIR/sway.conf" >"$logs/sway.log" 2>&1 &
  sway_pid=$!
  pids+=("$sway_pid")
  export SWAYSOCK="$XDG_RUNTIME_DIR/sway-ipc.$(id -u).$sway_pid.sock"
  wait_for 30 "sway" swaymsg -t get_version
  wayland=$(swaymsg -t get_outputs >/dev/null && cd "$XDG_RUNTIME_DIR" && ls wayland-* | grep -v '\.lock$' | head -1)
  [ -n "$wayland" ] || { say "sway has no Wayland socket"; exit 1; }
  export WAYLAND_DISPLAY=$wayland
  swaymsg exec "printf '%s' \"\$DISPLAY\" >'$XDG_RUNTIME_DIR/display.new' && mv '$XDG_RUNTIME_DIR/display.new' '$XDG_RUNTIME_DIR/display'" >/dev/null
  wait_for 10 "sway's exec" test -s "$XDG_RUNTIME_DIR/display"
  DISPLAY=$(cat "$XDG_RUNTIME_DIR/display")
  export DISPLAY
  wait_for 30 "Xwayland on $DISPLAY" xdpyinfo
  fi

  # Sound: PipeWire with the PulseAudio protocol on the runtime folder.
  # Its graph cycle is kept at 1024 samples (21.3 ms at 48 kHz, PipeWire's
  # own default) however short a latency the clients ask for. The clients
  # here ask for 20 ms, which would give 512 samples (10.7 ms); on a virtual
  # machine whose processors the host holds up now and then, even a
  # real-time thread wakes up to 14 ms late, a 10.7 ms cycle is missed, and
  # the sink plays and records a cycle of silence that no client caused.
  mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
  cat >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/cycle.conf" <<'EOF'
context.properties = {
    default.clock.min-quantum = 1024
}
EOF
  pipewire >"$logs/pipewire.log" 2>&1 &
  pids+=($!)
  wait_for 30 "PipeWire" test -S "$XDG_RUNTIME_DIR/pipewire-0"
  wireplumber >"$logs/wireplumber.log" 2>&1 &
  pids+=($!)
  # pipewire-pulse gives up when its folder appears between its own check
  # and its mkdir, which the first `pactl info` below (or any early client)
  # can do: the folder is made before it starts.
  mkdir -p -m 700 "$XDG_RUNTIME_DIR/pulse"
  pipewire-pulse >"$logs/pipewire-pulse.log" 2>&1 &
  pids+=($!)
  wait_for 30 "pipewire-pulse" pactl info
  pactl load-module module-null-sink sink_name=vardel_null rate=48000 channels=2 >/dev/null
  # The default devices live in WirePlumber's metadata, which may come up
  # after pipewire-pulse: set them until they read back.
  defaults_set() {
    pactl set-default-sink vardel_null && pactl set-default-source vardel_null.monitor &&
      [ "$(pactl get-default-sink)" = vardel_null ] &&
      [ "$(pactl get-default-source)" = vardel_null.monitor ]
  }
  wait_for 30 "the null sink as default" defaults_set

  # The portal (not on an X session). xdg-desktop-portal 1.16 takes the
  # backend whose UseIn= names XDG_CURRENT_DESKTOP (wlr.portal: "sway").
  if [ "$VARDEL_WL_X11" != 1 ]; then
  mkdir -p "$XDG_CONFIG_HOME/xdg-desktop-portal-wlr"
  cat >"$XDG_CONFIG_HOME/xdg-desktop-portal-wlr/config" <<'EOF'
[screencast]
output_name=HEADLESS-1
chooser_type=none
max_fps=60
EOF
  /usr/libexec/xdg-permission-store --replace >"$logs/xdg-permission-store.log" 2>&1 &
  pids+=($!)
  wait_for 30 "the permission store" has_name org.freedesktop.impl.portal.PermissionStore
  # shm-frame-format.so: this portal refuses to start a screencast on a
  # compositor without DMA-BUF (shm-frame-format.c says why and how).
  LD_PRELOAD="$session/shm-frame-format.so" /usr/libexec/xdg-desktop-portal-wlr --replace --loglevel=DEBUG \
    >"$logs/xdg-desktop-portal-wlr.log" 2>&1 &
  pids+=($!)
  wait_for 30 "xdg-desktop-portal-wlr" has_name org.freedesktop.impl.portal.desktop.wlr
  /usr/libexec/xdg-desktop-portal --replace --verbose >"$logs/xdg-desktop-portal.log" 2>&1 &
  pids+=($!)
  wait_for 30 "xdg-desktop-portal" has_name org.freedesktop.portal.Desktop
  fi

  say "up in $(( ($(date +%s%N) - begin) / 1000000 )) ms (WAYLAND_DISPLAY=${WAYLAND_DISPLAY:-} DISPLAY=$DISPLAY)"
  status=0
  "$@" || status=$?
  exit "$status"
fi

# --- Outside: the user, the private folders, the bus. -------------------------
out=""
x11=0
if [ "${1:-}" = "--x11" ]; then
  x11=1
  shift
fi
if [ "${1:-}" = "--out" ]; then
  out=$2
  shift 2
fi
[ $# -gt 0 ] || { echo "usage: $0 [--x11] [--out DIR] COMMAND [ARG...]" >&2; exit 2; }

if [ "$(id -u)" -eq 0 ]; then
  # A system user with no login; dbus-daemon wants the uid in passwd.
  # Two sessions starting at once may both try; the second finds it made.
  id -u "$user_name" >/dev/null 2>&1 ||
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$user_name" 2>/dev/null ||
    id -u "$user_name" >/dev/null
  as_user=(runuser -u "$user_name" --)
  # The command runs as that user, so its program and the paths it is given
  # (a checkout and a build tree, perhaps under root's home) must be
  # reachable for it: folders it cannot pass through get an ACL entry that
  # lets this user (and no one else) through, removed again at the end.
  granted=() undo=()
  grant_passage() {
    local dir
    dir=$(dirname "$1")
    while [ "$dir" != / ]; do
      if ! runuser -u "$user_name" -- test -x "$dir"; then
        # A folder without an ACL of its own gets its plain mode back at the end.
        if [ -z "$(getfacl --skip-base --absolute-names "$dir" 2>/dev/null)" ]; then
          setfacl -m "u:$user_name:x" "$dir" && granted+=("$dir") && undo+=(-b)
        else
          setfacl -m "u:$user_name:x" "$dir" && granted+=("$dir") && undo+=("-xu:$user_name")
        fi
      fi
      dir=$(dirname "$dir")
    done
  }
  for arg in "$@"; do
    [[ $arg == /* && -e $arg ]] || continue
    if [ -d "$arg" ]; then grant_passage "$arg/."; else grant_passage "$arg"; fi
  done
  if [[ $1 == */* ]] && ! runuser -u "$user_name" -- test -x "$1"; then
    say "$user_name cannot run $1, even with passage through the folders above it"
    exit 1
  fi
else
  user_name=$(id -un)
  as_user=()
  granted=() undo=()
fi

session=$(mktemp -d /tmp/vardel-wl.XXXXXX)
status=0
cleanup() {
  stop_pids
  local dir
  local i
  for i in "${!granted[@]}"; do setfacl "${undo[$i]}" "${granted[$i]}" 2>/dev/null || true; done
  # Whatever the session started and left behind (a D-Bus activated
  # service, an Xwayland that outlived sway) carries the session's folder
  # in its environment.
  local pid
  for pid in $(pids_with_env "VARDEL_WL_SESSION=$session"); do kill "$pid" 2>/dev/null || true; done
  for pid in $(pids_with_env "VARDEL_WL_SESSION=$session"); do
    poll 5 eval "! kill -0 $pid" || kill -9 "$pid" 2>/dev/null || true
  done
  if [ "$status" != 0 ] && [ -d "$session/log" ]; then
    local log
    for log in "$session"/log/*.log; do
      [ -s "$log" ] || continue
      echo "----- ${log##*/} (last 40 lines)" >&2
      tail -n 40 "$log" >&2
    done
  fi
  rm -rf "$session"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

chmod 755 "$session"
mkdir -p "$session/run" "$session/home" "$session/log"
chmod 700 "$session/run"
cc -shared -fPIC -O2 -Wall -Werror -o "$session/shm-frame-format.so" \
  "$here/wayland-session/shm-frame-format.c" -ldl -lpthread
# The X sockets' folder, as an X server run by root would make it.
[ -d /tmp/.X11-unix ] || { mkdir -p /tmp/.X11-unix && chmod 1777 /tmp/.X11-unix; } 2>/dev/null || true
if [ -n "$out" ]; then
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
fi
if [ "$(id -u)" -eq 0 ]; then
  chown -R "$user_name:" "$session/run" "$session/home" "$session/log"
  [ -z "$out" ] || chown "$user_name:" "$out"
fi

environment=(HOME="$session/home" USER="$user_name" LOGNAME="$user_name"
             PATH="/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin"
             LANG=C.UTF-8 TERM="${TERM:-dumb}"
             XDG_RUNTIME_DIR="$session/run" XDG_CONFIG_HOME="$session/home/.config"
             XDG_DATA_HOME="$session/home/.local/share" XDG_CACHE_HOME="$session/home/.cache"
             VARDEL_WL_SESSION="$session" VARDEL_WL_OUT="$out" VARDEL_WL_X11="$x11")
while IFS='=' read -r name _; do
  case $name in VARDEL_WL_*) ;; VARDEL_*) environment+=("$name=${!name}") ;; esac
done < <(env)

# The command starts in the caller's folder when the session's user may
# enter it, else in the session's home.
"${as_user[@]}" test -x "$PWD" -a -r "$PWD" 2>/dev/null || cd "$session/home"
# On a desktop RealtimeKit lets the sound server and the clients that ask
# for it (module-rt) schedule the threads that move sound in real time;
# without that a busy machine holds a cycle up now and then and its sound is
# lost. Here there is no RealtimeKit and no RLIMIT_RTPRIO to give: the
# session's processes get CAP_SYS_NICE instead, and module-rt takes the same
# priorities itself.
session_as=("${as_user[@]}")
if [ "$(id -u)" -eq 0 ]; then
  session_as=(setpriv "--reuid=$user_name" "--regid=$user_name" --init-groups
              --inh-caps=+sys_nice --ambient-caps=+sys_nice --)
fi
"${session_as[@]}" env -i "${environment[@]}" dbus-run-session -- "$here/wayland-session.sh" --inside "$@" &
pids+=($!)
wait "${pids[-1]}" || status=$?
exit "$status"
