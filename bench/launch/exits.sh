#!/usr/bin/env bash
# bench/launch/exits.sh [N]
#
# N launches of Quenlo in a row (200 by default), as a user makes them: the
# start window, a presentation's path typed into the path box, OK, the
# office's window under the kit's caption, the launcher ends. Counts the
# launchers that ended with a status other than 0 (a crash at exit is 139)
# and times each from the caption's window to the launcher's end. The office
# keeps the presentations open; it is ended after every tenth launch, so
# that one launch in ten also starts it.
#
# Runs inside scripts/test-session.sh; see common.sh.
set -euo pipefail

count=${1:-200}
source "$(dirname "$0")/common.sh" exits
profile=$work/profile
export UserInstallation="file://$profile"


failed=0 statuses="" gaps="" totals=""
for i in $(seq "$count"); do
  cp "$work/sample.ppt" "$work/launch-$i.ppt"
  before=$(captioned)
  start_quenlo
  type_path "$work/launch-$i.ppt"
  click_ok
  pressed_at=$(now_ns)
  captioned_at="" ended_at=""
  deadline=$((SECONDS + 120))
  # Whichever comes first is seen first: the caption's window, or the end.
  until [ -n "$captioned_at" ] && [ -n "$ended_at" ]; do
    [ -n "$captioned_at" ] || [ "$(captioned)" -le "$before" ] || captioned_at=$(now_ns)
    [ -n "$ended_at" ] || kill -0 "$pid" 2>/dev/null || ended_at=$(now_ns)
    [ $SECONDS -lt $deadline ] || { echo "launch $i: no caption or no end in 120 s" >&2; exit 1; }
    sleep 0.005
  done
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || { failed=$((failed + 1)); statuses="$statuses $i:$status"; }
  gaps="$gaps $(((ended_at - captioned_at) / 1000000))"
  totals="$totals $(((ended_at - pressed_at) / 1000000))"
  [ $((i % 10)) -ne 0 ] || stop_offices
  [ $((i % 20)) -ne 0 ] || echo "$i launches, $failed with a status other than 0" >&2
done

printf 'launches: %d; status other than 0: %d%s\n' "$count" "$failed" "${statuses:+ (launch:status$statuses)}"
# summary LABEL: median, mean, 95th percentile, least and most of the values read.
summary() {
  tr ' ' '\n' | grep . | sort -n | awk -v l="$1" '
    {a[NR]=$1; s+=$1}
    END {printf "%s (ms): median %d, mean %d, 95th %d, min %d, max %d\n",
         l, a[int((NR+1)/2)], s/NR, a[int(NR*0.95+0.5)], a[1], a[NR]}'
}
echo "$gaps" | summary "caption to launcher end (less than 0: the launcher had gone first)"
echo "$totals" | summary "OK to launcher end"
