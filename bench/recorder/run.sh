#!/usr/bin/env bash
# Recorder benchmark: our engine (vardel_record) against the ffmpeg
# command-line tool doing the same job (x11grab -> wmv2 in ASF at the same
# frame rate, bit rate and key-frame interval), on the same Xvfb display
# showing the same content: moving (vardel_pattern: a moving square and the
# wall clock in Gray-coded blocks) at 15 and at 30 fps; a detailed text slide
# shown full screen at 30 fps, for the picture's quality; then a still
# desktop (a plain background, nothing moving) at 30 fps. Runs alternate
# between the two, RUNS of each, SECONDS_EACH long (the still desktop
# STILL_SECONDS: its own cost is a fraction of either program's start-up,
# about 0.1 CPU s, which a short recording would mostly measure). Prints per
# tool: CPU seconds per recorded second, frames written, distinct frames,
# worst timestamp error, peak memory, first-frame latency, stop-to-complete
# latency, for the slide the size and the quality players show (luma MSE,
# PSNR and SSIM against a lossless grab of the screen, bench/recorder/slide.sh),
# and the ratio ours / theirs.
# Last, on a screen that changes size (the Xorg of scripts/xorg-session.sh):
# our recording of the moving content at 30 fps while the screen goes to
# 1280x720 a third of the way in and back to 1920x1080 at two thirds, against
# the same recording with no change, alternated, RUNS of each (at least
# 6 s): CPU seconds per recorded second, frames written, and the longest
# gap between consecutive pictures within half a second of each change (of
# the same moments without one).
#
#   bench/recorder/run.sh [BUILD_DIR]        (default build/ci)
#   RUNS=3 SECONDS_EACH=5 STILL_SECONDS=20 bench/recorder/run.sh build/engine
#
# Needs the tools built:  cmake --build BUILD_DIR --target vardel_record
#   vardel_pattern vardel_bench_probe
# Runs inside scripts/test-session.sh unless DISPLAY is already set.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

# The screen-size row, run on scripts/xorg-session.sh's server:
#   run.sh --screen-changes BUILD_DIR RESULTS
# appends "changes|steady cpu_per_s frames gap1_ms gap2_ms" lines to RESULTS.
if [ "${1:-}" = --screen-changes ]; then
  tools="$2/tools" results=$3
  runs=${RUNS:-3}
  secs=$(awk -v s="${SECONDS_EACH:-5}" 'BEGIN { print (s < 6 ? 6 : s) }')
  work=$(mktemp -d /tmp/vardel-bench-resize.XXXXXX)
  pattern_pid=
  cleanup() {
    [ -n "$pattern_pid" ] && kill "$pattern_pid" 2>/dev/null && wait "$pattern_pid" 2>/dev/null
    xrandr -s 1920x1080 2>/dev/null || true
    rm -rf "$work"
  }
  trap cleanup EXIT
  "$tools/vardel_pattern" --interval-ms 1 >"$work/pattern.out" &
  pattern_pid=$!
  for _ in $(seq 100); do grep -q ready "$work/pattern.out" && break; sleep 0.1; done
  # sleep_until T: returns at steady time T and prints the time it did.
  sleep_until() {
    python3 -c 'import sys, time
time.sleep(max(0.0, float(sys.argv[1]) - time.monotonic()))
print(f"{time.monotonic():.6f}")' "$1"
  }
  record_changes() {  # record_changes changes|steady
    local out="$work/$1.wmv" started at1 at2
    rm -f "$out" "$work/ready"
    /usr/bin/time -f "%U %S" -o "$work/time" "$tools/vardel_record" --out "$out" --seconds "$secs" \
      --profile "屏幕视频 - 高(CBR)" --ready "$work/ready" --figures >"$work/fig" &
    local rec=$!
    for _ in $(seq 200); do [ -s "$work/ready" ] && break; sleep 0.02; done
    started=$(sleep_until 0)
    at1=$(sleep_until "$(awk -v t="$started" -v s="$secs" 'BEGIN { print t + s / 3 }')")
    [ "$1" = steady ] || xrandr -s 1280x720
    at2=$(sleep_until "$(awk -v t="$started" -v s="$secs" 'BEGIN { print t + 2 * s / 3 }')")
    [ "$1" = steady ] || xrandr -s 1920x1080
    wait "$rec"
    local start user sys
    start=$(sed -n 's/^start_s=//p' "$work/fig")
    read -r user sys < <(tail -n 1 "$work/time")
    # The longest step between consecutive pictures that reaches within
    # half a second of a change's moment in the file.
    timeout 60 ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 "$out" |
      sort -g | awk -v k="$1" -v u="$user" -v s="$sys" -v d="$secs" \
        -v c1="$(awk -v a="$at1" -v b="$start" 'BEGIN { print a - b }')" \
        -v c2="$(awk -v a="$at2" -v b="$start" 'BEGIN { print a - b }')" '
        function gap(c) { return (NR > 1 && $1 >= c - 0.5 && p <= c + 0.5) ? $1 - p : 0 }
        { if (gap(c1) > g1) g1 = gap(c1); if (gap(c2) > g2) g2 = gap(c2); p = $1; n++ }
        END { printf "%s %.4f %d %.1f %.1f\n", k, (u + s) / d, n, g1 * 1000, g2 * 1000 }' >>"$results"
  }
  for i in $(seq "$runs"); do
    if [ $((i % 2)) = 1 ]; then order="changes steady"; else order="steady changes"; fi
    for kind in $order; do record_changes "$kind"; done
  done
  exit 0
fi
build=$(cd "${1:-$root/build/ci}" && pwd)
tools="$build/tools"
for t in vardel_record vardel_pattern vardel_bench_probe; do
  [ -x "$tools/$t" ] || { echo "missing $tools/$t: build it first" >&2; exit 1; }
done
if [ -z "${DISPLAY:-}" ]; then exec "$root/scripts/test-session.sh" "$0" "$build"; fi

runs=${RUNS:-3}
secs=${SECONDS_EACH:-5}
still_secs=${STILL_SECONDS:-20}
work=$(mktemp -d /tmp/vardel-bench.XXXXXX)
source "$root/bench/recorder/slide.sh"
pattern_pid=
cleanup() {
  [ -n "$pattern_pid" ] && kill "$pattern_pid" 2>/dev/null && wait "$pattern_pid" 2>/dev/null
  stop_slide
  rm -rf "$work"
}
trap cleanup EXIT

"$tools/vardel_pattern" --interval-ms 1 >"$work/pattern.out" &
pattern_pid=$!
for _ in $(seq 100); do grep -q ready "$work/pattern.out" && break; sleep 0.1; done

now_ms() { date +%s%3N; }
field() { sed -n "s/^$1=//p" "$2"; }

# One recording; appends a line "tool content cpu_per_s frames distinct err_ms
# mem_kb first_ms stop_ms start_frame_ms bytes_per_s mse psnr ssim".
record() {  # record TOOL FPS BITRATE PROFILE CONTENT [SECONDS]
  local tool=$1 fps=$2 rate=$3 profile=$4 content=$5 secs=${6:-$secs} out="$work/$1-$2.wmv" launch stop_at done_at first stop_ms
  rm -f "$out"
  launch=$(now_ms)
  if [ "$tool" = ours ]; then
    timeout 120 /usr/bin/time -f "%U %S %M" -o "$work/time" \
      "$tools/vardel_record" --out "$out" --seconds "$secs" --profile "$profile" --figures >"$work/fig"
    stop_ms=$(field stop_ms "$work/fig")
  else
    /usr/bin/time -f "%U %S %M" -o "$work/time" \
      ffmpeg -nostdin -v error -y -f x11grab -framerate "$fps" -video_size 1920x1080 -i "$DISPLAY" \
      -c:v wmv2 -b:v "$rate" -g $((2 * fps)) -bf 0 -f asf "$out" &
    local timer=$! ff
    sleep 0.2
    ff=$(pgrep -P "$timer" ffmpeg)
    sleep "$(awk -v s="$secs" 'BEGIN { print s - 0.2 }')"
    stop_at=$(now_ms)
    kill -INT "$ff"
    wait "$timer" || true
    done_at=$(now_ms)
    stop_ms=$((done_at - stop_at))
  fi
  "$tools/vardel_bench_probe" "$out" >"$work/probe"
  # GNU time puts "Command exited with non-zero status" first after a SIGINT.
  read -r user sys mem < <(tail -n 1 "$work/time")
  local internal=-1
  [ "$tool" = ours ] && internal=$(field first_frame_ms "$work/fig")
  local dur frames distinct err clock
  dur=$(field duration_s "$work/probe")
  frames=$(field frames "$work/probe")
  distinct=$(field distinct "$work/probe")
  err=$(field worst_error_ms "$work/probe")
  clock=$(field first_clock_ms "$work/probe")
  # The first picture shows the wall clock (ms modulo 2^24) at its capture.
  first=$(( (clock - launch % 16777216 + 16777216) % 16777216 ))
  local quality="-1 -1 -1"
  [ "$content" = slide ] && quality=$(slide_quality "$out" "$work/reference.png")
  read -r mse psnr ssim <<<"$quality"
  awk -v t="$tool" -v f="$content" -v u="$user" -v s="$sys" -v d="$dur" -v n="$frames" -v k="$distinct" \
      -v e="$err" -v m="$mem" -v a="$first" -v z="$stop_ms" -v i="$internal" -v b="$(stat -c %s "$out")" \
      -v q="$mse" -v p="$psnr" -v y="$ssim" \
      'BEGIN { printf "%s %s %.4f %d %d %.1f %d %d %.1f %.2f %.0f %s %s %s\n", t, f, (u + s) / d, n, k, e, m, a, z, i, b / d, q, p, y }' \
      >>"$work/results"
}

alternate() {  # alternate FPS BITRATE PROFILE CONTENT [SECONDS]
  for i in $(seq "$runs"); do
    if [ $((i % 2)) = 1 ]; then order="ours ffmpeg"; else order="ffmpeg ours"; fi
    for tool in $order; do record "$tool" "$@"; done
  done
}

alternate 15 4000000 "屏幕视频 - 中(CBR)" 15
alternate 30 8000000 "屏幕视频 - 高(CBR)" 30
kill "$pattern_pid" && wait "$pattern_pid" 2>/dev/null || true
pattern_pid=

# The slide, and the lossless reference of the screen showing it.
make_slide "$work"
show_slide "$work/slide.png"
grab_reference "$work/reference.png"
alternate 30 8000000 "屏幕视频 - 高(CBR)" slide
stop_slide

# The still desktop: the background is plain.
xsetroot -solid '#3a6ea5'
alternate 30 8000000 "屏幕视频 - 高(CBR)" still "$still_secs"

# A screen that changes size: the same moving content, our recording only.
"$root/scripts/xorg-session.sh" "$0" --screen-changes "$build" "$work/resize-results"

echo "Recorder benchmark: $runs runs of ${secs} s each (still: ${still_secs} s), 1920x1080, alternated (means; worst error is the maximum)"
echo "slide: a detailed text slide at 30 fps; quality of what players show against a lossless grab of the screen."
echo "still: a still desktop at 30 fps (nothing shows a clock, so only cost, size and frames written)."
echo "first-frame latency: from launching the process to the clock shown in the first picture;"
echo "ours also reports Start() -> first picture (Start->frame). stop: ours Stop() -> file complete; ffmpeg SIGINT -> exit."
awk '
  { k = $1 " " $2; n[k]++; cpu[k] += $3; fr[k] += $4; di[k] += $5; if ($6 > er[k]) er[k] = $6
    if ($7 > mem[k]) mem[k] = $7; ff[k] += $8; st[k] += $9; sf[k] += $10; dpct[k] += 100 * $5 / ($4 > 0 ? $4 : 1)
    by[k] += $11; ms[k] += $12; ps[k] += $13; ss[k] += $14 }
  END {
    split("15 30 slide still", contents, " ")
    for (c = 1; c <= 4; c++) {
      fps = contents[c]; o = "ours " fps; t = "ffmpeg " fps
      title = fps " fps, moving"
      if (fps == "slide") title = "slide, 30 fps"
      if (fps == "still") title = "still, 30 fps"
      printf "\n%-16s %12s %12s %8s\n", title, "ours", "ffmpeg", "ratio"
      row("CPU s / rec. s", cpu[o] / n[o], cpu[t] / n[t], "%12.3f")
      row("frames written", fr[o] / n[o], fr[t] / n[t], "%12.1f")
      if (fps == "slide") {
        row("kbit / rec. s", by[o] / n[o] * 8 / 1000, by[t] / n[t] * 8 / 1000, "%12.0f")
        row("luma MSE", ms[o] / n[o], ms[t] / n[t], "%12.2f")
        row("PSNR Y dB", ps[o] / n[o], ps[t] / n[t], "%12.2f")
        row("SSIM Y", ss[o] / n[o], ss[t] / n[t], "%12.4f")
        continue
      }
      if (fps != "still") {
        row("distinct frames", di[o] / n[o], di[t] / n[t], "%12.1f")
        row("distinct %", dpct[o] / n[o], dpct[t] / n[t], "%12.1f")
        row("worst ts err ms", er[o], er[t], "%12.1f")
      }
      row("peak memory MB", mem[o] / 1024, mem[t] / 1024, "%12.1f")
      if (fps != "still") row("first frame ms", ff[o] / n[o], ff[t] / n[t], "%12.1f")
      row("stop->done ms", st[o] / n[o], st[t] / n[t], "%12.1f")
      printf "%-16s %12.1f\n", "Start->frame ms", sf[o] / n[o]
    }
  }
  function row(name, a, b, f) { printf "%-16s " f " " f " %8.2f\n", name, a, b, (b != 0 ? a / b : 0) }
' "$work/results"
echo
echo "screen changes: ours at 30 fps, moving, while the screen goes 1920x1080 -> 1280x720 -> 1920x1080"
echo "(at a third and two thirds), against the same recording without a change; gaps: the longest"
echo "between consecutive pictures within 0.5 s of each change (the worst run)."
awk '
  { n[$1]++; cpu[$1] += $2; fr[$1] += $3; if ($4 > g1[$1]) g1[$1] = $4; if ($5 > g2[$1]) g2[$1] = $5 }
  END {
    printf "\n%-24s %12s %12s %8s\n", "screen changes, 30 fps", "changes", "none", "ratio"
    row("CPU s / rec. s", cpu["changes"] / n["changes"], cpu["steady"] / n["steady"], "%12.3f")
    row("frames written", fr["changes"] / n["changes"], fr["steady"] / n["steady"], "%12.1f")
    row("gap ms, to 1280x720", g1["changes"], g1["steady"], "%12.1f")
    row("gap ms, to 1920x1080", g2["changes"], g2["steady"], "%12.1f")
  }
  function row(name, a, b, f) { printf "%-24s " f " " f " %8.2f\n", name, a, b, (b != 0 ? a / b : 0) }
' "$work/resize-results"
