#!/usr/bin/env bash
# man-pages-test.sh PAGE.gz...: each manual page formats without a warning
# from man or groff at narrow, usual and wide terminals (as lintian checks
# them), and has a NAME line that whatis and apropos can index.
set -euo pipefail
failures=0
for page in "$@"; do
  name=$(basename "$page" .1.gz)
  for width in 60 80 132; do
    warnings=$(MANWIDTH=$width LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
      echo "FAIL: $name at $width columns: $warnings"; failures=$((failures + 1))
    fi
  done
  whatis=$(lexgrog "$page" 2>&1) || true
  if [[ "$whatis" == *": \"$name - "* ]]; then echo "PASS: $name: $whatis"; else
    echo "FAIL: $name: no whatis entry: $whatis"; failures=$((failures + 1)); fi
done
[ $# -gt 0 ] && [ $failures = 0 ]
