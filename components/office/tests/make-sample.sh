#!/usr/bin/env bash
# make-sample.sh SOFFICE SOURCE.fodp OUTDIR: converts the source presentation
# to the binary PowerPoint format with the office, in a throw-away profile so
# the conversion neither needs nor touches the user's.
set -euo pipefail
soffice=$1 source=$2 outdir=$3
profile=$(mktemp -d /tmp/vardel-convert.XXXXXX)
trap 'rm -rf "$profile"' EXIT
timeout 180 "$soffice" -env:UserInstallation="file://$profile" --headless --norestore \
  --convert-to ppt --outdir "$outdir" "$source" >/dev/null
test -s "$outdir/$(basename "${source%.*}").ppt"
