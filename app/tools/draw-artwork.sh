#!/usr/bin/env bash
# Draws the application artwork (maker logo, desktop icon and the small
# "Win10" icon theme) with ImageMagick.  The output is deterministic:
# running the script again produces byte-identical PNG files.
#
# Usage: app/tools/draw-artwork.sh
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
APP="$(cd "$HERE/.." && pwd)"
FONT="${ARTWORK_FONT:-/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf}"

command -v convert >/dev/null || { echo "ImageMagick 'convert' is required" >&2; exit 1; }
[ -r "$FONT" ] || { echo "font not found: $FONT" >&2; exit 1; }

# Palette
NAVY='#0E4C92'      # deep blue: mast and wordmark
TEAL='#13A3B4'      # teal: radio waves and beacon
TEAL_LIGHT='#5FD6E2'
AMBER_BACK='#E0A020'
AMBER_FRONT='#FFC940'
PAPER='#FFFFFF'
BLUE='#1E6FD9'
RED='#D93025'
WHITE='#FFFFFF'

# Options that keep the PNG files free of run-dependent metadata.
PNG_OPTS=(-strip -define 'png:exclude-chunks=date,time' -define png:bit-depth=8)

# arc CX CY R A0 A1 -> SVG-style path of a circular arc, angles in degrees,
# measured clockwise from the +x axis (screen coordinates, y pointing down).
arc() {
  awk -v cx="$1" -v cy="$2" -v r="$3" -v a0="$4" -v a1="$5" 'BEGIN {
    pi = atan2(0, -1)
    x0 = cx + r * cos(a0 * pi / 180); y0 = cy + r * sin(a0 * pi / 180)
    x1 = cx + r * cos(a1 * pi / 180); y1 = cy + r * sin(a1 * pi / 180)
    large = (a1 - a0 > 180) ? 1 : 0
    printf "M %.3f,%.3f A %g,%g 0 %d,1 %.3f,%.3f", x0, y0, r, r, large, x1, y1
  }'
}

# render W H FACTOR OUT MVG
# The MVG drawing uses pixel-edge coordinates of the final image (pixel i
# spans [i, i+1]).  It is drawn FACTOR times larger and box-filtered down,
# which keeps grid-aligned edges sharp and anti-aliases curves evenly.
render() {
  local w=$1 h=$2 f=$3 out=$4 mvg=$5
  mkdir -p "$(dirname "$out")"
  convert -size "$((w * f))x$((h * f))" xc:none \
    -draw "affine $f,0,0,$f,-0.5,-0.5 $mvg" \
    -filter box -resize "${w}x${h}!" \
    "${PNG_OPTS[@]}" "PNG32:$out"
}

# ---------------------------------------------------------------------------
# Icon theme "Win10"
# ---------------------------------------------------------------------------
THEME="$APP/icons/Win10"
mkdir -p "$THEME/16x16" "$THEME/24x24" "$THEME/32x32"

cat > "$THEME/index.theme" <<'THEME_EOF'
[Icon Theme]
Name=Win10
Comment=Windows 10 Icon Theme
Inherits=default
Directories=16x16,24x24,32x32

[16x16]
Size=16

[24x24]
Size=24

[32x32]
Size=32
THEME_EOF

SS=8   # supersampling factor for the theme icons

# document-open: an open amber folder with a sheet of paper inside.
folder() {  # size back-path paper-rect front-path
  render "$1" "$1" $SS "$THEME/${1}x${1}/document-open.png" "
    stroke none
    fill $AMBER_BACK  path '$2'
    fill $PAPER       rectangle $3
    fill $AMBER_FRONT path '$4'"
}
folder 16 'M 1,2 H 5.5 L 7,3.5 H 14 V 14 H 1 Z' \
          '3,5 12,10' \
          'M 3.5,7 H 15.5 L 14,14 H 1 Z'
folder 24 'M 2,3 H 8.5 L 10.5,5 H 21 V 21 H 2 Z' \
          '5,7 18,14' \
          'M 5.5,10.5 H 23.5 L 21,21 H 2 Z'
folder 32 'M 2,4 H 11 L 14,7 H 28 V 28 H 2 Z' \
          '6,10 24,19' \
          'M 7,14 H 31 L 28,28 H 2 Z'

# help-about: a blue disc with a white "i".
about() {  # size cx cy r dot-rect stem-rect
  render "$1" "$1" $SS "$THEME/${1}x${1}/help-about.png" "
    stroke none
    fill $BLUE  circle $2,$3 $2,$(awk -v c="$3" -v r="$4" 'BEGIN{print c - r}')
    fill $WHITE rectangle $5
    fill $WHITE rectangle $6"
}
about 16 8    8    7.5  '7,3 9,5'       '7,7 9,13'
about 24 12.5 12   11.5 '11,4 14,7'     '11,9 14,20'
about 32 16   16   15   '14,6 18,10'    '14,13 18,26'

# application-exit: a red disc with a white power symbol.
quit() {  # size cx cy r glyph-cy glyph-r stroke line-top line-bottom
  render "$1" "$1" $SS "$THEME/${1}x${1}/application-exit.png" "
    stroke none
    fill $RED circle $2,$3 $2,$(awk -v c="$3" -v r="$4" 'BEGIN{print c - r}')
    fill none stroke $WHITE stroke-width $7 stroke-linecap round
    path '$(arc "$2" "$5" "$6" -50 230)'
    line $2,$8 $2,$9"
}
quit 16 8    8  7.5  8.5  4.5  2    2.5  7.5
quit 24 12.5 12 11.5 12.75 6.5 3    3.75 11.5
quit 32 16   16 15   17.5  9    4    5    16

# ---------------------------------------------------------------------------
# The mark: a transmitter mast with radio waves.
# mark_mvg MAST-COLOUR WAVE-COLOUR, geometry in a 64-unit box
# (beacon at 32,20; legs to y=58).
# ---------------------------------------------------------------------------
mark_mvg() {
  local mast=$1 wave=$2
  cat <<MVG
    stroke none fill $wave circle 32,20 32,15.5
    fill none stroke $mast stroke-linecap round stroke-linejoin round
    stroke-width 4
    path 'M 22,58 L 32,25 L 42,58'
    stroke-width 2.75
    path 'M 22,58 L 36.55,40 H 27.45 L 42,58'
    stroke $wave stroke-width 4
    path '$(arc 32 20 10.5 -38 38)'
    path '$(arc 32 20 10.5 142 218)'
    path '$(arc 32 20 18.5 -36 36)'
    path '$(arc 32 20 18.5 144 216)'
MVG
}

# Application icon for the desktop entry: the mark on a rounded navy tile.
render 64 64 8 "$APP/swtxupdater.png" "
  stroke none fill $NAVY roundrectangle 2,2 62,62 12,12
  $(mark_mvg "$WHITE" "$TEAL_LIGHT")"

# ---------------------------------------------------------------------------
# Maker logo "Orvane": 249 x 63, mark on the left and the bold wordmark.
# ---------------------------------------------------------------------------
LOGO_W=249; LOGO_H=63; LF=4
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT

# Mark, drawn in its 64-unit box scaled to the logo height (63/64).
convert -size "$((LOGO_W * LF))x$((LOGO_H * LF))" xc:none \
  -draw "affine $(awk -v f=$LF 'BEGIN{printf "%g,0,0,%g,%g,%g", f*63/64, f*63/64, -0.5 - 3*f, -0.5 - 2*f}') $(mark_mvg "$NAVY" "$TEAL")" \
  "$TMP/mark.png"

# Wordmark, trimmed to its ink and vertically centred.
convert -background none -density 72 -font "$FONT" -pointsize $((46 * LF)) \
  -fill "$NAVY" label:Orvane -trim +repage "$TMP/word.png"

convert "$TMP/mark.png" "$TMP/word.png" -gravity West \
  -geometry "+$((62 * LF))+0" -composite \
  -filter box -resize "${LOGO_W}x${LOGO_H}!" \
  "${PNG_OPTS[@]}" "PNG32:$APP/Orvane.png"

echo "artwork written to $APP"
