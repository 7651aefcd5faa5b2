#!/usr/bin/env bash
# Regenerates the launcher's artwork and demonstration presentation from the
# sources in art/ and demo/. The results are committed, so building the kit
# needs none of these tools; run this after changing a source.
#
# Needs: rsvg-convert (librsvg2-bin), convert (imagemagick), icotool
# (icoutils), soffice (libreoffice-impress).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
art=$here/art
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Background: 520 x 272, 24-bit BMP (BMP3 writes the classic Windows header;
# -type TrueColor keeps it at 24 bits even where few colours are used).
rsvg-convert -w 520 -h 272 "$art/background.svg" -o "$work/background.png"
convert "$work/background.png" -background white -alpha remove -alpha off \
  -type TrueColor BMP3:"$here/background.bmp"

# Emblem: 48 x 48 JPEG. A JPEG has no transparency, so the emblem is laid
# over the part of the background it covers in the window (at 30, 27).
rsvg-convert -w 48 -h 48 "$art/emblem.svg" -o "$work/emblem.png"
convert "$work/background.png" -crop 48x48+30+27 +repage "$work/emblem.png" -composite \
  -alpha off -strip -quality 95 -sampling-factor 1x1 "$here/emblem.jpg"

# Icon: the emblem at 64, 48, 32, 24 and 16 pixels, each in 24-bit colour and
# in 256 colours, with a one-bit transparency mask.
true24=() pal8=()
for size in 64 48 32 24 16; do
  rsvg-convert -w "$size" -h "$size" "$art/emblem.svg" -o "$work/e$size.png"
  convert "$work/e$size.png" -channel A -threshold 50% +channel PNG32:"$work/t$size.png"
  convert "$work/t$size.png" -dither None -colors 255 PNG8:"$work/p$size.png"
  true24+=("$work/t$size.png")
  pal8+=("$work/p$size.png")
done
icotool -c -o "$here/quenlo.ico" -b 24 "${true24[@]}" -b 8 "${pal8[@]}"

# Hand pointer: 32 x 32, one bit per pixel, hot spot at the fingertip (5, 0).
rsvg-convert -w 32 -h 32 "$art/hand.svg" -o "$work/hand.png"
convert "$work/hand.png" -alpha extract -threshold 50% "$work/hand-mask.png"
convert "$work/hand.png" -alpha off -colorspace gray -threshold 50% -type bilevel \
  "$work/hand-colour.png"
convert "$work/hand-colour.png" "$work/hand-mask.png" -alpha off -compose CopyOpacity \
  -composite PNG32:"$work/hand-1bit.png"
icotool -c --cursor -X 5 -Y 0 -b 1 -o "$here/hand.cur" "$work/hand-1bit.png"

# Demonstration presentation: a real .ppt converted by the office itself, in
# a throw-away profile so the user's own is never touched.
mkdir -p "$work/out"
timeout 180 soffice --headless --norestore \
  "-env:UserInstallation=file://$work/profile" \
  --convert-to ppt --outdir "$work/out" "$here/demo/welcome.fodp" >/dev/null
cp "$work/out/welcome.ppt" "$here/demo/welcome.ppt"

echo "artwork written to $here"
