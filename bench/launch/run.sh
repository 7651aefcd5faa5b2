#!/usr/bin/env bash
# bench/launch/run.sh [--runs N] [--baseline REV]
#
# What the user gets from Quenlo, against the office alone, on one display:
#   - OK to caption: from the click on OK to the presentation's window titled
#     with the kit's caption, with OK pressed at once (as soon as the start
#     window shows and the path is typed) and after 3 s; against the office
#     alone opening the same file cold (`soffice --impress FILE`, from start
#     to its window). The three alternate run by run, each with a new copy of
#     an initialised profile, no office running before; medians of N (3).
#   - the start window's first showing: from starting the program to its
#     window on the screen; with --baseline, against the launcher built from
#     REV (a commit before the office was made ready in the background),
#     alternated, 10N each. The window is looked for every few milliseconds
#     by a new xdotool each time, so single runs are quantised to about 10 ms:
#     the comparison uses trimmed means (the middle 80 %).
#   - the memory of an office made ready and left idle (RSS and PSS of its
#     processes, 5 s after the start window showed).
# Targets: OK after 3 s at most 0.6 times the office alone; first showing
# within 5 % of the baseline's.
#
# Runs inside scripts/test-session.sh; see common.sh.
set -euo pipefail

runs=3
baseline=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    *) echo "usage: $0 [--runs N] [--baseline REV]" >&2; exit 2 ;;
  esac
done
source "$(dirname "$0")/common.sh" launch

# The launcher from REV, built once beside this run (only what it needs).
if [ -n "$baseline" ]; then
  echo "building the baseline launcher from $baseline ..."
  mkdir -p "$work/base-src"
  git -C "$root" archive "$baseline" | tar -x -C "$work/base-src"
  cmake -S "$work/base-src" -B "$work/base-build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARDEL_TESTS=OFF >"$work/base-build.log" 2>&1 &&
    nice cmake --build "$work/base-build" --target Quenlo vardel_office_uno >>"$work/base-build.log" 2>&1 ||
    { tail -20 "$work/base-build.log" >&2; exit 1; }
fi

# An initialised profile, copied for every run: first-start set-up is not
# what is measured.
timeout 120 "$soffice" -env:UserInstallation="file://$work/template" --headless \
  --terminate_after_init >/dev/null 2>&1 || true
n=0
new_profile() {
  n=$((n + 1))
  profile="$work/profile-$n"
  cp -a "$work/template" "$profile"
  export UserInstallation="file://$profile"
}
fresh_file() { file="$work/run-$n.ppt"; cp "$work/sample.ppt" "$file"; }

alone() {
  new_profile
  fresh_file
  open_alone "$file"
}

# launch WAIT: Quenlo, the path typed, OK WAIT seconds after the window showed.
launch() {
  new_profile
  fresh_file
  launch_after "$1" "$file"
}

# first_showing PROGRAM: from its start to its start window on the screen.
first_showing() {
  local start
  new_profile
  start=$(now_ns)
  "$1" >/dev/null 2>&1 &
  pid=$!
  pids+=("$pid")
  until xdotool search --all --onlyvisible --pid "$pid" --name "^$quenlo_title\$" >/dev/null 2>&1; do
    sleep 0.005
  done
  took "$start"
  wid=$(xdotool search --all --onlyvisible --pid "$pid" --name "^$quenlo_title\$" | head -n1)
  click_exit
  ended_with 0
}

declare -A times
record() { times[$1]="${times[$1]:-} $2"; }
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
trimmed() {  # the mean of the middle 80 % of the values, to a tenth
  tr ' ' '\n' | grep . | sort -n |
    awk '{a[NR]=$1} END {k=int(NR/10); for (i=k+1; i<=NR-k; i++) {s+=a[i]; n++} printf "%.1f", s/n}'
}

ways=(alone at_once after_3s)
for i in $(seq "$runs"); do
  for k in 0 1 2; do
    way=${ways[$(((i + k) % 3))]}
    case $way in
      alone) alone ;;
      at_once) launch 0 ;;
      after_3s) launch 3 ;;
    esac
    record "$way" "$(cat "$work/t")"
    [ "$way" = alone ] || record "$way pressed" "$(cat "$work/pressed")"
    stop_offices
  done
done

for i in $(seq $((10 * runs))); do
  first_showing "$quenlo"
  record ours "$(cat "$work/t")"
  stop_offices
  if [ -n "$baseline" ]; then
    first_showing "$work/base-build/launcher/Quenlo"
    record base "$(cat "$work/t")"
    stop_offices
  fi
done

# The memory of an office made ready and left idle.
new_profile
start_quenlo
sleep 5
rss=0 pss=0
for p in $(bench_offices); do
  read -r r s < <(awk '/^Rss:/ {r=$2} /^Pss:/ {p=$2} END {print r, p}' "/proc/$p/smaps_rollup")
  rss=$((rss + r)) pss=$((pss + s))
done
click_exit
ended_with 0

printf '%-34s %8s   runs (ms)\n' "" median
for way in alone at_once after_3s; do
  printf '%-34s %8d  %s\n' "OK to caption: $way" "$(echo "${times[$way]}" | median)" "${times[$way]}"
done
for way in at_once after_3s; do
  printf '%-34s %8d  %s\n' "  (OK pressed after the window: $way)" "$(echo "${times[$way pressed]}" | median)" "${times[$way pressed]}"
done
a=$(echo "${times[alone]}" | median)
for way in at_once after_3s; do
  awk -v w="$way" -v t="$(echo "${times[$way]}" | median)" -v a="$a" \
    'BEGIN {printf "OK %s / office alone = %.2f%s\n", w, t / a, w == "after_3s" ? " (target <= 0.60)" : ""}'
done
printf '%-34s %8d  trimmed mean %s ms\n' "start window shown: ours" "$(echo "${times[ours]}" | median)" \
  "$(echo "${times[ours]}" | trimmed)"
if [ -n "$baseline" ]; then
  printf '%-34s %8d  trimmed mean %s ms\n' "start window shown: $baseline" "$(echo "${times[base]}" | median)" \
    "$(echo "${times[base]}" | trimmed)"
  awk -v o="$(echo "${times[ours]}" | trimmed)" -v b="$(echo "${times[base]}" | trimmed)" \
    'BEGIN {printf "start window: ours / baseline = %.3f (trimmed means; target <= 1.05)\n", o / b}'
fi
printf 'office made ready, idle: RSS %d MiB, PSS %d MiB\n' $((rss / 1024)) $((pss / 1024))
