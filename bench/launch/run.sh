#!/usr/bin/env bash
# bench/launch/run.sh [RUNS]
#
# Wall time from the request to open a presentation until its window shows up
# titled as asked, through "PowerPoint.Application" (the tool
# vardel-office-open: create, Visible, Presentations.Open, Caption) against
# the office's own `soffice --impress FILE`, with a cold office (not running;
# an initialised profile) and a warm one (already running). The two ways
# alternate run by run, each with its own profile, so drift hits both alike.
# Target: through the component at most 1.1 times the direct open.
#
# Needs a display with a window manager: run it inside scripts/test-session.sh.
# VARDEL_BUILD names the build folder (default build/ci, the test command's).
set -euo pipefail

runs=${1:-5}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VARDEL_BUILD:-$root/build/ci}
driver=$build/components/office/vardel-office-open
soffice=/usr/lib/libreoffice/program/soffice
[ -n "${DISPLAY:-}" ] || { echo "no DISPLAY: run inside scripts/test-session.sh" >&2; exit 1; }
[ -x "$driver" ] || { echo "$driver is missing: build first" >&2; exit 1; }

work=$(mktemp -d /tmp/vardel-bench-launch.XXXXXX)
# Every office this script starts names $work on its command line; end them
# by process id. (The bracket keeps pgrep from matching its own shell.)
office_pids() { pgrep -f "[${work:0:1}]${work:1}" || true; }
stop_offices() {
  local pids
  pids=$(office_pids)
  [ -z "$pids" ] && return 0
  kill $pids 2>/dev/null || true
  for _ in $(seq 100); do [ -z "$(office_pids)" ] && return 0; sleep 0.1; done
  kill -9 $(office_pids) 2>/dev/null || true
}
cleanup() { stop_offices; rm -rf "$work"; }
trap cleanup EXIT

"$root/components/office/tests/make-sample.sh" "$soffice" \
  "$root/components/office/tests/fixture/sample.fodp" "$work"
# An initialised profile, copied for every cold run: first-start set-up is
# not what is measured.
timeout 120 "$soffice" -env:UserInstallation="file://$work/template" --headless \
  --terminate_after_init >/dev/null 2>&1 || true

now() { date +%s%N; }
# measure SHOWN_REGEX TITLED_REGEX COMMAND...: milliseconds from the command's
# start until a window whose title matches TITLED_REGEX appears; also writes
# when the presentation's window first showed (SHOWN_REGEX or already titled)
# to $work/shown.
measure() {
  local shown=$1 titled=$2 start end seen=""
  shift 2
  start=$(now)
  "$@" >/dev/null 2>&1 &
  local deadline=$((SECONDS + 120))
  until xdotool search --name "$titled" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || { echo "timeout waiting for '$titled'" >&2; exit 1; }
    if [ -z "$seen" ] && xdotool search --name "$shown" >/dev/null 2>&1; then seen=$(now); fi
    sleep 0.01
  done
  end=$(now)
  echo $((((${seen:-$end}) - start) / 1000000)) >"$work/shown"
  echo $(((end - start) / 1000000))
}

n=0
# A new copy per run, so each open loads a file the office does not have open.
fresh_file() { n=$((n + 1)); file="$work/run-$n.ppt"; cp "$work/sample.ppt" "$file"; }

via_component() {  # via_component PROFILE
  local file caption
  fresh_file
  caption="Vardel bench $n"
  UserInstallation="file://$1" measure "^run-$n\\.ppt - LibreOffice Impress\$" "^$caption\$" \
    timeout 120 "$driver" "$file" "$caption"
}
direct() {  # direct PROFILE
  local file
  fresh_file
  local title="^run-$n\\.ppt - LibreOffice Impress\$"
  measure "$title" "$title" "$soffice" -env:UserInstallation="file://$1" --impress "$file"
}

declare -A times
record() { times[$1]="${times[$1]:-} $2"; }

profile() { rm -rf "$work/$1"; cp -a "$work/template" "$work/$1"; echo "$work/$1"; }

for i in $(seq "$runs"); do
  for way in via_component direct; do
    [ $((i % 2)) -eq 0 ] && way=$([ $way = direct ] && echo via_component || echo direct)
    p=$(profile "cold-$way")
    $way "$p" >"$work/t"
    record "cold $way" "$(cat "$work/t")"
    record "cold $way shown" "$(cat "$work/shown")"
    stop_offices
  done
done

# Warm: one office per way, started (untimed) by a first open.
pv=$(profile warm-via_component)
pd=$(profile warm-direct)
via_component "$pv" >/dev/null
direct "$pd" >/dev/null
for i in $(seq "$runs"); do
  for way in via_component direct; do
    [ $((i % 2)) -eq 0 ] && way=$([ $way = direct ] && echo via_component || echo direct)
    eval "p=\$p${way:0:1}"
    $way "$p" >"$work/t"
    record "warm $way" "$(cat "$work/t")"
    record "warm $way shown" "$(cat "$work/shown")"
  done
done

stats() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1; s+=$1} END {printf "%d %d %d %d", a[int((NR+1)/2)], s/NR, a[1], a[NR]}'; }
printf 'Until the window is titled (and, for comparison, first shown):\n'
printf '%-6s %-20s %8s %8s %8s %8s   runs (ms)\n' office way median mean min max
for mode in cold warm; do
  for way in via_component direct "via_component shown"; do
    read -r med mean min max <<<"$(echo "${times[$mode $way]}" | stats)"
    eval "med_${mode}_${way% *}=\${med_${mode}_${way% *}:-$med}"
    printf '%-6s %-20s %8d %8d %8d %8d  %s\n' "$mode" "$way" "$med" "$mean" "$min" "$max" "${times[$mode $way]}"
  done
done
for mode in cold warm; do
  eval "a=\$med_${mode}_via_component b=\$med_${mode}_direct"
  awk -v m="$mode" -v a="$a" -v b="$b" 'BEGIN {printf "%s: component / direct = %.2f (target <= 1.10)\n", m, a / b}'
done
