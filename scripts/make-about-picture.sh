#!/bin/sh
# Draws the about page's picture (582 x 250 baseline JFIF, three components, about 10 KB) and
# the program's 32 x 32 icon with ImageMagick, and writes the byte arrays the program embeds.
# Run from anywhere; writes into src/main/resources/. Needs ImageMagick 6 (convert) and xxd.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/src/main/resources"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The picture lies behind two blocks of light text, so it stays dark and quiet: a night-blue
# to sea-green gradient, the faint ruling of a table, and a stack of disks of a database.
convert -size 582x250 gradient:'#13243a'-'#0f4a46' -rotate 0 \
  -fill none -stroke '#2a5a66' -strokewidth 1 \
  -draw "line 0,62 582,62" -draw "line 0,94 582,94" -draw "line 0,126 582,126" \
  -draw "line 0,158 582,158" -draw "line 0,190 582,190" \
  -draw "line 150,30 150,220" -draw "line 300,30 300,220" -draw "line 430,30 430,220" \
  -stroke '#3d7c80' -strokewidth 2 -fill '#1d5156' \
  -draw "ellipse 291,196 52,12 0,360" \
  -draw "rectangle 239,168 343,196" -draw "ellipse 291,168 52,12 0,360" \
  -draw "rectangle 239,140 343,168" -draw "ellipse 291,140 52,12 0,360" \
  -stroke none -fill '#24646a' -draw "ellipse 291,140 50,10 0,360" \
  -fill '#b1d1cf' -draw "polygon 276,142 286,152 308,128 312,132 286,160 272,146" \
  -fill '#3d7c80' -stroke none \
  -draw "circle 60,78 62,78" -draw "circle 95,110 97,110" -draw "circle 200,78 202,78" \
  -draw "circle 380,110 382,110" -draw "circle 470,142 472,142" -draw "circle 520,78 522,78" \
  -draw "circle 110,174 112,174" -draw "circle 480,174 482,174" \
  -blur 0x0.6 \
  "$tmp/about.ppm"
convert "$tmp/about.ppm" -strip -interlace none -sampling-factor 2x2 -quality 92 \
  -type TrueColor "JPEG:$out/about.jpg"

# Icon: a database cylinder with a check mark, 32 bits per pixel.
convert -size 32x32 xc:none \
  -fill '#1d5156' -stroke '#0b2b2e' -strokewidth 1 \
  -draw "ellipse 15.5,25 11,4 0,360" -draw "rectangle 4.5,9 26.5,25" \
  -stroke none -draw "rectangle 5,9 26,25" \
  -stroke '#0b2b2e' -draw "line 4.5,9 4.5,25" -draw "line 26.5,9 26.5,25" \
  -fill '#3d9096' -draw "ellipse 15.5,9 11,4 0,360" \
  -fill none -stroke '#b1d1cf' -draw "arc 4.5,12 26.5,20 0,180" -draw "arc 4.5,17 26.5,25 0,180" \
  -fill '#24c24a' -stroke '#0a5a1e' -strokewidth 1 \
  -draw "polygon 14,20 19,25 31,11 28,8 19,19 17,17" \
  -define png:color-type=6 "PNG32:$out/icon.png"

xxd -i < "$out/about.jpg" > "$out/about_jpg.inc"
xxd -i < "$out/icon.png" > "$out/icon_png.inc"
ls -l "$out/about.jpg" "$out/icon.png"
