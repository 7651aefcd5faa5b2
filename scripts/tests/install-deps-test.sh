#!/usr/bin/env bash
# Checks which sound server scripts/install-deps.sh asks for: PulseAudio's
# server only where sound does not already run on PipeWire, and always for
# the tests' private session. dpkg-query, pgrep and pactl are replaced by
# fakes that describe the machine; nothing is installed (--list).
set -euo pipefail
script="$(cd "$(dirname "$0")/.." && pwd)/install-deps.sh"
fakes=$(mktemp -d)
trap 'rm -rf "$fakes"' EXIT

# FAKE_INSTALLED: installed packages (space separated); FAKE_RUNNING: running
# process names; FAKE_SERVER: the "Server Name" pactl reports, none if empty.
cat >"$fakes/dpkg-query" <<'FAKE'
#!/bin/sh
eval "pkg=\${$#}"
case " $FAKE_INSTALLED " in *" $pkg "*) printf 'install ok installed' ;; *) exit 1 ;; esac
FAKE
cat >"$fakes/pgrep" <<'FAKE'
#!/bin/sh
eval "name=\${$#}"
case " $FAKE_RUNNING " in *" $name "*) echo 4242 ;; *) exit 1 ;; esac
FAKE
cat >"$fakes/pactl" <<'FAKE'
#!/bin/sh
[ "$1" = info ] && [ -n "$FAKE_SERVER" ] || { echo "Connection failure: Connection refused" >&2; exit 1; }
printf 'Server String: /run/user/1000/pulse/native\nServer Name: %s\nServer Version: 16.1\n' "$FAKE_SERVER"
FAKE
chmod +x "$fakes"/*

failures=0
check() {  # check DESCRIPTION yes|no INSTALLED RUNNING SERVER [ARGS...]: is pulseaudio wanted?
  local what=$1 expect=$2 got=no list
  export FAKE_INSTALLED=$3 FAKE_RUNNING=$4 FAKE_SERVER=$5
  shift 5
  list=$(PATH="$fakes:$PATH" "$script" "$@" --list)
  grep -qx pulseaudio <<<"$list" && got=yes
  # The client tools (pactl) are wanted everywhere.
  grep -qx pulseaudio-utils <<<"$list" || got="$got, without pulseaudio-utils"
  if [ "$got" = "$expect" ]; then echo "PASS: $what"; else
    echo "FAIL: $what: pulseaudio wanted: $got, expected $expect"; failures=$((failures + 1)); fi
}

check "a machine without a sound server gets PulseAudio's" yes "" "" ""
check "a machine running PulseAudio's own server keeps it" yes "pulseaudio" "pulseaudio" "pulseaudio"
check "pipewire-pulse installed: no PulseAudio server" no "pipewire pipewire-pulse" "" ""
check "pipewire-pulse running (not from a package): no PulseAudio server" no "" "pipewire pipewire-pulse" ""
check "the sound server reports itself as PipeWire: no PulseAudio server" no "" "" \
  "PulseAudio (on PipeWire 0.3.65)"
check "PipeWire running without its PulseAudio server: PulseAudio's is wanted" yes "pipewire" "pipewire" ""
check "the tests' private session needs PulseAudio's server even on PipeWire" yes \
  "pipewire-pulse" "pipewire-pulse" "PulseAudio (on PipeWire 0.3.65)" --test

[ $failures = 0 ]
