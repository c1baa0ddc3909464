#!/usr/bin/env bash
# Draws the button bitmaps of the card manager (run once; the .bmp files are
# kept in the repository). Each button has four: U up, D pressed, F focused,
# X disabled.
set -euo pipefail
cd "$(dirname "$0")"
draw() {  # name width height label
  local name=$1 w=$2 h=$3 label=$4
  local common=(-size "${w}x${h}" -gravity center -font DejaVu-Sans -pointsize 9)
  convert "${common[@]}" xc:'#D8E4F0' -fill '#103060' -annotate 0 "$label" -bordercolor '#607890' -border 1 -colors 16 -type Palette BMP3:"${name}U.bmp"
  convert "${common[@]}" xc:'#90A8C8' -fill '#FFFFFF' -annotate 0 "$label" -bordercolor '#203050' -border 1 -colors 16 -type Palette BMP3:"${name}D.bmp"
  convert "${common[@]}" xc:'#E8F0FF' -fill '#103060' -annotate 0 "$label" -bordercolor '#2050C0' -border 1 -colors 16 -type Palette BMP3:"${name}F.bmp"
  convert "${common[@]}" xc:'#D0D0D0' -fill '#909090' -annotate 0 "$label" -bordercolor '#A0A0A0' -border 1 -colors 16 -type Palette BMP3:"${name}X.bmp"
}
draw INTROCARTE 58 30 $'Introduire\ncarte'
draw CHANGECARTE 58 30 $'Changer\ncarte'
draw LECDONNEES 58 30 $'Lecture\ndonnées'
draw LECSIT 58 30 $'Lecture\nsituations'
draw CHANGERCODE 58 30 $'Changer\ncode'
draw FORCERCP 58 30 $'Débloquer\ncode'
draw CHANGELECT 58 30 $'Changer\nlecteur'
draw CHOIXLECT 58 30 $'Choix\nlecteur'
draw QUITTER 58 30 'Quitter'
draw PREV 30 20 '<<'
draw NEXT 30 20 '>>'
draw KEYBOAR 52 52 $'1 2 3\n4 5 6\n7 8 9'
convert -size 32x32 xc:'#2050C0' -fill white -gravity center -font DejaVu-Sans-Bold -pointsize 11 -annotate 0 'VEL' vel.ico
