#!/usr/bin/env bash
# Installs the Debian 12 packages the kit needs to build, run and test.
# Idempotent: packages already present are skipped by apt, and the package
# lists are refreshed only when a package is missing.
set -euo pipefail

build=(cmake ninja-build g++ pkg-config git
       qt6-base-dev qt6-base-dev-tools
       libavformat-dev libavcodec-dev libavdevice-dev libavutil-dev
       libswscale-dev libswresample-dev libyuv-dev
       libxcb1-dev libxcb-shm0-dev libxcb-xfixes0-dev libxcb-damage0-dev libxcb-randr0-dev
       libpulse-dev libpipewire-0.3-dev libsystemd-dev
       libreoffice-dev)
run=(libreoffice-impress fonts-noto-cjk fonts-liberation fonts-dejavu-core
     pulseaudio-utils)
test=(googletest libgtest-dev libgmock-dev qt6-base-private-dev
      xvfb openbox xdotool wmctrl xclip x11-utils x11-xserver-utils
      xserver-xorg-core xserver-xorg-video-dummy python3
      ffmpeg procps psmisc time
      gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-base-apps
      gstreamer1.0-plugins-ugly gstreamer1.0-libav mplayer mediainfo
      g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64
      appstream desktop-file-utils dpkg-dev file lintian man-db
      pulseaudio
      sway xwayland foot x11-apps acl dbus-daemon dbus-bin python3-dbus python3-gi
      pipewire pipewire-bin pipewire-pulse wireplumber
      xdg-desktop-portal xdg-desktop-portal-wlr
      chromium
      libwayland-dev wayland-protocols)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Sound: the recorder speaks PulseAudio's protocol, which PipeWire's
# pipewire-pulse serves too. Where sound already runs on PipeWire (its
# PulseAudio server installed or running, or the server reports itself as
# PipeWire), PulseAudio's own server would only compete for the session's
# sound socket, so it is installed only elsewhere. (The tests' private
# session starts PulseAudio's server itself, hence it is in the test list.)
sound_on_pipewire() {
  installed pipewire-pulse || pgrep -x pipewire-pulse >/dev/null 2>&1 ||
    LC_ALL=C pactl info 2>/dev/null | grep -q '^Server Name: .*PipeWire'
}
sound_on_pipewire || run+=(pulseaudio)

want=("${build[@]}" "${run[@]}")
[ "${1:-}" = "--test" ] && want+=("${test[@]}")
# --list (last): print the packages wanted, install nothing.
[ "${!#}" = "--list" ] && { printf '%s\n' "${want[@]}"; exit 0; }

missing=()
for p in "${want[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
