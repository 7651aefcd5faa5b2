#!/usr/bin/env bash
# Recorder benchmark on a Wayland desktop: our engine (vardel_record) taking
# the screen through the ScreenCast portal and PipeWire, on the headless sway
# of scripts/wayland-session.sh, while vardel_pattern (an X client on
# Xwayland) covers the screen with a moving square and the wall clock in
# Gray-coded blocks. RUNS recordings of SECONDS each at 15 and at 30 fps.
# Prints per frame rate: our CPU seconds per recorded second, the
# compositor's (sway and Xwayland, which draws the pattern) over the same
# time, frames written, distinct frames, the worst timestamp error (pictures
# against the clock they show, counted from the first picture) and Start()
# to the first picture.
#
#   bench/recorder/wayland.sh [BUILD_DIR]        (default build/ci)
#   RUNS=3 SECONDS_EACH=5 bench/recorder/wayland.sh build/wl
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/ci}" && pwd)
tools="$build/tools"
for t in vardel_record vardel_pattern vardel_bench_probe; do
  [ -x "$tools/$t" ] || { echo "missing $tools/$t: build it first" >&2; exit 1; }
done
if [ -z "${WAYLAND_DISPLAY:-}" ]; then
  exec "$root/scripts/wayland-session.sh" env RUNS="${RUNS:-3}" SECONDS_EACH="${SECONDS_EACH:-5}" "$0" "$build"
fi

runs=${RUNS:-3}
secs=${SECONDS_EACH:-5}
work=$(mktemp -d "${TMPDIR:-/tmp}/vardel-bench-wl.XXXXXX")
source "$root/scripts/e2e-lib.sh"
cleanup() { stop_pids; rm -rf "$work"; }
trap cleanup EXIT

"$tools/vardel_pattern" --interval-ms 1 >"$work/pattern.out" 2>&1 &
pids+=($!)
poll 20 grep -q ready "$work/pattern.out" || fail "vardel_pattern did not start"

# The compositor's processes: sway (its pid is in SWAYSOCK's name) and Xwayland.
sway_pid=${SWAYSOCK%.sock}
sway_pid=${sway_pid##*.}
xwayland_pid=$(pgrep -u "$(id -u)" -x Xwayland | head -1)
ticks() {  # ticks PID...: user + system clock ticks of those processes
  local sum=0 pid
  for pid in "$@"; do
    read -r -a f < <(sed 's/^.*) //' "/proc/$pid/stat")
    sum=$((sum + f[11] + f[12]))
  done
  echo "$sum"
}
hz=$(getconf CLK_TCK)
now_ms() { date +%s%3N; }
field() { sed -n "s/^$1=//p" "$2"; }

for fps in 15 30; do
  if [ "$fps" = 15 ]; then profile="屏幕视频 - 中(CBR)"; else profile="屏幕视频 - 高(CBR)"; fi
  for i in $(seq "$runs"); do
    out="$work/wl-$fps-$i.wmv"
    before=$(ticks "$sway_pid" "$xwayland_pid")
    launch=$(now_ms)
    /usr/bin/time -f "%U %S %M" -o "$work/time" \
      "$tools/vardel_record" --out "$out" --seconds "$secs" --profile "$profile" --figures >"$work/fig"
    after=$(ticks "$sway_pid" "$xwayland_pid")
    "$tools/vardel_bench_probe" "$out" >"$work/probe"
    read -r user sys _ < <(tail -n 1 "$work/time")
    awk -v f="$fps" -v u="$user" -v s="$sys" -v c=$((after - before)) -v hz="$hz" \
        -v d="$(field duration_s "$work/probe")" -v n="$(field frames "$work/probe")" \
        -v k="$(field distinct "$work/probe")" -v e="$(field worst_error_ms "$work/probe")" \
        -v ff="$(field first_frame_ms "$work/fig")" -v src="$(field screen_source "$work/fig")" \
        'BEGIN { printf "%s %.4f %.4f %d %d %.1f %.1f %s\n", f, (u + s) / d, c / hz / d, n, k, e, ff, src }' \
      >>"$work/results"
  done
done

echo "Recorder benchmark on Wayland (headless sway, pixman, 1920x1080): $runs runs of ${secs} s"
echo "compositor = sway + Xwayland over the same time; Start->frame: Start() to the first picture"
awk '{ k = $1; n[k]++; o[k] += $2; c[k] += $3; fr[k] += $4; di[k] += $5; if ($6 > er[k]) er[k] = $6
       sf[k] += $7; src = $8 }
     END { printf "%-22s %10s %10s\n", "", "15 fps", "30 fps"
           printf "%-22s %10.3f %10.3f\n", "ours CPU s / rec. s", o[15] / n[15], o[30] / n[30]
           printf "%-22s %10.3f %10.3f\n", "compositor CPU s / s", c[15] / n[15], c[30] / n[30]
           printf "%-22s %10.1f %10.1f\n", "frames written", fr[15] / n[15], fr[30] / n[30]
           printf "%-22s %10.1f %10.1f\n", "distinct frames", di[15] / n[15], di[30] / n[30]
           printf "%-22s %10.1f %10.1f\n", "worst ts err ms", er[15], er[30]
           printf "%-22s %10.1f %10.1f\n", "Start->frame ms", sf[15] / n[15], sf[30] / n[30]
           printf "screen source: %s\n", src }' "$work/results"
