#!/usr/bin/env bash
# Builds the Debian package, checks it against Debian's policy with lintian
# and checks what it declares, installs it with apt, checks the installed
# menu entries, metadata, manual pages and changelog, starts both installed
# programs and checks their windows, lets the installed launcher open its
# demonstration presentation in LibreOffice, and removes the package again.
# Runs inside test-session.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -n "${DISPLAY:-}" ] || { echo "test-package: no DISPLAY; run inside scripts/test-session.sh" >&2; exit 1; }

cmake --preset package >/dev/null
cmake --build --preset package
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/vardel-courseware_*.deb | head -n1)
echo "test-package: built $deb"
source scripts/e2e-lib.sh

pass=0
failures=0
result() {  # result OK? DESCRIPTION
  if [ "$1" = 0 ]; then echo "PASS: $2"; pass=$((pass + 1)); else echo "FAIL: $2"; failures=$((failures + 1)); fi
}

# Debian's policy: no error or warning from lintian. A tag may be overridden
# only with a comment saying why (the line before the override).
rc=0; tags=$(lintian --no-tag-display-limit "$deb" 2>&1 | grep -E '^[EW]: ') || true
[ -z "$tags" ] || { echo "$tags"; rc=1; }
result $rc "lintian finds no error or warning in the package"
unpacked=$(mktemp -d /tmp/vardel-package-contents.XXXXXX)
dpkg-deb -R "$deb" "$unpacked"
rc=0
overrides="$unpacked/usr/share/lintian/overrides/vardel-courseware"
if [ -f "$overrides" ]; then
  awk '/^[[:space:]]*$/ { prev = ""; next }
       /^#/ { prev = $0; next }
       prev == "" { print "override without a reason: " $0; bad = 1 }
       { prev = "" }
       END { exit bad }' "$overrides" || rc=1
fi
result $rc "every lintian override says why"
# The office module is private (not on the library path): no ldconfig.
rc=0; ! grep -rqs ldconfig "$unpacked/DEBIAN" || rc=1
result $rc "no ldconfig in the maintainer scripts or triggers"
rc=0
depends=$(dpkg-deb -f "$deb" Depends)
for p in libpipewire-0.3-0 libsystemd0 libpulse0 libuno-cppu3; do
  grep -Eq "(^|, )$p( |,|$)" <<<"$depends" || { echo "Depends lacks $p: $depends"; rc=1; }
done
result $rc "Depends names the libraries of the X11 and Wayland paths and the office module"
rc=0
recommends=$(dpkg-deb -f "$deb" Recommends)
for p in "pulseaudio | pipewire-pulse" "xdg-desktop-portal," "xdg-desktop-portal-gnome | xdg-desktop-portal-kde | xdg-desktop-portal-wlr"; do
  grep -qF "$p" <<<"$recommends" || { echo "Recommends lacks '$p': $recommends"; rc=1; }
done
result $rc "Recommends accepts PipeWire's sound server and names the ScreenCast portal"
rm -rf "$unpacked"

export DEBIAN_FRONTEND=noninteractive
# Minimal Debian images may keep dpkg from installing manual pages
# (path-exclude in /etc/dpkg/dpkg.cfg.d/). Only for this install, our own two
# pages are let through, so that the test sees what a desktop installs.
install_options=()
if grep -hqsE '^[[:space:]]*path-exclude[[:space:]=]+/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  echo "test-package: dpkg excludes /usr/share/man here; including this package's pages for the test"
  for page in Quenlo Grabvid; do
    install_options+=(-o "DPkg::Options::=--path-include=/usr/share/man/man1/$page.1.gz")
  done
fi
apt-get install -y "${install_options[@]}" "./$deb" >/dev/null
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
wait_window() {  # wait_window SECONDS TITLE -> prints the window id
  poll "$1" xdotool search --onlyvisible --name "^$2\$" || return 1
  xdotool search --onlyvisible --name "^$2\$" | head -n1
}
rc=0
for page in Quenlo Grabvid; do
  found=$(man -w "$page" 2>&1) && [ "$found" = "/usr/share/man/man1/$page.1.gz" ] ||
    { echo "man -w $page: $found"; rc=1; }
done
result $rc "man finds the installed manual pages of Quenlo and Grabvid"
rc=0
# The files Quenlo's page names (the demonstration presentation, the office
# module) are where the package put them.
while read -r path; do
  [ -e "$path" ] || { echo "Quenlo(1) names $path, which is not installed"; rc=1; }
done < <(zcat /usr/share/man/man1/Quenlo.1.gz | sed -n 's/^\.I "\{0,1\}\(\\%\)\{0,1\}\(\/[^"]*\)"\{0,1\}$/\2/p' |
         sed 's/\\://g' | grep -v '^/usr/lib/libreoffice/')
result $rc "the files named in Quenlo's manual page are installed"
rc=0
installed_version=$(dpkg-query -W -f='${Version}' vardel-courseware)
changelog_version=$(zcat /usr/share/doc/vardel-courseware/changelog.gz | dpkg-parsechangelog -l- -SVersion) || rc=1
[ "$installed_version" = "$changelog_version" ] ||
  { echo "package $installed_version, changelog $changelog_version"; rc=1; }
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  /usr/share/doc/vardel-courseware/copyright || rc=1
result $rc "the installed changelog's newest entry is the package's version; the copyright is DEP-5"

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
