#!/usr/bin/env bash
# Renders the menu icons (hicolor PNGs, 16 to 256 px) from the programs' own
# vector sources. The results are committed, so building needs no SVG tools.
# Needs: rsvg-convert (librsvg2-bin).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")

render() {  # render SVG APP-ID
  local svg=$1 id=$2 size
  for size in 16 24 32 48 64 128 256; do
    mkdir -p "$here/icons/hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" "$svg" -o "$here/icons/hicolor/${size}x${size}/apps/$id.png"
  done
  mkdir -p "$here/icons/hicolor/scalable/apps"
  cp "$svg" "$here/icons/hicolor/scalable/apps/$id.svg"
}

render "$top/launcher/resources/art/emblem.svg" com.example.vardel.Quenlo
render "$top/capture/resources/art/grabvid.svg" com.example.vardel.Grabvid
